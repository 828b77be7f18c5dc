// The main window's job runner, error display, progress sink, deferred
// actions, wheel redirection and screens table, driven with the scripted
// fake core.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStringListModel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include <future>
#include <thread>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "FakeCarvelin.h"
#include "ImageColours.h"
#include "ModalAnswer.h"
#include "UApropos.h"
#include "UFrmCheckVersion.h"
#include "UStatistiques.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

namespace {

struct TShownBox {
  QMessageBox* Box;
  QMessageBox::Icon Icon;
  QString Title, Text, Informative, Detail;
};

// A one-shot gate a work method waits on.
struct TGate {
  std::promise<void> Promise;
  std::shared_future<void> Future = Promise.get_future().share();
  void Open() { Promise.set_value(); }
  void Wait() const { Future.wait(); }
};

}  // namespace

class TDMP2MainTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  std::vector<TShownBox> Boxes;
  std::function<void(QMessageBox&)> OnBox;  // runs inside the hook (may throw)

  QString Status() const { return Main->statusBar()->currentMessage(); }

  // A card session opened before the job, as the card-reading job leaves it.
  void OpenCardSession() {
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CPx = CPS;
    Main->CNX = CPS;
    Fake->Core->ClearCalls();
  }

 private slots:
  void initTestCase() {
    // The window registers the "dmp" scheme: in the test's folders.
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
  }

  void init() {
    QVERIFY(Dir.isValid());
    Boxes.clear();
    OnBox = nullptr;
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back({&Box, Box.icon(), Box.windowTitle(), Box.text(), Box.informativeText(), Box.detailedText()});
      if (OnBox) OnBox(Box);
      return int(QMessageBox::Ok);
    });
    TDMPMainOptions Options;
    Options.SettingsFile = Dir.filePath("Carvelin2.ini").toStdString();
    Options.DatabaseFile = Dir.filePath("Carvelin2.db3").toStdString();
    Fake = std::make_shared<TFakeCarvelin>();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
    QCOMPARE(DMPMain, Main.get());
  }

  void cleanup() {
    Main.reset();
    QCOMPARE(DMPMain, nullptr);
    Fake.reset();
    SetMessageBoxHook(nullptr);
  }

  void second_submit_is_dropped_until_ready() {
    TGate Gate;
    int Runs = 0, Completions = 0;
    Main->Submit([&] { ++Completions; }, [&] { Gate.Wait(); ++Runs; return ERR_OK; });
    QVERIFY(Busy());
    QVERIFY(IsBusyIndicator(Main->pbWait));
    Main->Submit([&] { ++Completions; }, [&] { ++Runs; return ERR_OK; });  // dropped
    Gate.Open();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QVERIFY(!Busy());
    QVERIFY(!IsBusyIndicator(Main->pbWait));
    QCOMPARE(CurrentTask(), nullptr);
    QCOMPARE(Runs, 1);
    QCOMPARE(Completions, 1);
    QVERIFY(Boxes.empty());  // dropped without a message

    Main->Submit([&] { ++Completions; }, [&] { ++Runs; return ERR_OK; });
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Completions, 2);
    QVERIFY(!Busy());
    QCOMPARE(Runs, 2);
  }

  void work_on_job_thread_completions_on_ui_thread() {
    OpenCardSession();
    std::thread::id Completion;
    int Error = -2;
    Main->Submit(
        [&] {
          Completion = std::this_thread::get_id();
          Error = CurrentTask()->Error;
        },
        [this] {
          std::shared_ptr<IDossierMedical> DOS;
          std::shared_ptr<IDocumentList> List;
          int Code = Main->CNX->DossierExiste("279035121518989", 'T', DOS);
          if (Code == ERR_OK) Code = DOS->QueryDocuments({}, List);
          return Code == ERR_OK ? List->Count() : Code;
        });
    // While the job runs, the user-interface thread calls nothing.
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Error, 3);
    QCOMPARE(Completion, std::this_thread::get_id());
    const std::vector<TestSupport::TFakeCall> Calls = Fake->Calls();
    QCOMPARE(Calls.size(), size_t(2));
    QCOMPARE(Calls[0].Name, std::string("DossierExiste"));
    QCOMPARE(Calls[1].Name, std::string("QueryDocuments"));
    QVERIFY(Calls[0].Thread != std::this_thread::get_id());
    QCOMPARE(Calls[1].Thread, Calls[0].Thread);
  }

  void rearmed_chain_keeps_indicator_until_last_step() {
    std::vector<std::thread::id> Threads;
    std::vector<bool> BusyInCompletion;
    auto Step = [&](int Result) {
      return [&, Result] {
        Threads.push_back(std::this_thread::get_id());
        return Result;
      };
    };
    Main->statusBar()->showMessage("Lecture de la carte...");
    QSignalSpy Messages(Main->statusBar(), &QStatusBar::messageChanged);
    auto Note = [&] { BusyInCompletion.push_back(IsBusyIndicator(Main->pbWait) && Busy()); };
    Main->Submit(
        [&] {
          Note();
          CurrentTask()->Proc = Step(7);
          CurrentTask()->Done = [&] {
            Note();
            QCOMPARE(CurrentTask()->Error.load(), 7);
            CurrentTask()->Proc = Step(0);
            CurrentTask()->Done = Note;
          };
        },
        Step(0));
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QCOMPARE(Threads.size(), size_t(3));
    QCOMPARE(Threads[1], Threads[0]);
    QCOMPARE(Threads[2], Threads[0]);
    QCOMPARE(BusyInCompletion, std::vector<bool>({true, true, true}));
    QCOMPARE(Messages.count(), 1);  // "Prêt" once, after the last step
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QVERIFY(!IsBusyIndicator(Main->pbWait));
  }

  void last_result_closes_card_session_data() {
    QTest::addColumn<int>("Result");
    QTest::addColumn<bool>("Closed");
    QTest::newRow("card changed") << ERR_CHANGEMENT_CARTE << true;
    QTest::newRow("success") << ERR_OK << false;
    QTest::newRow("other error") << ERR_CODE_INVALIDE << false;
  }
  void last_result_closes_card_session() {
    QFETCH(int, Result);
    QFETCH(bool, Closed);
    OpenCardSession();
    // The first step succeeds; only the last result counts.
    Main->Submit(
        [&] {
          CurrentTask()->Proc = [Result] { return Result; };
          CurrentTask()->Done = [] {};
        },
        [] { return ERR_CHANGEMENT_CARTE - 1; });
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QCOMPARE(Main->CNX == nullptr, Closed);
    QCOMPARE(Main->CPx == nullptr, Closed);
  }

  void exception_in_work_method_is_the_jobs_error() {
    OpenCardSession();
    Fake->Script("DossierExiste", TFakeAnswer{.Detail = "Connexion interrompue par le serveur", .Raise = true});
    int Seen = 0;
    Main->Submit(
        [&] {
          Seen = CurrentTask()->Error;
          ShowDmpError(Main->DMP.get(), CurrentTask()->Error);
        },
        [this] {
          std::shared_ptr<IDossierMedical> DOS;
          return Main->CNX->DossierExiste("279035121518989", 'T', DOS);
        });
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QCOMPARE(Seen, ERR_EXCEPTION);
    QCOMPARE(Boxes.size(), size_t(1));
    QCOMPARE(Boxes[0].Informative, QString::fromUtf8(ErrorMessage(ERR_EXCEPTION).data()));
    QCOMPARE(Boxes[0].Detail, QStringLiteral("Connexion interrompue par le serveur"));
  }

  void show_dmp_error_once_with_the_shared_box() {
    ShowDmpError(Main->DMP.get(), ERR_OK);
    QVERIFY(Boxes.empty());

    OpenCardSession();
    Fake->Script("DossierExiste", TFakeAnswer{.Code = ERR_ACCES_REFUSE, .Detail = "Accès refusé au dossier"});
    std::shared_ptr<IDossierMedical> DOS;
    QCOMPARE(Main->CNX->DossierExiste("1", 'T', DOS), ERR_ACCES_REFUSE);
    ShowDmpError(Main->DMP.get(), ERR_ACCES_REFUSE);
    ShowDmpError(Main->DMP.get(), ERR_CONNEXION);
    QCOMPARE(Boxes.size(), size_t(2));
    QCOMPARE(Boxes[1].Box, Boxes[0].Box);  // reused
    for (const TShownBox& B : Boxes) {
      QCOMPARE(B.Title, QStringLiteral("Carvelin"));
      QCOMPARE(B.Icon, QMessageBox::Critical);
      QCOMPARE(B.Text, QStringLiteral("Une erreur est survenue"));
      QCOMPARE(B.Detail, QStringLiteral("Accès refusé au dossier"));
    }
    QCOMPARE(Boxes[0].Informative, QString::fromUtf8(ErrorMessage(ERR_ACCES_REFUSE).data()));
    QCOMPARE(Boxes[1].Informative, QString::fromUtf8(ErrorMessage(ERR_CONNEXION).data()));
    // The service's text is never read as markup.
    const auto* Informative = Boxes[0].Box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    QVERIFY(Informative && Informative->textFormat() == Qt::PlainText);
  }

  void deferred_actions_data() {
    QTest::addColumn<int>("Action");
    QTest::addColumn<QString>("Warning");
    QTest::newRow("0") << 0 << QString();
    QTest::newRow("1") << 1 << QString();
    QTest::newRow("6") << 6 << QString();
    QTest::newRow("unknown") << 1234 << QString();
    QTest::newRow("record closed") << int(WMU_DMP_FERME)
                                   << QStringLiteral("Le DMP du patient est fermé, il peut le réactiver sur Mon Espace Santé");
  }
  void deferred_actions() {
    QFETCH(int, Action);
    QFETCH(QString, Warning);
    const QString Before = Status();
    Main->PostAction(Action);
    QVERIFY(Boxes.empty());  // posted, not run yet
    Main->PostAction(0);     // a marker behind it
    QTest::qWait(0);
    QCoreApplication::processEvents();
    QCOMPARE(Status(), Before);
    QVERIFY(!Busy());
    if (Warning.isEmpty()) {
      QVERIFY(Boxes.empty());
    } else {
      QCOMPARE(Boxes.size(), size_t(1));
      QCOMPARE(Boxes[0].Icon, QMessageBox::Warning);
      QCOMPARE(Boxes[0].Text, Warning);
    }
  }

  void exception_in_action_is_logged_and_shown() {
    const QString Log = QString::fromStdString(
        ExceptionLogFileName(QCoreApplication::applicationFilePath().toStdString()));
    QFile::remove(Log);
    bool Thrown = false;
    OnBox = [&](QMessageBox&) {
      if (Thrown) return;
      Thrown = true;
      throw std::runtime_error("Mémoire insuffisante");
    };
    Main->PostAction(WMU_DMP_FERME);
    QTRY_COMPARE(Boxes.size(), size_t(2));
    QCOMPARE(Boxes[1].Informative, QString::fromUtf8(ErrorMessage(ERR_EXCEPTION).data()));
    QCOMPARE(Boxes[1].Detail, QStringLiteral("Mémoire insuffisante"));

    QFile File(Log);
    QVERIFY2(File.open(QIODevice::ReadOnly), qPrintable(Log));
    const QStringList Lines = QString::fromUtf8(File.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(Lines.size() >= 2);
    QCOMPARE(Lines[0], QStringLiteral("Mémoire insuffisante"));
    QVERIFY(Lines.contains(QStringLiteral("TDMPMain")));
    File.remove();
  }

  void exception_log_folder_data() {
    QTest::addColumn<QString>("Folder");
    QTest::addColumn<QString>("Expected");
    QTest::newRow("beside the executable") << "bin" << "bin";
    QTest::newRow("missing folder: state folder") << "missing" << "state/Carvelin2";
  }
  void exception_log_folder() {
    QFETCH(QString, Folder);
    QFETCH(QString, Expected);
    QVERIFY(QDir().mkpath(Dir.filePath("bin")));
    qputenv("XDG_STATE_HOME", Dir.filePath("state").toUtf8());
    const std::string Name = ExceptionLogFileName(Dir.filePath(Folder + "/carvelin2").toStdString());
    qunsetenv("XDG_STATE_HOME");
    QCOMPARE(QString::fromStdString(Name), Dir.filePath(Expected + "/carvelin2.log"));
    if (Folder == "missing") QVERIFY(QFileInfo(Dir.filePath(Expected)).isDir());
  }

  void progress_reaches_status_and_log_window_in_order() {
    TLogMessage::Create();
    QVERIFY(TLogMessage::Instance());
    OpenCardSession();
    QCoreApplication::processEvents();  // the card check's line
    TLogMessage::Instance()->Memo1->clear();
    QSignalSpy Messages(Main->statusBar(), &QStatusBar::messageChanged);
    QStringList LinesAtCompletion;
    Main->Submit([&] { LinesAtCompletion = TLogMessage::Instance()->Memo1->toPlainText().split('\n'); },
                 [this] {
                   std::shared_ptr<IDossierMedical> DOS;
                   std::shared_ptr<IDocumentList> List;
                   Main->CNX->DossierExiste("279035121518989", 'T', DOS);
                   return DOS->QueryDocuments({}, List);
                 });
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    const QString Patient = "Interrogation du DMP [https://dmp.test/si-dmp-server/v2/services/patient]...";
    const QString Registry = "Interrogation du DMP [https://dmp.test/si-dmp-server/v2/services/registry]...";
    const QString Decoding = "Décodage de la réponse du DMP...";
    const QStringList Progress{Patient, Decoding, Registry, Decoding};
    QStringList Shown;
    for (const QList<QVariant>& M : Messages) Shown << M[0].toString();
    QCOMPARE(Shown, Progress + QStringList{"Prêt"});
    QStringList Lines;
    for (const QString& P : Progress) Lines << "DMP> " + P;
    QCOMPARE(LinesAtCompletion, Lines);  // every progress line came before the completion
  }

  void closing_during_a_job_skips_completion_and_ends() {
    TGate Gate;
    bool Completed = false;
    OpenCardSession();
    Main->show();
    Main->Submit([&] { Completed = true; },
                 [&] {
                   Gate.Wait();
                   std::shared_ptr<IDossierMedical> DOS;
                   return Main->CNX->DossierExiste("279035121518989", 'T', DOS);
                 });
    // The step ends on its own while the window waits in its event loop.
    QTimer::singleShot(0, [&] {
      QVERIFY(!Main->isVisible());
      Gate.Open();
    });
    Main->close();
    QVERIFY(!Main->isVisible());
    QCOMPARE(Main->LiveTasks(), 0);
    QVERIFY(!Completed);
    QVERIFY(Boxes.empty());
    // The closing aborted the calls before the step made its own.
    QCOMPARE(Fake->Calls().size(), size_t(2));
    QCOMPARE(Fake->Calls().front().Name, std::string("AbortCalls"));
    Main->Submit([&] { Completed = true; }, [] { return ERR_OK; });  // refused while closing
    QCOMPARE(Main->LiveTasks(), 0);
  }

  // A call that would wait 20 s more is cut short by the closing: the window
  // goes as soon as the job thread has seen its call fail.
  void closing_aborts_the_call_under_way() {
    OpenCardSession();
    Main->show();
    Fake->Script("DossierExiste", {std::chrono::seconds(20)});
    bool Completed = false;
    Main->Submit([&] { Completed = true; },
                 [&] {
                   std::shared_ptr<IDossierMedical> DOS;
                   return Main->CNX->DossierExiste("279035121518989", 'T', DOS);
                 });
    QTRY_VERIFY(!Fake->Calls().empty());
    Main->close();
    QCOMPARE(Main->LiveTasks(), 0);
    QVERIFY(!Completed);
    QVERIFY(Boxes.empty());
    QCOMPARE(Fake->GetErrDetail(), std::string("WINSOCK Error #00002745 on function connect"));
  }

  void completion_releasing_the_session_starts_a_new_task() {
    TGate Second;
    int SecondDone = 0;
    TTask* First = nullptr;
    Main->statusBar()->showMessage("Lecture de la carte...");
    QSignalSpy Messages(Main->statusBar(), &QStatusBar::messageChanged);
    Main->Submit(
        [&] {
          First = CurrentTask();
          Main->ReleaseSession();
          QVERIFY(!Busy());
          Main->Submit([&] { ++SecondDone; }, [&] { Second.Wait(); return ERR_OK; });
        },
        [] { return ERR_OK; });
    QTRY_VERIFY(First != nullptr);
    QTRY_COMPARE(Main->LiveTasks(), 1);  // the first task's EndTask has run
    QVERIFY(CurrentTask() != nullptr);
    QVERIFY(Busy());
    QVERIFY(IsBusyIndicator(Main->pbWait));
    QCOMPARE(Messages.count(), 0);  // the first EndTask did nothing
    Second.Open();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Status(), QStringLiteral("Prêt"));
    QCOMPARE(SecondDone, 1);
    QVERIFY(!Busy());
  }

  void wheel_over_child_scrolls_box_once_data() {
    QTest::addColumn<QString>("Child");
    QTest::addColumn<int>("Lines");
    QTest::newRow("label") << "label" << 1;
    QTest::newRow("button") << "button" << 1;
    QTest::newRow("list scrolls itself") << "list" << 0;
  }
  void wheel_over_child_scrolls_box_once() {
    QFETCH(QString, Child);
    QFETCH(int, Lines);
    TScrollBox Box;
    auto* Content = new QWidget;
    auto* Layout = new QVBoxLayout(Content);
    auto* Label = new QLabel("Compte rendu", Content);
    Label->setObjectName("label");
    auto* Button = new QPushButton("Ouvrir", Content);
    Button->setObjectName("button");
    auto* List = new QListView(Content);
    List->setObjectName("list");
    QStringList Rows;
    for (int I = 0; I < 200; ++I) Rows << QString::number(I);
    List->setModel(new QStringListModel(Rows, List));
    Layout->addWidget(Label);
    Layout->addWidget(Button);
    Layout->addWidget(List);
    Content->setMinimumHeight(2000);
    Box.setWidget(Content);
    Box.resize(200, 200);
    Box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Box));
    QScrollBar* Bar = Box.verticalScrollBar();
    QVERIFY(Bar->maximum() > 10 * Bar->singleStep());
    QWidget* Target = Content->findChild<QWidget*>(Child);
    const QPointF Local(5, 5);
    QWheelEvent Wheel(Local, Target->mapToGlobal(Local), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(Target, &Wheel);
    QCOMPARE(Bar->value(), Lines * Bar->singleStep());
  }

  // The caption and the status bar carry the product version string.
  void caption_and_status_show_the_product_version() {
    const QString Version = QString::fromStdString(GetProductVersion());
    QCOMPARE(Main->windowTitle(), QStringLiteral("Carvelin ") + Version);
    QCOMPARE(Status(), QStringLiteral("Carvelin %1 - Prêt").arg(Version));
  }

  // A message fills lines of a readable width instead of breaking at every
  // second word, in the plain box and in the error box; a longer word widens
  // the box.
  void message_boxes_are_wide_enough_data() {
    QTest::addColumn<bool>("Error");
    QTest::addColumn<QString>("Message");
    QTest::addColumn<int>("MinWidth");
    const QString Words = QStringLiteral("Le service a répondu par une erreur de connexion au serveur distant, "
                                         "veuillez réessayer plus tard");
    const QString Long = QStringLiteral("https://formation.dmp.test/si-dmp-server/v2/services/") + QString(10, 'x');
    QTest::newRow("words") << false << Words << 360;
    QTest::newRow("long word") << false << Long << 0;
    QTest::newRow("error box") << true << QString::fromUtf8(ErrorMessage(ERR_CODE_INVALIDE).data()) << 360;
    // Shorter than a line that Qt wraps, longer than its longest word.
    QTest::newRow("one line") << false
                              << QStringLiteral("La base locale « /tmp/tmp.zX33ApnsJI/damaged.db3 » est endommagée")
                              << 360;
    QTest::newRow("long path") << false
                               << QStringLiteral("La base locale « /tmp/carvelin-e2e.Xq3RkLmNoP/home/.local/state/"
                                                 "Carvelin2/damaged-database/carvelin2.db3 » est endommagée")
                               << 360;
  }
  void message_boxes_are_wide_enough() {
    QFETCH(bool, Error);
    QFETCH(QString, Message);
    QFETCH(int, MinWidth);
    int Width = 0;
    OnBox = [&](QMessageBox& Box) {
      Box.show();
      QVERIFY(QTest::qWaitForWindowExposed(&Box));
      Width = Box.width();
      const QLabel* Label = nullptr;
      for (const QLabel* L : Box.findChildren<QLabel*>())
        if (L->text() == Message) Label = L;
      QVERIFY(Label);
      int Longest = 0;
      for (const QString& Word : Message.split(QLatin1Char(' ')))
        Longest = std::max(Longest, Label->fontMetrics().horizontalAdvance(Word));
      QVERIFY2(Label->contentsRect().width() >= std::min(Longest, 600), qPrintable(QString::number(Label->width())));
      // The whole text shows: the label lies inside the box, and its text
      // needs no more room than the label has (one line, or wrapped lines).
      const QRect Shown(Label->mapTo(&Box, QPoint(0, 0)), Label->size());
      QVERIFY2(Box.rect().contains(Shown),
               qPrintable(QStringLiteral("label %1 in box %2x%3").arg(Shown.right()).arg(Box.width()).arg(Box.height())));
      if (Label->wordWrap())
        QVERIFY2(Label->heightForWidth(Label->width()) <= Label->height(), qPrintable(QString::number(Label->height())));
      else
        QVERIFY2(Label->sizeHint().width() <= Label->width(),
                 qPrintable(QStringLiteral("text %1 in label %2").arg(Label->sizeHint().width()).arg(Label->width())));
      Box.hide();
    };
    if (Error)
      ShowDmpError(nullptr, ERR_CODE_INVALIDE);
    else
      MessageDlg(Main.get(), QMessageBox::Warning, Message);
    QCOMPARE(Boxes.size(), size_t(1));
    QVERIFY2(Width >= MinWidth, qPrintable(QString::number(Width)));
  }

  void image_list_has_every_named_index() {
    QCOMPARE(Main->ImageList->objectName(), QStringLiteral("ImageList"));
    for (int Index : {1, 2, 3, 4, 14, 15, 16, 17, 33, 37, 42, 43, 44}) {
      const QImage Image = Main->ImageList->Image(Index);
      QVERIFY2(!Image.isNull(), qPrintable(QString::number(Index)));
      QVERIFY2(DistinctColours(Image) >= 4, qPrintable(QString::number(Index)));  // a picture, not an empty cell
    }
  }

  void screens_not_built_answer_cancelled() {
    const TScreens& S = Main->Screens();
    TCodePIN Pin;
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    QCOMPARE(S.GetCodePIN(Main.get(), *CPS, *Main->INI, Pin), false);
    QCOMPARE(S.StructuresSelect(Main.get(), *CPS, *Main->INI), -1);
    QCOMPARE(S.AppVitaleExecute(Main.get(), nullptr), mrCancel);
    QCOMPARE(S.FramePatientsCreate(Main.get(), *Main), nullptr);
    S.AProposExecute(Main.get());
    QCOMPARE(Boxes.size(), size_t(5));
    for (const TShownBox& B : Boxes) {
      QCOMPARE(B.Icon, QMessageBox::Information);
      QCOMPARE(B.Text, QStringLiteral("Cet écran n'est pas encore disponible"));
    }
  }

  // The program's table: the About box names the configured card module;
  // the statistics open a row's record while the INS box is offered.
  void program_screens_reach_the_window() {
    const TScreens S = TScreens::Program();
    Main->INI->WriteString("Services", "CryptoLib", "/opt/cartes/libexemple-pkcs11.so");
    QString System;
    const auto About = AnswerModal<TFrmAPropos>([&System](TFrmAPropos& Form) {
      System = Form.mmSystem->toPlainText();
      Form.accept();
    });
    S.AProposExecute(Main.get());
    QVERIFY2(System.contains(QStringLiteral("libexemple-pkcs11.so\tVersion inconnue\tpas OK")), qPrintable(System));

    for (const bool Offered : {false, true}) {
      Main->edINSC->setVisible(Offered);
      Main->show();
      bool HasOpenINS = !Offered;
      const auto Stats = AnswerModal<TStatistiques>([&HasOpenINS](TStatistiques& Form) {
        HasOpenINS = bool(Form.OpenINS);
        Form.reject();
      });
      S.StatistiquesExecute(Main.get(), Main->Database);
      QCOMPARE(HasOpenINS, Offered);
    }
  }
};

QTEST_MAIN(TDMP2MainTest)
#include "DMP2Main.ui.moc"
