// The local documents frame over a real local database: the rows and their
// display texts, the categories, the questions, and verification and
// deletion against the fake core through a scripted window.
#include <QTemporaryDir>
#include <QtTest>

#include "FakeCarvelin.h"
#include "Talven.Carvelin.Utils.h"
#include "UDocumentsLocaux.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.JSON.UTF8.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

namespace {

constexpr int64_t Praticien = 1, Patient = 2;

// The window as the frame sees it: jobs run on a thread of their own, and
// every box and form is recorded and answered from a script.
class TScriptedHost : public IDocumentsLocauxHost {
 public:
  std::shared_ptr<IDossierMedical> DOS;
  TVaspoDatabase* Database = nullptr;
  TDocumentsLocaux* Frame = nullptr;
  std::vector<QString> Shown;    // questions, messages and errors, in order
  std::vector<std::string> Forms;  // the replacements opened
  bool Answer = true, Filed = true;
  int Jobs = 0, Reloads = 0;

  void SubmitLocaux(std::function<int()> Proc, std::function<void(int Error)> Done) override {
    ++Jobs;
    int Error = -1;
    std::thread([&] { Error = Proc(); }).join();
    Done(Error);
  }
  void ShowLocauxError(int Error) override { Shown.push_back(QStringLiteral("error %1").arg(Error)); }
  void ShowLocauxInfo(const QString& Text) override { Shown.push_back(Text); }
  bool AskLocaux(const QString& Text) override {
    Shown.push_back(Text);
    return Answer;
  }
  std::shared_ptr<IDossierMedical> LocauxDossier() override { return DOS; }
  bool ReplaceLocal(QWidget* Owner, const std::string& UniqueID, const std::string& TypeDoc) override {
    Forms.push_back("document " + UniqueID + " " + TypeDoc + (Owner == Frame ? "" : " (other owner)"));
    return Filed;
  }
  bool ReplaceVaccin(QWidget*, const std::string& UniqueID, const TVaspoVaccin& Vaccin) override {
    Forms.push_back("note " + UniqueID + " " + Vaccin.Nom + " " + Vaccin.Lot + " " + Vaccin.VaccinationId);
    return Filed;
  }
  void ShowDocumentsLocaux() override {
    ++Reloads;
    Frame->Load(*Database, Praticien, Patient);
  }
  void OnFavoris(QWidget*) override {}
};

std::string NoteJSON() {
  TVaspoVaccin V;
  V.Nom = "PREVENAR 13";
  V.CIS = "61107438";
  V.Lot = "L0T-7";
  V.VaccinationId = "1.2.250.1.213.1.4.8.5";
  Vantrel::TDateTime D = 0;
  Vantrel::TryEncodeDate(2024, 3, 5, D);
  V.Date = D;
  return Vantrel::JSON::buildJSON(V);
}

}  // namespace

class TDocumentsLocauxTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TVaspoDatabase> Database;
  TScriptedHost Host;
  std::unique_ptr<TDocumentsLocaux> Frame;

  // Day D of March 2024 at 10:00.
  static Vantrel::TDateTime March(int D) {
    Vantrel::TDateTime Value = 0;
    Vantrel::TryEncodeDateTime({2024, 3, D, 10, 0, 0, 0}, Value);
    return Value;
  }

  int64_t AddRow(const std::string& UniqueID, const std::string& Titre, const std::string& TypeDoc, int Day,
                 int32_t Pat = int32_t(Patient)) {
    TVaspoDocument Row;
    Row.Patient = Pat;
    Row.Praticien = int32_t(Praticien);
    Row.uniqueId = UniqueID;
    Row.titre = Titre;
    Row.TypeDoc = TypeDoc;
    Row.date = March(Day);
    Database->SaveDocument(Row);
    return Row.rowid;
  }

  int Etat(const std::string& UniqueID) {
    Vantrel::TSQLite3Stmt S;
    Database->Connection().PrepareSQL("SELECT etat FROM Documents WHERE uniqueId = ?", S);
    S.SetParamAsString(1, UniqueID);
    return S.Fetch() ? int(S.AsInteger(0)) : -1;
  }

  std::vector<std::string> Titles() const {
    std::vector<std::string> T;
    for (const TDocumentLocalRow* Row : Frame->List) T.push_back(Row->Document->Data.titre);
    return T;
  }

  TCategorieOption* Entry(std::string_view Code) const {
    return Frame->Categories[size_t(TypeDocumentIndex(Code)) + 1];
  }

  // Four rows, newest first: a vaccination note, a consultation report, the
  // summary titled as notes' summaries are, and a note whose title reads as
  // no note.
  void Fill() {
    AddRow("1.2.3.1", "Compte rendu & suivi", "11488-4", 3);
    AddRow("1.2.3.2", NoteJSON(), "87273-9", 5);
    AddRow("1.2.3.3", "Note de vaccinations", "87273-9", 2);
    AddRow("1.2.3.4", "{ pas une note", "87273-9", 1);
    AddRow("1.2.3.9", "Autre patient", "11488-4", 4, 7);
    Frame->Load(*Database, Praticien, Patient);
  }

  void Select(int Row) { Frame->ListBox->SetItemIndex(Row); }

 private slots:
  void initTestCase() { QVERIFY(Dir.isValid()); }

  void init() {
    QFile::remove(Dir.filePath(QStringLiteral("local.db3")));
    Database = std::make_unique<TVaspoDatabase>();
    Database->Init(Dir.filePath(QStringLiteral("local.db3")).toStdString());
    Fake = std::make_shared<TFakeCarvelin>();
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Host = TScriptedHost();
    QCOMPARE(CPS->DossierExiste("1", 'T', Host.DOS), ERR_OK);
    Frame = std::make_unique<TDocumentsLocaux>(nullptr, Host);
    Frame->resize(1000, 600);
    Host.Frame = Frame.get();
    Host.Database = Database.get();
    Fake->Core->ClearCalls();
  }

  void cleanup() {
    Frame.reset();
    Host.DOS.reset();
    Fake.reset();
    Database.reset();
  }

  void designed_controls_as_laid_out() {
    QCOMPARE(Frame->Headers->SectionCount(), 3);
    QCOMPARE(Frame->Headers->SectionText(0), QStringLiteral("Titre"));
    QCOMPARE(Frame->Headers->SectionWidth(0), 400);
    QCOMPARE(Frame->Headers->SectionText(1), QStringLiteral("Date"));
    QCOMPARE(Frame->Headers->SectionWidth(1), 200);
    QCOMPARE(Frame->Headers->SectionText(2), QStringLiteral("Catégorie"));
    const QList<QAction*> Menu = Frame->PopupMenu1->actions();
    QCOMPARE(Menu.size(), 5);
    QCOMPARE(Menu[0]->text(), QStringLiteral("Remplacer le document..."));
    QCOMPARE(Menu[1]->text(), QStringLiteral("Supprimer le document..."));
    QCOMPARE(Menu[2]->text(), QStringLiteral("Vérifier l'existence de ce document sur le DMP"));
    QVERIFY(Menu[3]->isSeparator());
    QCOMPARE(Menu[4]->text(), QStringLiteral("Vérifier l'existence de tous les documents sur le DMP"));
    QCOMPARE(Frame->Categories[89]->parentWidget()->height(), 100);
  }

  void rows_show_notes_by_caption_and_codes_outside_the_table() {
    Fill();
    QVERIFY(!Frame->isHidden());
    QCOMPARE(Titles(), (std::vector<std::string>{"PREVENAR 13 [L0T-7] 05/03/2024", "Compte rendu & suivi",
                                                 "Note de vaccinations", "{ pas une note"}));
    // The stored texts stay beside the display ones.
    QCOMPARE(Frame->List[0]->Titre, NoteJSON());
    QCOMPARE(Frame->List[0]->TypeCode, std::string("87273-9"));
    QCOMPARE(Frame->List[0]->Document->Data.TypeDoc, std::string("87273-9"));
    QCOMPARE(Frame->List[1]->Document->Data.TypeDoc, TypeDocumentLabel("11488-4"));

    // Notes are counted under "all documents" only.
    QCOMPARE(Frame->Categories[0]->FCount, 4);
    QCOMPARE(Entry("11488-4")->FCount, 1);
    QCOMPARE(Frame->Categories[89]->FCount, 0);
    int Counted = 0;
    for (size_t I = 1; I < Frame->Categories.size(); ++I) Counted += Frame->Categories[I]->FCount;
    QCOMPARE(Counted, 1);

    Frame->SetCategorie(TypeDocumentIndex("11488-4"));
    QCOMPARE(Frame->ListBox->Count(), 1);
    QCOMPARE(Titles(), std::vector<std::string>{"Compte rendu & suivi"});
    Frame->SetCategorie(-1);
    QCOMPARE(Frame->ListBox->Count(), 4);

    // The last row of that note's identifier is chosen.
    QCOMPARE(Frame->SelectDocID("1.2.3.3"), 2);
    QCOMPARE(Frame->ListBox->ItemIndex(), 2);
    QCOMPARE(Frame->SelectDocID("inconnu"), -1);

  }

  void further_entries_keep_their_tags_and_favourites_come_back() {
    Fill();
    for (int Tag = 84; Tag <= 88; ++Tag) {
      Frame->SetCategorie(Tag);
      QCOMPARE(Frame->CurrentCategorie(), Tag);
      QCOMPARE(Frame->ListBox->Count(), 0);
    }
    Frame->SetCategorie(-1);
    QCOMPARE(Frame->CurrentCategorie(), -1);

    const std::string Last(TypesDocument[TypeDocumentCount - 1].Code);
    Frame->SetFavoris(Last + "|11488-4|");
    QCOMPARE(Frame->Favoris->Options().size(), 2);
    QCOMPARE(Frame->GetFavoris(), "11488-4|" + Last + "|");
    QCOMPARE(Frame->Favoris->Options()[1]->Hint(), QStringLiteral("Autorisation de soins et actes non usuels sanitaires"));
    QCOMPARE(Frame->Favoris->Options()[0]->FCount, 1);
  }

  void double_click_tells_where_deletion_is() {
    Fill();
    Select(0);
    QTest::mouseDClick(Frame->ListBox->viewport(), Qt::LeftButton, {}, Frame->ListBox->ItemRect(0).center());
    QCOMPARE(Host.Shown, std::vector<QString>{QStringLiteral("Pour supprimer le document, utilisez le clic droit.")});
  }

  void replacement_asks_then_opens_the_form_of_the_row_kind_data() {
    QTest::addColumn<int>("Row");
    QTest::addColumn<bool>("Answer");
    QTest::addColumn<bool>("Filed");
    QTest::addColumn<QString>("Question");
    QTest::addColumn<QString>("Form");
    QTest::addColumn<int>("Reloads");
    const QString Note = QStringLiteral("PREVENAR 13 [L0T-7] 05/03/2024");
    QTest::newRow("note by the note form") << 0 << true << true << Note
                                           << "note 1.2.3.2 PREVENAR 13 L0T-7 1.2.250.1.213.1.4.8.5" << 1;
    QTest::newRow("document by the add form") << 1 << true << true << QStringLiteral("Compte rendu & suivi")
                                              << "document 1.2.3.1 11488-4" << 1;
    QTest::newRow("summary titled as notes") << 2 << true << false << QStringLiteral("Note de vaccinations")
                                             << "document 1.2.3.3 87273-9" << 0;
    QTest::newRow("note title unreadable") << 3 << true << true << QStringLiteral("{ pas une note")
                                           << "document 1.2.3.4 87273-9" << 1;
    QTest::newRow("refused") << 1 << false << true << QStringLiteral("Compte rendu & suivi") << QString() << 0;
  }

  void replacement_asks_then_opens_the_form_of_the_row_kind() {
    QFETCH(int, Row);
    QFETCH(bool, Answer);
    QFETCH(bool, Filed);
    QFETCH(QString, Question);
    QFETCH(QString, Form);
    QFETCH(int, Reloads);
    Fill();
    Host.Answer = Answer;
    Host.Filed = Filed;
    Select(Row);
    Frame->mnReplaceDoc->trigger();
    QCOMPARE(Host.Shown, std::vector<QString>{
                             QStringLiteral("Voulez-vous remplacer le document \"%1\" par une nouvelle version ?")
                                 .arg(Question)});
    QCOMPARE(Host.Forms, Form.isEmpty() ? std::vector<std::string>{} : std::vector<std::string>{Form.toStdString()});
    QCOMPARE(Host.Reloads, Reloads);
  }

  void verifying_all_of_an_empty_category_does_nothing() {
    Fill();
    Frame->SetCategorie(TypeDocumentIndex("SYNTH"));
    QCOMPARE(Frame->ListBox->Count(), 0);
    Frame->mnVerifyDocs->trigger();
    QCOMPARE(Host.Jobs, 0);
    QVERIFY(Fake->Calls().empty());
    QVERIFY(Host.Shown.empty());
  }

  void rows_deleted_elsewhere_leave_silently_other_failures_show_once() {
    Fill();
    Frame->SetCategorie(TypeDocumentIndex("11488-4"));
    Frame->mnVerifyDocs->trigger();
    // Only the category's row was looked up, and it is there.
    QCOMPARE(Fake->Calls().size(), size_t(1));
    QCOMPARE(Fake->Calls()[0].Args, std::string("1.2.3.1"));
    QVERIFY(Host.Shown.empty());
    QCOMPARE(Frame->CurrentCategorie(), TypeDocumentIndex("11488-4"));
    QCOMPARE(Frame->ListBox->Count(), 1);

    // All four: one gone elsewhere, two refused, one there.
    Frame->SetCategorie(-1);
    Fake->Core->ClearCalls();
    Fake->Script("GetDocumentUUID", {.Code = ERR_OK});
    Fake->Script("GetDocumentUUID", {.Code = ERR_DOCUMENT_INTROUVABLE});
    Fake->Script("GetDocumentUUID", {.Code = ERR_CONNEXION});
    Fake->Script("GetDocumentUUID", {.Code = ERR_SESSION});
    Frame->mnVerifyDocs->trigger();
    QCOMPARE(Fake->Calls().size(), size_t(4));
    QCOMPARE(Host.Shown, std::vector<QString>{QStringLiteral("error %1").arg(ERR_SESSION)});
    QCOMPARE(Etat("1.2.3.1"), 1);
    QCOMPARE(Etat("1.2.3.2"), 0);
    QCOMPARE(Titles(), (std::vector<std::string>{"PREVENAR 13 [L0T-7] 05/03/2024", "Note de vaccinations",
                                                 "{ pas une note"}));
    QVERIFY(Frame->DocIDs.empty());
  }

  void deletion_asks_then_deletes_by_entry_identifier() {
    Fill();
    Select(1);
    Host.Answer = false;
    Frame->mnDelDoc->trigger();
    QCOMPARE(Host.Shown, std::vector<QString>{QStringLiteral("Voulez-vous supprimer ce document ?")});
    QCOMPARE(Host.Jobs, 0);

    // A refused deletion keeps the row and shows the error.
    Host.Answer = true;
    Host.Shown.clear();
    Fake->Script("SupprimerDocumentUUID", {.Code = ERR_CONNEXION});
    Frame->mnDelDoc->trigger();
    QCOMPARE(Host.Shown.back(), QStringLiteral("error %1").arg(ERR_CONNEXION));
    QCOMPARE(Etat("1.2.3.1"), 0);

    Fake->Core->ClearCalls();
    Select(1);
    Frame->mnDelDoc->trigger();
    std::vector<std::string> Names;
    for (const auto& C : Fake->Calls()) Names.push_back(C.Name + " " + C.Args);
    QCOMPARE(Names, (std::vector<std::string>{"GetDocumentUUID 1.2.3.1", "SupprimerDocumentUUID urn:uuid:1.2.3.1"}));
    QCOMPARE(Etat("1.2.3.1"), 1);
    QCOMPARE(Frame->ListBox->Count(), 3);

    // Verifying one row that is there changes nothing.
    Fake->Core->ClearCalls();
    Host.Shown.clear();
    Select(0);
    Frame->mnVerifyDoc->trigger();
    QCOMPARE(Fake->Calls().size(), size_t(1));
    QVERIFY(Host.Shown.empty());
    QCOMPARE(Etat("1.2.3.2"), 0);
  }
};

QTEST_MAIN(TDocumentsLocauxTest)
#include "UDocumentsLocaux.ui.moc"
