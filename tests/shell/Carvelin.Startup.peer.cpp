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
    qunsetenv("CARVELIN_INI");
    Questions.clear();
    SetMessageBoxHook([this](QMessageBox& Box) {
      Questions << Box.text();
      return Answers.isEmpty() ? int(QMessageBox::No) : Answers.takeFirst();
    });
  }

  void cleanup() { SetMessageBoxHook(nullptr); }

  void scheme_registration_is_seen_by_xdg_tools_data() {
    QTest::addColumn<QString>("Exe");
    QTest::addColumn<QString>("Ini");
    QTest::newRow("plain") << "opt/carvelin2" << "";
    QTest::newRow("space and specials") << "opt/Mon dossier/$x\\z/carvelin2" << "Mes réglages/carvelin2.ini";
  }
  void scheme_registration_is_seen_by_xdg_tools() {
    // The handler is started by xdg-open (Debian's generic one, which
    // splits the Exec line on blanks) and by gio open: each must hand the
    // link, and the settings named in the entry, to the program.
    QFETCH(QString, Exe);
    QFETCH(QString, Ini);
    Exe = Path(Exe);
    QDir().mkpath(QFileInfo(Exe).path());
    const QString Seen = Path("seen.txt");
    QFile Program(Exe);
    QVERIFY(Program.open(QIODevice::WriteOnly));
    Program.write("#!/bin/sh\nprintf '%s\\n' \"$CARVELIN_INI\" \"$@\" >" + Seen.toUtf8() + ".tmp\nmv " +
                  Seen.toUtf8() + ".tmp " + Seen.toUtf8() + "\n");
    Program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    Program.close();
    if (!Ini.isEmpty()) {
      Ini = Path(Ini);
      QDir().mkpath(QFileInfo(Ini).path());
      QFile Settings(Ini);
      QVERIFY(Settings.open(QIODevice::WriteOnly));
      qputenv("CARVELIN_INI", Ini.toUtf8());
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
                               "BROWSER", "CARVELIN_INI"})
        Environment.remove(Name);
      Environment.insert("DISPLAY", ":99");  // xdg-open looks for a handler only on a display
      P.setProcessEnvironment(Environment);
      P.start(Opener, Opener == "gio" ? QStringList{"open", Link} : QStringList{Link});
      QVERIFY(P.waitForFinished(30000));
      QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(Seen), qPrintable(Opener + ": " + P.readAllStandardError()), 30000);
      const QList<QByteArray> Lines = Read(Seen).split('\n');
      QCOMPARE(Lines.value(1), Link.toUtf8());
      // The settings the program is given are this run's (through a link
      // where the path would need quotes).
      if (Ini.isEmpty())
        QCOMPARE(Lines.value(0), QByteArray());
      else
        QCOMPARE(QFileInfo(QString::fromUtf8(Lines.value(0))).canonicalFilePath(), QFileInfo(Ini).canonicalFilePath());
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
