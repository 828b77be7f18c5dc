// The record's administrative panel and practitioners list opened from the
// main window with the real client core, a SoftHSM2 CPS card and the
// national-service simulator: the seed's panels as the form shows them, the
// practitioners with access, and an update sent through the panel's own
// button, read back from the simulator.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QtTest>

#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "UAccesMineur.h"
#include "UListePraticiens.h"
#include "UVoletAdministratif.h"

using namespace Carvelin;
using namespace Talven;
using TForm = Carvelin::TVoletAdministratif;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view PetitINS = "215033306311206";  // a minor with her mother as representative
constexpr std::string_view FaureINS = "288125935020866";  // no web access

}  // namespace

class TDMP2MainVoletPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  std::vector<std::string> WebAccess;  // the web-access form's openings: "e-mail phone"

  std::unique_ptr<TDMPMain> LoggedIn() {
    TDMPMainOptions Options = MainOptions();
    Options.Screens = TScreens::Program();
    Options.Screens.AccesWebExecute = [this](QWidget*, std::shared_ptr<IDossierMedical>, TScreenCallback,
                                             const std::string& EMail, const std::string& Phone, bool) {
      WebAccess.push_back(EMail + " " + Phone);
    };
    auto Main = std::make_unique<TDMPMain>(std::move(Options));
    if (!LogIn(*Main)) return nullptr;
    Main->ibCPX->SetImageIndex(1);
    Main->show();
    return Main;
  }

  void OpenRecord(TDMPMain& Main, std::string_view INS) {
    // A minor's record asks how to connect: normally.
    auto Minor = AnswerModal<TFrmAccesMineur>([](TFrmAccesMineur& Form) { Form.btContinuer->click(); });
    Main.LoadINSC(std::string(INS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QVERIFY(Main.DOS);
  }

 private slots:
  void initTestCase() {
    QVERIFY2(OpenRecordingBoxes(), Sim.Ready.c_str());
  }
  void cleanupTestCase() { Close(); }
  void init() {
    Boxes.clear();
    WebAccess.clear();
  }

  void panel_shows_the_seed_patient() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, MartinINS);
    bool Shown = false;
    auto Answer = AnswerModal<TForm>([&](TForm& Form) {
      Shown = true;
      QCOMPARE(Form.edINS->text(), QString::fromLatin1(MartinINS.data(), MartinINS.size()));
      QVERIFY(Form.rbMme->isChecked());
      QCOMPARE(Form.edNomUsage->text(), QStringLiteral("MARTIN-DURAND"));
      QCOMPARE(Form.edNomNaissance->text(), QStringLiteral("DURAND"));
      QVERIFY(Form.edPrenom->text().startsWith(QStringLiteral("Zoé")));
      QVERIFY(Form.rbFeminin->isChecked());
      QCOMPARE(Form.edAdresse->text(), QStringLiteral("12 rue de l'Église"));
      QCOMPARE(Form.edComplement->text(), QStringLiteral("Bâtiment B"));
      QCOMPARE(Form.edCodePostal->text(), QStringLiteral("75011"));
      QCOMPARE(Form.edTelephoneFixe->text(), QStringLiteral("0143000000"));
      QCOMPARE(Form.edTelephoneMobile->text(), QStringLiteral("0612345678"));
      QCOMPARE(Form.edEMail->text(), QStringLiteral("zoe.martin@exemple.fr"));
      QCOMPARE(Form.cbLienRL->currentIndex(), 0);
      Form.btFermer->click();
    });
    Main->mnAdministratifClick();
    QVERIFY(Shown);
    QVERIFY(Boxes.empty());
  }

  void panel_shows_a_minor_s_representative() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, PetitINS);
    bool Shown = false;
    auto Answer = AnswerModal<TForm>([&](TForm& Form) {
      Shown = true;
      QCOMPARE(Form.cbLienRL->currentText(), QStringLiteral("Mère"));
      QVERIFY(Form.rbMmeRL->isChecked());
      QCOMPARE(Form.edNomRL->text(), QStringLiteral("PETIT"));
      QCOMPARE(Form.edPrenomRL->text(), QStringLiteral("Claire"));
      QCOMPARE(Form.edVilleRL->text(), QStringLiteral("Bordeaux"));
      QCOMPARE(Form.edTelephoneMobileRL->text(), QStringLiteral("0611223344"));
      Form.btFermer->click();
    });
    Main->mnAdministratifClick();
    QVERIFY(Shown);
  }

  void practitioners_with_access_are_listed() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, MartinINS);
    QStringList Ids;
    auto Answer = AnswerModal<TListePraticiens>([&](TListePraticiens& Form) {
      for (int I = 0; I < Form.ListBox->Count(); ++I) Ids << TListePraticiens::RowTexts(Main->Praticiens[size_t(I)])[2];
      Form.btFermer->click();
    });
    Main->btPraticiensClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    Ids.sort();
    QCOMPARE(Ids, QStringList({"810001234567", "810002345678", "810003456789"}));
    QVERIFY(Boxes.empty());
  }

  // A new mobile sent through the panel reaches the service; the window then
  // offers the patient a web access (accepted: the form opens with it).
  void update_reaches_the_service_and_offers_web_access() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, FaureINS);
    QVERIFY(!Main->DOS->GetInfo()->AccesWeb);
    const size_t Since = Sim.LogSize();
    auto Answer = AnswerModal<TForm>([](TForm& Form) {
      QVERIFY(Form.btUpdateDMP->isEnabled());
      Form.edTelephoneMobile->setText(QStringLiteral("0655443322"));
      Form.edEMail->setText(QStringLiteral("elodie.faure@exemple.fr"));
      Form.btUpdateDMPClick();
    });
    Main->mnAdministratifClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(Boxes, std::vector<QString>{QStringLiteral("Voulez-vous créer un accès Web pour ce patient ?")},
                              30000);
    QTRY_COMPARE_WITH_TIMEOUT(WebAccess, std::vector<std::string>{"elodie.faure@exemple.fr 0655443322"}, 30000);
    ExpectLog(Since, R"PY(
ops = [e.get('operation') for e in requests]
assert 'PRPA_IN201314UV02' in ops, ops
)PY");
    // Read back from the service.
    const Talven::TVoletAdministratif* Panel = nullptr;
    QCOMPARE(Main->DOS->GetVoletAdministratif(Panel), ERR_OK);
    QCOMPARE(Panel->Telecom.Mobile, std::string("0655443322"));
    QCOMPARE(Panel->Telecom.EMail, std::string("elodie.faure@exemple.fr"));
    QCOMPARE(Panel->Identite.NomUsage, std::string("FAURE-LAMBERT"));
  }

  // A record that has a web access gets no offer after a contact change.
  void update_of_a_record_with_web_access_offers_nothing() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, MartinINS);
    QVERIFY(Main->DOS->GetInfo()->AccesWeb);
    auto Answer = AnswerModal<TForm>([](TForm& Form) {
      Form.edTelephoneMobile->setText(QStringLiteral("0611112222"));
      Form.btUpdateDMPClick();
    });
    Main->mnAdministratifClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Main->wAcces, 0);
    QVERIFY(WebAccess.empty());
  }

  // While a host request holds the client core the panel is not read and
  // the form does not open.
  void panel_waits_for_a_free_core() {
    auto Main = LoggedIn();
    QVERIFY(Main);
    OpenRecord(*Main, MartinINS);
    QVERIFY(Main->HoldBusy());
    const size_t Since = Sim.LogSize();
    bool Shown = false;
    auto Answer = AnswerModal<TForm>([&](TForm& Form) {
      Shown = true;
      Form.reject();
    });
    Main->mnAdministratifClick();
    QVERIFY(!Shown);
    Main->ReleaseBusy();
    ExpectLog(Since, "assert not requests, [e.get('operation') for e in requests]");
    Main->mnAdministratifClick();
    QVERIFY(Shown);
    // The read's progress does not stay in the status bar once it is done.
    QCOMPARE(Main->statusBar()->currentMessage(), QStringLiteral("Prêt"));
  }
};

QTEST_MAIN(TDMP2MainVoletPeer)
#include "DMP2Main.Volet.peer.moc"
