// The patient and record search frames over the fake core's session, with
// a recording host in place of the main window.
#include <QtTest>

#include <ctime>

#include "FakeCarvelin.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "UFrameDossiers.h"
#include "UFramePatients.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {
// Runs jobs at once on the calling thread, unless Busy.
struct THost : ISearchHost {
  std::shared_ptr<IVaspoCNX> CNX;
  bool Busy = false;
  std::vector<int> Errors;
  QStringList Infos;
  int V1 = 0, Opened = 0;
  std::shared_ptr<IDossierMedical> DOS;
  void SubmitSearch(std::function<int()> Proc, std::function<void(int)> Done) override {
    if (!Busy) Done(Proc());
  }
  void ShowSearchError(int Error) override { Errors.push_back(Error); }
  void ShowSearchInfo(const QString& Text) override { Infos << Text; }
  std::shared_ptr<IVaspoCNX> SearchSession() override { return CNX; }
  void SearchDossierV1(const TPatientInfo&) override { ++V1; }
  void OpenSearchedDossier(std::function<int(std::shared_ptr<IDossierMedical>&)> Get,
                           std::function<void()> Done) override {
    if (Busy) return;
    if (Get(DOS) == ERR_OK) {
      Done();
      ++Opened;
    }
  }
};
// The record frame's row texts, as drawn.
struct TDossierRows : TFrameDossiers {
  using TFrameDossiers::RowTexts;
  using TFrameDossiers::TFrameDossiers;
};

// Python's own reading of the local midnight of Day in Europe/Paris, in UTC.
QString ZoneInfoMidnightUTC(QDate Day) {
  QProcess Python;
  Python.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import datetime, sys, zoneinfo\n"
                               "d = datetime.date.fromisoformat(sys.argv[1])\n"
                               "t = datetime.datetime(d.year, d.month, d.day, tzinfo=zoneinfo.ZoneInfo('Europe/Paris'))\n"
                               "print(t.astimezone(datetime.timezone.utc).strftime('%Y%m%d%H%M%S'), end='')"),
                Day.toString(Qt::ISODate)});
  if (!Python.waitForFinished(60000) || Python.exitCode() != 0) return {};
  return QString::fromUtf8(Python.readAllStandardOutput());
}
}  // namespace

class TSearchFramesTest : public QObject {
  Q_OBJECT
  std::shared_ptr<TFakeCarvelin> Fake;
  THost Host;

 private slots:
  void initTestCase() {
    qputenv("TZ", "Europe/Paris");
    tzset();
  }

  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    Host = {};
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Host.CNX = CPS;
  }

  void patient_criteria_follow_the_controls() {
    TFramePatients F(nullptr, Host);
    QCOMPARE(F.cbSexe->currentText(), QStringLiteral("Tous"));
    F.edNom->setText(QStringLiteral("  D'Arcy-Élodie "));
    F.edPrenom->setText(QStringLiteral(" Zoé"));
    F.GetCriteres();
    QCOMPARE(F.Nom, std::string("D'Arcy-Élodie"));
    QCOMPARE(F.Prenom, std::string("Zoé"));
    QCOMPARE(F.Naissance, std::string());  // "Né(e) le" unticked
    QCOMPARE(F.Sexe, TSexe::Tous);
    F.cbNaissance->setChecked(true);
    F.dtNaissance->SetDateTime(36585);  // 29/02/2000
    F.cbSexe->setCurrentIndex(2);
    F.cbNomPartiel->setChecked(true);
    F.GetCriteres();
    QCOMPARE(F.Naissance, std::string("20000229"));
    QCOMPARE(F.Sexe, TSexe::Femme);
    QVERIFY(F.NomPartiel);
  }

  void searches_show_rows_errors_and_drop_while_busy() {
    TFramePatients F(nullptr, Host);
    F.btSearchClick();
    QCOMPARE(F.ListBox->Count(), 1);
    QVERIFY(Host.Infos.isEmpty());
    Fake->Script("GetPatients", {.Code = ERR_CONNEXION});
    F.btSearchClick();
    QCOMPARE(Host.Errors, std::vector<int>{ERR_CONNEXION});
    QCOMPARE(F.ListBox->Count(), 0);
    Host.Busy = true;
    Fake->Core->ClearCalls();
    F.btSearchClick();
    QVERIFY(Fake->Calls().empty());
  }

  void record_rows_and_date() {
    TFrameDossiers F(nullptr, Host);
    QCOMPARE(F.Headers->SectionCount(), 9);
    F.btSearchClick();
    QCOMPARE(F.ListBox->Count(), 1);
    QCOMPARE(F.DateUTC.size(), size_t(14));
    Fake->Core->Data.Dossier.Patient.INSi.Code.clear();
    TFrameDossiers G(nullptr, Host);
    G.btSearchClick();
    G.ListBox->SetItemIndex(0);
    G.ListBoxDblClick();
    QCOMPARE(Host.V1, 1);  // first generation: no lookup
    QCOMPARE(Host.Opened, 0);
  }

  void record_rows_show_service_text_data() {
    QTest::addColumn<QString>("INS");
    QTest::addColumn<bool>("MT");
    QTest::addColumn<QString>("INSText");
    QTest::addColumn<QString>("MTText");
    QTest::newRow("first generation, no treating doctor") << "" << false << "(NIR indisponible)" << "Non";
    QTest::newRow("INS, treating doctor") << "279035121518989" << true << "279035121518989" << "Oui";
  }
  void record_rows_show_service_text() {
    QFETCH(QString, INS);
    QFETCH(bool, MT);
    QFETCH(QString, INSText);
    QFETCH(QString, MTText);
    TIdentite& Id = Fake->Core->Data.Dossier.Patient.Identite;
    Id.NomUsage = "<b>D'ARCY</b>";
    Id.NomNaissance = "&ÉLODIE";
    Fake->Core->Data.Dossier.Patient.INSi.Code = INS.toStdString();
    Fake->Core->Data.Dossier.StatutMT = MT;
    TDossierRows F(nullptr, Host);
    F.btSearchClick();
    QCOMPARE(F.RowTexts(0), (QStringList{"<b>D'ARCY</b>", "&ÉLODIE", "MARIE", "15/03/1979", INSText, MTText,
                                          "01/03/2024", "12/03/2024", "12/03/2024"}));
    QVERIFY(F.RowTexts(1).isEmpty());
  }

  // Enter in the search panel searches; Up and Down move in the list.
  void keys_search_and_move() {
    TFramePatients F(nullptr, Host);
    F.show();
    QVERIFY(QTest::qWaitForWindowActive(&F));
    QTRY_COMPARE(QApplication::focusWidget(), F.edNom);
    QTest::keyClicks(F.edNom, QStringLiteral("Dupont"));
    QTest::keyClick(F.edNom, Qt::Key_Return);
    QCOMPARE(F.Nom, std::string("Dupont"));
    QCOMPARE(F.ListBox->Count(), 1);
    QTest::keyClick(F.cbNomPartiel, Qt::Key_Enter);
    QCOMPARE(std::ranges::count_if(Fake->Calls(), [](const auto& C) { return C.Name == "GetPatients"; }), 2);
    QTest::keyClick(F.edNom, Qt::Key_Down);
    QCOMPARE(F.ListBox->ItemIndex(), 0);
    QTest::keyClick(F.edNom, Qt::Key_Down);  // the last row stays chosen
    QCOMPARE(F.ListBox->ItemIndex(), 0);
    QTest::keyClick(F.edNom, Qt::Key_Up);
    QCOMPARE(F.ListBox->ItemIndex(), 0);
  }

  // The chosen day's local midnight in universal time, as Python's time-zone
  // database gives it for Paris.
  void record_search_date_is_local_midnight_in_utc_data() {
    QTest::addColumn<QDate>("Day");
    QTest::newRow("1 January") << QDate(2024, 1, 1);
    QTest::newRow("summer time starts") << QDate(2024, 3, 31);
    QTest::newRow("summer day") << QDate(2024, 7, 14);
    QTest::newRow("summer time ends") << QDate(2024, 10, 27);
    QTest::newRow("day after summer time ends") << QDate(2024, 10, 28);
  }
  void record_search_date_is_local_midnight_in_utc() {
    QFETCH(QDate, Day);
    TFrameDossiers F(nullptr, Host);
    F.dtDate->SetDateTime(Day.toJulianDay() - QDate(1899, 12, 30).toJulianDay());
    F.btSearchClick();
    const QString Expected = ZoneInfoMidnightUTC(Day);
    QVERIFY(!Expected.isEmpty());
    QCOMPARE(QString::fromStdString(F.DateUTC), Expected);
    QVERIFY(Fake->Calls().back().Args.starts_with(F.DateUTC + " "));
  }

  // Today minus three calendar months, today fixed by faketime in a child
  // run of this very case.
  void record_frame_starts_three_months_back_data() {
    QTest::addColumn<QString>("Today");
    QTest::addColumn<QDate>("Expected");
    QTest::newRow("31 May") << "2023-05-31 10:00:00" << QDate(2023, 2, 28);
    QTest::newRow("31 May, leap year") << "2024-05-31 23:30:00" << QDate(2024, 2, 29);
    QTest::newRow("15 January") << "2024-01-15 00:10:00" << QDate(2023, 10, 15);
  }
  void record_frame_starts_three_months_back() {
    QFETCH(QString, Today);
    QFETCH(QDate, Expected);
    if (const QByteArray Child = qgetenv("SEARCH_FRAMES_EXPECT"); !Child.isEmpty()) {
      TFrameDossiers F(nullptr, Host);
      QCOMPARE(QDate(1899, 12, 30).addDays(qint64(F.dtDate->DateTime())).toString(Qt::ISODate),
               QString::fromLatin1(Child));
      return;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("faketime")).isEmpty()) QSKIP("faketime is not installed");
    QProcess Run;
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert(QStringLiteral("SEARCH_FRAMES_EXPECT"), Expected.toString(Qt::ISODate));
    Run.setProcessEnvironment(Env);
    Run.setProcessChannelMode(QProcess::ForwardedChannels);
    Run.start(QStringLiteral("faketime"), {Today, QCoreApplication::applicationFilePath(),
                                           QStringLiteral("record_frame_starts_three_months_back:") +
                                               QString::fromUtf8(QTest::currentDataTag())});
    QVERIFY(Run.waitForFinished(120000));
    QCOMPARE(Run.exitCode(), 0);
  }

  // A doctor types the date (the calendar alone would take a click per
  // month), and Enter then searches from it.
  void typed_dates_are_searched_data() {
    QTest::addColumn<bool>("Records");
    QTest::newRow("patient birth date") << false;
    QTest::newRow("record list date") << true;
  }
  void typed_dates_are_searched() {
    QFETCH(bool, Records);
    TFramePatients Patients(nullptr, Host);
    TFrameDossiers Dossiers(nullptr, Host);
    Patients.cbNaissance->setChecked(true);
    TSearchFrame& F = Records ? static_cast<TSearchFrame&>(Dossiers) : Patients;
    TDateTimePicker* Picker = Records ? Dossiers.dtDate : Patients.dtNaissance;
    F.show();
    QVERIFY(QTest::qWaitForWindowActive(&F));
    Picker->setFocus();
    QTest::keyClick(Picker->Edit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Picker->Edit(), QStringLiteral("01/01/2024"));
    QTest::keyClick(Picker->Edit(), Qt::Key_Return);
    QCOMPARE(Picker->DateTime(), TDateTime(QDate(1899, 12, 30).daysTo(QDate(2024, 1, 1))));
    QCOMPARE(F.ListBox->Count(), 1);
    QCOMPARE(Records ? Dossiers.DateUTC : Patients.Naissance, std::string(Records ? "20231231230000" : "20240101"));
  }

  // The header is as high as its captions; the rows get the rest.
  void header_keeps_its_height() {
    TFrameDossiers F(nullptr, Host);
    F.resize(1000, 600);
    F.show();
    QVERIFY(QTest::qWaitForWindowExposed(&F));
    QCOMPARE(F.Headers->height(), F.Headers->sizeHint().height());
  }

  void a_row_opens_its_record_and_done_resets() {
    TFramePatients F(nullptr, Host);
    F.show();
    F.btSearchClick();
    F.ListBoxDblClick();  // no row chosen
    QCOMPARE(Host.Opened, 0);
    F.ListBox->SetItemIndex(0);
    Host.Busy = true;
    F.ListBoxDblClick();
    QCOMPARE(Host.Opened, 0);
    Host.Busy = false;
    F.ListBoxDblClick();
    QCOMPARE(Host.Opened, 1);
    QVERIFY(Host.DOS);
    QVERIFY(F.isHidden());
    F.Done();
    QCOMPARE(F.ListBox->Count(), 0);
    QVERIFY(!F.List);
  }
};

QTEST_MAIN(TSearchFramesTest)
#include "USearchFrames.ui.moc"
