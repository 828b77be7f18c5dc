// The web-access form over the scripted core: the checks of the access
// button with their messages, the task dialog's choices, the calls each
// work step makes, and the local letter's file.
#include <QCheckBox>
#include <QCommandLinkButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "UAccesWeb.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

class TAccesWebTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TFakeCarvelin> Fake;

  std::shared_ptr<IDossierMedical> Dossier(bool AccesWeb) {
    Fake = std::make_shared<TFakeCarvelin>();
    Fake->Core->Data.Dossier.AccesWeb = AccesWeb;
    std::shared_ptr<IVaspoCPS> CPS;
    std::shared_ptr<IDossierMedical> DOS;
    if (Fake->GetCPS(0, CPS) != ERR_OK || CPS->DossierExiste("1", 'T', DOS) != ERR_OK) return nullptr;
    Fake->Core->ClearCalls();
    return DOS;
  }

  // The record's calls after the dossier was made, "Name Args" each.
  QStringList Calls() const {
    QStringList Out;
    for (const auto& C : Fake->Calls())
      if (C.Name != "GetInfo") Out << QString::fromStdString(C.Name + " " + C.Args).trimmed();
    return Out;
  }

 private slots:
  void access_button_checks_the_channels_data() {
    QTest::addColumn<QString>("EMail");
    QTest::addColumn<QString>("Mobile");
    QTest::addColumn<QString>("Message");  // "" when submitted
    const QString Mobile = "Le numéro de mobile doit comprendre 10 chiffres sans espace et commencer par 06 ou 07";
    QTest::newRow("07") << "" << "0712345678" << "";
    QTest::newRow("06 and e-mail") << "a@b.fr" << "0612345678" << "";
    QTest::newRow("e-mail only") << "a@b.fr" << "" << "";
    QTest::newRow("08") << "" << "0812345678" << Mobile;
    QTest::newRow("blanks between pairs") << "a@b.fr" << "06 12 34 56 78" << Mobile;
    QTest::newRow("nine digits") << "" << "061234567" << Mobile;
    QTest::newRow("both empty") << "" << "" << "Veuillez indiquer un email ou un numéro de mobile";
  }
  void access_button_checks_the_channels() {
    QFETCH(QString, EMail);
    QFETCH(QString, Mobile);
    QFETCH(QString, Message);
    TAccesWeb Form(nullptr);
    // A service value longer than the edit's maximum is kept whole.
    Form.SetDossier(Dossier(false), EMail.toStdString(), Mobile.toStdString());
    QCOMPARE(Form.edMobile->text(), Mobile);
    Form.edEMail->setText(EMail);  // typed over the service's value
    QCOMPARE(Form.edEMail->text(), EMail);
    int Submitted = 0;
    Form.FOnSubmit = [&](QWidget* Sender) {
      QCOMPARE(Sender, &Form);
      ++Submitted;
    };
    QString Shown;
    const auto Answer = AnswerModal<QMessageBox>([&](QMessageBox& Box) {
      Shown = Box.text();
      Box.accept();
    });
    Form.show();
    Form.btAcces->click();
    QCOMPARE(Shown, Message);
    QCOMPARE(Submitted, Message.isEmpty() ? 1 : 0);
    QCOMPARE(Form.Data->FMobile, Mobile.toStdString());
  }

  // A long address shows whole in its field at the form's own size.
  void email_shows_whole() {
    TAccesWeb Form(nullptr);
    const QString Address = QStringLiteral("francoise.bernard-lambert@exemple.fr");
    Form.edEMail->setText(Address);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    Form.edEMail->setCursorPosition(0);
    QVERIFY2(Form.edEMail->fontMetrics().horizontalAdvance(Address) < Form.edEMail->contentsRect().width() - 8,
             qPrintable(QString::number(Form.edEMail->contentsRect().width())));
  }

  void existing_access_changes_the_form() {
    TAccesWeb Form(nullptr);
    Form.SetDossier(Dossier(true), "a@b.fr", "0612345678");
    QCOMPARE(Form.btAcces->text(), QStringLiteral("Modifier l'accès Internet"));
    QVERIFY(!Form.cbRenew->isHidden());
    QCOMPARE(Form.Data->FOldMail, std::string("a@b.fr"));
    TAccesWeb New(nullptr);
    New.SetDossier(Dossier(false), "a@b.fr", "");
    QCOMPARE(New.btAcces->text(), QStringLiteral("Créer l'accès Internet"));
    QVERIFY(New.cbRenew->isHidden());
    QVERIFY(New.Data->FOldMail.empty());
  }

  void task_dialog_answers_the_chosen_link_data() {
    QTest::addColumn<QString>("Link");  // "" presses Escape
    QTest::addColumn<int>("Result");
    QTest::newRow("new codes") << "Choice100" << 100;
    QTest::newRow("contact") << "Choice101" << 101;
    QTest::newRow("recreate") << "Choice102" << 102;
    QTest::newRow("escape") << "" << int(QDialog::Rejected);
  }
  void task_dialog_answers_the_chosen_link() {
    QFETCH(QString, Link);
    QFETCH(int, Result);
    TAccesWeb Form(nullptr);
    QString Title, Hint;
    const auto Answer = AnswerModal<QMessageBox>([&](QMessageBox& Box) {
      Title = Box.windowTitle() + "|" + Box.text();
      if (Link.isEmpty()) return QTest::keyClick(&Box, Qt::Key_Escape);
      auto* Button = Box.findChild<QCommandLinkButton*>(Link);
      Hint = Button ? Button->description() : QString();
      if (Button) Button->click();
    });
    QCOMPARE(Form.TaskDialog(), Result);
    QCOMPARE(Title, QStringLiteral("Carvelin|Ce patient possède déjà un accès Internet"));
    if (Result == 101) QCOMPARE(Hint, QStringLiteral("Le patient à changé de coordonnées"));
  }

  void work_steps_call_the_record_in_order_data() {
    QTest::addColumn<bool>("Exists");
    QTest::addColumn<QString>("EMail");
    QTest::addColumn<QString>("Mobile");
    QTest::addColumn<bool>("Renew");
    QTest::addColumn<int>("Step");
    QTest::addColumn<QString>("Script");  // operation answering 0x500C once
    QTest::addColumn<QStringList>("Expected");
    QTest::addColumn<bool>("Acces");
    QTest::newRow("new by e-mail") << false << "a@b.fr" << "" << false << 0 << ""
                                   << QStringList{"CreerAccesPatient \"a@b.fr\""} << true;
    QTest::newRow("new by mobile") << false << "" << "0612345678" << false << 0 << ""
                                   << QStringList{"CreerAccesPatient \"0612345678\""} << true;
    QTest::newRow("new by both") << false << "a@b.fr" << "0612345678" << false << 0 << ""
                                 << QStringList{"CreerAccesPatient \"a@b.fr\"", "ModifierCanal \"0612345678\" AJOUT"}
                                 << true;
    QTest::newRow("changed mobile")
        << true << "" << "0799999999" << false << 0 << "ModifierCanal"
        << QStringList{"ModifierCanal \"0799999999\" AJOUT", "ModifierCanal \"0799999999\" MODIFICATION",
                       "ModifierCanal \"old@b.fr\" SUPPRESSION"}
        << false;
    QTest::newRow("renew keeps cleared channels")
        << true << "" << "0612345678" << true << 0 << ""
        << QStringList{"ModifierCanal \"0612345678\" AJOUT", "NouvelAccesPatient"} << true;
    QTest::newRow("100") << false << "a@b.fr" << "" << false << 100 << "" << QStringList{"NouvelAccesPatient"}
                         << true;
    QTest::newRow("101") << false << "a@b.fr" << "" << false << 101 << ""
                         << QStringList{"ModifierCanal \"a@b.fr\" AJOUT", "ModifierCanal \"\" SUPPRESSION"} << false;
    QTest::newRow("102") << false << "" << "0612345678" << false << 102 << ""
                         << QStringList{"NouvelAccesPatient", "ModifierCanal \"0612345678\" AJOUT",
                                        "ModifierCanal \"@\" SUPPRESSION"}
                         << true;
  }
  void work_steps_call_the_record_in_order() {
    QFETCH(bool, Exists);
    QFETCH(QString, EMail);
    QFETCH(QString, Mobile);
    QFETCH(bool, Renew);
    QFETCH(int, Step);
    QFETCH(QString, Script);
    QFETCH(QStringList, Expected);
    QFETCH(bool, Acces);
    TAccesWeb Form(nullptr);
    Form.SetDossier(Dossier(Exists), "old@b.fr", "0600000000");
    if (!Script.isEmpty()) Fake->Script(Script.toStdString(), TFakeAnswer{.Code = ERR_CANAL_EXISTE});
    Form.edEMail->setText(EMail);
    Form.edMobile->setText(Mobile);
    Form.cbRenew->setChecked(Renew);
    Form.btAccesClick();
    QCOMPARE(Form.Steps()(Step), ERR_OK);
    QCOMPARE(Calls(), Expected);
    QCOMPARE(Form.Data->FAcces.has_value(), Acces);
  }

  void failed_creation_stops_the_steps() {
    TAccesWeb Form(nullptr);
    Form.SetDossier(Dossier(false), "a@b.fr", "0612345678");
    Fake->Script("CreerAccesPatient", TFakeAnswer{.Code = ERR_ACCES_PATIENT_EXISTE});
    Form.btAccesClick();
    QCOMPARE(Form.Steps()(0), ERR_ACCES_PATIENT_EXISTE);
    QCOMPARE(Calls(), QStringList{"CreerAccesPatient \"a@b.fr\""});
    QVERIFY(!Form.Data->FAcces);
  }

  // The letter drawn here is private to the user, whole, and replaces an
  // older letter's mode.
  void local_letter_is_private() {
    QTemporaryDir Dir;
    const std::string File = (Dir.path() + "/DMP_1.PDF").toStdString();
    QFile Old(QString::fromStdString(File));
    QVERIFY(Old.open(QIODevice::WriteOnly));
    Old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    Old.close();
    QVERIFY(WriteLocalLetter(File, TAcces{"Madame Zoé MARTIN", "1", "LOGIN", "PASSWORD"}, AccesWebLogo()));
    struct stat St {};
    QCOMPARE(stat(File.c_str(), &St), 0);
    QCOMPARE(St.st_mode & 0777, mode_t(0600));
    QFile Pdf(QString::fromStdString(File));
    QVERIFY(Pdf.open(QIODevice::ReadOnly));
    QVERIFY(Pdf.readAll().startsWith("%PDF-"));
  }
};

QTEST_MAIN(TAccesWebTest)
#include "UAccesWeb.ui.moc"
