// Opening a seed record from the main window with the real client core, a
// SoftHSM2 CPS card and the national-service simulator: the document query
// as the simulator received it (read by Python), the list shown by
// category, the new-documents query, and the patient row read by sqlite3;
// then the record's documents opened in the viewer, deleted and replaced.
#include <QPdfDocument>
#include <QPdfView>
#include <QtTest>

#include <regex>

#include "ShellSimPeer.h"
#include "Talven.Carvelin.Utils.h"
#include "UDocumentViewer.h"

using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
// Martin's documents in the seed: a PDF, the structured summary, a plain
// text and a PDF hidden from the patient and the legal representatives.
constexpr std::string_view MartinPdf = "1.2.250.1.213.1.1.1.1.999.2.1.1";
constexpr std::string_view MartinSummary = "1.2.250.1.213.1.1.1.1.999.2.1.2";
constexpr std::string_view MartinHiddenPdf = "1.2.250.1.213.1.1.1.1.999.2.1.7";
constexpr std::string_view MartinText = "1.2.250.1.213.1.1.1.1.999.2.1.8";

std::string SeedDocument(std::string_view Name) {
  return std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/seed/documents/" + std::string(Name);
}

// The row of the listed document UniqueID, -1 when it is not listed.
int ListIndex(TDMPMain& Main, std::string_view UniqueID) {
  for (int I = 0; Main.List && I < Main.List->Count(); ++I)
    if (Main.List->Info(I)->UniqueID == UniqueID) return I;
  return -1;
}

}  // namespace

class TDMP2MainDossierPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  std::vector<QString> Boxes;
  int Answer = QMessageBox::No;  // every box's answer
  const std::string DB = DatabaseFile();


  // The access mode (purpose of use) each documents query after Since
  // declared in its identity assertion.
  static constexpr std::string_view AccessModes = R"PY(
PURPOSE = 'urn:oasis:names:tc:xspa:1.0:subject:purposeofuse'
def purpose(e):
    for a in body(e).iter():
        if a.tag.endswith('}Attribute') and a.get('Name') == PURPOSE:
            return next((v.get('code') for v in a.iter() if v.get('code')), None)
modes = [purpose(e) for e in requests if e.get('operation') == 'FindDocuments']
)PY";

 private slots:
  void initTestCase() {
    QVERIFY2(Open([this](QMessageBox& Box) {
               Boxes.push_back(Box.text() + Box.informativeText() + Box.detailedText());
               return Answer;
             }),
             Sim.Ready.c_str());
  }

  void cleanupTestCase() { Close(); }

  // The main window on the simulator's day with the card's session open.
  std::unique_ptr<TDMPMain> LoggedIn(TScreens Screens = TScreens::Unavailable()) {
    TDMPMainOptions Options = MainOptions();
    Options.Screens = std::move(Screens);
    Options.Clock = SimulatorMorning;
    auto Main = std::make_unique<TDMPMain>(std::move(Options));
    if (!LogIn(*Main)) return nullptr;
    Main->ibCPX->SetImageIndex(1);
    Main->show();
    return Main;
  }

  // Martin's record opened from the INS box, then all its documents listed
  // whatever their dates (the last month's by default).
  void OpenMartin(TDMPMain& Main) {
    Main.LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    Main.Documents->cbDateDocAfter->setChecked(false);
    Main.ibRefreshClick(false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QVERIFY(Main.List);
  }

  // Selects the listed document UniqueID.
  void Select(TDMPMain& Main, std::string_view UniqueID) {
    const int Index = ListIndex(Main, UniqueID);
    QVERIFY2(Index >= 0, UniqueID.data());
    Main.Documents->ListBox->SetItemIndex(Index);
  }

  // The viewer window opened by a double-click on the document UniqueID.
  TDocumentViewer* DoubleClick(TDMPMain& Main, std::string_view UniqueID) {
    const int Index = ListIndex(Main, UniqueID);
    if (Index < 0) return nullptr;
    Main.Documents->ListBox->SetItemIndex(Index);
    const QString Title = QString::fromStdString(Main.List->Info(Index)->Nom);
    Main.ListBoxDblClick();
    TDocumentViewer* Viewer = nullptr;
    const auto Find = [&] {
      for (QWidget* W : QApplication::topLevelWidgets())
        if (auto* V = qobject_cast<TDocumentViewer*>(W); V && V->windowTitle() == Title) Viewer = V;
      return Viewer != nullptr && Main.LiveTasks() == 0;
    };
    return QTest::qWaitFor(Find, 30000) ? Viewer : nullptr;
  }

  void seed_record_opens_with_its_documents_and_new_ones_since_the_last_visit() {
    const auto Owned = LoggedIn();
    QVERIFY(Owned);
    TDMPMain& Main = *Owned;

    size_t Since = Sim.LogSize();
    Main.LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Main.StatusImage(), int(TDMPMain::imAccesAccorde));
    ExpectLog(Since, R"PY(
finds = [e for e in requests if e.get('operation') == 'FindDocuments']
assert len(finds) == 1, [e.get('operation') for e in requests]
s = slots(finds[0])
assert s['$XDSDocumentEntryStatus'] == ["('urn:oasis:names:tc:ebxml-regrep:StatusType:Approved')"], s
assert s['$XDSDocumentEntryServiceStartTimeFrom'][0].startswith('20250215'), s
assert '$XDSDocumentEntryServiceStopTimeTo' not in s, s
)PY");

    // The list by category, as the service answered it.
    TDocuments& F = *Main.Documents;
    QVERIFY(!F.isHidden());
    const int Listed = F.ListBox->Count();
    QVERIFY(Listed > 0);
    QCOMPARE(F.Categories[0]->FCount, Listed);
    int ByCategory = 0;
    for (size_t I = 1; I < F.Categories.size(); ++I) ByCategory += F.Categories[I]->FCount;
    QCOMPARE(ByCategory, Listed);

    // The patient as stored, read by sqlite3.
    const auto Row = TestSupport::Run(
        {"sqlite3", DB, "SELECT INSN || '|' || Status FROM Patients WHERE INSN LIKE '284057511204537%';"});
    QCOMPARE(Row.Status, 0);
    QVERIFY2(std::regex_match(Row.Out, std::regex("284057511204537[A-Z]?\\|[12]\n")), Row.Out.c_str());

    // New documents since the last visit: the submission sets from LastDate.
    Vantrel::TDateTime Last = 0;
    QVERIFY(Vantrel::TryEncodeDateTime({2024, 6, 1, 10, 0, 0, 0}, Last));
    Main.FPatient.LastDate = Last;
    Since = Sim.LogSize();
    Main.ibRefreshClick(true);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    ExpectLog(Since, R"PY(
sets = [e for e in requests if e.get('operation') == 'FindSubmissionSets']
assert len(sets) == 1, [e.get('operation') for e in requests]
s = slots(sets[0])
assert s['$XDSSubmissionSetSubmissionTimeFrom'][0].startswith('20240601'), s
)PY");
  }

  // The summary's body is rendered, not shown as markup: every section
  // title of the seed file (read by Python) is in its text. The PDF opens
  // with the page count pdfinfo reads from the bytes the seed wraps.
  void documents_open_in_the_viewer() {
    const auto Main = LoggedIn(TScreens::Program());
    QVERIFY(Main);
    OpenMartin(*Main);

    const auto Titles = TestSupport::RunPython(R"PY(
import sys, xml.etree.ElementTree as ET
H = '{urn:hl7-org:v3}'
for t in ET.parse(sys.argv[1]).getroot().iter(H + 'section'):
    print(t.find(H + 'title').text.strip())
)PY", {SeedDocument("martin-02.xml")});
    QCOMPARE(Titles.Status, 0);
    TDocumentViewer* Summary = DoubleClick(*Main, MartinSummary);
    QVERIFY(Summary);
    QVERIFY(Summary->findChild<TMediaBrowser*>(QStringLiteral("Header")));
    auto* Body = Summary->findChild<TMediaBrowser*>(QStringLiteral("Body"));
    QVERIFY(Body);
    const QString Text = Body->toPlainText();
    QVERIFY2(!Text.contains(QStringLiteral("</")), qPrintable(Text.left(200)));
    const QStringList Sections = QString::fromStdString(Titles.Out).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!Sections.isEmpty());
    for (const QString& Title : Sections) QVERIFY2(Text.contains(Title), qPrintable(Title));

    const std::string Pdf = (Work.Path() / "martin-01.pdf").string();
    const auto Decoded = TestSupport::RunPython(R"PY(
import base64, sys, xml.etree.ElementTree as ET
H = '{urn:hl7-org:v3}'
text = ET.parse(sys.argv[1]).getroot().find(H + 'component/' + H + 'nonXMLBody/' + H + 'text')
open(sys.argv[2], 'wb').write(base64.b64decode(text.text))
)PY", {SeedDocument("martin-01.xml"), Pdf});
    QCOMPARE(Decoded.Status, 0);
    const auto Info = TestSupport::Run({"pdfinfo", Pdf});
    std::smatch Pages;
    QVERIFY2(std::regex_search(Info.Out, Pages, std::regex("Pages:\\s+(\\d+)")), Info.Out.c_str());
    TDocumentViewer* Document = DoubleClick(*Main, MartinPdf);
    QVERIFY(Document);
    auto* View = Document->findChild<QPdfView*>(QStringLiteral("PdfView"));
    QVERIFY(View && View->document());
    QCOMPARE(View->document()->status(), QPdfDocument::Status::Ready);
    QCOMPARE(View->document()->pageCount(), std::stoi(Pages[1]));
    QVERIFY(Boxes.empty());
  }

  // An emergency access ends with the session that made it: the next
  // session's record opening declares none, and the Vitale card is gone.
  void emergency_access_ends_with_the_session() {
    TScreens Screens = TScreens::Unavailable();
    Screens.ForcerDMPExecute = [](QWidget*, const TPatientInfo&, std::string& Motif) {
      Motif = "URGENCE";
      return true;
    };
    Screens.DocumentsLocauxCreate = [](QWidget* Owner, IDocumentsLocauxHost&) { return new QWidget(Owner); };
    const auto Owned = LoggedIn(std::move(Screens));
    QVERIFY(Owned);
    TDMPMain& Main = *Owned;

    // A seed record without authorisation, opened in emergency from its
    // status button: its documents are read in that mode.
    size_t Since = Sim.LogSize();
    Main.LoadINSC("277049205010259", false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    Main.ibStatusClick(Main.ibStatus);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY(Main.btUrgence->isVisible());
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Main.FBrisDeGlace, std::string("URGENCE"));
    ExpectLog(Since, std::string(AccessModes) + "assert 'bris_de_glace' in modes, modes\n");
    std::shared_ptr<IVaspoCSV> Card;
    QCOMPARE(Main.DMP->SetCSV(TestSupport::ReadFile(TestSupport::Fixture("vitale/one-benef.xml")), Card), ERR_OK);
    Main.CSV = Card;

    Main.ibCloseCPXClick();
    QVERIFY(!Main.CSV);
    QVERIFY(LogIn(Main));
    Main.ibCPX->SetImageIndex(1);
    Since = Sim.LogSize();
    OpenMartin(Main);
    ExpectLog(Since, std::string(AccessModes) + "assert modes and set(modes) == {'normal'}, modes\n");
  }

  // The deletion is the entry's status change to Deleted in the registry,
  // then the documents are queried again and the entry is gone.
  void deleted_document_leaves_the_list() {
    const auto Main = LoggedIn();
    QVERIFY(Main);
    OpenMartin(*Main);
    Select(*Main, MartinText);
    Answer = QMessageBox::Yes;
    const size_t Since = Sim.LogSize();
    Main->mnDeleteDocumentClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    Answer = QMessageBox::No;
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral(
                        "Voulez-vous supprimer ce document du DMP ?\rAttention cette opération est irréversible !")});
    Boxes.clear();
    ExpectLog(Since, std::string(R"PY(
seed = json.load(open(sys.argv[2]))
uuid = next(d['entry_uuid'] for p in seed['patients'] if p.get('record') for d in p['record']['documents']
            if d['unique_id'] == ')PY") + std::string(MartinText) + R"PY(')
ops = [e.get('operation') for e in requests]
update = ops.index('UpdateDocumentSet')
assert 'FindDocuments' in ops[update + 1:], ops
e = requests[update]
assert slots(e)['NewStatus'] == ['urn:asip:ci-sis:2010:StatusType:Deleted'], slots(e)
assert any(n.get('targetObject') == uuid for n in body(e).iter()), uuid
)PY", {std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/seed/seed.json"});
    QCOMPARE(ListIndex(*Main, MartinText), -1);
    QCOMPARE(Main->Documents->ListBox->Count(), Main->List->Count());
  }

  // A replacement filed through the screens table's form: the local rows of
  // the replaced document are marked deleted, the new version is recorded
  // and listed in place of the old one.
  void replaced_document_rows_are_marked_deleted() {
    TDMPMain* Window = nullptr;
    std::shared_ptr<IDocument> Replaced;
    TProprietesDocument Props;
    std::string NewID;
    TScreens Screens = TScreens::Unavailable();
    Screens.Replace = [&](QWidget*, TScreenCallback OnClick, const QString&, std::shared_ptr<IDocument> Document,
                          std::shared_ptr<IDossierMedical>, int64_t PatientId) {
      Replaced = std::move(Document);
      Props.Titre = "Compte rendu corrigé";
      Props.Document.Contenu = TestSupport::ReadFile(TestSupport::Fixture("cda-build/compte-rendu.pdf"));
      Props.Document.TypeMime = TTypeMime::ApplicationPDF;
      Props.PatientId = std::to_string(PatientId);
      Props.TypeDocument = "34112-3";
      Props.DateDocument = Props.DateDebut = "14/03/2025 10:00:00";
      Props.CadreExercice = "AMBULATOIRE";
      OnClick(nullptr);
      // Modal until the filing's completion, as the form is.
      while (Window->LiveTasks() > 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      return !NewID.empty();
    };
    Screens.Process = [&] { return Replaced->Remplacer(Props, NewID); };
    Screens.AjoutDocumentFiled = [&](std::string& UniqueID) -> const TProprietesDocument* {
      UniqueID = NewID;
      return NewID.empty() ? nullptr : &Props;
    };
    const auto Main = LoggedIn(std::move(Screens));
    QVERIFY(Main);
    Window = Main.get();
    OpenMartin(*Main);
    const std::string Old(MartinHiddenPdf);
    const auto Insert = TestSupport::Run(
        {"sqlite3", DB,
         "INSERT INTO Documents (Patient, Praticien, uniqueId, titre, TypeDoc, date, etat) VALUES (" +
             std::to_string(Main->FPatient.rowid) + ", 0, '" + Old + "', 'CR', '34112-3', 45730, 0);"});
    QCOMPARE(Insert.Status, 0);

    Select(*Main, Old);
    Answer = QMessageBox::Yes;
    Main->mnReplaceDocumentClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    Answer = QMessageBox::No;
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Voulez-vous remplacer ce document par une nouvelle version ?")});
    Boxes.clear();
    QVERIFY(!NewID.empty());
    QCOMPARE(Props.Remplacer.UniqueID, Old);

    const auto Rows = TestSupport::Run({"sqlite3", DB, "SELECT uniqueId || '|' || etat || '|' || titre FROM Documents "
                                                       "WHERE uniqueId IN ('" + Old + "', '" + NewID + "') ORDER BY etat DESC;"});
    QCOMPARE(Rows.Status, 0);
    QCOMPARE(Rows.Out, Old + "|1|CR\n" + NewID + "|0|Compte rendu corrigé\n");
    QVERIFY(ListIndex(*Main, NewID) >= 0);
    QCOMPARE(ListIndex(*Main, Old), -1);
  }
};

QTEST_MAIN(TDMP2MainDossierPeer)
#include "DMP2Main.Dossier.peer.moc"
