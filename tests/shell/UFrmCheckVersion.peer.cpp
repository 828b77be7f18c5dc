// The update check against the simulator's maker services: archives made
// by Python's zipfile and signed by openssl with a key of the test's own,
// replacing a small program in a temporary folder.
#include <sys/mount.h>

#include <QApplication>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <fstream>

#include "Carvelin.MessageDlg.h"
#include "FLogMessage.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "UFrmCheckVersion.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.TinyTLS12.h"

using namespace Carvelin;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

void Write(const fs::path& Path, std::string_view Bytes) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

void WriteProgram(const fs::path& Path, std::string_view Marker) {
  Write(Path, "#!/bin/sh\necho " + std::string(Marker) + "\n");
  fs::permissions(Path, fs::perms::owner_all);
}

std::string RunProgram(const fs::path& Path) {
  return TestSupport::Run({Path.string()}).Out;
}

// A ZIP archive whose first entry is a program printing Marker.
void MakeArchive(const fs::path& Zip, std::string_view Marker) {
  const auto R = TestSupport::RunPython(
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    z.writestr('carvelin2', '#!/bin/sh\\necho ' + sys.argv[2] + '\\n')\n"
      "    z.writestr('LISEZMOI.txt', 'notes')\n",
      {Zip.string(), std::string(Marker)});
  QCOMPARE(R.Status, 0);
}

void Sign(const fs::path& Key, const fs::path& File, const fs::path& Sig) {
  QCOMPARE(TestSupport::Run({"openssl", "dgst", "-sha256", "-sign", Key.string(), "-out", Sig.string(), File.string()})
               .Status,
           0);
}

void MakeKey(const fs::path& Key, const fs::path& Public) {
  QCOMPARE(TestSupport::Run({"openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", Key.string()})
               .Status,
           0);
  QCOMPARE(TestSupport::Run({"openssl", "ec", "-in", Key.string(), "-pubout", "-out", Public.string()}).Status, 0);
}

}  // namespace

class TUFrmCheckVersionTest : public QObject {
  Q_OBJECT

  SimTest::TSimulator Sim;
  TestSupport::TempDir Keys;
  fs::path Updates;
  std::vector<QString> Boxes;  // texts of the message boxes shown

  fs::path KeyFile() const { return Keys.Path() / "key.pem"; }
  std::string PublicKey() const { return Read(Keys.Path() / "public.pem"); }

  // A working copy "carvelin2" printing OLD in a new folder.
  TUpdateEnvironment Working(const fs::path& Folder) {
    fs::create_directories(Folder);
    WriteProgram(Folder / "carvelin2", "OLD");
    TUpdateEnvironment Env;
    Env.Maker = Talven::HostsConfig().Maker;
    Env.PublicKeyPEM = PublicKey();
    Env.Exe = (Folder / "carvelin2").string();
    Env.Start = [](const std::string& Program, const std::string&) { return fs::exists(Program); };
    return Env;
  }

  void Rules(const char* Variant) {
    Sim.SetRules(std::string(R"([{"match": {"path": "/carvelin2.php"}, "variant": ")") + Variant + "\"}]");
  }

 private slots:
  void initTestCase() {
    QVERIFY(bool(Sim));
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    Vantrel::RegisterTinyTLSEngine();
    Vantrel::RegisterSChannelSocketMaker();
    Talven::SetHostsConfig(Talven::LoadHostsConfig(Sim.HostsFile));
    const std::string Key = "\"state\": \"";
    const size_t At = Sim.Ready.find(Key) + Key.size();
    Updates = fs::path(Sim.Ready.substr(At, Sim.Ready.find('"', At) - At)) / "updates";
    fs::create_directories(Updates);
    MakeKey(KeyFile(), Keys.Path() / "public.pem");
    RecordBoxes();
  }
  void init() {
    Boxes.clear();
    Sim.Reset();
    for (const auto& E : fs::directory_iterator(Updates)) fs::remove(E.path());
  }

  void version_strings_data() {
    QTest::addColumn<QString>("Version");
    QTest::addColumn<int>("Build");
    QTest::addColumn<QString>("Product");
    QTest::addColumn<QString>("BuildText");
    QTest::newRow("release") << "2.0.0" << 0 << "V2.0.0" << "2.0.0.0";
    QTest::newRow("candidate") << "2.1.13" << 4 << "V2.1.13 RC4" << "2.1.13.4";
    QTest::newRow("none compiled in") << "" << 0 << "DEBUG" << "0.0.0.0";
    QTest::newRow("two parts") << "2.1" << 3 << "DEBUG" << "0.0.0.0";
  }
  void version_strings() {
    QFETCH(QString, Version);
    QFETCH(int, Build);
    QFETCH(QString, Product);
    QFETCH(QString, BuildText);
    QCOMPARE(QString::fromStdString(FormatProductVersion(Version.toStdString(), Build)), Product);
    QCOMPARE(QString::fromStdString(FormatBuildString(Version.toStdString(), Build)), BuildText);
  }

  void answers_data() {
    QTest::addColumn<int>("Status");
    QTest::addColumn<QString>("ContentType");
    QTest::addColumn<QString>("Body");
    QTest::addColumn<int>("Verdict");
    QTest::addColumn<QString>("Text");
    const int Go = int(TUpdateVerdict::Go), Message = int(TUpdateVerdict::Message),
              Archive = int(TUpdateVerdict::Archive), Failure = int(TUpdateVerdict::Failure);
    QTest::newRow("ok") << 200 << "text/plain" << "ok\r\n" << Go << "";
    QTest::newRow("message") << 200 << "text/plain" << "Mettez à jour" << Message << "Mettez à jour";
    QTest::newRow("empty") << 200 << "text/plain" << "" << Message << "";
    QTest::newRow("archive") << 200 << "text/plain" << "updates/c.zip" << Archive << "updates/c.zip";
    QTest::newRow("error page") << 500 << "text/html" << "<html>x</html>" << Failure
                                << "Impossible d'accéder à Internet\rHTTP/1.1 500 Internal Server Error";
    QTest::newRow("html with 200") << 200 << "text/plain" << "<!DOCTYPE html><p>ok" << Failure
                                   << "Impossible d'accéder à Internet\rHTTP/1.1 500 Internal Server Error";
    QTest::newRow("proxy") << 407 << "text/html" << "" << Failure << "Impossible de s'authentifier sur votre Proxy";
  }
  void answers() {
    QFETCH(int, Status);
    QFETCH(QString, ContentType);
    QFETCH(QString, Body);
    QFETCH(int, Verdict);
    QFETCH(QString, Text);
    const TUpdateAnswer A = ReadUpdateAnswer(Status, "HTTP/1.1 500 Internal Server Error", ContentType.toStdString(),
                                             Body.toStdString());
    QCOMPARE(int(A.Verdict), Verdict);
    QCOMPARE(QString::fromStdString(A.Text), Text);
  }

  void archive_paths_data() {
    QTest::addColumn<QString>("Path");
    QTest::addColumn<bool>("Safe");
    QTest::newRow("relative") << "updates/carvelin2-2.1.zip" << true;
    QTest::newRow("scheme") << "http://evil/c.zip" << false;
    QTest::newRow("network path") << "//evil/c.zip" << false;
    QTest::newRow("absolute") << "/c.zip" << false;
    QTest::newRow("dot dot") << "updates/../c.zip" << false;
    QTest::newRow("leading dot dot") << "../c.zip" << false;
    QTest::newRow("control") << "updates/c\r\n.zip" << false;
    QTest::newRow("query") << "c.zip?x=1" << false;
    QTest::newRow("empty") << "" << false;
  }
  void archive_paths() {
    QFETCH(QString, Path);
    QFETCH(bool, Safe);
    QCOMPARE(IsSafeArchivePath(Path.toStdString()), Safe);
  }

  void signed_archive_replaces_the_program() {
    TestSupport::TempDir Dir;
    TUpdateEnvironment Env = Working(Dir.Path() / "bin");
    std::vector<std::string> Started;
    Env.Start = [&](const std::string& Program, const std::string& Folder) {
      Started = {Program, Folder};
      return true;
    };
    MakeArchive(Updates / "carvelin2-2.1.zip", "NEW");
    Sign(KeyFile(), Updates / "carvelin2-2.1.zip", Updates / "carvelin2-2.1.zip.sig");
    Rules("archive");
    const size_t Since = Sim.LogSize();
    const TUpdateCheck Check(Env);
    const TUpdateAnswer Answer = Check.Ask();
    QCOMPARE(int(Answer.Verdict), int(TUpdateVerdict::Archive));
    QCOMPARE(Answer.Text, std::string("updates/carvelin2-2.1.zip"));
    int64_t Size = -1, Last = -1;
    TDownloadProgress Progress{[&](int64_t S) { Size = S; }, [&](int64_t R) { Last = R; }};
    std::string Refusal = "stale";
    QVERIFY(Check.Download(Answer.Text, Refusal, Progress));
    QCOMPARE(Refusal, std::string());
    QCOMPARE(Size, int64_t(fs::file_size(Updates / "carvelin2-2.1.zip")));
    QCOMPARE(Last, Size);
    QCOMPARE(RunProgram(Dir.Path() / "bin" / "carvelin2"), std::string("OLD\n"));  // nothing replaced yet
    QVERIFY(!fs::exists(Dir.Path() / "bin" / "carvelin2.zip"));
    QVERIFY(Check.Install());
    QCOMPARE(RunProgram(Dir.Path() / "bin" / "carvelin2"), std::string("NEW\n"));
    QVERIFY(!fs::exists(Dir.Path() / "bin" / "carvelin2_new"));
    QCOMPARE(Started, (std::vector<std::string>{Env.Exe, (Dir.Path() / "bin").string() + "/"}));
    // The service got the version, the build and the program, in that order.
    const std::string Log = Sim.Log(Since).front();
    QVERIFY2(Log.find(R"("field_order": ["Version", "Build", "EXE"])") != std::string::npos, Log.c_str());
    QVERIFY(Log.find("\"EXE\": \"" + Env.Exe + "\"") != std::string::npos);
    QVERIFY(Log.find("\"Version\": \"" + GetProductVersion() + "\"") != std::string::npos);
  }

  void bad_archives_leave_the_program_data() {
    QTest::addColumn<QString>("Fault");
    QTest::addColumn<QString>("Refusal");
    const QString Invalid = QStringLiteral("signature invalide");
    const QString Unreadable = QStringLiteral("archive illisible ou impossible à écrire");
    QTest::newRow("one byte changed") << "one byte changed" << Invalid;
    QTest::newRow("other key") << "other key" << Invalid;
    QTest::newRow("no signature") << "no signature" << "signature absente (HTTP/1.1 404 Not Found)";
    QTest::newRow("truncated signature") << "truncated signature" << Invalid;
    QTest::newRow("cut archive") << "cut archive" << Invalid;
    QTest::newRow("cut and signed") << "cut and signed" << Unreadable;
    QTest::newRow("junk signed") << "junk signed" << Unreadable;
  }
  void bad_archives_leave_the_program() {
    QFETCH(QString, Fault);
    QFETCH(QString, Refusal);
    TestSupport::TempDir Dir;
    const TUpdateEnvironment Env = Working(Dir.Path() / "bin");
    const fs::path Zip = Updates / "carvelin2-2.2.zip", Sig = Updates / "carvelin2-2.2.zip.sig";
    MakeArchive(Zip, "NEW");
    std::string Bytes = Read(Zip);
    Sign(KeyFile(), Zip, Sig);
    if (Fault == "one byte changed") {
      Bytes[Bytes.size() / 2] ^= 1;
      Write(Zip, Bytes);
    } else if (Fault == "other key") {
      MakeKey(Dir.Path() / "other.pem", Dir.Path() / "other.pub");
      Sign(Dir.Path() / "other.pem", Zip, Sig);
    } else if (Fault == "no signature") {
      fs::remove(Sig);
    } else if (Fault == "truncated signature") {
      Write(Sig, Read(Sig).substr(0, 20));
    } else if (Fault == "cut archive") {
      Write(Zip, Bytes.substr(0, Bytes.size() / 2));
    } else if (Fault == "cut and signed") {
      Write(Zip, Bytes.substr(0, Bytes.size() - 30));
      Sign(KeyFile(), Zip, Sig);
    } else {
      Write(Zip, "pas une archive");
      Sign(KeyFile(), Zip, Sig);
    }
    Rules("archive");
    const TUpdateCheck Check(Env);
    const TUpdateAnswer Answer = Check.Ask();
    QCOMPARE(int(Answer.Verdict), int(TUpdateVerdict::Archive));
    std::string Why;
    QVERIFY(!Check.Download(Answer.Text, Why));
    QCOMPARE(QString::fromStdString(Why), Refusal);
    QCOMPARE(RunProgram(Env.Exe), std::string("OLD\n"));
    QCOMPARE(int(std::distance(fs::directory_iterator(Dir.Path() / "bin"), fs::directory_iterator())), 1);
  }

  // A refused update is said in the log window and the program log, with
  // the archive and the reason; the program goes on unchanged and silent.
  void refused_update_is_logged() {
    TLogMessage* Log = TLogMessage::Create();
    Log->Memo1->clear();
    const std::string LogFile = Vantrel::ProgramLogFileName(UpdateLogExtension);
    fs::remove(LogFile);
    TestSupport::TempDir Dir;
    MakeArchive(Updates / "carvelin2-2.3.zip", "NEW");  // and no signature
    Rules("archive");
    const TUpdateEnvironment Env = Working(Dir.Path());
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    QVERIFY(Boxes.empty());
    QCOMPARE(RunProgram(Env.Exe), std::string("OLD\n"));
    const QString Line = QStringLiteral("Mise à jour refusée : updates/carvelin2-2.3.zip "
                                        "(signature absente (HTTP/1.1 404 Not Found))");
    QTRY_COMPARE(Log->Memo1->toPlainText(), Line);
    QCOMPARE(QString::fromStdString(Read(LogFile)), Line + QLatin1Char('\n'));

    // A path that is not below the maker's base is not even fetched.
    const size_t Since = Sim.LogSize();
    std::string Why;
    QVERIFY(!TUpdateCheck(Env).Download("../carvelin2.zip", Why));
    QCOMPARE(Why, std::string("chemin non sûr"));
    QCOMPARE(Sim.LogSize(), Since);
    ReportRefusedUpdate("../x\n.zip", Why);
    QTRY_COMPARE(Log->Memo1->toPlainText().split(QLatin1Char('\n')).value(1),
                 QStringLiteral("Mise à jour refusée : ../x .zip (chemin non sûr)"));
    fs::remove(LogFile);
  }

  void full_disk_leaves_the_program() {
    TestSupport::TempDir Dir;
    const fs::path Small = Dir.Path() / "small";
    fs::create_directories(Small);
    if (mount("tmpfs", Small.c_str(), "tmpfs", 0, "size=64k") != 0) QSKIP("cannot mount a small tmpfs here");
    struct TUnmount {
      fs::path P;
      ~TUnmount() { umount(P.c_str()); }
    } Unmount{Small};
    const TUpdateEnvironment Env = Working(Small);
    // 200 KiB that do not compress: the new program cannot fit.
    const auto R = TestSupport::RunPython(
        "import os, sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
        "    z.writestr('carvelin2', os.urandom(200 * 1024))\n",
        {(Updates / "big.zip").string()});
    QCOMPARE(R.Status, 0);
    Sign(KeyFile(), Updates / "big.zip", Updates / "big.zip.sig");
    Rules("archive");
    const TUpdateCheck Check(Env);
    std::string Why;
    QVERIFY(!Check.Download(Check.Ask().Text, Why));
    QCOMPARE(QString::fromStdString(Why), QStringLiteral("archive illisible ou impossible à écrire"));
    QCOMPARE(RunProgram(Env.Exe), std::string("OLD\n"));
    QCOMPARE(int(std::distance(fs::directory_iterator(Small), fs::directory_iterator())), 1);
  }

  void execute_decides_data() {
    QTest::addColumn<QString>("Variant");  // "" the ordinary answer
    QTest::addColumn<bool>("GoesOn");
    QTest::addColumn<QString>("Box");
    QTest::newRow("ok") << "" << true << "";
    QTest::newRow("message") << "message" << false
                             << "Cette version de Carvelin n'est plus autorisée, contactez le support.";
    QTest::newRow("error page") << "html_500" << true
                                << "Impossible d'accéder à Internet\rHTTP/1.1 500 Internal Server Error";
    QTest::newRow("html page") << "html_200" << true << "Impossible d'accéder à Internet\rHTTP/1.1 200 OK";
    QTest::newRow("slow") << "slow" << true << "Impossible d'accéder à Internet\r";
    QTest::newRow("huge") << "huge" << true << "Impossible d'accéder à Internet\r";
  }
  void execute_decides() {
    QFETCH(QString, Variant);
    QFETCH(bool, GoesOn);
    QFETCH(QString, Box);
    TestSupport::TempDir Dir;
    if (!Variant.isEmpty()) Rules(Variant.toUtf8().constData());
    QCOMPARE(TFrmCheckVersion::Execute(nullptr, Working(Dir.Path())), GoesOn);
    if (Box.isEmpty()) {
      QVERIFY(Boxes.empty());
    } else {
      QCOMPARE(int(Boxes.size()), 1);
      QVERIFY2(Boxes.front().startsWith(Box), qPrintable(Boxes.front()));
    }
  }

  // The check, the archive and its signature go through the proxy that
  // https_proxy names, one tunnel each, unless no_proxy names the maker.
  void environment_proxy_data() {
    QTest::addColumn<int>("ProxyStatus");  // 0: the proxy opens tunnels
    QTest::addColumn<QString>("NoProxy");
    QTest::addColumn<int>("Tunnels");
    QTest::addColumn<QString>("Box");  // "": the update is installed
    QTest::newRow("tunnels") << 0 << "" << 3 << "";
    QTest::newRow("proxy wants credentials") << 407 << "" << 1 << "Impossible de s'authentifier sur votre Proxy";
    QTest::newRow("proxy refuses") << 403 << "" << 1 << "Impossible d'accéder à Internet\rHTTP/1.1 403 Forbidden";
    QTest::newRow("maker bypassed") << 407 << "localhost,127.0.0.1" << 0 << "";
  }
  void environment_proxy() {
    QFETCH(int, ProxyStatus);
    QFETCH(QString, NoProxy);
    QFETCH(int, Tunnels);
    QFETCH(QString, Box);
    HTTPTest::TProxy Proxy(ProxyStatus);
    QVERIFY(Proxy.Port > 0);
    TestSupport::SetProxyEnvironment(nullptr, Proxy.URL().c_str(), NoProxy.isEmpty() ? nullptr : qPrintable(NoProxy));
    MakeArchive(Updates / "p.zip", "NEW");
    Sign(KeyFile(), Updates / "p.zip", Updates / "p.zip.sig");
    Rules("archive");
    TestSupport::TempDir Dir;
    const TUpdateEnvironment Env = Working(Dir.Path());
    const bool GoesOn = TFrmCheckVersion::Execute(nullptr, Env);
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    const std::string Maker = Env.Maker.substr(Env.Maker.find("://") + 3);
    const std::vector<std::string> Log = Proxy.Log();
    QCOMPARE(int(Log.size()), Tunnels);
    for (const std::string& Line : Log)
      QVERIFY2(Line.find("\tCONNECT " + Maker + " HTTP/1.1\t" + Maker) != std::string::npos, Line.c_str());
    QCOMPARE(GoesOn, !Box.isEmpty());
    QCOMPARE(Boxes, Box.isEmpty() ? std::vector<QString>{} : std::vector<QString>{Box});
    QCOMPARE(RunProgram(Env.Exe), std::string(Box.isEmpty() ? "NEW\n" : "OLD\n"));
  }

  // The service answering after 20 s: the dialog serves queued calls while
  // the check waits, and the check gives up after its time-out.
  void slow_service_leaves_the_window_responsive() {
    Sim.SetRules(R"([{"match": {"path": "/carvelin2.php"}, "delay_ms": 20000}])");
    TestSupport::TempDir Dir;
    TUpdateEnvironment Env = Working(Dir.Path());
    Env.AnswerTimeoutMs = 400;
    QString Served;
    QTimer::singleShot(0, [&] {
      QWidget* Modal = QApplication::activeModalWidget();
      Served = Modal ? Modal->objectName() : QStringLiteral("no dialog");
    });
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    QCOMPARE(Served, QStringLiteral("FrmCheckVersion"));
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Impossible d'accéder à Internet\r"
                                                        "WINSOCK Error #0000274C on function recv")});
  }

  void signed_update_ends_this_run() {
    TestSupport::TempDir Dir;
    MakeArchive(Updates / "u.zip", "NEW");
    Sign(KeyFile(), Updates / "u.zip", Updates / "u.zip.sig");
    Rules("archive");
    TUpdateEnvironment Env = Working(Dir.Path());
    QVERIFY(!TFrmCheckVersion::Execute(nullptr, Env));
    QCOMPARE(RunProgram(Env.Exe), std::string("NEW\n"));
    QVERIFY(Boxes.empty());
    // A new program that cannot start: the message, and this run goes on.
    Env = Working(Dir.Path() / "b");
    Env.Start = [](const std::string&, const std::string&) { return false; };
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Impossible de lancer la mise à jour...")});
  }

  void nothing_contacted_without_maker_or_product_name() {
    TestSupport::TempDir Dir;
    const size_t Since = Sim.LogSize();
    TUpdateEnvironment Env = Working(Dir.Path());
    Env.Maker.clear();
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    Env = Working(Dir.Path());
    WriteProgram(Dir.Path() / "autre", "X");
    Env.Exe = (Dir.Path() / "autre").string();
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    Env.Exe = (Dir.Path() / "CARVELIN2").string();  // the name in any case
    QVERIFY(TFrmCheckVersion::Execute(nullptr, Env));
    QCOMPARE(Sim.LogSize(), Since + 1);  // only the last one asked
    QVERIFY(Boxes.empty());
  }

  void finish_self_update() {
    TestSupport::TempDir Dir;
    WriteProgram(Dir.Path() / "carvelin2", "OLD");
    WriteProgram(Dir.Path() / "carvelin2_new", "NEW");
    std::string Started;
    const TStartProgram Start = [&](const std::string& P, const std::string&) {
      Started = P;
      return true;
    };
    QCOMPARE(FinishSelfUpdate((Dir.Path() / "carvelin2_new").string(), Start), std::optional<int>(0));
    QCOMPARE(Started, (Dir.Path() / "carvelin2").string());
    QCOMPARE(RunProgram(Dir.Path() / "carvelin2"), std::string("NEW\n"));
    QVERIFY(!fs::exists(Dir.Path() / "carvelin2_new"));
    // The restarted program deletes a leftover.
    WriteProgram(Dir.Path() / "carvelin2_new", "LEFT");
    QCOMPARE(FinishSelfUpdate((Dir.Path() / "carvelin2").string(), Start), std::nullopt);
    QVERIFY(!fs::exists(Dir.Path() / "carvelin2_new"));
    QVERIFY(Boxes.empty());
  }

  void blocked_replacement_warns_once_then_gives_up() {
    TestSupport::TempDir Dir;
    fs::create_directories(Dir.Path() / "carvelin2" / "busy");  // a rename cannot replace it
    WriteProgram(Dir.Path() / "carvelin2_new", "NEW");
    int Waits = 0;
    std::vector<int> BoxAfter;
    SetMessageBoxHook([&](QMessageBox& Box) {
      Boxes.push_back(Box.text());
      BoxAfter.push_back(Waits);
      return int(QMessageBox::Ok);
    });
    const auto Exit = FinishSelfUpdate((Dir.Path() / "carvelin2_new").string(), StartDetached, [&] { ++Waits; });
    QCOMPARE(Exit, std::optional<int>(100));
    QCOMPARE(Waits, 1199);
    QCOMPARE(Boxes, (std::vector<QString>{
                        QStringLiteral("Impossible de mettre à jour Carvelin, assurez-vous que le programme est arrêté."),
                        QStringLiteral("Impossible de mettre à jour Carvelin, opération abandonnée.")}));
    QCOMPARE(BoxAfter, (std::vector<int>{600, 1199}));
    QCOMPARE(RunProgram(Dir.Path() / "carvelin2_new"), std::string("NEW\n"));
    RecordBoxes();
  }

 private:
  void RecordBoxes() {
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back(Box.text());
      return int(QMessageBox::Ok);
    });
  }
};

QTEST_MAIN(TUFrmCheckVersionTest)
#include "UFrmCheckVersion.peer.moc"
