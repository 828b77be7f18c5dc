// Filing with a SoftHSM2 CPS card against the national-service simulator,
// which checks each submission with Python's email (MIME layout),
// xml.etree (ebRIM metadata and associations), xmllint --c14n with hashlib
// (manifest digests), xmlsec1 (the signature) and xmllint --schema (the
// CDA, when the shared data is present), then stores the documents so the
// registry queries list them and the repository serves them back. Python's
// hashlib compares what was filed with what comes back; openssl names the
// certificate that signed.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "CardSimPeer.h"
#include "TestSession.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.SOAP.h"
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
  static void SetUpTestSuite() { StartSimulator({"--verify-signatures"}); }

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

  // The approved document UniqueId retrieved from the record's list; nullptr when not listed.
  std::shared_ptr<Objects::TDocument> Retrieved(const std::string& UniqueId) {
    std::shared_ptr<IDocumentList> List;
    EXPECT_EQ(Dossier->QueryDocuments({}, List), ERR_OK) << Root->GetErrDetail();
    for (int I = 0; List && I < List->Count(); ++I) {
      if (List->Info(I)->UniqueID != UniqueId) continue;
      std::shared_ptr<IDocument> Doc;
      EXPECT_EQ(List->GetDocument(I, Doc), ERR_OK) << Root->GetErrDetail();
      return std::dynamic_pointer_cast<Objects::TDocument>(Doc);
    }
    return nullptr;
  }

  TLogSink Sink;
  std::shared_ptr<TDossierMedical> Dossier;
};

// The checks every accepted request passed, and each filing request split
// by Python's email (`filed`: [(log entry, root element, [document parts])]).
constexpr std::string_view FiledPrelude = R"PY(
import base64, email, email.policy
def parts_of(e):
    data = open(os.path.join(state, e['request_file']), 'rb').read()
    m = email.message_from_bytes(b'Content-Type: multipart/related; boundary="=_carvelin_boundary_"\r\n\r\n' + data,
                                 policy=email.policy.HTTP)
    return [p.get_payload(decode=True) for p in m.iter_parts()]
def split(e):
    parts = parts_of(e)
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

TEST_F(FilingPeer, each_kind_of_document_is_filed_signed_listed_and_served_back_unchanged) {
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
    // Listed, then retrieved: the document as served and its decoded content.
    const auto Doc = Retrieved(UniqueId);
    ASSERT_TRUE(Doc);
    const TestSupport::TempDir Work;
    Doc->SaveToFile((Work.Path() / "served").string());
    std::string_view Content;
    ASSERT_EQ(Doc->GetDocument(Content), ERR_OK);
    TestSupport::WriteFile(Work.Path() / "content", Content);
    std::string Given;
    if (C.Name == "cda") {
      Given = (Work.Path() / "given.xml").string();
      TestSupport::WriteFile(Given, OwnCDA);
    }
    ExpectLog(std::string(FiledPrelude) + R"PY(
import hashlib, subprocess
assert len(filed) == 1 and filed[0][0]['filed'] == [args[0]], filed
e, env, docs = filed[0]
titles = [n.get('value') for n in env.iter() if n.tag.endswith('LocalizedString')]
assert "Compte rendu <urgent> & \"suivi\" de l'été" in titles, titles
assert slot(env, 'sourcePatientId')[0].startswith('PAT-42 & <x>^^^&'), slot(env, 'sourcePatientId')
doc = cda(docs[0])
if args[1]:
    body = doc.find(H + 'component/' + H + 'nonXMLBody/' + H + 'text')
    assert base64.b64decode(body.text) == open(args[1], 'rb').read()
sha = lambda data: hashlib.sha256(data).hexdigest()
served = open(args[2], 'rb').read()
assert sha(served) == sha(docs[0]), 'served bytes differ from the filed CDA'
if args[1]:
    assert sha(open(args[3], 'rb').read()) == sha(open(args[1], 'rb').read()), 'content differs from the file'
if args[4]:
    assert sha(served) == sha(open(args[4], 'rb').read()), "served bytes differ from the caller's CDA"
# The signer is the card's signature certificate.
DS = '{http://www.w3.org/2000/09/xmldsig#}'
sig = next(r for r in map(ET.fromstring, parts_of(e)[1:]) if r.tag == DS + 'Signature')
der = base64.b64decode(sig.find('.//' + DS + 'X509Certificate').text)
def fingerprint(options, data=None):
    out = subprocess.run(['openssl', 'x509', '-noout', '-fingerprint', '-sha256'] + options, input=data,
                         capture_output=True, check=True).stdout
    return out.split(b'=', 1)[1].strip()
assert fingerprint(['-inform', 'DER'], der) == fingerprint(['-in', args[5]])
digest = next(n for n in sig.iter() if n.tag.endswith('}CertDigest'))
assert [base64.b64decode(c.text) for c in digest if c.tag.endswith('}DigestValue')] == [hashlib.sha1(der).digest()]
)PY",
              {UniqueId, Wrapped, (Work.Path() / "served").string(), (Work.Path() / "content").string(), Given,
               Token->CardFile("medecin-formation", "sign.pem").string()});
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

// The service time is pinned so that the filing instant is 10/03/2025 10:30:01
// local time: no date of the document may lie after one second before it.
TEST_F(FilingPeer, document_dates_stop_one_second_before_the_filing_time) {
  const auto At = [](int Hour, int Minute, int Second, int Day = 10) {
    Vantrel::TDateTime Value = 0;
    EXPECT_TRUE(Vantrel::TryEncodeDateTime({2025, 3, Day, Hour, Minute, Second, 0}, Value));
    return Value;
  };
  Vantrel::TDateTime Filing = At(10, 30, 1);
  Vantrel::LocalToUTCTime(Filing);
  Vantrel::SetServiceTimeSource([&](std::chrono::milliseconds) { return std::optional(Filing); });
  struct TRestore {
    ~TRestore() { Vantrel::SetServiceTimeSource(nullptr); }
  } Restore;
  const Vantrel::TDateTime Cap = At(10, 30, 0);
  const struct {
    std::string Date;
    Vantrel::TDateTime Expected;
  } Cases[] = {
      {"10/03/2025 10:29", At(10, 29, 0)},
      {"09/03/2025 23:59", At(23, 59, 0, 9)},
      {"10/03/2025 10:30", Cap},
      {"10/03/2025 10:31", Cap},
      {"01/01/2030 00:00", Cap},
      {"", 0},
      {"pas une date", 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Date);
    TProprietesDocument P = Props("%PDF");
    P.DateDocument = P.DateDebut = P.DateFin = C.Date;
    TXDSbInfo Xds;
    ASSERT_EQ(Dossier->PrepareDocument(P, Xds), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Xds.CDA.NowUTC, Filing);
    for (Vantrel::TDateTime Date : {Xds.CDA.CreateDate, Xds.CDA.StartDate, Xds.CDA.StopDate})
      EXPECT_NEAR(Date, C.Expected, 0.1 / 86400) << Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Date);
  }
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

TEST_F(FilingPeer, a_filing_whose_answer_is_late_has_an_unknown_outcome) {
  THostsConfig Impatient = Hosts;
  Impatient.TimeoutSeconds = 1;
  SetHostsConfig(Impatient);
  // The service files the document, but answers after the client gave up.
  Sim->SetRules(R"([{"match": {"service": "repository"}, "times": 1, "delay_ms": 2500}])");
  std::string UniqueId = "stale";
  EXPECT_EQ(Dossier->AddDocument(Props("%PDF"), UniqueId), ERR_DEPOT_INCERTAIN) << Root->GetErrDetail();
  EXPECT_EQ(UniqueId, "");
  EXPECT_NE(Root->GetErrMsg(ERR_DEPOT_INCERTAIN).find("a peut-être été déposé"), std::string_view::npos);
  constexpr std::string_view Tried = "identifiant unique tenté : ";
  const size_t Line = Sink.Text.find("Dépôt au résultat inconnu");
  ASSERT_NE(Line, std::string::npos) << Sink.Text;
  const size_t Id = Sink.Text.find(Tried, Line);
  ASSERT_NE(Id, std::string::npos) << Sink.Text;
  const std::string Attempted = Sink.Text.substr(Id + Tried.size(), Sink.Text.find('\n', Id) - Id - Tried.size());

  // What the professional is told to do shows it: the list holds the document.
  SetHostsConfig(Hosts);
  Sim->WaitForLog(Sim->Log(Since).size() + 1, Since);  // the filing, logged once answered
  EXPECT_TRUE(IsListed(Attempted)) << Attempted;
}

// A session whose signer raises, as a card library in trouble may.
struct TRaisingSigner : CoreTest::TTestSession {
  int SignData(std::string_view, std::string&) override { throw std::runtime_error("Lecteur de carte indisponible"); }
};

TEST_F(FilingPeer, an_exception_gives_0x8004_with_a_log_file) {
  TNoteVaccination Unreadable;
  Unreadable.Date = "pas une date";
  TRaisingSigner Signer;
  const struct {
    std::string Name;
    std::function<int(std::string&)> File;
    std::string Detail;  // "" for any
  } Cases[] = {
      {"note date", [&](std::string& U) { return Dossier->AddNoteVaccination(Props({}), Unreadable, U); }, {}},
      {"signer",
       [&](std::string& U) {
         // The card session's identity, signed by the raising signer.
         auto& Card = dynamic_cast<TVaspoCNX&>(*CPS);
         Signer.Info = Card.Info;
         Signer.Cert = Card.Cert;
         Signer.FActive = true;
         Root->SetSession(Signer);
         return Dossier->AddDocument(Props("%PDF"), U);
       },
       "Lecteur de carte indisponible"},
  };
  const std::string LogFile = Vantrel::ProgramLogFileName(".log");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::filesystem::remove(LogFile);
    Sink.Text.clear();
    Since = Sim->LogSize();
    std::string UniqueId = "stale";
    EXPECT_EQ(C.File(UniqueId), ERR_EXCEPTION);
    EXPECT_EQ(UniqueId, "");
    const std::string Detail = Root->GetErrDetail();
    EXPECT_FALSE(Detail.empty());
    if (!C.Detail.empty()) {
      EXPECT_EQ(Detail, C.Detail);
    }
    const std::string Logged = TestSupport::ReadFile(LogFile);
    EXPECT_EQ(Logged.rfind(Detail + "\r\n", 0), 0u) << Logged;
    // Then the stack, one frame a line.
    size_t Frames = 0;
    for (size_t At = Logged.find(" [0x"); At != std::string::npos; At = Logged.find(" [0x", At + 1)) ++Frames;
    EXPECT_GE(Frames, 3u) << Logged;
    EXPECT_NE(Sink.Text.find(Detail), std::string::npos);
    EXPECT_EQ(Operations(), std::vector<std::string>{});
  }
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

// The replacement offered by a retrieved document: its registry entry at
// version 0 (a caller's CDA stating so) gives version 2.
TEST_F(FilingPeer, a_retrieved_document_is_replaced_through_its_interface) {
  constexpr std::string_view Section = "<component><section><title>Traitement</title><text>Aucun</text></section></component>";
  std::string Zero = Dossier->CreateSynthese(Props({}), Section);
  constexpr std::string_view One = "<versionNumber value=\"1\"/>";
  const size_t At = Zero.find(One);
  ASSERT_NE(At, std::string::npos) << Zero;
  Zero.replace(At, One.size(), "<versionNumber value=\"0\"/>");
  std::string Old;
  ASSERT_EQ(Dossier->AddCDAR2(Props(Zero, TTypeMime::CDAR2XML), Old), ERR_OK) << Root->GetErrDetail();
  const auto Doc = Retrieved(Old);
  ASSERT_TRUE(Doc);
  EXPECT_EQ(Doc->GetInfo()->Version, 0);

  TProprietesDocument P = Props(Fixture("compte-rendu.pdf"));
  std::string New;
  Since = Sim->LogSize();
  ASSERT_EQ(Doc->Remplacer(P, New), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(P.Remplacer.UniqueID, Old);
  ExpectLog(std::string(FiledPrelude) + R"PY(
assert len(filed) == 1, filed
e, env, docs = filed[0]
assert e['filed'] == [args[1]], e['filed']
rplc = [a for a in env.iter() if a.tag.endswith('}Association') and a.get('associationType').endswith(':RPLC')]
assert len(rplc) == 1, rplc
doc = cda(docs[0])
assert doc.find(H + 'versionNumber').get('value') == '2'
assert doc.find(H + 'relatedDocument/' + H + 'parentDocument/' + H + 'id').get('root') == args[0]
)PY",
            {Old, New});
  EXPECT_TRUE(IsListed(New));
  EXPECT_FALSE(IsListed(Old));
  EXPECT_TRUE(IsListed(Old, {TQueryFlag::Obsolete}));

  // A document loaded from text has no record to file in.
  std::shared_ptr<IDocument> Loose;
  ASSERT_EQ(Root->xmlLoadDocument(Zero, Loose), ERR_OK) << Root->GetErrDetail();
  Since = Sim->LogSize();
  std::string UniqueId = "stale";
  EXPECT_EQ(Loose->Remplacer(P, UniqueId), ERR_SESSION);
  EXPECT_EQ(UniqueId, "");
  EXPECT_EQ(Operations(), std::vector<std::string>{});
}

// A staff card (type 2) in a process of its own: SoftHSM reads its store once.
TEST_F(FilingPeer, a_staff_card_files_through_its_own_repository) {
  Token.reset();  // it restores the environment it found
  Token = std::make_unique<TCpsToken>(std::initializer_list<std::string_view>{"secretariat-formation"});
  Since = Sim->LogSize();
  auto R = TestSupport::Run({TestSupport::ToolPath("dmp-cli"), "--hosts", Sim->HostsFile, "--module",
                             TCpsToken::SoftHSM(), "card", "login", "1234", "activities", "file",
                             std::string(MartinINS), TestSupport::Fixture("cda-build/note.txt").string(), "--type",
                             "11488-4", "--cadre", "AMBULATOIRE"});
  ASSERT_EQ(R.Status, 0) << R.Err << R.Out;
  auto P = TestSupport::RunPython(R"PY(
import json, sys
out = [json.loads(l) for l in sys.stdin]
assert out[0]['records']['porteur']['typeCarte'] == 2, out[0]
print(out[-1]['records'][0])
)PY",
                                  {}, R.Out);
  ASSERT_EQ(P.Status, 0) << P.Err << R.Out;
  ExpectLog(std::string(FiledPrelude) + R"PY(
assert [(e['path'], e['filed']) for e, _, _ in filed] == [('/si-dmp-server/v2/services/repositoryCPE', [args[0]])], filed
)PY",
            {P.Out.substr(0, P.Out.find('\n'))});
}

// The driver's filing commands, as a script runs them.
TEST_F(FilingPeer, dmp_cli_files_each_kind_and_prints_what_was_filed) {
  const TestSupport::TempDir Dir;
  const std::string Sections = (Dir.Path() / "sections.xml").string(), Note = (Dir.Path() / "note.json").string(),
                    OwnCDA = (Dir.Path() / "own.xml").string(), INS(MartinINS);
  TestSupport::WriteFile(Sections,
                         "<component><section><title>Allergies &amp; intolérances</title><text>Aucune</text>"
                         "</section></component>");
  TestSupport::WriteFile(Note, R"({"id": "1.2.250.1.999.7.2", "date": "01/03/2025", "vaccin": "Grippe",
                                   "vaccination": "0", "vaccinateur": "moi-même", "lot": "L42"})");
  TestSupport::WriteFile(OwnCDA, Dossier->CreateSynthese(Props({}), "<component><section><title>Notes</title>"
                                                                    "<text>Rien</text></section></component>"));
  const std::string Pdf = TestSupport::Fixture("cda-build/compte-rendu.pdf").string(),
                    Jpeg = TestSupport::Fixture("cda-build/image.jpg").string(),
                    Text = TestSupport::Fixture("cda-build/note.txt").string();
  Since = Sim->LogSize();
  auto R = TestSupport::Run({TestSupport::ToolPath("dmp-cli"), "--hosts", Sim->HostsFile, "--module",
                             TCpsToken::SoftHSM(), "card", "login", "1234", "activities", "select", "0",
                             "file", INS, Pdf, "--type", "11488-4", "--cadre", "AMBULATOIRE", "--title", "CR <été>",
                             "--comment", "Vu & revu", "--date", "01/03/2025 10:30", "--visibility", "1",
                             "file", INS, Text, "--type", "11488-4", "--cadre", "AMBULATOIRE",
                             "--replace", std::string(MartinFirstUID),
                             "file", INS, Pdf, "--type", "X", "--cadre", "AMBULATOIRE",
                             "file-cda", INS, OwnCDA,
                             "file-summary", INS, Sections,
                             "file-note", INS, Note,
                             "batch", INS, Pdf, Jpeg, Text,
                             "docs", INS, "--flags", "approved,obsolete"});
  EXPECT_EQ(R.Status, 1) << R.Err;  // the unknown type
  auto P = TestSupport::RunPython(R"PY(
import json, sys
out = [json.loads(l) for l in sys.stdin]
codes = [(o['command'], o['code']) for o in out]
assert codes == [('card', 0), ('login', 0), ('activities', 0), ('select', 0), ('file', 0), ('file', 0),
                 ('file', 0x6000), ('file-cda', 0), ('file-summary', 0), ('file-note', 0), ('batch', 0), ('docs', 0)], codes
assert out[6]['message'] and out[6]['records'] == [], out[6]
filed = [o['records'] for o in out[4:11]]
assert all(len(f) == 1 for f in filed[:2] + filed[3:6]) and len(filed[6]) == 4, filed
docs = {d['uniqueId']: d for d in out[11]['records']['documents']}
new = [f[0] for f in filed[:2] + filed[3:6]] + filed[6][1:]
assert all(u in docs and docs[u]['statut'] == 'Approved' for u in new), (new, docs)
assert docs[filed[0][0]]['nom'] == 'CR <été>' and docs[filed[0][0]]['visibilite'] == 1, docs[filed[0][0]]
assert docs[filed[1][0]]['version'] == 2 and docs[sys.argv[1]]['statut'] == 'Deprecated', docs[sys.argv[1]]
import xml.etree.ElementTree as ET
assert filed[3] == [ET.parse(sys.argv[2]).getroot().find('{urn:hl7-org:v3}id').get('root')], filed[3]
assert filed[6][0].endswith('.1.1') and filed[6][1].startswith(filed[6][0][:-4] + '.2.'), filed[6]
)PY",
                                  {std::string(MartinFirstUID), OwnCDA}, R.Out);
  EXPECT_EQ(P.Status, 0) << P.Err << R.Out;
  ExpectLog(std::string(FiledPrelude) + R"PY(
out = [json.loads(l) for l in args[0].splitlines()]
printed = [o['records'] for o in out if o['command'] in ('file', 'file-cda', 'file-summary', 'file-note', 'batch') and o['code'] == 0]
assert [e['filed'] for e, _, _ in filed] == [p[1:] if len(p) > 1 else p for p in printed], filed
)PY",
            {R.Out});
}

}  // namespace
