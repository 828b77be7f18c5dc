// Opening a seed record from the main window with the real client core, a
// SoftHSM2 CPS card and the national-service simulator: the document query
// as the simulator received it (read by Python), the list shown by
// category, the new-documents query, and the patient row read by sqlite3.
#include <QtTest>

#include <regex>

#include "Carvelin.MessageDlg.h"
#include "CpsToken.h"
#include "DMP2Main.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view InstanceOID = "2.25.329800735698586629295641978511506172918";

}  // namespace

class TDMP2MainDossierPeer : public QObject {
  Q_OBJECT

  SimTest::TSimulator Sim;
  TestSupport::TempDir Work;
  std::unique_ptr<TCpsToken> Token;
  std::vector<QString> Boxes;

  // Python assertions over the national requests after Since: `requests`,
  // `slots(e)` the query's slots by name.
  void ExpectLog(size_t Since, std::string_view Assertions) {
    std::string Input;
    for (const std::string& Line : Sim.Log(Since)) Input += Line + "\n";
    const std::string Prelude = R"PY(
import json, os, sys
import xml.etree.ElementTree as ET
requests = [e for e in map(json.loads, filter(str.strip, sys.stdin)) if e.get('listener') == 'national']
def body(e): return ET.parse(os.path.join(sys.argv[1], e['request_file'])).getroot()
def slots(e): return {s.get('name'): [v.text for v in s.iter() if v.tag.endswith('}Value')] for s in body(e).iter() if s.tag.endswith('}Slot')}
)PY";
    const auto R = TestSupport::RunPython(Prelude + std::string(Assertions),
                                          {std::filesystem::path(Sim.HostsFile).parent_path().string()}, Input);
    QVERIFY2(R.Status == 0, R.Err.c_str());
  }

 private slots:
  void initTestCase() {
    QVERIFY2(bool(Sim), Sim.Ready.c_str());
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    Vantrel::RegisterTinyTLSEngine();
    Vantrel::RegisterSChannelSocketMaker();
    SetHostsConfig(LoadHostsConfig(Sim.HostsFile));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Work.Path() / "config").string()));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((Work.Path() / "data").string()));
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes.push_back(Box.text() + Box.informativeText() + Box.detailedText());
      return int(QMessageBox::No);
    });
    Token = std::make_unique<TCpsToken>();
  }

  void cleanupTestCase() {
    SetMessageBoxHook(nullptr);
    SetHostsConfig(DefaultHostsConfig());
  }

  void seed_record_opens_with_its_documents_and_new_ones_since_the_last_visit() {
    const std::string DB = (Work.Path() / "carvelin2.db3").string();
    TDMPMainOptions Options;
    Options.SettingsFile = (Work.Path() / "carvelin2.ini").string();
    Options.DatabaseFile = DB;
    Options.CreateRoot = [] {
      auto Root = TCarvelin::Create();
      Root->SetInstanceOID(InstanceOID);
      return std::shared_ptr<ICarvelin>(Root);
    };
    // The simulator's day, 09:15.
    Options.Clock = [] {
      Vantrel::TDateTime D = 0;
      Vantrel::TryEncodeDateTime({2025, 3, 15, 9, 15, 0, 0}, D);
      return D;
    };
    TDMPMain Main(std::move(Options));
    QCOMPARE(Main.DMP->SetCryptoLib(TCpsToken::SoftHSM()), ERR_OK);
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Main.DMP->GetCPS(0, CPS), ERR_OK);
    QCOMPARE(CPS->SetCode("1234"), ERR_OK);
    int Count = 0;
    QCOMPARE(CPS->GetActivites(Count), ERR_OK);
    Main.CPx = CPS;
    Main.CNX = CPS;
    Main.ibCPX->SetImageIndex(1);
    Main.show();

    size_t Since = Sim.LogSize();
    Main.LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QCOMPARE(Main.StatusImage(), int(TDMPMain::imAccesAccorde));
    ExpectLog(Since, R"PY(
finds = [e for e in requests if e.get('operation') == 'FindDocuments']
assert len(finds) == 1, [e.get('operation') for e in requests]
s = slots(finds[0])
assert s['$XDSDocumentEntryStatus'] == ["('urn:oasis:names:tc:ebxml-regrep:StatusType:Approved')"], s
assert s['$XDSDocumentEntryServiceStartTimeFrom'][0].startswith('20250215'), s
assert '$XDSDocumentEntryServiceStopTimeTo' not in s, s
)PY");

    // The list by category, as the service answered it.
    TDocuments& F = *Main.Documents;
    QVERIFY(!F.isHidden());
    const int Listed = F.ListBox->Count();
    QVERIFY(Listed > 0);
    QCOMPARE(F.Categories[0]->FCount, Listed);
    int ByCategory = 0;
    for (size_t I = 1; I < F.Categories.size(); ++I) ByCategory += F.Categories[I]->FCount;
    QCOMPARE(ByCategory, Listed);

    // The patient as stored, read by sqlite3.
    const auto Row = TestSupport::Run(
        {"sqlite3", DB, "SELECT INSN || '|' || Status FROM Patients WHERE INSN LIKE '284057511204537%';"});
    QCOMPARE(Row.Status, 0);
    QVERIFY2(std::regex_match(Row.Out, std::regex("284057511204537[A-Z]?\\|[12]\n")), Row.Out.c_str());

    // New documents since the last visit: the submission sets from LastDate.
    Vantrel::TDateTime Last = 0;
    QVERIFY(Vantrel::TryEncodeDateTime({2024, 6, 1, 10, 0, 0, 0}, Last));
    Main.FPatient.LastDate = Last;
    Since = Sim.LogSize();
    Main.ibRefreshClick(true);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    ExpectLog(Since, R"PY(
sets = [e for e in requests if e.get('operation') == 'FindSubmissionSets']
assert len(sets) == 1, [e.get('operation') for e in requests]
s = slots(sets[0])
assert s['$XDSSubmissionSetSubmissionTimeFrom'][0].startswith('20240601'), s
)PY");
  }
};

QTEST_MAIN(TDMP2MainDossierPeer)
#include "DMP2Main.Dossier.peer.moc"
