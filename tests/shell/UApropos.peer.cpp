// The About box against the system's own answers (/etc/os-release read by
// the shell, uname) and version lines of library files named with a suffix.
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

#include "UApropos.h"

using namespace Carvelin;

namespace {
QString Shell(const QString& Command) {
  QProcess P;
  P.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), Command});
  P.waitForFinished();
  return QString::fromUtf8(P.readAllStandardOutput()).trimmed();
}
}  // namespace

class TUAproposTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;

  std::string Library(const QString& Name) {
    QFile File(Dir.filePath(Name));
    if (!File.exists()) {
      File.open(QIODevice::WriteOnly);
      File.write("\x7F" "ELF");
    }
    return Dir.filePath(Name).toStdString();
  }

 private slots:
  void system_line_agrees_with_the_system() {
    const QString Expected = QStringLiteral("%1 (%2 %3)")
                                 .arg(Shell(". /etc/os-release; printf %s \"$PRETTY_NAME\""), Shell("uname -r"),
                                      Shell("uname -m"));
    QCOMPARE(SystemDescription(), Expected);
    TFrmAPropos Form(nullptr, {}, Library("libcps3_pkcs11.so.2.12.0.0"));
    const QStringList Lines = Form.mmSystem->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(Lines.size(), 5);
    QCOMPARE(Lines[0], Expected);
    QVERIFY(Lines[1].isEmpty() && Lines[3].isEmpty());
    const QString Exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QCOMPARE(Lines[2], Exe + QStringLiteral("\tVersion ") + QStringLiteral(CARVELIN_VERSION) + QStringLiteral(".0"));
    QCOMPARE(Lines[4], QStringLiteral("libcps3_pkcs11.so.2.12.0.0\tVersion 2.12.0.0\tOK"));
  }

  void card_module_version_line_data() {
    QTest::addColumn<QString>("File");  // "" = missing
    QTest::addColumn<QString>("Line");
    QTest::newRow("2.11.99.99") << "libcps3_pkcs11.so.2.11.99.99" << "libcps3_pkcs11.so\tVersion 2.11.99.99\tpas OK";
    QTest::newRow("2.12.0.0") << "libcps3_pkcs11.so.2.12.0.0" << "libcps3_pkcs11.so\tVersion 2.12.0.0\tOK";
    QTest::newRow("3.0.0.1") << "libcps3_pkcs11.so.3.0.0.1" << "libcps3_pkcs11.so\tVersion 3.0.0.1\tOK";
    QTest::newRow("1.99.0.0") << "libcps3_pkcs11.so.1.99.0.0" << "libcps3_pkcs11.so\tVersion 1.99.0.0\tpas OK";
    QTest::newRow("three numbers") << "libcps3_pkcs11.so.2.12.0" << "libcps3_pkcs11.so\tVersion inconnue\tpas OK";
    QTest::newRow("no suffix") << "libcps3_pkcs11.so.real" << "libcps3_pkcs11.so\tVersion inconnue\tpas OK";
    QTest::newRow("missing") << "" << "libcps3_pkcs11.so\tVersion inconnue\tpas OK";
  }
  void card_module_version_line() {
    QFETCH(QString, File);
    QFETCH(QString, Line);
    // The configured name is a link to the versioned file, as installed.
    const std::filesystem::path Link = Dir.filePath("libcps3_pkcs11.so").toStdString();
    std::filesystem::remove(Link);
    if (!File.isEmpty()) std::filesystem::create_symlink(Library(File), Link);
    QCOMPARE(FileVersionLine(Link.string(), TFrmAPropos::CardModuleMinimum), Line);
  }

  // A module whose file name carries no version (SoftHSM2 as installed):
  // the version it gives itself, as pkcs11-tool reads it, and OK.
  void card_module_without_file_version_gives_its_own() {
    const QString Module = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
    if (!QFile::exists(Module)) QSKIP("SoftHSM2 is not installed");
    QFile Conf(Dir.filePath(QStringLiteral("softhsm2.conf")));
    QVERIFY(QDir(Dir.path()).mkpath(QStringLiteral("tokens")));
    QVERIFY(Conf.open(QIODevice::WriteOnly));
    Conf.write(("directories.tokendir = " + Dir.filePath(QStringLiteral("tokens")) + "\n").toUtf8());
    Conf.close();
    qputenv("SOFTHSM2_CONF", Conf.fileName().toUtf8());
    const QString Info = Shell(QStringLiteral("pkcs11-tool --module %1 -I").arg(Module));
    const QRegularExpressionMatch Ver = QRegularExpression(QStringLiteral("^Library .*\\(ver ([0-9]+\\.[0-9]+)\\)$"),
                                                           QRegularExpression::MultilineOption)
                                            .match(Info);
    QVERIFY2(Ver.hasMatch(), qPrintable(Info));
    QCOMPARE(CardModuleLine(Module.toStdString()),
             QStringLiteral("libsofthsm2.so\tVersion %1\tOK").arg(Ver.captured(1)));
    TFrmAPropos Form(nullptr, {}, Module.toStdString());
    QCOMPARE(Form.mmSystem->toPlainText().split(QLatin1Char('\n')).value(4), CardModuleLine(Module.toStdString()));
    // A file that is no module still reads unknown.
    QCOMPARE(CardModuleLine(Library(QStringLiteral("libcps3_pkcs11.so.real"))),
             QStringLiteral("libcps3_pkcs11.so.real\tVersion inconnue\tpas OK"));
  }

  void links_without_address_are_hidden() {
    TFrmAPropos Form(nullptr, {QStringLiteral("https://example.org/navigateurs"), QString(), QString()},
                     Library("libcps3_pkcs11.so.2.12.0.0"));
    Form.show();
    QCOMPARE(Form.windowTitle(), QStringLiteral("Carvelin"));
    QVERIFY(Form.Label3->isVisible());
    QCOMPARE(Form.Label3->toolTip(), QStringLiteral("https://example.org/navigateurs"));
    QVERIFY(Form.Label3->text().contains(
        QStringLiteral("Consulter la matrice de compatibilité des Navigateurs avec le DMP")));
    QVERIFY(!Form.Label4->isVisibleTo(&Form));
    QVERIFY(!Form.Label6->isVisibleTo(&Form));
    QCOMPARE(Form.PageControl1->tabText(0), QStringLiteral("Version"));
    QCOMPARE(Form.PageControl1->tabText(1), QStringLiteral("Système"));
    QVERIFY(!Form.Memo1->toPlainText().isEmpty());
  }
};

QTEST_MAIN(TUAproposTest)
#include "UApropos.peer.moc"
