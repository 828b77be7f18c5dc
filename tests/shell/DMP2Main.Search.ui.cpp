// The search frames and the minor's access dialog as the main window
// reaches them through the program's screens table, over the fake core.
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UAccesMineur.h"
#include "UFrameDossiers.h"
#include "UFramePatients.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

class TDMP2MainSearchTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  QStringList Boxes;

  bool Called(std::string_view Prefix) const {
    return std::ranges::any_of(Fake->Calls(), [&](const auto& C) { return (C.Name + " " + C.Args).starts_with(Prefix); });
  }

  void Open() {
    TDMPMainOptions Options;
    Options.SettingsFile = Dir.filePath(QStringLiteral("carvelin2.ini")).toStdString();
    Options.DatabaseFile = Dir.filePath(QStringLiteral("Carvelin2.db3")).toStdString();
    Options.Screens = TScreens::Program();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CPx = CPS;
    Main->CNX = CPS;
    Main->ibCPX->SetImageIndex(1);
    Main->show();
    Main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Main.get()));
    Fake->Core->ClearCalls();
  }

  void WaitForJobs() {
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCoreApplication::processEvents();
  }

  // The frame a button shows, after a search in it.
  TSearchFrame* SearchIn(void (TDMPMain::*Button)()) {
    (Main.get()->*Button)();
    auto* Frame = qobject_cast<TSearchFrame*>(Button == &TDMPMain::ibSearchPatClick ? Main->FramePatients.data()
                                                                                     : Main->FrameDossiers.data());
    if (!Frame) return nullptr;
    Frame->btSearchClick();
    WaitForJobs();
    return Frame;
  }

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
  }

  void init() {
    Boxes.clear();
    QFile::remove(Dir.filePath(QStringLiteral("Carvelin2.db3")));
    SetMessageBoxHook([this](QMessageBox& Box) {
      // An error box's message is its informative text.
      Boxes << (Box.informativeText().isEmpty() ? Box.text() : Box.informativeText());
      return int(QMessageBox::Yes);
    });
    Fake = std::make_shared<TFakeCarvelin>();
    Open();
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
    SetMessageBoxHook(nullptr);
  }

  void buttons_show_their_frame_made_once_data() {
    QTest::addColumn<bool>("Patients");
    QTest::newRow("patients") << true;
    QTest::newRow("records") << false;
  }
  void buttons_show_their_frame_made_once() {
    QFETCH(bool, Patients);
    const auto Button = Patients ? &TDMPMain::ibSearchPatClick : &TDMPMain::ibSearchDMPClick;
    TSearchFrame* Frame = SearchIn(Button);
    QVERIFY(Frame);
    QCOMPARE(Frame->parentWidget()->window(), Main.get());
    QVERIFY(Frame->isVisible());
    QCOMPARE(Frame->ListBox->Count(), 1);
    // The focus is in the search panel's first field.
    QTRY_VERIFY(QApplication::focusWidget() &&
                (QApplication::focusWidget() == Frame->findChild<QWidget*>(Patients ? "edNom" : "dtDate") ||
                 Frame->findChild<QWidget*>(Patients ? "edNom" : "dtDate")->isAncestorOf(QApplication::focusWidget())));

    // Closing the record resets the frame; the button shows the same one.
    Main->ibCloseCSVClick();
    QVERIFY(Frame->isHidden());
    QCOMPARE(Frame->ListBox->Count(), 0);
    QCOMPARE(SearchIn(Button), Frame);
    QCOMPARE(Main->findChildren<TSearchFrame*>().size(), 1);

    // A record shown resets it too.
    Main->LoadINSC("279035121518989", false);
    WaitForJobs();
    QVERIFY(Main->DOS);
    QVERIFY(Frame->isHidden());
    QCOMPARE(Frame->ListBox->Count(), 0);
    QVERIFY(Boxes.isEmpty());
  }

  void empty_results_say_so_data() {
    QTest::addColumn<bool>("Patients");
    QTest::addColumn<QString>("Text");
    QTest::newRow("patients") << true << "Aucun dossier trouvé avec ces critères";
    QTest::newRow("records") << false << "Aucun dossier trouvé pour cette date";
  }
  void empty_results_say_so() {
    QFETCH(bool, Patients);
    QFETCH(QString, Text);
    Fake->Core->Data.SearchRows = 0;
    TSearchFrame* Frame = SearchIn(Patients ? &TDMPMain::ibSearchPatClick : &TDMPMain::ibSearchDMPClick);
    QCOMPARE(Boxes, QStringList{Text});
    QCOMPARE(Frame->ListBox->Count(), 0);
    QVERIFY(Frame->isVisible());
  }

  // The chosen row's record is read as a job, then reopened with its
  // documents as the refresh button would.
  void a_chosen_row_opens_its_record() {
    TSearchFrame* Frame = SearchIn(&TDMPMain::ibSearchPatClick);
    Fake->Core->ClearCalls();
    Frame->ListBox->SetItemIndex(0);
    QTest::keyClick(Frame->ListBox, Qt::Key_Return);
    WaitForJobs();
    QVERIFY(Main->DOS);
    QVERIFY(Frame->isHidden());
    QVERIFY(Called("DossierExiste"));
    QTRY_VERIFY(Called("QueryDocuments"));
    QVERIFY(Boxes.isEmpty());
  }

  // A minor's record with no access mode chosen asks it, then lists the
  // documents; cancelled, it shows none. A mode the record refuses is shown
  // as the core's error and counts as no choice: no documents.
  void minor_record_asks_the_access_mode_data() {
    QTest::addColumn<int>("Civilite");
    QTest::addColumn<QString>("Civility");
    QTest::addColumn<bool>("Secret");
    QTest::addColumn<bool>("Cancel");
    QTest::addColumn<bool>("Refused");
    QTest::newRow("normal") << 2 << "Mme" << false << false << false;
    QTest::newRow("secret") << 1 << "M" << true << false << false;
    QTest::newRow("cancelled") << 3 << "Mlle" << false << true << false;
    QTest::newRow("no civility") << 0 << "" << false << false << false;
    QTest::newRow("refused by the record") << 2 << "Mme" << true << false << true;
  }
  void minor_record_asks_the_access_mode() {
    QFETCH(int, Civilite);
    QFETCH(QString, Civility);
    QFETCH(bool, Secret);
    QFETCH(bool, Cancel);
    QFETCH(bool, Refused);
    TIdentite& Id = Fake->Core->Data.Dossier.Patient.Identite;
    Fake->Core->Data.Dossier.Mineur = true;
    Fake->Core->Data.Dossier.Secret = 0;
    Id.Civilite = Civilite;
    Id.DateNaissance = "05/06/2015";
    Id.Prenom = "Léa %1";
    if (Refused) Fake->Script("SetAccesSecret", {.Code = ERR_PATIENT_MAJEUR});
    QString Caption, Line;
    const auto Dialog = AnswerModal<TFrmAccesMineur>([&](TFrmAccesMineur& Form) {
      Caption = Form.windowTitle();
      Line = Form.lbPatient->text();
      if (Cancel) return Form.btAnnuler->click();
      if (Secret) Form.rbSecret->click();
      Form.btContinuer->click();
    });
    Main->LoadINSC("279035121518989", false);
    WaitForJobs();
    const std::string_view Majeur = Fake->GetErrMsg(ERR_PATIENT_MAJEUR);
    QCOMPARE(Boxes, Refused ? QStringList{QString::fromUtf8(Majeur.data(), qsizetype(Majeur.size()))} : QStringList{});
    const QString Patient = QStringLiteral("%1 %2 %3")
                                .arg(Civility, QString::fromStdString(Id.NomUsage), QString::fromStdString(Id.Prenom))
                                .trimmed();
    QCOMPARE(Caption, QStringLiteral("Accès au DMP de ") + Patient);
    QCOMPARE(Line, QStringLiteral("Vous essayez d'accéder au DMP de %1 qui est mineur (05/06/2015).").arg(Patient));
    QCOMPARE(Called("SetAccesSecret"), !Cancel);
    QCOMPARE(Called(Secret ? "SetAccesSecret true" : "SetAccesSecret false"), !Cancel);
    QCOMPARE(Called("QueryDocuments"), !Cancel && !Refused);
  }
};

QTEST_MAIN(TDMP2MainSearchTest)
#include "DMP2Main.Search.ui.moc"
