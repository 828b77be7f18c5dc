// The Vitale card against real peers: Python's xml.etree reads the card
// fixtures that the core reads through the stand-in reader library, and the
// simulator's identity teleservice (assertions checked by xmlsec1) decides
// the answers to the search with the card, made with a SoftHSM2 training
// CPS card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CardSimPeer.h"
#include "TestSupport.h"

using namespace Talven;

namespace {

std::string Stub() { return TestSupport::ToolPath("libapi_lec_stub.so.6.2.1.0"); }
std::string Card(const std::string& Name) { return TestSupport::Fixture("vitale/" + Name).string(); }

// The stand-in reads Card and logs nowhere; the variables go with the object.
class TStubCard {
 public:
  explicit TStubCard(const std::string& Name) { Insert(Name); }
  ~TStubCard() {
    unsetenv("APILEC_STUB_XML");
    unsetenv("APILEC_STUB_CARD");
  }
  void Insert(const std::string& Name, const char* CardType = "0") {
    setenv("APILEC_STUB_XML", Card(Name).c_str(), 1);
    setenv("APILEC_STUB_CARD", CardType, 1);
  }
};

// Each beneficiary as the core hands it out, in the fields and order of
// tests/tools/vitale_card.py (the first address text is the complement).
std::string CoreReading(TVaspoCSV& CSV) {
  std::string Out = "card " + CSV.DATA.numSerie + "\n";
  for (int I = 0; I < CSV.GetBeneficiaires(); ++I) {
    EXPECT_EQ(CSV.SelectionBeneficiaire(I), ERR_OK);
    const TBeneficiaire& B = *CSV.GetBeneficiaire(I);
    const TAdresse& A = *CSV.GetAdresse();
    Out += B.NomUsage + "|" + B.NomNaissance + "|" + B.Prenom + "|" + B.DateNaissance + "|" +
           CSV.DATA.listeBenef[size_t(I)].DateINS() + "|" + B.Nir + "|" + std::to_string(B.RangDeNaissance) + "|" +
           std::to_string(B.Qualite) + "|" + A.Complement + "|" + A.Adresse + "|" + A.CodePostal + "|" + A.Ville +
           "|" + B.MedecinTraitant + "\n";
  }
  return Out;
}

TEST(VitalePeer, cards_read_through_the_reader_as_python_reads_them) {
  const auto Root = TCarvelin::Create();
  Root->Clock = [] {
    Vantrel::TDateTime Today = 0;
    Vantrel::TryEncodeDate(2025, 6, 15, Today);
    return Today + 0.5;
  };
  ASSERT_EQ(Root->SetApiLecture(Stub()), ERR_OK) << Root->GetErrDetail();
  TStubCard Reader("one-benef.xml");
  for (const char* Name :
       {"one-benef.xml", "three-benef-element.xml", "windows-1252.xml", "no-list.xml", "insi-martin.xml"}) {
    SCOPED_TRACE(Name);
    Reader.Insert(Name);
    std::shared_ptr<IVaspoCSV> CSV;
    ASSERT_EQ(Root->GetCSV(CSV), ERR_OK) << Root->GetErrDetail();
    const auto Python =
        TestSupport::Run({TestSupport::Python, std::string(CARVELIN_SOURCE_DIR) + "/tests/tools/vitale_card.py",
                          Card(Name)});
    ASSERT_EQ(Python.Status, 0) << Python.Err;
    EXPECT_EQ(CoreReading(dynamic_cast<TVaspoCSV&>(*CSV)), Python.Out);
  }
}

class VitaleSimPeer : public CardSim::TCardSimPeer {
 protected:
  static void SetUpTestSuite() { StartSimulator({"--verify-signatures"}); }

  std::shared_ptr<IVaspoCSV> FromFile(const std::string& Name) {
    std::shared_ptr<IVaspoCSV> CSV;
    EXPECT_EQ(Root->SetCSV(TestSupport::ReadFile(Card(Name)), CSV), ERR_OK) << Root->GetErrDetail();
    return CSV;
  }
};

TEST_F(VitaleSimPeer, a_card_read_must_suit_the_training_cps_card) {
  ASSERT_EQ(Root->SetApiLecture(Stub()), ERR_OK) << Root->GetErrDetail();
  TStubCard Reader("insi-martin.xml");
  struct Case {
    const char* CardType;
    int Code;
  } Cases[] = {{"0x0000", ERR_VITALE_REELLE}, {"0x0100", ERR_INS_PATIENT}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.CardType);
    Reader.Insert("insi-martin.xml", C.CardType);
    std::shared_ptr<IVaspoCSV> CSV;
    ASSERT_EQ(Root->GetCSV(CSV), ERR_OK) << Root->GetErrDetail();
    std::shared_ptr<IDossierMedical> Dossier;
    EXPECT_EQ(CSV->DossierExiste(Dossier), C.Code);
  }
  EXPECT_TRUE(Operations().empty());
}

TEST_F(VitaleSimPeer, identity_search_retries_with_the_usage_name_only_after_nobody_or_several) {
  struct Case {
    std::string Name;
    int Beneficiaire;
    std::string Rules;
    int Code;
    std::vector<std::string> NamesSent;
  } Cases[] = {
      {"birth name found", 0, "[]", ERR_OK, {"DURAND"}},
      {"usage name found after nobody", 1, "[]", ERR_OK, {"MARTIN", "DURAND"}},
      {"usage name found after several",
       1,
       R"([{"match": {"operation": "RECVITALE"}, "times": 1, "variant": "several"}])",
       ERR_OK,
       {"MARTIN", "DURAND"}},
      {"nobody under either name",
       0,
       R"([{"match": {"operation": "RECVITALE"}, "variant": "none"}])",
       ERR_INSI,
       {"DURAND", "MARTIN-DURAND"}},
      {"several under either name",
       1,
       R"([{"match": {"operation": "RECVITALE"}, "variant": "several"}])",
       ERR_INSI_MULTIPLE,
       {"MARTIN", "DURAND"}},
      {"no usage name", 2, "[]", ERR_INSI, {"INCONNU"}},
      {"unexpected answer", 0, R"([{"match": {"operation": "RECVITALE"}, "variant": "unexpected"}])", ERR_REPONSE,
       {"DURAND"}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Sim->SetRules(C.Rules);
    Since = Sim->LogSize();
    const auto CSV = FromFile("insi-martin.xml");
    ASSERT_EQ(CSV->SelectionBeneficiaire(C.Beneficiaire), ERR_OK);
    const TINSiResponse* Answer = nullptr;
    EXPECT_EQ(CSV->rechercherInsAvecCarteVitale(Answer), C.Code) << Root->GetErrDetail();
    EXPECT_EQ(Answer != nullptr, C.Code == ERR_OK);
    if (Answer) {
      EXPECT_EQ(Answer->INS, "284057511204537");
      EXPECT_EQ(Answer->OID, "1.2.250.1.213.1.4.10");
    }
    std::vector<std::string> Args = {C.Code == ERR_OK ? "00" : ""};
    Args.insert(Args.end(), C.NamesSent.begin(), C.NamesSent.end());
    ExpectLog(R"(
sent = [texts(e, 'NomNaissance') for e in requests]
assert [e['operation'] for e in requests] == ['RECVITALE'] * len(args[1:]), requests
assert sent == [[n] for n in args[1:]], sent
for e in requests:
    assert e['status'] == 200, e
    assert texts(e, 'NumIdentifiant')[-1] == '2840575112045', texts(e, 'NumIdentifiant')
    ids = [n.text for n in body(e).iter() if n.tag.endswith('}NameID') and n.get('NameQualifier') == 'VITALE']
    assert ids == ['000123456789'], ids
assert not args[0] or requests[-1]['note'].startswith('CodeCR 00'), requests[-1]
)",
              Args);
  }
  Sim->SetRules("[]");
}

TEST_F(VitaleSimPeer, dmp_cli_reads_the_card_and_finds_the_ins) {
  TStubCard Reader("insi-martin.xml");
  Reader.Insert("insi-martin.xml", "0x0100");
  TestSupport::TempDir Config;
  const auto R = TestSupport::Run({"env", "XDG_CONFIG_HOME=" + Config.Path().string(), TestSupport::ToolPath("dmp-cli"),
                                   "--hosts", Sim->HostsFile, "--module", TestSupport::TCpsToken::SoftHSM(), "card",
                                   "login", "1234", "activities", "vitale", "--lib", Stub(), "read", "vitale",
                                   "select", "1", "vitale", "insi", "vitale", "address", "vitale", "verify"});
  EXPECT_EQ(R.Status, 0) << R.Err << R.Out;
  const auto P = TestSupport::RunPython(R"PY(
import json, sys
out = {o['command']: o for o in map(json.loads, sys.stdin.read().splitlines())}
card = out['vitale read']['records']
assert card['type'] == 256 and [b['nomNaissance'] for b in card['beneficiaires']] == ['Durand', 'Martin', 'Inconnu'], card
assert out['vitale select']['records']['selection'] == 1, out['vitale select']
assert out['vitale insi']['records']['ins'] == '284057511204537', out['vitale insi']
assert out['vitale address']['records'] == {'adresse': '', 'complement': '', 'codePostal': '', 'ville': ''}
assert out['vitale verify']['code'] == 0, out['vitale verify']
)PY",
                                        {}, R.Out);
  EXPECT_EQ(P.Status, 0) << P.Err;
  EXPECT_EQ(Operations(), (std::vector<std::string>{"insi/RECVITALE", "insi/RECVITALE"}));
}

}  // namespace
