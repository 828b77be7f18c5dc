// The HTTP client through a real proxy (tests/fixtures/http/connect_proxy.py,
// which logs each request line it reads): https in a CONNECT tunnel over
// both TLS engines against a Python HTTPS server of the test PKI, plain http
// in absolute form, and the proxy's refusals; then Debian's tinyproxy.
#include <filesystem>

#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.WinSSPI.h"

using namespace Vantrel;

namespace {

using HTTPTest::TProxy;

// An HTTPS server presenting the test PKI's Certificate, keeping its
// connections alive; a GET answers "<path> on connection <n>".
class THTTPSServer {
 public:
  explicit THTTPSServer(std::string_view Certificate)
      : FProcess({TestSupport::Python, TestSupport::Fixture("http/https_keepalive.py").string(),
                  TestSupport::PKIFile(std::string(Certificate) + ".pem"),
                  TestSupport::PKIFile(std::string(Certificate) + ".key")}) {
    Port = std::atoi(FProcess.ReadLine().c_str());
  }
  std::string URL(std::string_view Host, std::string_view Path) const {
    return "https://" + std::string(Host) + ":" + std::to_string(Port) + std::string(Path);
  }

  int Port = 0;

 private:
  HTTPTest::TServerProcess FProcess;
};

// Debian's tinyproxy on a free loopback port, Extra added to its settings.
class TTinyproxy {
 public:
  explicit TTinyproxy(const std::string& Extra) : Port(TestSupport::FreePort()) {
    const auto Conf = FDir.Path() / "tinyproxy.conf";
    TestSupport::WriteFile(Conf, "Port " + std::to_string(Port) + "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n" +
                                     "MaxClients 20\nLogLevel Error\n" + Extra + "\n");
    FProcess = std::make_unique<HTTPTest::TServerProcess>(std::vector<std::string>{"tinyproxy", "-d", "-c", Conf.string()});
    if (!TestSupport::WaitForPort(Port)) Port = 0;
  }

  int Port;

 private:
  TestSupport::TempDir FDir;
  std::unique_ptr<HTTPTest::TServerProcess> FProcess;
};

// Both engines, trusting the test PKI.
void UseEngines() {
  SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
  RegisterTinyTLSEngine();
  RegisterSChannelSocketMaker();
}

class HTTPClientProxy : public ::testing::TestWithParam<TTLSEngine> {
 protected:
  void SetUp() override {
    UseEngines();
    Client.SetTLSEngine(GetParam());
    Client.SetTimeout(10000);
  }
  THTTPClient Client;
};

// The GET fails because the certificate does not name the host
// (CERT_E_CN_NO_MATCH, from either engine).
bool NameMismatch(THTTPClient& Client, const std::string& URL) {
  constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
  try {
    Client.Get(URL);
  } catch (const ECertException& E) {
    return E.Status() == CERT_E_CN_NO_MATCH;
  } catch (const ESSLError& E) {
    return uint32_t(E.Code()) == CERT_E_CN_NO_MATCH;
  }
  return false;
}

std::string Entry(int Connection, std::string_view Line, std::string_view Host) {
  return std::to_string(Connection) + "\t" + std::string(Line) + "\t" + std::string(Host);
}

}  // namespace

TEST_P(HTTPClientProxy, https_goes_through_one_tunnel_per_server) {
  TProxy Proxy;
  THTTPSServer One("server"), Two("server");
  ASSERT_GT(Proxy.Port, 0);
  ASSERT_GT(One.Port, 0);
  Client.SetProxy("127.0.0.1", Proxy.Port);
  EXPECT_EQ(Client.Get(One.URL("localhost", "/a")), "/a on connection 0");
  EXPECT_EQ(Client.Get(One.URL("localhost", "/b")), "/b on connection 0");  // the tunnel kept alive
  EXPECT_EQ(Client.Get(Two.URL("localhost", "/c")), "/c on connection 0");
  const std::string A = "localhost:" + std::to_string(One.Port), B = "localhost:" + std::to_string(Two.Port);
  EXPECT_EQ(Proxy.Log(), (std::vector<std::string>{Entry(0, "CONNECT " + A + " HTTP/1.1", A),
                                                   Entry(1, "CONNECT " + B + " HTTP/1.1", B)}));
  // Without the proxy the client goes straight to the server again.
  Client.ClearProxy();
  EXPECT_EQ(Client.Get(One.URL("localhost", "/d")), "/d on connection 1");
  EXPECT_EQ(Proxy.Log().size(), 2u);
}

// Names under ".invalid" are resolved by the proxy alone: the certificate
// is checked against the URL's host, never the proxy's.
TEST_P(HTTPClientProxy, server_certificate_is_checked_against_the_url_host) {
  TProxy Proxy;
  THTTPSServer Named("wrong-name"), Localhost("server");
  Client.SetProxy("127.0.0.1", Proxy.Port);
  EXPECT_EQ(Client.Get(Named.URL("wrong-name.invalid", "/n")), "/n on connection 0");
  for (const std::string& URL : {Localhost.URL("wrong-name.invalid", "/x"), Named.URL("localhost", "/y")})
    EXPECT_EQ(NameMismatch(Client, URL), true) << URL;
  EXPECT_EQ(Proxy.Log().size(), 3u);
}

TEST_P(HTTPClientProxy, tinyproxy_tunnels_and_demands_credentials) {
  SKIP_UNLESS_TOOL("tinyproxy");
  TTinyproxy Open(""), Locked("BasicAuth carvelin secret");
  THTTPSServer Server("server");
  ASSERT_GT(Open.Port, 0);
  ASSERT_GT(Locked.Port, 0);
  Client.SetProxy("127.0.0.1", Open.Port);
  EXPECT_EQ(Client.Get(Server.URL("localhost", "/t")), "/t on connection 0");
  EXPECT_EQ(Client.Get(Server.URL("localhost", "/u")), "/u on connection 0");
  Client.SetProxy("127.0.0.1", Locked.Port);
  try {
    Client.Get(Server.URL("localhost", "/v"));
    ADD_FAILURE() << "tinyproxy let the tunnel through without credentials";
  } catch (const EProxyError& E) {
    EXPECT_EQ(E.Code(), 407);
    EXPECT_EQ(Client.ResponseCode(), 407);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, HTTPClientProxy, ::testing::Values(TTLSEngine::TinyTLS, TTLSEngine::SChannel),
                         [](const auto& Info) { return Info.param == TTLSEngine::TinyTLS ? "own" : "system"; });

TEST(HTTPClientProxyRefusal, refused_tunnel_is_the_proxy_status) {
  UseEngines();
  for (int Status : {407, 403}) {
    TProxy Proxy(Status);
    THTTPClient Client;
    Client.SetProxy("127.0.0.1", Proxy.Port);
    const std::string Line = Status == 407 ? "HTTP/1.1 407 Proxy Authentication Required" : "HTTP/1.1 403 Forbidden";
    try {
      Client.Get("https://localhost:9/");
      ADD_FAILURE() << "no refusal";
    } catch (const EProxyError& E) {
      EXPECT_EQ(E.Code(), Status);
      EXPECT_EQ(E.what(), Line);
    }
    EXPECT_EQ(Client.ResponseCode(), Status);
    EXPECT_EQ(Client.Response(), Line);
    // A plain request gets the proxy's answer as its own.
    std::string Body;
    EXPECT_NO_THROW(Client.Get("http://localhost:9/", Body));
    EXPECT_EQ(Client.ResponseCode(), Status);
  }
}

// A scripted proxy (the recorder) shows the CONNECT request byte for byte
// and the bounds on its answer.
TEST(HTTPClientProxyRefusal, tunnel_answer_is_bounded_and_checked) {
  struct TCase {
    std::string Answer;  // after the request; nothing more and the connection stays open
    std::string Error;
  };
  const TCase Cases[] = {
      {"", "WINSOCK Error #0000274C on function recv"},
      {"HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x03", "Unexpected bytes from the proxy after its answer"},
      {"SSH-2.0-OpenSSH\r\n\r\n", "Invalid status line: SSH-2.0-OpenSSH"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a') + "\r\n\r\n", "Response header too large"},
  };
  UseEngines();
  for (const auto& C : Cases) {
    TestSupport::TempDir Dir;
    const std::string Plan = R"([[{"recv": 1}, {"send": ")" + Base64Encode(C.Answer) + R"("}, {"sleep": 3}]])";
    TestSupport::WriteFile(Dir.Path() / "plan.json", Plan);
    std::filesystem::create_directory(Dir.Path() / "log");
    HTTPTest::TServerProcess Recorder({TestSupport::Python, TestSupport::Fixture("http/recorder.py").string(),
                                       (Dir.Path() / "plan.json").string(), (Dir.Path() / "log").string()});
    const int Port = std::atoi(Recorder.ReadLine().c_str());
    THTTPClient Client;
    Client.SetUserAgent("ua");
    Client.SetTimeout(500);
    Client.SetProxy("127.0.0.1", Port);
    try {
      Client.Get("https://h.example:8443/p");
      ADD_FAILURE() << "no error for " << C.Error;
    } catch (const std::exception& E) {
      EXPECT_EQ(E.what(), C.Error);
    }
    EXPECT_EQ(TestSupport::ReadFile(Dir.Path() / "log" / "req-0-0"),
              "CONNECT h.example:8443 HTTP/1.1\r\nHost: h.example:8443\r\nUser-Agent: ua\r\n\r\n");
  }
}

TEST(HTTPClientProxyPlain, plain_request_goes_in_absolute_form) {
  TProxy Proxy;
  TestSupport::TempDir Dir;
  HTTPTest::TNginx Nginx(Dir.Path());
  ASSERT_TRUE(Nginx.Ready);
  TestSupport::WriteFile(Nginx.Root / "a.txt", "page a");
  THTTPClient Client;
  Client.SetProxy("127.0.0.1", Proxy.Port);
  const std::string Authority = "127.0.0.1:" + std::to_string(Nginx.Port);
  EXPECT_EQ(Client.Get(Nginx.URL("/a.txt?x=1")), "page a");
  EXPECT_EQ(Client.Get(Nginx.URL("/a.txt")), "page a");
  EXPECT_EQ(Proxy.Log(), (std::vector<std::string>{Entry(0, "GET http://" + Authority + "/a.txt?x=1 HTTP/1.1", Authority),
                                                   Entry(0, "GET http://" + Authority + "/a.txt HTTP/1.1", Authority)}));
}
