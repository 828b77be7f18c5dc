// The search frames of the main window with the real client core, a
// SoftHSM2 CPS card and the national-service simulator: the searches as
// the simulator received them (read by Python), and a chosen row opened.
#include <QtTest>

#include "ShellSimPeer.h"
#include "UFrameDossiers.h"
#include "UFramePatients.h"

using namespace Carvelin;
using namespace Talven;

class TDMP2MainSearchPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  QStringList Boxes;
  std::unique_ptr<TDMPMain> Main;


  void WaitForJobs() {
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QCoreApplication::processEvents();
  }

 private slots:
  void initTestCase() {
    QVERIFY2(Open([this](QMessageBox& Box) {
               Boxes << Box.text() + Box.informativeText();
               return int(QMessageBox::Yes);
             }),
             Sim.Ready.c_str());
    qputenv("TZ", "Europe/Paris");
    tzset();
  }
  void cleanupTestCase() { Close(); }

  void init() {
    Boxes.clear();
    Sim.Reset();
    TDMPMainOptions Options = MainOptions();
    Options.Screens = TScreens::Program();
    Main = std::make_unique<TDMPMain>(std::move(Options));
    QVERIFY(LogIn(*Main));
    Main->ibCPX->SetImageIndex(1);
    Main->show();
  }
  void cleanup() { Main.reset(); }

  // The typed traits reach the service as typed; the birth date only when
  // ticked. The row found opens: the existence test, then the documents.
  void search_by_traits_then_open_the_row_data() {
    QTest::addColumn<QString>("Nom");
    QTest::addColumn<QString>("Prenom");
    QTest::addColumn<int>("Sexe");
    QTest::addColumn<bool>("Partiel");
    QTest::addColumn<QDate>("Naissance");  // null: unticked
    QTest::addColumn<QString>("Expected");  // Python: family, given, use, gender, birth
    QTest::addColumn<bool>("Authorised");   // the professional may open the record
    // Martin's birth day in the seed, on the simulator's day (2025-03-15).
    const QDate Martin(1984, 1, 18);
    QTest::newRow("apostrophe and accent, male")
        << "L'HÉRITIER" << "Jérôme" << 1 << false << QDate()
        << "(\"L'HÉRITIER\", 'Jérôme', None, 'M', None)" << false;
    QTest::newRow("approaching name, woman, born on")
        << "MARTIN-DUR" << "Zoé" << 2 << true << Martin << "('MARTIN-DUR', 'Zoé', 'SRCH', 'F', '19840118')" << true;
  }
  void search_by_traits_then_open_the_row() {
    QFETCH(QString, Nom);
    QFETCH(QString, Prenom);
    QFETCH(int, Sexe);
    QFETCH(bool, Partiel);
    QFETCH(QDate, Naissance);
    QFETCH(QString, Expected);
    QFETCH(bool, Authorised);
    Main->ibSearchPatClick();
    auto* Frame = qobject_cast<TFramePatients*>(Main->FramePatients.data());
    QVERIFY(Frame);
    Frame->edNom->setText(Nom);
    Frame->edPrenom->setText(Prenom);
    Frame->cbSexe->setCurrentIndex(Sexe);
    Frame->cbNomPartiel->setChecked(Partiel);
    Frame->cbNaissance->setChecked(Naissance.isValid());
    if (Naissance.isValid()) Frame->dtNaissance->SetDateTime(QDate(1899, 12, 30).daysTo(Naissance));
    size_t Since = Sim.LogSize();
    QTest::mouseClick(Frame->btSearch, Qt::LeftButton);
    WaitForJobs();
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    QCOMPARE(Frame->ListBox->Count(), 1);
    ExpectLog(Since, R"PY(
[e] = requests
b = body(e)
name = find(b, 'livingSubjectName')
value = find(name, 'value')
gender = find(b, 'livingSubjectAdministrativeGender')
birth = find(b, 'livingSubjectBirthTime')
got = (find(value, 'family').text, find(value, 'given').text, value.get('use'),
       find(gender, 'value').get('code') if gender is not None else None,
       find(birth, 'value').get('value') if birth is not None else None)
assert got == eval(sys.argv[2]), got
)PY",
              {Expected.toStdString()});
    if (!Authorised) return;

    Since = Sim.LogSize();
    Frame->ListBox->SetItemIndex(0);
    Frame->ListBoxDblClick();
    WaitForJobs();
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    QVERIFY(Main->DOS);
    QVERIFY(Frame->isHidden());
    ExpectLog(Since, R"PY(
# The record read for the row, then the existence test, then its documents.
ops = [(e.get('service'), e.get('operation')) for e in requests]
assert ops == [('patients', 'PRPA_IN201307UV02')] * 2 + [('registry', 'FindDocuments')], ops
)PY");
  }

  // The record list asks from the chosen day's local midnight in universal
  // time, as Python's time-zone database gives it for Paris.
  void record_list_starts_at_local_midnight() {
    Main->ibSearchDMPClick();
    auto* Frame = qobject_cast<TFrameDossiers*>(Main->FrameDossiers.data());
    QVERIFY(Frame);
    const QDate Day(2024, 10, 27);  // summer time ends
    Frame->dtDate->SetDateTime(QDate(1899, 12, 30).daysTo(Day));
    const size_t Since = Sim.LogSize();
    QTest::mouseClick(Frame->btSearch, Qt::LeftButton);
    WaitForJobs();
    ExpectLog(Since, R"PY(
import datetime, zoneinfo
[e] = requests
start = find(body(e), 'startDate').text
local = datetime.datetime(2024, 10, 27, tzinfo=zoneinfo.ZoneInfo('Europe/Paris'))
assert start == local.astimezone(datetime.timezone.utc).strftime('%Y%m%d%H%M%S'), start
)PY");
  }
};

QTEST_MAIN(TDMP2MainSearchPeer)
#include "DMP2Main.Search.peer.moc"
