// The vaccination note form: the catalogue's sources, the search, the
// checks of OK with their messages, the note and the local copy it files,
// and the replacement of a filed note.
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <optional>

#include "Carvelin.Resources.h"
#include "ModalAnswer.h"
#include "UFrmNoteVaccination.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.SysUtils.h"

using namespace Carvelin;
namespace fs = std::filesystem;

namespace {

// Two vaccines, in the object form and the plain-code form of "atc".
const std::string Small =
    R"([{"id": 1, "shortName": "ORVAGRIP", "name": "ORVAGRIP, suspension injectable", "cis": "61101234",)"
    R"( "cip": ["3400961101234"], "atc": {"code": "J07BB02", "name": "Grippe"}, "company": "Orvane",)"
    R"( "marketStatus": "Commercialisé", "ammType": "AMM Française"},)"
    R"( {"SHORTNAME": "ZOSTA", "Name": "ZOSTA, poudre", "CIS": "63007725", "atc": "J07BK03", "company": "Pharmaxel"}])";

// For the search: CIS prefix, name, laboratory, and a CIS that only contains the text.
const std::string Searched =
    R"([{"shortName": "A", "name": "A vaccin", "cis": "61101234", "atc": "J07", "company": "Orvane"},)"
    R"( {"shortName": "B", "name": "B lot 6110 UI", "cis": "12345678", "atc": "J07", "company": "Orvane"},)"
    R"( {"shortName": "C", "name": "C vaccin", "cis": "22222222", "atc": "J07", "company": "Labo 6110"},)"
    R"( {"shortName": "D", "name": "D vaccin", "cis": "46110000", "atc": "J07", "company": "Brenmar Santé"}])";

std::optional<std::string> ReadCache(const fs::path& File) {
  if (!fs::exists(File)) return std::nullopt;
  return Vantrel::FileToUTF8(File.string());
}

Vantrel::TDateTime Day(int Year, int Month, int D) {
  Vantrel::TDateTime Date = 0;
  Vantrel::TryEncodeDate(Year, Month, D, Date);
  return Date;
}

void WriteFile(const fs::path& File, std::string_view Text) { std::ofstream(File, std::ios::binary) << Text; }

// Stands for the main window: the job runs at once, its calls are kept.
struct TFakeHost : INoteVaccinationHost {
  int Error = 0;
  int Submitted = 0, Reloaded = 0;
  QList<int> Shown;
  Talven::TProprietesDocument FiledProps, SavedProps;
  Talven::TNoteVaccination Filed;
  std::string SavedID;
  bool Busy = false;  // another job runs: the request is dropped
  bool Submit(std::function<int()> Proc, std::function<void(int)> Done) override {
    if (Busy) return false;
    ++Submitted;
    const int Result = Proc();
    Done(Result);
    return true;
  }
  int AddNoteVaccination(const Talven::TProprietesDocument& Props, const Talven::TNoteVaccination& Note,
                         std::string& UniqueId) override {
    FiledProps = Props;
    Filed = Note;
    UniqueId = "1.2.250.1.999.1.1.4242";
    return Error;
  }
  void ShowError(int E) override { Shown << E; }
  void SaveDocument(const std::string& UniqueId, const Talven::TProprietesDocument& Props) override {
    SavedID = UniqueId;
    SavedProps = Props;
  }
  void ReloadDocuments() override { ++Reloaded; }
};

int IndexOfName(const TFrmNoteVaccination& Form, std::string_view ShortName) {
  for (size_t I = 0; I < Form.VaccinsList().size(); ++I)
    if (Form.Vaccins()[size_t(Form.VaccinsList()[I])].shortName == ShortName) return int(I);
  return -1;
}

void Fill(TFrmNoteVaccination& Form, const QString& Date, const char* Vaccine, const QString& Lot,
          const QString& Vaccinateur) {
  Form.edDate->setText(Date);
  Form.edSearch->clear();
  Form.lbVaccins->SetItemIndex(Vaccine ? IndexOfName(Form, Vaccine) : -1);
  Form.edLot->setText(Lot);
  Form.edVaccinateur->setText(Vaccinateur);
}

// The messages GetParams shows while it runs.
QStringList Messages(TFrmNoteVaccination& Form, bool& Answer) {
  QStringList Shown;
  const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
    Shown << B.text();
    B.accept();
  });
  Answer = Form.GetParams();
  return Shown;
}

}  // namespace

class TUFrmNoteVaccinationTest : public QObject {
  Q_OBJECT
  QTemporaryDir Dir;
  fs::path Cache;

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    QVERIFY(QDir::setCurrent(Dir.path()));
    Cache = fs::path(Dir.path().toStdString()) / "vaccins.json";
    // The workstation's own date format must not reach the note.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  }
  void init() { fs::remove(Cache); }

  void embedded_catalogue_reads_in_full() {
    std::vector<TVaccin> Vaccins;
    QVERIFY(ReadVaccins(Resources::VACCINS(), Vaccins));
    QVERIFY(Vaccins.size() >= 24);
    for (const TVaccin& V : Vaccins) {
      QVERIFY(!V.shortName.empty() && V.name.starts_with(V.shortName));
      QCOMPARE(V.cis.size(), size_t(8));
      QVERIFY(V.atc.code.starts_with("J07") && !V.atc.name.empty());
      QVERIFY(!V.company.empty());
    }
  }

  void atc_reads_as_object_or_code() {
    std::vector<TVaccin> Vaccins;
    QVERIFY(ReadVaccins(Small, Vaccins));
    QCOMPARE(Vaccins.size(), size_t(2));
    QCOMPARE(Vaccins[0].atc.code, std::string("J07BB02"));
    QCOMPARE(Vaccins[0].atc.name, std::string("Grippe"));
    QCOMPARE(Vaccins[1].shortName, std::string("ZOSTA"));
    QCOMPARE(Vaccins[1].cis, std::string("63007725"));
    QCOMPARE(Vaccins[1].atc.code, std::string("J07BK03"));
    QVERIFY(Vaccins[1].atc.name.empty());
  }

  // Downloaded text ("" = failed), cache before (absent when null); the
  // catalogue's first vaccine and the cache after (absent when null).
  void catalogue_sources_data() {
    QTest::addColumn<QByteArray>("Downloaded");
    QTest::addColumn<QByteArray>("Before");
    QTest::addColumn<QByteArray>("First");
    QTest::addColumn<QByteArray>("After");
    const QByteArray Embedded(Resources::VACCINS().data(), qsizetype(Resources::VACCINS().size()));
    const QByteArray Other = QByteArray::fromStdString(Small);
    const QByteArray Null, E("GRIPALIS"), O("ORVAGRIP");
    QTest::newRow("equal to the embedded copy: the cache goes") << Embedded << Other << E << Null;
    QTest::newRow("equal to the embedded copy, no cache") << Embedded << Null << E << Null;
    QTest::newRow("a different copy is used and cached") << Other << Null << O << Other;
    QTest::newRow("a different copy replaces the cache") << Other << Embedded.left(40) << O << Other;
    QTest::newRow("offline with a cache") << Null << Other << O << Other;
    QTest::newRow("offline without a cache: embedded") << Null << Null << E << Null;
    QTest::newRow("cut answer, cache kept") << Other.left(Other.size() / 2) << Other << O << Other;
    QTest::newRow("cut answer, nothing cached") << Other.left(60) << Null << E << Null;
    QTest::newRow("error page, nothing cached") << QByteArray("<html><body>Erreur</body></html>") << Null
                                                << E << Null;
    QTest::newRow("empty array, nothing cached") << QByteArray("[]") << Null << E << Null;
    QTest::newRow("unreadable cache offline: deleted") << Null << QByteArray("[{\"cis\": ") << E << Null;
    QTest::newRow("unreadable cache, error page: deleted")
        << QByteArray("<html/>") << QByteArray("<html/>") << E << Null;
  }
  void catalogue_sources() {
    QFETCH(QByteArray, Downloaded);
    QFETCH(QByteArray, Before);
    QFETCH(QByteArray, First);
    QFETCH(QByteArray, After);
    if (!Before.isNull()) WriteFile(Cache, Before.toStdString());
    const auto Vaccins = LoadVaccins(Resources::VACCINS(), Cache, Downloaded.toStdString());
    QVERIFY(!Vaccins.empty());
    QCOMPARE(QByteArray::fromStdString(Vaccins[0].shortName), First);
    const auto Left = ReadCache(Cache);
    QCOMPARE(Left.has_value(), !After.isNull());
    if (Left) QCOMPARE(QByteArray::fromStdString(*Left), After);
    // What was used is what the cache now holds, or the embedded copy.
    std::vector<TVaccin> Expected;
    ReadVaccins(Left ? *Left : std::string(Resources::VACCINS()), Expected);
    QCOMPARE(Vaccins.size(), Expected.size());
  }

  void form_reads_the_cached_catalogue_without_a_maker() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    QCOMPARE(Form.Vaccins().size(), size_t(2));
    QCOMPARE(Form.lbVaccins->Count(), 2);
    QCOMPARE(Form.windowTitle(), QStringLiteral("Note de Vaccination"));
    QCOMPARE(Form.edSearch->toolTip(), QStringLiteral("Rechercher un vaccin par nom, CIS ou labo"));
    QCOMPARE(Form.edDate->text(), QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")));
    QCOMPARE(Form.cbSite->currentText(), QStringLiteral("Deltoïde gauche"));
    QCOMPARE(Form.cbRoute->currentText(), QStringLiteral("Prendre par la bouche"));
    QCOMPARE(Form.cbRoute->itemText(0), QStringLiteral("(non précisé)"));
    QCOMPARE(Form.cbRang->count(), 9);
    QCOMPARE(Form.cbVaccination->count(), 3);
    QCOMPARE(Form.cbCadreExercice->count(), 8);
    QCOMPARE(Form.edVaccinateur->text(), QStringLiteral("moi-même"));
    QCOMPARE(Form.Props().TypeDocument, std::string("87273-9"));
  }

  void search_data() {
    QTest::addColumn<QString>("Text");
    QTest::addColumn<QString>("Listed");
    QTest::newRow("blank lists all") << "  " << "ABCD";
    QTest::newRow("CIS prefix, name, laboratory") << "6110" << "ABC";
    QTest::newRow("name, any case") << " lot 6110 " << "B";
    QTest::newRow("laboratory with an accent") << "santé" << "D";
    QTest::newRow("none") << "XYZ" << "";
  }
  void search() {
    QFETCH(QString, Text);
    QFETCH(QString, Listed);
    WriteFile(Cache, Searched);
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    Form.edSearch->setText(Text);
    QString Got;
    for (int I : Form.VaccinsList()) Got += QString::fromStdString(Form.Vaccins()[size_t(I)].shortName);
    QCOMPARE(Got, Listed);
    QCOMPARE(Form.lbVaccins->Count(), int(Listed.size()));
  }

  // The form at its smallest draws every row inside the list: the embedded
  // catalogue's whole, a longer one cut short. Nothing reaches the list's
  // right edge.
  void rows_stay_inside_the_list_data() {
    QTest::addColumn<QString>("Cached");
    QTest::newRow("embedded catalogue") << QString();
    QTest::newRow("longer row") << QStringLiteral(
        R"([{"shortName": "LONG", "name": "LONG %1", "cis": "61101234", "atc": "J07", "company": "%2"}])")
                                       .arg(QString(150, QLatin1Char('x')), QString(40, QLatin1Char('y')));
  }
  void rows_stay_inside_the_list() {
    QFETCH(QString, Cached);
    if (!Cached.isEmpty()) WriteFile(Cache, Cached.toStdString());
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    Form.resize(Form.minimumSizeHint());
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    const int Height = Form.lbVaccins->ItemHeight();
    const QRgb Base = Form.palette().base().color().rgb();
    const int Page = Form.lbVaccins->ClientHeight();
    for (int Top = 0; Top < Form.lbVaccins->Count() * Height; Top += Page) {
      Form.lbVaccins->SetScrollTop(Top);
      const QImage Shown = Form.lbVaccins->viewport()->grab().toImage();
      for (int Y = 0; Y < Shown.height(); ++Y)
        for (int X = Shown.width() - 3; X < Shown.width(); ++X)
          QVERIFY2(Shown.pixel(X, Y) == Base,
                   qPrintable(QStringLiteral("row %1 cut").arg((Form.lbVaccins->ScrollTop() + Y) / Height)));
    }
  }

  void data_find_matches_whole_names() {
    WriteFile(Cache, Searched);
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    Form.edSearch->setText(QStringLiteral("vaccin"));
    QCOMPARE(Form.lbVaccinsDataFind(QStringLiteral("C vaccin")), 1);
    QCOMPARE(Form.lbVaccinsDataFind(QStringLiteral("C vacc")), -1);
    QCOMPARE(Form.lbVaccinsDataFind(QStringLiteral("B lot 6110 UI")), -1);
    // Typed into the list: the whole name selects its row.
    Form.lbVaccins->setFocus();
    QTest::keyClicks(Form.lbVaccins, QStringLiteral("C vaccin"));
    QCOMPARE(Form.lbVaccins->ItemIndex(), 1);
  }

  // Fields typed; the message shown (none: accepted) and the field focused.
  void checks_data() {
    QTest::addColumn<QString>("Date");
    QTest::addColumn<bool>("Chosen");
    QTest::addColumn<QString>("Lot");
    QTest::addColumn<QString>("Vaccinateur");
    QTest::addColumn<QString>("Message");
    QTest::addColumn<QString>("Focus");
    QTest::newRow("bad date") << "31/02/2024" << true << "L1" << "moi-même" << "Date invalide" << "edDate";
    QTest::newRow("empty date") << "" << true << "L1" << "moi-même" << "Date invalide" << "edDate";
    QTest::newRow("no vaccine") << "01/02/2024" << false << "L1" << "moi-même" << "Veuillez choisir le vaccin"
                                << "edSearch";
    QTest::newRow("blank lot") << "01/02/2024" << true << "   " << "moi-même" << "Veuillez indiquer le n° de lot"
                               << "edLot";
    QTest::newRow("blank vaccinator") << "01/02/2024" << true << "L1" << " "
                                      << "Veuillez préciser le nom du vaccinateur" << "edVaccinateur";
    QTest::newRow("all given") << "01/02/2024" << true << "L1" << "moi-même" << "" << "";
  }
  void checks() {
    QFETCH(QString, Date);
    QFETCH(bool, Chosen);
    QFETCH(QString, Lot);
    QFETCH(QString, Vaccinateur);
    QFETCH(QString, Message);
    QFETCH(QString, Focus);
    WriteFile(Cache, Small);
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    Fill(Form, Date, Chosen ? "ZOSTA" : nullptr, Lot, Vaccinateur);
    bool Answer = false;
    const QStringList Shown = Messages(Form, Answer);
    QCOMPARE(Answer, Message.isEmpty());
    QCOMPARE(Shown, Message.isEmpty() ? QStringList{} : QStringList{Message});
    if (!Focus.isEmpty()) QCOMPARE(Form.focusWidget()->objectName(), Focus);
  }

  void six_digit_date_is_written_day_month_year() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    TFrmNoteVaccination Form(nullptr, Host);
    Fill(Form, QStringLiteral("150324"), "ORVAGRIP", QStringLiteral(" AB12 "), QStringLiteral("Dr Curie"));
    Form.cbRang->setCurrentIndex(2);
    Form.cbVaccination->setCurrentIndex(2);
    Form.cbSite->setCurrentIndex(5);
    Form.cbRoute->setCurrentIndex(0);
    bool Answer = false;
    QCOMPARE(Messages(Form, Answer), QStringList{});
    QVERIFY(Answer);
    QCOMPARE(Form.edDate->text(), QStringLiteral("15/03/2024"));
    const Talven::TNoteVaccination& N = Form.Note();
    QCOMPARE(N.Date, std::string("15/03/2024"));
    QCOMPARE(N.Vaccin, std::string("ORVAGRIP"));
    QCOMPARE(N.Lot, std::string("AB12"));
    QCOMPARE(N.Rang, 3);
    QCOMPARE(N.Vaccination, 2);
    QCOMPARE(N.CIS.Code, std::string("61101234"));
    QCOMPARE(N.CIS.Libelle, std::string("ORVAGRIP, suspension injectable"));
    QCOMPARE(N.ATC.Code, std::string("J07BB02"));
    QCOMPARE(N.ATC.Libelle, std::string("Grippe"));
    QCOMPARE(N.Site.Code, std::string("BU"));
    QCOMPARE(N.Site.Libelle, std::string("Fesse"));
    QCOMPARE(N.Route.Code, std::string(""));
    QCOMPARE(N.Route.Libelle, std::string("(non précisé"));
    QCOMPARE(N.Vaccinateur, std::string("Dr Curie"));
    QVERIFY(N.ID.starts_with("2.25."));
    QCOMPARE(Form.Props().DateFin, std::string());
    QCOMPARE(Form.Props().DateDocument.size(), size_t(19));
  }

  // OK files the note through the window's job; a refusal keeps the form.
  void ok_files_saves_and_reloads_data() {
    QTest::addColumn<int>("Error");
    QTest::newRow("filed") << 0;
    QTest::newRow("refused") << 0x5003;
  }
  void ok_files_saves_and_reloads() {
    QFETCH(int, Error);
    WriteFile(Cache, Small);
    TFakeHost Host;
    Host.Error = Error;
    bool Open = false;
    const auto Dialog = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      QCOMPARE(TFrmNoteVaccination::Shown(), &Form);
      Fill(Form, QStringLiteral("02/01/2025"), "ZOSTA", QStringLiteral("X9"), QStringLiteral("moi-même"));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      Open = Form.isVisible();
      if (Open) Form.reject();
    });
    const bool Filed = TFrmNoteVaccination::Execute(nullptr, Host, 42);
    QCOMPARE(Filed, Error == 0);
    QCOMPARE(Open, Error != 0);
    QCOMPARE(Host.Submitted, 1);
    QCOMPARE(Host.FiledProps.PatientId, std::string("42"));
    QCOMPARE(Host.Filed.Date, std::string("02/01/2025"));
    QCOMPARE(Host.Shown, Error ? QList<int>{Error} : QList<int>{});
    QCOMPARE(Host.Reloaded, Error ? 0 : 1);
    QVERIFY(!TFrmNoteVaccination::Shown());
    if (Error) {
      QVERIFY(Host.SavedID.empty());
      return;
    }
    QCOMPARE(Host.SavedID, std::string("1.2.250.1.999.1.1.4242"));
    QCOMPARE(Host.SavedProps.TypeDocument, std::string("87273-9"));
    TVaspoVaccin Copy;
    Vantrel::JSON::parseJSON(Host.SavedProps.Titre, Copy);
    QCOMPARE(Copy.CIS, std::string("63007725"));
    QCOMPARE(Copy.Nom, std::string("ZOSTA"));
    QCOMPARE(Copy.Lot, std::string("X9"));
    QCOMPARE(Copy.Rang, 1);
    QCOMPARE(Copy.Site, std::string("LD"));
    QCOMPARE(Copy.Route, std::string("PO"));
    QCOMPARE(Copy.Vaccinateur, std::string("moi-même"));
    QCOMPARE(Copy.VaccinationId, Host.Filed.ID);
    QCOMPARE(QString::fromStdString(Copy.Caption()), QStringLiteral("ZOSTA [X9] 02/01/2025"));
  }

  // OK while the window runs another job files nothing and leaves the form
  // free to be cancelled.
  void ok_while_busy_keeps_the_form_cancellable() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    Host.Busy = true;
    bool Closed = false;
    const auto Dialog = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      Fill(Form, QStringLiteral("02/01/2025"), "ZOSTA", QStringLiteral("X9"), QStringLiteral("moi-même"));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      QTest::mouseClick(Form.btCancel, Qt::LeftButton);
      Closed = !Form.isVisible();
      if (!Closed) Form.done(QDialog::Rejected);
    });
    QVERIFY(!TFrmNoteVaccination::Execute(nullptr, Host, 42));
    QVERIFY(Closed);
    QCOMPARE(Host.Submitted, 0);
  }

  // Every field from the filed note; an unknown route code gives the first row.
  void replacement_prefills_the_form() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    TVaspoVaccin V;
    V.CIS = "63007725";
    V.Nom = "ZOSTA";
    V.Date = Day(2024, 11, 5);
    V.Lot = "K7";
    V.Vaccination = 1;
    V.Rang = 4;
    V.Site = "RT";
    V.Route = "XX";
    V.VaccinationId = "2.25.1234";
    bool Checked = false;
    const auto Dialog = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      Form.reject();
      QVERIFY(Form.Selected());
      QCOMPARE(Form.Selected()->cis, std::string("63007725"));
      QCOMPARE(Form.edSearch->text(), QString());
      QCOMPARE(Form.edDate->text(), QStringLiteral("05/11/2024"));
      QCOMPARE(Form.edLot->text(), QStringLiteral("K7"));
      QCOMPARE(Form.cbVaccination->currentIndex(), 1);
      QCOMPARE(Form.cbRang->currentText(), QStringLiteral("4"));
      QCOMPARE(Form.cbSite->currentText(), QStringLiteral("Cuisse droite"));
      QCOMPARE(Form.cbRoute->currentIndex(), 0);
      QCOMPARE(Form.edVaccinateur->text(), QStringLiteral("moi-même"));
      Checked = true;
    });
    QVERIFY(!TFrmNoteVaccination::Replace(nullptr, Host, "1.2.3.old", 7, V));
    QVERIFY(Checked);
  }

  void replacement_files_over_the_old_note() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    TVaspoVaccin V;
    V.CIS = "63007725";
    V.Nom = "ZOSTA";
    V.Date = Day(2024, 11, 5);
    V.Lot = "K7";
    V.Rang = 2;
    V.Vaccinateur = "Dr Curie";
    V.VaccinationId = "2.25.1234";
    const auto Dialog =
        AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) { QTest::mouseClick(Form.btOK, Qt::LeftButton); });
    QVERIFY(TFrmNoteVaccination::Replace(nullptr, Host, "1.2.3.old", 7, V));
    QCOMPARE(Host.FiledProps.Remplacer.UniqueID, std::string("1.2.3.old"));
    QCOMPARE(Host.Filed.ID, std::string("2.25.1234"));
    QCOMPARE(Host.Filed.Date, std::string("05/11/2024"));
    QCOMPARE(Host.Filed.CIS.Code, std::string("63007725"));
    QCOMPARE(Host.Filed.Rang, 2);
    QCOMPARE(Host.Filed.Vaccinateur, std::string("Dr Curie"));
  }

  void replacement_gone_cis_asks_for_the_vaccine() {
    WriteFile(Cache, Small);
    TFakeHost Host;
    TVaspoVaccin V;
    V.CIS = "99999999";
    V.Date = Day(2024, 11, 5);
    V.Lot = "K7";
    V.VaccinationId = "2.25.1234";
    QStringList Shown;
    bool Chosen = true;
    const auto Dialog = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      Chosen = Form.Selected() != nullptr;
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Shown << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      if (Form.isVisible()) Form.reject();
    });
    QVERIFY(!TFrmNoteVaccination::Replace(nullptr, Host, "1.2.3.old", 7, V));
    QVERIFY(!Chosen);
    QCOMPARE(Shown, QStringList{QStringLiteral("Veuillez choisir le vaccin")});
    QCOMPARE(Host.Submitted, 0);
  }

  void replacement_without_identifier_is_refused() {
    TFakeHost Host;
    TVaspoVaccin V;
    V.CIS = "63007725";
    QStringList Shown;
    const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
      Shown << B.text();
      B.accept();
    });
    QVERIFY(!TFrmNoteVaccination::Replace(nullptr, Host, "1.2.3.old", 7, V));
    QCOMPARE(Shown, QStringList{QStringLiteral("Impossible de remplacer ce vaccin car son ID unique est inconnu")});
  }
};

QTEST_MAIN(TUFrmNoteVaccinationTest)
#include "UFrmNoteVaccination.ui.moc"
