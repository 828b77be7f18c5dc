// The local REST server with the real client core, a SoftHSM2 CPS card and
// the national-service simulator: a PDF filed for a seed patient, read back
// and deleted with curl; the filing as the simulator received it and every
// reply read by Python.
#include <QtTest>

#include <future>

#include "Carvelin.MessageDlg.h"
#include "CpsToken.h"
#include "DMP2Main.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

using namespace Carvelin;
using namespace Talven;
using namespace std::chrono_literals;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view InstanceOID = "2.25.329800735698586629295641978511506172918";
constexpr std::string_view MartinINS = "284057511204537T";  // a seed patient, training INS type

}  // namespace

class TRESTFilingPeer : public QObject {
  Q_OBJECT

  SimTest::TSimulator Sim;
  TestSupport::TempDir Work;
  std::unique_ptr<TCpsToken> Token;

  // curl on another thread while this one serves the window's steps; the
  // body goes to the file Out, the HTTP status is answered.
  int Curl(std::vector<std::string> Args, const std::filesystem::path& Out) {
    std::vector<std::string> Argv{"curl", "-s", "--max-time", "60", "-o", Out.string(), "-w", "%{http_code}"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    auto Done = std::async(std::launch::async, [Argv] { return TestSupport::Run(Argv); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return std::atoi(Done.get().Out.c_str());
  }

  // The program on Port, logged in with the card.
  std::unique_ptr<TDMPMain> StartLoggedIn(int Port) {
    TDMPMainOptions Options;
    Options.SettingsFile = (Work.Path() / "carvelin2.ini").string();
    Options.DatabaseFile = (Work.Path() / "carvelin2.db3").string();
    Options.Arguments = {QStringLiteral("--port"), QString::number(Port)};
    Options.CreateRoot = [] {
      auto Root = TCarvelin::Create();
      Root->SetInstanceOID(InstanceOID);
      return std::shared_ptr<ICarvelin>(Root);
    };
    auto Main = std::make_unique<TDMPMain>(std::move(Options));
    std::shared_ptr<IVaspoCPS> CPS;
    int Count = 0;
    if (!Main->RESTServer || !TestSupport::WaitForPort(Port) || Main->DMP->SetCryptoLib(TCpsToken::SoftHSM()) != ERR_OK ||
        Main->DMP->GetCPS(0, CPS) != ERR_OK || CPS->SetCode("1234") != ERR_OK || CPS->GetActivites(Count) != ERR_OK)
      return nullptr;
    Main->CPx = CPS;
    Main->CNX = CPS;
    return Main;
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
    SetMessageBoxHook([](QMessageBox& Box) {
      qWarning("unexpected box: %s", qPrintable(Box.text()));
      return int(QMessageBox::No);
    });
    Token = std::make_unique<TCpsToken>();
  }

  void cleanupTestCase() {
    SetMessageBoxHook(nullptr);
    SetHostsConfig(DefaultHostsConfig());
  }

  void pdf_is_filed_read_back_and_deleted() {
    const int Port = TestSupport::FreePort();
    const auto Main = StartLoggedIn(Port);
    QVERIFY(Main);

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

  // A refused request ends its connection: its body, a request of its own
  // (filing, deleting, reading the record), is never served, on a fresh
  // connection or after a request served on a kept-alive one; the reply
  // holds exactly one response per request read. The service sees nothing.
  void smuggled_requests_are_never_served() {
    const int Port = TestSupport::FreePort();
    const auto Main = StartLoggedIn(Port);
    QVERIFY(Main);
    const size_t Since = Sim.LogSize();
    const std::string Script = R"PY(
import re, socket, sys
port, ins = int(sys.argv[1]), sys.argv[2]
host = '127.0.0.1:%d' % port
def form():
    b = '--B\r\nContent-Disposition: form-data; name="{}"\r\n\r\n{}\r\n'
    body = ''.join(b.format(k, v) for k, v in (('Titre', 'x'), ('File', '%PDF-1.4 x'), ('TypeDoc', '11488-4'),
                                               ('Cadre', 'AMBULATOIRE'), ('Confidentialite', '0'))) + '--B--\r\n'
    return ('PUT /patients/%s/documents/pdf HTTP/1.1\r\nHost: %s\r\nContent-Type: multipart/form-data; boundary=B\r\n'
            'Content-Length: %d\r\n\r\n%s' % (ins, host, len(body), body))
inner = [form(),
         'DELETE /patients/%s/documents/1.2.3 HTTP/1.1\r\nHost: %s\r\nContent-Length: 0\r\n\r\n' % (ins, host),
         'GET /patients/current HTTP/1.1\r\nHost: rebind.example\r\n\r\n']
def outer(method, headers, body):
    return ('%s / HTTP/1.1\r\nHost: %s\r\n%sContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s'
            % (method, host, headers, len(body), body))
def exchange(data):
    s = socket.create_connection(('127.0.0.1', port), timeout=30)
    s.sendall(data.encode())
    out = b''
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        out += chunk
    s.close()
    # A reply's status line may follow the previous body on the same line.
    statuses = re.findall(rb'HTTP/1\.[01] (\d{3}) ', out)
    return ' '.join(s.decode() for s in statuses) + (' close' if b'\r\nConnection: close' in out else '')
results = []
for i in inner:
    results.append(exchange(outer('POST', 'Origin: http://evil.example\r\n', i)))
    results.append(exchange('GET /cadres HTTP/1.1\r\nHost: %s\r\n\r\n' % host + outer('POST', 'Sec-Fetch-Site: cross-site\r\n', i)))
    results.append(exchange(outer('GET', '', i)))
print(' / '.join(results), end='')
)PY";
    auto Done = std::async(std::launch::async, [&] {
      return TestSupport::RunPython(Script, {std::to_string(Port), std::string(MartinINS)});
    });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const auto R = Done.get();
    QVERIFY2(R.Status == 0, R.Err.c_str());
    const QString Round = QStringLiteral("403 close / 200 403 close / 200 close");
    const QString Expected = QStringList({Round, Round, Round}).join(QStringLiteral(" / "));
    QCOMPARE(QString::fromStdString(R.Out), Expected);
    QCOMPARE(Sim.Log(Since), std::vector<std::string>{});
  }
};

QTEST_MAIN(TRESTFilingPeer)
#include "Carvelin.REST.Filing.peer.moc"
