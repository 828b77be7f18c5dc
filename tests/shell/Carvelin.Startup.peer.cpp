// The desktop entries the program writes, checked by desktop-file-validate,
// xdg-mime and gio; the installation decisions, answered by the box hook.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Startup.h"

using namespace Carvelin;

namespace {

// The variables naming the files a copy runs with, in the order of a test
// row's files.
constexpr const char* Carried[] = {"CARVELIN_INI", "SOFTHSM2_CONF", "APILEC_STUB_XML", "CARVELIN_HOSTS"};

QString Run(const QString& Program, const QStringList& Args) {
  QProcess P;
  P.start(Program, Args);
  P.waitForFinished(30000);
  return QString::fromUtf8(P.readAllStandardOutput() + P.readAllStandardError()).trimmed() +
         (P.exitCode() ? QStringLiteral(" [exit %1]").arg(P.exitCode()) : QString());
}

QByteArray Read(const QString& Name) {
  QFile F(Name);
  return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

}  // namespace

class TStartupPeerTest : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> Dir;
  QStringList Questions;
  QList<int> Answers;

  QString Path(const QString& Name) const { return Dir->filePath(Name); }

 private slots:
  void init() {
    Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(Dir->isValid());
    qputenv("HOME", Dir->path().toUtf8());
    qputenv("XDG_CONFIG_HOME", Path("config").toUtf8());
    qputenv("XDG_DATA_HOME", Path("data").toUtf8());
    for (const char* Name : Carried) qunsetenv(Name);
    Questions.clear();
    SetMessageBoxHook([this](QMessageBox& Box) {
      Questions << Box.text();
      return Answers.isEmpty() ? int(QMessageBox::No) : Answers.takeFirst();
    });
  }

  void cleanup() { SetMessageBoxHook(nullptr); }

  void scheme_registration_is_seen_by_xdg_tools_data() {
    // Files: one per variable of Carried, none when empty.
    QTest::addColumn<QString>("Exe");
    QTest::addColumn<QStringList>("Files");
    QTest::newRow("plain") << "opt/carvelin2" << QStringList();
    QTest::newRow("space, no settings") << "opt/Mon dossier/carvelin2" << QStringList();
    QTest::newRow("blank in the name") << "opt/carvelin 2" << QStringList();
    QTest::newRow("space and specials") << "opt/Mon dossier/$x\\z/carvelin2"
                                        << QStringList{"Mes réglages/carvelin2.ini", "Ma carte/softhsm2.conf",
                                                       "Vitale (démo)/vitale.xml", "hosts.json"};
  }
  void scheme_registration_is_seen_by_xdg_tools() {
    // The handler is started by xdg-open (Debian's generic one, which
    // splits the Exec line on blanks) and by gio open: each must hand the
    // link, and the files named in the entry, to the program.
    QFETCH(QString, Exe);
    QFETCH(QStringList, Files);
    Exe = Path(Exe);
    QDir().mkpath(QFileInfo(Exe).path());
    const QString Seen = Path("seen.txt");
    QFile Program(Exe);
    QVERIFY(Program.open(QIODevice::WriteOnly));
    QByteArray Script = "#!/bin/sh\nprintf '%s\\n'";
    for (const char* Name : Carried) Script += " \"$" + QByteArray(Name) + "\"";
    Program.write(Script + " \"$@\" >" + Seen.toUtf8() + ".tmp\nmv " + Seen.toUtf8() + ".tmp " + Seen.toUtf8() + "\n");
    Program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    Program.close();
    for (qsizetype I = 0; I < Files.size(); ++I) {
      Files[I] = Path(Files[I]);
      QDir().mkpath(QFileInfo(Files[I]).path());
      QFile Made(Files[I]);
      QVERIFY(Made.open(QIODevice::WriteOnly));
      qputenv(Carried[I], Files[I].toUtf8());
    }
    QDir().mkpath(Path("config"));
    QFile List(Path("config/mimeapps.list"));
    QVERIFY(List.open(QIODevice::WriteOnly));
    List.write("# mine\n[Added Associations]\ntext/plain=editor.desktop;\n");
    List.close();
    QVERIFY(RegisterDmpScheme(Exe.toStdString()));
    QCOMPARE(Read(Path("config/mimeapps.list")),
             QByteArray("# mine\n[Added Associations]\ntext/plain=editor.desktop;\n"
                        "[Default Applications]\nx-scheme-handler/dmp=carvelin2.desktop\n"));
    const QString Desktop = Path("data/applications/carvelin2.desktop");
    QCOMPARE(Run("desktop-file-validate", {Desktop}), QString());
    QCOMPARE(Run("xdg-mime", {"query", "default", "x-scheme-handler/dmp"}), QStringLiteral("carvelin2.desktop"));

    const QString Link = "dmp://dmp.example/284057511204537/1.2.250.1.999.1";
    for (const QString& Opener : QStringList{"xdg-open", "gio"}) {
      QFile::remove(Seen);
      QProcess P;
      QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
      for (const char* Name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                               "BROWSER"})
        Environment.remove(Name);
      for (const char* Name : Carried) Environment.remove(Name);
      Environment.insert("DISPLAY", ":99");  // xdg-open looks for a handler only on a display
      P.setProcessEnvironment(Environment);
      P.start(Opener, Opener == "gio" ? QStringList{"open", Link} : QStringList{Link});
      QVERIFY(P.waitForFinished(30000));
      QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(Seen), qPrintable(Opener + ": " + P.readAllStandardError()), 30000);
      const QList<QByteArray> Lines = Read(Seen).split('\n');
      QCOMPARE(Lines.value(std::size(Carried)), Link.toUtf8());
      QCOMPARE(Lines.size(), qsizetype(std::size(Carried)) + 2);  // the link alone, then the last line break
      // The files the program is given are this run's (through a link
      // where the path would need quotes).
      for (size_t I = 0; I < std::size(Carried); ++I) {
        const QString Given = QString::fromUtf8(Lines.value(qsizetype(I)));
        if (qsizetype(I) >= Files.size())
          QCOMPARE(Given, QString());
        else
          QCOMPARE(QFileInfo(Given).canonicalFilePath(), QFileInfo(Files[qsizetype(I)]).canonicalFilePath());
      }
    }

    // Registered: the same call changes nothing; a copy started with other
    // settings takes the handler over; another program's handler is kept.
    QVERIFY(!RegisterDmpScheme(Exe.toStdString()));
    qputenv("CARVELIN_INI", Path("autre.ini").toUtf8());
    QVERIFY(RegisterDmpScheme(Exe.toStdString()));
    QVERIFY(Read(Desktop).contains("CARVELIN_INI=" + Path("autre.ini").toUtf8() + " "));
    QVERIFY(List.open(QIODevice::WriteOnly));
    List.write("[Default Applications]\nx-scheme-handler/dmp=browser.desktop\n");
    List.close();
    QVERIFY(!RegisterDmpScheme("/elsewhere/carvelin2"));
    QCOMPARE(Read(Path("config/mimeapps.list")), QByteArray("[Default Applications]\nx-scheme-handler/dmp=browser.desktop\n"));
    QVERIFY(Read(Desktop).contains(Path("autre.ini").toUtf8()));
  }

  void shortcut_is_valid_and_never_overwritten() {
    QDir().mkpath(Path("Bureau"));
    QDir().mkpath(Path("config"));
    QFile Dirs(Path("config/user-dirs.dirs"));
    QVERIFY(Dirs.open(QIODevice::WriteOnly));
    Dirs.write("XDG_DOCUMENTS_DIR=\"$HOME/Documents\"\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
    Dirs.close();
    QCOMPARE(QString::fromStdString(DesktopFolder()), Path("Bureau"));
    QVERIFY(CreateDesktopShortcut("/home/u/Dostrana/carvelin 2", "/home/u/Dostrana/"));
    const QString Shortcut = Path("Bureau/Carvelin2.desktop");
    QCOMPARE(Run("desktop-file-validate", {Shortcut}), QString());
    struct stat St {};
    QCOMPARE(stat(Shortcut.toLocal8Bit().constData(), &St), 0);
    QCOMPARE(St.st_mode & 0777, 0755u);
    const QByteArray First = Read(Shortcut);
    QVERIFY(First.contains("Comment=Vaspo DMP 2.0\n"));
    QVERIFY(!CreateDesktopShortcut("/other", "/"));
    QCOMPARE(Read(Shortcut), First);
    QCOMPARE(QDir(Path("Bureau")).entryList(QDir::Files).size(), 1);  // no temporary left
  }

  void installation_decisions() {
    const QString Exe = Path("dl/carvelin2");
    QDir().mkpath(Path("dl"));
    QFile F(Exe);
    QVERIFY(F.open(QIODevice::WriteOnly));
    F.write("program bytes");
    F.close();
    const std::string E = Exe.toStdString();

    QCOMPARE(InstallIfRequested(E, {"/start"}), std::nullopt);
    QVERIFY(Questions.isEmpty());

    // No, then No: the run ends.
    QCOMPARE(InstallIfRequested(E, {}), std::optional(0));
    QCOMPARE(Questions, QStringList({"Voulez-vous installer Carvelin 2.0 ?",
                                     "Autorisez-vous Carvelin 2.0 à écrire dans le répertoire \"" + Path("dl/") + "\" ?"}));
    // No, then Yes: the run goes on from here.
    Answers = {QMessageBox::No, QMessageBox::Yes};
    QCOMPARE(InstallIfRequested(E, {}), std::nullopt);

    // Yes: a whole 0755 copy; a second installation fails on the existing copy.
    QCOMPARE(QString::fromStdString(ProductFolder()), Path("data/Talven/"));
    Answers = {QMessageBox::Yes};
    Questions.clear();
    QCOMPARE(InstallIfRequested(E, {}), std::optional(0));
    QCOMPARE(Read(Path("data/Talven/carvelin2")), QByteArray("program bytes"));
    QVERIFY(QFileInfo(Path("data/Talven/carvelin2")).permissions() & QFileDevice::ExeOther);
    Answers = {QMessageBox::Yes};
    QCOMPARE(InstallIfRequested(E, {}), std::optional(0));
    QCOMPARE(Questions.last(), "Impossible de copier ce programme dans " + Path("data/Talven/"));
    QCOMPARE(QDir(Path("data/Talven")).entryList(QDir::Files), QStringList{"carvelin2"});

    // Installed or in use: nothing asked.
    Questions.clear();
    QVERIFY(IsInstalledCopy(InstalledCopy()));
    QVERIFY(IsInstalledCopy("/media/usb/DOSTRANA/CarVelin2"));
    QVERIFY(!IsInstalledCopy("/media/usb/Dostrana/bin/carvelin2"));
    QFile Db(Path("dl/carvelin2.db3"));
    QVERIFY(Db.open(QIODevice::WriteOnly));
    Db.close();
    QCOMPARE(InstallIfRequested(E, {}), std::nullopt);
    QFile::remove(Path("dl/carvelin2.db3"));
    qputenv("CARVELIN_INI", Path("x.ini").toUtf8());
    QCOMPARE(InstallIfRequested(E, {}), std::nullopt);
    QVERIFY(Questions.isEmpty());
  }
};

QTEST_MAIN(TStartupPeerTest)
#include "Carvelin.Startup.peer.moc"
