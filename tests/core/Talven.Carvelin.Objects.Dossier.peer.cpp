// The record-side objects (record and patient lists, the patient record)
// with a SoftHSM2 CPS card against the national-service simulator. The
// simulator reads every request back with xml.etree and checks it (the
// assertion's patient, access mode and minor mode, the body's values); its
// request log (read by Python's json) says what was sent, and a second
// existence test shows the state it keeps.
#include <gtest/gtest.h>

#include <regex>

#include "CardSimPeer.h"

using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view LefebvreINS = "181036219304167";  // no authorisation, no web account
constexpr std::string_view RouxINS = "190093155501408";      // attached to the health space
constexpr std::string_view PetitINS = "215033306311206";     // ten years old
constexpr std::string_view LheritierINS = "172116912300858";  // the card's practitioner forbidden
constexpr std::string_view NDiayeINS = "299109934104413";
constexpr std::string_view Dupont1INS = "277049205010160";  // no web account
// Caller texts with every character XML escapes, and accents.
constexpr std::string_view Awkward = "Urgence <vitale> & \"grave\" d'après l'équipe";

class DossierPeer : public CardSim::TCardSimPeer {};

using Ops = std::vector<std::string>;

TEST_F(DossierPeer, records_open_from_lists_and_an_older_logins_list_refuses) {
  TRecherchePatients Criteres;
  Criteres.Nom = "MARTIN-DURAND";
  std::shared_ptr<IPatientList> Patients;
  ASSERT_EQ(CPS->GetPatients(Criteres, Patients), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Patients->GetCount(), 1);
  std::shared_ptr<IDossierMedical> Dossier;
  for (int Bad : {-1, 1}) {
    EXPECT_EQ(Patients->GetItem(Bad), nullptr);
    EXPECT_EQ(Patients->GetDossier(Bad, Dossier), ERR_INDEX);
  }
  ASSERT_EQ(Patients->GetDossier(0, Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->GetInfo()->Patient.INSi.Code, MartinINS);

  std::shared_ptr<IDossierList> Records;
  ASSERT_EQ(CPS->GetDossiers("20000101", TDateMode::DateAutorisation, Records), ERR_OK) << Root->GetErrDetail();
  ASSERT_GT(Records->GetCount(), 2);
  EXPECT_EQ(Records->GetDossier(Records->GetCount(), Dossier), ERR_INDEX);
  EXPECT_EQ(Dossier, nullptr);
  ASSERT_EQ(Records->GetDossier(1, Dossier), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->GetInfo()->Patient.INSi.Code, Records->GetItem(1)->Patient.INSi.Code);
  EXPECT_EQ(Dossier->Carvelin(), std::static_pointer_cast<ICarvelin>(Root));

  // A new card login: the lists of the previous one still read, never open.
  CPS.reset();
  LogIn();
  Since = Sim->LogSize();
  EXPECT_EQ(Records->GetDossier(0, Dossier), ERR_SESSION);
  EXPECT_EQ(Patients->GetDossier(0, Dossier), ERR_SESSION);
  EXPECT_EQ(Patients->GetItem(0)->Patient.INSi.Code, MartinINS);
  EXPECT_GT(Records->GetCount(), 2);
  EXPECT_EQ(Operations(), Ops{});
}

TEST_F(DossierPeer, panel_is_read_first_changed_and_a_cleared_field_comes_back_empty) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  TVoletAdministratif Volet;
  Volet.Identite = {2, "MARTIN-DURAND", "DURAND", "Zoé", "", ' '};
  Volet.Adresse.Adresse = std::string(Awkward);
  Volet.Telecom.EMail = "zoe@exemple.fr";  // the mobile and landline go
  ASSERT_EQ(Dossier->SetVoletAdministratif(Volet), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Operations(), (Ops{"patients/PRPA_IN201307UV02", "patients/PRPA_IN201314UV02", "patients/PRPA_IN201307UV02"}));
  EXPECT_EQ(Dossier->FVolet.Adresse.Adresse, Awkward);
  EXPECT_EQ(Dossier->FVolet.Telecom.Mobile, "");
  ExpectLog("assert texts(requests[1], 'streetAddressLine') == [args[0]], texts(requests[1], 'streetAddressLine')",
            {std::string(Awkward)});

  // A second, independent reading of the panel the simulator keeps.
  const TVoletAdministratif* Read = nullptr;
  auto Again = Open(MartinINS);
  ASSERT_EQ(Again->GetVoletAdministratif(Read), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Read->Adresse.Adresse, Awkward);
  EXPECT_EQ(Read->Telecom.Mobile, "");
  EXPECT_EQ(Read->Telecom.EMail, "zoe@exemple.fr");

  // Refused before anything is sent: a bad panel, an attached record.
  Since = Sim->LogSize();
  TVoletAdministratif NoName = Volet;
  NoName.Identite.NomUsage.clear();
  EXPECT_EQ(Open(LefebvreINS)->SetVoletAdministratif(NoName), ERR_NOM_USAGE);
  EXPECT_EQ(Open(RouxINS)->SetVoletAdministratif(Volet), ERR_ENS);
  EXPECT_EQ(Operations(), Ops{});
}

TEST_F(DossierPeer, access_is_added_removed_and_an_emergency_sends_nothing) {
  auto Dossier = Open(LefebvreINS);
  ASSERT_EQ(Dossier->OuvrirAcces({}), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->FInfo.Autorisation, "VALIDE");
  ASSERT_EQ(Dossier->FermerAcces(), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->FInfo.Autorisation, "");
  EXPECT_EQ(Operations(), (Ops{"habilitations/setAuthorization", "patients/PRPA_IN201307UV02",
                               "habilitations/setAuthorization", "patients/PRPA_IN201307UV02"}));
  ExpectLog("assert [texts(e, 'action') for e in requests[0::2]] == [['AJOUT'], ['SUPPRESSION']]");

  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->OuvrirAcces(Awkward), ERR_OK);
  EXPECT_EQ(Dossier->FInfo.Autorisation, "BRIS_DE_GLACE");
  EXPECT_EQ(Operations(), Ops{});
  const TVoletAdministratif* Volet = nullptr;
  ASSERT_EQ(Dossier->GetVoletAdministratif(Volet), ERR_OK) << Root->GetErrDetail();
  ExpectLog("assert requests[0]['vihf'] == {'resource': '181036219304167^^^&1.2.250.1.213.1.4.10&ISO^NH', "
            "'purpose': 'bris_de_glace', 'reason': args[0], 'secret': False}, requests[0]['vihf']",
            {std::string(Awkward)});

  // An attached record refuses removal and keeps its emergency reason.
  auto Attached = Open(RouxINS);
  ASSERT_EQ(Attached->OuvrirAcces("Urgence"), ERR_OK);
  EXPECT_EQ(Attached->FermerAcces(), ERR_ENS);
  EXPECT_EQ(Attached->FBrisDeGlace, "Urgence");
  EXPECT_EQ(Operations(), Ops{});
}

TEST_F(DossierPeer, closing_shows_at_the_next_existence_test) {
  auto Dossier = Open(MartinINS);
  EXPECT_EQ(Dossier->FermerDossier("", "motif"), ERR_MOTIF);
  EXPECT_EQ(Dossier->FermerDossier("DEMENAGEMENT", ""), ERR_MOTIF);
  EXPECT_EQ(Operations(), Ops{});
  ASSERT_EQ(Dossier->FermerDossier("DEMENAGEMENT", Awkward), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Operations(), Ops{"patients/PRPA_IN201314UV02"});
  ExpectLog("assert texts(requests[0], 'text') == [args[0]] and texts(requests[0], 'family')[:2] == ['DURAND', "
            "'MARTIN-DURAND']",
            {std::string(Awkward)});
  ASSERT_EQ(Dossier->Reload(), ERR_OK) << Root->GetErrDetail();
  ASSERT_TRUE(Dossier->FInfo.Fermeture);
  EXPECT_EQ(Dossier->FInfo.Fermeture->Date, "15/03/2025");
  EXPECT_EQ(Dossier->FInfo.Fermeture->Code, "DEMENAGEMENT");
  EXPECT_EQ(Dossier->FInfo.Fermeture->Motif, Awkward);
}

TEST_F(DossierPeer, web_access_is_created_renewed_and_its_channels_change) {
  auto Dossier = Open(LefebvreINS);
  const TAccesPatient* Acces = nullptr;
  for (std::string_view Bad : {"", "061234567", "06123456789", "a@b@c.fr", "0612 45678", "06@2@45678"}) {
    EXPECT_EQ(Dossier->CreerAccesPatient(Bad, Acces), ERR_CANAL_CONTACT) << Bad;
    EXPECT_EQ(Dossier->ModifierCanal(Bad, TActionCanal::Ajout), ERR_CANAL_CONTACT) << Bad;
  }
  EXPECT_EQ(Operations(), Ops{});
  ASSERT_EQ(Dossier->CreerAccesPatient("0612345678", Acces), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Acces, &Dossier->FAcces);
  EXPECT_FALSE(Acces->login.empty());
  EXPECT_FALSE(Acces->password.empty());
  const TAccesPatient First = *Acces;
  EXPECT_EQ(Dossier->CreerAccesPatient("zoe<&>@exemple.fr", Acces), ERR_ACCES_PATIENT_EXISTE);
  EXPECT_EQ(Root->GetErrDetail(), "Un accès patient existe déjà pour ce dossier");
  EXPECT_EQ(Dossier->FAcces.login, First.login);
  ASSERT_EQ(Dossier->NouvelAccesPatient(Acces), ERR_OK) << Root->GetErrDetail();
  EXPECT_NE(Acces->password, First.password);
  ASSERT_EQ(Dossier->Reload(), ERR_OK);
  EXPECT_TRUE(Dossier->FInfo.AccesWeb);

  // By e-mail on a record without an account: the address arrives as written.
  const std::string Mail = "l'équipe&co<x>@exemple.fr";
  auto ByMail = Open(Dupont1INS);
  ASSERT_EQ(ByMail->CreerAccesPatient(Mail, Acces), ERR_OK) << Root->GetErrDetail();
  EXPECT_FALSE(Acces->login.empty());
  ExpectLog("assert [(texts(e, 'type'), texts(e, 'canal')) for e in requests] == [(['EMAIL'], [args[0]])]", {Mail});
  ASSERT_EQ(ByMail->Reload(), ERR_OK);
  EXPECT_TRUE(ByMail->FInfo.AccesWeb);

  Since = Sim->LogSize();
  EXPECT_EQ(Dossier->ModifierCanal(Mail, TActionCanal::Ajout), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->ModifierCanal(Mail, TActionCanal::Ajout), ERR_CANAL_EXISTE);
  EXPECT_EQ(Dossier->ModifierCanal("0699999999", TActionCanal::Modification), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Dossier->ModifierCanal("", TActionCanal::Suppression), ERR_OK) << Root->GetErrDetail();
  ExpectLog(R"(
got = [(texts(e, 'type'), texts(e, 'canal'), texts(e, 'action')) for e in requests]
assert got == [(['EMAIL'], [args[0]], ['AJOUT'])] * 2 + [(['SMS'], ['0699999999'], ['MODIFICATION']),
               (['SMS'], [''], ['SUPPRESSION'])], got
)",
            {Mail});
}

TEST_F(DossierPeer, practitioners_of_each_patient_are_listed_in_three_modes) {
  // "name mode treating" of each practitioner listed.
  auto Names = [](std::span<const TPraticien> Praticiens) {
    std::vector<std::string> Found;
    for (const TPraticien& P : Praticiens)
      Found.push_back(P.Nom + " " + P.Mode + (P.StatutMT ? " MT" : ""));
    return Found;
  };
  using Names_t = std::vector<std::string>;
  const struct {
    std::string_view INS;
    TModePraticien Mode;
    Names_t Expected;
  } Cases[] = {
      {MartinINS, TModePraticien::Active, {"TEST ACTIVE MT", "RIVIÈRE ACTIVE"}},
      {MartinINS, TModePraticien::Interdite, {"D'ALMEIDA INTERDITE"}},
      {MartinINS, TModePraticien::Toute, {"TEST ACTIVE MT", "RIVIÈRE ACTIVE", "D'ALMEIDA INTERDITE"}},
      {NDiayeINS, TModePraticien::Active, {"TEST ACTIVE MT", "D'ALMEIDA ACTIVE"}},
      {LheritierINS, TModePraticien::Toute, {"TEST INTERDITE"}},
      {LheritierINS, TModePraticien::Active, {}},
  };
  for (const auto& C : Cases) {
    auto Dossier = Open(C.INS);
    std::span<const TPraticien> Praticiens;
    ASSERT_EQ(Dossier->GetPraticiens(C.Mode, Praticiens), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Praticiens.data(), Dossier->FPraticiens.data());
    EXPECT_EQ(Names(Praticiens), C.Expected) << C.INS << " " << int(C.Mode);
    ExpectLog("assert [texts(e, 'mode') for e in requests] == [[args[0]]], requests", {std::string(EnumText(C.Mode))});
  }
}

TEST_F(DossierPeer, a_minors_record_waits_for_its_mode_and_secret_mode_travels) {
  auto Adult = Open(MartinINS);
  EXPECT_EQ(Adult->SetAccesSecret(true), ERR_PATIENT_MAJEUR);
  EXPECT_EQ(Adult->FAccesMineur, amMajeur);
  auto Minor = Open(PetitINS);
  ASSERT_TRUE(Minor->FInfo.Mineur);
  const TVoletAdministratif* Volet = nullptr;
  const TAccesPatient* Acces = nullptr;
  std::span<const TPraticien> Praticiens;
  EXPECT_EQ(Minor->GetVoletAdministratif(Volet), ERR_PATIENT_MINEUR);
  EXPECT_EQ(Minor->OuvrirAcces({}), ERR_PATIENT_MINEUR);
  EXPECT_EQ(Minor->FermerDossier("A", "B"), ERR_PATIENT_MINEUR);
  EXPECT_EQ(Minor->NouvelAccesPatient(Acces), ERR_PATIENT_MINEUR);
  EXPECT_EQ(Minor->GetPraticiens(TModePraticien::Toute, Praticiens), ERR_PATIENT_MINEUR);
  EXPECT_EQ(Operations(), Ops{});
  ASSERT_EQ(Minor->SetAccesSecret(true), ERR_OK);
  EXPECT_EQ(Minor->FInfo.Secret, amSecret);
  ASSERT_EQ(Minor->GetVoletAdministratif(Volet), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Minor->SetAccesSecret(false), ERR_OK);
  ASSERT_EQ(Minor->GetPraticiens(TModePraticien::Toute, Praticiens), ERR_OK) << Root->GetErrDetail();
  ExpectLog("assert [e['vihf']['secret'] for e in requests] == [True, False], requests");
}

TEST_F(DossierPeer, service_answers_and_transport_faults_give_codes_and_leave_fields) {
  auto Dossier = Open(LefebvreINS);
  struct Case {
    std::string Service, Operation, Rule;
    int Code;
    std::string Detail;
  } Cases[] = {
      {"habilitations", "setAuthorization", R"("variant": "status:DMPClosed")", ERR_REQUETE_INVALIDE,
       "Contexte <DMPClosed> & détail"},
      {"habilitations", "setAuthorization", R"("variant": "status:DMPAccessForbidden")", ERR_ACCES_REFUSE,
       "Contexte <DMPAccessForbidden> & détail"},
      {"habilitations", "setAuthorization", R"("variant": "status:DMPStatutInconnu")", ERR_REQUETE_REFUSEE,
       "Contexte <DMPStatutInconnu> & détail"},
      {"habilitations", "setAuthorization", R"("variant": "status:DMPAuthorizationNotFound")", ERR_ACCES_REFUSE,
       "Contexte <DMPAuthorizationNotFound> & détail"},
      // Granted without an output; a granting output in a body that is not the answer.
      {"habilitations", "setAuthorization", R"("variant": "no_output")", ERR_OK, ""},
      {"habilitations", "setAuthorization", R"("variant": "other_response")", ERR_PROGRAMME, ""},
      {"habilitations", "setAuthorization", R"("soap_fault": {"reason": "Refus <x>"})", ERR_REQUETE_REFUSEE,
       "Refus <x>"},
      {"habilitations", "setAuthorization", R"("non_xml": true)", ERR_REQUETE_REFUSEE, ""},
      {"habilitations", "setAuthorization", R"("http_500_empty": true)", ERR_CONNEXION, ""},
      {"habilitations", "setAuthorization", R"("close_before_answer": true)", ERR_CONNEXION, ""},
      {"patients", "PRPA_IN201307UV02", R"("variant": "ae:DMPAuthorizationNotFound")", ERR_ACCES_REFUSE,
       "Refus DMPAuthorizationNotFound <détail> & texte"},
      {"patients", "PRPA_IN201307UV02", R"("variant": "ae:DMPInvalidRequest")", ERR_REQUETE_INVALIDE,
       "Refus DMPInvalidRequest <détail> & texte"},
      {"patients", "PRPA_IN201307UV02", R"("variant": "ack_other")", ERR_PROGRAMME, ""},
      {"habilitations", "listAuthorizationByPatient", R"("variant": "status:DMPErrorLPS")", ERR_REQUETE_REFUSEE,
       "Contexte <DMPErrorLPS> & détail"},
      {"patients", "PRPA_IN201314UV02", R"("variant": "revision_refused")", ERR_REQUETE_INVALIDE,
       "Révision refusée: <adresse> & téléphone"},
      {"patients", "PRPA_IN201314UV02", R"("variant": "two_children")", ERR_PROGRAMME, ""},
      {"patientsSpecific", "createPatientAccess", R"("variant": "status:DMPErrorLPS")", ERR_REQUETE_REFUSEE,
       "Contexte <DMPErrorLPS> & détail"},
      {"patientsSpecific", "patientOTPUpdate", R"("variant": "otp_exists")", ERR_CANAL_EXISTE, "Ce canal existe déjà"},
  };
  for (const Case& C : Cases) {
    Sim->SetRules(R"([{"match": {"service": ")" + C.Service + R"(", "operation": ")" + C.Operation + R"("}, )" +
                  C.Rule + "}]");
    const TAccesPatient* Acces = nullptr;
    int Code = ERR_OK;
    if (C.Operation == "setAuthorization") Code = Dossier->OuvrirAcces({});
    const TVoletAdministratif* Volet = nullptr;
    std::span<const TPraticien> Praticiens;
    if (C.Operation == "PRPA_IN201307UV02") Code = Dossier->GetVoletAdministratif(Volet);
    if (C.Operation == "listAuthorizationByPatient") Code = Dossier->GetPraticiens(TModePraticien::Toute, Praticiens);
    if (C.Operation == "PRPA_IN201314UV02") Code = Dossier->FermerDossier("DEMENAGEMENT", "Départ");
    if (C.Operation == "createPatientAccess") Code = Dossier->CreerAccesPatient("0612345678", Acces);
    if (C.Operation == "patientOTPUpdate") Code = Dossier->ModifierCanal("0612345678", TActionCanal::Ajout);
    EXPECT_EQ(Code, C.Code) << C.Rule;
    if (!C.Detail.empty()) {
      EXPECT_EQ(Root->GetErrDetail(), C.Detail) << C.Rule;
    }
    EXPECT_EQ(Dossier->FInfo.Autorisation, "") << C.Rule;
    EXPECT_EQ(Dossier->FAcces.login, "") << C.Rule;
    EXPECT_EQ(Dossier->FVolet.Identite.NomNaissance, "") << C.Rule;
    EXPECT_TRUE(Dossier->FPraticiens.empty()) << C.Rule;
    EXPECT_EQ(Acces, nullptr);
    EXPECT_EQ(Volet, nullptr);
    EXPECT_TRUE(Praticiens.empty());
  }
  Sim->SetRules("[]");
}

TEST_F(DossierPeer, objects_released_before_or_after_the_root_and_before_login) {
  std::shared_ptr<IDossierList> List;
  ASSERT_EQ(CPS->GetDossiers("20000101", TDateMode::DateAutorisation, List), ERR_OK);
  auto Dossier = Open(MartinINS);
  EXPECT_EQ(Root->Links->Count(), 2u);
  List.reset();
  EXPECT_EQ(Root->Links->Count(), 1u);

  // A session that is not logged in, then no root at all.
  CPS.reset();
  ASSERT_EQ(Root->GetCPS(0, CPS), ERR_OK);
  Since = Sim->LogSize();
  const TVoletAdministratif* Volet = nullptr;
  EXPECT_EQ(Dossier->GetVoletAdministratif(Volet), ERR_SESSION);
  CPS.reset();
  Root.reset();
  EXPECT_EQ(Dossier->Carvelin(), nullptr);
  EXPECT_EQ(Dossier->OuvrirAcces({}), ERR_SESSION);
  EXPECT_EQ(Dossier->GetInfo()->Patient.INSi.Code, MartinINS);
  EXPECT_EQ(Operations(), Ops{});
}

// The driver, as a script runs it: one JSON object a command, the record's
// state after each record command, never the patient's password.
TEST_F(DossierPeer, dmp_cli_drives_a_record) {
  const TestSupport::TempDir Dir;
  const std::string Panel = (Dir.Path() / "panel.json").string();
  TestSupport::WriteFile(Panel, R"({"civilite": "1", "nomUsage": "L'HÉRITIER", "nomNaissance": "L'HÉRITIER",
    "prenom": "Jérôme", "dateNaissance": "", "sexe": "M", "ville": "Lyon <3> & co"})");
  auto R = TestSupport::Run({TestSupport::ToolPath("dmp-cli"), "--hosts", Sim->HostsFile, "--module",
                             TCpsToken::SoftHSM(), "card", "login", "1234", "activities", "patients", "--nom",
                             "MARTIN-DURAND", "open", "0", "records", "20000101", "LASTAUTORIZATION", "open", "0",
                             "record", std::string(LefebvreINS), "T", "authorize", "set-panel", Panel, "web-access",
                             "0612345678", "renew-access", "channel", "add", "a@b.fr", "practitioners", "all",
                             "emergency", "Urgence", "secret", "on", "close", "DEMENAGEMENT", "Départ", "info"});
  EXPECT_EQ(R.Status, 1) << R.Err;  // secret on an adult's record
  auto P = TestSupport::RunPython(R"PY(
import json, sys
out = [json.loads(l) for l in sys.stdin]
codes = [(o['command'], o['code']) for o in out]
assert codes == [('card', 0), ('login', 0), ('activities', 0), ('patients', 0), ('open', 0), ('records', 0),
                 ('open', 0), ('record', 0), ('authorize', 0), ('set-panel', 0), ('web-access', 0),
                 ('renew-access', 0), ('channel', 0), ('practitioners', 0), ('emergency', 0), ('secret', 0x100A),
                 ('close', 0), ('info', 0)], codes
assert out[4]['records']['patient']['ins'] == '284057511204537'
assert out[8]['records']['autorisation'] == 'VALIDE'
assert out[9]['records']['result']['ville'] == 'Lyon <3> & co', out[9]
assert out[10]['records']['login'] and out[10]['records']['accesWeb'] is False
assert [p['nom'] for p in out[13]['records']['result']] == ['RIVIÈRE'], out[13]
assert out[14]['records']['brisDeGlace'] == 'Urgence' and out[14]['records']['autorisation'] == 'BRIS_DE_GLACE'
)PY", {}, R.Out);
  EXPECT_EQ(P.Status, 0) << P.Err << R.Out;
  EXPECT_EQ(R.Out.find("Pw-"), std::string::npos);  // the simulator's passwords
  EXPECT_EQ(R.Out.find("password"), std::string::npos);
}

}  // namespace
