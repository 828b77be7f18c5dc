#include "Vantrel.HTTPClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <functional>
#include <new>

#include <gtest/gtest.h>

using namespace Vantrel;

// Bytes held through operator new, and the most held since PeakBytes was
// last set: what a call needs shows as the peak over what was held before.
std::atomic<size_t> HeldBytes{0}, PeakBytes{0};

void* operator new(std::size_t Size) {
  void* P = std::malloc(Size ? Size : 1);
  if (!P) throw std::bad_alloc();
  size_t Now = HeldBytes += malloc_usable_size(P);
  for (size_t Peak = PeakBytes; Now > Peak && !PeakBytes.compare_exchange_weak(Peak, Now);) {
  }
  return P;
}

void operator delete(void* P) noexcept {
  if (!P) return;
  HeldBytes -= malloc_usable_size(P);
  std::free(P);
}

void operator delete(void* P, std::size_t) noexcept { operator delete(P); }

namespace {

// Records what the client writes on each connection; once its bytes are
// served, reads raise what Fail raises (by default the server's close).
class TRecordingSocket : public TMemorySocket {
 public:
  TRecordingSocket(std::string In, size_t Piece, std::string& Out, std::function<void()> Fail)
      : TMemorySocket(std::move(In), Piece), FOut(Out), FFail(std::move(Fail)) {}
  int Write(const void* Data, size_t Size) override {
    FOut.append(static_cast<const char*>(Data), Size);
    return int(Size);
  }
  int Read(void* Data, size_t Size) override {
    if (FServed >= Incoming.size() && FFail) FFail();
    int Got = TMemorySocket::Read(Data, Size);
    FServed += size_t(Got);
    return Got;
  }

 private:
  std::string& FOut;
  std::function<void()> FFail;
  size_t FServed = 0;
};

// A client whose connections replay one canned server answer each.
class TReplayClient : public THTTPClient {
 public:
  explicit TReplayClient(std::vector<std::string> Answers, size_t Piece = 2048)
      : FAnswers(std::move(Answers)), FPiece(Piece) {}
  TReplayClient(std::vector<std::string> Answers, std::function<void()> Fail)
      : FAnswers(std::move(Answers)), FPiece(2048), FFail(std::move(Fail)) {}
  std::deque<std::string> Wire;  // bytes sent, one entry per connection
  bool Connected() const { return FSocket != nullptr; }
  unsigned Allowance() const { return FKeepAliveAllowance; }

 protected:
  std::unique_ptr<TTCPSocket> OpenSocket() override {
    if (Wire.size() >= FAnswers.size()) throw EClosedSocketError("connect", 10061);
    Wire.emplace_back();
    return std::make_unique<TRecordingSocket>(FAnswers[Wire.size() - 1], FPiece, Wire.back(), FFail);
  }

 private:
  std::vector<std::string> FAnswers;
  size_t FPiece;
  std::function<void()> FFail;
};

std::string Ok(std::string_view Body, std::string_view Extra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Body.size()) + "\r\n" +
         std::string(Extra) + "\r\n" + std::string(Body);
}

std::string GzipOf(std::string_view Data) {
  z_stream Z{};
  deflateInit2(&Z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string Out(deflateBound(&Z, uLong(Data.size())) + 32, '\0');
  Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
  Z.avail_in = uInt(Data.size());
  Z.next_out = reinterpret_cast<Bytef*>(Out.data());
  Z.avail_out = uInt(Out.size());
  deflate(&Z, Z_FINISH);
  Out.resize(Z.total_out);
  deflateEnd(&Z);
  return Out;
}

std::string ErrorOf(TReplayClient& C, std::string_view URL = "http://h/") {
  try {
    std::string Body;
    C.Get(URL, Body);
  } catch (const std::exception& E) {
    return E.what();
  }
  return "no error";
}

}  // namespace

TEST(HTTPClient, url_splits_into_scheme_host_port_uri_and_target) {
  struct Case { const char* URL; bool TLS; const char *Protocol, *Host, *Port, *URI, *Target; } Cases[] = {
      {"https://h/path#frag", false, "https", "h", "443", "/path", "#frag"},
      {"h:8080", false, "http", "h", "8080", "/", ""},
      {"h", true, "https", "h", "443", "/", ""},
      {"HTTP://Example.fr/a?b=c", false, "http", "Example.fr", "80", "/a?b=c", ""},
      {"ftp://h:21", false, "ftp", "h", "21", "/", ""},
      {"http://h:x/", false, "http", "h", "x", "/", ""},
  };
  for (const auto& C : Cases) {
    TURL U;
    U.Decode(C.URL, C.TLS);
    EXPECT_EQ(U.Protocol, C.Protocol) << C.URL;
    EXPECT_EQ(U.HostName, C.Host) << C.URL;
    EXPECT_EQ(U.Port, C.Port) << C.URL;
    EXPECT_EQ(U.URI, C.URI) << C.URL;
    EXPECT_EQ(U.Target, C.Target) << C.URL;
  }
}

TEST(HTTPClient, form_encoding_keeps_unreserved_bytes_only) {
  EXPECT_EQ(TURL::Encode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(TURL::Encode("a b&c=d/é"), "a+b%26c%3Dd%2F%C3%A9");
  EXPECT_EQ(TURL::Encode(std::string("\0\xFF", 2)), "%00%FF");
}

TEST(HTTPClient, header_names_are_normalised_by_letter_runs) {
  for (auto [In, Out] : {std::pair{"content-length", "Content-Length"},
                         {"Sec-WebSocket-Accept", "Sec-Websocket-Accept"},
                         {"WWW-Authenticate", "Www-Authenticate"}, {"x-1abc_DEF", "X-1Abc_Def"},
                         {"", ""}})
    EXPECT_EQ(NormalizeHeaderName(In), Out);
}

TEST(HTTPClient, request_head_is_written_in_order) {
  const std::string UA = "User-Agent: " + TCustomHTTPClient::DefaultUserAgent() + "\r\n";
  {
    TReplayClient C({Ok("")});
    C.Get("http://h/x");
    EXPECT_EQ(C.Wire[0], "GET /x HTTP/1.1\r\nConnection: keep-alive\r\nHost: h\r\n"
                         "Content-Type: text/html; charset=UTF-8\r\nAccept: */*\r\n" + UA + "\r\n");
  }
  {
    TReplayClient C({Ok("")});
    C.SetKeepAlive(false);
    C.SetAcceptGZIP(true);
    C.SetAccept("text/xml");
    C.SetContentType("application/soap+xml");
    C.CustomHeaders() = {"SOAPAction: a", "", "X-B: b"};
    C.SetAuthorization(BasicAuthorization("user", "pa:ss"));
    C.SetCookie("sid", "42", "http://h/p");
    std::string Body;
    C.Post("http://h/p", "", Body);
    EXPECT_EQ(C.Wire[0], "POST /p HTTP/1.1\r\nConnection: close\r\nHost: h\r\n"
                         "Content-Type: application/soap+xml\r\nContent-Length: 0\r\n"
                         "Accept: text/xml\r\nAccept-Encoding: gzip\r\n" + UA +
                         "SOAPAction: a\r\nX-B: b\r\nCookie: sid=42\r\n"
                         "Authorization: Basic dXNlcjpwYTpzcw==\r\n\r\n");
  }
  {
    TReplayClient C({Ok("")});
    C.Post("http://h/f", TFormFields{{"a", "1 2"}, {"b", "é&"}});
    EXPECT_TRUE(C.Wire[0].ends_with("\r\n\r\na=1+2&b=%C3%A9%26"));
    EXPECT_EQ(C.ContentType(), "application/x-www-form-urlencoded");
  }
  // RFC 9110 §7.2: the port goes along unless it is the scheme's default.
  for (auto [URL, Host] : {std::pair{"http://h:80/", "h"}, {"http://h:8080/", "h:8080"}, {"https://h/", "h"},
                           {"https://h:443/", "h"}, {"https://h:80/", "h:80"}, {"http://h:443/", "h:443"}}) {
    TURL U;
    U.Decode(URL, false);
    EXPECT_NE(THTTPClient().BuildHead("GET", U, std::nullopt).find("\r\nHost: " + std::string(Host) + "\r\n"),
              std::string::npos) << URL;
  }
  EXPECT_TRUE(TCustomHTTPClient::DefaultUserAgent().starts_with("Mozilla/5.0 ("));
  EXPECT_TRUE(TCustomHTTPClient::DefaultUserAgent().ends_with(") Vantrel.HTTPClient/1.0"));
}

TEST(HTTPClient, head_refuses_line_breaks_from_callers) {
  auto Refused = [](auto Setup, std::string_view URL = "http://h/") {
    TReplayClient C({Ok("")});
    Setup(C);
    try {
      C.Get(URL);
    } catch (const std::invalid_argument&) {
      return C.Wire.empty();
    }
    return false;
  };
  EXPECT_TRUE(Refused([](TReplayClient&) {}, "http://h/a\r\nX: y"));
  EXPECT_TRUE(Refused([](TReplayClient& C) { C.SetUserAgent("a\nb"); }));
  EXPECT_TRUE(Refused([](TReplayClient& C) { C.CustomHeaders() = {"X: a\r\n\r\nGET / HTTP/1.1"}; }));
  EXPECT_TRUE(Refused([](TReplayClient& C) { C.SetAuthorization("Basic x\r\n"); }));
  TReplayClient C({Ok("")});
  EXPECT_THROW(C.Get("http://h:99999/"), std::invalid_argument);
  EXPECT_THROW(C.Get("http://h:abc/"), std::invalid_argument);
}

TEST(HTTPClient, bodies_are_framed_by_length_chunks_or_close) {
  struct Case { std::string Answer, Body; } Cases[] = {
      {Ok("hello"), "hello"},
      {Ok(""), ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n",
       "abc0123456789"},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", "until the end"},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc", "abc"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Encoding: gzip\r\n\r\n" , ""},
  };
  Cases[6].Answer = Ok(GzipOf("inflated body"), "Content-Encoding: gzip\r\n");
  Cases[6].Body = "inflated body";
  for (size_t Piece : {1, 7, 2048}) {
    for (const auto& K : Cases) {
      TReplayClient C({K.Answer}, Piece);
      std::string Body = "kept:";
      C.Get("http://h/", Body);
      EXPECT_EQ(Body, "kept:" + K.Body) << K.Answer << " piece " << Piece;
    }
  }
}

// RFC 9112 §6: what ends a body, and whether the connection carries the
// next answer (each answer is followed by Ok("next") on the same connection).
TEST(HTTPClient, framing_follows_the_status_the_verb_and_both_length_headers) {
  const std::string Chunked = "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
  struct Case { const char* Name; std::string Answer; const char* Verb; std::string Result; int Code; bool Reused; } Cases[] = {
      {"chunked wins over Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n" + Chunked, "GET", "hello", 200, false},
      {"100 Continue skipped", "HTTP/1.1 100 Continue\r\n\r\n" + Ok("body"), "GET", "body", 200, true},
      {"103 hints skipped", "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 100 x\r\n\r\n" + Ok("b"),
       "GET", "b", 200, true},
      {"204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "GET", "", 204, true},
      {"304 has no body", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", "", 304, true},
      {"HEAD answer has no body", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", "HEAD", "", 200, true},
      {"four-digit status", "HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n", "GET",
       "Invalid status line: HTTP/1.1 2000 OK", 0, false},
      {"two-digit status", "HTTP/1.1 20 OK\r\nContent-Length: 0\r\n\r\n", "GET",
       "Invalid status line: HTTP/1.1 20 OK", 0, false},
      {"no status", "HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "GET", "Invalid status line: HTTP/1.1", 0, false},
      {"status without reason", "HTTP/1.1 201\r\nContent-Length: 1\r\n\r\nx", "GET", "x", 201, true},
      {"endless hints", [] {
         std::string Many;
         for (int I = 0; I < 20; ++I) Many += "HTTP/1.1 103 Early Hints\r\n\r\n";
         return Many + Ok("late");
       }(), "GET", "Too many interim responses", 0, false},
  };
  for (const auto& K : Cases) {
    SCOPED_TRACE(K.Name);
    TReplayClient C({K.Answer + Ok("next")}, 7);
    std::string Result;
    try {
      C.Request(K.Verb, "http://h/", std::nullopt, Result);
    } catch (const std::exception& E) {
      Result = E.what();
    }
    EXPECT_EQ(Result, K.Result);
    EXPECT_EQ(C.ResponseCode(), K.Code);
    EXPECT_EQ(C.Connected(), K.Reused);
    if (K.Reused) {
      EXPECT_EQ(C.Get("http://h/"), "next");
      EXPECT_EQ(C.Wire.size(), 1u);
    }
  }
}

TEST(HTTPClient, head_longer_than_the_buffer_is_read_whole) {
  std::string Big(3000, 'v');
  TReplayClient C({Ok("x", "X-Big: " + Big + "\r\n")}, 700);
  EXPECT_EQ(C.Get("http://h/"), "x");
  EXPECT_EQ(C.GetHeader("x-big"), Big);
  EXPECT_EQ(C.Response(), "HTTP/1.1 200 OK");
  EXPECT_EQ(C.ResponseCode(), 200);
}

TEST(HTTPClient, bad_framing_gives_clear_errors) {
  std::string Many;
  for (int I = 0; I < 300; ++I) Many += "X-" + std::to_string(I) + ": v\r\n";
  struct Case { std::string Answer, Error; } Cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", "No content-length"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n0\r\n\r\n", "No content-length"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", "Invalid Content-Length: -5"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", "Response body too large"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloX\r\n0\r\n\r\n",
       "chunk CR/LF not found"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX-Trailer: 1\r\n\r\n",
       "Last chunk CR/LF not found"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\n\r\n",
       "'5;ext=1' is not a valid chunk size"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n",
       "'fffffffffffffffff' is not a valid chunk size"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(1025, '0') + "\r\n",
       "Line too long"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", "WINSOCK Error #00000000 on function recv"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", "WINSOCK Error #00000000 on function recv"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a') + "\r\n\r\n", "Response header too large"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "Response header line too long"},
      {"HTTP/1.1 200 OK\r\n" + Many + "\r\n", "Too many response header fields"},
      {Ok("not gzip", "Content-Encoding: gzip\r\n"), "gzip: invalid content"},
      {Ok(GzipOf("abcdef").substr(0, 12), "Content-Encoding: gzip\r\n"), "gzip: truncated content"},
  };
  for (const auto& K : Cases) {
    TReplayClient C({K.Answer});
    EXPECT_EQ(ErrorOf(C), K.Error) << K.Answer.substr(0, 80);
    EXPECT_FALSE(C.Connected()) << "an error leaves the connection closed";
  }
}

TEST(HTTPClient, bodies_held_in_memory_are_capped) {
  std::string Chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "8\r\n12345678\r\n9\r\n123456789\r\n0\r\n\r\n";
  std::string Closed = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(17, 'c');
  std::string Bomb = Ok(GzipOf(std::string(100000, 'z')), "Content-Encoding: gzip\r\n");
  for (const auto& Answer : {Ok(std::string(17, 'x')), Chunked, Closed, Bomb}) {
    TReplayClient C({Answer});
    C.SetMaxBodySize(16);
    EXPECT_EQ(ErrorOf(C), "Response body too large") << Answer.substr(0, 60);
  }
  TReplayClient Exact({Closed});
  Exact.SetMaxBodySize(17);
  EXPECT_EQ(Exact.Get("http://h/"), std::string(17, 'c'));
}

// A gzip body is inflated straight into memory of its final size: a bomb
// costs nothing beyond its compressed bytes, a body that fits is not copied
// on the way.
TEST(HTTPClient, gzip_bodies_need_no_more_memory_than_their_inflated_size) {
  constexpr size_t Cap = size_t(4) << 20, Margin = 256 << 10;
  for (size_t Plain : {size_t(16) << 20, size_t(3) << 20}) {
    SCOPED_TRACE(Plain);
    TReplayClient C({Ok(GzipOf(std::string(Plain, 'z')), "Content-Encoding: gzip\r\n")});
    C.SetMaxBodySize(Cap);
    size_t Before = HeldBytes;
    PeakBytes = Before;
    std::string Error = ErrorOf(C);
    size_t Peak = PeakBytes - Before;
    EXPECT_EQ(Error, Plain > Cap ? "Response body too large" : "no error");
    EXPECT_LE(Peak, std::min(Plain, Cap) + Margin);
  }
}

TEST(HTTPClient, keep_alive_allowance_follows_the_server) {
  struct Case { const char* Extra; unsigned Seconds; } Cases[] = {
      {"", 60},
      {"Keep-Alive: timeout=5, max=100\r\n", 5},
      {"Keep-Alive: max=100, timeout = 7\r\n", 7},
      {"Keep-Alive: timeout=abc\r\n", 5},
      {"Keep-Alive: , timeout=3\r\n", 60},
      {"Keep-Alive: timeout=-4\r\n", 5},
  };
  for (const auto& K : Cases) {
    TReplayClient C({Ok("x", K.Extra)});
    C.Get("http://h/");
    EXPECT_TRUE(C.Connected());
    EXPECT_EQ(C.Allowance(), K.Seconds) << K.Extra;
  }
  TReplayClient Close({Ok("x", "Connection: keep-alive;close\r\n")});
  Close.Get("http://h/");
  EXPECT_FALSE(Close.Connected());
  TReplayClient Capital({Ok("x", "Connection: Close\r\n")});
  Capital.Get("http://h/");
  EXPECT_TRUE(Capital.Connected());
}

TEST(HTTPClient, connection_is_reused_and_changed_with_the_host) {
  TReplayClient C({Ok("a") + Ok("b"), Ok("c")});
  EXPECT_EQ(C.Get("http://h/1"), "a");
  EXPECT_EQ(C.Get("http://h/2"), "b");
  EXPECT_EQ(C.Wire.size(), 1u);
  EXPECT_EQ(C.Get("http://other/3"), "c");
  EXPECT_EQ(C.Wire.size(), 2u);
}

TEST(HTTPClient, request_is_resent_once_only_before_any_answer_byte) {
  const std::string Req2 = "GET /2 HTTP/1.1\r\n";
  {  // the kept connection was dropped: the second request goes out again on a new one
    TReplayClient C({Ok("first"), Ok("second")});
    C.Get("http://h/1");
    EXPECT_EQ(C.Get("http://h/2"), "second");
    ASSERT_EQ(C.Wire.size(), 2u);
    EXPECT_NE(C.Wire[0].find(Req2), std::string::npos);
    EXPECT_TRUE(C.Wire[1].starts_with(Req2));
  }
  {  // part of the answer came: never sent again
    TReplayClient C({Ok("first") + "HTTP/1.1 2", Ok("second")});
    C.Get("http://h/1");
    EXPECT_EQ(ErrorOf(C, "http://h/2"), "WINSOCK Error #00000000 on function recv");
    EXPECT_EQ(C.Wire.size(), 1u);
  }
  {  // the resend fails too: its error comes out, nothing more is tried
    TReplayClient C({"", ""});
    EXPECT_EQ(ErrorOf(C), "WINSOCK Error #00000000 on function recv");
    EXPECT_EQ(C.Wire.size(), 2u);
  }
}

TEST(HTTPClient, tls_session_end_and_resets_follow_the_retry_rules) {
  auto Expired = [] { throw ESSLError(SEC_I_CONTEXT_EXPIRED, "session expired"); };
  auto Refused = [] { throw ESSLError(int32_t(0x80090308), "token refused"); };
  auto Reset = [] { throw EClosedSocketError("recv", 10054); };
  {  // the TLS session ended before the answer: sent again on a new connection
    TReplayClient C({"", Ok("again")}, Refused);
    EXPECT_EQ(C.Get("http://h/"), "again");
    EXPECT_EQ(C.Wire.size(), 2u);
  }
  {  // each further failure is retried only as far as the rules go, then surfaces
    TReplayClient C({"", "", "", "", ""}, Expired);
    EXPECT_EQ(ErrorOf(C), "session expired");
    EXPECT_EQ(C.Wire.size(), 4u);  // head read once more, whole exchange once more
  }
  {  // after a byte of the answer nothing is sent again
    TReplayClient C({"HTTP/1.1 200 OK\r\n", Ok("no")}, Expired);
    EXPECT_EQ(ErrorOf(C), "session expired");
    EXPECT_EQ(C.Wire.size(), 1u);
  }
  {  // a reset is no end of a close-delimited body
    TReplayClient C({"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\npartial"}, Reset);
    EXPECT_EQ(ErrorOf(C), "WINSOCK Error #00002746 on function recv");
  }
}

TEST(HTTPClient, repeated_headers_join_with_semicolons) {
  TReplayClient C({Ok("", "Via: a\r\nvia: b\r\nX-Long: one\r\n two \r\nNoColonLine\r\n")});
  C.Get("http://h/");
  EXPECT_EQ(C.GetHeader("VIA"), "a;b");
  EXPECT_TRUE(C.HasHeader("via", "a"));
  EXPECT_TRUE(C.HasHeader("via", "b"));
  EXPECT_FALSE(C.HasHeader("via", "A"));
  EXPECT_EQ(C.GetHeader("x-long"), "one;two");
  EXPECT_EQ(C.GetHeader("absent"), "");
  EXPECT_TRUE(C.Headers().starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(C.Headers().ends_with("\r\n\r\n"));
}

TEST(HTTPClient, cookies_follow_hosts_and_domains) {
  auto SetCookies = [](std::string_view Lines) { return Ok("", Lines); };
  TReplayClient C({
      SetCookies("Set-Cookie: a=1\r\nSet-Cookie: a=2; Path=/p; HttpOnly\r\n"
                 "Set-Cookie: d=dom; Domain=.Example.fr\r\nSet-Cookie: bad; x=1\r\n"
                 "Set-Cookie: far=1; Domain=other.fr\r\nSet-Cookie: tld=1; Domain=fr\r\n"),
      SetCookies("Set-Cookie: d=own\r\n") + Ok(""),
      Ok(""), Ok(""),
  });
  C.Get("http://www.example.fr/");
  EXPECT_EQ(C.GetCookie("a"), "2");
  EXPECT_EQ(C.CookiesToString(), "a@www.example.fr=2; Path=/p; Domain=\r"
                                 "d@www.example.fr=dom; Path=; Domain=example.fr\r");
  C.Get("http://api.EXAMPLE.fr/");  // the domain cookie goes along; its own d takes the place
  EXPECT_NE(C.Wire[1].find("\r\nCookie: d=dom\r\n"), std::string::npos);
  C.Get("http://api.EXAMPLE.fr/");
  EXPECT_NE(C.Wire[1].find("\r\nCookie: d=own\r\n"), std::string::npos);
  C.Get("http://ample.fr/");  // no label boundary
  EXPECT_EQ(C.Wire[2].find("Cookie:"), std::string::npos);
  C.Get("http://www.example.fr/");
  EXPECT_NE(C.Wire[3].find("\r\nCookie: a=2; d=dom\r\n"), std::string::npos);

  std::vector<TCookie> Mine{{"www.example.fr", "a", "old", "", ""}, {"x", "y", "z", "", ""}};
  C.GetCookies(Mine);
  ASSERT_EQ(Mine.size(), 4u);
  EXPECT_EQ(Mine[0].Value, "2");
  EXPECT_EQ(Mine[0].Path, "/p");
}

TEST(HTTPClient, cookie_values_cannot_break_the_request_head) {
  TReplayClient C({Ok("", "Set-Cookie: a=1\nX-Evil: 1\r\n"), Ok("")});
  C.Get("http://h/");
  EXPECT_EQ(C.Cookies().size(), 0u);
  EXPECT_THROW(C.SetCookie("n", "v\r\nX: 1", "http://h/"), std::invalid_argument);
}

TEST(HTTPClient, text_results_follow_the_byte_order_mark) {
  struct Case { std::string Body, UTF8, Text; } Cases[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\x83\xC2\xA9"},
      {"\xEF\xBB\xBF" "caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
      {std::string("\xFF\xFE" "c\0\xE9\0", 6), "c\xC3\xA9", "c\xC3\xA9"},
      {std::string("\xFE\xFF\0c\x20\xAC", 6), "c\xE2\x82\xAC", "c\xE2\x82\xAC"},
      {"\x80", "\x80", "\xE2\x82\xAC"},
  };
  for (const auto& K : Cases) {
    TReplayClient C({Ok(K.Body), Ok(K.Body)});
    EXPECT_EQ(C.RequestUTF8("GET", "http://h/", std::nullopt), K.UTF8);
    EXPECT_EQ(C.RequestText("GET", "http://h/", std::nullopt), K.Text);
  }
}

TEST(Sockets, line_reads_stop_at_their_limit) {
  std::string Line1024(1024, 'a'), Line1025(1025, 'b');
  for (size_t Piece : {1, 1023, 1024, 1025, 2048}) {
    TMemorySocket S(Line1024 + "\r\n" + Line1025 + "\r\n", Piece);
    EXPECT_EQ(S.ReadLn(1024), Line1024) << Piece;
    try {
      S.ReadLn(1024);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& E) {
      EXPECT_STREQ(E.what(), "Line too long");
    }
  }
  TMemorySocket Short("abc", 2);
  EXPECT_EQ(Short.ReadLen(2), "ab");
  EXPECT_THROW(Short.ReadLen(2), EClosedSocketError);
}

TEST(Sockets, errors_carry_winsock_numbers) {
  struct Case { int Errno; uint32_t WSA; } Cases[] = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054}, {ETIMEDOUT, 10060}, {EHOSTUNREACH, 10065},
      {ENETUNREACH, 10051},  {EPIPE, 10054},      {ECONNABORTED, 10053}, {EADDRINUSE, 10048},
      {EAGAIN, 10035},       {ENOTCONN, 10057},
  };
  for (auto K : Cases) EXPECT_EQ(WSAErrorFromErrno(K.Errno), K.WSA) << K.Errno;
  EXPECT_STREQ(EClosedSocketError("connect", 10061).what(), "WINSOCK Error #0000274D on function connect");
  EXPECT_STREQ(ESocketError("getaddrinfo on host x", 11001).what(),
               "WINSOCK Error #00002AF9 on function getaddrinfo on host x");
}

TEST(Sockets, refused_connection_is_a_closed_socket_error) {
  // A port that was just free: bind, read it back, close.
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  socklen_t Len = sizeof A;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
  close(Fd);
  TTCPSocket S;
  try {
    S.DoConnect("127.0.0.1", ntohs(A.sin_port), 2000);
    ADD_FAILURE() << "connected";
  } catch (const EClosedSocketError& E) {
    EXPECT_EQ(E.Code(), 10061u);
    EXPECT_EQ(E.Func(), "connect");
  }
  EXPECT_TRUE(S.Closed());
}

TEST(HTTPClient, https_without_a_tls_engine_is_a_clear_error) {
  RegisterTLSSocketMaker(TTLSEngine::TinyTLS, {});
  THTTPClient C;
  try {
    C.Get("https://127.0.0.1:1/");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "No TLS engine available for https");
  }
}
