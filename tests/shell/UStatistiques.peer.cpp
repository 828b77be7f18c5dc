// The statistics window over a database seeded with sqlite3, its periods
// and text export, and the two messages to the simulator's maker services
// (fields read back by Python's urllib.parse and json).
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <future>

#include "Carvelin.MessageDlg.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "UFrmCheckVersion.h"
#include "UStatistiques.h"
#include "VCLPatches.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

using namespace Carvelin;
using Vantrel::TDateTime;
using namespace std::chrono_literals;

namespace {

bool Ended(const std::future<void>& F) { return F.wait_for(0s) == std::future_status::ready; }

TDateTime D(int Y, int M, int Day) {
  TDateTime R = 0;
  Vantrel::TryEncodeDate(Y, M, Day, R);
  return R;
}

std::unique_ptr<TStatistique> Count(const char* Name, int N) {
  auto R = std::make_unique<TStatistique>();
  R->Praticien = Name;
  R->Count = N;
  return R;
}

}  // namespace

class TUStatistiquesTest : public QObject {
  Q_OBJECT

  SimTest::TSimulator Sim;
  std::vector<QString> Boxes;

  // The log entry of the first request to Path after Since.
  std::string Entry(const std::string& Path, size_t Since) {
    for (int Try = 0; Try < 100; ++Try) {
      for (const std::string& E : Sim.WaitForLog(1, Since))
        if (E.find("\"path\": \"" + Path + "\"") != std::string::npos) return E;
      QTest::qWait(100);
    }
    return {};
  }

 private slots:
  void initTestCase() {
    QVERIFY(bool(Sim));
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    Vantrel::RegisterTinyTLSEngine();
    Vantrel::RegisterSChannelSocketMaker();
    Talven::SetHostsConfig(Talven::LoadHostsConfig(Sim.HostsFile));
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back(Box.text());
      return int(QMessageBox::Ok);
    });
  }

  void periods_data() {
    QTest::addColumn<TDateTime>("Today");
    QTest::addColumn<int>("Mode");
    QTest::addColumn<TDateTime>("Start");
    QTest::addColumn<TDateTime>("End");
    const TDateTime Monday = D(2025, 3, 17), Sunday = D(2025, 3, 16), NewYear = D(2025, 1, 1), Eve = D(2024, 12, 31);
    QTest::newRow("monday today") << Monday << int(smAujourdhui) << Monday << Monday;
    QTest::newRow("monday week") << Monday << int(smCetteSemaine) << Monday << D(2025, 3, 23);
    QTest::newRow("sunday week") << Sunday << int(smCetteSemaine) << D(2025, 3, 10) << Sunday;
    QTest::newRow("sunday last week") << Sunday << int(smSemaineDerniere) << D(2025, 3, 3) << D(2025, 3, 9);
    QTest::newRow("new year month") << NewYear << int(smCeMois) << NewYear << D(2025, 1, 31);
    QTest::newRow("new year last month") << NewYear << int(smMoisDernier) << D(2024, 12, 1) << Eve;
    QTest::newRow("new year last week") << NewYear << int(smSemaineDerniere) << D(2024, 12, 23) << D(2024, 12, 29);
    QTest::newRow("eve year") << Eve << int(smCetteAnnee) << D(2024, 1, 1) << Eve;
    QTest::newRow("eve last year") << Eve << int(smAnneeDerniere) << D(2023, 1, 1) << D(2023, 12, 31);
    QTest::newRow("march last month") << D(2024, 3, 31) << int(smMoisDernier) << D(2024, 2, 1) << D(2024, 2, 29);
  }
  void periods() {
    QFETCH(TDateTime, Today);
    QFETCH(int, Mode);
    QFETCH(TDateTime, Start);
    QFETCH(TDateTime, End);
    TDateTime S = 0, E = 0;
    QVERIFY(StatPeriod(TStatMode(Mode), Today + 0.6, S, E));
    QCOMPARE(Vantrel::FormatDateTime("yyyy-mm-dd", S), Vantrel::FormatDateTime("yyyy-mm-dd", Start));
    QCOMPARE(Vantrel::FormatDateTime("yyyy-mm-dd", E), Vantrel::FormatDateTime("yyyy-mm-dd", End));
  }

  void count_export_data() {
    QTest::addColumn<QStringList>("Names");
    QTest::addColumn<QList<int>>("Counts");
    QTest::addColumn<QString>("Text");
    const QString Head = QStringLiteral("Nombre de DMP créés entre le 01/03/2025 et le 31/03/2025\r\n\r\n");
    QTest::newRow("one") << QStringList{"DUPONT Jean"} << QList<int>{7}
                         << Head + "Praticien   DMP \r\nDUPONT Jean 7   \r\n";
    QTest::newRow("two with total") << QStringList{"A B", "C D"} << QList<int>{999, 1}
                                    << Head + "Praticien DMP  \r\nA B       999  \r\nC D       1    \r\nTOTAL     1000 \r\n";
    QTest::newRow("999") << QStringList{"A B"} << QList<int>{999} << Head + "Praticien DMP \r\nA B       999 \r\n";
    QTest::newRow("empty") << QStringList{} << QList<int>{} << Head + "Praticien DMP \r\n";
  }
  void count_export() {
    QFETCH(QStringList, Names);
    QFETCH(QList<int>, Counts);
    QFETCH(QString, Text);
    TStatList Stats;
    for (qsizetype I = 0; I < Names.size(); ++I) Stats.push_back(Count(qPrintable(Names[I]), Counts[I]));
    AddTotal(Stats);
    QCOMPARE(QString::fromStdString(StatisticsText(D(2025, 3, 1), D(2025, 3, 31), Stats)), Text);
  }

  void detailed_export() {
    TStatList2 Rows;
    auto R = std::make_unique<TStatistique2>();
    R->Praticien = "DUPONT Jean";
    R->Patient = "MARTIN Éloïse";
    R->DateDMP = D(2025, 3, 5) + 0.5;
    R->INSNIR = "277076322082910";
    Rows.push_back(std::move(R));
    QCOMPARE(QString::fromStdString(StatisticsText(D(2025, 3, 1), D(2025, 3, 31), Rows)),
             QStringLiteral("Liste des DMP créés entre le 01/03/2025 et le 31/03/2025\r\n\r\n"
                            "Praticien   Patient       Date       INS-NIR                \r\n"
                            "DUPONT Jean MARTIN Éloïse 05/03/2025 277076322082910        \r\n"));
  }

  void window_over_the_database() {
    TestSupport::TempDir Dir;
    const std::string File = (Dir.Path() / "carvelin2.db3").string();
    {
      TVaspoDatabase Db;
      Db.Init(File);
    }
    const auto R = TestSupport::Run(
        {"sqlite3", File,
         "INSERT INTO Praticiens (rowid, IdNational, Nom, Prenom) VALUES (1, '8100', 'DUPONT', 'Jean'), "
         "(2, '8200', 'MARTIN', 'Luc');"
         "INSERT INTO Patients (Nom, Prenom, INSN, Praticien, crt) VALUES "
         "('A', 'a', '1', 1, '2025-03-17 09:00:00'), ('B', 'b', '', 1, '2025-03-17 10:00:00'), "
         "('C', 'c', '3', 2, '2025-03-17 11:00:00'), ('D', 'd', '4', 2, '2025-02-01 11:00:00');"});
    QCOMPARE(R.Status, 0);
    TVaspoDatabase Db;
    Db.Init(File);
    TStatistiques Form(nullptr, &Db, D(2025, 3, 17) + 0.5);
    QCOMPARE(Form.cbMode->currentIndex(), int(smAujourdhui));
    QCOMPARE(int(Form.FStats.size()), 3);
    QCOMPARE(Form.FStats[2]->Praticien, std::string("TOTAL"));
    QCOMPARE(Form.FStats[2]->Count, 3);
    QCOMPARE(Form.ListBox->Count(), 3);
    QVERIFY(!Form.Headers1->isHidden() && Form.Headers2->isHidden());
    Form.cbDetail->click();
    QCOMPARE(int(Form.FStats2.size()), 3);
    QVERIFY(Form.Headers1->isHidden() && !Form.Headers2->isHidden());
    // A double-click on a row: without a session it says why; with one it
    // opens the record and closes, except for a record without INS-NIR.
    const auto RowWith = [&Form](bool EmptyINS) {
      for (size_t I = 0; I < Form.FStats2.size(); ++I)
        if (Form.FStats2[I]->INSNIR.empty() == EmptyINS) return int(I);
      return -1;
    };
    Boxes.clear();
    Form.ListBoxDblClick(RowWith(false));
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Vous devez vous authentifier avant d'ouvrir un DMP")});
    std::vector<std::string> Opened;
    Form.OpenINS = [&Opened](const std::string& INS) { Opened.push_back(INS); };
    Boxes.clear();
    Form.ListBoxDblClick(RowWith(true));
    QCOMPARE(Boxes, std::vector<QString>{
                        QStringLiteral("Ce dossier a été créé avec le DMP V1 et n'est pas accessible sans carte Vitale")});
    QVERIFY(Opened.empty());
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    const QRect Row = Form.ListBox->visualRect(Form.ListBox->model()->index(RowWith(false), 0));
    QTest::mouseClick(Form.ListBox->viewport(), Qt::LeftButton, {}, Row.center());
    QTest::mouseDClick(Form.ListBox->viewport(), Qt::LeftButton, {}, Row.center());
    QCOMPARE(Opened, std::vector<std::string>{Form.FStats2[size_t(RowWith(false))]->INSNIR});
    QCOMPARE(Form.result(), int(QDialog::Accepted));
    QVERIFY(Form.isHidden());
    Form.OpenINS = nullptr;
    Form.cbDetail->click();
    // A date changed by the user: "De date à date".
    Form.dtDebut->SetDateTime(D(2025, 3, 18));
    Form.dtFin->SetDateTime(D(2025, 3, 20));
    emit Form.dtDebut->OnChange();
    QCOMPARE(Form.cbMode->currentIndex(), int(smDateADate));
    QCOMPARE(Form.ListBox->Count(), 0);
    Form.cbMode->setCurrentIndex(smCetteAnnee);
    QCOMPARE(Form.FStats.back()->Count, 4);
    Boxes.clear();
    Form.btCopy->click();
    QCOMPARE(QApplication::clipboard()->text(), QString::fromStdString(Form.ExportText()));
    QVERIFY(QApplication::clipboard()->text().startsWith("Nombre de DMP créés entre le 01/01/2025 et le 31/12/2025"));
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Les données ont été placées dans le presse-papier")});
  }

  void statistics_message() {
    TVaspoPraticien P;
    P.LPS_OID = "1.2.250.1.999.1";
    P.UID = "{0A1B}";
    TVaspoStats Stats;
    Stats.First = D(2025, 1, 2) + 0.5;
    Stats.Last = D(2025, 3, 4) + 0.75;
    Stats.Count = 12;
    const size_t Since = Sim.LogSize();
    PostStatistics(Talven::HostsConfig().Maker, StatisticsFields(P, Stats, "poste-1"));
    const std::string E = Entry("/carvelin_stats.php", Since);
    QVERIFY2(!E.empty(), "no statistics message");
    // The body as Python's urllib.parse reads it, in the order sent.
    const auto Body = TestSupport::RunPython(
        "import json, sys, urllib.parse\n"
        "e = json.loads(sys.stdin.read())\n"
        "state = json.loads(sys.argv[1])['state']\n"
        "body = open(state + '/' + e['request_file'], 'rb').read().decode()\n"
        "print(urllib.parse.parse_qsl(body, keep_blank_values=True))\n",
        {Sim.Ready}, E);
    QCOMPARE(QString::fromStdString(Body.Out).trimmed(),
             QStringLiteral("[('LPS_OID', '1.2.250.1.999.1'), ('UID', '{0A1B}'), ('VER', '%1'), ('BLD', '%2'), "
                            "('HOST', 'poste-1'), ('FIRST', '202501021200'), ('LAST', '202503041800'), "
                            "('COUNT', '12')]")
                 .arg(QString::fromStdString(GetProductVersion()), QString::fromStdString(GetBuildString())));
  }

  void practitioner_upload() {
    const size_t Since = Sim.LogSize();
    TSendPraticiens(R"([{"Nom":"DUPONT","IdNational":"8100"}])", Talven::HostsConfig().Maker);
    const std::string E = Entry("/dmp_prats.php", Since);
    QVERIFY2(!E.empty(), "no upload");
    QVERIFY(E.find(R"("user": "Carvelin")") != std::string::npos);
    QVERIFY(E.find(R"("password": "7C1F0B92-4E5A-4B38-9D60-2F84C7E1A53B")") != std::string::npos);
    QVERIFY(E.find(R"("list": [{"Nom": "DUPONT", "IdNational": "8100"}])") != std::string::npos);
    QVERIFY(E.find(R"("content_type": "application/json")") != std::string::npos);
  }

  void messages_go_through_the_environment_proxy() {
    HTTPTest::TProxy Proxy;
    QVERIFY(Proxy.Port > 0);
    TestSupport::SetProxyEnvironment(nullptr, Proxy.URL().c_str(), nullptr);
    const std::string Maker = Talven::HostsConfig().Maker;
    const size_t Since = Sim.LogSize();
    const std::future<void> Stats = PostStatistics(Maker, {{"COUNT", "1"}});
    const TSendPraticiens Upload("[]", Maker);
    QTRY_VERIFY_WITH_TIMEOUT(Ended(Stats) && Ended(Upload.Done), 15000);
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    const std::string Authority = Maker.substr(Maker.find("://") + 3);
    const std::vector<std::string> Log = Proxy.Log();
    QCOMPARE(int(Log.size()), 2);
    for (const std::string& Line : Log)
      QVERIFY2(Line.find("\tCONNECT " + Authority + " HTTP/1.1\t" + Authority) != std::string::npos, Line.c_str());
    QVERIFY(!Entry("/carvelin_stats.php", Since).empty());
    QVERIFY(!Entry("/dmp_prats.php", Since).empty());
  }

  // The service answering after 20 s: a queued call is served while both
  // messages wait, and both give up after their time-out.
  void slow_service_neither_blocks_nor_holds_the_messages() {
    Sim.SetRules(R"([{"match": {"path": "/carvelin_stats.php"}, "delay_ms": 20000},
                     {"match": {"path": "/dmp_prats.php"}, "delay_ms": 20000}])");
    const std::string Maker = Talven::HostsConfig().Maker;
    const std::future<void> Stats = PostStatistics(Maker, {{"COUNT", "1"}}, 1000);
    const TSendPraticiens Upload("[]", Maker, 1000);
    bool Served = false, WaitingWhenServed = false;
    QTimer::singleShot(0, [&] {
      Served = true;
      WaitingWhenServed = !Ended(Stats) && !Ended(Upload.Done);
    });
    QTRY_VERIFY(Served);
    QVERIFY(WaitingWhenServed);
    QTRY_VERIFY_WITH_TIMEOUT(Ended(Stats) && Ended(Upload.Done), 10000);
    Sim.Reset();
  }

  void nothing_sent_without_maker() {
    const size_t Since = Sim.LogSize();
    PostStatistics("", {{"A", "1"}});
    TSendPraticiens("[]", "");
    // A message that would go out is logged well within this wait.
    QTest::qWait(1500);
    QCOMPARE(Sim.LogSize(), Since);
  }
};

QTEST_MAIN(TUStatistiquesTest)
#include "UStatistiques.peer.moc"
