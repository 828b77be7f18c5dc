// Record opening, the patient bar, the record's documents and the record
// actions of the main window, driven with the scripted fake core and a
// scripted screens table.
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "Talven.Carvelin.Utils.h"
#include "UAjoutDocument.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;
using TestSupport::TFakeData;

namespace {

struct TShownBox {
  QMessageBox::Icon Icon;
  QString Text;
};

}  // namespace

class TDMP2MainDossierTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  std::vector<TShownBox> Boxes;
  std::vector<int> Answers;           // the next boxes' answers, then Yes
  std::vector<std::string> Screened;  // the screens opened, by entry name
  bool ForcerAnswer = false;
  bool AccesMineurAnswer = true;
  bool SwitchRecord = false;  // a host opens another record while a record dialog runs
  std::vector<int> Results;  // the add-document form's filings, in turn
  int Deposits = 0, Nexts = 0;
  bool RealLocaux = false;  // the program's local documents frame instead of a bare widget
  bool RealAjout = false;   // the program's add-document form instead of scripted filings

  TFakeData& Data() { return Fake->Core->Data; }

  std::vector<std::string> CallNames() const {
    std::vector<std::string> Names;
    for (const auto& C : Fake->Calls()) Names.push_back(C.Name + (C.Args.empty() ? "" : " " + C.Args));
    return Names;
  }
  bool Called(std::string_view Prefix) const {
    const std::vector<std::string> Names = CallNames();
    return std::ranges::any_of(Names, [&](const std::string& N) { return N.starts_with(Prefix); });
  }
  bool Shown(std::string_view Screen) const { return std::ranges::find(Screened, Screen) != Screened.end(); }

  TScreens Screens() {
    TScreens S = TScreens::Unavailable();
    S.DocumentsLocauxCreate = [this](QWidget* Owner, IDocumentsLocauxHost&) {
      Screened.push_back("DocumentsLocauxCreate");
      auto* W = new QWidget(Owner);
      W->setObjectName(QStringLiteral("DocumentsLocaux"));
      return W;
    };
    S.ForcerDMPExecute = [this](QWidget*, const TPatientInfo&, std::string& Motif) {
      Screened.push_back("ForcerDMPExecute");
      if (SwitchRecord) OpenOtherRecord();
      Motif = "URGENCE";
      return ForcerAnswer;
    };
    S.FermerDMPExecute = [this](QWidget*, IDossierMedical&, std::string& Motif) {
      Screened.push_back("FermerDMPExecute");
      if (SwitchRecord) OpenOtherRecord();
      Motif = "Départ à l'étranger";
      return true;
    };
    S.AccesMineurExecute = [this](QWidget*, IDossierMedical&) {
      Screened.push_back("AccesMineurExecute");
      if (AccesMineurAnswer) Data().Dossier.Secret = 2;
      return AccesMineurAnswer;
    };
    S.DocumentShow = [this](QWidget*, std::shared_ptr<IDocument> DOC, const QString&, int64_t, const std::string&) {
      Screened.push_back("DocumentShow " + DOC->GetInfo()->UniqueID);
    };
    S.AjoutDocumentExecute = [this](QWidget*, TScreenCallback, const QString&, std::shared_ptr<IDossierMedical>,
                                    int64_t, int Categorie, const std::vector<std::string>& Names, bool) {
      Screened.push_back("AjoutDocumentExecute " + std::to_string(Categorie) + " " + std::to_string(Names.size()));
      return false;
    };
    S.Process = [this] {
      const int R = Results.front();
      Results.erase(Results.begin());
      return R;
    };
    S.AjoutDocumentDeposer = [this] { ++Deposits; };
    S.AccesWebExecute = [this](QWidget*, std::shared_ptr<IDossierMedical>, TScreenCallback, const std::string& EMail,
                               const std::string& Phone, bool) {
      Screened.push_back("AccesWebExecute " + EMail + " " + Phone);
    };
    S.NextDocument = [this] { return ++Nexts == 1; };  // a second file follows the first
    if (RealAjout) {
      const TScreens P = TScreens::Program();
      S.Replace = P.Replace;
      S.Process = P.Process;
      S.NextDocument = P.NextDocument;
      S.AjoutDocumentShown = P.AjoutDocumentShown;
      S.AjoutDocumentDeposer = P.AjoutDocumentDeposer;
      S.AjoutDocumentClose = P.AjoutDocumentClose;
      S.AjoutDocumentFiled = P.AjoutDocumentFiled;
    }
    if (RealLocaux) {
      const TScreens P = TScreens::Program();
      S.DocumentsLocauxCreate = P.DocumentsLocauxCreate;
      S.DocumentsLocauxLoad = P.DocumentsLocauxLoad;
      S.DocumentsLocauxCategorie = P.DocumentsLocauxCategorie;
      S.DocumentsLocauxFavoris = P.DocumentsLocauxFavoris;
    }
    return S;
  }

  void Open() {
    TDMPMainOptions Options;
    Options.SettingsFile = Dir.filePath(QStringLiteral("carvelin2.ini")).toStdString();
    Options.DatabaseFile = Dir.filePath(QStringLiteral("Carvelin2.db3")).toStdString();
    Options.Screens = Screens();
    // 10 April 2024, 09:15.
    Options.Clock = [] {
      Vantrel::TDateTime D = 0;
      Vantrel::TryEncodeDateTime({2024, 4, 10, 9, 15, 0, 0}, D);
      return D;
    };
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CPx = CPS;
    Main->CNX = CPS;
    Main->ibCPX->SetImageIndex(1);
    Main->show();
    Main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Main.get()));
    Fake->Core->ClearCalls();
  }

  // Another record, as a host program opens one.
  void OpenOtherRecord() {
    std::shared_ptr<IDossierMedical> Other;
    QCOMPARE(Fake->xmlDossierExiste("", Other), ERR_OK);
    Main->OpenDossier(Other);
  }

  // Opens the canned record by its INS as the INS box does, and waits for
  // the job and the actions it posted.
  void OpenRecord(const std::string& INS = "279035121518989") {
    Main->LoadINSC(INS, false);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCoreApplication::processEvents();
  }

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
  }

  void init() {
    Boxes.clear();
    Answers.clear();
    Screened.clear();
    ForcerAnswer = false;
    AccesMineurAnswer = true;
    SwitchRecord = false;
    Results.clear();
    Deposits = Nexts = 0;
    RealLocaux = RealAjout = false;
    QFile::remove(Dir.filePath(QStringLiteral("Carvelin2.db3")));
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back({Box.icon(), Box.text() + Box.informativeText()});
      if (Answers.empty()) return int(QMessageBox::Yes);
      const int Answer = Answers.front();
      Answers.erase(Answers.begin());
      return Answer;
    });
    Fake = std::make_shared<TFakeCarvelin>();
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
    PendingURL = {};
    SetMessageBoxHook(nullptr);
  }

  void ins_type_letter_follows_the_identifier_shape_data() {
    QTest::addColumn<QString>("Value");
    QTest::addColumn<int>("Categorie");
    QTest::addColumn<QString>("Expected");
    QTest::newRow("22 characters") << "0123456789012345678901" << 0 << "DossierExiste 0123456789012345678901 C";
    QTest::newRow("CX text") << "123^^^&1.2.250&ISO^NH" << 0 << "DossierExiste 123^^^&1.2.250&ISO^NH N";
    QTest::newRow("escaped CX text") << "123^^^&amp;1.2&amp;ISO^NH" << 0
                                     << "DossierExiste 123^^^&amp;1.2&amp;ISO^NH N";
    QTest::newRow("16 characters ending in a letter") << "279035121518989T" << 0 << "DossierExiste 279035121518989 T";
    QTest::newRow("INS, production card") << "279035121518989" << 0x10 << "DossierExiste 279035121518989 R";
    QTest::newRow("INS, training card") << "279035121518989" << 0x80 << "DossierExiste 279035121518989 T";
  }
  void ins_type_letter_follows_the_identifier_shape() {
    QFETCH(QString, Value);
    QFETCH(int, Categorie);
    QFETCH(QString, Expected);
    Data().Carte.Categorie = uint8_t(Categorie);
    Open();
    OpenRecord(Value.toStdString());
    QCOMPARE(QString::fromStdString(CallNames().front()), Expected);
  }

  void patient_bar_shows_the_record_state_data() {
    QTest::addColumn<QString>("Autorisation");
    QTest::addColumn<bool>("Ferme");
    QTest::addColumn<bool>("MT");
    QTest::addColumn<bool>("Web");
    QTest::addColumn<bool>("ENS");
    QTest::addColumn<QString>("Line");
    QTest::addColumn<int>("Image");
    QTest::addColumn<QString>("Hint");
    QTest::addColumn<int>("Status");
    const QString INS = QStringLiteral("NIR-T : 279035121518989");
    QTest::newRow("valid") << "VALIDE" << false << false << false << false
                           << INS + ", Médecin traitant non déclaré" << 14 << "Autorisation valide" << 1;
    QTest::newRow("treating doctor, web, ENS")
        << "VALIDE" << false << true << true << true
        << INS + ", Médecin traitant déclaré, Accès web ouvert [ENS]" << 14 << "Autorisation valide" << 2;
    QTest::newRow("emergency") << "BRIS_DE_GLACE" << false << false << false << false
                               << INS + ", Médecin traitant non déclaré (BRIS DE GLACE)" << 14
                               << "Accès bris de glace" << 1;
    QTest::newRow("forbidden") << "INTERDIT" << false << true << true << false << INS + ", ACCES INTERDIT" << 16
                               << "Blocage d’accès" << -2;
    QTest::newRow("ended") << "EXPIREE" << false << false << false << false
                           << INS + ", Médecin traitant non déclaré" << 16 << "Autorisation ayant pris fin" << -3;
    QTest::newRow("none") << "NON_AUTORISE" << false << false << false << false
                          << INS + ", Médecin traitant non déclaré" << 16 << "Pas d’autorisation existante" << -1;
    QTest::newRow("other") << "AUTRE" << false << false << false << false << INS + ", Médecin traitant non déclaré"
                           << 17 << "AUTRE" << 0;
    QTest::newRow("closed") << "" << true << true << false << false
                            << INS + ", FERMÉ le 01/02/2024 (<b>Décès</b>)" << 15 << "<b>Décès</b>" << -4;
  }
  void patient_bar_shows_the_record_state() {
    QFETCH(QString, Autorisation);
    QFETCH(bool, Ferme);
    QFETCH(bool, MT);
    QFETCH(bool, Web);
    QFETCH(bool, ENS);
    QFETCH(QString, Line);
    QFETCH(int, Image);
    QFETCH(QString, Hint);
    QFETCH(int, Status);
    TDossierInfo& D = Data().Dossier;
    D.Autorisation = Autorisation.toStdString();
    if (Ferme) D.Fermeture = TFermeture{"01/02/2024", "DECES", "<b>Décès</b>"};
    D.StatutMT = MT;
    D.AccesWeb = Web;
    D.ENS = ENS;
    Open();
    OpenRecord();
    QVERIFY(!Main->pnCSV->isHidden());
    QCOMPARE(Main->lbMedecin->text(), Line);
    QCOMPARE(Main->lbMedecin->toolTip(), QStringLiteral("279035121518989"));
    QCOMPARE(Main->lbMedecin->textFormat(), Qt::PlainText);
    QCOMPARE(Main->StatusImage(), Image);
    QCOMPARE(Main->ibStatus->toolTip(), Hint);
    QCOMPARE(Main->ibStatus->accessibleName(), Hint);
    QCOMPARE(Main->btUrgence->isHidden(), Autorisation != QLatin1String("BRIS_DE_GLACE"));
    QCOMPARE(Main->mnCreerAccesPatient->text(),
             Web ? QStringLiteral("Modifier l'accès Internet") : QStringLiteral("Créer un accès Internet"));
    // The local patient is stored with the record's identifiers and status.
    TVaspoPatient Stored;
    QVERIFY(Main->Database.LoadPatient("279035121518989T", Stored));
    QCOMPARE(Stored.Status, Status);
    QCOMPARE(Stored.INSN, std::string("279035121518989T"));
    QCOMPARE(Stored.Nom, std::string("DUPONT"));
    // Only a granted access reads the service's documents.
    QCOMPARE(Called("QueryDocuments"), Image == 14);
    QCOMPARE(Main->Documents->isHidden(), Image != 14);
  }

  void birth_date_is_read_day_first_whatever_the_locale() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Data().Dossier.Patient.Identite.NomUsage.clear();  // the birth name stands in
    Open();
    OpenRecord();
    QLocale::setDefault(QLocale::c());
    Vantrel::TDateTime Expected = 0;
    QVERIFY(Vantrel::TryEncodeDate(1979, 3, 15, Expected));
    QCOMPARE(double(Main->FPatient.Naissance), Expected);
    QCOMPARE(Main->lbPatient->text(), QStringLiteral("Mme DUPONT MARIE née le 15/03/1979"));
    QCOMPARE(Main->mnRetirerAutorisation->text(),
             QStringLiteral("Mettre fin à mon autorisation d'accès au DMP de Mme DUPONT MARIE"));
  }

  void nameless_patient_is_stored_as_not_given() {
    Data().Dossier.Patient.Identite.NomUsage.clear();
    Data().Dossier.Patient.Identite.NomNaissance.clear();
    Open();
    OpenRecord();
    QCOMPARE(Main->FPatient.Nom, std::string("NON RENSEIGNE"));
  }

  void granted_record_lists_its_documents_from_last_month() {
    Open();
    OpenRecord();
    QVERIFY(Called("QueryDocuments flags=1 type=\"\" after=\"10/03/2024 09:15\" before=\"\""));
    TDocuments& F = *Main->Documents;
    QVERIFY(!F.isHidden());
    QCOMPARE(F.ListBox->Count(), 3);
    QCOMPARE(F.ListBox->ItemIndex(), -1);
    QTRY_VERIFY(F.ListBox->hasFocus());
    QCOMPARE(F.Categories[0]->FCount, 3);
    QCOMPARE(F.Categories[size_t(TypeDocumentIndex("11488-4")) + 1]->FCount, 1);

    // The new documents since the last visit: submission dates from LastDate.
    Vantrel::TDateTime Last = 0;
    QVERIFY(Vantrel::TryEncodeDateTime({2024, 3, 1, 14, 5, 0, 0}, Last));
    Main->FPatient.LastDate = Last;
    Fake->Core->ClearCalls();
    Main->ibRefreshClick(true);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("QuerySubmissions flags=1 type=\"\" after=\"01/03/2024 14:05\" before=\"\""));
    QVERIFY(Main->QuerySubmission);

    // A filter flag is one more bit of the query.
    Fake->Core->ClearCalls();
    Main->Toggle(TQueryFlag::Archive);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("QuerySubmissions flags=3 "));
  }

  void closed_record_shows_local_documents_then_warns() {
    Data().Dossier.Autorisation.clear();
    Data().Dossier.Fermeture = TFermeture{"01/02/2024", "FERMETURE_DEMANDE_PATIENT", "Demande du patient"};
    Open();
    OpenRecord();
    QTRY_COMPARE(Boxes.size(), size_t(1));
    QCOMPARE(Boxes[0].Text, QStringLiteral("Le DMP du patient est fermé, il peut le réactiver sur Mon Espace Santé"));
    QVERIFY(Shown("DocumentsLocauxCreate"));
    QVERIFY(!Main->DocumentsLocaux->isHidden());
  }

  void record_without_authorisation_offers_forced_access_after_the_job() {
    Data().Dossier.Autorisation = "NON_AUTORISE";
    ForcerAnswer = true;
    Open();
    Fake->Script("Autorisation", {});
    OpenRecord();
    QTRY_VERIFY(Shown("ForcerDMPExecute"));
    QTRY_VERIFY(Called("Autorisation true \"URGENCE\""));
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Main->FBrisDeGlace, std::string("URGENCE"));
  }

  void minor_record_asks_its_mode_once_and_never_in_api_mode() {
    Data().Dossier.Mineur = true;
    Data().Dossier.Secret = 0;
    Open();
    // A host program's opening asks nothing and lists nothing.
    Main->ModeAPI = true;
    std::shared_ptr<IDossierMedical> DOS;
    QCOMPARE(Main->CNX->DossierExiste("279035121518989", 'T', DOS), ERR_OK);
    Main->OpenDossier(DOS);
    QVERIFY(!Shown("AccesMineurExecute"));
    QCOMPARE(Main->Documents->ListBox->Count(), 0);
    QVERIFY(!Called("QueryDocuments"));

    Main->ModeAPI = false;
    OpenRecord();
    QCOMPARE(std::ranges::count(Screened, std::string("AccesMineurExecute")), 1);
    QVERIFY(!Main->btSecret->isHidden());
    QVERIFY(Called("QueryDocuments"));

    // The same minor refreshed: the chosen mode is applied, not asked.
    Data().Dossier.Secret = 0;
    Fake->Core->ClearCalls();
    Main->ibRefreshClick(false);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(std::ranges::count(Screened, std::string("AccesMineurExecute")), 1);
    QVERIFY(Called("SetAccesSecret true"));

    // Making the connection visible again.
    Main->btSecretClick();
    QVERIFY(Called("SetAccesSecret false"));
    QCOMPARE(Main->FMineur.Mode, 1);
    QVERIFY(Main->btSecret->isHidden());
  }

  void typed_ins_is_normalised_or_refused() {
    Open();
    Main->edINSC->setText(QStringLiteral("2 79 03 51 215 189"));  // the key is added
    Main->ibINSCClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("DossierExiste 279035121518989 T"));

    Fake->Core->ClearCalls();
    Main->edINSC->setText(QStringLiteral("27903A"));
    Main->ibINSCClick();
    QCOMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Boxes.size(), size_t(1));
    QVERIFY(Boxes[0].Text.endsWith(QString::fromUtf8(ErrorMessage(ERR_INS_INVALIDE).data())));
    QVERIFY(CallNames().empty());
  }

  void opening_a_hidden_document_asks_first() {
    Data().Documents[0].Visibilite = 2 | 4;
    Open();
    OpenRecord();
    Main->Documents->ListBox->SetItemIndex(0);
    Fake->Core->ClearCalls();

    Answers = {int(QMessageBox::No)};
    Main->ListBoxDblClick();
    QCOMPARE(Boxes.size(), size_t(1));
    QVERIFY(Boxes[0].Text.startsWith(QStringLiteral("Attention, ce document n'est pas visible du patient.")));
    QCOMPARE(Main->LiveTasks(), 0);

    Answers = {int(QMessageBox::Yes), int(QMessageBox::No)};
    Main->ListBoxDblClick();
    QCOMPARE(Boxes.size(), size_t(3));
    QVERIFY(Boxes[2].Text.contains(QStringLiteral("représentants légaux")));
    QCOMPARE(Main->LiveTasks(), 0);

    Main->ListBoxDblClick();  // Yes to both
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("GetDocument " + Data().Documents[0].UniqueID));
    QVERIFY(Shown("DocumentShow " + Data().Documents[0].UniqueID));
    QVERIFY(!Main->Documents->DOC);
  }

  void deleting_a_document_asks_then_reloads() {
    Open();
    OpenRecord();
    Main->Documents->ListBox->SetItemIndex(1);
    Fake->Core->ClearCalls();
    Answers = {int(QMessageBox::No)};
    Main->mnDeleteDocumentClick();
    QCOMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Boxes.back().Icon, QMessageBox::Warning);
    QVERIFY(CallNames().empty());

    Main->mnDeleteDocumentClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Main->FDeleteIndex, 1);
    QVERIFY(Called("QueryDocuments"));  // the list is read again
    QVERIFY(Boxes.size() == 2);
  }

  void cpe_card_adds_documents_only_for_listed_structures_data() {
    QTest::addColumn<int>("Image");
    QTest::addColumn<QString>("Structure");
    QTest::addColumn<bool>("Allowed");
    QTest::newRow("CPE SA40") << 2 << "SA40" << true;
    QTest::newRow("CPE SA52") << 2 << "SA52" << true;
    QTest::newRow("CPE SA41") << 2 << "SA41" << false;
    QTest::newRow("CPE SA4") << 2 << "SA4" << false;
    QTest::newRow("CPE SA07,SA08") << 2 << "SA07,SA08" << false;
    QTest::newRow("CPS any structure") << 1 << "SA41" << true;
  }
  void cpe_card_adds_documents_only_for_listed_structures() {
    QFETCH(int, Image);
    QFETCH(QString, Structure);
    QFETCH(bool, Allowed);
    Open();
    OpenRecord();
    Main->ibCPX->SetImageIndex(Image);
    Main->FCodeStructure = Structure.toStdString();
    Main->ibUploadClick();
    QCOMPARE(Shown("AjoutDocumentExecute -1 0"), Allowed);
    QCOMPARE(Boxes.empty(), Allowed);
    if (!Allowed)
      QCOMPARE(Boxes[0].Text,
               QStringLiteral("Votre carte CPE ne vous permet pas d'ajouter des documents sur le DMP"));
  }

  void adding_from_local_documents_files_into_their_category_data() {
    QTest::addColumn<int>("Categorie");
    QTest::newRow("all documents") << -1;
    QTest::newRow("consultation report") << TypeDocumentIndex("11488-4");
    QTest::newRow("further entry") << 86;
  }
  void adding_from_local_documents_files_into_their_category() {
    QFETCH(int, Categorie);
    RealLocaux = true;
    Data().Dossier.Autorisation = "NON_AUTORISE";
    Open();
    OpenRecord();
    QVERIFY(Main->DocumentsLocaux && Main->DocumentsLocaux->isVisible());
    auto* Frame = qobject_cast<TDocumentsLocaux*>(Main->DocumentsLocaux.data());
    QVERIFY(Frame);
    QVERIFY(Frame->isAncestorOf(Frame->ListBox) && Main->isAncestorOf(Frame));
    Frame->SetCategorie(Categorie);
    Main->ibUploadClick();
    QVERIFY(Shown("AjoutDocumentExecute " + std::to_string(Categorie) + " 0"));
  }

  void filing_a_replacement_of_a_vanished_document_offers_a_plain_deposit() {
    Open();
    OpenRecord();
    Results = {ERR_DOCUMENT_INTROUVABLE, ERR_OK, ERR_OK};
    Fake->Core->ClearCalls();
    Main->OnAddClick(nullptr);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Boxes.size(), size_t(1));
    QVERIFY(Boxes[0].Text.startsWith(QStringLiteral("Le document que vous voulez remplacer n'a pas été trouvé")));
    QCOMPARE(Deposits, 1);
    QVERIFY(Results.empty());  // the deposit, then the second file
    QCOMPARE(Nexts, 2);
    QVERIFY(Called("QueryDocuments"));  // the list read again at the end

    // Declined: nothing more is filed.
    Results = {ERR_DOCUMENT_INTROUVABLE, ERR_OK};
    Answers = {int(QMessageBox::No)};
    Main->OnAddClick(nullptr);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Results.size(), size_t(1));
    QCOMPARE(Deposits, 1);
  }

  // A listed document found gone while its new version is filed: once the
  // user accepts, the form files it as a new document of the record, and
  // the documents are read again.
  void listed_document_found_gone_is_filed_as_a_new_one() {
    RealAjout = true;
    Open();
    OpenRecord();
    Main->Documents->ListBox->SetItemIndex(0);
    Fake->Script("Remplacer", {.Code = ERR_DOCUMENT_INTROUVABLE});
    Fake->Core->ClearCalls();
    bool Shown = false;
    const auto Dialog = AnswerModal<TAjoutDocument>([&Shown](TAjoutDocument& Form) {
      Shown = true;
      QTimer::singleShot(30000, &Form, [&Form] { Form.reject(); });
      Form.SetTypeDocumentIndex(TypeDocumentIndex("11488-4"));
      Form.mmTexte->setPlainText(QStringLiteral("Nouvelle version"));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
    });
    Main->mnReplaceDocumentClick();  // Yes to the replacement, then to the deposit
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Shown);
    QVERIFY(!AjoutDocument);
    QCOMPARE(Boxes.size(), size_t(2));
    QVERIFY(Boxes[1].Text.startsWith(QStringLiteral("Le document que vous voulez remplacer n'a pas été trouvé")));
    const std::vector<std::string> Calls = CallNames();
    const auto Count = [&Calls](std::string_view Name) {
      return std::ranges::count_if(Calls, [Name](const std::string& C) { return C.starts_with(Name); });
    };
    QCOMPARE(Count("Remplacer"), 1);
    QCOMPARE(Count("AddDocument"), 1);
    // Read again once, by the filing's job: a second query would share its connection.
    QCOMPARE(Count("QueryDocuments"), 1);
  }

  void accepted_web_access_offer_opens_the_web_access_form() {
    Open();
    OpenRecord();
    Fake->Core->ClearCalls();
    Main->wAcces = 2;
    Main->CreerAccesWeb();
    QCOMPARE(Main->wAcces, 0);
    QCOMPARE(Boxes.back().Text, QStringLiteral("Voulez-vous créer un accès Web pour ce patient ?"));
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("GetVoletAdministratif"));
    QTRY_VERIFY(Shown("AccesWebExecute marie.dupont@example.org 0612345678"));
  }

  // With a record open the window still fits a 1024 x 768 screen.
  void open_record_fits_a_small_screen() {
    Open();
    OpenRecord();
    QVERIFY(!Main->Documents->isHidden());
    QString Wide;  // the widgets that ask for more than the screen, for the failure message
    for (const QWidget* W : Main->findChildren<QWidget*>())
      if (W->isVisibleTo(Main.get()) && W->minimumSizeHint().width() > 1000)
        Wide += QStringLiteral(" %1(%2)").arg(W->objectName().isEmpty() ? W->metaObject()->className() : W->objectName())
                    .arg(W->minimumSizeHint().width());
    QVERIFY2(Main->minimumSizeHint().width() <= 1000, qPrintable(QString::number(Main->minimumSizeHint().width()) + Wide));
    QVERIFY2(Main->minimumSizeHint().height() <= 740, qPrintable(QString::number(Main->minimumSizeHint().height())));
  }

  void closing_the_record_empties_the_window() {
    Open();
    OpenRecord();
    Main->ibCloseCSVClick();
    QVERIFY(Main->pnCSV->isHidden());
    QVERIFY(Main->Documents->isHidden());
    QVERIFY(!Main->DOS);
    QVERIFY(!Main->Documents->List);
    QCOMPARE(Main->Documents->CurrentCategorie(), -1);
    QVERIFY(Main->FPatient.INS().empty());
  }

  void withdrawing_the_authorisation_closes_even_when_refused() {
    Open();
    OpenRecord();
    Fake->Script("Autorisation", {.Code = ERR_SESSION});
    Main->mnRetirerAutorisationClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Called("Autorisation false \"\""));
    QVERIFY(!Main->DOS);
    QVERIFY(Boxes.empty());
  }

  // The closing request carries the dialog's motive; the patient context
  // closes only when the service closed the record.
  void closing_at_the_patients_request_data() {
    QTest::addColumn<int>("Code");
    QTest::newRow("closed") << ERR_OK;
    QTest::newRow("refused") << 0x5003;
  }
  void closing_at_the_patients_request() {
    QFETCH(int, Code);
    Open();
    OpenRecord();
    Fake->Script("FermerDossier", {.Code = Code});
    Main->mnFermerDMPClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Shown("FermerDMPExecute"));
    QVERIFY(Called("FermerDossier \"FERMETURE_DEMANDE_PATIENT\" \"Départ à l'étranger\""));
    QCOMPARE(!Main->DOS, Code == ERR_OK);
    QCOMPARE(Main->pnCSV->isHidden(), Code == ERR_OK);
    QCOMPARE(Boxes.size(), size_t(Code == ERR_OK ? 0 : 1));
    if (Code == ERR_OK) return;
    const std::string_view Message = Fake->GetErrMsg(Code);
    QCOMPARE(Boxes.front().Icon, QMessageBox::Critical);
    QVERIFY(Boxes.front().Text.endsWith(QString::fromUtf8(Message.data(), qsizetype(Message.size()))));
  }

  // The access or closing answer was given for the record the dialog named:
  // when a host opened another one meanwhile, nothing is sent for either.
  void record_dialog_answer_is_dropped_when_another_record_opened_data() {
    QTest::addColumn<bool>("Closing");
    QTest::newRow("access") << false;
    QTest::newRow("closing") << true;
  }
  void record_dialog_answer_is_dropped_when_another_record_opened() {
    QFETCH(bool, Closing);
    if (!Closing) Data().Dossier.Autorisation = "NON_AUTORISE";
    Open();
    OpenRecord();
    const std::shared_ptr<IDossierMedical> First = Main->DOS;
    Fake->Core->ClearCalls();
    SwitchRecord = ForcerAnswer = true;
    if (Closing)
      Main->mnFermerDMPClick();
    else
      Main->ibStatusClick(Main->ibStatus);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QVERIFY(Shown(Closing ? "FermerDMPExecute" : "ForcerDMPExecute"));
    QVERIFY(Main->DOS && Main->DOS != First);
    QVERIFY(!Called("FermerDossier"));
    QVERIFY(!Called("Autorisation"));
    QVERIFY(Boxes.empty());
  }
};

QTEST_MAIN(TDMP2MainDossierTest)
#include "DMP2Main.Dossier.ui.moc"
