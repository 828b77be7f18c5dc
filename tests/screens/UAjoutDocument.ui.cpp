// The add-document form over the fake core: the checks of OK with their
// messages and focus, the properties handed to the core, the visibility
// boxes, the minor's settings, the replacement's prefill, a batch whose
// file vanished, and a host program's file (type from its category, the
// reply of a filed, refused or cancelled form).
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Talven.Carvelin.Utils.h"
#include "UAjoutDocument.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.GroupedCombos.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {

// A listed document whose content, encoding and replacement are the test's.
class TTestDocument : public IDocument {
 public:
  TDocumentInfo Info;
  std::string Content;
  bool Utf8 = false;
  std::shared_ptr<ICarvelin> Root;
  TProprietesDocument Replaced;

  const TDocumentInfo* GetInfo() override { return &Info; }
  void SaveToFile(std::string_view) override {}
  int GetDescription(std::string_view& Source) override {
    Source = {};
    return ERR_OK;
  }
  int GetDocument(std::string_view& Source) override {
    Source = Content;
    return ERR_OK;
  }
  int GetImage(std::string_view, std::string_view& Image) override {
    Image = {};
    return ERR_NON_SUPPORTE;
  }
  std::string MimeType() override { return "text/plain"; }
  bool IsUTF8() override { return Utf8; }
  int SetVisibilite(int) override { return ERR_NON_SUPPORTE; }
  int SetArchive(bool) override { return ERR_NON_SUPPORTE; }
  int Supprimer() override { return ERR_NON_SUPPORTE; }
  int Remplacer(TProprietesDocument& Props, std::string& UniqueId) override {
    Replaced = Props;
    UniqueId = Info.UniqueID + ".2";
    return ERR_OK;
  }
  std::shared_ptr<ICarvelin> Carvelin() override { return Root; }
};

constexpr double Day = 45730;  // 14/03/2025

// Closes a modal form however its answer ends (a failed check returns early).
struct TCloseAfter {
  QDialog& Form;
  ~TCloseAfter() {
    if (Form.isVisible()) Form.reject();
  }
};

}  // namespace

class TAjoutDocumentTest : public QObject {
  Q_OBJECT
  std::shared_ptr<TFakeCarvelin> Fake;
  QTemporaryDir Dir;

  std::shared_ptr<IDossierMedical> Dossier() {
    std::shared_ptr<IVaspoCPS> CPS;
    std::shared_ptr<IDossierMedical> DOS;
    if (Fake->GetCPS(0, CPS) != ERR_OK || CPS->DossierExiste("1", 'T', DOS) != ERR_OK) return nullptr;
    return DOS;
  }

  // A form ready to file: title, type, patient, the record.
  std::unique_ptr<TAjoutDocument> Form() {
    auto F = std::make_unique<TAjoutDocument>(nullptr);
    F->SetDossier(Dossier());
    F->PatientId = 12;
    F->edTitle->setText(QStringLiteral("Compte rendu"));
    F->mmTexte->setPlainText(QStringLiteral("Texte"));
    return F;
  }

  QString File(const QString& Name, const QByteArray& Content) {
    const QString Path = Dir.filePath(Name);
    QFile F(Path);
    if (!F.open(QIODevice::WriteOnly) || F.write(Content) != Content.size()) return {};
    return Path;
  }

  // OK clicked: the message shown (empty when none).
  static QString ClickOK(TAjoutDocument& F) {
    QString Shown;
    const auto Box = AnswerModal<QMessageBox>([&Shown](QMessageBox& B) {
      Shown = B.text();
      B.accept();
    });
    QTest::mouseClick(F.btOK, Qt::LeftButton);
    return Shown;
  }

 private slots:
  void initTestCase() { QVERIFY(Dir.isValid()); }
  void init() { Fake = std::make_shared<TFakeCarvelin>(); }

  void controls_and_texts() {
    TAjoutDocument F(nullptr);
    QCOMPARE(F.windowTitle(), QStringLiteral("Ajouter un Document au DMP"));
    QCOMPARE(F.edTitle->maxLength(), 128);
    QCOMPARE(F.cbTypeDocument->count(), TypeDocumentMedicalCount);
    QCOMPARE(F.cbTypeDocument->maxVisibleItems(), 25);
    QVERIFY(F.cbTypeDocument->Grouped());
    QCOMPARE(F.GetTypeDocumentIndex(), 0);
    QCOMPARE(F.cbTypeDocument->itemText(0), QString::fromUtf8(TypesDocument[0].Caption.data()));
    QCOMPARE(F.cbCadreExercice->count(), CadreExerciceCount);
    QCOMPARE(F.cbCadreExercice->currentIndex(), 0);
    for (TDateTimePicker* P : {F.dpDocument, F.dpDebut, F.dpFin}) {
      QVERIFY(P->ShowCheckbox());
      QVERIFY(!P->Checked());
      QVERIFY(std::abs(P->DateTime() - Vantrel::Now()) < 1.0 / 24);
    }
    QVERIFY(F.edDocument->isReadOnly());
    QCOMPARE(F.edDocument->toolTip(), QStringLiteral("Chemin d'accès au document"));
    QVERIFY(F.cbToutLeMonde->isChecked());
    QVERIFY(!F.cbInvisibleRL->isEnabled());
    QCOMPARE(F.btOK->text(), QStringLiteral("OK"));
    QCOMPARE(F.btCancel->text(), QStringLiteral("Annuler"));
    // The free text holds 750 characters at most.
    F.mmTexte->setPlainText(QString(800, QLatin1Char('x')));
    QCOMPARE(F.mmTexte->toPlainText().size(), 750);
  }

  // Each visibility caption is shown whole in the form at its smallest,
  // broken between words, and spoken as written.
  void visibility_captions_shown_whole() {
    TAjoutDocument F(nullptr);
    F.resize(F.minimumSizeHint());
    F.show();
    QVERIFY(QTest::qWaitForWindowExposed(&F));
    const std::pair<QCheckBox*, const char*> Boxes[] = {
        {F.cbToutLeMonde,
         "Visible par toute personne autorisée à accéder aux documents du dossier de votre patient"},
        {F.cbPraticiens,
         "Non visible par le patient : vous souhaitez que ce document ne soit pas visible par le patient car il "
         "nécessite une information préalable par un professionnel de santé"},
        {F.cbPatient,
         "Masqué aux professionnels de santé: votre patient souhaite que ce document soit visible uniquement par "
         "son auteur et par le médecin traitant DMP"},
        {F.cbInvisibleRL,
         "Invisible aux représentants légaux: en accord avec votre patient mineur, vous souhaitez rendre invisible "
         "un document au représentant légal pour préserver le secret de ces informations"},
    };
    for (const auto& [Box, Caption] : Boxes) {
      QVERIFY2(Box->sizeHint().width() <= Box->width(), Box->objectName().toUtf8().constData());
      QCOMPARE(Box->accessibleName(), QString::fromUtf8(Caption));
      QCOMPARE(QString(Box->text()).replace(QLatin1Char('\n'), QLatin1Char(' ')), QString::fromUtf8(Caption));
    }
  }

  void ok_checks_data() {
    QTest::addColumn<QString>("Title");
    QTest::addColumn<QString>("Texte");
    QTest::addColumn<int>("Type");
    QTest::addColumn<qint64>("PatientId");
    QTest::addColumn<double>("Debut");  // 0: unticked
    QTest::addColumn<double>("Fin");    // 0: unticked
    QTest::addColumn<QString>("FileName");  // "": none; "missing": a path that does not exist
    QTest::addColumn<QString>("Message");   // "": filed
    QTest::addColumn<QString>("Focus");
    const QString A128 = QString(128, QChar(0xE9));
    QTest::newRow("no title") << "" << "t" << 3 << qint64(12) << 0.0 << 0.0 << "" << "Le titre est obligatoire"
                              << "edTitle";
    QTest::newRow("128 accented characters") << A128 << "t" << 3 << qint64(12) << 0.0 << 0.0 << ""
                                             << "Le titre est trop long (128 caractères UTF8 maximum)" << "edTitle";
    QTest::newRow("128 bytes") << QString(128, QLatin1Char('a')) << "t" << 3 << qint64(12) << 0.0 << 0.0 << "" << ""
                               << "";
    QTest::newRow("blank text, no file") << "CR" << "  \n\t " << 3 << qint64(12) << 0.0 << 0.0 << ""
                                         << "Vous devez indiquer un texte libre ou une pièce jointe" << "mmTexte";
    QTest::newRow("blank text, a file") << "CR" << " " << 3 << qint64(12) << 0.0 << 0.0 << "cr.pdf" << "" << "";
    QTest::newRow("PatientId 0") << "CR" << "t" << 3 << qint64(0) << 0.0 << 0.0 << ""
                                 << "Une référence LPS du patient doit être fournie (patientId)" << "btCancel";
    QTest::newRow("end without start") << "CR" << "t" << 3 << qint64(12) << 0.0 << Day + 0.5 << ""
                                       << "Les dates de début et fin ne sont pas cohérentes" << "dpFin";
    QTest::newRow("end the day before") << "CR" << "t" << 3 << qint64(12) << Day + 0.25 << Day - 0.25 << ""
                                        << "Les dates de début et fin ne sont pas cohérentes" << "dpFin";
    QTest::newRow("same day, end hour earlier") << "CR" << "t" << 3 << qint64(12) << Day + 0.75 << Day + 0.25 << ""
                                                << "" << "";
    QTest::newRow("no type") << "CR" << "t" << -1 << qint64(12) << 0.0 << 0.0 << ""
                             << "Veuillez indiquer le type de document" << "cbTypeDocument";
    QTest::newRow("unreadable file") << "CR" << "t" << 3 << qint64(12) << 0.0 << 0.0 << "missing"
                                     << "Impossible de lire le fichier %1" << "btBrowse";
  }

  void ok_checks() {
    QFETCH(QString, Title);
    QFETCH(QString, Texte);
    QFETCH(int, Type);
    QFETCH(qint64, PatientId);
    QFETCH(double, Debut);
    QFETCH(double, Fin);
    QFETCH(QString, FileName);
    QFETCH(QString, Message);
    QFETCH(QString, Focus);
    const auto F = Form();
    int Clicked = 0;
    F->FOnClick = [&Clicked, &F](QWidget* Sender) { Clicked += Sender == F.get(); };
    F->edTitle->setText(Title);
    F->mmTexte->setPlainText(Texte);
    F->SetTypeDocumentIndex(Type);
    F->PatientId = PatientId;
    if (Debut > 0) {
      F->dpDebut->SetDateTime(Debut);
      F->dpDebut->SetChecked(true);
    }
    if (Fin > 0) {
      F->dpFin->SetDateTime(Fin);
      F->dpFin->SetChecked(true);
    }
    QString Path;
    if (FileName == "missing") Path = Dir.filePath(QStringLiteral("absent.pdf"));
    else if (!FileName.isEmpty()) Path = File(FileName, "%PDF-1.4\n");
    F->edDocument->setText(Path);
    F->show();
    QVERIFY(QTest::qWaitForWindowActive(F.get()));
    F->btOK->setFocus();

    const QString Shown = ClickOK(*F);
    QCOMPARE(Shown, Message.contains(QLatin1String("%1")) ? Message.arg(Path) : Message);
    QCOMPARE(Clicked, Message.isEmpty() ? 1 : 0);
    QVERIFY(F->isVisible());  // the window closes the form once filed
    if (!Message.isEmpty()) {
      QWidget* Expected = F->findChild<QWidget*>(Focus);
      QVERIFY(Expected);
      QTRY_VERIFY2(F->focusWidget() == Expected || Expected->isAncestorOf(F->focusWidget()),
                   qPrintable(F->focusWidget() ? F->focusWidget()->objectName() : QStringLiteral("none")));
      return;
    }
    QCOMPARE(QString::fromStdString(F->Prop.Titre), Title);
    QCOMPARE(F->Prop.PatientId, std::to_string(PatientId));
    QCOMPARE(F->Prop.TypeDocument, std::string(TypesDocument[size_t(Type)].Code));
    if (Debut > 0) QCOMPARE(F->Prop.DateDebut, Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Debut));
    QCOMPARE(F->Prop.DateFin, Fin > 0 ? Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Fin) : std::string());
  }

  // The properties: dates, care setting, visibility, content and comment.
  void props_read_the_fields() {
    const auto F = Form();
    F->mmTexte->setPlainText(QStringLiteral("Allergie à la pénicilline\nÀ revoir"));
    F->cbCadreExercice->setCurrentIndex(3);
    F->SetTypeDocumentIndex(TypeDocumentIndex("11488-4"));
    const double Before = Vantrel::Now();
    QCOMPARE(F->GetProps(), 0);
    // Unticked pickers: now less 20 seconds for the document and the start, no end.
    const auto Seconds = [](const std::string& Text) { return Talven::ParseDateFR(Text) * 86400; };
    for (const std::string& D : {F->Prop.DateDocument, F->Prop.DateDebut})
      QVERIFY2(std::abs(Seconds(D) - (Before * 86400 - 20)) <= 2, D.c_str());
    QVERIFY(F->Prop.DateFin.empty());
    QCOMPARE(F->Prop.CadreExercice, std::string(CadresExercice[3].Code));
    QCOMPARE(F->Prop.TypeDocument, std::string("11488-4"));
    // Text only: the text is the content, in UTF-8, plain text, no comment.
    QCOMPARE(F->Prop.Document.Contenu, std::string("Allergie à la pénicilline\nÀ revoir"));
    QCOMPARE(F->Prop.Document.TypeMime, TTypeMime::TextPlain);
    QVERIFY(F->Prop.Commentaire.empty());
    QCOMPARE(F->Prop.Visibilite.Bits(), 0u);

    // A ticked document date: its day at midnight.
    F->dpDocument->SetDateTime(Day + 0.6);
    F->dpDocument->SetChecked(true);
    // A file: its bytes and type, the text as comment.
    const QString Pdf = File(QStringLiteral("cr.PDF"), "%PDF-1.4\n%\xE2\xE3\n");
    F->edDocument->setText(Pdf);
    F->cbPatient->click();
    F->cbInvisibleRL->setChecked(true);
    QCOMPARE(F->GetProps(), 0);
    QCOMPARE(F->Prop.DateDocument, std::string("14/03/2025 00:00:00"));
    QCOMPARE(F->Prop.Document.Contenu, std::string("%PDF-1.4\n%\xE2\xE3\n"));
    QCOMPARE(F->Prop.Document.TypeMime, TTypeMime::ApplicationPDF);
    QCOMPARE(F->Prop.Commentaire, std::string("Allergie à la pénicilline\nÀ revoir"));
    QCOMPARE(F->Prop.Visibilite.Bits(), 1u | 4u);
    // A host's MIME type wins over the extension.
    F->MimeType = "text/rtf";
    QCOMPARE(F->GetProps(), 0);
    QCOMPARE(F->Prop.Document.TypeMime, TTypeMime::TextRTF);
  }

  void visibility_cascade_data() {
    QTest::addColumn<bool>("Cumul");
    QTest::addColumn<QStringList>("Clicks");
    QTest::addColumn<QString>("Ticked");  // cbToutLeMonde, cbPraticiens, cbPatient
    QTest::newRow("patient") << false << QStringList{"cbPatient"} << "001";
    QTest::newRow("patient then practitioners") << false << QStringList{"cbPatient", "cbPraticiens"} << "010";
    QTest::newRow("both, cumulated") << true << QStringList{"cbPatient", "cbPraticiens"} << "011";
    QTest::newRow("one of both unticked") << true << QStringList{"cbPatient", "cbPraticiens", "cbPatient"} << "010";
    QTest::newRow("last unticked") << false << QStringList{"cbPraticiens", "cbPraticiens"} << "100";
    QTest::newRow("everybody unticks both") << true << QStringList{"cbPatient", "cbPraticiens", "cbToutLeMonde"}
                                            << "100";
    QTest::newRow("everybody stays ticked alone") << false << QStringList{"cbToutLeMonde"} << "100";
  }

  void visibility_cascade() {
    QFETCH(bool, Cumul);
    QFETCH(QStringList, Clicks);
    QFETCH(QString, Ticked);
    Fake->Core->Data.Parametres.CumulVisibilite = Cumul;
    const auto F = Form();
    for (const QString& Name : Clicks) F->findChild<QCheckBox*>(Name)->click();
    QString State;
    for (QCheckBox* B : {F->cbToutLeMonde, F->cbPraticiens, F->cbPatient}) State += B->isChecked() ? '1' : '0';
    QCOMPARE(State, Ticked);
    QVERIFY(!F->cbInvisibleRL->isChecked());
  }

  void minor_settings_data() {
    QTest::addColumn<bool>("Mineur");
    QTest::addColumn<int>("Secret");
    QTest::addColumn<bool>("Enabled");
    QTest::addColumn<bool>("Ticked");
    QTest::newRow("adult") << false << 0 << false << false;
    QTest::newRow("minor") << true << 0 << true << false;
    QTest::newRow("minor, secret mode") << true << 2 << false << true;
  }

  void minor_settings() {
    QFETCH(bool, Mineur);
    QFETCH(int, Secret);
    QFETCH(bool, Enabled);
    QFETCH(bool, Ticked);
    Fake->Core->Data.Dossier.Mineur = Mineur;
    Fake->Core->Data.Dossier.Secret = Secret;
    const auto F = Form();
    QCOMPARE(F->cbInvisibleRL->isEnabled(), Enabled);
    QCOMPARE(F->cbInvisibleRL->isChecked(), Ticked);
    QCOMPARE(F->GetProps(), 0);
    QCOMPARE(F->Prop.Visibilite.Bits(), Ticked ? 4u : 0u);
  }

  void replacement_prefill_data() {
    QTest::addColumn<QString>("Extension");
    QTest::addColumn<bool>("Utf8");
    QTest::addColumn<QByteArray>("Content");
    QTest::addColumn<QString>("Memo");
    QTest::newRow("TXT in UTF-8") << "TXT" << true << QByteArray("Fièvre à 39°") << "Fièvre à 39°";
    QTest::newRow("TXT in Windows-1252") << "TXT" << false << QByteArray("Fi\xE8vre \xE0 39\xB0 \x80")
                                         << "Fièvre à 39° €";
    QTest::newRow("PDF: the comment") << "PDF" << false << QByteArray("%PDF-1.4") << "Commentaire d'origine";
  }

  void replacement_prefill() {
    QFETCH(QString, Extension);
    QFETCH(bool, Utf8);
    QFETCH(QByteArray, Content);
    QFETCH(QString, Memo);
    auto Doc = std::make_shared<TTestDocument>();
    Doc->Root = Fake;
    Doc->Info.Nom = "Compte rendu « initial »";
    Doc->Info.Categorie = "CR ou fiche de consultation ou de visite";
    Doc->Info.DateCreation = "12/03/2024 10:30";
    Doc->Info.CadreExercice = std::string(CadresExercice[2].Label);
    Doc->Info.Extension = Extension.toStdString();
    Doc->Info.Commentaire = "Commentaire d'origine";
    Doc->Info.Visibilite = 2 | 4;
    Doc->Info.UniqueID = "1.2.3";
    Doc->Content = Content.toStdString();
    Doc->Utf8 = Utf8;
    TAjoutDocument F(nullptr);
    F.PatientId = 12;
    F.SetDocument(Doc);
    QCOMPARE(F.windowTitle(), QStringLiteral("Remplacer un Document du DMP"));
    QCOMPARE(F.btOK->text(), QStringLiteral("Remplacer"));
    QCOMPARE(F.edTitle->text(), QStringLiteral("Compte rendu « initial »"));
    QCOMPARE(F.GetTypeDocumentIndex(), TypeDocumentIndex("11488-4"));
    QVERIFY(!F.dpDocument->isEnabled());
    QVERIFY(F.dpDocument->Checked());
    QCOMPARE(Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", F.dpDocument->DateTime()), std::string("12/03/2024 10:30"));
    QCOMPARE(F.cbCadreExercice->currentIndex(), 2);
    QVERIFY(!F.cbToutLeMonde->isChecked());
    QVERIFY(F.cbPraticiens->isChecked());
    QVERIFY(!F.cbPatient->isChecked());
    QVERIFY(F.cbInvisibleRL->isChecked());
    QCOMPARE(F.mmTexte->toPlainText(), Memo);
    // Filed through the document.
    QCOMPARE(F.GetProps(), 0);
    QCOMPARE(F.Process(), ERR_OK);
    QCOMPARE(F.FUniqueID, std::string("1.2.3.2"));
    QCOMPARE(Doc->Replaced.Titre, std::string("Compte rendu « initial »"));
    QCOMPARE(Doc->Replaced.DateDocument, std::string("12/03/2024 00:00:00"));
  }

  // A replacement known by identifiers only; once its original is found
  // gone, a plain deposit.
  void replacement_by_identifiers() {
    const auto F = Form();
    F->SetDocument(nullptr);
    F->SetDocIDs("1.2.250.7", "urn:uuid:7", "11488-4");
    QCOMPARE(F->windowTitle(), QStringLiteral("Remplacer un Document du DMP"));
    QCOMPARE(F->GetTypeDocumentIndex(), TypeDocumentIndex("11488-4"));
    QCOMPARE(F->GetProps(), 0);
    QCOMPARE(F->Prop.Remplacer.UniqueID, std::string("1.2.250.7"));
    QCOMPARE(F->Prop.Remplacer.UUID, std::string("urn:uuid:7"));
    F->Deposer();
    QVERIFY(F->Prop.Remplacer.UniqueID.empty());
    QCOMPARE(F->Process(), ERR_OK);
    QVERIFY(!F->FUniqueID.empty());
  }

  // A refused filing keeps the core's message; nothing counts as filed.
  void refused_filing_keeps_the_cores_message() {
    Fake->Script("AddDocument", {.Code = ERR_DOCUMENT_INTROUVABLE});
    const auto F = Form();
    QCOMPARE(F->GetProps(), 0);
    QCOMPARE(F->Process(), ERR_DOCUMENT_INTROUVABLE);
    QVERIFY(F->FUniqueID.empty());
    QCOMPARE(F->FError, std::string(Fake->GetErrMsg(ERR_DOCUMENT_INTROUVABLE)));
    QVERIFY(!F->FError.empty());
  }

  // Three files with the same metadata; the second vanished before its
  // turn: reported and skipped, the third filed.
  void batch_skips_a_vanished_file() {
    const QString A = File(QStringLiteral("a.pdf"), "%PDF-a"), B = File(QStringLiteral("b.txt"), "b"),
                  C = File(QStringLiteral("c.txt"), "c");
    std::vector<std::string> Names{A.toStdString(), B.toStdString(), C.toStdString()};
    QStringList Reported;
    QStringList Filed;
    const auto Dialog = AnswerModal<TAjoutDocument>([&](TAjoutDocument& F) {
      TCloseAfter Close{F};
      F.edTitle->setText(QStringLiteral("Lot"));
      QCOMPARE(F.edDocument->text(), QStringLiteral("3 documents."));
      QVERIFY(!F.btBrowse->isEnabled());
      QCOMPARE(F.GetProps(), 0);
      do {
        Filed << QString::fromStdString(F.Prop.Document.Contenu);
        if (Filed.size() == 1) QFile::remove(B);
        const auto Box = AnswerModal<QMessageBox>([&Reported](QMessageBox& M) {
          Reported << M.text();
          M.accept();
        });
        if (!F.NextDocument()) break;
      } while (Filed.size() < 5);
      F.accept();
    });
    QVERIFY(TAjoutDocument::Execute(nullptr, {}, QStringLiteral("Mme DUPONT MARIE"), Dossier(), 12, -1, Names, true));
    QCOMPARE(Filed, (QStringList{"%PDF-a", "c"}));
    QCOMPARE(Reported, QStringList{"Impossible de lire le fichier " + B});
    // The dropped files were the window's copies: deleted with the form.
    QVERIFY(!QFile::exists(A));
    QVERIFY(!QFile::exists(C));
    QVERIFY(!AjoutDocument);
  }

  void host_file_category_data() {
    QTest::addColumn<QString>("Category");
    QTest::addColumn<int>("Type");
    QTest::newRow("code") << "11488-4" << TypeDocumentIndex("11488-4");
    QTest::newRow("label") << "CR hospitalier (séjour)" << TypeDocumentIndex("34112-3");
    QTest::newRow("unknown") << "Courrier" << -1;
  }

  // The host's category chooses the type; with none, OK asks for one and
  // the cancelled form answers -7.
  void host_file_category() {
    QFETCH(QString, Category);
    QFETCH(int, Type);
    TSendFileToDMP Snd;
    Snd.Title = "Résultat";
    Snd.Category = Category.toStdString();
    Snd.FileName = File(QStringLiteral("host.pdf"), "%PDF-host").toStdString();
    Snd.LocalId = "L9";
    Snd.Date = Day + 0.5;
    TSendFileToDMPReply Rpl;
    int Selected = -2;
    QString Shown;
    const auto Dialog = AnswerModal<TAjoutDocument>([&](TAjoutDocument& F) {
      TCloseAfter Close{F};
      Selected = F.GetTypeDocumentIndex();
      QCOMPARE(F.edTitle->text(), QStringLiteral("Résultat"));
      QCOMPARE(F.edDocument->text(), QStringLiteral("Importation d'un document"));
      QVERIFY(!F.btBrowse->isEnabled());
      QVERIFY(!F.dpDocument->Checked());
      QCOMPARE(std::floor(F.dpDocument->DateTime()), Day);
      if (Type < 0) Shown = ClickOK(F);
    });
    QVERIFY(!TAjoutDocument::SendFile2(nullptr, {}, {}, Dossier(), 12, "host", Snd, Rpl));
    QCOMPARE(Selected, Type);
    QCOMPARE(Shown, Type < 0 ? QStringLiteral("Veuillez indiquer le type de document") : QString());
    QCOMPARE(Rpl.ErrNo, -7);
    QCOMPARE(Rpl.Error, std::string("Opération annulée par l'utilisateur"));
    QCOMPARE(Rpl.LocalId, std::string("L9"));
  }

  // A host's file filed (the window runs Process and closes the form), or
  // refused by the core and then cancelled; a replacement keeps its id.
  void host_file_reply_data() {
    QTest::addColumn<int>("Code");
    QTest::addColumn<QString>("ReplaceId");
    QTest::newRow("filed") << ERR_OK << "";
    QTest::newRow("refused") << ERR_DOCUMENT_INTROUVABLE << "";
    QTest::newRow("replacement") << ERR_OK << "1.2.250.5";
  }

  void host_file_reply() {
    QFETCH(int, Code);
    QFETCH(QString, ReplaceId);
    if (Code != ERR_OK) Fake->Script("AddDocument", {.Code = Code});
    TSendFileToDMP Snd;
    Snd.Title = "Résultat";
    Snd.Category = "11488-4";
    Snd.FileName = File(QStringLiteral("host.pdf"), "%PDF-host").toStdString();
    Snd.MimeType = "application/pdf";
    Snd.ReplaceId = ReplaceId.toStdString();
    TSendFileToDMPReply Rpl;
    std::string Replaced;
    const auto OnClick = [&](QWidget* Sender) {
      auto* F = qobject_cast<TAjoutDocument*>(Sender);
      Replaced = F->Prop.Remplacer.UniqueID;
      if (F->Process() == ERR_OK) F->accept();
    };
    QString Shown = QStringLiteral("not shown");
    const auto Dialog = AnswerModal<TAjoutDocument>([&](TAjoutDocument& F) {
      TCloseAfter Close{F};
      Shown = ClickOK(F);
    });
    const bool Filed = TAjoutDocument::SendFile2(nullptr, OnClick, {}, Dossier(), 12, "host", Snd, Rpl);
    QCOMPARE(Shown, QString());
    QCOMPARE(Filed, Code == ERR_OK);
    QCOMPARE(Replaced, ReplaceId.toStdString());
    if (Code == ERR_OK) {
      QCOMPARE(Rpl.ErrNo, 0);
      QVERIFY(Rpl.UniqueId.starts_with("1.2.250.1.999.1.1."));
    } else {
      QCOMPARE(Rpl.ErrNo, -7);
      QCOMPARE(Rpl.Error, std::string(Fake->GetErrMsg(Code)));
      QVERIFY(Rpl.UniqueId.empty());
    }
  }
};

QTEST_MAIN(TAjoutDocumentTest)
#include "UAjoutDocument.ui.moc"
