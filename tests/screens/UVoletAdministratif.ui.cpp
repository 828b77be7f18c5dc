// The administrative panel: what the form shows of a panel, what it sends
// back, when an update says the contact changed, and that the panel is read
// only while the window's client core is free.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UVoletAdministratif.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;
using TForm = Carvelin::TVoletAdministratif;
using TPanel = Talven::TVoletAdministratif;


namespace {

// Stands for the main window: the job runs at once, its calls are kept.
struct TFakeHost : IVoletAdministratifHost {
  bool Busy = false;  // a job or a host request holds the client core
  int Holds = 0, Releases = 0;
  QList<int> Shown;
  bool HoldBusy() override {
    if (Busy) return false;
    ++Holds;
    return true;
  }
  void ReleaseBusy() override { ++Releases; }
  bool Submit(std::function<int()> Proc, std::function<void(int)> Done) override {
    if (Busy) return false;
    Done(Proc());
    return true;
  }
  void ShowError(int Error) override { Shown << Error; }
};

}  // namespace

class TVoletAdministratifTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TFakeCarvelin> Fake;
  std::shared_ptr<IDossierMedical> DOS;
  TFakeHost Host;

  TestSupport::TFakeData& Data() { return Fake->Core->Data; }
  int PanelReads() const {
    return int(std::ranges::count_if(Fake->Calls(), [](const auto& C) { return C.Name == "GetVoletAdministratif"; }));
  }

 private slots:
  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    QCOMPARE(CPS->DossierExiste("279035121518989", 'T', DOS), ERR_OK);
    Host = {};
    Data().Volet.Representant = {TRelation::Mere, 2, "DUPONT", "JEANNE", {"3 rue Haute", "Bât. B", "69001", "LYON", ""},
                                 {"0478000000", "0611111111", "jeanne@example.org"}};
  }
  void cleanup() {
    DOS.reset();
    Fake.reset();
  }

  void setup_shows_the_panel_data() {
    QTest::addColumn<QString>("INSi");
    QTest::addColumn<QString>("INS");  // shown
    QTest::addColumn<int>("Sexe");
    QTest::addColumn<QString>("SexButton");  // ticked, "" none
    QTest::addColumn<int>("Saved");          // the sex sent back
    QTest::addColumn<int>("Relation");
    QTest::addColumn<QString>("Lien");
    QTest::addColumn<bool>("ENS");
    QTest::newRow("INS, feminine, mother") << "279035121518989" << "279035121518989" << int('F') << "rbFeminin"
                                           << int('F') << int(TRelation::Mere) << "Mère" << false;
    QTest::newRow("no INS: the older one") << "" << "2790351215189891234567" << int('M') << "rbMasculin" << int('M')
                                           << int(TRelation::ArriereGrandMere) << "Arriere-grand-mère" << false;
    QTest::newRow("undetermined, no representative, ENS")
        << "279035121518989" << "279035121518989" << int('U') << "rbIndetermine" << int('U')
        << int(TRelation::Aucune) << "Pas de répresentant légal" << true;
    QTest::newRow("unknown sex ticks nothing, saves a blank")
        << "279035121518989" << "279035121518989" << int('X') << "" << int(' ') << int(TRelation::Autre)
        << "Autre réprésentant légal" << false;
  }
  void setup_shows_the_panel() {
    QFETCH(QString, INSi);
    QFETCH(QString, INS);
    QFETCH(int, Sexe);
    QFETCH(QString, SexButton);
    QFETCH(int, Saved);
    QFETCH(int, Relation);
    QFETCH(QString, Lien);
    QFETCH(bool, ENS);
    Data().Dossier.Patient.INSi.Code = INSi.toStdString();
    Data().Dossier.Patient.INSC.Code = "2790351215189891234567";
    Data().Dossier.ENS = ENS;
    Data().Volet.Identite.Sexe = char(Sexe);
    Data().Volet.Representant.Relation = TRelation(Relation);
    TForm Form(nullptr, Host);
    QVERIFY(Form.SetDossier(DOS));
    QCOMPARE(Form.edINS->text(), INS);
    QVERIFY(Form.edINS->isReadOnly());
    QCOMPARE(Form.OldTelecom, std::string("0612345678|marie.dupont@example.org"));
    for (QRadioButton* B : {Form.rbMasculin, Form.rbFeminin, Form.rbIndetermine})
      QCOMPARE(B->isChecked(), B->objectName() == SexButton);
    QVERIFY(Form.rbMme->isChecked() && !Form.rbM->isChecked() && !Form.rbMlle->isChecked());
    QVERIFY(Form.rbMmeRL->isChecked());
    QCOMPARE(Form.cbLienRL->currentText(), Lien);
    QCOMPARE(Form.edNomUsage->text(), QStringLiteral("DUPONT"));
    QCOMPARE(Form.edVille->text(), QStringLiteral("PARIS"));
    QCOMPARE(Form.edComplementRL->text(), QStringLiteral("Bât. B"));
    QCOMPARE(Form.btUpdateDMP->isEnabled(), !ENS);
    QVERIFY(Form.btUpdateDMP->isHidden());
    Form.GetVolet();
    QCOMPARE(int(Form.Volet.Sexe), Saved);
    QCOMPARE(int(Form.Volet.Relation), Relation);
    QCOMPARE(Host.Shown, QList<int>());
  }

  void relation_captions_follow_the_relations() {
    TForm Form(nullptr, Host);
    QCOMPARE(Form.cbLienRL->count(), int(EnumCount<TRelation>));
    QCOMPARE(Form.cbLienRL->currentIndex(), 0);
    QCOMPARE(Form.cbLienRL->itemText(3), QStringLiteral("Beau-père - époux de la mère du patient"));
    QCOMPARE(Form.cbLienRL->itemText(12), QStringLiteral("Soeur"));
  }

  // The update sends every field as shown, trimmed; the representative's
  // country is left empty. The limits hold for typing only.
  void update_sends_the_panel_back_whole_and_trimmed() {
    const std::string Long(95, 'L');  // beyond the 80 characters of the usage name
    Data().Volet.Identite.NomUsage = Long;
    Data().Volet.Representant.Adresse.Pays = "FRANCE";
    const TPanel Loaded = Data().Volet;
    TForm Form(nullptr, Host);
    QVERIFY(Form.SetDossier(DOS));
    QCOMPARE(Form.edNomUsage->text(), QString::fromStdString(Long));
    Form.edVille->setText(QStringLiteral("  LYON  "));
    Form.edPrenomRL->setText(QStringLiteral(" JEANNE\t"));
    Form.btUpdateDMP->click();
    QCOMPARE(Form.result(), int(QDialog::Accepted));
    const TPanel& Sent = Data().Volet;
    QCOMPARE(Sent.Identite.NomUsage, Long);
    QCOMPARE(Sent.Adresse.Ville, std::string("LYON"));
    QCOMPARE(Sent.Representant.Prenom, std::string("JEANNE"));
    QCOMPARE(Sent.Representant.Adresse.Pays, std::string());
    QCOMPARE(Sent.Representant.Adresse.Complement, Loaded.Representant.Adresse.Complement);
    QCOMPARE(Sent.Representant.Telecom.EMail, Loaded.Representant.Telecom.EMail);
    QCOMPARE(Sent.Identite.DateNaissance, Loaded.Identite.DateNaissance);
    QCOMPARE(Sent.Identite.Civilite, 2);
    QCOMPARE(Sent.PaysNaissance, Loaded.PaysNaissance);

    // Typing stops at the limit.
    Form.edCodePostal->clear();
    Form.edCodePostal->setFocus();
    QTest::keyClicks(Form.edCodePostal, QStringLiteral("123456789012"));
    QCOMPARE(Form.edCodePostal->text(), QStringLiteral("1234567890"));
  }

  void contact_changed_rule_data() {
    QTest::addColumn<QString>("OldMobile");
    QTest::addColumn<QString>("OldEMail");
    QTest::addColumn<QString>("Mobile");
    QTest::addColumn<QString>("EMail");
    QTest::addColumn<bool>("Changed");
    QTest::newRow("unchanged") << "0612345678" << "a@example.org" << "0612345678" << "a@example.org" << false;
    QTest::newRow("unchanged once trimmed") << "0612345678" << "a@example.org" << "0612345678" << " a@example.org "
                                            << false;
    QTest::newRow("new mobile") << "0612345678" << "a@example.org" << "0798765432" << "a@example.org" << true;
    QTest::newRow("new e-mail") << "0612345678" << "a@example.org" << "0612345678" << "b@example.org" << true;
    QTest::newRow("e-mail cleared") << "0612345678" << "a@example.org" << "0612345678" << "" << true;
    QTest::newRow("both cleared") << "0612345678" << "a@example.org" << "" << "" << false;
    QTest::newRow("first contact") << "" << "" << "0612345678" << "" << true;
  }
  void contact_changed_rule() {
    QFETCH(QString, OldMobile);
    QFETCH(QString, OldEMail);
    QFETCH(QString, Mobile);
    QFETCH(QString, EMail);
    QFETCH(bool, Changed);
    Data().Volet.Telecom = {"", OldMobile.toStdString(), OldEMail.toStdString()};
    TForm Form(nullptr, Host);
    QVERIFY(Form.SetDossier(DOS));
    Form.edTelephoneMobile->setText(Mobile);
    Form.edEMail->setText(EMail);
    Form.btUpdateDMP->click();
    QCOMPARE(Form.result(), int(QDialog::Accepted));
    QCOMPARE(Form.ContactChanged, Changed);
  }

  void update_failure_is_shown_and_the_form_stays() {
    TForm Form(nullptr, Host);
    QVERIFY(Form.SetDossier(DOS));
    Fake->Script("SetVoletAdministratif", TFakeAnswer{.Code = ERR_CANAL_EXISTE});
    Form.edTelephoneMobile->setText(QStringLiteral("0798765432"));
    Form.btUpdateDMP->click();
    QCOMPARE(Host.Shown, QList<int>{ERR_CANAL_EXISTE});
    QCOMPARE(Form.result(), int(QDialog::Rejected));
    QVERIFY(!Form.ContactChanged);
    QCOMPARE(Data().Volet.Telecom.Mobile, std::string("0612345678"));
  }

  // The panel is read by the client core, which a job or a host request may
  // be using: then the form does not open and nothing is read.
  void panel_is_read_only_while_the_core_is_free() {
    Host.Busy = true;
    {
      TForm Form(nullptr, Host);
      QVERIFY(!Form.SetDossier(DOS));
      QCOMPARE(Form.result(), int(QDialog::Rejected));
    }
    QCOMPARE(PanelReads(), 0);
    QCOMPARE(Host.Shown, QList<int>());
    bool Opened = false;
    auto Answer = AnswerModal<TForm>([&](TForm& F) {
      Opened = true;
      F.reject();
    });
    bool Changed = true;
    QVERIFY(!TForm::Execute(nullptr, Host, DOS, Changed));
    QVERIFY(!Opened && !Changed);

    // Free: held for the read only.
    Host.Busy = false;
    Answer = AnswerModal<TForm>([&](TForm& F) {
      Opened = true;
      QCOMPARE(Host.Releases, Host.Holds);
      F.reject();
    });
    QVERIFY(!TForm::Execute(nullptr, Host, DOS, Changed));
    QVERIFY(Opened);
    QCOMPARE(PanelReads(), 1);
    QCOMPARE(Host.Holds, 1);
    QCOMPARE(Host.Releases, 1);
  }

  void read_failure_is_shown_and_the_core_given_back() {
    Fake->Script("GetVoletAdministratif", TFakeAnswer{.Code = ERR_CONNEXION});
    TForm Form(nullptr, Host);
    QVERIFY(!Form.SetDossier(DOS));
    QCOMPARE(Host.Shown, QList<int>{ERR_CONNEXION});
    QCOMPARE(Form.result(), int(QDialog::Rejected));
    QCOMPARE(Host.Releases, 1);
  }

  void execute_answers_ok_and_the_flag() {
    auto Answer = AnswerModal<TForm>([](TForm& F) {
      F.edEMail->setText(QStringLiteral("nouveau@example.org"));
      F.btUpdateDMP->click();
    });
    bool Changed = false;
    QVERIFY(TForm::Execute(nullptr, Host, DOS, Changed));
    QVERIFY(Changed);
    QCOMPARE(Data().Volet.Telecom.EMail, std::string("nouveau@example.org"));
  }
};

QTEST_MAIN(TVoletAdministratifTest)
#include "UVoletAdministratif.ui.moc"
