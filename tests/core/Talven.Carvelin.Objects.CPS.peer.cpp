// The CPS card session and the professional session with SoftHSM2 cards
// behind the test shim, against the national-service simulator (signature
// checking on). Its request log says what reached it and with which client
// certificate; openssl reads the card's certificates, xmlsec1 verifies the
// teleservice's assertions and a document signed by the card, xmllint reads
// every request and checks its assertion against the SAML schema, openssl
// pkeyutl and pkcs11-tool check the card's signatures, openssl s_server its
// SHA-1 and SHA-384 handshake signatures, Python's uuid the instance OID.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "CpsToken.h"
#include "ParamsServer.h"
#include "SimulatorTest.h"
#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.XAdES.h"

using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view InstanceOID = "2.25.329800735698586629295641978511506172918";
constexpr std::string_view MartinINS = "284057511204537";  // a record in the simulator's seed
constexpr std::string_view GirardINS = "195016748203061";  // a patient without a record

// Python over the test's log entries (stdin) and the request bodies: every
// request to the national listener carries the card's authentication
// certificate (argv[1]: its PEM; argv[2]: the simulator's state folder), is
// well-formed for xmllint and holds one identity assertion that xmllint
// finds valid against the SAML 2.0 schema (argv[5]: the schema fixtures,
// resolved offline through their catalog); every teleservice assertion
// verifies with xmlsec1 and carries the card's signature certificate (argv[3]).
constexpr std::string_view LogPrelude = R"PY(
import base64, hashlib, json, os, re, ssl, subprocess, sys
entries = [json.loads(l) for l in sys.stdin if l.strip()]
requests = [e for e in entries if 'method' in e]
from lxml import etree
state, pki, vihf = sys.argv[2], sys.argv[4], sys.argv[5]
args = sys.argv[6:]
def der(path): return ssl.PEM_cert_to_DER_cert(open(path).read())
card = hashlib.sha256(der(sys.argv[1])).hexdigest()
national = [e for e in requests if e['listener'] == 'national']
for e in national:
    assert e['client_sha256'] == card, e
    body = os.path.join(state, e['request_file'])
    r = subprocess.run(['xmllint', '--noout', body], capture_output=True, text=True)
    assert r.returncode == 0, (e, r.stderr)
    found = list(etree.parse(body).iter('{urn:oasis:names:tc:SAML:2.0:assertion}Assertion'))
    assert len(found) == 1, e
    # The teleservice's signature closes its assertion, where the schema wants
    # it after Issuer: the assertion is checked as signed, without it.
    for signature in found[0].findall('{http://www.w3.org/2000/09/xmldsig#}Signature'):
        assert signature is found[0][-1], e
        found[0].remove(signature)
    r = subprocess.run(['xmllint', '--noout', '--nonet', '--schema', os.path.join(vihf, 'vihf-assertion.xsd'), '-'],
                       input=etree.tostring(found[0]), capture_output=True,
                       env=dict(os.environ, XML_CATALOG_FILES=os.path.join(vihf, 'catalog.xml')))
    assert r.returncode == 0, (e, r.stderr)
    if e['service'] == 'insi':
        r = subprocess.run(['xmlsec1', '--verify', '--id-attr:ID', 'urn:oasis:names:tc:SAML:2.0:assertion:Assertion',
                            '--trusted-pem', os.path.join(pki, 'root-ca.pem'),
                            '--untrusted-pem', os.path.join(pki, 'ca-personnes.pem'), body],
                           capture_output=True, text=True)
        assert r.returncode == 0, (e, r.stderr)
        key_info = re.search(rb'<(?:\w+:)?X509Certificate>([^<]+)<', open(body, 'rb').read()).group(1)
        assert base64.b64decode(key_info) == der(sys.argv[3]), e
)PY";

class CardPeer : public SimTest::TSimulatorTest {
 protected:
  static void SetUpTestSuite() { StartSimulator({"--verify-signatures"}); }
  void TearDown() override {
    CPS.reset();
    Root.reset();
    Token.reset();
    SimTest::TSimulatorTest::TearDown();
  }

  // A fresh root over the shim in front of Profile's card.
  void Start(std::string_view Profile = "medecin-formation", std::string_view Control = {}) {
    CPS.reset();
    Root.reset();
    Token.reset();
    FProfile = Profile;
    Token = std::make_unique<TCpsToken>(std::initializer_list<std::string_view>{Profile});
    Token->Control(Control);
    Root = TCarvelin::Create();
    Root->SetInstanceOID(InstanceOID);
    Root->Logger = &Log;
    ASSERT_EQ(Root->SetCryptoLib(TCpsToken::Shim()), ERR_OK) << Root->GetErrDetail();
    Since = Sim->LogSize();
  }
  int Open() { return Root->GetCPS(0, CPS); }
  TVaspoCPS& Session() { return dynamic_cast<TVaspoCPS&>(*CPS); }
  // Opens, logs in and reads the activities.
  void LogIn() {
    ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
    ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
    int Count = 0;
    ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);
  }
  std::string Card(std::string_view Name) const { return Token->CardFile(FProfile, Name).string(); }
  // The driver over the simulator and the shim, its settings store in Config.
  TestSupport::RunResult DmpCli(const std::vector<std::string>& Commands) const {
    std::vector<std::string> Argv = {"env", "XDG_CONFIG_HOME=" + Config.Path().string(), TestSupport::ToolPath("dmp-cli"),
                                     "--hosts", Sim->HostsFile, "--module", TCpsToken::Shim()};
    Argv.insert(Argv.end(), Commands.begin(), Commands.end());
    return TestSupport::Run(Argv);
  }

  std::vector<std::string> Entries() const { return Sim->Log(Since); }
  size_t NationalCount() const {
    size_t N = 0;
    for (const std::string& E : Entries()) N += E.find("\"listener\": \"national\"") != std::string::npos;
    return N;
  }
  void ExpectLog(std::string_view Assertions, const std::vector<std::string>& Args = {}) const {
    std::string Input;
    for (const std::string& Line : Entries()) Input += Line + "\n";
    std::vector<std::string> Argv = {Card("auth.pem"), std::filesystem::path(Sim->HostsFile).parent_path().string(), Card("sign.pem"),
                                     TestSupport::PKIDir().string(), TestSupport::Fixture("vihf").string()};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    auto R = TestSupport::RunPython(std::string(LogPrelude) + std::string(Assertions), Argv, Input);
    EXPECT_EQ(R.Status, 0) << R.Err;
  }

  // The log sink: the core's progress lines.
  struct TLog : IVaspoLOG {
    std::vector<std::string> Lines;
    void OnLog(ICarvelin&, std::string_view Text) override { Lines.emplace_back(Text); }
  } Log;

  const TestSupport::TempDir Config;  // the settings store of the driver's runs
  size_t Since = 0;
  std::unique_ptr<TCpsToken> Token;
  std::string FProfile;
  std::shared_ptr<TCarvelin> Root;
  std::shared_ptr<IVaspoCPS> CPS;
};

// openssl's reading of a certificate's subject: key = value, one a line.
std::map<std::string, std::string> OpenSSLSubject(const std::string& Pem) {
  auto R = TestSupport::Run({"openssl", "x509", "-in", Pem, "-noout", "-subject", "-nameopt", "multiline,utf8,-esc_msb"});
  std::map<std::string, std::string> Values;
  std::istringstream In(R.Out);
  for (std::string Line; std::getline(In, Line);) {
    const size_t Eq = Line.find(" = ");
    if (Eq == std::string::npos) continue;
    const size_t Start = Line.find_first_not_of(' ');
    Values[Line.substr(Start, Line.find_last_not_of(' ', Eq - 1) + 1 - Start)] = Line.substr(Eq + 3);
  }
  return Values;
}

TEST_F(CardPeer, training_doctor_reads_card_logs_in_and_runs_every_transaction) {
  struct Engine {
    Vantrel::TTLSEngine Engine;
    std::string Profile, Cipher;
  };
  for (const Engine& E : {Engine{Vantrel::TTLSEngine::TinyTLS, "default", "ECDHE-RSA-AES256-GCM-SHA384"},
                          Engine{Vantrel::TTLSEngine::SChannel, "default", ""},
                          Engine{Vantrel::TTLSEngine::SChannel, "system-tls", "ECDHE-ECDSA-AES128-GCM-SHA256"}}) {
    SCOPED_TRACE(E.Profile);
    Sim->Control("POST", "/tls-profile", R"({"profile": ")" + E.Profile + "\"}");
    Start();
    Root->SetTLSEngine(E.Engine);
    Log.Lines.clear();
    ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
    const TCPSInfo& Info = Session().Info;
    EXPECT_EQ(Info.Porteur.Nom, "LEFÈVRE");
    EXPECT_EQ(Info.Porteur.NomNaissance, "DURAND-LEFÈVRE");
    EXPECT_EQ(Info.Porteur.Civilite.Nom, "Monsieur");
    EXPECT_EQ(Info.Porteur.Entite.Code, "G15_10/SM54");
    EXPECT_EQ(Info.Porteur.Entite.Nom, "Médecin - Médecine Générale (SM)");
    EXPECT_EQ(Info.Porteur.Profession.Nom, "Médecin");
    EXPECT_EQ(Info.Carte.IdCarte, "2800012345");
    EXPECT_EQ(Info.DN, "CN=899700012345 + SURNAME=LEFÈVRE + GIVENNAME=Jérôme + T=Médecin + OU=0B0012345 + "
                       "O=Cabinet Médical Formation + C=FR");
    EXPECT_FALSE(Info.Anonym);
    EXPECT_EQ(Info.ProcessingCode, "D");
    EXPECT_EQ(Info.DMP_Server, Hosts.Formation.DMP_Server);
    EXPECT_EQ(Info.AccesWeb, Hosts.Formation.WebAccessBase() + "ps/acces-web/");
    EXPECT_EQ(Info.LPS_OID, InstanceOID);
    EXPECT_EQ(Root->GetActiveCPS(), CPS);
    EXPECT_EQ(Log.Lines.front(), "Détection du lecteur...");

    ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
    int Count = 0;
    ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);
    ASSERT_EQ(Count, 2);
    EXPECT_EQ(CPS->GetActivite(0)->Numero, 1);
    EXPECT_EQ(CPS->GetActivite(0)->Entite.Nom, "Cabinet individuel");
    EXPECT_EQ(CPS->GetActivite(0)->NumFacturation, "123456789");
    EXPECT_EQ(CPS->GetActivite(1)->Numero, 3);
    EXPECT_EQ(CPS->GetActivite(1)->Entite.Nom, "Etablissement public de santé");
    EXPECT_EQ(CPS->GetActivite(1)->NumFacturation, "");  // a billing number of 9 digits is not one
    EXPECT_EQ(CPS->GetActivite(2), nullptr);

    TVaspoCPS& S = Session();
    TDossierInfo Dossier;
    ASSERT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Dossier.Autorisation, "VALIDE");
    EXPECT_TRUE(Dossier.StatutMT);
    EXPECT_EQ(Dossier.Patient.Identite.NomNaissance, "DURAND");
    EXPECT_EQ(S.TestExistenceDossier(GirardINS, 'T', Dossier), ERR_DMP);
    const size_t Sent = NationalCount();
    EXPECT_EQ(S.TestExistenceDossier("2840575112045", 'T', Dossier), ERR_INS_INVALIDE);
    EXPECT_EQ(NationalCount(), Sent);

    std::vector<Objects::TDossierItem> Records;
    ASSERT_EQ(S.ListDossiers("20200101", TDateMode::DateAutorisation, Records), ERR_OK) << Root->GetErrDetail();
    EXPECT_FALSE(Records.empty());
    std::vector<TPatientItem> Patients;
    TRecherchePatients Criteres;
    Criteres.Nom = "DUR";
    Criteres.NomPartiel = true;
    ASSERT_EQ(S.SearchPatients(Criteres, Patients), ERR_OK) << Root->GetErrDetail();
    ASSERT_EQ(Patients.size(), 1u);
    EXPECT_EQ(Patients[0].Patient.INSi.Code, MartinINS);

    // Zoé Marie DURAND: "MARIE" alone is not her first given name, "ZOÉ" is.
    const TINSiResponse* Answer = nullptr;
    ASSERT_EQ(S.rechercherInsAvecTraitsIdentite({"Durand", "Marie Zoé", 'F', "1984-01-18", ""}, Answer), ERR_OK)
        << Root->GetErrDetail();
    EXPECT_EQ(Answer->INS, MartinINS);
    ExpectLog(R"(
ops = [(e['service'], e.get('operation'), e.get('note', '')) for e in national]
assert [o[:2] for o in ops] == [('patients', 'PRPA_IN201307UV02')] * 2 + [('patientsSpecific', 'patientList'),
        ('patientsPDQ', 'PRPA_IN201305UV02'), ('insi', 'RECSANSVITALE'), ('insi', 'RECSANSVITALE')], ops
assert ops[4][2] == 'CodeCR 01' and ops[5][2] == 'CodeCR 00 martin', ops
firsts = [re.search(rb'<(?:\w+:)?Prenom>([^<]*)<', open(os.path.join(state, e['request_file']), 'rb').read()).group(1)
          for e in national[4:]]
assert firsts == [b'MARIE', b'ZOE'], firsts
if args[0]:
    assert all(e['tls_cipher'] == args[0] for e in national), [e['tls_cipher'] for e in national]
)",
              {E.Cipher});
  }
  Sim->Control("POST", "/tls-profile", R"({"profile": "default"})");
}

TEST_F(CardPeer, first_names_are_tried_alone_then_together) {
  Start();
  LogIn();
  const TINSiResponse* Answer = nullptr;
  // Nobody is called "Jean Mathis" as a whole: each name alone fails... but
  // MATHIS is ROUX's first given name.
  EXPECT_EQ(Session().rechercherInsAvecTraitsIdentite({"Personne", "Anne Marie Claire", 'F', "1980-01-01", ""}, Answer),
            ERR_INSI);
  EXPECT_EQ(Answer, nullptr);
  EXPECT_EQ(Session().rechercherInsAvecTraitsIdentite({"Durand", "", 'F', "1984-01-18", ""}, Answer), ERR_INSI);
  ExpectLog(R"(
firsts = [re.search(rb'<(?:\w+:)?Prenom>([^<]*)<', open(os.path.join(state, e['request_file']), 'rb').read()).group(1)
          for e in national if e['service'] == 'insi']
assert firsts == [b'ANNE', b'MARIE', b'CLAIRE', b'ANNE MARIE CLAIRE'], firsts
)");
}

TEST_F(CardPeer, card_subjects_agree_with_openssl) {
  for (const char* Profile : {"medecin-formation", "pharmacien-formation", "secretariat-formation"}) {
    SCOPED_TRACE(Profile);
    Start(Profile);
    ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
    auto Subject = OpenSSLSubject(Card("auth.pem"));
    const TCPSInfo& Info = Session().Info;
    EXPECT_EQ(Info.CN, Subject["commonName"]);
    EXPECT_EQ(Info.Org, Subject["organizationName"]);
    EXPECT_EQ(Info.DN.substr(0, 3 + Info.CN.size()), "CN=" + Info.CN);
    EXPECT_NE(Info.DN.find(" + O=" + Subject["organizationName"] + " + C=FR"), std::string::npos) << Info.DN;
  }
  // The staff card is anonymous: its names come from O and CN.
  const TPorteur& Staff = Session().Info.Porteur;
  EXPECT_TRUE(Session().Info.Anonym);
  EXPECT_EQ(Staff.Nom, "Centre Médical -Formation- -2");
  EXPECT_EQ(Staff.Prenom, "Secrétariat-Accueil-Centre");
  EXPECT_EQ(Staff.Profession.Code, "SECRETARIAT_MEDICAL");
}

TEST_F(CardPeer, pharmacist_takes_the_author_speciality_of_its_section) {
  Start("pharmacien-formation");
  LogIn();
  const TActivite* A = CPS->GetActivite(0);
  ASSERT_NE(A, nullptr);
  EXPECT_EQ(A->Pharmacien.OID, "1.2.250.1.71.4.2.6");
  EXPECT_FALSE(A->Pharmacien.Nom.empty());
  EXPECT_EQ(A->NumFacturation, "234567890");
  EXPECT_EQ(Session().Info.Porteur.Entite.Code, "G15_21/A");
  EXPECT_EQ(Session().Info.Porteur.Entite.OID, "1.2.250.1.213.1.1.4.5");
  TDossierInfo Dossier;
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'T', Dossier), ERR_OK) << Root->GetErrDetail();
  ExpectLog("assert len(national) == 1");
}

TEST_F(CardPeer, production_card_uses_the_production_host_only) {
  Start("medecin-production");
  LogIn();
  EXPECT_EQ(Session().Info.ProcessingCode, "P");
  EXPECT_EQ(Session().Info.DMP_Server, Hosts.Production.DMP_Server);
  TDossierInfo Dossier;
  // The production host answers production INS OIDs: the INS of type R.
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'R', Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'T', Dossier), ERR_VITALE_TEST);
  const size_t Sent = NationalCount();
  CPS->SetServer(Hosts.Formation.DMP_Server);
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'R', Dossier), ERR_CPS_REELLE);
  EXPECT_EQ(NationalCount(), Sent);
  ExpectLog("assert len(national) == 1 and national[0]['environment'] == 'production', national");

  Start();
  LogIn();
  CPS->SetServer(Hosts.Production.DMP_Server);
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'T', Dossier), ERR_CPS_TEST);
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'R', Dossier), ERR_VITALE_REELLE);
  EXPECT_EQ(NationalCount(), 0u);
}

// The PIN login reads the parameters document, whose server asks for a
// SHA-1, then a SHA-384 handshake signature: the card's authentication key
// signs it, and openssl checks it against the certificate the card sent.
TEST_F(CardPeer, the_card_signs_sha1_and_sha384_handshakes_for_openssl) {
  for (std::string SigAlgs : {"RSA+SHA1", "RSA+SHA384"}) {
    SCOPED_TRACE(SigAlgs);
    const CoreTest::TParamsServer Server(SigAlgs);
    ASSERT_TRUE(Server.Ready);
    SetHostsConfig(Server.Hosts(Hosts));
    Start();
    ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
    Token->ClearLog();
    ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Root->FParametres.AgeMajoritee, Server.AgeMajorite);
    // One signature by the card, which the module accepted.
    std::istringstream Calls(Token->Log());
    std::vector<std::string> Signatures;
    for (std::string Line; std::getline(Calls, Line);)
      if (Line.rfind("C_Sign ", 0) == 0) Signatures.push_back(Line.substr(Line.rfind(' ') + 1));
    EXPECT_EQ(Signatures, std::vector<std::string>{"0x0"}) << Token->Log();
  }
}

// A document signature made with the card's signature key through the
// session's SignBytes: xmlsec1 accepts it with the test root trusted and the
// card authority beside it.
TEST_F(CardPeer, a_document_signed_by_the_card_verifies_with_xmlsec1) {
  Start();
  LogIn();
  TVaspoCPS& S = Session();
  Vantrel::TXDSbInfo<TCDAInfo, TDOCInfo> Info;
  Info.CDA.NowUTC = Vantrel::NowUTC();
  Info.DOC.DocID = "1.2.250.1.999.1.2.3";
  Info.SubId = "1.2.250.1.999.7.7";
  Info.SignId = "1.2.250.1.999.8.8";
  Info.Certificat = S.Cert;
  Info.Sign = [&S](const std::string& Hash, std::string& Signature) { return S.SignBytes(Hash, Signature); };
  const std::filesystem::path Document = TestSupport::Fixture("xades/cda.xml");
  std::string Signature;
  ASSERT_EQ(Vantrel::SignDocumentXAdES(Info, TestSupport::ReadFile(Document), Signature), 0) << Root->GetErrDetail();
  EXPECT_NE(Signature.find(Vantrel::Base64Encode(S.Cert)), std::string::npos);

  const TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "signature.xml", Signature);
  TestSupport::WriteFile(Dir / "empty", "");  // the submission set's placeholder reference
  auto R = TestSupport::Run(
      {"xmlsec1", "--verify", "--trusted-pem", TestSupport::PKIFile("root-ca.pem"), "--untrusted-pem",
       TestSupport::PKIFile("ca-personnes.pem"), "--id-attr:Id", "http://uri.etsi.org/01903/v1.1.1#:SignedProperties",
       "--id-attr:Id", "http://www.w3.org/2000/09/xmldsig#:Manifest", "--url-map:urn:oid:" + Info.SubId,
       (Dir / "empty").string(), "--url-map:urn:oid:" + Info.DOC.DocID, Document.string(),
       (Dir / "signature.xml").string()});
  EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
  // The filed document's reference holds; only the placeholder does not.
  EXPECT_NE(R.Err.find("Manifests References (ok/all): 1/2"), std::string::npos) << R.Err;
}

TEST_F(CardPeer, opening_failures_leave_no_session) {
  struct Case {
    std::string Control;
    int Slot, Code;
  } Cases[] = {
      {"slots=0", 0, ERR_LECTEUR_ABSENT},
      {"cards=nothing", 0, ERR_CARTE_ABSENTE},
      {"", 1, ERR_INDEX},
      {"", -1, ERR_INDEX},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Control);
    Start("medecin-formation", C.Control);
    EXPECT_EQ(Root->GetCPS(C.Slot, CPS), C.Code);
    EXPECT_EQ(CPS, nullptr);
    EXPECT_EQ(Root->VaspoCNX, nullptr);
    if (C.Code == ERR_INDEX) {
      EXPECT_EQ(Root->GetErrDetail(), "Numéro de Slot invalide");
    }
  }
  auto Lone = TCarvelin::Create();
  EXPECT_EQ(Lone->SetCryptoLib("/nonexistent/libmodule.so"), ERR_CPS);
  EXPECT_NE(Lone->GetErrDetail().find("No such file"), std::string::npos) << Lone->GetErrDetail();
}

// Replaces or removes one object of the card through SoftHSM directly.
void ChangeObject(const TCpsToken& Token, std::string_view Type, std::string_view Label, const std::string& Value,
                  bool Private = false) {
  const std::string Module = TCpsToken::SoftHSM();
  TestSupport::Run({"pkcs11-tool", "--module", Module, "--login", "--pin", "1234", "--delete-object", "--type",
                    std::string(Type), "--label", std::string(Label)});
  if (Value.empty()) return;
  const auto File = Token.Dir() / "object.der";
  TestSupport::WriteFile(File, Value);
  std::vector<std::string> Argv = {"pkcs11-tool", "--module", Module, "--login", "--pin", "1234", "--write-object",
                                   File.string(), "--type", "data", "--label", std::string(Label)};
  if (Private) Argv.push_back("--private");
  auto R = TestSupport::Run(Argv);
  ASSERT_EQ(R.Status, 0) << R.Err;
}

TEST_F(CardPeer, missing_or_malformed_card_objects_have_their_codes) {
  const std::string Truncated("\xE4\x10\x80\x01\x1F", 5);  // announces 16 bytes, holds 3
  struct Case {
    std::string Type, Label, Value;
    int Code;
    std::string Detail;
  } Cases[] = {
      {"cert", "Certificat de Signature CPS", "", ERR_CERTIFICAT_CPS, ""},
      {"data", "CPS_NAME_PS", "", ERR_NOM_PORTEUR, ""},
      {"data", "CPS_ID_CARD", "", ERR_INFOS_CARTE, ""},
      {"data", "CPS_INFO_PS", "", ERR_INFOS_PORTEUR, ""},
      {"data", "CPS_NAME_PS", Truncated, ERR_NOM_PORTEUR, "CPS_NAME_PS : Sub chunk to large (octet 2)"},
      {"data", "CPS_ID_CARD", std::string("\xE3\x03\x84\x01\x20", 5), ERR_CPS_EXPIREE, "Jérôme () a expiré le 30/12/1899"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Label + " " + std::to_string(C.Value.size()));
    Start();
    ChangeObject(*Token, C.Type, C.Label, C.Value);
    EXPECT_EQ(Open(), C.Code);
    EXPECT_EQ(CPS, nullptr);
    EXPECT_EQ(Root->VaspoCNX, nullptr);
    EXPECT_NE(Root->GetErrDetail().find(C.Detail), std::string::npos) << Root->GetErrDetail();
  }
}

TEST_F(CardPeer, expiry_is_checked_at_midnight_of_the_end_date) {
  Start();
  ASSERT_EQ(Open(), ERR_OK);
  const std::string Fin = Session().Info.Carte.FinValidite;
  Vantrel::TDateTime Midnight = 0;
  ASSERT_TRUE(Vantrel::TryEncodeDate(std::stoi(Fin.substr(0, 4)), std::stoi(Fin.substr(4, 2)),
                                     std::stoi(Fin.substr(6, 2)), Midnight));
  const double Second = 1.0 / 86400;
  for (auto [At, Code] : {std::pair{Midnight - Second, ERR_OK}, std::pair{Midnight, ERR_OK},
                          std::pair{Midnight + Second, ERR_CPS_EXPIREE}, std::pair{Midnight + 1, ERR_CPS_EXPIREE}}) {
    Root->Clock = [At = At] { return At; };
    EXPECT_EQ(Open(), Code) << At;
    if (Code == ERR_OK) continue;
    EXPECT_EQ(CPS, nullptr);
    // The holder is named by the birth name read before the expiry check.
    EXPECT_EQ(Root->GetErrDetail(), "La carte de DURAND-LEFÈVRE Jérôme (2800012345) a expiré le " +
                                        Fin.substr(6, 2) + "/" + Fin.substr(4, 2) + "/" + Fin.substr(0, 4));
  }
}

TEST_F(CardPeer, pin_login_results) {
  Start();
  ASSERT_EQ(Open(), ERR_OK);
  EXPECT_EQ(CPS->SetCode("0000"), ERR_CODE_INVALIDE);
  EXPECT_FALSE(Session().FActive);
  EXPECT_EQ(CPS->PinCount(), 2);
  int Count = 0;
  EXPECT_EQ(CPS->GetActivites(Count), ERR_SESSION);
  for (auto [Control, Code] : {std::pair{"login_rv=0xA4", ERR_CARTE_BLOQUEE}, std::pair{"login_rv=0x400000", ERR_CARTE_BLOQUEE},
                               std::pair{"login_rv=176", ERR_SESSION}}) {
    Token->Control(Control);
    EXPECT_EQ(CPS->SetCode("1234"), Code) << Control;
    EXPECT_FALSE(Session().FActive);
  }
  Token->Control("");
  ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(CPS->PinCount(), 3);
  EXPECT_EQ(Token->Log().find("1234"), std::string::npos);

  // A session that is no longer the current one.
  std::shared_ptr<IVaspoCPS> Old = CPS;
  ASSERT_EQ(Open(), ERR_OK);
  EXPECT_EQ(Old->SetCode("1234"), ERR_SESSION);
  EXPECT_EQ(Old->PinCount(), -1);

  // The parameters document failing: -1 with its message and class, the login kept.
  Sim->SetRules(R"([{"match": {"service": "params"}, "status": {"code": 200, "body": "<a><b></a>",
                     "content_type": "text/xml"}}])");
  EXPECT_EQ(CPS->SetCode("1234"), -1);
  EXPECT_EQ(Root->GetErrDetail(), "Unexpected closing tag \"/a\" (EXMLUnexpectedClosingTagError)");
  EXPECT_TRUE(Session().FActive);
  Sim->SetRules("[]");
}

TEST_F(CardPeer, a_logged_in_card_takes_only_the_code_it_accepted) {
  Start();
  LogIn();
  TVaspoCPS& S = Session();
  // The card answers "already logged in" to any code: the kept one judges,
  // no try is spent and the wrong code is not kept for the silent login.
  EXPECT_EQ(CPS->SetCode("0000"), ERR_CODE_INVALIDE);
  EXPECT_FALSE(S.FActive);
  EXPECT_EQ(S.CodePin(), "1234");
  EXPECT_EQ(CPS->PinCount(), 3);
  ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
  EXPECT_TRUE(S.FActive);

  // No code kept: the card, logged out first, judges it.
  S.ClearCodePin();
  EXPECT_EQ(CPS->SetCode("0000"), ERR_CODE_INVALIDE);
  EXPECT_TRUE(S.CodePin().empty());
  EXPECT_EQ(CPS->PinCount(), 2);
  ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(S.CodePin(), "1234");
  EXPECT_EQ(Token->Log().find("0000"), std::string::npos);
}

TEST_F(CardPeer, activity_choice_and_calls_before_it) {
  Start();
  ASSERT_EQ(Open(), ERR_OK);
  ASSERT_EQ(CPS->SetCode("1234"), ERR_OK);
  TDossierInfo Dossier;
  // No activity read yet: the assertion cannot be built, nothing is sent.
  EXPECT_EQ(Session().TestExistenceDossier(MartinINS, 'T', Dossier), ERR_INDEX);
  EXPECT_FALSE(Root->GetErrDetail().empty());
  EXPECT_EQ(NationalCount(), 0u);
  int Count = 0;
  ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);
  EXPECT_EQ(CPS->SelectActivite(2), ERR_INDEX);
  EXPECT_EQ(CPS->SelectActivite(-1), ERR_INDEX);
  EXPECT_EQ(CPS->SelectActivite(1), ERR_OK);
  EXPECT_EQ(CPS->SelectedActivite(), 1);
  EXPECT_EQ(CPS->CurrentActivite()->Numero, 3);
}

TEST_F(CardPeer, a_malformed_activity_is_skipped_with_a_log_line) {
  Start();
  ChangeObject(*Token, "data", "CPS_ACTIVITY_01_PS", std::string("\xEE\x05\x83\x09\x01", 5), true);
  LogIn();
  int Count = 0;
  ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);
  EXPECT_EQ(Count, 1);
  EXPECT_EQ(CPS->GetActivite(0)->Numero, 3);
  EXPECT_NE(std::find_if(Log.Lines.begin(), Log.Lines.end(),
                         [](const std::string& L) { return L.rfind("CPS_ACTIVITY_01_PS : ", 0) == 0; }),
            Log.Lines.end());
}

TEST_F(CardPeer, card_signatures_agree_with_openssl_and_pkcs11_tool) {
  Start();
  LogIn();
  const TestSupport::TempDir Dir;
  for (auto [Length, Digest] : {std::pair{20, "sha1"}, std::pair{32, "sha256"}, std::pair{48, "sha384"}}) {
    const std::string Hash = TestSupport::RandomBytes(size_t(Length), uint64_t(Length));
    std::string_view Signature;
    ASSERT_EQ(CPS->SignHash(Hash, Signature), ERR_OK) << Root->GetErrDetail();
    const std::string Bytes = Vantrel::Base64Decode(Signature);
    TestSupport::WriteFile(Dir.Path() / "hash", Hash);
    TestSupport::WriteFile(Dir.Path() / "sig", Bytes);
    auto R = TestSupport::Run({"openssl", "pkeyutl", "-verify", "-certin", "-inkey", Card("sign.pem"), "-pkeyopt",
                               std::string("digest:") + Digest, "-in", (Dir.Path() / "hash").string(), "-sigfile",
                               (Dir.Path() / "sig").string()});
    EXPECT_EQ(R.Status, 0) << Digest << R.Out << R.Err;
    // pkcs11-tool's signature of the same DigestInfo with the signature key.
    TestSupport::WriteFile(Dir.Path() / "info", Vantrel::PKCS1DigestInfo(Hash));
    R = TestSupport::Run({"pkcs11-tool", "--module", TCpsToken::SoftHSM(), "--login", "--pin", "1234", "--sign", "-m",
                          "RSA-PKCS", "--id", "02", "-i", (Dir.Path() / "info").string(), "-o",
                          (Dir.Path() / "theirs").string()});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(TestSupport::ReadFile(Dir.Path() / "theirs"), Bytes) << Digest;
  }
  // Any other length is signed as given.
  std::string_view Signature;
  ASSERT_EQ(CPS->SignHash("0123456789", Signature), ERR_OK);
  Token->Control("sign_rv=0x6");
  EXPECT_EQ(CPS->SignHash(std::string(32, 'x'), Signature), ERR_CRYPTOLIB);
  EXPECT_EQ(Root->GetErrDetail(), "Erreur de signature #6");
}

}  // namespace

namespace {

// Card changes between two calls, made by the shim: "reset=N" makes the
// module lose its initialisation once for each new N.
TEST_F(CardPeer, card_reset_swap_and_silent_login) {
  Start("medecin-formation", "cards=medecin-formation");
  Token.reset();
  Token = std::make_unique<TCpsToken>(std::initializer_list<std::string_view>{"medecin-formation", "pharmacien-formation"});
  Token->Control("cards=medecin-formation");
  Root = TCarvelin::Create();
  Root->SetInstanceOID(InstanceOID);
  ASSERT_EQ(Root->SetCryptoLib(TCpsToken::Shim()), ERR_OK);
  LogIn();
  TDossierInfo Dossier;
  TVaspoCPS& S = Session();

  // The same card after a reset: logged in again silently, the call goes out.
  Token->Control("cards=medecin-formation\nreset=1");
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(NationalCount(), 1u);
  // The module reset during a signature: one more try after the check.
  Token->Control("cards=medecin-formation\nreset=2");
  std::string_view Signature;
  EXPECT_EQ(CPS->SignHash(std::string(32, 'h'), Signature), ERR_OK) << Root->GetErrDetail();
  // A silent login that fails forgets the PIN: that call fails its card check,
  // the next ones find the session inactive until SetCode.
  Token->Control("cards=medecin-formation\nreset=3\nlogin_rv=0xA0");
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_CHANGEMENT_CARTE);
  EXPECT_TRUE(S.CodePin().empty());
  Token->Control("cards=medecin-formation\nreset=3");
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_SESSION);
  EXPECT_EQ(Root->GetActiveCPS(), CPS);
  EXPECT_EQ(NationalCount(), 1u);
  ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
  int Count = 0;
  ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);  // read again after each login
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(NationalCount(), 2u);

  // Another card put in: refused, and still refused on the next call.
  Token->Control("cards=pharmacien-formation\nreset=4");
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_CHANGEMENT_CARTE);
  EXPECT_EQ(S.TestExistenceDossier(MartinINS, 'T', Dossier), ERR_CHANGEMENT_CARTE);
  EXPECT_EQ(NationalCount(), 2u);
  ExpectLog("assert len(national) == 2");
}

// SoftHSM itself, whose token folder stands for the card: it keeps the
// tokens it found when initialised, so the card put back is only seen once
// the module starts again.
TEST_F(CardPeer, a_card_taken_out_and_put_back_is_read_again) {
  Start();
  Root = TCarvelin::Create();
  Root->SetInstanceOID(InstanceOID);
  ASSERT_EQ(Root->SetCryptoLib(TCpsToken::SoftHSM()), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
  const std::filesystem::path Tokens = Token->Dir() / "tokens", Away = Token->Dir() / "away";
  std::filesystem::rename(Tokens, Away);
  EXPECT_EQ(Open(), ERR_SESSION_CPS);
  std::filesystem::rename(Away, Tokens);
  ASSERT_EQ(Open(), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Session().Info.Carte.IdCarte, "2800012345");
  EXPECT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
}

// The driver, as a script runs it: one JSON object a command.
TEST_F(CardPeer, dmp_cli_runs_a_session) {
  Start();
  for (const char* Engine : {"own", "system"}) {
    SCOPED_TRACE(Engine);
    Since = Sim->LogSize();
    auto R = DmpCli({"--engine", Engine, "card", "login", "1234", "pin-count", "activities", "select", "1",
                     "exists", std::string(MartinINS), "T", "exists", std::string(GirardINS), "T", "exists",
                     "28405751120453", "T", "records", "20200101", "LASTDOC", "patients", "--nom", "DURAND",
                     "--sexe", "F", "insi", "DURAND", "Marie Zoé", "F", "1984-01-18", "sign-hash",
                     std::string(64, 'a'), "server", Hosts.Production.DMP_Server, "exists", std::string(MartinINS),
                     "T"});
    EXPECT_EQ(R.Status, 1) << R.Err;  // the refused calls
    EXPECT_EQ(R.Out.find("\"1234\""), std::string::npos);  // the PIN
    auto P = TestSupport::RunPython(R"PY(
import json, sys
out = [json.loads(l) for l in sys.stdin]
codes = [(o['command'], o['code']) for o in out]
assert codes == [('card', 0), ('login', 0), ('pin-count', 0), ('activities', 0), ('select', 0), ('exists', 0),
                 ('exists', 0x5000), ('exists', 0x1005), ('records', 0), ('patients', 0), ('insi', 0),
                 ('sign-hash', 0), ('server', 0), ('exists', 0x200C)], codes
card = out[0]['records']
assert card['processingCode'] == 'D' and card['porteur']['nom'] == 'LEFÈVRE' and card['dn'].startswith('CN='), card
assert [a['numero'] for a in out[3]['records']['activites']] == [1, 3]
assert out[5]['records']['autorisation'] == 'VALIDE'
assert out[10]['records']['ins'] == '284057511204537'
)PY", {}, R.Out);
    EXPECT_EQ(P.Status, 0) << P.Err << R.Out;
    ExpectLog(R"(
assert [e['service'] for e in national] == ['patients', 'patients', 'patientsSpecific', 'patientsPDQ', 'insi', 'insi'], national
)");
  }
}

// The instance OID is made by the first program that needs it, kept in the
// settings store and read back by the next one; the teleservice's context
// carries its GUID form (Python's uuid reads the 2.25 arc).
TEST_F(CardPeer, the_instance_oid_is_made_once_and_kept_across_programs) {
  Start();
  std::string Out;
  for (int Run = 0; Run < 2; ++Run) {
    auto R = DmpCli({"card", "login", "1234", "activities", "insi", "DURAND", "Zoé", "F", "1984-01-18"});
    EXPECT_EQ(R.Status, 0) << R.Err << R.Out;
    Out += R.Out;
  }
  ExpectLog(R"(
import uuid
out = [json.loads(l) for l in args[0].splitlines()]
oids = [o['records']['lpsOid'] for o in out if o['command'] == 'card']
assert len(oids) == 2 and oids[0] == oids[1] and re.fullmatch(r'2\.25\.[0-9]+', oids[0]), oids
assert oids[0] in open(args[1], encoding='utf-8').read()
guid = str(uuid.UUID(int=int(oids[0][5:])))
instances = [re.search(rb'<(?:\w+:)?Instance>([^<]*)<', open(os.path.join(state, e['request_file']), 'rb').read()).group(1)
             for e in national if e['service'] == 'insi']
assert instances == [guid.encode()] * 2, (instances, guid)
)",
            {Out, (Config / "Carvelin2/registry").string()});
}

}  // namespace
