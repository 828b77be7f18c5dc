// The WebSocket client against the websockets package (ws and wss) and a
// hand-written Python peer for crafted answers.
#include "Vantrel.WebSocket.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.UTF8.Utils.h"

using namespace Vantrel;
using namespace std::chrono_literals;

namespace {

struct TDelivered {
  std::string Message;
  bool Text;
  bool operator==(const TDelivered&) const = default;
};

// What the handlers saw; they run on the receiving thread here.
struct TWatcher {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TDelivered> Messages;
  int Disconnects = 0;

  void Attach(TWebSocket& WS) {
    WS.SetOnMessage([this](TWebSocket& S) {
      std::lock_guard<std::mutex> G(Lock);
      Messages.push_back({S.Data(), S.Text()});
      Changed.notify_all();
    });
    WS.SetOnDisconnect([this](TWebSocket&) {
      std::lock_guard<std::mutex> G(Lock);
      ++Disconnects;
      Changed.notify_all();
    });
  }
  bool WaitDisconnect() {
    std::unique_lock<std::mutex> L(Lock);
    bool Ended = Changed.wait_for(L, 10s, [&] { return Disconnects > 0; });
    L.unlock();
    std::this_thread::sleep_for(100ms);  // a second notice would come now
    return Ended;
  }
};

struct TPythonServer {
  HTTPTest::TServerProcess Process;
  int Port;
  explicit TPythonServer(std::vector<std::string> Args) : Process(Args), Port(std::atoi(Process.ReadLine().c_str())) {}
};

std::string Url(const char* Scheme, int Port, const char* Path = "/") {
  return std::string(Scheme) + "://127.0.0.1:" + std::to_string(Port) + Path;
}

class WebSocketPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestSupport::Run({TestSupport::Python, "-c", "import websockets"}).Status != 0)
      GTEST_SKIP() << "python3-websockets not installed";
  }
  std::string Fixture(const char* Name) { return TestSupport::Fixture(std::string("websocket/") + Name).string(); }
};

TEST_F(WebSocketPeer, websockets_server_over_ws_and_wss) {
  SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
  RegisterSChannelSocketMaker();
  for (bool Secure : {false, true}) {
    std::vector<std::string> Argv{TestSupport::Python, Fixture("ws_server.py")};
    if (Secure) Argv.insert(Argv.end(), {TestSupport::PKIFile("server-chain.pem"), TestSupport::PKIFile("server.key")});
    TPythonServer Server(Argv);
    ASSERT_GT(Server.Port, 0);
    TWebSocket WS;
    WS.SetTLSEngine(TTLSEngine::SChannel);
    TWatcher W;
    W.Attach(WS);
    WS.Open(Url(Secure ? "wss" : "ws", Server.Port));
    ASSERT_TRUE(W.WaitDisconnect()) << Secure;
    EXPECT_EQ(W.Messages, (std::vector<TDelivered>{{"abc", true}, {"Hello", true}, {"pong received", true}}))
        << Secure;
    EXPECT_EQ(W.Disconnects, 1);
    EXPECT_FALSE(WS.Active());
  }
}

struct TRawCase {
  const char* Mode;
  std::vector<TDelivered> Expected;
};

TEST_F(WebSocketPeer, crafted_answers) {
  TRawCase Cases[] = {
      {"tokens", {{"ok", true}}},  // "keep-alive, Upgrade" and "WebSocket" are accepted
      {"notoken", {}},             // "Upgraded" is no Upgrade token
      {"badaccept", {}},           // nothing is delivered after a wrong accept value
      {"ping", {{"done", true}}},
  };
  for (const auto& Case : Cases) {
    TestSupport::TempDir Dir;
    TPythonServer Server({TestSupport::Python, Fixture("raw_server.py"), Case.Mode, (Dir / "log").string()});
    ASSERT_GT(Server.Port, 0);
    TWebSocket WS;
    WS.SetUserAgent("Carvelin test");
    TWatcher W;
    W.Attach(WS);
    WS.Open(Url("ws", Server.Port, "/hello?id=1"));
    ASSERT_TRUE(W.WaitDisconnect()) << Case.Mode;
    EXPECT_EQ(W.Messages, Case.Expected) << Case.Mode;
    EXPECT_EQ(W.Disconnects, 1) << Case.Mode;
    ASSERT_TRUE(Server.Process.WaitExit());
    std::string Log = TestSupport::ReadFile(Dir / "log");
    EXPECT_TRUE(Log.ends_with("closed")) << Log;
    if (std::string_view(Case.Mode) == "ping") {
      EXPECT_NE(Log.find("\npong 8a 129 07\n"), std::string::npos) << Log;
    }
    if (std::string_view(Case.Mode) != "tokens") continue;
    EXPECT_TRUE(Log.starts_with("GET /hello?id=1 HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1:" +
                                std::to_string(Server.Port) + "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"))
        << Log;
    EXPECT_NE(Log.find("\r\nSec-WebSocket-Version: 13\r\n"), std::string::npos);
    size_t K = Log.find("Sec-WebSocket-Key: ");
    ASSERT_NE(K, std::string::npos);
    std::string Key = Log.substr(K + 19, Log.find("\r\n", K) - K - 19);
    EXPECT_EQ(Key.size(), 24u);
    std::string Raw = Base64Decode(Key);
    ASSERT_EQ(Raw.size(), 16u);
    EXPECT_EQ(Raw[0], '\0');
  }
}

// The owner's thread: tasks posted by the receiving thread wait here until
// the test serves them.
struct TOwnerQueue {
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Tasks;

  TWebSocket::TPoster Poster() {
    return [this](std::function<void()> Task) {
      std::lock_guard<std::mutex> G(Lock);
      Tasks.push_back(std::move(Task));
      Changed.notify_all();
    };
  }
  // Runs the next task; false when none came in time.
  bool ServeOne(std::chrono::milliseconds Wait = 10s) {
    std::unique_lock<std::mutex> L(Lock);
    if (!Changed.wait_for(L, Wait, [&] { return !Tasks.empty(); })) return false;
    auto Task = std::move(Tasks.front());
    Tasks.pop_front();
    L.unlock();
    Task();
    return true;
  }
};

TEST_F(WebSocketPeer, close_from_a_message_handler_returns_promptly) {
  TestSupport::TempDir Dir;
  TPythonServer Server({TestSupport::Python, Fixture("raw_server.py"), "hold", (Dir / "log").string()});
  ASSERT_GT(Server.Port, 0);
  TOwnerQueue Owner;
  TWebSocket WS;
  WS.SetPoster(Owner.Poster());
  std::vector<std::string> Got;
  int Disconnects = 0;
  WS.SetOnMessage([&](TWebSocket& S) {
    Got.push_back(S.Data());
    S.Close();  // the dialog closes while the receiving thread waits for this handler
  });
  WS.SetOnDisconnect([&](TWebSocket&) { ++Disconnects; });
  WS.Open(Url("ws", Server.Port));
  ASSERT_TRUE(Owner.ServeOne());
  EXPECT_FALSE(WS.Active());
  while (Owner.ServeOne(200ms)) {}
  EXPECT_EQ(Got, std::vector<std::string>{"one"});
  EXPECT_EQ(Disconnects, 0);
  ASSERT_TRUE(Server.Process.WaitExit());
  EXPECT_TRUE(TestSupport::ReadFile(Dir / "log").ends_with("closed"));
}

TEST_F(WebSocketPeer, close_while_a_delivery_waits_drops_it) {
  TestSupport::TempDir Dir;
  TPythonServer Server({TestSupport::Python, Fixture("raw_server.py"), "hold", (Dir / "log").string()});
  ASSERT_GT(Server.Port, 0);
  TOwnerQueue Owner;
  int Messages = 0, Disconnects = 0;
  {
    TWebSocket WS;
    WS.SetPoster(Owner.Poster());
    WS.SetOnMessage([&](TWebSocket&) { ++Messages; });
    WS.SetOnDisconnect([&](TWebSocket&) { ++Disconnects; });
    WS.Open(Url("ws", Server.Port));
    {
      std::unique_lock<std::mutex> L(Owner.Lock);
      ASSERT_TRUE(Owner.Changed.wait_for(L, 10s, [&] { return !Owner.Tasks.empty(); }));
    }
    WS.Close();  // the receiving thread is waiting for the owner
  }
  while (Owner.ServeOne(200ms)) {}  // the queued delivery finds the session gone
  EXPECT_EQ(Messages, 0);
  EXPECT_EQ(Disconnects, 0);
  ASSERT_TRUE(Server.Process.WaitExit());
  EXPECT_TRUE(TestSupport::ReadFile(Dir / "log").ends_with("closed"));
}

}  // namespace
