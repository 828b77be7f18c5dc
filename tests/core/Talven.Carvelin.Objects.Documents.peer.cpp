// Retrieved documents, visibility, archiving and deletion with a SoftHSM2
// CPS card against the national-service simulator: Python's email writes
// the retrieval answers, Python decodes the seeded CDA documents for the
// bytes to expect, and the simulator applies (and re-reads with xml.etree)
// every metadata update, so the next query shows what it kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

#include "CardSimPeer.h"

using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view MartinUID = "1.2.250.1.213.1.1.1.1.999.2.1.";
const std::string SeedDocuments = std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/seed/documents/";

class DocumentsPeer : public CardSim::TCardSimPeer {
 protected:
  void SetUp() override {
    CardSim::TCardSimPeer::SetUp();
    Dossier = Open(MartinINS);
    ASSERT_TRUE(Dossier);
  }

  // The list of approved and archived documents, by their last number.
  std::shared_ptr<IDocumentList> Listing() {
    TQueryDocuments Q;
    Q.Flags.Include(TQueryFlag::Aprouve);
    Q.Flags.Include(TQueryFlag::Archive);
    std::shared_ptr<IDocumentList> List;
    EXPECT_EQ(Dossier->QueryDocuments(Q, List), ERR_OK) << Root->GetErrDetail();
    return List;
  }
  static int IndexOf(IDocumentList& List, int Number) {
    for (int I = 0; I < List.Count(); ++I)
      if (List.Info(I)->UniqueID == std::string(MartinUID) + std::to_string(Number)) return I;
    return -1;
  }
  static const Objects::TDocumentInfo* Entry(IDocumentList& List, int Number) {
    return static_cast<const Objects::TDocumentInfo*>(List.Info(IndexOf(List, Number)));
  }
  std::shared_ptr<Objects::TDocument> Retrieve(int Number) {
    auto List = Listing();
    std::shared_ptr<IDocument> Doc;
    EXPECT_EQ(List->GetDocument(IndexOf(*List, Number), Doc), ERR_OK) << Root->GetErrDetail();
    return std::dynamic_pointer_cast<Objects::TDocument>(Doc);
  }
  // The UpdateDocumentSet requests since the mark.
  size_t Updates() const {
    size_t N = 0;
    for (const std::string& Op : Operations()) N += Op == "registry/UpdateDocumentSet";
    return N;
  }

  std::shared_ptr<TDossierMedical> Dossier;
};

// The non-XML body of a seeded CDA, decoded by Python's base64.
std::string DecodedBody(const std::string& File) {
  auto R = TestSupport::RunPython(R"PY(
import base64, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
text = [e for e in root.iter() if e.tag.endswith('}text')][-1]
sys.stdout.buffer.write(base64.b64decode(''.join(text.text.split())))
)PY",
                                  {File});
  EXPECT_EQ(R.Status, 0) << R.Err;
  return R.Out;
}

TEST_F(DocumentsPeer, retrieved_documents_are_the_served_bytes) {
  auto List = Listing();
  // A PDF, a plain text and a JPEG in non-XML bodies, and a structured summary.
  for (int Number : {1, 3, 4, 2}) {
    const std::string File = SeedDocuments + "martin-0" + std::to_string(Number) + ".xml";
    std::shared_ptr<IDocument> Doc;
    ASSERT_EQ(List->GetDocument(IndexOf(*List, Number), Doc), ERR_OK) << Root->GetErrDetail();
    TestSupport::TempDir Work;
    Doc->SaveToFile((Work / "saved").string());
    EXPECT_EQ(TestSupport::ReadFile(Work / "saved"), TestSupport::ReadFile(File)) << Number;
    const TDocumentInfo* Info = Doc->GetInfo();
    EXPECT_EQ(Info->DocumentSource, TestSupport::ReadFile(File));
    EXPECT_EQ(Info->UniqueID, std::string(MartinUID) + std::to_string(Number));
    EXPECT_EQ(Info->Version, Number == 3 ? 2 : 1);
    std::string_view Content, Html;
    ASSERT_EQ(Doc->GetDocument(Content), ERR_OK);
    ASSERT_EQ(Doc->GetDescription(Html), ERR_OK);
    EXPECT_FALSE(Html.empty());
    if (Number == 2) {
      EXPECT_EQ(Doc->MimeType(), "text/html");
    } else {
      EXPECT_EQ(Content, DecodedBody(File)) << Number;
      EXPECT_EQ(Doc->MimeType(), Number == 1 ? "application/pdf" : Number == 3 ? "text/plain" : "image/jpeg");
    }
  }
  // By unique id: the record's identifier, the version the document states.
  std::shared_ptr<IDocument> Doc;
  ASSERT_EQ(Dossier->GetDocument(std::string(MartinUID) + "6", Doc), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Doc->GetInfo()->Version, 1);  // versionNumber of the CDA
  EXPECT_EQ(std::dynamic_pointer_cast<Objects::TDocument>(Doc)->FINS, Dossier->PatientIdCX());
  ExpectLog(R"PY(
r = requests[-1]
assert r['operation'] == 'RetrieveDocumentSetRequest', r
assert texts(r, 'RepositoryUniqueId') == ['1.2.250.1.213.4.1.1.1.2'], texts(r, 'RepositoryUniqueId')
)PY");
}

// Every base64 medium of a CDA as Python decodes it: "ID\thex" lines.
std::string DecodedMedia(const std::string& File) {
  auto R = TestSupport::RunPython(R"PY(
import base64, sys, xml.etree.ElementTree as ET
for m in ET.parse(sys.argv[1]).getroot().iter():
    if m.tag.endswith('}observationMedia'):
        v = [c for c in m if c.tag.endswith('}value')][0]
        if v.get('representation') == 'B64' and (v.text or '').strip():
            print(m.get('ID') + '\t' + base64.b64decode(''.join(v.text.split())).hex())
)PY",
                                  {File});
  EXPECT_EQ(R.Status, 0) << R.Err;
  return R.Out;
}

std::string Hex(std::string_view Bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string Out;
  for (unsigned char C : Bytes) Out += {Digits[C >> 4], Digits[C & 15]};
  return Out;
}

TEST_F(DocumentsPeer, embedded_images_are_the_documents_media) {
  std::vector<std::string> Files = {std::string(CARVELIN_SOURCE_DIR) + "/tests/fixtures/cda/narrative.xml"};
  const std::string Sample =
      std::string(CARVELIN_SOURCE_DIR) + "/../shared/data/cda/samples/BIO-CR-BIO_2021.01_Auto-Presentable_avec-image.xml";
  if (std::filesystem::exists(Sample)) Files.push_back(Sample);
  else std::cout << "sample CDA with an image absent, skipped: " << Sample << "\n";
  for (const std::string& File : Files) {
    std::shared_ptr<IDocument> Doc;
    ASSERT_EQ(Root->xmlLoadDocument(TestSupport::ReadFile(File), Doc), ERR_OK) << Root->GetErrDetail();
    std::string Mine;
    for (const TMedia& M : std::dynamic_pointer_cast<Objects::TDocument>(Doc)->Document.MediaList.Items()) {
      std::string_view Image;
      if (M.Data.empty() || Doc->GetImage(M.FName, Image) != ERR_OK) continue;
      Mine += M.FName + "\t" + Hex(Image) + "\n";
    }
    EXPECT_EQ(Mine, DecodedMedia(File)) << File;
    // No medium of that name: the outputs stay as they were.
    std::string_view Image = "avant";
    EXPECT_EQ(Doc->GetImage("absent", Image), ERR_XOP_DOCUMENT);
    EXPECT_EQ(Image, "avant");
  }
}

TEST_F(DocumentsPeer, retrieval_answers_that_do_not_read) {
  const struct {
    std::string_view Variant;
    int Code;
  } Cases[] = {{"unknown_document", ERR_XOP_DOCUMENT}, {"three_parts", ERR_XOP},
               {"empty_second_part", ERR_XOP},        {"empty_first_part", ERR_XOP},
               {"fault_in_root", ERR_REQUETE_REFUSEE}};
  auto List = Listing();
  for (const auto& C : Cases) {
    Sim->SetRules(R"([{"match": {"service": "repository"}, "variant": ")" + std::string(C.Variant) + R"("}])");
    std::shared_ptr<IDocument> Doc;
    EXPECT_EQ(List->GetDocument(0, Doc), C.Code) << C.Variant << " " << Root->GetErrDetail();
    EXPECT_FALSE(Doc);
  }
}

TEST_F(DocumentsPeer, archiving_restoring_and_deleting_show_at_the_next_query) {
  auto Doc = Retrieve(1);
  ASSERT_TRUE(Doc);
  ASSERT_EQ(Doc->SetArchive(true), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Doc->GetInfo()->Statut, "Archived");
  EXPECT_EQ(Entry(*Listing(), 1)->Statut, "Archived");
  ASSERT_EQ(Doc->SetArchive(false), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Entry(*Listing(), 1)->Statut, "Approved");
  ExpectLog(R"PY(
updates = [r for r in requests if r['operation'] == 'UpdateDocumentSet']
assert len(updates) == 2, updates
def slot(r, name): return [v.text for s in body(r).iter() if s.tag.endswith('}Slot') and s.get('name') == name for v in s.iter() if v.tag.endswith('}Value')]
assert slot(updates[1], 'OriginalStatus') == ['urn:asip:ci-sis:2010:StatusType:Archived'], slot(updates[1], 'OriginalStatus')
assert slot(updates[1], 'NewStatus') == ['urn:oasis:names:tc:ebxml-regrep:StatusType:Approved']
package = [e for e in body(updates[0]).iter() if e.tag.endswith('}RegistryPackage')][0]
names = [n[0].get('value') for n in package if n.tag.endswith('}Name')]
assert package.get('id') == 'SubmissionSet01' and names == ['Suppression'], names
)PY");

  // Deleting from the list: the entry UUID first, then the change.
  auto List = Listing();
  Since = Sim->LogSize();
  ASSERT_EQ(List->DeleteDocument(IndexOf(*List, 7)), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/GetDocuments", "registry/UpdateDocumentSet"}));
  EXPECT_EQ(IndexOf(*Listing(), 7), -1);
}

TEST_F(DocumentsPeer, an_entry_already_in_the_new_status_counts_as_changed) {
  // Another professional archived it after this document was retrieved;
  // the registry's refusal names the status the change asks for.
  for (const char* Variant : {"", "listed_status_error"}) {
    Sim->Reset();
    Sim->SetRules(*Variant ? R"([{"match": {"operation": "UpdateDocumentSet"}, "variant": ")" + std::string(Variant) +
                                 "\"}]"
                           : "[]");
    auto Doc = Retrieve(1);
    ASSERT_TRUE(Doc);
    ASSERT_EQ(Dossier->ChangeDocumentStatusUUID(Doc->Info.uuid, TDocumentStatus::dsApproved,
                                                TDocumentStatus::dsArchived),
              ERR_OK)
        << Root->GetErrDetail();
    EXPECT_EQ(Doc->SetArchive(true), ERR_OK) << Variant << " " << Root->GetErrDetail();
    EXPECT_EQ(Doc->Info.currentStatus, "urn:asip:ci-sis:2010:StatusType:Archived");
    // Another refusal is no success.
    EXPECT_NE(Dossier->ChangeDocumentStatusUUID(Doc->Info.uuid, TDocumentStatus::dsApproved,
                                                TDocumentStatus::dsDeleted),
              ERR_OK);
  }
}

TEST_F(DocumentsPeer, a_deletion_refused_as_archived_is_made_once_more) {
  // The list shows it Approved; the registry archived it since.
  Sim->SetRules(R"([{"match": {"operation": "UpdateDocumentSet"}, "times": 1, "variant": "archived_behind"}])");
  auto Doc = Retrieve(2);
  ASSERT_TRUE(Doc);
  Since = Sim->LogSize();
  ASSERT_EQ(Doc->Supprimer(), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Updates(), 2u);
  EXPECT_EQ(Doc->GetInfo()->Statut, "Deleted");
  EXPECT_EQ(IndexOf(*Listing(), 2), -1);

  // A registry that refuses every deletion as archived: two requests, then its refusal.
  Sim->SetRules(R"([{"match": {"operation": "UpdateDocumentSet"}, "variant": "stubborn_archived"}])");
  Doc = Retrieve(4);
  ASSERT_TRUE(Doc);
  Since = Sim->LogSize();
  EXPECT_EQ(Doc->Supprimer(), ERR_XOP);
  EXPECT_EQ(Root->GetErrDetail(),
            "DMPStatusChangeRefused entryUUID=" + Doc->Info.uuid + ";status=urn:asip:ci-sis:2010:StatusType:Archived");
  EXPECT_EQ(Updates(), 2u);
  EXPECT_EQ(Doc->GetInfo()->Statut, "Approved");
}

TEST_F(DocumentsPeer, visibility_rewrites_only_the_confidentiality_codes) {
  auto Doc = Retrieve(1);
  ASSERT_TRUE(Doc);
  Since = Sim->LogSize();
  ASSERT_EQ(Doc->SetVisibilite(5), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/GetDocuments", "registry/UpdateDocumentSet"}));
  ExpectLog(R"PY(
r = requests[-1]
assert 'visibilité 5, version 2' in r['note'], r['note']
slots = {s.get('name'): [v.text for v in s.iter() if v.tag.endswith('}Value')] for s in body(r).iter() if s.tag.endswith('}Slot')}
assert slots['PreviousVersion'] == ['1'] and slots['SubmissionSetStatus'] == ['Original'], slots
)PY");
  const auto Again = Listing();
  const Objects::TDocumentInfo* Seen = Entry(*Again, 1);
  EXPECT_EQ(Seen->Visibilite, 5);
  EXPECT_EQ(Seen->Version, 2);
  EXPECT_EQ(Doc->Info.Visibilite, 0);  // the caller queries again to see it

  // An entry the registry does not give back as the last child.
  const struct {
    std::string_view Objects;
    int Code;
    std::string_view Detail;
  } Cases[] = {
      {"", ERR_REQUETE_REFUSEE, "ExtrinsicObject introuvable"},
      {R"(<rim:ExtrinsicObject id=\"x\"><rim:VersionInfo versionName=\"1\"/></rim:ExtrinsicObject><rim:ObjectRef id=\"y\"/>)",
       ERR_REQUETE_REFUSEE, "ExtrinsicObject introuvable"},
      {R"(<rim:ExtrinsicObject id=\"x\"/>)", ERR_PROGRAMME, "'' is not a valid integer value"},
  };
  for (const auto& C : Cases) {
    const std::string Answer =
        R"(<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><query:AdhocQueryResponse xmlns:query=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" xmlns:rim=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" status=\"urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success\" totalResultCount=\"1\"><rim:RegistryObjectList>)" +
        std::string(C.Objects) + "</rim:RegistryObjectList></query:AdhocQueryResponse></soap:Body></soap:Envelope>";
    Sim->SetRules(R"([{"match": {"operation": "GetDocuments"}, "status": {"code": 200, "body": ")" + Answer + "\"}}]");
    Since = Sim->LogSize();
    EXPECT_EQ(Doc->SetVisibilite(1), C.Code) << C.Objects;
    EXPECT_EQ(Root->GetErrDetail(), C.Detail);
    EXPECT_EQ(Updates(), 0u);
  }
}

TEST_F(DocumentsPeer, record_operations_by_unique_id_and_entry_uuid) {
  const std::string UID = std::string(MartinUID) + "8";
  std::string UUID;
  ASSERT_EQ(Dossier->GetDocumentUUID(UID, UUID), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(UUID, "urn:uuid:af039ea7-348d-50f4-80e2-aed502d67840");
  EXPECT_EQ(Dossier->FUUID, UUID);
  // None, or two: no single entry.
  EXPECT_EQ(Dossier->GetDocumentUUID(std::string(MartinUID) + "99", UUID), ERR_DOCUMENT_INTROUVABLE);
  Sim->SetRules(
      R"([{"match": {"operation": "GetDocuments"}, "times": 1, "status": {"code": 200, "body": "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><q:AdhocQueryResponse xmlns:q=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" xmlns:rim=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" status=\"urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success\" totalResultCount=\"2\"><rim:RegistryObjectList><rim:ObjectRef id=\"urn:uuid:a\"/><rim:ObjectRef id=\"urn:uuid:b\"/></rim:RegistryObjectList></q:AdhocQueryResponse></soap:Body></soap:Envelope>"}}])");
  EXPECT_EQ(Dossier->GetDocumentUUID(UID, UUID), ERR_DOCUMENT_INTROUVABLE);

  ASSERT_EQ(Dossier->ChangeDocumentStatusUUID("urn:uuid:af039ea7-348d-50f4-80e2-aed502d67840",
                                              TDocumentStatus::dsApproved, TDocumentStatus::dsArchived),
            ERR_OK)
      << Root->GetErrDetail();
  EXPECT_EQ(Entry(*Listing(), 8)->Statut, "Archived");
  // SupprimerDocument starts from Approved: refused for an archived entry.
  EXPECT_EQ(Dossier->SupprimerDocument(UID), ERR_XOP);
  ASSERT_EQ(Dossier->SupprimerDocument(std::string(MartinUID) + "6"), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Dossier->SupprimerDocumentUUID("urn:uuid:4401bee8-04e8-56ea-b037-2958afeb334d"), ERR_OK);
  auto List = Listing();
  EXPECT_EQ(IndexOf(*List, 6), -1);
  EXPECT_EQ(IndexOf(*List, 4), -1);
}

TEST_F(DocumentsPeer, refusals_send_nothing) {
  for (const char* Bad : {"1.2.3') or ('1", "a b", "", "x<y", "1.2&amp;"}) {
    std::shared_ptr<IDocument> Doc;
    std::string UUID;
    EXPECT_EQ(Dossier->GetDocument(Bad, Doc), ERR_PARAMETRE) << Bad;
    EXPECT_EQ(Root->GetErrDetail(), "Identifiant invalide : UniqueID");
    EXPECT_EQ(Dossier->GetDocumentUUID(Bad, UUID), ERR_PARAMETRE);
    EXPECT_EQ(Dossier->SupprimerDocument(Bad), ERR_PARAMETRE);
    EXPECT_EQ(Dossier->SupprimerDocumentUUID(Bad), ERR_PARAMETRE);
    EXPECT_EQ(Root->GetErrDetail(), "Identifiant invalide : entryUUID");
    EXPECT_EQ(Dossier->ChangeDocumentStatusUUID(Bad, TDocumentStatus::dsApproved, TDocumentStatus::dsDeleted),
              ERR_PARAMETRE);
  }
  std::shared_ptr<IDocumentList> List;
  std::shared_ptr<IDocument> Doc;
  auto Loaded = TestSupport::ReadFile(SeedDocuments + "martin-01.xml");
  // Objects made without a record.
  ASSERT_EQ(Root->xmlLoadDocument(Loaded, Doc), ERR_OK);
  EXPECT_EQ(Doc->SetVisibilite(1), ERR_SESSION);
  EXPECT_EQ(Doc->SetArchive(true), ERR_SESSION);
  EXPECT_EQ(Doc->Supprimer(), ERR_SESSION);
  ASSERT_EQ(Root->xmlQueryDocuments(TestSupport::ReadFile(std::string(CARVELIN_SOURCE_DIR) +
                                                          "/tests/fixtures/replies/sim-documents.xml"),
                                    List),
            ERR_OK);
  ASSERT_GT(List->Count(), 0);
  EXPECT_EQ(List->GetDocument(0, Doc), ERR_SESSION);
  EXPECT_EQ(List->DeleteDocument(0), ERR_SESSION);
  EXPECT_TRUE(Sim->Log(Since).empty());
}

TEST_F(DocumentsPeer, a_document_outlives_its_list_and_record) {
  auto Doc = Retrieve(1);
  ASSERT_TRUE(Doc);
  std::weak_ptr<TDossierMedical> Record = Dossier;
  Dossier.reset();
  EXPECT_FALSE(Record.expired());
  EXPECT_EQ(Doc->SetArchive(true), ERR_OK) << Root->GetErrDetail();
  CPS.reset();  // the session ends: nothing more goes out
  EXPECT_EQ(Doc->SetArchive(false), ERR_SESSION);
}

TEST_F(DocumentsPeer, submission_sets_without_members_list_nothing) {
  Sim->SetRules(R"([{"match": {"operation": "GetAssociations"}, "variant": "no_members"}])");
  TQueryDocuments Q;
  Q.After = "01/11/2024 00:00";
  std::shared_ptr<IDocumentList> List;
  ASSERT_EQ(Dossier->QuerySubmissions2(Q, List), ERR_OK) << Root->GetErrDetail();
  ASSERT_TRUE(List);
  EXPECT_EQ(List->Count(), 0);
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/FindSubmissionSets", "registry/GetAssociations"}));
}

// The driver's document commands, as a script runs them.
TEST_F(DocumentsPeer, dmp_cli_lists_opens_and_changes_documents) {
  const TestSupport::TempDir Dir;
  const std::string Out = (Dir.Path() / "doc").string(), INS(MartinINS), UID = std::string(MartinUID) + "8";
  auto R = TestSupport::Run({TestSupport::ToolPath("dmp-cli"), "--hosts", Sim->HostsFile, "--module",
                             TestSupport::TCpsToken::SoftHSM(), "card", "login", "1234", "activities",
                             "docs", INS, "--flags", "approved,archived", "--sort", "1",
                             "docs", INS, "--type", "11488-4", "--after", "01/01/2000 00:00",
                             "docs2", INS, "11502-2", "60591-5",
                             "docs", INS, "--after", "01/11/2024 00:00", "--submissions2",
                             "docs", INS, "--flags", "archived",
                             "get", INS, "0", "--out", Out,
                             "uuid", INS, UID, "get-uid", INS, UID,
                             "visibility", INS, "0", "4", "archive", INS, "0", "unarchive", INS, "0",
                             "docs", INS, "--flags", "archived", "delete", INS, "0", "delete-uid", INS, UID,
                             "status-uuid", "urn:uuid:af039ea7-348d-50f4-80e2-aed502d67840", "Deleted", "Approved",
                             "uuid", INS, "1.2'3"});
  EXPECT_EQ(R.Status, 1) << R.Err;  // the refused identifier
  auto P = TestSupport::RunPython(R"PY(
import json, sys
out = [json.loads(l) for l in sys.stdin]
codes = [(o['command'], o['code']) for o in out]
assert codes == [('card', 0), ('login', 0), ('activities', 0), ('docs', 0), ('docs', 0), ('docs2', 0), ('docs', 0),
                 ('docs', 0), ('get', 0), ('uuid', 0), ('get-uid', 0), ('visibility', 0), ('archive', 0),
                 ('unarchive', 0), ('docs', 0), ('delete', 0), ('delete-uid', 0), ('status-uuid', 0),
                 ('uuid', 0x8003)], codes
ids = lambda o: [d['uniqueId'].rsplit('.', 1)[1] for d in o['records']['documents']]
assert out[3]['records']['sortIndex'] == 1 and len(ids(out[3])) == 8, out[3]
assert ids(out[4]) == ['1'] and ids(out[5]) == ['2'] and ids(out[6]) == ['1', '2', '3', '4', '5', '6'], out[6]
assert ids(out[7]) == ['3', '9'], out[7]
assert out[8]['records']['mimeType'] == 'text/plain' and out[8]['records']['info']['statut'] == 'Archived'
assert out[9]['records'] == 'urn:uuid:af039ea7-348d-50f4-80e2-aed502d67840', out[9]
assert out[12]['records']['statut'] == 'Archived' and out[13]['records']['statut'] == 'Approved'
assert ids(out[14]) == ['9'], out[14]
)PY",
                                  {}, R.Out);
  EXPECT_EQ(P.Status, 0) << P.Err << R.Out;
  EXPECT_EQ(TestSupport::ReadFile(Out), TestSupport::ReadFile(SeedDocuments + "martin-03.xml"));
  EXPECT_EQ(TestSupport::ReadFile(Out + ".content"), DecodedBody(SeedDocuments + "martin-03.xml"));
}

}  // namespace
