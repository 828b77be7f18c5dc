// The service root against real peers: Python's ssl server (redirects, the
// error report's form read by urllib.parse, refused servers, an ECDSA-only
// server carried by the system TLS client), openssl s_server asking for
// SHA-1 and SHA-384 handshake signatures, openssl pkeyutl checking them, and
// Python's base64 and Windows-1252 codec for the contact parameters.
//
// The peers here stand in for the service simulator (tests/sim/): each
// case names the paths and answers it needs, so moving to it is local.
#include "Talven.Carvelin.Objects.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Talven.Carvelin.Hosts.h"
#include "TestServer.h"
#include "TestSession.h"
#include "TestSupport.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.UTF8.Utils.h"

using namespace Talven;

namespace {

// argv: port, chain, key, trust, log file, [cipher]. Logs one JSON line per
// request (path, client subject, form fields); paths under /<mode>/ choose
// the parameters document's answer.
constexpr std::string_view ServerScript = R"PY(
import http.server, json, ssl, sys, urllib.parse
port, chain, key, trust, log = sys.argv[1:6]
cipher = sys.argv[6] if len(sys.argv) > 6 else None
PARAMS = b'''<?xml version="1.0" encoding="UTF-8"?>
<dmp-parameters><parameter-list code="param-si-dmp">
<parameter code="fonctions-gestion-mineurs" value="true"/>
<parameter code="cumul-invisible_patient-masque_ps" value="true"/>
<parameter code="age-majorite" value="%s"/>
<parameter code="hr-periode-max-mois" value="36"/>
</parameter-list></dmp-parameters>'''
FAULT = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body><s:Fault>'
         '<s:Code><s:Value>s:Sender</s:Value></s:Code><s:Reason><s:Text>Requ&#234;te &lt;refus&#233;e&gt;</s:Text>'
         '</s:Reason></s:Fault></s:Body></s:Envelope>').encode()
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *a): pass
    def entry(self, **kw):
        cert = self.connection.getpeercert()
        kw.update(path=self.path, method=self.command,
                  subject=dict(x[0] for x in cert['subject']) if cert else None)
        with open(log, 'a') as f: f.write(json.dumps(kw) + '\n')
    def answer(self, status, body=b'', headers=()):
        self.send_response(status)
        for k, v in headers: self.send_header(k, v)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        self.entry()
        mode, _, rest = self.path[1:].partition('/')
        base = 'https://127.0.0.1:%s/%s' % (port, mode)
        if rest == 'web/dmp/documents/param-lps':
            target = {'loop': '/loop/web/dmp/documents/param-lps', 'http': 'http://127.0.0.1:%s/http/final' % port}
            self.answer(302, b'', [('Location', target.get(mode, 'step2'))])
        elif rest == 'web/dmp/documents/step2':
            self.answer(302, b'', [('Location', base + '/final')])
        elif mode == 'missing':
            self.answer(404, b'<html/>')
        elif mode == 'notxml':
            self.answer(200, b'<html><body>Maintenance<br></body></html>')
        elif mode == 'big':
            self.answer(200, PARAMS % b'21' + b' ' * (1 << 20))
        else:
            self.answer(200, PARAMS % (b'99999999999' if mode == 'overflow' else b'21'))
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        if self.path == '/error_report.php':
            self.entry(form=dict(urllib.parse.parse_qsl(body.decode(), keep_blank_values=True)))
            self.answer(200, b'OK')
        else:
            self.entry(content_type=self.headers.get('Content-Type'))
            self.answer(500, FAULT, [('Content-Type', 'application/soap+xml')])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(chain, key)
ctx.load_verify_locations(trust)
ctx.verify_mode = ssl.CERT_OPTIONAL
if cipher:
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    ctx.set_ciphers(cipher)
srv = http.server.ThreadingHTTPServer(('127.0.0.1', int(port)), H)
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
print('ready', flush=True)
srv.serve_forever()
)PY";

class TPythonServer {
 public:
  TPythonServer(const TestSupport::TempDir& Dir, std::string_view Chain, std::string_view Key,
                const std::string& Cipher = {})
      : Port(TestSupport::FreePort()), Log(Dir / "requests.jsonl") {
    std::vector<std::string> Argv = {TestSupport::Python,        "-c",
                                     std::string(ServerScript),  std::to_string(Port),
                                     TestSupport::PKIFile(Chain), TestSupport::PKIFile(Key),
                                     TestSupport::PKIFile("trust.pem"), Log};
    if (!Cipher.empty()) Argv.push_back(Cipher);
    Process = std::make_unique<HTTPTest::TServerProcess>(Argv);
    Ready = Process->ReadLine() == "ready";
  }
  std::string Base() const { return "https://127.0.0.1:" + std::to_string(Port); }
  std::string Requests() const { return std::filesystem::exists(Log) ? TestSupport::ReadFile(Log) : ""; }

  int Port;
  std::string Log;
  std::unique_ptr<HTTPTest::TServerProcess> Process;
  bool Ready = false;
};

// Every host of both environments on one server, the maker included.
THostsConfig HostsOn(const std::string& Base, const std::string& Maker = {}) {
  THostsConfig C = DefaultHostsConfig();
  const std::string Authority = Base.substr(8);
  for (THostsEnvironment* E : {&C.Formation, &C.Production}) {
    E->DMP_Server = Authority;
    E->AccesWeb = Base + "/";
    E->ParamSite = Base;
    E->INSiCard = E->INSiMutual = Base + "/lps";
  }
  C.Production.DMP_Server = "production.invalid";  // a training card fits the server
  C.Maker = Maker;
  C.ExtraCAFile = TestSupport::PKIFile("trust.pem");
  C.TimeoutSeconds = 10;
  return C;
}

std::string ClientSubjectCN() { return "Docteur Jean Test"; }

class RootPeer : public ::testing::Test {
 protected:
  void TearDown() override { SetHostsConfig(DefaultHostsConfig()); }
  TestSupport::TempDir Dir;
};

TEST_F(RootPeer, the_parameters_document_is_read_through_two_redirects) {
  TPythonServer Server(Dir, "server-chain.pem", "server.key");
  ASSERT_TRUE(Server.Ready);
  struct Case {
    std::string Mode;
    bool Read;
  } Cases[] = {{"ok", true}, {"loop", false}, {"http", false}, {"missing", false}, {"overflow", true}};
  for (const Case& C : Cases) {
    THostsConfig Hosts = HostsOn(Server.Base());
    Hosts.Formation.ParamSite = Server.Base() + "/" + C.Mode;
    SetHostsConfig(Hosts);
    auto Root = TCarvelin::Create();
    CoreTest::TTestSession Session;
    Root->SetSession(Session);
    ASSERT_NO_THROW(Root->LoadDmpParameters()) << C.Mode;
    const TParametres& P = Root->FParametres;
    EXPECT_EQ(P.GestionMineurs, C.Read) << C.Mode;
    EXPECT_EQ(P.CumulVisibilite, C.Read) << C.Mode;
    EXPECT_EQ(P.AgeMajoritee, C.Read && C.Mode != "overflow" ? 21 : 18) << C.Mode;
    EXPECT_EQ(P.hrPeriodeMax, C.Read ? 36 : 24) << C.Mode;
  }
  const std::string Log = Server.Requests();
  EXPECT_NE(Log.find("\"path\": \"/ok/web/dmp/documents/step2\""), std::string::npos);
  EXPECT_NE(Log.find("\"path\": \"/ok/final\""), std::string::npos);
  EXPECT_EQ(Log.find("/http/final"), std::string::npos);  // https to http is not followed
  EXPECT_NE(Log.find("\"commonName\": \"" + ClientSubjectCN() + "\"}"), std::string::npos) << Log;

  for (std::string Mode : {"notxml", "big"}) {
    THostsConfig Hosts = HostsOn(Server.Base());
    Hosts.Formation.ParamSite = Server.Base() + "/" + Mode;
    SetHostsConfig(Hosts);
    auto Root = TCarvelin::Create();
    CoreTest::TTestSession Session;
    Root->SetSession(Session);
    EXPECT_ANY_THROW(Root->LoadDmpParameters()) << Mode;
    EXPECT_EQ(Root->FParametres.AgeMajoritee, 18);
  }
}

TEST_F(RootPeer, a_soap_fault_sends_one_error_report_to_the_maker) {
  TPythonServer Server(Dir, "server-chain.pem", "server.key");
  ASSERT_TRUE(Server.Ready);
  SetHostsConfig(HostsOn(Server.Base(), Server.Base()));
  auto Root = TCarvelin::Create();
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  std::string Response;
  ASSERT_EQ(Root->SendRequest("<requête/>", "registry", {}, Response), ERR_OK) << Root->GetErrDetail();
  Vantrel::TXMLTree Tree;
  EXPECT_TRUE(Root->CheckSoapFault(Response, Tree));
  EXPECT_EQ(Root->GetErrDetail(), "Requête <refusée>");

  // The form as urllib.parse reads it.
  const std::string Check = R"PY(
import base64, json, sys
entries = [json.loads(l) for l in open(sys.argv[1])]
reports = [e for e in entries if e['path'] == '/error_report.php']
assert len(reports) == 1, entries
f = reports[0]['form']
assert list(f) == ['RPPS', 'ENV', 'Nom', 'Prenom', 'Error', 'Request', 'Response'], list(f)
assert (f['RPPS'], f['ENV'], f['Nom'], f['Prenom']) == ('899700012345', '128', 'TEST', 'Jean'), f
b64, stamp = f['Error'].split(' ')
assert base64.b64decode(b64).decode() == 'Requête <refusée>' and stamp == '[2024.09.05-08.01]', f['Error']
assert base64.b64decode(f['Request']).decode() == '<requête/>'
assert b'<s:Fault>' in base64.b64decode(f['Response'])
assert reports[0]['subject'] is None  # the report goes without the card
soap = [e for e in entries if e['method'] == 'POST' and e['path'] != '/error_report.php'][0]
assert soap['path'] == '/si-dmp-server/v2/services/registry' and soap['subject']['commonName'] == sys.argv[2], soap
assert soap['content_type'] == 'application/soap+xml; charset=utf-8'
)PY";
  auto R = TestSupport::RunPython(Check, {Server.Log, ClientSubjectCN()});
  EXPECT_EQ(R.Status, 0) << R.Err;
}

TEST_F(RootPeer, servers_failing_the_trust_check_are_refused_before_any_request) {
  for (auto [Chain, Key] : {std::pair{"rogue-server-chain.pem", "rogue-server.key"},
                            std::pair{"wrong-name-chain.pem", "wrong-name.key"}}) {
    TestSupport::TempDir Own;
    TPythonServer Server(Own, Chain, Key);
    ASSERT_TRUE(Server.Ready);
    SetHostsConfig(HostsOn(Server.Base()));
    auto Root = TCarvelin::Create();
    CoreTest::TTestSession Session;
    Root->SetSession(Session);
    std::string Response;
    EXPECT_EQ(Root->SendRequest("<r/>", "registry", {}, Response), ERR_CONNEXION) << Chain;
    EXPECT_EQ(Root->GetErrDetail().rfind("Invalid certificate", 0), 0u) << Root->GetErrDetail();
    EXPECT_TRUE(Server.Requests().empty()) << Chain;
  }
}

TEST_F(RootPeer, an_ecdsa_only_server_is_reached_over_the_system_client_with_the_card) {
  TPythonServer Server(Dir, "server-ec-chain.pem", "server-ec.key", "ECDHE-ECDSA-AES128-GCM-SHA256");
  ASSERT_TRUE(Server.Ready);
  SetHostsConfig(HostsOn(Server.Base()));
  auto Root = TCarvelin::Create();
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  std::string Response;
  EXPECT_EQ(Root->SendRequest("<r/>", "patients", {}, Response), ERR_OK) << Root->GetErrDetail();
  EXPECT_NE(Server.Requests().find("\"commonName\": \"" + ClientSubjectCN()), std::string::npos)
      << Server.Requests();
}

TEST_F(RootPeer, openssl_accepts_sha1_and_sha384_handshake_signatures) {
  const auto Site = Dir / "site";
  std::filesystem::create_directories(Site / "web/dmp/documents");
  // -HTTP serves the file as the whole answer: -WWW sends no length and no
  // "Connection: close", which the HTTP client refuses ("No content-length").
  const std::string Document =
      "<dmp-parameters><parameter-list code=\"param-si-dmp\">"
      "<parameter code=\"age-majorite\" value=\"17\"/></parameter-list></dmp-parameters>";
  TestSupport::WriteFile(Site / "web/dmp/documents/param-lps",
                         "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                             std::to_string(Document.size()) + "\r\n\r\n" + Document);
  for (std::string SigAlgs : {"RSA+SHA1", "RSA+SHA384"}) {
    const int Port = TestSupport::FreePort();
    HTTPTest::TServerProcess Server(
        {"sh", "-c",
         "cd '" + Site.string() + "' && exec openssl s_server -tls1_2 -accept 127.0.0.1:" + std::to_string(Port) +
             " -cert '" + TestSupport::PKIFile("server.pem") + "' -key '" + TestSupport::PKIFile("server.key") +
             "' -Verify 1 -CAfile '" + TestSupport::PKIFile("trust.pem") + "' -client_sigalgs " + SigAlgs +
             " -cipher 'DEFAULT:@SECLEVEL=0' -HTTP"});
    for (std::string Line; (Line = Server.ReadLine()) != "ACCEPT";) ASSERT_FALSE(Line.empty()) << SigAlgs;
    SetHostsConfig(HostsOn("https://127.0.0.1:" + std::to_string(Port)));
    auto Root = TCarvelin::Create();
    CoreTest::TTestSession Session;
    Root->SetSession(Session);
    ASSERT_NO_THROW(Root->LoadDmpParameters()) << SigAlgs;
    EXPECT_EQ(Root->FParametres.AgeMajoritee, 17) << SigAlgs;
    EXPECT_EQ(Session.SignCount, 1) << SigAlgs;
  }
}

TEST_F(RootPeer, handshake_signatures_verify_with_openssl) {
  SetHostsConfig(DefaultHostsConfig());
  auto Root = TCarvelin::Create();
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  Vantrel::TTLS& TLS = *Root->HTTP->TLS();
  for (auto [Length, Digest] : {std::pair{20, "sha1"}, std::pair{32, "sha256"}, std::pair{48, "sha384"}}) {
    const std::string Hash = TestSupport::RandomBytes(size_t(Length), uint64_t(Length));
    std::string Signature;
    TLS.OnCertificateVerify(TLS, Hash, Signature);
    TestSupport::WriteFile(Dir / "hash", Hash);
    TestSupport::WriteFile(Dir / "sig", Signature);
    auto R = TestSupport::Run({"openssl", "pkeyutl", "-verify", "-certin", "-inkey", TestSupport::PKIFile("client.pem"),
                               "-pkeyopt", std::string("digest:") + Digest, "-in", (Dir / "hash").string(),
                               "-sigfile", (Dir / "sig").string()});
    EXPECT_EQ(R.Status, 0) << Digest << R.Out << R.Err;
  }
}

TEST_F(RootPeer, contact_parameters_agree_with_python) {
  SetHostsConfig(DefaultHostsConfig());
  auto Root = TCarvelin::Create();
  const std::vector<std::vector<std::string>> Cases = {
      {"0601020304", "", "", "", "", "", ""},
      {"", "jean.test@exemple.fr", "", "", "", "", ""},
      {"0601020304", "é@x.fr", "12 rue de l'Église", "Bât. «A»", "75001", "Paris", "France"},
      {"", "", "3 œuvre €", "", "", "Łódź", "Polska"},  // outside the code page: '?'
  };
  for (const auto& C : Cases) {
    const std::string Ours = Root->GetDMPParams(C[0], C[1], C[2], C[3], C[4], C[5], C[6]);
    std::vector<std::string> Args = C;
    auto R = TestSupport::RunPython(R"PY(
import base64, sys
names = ['TELMOBILE', 'EMAIL', 'ADRESSE', 'ADRESSECOMP', 'CODEPOSTAL', 'VILLE', 'PAYS']
text = '|'.join(n + '=' + v for n, v in zip(names, sys.argv[1:]) if v)
sys.stdout.write(base64.urlsafe_b64encode(text.encode('cp1252', 'replace')).decode().rstrip('='))
)PY",
                                    Args);
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(Ours, R.Out) << C[2];
  }
}

}  // namespace
