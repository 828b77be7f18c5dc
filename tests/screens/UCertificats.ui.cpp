// Import of a certificate pair: PKCS #12 files made by openssl from the test
// PKI, the holder's name agreeing with openssl's reading of the same files,
// and the stored row read back by sqlite3.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "Carvelin.SQLIteDataBase.h"
#include "ModalAnswer.h"
#include "TestPKI.h"
#include "TestSupport.h"
#include "UCertificats.h"

using namespace Carvelin;
using TestSupport::Run;

namespace {

// The message boxes of one click: their texts, each answered with Answer's
// button (closed when it has none).
struct TBoxes {
  QStringList Texts;
  std::unique_ptr<QTimer> Timer;
  void Expect(QMessageBox::StandardButton Answer) {
    Timer = AnswerModal<QMessageBox>([this, Answer](QMessageBox& Box) {
      // Names from the files are no markup.
      Texts << (Box.textFormat() == Qt::PlainText ? QString() : QStringLiteral("(markup) ")) + Box.text();
      if (QAbstractButton* Button = Box.button(Answer)) Button->click();
      else Box.done(0);
    });
  }
};

}  // namespace

class TCertificatsTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestSupport::TempDir> Dir;

  QString File(const char* Name) const { return QString::fromStdString((*Dir / Name).string()); }

  // A holder certificate of the PKI's people authority.
  void Issue(const std::string& Name, const std::string& Subject) {
    const std::string Key = (*Dir / (Name + ".key")).string(), Csr = (*Dir / (Name + ".csr")).string();
    QCOMPARE(Run({"openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-out", Key}).Status, 0);
    QCOMPARE(Run({"openssl", "req", "-new", "-utf8", "-key", Key, "-subj", Subject, "-out", Csr}).Status, 0);
    QCOMPARE(Run({"openssl", "x509", "-req", "-in", Csr, "-CA", TestSupport::PKIFile("ca-personnes.pem"), "-CAkey",
                  TestSupport::PKIFile("ca-personnes.key"), "-set_serial", "0x" + std::to_string(Name.size() * 7919),
                  "-days", "3650", "-out", (*Dir / (Name + ".pem")).string()})
                 .Status,
             0);
  }

  void Export(const std::string& Out, const std::string& Holder, std::vector<std::string> Authorities,
              const std::string& Password, bool Legacy = false) {
    std::string Chain;
    for (const std::string& Name : Authorities) Chain += TestSupport::ReadFile(TestSupport::PKIFile(Name));
    TestSupport::WriteFile(*Dir / "extra.pem", Chain);
    std::vector<std::string> Argv = {"openssl", "pkcs12", "-export", "-in", (*Dir / (Holder + ".pem")).string(),
                                     "-inkey", (*Dir / (Holder + ".key")).string(), "-passout", "pass:" + Password,
                                     "-out", (*Dir / Out).string()};
    if (!Authorities.empty()) Argv.insert(Argv.end(), {"-certfile", (*Dir / "extra.pem").string()});
    if (Legacy) Argv.push_back("-legacy");
    const TestSupport::RunResult R = Run(Argv);
    QVERIFY2(R.Status == 0, R.Err.c_str());
  }

  // The label built from openssl's own reading of the file's key certificate.
  QString OpenSSLHolder(const char* Name, const std::string& Password, bool Legacy = false) {
    std::vector<std::string> Argv = {"openssl", "pkcs12", "-in", (*Dir / Name).string(), "-nokeys", "-clcerts",
                                     "-passin", "pass:" + Password};
    if (Legacy) Argv.push_back("-legacy");
    const std::string Pem = Run(Argv).Out;
    const std::string Lines =
        Run({"openssl", "x509", "-noout", "-subject", "-nameopt", "multiline,utf8,-esc_msb"}, Pem).Out;
    QMap<QString, QString> Fields;
    for (const QString& Line : QString::fromStdString(Lines).split('\n')) {
      const qsizetype Eq = Line.indexOf(QStringLiteral(" = "));
      if (Eq > 0) Fields[Line.left(Eq).trimmed()] = Line.mid(Eq + 3);
    }
    return Fields["givenName"] + " " + Fields["surname"] + " (" + Fields["commonName"] + ") " + Fields["title"];
  }

 private slots:
  void initTestCase() {
    if (!TestSupport::HaveTool("openssl") || !TestSupport::HaveTool("sqlite3")) QSKIP("openssl or sqlite3 missing");
    Dir = std::make_unique<TestSupport::TempDir>();
    Issue("dupont", "/C=FR/O=Cabinet Médical Test/title=Médecin/GN=Jean/SN=Dupont/CN=810001234567");
    Issue("martin-durand", "/C=FR/O=Cabinet Test/title=Infirmière/GN=Anne/SN=Martin/CN=810009876543");
    Export("auth.p12", "dupont", {"ca-personnes.pem", "root-ca.pem"}, "secret");
    Export("sign.p12", "dupont", {"root-ca.pem", "ca-personnes.pem"}, "autre");
    Export("other.p12", "martin-durand", {"ca-personnes.pem", "root-ca.pem"}, "secret", true);
    Export("alone.p12", "dupont", {}, "secret");
    Export("two.p12", "dupont", {"ca-personnes.pem"}, "secret");
  }

  void window_and_controls() {
    TCertificats Form(nullptr, {});
    QCOMPARE(Form.windowTitle(), QStringLiteral("Importation d'un certificat"));
    QCOMPARE(Form.edAuthFile->toolTip(), QStringLiteral("Fichier au format P12"));
    QCOMPARE(Form.edAuthPwd->echoMode(), QLineEdit::Password);
    QCOMPARE(Form.edSignPwd->echoMode(), QLineEdit::Password);
    QCOMPARE(Form.cbSamePwd->text(), QStringLiteral("Mot de passe identique"));
    QVERIFY(Form.cbSamePwd->isChecked());
    QVERIFY(Form.lbAuth->isHidden() && Form.lbSign->isHidden());
    QCOMPARE(Form.btBrowseAuth->text(), QStringLiteral("..."));
  }

  void same_password_follows_both_texts() {
    TCertificats Form(nullptr, {});
    const struct {
      const char *Auth, *Sign;
      bool Same;
    } Cases[] = {{"abc", "", false}, {"abc", "abc", true}, {"abc", "abd", false}, {"", "", true}};
    for (const auto& C : Cases) {
      Form.edAuthPwd->setText(C.Auth);
      Form.edSignPwd->setText(C.Sign);
      QCOMPARE(Form.cbSamePwd->isChecked(), C.Same);
    }
  }

  // The holder is the certificate of the key, first in openssl's files,
  // whatever the order of its authorities; the pair goes to the database
  // as read, and sqlite3 finds it there.
  void one_holder_is_asked_once_and_stored() {
    TestSupport::TempDir DbDir;
    const std::string DbFile = (DbDir / "carvelin.db").string();
    TVaspoDatabase Database;
    Database.Init(DbFile);
    TCertificats Form(nullptr, [&Database](const std::string& Nom, std::string_view Auth, std::string_view Sign) {
      Database.AddCertificats(Nom, Auth, Sign);
    });
    Form.show();
    Form.edAuthFile->setText(File("auth.p12"));
    Form.edAuthPwd->setText("secret");
    Form.edSignFile->setText(File("sign.p12"));
    Form.edSignPwd->setText("autre");
    QSignalSpy Accepted(&Form, &QDialog::accepted);
    TBoxes Boxes;
    Boxes.Expect(QMessageBox::Yes);
    Form.btOKClick();
    const QString Holder = OpenSSLHolder("auth.p12", "secret");
    QCOMPARE(Holder, QStringLiteral("Jean Dupont (810001234567) Médecin"));
    QCOMPARE(Boxes.Texts, QStringList{"Voulez-vous ajouter le certificat " + Holder + " ?"});
    QCOMPARE(Form.lbAuth->text(), Holder);
    QCOMPARE(Form.lbSign->text(), OpenSSLHolder("sign.p12", "autre"));
    QVERIFY(!Form.lbAuth->isHidden() && !Form.lbSign->isHidden());
    QCOMPARE(Accepted.count(), 1);
    Database.Close();

    const TestSupport::RunResult Row =
        Run({"sqlite3", DbFile, "SELECT Nom, hex(Auth), hex(Sign) FROM Certificats"});
    const auto Hex = [this](const char* Name) {
      return QString::fromStdString(TestSupport::ToHex(TestSupport::ReadFile(*Dir / Name))).toUpper();
    };
    QCOMPARE(QString::fromStdString(Row.Out).trimmed(), Holder + "|" + Hex("auth.p12") + "|" + Hex("sign.p12"));
  }

  void two_holders_are_listed_and_no_keeps_the_form() {
    int Added = 0;
    TCertificats Form(nullptr, [&Added](const std::string&, std::string_view, std::string_view) { ++Added; });
    Form.show();
    Form.edAuthFile->setText(File("auth.p12"));
    Form.edSignFile->setText(File("other.p12"));
    Form.edAuthPwd->setText("secret");
    QVERIFY(!Form.cbSamePwd->isChecked());
    Form.cbSamePwd->setChecked(true);  // the signature file is read with the authentication password
    QSignalSpy Finished(&Form, &QDialog::finished);
    TBoxes Boxes;
    Boxes.Expect(QMessageBox::No);
    Form.btOKClick();
    QCOMPARE(Boxes.Texts, QStringList{"Voulez-vous ajouter les certificats suivants : \n" +
                                      OpenSSLHolder("auth.p12", "secret") + "\n" +
                                      OpenSSLHolder("other.p12", "secret", true)});
    QCOMPARE(Added, 0);
    QVERIFY(Form.isVisible());
    QCOMPARE(Finished.count(), 0);
  }

  void refusals() {
    const struct {
      const char* Name;
      const char* AuthFile;
      const char* Password;
      QString Message;  // empty: none
      const char* Focus;
    } Cases[] = {
        {"wrong password", "auth.p12", "faux", "Impossible de charger le certificat.\nmac verify failure", "edAuthPwd"},
        {"no such file", "absent.p12", "secret", "Impossible de lire le certificat.", "edAuthFile"},
        {"one certificate", "alone.p12", "secret", "", nullptr},
        {"two certificates", "two.p12", "secret", "", nullptr},
    };
    for (const auto& C : Cases) {
      int Added = 0;
      TCertificats Form(nullptr, [&Added](const std::string&, std::string_view, std::string_view) { ++Added; });
      Form.show();
      Form.edAuthFile->setText(File(C.AuthFile));
      Form.edAuthPwd->setText(C.Password);
      Form.edSignFile->setText(File("sign.p12"));
      Form.edSignPwd->setText("autre");
      Form.btOK->setFocus();
      TBoxes Boxes;
      Boxes.Expect(QMessageBox::Ok);
      Form.btOKClick();
      QVERIFY2(Boxes.Texts == (C.Message.isEmpty() ? QStringList() : QStringList{C.Message}), C.Name);
      if (C.Focus) QVERIFY2(Form.focusWidget() && Form.focusWidget()->objectName() == C.Focus, C.Name);
      QVERIFY2(Form.lbAuth->isHidden() && Form.lbAuth->text().isEmpty(), C.Name);
      QVERIFY2(Added == 0 && Form.isVisible(), C.Name);
    }
  }
};

QTEST_MAIN(TCertificatsTest)
#include "UCertificats.ui.moc"
