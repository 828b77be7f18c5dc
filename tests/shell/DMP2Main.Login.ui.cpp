// The main window's card login, activity choice and Vitale card flows,
// driven with the scripted fake core and scripted dialogs.
#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>
#include <map>
#include <filesystem>
#include <thread>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "FakeCarvelin.h"
#include "ImageColours.h"
#include "ModalAnswer.h"
#include "UBeneficiaires.h"
#include "UCodePIN.h"
#include "UFrmQualificationINSi.h"
#include "ULoadCertificat.h"
#include "Vantrel.ImageButtons.h"
#include "Vantrel.SysUtils.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

namespace {

constexpr std::string_view Holder = "899700218896";

struct TBox {
  QString Text, Informative, Detail;
};

struct TTypedPin {
  std::string Code;
  bool Save = false;
};

}  // namespace

class TDMP2MainLoginTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  std::vector<TBox> Boxes;
  std::deque<TTypedPin> Pins;  // typed in the PIN dialog; none left = cancelled
  std::function<void()> OnPinDialog;
  int StructureChoice = -1, StructuresAsked = 0;
  int Qualification = 3;
  bool RealQualification = false;  // the program's dialog instead of Qualification
  std::vector<std::thread::id> QualificationThreads;

  std::vector<std::string> CallNames() const {
    std::vector<std::string> Names;
    for (const TestSupport::TFakeCall& C : Fake->Calls()) Names.push_back(C.Name);
    return Names;
  }
  size_t CallCount(std::string_view Name) const {
    const std::vector<std::string> Names = CallNames();
    return size_t(std::count(Names.begin(), Names.end(), Name));
  }
  void WaitForJobs() { QTRY_COMPARE(Main->LiveTasks(), 0); }

  void LogIn() {
    Pins = {{"1234", false}};
    StructureChoice = 0;
    Main->ibCarteCPSClick();
    WaitForJobs();
    QVERIFY(Main->CPx && Main->CPx->SelectedActivite() >= 0);
    Fake->Core->ClearCalls();
  }

  TScreens ScriptedScreens() {
    TScreens S = TScreens::Unavailable();
    S.GetCodePIN = [this](QWidget* Sender, IVaspoCPS& CPS, Vantrel::TIniFile& Ini, TCodePIN& Pin) {
      if (CPS.PinCount() == 3 && !RememberedPIN(Ini, Holder).empty())
        return TFrmCodePIN::GetCodePIN(Sender, CPS, Ini, Pin);  // answers without a dialog
      if (OnPinDialog) OnPinDialog();
      if (Pins.empty()) return false;
      Pin.Code = Pins.front().Code;
      Pin.Save = Pins.front().Save;
      Pins.pop_front();
      return true;
    };
    S.StructuresSelect = [this](QWidget*, IVaspoCPS&, Vantrel::TIniFile&) {
      ++StructuresAsked;
      return StructureChoice;
    };
    S.BeneficiairesSelect = [](QWidget*, IVaspoCSV&) { return 0; };
    S.LoadCertificatExecute = [this](QWidget*, ICarvelin&, const Carvelin::TCertificat&,
                                     std::shared_ptr<IVaspoCRT>& CRT) {
      CRT = Fake->NewCertificateSession();
      return true;
    };
    S.ChoixPraticienExecute = [this](QWidget*, IVaspoCRT&, const TActivite&, TVaspoPraticien& Praticien) {
      return Main->Database.LoadPraticien(std::string(Holder), Praticien);
    };
    S.QualificationINSiExecute = [this](QWidget* Sender, const TINSiResponse& Answer) {
      QualificationThreads.push_back(std::this_thread::get_id());
      return RealQualification ? TScreens::Program().QualificationINSiExecute(Sender, Answer) : Qualification;
    };
    return S;
  }

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
    TLogMessage::Create()->hide();
  }

  void init() {
    Boxes.clear();
    Pins.clear();
    OnPinDialog = nullptr;
    StructureChoice = -1;
    StructuresAsked = 0;
    Qualification = 3;
    RealQualification = false;
    QualificationThreads.clear();
    TLogMessage::Instance()->Memo1->clear();
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back({Box.text(), Box.informativeText(), Box.detailedText()});
      return int(QMessageBox::Ok);
    });
    QFile::remove(Dir.filePath("Carvelin2.ini"));
    QFile::remove(Dir.filePath("Carvelin2.db3"));
    TDMPMainOptions Options;
    Options.SettingsFile = Dir.filePath("Carvelin2.ini").toStdString();
    Options.DatabaseFile = Dir.filePath("Carvelin2.db3").toStdString();
    Options.Screens = ScriptedScreens();
    Options.Clock = [] {
      Vantrel::TDateTime Today = 0;
      Vantrel::TryEncodeDate(2025, 3, 15, Today);
      return Today + 0.5;
    };
    Fake = std::make_shared<TFakeCarvelin>();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
    SetMessageBoxHook(nullptr);
  }

  void controls_have_names_hints_and_start_state() {
    const QStringList Names = {"pbWait",      "ibCarteCPS", "ibCSV",        "ibHelp",     "ibStats",
                               "ibAppVitale", "edINSC",     "ibINSC",       "pnCPX",      "ibCPX",
                               "lbPraticien", "lbProfession", "ibSearchPat", "ibPortailDMP", "ibCloseCPX",
                               "ibSearchDMP", "ibSearchINS", "ppCertificats", "ppVitale",  "imDMP"};
    for (const QString& Name : Names) {
      auto* W = Main->findChild<QWidget*>(Name);
      QVERIFY2(W, qPrintable(Name));
      if (qobject_cast<Vantrel::TImageButton*>(W)) {
        QVERIFY2(!W->toolTip().isEmpty(), qPrintable(Name));
        QCOMPARE(W->accessibleName(), W->toolTip());
      }
    }
    QCOMPARE(Main->ibCSV->toolTip(), QStringLiteral("Lire la carte Vitale"));
    QVERIFY(!Main->ibCSV->isEnabled());
    QVERIFY(!Main->ibAppVitale->isEnabled());
    QCOMPARE(Main->ibAppVitale->ImageIndex(), 43);
    QVERIFY(Main->edINSC->isHidden() && Main->ibINSC->isHidden() && Main->pnCPX->isHidden());
    QCOMPARE(Main->edINSC->placeholderText(), QStringLiteral("Recherche par INS"));
    QCOMPARE(Main->ppCertificats->actions().size(), 2);
    QCOMPARE(Main->ppVitale->actions().size(), 1);
  }

  // The stored practitioner's structure chooses the activity: none found
  // asks the user, several give the last of them.
  void login_selects_the_activity_data() {
    QTest::addColumn<QString>("Stored");
    QTest::addColumn<bool>("SameStructure");
    QTest::addColumn<int>("Asked");
    QTest::addColumn<int>("Selected");
    QTest::newRow("nothing stored") << QString() << false << 1 << 0;
    QTest::newRow("matches none") << "1234567890" << false << 1 << 0;
    QTest::newRow("matches one") << "1750000000" << false << 0 << 1;
    QTest::newRow("matches several") << "1750000000" << true << 0 << 1;
  }
  void login_selects_the_activity() {
    QFETCH(QString, Stored);
    QFETCH(bool, SameStructure);
    QFETCH(int, Asked);
    QFETCH(int, Selected);
    if (SameStructure) Fake->Core->Data.Activites[0].IdNational = "1750000000";
    if (!Stored.isEmpty()) {
      TVaspoPraticien P;
      P.IdNational = Holder;
      P.Nom = "MEDECIN";
      P.idStruct = Stored.toStdString();
      Main->Database.SavePraticien(P);
    }
    LogIn();
    QCOMPARE(StructuresAsked, Asked);
    QCOMPARE(Main->CPx->SelectedActivite(), Selected);
    QCOMPARE(Main->lbPraticien->text(), QStringLiteral("MEDECIN ANNE (899700218896)"));
    const TActivite& A = Fake->Core->Data.Activites[size_t(Selected)];
    QCOMPARE(Main->lbProfession->text(), QString::fromStdString(A.RaisonSociale + " (" + A.IdNational + ")"));
    QVERIFY(!Main->pnCPX->isHidden());
    QVERIFY(Main->ibCSV->isEnabled() && Main->ibAppVitale->isEnabled());
    QCOMPARE(Main->ibAppVitale->ImageIndex(), 42);
    QVERIFY(!Main->edINSC->isHidden());
    QCOMPARE(Main->ibCPX->ImageIndex(), 1);
    TVaspoPraticien Saved;
    QVERIFY(Main->Database.LoadPraticien(Holder, Saved));
    QCOMPARE(Saved.idStruct, A.IdNational);
    QCOMPARE(Saved.Nom, std::string("MEDECIN"));
    QVERIFY(Boxes.empty());
  }

  // Changing the activity from the bar is a choice like the login's: the
  // practitioner's row and the Vitale buttons follow it.
  void activity_changed_from_the_bar_is_stored() {
    LogIn();
    StructureChoice = 1;
    Main->ibCPXClick();
    QCOMPARE(StructuresAsked, 2);
    QCOMPARE(Main->CPx->SelectedActivite(), 1);
    const TActivite& A = Fake->Core->Data.Activites[1];
    QCOMPARE(Main->lbProfession->text(), QString::fromStdString(A.RaisonSociale + " (" + A.IdNational + ")"));
    QCOMPARE(Main->FPraticien.idStruct, A.IdNational);
    TVaspoPraticien Saved;
    QVERIFY(Main->Database.LoadPraticien(Holder, Saved));
    QCOMPARE(Saved.idStruct, A.IdNational);
    QVERIFY(Main->ibCSV->isEnabled());
    QVERIFY(Boxes.empty());
  }

  void card_texts_show_literally() {
    Fake->Core->Data.Porteur.Nom = "<b>MEDECIN</b>";
    Fake->Core->Data.Activites[0].RaisonSociale = "<i>CABINET</i>";
    LogIn();
    for (const QLabel* Label : {Main->lbPraticien, Main->lbProfession}) {
      QVERIFY(Label->text().contains(QStringLiteral("</")));
      // Markup would be drawn without its tags, narrower than the text.
      QVERIFY(Label->sizeHint().width() >= Label->fontMetrics().horizontalAdvance(Label->text()));
    }
  }

  void activity_choice_cancelled_ends_without_activity() {
    Pins = {{"1234", false}};
    Main->ibCarteCPSClick();
    WaitForJobs();
    QCOMPARE(StructuresAsked, 1);
    QCOMPARE(Main->CPx->SelectedActivite(), -1);
    QVERIFY(!Main->ibCSV->isEnabled());
    QVERIFY(!Main->pnCPX->isHidden());  // logged in, without activity
  }

  // The card's last valid day already counts as expired.
  void card_validity_gates_the_vitale_buttons_data() {
    QTest::addColumn<QString>("End");
    QTest::addColumn<bool>("Valid");
    QTest::newRow("last day is today") << "20250315" << false;
    QTest::newRow("last day is tomorrow") << "20250316" << true;
  }
  void card_validity_gates_the_vitale_buttons() {
    QFETCH(QString, End);
    QFETCH(bool, Valid);
    Fake->Core->Data.Carte.FinValidite = End.toStdString();
    LogIn();
    QCOMPARE(Main->ibCSV->isEnabled(), Valid);
    QCOMPARE(Main->edINSC->isHidden(), !Valid);
    if (Valid) {
      QVERIFY(Boxes.empty());
    } else {
      QCOMPARE(Boxes.size(), size_t(1));
      QCOMPARE(Boxes[0].Text, QStringLiteral("Cette carte n'est plus valide depuis le 15/03/2025"));
    }
    TVaspoPraticien Saved;  // the activity is stored either way
    QVERIFY(Main->Database.LoadPraticien(Holder, Saved));
    QCOMPARE(Saved.idStruct, Fake->Core->Data.Activites[0].IdNational);
  }

  // A ticked box remembers the PIN only once the card accepted it.
  void wrong_pin_asks_again_and_only_the_accepted_pin_is_remembered() {
    Pins = {{"0000", true}, {"1234", true}};
    StructureChoice = 0;
    int Dialogs = 0;
    OnPinDialog = [&] {
      if (++Dialogs == 2) QVERIFY(!HasRememberedPIN(*Main->INI, Holder));
    };
    Main->ibCarteCPSClick();
    WaitForJobs();
    QCOMPARE(Dialogs, 2);
    QCOMPARE(Boxes.size(), size_t(1));
    QCOMPARE(Boxes[0].Informative, QString::fromUtf8(ErrorMessage(ERR_CODE_INVALIDE).data()));
    QCOMPARE(CallCount("SetCode"), size_t(2));
    QCOMPARE(RememberedPIN(*Main->INI, Holder), std::string("1234"));
    Vantrel::TIniFile OnDisk(Dir.filePath("Carvelin2.ini").toStdString());
    QCOMPARE(RememberedPIN(OnDisk, Holder), std::string("1234"));
    QVERIFY(Main->Code.empty());
    QVERIFY(!TLogMessage::Instance()->Memo1->toPlainText().contains(QStringLiteral("1234")));
  }

  void wrong_pin_with_box_ticked_remembers_nothing() {
    Pins = {{"0000", true}};  // the second dialog is cancelled
    Main->ibCarteCPSClick();
    WaitForJobs();
    QVERIFY(!HasRememberedPIN(*Main->INI, Holder));
    QVERIFY(Main->Code.empty());
  }

  void remembered_pin_refused_by_the_card_is_forgotten() {
    RememberPIN(*Main->INI, Holder, "9999");
    Pins = {{"1234", false}};
    StructureChoice = 0;
    Main->ibCarteCPSClick();
    WaitForJobs();
    QVERIFY(!HasRememberedPIN(*Main->INI, Holder));
    QCOMPARE(CallCount("SetCode"), size_t(2));
    QCOMPARE(Main->CPx->SelectedActivite(), 0);
  }

  void cancelled_pin_closes_the_session_and_tells_the_hosts() {
    Main->ibCarteCPSClick();  // no PIN given
    WaitForJobs();
    QVERIFY(!Main->CNX && !Main->CPx);
    QVERIFY(Main->pnCPX->isHidden());
    QCOMPARE(CallCount("SetCode"), size_t(0));
    QVERIFY(Boxes.empty());
    QTRY_VERIFY(TLogMessage::Instance()->Memo1->toPlainText().contains(
        QStringLiteral("SEND> [*ALL] 40967 : Code de la carte CPS non renseigné")));
  }

  void second_card_reading_while_one_runs_is_ignored() {
    Fake->Script("GetCPS", {std::chrono::milliseconds(300)});
    Main->ibCarteCPSClick();
    Main->ibCarteCPSClick();
    WaitForJobs();
    QCOMPARE(CallCount("GetCPS"), size_t(1));
  }

  void closing_the_session_resets_the_bar() {
    LogIn();
    Main->ibCloseCPXClick();
    QVERIFY(!Main->CNX && !Main->CPx);
    QVERIFY(Main->pnCPX->isHidden() && Main->edINSC->isHidden());
    QVERIFY(!Main->ibCSV->isEnabled());
    QCOMPARE(Main->ibAppVitale->ImageIndex(), 43);
    QVERIFY(Main->FPraticien.IdNational.empty());
  }

  // A certificate session gives the practitioner's favourites to the
  // document frame, as a card login does.
  void certificate_session_gives_the_favourites_to_the_frame() {
    TVaspoPraticien Stored;
    Stored.IdNational = std::string(Holder);
    Stored.Nom = "MARTIN";
    Stored.codeStruct = "SA07";
    Stored.idStruct = "10B0152872";
    Stored.Favoris = "11502-2|";
    Main->Database.SavePraticien(Stored);
    Main->FCerts.resize(1);
    Main->FCerts[0].Nom = "Cabinet";
    Main->OnCertificat(0);
    QVERIFY(Boxes.empty());
    QVERIFY(!Main->pnCPX->isHidden());
    QCOMPARE(Main->ibCPX->ImageIndex(), 33);
    QCOMPARE(Main->Documents->GetFavoris(), std::string("11502-2|"));
  }

  // The program's password form: a loader that raises is shown as the
  // client core's exception with its text, the form stays open and no
  // session is handed over.
  void program_certificate_form_shows_a_raising_loader() {
    Carvelin::TCertificat Pair;
    Pair.Nom = "Cabinet";
    Fake->Script("LoadCertificat", TFakeAnswer{.Detail = "TODO !", .Raise = true});
    bool StayedOpen = false;
    auto Answer = AnswerModal<TLoadCertificat>([&StayedOpen](TLoadCertificat& Form) {
      Form.edAuthPwd->setText("secret");
      Form.btOK->click();
      StayedOpen = Form.isVisible();
      Form.btCancel->click();
    });
    std::shared_ptr<IVaspoCRT> CRT = Fake->NewCertificateSession();
    QVERIFY(!TScreens::Program().LoadCertificatExecute(Main.get(), *Fake, Pair, CRT));
    QVERIFY(StayedOpen);
    QVERIFY(!CRT);
    QCOMPARE(Boxes.size(), size_t(1));
    const std::string_view Message = Fake->GetErrMsg(ERR_EXCEPTION);
    QCOMPARE(Boxes[0].Informative, QString::fromUtf8(Message.data(), qsizetype(Message.size())));
    QCOMPARE(Boxes[0].Detail, QStringLiteral("TODO !"));
  }

  void recent_cards_keep_six_and_move_a_card_read_again() {
    for (int I = 1; I <= 7; ++I) Main->AddCSVPopup("CARTE " + std::to_string(I), "<x/>", 0);
    auto Captions = [this] {
      QStringList C;
      for (QAction* A : Main->ppVitale->actions()) C << A->text();
      return C;
    };
    QCOMPARE(Captions(), QStringList({"Lire la carte Vitale", "CARTE 7", "CARTE 6", "CARTE 5", "CARTE 4", "CARTE 3",
                                      "CARTE 2"}));
    Main->AddCSVPopup("CARTE 4", "<x/>", 0);
    QCOMPARE(Captions(), QStringList({"Lire la carte Vitale", "CARTE 4", "CARTE 7", "CARTE 6", "CARTE 5", "CARTE 3",
                                      "CARTE 2"}));
    Main->AddCSVPopup("CARTE 4", "<x/>", 1);  // another card type is another card
    QCOMPARE(Captions().value(1), QStringLiteral("CARTE 4"));
    QCOMPARE(Captions().value(2), QStringLiteral("CARTE 4"));
    QCOMPARE(Captions().size(), 7);
  }

  // The identity check of the job runs on the user-interface thread; a
  // cancelled check ends the lookup without a word.
  void vitale_reading_checks_the_identity_data() {
    QTest::addColumn<int>("Answer");
    QTest::addColumn<bool>("Looked");
    QTest::newRow("qualified") << 3 << true;
    QTest::newRow("cancelled") << -1 << false;
    QTest::newRow("not qualified") << 2 << false;
  }
  void vitale_reading_checks_the_identity() {
    QFETCH(int, Answer);
    QFETCH(bool, Looked);
    LogIn();
    Qualification = Answer;
    Main->ibCSVClick();
    WaitForJobs();
    QCOMPARE(QualificationThreads, std::vector<std::thread::id>{std::this_thread::get_id()});
    const std::vector<TestSupport::TFakeCall> Calls = Fake->Calls();
    std::vector<std::string> Names;
    for (const auto& C : Calls) {
      Names.push_back(C.Name);
      if (C.Name == "rechercherInsAvecCarteVitale" || C.Name == "DossierExiste" || C.Name == "GetCSV")
        QVERIFY(C.Thread != std::this_thread::get_id());
    }
    const std::vector<std::string> Steps = {"GetCSV", "Verify", "rechercherInsAvecCarteVitale", "DossierExiste"};
    std::vector<std::string> Relevant;
    for (const std::string& N : Names)
      if (std::find(Steps.begin(), Steps.end(), N) != Steps.end()) Relevant.push_back(N);
    const std::vector<std::string> Expected(Steps.begin(), Steps.end() - (Looked ? 0 : 1));
    QCOMPARE(Relevant, Expected);
    QCOMPARE(bool(Main->DOS), Looked);
    QVERIFY(Boxes.empty());
    QCOMPARE(Main->ppVitale->actions().value(1)->text(), QStringLiteral("DUPONT MARIE"));
  }

  void qualified_local_patient_skips_the_dialog() {
    TVaspoPatient P;
    P.Nom = "DUPONT";
    P.INSC = "279035121518989T";
    P.INSiStatus = 4;
    Main->Database.SavePatient(P);
    LogIn();
    Main->ibCSVClick();
    WaitForJobs();
    QVERIFY(QualificationThreads.empty());
    QVERIFY(Main->DOS);
  }

  // A card of a patient known here but not yet qualified: the identity
  // check is answered in the program's dialog, the patient row keeps the
  // teleservice's identity block with the check's value, and the record opens.
  void unqualified_patient_is_checked_then_opened_data() {
    QTest::addColumn<int>("Lookup");  // the record lookup's result
    QTest::newRow("record found") << int(ERR_OK);
    QTest::newRow("lookup failed") << int(ERR_GENERAL);
  }
  void unqualified_patient_is_checked_then_opened() {
    QFETCH(int, Lookup);
    TVaspoPatient P;
    P.Nom = "DUPONT";
    P.INSC = "279035121518989T";
    Main->Database.SavePatient(P);
    LogIn();
    if (Lookup != ERR_OK) Fake->Script("DossierExiste", {.Code = Lookup});
    RealQualification = true;
    const auto Dialog = AnswerModal<TFrmQualificationINSi>([](TFrmQualificationINSi& Form) {
      Form.Documents1->button(3)->click();  // a minor's family book
      Form.Documents2->button(1)->click();  // and the guardian's passport
      Form.Button1->click();
    });
    Main->ibCSVClick();
    WaitForJobs();
    QCOMPARE(QualificationThreads.size(), size_t(1));
    QCOMPARE(bool(Main->DOS), Lookup == ERR_OK);
    QProcess Sqlite;
    Sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-separator"), QStringLiteral("|"),
                                             Dir.filePath("Carvelin2.db3"),
                                             QStringLiteral("SELECT INSi, INSiDate, INSiStatus FROM Patients;")});
    QVERIFY(Sqlite.waitForFinished(60000));
    QCOMPARE(Sqlite.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(Sqlite.readAllStandardOutput()),
             QStringLiteral("<Individu><Identite><NomNaissance>DUPONT</NomNaissance></Identite></Individu>|"
                            "2025-03-15 12:00:00|40\n"));
  }

  void shift_press_saves_the_card_and_skips_the_click() {
    LogIn();
    std::shared_ptr<IVaspoCSV> Card;
    QCOMPARE(Fake->GetCSV(Card), ERR_OK);
    Main->CSV = Card;
    Fake->Core->ClearCalls();
    const std::string File = VitaleXMLFile();
    std::filesystem::remove(File);
    Main->ibCSVMouseDown(Qt::LeftButton, Qt::ShiftModifier);
    Main->ibCSVClick();
    WaitForJobs();
    std::string_view XML;
    Card->GetXML(XML);
    QCOMPARE(Vantrel::FileToBytes(File), std::string(XML));
    std::filesystem::remove(File);
    QCOMPARE(Boxes.size(), size_t(1));
    QCOMPARE(Boxes[0].Text, QStringLiteral("Carte vitale enregistrée dans le fichier Vitale.xml"));
    QCOMPARE(CallCount("GetCSV"), size_t(0));
    Main->ibCSVClick();  // the next click reads again
    WaitForJobs();
    QCOMPARE(CallCount("GetCSV"), size_t(1));
  }

  void missing_reader_library_is_not_fetched() {
    LogIn();
    Main->INI->WriteString("Services", "ApiLecture", "/opt/lecteur/libapi_lec.so.6.2.1.0");
    Fake->Script("GetCSV", {.Code = ERR_API_LECTURE, .Detail = "dlopen failed"});
    Main->ibCSVClick();
    WaitForJobs();
    QCOMPARE(CallCount("GetCSV"), size_t(1));
    QCOMPARE(CallCount("SetApiLecture"), size_t(0));
    QCOMPARE(Boxes.size(), size_t(1));
    QCOMPARE(Boxes[0].Informative, QString::fromUtf8(ErrorMessage(ERR_API_LECTURE).data()));
    QCOMPARE(Boxes[0].Detail, QStringLiteral("/opt/lecteur/libapi_lec.so.6.2.1.0"));
  }

  void card_file_read_with_ctrl_goes_through_the_root() {
    LogIn();
    const QString File = Dir.filePath("carte.xml");
    QVERIFY(Vantrel::UTF8ToFile(File.toStdString(), "<CARTE_VITALE/>"));
    Main->AskVitaleFile = [&](QWidget*) { return File; };
    Qualification = -1;
    Main->ibCSVClick(Qt::ControlModifier);
    WaitForJobs();
    const std::vector<TestSupport::TFakeCall> Calls = Fake->Calls();
    QVERIFY(!Calls.empty());
    QCOMPARE(Calls[0].Name, std::string("SetCSV"));
    QCOMPARE(Calls[0].Args, std::string("15 bytes"));
    QCOMPARE(CallCount("Verify"), size_t(0));  // a file is not checked against a reader
    QCOMPARE(Main->CSV->GetCardType(), uint16_t(4096));
    QCOMPARE(QualificationThreads.size(), size_t(1));
  }

  // Every image button a state shows has a picture of several colours, and
  // no two commands of one bar look alike: idle, logged in, record open.
  void image_buttons_show_distinct_coloured_pictures() {
    Main->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main.get()));
    const auto Check = [this](const char* State) {
      std::map<QWidget*, std::vector<std::pair<QString, QImage>>> Bars;
      for (Vantrel::TImageButton* B : Main->findChildren<Vantrel::TImageButton*>()) {
        if (!B->isVisibleTo(Main.get())) continue;
        const QString Name = QStringLiteral("%1: %2").arg(QLatin1String(State), B->objectName());
        QVERIFY2(B->Images(), qPrintable(Name));
        const QImage Image = B->Images()->Image(B->ImageIndex());
        QVERIFY2(!Image.isNull(), qPrintable(Name));
        QVERIFY2(DistinctColours(Image) >= 4, qPrintable(Name));
        QWidget* Bar = B->parentWidget() == Main->pnCPX ? Main->pnCPX->parentWidget() : B->parentWidget();
        for (const auto& [Other, OtherImage] : Bars[Bar])
          QVERIFY2(OtherImage != Image, qPrintable(Name + QStringLiteral(" = ") + Other));
        Bars[Bar].emplace_back(B->objectName(), Image);
      }
    };
    Check("idle");
    LogIn();
    Check("logged in");
    Main->ibCSVClick();
    WaitForJobs();
    QVERIFY(Main->pnCSV->isVisible());
    Check("record open");
  }

  // A typed INS shows whole at the designed width and at the narrowest
  // width the window allows.
  void ins_box_shows_a_whole_ins() {
    LogIn();
    Main->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main.get()));
    QLineEdit* Box = Main->edINSC;
    QTest::keyClicks(Box, QStringLiteral("279035121518989"));
    QCOMPARE(Box->text(), QStringLiteral("279035121518989"));
    const int Frame = 2 * Box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, Box);
    for (int Width : {1000, 1}) {
      Main->resize(Width, Main->height());
      QTRY_VERIFY(Main->width() == std::max(Width, Main->minimumSizeHint().width()));
      const QString Name = QString::number(Main->width());
      QVERIFY2(Box->isVisible(), qPrintable(Name));
      // 16 characters of the box's font, between its frame and margins.
      const int Text = Box->fontMetrics().horizontalAdvance(QStringLiteral("279035121518989T"));
      QVERIFY2(Text + Frame + 4 <= Box->contentsRect().width(),
               qPrintable(Name + QStringLiteral(": ") + QString::number(Box->contentsRect().width())));
    }
  }

  // A staff card names its holder after the whole organisation: the names
  // give way (ellipsis) and the window keeps its designed width, every
  // button of its bars on screen.
  void long_card_names_keep_the_window_width() {
    LogIn();
    Main->ibCSVClick();
    WaitForJobs();
    const QString Long = QStringLiteral("Centre Médical -Formation- -2 Secrétariat-Accueil-Centre-Hospitalier-Régional");
    Main->lbPraticien->setText(Long + QStringLiteral(" (310003456789)"));
    Main->lbProfession->setText(Long + QStringLiteral(" #2 (3345678901)"));
    Main->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main.get()));
    Main->resize(1000, Main->height());
    QTRY_COMPARE(Main->width(), 1000);
    QCOMPARE(Main->lbPraticien->text(), Long + QStringLiteral(" (310003456789)"));
    for (Vantrel::TImageButton* B : Main->findChildren<Vantrel::TImageButton*>()) {
      if (!B->isVisibleTo(Main.get())) continue;
      const QRect Placed(B->mapTo(Main.get(), QPoint(0, 0)), B->size());
      QVERIFY2(Main->rect().contains(Placed), qPrintable(B->objectName()));
    }
  }
};

QTEST_MAIN(TDMP2MainLoginTest)
#include "DMP2Main.Login.ui.moc"
