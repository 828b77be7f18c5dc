// The HTTP client against real servers: a Python socket server that records
// the request bytes and replays planned answers, and nginx compared with curl.
#include "Vantrel.HTTPClient.h"

#include <filesystem>
#include <future>
#include <thread>

#include "TestServer.h"
#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"

using namespace Vantrel;
using namespace std::chrono_literals;

namespace {

// One planned step of the recorder (see tests/fixtures/http/recorder.py).
std::string Recv() { return R"({"recv": 1})"; }
std::string Send(std::string_view Bytes) { return R"({"send": ")" + Base64Encode(Bytes) + "\"}"; }
std::string Close() { return R"({"close": 1})"; }
std::string Sleep(double Seconds) { return R"({"sleep": )" + std::to_string(Seconds) + "}"; }
std::string Body(int Seed, bool Gzip, bool Chunked) {
  return R"({"body": {"seed": )" + std::to_string(Seed) + R"(, "size": 20000, "gzip": )" +
         (Gzip ? "true" : "false") + R"(, "chunked": )" + (Chunked ? "true" : "false") + "}}";
}

class TRecorder {
 public:
  // Connections, each a list of steps.
  explicit TRecorder(const std::vector<std::vector<std::string>>& Plan) {
    std::string Json = "[";
    for (size_t I = 0; I < Plan.size(); ++I) {
      Json += I ? ",[" : "[";
      for (size_t J = 0; J < Plan[I].size(); ++J) Json += (J ? "," : "") + Plan[I][J];
      Json += "]";
    }
    Json += "]";
    TestSupport::WriteFile(FDir / "plan.json", Json);
    std::filesystem::create_directory(FDir / "log");
    FServer = std::make_unique<HTTPTest::TServerProcess>(std::vector<std::string>{
        TestSupport::Python, TestSupport::Fixture("http/recorder.py").string(),
        (FDir / "plan.json").string(), (FDir / "log").string()});
    Port = std::atoi(FServer->ReadLine().c_str());
  }
  std::string URL(std::string_view Path) const {
    return "http://127.0.0.1:" + std::to_string(Port) + std::string(Path);
  }
  // Waits until the server has played its plan.
  bool Finished() { return FServer->WaitExit(15000); }
  bool Has(std::string_view Name) const { return std::filesystem::exists(FDir / "log" / Name); }
  std::string Read(std::string_view Name) const { return TestSupport::ReadFile(FDir / "log" / Name); }

  int Port = 0;

 private:
  TestSupport::TempDir FDir;
  std::unique_ptr<HTTPTest::TServerProcess> FServer;
};

std::string Ok(std::string_view Body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Body.size()) + "\r\n\r\n" + std::string(Body);
}

// A "TLS" socket that adds no protection: it shows that https requests go
// through the registered engine's socket.
class TPassThroughTLSSocket : public TCustomTLSSocket {
 public:
  static inline int Started = 0;

 protected:
  void StartTLS() override { ++Started; }
};

}  // namespace

TEST(HTTPClientPeer, request_head_reaches_the_wire_byte_for_byte) {
  TRecorder Server({{Recv(), Send(Ok("done"))}});
  ASSERT_GT(Server.Port, 0);
  THTTPClient Client;
  Client.SetUserAgent("test-agent");
  Client.CustomHeaders().push_back("SOAPAction: \"urn:x\"");
  Client.SetAuthorization(BasicAuthorization("médecin", "p@ss:wörd"));
  EXPECT_EQ(Client.Post(Server.URL("/svc?a=1#frag"), "<xml/>"), "done");
  ASSERT_TRUE(Server.Finished());
  EXPECT_EQ(Server.Read("req-0-0"),
            "POST /svc?a=1 HTTP/1.1\r\nConnection: keep-alive\r\nHost: 127.0.0.1:" + std::to_string(Server.Port) + "\r\n"
            "Content-Type: text/html; charset=UTF-8\r\nContent-Length: 6\r\nAccept: */*\r\n"
            "User-Agent: test-agent\r\nSOAPAction: \"urn:x\"\r\n"
            "Authorization: " + BasicAuthorization("médecin", "p@ss:wörd") + "\r\n\r\n<xml/>");
  // Python's own Base64 decoder reads the credentials back.
  EXPECT_EQ(Server.Read("basic-0-0"), "médecin:p@ss:wörd");
}

TEST(HTTPClientPeer, dropped_keep_alive_connection_gets_the_request_once_more) {
  // The server reads the second request and closes without a word.
  TRecorder Server({{Recv(), Send(Ok("one")), Recv(), Close()}, {Recv(), Send(Ok("two"))}});
  THTTPClient Client;
  EXPECT_EQ(Client.Get(Server.URL("/1")), "one");
  EXPECT_EQ(Client.Get(Server.URL("/2")), "two");
  ASSERT_TRUE(Server.Finished());
  EXPECT_TRUE(Server.Read("req-0-1").starts_with("GET /2 "));
  EXPECT_TRUE(Server.Read("req-1-0").starts_with("GET /2 "));
  EXPECT_FALSE(Server.Has("req-1-1"));
}

TEST(HTTPClientPeer, idle_connection_closed_by_the_server_is_not_used) {
  TRecorder Server({{Recv(), Send(Ok("one")), Close()}, {Recv(), Send(Ok("two"))}});
  THTTPClient Client;
  EXPECT_EQ(Client.Get(Server.URL("/1")), "one");
  std::this_thread::sleep_for(200ms);  // the server's FIN arrives
  EXPECT_EQ(Client.Get(Server.URL("/2")), "two");
  ASSERT_TRUE(Server.Finished());
  EXPECT_FALSE(Server.Has("req-0-1"));
  EXPECT_TRUE(Server.Read("req-1-0").starts_with("GET /2 "));
}

TEST(HTTPClientPeer, server_closing_mid_answer_is_an_error_without_resend) {
  for (std::string Partial : {"HTTP/1.1 200 OK\r\nContent-Le", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nten bytes!"}) {
    // One connection only: a resend would meet a refused connect instead.
    TRecorder Server({{Recv(), Send(Partial), Close()}});
    THTTPClient Client;
    try {
      std::string Body;
      Client.Get(Server.URL("/"), Body);
      ADD_FAILURE() << "no error";
    } catch (const EClosedSocketError& E) {
      EXPECT_EQ(E.Func(), "recv") << E.what();
      EXPECT_EQ(E.Code(), 0u);
    }
    ASSERT_TRUE(Server.Finished());
  }
}

// Abort from another thread wakes a request waiting for its answer at once,
// long before the time-out, and keeps the client from connecting again
// (the usual resend after a dropped connection included).
TEST(HTTPClientPeer, abort_ends_a_waiting_request_and_every_later_one) {
  TRecorder Server({{Recv(), Sleep(60)}});
  THTTPClient Client;
  ASSERT_EQ(Client.Timeout(), 60000);
  auto Request = std::async(std::launch::async, [&] { Client.Get(Server.URL("/slow")); });
  const auto Deadline = std::chrono::steady_clock::now() + 20s;
  while (!Server.Has("req-0-0") && std::chrono::steady_clock::now() < Deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(Server.Has("req-0-0"));
  Client.Abort();
  ASSERT_EQ(Request.wait_for(20s), std::future_status::ready);
  try {
    Request.get();
    ADD_FAILURE() << "no error";
  } catch (const ESocketError& E) {
    EXPECT_STREQ(E.what(), "WINSOCK Error #00002745 on function connect");
  }
  EXPECT_THROW(Client.Get(Server.URL("/again")), ESocketError);
  EXPECT_FALSE(Server.Has("req-0-1"));
}

// A silent server, and one that drips its head a line at a time, each line
// well within the receive time-out: both end in the time-out error, and the
// request is not sent again.
TEST(HTTPClientPeer, silent_or_dripping_server_times_out) {
  EXPECT_EQ(THTTPClient().Timeout(), 60000);
  std::vector<std::string> Drip{Recv(), Send("HTTP/1.1 200 OK\r\n")};
  for (int I = 0; I < 12; ++I) {
    Drip.push_back(Sleep(0.25));
    Drip.push_back(Send("X-" + std::to_string(I) + ": drip\r\n"));
  }
  Drip.push_back(Send("Content-Length: 0\r\n\r\n"));
  for (const auto& Steps : {std::vector<std::string>{Recv(), Sleep(3)}, Drip}) {
    TRecorder Server({Steps});
    THTTPClient Client;
    Client.SetTimeout(1000);
    try {
      Client.Get(Server.URL("/slow"));
      ADD_FAILURE() << "no time-out";
    } catch (const ESocketError& E) {
      EXPECT_STREQ(E.what(), "WINSOCK Error #0000274C on function recv");
    }
    EXPECT_FALSE(Client.Response().starts_with("HTTP/1.1 200"));
    ASSERT_TRUE(Server.Finished());
    EXPECT_FALSE(Server.Has("req-0-1"));
  }
}

TEST(HTTPClientPeer, chunked_and_gzip_bodies_match_what_python_sent) {
  std::vector<std::string> Steps;
  int Seed = 0;
  for (bool Gzip : {false, true})
    for (bool Chunked : {false, true}) {
      Steps.push_back(Recv());
      Steps.push_back(Body(++Seed, Gzip, Chunked));
    }
  TRecorder Server({Steps});
  THTTPClient Client;
  Client.SetAcceptGZIP(true);
  std::vector<std::string> Got;
  for (int I = 0; I < Seed; ++I) {
    std::string B;
    Client.Get(Server.URL("/" + std::to_string(I)), B);
    Got.push_back(B);
  }
  ASSERT_TRUE(Server.Finished());
  for (int I = 0; I < Seed; ++I) {
    std::string Sent = Server.Read("body-0-" + std::to_string(I));
    EXPECT_GT(Sent.size(), 10000u);
    EXPECT_EQ(Got[size_t(I)], Sent) << "answer " << I;
  }
  EXPECT_FALSE(Server.Has("req-0-4"));
  EXPECT_TRUE(Server.Read("req-0-3").find("Accept-Encoding: gzip\r\n") != std::string::npos);
}

TEST(HTTPClientPeer, https_goes_through_the_registered_engine_socket) {
  RegisterTLSSocketMaker(TTLSEngine::TinyTLS,
                         [](TCustomHTTPClient&) { return std::make_unique<TPassThroughTLSSocket>(); });
  TRecorder Server({{Recv(), Send(Ok("secure"))}});
  THTTPClient Client;
  EXPECT_EQ(Client.Get("https://127.0.0.1:" + std::to_string(Server.Port) + "/s"), "secure");
  EXPECT_TRUE(Client.UseTLS());
  EXPECT_EQ(TPassThroughTLSSocket::Started, 1);
  RegisterTLSSocketMaker(TTLSEngine::TinyTLS, {});
  ASSERT_TRUE(Server.Finished());
}

namespace {

// Text that gzip shrinks well, a few hundred kilobytes.
std::string SampleText() {
  std::string Text;
  const char* Words[] = {"dossier ", "médical ", "partagé ", "document ", "CDA\n", "patient "};
  uint32_t X = 12345;
  while (Text.size() < 300000) {
    X = X * 1103515245 + 12345;
    Text += Words[(X >> 16) % 6];
  }
  return Text;
}

}  // namespace

TEST(HTTPClientPeer, nginx_bodies_match_curl) {
  SKIP_UNLESS_TOOL("nginx");
  SKIP_UNLESS_TOOL("curl");
  TestSupport::TempDir Dir;
  HTTPTest::TNginx Nginx(Dir.Path());
  ASSERT_TRUE(Nginx.Ready) << TestSupport::ReadFile(Dir / "error.log");
  const std::string Text = SampleText();
  TestSupport::WriteFile(Nginx.Root / "text.txt", Text);
  std::filesystem::create_directory(Nginx.Root / "ssi");
  TestSupport::WriteFile(Nginx.Root / "ssi" / "page.html", "<p>before</p><!--# echo var=\"uri\" --><p>after</p>");
  TestSupport::WriteFile(Nginx.Root / "bin.dat", TestSupport::RandomBytes(100000, 7));

  struct Case { const char* Path; bool Gzip; const char* Framing; } Cases[] = {
      {"/text.txt", true, "Transfer-Encoding"},   // gzip on the fly is chunked
      {"/text.txt", false, "Content-Length"},
      {"/ssi/page.html", false, "Transfer-Encoding"},
      {"/ssi/page.html", true, "Transfer-Encoding"},
      {"/bin.dat", true, "Transfer-Encoding"},
  };
  THTTPClient Client;
  for (const auto& K : Cases) {
    Client.SetAcceptGZIP(K.Gzip);
    std::string Ours;
    Client.Get(Nginx.URL(K.Path), Ours);
    EXPECT_EQ(Client.ResponseCode(), 200);
    EXPECT_NE(Client.GetHeader(K.Framing), "") << K.Path;
    EXPECT_EQ(Client.HasHeader("Content-Encoding", "gzip"), K.Gzip) << K.Path;
    std::vector<std::string> Curl{"curl", "-s", "--fail"};
    if (K.Gzip) Curl.push_back("--compressed");
    Curl.push_back(Nginx.URL(K.Path));
    auto Theirs = TestSupport::Run(Curl);
    ASSERT_EQ(Theirs.Status, 0) << Theirs.Err;
    EXPECT_EQ(Ours, Theirs.Out) << K.Path << (K.Gzip ? " gzip" : "");
  }
  EXPECT_EQ(Client.Get(Nginx.URL("/text.txt")), Text);

  // The driver prints the head then the same body.
  auto Tool = TestSupport::Run({TestSupport::ToolPath("http-get"), "--compressed", Nginx.URL("/text.txt")});
  ASSERT_EQ(Tool.Status, 0) << Tool.Err;
  EXPECT_TRUE(Tool.Out.starts_with("HTTP/1.1 200 OK\r\n"));
  auto HeadEnd = Tool.Out.find("\r\n\r\n");
  ASSERT_NE(HeadEnd, std::string::npos);
  EXPECT_EQ(Tool.Out.substr(HeadEnd + 4), Text);
  auto Missing = TestSupport::Run({TestSupport::ToolPath("http-get"), Nginx.URL("/absent")});
  EXPECT_EQ(Missing.Status, 0);
  EXPECT_TRUE(Missing.Out.starts_with("HTTP/1.1 404 Not Found\r\n"));
}

TEST(HTTPClientPeer, nginx_connection_is_reused_until_its_keep_alive_timeout) {
  SKIP_UNLESS_TOOL("nginx");
  TestSupport::TempDir Dir;
  HTTPTest::TNginx Nginx(Dir.Path());
  ASSERT_TRUE(Nginx.Ready) << TestSupport::ReadFile(Dir / "error.log");
  TestSupport::WriteFile(Nginx.Root / "a", "a");
  THTTPClient Client;
  EXPECT_EQ(Client.Get(Nginx.URL("/a?1")), "a");
  EXPECT_EQ(Client.GetHeader("Keep-Alive"), "timeout=5");
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(Client.Get(Nginx.URL("/a?2")), "a");
  std::this_thread::sleep_for(6s);  // past the 5 s the server announced
  EXPECT_EQ(Client.Get(Nginx.URL("/a?3")), "a");
  Client.Close();
  std::this_thread::sleep_for(200ms);  // the log line of the last request
  // "$connection $connection_requests $uri" per request.
  std::istringstream Log(TestSupport::ReadFile(Nginx.AccessLog));
  std::vector<std::pair<std::string, std::string>> Lines;
  std::string Conn, Count, Uri;
  while (Log >> Conn >> Count >> Uri) Lines.emplace_back(Conn, Count);
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[0].first, Lines[1].first);
  EXPECT_EQ(Lines[1].second, "2");
  EXPECT_NE(Lines[2].first, Lines[1].first);
  EXPECT_EQ(Lines[2].second, "1");
}

TEST(HTTPClientPeer, post_and_log_keeps_the_failed_exchange) {
  const std::string NotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing";
  const std::string Unavailable = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy";
  TRecorder Server({{Recv(), Send(NotFound)}, {Recv(), Send(Unavailable)}});
  // The log is named after the running program, its extension replaced.
  const auto Exe = std::filesystem::read_symlink("/proc/self/exe");
  const auto Log = Exe.parent_path() / (Exe.stem().string() + ".http_log.txt");
  TestSupport::WriteFile(Log, "an older log that must go");
  std::string Response;
  PostAndLog(Server.URL("/prats"), "{\"a\":1}", "application/json", Response, "Basic eDp5");
  EXPECT_EQ(Response, "missing");
  EXPECT_EQ(TestSupport::ReadFile(Log), "an older log that must go");
  try {
    PostAndLog(Server.URL("/prats"), "{\"a\":2}", "application/json", Response, "");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& E) {
    EXPECT_EQ(E.what(), "Erreur sur le site web " + Server.URL("/prats"));
  }
  EXPECT_EQ(TestSupport::ReadFile(Log), "{\"a\":2}\r\nHTTP/1.1 503 Service Unavailable\r\nbusy");
  std::filesystem::remove(Log);
  ASSERT_TRUE(Server.Finished());
  EXPECT_NE(Server.Read("req-0-0").find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(Server.Read("basic-0-0"), "x:y");
}
