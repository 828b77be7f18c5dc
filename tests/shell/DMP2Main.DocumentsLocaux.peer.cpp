// The local documents frame of the main window with a staff card (whose
// session may not read the record's list), the real client core and the
// national-service simulator: documents filed from the window are listed
// from the local database, verified and deleted through the record, and
// sqlite3 reads what became of their rows.
#include <QtTest>

#include "CpsToken.h"
#include "ShellSimPeer.h"
#include "UDocumentsLocaux.h"

using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";

}  // namespace

class TDocumentsLocauxPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  const std::string DB = DatabaseFile();

  // The window with the staff card's session, its structure one of those
  // whose cards may file.
  std::unique_ptr<TDMPMain> LoggedIn() {
    TDMPMainOptions Options = MainOptions();
    Options.Screens = TScreens::Program();
    Options.Clock = SimulatorMorning;
    auto Main = std::make_unique<TDMPMain>(std::move(Options));
    if (!LogIn(*Main)) return nullptr;
    // The card's holder, then its activity chosen as for a practitioner
    // whose structure is stored: the practitioner's row is saved.
    Main->LoadPorteur();
    const TActivite* A = Main->CPx->GetActivite(0);
    if (!A) return nullptr;
    Main->FPraticien.idStruct = A->IdNational;
    if (Main->GetActivites() != 0 || Main->FPraticien.rowid == 0) return nullptr;
    Main->show();
    return Main;
  }

  // Files a PDF through the open record and records it as the window does.
  static std::string File(TDMPMain& Main, const std::string& Titre) {
    TProprietesDocument Props;
    Props.Titre = Titre;
    Props.Document.Contenu = TestSupport::ReadFile(TestSupport::Fixture("cda-build/compte-rendu.pdf"));
    Props.Document.TypeMime = TTypeMime::ApplicationPDF;
    Props.PatientId = std::to_string(Main.FPatient.rowid);
    Props.TypeDocument = "11488-4";
    Props.DateDocument = Props.DateDebut = "14/03/2025 10:00:00";
    Props.CadreExercice = "AMBULATOIRE";
    std::string UniqueID;
    if (Main.DOS->AddDocument(Props, UniqueID) != ERR_OK) return {};
    Main.SaveDocument(UniqueID, Props);
    return UniqueID;
  }

  // "uniqueId|etat" of every local row, as sqlite3 reads them.
  std::vector<std::string> Rows() const {
    const auto R = TestSupport::Run({"sqlite3", DB, "SELECT uniqueId, etat FROM Documents ORDER BY rowid"});
    std::vector<std::string> Lines;
    std::istringstream In(R.Out);
    for (std::string Line; std::getline(In, Line);)
      if (!Line.empty()) Lines.push_back(Line);
    return Lines;
  }

  // The Tag of the entry of the document type Code, -1 when none.
  static int Category(const TDocumentsLocaux& Frame, const std::string& Code) {
    for (size_t I = 1; I < Frame.Categories.size(); ++I)
      if (Frame.Categories[I]->FCode == Code) return Frame.Categories[I]->Tag;
    return -1;
  }

  static std::vector<std::string> Titles(const TDocumentsLocaux& Frame) {
    std::vector<std::string> T;
    for (const TDocumentLocalRow* Row : Frame.List) T.push_back(Row->Document->Data.titre);
    return T;
  }

 private slots:
  void initTestCase() {
    QVERIFY2(OpenRecordingBoxes(), Sim.Ready.c_str());
    // SoftHSM reads its store once: the staff card's alone in this program.
    Token.reset();
    Token = std::make_unique<TestSupport::TCpsToken>(std::initializer_list<std::string_view>{"secretariat-formation"});
  }

  void cleanupTestCase() {
    Sim.Reset();
    Close();
  }

  void rows_are_verified_and_deleted_through_the_record() {
    const auto Main = LoggedIn();
    QVERIFY(Main);
    Main->LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    auto* Frame = qobject_cast<TDocumentsLocaux*>(Main->DocumentsLocaux.data());
    QVERIFY(Frame && Frame->isVisible());
    QVERIFY(!Main->Documents->isVisible());

    const std::string Kept = File(*Main, "Compte rendu gardé"), Gone = File(*Main, "Compte rendu effacé ailleurs"),
                      Deleted = File(*Main, "Compte rendu supprimé");
    QVERIFY(!Kept.empty() && !Gone.empty() && !Deleted.empty());
    Main->ShowDocumentsLocaux();
    QCOMPARE(Frame->ListBox->Count(), 3);
    QCOMPARE(Frame->Categories[0]->FCount, 3);

    // The registry failing: one message for the whole verification, every
    // row kept.
    Sim.SetRules(R"([{"match": {"operation": "GetDocuments"}, "http_500_empty": true}])");
    Frame->mnVerifyDocs->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    Sim.SetRules("[]");
    QCOMPARE(Boxes.size(), size_t(1));
    Boxes.clear();
    QCOMPARE(Rows(), (std::vector<std::string>{Kept + "|0", Gone + "|0", Deleted + "|0"}));
    QCOMPARE(Frame->ListBox->Count(), 3);

    // Another workstation deletes one: the verification drops it silently.
    QVERIFY(Sim.Control("POST", "/documents/status", "{\"unique_id\": \"" + Gone + "\"}").find("Deleted") !=
            std::string::npos);
    size_t Since = Sim.LogSize();
    Frame->mnVerifyDocs->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Rows(), (std::vector<std::string>{Kept + "|0", Gone + "|1", Deleted + "|0"}));
    QCOMPARE(Frame->ListBox->Count(), 2);
    QCOMPARE(Titles(*Frame), (std::vector<std::string>{"Compte rendu gardé", "Compte rendu supprimé"}));
    ExpectLog(Since, R"PY(
ops = [e.get('operation') for e in requests]
assert 'UpdateDocumentSet' not in ops, ops
asked = [v for e in requests if e.get('operation') == 'GetDocuments' or e.get('operation') == 'FindDocuments'
         for v in slots(e).get('$XDSDocumentEntryUniqueId', [])]
for uid in sys.argv[2:]:
    assert any(uid in v for v in asked), (uid, asked)
)PY",
              {Kept, Gone, Deleted});

    // Deleting one asks, changes its entry's status, and leaves the list.
    const int Index = Frame->SelectDocID(Deleted);
    QVERIFY(Index >= 0);
    Since = Sim.LogSize();
    Frame->mnDelDoc->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Voulez-vous supprimer ce document ?")});
    Boxes.clear();
    QCOMPARE(Rows(), (std::vector<std::string>{Kept + "|0", Gone + "|1", Deleted + "|1"}));
    QCOMPARE(Titles(*Frame), std::vector<std::string>{"Compte rendu gardé"});
    ExpectLog(Since, R"PY(
updates = [e for e in requests if e.get('operation') == 'UpdateDocumentSet']
assert len(updates) == 1, [e.get('operation') for e in requests]
assert slots(updates[0])['NewStatus'] == ['urn:asip:ci-sis:2010:StatusType:Deleted'], slots(updates[0])
)PY");
    std::string UUID;
    QCOMPARE(Main->DOS->GetDocumentUUID(Deleted, UUID), ERR_DOCUMENT_INTROUVABLE);
    QCOMPARE(Main->DOS->GetDocumentUUID(Kept, UUID), ERR_OK);

    // One row verified within its category: it stays, the category too.
    const int Type = Category(*Frame, "11488-4");
    QVERIFY(Type >= 0);
    Frame->SetCategorie(Type);
    QCOMPARE(Frame->SelectDocID(Kept), 0);
    Since = Sim.LogSize();
    Frame->mnVerifyDoc->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Rows(), (std::vector<std::string>{Kept + "|0", Gone + "|1", Deleted + "|1"}));
    QCOMPARE(Frame->CurrentCategorie(), Type);
    QCOMPARE(Titles(*Frame), std::vector<std::string>{"Compte rendu gardé"});
    ExpectLog(Since, R"PY(
ops = [e.get('operation') for e in requests]
assert ops and 'UpdateDocumentSet' not in ops, ops
)PY");

    // All the rows of an empty category: nothing is asked of the record.
    Frame->SetCategorie(Category(*Frame, "11490-0"));
    QCOMPARE(Frame->ListBox->Count(), 0);
    Since = Sim.LogSize();
    Frame->mnVerifyDocs->trigger();
    QCOMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Sim.LogSize(), Since);
    QCOMPARE(Rows(), (std::vector<std::string>{Kept + "|0", Gone + "|1", Deleted + "|1"}));
  }

  // A favourite chosen in the frame is the practitioner's, stored in the
  // database, given to the record's list and back in the next session.
  void favourites_are_the_practitioners() {
    const std::string Last = "AUTORIS-SOINS";
    // The practitioner's favourites as stored.
    const auto Favoris = [this](int64_t Praticien) {
      return TestSupport::Run(
                 {"sqlite3", DB, "SELECT ifnull(Favoris, '') FROM Praticiens WHERE rowid = " + std::to_string(Praticien)})
          .Out;
    };
    {
      const auto Main = LoggedIn();
      QVERIFY(Main);
      Main->LoadINSC(std::string(MartinINS), false);
      QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
      auto* Frame = qobject_cast<TDocumentsLocaux*>(Main->DocumentsLocaux.data());
      QVERIFY(Frame && Frame->isVisible());
      TCategorieOption* Entry = Frame->Categories[size_t(Category(*Frame, Last)) + 1];
      QTest::mouseClick(Entry, Qt::LeftButton);
      QCOMPARE(Frame->Categorie, Entry);
      QTest::mouseDClick(Entry, Qt::LeftButton);
      QCOMPARE(Frame->GetFavoris(), Last + "|");
      QCOMPARE(Favoris(Main->FPraticien.rowid), Last + "|\n");
      QCOMPARE(Main->Documents->GetFavoris(), Last + "|");
      QCOMPARE(Main->Documents->GetFavorisNames(),
               std::vector<std::string>{"Autorisation de soins et actes non usuels sanitaires"});
    }
    const auto Main = LoggedIn();
    QVERIFY(Main);
    QCOMPARE(Main->FPraticien.Favoris, Last + "|");
    Main->LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    auto* Frame = qobject_cast<TDocumentsLocaux*>(Main->DocumentsLocaux.data());
    QVERIFY(Frame && Frame->isVisible());
    QCOMPARE(Frame->GetFavoris(), Last + "|");
    QCOMPARE(Frame->Favoris->Options().size(), 1);

    // Its copy double-clicked selects the source entry, whose double-click
    // takes the favourite back.
    TCategorieOption* Copy = Frame->Favoris->Options()[0];
    QTest::mouseClick(Copy, Qt::LeftButton);
    QTest::mouseDClick(Copy, Qt::LeftButton);
    TCategorieOption* Source = Frame->Categories[size_t(Category(*Frame, Last)) + 1];
    QCOMPARE(Frame->Categorie, Source);
    QTest::mouseDClick(Source, Qt::LeftButton);
    QCOMPARE(Frame->GetFavoris(), std::string());
    QCOMPARE(Favoris(Main->FPraticien.rowid), std::string("\n"));
    QCOMPARE(Main->Documents->GetFavoris(), std::string());
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
  }
};

QTEST_MAIN(TDocumentsLocauxPeer)
#include "DMP2Main.DocumentsLocaux.peer.moc"
