// Filing with a SoftHSM2 CPS card against the national-service simulator,
// which checks each submission with Python's email (MIME layout),
// xml.etree (ebRIM metadata and associations), xmllint --c14n with hashlib
// (manifest digests), xmlsec1 (the signature) and xmllint --schema (the
// CDA, when the shared data is present), then stores the documents so the
// registry queries list them.
#include <gtest/gtest.h>

#include <filesystem>

#include "CardSimPeer.h"
#include "Vantrel.SysUtils.h"

using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view MartinFirstUID = "1.2.250.1.213.1.1.1.1.999.2.1.1";

struct TLogSink : IVaspoLOG {
  std::string Text;
  void OnLog(ICarvelin&, std::string_view Msg) override { Text += std::string(Msg) + "\n"; }
};

class FilingPeer : public CardSim::TCardSimPeer {
 protected:
  static void SetUpTestSuite() { Sim = new SimTest::TSimulator("2025-03-15", {"--verify-signatures"}); }

  void SetUp() override {
    CardSim::TCardSimPeer::SetUp();
    Root->SetLogger(&Sink);
    Dossier = Open(MartinINS);
    ASSERT_TRUE(Dossier);
  }

  static TProprietesDocument Props(std::string Content, TTypeMime Type = TTypeMime::ApplicationPDF) {
    TProprietesDocument P;
    P.Titre = "Compte rendu <urgent> & \"suivi\" de l'été";
    P.Document = {std::move(Content), Type};
    P.Commentaire = "Commentaire & <remarque> accentuée";
    P.PatientId = "PAT-42 & <x>";
    P.TypeDocument = "11488-4";
    P.DateDocument = "01/03/2025 10:30";
    P.CadreExercice = "AMBULATOIRE";
    return P;
  }

  static std::string Fixture(std::string_view Name) {
    return TestSupport::ReadFile(TestSupport::Fixture("cda-build/" + std::string(Name)));
  }

  // The unique ids of the record's approved documents.
  std::vector<std::string> Listed(TQueryFlags Flags = {}) {
    TQueryDocuments Q;
    Q.Flags = Flags;
    std::shared_ptr<IDocumentList> List;
    EXPECT_EQ(Dossier->QueryDocuments(Q, List), ERR_OK) << Root->GetErrDetail();
    std::vector<std::string> Ids;
    for (int I = 0; List && I < List->Count(); ++I) Ids.push_back(List->Info(I)->UniqueID);
    return Ids;
  }

  bool IsListed(const std::string& UniqueId, TQueryFlags Flags = {}) {
    const auto Ids = Listed(Flags);
    return std::find(Ids.begin(), Ids.end(), UniqueId) != Ids.end();
  }

  TLogSink Sink;
  std::shared_ptr<TDossierMedical> Dossier;
};

// The checks every accepted request passed, and each filing request split
// by Python's email (`filed`: [(log entry, root element, [document parts])]).
constexpr std::string_view FiledPrelude = R"PY(
import base64, email, email.policy
def split(e):
    data = open(os.path.join(state, e['request_file']), 'rb').read()
    m = email.message_from_bytes(b'Content-Type: multipart/related; boundary="=_carvelin_boundary_"\r\n\r\n' + data,
                                 policy=email.policy.HTTP)
    parts = [p.get_payload(decode=True) for p in m.iter_parts()]
    return e, ET.fromstring(parts[0]), parts[2:]
filed = [split(e) for e in requests if e['operation'] == 'ProvideAndRegisterDocumentSetRequest']
for e, _, _ in filed:
    checks = e.get('checks', [])
    assert checks[:5] == ['mime', 'xop', 'ebrim', 'digests', 'signature'], (checks, e.get('note'))
    assert checks[5] == 'schema' or checks[5].startswith('schema: ignoré'), checks
def slot(env, name):
    return [v.text for s in env.iter() if s.tag.endswith('}Slot') and s.get('name') == name for v in s.iter() if v.tag.endswith('}Value')]
def cda(part): return ET.fromstring(part)
H = '{urn:hl7-org:v3}'
)PY";

TEST_F(FilingPeer, each_kind_of_document_is_filed_signed_and_listed) {
  TNoteVaccination Note;
  Note.ID = "1.2.250.1.999.7.1";
  Note.Date = "01/03/2025";
  Note.Vaccin = "Vaccin <grippe> & co";
  Note.Vaccination = 1;
  Note.Vaccinateur = std::string(VaccinateurMoiMeme);
  constexpr std::string_view Section =
      "<component><section><title>Antécédents &amp; allergies</title><text>Aucun</text></section></component>";
  const std::string OwnCDA = Dossier->CreateSynthese(Props({}), Section);
  ASSERT_FALSE(OwnCDA.empty()) << Root->GetErrDetail();

  struct Case {
    std::string Name;
    std::function<int(std::string&)> File;
    std::string Wrapped;  // the fixture the CDA wraps, "" for a structured document
  };
  const Case Cases[] = {
      {"pdf", [&](std::string& U) { return Dossier->AddDocument(Props(Fixture("compte-rendu.pdf")), U); },
       "compte-rendu.pdf"},
      {"jpeg",
       [&](std::string& U) { return Dossier->AddDocument(Props(Fixture("image.jpg"), TTypeMime::ImageJPEG), U); },
       "image.jpg"},
      {"text",
       [&](std::string& U) { return Dossier->AddDocument(Props(Fixture("note.txt"), TTypeMime::TextPlain), U); },
       "note.txt"},
      {"summary", [&](std::string& U) { return Dossier->AddSynthese(Props({}), Section, U); }, {}},
      {"note", [&](std::string& U) { return Dossier->AddNoteVaccination(Props({}), Note, U); }, {}},
      {"cda", [&](std::string& U) { return Dossier->AddDocument(Props(OwnCDA, TTypeMime::CDAR2XML), U); }, {}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Since = Sim->LogSize();
    std::string UniqueId;
    ASSERT_EQ(C.File(UniqueId), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(UniqueId.rfind("2.25.", 0), 0u) << UniqueId;
    EXPECT_EQ(Operations(), std::vector<std::string>{"repository/ProvideAndRegisterDocumentSetRequest"});
    const std::string Wrapped = C.Wrapped.empty() ? "" : TestSupport::Fixture("cda-build/" + C.Wrapped).string();
    ExpectLog(std::string(FiledPrelude) + R"PY(
assert len(filed) == 1 and filed[0][0]['filed'] == [args[0]], filed
e, env, docs = filed[0]
titles = [n.get('value') for n in env.iter() if n.tag.endswith('LocalizedString')]
assert "Compte rendu <urgent> & \"suivi\" de l'été" in titles, titles
assert slot(env, 'sourcePatientId')[0].startswith('PAT-42 & <x>^^^&'), slot(env, 'sourcePatientId')
doc = cda(docs[0])
if args[1]:
    body = doc.find(H + 'component/' + H + 'nonXMLBody/' + H + 'text')
    assert base64.b64decode(body.text) == open(args[1], 'rb').read()
)PY",
              {UniqueId, Wrapped});
    EXPECT_TRUE(IsListed(UniqueId));
  }
  EXPECT_NE(Sink.Text.find("Signature du document..."), std::string::npos);
}

// Refused before anything is sent: the request log stays empty.
TEST_F(FilingPeer, refusals_of_the_callers_values_send_nothing) {
  TProprietesDocument Replacing = Props("x");
  Replacing.Remplacer = {std::string(MartinFirstUID), "urn:uuid:1", 1};
  TNoteVaccination BadNumber;
  BadNumber.Date = "01/03/2025";
  BadNumber.Vaccination = 3;
  struct Case {
    std::string Name;
    std::function<int(std::string&)> File;
    int Code;
    std::string Detail;
  };
  auto With = [](std::function<void(TProprietesDocument&)> Change, std::string Content = "%PDF") {
    TProprietesDocument P = Props(std::move(Content));
    Change(P);
    return P;
  };
  const Case Cases[] = {
      {"no patient", [&](std::string& U) { return Dossier->AddDocument(With([](auto& P) { P.PatientId = "  "; }), U); },
       ERR_PATIENT_ID, {}},
      {"patient 0", [&](std::string& U) { return Dossier->AddDocument(With([](auto& P) { P.PatientId = "0"; }), U); },
       ERR_PATIENT_ID, {}},
      {"type", [&](std::string& U) { return Dossier->AddDocument(With([](auto& P) { P.TypeDocument = "X"; }), U); },
       ERR_DOCUMENT, {}},
      {"cadre", [&](std::string& U) { return Dossier->AddDocument(With([](auto& P) { P.CadreExercice = "X"; }), U); },
       ERR_CADRE_EXERCICE, {}},
      {"empty", [&](std::string& U) { return Dossier->AddDocument(With([](auto& P) { P.Commentaire.clear(); }, ""), U); },
       ERR_DOCUMENT_VIDE, {}},
      {"cda without id",
       [&](std::string& U) {
         return Dossier->AddCDAR2(Props("<ClinicalDocument xmlns=\"urn:hl7-org:v3\"/>", TTypeMime::CDAR2XML), U);
       },
       ERR_CDA, {}},
      {"cda unreadable",
       [&](std::string& U) { return Dossier->AddCDAR2(Props("<ClinicalDocument><id", TTypeMime::CDAR2XML), U); },
       ERR_CDA, "(octet "},
      {"note replaced without id",
       [&](std::string& U) { return Dossier->AddNoteVaccination(Replacing, TNoteVaccination{}, U); }, ERR_VACCIN_ID,
       {}},
      {"vaccination number",
       [&](std::string& U) { return Dossier->AddNoteVaccination(Props({}), BadNumber, U); }, ERR_INDEX,
       "Numéro de Vaccination \"3\" invalide (de 0 à 2)"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::string UniqueId = "stale";
    EXPECT_EQ(C.File(UniqueId), C.Code) << Root->GetErrDetail();
    EXPECT_EQ(UniqueId, "");
    EXPECT_NE(Root->GetErrDetail().find(C.Detail), std::string::npos) << Root->GetErrDetail();
  }
  EXPECT_EQ(Operations(), std::vector<std::string>{});
}

TEST_F(FilingPeer, a_replacement_deprecates_the_old_entry_with_the_next_version) {
  std::shared_ptr<IDocumentList> List;
  ASSERT_EQ(Dossier->QueryDocuments({}, List), ERR_OK);
  const Objects::TDocumentInfo* Old = nullptr;
  for (int I = 0; I < List->Count(); ++I)
    if (List->Info(I)->UniqueID == MartinFirstUID) Old = static_cast<const Objects::TDocumentInfo*>(List->Info(I));
  ASSERT_TRUE(Old);
  TProprietesDocument P = Props(Fixture("compte-rendu.pdf"));
  std::string UniqueId;
  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->ReplaceDocument(*Old, P, UniqueId), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(P.Remplacer.UniqueID, MartinFirstUID);
  EXPECT_EQ(P.Remplacer.UUID, Old->uuid);
  ExpectLog(std::string(FiledPrelude) + R"PY(
e, env, docs = filed[0]
rplc = [a for a in env.iter() if a.tag.endswith('}Association') and a.get('associationType').endswith(':RPLC')]
assert len(rplc) == 1, rplc
assert cda(docs[0]).find(H + 'versionNumber').get('value') == '2'
)PY");
  EXPECT_TRUE(IsListed(UniqueId));
  EXPECT_FALSE(IsListed(std::string(MartinFirstUID)));
  EXPECT_TRUE(IsListed(std::string(MartinFirstUID), {TQueryFlag::Obsolete}));

  // Version 5 gives 6, also when the entry UUID is given by the caller.
  TProprietesDocument Again = Props("%PDF");
  Again.Remplacer = {UniqueId, {}, 5};
  std::shared_ptr<IDocumentList> Now;
  ASSERT_EQ(Dossier->QueryDocuments({}, Now), ERR_OK);
  for (int I = 0; I < Now->Count(); ++I)
    if (Now->Info(I)->UniqueID == UniqueId)
      Again.Remplacer.UUID = static_cast<const Objects::TDocumentInfo*>(Now->Info(I))->uuid;
  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->AddDocument(Again, UniqueId), ERR_OK) << Root->GetErrDetail();
  ExpectLog(std::string(FiledPrelude) + "assert cda(filed[0][2][0]).find(H + 'versionNumber').get('value') == '6'\n");
}

TEST_F(FilingPeer, a_refused_replacement_is_filed_again_as_new) {
  for (const char* Variant : {"replace_failed", "deprecated_document"}) {
    SCOPED_TRACE(Variant);
    Sim->SetRules(std::string(R"([{"match": {"service": "repository"}, "times": 1, "variant": ")") + Variant +
                  "\"}]");
    TProprietesDocument P = Props("%PDF");
    P.Remplacer = {std::string(MartinFirstUID), "urn:uuid:eb758bcc-2590-5bdb-ae52-01c2060f07ec", 1};
    Since = Sim->LogSize();
    Sink.Text.clear();
    std::string UniqueId;
    ASSERT_EQ(Dossier->AddDocument(P, UniqueId), ERR_OK) << Root->GetErrDetail();
    EXPECT_TRUE(IsListed(UniqueId));
    EXPECT_NE(Sink.Text.find("déposé comme un nouveau document"), std::string::npos) << Sink.Text;
    ExpectLog(std::string(FiledPrelude) + R"PY(
assert len(filed) == 2, len(filed)
def rplc(env): return [a for a in env.iter() if a.tag.endswith('}Association') and a.get('associationType').endswith(':RPLC')]
assert len(rplc(filed[0][1])) == 1 and rplc(filed[1][1]) == []
assert cda(filed[1][2][0]).find(H + 'relatedDocument') is None
)PY");
  }
}

TEST_F(FilingPeer, each_answer_kind_gives_its_code_and_no_unique_id) {
  const struct {
    std::string Rule;
    int Code;
    std::string Detail;
  } Cases[] = {
      {R"("variant": "version_error")", ERR_METADONNEES, {}},
      {R"("variant": "access_forbidden")", ERR_ACCES_REFUSE, {}},
      {R"("variant": "unlisted_error")", ERR_XOP, "DMPInternalError"},
      {R"("variant": "empty_answer_part")", ERR_XOP, {}},
      {R"("soap_fault": {"reason": "Refus du test"})", ERR_REQUETE_REFUSEE, "Refus du test"},
      {R"("http_500_empty": true)", ERR_CONNEXION, {}},
      {R"("close_before_answer": true)", ERR_CONNEXION, {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Rule);
    Sim->SetRules(R"([{"match": {"service": "repository"}, "times": 1, )" + C.Rule + "}]");
    Sink.Text.clear();
    std::string UniqueId = "stale";
    EXPECT_EQ(Dossier->AddDocument(Props("%PDF"), UniqueId), C.Code) << Root->GetErrDetail();
    EXPECT_EQ(UniqueId, "");
    EXPECT_EQ(Dossier->FUniqueID, "");
    EXPECT_NE(Root->GetErrDetail().find(C.Detail), std::string::npos) << Root->GetErrDetail();
    // The attempted identifier is kept for the user, so a doubtful filing can be looked up.
    EXPECT_NE(Sink.Text.find("identifiant unique tenté : 2.25."), std::string::npos) << Sink.Text;
  }
}

TEST_F(FilingPeer, an_exception_gives_0x8004_with_a_log_file) {
  const std::string LogFile = Vantrel::ProgramLogFileName(".log");
  std::filesystem::remove(LogFile);
  TNoteVaccination Note;
  Note.Date = "pas une date";
  std::string UniqueId;
  EXPECT_EQ(Dossier->AddNoteVaccination(Props({}), Note, UniqueId), ERR_EXCEPTION);
  const std::string Detail = Root->GetErrDetail();
  EXPECT_FALSE(Detail.empty());
  const std::string Logged = TestSupport::ReadFile(LogFile);
  EXPECT_EQ(Logged.rfind(Detail + "\r\n", 0), 0u) << Logged;
  // Then the stack, one frame a line.
  size_t Frames = 0;
  for (size_t At = Logged.find(" [0x"); At != std::string::npos; At = Logged.find(" [0x", At + 1)) ++Frames;
  EXPECT_GE(Frames, 3u) << Logged;
  EXPECT_NE(Sink.Text.find(Detail), std::string::npos);
  EXPECT_EQ(Operations(), std::vector<std::string>{});
}

TEST_F(FilingPeer, batches_file_their_documents_under_the_ids_they_name) {
  for (int Count : {1, 2, 12}) {
    SCOPED_TRACE(Count);
    std::shared_ptr<ILotDocuments> Lot;
    ASSERT_EQ(Dossier->CreerLotDocuments(Lot), ERR_OK);
    for (int I = 0; I < Count; ++I)
      ASSERT_EQ(Lot->AddDocument(Props(I % 2 ? Fixture("image.jpg") : Fixture("compte-rendu.pdf"),
                                       I % 2 ? TTypeMime::ImageJPEG : TTypeMime::ApplicationPDF)),
                ERR_OK)
          << Root->GetErrDetail();
    Since = Sim->LogSize();
    ASSERT_EQ(Lot->Submit(), ERR_OK) << Root->GetErrDetail();
    std::vector<std::string> Expected;
    for (int I = 1; I <= Count; ++I) Expected.push_back(Lot->GetUniqueID(I));
    for (const std::string& Id : Expected) EXPECT_TRUE(IsListed(Id)) << Id;
    std::vector<std::string> Args = {Lot->GetUniqueID(0)};
    Args.insert(Args.end(), Expected.begin(), Expected.end());
    ExpectLog(std::string(FiledPrelude) + R"PY(
e, env, docs = filed[0]
assert e['filed'] == args[1:], e['filed']
sets = [x.get('value') for x in env.iter() if x.tag.endswith('}ExternalIdentifier') and x.get('identificationScheme') == 'urn:uuid:96fdda7c-d067-4183-912e-bf5ee74998a8']
assert sets == [args[0]], sets
assert len(docs) == len(args) - 1
)PY",
              Args);
    // Filed once: no second request, no more documents.
    Since = Sim->LogSize();
    EXPECT_EQ(Lot->Submit(), ERR_PROGRAMME);
    EXPECT_EQ(Root->GetErrDetail(), "Le lot a déjà été transmis");
    EXPECT_EQ(Lot->AddDocument(Props("%PDF")), ERR_PROGRAMME);
    EXPECT_EQ(Operations(), std::vector<std::string>{});
  }
}

TEST_F(FilingPeer, batches_refuse_empty_full_and_cda_and_resend_after_a_failure) {
  std::shared_ptr<ILotDocuments> Lot;
  ASSERT_EQ(Dossier->CreerLotDocuments(Lot), ERR_OK);
  EXPECT_EQ(Lot->Submit(), ERR_DOCUMENT_VIDE);
  EXPECT_EQ(Lot->AddDocument(Props("<ClinicalDocument/>", TTypeMime::CDAR2XML)), ERR_PROGRAMME);
  EXPECT_EQ(Root->GetErrDetail(), "Les CDAR2 ne sont pas encore supportés dans les lots");
  EXPECT_EQ(Lot->Submit(), ERR_DOCUMENT_VIDE);  // the refused document was not added
  for (int I = 0; I < 99; ++I) ASSERT_EQ(Lot->AddDocument(Props("%PDF")), ERR_OK) << I;
  EXPECT_EQ(Lot->AddDocument(Props("%PDF")), ERR_PROGRAMME);
  EXPECT_EQ(Root->GetErrDetail(), "Un lot ne peut pas contenir plus de 99 documents");
  EXPECT_EQ(Operations(), std::vector<std::string>{});

  std::shared_ptr<ILotDocuments> Small;
  ASSERT_EQ(Dossier->CreerLotDocuments(Small), ERR_OK);
  ASSERT_EQ(Small->AddDocument(Props("%PDF")), ERR_OK);
  Sim->SetRules(R"([{"match": {"service": "repository"}, "times": 1, "variant": "access_forbidden"}])");
  EXPECT_EQ(Small->Submit(), ERR_ACCES_REFUSE);
  EXPECT_FALSE(IsListed(Small->GetUniqueID(1)));
  Since = Sim->LogSize();
  ASSERT_EQ(Small->Submit(), ERR_OK) << Root->GetErrDetail();
  EXPECT_TRUE(IsListed(Small->GetUniqueID(1)));
}

}  // namespace
