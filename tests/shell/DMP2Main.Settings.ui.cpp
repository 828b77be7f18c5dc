// The command line, "dmp://" links and what opening or deleting one does,
// the settings file and window placement, with the scripted fake core; a
// local database that cannot be used at start or written later.
#include <QtTest>

#include <QMainWindow>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <random>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "Talven.Carvelin.Hosts.h"
#include "TestSupport.h"
#include "Vantrel.WMCopyData.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

class TDMP2MainSettingsTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;

  QString Ini() const { return Dir.filePath(QStringLiteral("carvelin2.ini")); }

  void Open(const QStringList& Args = {}, const std::string& Database = {}) {
    TDMPMainOptions Options;
    Options.SettingsFile = Ini().toStdString();
    Options.DatabaseFile = !Database.empty() ? Database : Dir.filePath(QStringLiteral("Carvelin2.db3")).toStdString();
    Options.Arguments = Args;
    Fake = std::make_shared<TFakeCarvelin>();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
  }

  std::vector<std::string> CallNames() const {
    std::vector<std::string> Names;
    for (const auto& C : Fake->Calls()) Names.push_back(C.Name + (C.Args.empty() ? "" : " " + C.Args));
    return Names;
  }

  // A logged-in session on the fake core, patient Patient open.
  void Session(const std::string& Patient) {
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CPx = CPS;
    Main->CNX = CPS;
    QCOMPARE(CPS->DossierExiste(Patient, 'N', Main->DOS), ERR_OK);
    Main->FPatient.INSN = Patient;
    Fake->Core->ClearCalls();
  }

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
    THostsConfig Hosts = DefaultHostsConfig();
    Hosts.Formation.DMP_Server = "dmp.test";
    SetHostsConfig(Hosts);
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
    PendingURL = {};
    PendingDeleteURL.clear();
    DomaineFormation.clear();
    QFile::remove(Ini());
  }

  // A database of 2000 patients (several pages) made by SQLite itself.
  static void MakeDatabase(const std::string& Name) {
    Vantrel::TSQLite3 DB;
    DB.Open(Name);
    DB.ExecSQL("CREATE TABLE Patients (Nom NOT NULL, Prenom)");
    DB.ExecSQL("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000) "
               "INSERT INTO Patients SELECT 'Nom' || x, 'Prenom' || x FROM c");
    DB.Close();
  }

  static std::string Listing(const std::filesystem::path& Folder) {
    std::string Names;
    std::error_code Error;
    for (std::filesystem::directory_iterator It(Folder, Error), End; !Error && It != End; It.increment(Error))
      Names += It->path().filename().string() + "\n";
    return Names;
  }

  void unusable_database_at_start_data() {
    QTest::addColumn<QString>("Kind");
    QTest::addColumn<QString>("Said");
    QTest::newRow("random bytes") << "random" << "est endommagée";
    QTest::newRow("damaged page") << "damaged" << "est endommagée";
    QTest::newRow("truncated") << "truncated" << "est endommagée";
    QTest::newRow("a folder") << "folder" << "ne peut pas être ouverte";
    QTest::newRow("missing folder") << "missing" << "ne peut pas être ouverte";
  }

  // The start says the database's message in a box and ends with code 1,
  // the file and its folder as they were.
  void unusable_database_at_start() {
    QFETCH(QString, Kind);
    QFETCH(QString, Said);
    const std::filesystem::path Folder = Dir.filePath(QStringLiteral("start-") + Kind).toStdString();
    std::filesystem::create_directories(Folder);
    std::filesystem::path Database = Folder / "carvelin2.db3";
    if (Kind == QLatin1String("random")) {
      std::mt19937 Random(7);
      std::string Bytes(8192, '\0');
      for (char& C : Bytes) C = char(Random());
      std::ofstream(Database, std::ios::binary) << Bytes;
    } else if (Kind == QLatin1String("damaged") || Kind == QLatin1String("truncated")) {
      MakeDatabase(Database.string());
      if (Kind == QLatin1String("truncated")) {
        std::filesystem::resize_file(Database, 4096 * 5 + 1000);
      } else {
        std::fstream File(Database, std::ios::in | std::ios::out | std::ios::binary);
        File.seekp(4096 * 3 + 10);
        File << std::string(3000, '\xFF');
      }
    } else if (Kind == QLatin1String("folder")) {
      std::filesystem::create_directories(Database);
    } else {
      Database = Folder / "absent" / "carvelin2.db3";
    }
    // The bytes of the file; a folder or a missing file reads as empty.
    auto Content = [&] { return std::filesystem::is_regular_file(Database) ? TestSupport::ReadFile(Database) : std::string(); };
    const std::string Before = Content(), Files = Listing(Folder);

    QStringList Boxes;
    SetMessageBoxHook([&](QMessageBox& Box) {
      Boxes << Box.text();
      return int(QMessageBox::Ok);
    });
    Open({}, Database.string());
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
    QVERIFY(Main->StartStopped());
    QCOMPARE(Main->StartExitCode(), 1);
    QCOMPARE(Boxes.size(), 1);
    QVERIFY2(Boxes[0].startsWith(QStringLiteral("La base locale « %1 » %2").arg(QString::fromStdString(Database.string()), Said)),
             qPrintable(Boxes[0]));
    Main.reset();
    QVERIFY(Content() == Before);
    QCOMPARE(std::filesystem::exists(Database), Kind != QLatin1String("missing"));
    QCOMPARE(Listing(Folder), Files);
  }

  // A completion that cannot write shows the database's own message; the
  // window goes on and the next write is stored.
  void database_write_failure_in_a_completion() {
    Open();
    Main->FPraticien.IdNational = "810001234567";
    Main->FPraticien.Nom = "DURAND";
    Main->Database.Connection().ExecSQL("PRAGMA query_only = 1");  // SQLite's read-only refusal
    QStringList Boxes;
    SetMessageBoxHook([&](QMessageBox& Box) {
      Boxes << Box.informativeText();
      return int(QMessageBox::Ok);
    });
    auto Save = [this] {
      Main->Submit([this] { Main->Database.SavePraticien(Main->FPraticien); }, [] { return 0; });
      QTRY_VERIFY_WITH_TIMEOUT(!Busy(), 30000);
    };
    Save();
    QCOMPARE(Boxes.size(), 1);
    QVERIFY2(Boxes[0].startsWith(QStringLiteral("La base locale « ")) && Boxes[0].contains(QStringLiteral("lecture seule")),
             qPrintable(Boxes[0]));
    Main->Database.Connection().ExecSQL("PRAGMA query_only = 0");
    Save();
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
    QCOMPARE(Boxes.size(), 1);
    TVaspoPraticien Row;
    QVERIFY(Main->Database.LoadPraticien("810001234567", Row));
  }

  void command_line_data() {
    QTest::addColumn<QStringList>("Args");
    QTest::addColumn<bool>("ReadCard");
    QTest::addColumn<int>("Port");
    QTest::addColumn<bool>("Log");
    QTest::addColumn<QString>("INS");
    QTest::newRow("nothing") << QStringList{} << false << 0 << false << "";
    QTest::newRow("/start stops") << QStringList{"/start", "/cps", "/log"} << false << 0 << false << "";
    QTest::newRow("/cps --port /log") << QStringList{"/cps", "--port", "8080", "/log"} << true << 8080 << true << "";
    QTest::newRow("/ins consumes the port word")
        << QStringList{"/ins", "2800575123456", "--port", "8080"} << true << 0 << false << "2800575123456";
    QTest::newRow("/ins then port") << QStringList{"/ins", "1", "x", "--port", "9", "/log"} << true << 9 << true << "1";
    QTest::newRow("port not a number, log") << QStringList{"--port", "abc", "/log"} << false << 0 << true << "";
    QTest::newRow("port 65536") << QStringList{"--port", "65536", "/log"} << false << 0 << true << "";
    QTest::newRow("port 0") << QStringList{"--port", "0"} << false << 0 << false << "";
    QTest::newRow("port 65535") << QStringList{"--port", "65535"} << false << 65535 << false << "";
    QTest::newRow("case matters") << QStringList{"/CPS", "/log"} << false << 0 << false << "";
    QTest::newRow("unknown ends") << QStringList{"x", "/log"} << false << 0 << false << "";
    QTest::newRow("link") << QStringList{"dmp://dmp.test/123/doc", "/log"} << true << 0 << true << "123";
    QTest::newRow("refused link still reads the card")
        << QStringList{"dmp://evil.example/123/doc"} << true << 0 << false << "";
    QTest::newRow("link after /ins is not split")
        << QStringList{"/ins", "9", "dmp://dmp.test/123/doc"} << true << 0 << false << "9";
  }
  void command_line() {
    QFETCH(QStringList, Args);
    const TCommandLine C = ParseCommandLine(Args);
    QTEST(C.ReadCard, "ReadCard");
    QTEST(C.Port, "Port");
    QTEST(C.Log, "Log");
    QTEST(QString::fromStdString(PendingURL.INS), "INS");
  }

  void dmp_links_data() {
    QTest::addColumn<QString>("Link");
    QTest::addColumn<bool>("Accepted");
    QTest::addColumn<QString>("Server");
    QTest::addColumn<QString>("INS");
    QTest::addColumn<QString>("Document");
    QTest::newRow("whole") << "dmp://dmp.test/2800575123456/1.2.3^4" << true << "dmp.test" << "2800575123456" << "1.2.3^4";
    QTest::newRow("server any case") << "dmp://DMP.Test/1/d" << true << "DMP.Test" << "1" << "d";
    QTest::newRow("empty server") << "dmp:///1/d" << true << "" << "1" << "d";
    QTest::newRow("empty document") << "dmp://dmp.test/1/" << true << "dmp.test" << "1" << "";
    QTest::newRow("no third slash") << "dmp://dmp.test/1" << false << "" << "" << "";
    QTest::newRow("no slash after the scheme") << "dmp://anything" << false << "" << "" << "";
    QTest::newRow("empty INS") << "dmp://dmp.test//d" << false << "" << "" << "";
    QTest::newRow("other scheme") << "http://dmp.test/1/d" << false << "" << "" << "";
    QTest::newRow("server not listed") << "dmp://evil.example/1/d" << false << "" << "" << "";
    QTest::newRow("production") << "dmp://" + QString::fromStdString(DefaultHostsConfig().Production.DMP_Server) + "/1/d"
                                << true << QString::fromStdString(DefaultHostsConfig().Production.DMP_Server) << "1" << "d";
    QTest::newRow("training server 3") << "dmp://FORMATION3.train.example/1/d" << true << "FORMATION3.train.example" << "1" << "d";
    QTest::newRow("training server 2") << "dmp://formation2.train.example/1/d" << false << "" << "" << "";
    QTest::newRow("too long") << "dmp:///1/" + QString(2048, QLatin1Char('x')) << false << "" << "" << "";
  }
  void dmp_links() {
    QFETCH(QString, Link);
    DomaineFormation = "train.example";
    PendingURL = {"keep", "keep", "keep"};
    const bool Accepted = ParseDmpUrl(Link.toStdString());
    QTEST(Accepted, "Accepted");
    if (!Accepted) {
      QCOMPARE(PendingURL.Server + PendingURL.INS + PendingURL.DocumentId, std::string("keepkeepkeep"));
      return;
    }
    QTEST(QString::fromStdString(PendingURL.Server), "Server");
    QTEST(QString::fromStdString(PendingURL.INS), "INS");
    QTEST(QString::fromStdString(PendingURL.DocumentId), "Document");
    QCOMPARE(QString::fromStdString(DmpURL(PendingURL.Server, PendingURL.INS, PendingURL.DocumentId)), Link);
  }

  void settings_are_read_and_placement_round_trips() {
    QFile F(Ini());
    QVERIFY(F.open(QIODevice::WriteOnly));
    F.write("[DocImport]\nPath=/echange\nIcon=/opt/x\\y,0\n[Services]\nDomaineFormation=train.example\n"
            "[Forms.Main]\nTDMPMain.State=0\nTDMPMain.Left=40\nTDMPMain.Top=50\nTDMPMain.Width=600\nTDMPMain.Height=400\n");
    F.close();
    Open();
    QCOMPARE(Main->DocImport.Path, std::string("/echange/"));
    QCOMPARE(Main->DocImport.Icon, std::string("/opt/x\\y,0"));
    QCOMPARE(Main->DocImport.Hint, std::string("Exporter le document vers DocImport"));
    QCOMPARE(DomaineFormation, std::string("train.example"));
    QCOMPARE(Main->geometry(), QRect(40, 50, 600, 400));

    Main->show();
    Main->setGeometry(60, 70, 500, 300);
    QVERIFY(Main->close());
    Main.reset();
    Vantrel::TIniFile Saved(Ini().toStdString());
    QCOMPARE(Saved.ReadInteger("Forms.Main", "TDMPMain.Left", 0), 60);
    QCOMPARE(Saved.ReadInteger("Forms.Main", "TDMPMain.Height", 0), 300);
    QCOMPARE(Saved.ReadString("DocImport", "Icon", ""), std::string("/opt/x\\y,0"));  // untouched

    // Minimised at closing: the stored placement stays.
    Open();
    Main->show();
    Main->setGeometry(10, 10, 200, 200);
    Main->showMinimized();
    QVERIFY(Main->close());
    Main.reset();
    QCOMPARE(Vantrel::TIniFile(Ini().toStdString()).ReadInteger("Forms.Main", "TDMPMain.Left", 0), 60);
  }

  void placement_off_every_screen_comes_back() {
    const QRect Primary(0, 0, 1280, 1024);
    const QList<QRect> Screens{Primary, QRect(1280, 0, 1024, 768)};
    QCOMPARE(PlacementOnScreens(QRect(1300, 10, 300, 200), Screens, Primary), QRect(1300, 10, 300, 200));
    QCOMPARE(PlacementOnScreens(QRect(5000, 5000, 300, 200), Screens, Primary), QRect(490, 412, 300, 200));
    QCOMPARE(PlacementOnScreens(QRect(-9000, 0, 3000, 3000), Screens, Primary), Primary);
  }

  void link_without_session_reads_the_card_and_keeps_the_parts() {
    Open();
    QVERIFY(ParseDmpUrl("dmp://dmp.test/123/doc"));
    Main->LoadURL();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(CallNames().front(), std::string("GetCPS 0"));
    QCOMPARE(PendingURL.INS, std::string("123"));
    QCOMPARE(PendingURL.DocumentId, std::string("doc"));

    PendingDeleteURL = "dmp://dmp.test/123/doc";
    QCOMPARE(Main->DeleteURL(), Vantrel::SUBMIT);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(PendingURL.DocumentId, std::string("doc"));
  }

  void link_to_the_open_patient_opens_the_document_data() {
    QTest::addColumn<QString>("Stored");
    QTest::addColumn<QString>("Linked");
    QTest::newRow("same text") << "123" << "123";
    QTest::newRow("stored with its type letter") << "284057511204537T" << "284057511204537";
  }
  void link_to_the_open_patient_opens_the_document() {
    QFETCH(QString, Stored);
    QFETCH(QString, Linked);
    Open();
    Session(Stored.toStdString());
    QVERIFY(ParseDmpUrl("dmp:///" + Linked.toStdString() + "/" + Fake->Core->Data.Documents[0].UniqueID));
    Main->LoadURL();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(CallNames(), (std::vector<std::string>{"GetDocument " + Fake->Core->Data.Documents[0].UniqueID}));
    QCOMPARE(Main->DOCID, Fake->Core->Data.Documents[0].UniqueID);
    QVERIFY(PendingURL.DocumentId.empty());
  }

  void link_to_another_server_and_patient_switches_and_opens_the_record() {
    Open();
    Session("123");
    Fake->Core->Data.Server = "other.test";
    QVERIFY(ParseDmpUrl("dmp://dmp.test/456/doc"));
    Main->LoadURL();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Main->CNX->GetServer(), std::string("dmp.test"));
    QVERIFY(PendingURL.Server.empty());
    QVERIFY(PendingURL.INS.empty());
    QVERIFY(PendingURL.DocumentId.empty());  // opened once the record's documents are listed
    const std::vector<std::string> Calls = CallNames();
    QVERIFY(std::ranges::count_if(Calls, [](const std::string& C) { return C.starts_with("DossierExiste 456 "); }) == 1);
    const auto Query = std::ranges::find_if(Calls, [](const std::string& C) { return C.starts_with("QueryDocuments "); });
    QVERIFY(Query != Calls.end());
    QVERIFY(std::find(Query, Calls.end(), "GetDocument doc") != Calls.end());
  }

  void host_deletion_deletes_in_the_calling_thread() {
    Open();
    Session("123");
    PendingDeleteURL = "dmp:///123/doc";
    QVERIFY(ParseDmpUrl(PendingDeleteURL));
    QCOMPARE(Main->DeleteURL(), ERR_OK);
    QCOMPARE(Main->LiveTasks(), 0);
    QCOMPARE(CallNames(), (std::vector<std::string>{"SupprimerDocument doc"}));
    QVERIFY(PendingDeleteURL.empty());

    Fake->Script("SupprimerDocument", {.Code = ERR_SESSION});
    PendingDeleteURL = "dmp:///123/doc";
    QVERIFY(ParseDmpUrl(PendingDeleteURL));
    QCOMPARE(Main->DeleteURL(), ERR_SESSION);
  }

  void old_letters_are_deleted() {
    namespace fs = std::filesystem;
    const fs::path Folder = Dir.filePath(QStringLiteral("letters")).toStdString();
    fs::create_directories(Folder);
    const auto Old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    const std::string Long22 = "DMP_" + std::string(22, '1') + ".PDF";
    const std::string Long23 = "DMP_" + std::string(23, '1') + ".PDF";
    for (const std::string& Name : {std::string("DMP_.PDF"), Long22, Long23, std::string("DMP_1.pdf"),
                                    std::string("X_DMP_1.PDF"), std::string("DMP_new.PDF")}) {
      QFile F(QString::fromStdString((Folder / Name).string()));
      QVERIFY(F.open(QIODevice::WriteOnly));
      F.close();
      if (Name != "DMP_new.PDF") fs::last_write_time(Folder / Name, Old);
    }
    DeleteOldLetters(Folder.string());
    QVERIFY(!fs::exists(Folder / "DMP_.PDF"));
    QVERIFY(!fs::exists(Folder / Long22));
    for (const char* Kept : {"DMP_1.pdf", "X_DMP_1.PDF", "DMP_new.PDF"}) QVERIFY2(fs::exists(Folder / Kept), Kept);
    QVERIFY(fs::exists(Folder / Long23));
  }
};

QTEST_MAIN(TDMP2MainSettingsTest)
#include "DMP2Main.Settings.ui.moc"
