// The local REST server with the real client core, a SoftHSM2 CPS card and
// the national-service simulator: a PDF filed for a seed patient, read back
// and deleted with curl; the filing as the simulator received it and every
// reply read by Python. A local database that cannot be written answers the
// filing with its message, and the program goes on.
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <future>

#include "ShellSimPeer.h"

using namespace Carvelin;
using namespace Talven;
using namespace std::chrono_literals;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537T";  // a seed patient, training INS type

// A 256 KiB tmpfs that the test fills or makes read-only, when this machine
// lets it mount one (as root); Mounted() false otherwise.
class TSmallDisk {
 public:
  explicit TSmallDisk(std::filesystem::path Folder) : FFolder(std::move(Folder)) {
    std::filesystem::create_directories(FFolder);
    FMounted = TestSupport::Run({"mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", FFolder.string()}).Status == 0;
  }
  ~TSmallDisk() {
    if (FMounted) TestSupport::Run({"umount", "-l", FFolder.string()});
  }
  bool Mounted() const { return FMounted; }
  const std::filesystem::path& Folder() const { return FFolder; }
  // A read-only view over the folder: SQLite can create no journal in it.
  bool ReadOnly() {
    return TestSupport::Run({"mount", "--bind", FFolder.string(), FFolder.string()}).Status == 0 &&
           TestSupport::Run({"mount", "-o", "remount,bind,ro", FFolder.string()}).Status == 0;
  }
  bool Writable() { return TestSupport::Run({"umount", FFolder.string()}).Status == 0; }
  // Writes a filler file until the disk has no room left.
  void Fill() {
    const int Fd = open((FFolder / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string Block(512, 'x');
    while (Fd >= 0 && write(Fd, Block.data(), Block.size()) > 0) {
    }
    if (Fd >= 0) close(Fd);
  }
  void Free() { std::filesystem::remove(FFolder / "filler"); }

 private:
  std::filesystem::path FFolder;
  bool FMounted = false;
};

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

  // The window with its REST server on Port, logged in with the card.
  std::unique_ptr<TDMPMain> LoggedIn(int Port, const std::filesystem::path& Database) {
    TDMPMainOptions Options = MainOptions();
    Options.DatabaseFile = Database.string();
    Options.Arguments = {QStringLiteral("--port"), QString::number(Port)};
    auto Main = std::make_unique<TDMPMain>(std::move(Options));
    if (!Main->RESTServer || !TestSupport::WaitForPort(Port) || !LogIn(*Main)) return nullptr;
    return Main;
  }

  static std::string DocumentsURL(int Port) {
    return "http://127.0.0.1:" + std::to_string(Port) + "/patients/" + std::string(MartinINS) + "/documents/";
  }

  int PutPdf(int Port, const std::filesystem::path& Out) {
    const std::string Pdf = TestSupport::Fixture("cda-build/compte-rendu.pdf").string();
    return Curl({"-X", "PUT", "-F", "Titre=Compte rendu", "-F", "File=@" + Pdf, "-F", "TypeDoc=11488-4", "-F",
                 "Cadre=AMBULATOIRE", "-F", "Confidentialite=0", DocumentsURL(Port) + "pdf"},
                Out);
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
    const std::unique_ptr<TDMPMain> Logged = LoggedIn(Port, DatabaseFile());
    QVERIFY(Logged);

    const std::string Documents = DocumentsURL(Port);
    const std::string Pdf = TestSupport::Fixture("cda-build/compte-rendu.pdf").string();
    const std::filesystem::path Put = Work.Path() / "put.json", Got = Work.Path() / "got.bin",
                                Deleted = Work.Path() / "deleted.json";
    const size_t Since = Sim.LogSize();
    QCOMPARE(PutPdf(Port, Put), 200);
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

  // The patient's row is written before the filing: the request is answered
  // 400 with the database's message, nothing is sent, and once the disk is
  // usable again the same request is filed.
  void a_database_that_cannot_be_written_answers_the_request_data() {
    QTest::addColumn<QString>("Failure");
    QTest::newRow("disk full") << "full";
    QTest::newRow("read-only") << "ro";
  }
  void a_database_that_cannot_be_written_answers_the_request() {
    QFETCH(QString, Failure);
    TSmallDisk Disk(Work.Path() / ("disk-" + Failure.toStdString()));
    const bool Full = Failure == QLatin1String("full");
    if (!Disk.Mounted() && Full) QSKIP("no tmpfs can be mounted here (not root)");
    const std::filesystem::path Database = Disk.Folder() / "carvelin2.db3";
    const int Port = TestSupport::FreePort();
    const std::unique_ptr<TDMPMain> Main = LoggedIn(Port, Database);
    QVERIFY(Main);
    if (Full)
      Disk.Fill();
    else if (Disk.Mounted())
      QVERIFY(Disk.ReadOnly());
    else
      Main->Database.Connection().ExecSQL("PRAGMA query_only = 1");  // SQLite's own read-only refusal

    const size_t Since = Sim.LogSize();
    const std::filesystem::path Put = Work.Path() / "refused.json";
    QCOMPARE(PutPdf(Port, Put), 400);
    const auto Refusal = TestSupport::RunPython(R"PY(
import json, sys
err = json.load(open(sys.argv[1]))['err']
assert err.startswith(sys.argv[2]) and ('« %s »' % sys.argv[3]) in err, err
)PY",
                                                {Put.string(), Full ? "Disque plein : la base locale" : "La base locale",
                                                 Database.string()});
    QVERIFY2(Refusal.Status == 0, (TestSupport::ReadFile(Put) + Refusal.Err).c_str());
    for (const std::string& Line : Sim.Log(Since))
      QVERIFY2(Line.find("ProvideAndRegisterDocumentSetRequest") == std::string::npos, Line.c_str());

    if (Full)
      Disk.Free();
    else if (Disk.Mounted())
      QVERIFY(Disk.Writable());
    else
      Main->Database.Connection().ExecSQL("PRAGMA query_only = 0");
    QCOMPARE(PutPdf(Port, Work.Path() / "filed.json"), 200);
  }

  // A refused request ends its connection: its body, a request of its own
  // (filing, deleting, reading the record), is never served, on a fresh
  // connection or after a request served on a kept-alive one; the reply
  // holds exactly one response per request read. The service sees nothing.
  void smuggled_requests_are_never_served() {
    const int Port = TestSupport::FreePort();
    const auto Main = LoggedIn(Port, DatabaseFile());
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
