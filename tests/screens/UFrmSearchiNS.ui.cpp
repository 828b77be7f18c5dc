// The INS search dialog over the fake core's session, with a recording host
// in place of the main window: the fields read, the search thread and its
// completion, the window's busy flag, and closing during a search.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <thread>

#include "FakeCarvelin.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "UFrmSearchiNS.h"
#include "Vantrel.ComboEdit.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {

struct THost : ISearchINSHost {
  std::shared_ptr<IVaspoCNX> CNX;
  std::vector<int> Errors;
  QStringList Infos, Questions;
  bool Busy = false, BusyInControl = false, BusyAtLoad = true, Answer = true;
  int Control = 40, Controls = 0, Loaded = 0, Closed = 0;
  std::thread::id ControlThread;

  void SubmitSearch(std::function<int()>, std::function<void(int)>) override {}
  void ShowSearchError(int Error) override { Errors.push_back(Error); }
  void ShowSearchInfo(const QString& Text) override { Infos << Text; }
  std::shared_ptr<IVaspoCNX> SearchSession() override { return CNX; }
  void SearchDossierV1(const TPatientInfo&) override {}
  void OpenSearchedDossier(std::function<int(std::shared_ptr<IDossierMedical>&)>, std::function<void()>) override {}
  bool HoldBusy() override {
    if (Busy) return false;
    return Busy = true;
  }
  void ReleaseBusy() override { Busy = false; }
  int ControlINSi(const TINSiResponse&) override {
    ++Controls;
    BusyInControl = Busy;
    ControlThread = std::this_thread::get_id();
    return Control;
  }
  void LoadDossier(std::shared_ptr<IDossierMedical> DOS, const TINSiResponse* INSi) override {
    ++Loaded;
    BusyAtLoad = Busy || !DOS || !INSi;
  }
  bool AskSearchQuestion(const QString& Text) override {
    Questions << Text;
    return Answer;
  }
  void ibCloseCPXClick() override { ++Closed; }
  TImageList* SearchImages() override { return nullptr; }
};

}  // namespace

class TFrmSearchINSTest : public QObject {
  Q_OBJECT
  std::shared_ptr<TFakeCarvelin> Fake;
  THost Host;

  std::unique_ptr<TFrmSearchINS> Form() {
    auto F = std::make_unique<TFrmSearchINS>(nullptr, Host, Fake, Host.CNX);
    F->edNom->setText(QStringLiteral("Casanova"));
    F->edPrenom->setText(QStringLiteral("Ange"));
    F->edDateNaissance->setText(QStringLiteral("07/05/1966"));
    F->edLieu->setText(QStringLiteral("20000 Ajaccio (2A004)"));
    return F;
  }

  std::vector<std::string> Calls(std::string_view Name) {
    std::vector<std::string> Out;
    for (const auto& Call : Fake->Calls())
      if (Call.Name == Name) Out.push_back(Call.Args);
    return Out;
  }

 private slots:
  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    Host = {};
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Host.CNX = CPS;
  }

  void controls_and_texts() {
    const auto F = Form();
    QCOMPARE(F->windowTitle(), QStringLiteral("Recherche d'un patient sans INS"));
    QCOMPARE(F->cbSexe->currentText(), QStringLiteral("Masculin"));
    QCOMPARE(F->cbSexe->itemText(1), QStringLiteral("Féminin"));
    QCOMPARE(F->edLieu->toolTip(), QStringLiteral("Commune de naissance"));
    QVERIFY(F->btSearch->isDefault());
    QVERIFY(F->pbWait->isHidden());
  }

  void read_fields_data() {
    QTest::addColumn<QString>("Nom");
    QTest::addColumn<QString>("Prenom");
    QTest::addColumn<QString>("Date");
    QTest::addColumn<QString>("Lieu");
    QTest::addColumn<QString>("Message");  // empty: accepted
    QTest::addColumn<QString>("Focus");
    QTest::addColumn<QString>("Code");
    const QString Ok;
    QTest::newRow("no name") << " " << "Ange" << "07/05/1966" << "" << "Veuillez renseigner le nom du patient"
                             << "edNom" << "";
    QTest::newRow("no first name") << "Casanova" << "" << "07/05/1966" << ""
                                   << "Veuillez renseigner le prénom du patient" << "edPrenom" << "";
    QTest::newRow("31 February") << "Casanova" << "Ange" << "31/02/1966" << "" << "Date de naissance invalide"
                                 << "edDateNaissance" << "";
    QTest::newRow("no date") << "Casanova" << "Ange" << "" << "" << "Date de naissance invalide"
                             << "edDateNaissance" << "";
    QTest::newRow("Corsica A") << "Casanova" << "Ange" << "7/5/66" << "Ajaccio (2A004)" << Ok << "" << "2A004";
    QTest::newRow("Corsica B, text after") << "Casanova" << "Ange" << "07051966" << "20200 Bastia (2B033) Corse"
                                           << Ok << "" << "2B033";
    QTest::newRow("name alone") << "Casanova" << "Ange" << "07/05/1966" << "Paris" << Ok << "" << "";
    QTest::newRow("code cut short") << "Casanova" << "Ange" << "07/05/1966" << "Lyon (6938" << Ok << "" << "";
    QTest::newRow("code without ')'") << "Casanova" << "Ange" << "07/05/1966" << "Lyon (69123" << Ok << ""
                                      << "69123";
    QTest::newRow("code alone") << "Casanova" << "Ange" << "07/05/1966" << "75056" << Ok << "" << "75056";
    QTest::newRow("2C is no code") << "Casanova" << "Ange" << "07/05/1966" << "X (2C004)" << Ok << "" << "";
  }
  void read_fields() {
    QFETCH(QString, Nom);
    QFETCH(QString, Prenom);
    QFETCH(QString, Date);
    QFETCH(QString, Lieu);
    QFETCH(QString, Message);
    QFETCH(QString, Focus);
    QFETCH(QString, Code);
    const auto F = Form();
    F->show();
    F->edNom->setText(Nom);
    F->edPrenom->setText(Prenom);
    F->edDateNaissance->setText(Date);
    F->edLieu->setText(Lieu);
    F->btCancel->setFocus();
    QCOMPARE(F->ReadFields(), Message.isEmpty());
    QCOMPARE(Host.Infos, Message.isEmpty() ? QStringList() : QStringList{Message});
    if (!Message.isEmpty()) {
      QCOMPARE(F->focusWidget()->objectName(), Focus);
      return;
    }
    QCOMPARE(F->Lieu, Code.toStdString());
    QCOMPARE(F->Nom, std::string("Casanova"));
    QCOMPARE(Vantrel::FormatDateTime("yyyy-mm-dd", F->DNais), std::string("1966-05-07"));
    QCOMPARE(F->Sexe, 'M');
  }

  void date_is_rewritten_on_leaving_data() {
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<QString>("Shown");
    QTest::newRow("one-digit day and month, two-digit year") << "7/5/66" << "07/05/1966";
    QTest::newRow("digits only") << "07051966" << "07/05/1966";
    QTest::newRow("year first") << "1966-05-07" << "07/05/1966";
    QTest::newRow("not a date: kept") << "le 7 mai" << "le 7 mai";
  }
  void date_is_rewritten_on_leaving() {
    QFETCH(QString, Typed);
    QFETCH(QString, Shown);
    const auto F = Form();
    F->show();
    F->edDateNaissance->setFocus();
    F->edDateNaissance->setText(Typed);
    QVERIFY(QTest::qWaitForWindowActive(F.get()));
    F->edNom->setFocus();  // leaving the field
    QTRY_COMPARE(F->edDateNaissance->text(), Shown);
  }

  void a_confirmed_search_opens_the_record_without_the_busy_flag() {
    const auto F = Form();
    F->cbSexe->setCurrentIndex(1);
    F->open();
    F->btSearchClick();
    QVERIFY(F->Searching());
    QVERIFY(Host.Busy);
    QVERIFY(!F->pnInput->isEnabled());
    QVERIFY(F->pbWait->isVisible());
    F->btSearchClick();  // the search button does nothing meanwhile
    QTRY_VERIFY_WITH_TIMEOUT(!F->Searching(), 10000);
    QCOMPARE(Calls("rechercherInsAvecTraitsIdentite"),
             std::vector<std::string>{"\"Casanova\" \"Ange\" F 1966-05-07 \"2A004\""});
    QCOMPARE(Host.Controls, 1);
    QCOMPARE(Host.ControlThread, std::this_thread::get_id());  // handed to this thread
    QVERIFY(Host.BusyInControl);
    QCOMPARE(Calls("DossierExiste").size(), size_t(1));
    QCOMPARE(Host.Questions.size(), 1);
    QVERIFY2(Host.Questions[0].startsWith(QStringLiteral("Voulez-vous accéder au DMP de ")),
             qPrintable(Host.Questions[0]));
    QCOMPARE(Host.Loaded, 1);
    QVERIFY(!Host.BusyAtLoad);  // released first, so the window's document job can start
    QCOMPARE(F->result(), int(QDialog::Accepted));
    QVERIFY(Host.Errors.empty());
  }

  void outcomes_that_keep_the_dialog_open_data() {
    QTest::addColumn<int>("SearchError");
    QTest::addColumn<int>("Control");
    QTest::addColumn<int>("DossierError");
    QTest::addColumn<bool>("Answer");
    QTest::addColumn<std::vector<int>>("Errors");
    QTest::addColumn<int>("Questions");
    QTest::newRow("identity check cancelled: nothing shown") << 0 << 0 << 0 << true << std::vector<int>{} << 0;
    QTest::newRow("teleservice error") << ERR_CONNEXION << 40 << 0 << true << std::vector<int>{ERR_CONNEXION} << 0;
    QTest::newRow("record lookup error") << 0 << 8 << ERR_CONNEXION << true << std::vector<int>{ERR_CONNEXION} << 0;
    QTest::newRow("record refused by the user") << 0 << 4 << 0 << false << std::vector<int>{} << 1;
  }
  void outcomes_that_keep_the_dialog_open() {
    QFETCH(int, SearchError);
    QFETCH(int, Control);
    QFETCH(int, DossierError);
    QFETCH(bool, Answer);
    QFETCH(std::vector<int>, Errors);
    QFETCH(int, Questions);
    if (SearchError) Fake->Script("rechercherInsAvecTraitsIdentite", {.Code = SearchError});
    if (DossierError) Fake->Script("DossierExiste", {.Code = DossierError});
    Host.Control = Control;
    Host.Answer = Answer;
    const auto F = Form();
    F->open();
    F->btSearchClick();
    QTRY_VERIFY_WITH_TIMEOUT(!F->Searching(), 10000);
    QCOMPARE(Host.Errors, Errors);
    QCOMPARE(Host.Questions.size(), Questions);
    QCOMPARE(Host.Loaded, 0);
    QCOMPARE(Calls("DossierExiste").empty(), Control == 0 || SearchError != 0);
    QVERIFY(F->isVisible());
    QVERIFY(F->pnInput->isEnabled());
    QVERIFY(F->pbWait->isHidden());
    QVERIFY(!Host.Busy);
  }

  void a_search_while_the_window_is_busy_is_refused() {
    Host.Busy = true;
    const auto F = Form();
    F->btSearchClick();
    QVERIFY(!F->Searching());
    QVERIFY(F->pnInput->isEnabled());
    QVERIFY(Calls("rechercherInsAvecTraitsIdentite").empty());
    QVERIFY(Host.Busy);  // still the other holder's
  }

  void a_card_change_closes_the_card_session_and_the_dialog() {
    Fake->Script("rechercherInsAvecTraitsIdentite", {.Code = ERR_CHANGEMENT_CARTE});
    const auto F = Form();
    F->open();
    F->btSearchClick();
    QTRY_VERIFY_WITH_TIMEOUT(!F->Searching(), 10000);
    QCOMPARE(Host.Errors, std::vector<int>{ERR_CHANGEMENT_CARTE});
    QCOMPARE(Host.Closed, 1);
    QVERIFY(!F->isVisible());
    QCOMPARE(F->result(), int(QDialog::Rejected));
    QVERIFY(!Host.Busy);
  }

  void closing_during_a_search_waits_for_it_and_skips_the_rest() {
    Fake->Script("rechercherInsAvecTraitsIdentite", {.Delay = std::chrono::milliseconds(500)});
    auto F = Form();
    F->btSearchClick();
    QElapsedTimer Clock;
    Clock.start();
    F.reset();
    QVERIFY(Clock.elapsed() >= 400);  // the query ended first
    QCOMPARE(Host.Controls, 0);
    QVERIFY(Calls("DossierExiste").empty());
    QVERIFY(!Host.Busy);
  }

  void closing_while_the_search_waits_on_this_thread_does_not_hang() {
    auto F = Form();
    F->btSearchClick();
    // The thread's identity check is queued to this thread, which does not
    // serve it before the dialog goes.
    const QDeadlineTimer Deadline(10000);
    while (Calls("rechercherInsAvecTraitsIdentite").empty() && !Deadline.hasExpired()) QThread::msleep(10);
    QThread::msleep(300);
    F.reset();
    QCOMPARE(Host.Controls, 0);
    QVERIFY(Calls("DossierExiste").empty());
    QVERIFY(!Host.Busy);
  }

  void communes_read_data() {
    QTest::addColumn<QString>("Body");
    QTest::addColumn<QStringList>("Captions");
    QTest::newRow("two") << "[{\"cp\":\"20000\",\"nom\":\"Ajaccio\",\"code\":\"2A004\"},"
                            "{\"cp\":\"94240\",\"nom\":\"L'Haÿ-les-Roses\",\"code\":\"94038\",\"autre\":1}]"
                         << QStringList{"20000 Ajaccio (2A004)", "94240 L'Haÿ-les-Roses (94038)"};
    QTest::newRow("empty array") << "[]" << QStringList{};
    QTest::newRow("empty body") << "" << QStringList{};
    QTest::newRow("blank body") << " \r\n" << QStringList{};
    QTest::newRow("malformed") << "[{\"cp\":\"20000\",\"nom\":\"Aja" << QStringList{};
    QTest::newRow("HTML page") << "<!DOCTYPE html><html><body>Erreur</body></html>" << QStringList{};
    QTest::newRow("an object") << "{\"cp\":\"20000\",\"nom\":\"Ajaccio\",\"code\":\"2A004\"}" << QStringList{};
  }
  void communes_read() {
    QFETCH(QString, Body);
    QFETCH(QStringList, Captions);
    QStringList Got;
    for (const TCommune& C : ReadCommunes(Body.toStdString())) Got << C.Caption();
    QCOMPARE(Got, Captions);
  }

  void no_maker_no_lookup() {
    // The default hosts have no maker: the list stays empty, no request.
    const auto F = Form();
    F->edLieu->setText(QStringLiteral("Ajac"));
    F->Combo->UpdateList();
    QCOMPARE(F->Combo->count(), 0);
    QVERIFY(F->FCommunes.empty());
    QVERIFY(FetchCommunes("http://127.0.0.1:9", "Ajaccio", "").empty());  // never in clear
  }
};

QTEST_MAIN(TFrmSearchINSTest)
#include "UFrmSearchiNS.ui.moc"
