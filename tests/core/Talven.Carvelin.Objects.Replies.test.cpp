// The reply readers: each answer of the services to its code, detail and
// records, over the fixtures of tests/fixtures/replies and small answers
// written here; the panel writer and the document helpers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"

using namespace Talven;

namespace {

std::string Envelope(std::string_view Body) {
  return "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
         "<soap:Body>" +
         std::string(Body) + "</soap:Body></soap:Envelope>";
}

std::string Fixture(std::string_view Name) {
  return TestSupport::ReadFile(TestSupport::Fixture("replies/" + std::string(Name)));
}

class TLogLines : public IVaspoLOG {
 public:
  std::vector<std::string> Lines;
  void OnLog(ICarvelin&, std::string_view Msg) override { Lines.emplace_back(Msg); }
};

class Replies : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    Root = TCarvelin::Create();
    Root->SetLogger(&Log);
  }
  void TearDown() override { Root->SetLogger(nullptr); }
  std::shared_ptr<TCarvelin> Root;
  TLogLines Log;
};

Vantrel::TDateTime Day(int Y, int M, int D) {
  Vantrel::TDateTime T = 0;
  EXPECT_TRUE(Vantrel::TryEncodeDate(Y, M, D, T));
  return T + 0.5;
}

// ---- Record state ----

TEST_F(Replies, dossier_existe_fills_the_record_state) {
  TDossierInfo Info;
  ASSERT_EQ(Root->ParseDossierExiste(Fixture("dossier-ok.xml"), Info), ERR_OK);
  EXPECT_EQ(Info.Autorisation, "VALIDE");
  EXPECT_TRUE(Info.StatutMT);
  ASSERT_TRUE(Info.Fermeture);
  EXPECT_EQ(Info.Fermeture->Date, "01/03/2025");
  EXPECT_EQ(Info.Fermeture->Code, "FERMETURE_DEMANDE_PATIENT");
  EXPECT_EQ(Info.Fermeture->Motif, "Demande du patient <écrite>");
  EXPECT_EQ(Info.Patient.INSC.Code, "1234567890123456789012");
  EXPECT_EQ(Info.Patient.INSC.Type, 'C');
  EXPECT_EQ(Info.Patient.INSi.Code, "277076322082910");
  EXPECT_EQ(Info.Patient.INSi.Type, 'T');
  EXPECT_EQ(Objects::INS_CODE(Info.Patient), "277076322082910");
  EXPECT_EQ(Objects::INS_OID(Info.Patient), "1.2.250.1.213.1.4.10");
  const TIdentite& I = Info.Patient.Identite;
  EXPECT_EQ(I.Civilite, 2);
  EXPECT_EQ(I.Prenom, "Anne & Marie");
  EXPECT_EQ(I.NomNaissance, "L'ORÉE");
  EXPECT_EQ(I.NomUsage, "");  // "NON RENSEIGNE" without qualifier
  EXPECT_EQ(I.DateNaissance, "15/03/2007");
  EXPECT_EQ(I.Sexe, 'F');
  EXPECT_TRUE(Info.AccesWeb);
  EXPECT_FALSE(Info.ENS);
}

TEST_F(Replies, minors_count_whole_calendar_years) {
  struct {
    const char* Fixture;
    Vantrel::TDateTime Today;
    bool Gestion;
    bool Mineur;
  } Cases[] = {
      {"dossier-ok.xml", Day(2025, 3, 15), true, true},     // exactly 18: still a minor
      {"dossier-ok.xml", Day(2025, 3, 14), true, true},     // 17
      {"dossier-ok.xml", Day(2026, 3, 14), true, true},     // 18, the day before 19
      {"dossier-ok.xml", Day(2026, 3, 15), true, false},    // 19
      {"dossier-ok.xml", Day(2025, 3, 15), false, false},   // minors not managed
      {"dossier-31feb.xml", Day(2060, 1, 1), true, true},   // unreadable birth date
  };
  for (const auto& C : Cases) {
    Root->FParametres.GestionMineurs = C.Gestion;
    Root->Clock = [&C] { return C.Today; };
    TDossierInfo Info;
    ASSERT_EQ(Root->ParseDossierExiste(Fixture(C.Fixture), Info), ERR_OK);
    EXPECT_EQ(Info.Mineur, C.Mineur) << C.Fixture << " " << C.Today;
  }
}

TEST_F(Replies, dossier_existe_answers) {
  const std::string Query = "<controlActProcess><queryAck><queryResponseCode code=\"%\"/></queryAck></controlActProcess>";
  auto Message = [&](std::string_view Ack, std::string_view Code) {
    std::string Q = Query;
    Q.replace(Q.find('%'), 1, Code);
    return Envelope("<PRPA_IN201308UV02 xmlns=\"urn:hl7-org:v3\">" + std::string(Ack) + Q + "</PRPA_IN201308UV02>");
  };
  struct {
    std::string Answer;
    int Code;
    std::string Detail;
  } Cases[] = {
      {Message("<acknowledgement typeCode=\"AA\"/>", "NF"), ERR_DMP, ""},
      {Message("<acknowledgement typeCode=\"AA\"/>", "QE"), ERR_PROGRAMME, ""},
      {Message("<acknowledgement typeCode=\"AE\"><acknowledgementDetail><text>Refus &amp; motif</text>"
               "</acknowledgementDetail></acknowledgement>",
               "AE"),
       ERR_REQUETE_INVALIDE, "Refus & motif"},
      {Envelope("<other/>"), ERR_PROGRAMME, ""},
      {Envelope("<soap:Fault><soap:Reason><soap:Text>Assertion &lt;refusée&gt; &amp; expirée</soap:Text>"
                "</soap:Reason></soap:Fault>"),
       ERR_REQUETE_REFUSEE, "Assertion <refusée> & expirée"},
      {"<a><b></a>", ERR_REQUETE_REFUSEE, "Unexpected closing tag \"/a\" (octet 7)"},
  };
  for (const auto& C : Cases) {
    TDossierInfo Info;
    EXPECT_EQ(Root->ParseDossierExiste(C.Answer, Info), C.Code) << C.Answer;
    EXPECT_EQ(Root->GetErrDetail(), C.Detail) << C.Answer;
  }
}

TEST_F(Replies, record_creation_answers) {
  TDossierInfo Info;
  const std::string Created = Envelope(
      "<PRPA_IN201311UV02_Response><PRPA_IN201312UV02><acknowledgement typeCode=\"AA\"/><controlActProcess>"
      "<subject><registrationEvent><subject1><patient><id root=\"1.2.250.1.213.1.4.8\" extension=\"1\"/>"
      "<statusCode code=\"active\"/></patient></subject1></registrationEvent></subject></controlActProcess>"
      "</PRPA_IN201312UV02></PRPA_IN201311UV02_Response>");
  ASSERT_EQ(Root->ParseCreationDossier(Created, Info), ERR_OK);
  EXPECT_EQ(Info.Patient.INSi.Type, 'R');
  EXPECT_FALSE(Info.Fermeture);
  EXPECT_EQ(Root->ParseCreationDossier(
                Envelope("<PRPA_IN201311UV02_Response><PRPA_IN201313UV02><acknowledgement typeCode=\"AE\">"
                         "<acknowledgementDetail><text>Dossier existant</text></acknowledgementDetail>"
                         "</acknowledgement></PRPA_IN201313UV02></PRPA_IN201311UV02_Response>"),
                Info),
            ERR_REQUETE_INVALIDE);
  EXPECT_EQ(Root->GetErrDetail(), "Dossier existant");
  EXPECT_EQ(Root->ParseCreationDossier(Envelope("<PRPA_IN201311UV02_Response/>"), Info), ERR_PROGRAMME);
}

// ---- Lists ----

TEST_F(Replies, patient_list_keeps_dates_as_received_and_for_display) {
  std::vector<Objects::TDossierItem> Items;
  ASSERT_EQ(Root->ReadDossiers(Fixture("dossiers-ok.xml"), Items), ERR_OK);
  ASSERT_EQ(Items.size(), 2u);
  EXPECT_EQ(Items[0].Patient.INSC.Code, "0123456789012345678901");
  EXPECT_EQ(Items[0].Patient.INSi.Type, 'T');
  EXPECT_EQ(Items[0].Patient.Identite.NomUsage, "");
  EXPECT_EQ(Items[0].Patient.Identite.NomNaissance, "DURAND & FILS");
  EXPECT_TRUE(Items[0].StatutMT);
  EXPECT_EQ(Items[0].DateDernierAcces, "10/03/2025 09:30");
  EXPECT_EQ(Items[0].lastAddDate, "20250231");
  EXPECT_EQ(Items[0].DateDernierDocument, "");  // 31 February
  EXPECT_EQ(Items[1].Patient.INSi.Type, 'D');
  EXPECT_EQ(Items[1].DateModification, "");  // not digits
  EXPECT_EQ(Items[1].lastUpdateDate, "2025x311");

  ASSERT_EQ(Root->ReadDossiers(Fixture("dossiers-empty.xml"), Items), ERR_OK);
  EXPECT_TRUE(Items.empty());
}

// Each identifier root lands, whole, in its own slot: the INSC or the INSi.
TEST_F(Replies, patient_list_identifiers_fill_their_slot) {
  struct {
    std::string OID;
    char Letter;
    bool INSC;
  } Cases[] = {{"1.2.250.1.213.1.4.2", 'C', true},
               {"1.2.250.1.213.1.4.8", 'R', false},
               {"1.2.250.1.213.1.4.10", 'T', false},
               {"1.2.250.1.213.1.4.11", 'D', false}};
  for (const auto& C : Cases) {
    const std::string Answer = Envelope(
        "<patientListResponse xmlns=\"urn:si-dmp-patients\"><output><status>DMPOk</status><patientlistData>"
        "<patientIdentifier><nationalIdType>" + C.OID + "</nationalIdType><nationalId>ID-" + C.OID +
        "</nationalId></patientIdentifier></patientlistData></output></patientListResponse>");
    std::vector<Objects::TDossierItem> Items;
    ASSERT_EQ(Root->ReadDossiers(Answer, Items), ERR_OK) << C.OID;
    ASSERT_EQ(Items.size(), 1u);
    const TIdentifiantNationalDeSante& Filled = C.INSC ? Items[0].Patient.INSC : Items[0].Patient.INSi;
    const TIdentifiantNationalDeSante& Other = C.INSC ? Items[0].Patient.INSi : Items[0].Patient.INSC;
    EXPECT_EQ(Filled.Code, "ID-" + C.OID);
    EXPECT_EQ(Filled.Type, C.Letter);
    EXPECT_EQ(Filled.OID, C.OID);
    EXPECT_EQ(Other.Code, "") << C.OID;
  }
}

TEST_F(Replies, patient_list_statuses) {
  auto Answer = [](std::string_view Output) {
    return Envelope("<patientListResponse xmlns=\"urn:si-dmp-patients\">" + std::string(Output) +
                    "</patientListResponse>");
  };
  struct {
    std::string Answer;
    int Code;
    std::string Detail;
  } Cases[] = {
      {Answer("<output><status>DMPErrorLPS</status><context>startDate illisible</context></output>"),
       ERR_REQUETE_INVALIDE, "startDate illisible"},
      {Answer("<output><status>DMPKo</status><context>autre</context><patientlistData/></output>"), ERR_DONNEES_VIDES,
       "autre"},
      {Answer(""), ERR_PROGRAMME, ""},
  };
  for (const auto& C : Cases) {
    std::vector<Objects::TDossierItem> Items(1);
    EXPECT_EQ(Root->ReadDossiers(C.Answer, Items), C.Code);
    EXPECT_EQ(Root->GetErrDetail(), C.Detail);
    EXPECT_TRUE(Items.empty());
  }
}

TEST_F(Replies, patient_search_reads_subjects) {
  std::vector<TPatientItem> Items;
  ASSERT_EQ(Root->ReadPatients(Fixture("patients-ok.xml"), Items), ERR_OK);
  ASSERT_EQ(Items.size(), 2u);
  EXPECT_EQ(Items[0].Patient.INSC.Type, 'A');
  EXPECT_EQ(Items[0].Patient.Identite.Sexe, 'U');  // "MM" is not one character
  EXPECT_EQ(Items[0].Patient.Identite.NomNaissance, "NON RENSEIGNE");  // kept with qualifier BR
  EXPECT_EQ(Items[0].Patient.Identite.NomUsage, "DUPONT");
  EXPECT_TRUE(Items[0].oppositionUrgence);
  EXPECT_EQ(Items[1].Patient.Identite.Civilite, 0);
  EXPECT_EQ(Items[1].Patient.Identite.DateNaissance, "");
  EXPECT_FALSE(Items[1].oppositionUrgence);
}

TEST_F(Replies, patient_search_acknowledgements) {
  auto Answer = [](std::string_view Type, std::string_view Detail) {
    return Envelope("<PRPA_IN201306UV02><acknowledgement><typeCode code=\"" + std::string(Type) +
                    "\"/><acknowledgementDetail><code code=\"" + std::string(Detail) +
                    "\"/><text>Texte du service</text></acknowledgementDetail></acknowledgement>"
                    "<controlActProcess><subject/></controlActProcess></PRPA_IN201306UV02>");
  };
  struct {
    std::string Type, Detail;
    int Code;
  } Cases[] = {{"AE", "DMPTooManyResult", ERR_TROP_DE_RESULTATS},   {"AE", "DMPInvalidRequest", ERR_REQUETE_INVALIDE},
               {"AE", "DMPAuthenticationError", ERR_ACCES_REFUSE},   {"AE", "DMPOther", ERR_REPONSE},
               {"AR", "", ERR_REPONSE}};
  for (const auto& C : Cases) {
    std::vector<TPatientItem> Items;
    EXPECT_EQ(Root->ReadPatients(Answer(C.Type, C.Detail), Items), C.Code) << C.Detail;
    EXPECT_TRUE(Items.empty());
  }
  std::vector<TPatientItem> Items;
  EXPECT_EQ(Root->ReadPatients(Envelope("<PRPA_IN201306UV02><acknowledgement><typeCode code=\"AA\"/>"
                                        "</acknowledgement></PRPA_IN201306UV02>"),
                               Items),
            ERR_OK);
  EXPECT_TRUE(Items.empty());
}

// ---- Administrative panel ----

TEST_F(Replies, panel_reading) {
  const TVoletAdministratif* V = nullptr;
  ASSERT_EQ(Root->xmlVoletAdministratif(Fixture("volet-ok.xml"), V), ERR_OK);
  ASSERT_EQ(V, &Root->FVolet);
  EXPECT_EQ(V->Identite.Civilite, 3);
  EXPECT_EQ(V->Identite.NomNaissance, "L'Orée & Fils <SARL>");
  EXPECT_EQ(V->Identite.NomUsage, "BERNARD");
  EXPECT_EQ(V->Adresse.Complement, "Bât. B");
  EXPECT_EQ(V->Telecom.Fixe, "0102030405");
  EXPECT_EQ(V->Telecom.Mobile, "0607080910");
  EXPECT_EQ(V->Telecom.EMail, "chloe@example.org");
  EXPECT_EQ(V->PaysNaissance, "FRANCE");
  EXPECT_EQ(V->Representant.Relation, TRelation::Mere);  // the first relationship only
  EXPECT_EQ(V->Representant.Prenom, "Sophie");
  EXPECT_EQ(V->Representant.Adresse.Ville, "Lyon");
  EXPECT_EQ(V->Representant.Telecom.Mobile, "0611111111");

  // A refusal leaves the stored panel.
  const std::string Refused = Envelope(
      "<PRPA_IN201308UV02><acknowledgement typeCode=\"AE\"><acknowledgementDetail><code "
      "code=\"DMPAuthorizationNotFound\"/><text>Pas d'autorisation</text></acknowledgementDetail>"
      "</acknowledgement></PRPA_IN201308UV02>");
  EXPECT_EQ(Root->xmlVoletAdministratif(Refused, V), ERR_ACCES_REFUSE);
  EXPECT_EQ(Root->GetErrDetail(), "Pas d'autorisation");
  EXPECT_EQ(Root->FVolet.Identite.NomUsage, "BERNARD");
  TVoletAdministratif Other;
  EXPECT_EQ(Root->ParseVoletAdministratif(Envelope("<PRPA_IN201308UV02><acknowledgement typeCode=\"CA\"/>"
                                                   "</PRPA_IN201308UV02>"),
                                          Other),
            ERR_PROGRAMME);
}

TEST_F(Replies, panel_revision_needs_exactly_one_child) {
  TVoletAdministratif V;
  const std::string Ok = "<PRPA_IN201315UV02><acknowledgement typeCode=\"AA\"/></PRPA_IN201315UV02>";
  EXPECT_EQ(Root->ParseRevisionVolet(Envelope("<PRPA_IN201314UV02_Response>" + Ok + "</PRPA_IN201314UV02_Response>"), V),
            ERR_OK);
  EXPECT_EQ(Root->ParseRevisionVolet(
                Envelope("<PRPA_IN201314UV02_Response>" + Ok + Ok + "</PRPA_IN201314UV02_Response>"), V),
            ERR_PROGRAMME);
  EXPECT_EQ(Root->ParseRevisionVolet(Envelope("<PRPA_IN201314UV02_Response><PRPA_IN201316UV02><acknowledgement "
                                              "typeCode=\"AE\"><acknowledgementDetail><text>Révision refusée</text>"
                                              "</acknowledgementDetail></acknowledgement></PRPA_IN201316UV02>"
                                              "</PRPA_IN201314UV02_Response>"),
                                     V),
            ERR_REQUETE_INVALIDE);
  EXPECT_EQ(Root->GetErrDetail(), "Révision refusée");
}

TEST_F(Replies, panel_writer_validates_and_escapes) {
  TVoletAdministratif V;
  V.Identite = {2, "L'Orée & Fils <SARL>", "", "Zoé \"Z\"", "04/05/2010", 'F'};
  V.Adresse.Ville = "Paris & Co";
  V.Telecom.EMail = "a&b@example.org";
  V.PaysNaissance = "FRANCE";
  V.Representant = {TRelation::Autre, 1, "DUPONT <tuteur>", "Marc", {}, {}};
  std::string Text;
  ASSERT_EQ(Root->HL7PatientPerson(&V, Text, nullptr), ERR_OK);
  EXPECT_EQ(Text,
            "<name><prefix>Mme</prefix><family qualifier=\"SP\">L'Orée &amp; Fils &lt;SARL&gt;</family>"
            "<given>Zoé &quot;Z&quot;</given></name><administrativeGenderCode code=\"F\"/>"
            "<addr><city>Paris &amp; Co</city></addr><telecom value=\"mailto:a&amp;b@example.org\"/>"
            "<birthTime value=\"20100504\"/><birthPlace classCode=\"BIRTHPL\"><addr><country>FRANCE</country>"
            "</addr></birthPlace><personalRelationship classCode=\"PRS\"><code code=\"RESPRSN\" "
            "codeSystem=\"2.16.840.1.113883.1.11.19830\"/><relationshipHolder1 classCode=\"PSN\" "
            "determinerCode=\"INSTANCE\"><name><prefix>M</prefix><given>Marc</given><family>DUPONT &lt;tuteur&gt;"
            "</family></name></relationshipHolder1></personalRelationship>");

  // Emptied values that the service held are cleared with NASK.
  TVoletAdministratif Previous = V;
  Previous.Identite.NomNaissance = "ANCIEN";
  V.Adresse.Ville.clear();
  V.PaysNaissance.clear();
  V.Identite.DateNaissance.clear();
  V.Identite.Sexe = ' ';
  ASSERT_EQ(Root->HL7PatientPerson(&V, Text, &Previous), ERR_OK);
  EXPECT_NE(Text.find("<family qualifier=\"BR\" nullFlavor=\"NASK\"/>"), std::string::npos) << Text;
  EXPECT_NE(Text.find("<addr><city nullFlavor=\"NASK\"/></addr>"), std::string::npos) << Text;
  EXPECT_NE(Text.find("<birthPlace classCode=\"BIRTHPL\"><addr><country nullFlavor=\"NASK\"/>"), std::string::npos);
  EXPECT_EQ(Text.find("administrativeGenderCode"), std::string::npos);
  EXPECT_EQ(Text.find("birthTime"), std::string::npos);

  struct {
    void (*Change)(TVoletAdministratif&);
    int Code;
  } Refusals[] = {
      {[](TVoletAdministratif& W) { W.Identite.Civilite = 4; }, ERR_CIVILITE},
      {[](TVoletAdministratif& W) { W.Identite.NomUsage.clear(); }, ERR_NOM_USAGE},
      {[](TVoletAdministratif& W) { W.Identite.Prenom.clear(); }, ERR_PRENOM},
      {[](TVoletAdministratif& W) { W.Identite.DateNaissance = "2010-05-04"; }, ERR_DATE_NAISSANCE},
      {[](TVoletAdministratif& W) { W.Identite.DateNaissance = "<a/\"b/c>de"; }, ERR_DATE_NAISSANCE},
      {[](TVoletAdministratif& W) { W.Identite.Sexe = 'X'; }, ERR_SEXE},
      {[](TVoletAdministratif& W) { W.Identite.Sexe = ' '; }, ERR_SEXE},
  };
  for (const auto& R : Refusals) {
    TVoletAdministratif W = Previous;
    W.Identite.DateNaissance = "04/05/2010";
    R.Change(W);
    EXPECT_EQ(Root->HL7PatientPerson(&W, Text, nullptr), R.Code);
  }
  EXPECT_EQ(Root->HL7PatientPerson(nullptr, Text, nullptr), ERR_CIVILITE);
}

TEST_F(Replies, written_panel_reads_back_the_same) {
  const TVoletAdministratif* Read = nullptr;
  ASSERT_EQ(Root->xmlVoletAdministratif(Fixture("volet-ok.xml"), Read), ERR_OK);
  const TVoletAdministratif Original = *Read;
  std::string Person;
  ASSERT_EQ(Root->HL7PatientPerson(&Original, Person, nullptr), ERR_OK);
  TVoletAdministratif Back;
  ASSERT_EQ(Root->ParseVoletAdministratif(
                Envelope("<PRPA_IN201308UV02 xmlns=\"urn:hl7-org:v3\"><acknowledgement typeCode=\"AA\"/>"
                         "<controlActProcess><subject><registrationEvent><subject1><patient><patientPerson>" +
                         Person +
                         "</patientPerson></patient></subject1></registrationEvent></subject></controlActProcess>"
                         "</PRPA_IN201308UV02>"),
                Back),
            ERR_OK);
  EXPECT_EQ(Back.Identite.NomNaissance, Original.Identite.NomNaissance);
  EXPECT_EQ(Back.Identite.DateNaissance, Original.Identite.DateNaissance);
  EXPECT_EQ(Back.Adresse.Complement, Original.Adresse.Complement);
  EXPECT_EQ(Back.Telecom.EMail, Original.Telecom.EMail);
  EXPECT_EQ(Back.Representant.Relation, Original.Representant.Relation);
  EXPECT_EQ(Back.Representant.Adresse.Ville, Original.Representant.Adresse.Ville);
  EXPECT_EQ(Back.PaysNaissance, Original.PaysNaissance);
}

// ---- Practitioners, web access, authorisation ----

std::string Output(std::string_view Operation, std::string_view Status, std::string_view Content = {}) {
  return Envelope("<" + std::string(Operation) + "Response><output>" +
                  (Status.empty() ? std::string() : "<status>" + std::string(Status) + "</status>") +
                  "<context>Contexte &amp; détail</context>" + std::string(Content) + "</output></" +
                  std::string(Operation) + "Response>");
}

TEST_F(Replies, status_answers) {
  struct {
    std::string Reader, Status;
    int Code;
  } Cases[] = {
      {"autorisation", "DMPOk", ERR_OK},
      {"autorisation", "DMPInvalidRequest", ERR_REQUETE_INVALIDE},
      {"autorisation", "DMPErrorLPS", ERR_REQUETE_INVALIDE},
      {"autorisation", "DMPClosed", ERR_REQUETE_INVALIDE},
      {"autorisation", "DMPAuthorizationNotFound", ERR_ACCES_REFUSE},
      {"autorisation", "DMPAuthenticationError", ERR_ACCES_REFUSE},
      {"autorisation", "DMPAccessForbidden", ERR_ACCES_REFUSE},
      {"autorisation", "DMPAccessDeniedByRightsService", ERR_ACCES_REFUSE},
      {"autorisation", "DMPUnknown", ERR_REQUETE_REFUSEE},
      {"autorisation", "", ERR_REQUETE_REFUSEE},
      {"canal", "DMPOk", ERR_OK},
      {"canal", "DMPPatientAccessOTPAlreadyExists", ERR_CANAL_EXISTE},
      {"canal", "DMPClosed", ERR_REQUETE_REFUSEE},
      {"acces", "DMPPatientAccessAlreadyExists", ERR_ACCES_PATIENT_EXISTE},
      {"acces", "DMPClosed", ERR_REQUETE_REFUSEE},
      {"nouvel", "DMPPatientAccessAlreadyExists", ERR_REQUETE_REFUSEE},
      {"praticiens", "DMPPatientAccessAlreadyExists", ERR_ACCES_PATIENT_EXISTE},
      {"praticiens", "DMPAccessForbidden", ERR_REQUETE_REFUSEE},
  };
  for (const auto& C : Cases) {
    int Code = -1;
    TAccesPatient A;
    std::vector<TPraticien> P;
    if (C.Reader == "autorisation") Code = Root->xmlAutorisation(Output("setAuthorization", C.Status));
    if (C.Reader == "canal") Code = Root->xmlModifierAccessPatient(Output("patientOTPUpdate", C.Status));
    if (C.Reader == "acces") Code = Root->ParseAccesPatient(Output("createPatientAccess", C.Status), A);
    if (C.Reader == "nouvel") Code = Root->ParseNouvelAcces(Output("updatePatientAccess", C.Status), A);
    if (C.Reader == "praticiens") Code = Root->ParsePraticiens(Output("listAuthorizationByPatient", C.Status), P);
    EXPECT_EQ(Code, C.Code) << C.Reader << " " << C.Status;
    EXPECT_EQ(Root->GetErrDetail(), C.Code ? "Contexte & détail" : "") << C.Reader << " " << C.Status;
  }
  EXPECT_EQ(Root->xmlAutorisation(Envelope("<setAuthorizationResponse/>")), ERR_OK);
  EXPECT_EQ(Root->xmlAutorisation(Envelope("<other/>")), ERR_PROGRAMME);
}

TEST_F(Replies, practitioners_and_access_records) {
  const std::string List = Output(
      "listAuthorizationByPatient", "DMPOk",
      "<listOfAuthorizationByPatient><nationalId>810001</nationalId><nationalIdType>8</nationalIdType>"
      "<firstName>Ana</firstName><lastName>O&apos;NEILL</lastName><lastActionDate>20250306</lastActionDate>"
      "<mode>ACTIVE</mode><startOfAuthorization>20240101</startOfAuthorization><codeSpeciality>SM26</codeSpeciality>"
      "<libSpeciality>Qualifié en médecine générale</libSpeciality><specificRight>MEDECIN_TRAITANT</specificRight>"
      "</listOfAuthorizationByPatient><listOfAuthorizationByPatient><lastName>B</lastName>"
      "</listOfAuthorizationByPatient>");
  std::span<const TPraticien> P;
  ASSERT_EQ(Root->xmlPraticiens(List, P), ERR_OK);
  ASSERT_EQ(P.size(), 2u);
  EXPECT_EQ(P[0].Nom, "O'NEILL");
  EXPECT_EQ(P[0].DateAction, "06/03/2025");
  EXPECT_EQ(P[0].Entite.Nom, "Qualifié en médecine générale");
  EXPECT_TRUE(P[0].StatutMT);
  EXPECT_FALSE(P[1].StatutMT);
  EXPECT_EQ(Root->xmlPraticiens(Output("listAuthorizationByPatient", "DMPKo"), P), ERR_REQUETE_REFUSEE);
  EXPECT_EQ(Root->FPraticiens.size(), 2u);  // kept

  const TAccesPatient* A = nullptr;
  ASSERT_EQ(Root->xmlAccesPatient(Output("createPatientAccess", "DMPOk", "<login>DMP1</login><password>p&amp;w</password>"), A),
            ERR_OK);
  EXPECT_EQ(A->password, "p&w");
}

// ---- Registry answers ----

std::string RegistryAnswer(std::string_view Status, std::string_view Errors, std::string_view Root = "RegistryResponse") {
  return Envelope("<" + std::string(Root) + " status=\"" + std::string(Status) + "\">" + std::string(Errors) + "</" +
                  std::string(Root) + ">");
}

constexpr std::string_view Success = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success";
constexpr std::string_view Failure = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Failure";

std::string Error(std::string_view Code, std::string_view Severity = "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Error") {
  return "<RegistryErrorList><RegistryError errorCode=\"" + std::string(Code) +
         "\" codeContext=\"entryUUID=x;status=y\" severity=\"" + std::string(Severity) + "\"/></RegistryErrorList>";
}

TEST_F(Replies, registry_errors_and_statuses) {
  struct {
    std::string Answer;
    int Code;
    std::string Detail;
  } Cases[] = {
      {RegistryAnswer(Success, ""), ERR_OK, ""},
      {RegistryAnswer(Failure, ""), ERR_REQUETE_REFUSEE, std::string(Failure)},
      {RegistryAnswer(Failure, Error("DMPAuthorizationNotFound")), ERR_ACCES_REFUSE, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("DMPAccessForbidden")), ERR_ACCES_REFUSE, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSDocumentUniqueIdError")), ERR_XOP_DOCUMENT, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSReplaceFailed")), ERR_REMPLACEMENT, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSRegistryDeprecatedDocumentError")), ERR_REMPLACEMENT, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSTooManyResults")), ERR_TROP_DE_RESULTATS, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSMetadataVersionError")), ERR_METADONNEES, "entryUUID=x;status=y"},
      {RegistryAnswer(Failure, Error("XDSOther")), ERR_XOP, "XDSOther entryUUID=x;status=y"},
      // A warning beside a success does not stop the call.
      {RegistryAnswer(Success, Error("XDSOther", "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Warning")), ERR_OK,
       ""},
      {RegistryAnswer(Failure, Error("XDSOther", "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Warning")), ERR_XOP,
       "XDSOther entryUUID=x;status=y"},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(Root->xmlUpdateDocumentSet(C.Answer), C.Code) << C.Answer;
    EXPECT_EQ(Root->GetErrDetail(), C.Detail) << C.Answer;
  }
  EXPECT_EQ(Log.Lines.size(), 1u);
}

TEST_F(Replies, document_list_reads_every_field) {
  std::vector<Objects::TDocumentInfo> List;
  ASSERT_EQ(Root->ParseDocumentList(Fixture("documents-ok.xml"), List), ERR_OK);
  ASSERT_EQ(List.size(), 3u);
  const Objects::TDocumentInfo& D = List[0];
  EXPECT_EQ(D.Nom, "Lettre de L'Orée & Fils");
  EXPECT_EQ(D.Auteur, "Jean DUPONT");
  EXPECT_EQ(D.DateCreation, "04/01/2025 15:30");
  EXPECT_EQ(D.Categorie, "Compte rendu & lettre");
  EXPECT_EQ(D.CodeCategorie, "11490-0");
  EXPECT_EQ(D.Extension, "PDF");
  EXPECT_EQ(D.Commentaire, "Commentaire & note \"cité\"");
  EXPECT_EQ(D.Taille, 1234);
  EXPECT_EQ(D.CadreExercice, "Ambulatoire");
  EXPECT_EQ(D.DateDebut, "02/01/2025");
  EXPECT_EQ(D.DateFin, "03/01/2025 12:00");
  EXPECT_EQ(D.Visibilite, 5);
  EXPECT_EQ(D.Statut, "Approved");
  EXPECT_EQ(D.Version, 2);
  EXPECT_EQ(D.uuid, "urn:uuid:e1");
  EXPECT_EQ(D.RepositoryId, "1.2.250.1.213.4.1.1.1.2");
  EXPECT_EQ(D.UniqueID, "1.2.250.1.999.urn:uuid:e1");
  EXPECT_EQ(D.DocumentUniqueId, D.UniqueID);
  EXPECT_FALSE(D.DocumentPatient);
  // Numbers that are not numbers or do not fit are absent.
  EXPECT_EQ(List[1].Taille, 0);
  EXPECT_EQ(List[1].Version, 0);
  EXPECT_TRUE(List[1].DocumentPatient);
  EXPECT_EQ(List[1].Auteur, "(inconnu)");
  EXPECT_EQ(List[1].DateCreation, "");
  EXPECT_EQ(List[1].Extension, "XML");
  EXPECT_EQ(List[2].Statut, "Deprecated");
  EXPECT_EQ(List[2].Extension, "urn:other:format");

  // FillDocumentList appends; a count that differs adds nothing and says why in the log.
  ASSERT_EQ(Root->FillDocumentList(Fixture("documents-ok.xml"), List), ERR_OK);
  EXPECT_EQ(List.size(), 6u);
  ASSERT_EQ(Root->FillDocumentList(Fixture("documents-count-mismatch.xml"), List), ERR_OK);
  EXPECT_EQ(List.size(), 6u);
  ASSERT_EQ(Log.Lines.size(), 1u);
  EXPECT_NE(Log.Lines[0].find("totalResultCount 4"), std::string::npos);

  EXPECT_EQ(Root->ParseDocumentList(Envelope("<RegistryResponse/>"), List), ERR_PROGRAMME);
  EXPECT_TRUE(List.empty());
}

TEST_F(Replies, object_references) {
  auto Query = [](std::string_view Count, std::string_view Objects) {
    return Envelope("<AdhocQueryResponse status=\"urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success\" "
                    "totalResultCount=\"" +
                    std::string(Count) + "\"><RegistryObjectList>" + std::string(Objects) +
                    "</RegistryObjectList></AdhocQueryResponse>");
  };
  std::vector<std::string> Ids;
  EXPECT_EQ(Root->ParseObjectRefs(Query("3", "<ObjectRef id=\"a\"/><ObjectRef id=\"\"/><ObjectRef id=\"b\"/>"), Ids), ERR_OK);
  EXPECT_EQ(Ids, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Root->ParseObjectRefs(Query("2", "<ObjectRef id=\"a\"/>"), Ids), ERR_OK);
  EXPECT_TRUE(Ids.empty());
  const std::string Member = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember";
  EXPECT_EQ(Root->ParseHasMemberTargets(
                Query("2", "<Association associationType=\"" + Member + "\" targetObject=\"t1\"/>"
                           "<Association associationType=\"other\" targetObject=\"t2\"/>"),
                Ids),
            ERR_OK);
  EXPECT_EQ(Ids, (std::vector<std::string>{"t1"}));
  // Submission sets without members: no target, and no failure.
  EXPECT_EQ(Root->ParseHasMemberTargets(Query("0", ""), Ids), ERR_OK);
  EXPECT_TRUE(Ids.empty());
  std::string Id;
  EXPECT_EQ(Root->ParseSingleObjectRef(Query("1", "<ObjectRef id=\"u\"/>"), Id), ERR_OK);
  EXPECT_EQ(Id, "u");
  EXPECT_EQ(Root->ParseSingleObjectRef(Query("2", "<ObjectRef id=\"u\"/><ObjectRef id=\"v\"/>"), Id),
            ERR_DOCUMENT_INTROUVABLE);
  EXPECT_EQ(Root->ParseSingleObjectRef(Query("1", "<ObjectRef/>"), Id), ERR_PROGRAMME);
}

// ---- MTOM answers ----

std::string Multipart(std::initializer_list<std::string_view> Parts) {
  std::string Body;
  for (std::string_view P : Parts) Body += "--B\r\nContent-Type: application/xop+xml\r\n\r\n" + std::string(P) + "\r\n";
  return Body + "--B--\r\n";
}

TEST_F(Replies, retrieval_needs_its_two_parts) {
  const std::string Soap = Envelope(
      "<RetrieveDocumentSetResponse><RegistryResponse status=\"urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:"
      "Success\"/><DocumentResponse><RepositoryUniqueId>1.2.3</RepositoryUniqueId><DocumentUniqueId>4.5&amp;6"
      "</DocumentUniqueId></DocumentResponse></RetrieveDocumentSetResponse>");
  Objects::TRetrievedDocument D;
  ASSERT_EQ(Root->ParseRetrieveDocumentSet(Multipart({Soap, "%PDF\r\n\x01"}), D), ERR_OK);
  EXPECT_EQ(D.RepositoryUniqueId, "1.2.3");
  EXPECT_EQ(D.DocumentUniqueId, "4.5&6");
  EXPECT_EQ(D.Content, "%PDF\r\n\x01");
  struct {
    std::string Answer;
    int Code;
  } Cases[] = {
      {Multipart({Soap}), ERR_XOP},
      {Multipart({Soap, "a", "b"}), ERR_XOP},
      {Multipart({"", "a"}), ERR_XOP},
      {Multipart({Soap, ""}), ERR_XOP},
      {Multipart({Envelope("<other/>"), "a"}), ERR_XOP},
      {"not multipart", ERR_XOP},
      {Multipart({Envelope("<soap:Fault><soap:Reason><soap:Text>Non</soap:Text></soap:Reason></soap:Fault>"), "a"}),
       ERR_REQUETE_REFUSEE},
      {Multipart({RegistryAnswer(Failure, Error("XDSDocumentUniqueIdError")), "a"}), ERR_XOP_DOCUMENT},
  };
  for (const auto& C : Cases) EXPECT_EQ(Root->ParseRetrieveDocumentSet(C.Answer, D), C.Code) << C.Answer;
}

TEST_F(Replies, filing_requires_success) {
  struct {
    std::string Answer;
    int Code;
  } Cases[] = {
      {Multipart({RegistryAnswer(Success, "")}), ERR_OK},
      {Multipart({RegistryAnswer(Failure, "")}), ERR_REQUETE_REFUSEE},
      {Multipart({RegistryAnswer(Success, Error("XDSOther", "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Warning"))}),
       ERR_OK},
      {Multipart({RegistryAnswer(Failure, Error("XDSReplaceFailed"))}), ERR_REMPLACEMENT},
      {Envelope("<soap:Fault><soap:Reason><soap:Text>Refus</soap:Text></soap:Reason></soap:Fault>"), ERR_REQUETE_REFUSEE},
      {Multipart({""}), ERR_XOP},
  };
  for (const auto& C : Cases) EXPECT_EQ(Root->xopProvideAndRegisterDocumentSetB(C.Answer), C.Code) << C.Answer;
}

// ---- Helpers ----

TEST(DocumentHelpers, hl7_times) {
  setenv("TZ", "UTC", 1);
  struct {
    std::string_view In, Out;
  } Cases[] = {{"", ""},
               {"20250102", "02/01/2025"},
               {"20250102153045", "02/01/2025 15:30"},
               {"20250102153045+0100junk", "02/01/2025 15:30"},
               {"2025010", ""},
               {"2025-01-02", ""},
               {"20250230", ""},
               {"20250102256000", ""},
               {"20240229", "29/02/2024"}};
  for (const auto& C : Cases) EXPECT_EQ(Objects::HL7TimeToText(C.In), C.Out) << C.In;
}

TEST(DocumentHelpers, names_statuses_and_extensions) {
  EXPECT_EQ(Objects::XCNToName("1^DUPONT^Jean^A^B"), "Jean DUPONT");
  EXPECT_EQ(Objects::XCNToName("1234"), "(inconnu)");
  EXPECT_EQ(Objects::StatusFromURN("urn:asip:ci-sis:2010:StatusType:Deleted"), "Deleted");
  EXPECT_EQ(Objects::StatusFromURN("urn:oasis:names:tc:ebxml-regrep:StatusType:Submitted"), "Submitted");
  EXPECT_EQ(Objects::StatusFromURN("Other"), "Other");
  EXPECT_EQ(Objects::ExtensionFromFormatCode("urn:ihe:qrph:anything"), "XML");
  EXPECT_EQ(Objects::ExtensionFromFormatCode("urn:asip:ci-sis:vac-note:2021"), "XML");
  EXPECT_EQ(Objects::DateFRToHL7("04/05/2010"), "20100504");
  for (std::string_view Bad : {"4/05/2010", "ab/cd/efgh", "<a/\"b/c>de", "04/05/20 0", "+4/05/2010", "04/05/201\xC3"})
    EXPECT_EQ(Objects::DateFRToHL7(Bad), "") << Bad;
}

}  // namespace
