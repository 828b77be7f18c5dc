// The local REST server with the real client core, a SoftHSM2 CPS card and
// the national-service simulator: a PDF filed for a seed patient, read back
// and deleted with curl; the filing as the simulator received it and every
// reply read by Python.
#include <QtTest>

#include <future>

#include "ShellSimPeer.h"

using namespace Carvelin;
using namespace Talven;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view MartinINS = "284057511204537T";  // a seed patient, training INS type

}  // namespace

class TRESTFilingPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  // curl on another thread while this one serves the window's steps; the
  // body goes to the file Out, the HTTP status is answered.
  int Curl(std::vector<std::string> Args, const std::filesystem::path& Out) {
    std::vector<std::string> Argv{"curl", "-s", "--max-time", "60", "-o", Out.string(), "-w", "%{http_code}"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    auto Done = std::async(std::launch::async, [Argv] { return TestSupport::Run(Argv); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return std::atoi(Done.get().Out.c_str());
  }

 private slots:
  void initTestCase() {
    QVERIFY2(Open([](QMessageBox& Box) {
               qWarning("unexpected box: %s", qPrintable(Box.text()));
               return int(QMessageBox::No);
             }),
             Sim.Ready.c_str());
  }

  void cleanupTestCase() { Close(); }

  void pdf_is_filed_read_back_and_deleted() {
    const int Port = TestSupport::FreePort();
    TDMPMainOptions Options = MainOptions();
    Options.Arguments = {QStringLiteral("--port"), QString::number(Port)};
    TDMPMain Main(std::move(Options));
    QVERIFY(Main.RESTServer);
    QVERIFY(TestSupport::WaitForPort(Port));
    QVERIFY2(LogIn(Main), Main.DMP->GetErrDetail().c_str());

    const std::string Documents =
        "http://127.0.0.1:" + std::to_string(Port) + "/patients/" + std::string(MartinINS) + "/documents/";
    const std::string Pdf = TestSupport::Fixture("cda-build/compte-rendu.pdf").string();
    const std::filesystem::path Put = Work.Path() / "put.json", Got = Work.Path() / "got.bin",
                                Deleted = Work.Path() / "deleted.json";
    const size_t Since = Sim.LogSize();
    QCOMPARE(Curl({"-X", "PUT", "-F", "Titre=Compte rendu", "-F", "File=@" + Pdf, "-F", "TypeDoc=11488-4", "-F",
                   "Cadre=AMBULATOIRE", "-F", "Confidentialite=0", Documents + "pdf"},
                  Put),
             200);
    const auto Filed = TestSupport::RunPython("import json, sys\nprint(json.load(open(sys.argv[1]))['UniqueID'], end='')",
                                              {Put.string()});
    const std::string UniqueID = Filed.Out;
    QVERIFY2(Filed.Status == 0 && !UniqueID.empty(), TestSupport::ReadFile(Put).c_str());

    // The document filed is the file: its SHA-256 inside the CDA wrapper of
    // the ProvideAndRegister request.
    std::string Log;
    for (const std::string& Line : Sim.Log(Since)) Log += Line + "\n";
    const auto Checked = TestSupport::RunPython(R"PY(
import base64, email, email.policy, hashlib, json, os, sys
import xml.etree.ElementTree as ET
state, pdf, uid = sys.argv[1:4]
filed = [e for e in map(json.loads, filter(str.strip, sys.stdin)) if e.get('operation') == 'ProvideAndRegisterDocumentSetRequest']
assert len(filed) == 1 and filed[0]['filed'] == [uid], filed
data = open(os.path.join(state, filed[0]['request_file']), 'rb').read()
m = email.message_from_bytes(b'Content-Type: multipart/related; boundary="=_carvelin_boundary_"\r\n\r\n' + data,
                             policy=email.policy.HTTP)
H = '{urn:hl7-org:v3}'
cda = ET.fromstring(list(m.iter_parts())[2].get_payload(decode=True))
body = cda.find(H + 'component/' + H + 'nonXMLBody/' + H + 'text')
assert hashlib.sha256(base64.b64decode(body.text)).hexdigest() == hashlib.sha256(open(pdf, 'rb').read()).hexdigest()
)PY",
                                                {std::filesystem::path(Sim.HostsFile).parent_path().string(), Pdf, UniqueID},
                                                Log);
    QVERIFY2(Checked.Status == 0, Checked.Err.c_str());

    QCOMPARE(Curl({Documents + UniqueID}, Got), 200);
    QVERIFY(TestSupport::ReadFile(Got) == TestSupport::ReadFile(Pdf));

    QCOMPARE(Curl({"-X", "DELETE", Documents + UniqueID}, Deleted), 200);
    const auto Answer = TestSupport::RunPython(
        "import json, sys\nassert json.load(open(sys.argv[1])) == {'UniqueID': sys.argv[2], 'status': 'Deleted'}",
        {Deleted.string(), UniqueID});
    QVERIFY2(Answer.Status == 0, TestSupport::ReadFile(Deleted).c_str());
  }
};

QTEST_MAIN(TRESTFilingPeer)
#include "Carvelin.REST.Filing.peer.moc"
