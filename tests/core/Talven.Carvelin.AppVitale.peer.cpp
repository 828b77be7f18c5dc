// The mobile Vitale application readings with a SoftHSM2 CPS card against
// the simulator's ApCV service, which checks each request (xmlsec1 verifies
// every signed assertion) and logs what it read; Python reads the log back.
#include <gtest/gtest.h>

#include <chrono>

#include "CardSimPeer.h"
#include "CpsToken.h"
#include "Talven.Carvelin.AppVitale.h"

using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
const std::string SpecialQR = "apcv-1 <&\"'>";

// Python over the ApCV requests since the mark: `apcv` (their logged
// readings), `ops` (their operations), `answers` (their answer bodies).
constexpr std::string_view Prelude = R"PY(
apcv_requests = [e for e in requests if e.get('service') == 'apcv']
apcv = [e.get('apcv', {}) for e in apcv_requests]
ops = [e['operation'] for e in apcv_requests]
def answer(e): return ET.parse(os.path.join(state, e['answer_file'])).getroot()
)PY";

class AppVitalePeer : public CardSim::TCardSimPeer {
 protected:
  static void SetUpTestSuite() { StartSimulator({"--verify-signatures"}); }

  void SetUp() override {
    CardSim::TCardSimPeer::SetUp();
    AppVitale::TAppVitaleRequest::ClearSecurityData();
    AppVitale::SetCacheClock([this] { return Clock; });
    ASSERT_EQ(CPS->SelectActivite(0), ERR_OK);
    Since = Sim->LogSize();
  }
  void TearDown() override {
    AppVitale::SetCacheClock(nullptr);
    CardSim::TCardSimPeer::TearDown();
  }

  int Read(std::string_view QR, bool Close = false) { return CPS->GetAppVitale(QR, Result, Close); }
  std::vector<std::string> Names() const {
    std::vector<std::string> Found;
    for (int I = 0; I < Result->GetCount(); ++I) Found.push_back(Result->GetItem(I)->NomFamille);
    return Found;
  }
  void ExpectApCV(std::string_view Assertions, const std::vector<std::string>& Args = {}) const {
    ExpectLog(std::string(Prelude) + std::string(Assertions), Args);
  }

  std::chrono::steady_clock::time_point Clock{};
  std::shared_ptr<IAppVitale> Result;
};

TEST_F(AppVitalePeer, a_qr_code_gives_the_card_identities_in_order_with_the_environment_rule) {
  const struct {
    std::string QR;
    int Code;
    std::vector<std::string> Names;
    char Env;
  } Cases[] = {
      {SpecialQR, ERR_OK, {"DURAND"}, 'T'},
      {"apcv-2", ERR_OK, {"DURAND", "PETIT"}, 'T'},
      {"apcv-3", ERR_OK, {"L'HÉRITIER", "PETIT"}, 'T'},
      {"apcv-D-test", ERR_OK, {"DURAND"}, 'T'},
      {"apcv-D", ERR_OK, {"DURAND"}, 'D'},
      {"apcv-R", ERR_VITALE_REELLE, {}, 0},
  };
  for (const auto& C : Cases) {
    ASSERT_EQ(Read(C.QR), C.Code) << C.QR << ": " << Root->GetErrDetail();
    ASSERT_EQ(bool(Result), C.Code == ERR_OK) << C.QR;
    if (!Result) continue;
    EXPECT_EQ(Names(), C.Names) << C.QR;
    EXPECT_EQ(Result->GetEnvType(), C.Env) << C.QR;
  }
  ASSERT_EQ(Read(SpecialQR), ERR_OK);
  const TIdentiteAMO& Martin = *Result->GetItem(0);
  EXPECT_EQ(Martin.NomUsage, "MARTIN-DURAND");
  EXPECT_EQ(Martin.Prenom, "Zoé");
  EXPECT_EQ(Martin.DateNaissance, "18/01/1984");
  EXPECT_EQ(Martin.Rang, 1);
  EXPECT_EQ(Martin.NIRCertifie, MartinINS);
  EXPECT_EQ(Martin.NIRAssure, "169057511204546");
  EXPECT_EQ(Result->GetItem(1), nullptr);
  EXPECT_EQ(Result->GetItem(-1), nullptr);

  // What the service read: the QR text unchanged, the software context, the
  // holder and the chosen activity's billing number.
  ExpectApCV(R"PY(
import uuid
assert ops == ['AuthentifierUtilisateurProximiteReq'] * 7, ops
assert [a['donnees'] for a in apcv] == [args[0], 'apcv-2', 'apcv-3', 'apcv-D-test', 'apcv-D', 'apcv-R', args[0]], apcv
instance = str(uuid.UUID(int=int(args[1][len('2.25.'):])))
for a, e in zip(apcv, apcv_requests):
    assert e['status'] == 200, e
    assert a['lps']['Instance'] == instance and a['lps']['IDAM'] == 'QPT48RX31HB4', a
    assert a['lps']['Emetteur'] == a['name_id'] == '810001234567' and a['name_qualifier'] == 'CPS', a
    assert a['billing'] == ['123456789'] and a['facturation'] == '123456789', a
    assert a['specialite'] == '99' and a['action'].endswith(':authentifierUtilisateurProximite'), a
    assert e['host'].startswith('127.0.0.1:'), e
)PY",
             {SpecialQR, std::string(CardSim::InstanceOID)});
}

TEST_F(AppVitalePeer, an_empty_qr_restores_and_closing_names_the_issued_context) {
  ASSERT_EQ(Read("apcv-2"), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Read(""), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Names(), (std::vector<std::string>{"DURAND", "PETIT"}));
  EXPECT_EQ(CPS->CloseAppVitale(), ERR_OK);
  const size_t Closed = Sim->LogSize();
  EXPECT_EQ(CPS->CloseAppVitale(), ERR_OK);  // nothing left to close
  EXPECT_EQ(Sim->LogSize(), Closed);
  EXPECT_EQ(Read(""), ERR_APPVITALE);  // the service forgot the context
  EXPECT_EQ(Root->GetErrDetail(), "Aucun contexte ApCV\rPas de contexte à restituer");
  EXPECT_FALSE(Result);

  // Closing with the reading: the context just issued, once.
  ASSERT_EQ(Read("apcv-3", true), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(CPS->CloseAppVitale(), ERR_OK);
  ExpectApCV(R"PY(
assert ops == ['AuthentifierUtilisateurProximiteReq', 'RestituerContexteApCVReq', 'DetruireContexteApCVReq',
               'RestituerContexteApCVReq', 'AuthentifierUtilisateurProximiteReq', 'DetruireContexteApCVReq'], ops
def issued(e): return [n.text for n in answer(e).iter() if n.tag.endswith('}Identifiant')][0]
first, restored = issued(apcv_requests[0]), issued(apcv_requests[1])
assert first == restored and apcv[2]['contexte'] == first, (first, restored, apcv[2])
assert apcv[5]['contexte'] == issued(apcv_requests[4]) != first, apcv[5]
assert [e['status'] for e in apcv_requests] == [200, 200, 200, 500, 200, 200], apcv_requests
assert apcv[1]['action'] == 'urn:ApCV_AUTH:1.0:restituerContexteApCVReq', apcv[1]
assert apcv[2]['action'] == 'urn:ApCV_AUTH:1.0:detruireContexteApCV', apcv[2]
)PY");
}

TEST_F(AppVitalePeer, the_signed_assertion_is_reused_under_fifty_minutes_and_renewed_on_change_or_fault) {
  using std::chrono::minutes;
  const auto Start = Clock;
  ASSERT_EQ(Read("apcv-2"), ERR_OK);  // 0: new
  Clock = Start + minutes(49) + std::chrono::seconds(59);
  ASSERT_EQ(Read("apcv-2"), ERR_OK);  // 1: reused
  Clock = Start + minutes(50);
  ASSERT_EQ(Read("apcv-2"), ERR_OK);  // 2: new
  ASSERT_EQ(CPS->SelectActivite(1), ERR_OK);
  ASSERT_EQ(Read("apcv-2"), ERR_OK) << Root->GetErrDetail();  // 3: new, the other billing number
  EXPECT_EQ(Read("inconnu"), ERR_APPVITALE);  // 4: reused, refused
  EXPECT_EQ(Root->GetErrDetail(), "Données ApCV invalides\rQR code inconnu : inconnu");
  ASSERT_EQ(Read("apcv-2"), ERR_OK);  // 5: new
  ExpectApCV(R"PY(
ids = [a['assertion_id'] for a in apcv]
sigs = [a['signature_sha256'] for a in apcv]
assert ids[0] == ids[1] and sigs[0] == sigs[1], apcv[:2]
assert len({ids[0], ids[2], ids[3], ids[5]}) == 4 and ids[4] == ids[3], ids
assert len({sigs[0], sigs[2], sigs[3], sigs[5]}) == 4, sigs
assert [a['billing'] for a in apcv] == [['123456789']] * 3 + [['']] * 3, apcv
assert [a['lps']['Id'] for a in apcv] == list(dict.fromkeys(a['lps']['Id'] for a in apcv)), apcv
)PY");
}

TEST_F(AppVitalePeer, every_answer_kind_gives_its_code_and_detail_and_a_lost_post_forgets_the_assertion) {
  const struct {
    std::string_view Rule;
    int Code;
    std::string_view Detail;  // its beginning
  } Cases[] = {
      {R"({"variant": "no_context"})", ERR_APPVITALE, "Réponse inattendue du serveur\r"},
      {R"({"variant": "no_profile"})", ERR_APPVITALE, "Réponse inattendue du serveur\r"},
      {R"({"non_xml": true})", ERR_APPVITALE, "Réponse inattendue du serveur\r"},
      {R"({"soap_fault": {"reason": "Service <indisponible>"}})", ERR_APPVITALE, "Service <indisponible>\r"},
      {R"({"http_500_empty": true})", ERR_CONNEXION, "HTTP/1.1 500"},
      {R"({"close_before_answer": true})", ERR_CONNEXION, ""},
  };
  for (const auto& C : Cases) {
    Sim->SetRules("[{\"match\": {\"service\": \"apcv\"}, \"times\": 1, " + std::string(C.Rule.substr(1)) + "]");
    EXPECT_EQ(Read("apcv-2"), C.Code) << C.Rule;
    EXPECT_EQ(Root->GetErrDetail().substr(0, C.Detail.size()), C.Detail) << C.Rule << ": " << Root->GetErrDetail();
    EXPECT_FALSE(Result);
  }
  ASSERT_EQ(Read("apcv-2"), ERR_OK) << Root->GetErrDetail();
  // Failed posts and faults made the next reading sign anew; answers the
  // reader refused did not.
  ExpectApCV(R"PY(
ids = [a['assertion_id'] for a in apcv]
assert len(ids) == 7, ids
assert ids[0] == ids[1] == ids[2] == ids[3] and len({ids[3], ids[4], ids[5], ids[6]}) == 4, ids
)PY");
}

TEST_F(AppVitalePeer, an_identity_opens_its_record_through_the_existence_test) {
  ASSERT_EQ(Read("apcv-2"), ERR_OK);
  Since = Sim->LogSize();
  std::shared_ptr<IDossierMedical> Dossier;
  ASSERT_EQ(Result->GetDossier(0, Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->GetInfo()->Patient.INSi.Code, MartinINS);
  EXPECT_EQ(Result->GetDossier(1, Dossier), ERR_INS_PATIENT);
  EXPECT_EQ(Result->GetDossier(2, Dossier), ERR_INDEX);
  EXPECT_EQ(Result->GetDossier(-1, Dossier), ERR_INDEX);
  EXPECT_FALSE(Dossier);
  EXPECT_EQ(Operations(), (std::vector<std::string>{"patients/PRPA_IN201307UV02"}));
  CPS.reset();
  EXPECT_EQ(Result->GetDossier(0, Dossier), ERR_SESSION);
  EXPECT_EQ(Result->GetCount(), 2);
}

TEST_F(AppVitalePeer, a_production_card_reads_the_production_service) {
  CPS.reset();
  Root.reset();
  Token.reset();  // its environment goes back first
  Token = std::make_unique<TCpsToken>(std::initializer_list<std::string_view>{"medecin-production"});
  Root = TCarvelin::Create();
  Root->SetInstanceOID(CardSim::InstanceOID);
  ASSERT_EQ(Root->SetCryptoLib(TCpsToken::SoftHSM()), ERR_OK);
  LogIn();
  ASSERT_EQ(CPS->SelectActivite(0), ERR_OK);
  ASSERT_EQ(Read("apcv-R"), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Result->GetEnvType(), 'R');
  EXPECT_EQ(Read("apcv-2"), ERR_VITALE_TEST);
  EXPECT_EQ(Read("apcv-D-test"), ERR_VITALE_TEST);
  ExpectApCV(R"PY(
assert [e['status'] for e in apcv_requests] == [200] * 3, apcv_requests
for a, e in zip(apcv, apcv_requests):
    assert e['host'].startswith('localhost:') and e['environment'] == 'production', e
    assert a['lps']['IDAM'] == 'SIMAPCV00001' and a['lps']['Emetteur'] == '810004567890', a
)PY");
}

TEST_F(AppVitalePeer, a_header_that_cannot_be_signed_sends_nothing) {
  auto& Session = dynamic_cast<TVaspoCPS&>(*CPS);
  const uint8_t Category = Session.Info.Carte.Categorie;
  Session.Info.Carte.Categorie = 0x85;
  EXPECT_EQ(Read("apcv-2"), ERR_APPVITALE);
  EXPECT_EQ(Root->GetErrDetail(), "Type de carte inconnu 133");
  Session.Info.Carte.Categorie = Category;

  // No usable session: refused, and the cached assertion forgotten.
  ASSERT_EQ(Read("apcv-2"), ERR_OK);
  Session.FActive = false;
  EXPECT_EQ(Read("apcv-2"), ERR_SESSION);
  EXPECT_EQ(CPS->CloseAppVitale(), ERR_SESSION);
  Session.FActive = true;
  ASSERT_EQ(Read("apcv-2"), ERR_OK);
  ExpectApCV(R"PY(
assert len(apcv) == 2 and apcv[0]['assertion_id'] != apcv[1]['assertion_id'], apcv
)PY");

  // The card refuses to sign.
  CPS.reset();
  Root = TCarvelin::Create();
  Root->SetInstanceOID(CardSim::InstanceOID);
  ASSERT_EQ(Root->SetCryptoLib(TCpsToken::Shim()), ERR_OK);
  LogIn();
  AppVitale::TAppVitaleRequest::ClearSecurityData();
  Token->Control("sign_rv=0x101");
  EXPECT_EQ(Read("apcv-2"), ERR_APPVITALE);
  EXPECT_EQ(Root->GetErrDetail(),
            "La carte n'a pas signé l'assertion (code " + std::to_string(ERR_CRYPTOLIB) +
                ") : Erreur de signature #257");
  EXPECT_TRUE(Operations().empty());
}

TEST_F(AppVitalePeer, the_driver_reads_restores_opens_and_closes) {
  CPS.reset();
  Root.reset();  // the driver opens the card itself
  const TestSupport::TempDir Config;
  const auto R = TestSupport::Run({"env", "XDG_CONFIG_HOME=" + Config.Path().string(), TestSupport::ToolPath("dmp-cli"),
                                   "--hosts", Sim->HostsFile, "--module", TCpsToken::SoftHSM(), "card", "login",
                                   "1234", "activities", "select", "0", "appvitale", "apcv-2", "appvitale-open", "1",
                                   "appvitale", "--restore", "appvitale-open", "0", "appvitale-close", "appvitale",
                                   "apcv-R"});
  EXPECT_EQ(R.Status, 1) << R.Err;  // the last reading is refused
  ExpectApCV(R"PY(
lines = [json.loads(l) for l in args[0].splitlines()]
codes = {l['command'] + ' ' + str(i): l['code'] for i, l in enumerate(lines)}
assert [l['code'] for l in lines[4:]] == [0, 0x3005, 0, 0, 0, 0x3007], codes
two = lines[4]['records']
assert two['typeEnv'] == 'T' and [i['nomFamille'] for i in two['identites']] == ['DURAND', 'PETIT'], two
assert two['identites'][0]['nirCertifie'] == '284057511204537' and two['identites'][1]['nirCertifie'] == '', two
assert lines[5]['message'] == "Impossible de déterminer l'INS du patient", lines[5]
assert lines[7]['records']['patient']['ins'] == '284057511204537', lines[7]
assert lines[9]['message'].startswith('Carte Vitale r'), lines[9]
assert ops == ['AuthentifierUtilisateurProximiteReq', 'RestituerContexteApCVReq', 'DetruireContexteApCVReq',
               'AuthentifierUtilisateurProximiteReq'], ops
)PY",
             {R.Out});
}

}  // namespace
