// WebSocket frames: the client's encoder and the reading of crafted server
// byte streams through an in-memory connection.
#include "Vantrel.WebSocket.h"

#include "TestSupport.h"

using namespace Vantrel;

namespace {

std::string Bytes(std::initializer_list<int> List) {
  std::string S;
  for (int B : List) S += char(B);
  return S;
}

std::string ServerFrame(int B0, std::string_view Payload) {
  std::string F(1, char(B0));
  size_t N = Payload.size();
  if (N <= 125) {
    F += char(N);
  } else if (N <= 65535) {
    F += Bytes({126, int(N >> 8), int(N & 255)});
  } else {
    F += char(127);
    for (int Shift = 56; Shift >= 0; Shift -= 8) F += char(uint64_t(N) >> Shift);
  }
  return F + std::string(Payload);
}

struct TDelivered {
  std::string Message;
  bool Text;
  bool operator==(const TDelivered&) const = default;
};

struct TRun {
  std::vector<TDelivered> Messages;
  std::string Sent;
};

TRun Receive(const std::string& Incoming, size_t Piece = 7) {
  TMemorySocket Socket(Incoming, Piece);
  TRun Run;
  std::atomic<bool> Stop{false};
  try {
    ReceiveFrames(Socket, [&](const std::string& M, bool T) { Run.Messages.push_back({M, T}); }, Stop);
  } catch (const std::exception&) {
    // a read past the end: the session ends as on a dropped connection
  }
  Run.Sent = Socket.Outgoing;
  return Run;
}

// The unmasked payload and opcode byte of a client frame.
std::pair<int, std::string> DecodeClientFrame(const std::string& Frame) {
  TWebSocketMessage M;
  M.FData = Frame;
  if (!M.PayloadLength() || !M.Complete() || !(uint8_t(Frame[1]) & 0x80)) return {-1, {}};
  std::string Payload;
  bool Text = false;
  M.TakePayload(Payload, Text);
  return {uint8_t(Frame[0]), Payload};
}

TEST(WebSocketFrames, client_frame_sizes_follow_the_length_forms) {
  struct {
    size_t Payload, Frame;
  } Cases[] = {{0, 6}, {125, 131}, {126, 134}, {65535, 65543}, {65536, 65550}};
  for (const auto& Case : Cases) {
    std::string Data = TestSupport::RandomBytes(Case.Payload, Case.Payload);
    std::string Frame = EncodeClientFrame(0x82, Data);
    EXPECT_EQ(Frame.size(), Case.Frame);
    auto [Op, Payload] = DecodeClientFrame(Frame);
    EXPECT_EQ(Op, 0x82);
    EXPECT_EQ(Payload, Data);
  }
}

TEST(WebSocketFrames, masking_keys_are_random) {
  std::string A = EncodeClientFrame(0x81, "same text"), B = EncodeClientFrame(0x81, "same text");
  EXPECT_NE(A.substr(2, 4), B.substr(2, 4));
  TWebSocketMessage M;
  M.SetText("é");
  EXPECT_EQ(DecodeClientFrame(M.FData), (std::pair<int, std::string>{0x81, "é"}));
  M.SetData(std::string("\0\1", 2), false);
  EXPECT_EQ(DecodeClientFrame(M.FData), (std::pair<int, std::string>{0x82, std::string("\0\1", 2)}));
}

TEST(WebSocketFrames, helpers_refuse_an_incomplete_frame) {
  TWebSocketMessage M;
  M.FData = Bytes({0x81, 5, 'a'});
  EXPECT_TRUE(M.PayloadLength());
  EXPECT_FALSE(M.Complete());
  EXPECT_THROW(M.IsPing(), std::logic_error);
  EXPECT_THROW(M.DropFrame(), std::logic_error);
  M.FData = Bytes({0x81, 127, 0, 0});
  EXPECT_FALSE(M.PayloadLength());
  M.FData = Bytes({0x89, 1, 'p', 0x81, 0});
  ASSERT_TRUE(M.PayloadLength());
  EXPECT_TRUE(M.IsPing());
  EXPECT_EQ(DecodeClientFrame(M.MakePong()), (std::pair<int, std::string>{0x8A, "p"}));
  M.DropFrame();
  EXPECT_EQ(M.FData, Bytes({0x81, 0}));
}

TEST(WebSocketFrames, server_streams_give_messages) {
  std::string Long(200, 'L');
  struct {
    const char* Name;
    std::string Incoming;
    std::vector<TDelivered> Expected;
  } Cases[] = {
      {"text", ServerFrame(0x81, "abc"), {{"abc", true}}},
      {"binary", ServerFrame(0x82, std::string("\0\xff", 2)), {{std::string("\0\xff", 2), false}}},
      {"fragments", ServerFrame(0x01, "Hel") + ServerFrame(0x00, "l") + ServerFrame(0x80, "o"), {{"Hello", true}}},
      {"16-bit length", Bytes({0x81, 126, 0x00, 0xC8}) + Long, {{Long, true}}},
      {"server pong ignored", ServerFrame(0x01, "a") + ServerFrame(0x8A, "zz") + ServerFrame(0x80, "b"),
       {{"ab", true}}},
      {"close ends", ServerFrame(0x81, "1") + Bytes({0x88, 0}) + ServerFrame(0x81, "2"), {{"1", true}}},
      {"masked frame ends", Bytes({0x81, 0x81, 1, 2, 3, 4, 'x'}) + ServerFrame(0x81, "2"), {}},
      // Only the low 32 bits would read as 0 and go on with the payload as frames.
      {"64-bit length counts", Bytes({0x81, 127, 0, 0, 0, 1, 0, 0, 0, 0}) + ServerFrame(0x81, "x"), {}},
      {"over the cap", Bytes({0x81, 127, 0, 0, 0, 0, 1, 0, 0, 1}) + ServerFrame(0x81, "x"), {}},
      {"cut short", ServerFrame(0x81, "abc").substr(0, 4), {}},
  };
  for (const auto& Case : Cases) {
    TRun Run = Receive(Case.Incoming);
    EXPECT_EQ(Run.Messages, Case.Expected) << Case.Name;
    EXPECT_EQ(Run.Sent, "") << Case.Name;
  }
}

TEST(WebSocketFrames, ping_is_answered_with_masked_pong) {
  TRun Run = Receive(ServerFrame(0x89, "x") + ServerFrame(0x81, "after"), 1);
  EXPECT_EQ(Run.Messages, (std::vector<TDelivered>{{"after", true}}));
  ASSERT_EQ(Run.Sent.size(), 7u);
  EXPECT_EQ(DecodeClientFrame(Run.Sent), (std::pair<int, std::string>{0x8A, "x"}));
}

TEST(WebSocketFrames, message_above_sixteen_mebibytes_ends_the_session) {
  std::string Part(MaxWebSocketMessage - 10, 'p');
  TRun Within = Receive(ServerFrame(0x01, Part) + ServerFrame(0x80, std::string(10, 'q')), 65536);
  ASSERT_EQ(Within.Messages.size(), 1u);
  EXPECT_EQ(Within.Messages[0].Message.size(), MaxWebSocketMessage);
  TRun Over = Receive(ServerFrame(0x01, Part) + ServerFrame(0x80, std::string(11, 'q')), 65536);
  EXPECT_TRUE(Over.Messages.empty());
}

TEST(WebSocketHead, request_head_of_a_wss_url) {
  struct {
    std::string URL, Host;
    int Port;
    bool TLS;
    std::string Line, HostLine;
  } Cases[] = {
      {"wss://relay.example.fr/hello?id=1", "relay.example.fr", 443, true, "GET /hello?id=1 HTTP/1.1\r\n",
       "relay.example.fr"},
      {"ws://127.0.0.1:8080", "127.0.0.1", 8080, false, "GET / HTTP/1.1\r\n", "127.0.0.1:8080"},
      {"https://relay.example.fr:9443/a", "relay.example.fr", 9443, true, "GET /a HTTP/1.1\r\n",
       "relay.example.fr:9443"},
      {"ws://relay.example.fr:80/", "relay.example.fr", 80, false, "GET / HTTP/1.1\r\n", "relay.example.fr"},
  };
  for (const auto& Case : Cases) {
    TWebSocket WS;
    WS.SetUserAgent("Agent/1");
    WS.CustomHeaders().push_back("X-Relay: 1");
    WS.SetAuthorization("Bearer t");
    std::string Head = WS.BuildHead(Case.URL, "AAECAwQFBgcICQoLDA0ODw==");
    EXPECT_EQ(Head, Case.Line + "Connection: Keep-Alive\r\nHost: " + Case.HostLine +
                        "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nContent-Type: application/json\r\n"
                        "Accept: */*\r\nAccept-Encoding: gzip\r\nUser-Agent: Agent/1\r\n"
                        "Sec-WebSocket-Key: AAECAwQFBgcICQoLDA0ODw==\r\nSec-WebSocket-Version: 13\r\n"
                        "X-Relay: 1\r\nAuthorization: Bearer t\r\n\r\n");
    EXPECT_EQ(WS.Host(), Case.Host);
    EXPECT_EQ(WS.Port(), Case.Port);
    EXPECT_EQ(WS.UseTLS(), Case.TLS);
  }
  TWebSocket Bad;
  EXPECT_THROW(Bad.BuildHead("ws://host/a\r\nX: y", "k"), std::invalid_argument);
  EXPECT_THROW(Bad.BuildHead("ws://host:99999/", "k"), std::invalid_argument);
}

}  // namespace
