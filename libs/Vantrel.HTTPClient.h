// The program's HTTP/1.1 client (RFC 9112) and the socket layer under it.
//
// Sockets: TTCPSocket is a blocking IPv4 TCP connection with a fixed
// 2048-byte receive buffer and the reads HTTP needs (line, head, fixed
// length, chunked body, until closed). TLS engines plug in by deriving from
// TCustomTLSSocket and registering a maker for their TTLSEngine with
// RegisterTLSSocketMaker; TMemorySocket replays recorded server bytes for
// tests and fuzzing. Error texts keep the Winsock numbers ("WINSOCK Error
// #0000274D on function connect" for a refused connection).
//
// THTTPClient: synchronous; one object holds at most one connection to one
// host and port and keeps it alive between requests (60 s, or the server's
// Keep-Alive timeout); keeps a cookie jar; reads Content-Length, chunked and
// close-delimited bodies (RFC 9112 §6.3: interim 1xx answers are skipped;
// 204, 304 and answers to HEAD have no body; chunked wins over
// Content-Length, and such a connection is not reused) and inflates gzip
// ones. It follows no redirects. Without a proxy set it connects to the
// URL's host; with one, https goes through a CONNECT tunnel (RFC 9110
// §9.3.6) and plain http is sent to the proxy in absolute form (RFC 9112
// §3.2.2). A request is sent once more on a new connection when the
// connection turns out closed before any byte of the answer arrived. Every
// request has a time-out (60 s unless set) for each receive and for the
// whole response head.
//
// Everything read from the peer is bounded: the response head (MaxHeadSize,
// each line MaxHeaderLine, MaxHeaderCount fields), chunk-size lines and
// every body held in memory (MaxBodySize, also after inflating). Bodies are
// appended to the caller's string; nothing before its end is touched.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Vantrel.WinSSPI.h"

namespace Vantrel {

// ---- Errors ----

// "WINSOCK Error #" + the Winsock error number as 8 upper-case hexadecimal
// digits + " on function " + Func.
class ESocketError : public std::runtime_error {
 public:
  ESocketError(std::string_view Func, uint32_t Code);
  uint32_t Code() const { return FCode; }
  const std::string& Func() const { return FFunc; }

 private:
  uint32_t FCode;
  std::string FFunc;
};

// The connection is closed or could not be opened. Code 0 is the peer's
// orderly close.
class EClosedSocketError : public ESocketError {
 public:
  using ESocketError::ESocketError;
};

// The proxy refused to open a tunnel: Code is its status (407: it wants
// credentials), the message its status line.
class EProxyError : public std::runtime_error {
 public:
  EProxyError(int Code, const std::string& StatusLine) : std::runtime_error(StatusLine), FCode(Code) {}
  int Code() const { return FCode; }

 private:
  int FCode;
};

// A failure of the system TLS client; Code is the SSPI-style status.
class ESSLError : public std::runtime_error {
 public:
  ESSLError(int32_t Code, const std::string& Message) : std::runtime_error(Message), FCode(Code) {}
  int32_t Code() const { return FCode; }

 private:
  int32_t FCode;
};

// The Winsock number of an errno value (ECONNREFUSED gives 10061,
// ECONNRESET 10054, ...); one without a Winsock counterpart is kept as it is.
uint32_t WSAErrorFromErrno(int Errno);
// The Winsock number of a getaddrinfo result (EAI_NONAME gives 11001, ...).
uint32_t WSAErrorFromGai(int GaiError, int Errno);

// ---- Sockets ----

// The receive buffer: Count bytes held from index Start of Data; it never grows.
struct TByteBuffer {
  static constexpr size_t Capacity = 2048;
  std::array<char, Capacity> Data{};
  size_t Count = 0;
  size_t Start = 0;

  void Clear() { Count = Start = 0; }
  void Consume(size_t Quantity);
  // Offset from Start of the first Str at or after StartPos; -1 when none.
  ptrdiff_t IndexOf(std::string_view Str, size_t StartPos = 0) const;
  // Free bytes after the held ones; moves the held bytes to the front first
  // when there are none.
  size_t Left();
  size_t Trim();  // held bytes to the front; returns Count
  std::string_view Held() const { return {Data.data() + Start, Count}; }
};

// Lets another thread end the exchanges of the sockets that share it: while
// a socket holds a handle it is listed here, and Abort shuts every listed
// handle down, which wakes a blocked connect, send or receive at once. Once
// aborted, for good, no socket sharing it connects again: it raises
// ESocketError("connect", 10053) instead.
class TAbortSignal {
 public:
  void Abort();
  bool Aborted() const { return FAborted; }
  // Lists Fd, or raises the abort error when already aborted.
  void Enter(int Fd);
  // Unlists Fd; called before the handle is closed, so that Abort never
  // reaches a handle number that was reused.
  void Leave(int Fd);

 private:
  std::mutex FLock;
  std::vector<int> FHandles;
  std::atomic<bool> FAborted = false;
};

// A blocking IPv4 TCP connection. Reads are served from the receive buffer
// first, then from the virtual Read. Used by one thread at a time;
// Disconnect may be called from another to wake a blocked read.
// Derived classes that override OnDisconnect call Close in their destructor.
class TTCPSocket {
 public:
  TTCPSocket() = default;
  virtual ~TTCPSocket();
  TTCPSocket(const TTCPSocket&) = delete;
  TTCPSocket& operator=(const TTCPSocket&) = delete;

  // Resolves Host (IPv4) and connects to the first address that answers,
  // each address on a fresh socket; Timeout in milliseconds, 0 for none.
  // Then OnConnect (a TLS socket's handshake). Returns 0.
  int DoConnect(const std::string& Host, uint16_t Port, int Timeout);
  void Close();
  void Disconnect();  // shuts both directions down; the handle stays
  // The signal that may end this socket's exchanges; set before DoConnect.
  void SetAbortSignal(std::shared_ptr<TAbortSignal> Signal) { FAbort = std::move(Signal); }

  // True when the connection cannot serve a new request: no handle, an
  // error or hang-up, or bytes (or the peer's close) waiting unasked.
  virtual bool Closed();

  // One receive of at most Size bytes; the peer's close raises
  // EClosedSocketError("recv", 0). A time-out raises ESocketError (10060).
  virtual int Read(void* Data, size_t Size);
  // One send; returns the count sent.
  virtual int Write(const void* Data, size_t Size);
  // Write until all is sent; false when a write sends nothing.
  bool WriteAll(const void* Data, size_t Size);

  // Receive and send time-out of each later operation, milliseconds (0: none).
  void SetTimeout(int Milliseconds);
  // Receives after Deadline raise the time-out error whatever the time-out;
  // time_point::max() (the default) for none.
  void SetDeadline(std::chrono::steady_clock::time_point Deadline) { FDeadline = Deadline; }

  void ReadBytes(std::string& Bytes, size_t ACount);  // appends ACount bytes
  std::string ReadLn(size_t Max);                     // the line before CRLF, "Line too long" past Max
  std::string ReadLen(size_t Len);
  // Appends everything up to and including the first CRLF CRLF to Header;
  // "Response header too large" when that would pass MaxSize bytes.
  void ReadHeader(std::string& Header, size_t MaxSize);
  void ReadStream(std::string& Stream, size_t Size);  // appends exactly Size bytes
  // A chunked body (RFC 9112 §7.1) appended to Stream, at most MaxSize bytes.
  void ReadChunks(std::string& Stream, size_t MaxSize);
  // Everything until the peer's orderly close, at most MaxSize bytes.
  void ReadUntilClosed(std::string& Stream, size_t MaxSize);
  void SendStream(std::string_view Stream);

  // Bytes that reached the receive side since the last ResetReceived.
  uint64_t Received() const { return FReceived; }
  void ResetReceived() { FReceived = 0; }
  size_t Buffered() const { return FRecv.Count; }
  const std::string& Host() const { return FHost; }
  int Handle() const { return FHandle; }

 protected:
  virtual void OnConnect() { FRecv.Clear(); }
  virtual void OnDisconnect();
  // One Read into the free space of the buffer; 0 when there is none or the
  // read brought nothing.
  size_t FillBuffer();
  // Like FillBuffer, but a read that brings nothing is the peer's close.
  void FillOrFail();

  int FHandle = -1;
  std::shared_ptr<TAbortSignal> FAbort;
  std::string FHost;
  TByteBuffer FRecv;
  int FTimeout = 0;
  std::chrono::steady_clock::time_point FDeadline = std::chrono::steady_clock::time_point::max();
  uint64_t FReceived = 0;
};

// Waits until Fd has bytes to read or Deadline passes (false then). A
// deadline of time_point::max() does not wait.
bool WaitReadable(int Fd, std::chrono::steady_clock::time_point Deadline);

// What TLS sockets share: the TLS layer starts as soon as the TCP connection
// stands (unless FExplicit), and decrypted application data waits in FData
// until the reads take it.
class TCustomTLSSocket : public TTCPSocket {
 public:
  static constexpr size_t PlaintextCapacity = 32768;

  // Connects to a proxy at ProxyHost:ProxyPort, lets Tunnel open the way
  // to the server over the plain connection, then runs the handshake with
  // Host as the server's name (SNI and the certificate's name check).
  void ConnectThrough(const std::string& ProxyHost, uint16_t ProxyPort, const std::string& Host, int Timeout,
                      const std::function<void(TTCPSocket&)>& Tunnel);

  // True when E, raised by this socket's handshake, means that the server
  // refused this engine so that another engine may be tried.
  virtual bool PeerRefusedHandshake(const std::exception& E) const {
    (void)E;
    return false;
  }

 protected:
  void OnConnect() override;
  virtual void StartTLS() = 0;
  // Copies up to Size undelivered plaintext bytes to Data; returns the count
  // (0 when none is held).
  size_t TakePlaintext(void* Data, size_t Size);
  // Keeps Bytes as the undelivered plaintext; false when they do not fit.
  bool PutPlaintext(std::string_view Bytes);

  bool FExplicit = false;
  std::array<char, PlaintextCapacity> FData{};
  size_t FStart = 0;
  size_t FCount = 0;
};

// A connection over recorded server bytes: reads serve Incoming in pieces of
// at most PieceSize bytes and its end reads as the server's close; writes
// are kept in Outgoing.
class TMemorySocket : public TTCPSocket {
 public:
  explicit TMemorySocket(std::string AIncoming, size_t APieceSize = TByteBuffer::Capacity)
      : Incoming(std::move(AIncoming)), PieceSize(APieceSize ? APieceSize : 1) {}
  bool Closed() override { return false; }
  int Read(void* Data, size_t Size) override;
  int Write(const void* Data, size_t Size) override;

  std::string Incoming;
  std::string Outgoing;
  size_t PieceSize;

 private:
  size_t FAt = 0;
};

// ---- HTTP ----

enum class TTLSEngine { TinyTLS, SChannel };

// One split URL; Port stays text until the request converts it.
struct TURL {
  std::string Protocol, HostName, Port, URI, Target;

  // "scheme://host[:port]/path#fragment"; without "://" the scheme is
  // "https" when TLS, else "http". No percent-decoding, no user part.
  void Decode(std::string_view URL, bool TLS);
  // Form encoding: A-Z a-z 0-9 - . _ ~ stay, a space gives '+', every other
  // byte '%' and two upper-case hexadecimal digits.
  static std::string Encode(std::string_view Text);
  // The Host line's value: HostName, with ":" + Port when Port is not the
  // scheme's default (RFC 9110 §7.2).
  std::string Authority() const;
};

struct THeaderField {
  std::string Name, Value;
};

struct TCookie {
  std::string Host, Name, Value, Path, Domain;
  // Same Host and Name: takes Value, Path and Domain and answers true.
  bool Assign(const TCookie& Cookie);
};

// Name=value items of a form post.
using TFormFields = std::vector<std::pair<std::string, std::string>>;

// Runs of ASCII letters start upper case and go on lower case:
// "content-length" gives "Content-Length", "WWW-Authenticate" "Www-Authenticate".
std::string NormalizeHeaderName(std::string_view Name);

// "Basic " + Base64 of User ":" Password.
std::string BasicAuthorization(std::string_view User, std::string_view Password);

class TCustomHTTPClient;
// Creates an unconnected socket of one TLS engine for a client's connection.
using TTLSSocketMaker = std::function<std::unique_ptr<TCustomTLSSocket>(TCustomHTTPClient& Client)>;
// The TLS engine units register their maker once at start-up; an empty
// maker removes it. HTTPS without a maker fails with a clear error.
void RegisterTLSSocketMaker(TTLSEngine Engine, TTLSSocketMaker Maker);

// A client's certificate as a store, for the engine that takes its client
// certificate from one (the system client).
using TStoreSelector = std::function<std::shared_ptr<TCertificateStore>(TCustomHTTPClient& Client)>;
// The own engine's unit registers the store of its engine's certificate
// (the chain from OnCertificateRequest, the signature through
// OnCertificateVerify), so that a connection reopened over the system client
// after the own engine was refused keeps that certificate.
void RegisterOwnEngineStore(TStoreSelector Selector);
// nullptr when nothing is registered, or the client's engine has no certificate.
std::shared_ptr<TCertificateStore> StoreOfOwnEngine(TCustomHTTPClient& Client);

class TTLS;  // the own TLS engine object, supplied by its unit

class TCustomHTTPClient {
 public:
  static constexpr size_t MaxHeadSize = 65536;
  static constexpr size_t MaxHeaderLine = 8192;
  static constexpr size_t MaxHeaderCount = 256;
  static constexpr size_t MaxInterimResponses = 16;
  static constexpr int DefaultTimeout = 60000;  // milliseconds

  TCustomHTTPClient();
  virtual ~TCustomHTTPClient();
  TCustomHTTPClient(const TCustomHTTPClient&) = delete;
  TCustomHTTPClient& operator=(const TCustomHTTPClient&) = delete;

  // Drops the connection; cookies and settings stay.
  virtual void Close();
  // From any thread: ends the request under way at once (it fails with a
  // socket error) and makes every later request of this client fail
  // without connecting. For a program that is closing.
  void Abort() { FAbortSignal->Abort(); }
  // Makes this client's sockets answer Signal instead of its own, so that
  // one signal ends the calls of several clients. Before the first request.
  void ShareAbortSignal(std::shared_ptr<TAbortSignal> Signal) { FAbortSignal = std::move(Signal); }

  // Changing the host, port or TLS flag closes the connection first.
  const std::string& Host() const { return FHost; }
  void SetHost(std::string_view Value);
  int Port() const { return FPort; }
  void SetPort(int Value);
  bool UseTLS() const { return FUseTLS; }
  void SetUseTLS(bool Value);

  const std::string& Accept() const { return FAccept; }  // empty: "*/*"
  void SetAccept(std::string Value) { FAccept = std::move(Value); }
  const std::string& UserAgent() const { return FUserAgent; }  // empty: DefaultUserAgent()
  void SetUserAgent(std::string Value) { FUserAgent = std::move(Value); }
  const std::string& Authorization() const { return FAuthorization; }
  void SetAuthorization(std::string Value) { FAuthorization = std::move(Value); }
  unsigned KeepAliveTimeout() const { return FKeepAliveTimeout; }  // seconds
  void SetKeepAliveTimeout(unsigned Seconds) { FKeepAliveTimeout = Seconds; }
  // Extra request header lines "Name: value", sent in order.
  std::vector<std::string>& CustomHeaders() { return FCustomHeaders; }
  // Connect, receive and send time-out in milliseconds, DefaultTimeout
  // unless set; the whole response head must also arrive within it. 0
  // waits for ever.
  int Timeout() const { return FTimeoutMs; }
  void SetTimeout(int Milliseconds) {
    FTimeoutMs = Milliseconds;
    if (FSocket) FSocket->SetTimeout(Milliseconds);
  }
  size_t MaxBodySize() const { return FMaxBodySize; }
  void SetMaxBodySize(size_t Value) { FMaxBodySize = Value; }

  // The HTTP proxy that requests go through; an empty host (the default)
  // connects directly. Changing it closes the connection.
  const std::string& ProxyHost() const { return FProxyHost; }
  int ProxyPort() const { return FProxyPort; }
  void SetProxy(std::string_view Host, int Port);
  void ClearProxy() { SetProxy({}, 0); }

  TTLSEngine TLSEngine() const { return FTLSEngine; }
  void SetTLSEngine(TTLSEngine Value) { FTLSEngine = Value; }
  TTLS* TLS() const { return FTLS.get(); }
  void ReplaceTLS(std::shared_ptr<TTLS> Value) { FTLS = std::move(Value); }

  // The last response.
  int ResponseCode() const { return FResponseCode; }
  const std::string& Response() const { return FResponse; }  // status line
  const std::string& Headers() const { return FHeader; }     // raw head
  const std::vector<THeaderField>& HeaderFields() const { return FHeaders; }
  // The value of a header (name normalised), empty when absent.
  std::string GetHeader(std::string_view Name) const;
  // The header's value holds Value as a whole ';'-separated item (case-sensitive).
  bool HasHeader(std::string_view Name, std::string_view Value) const;

  // Cookies.
  const std::vector<TCookie>& Cookies() const { return FCookies; }
  std::string GetCookie(std::string_view Name) const;  // of the current host
  void GetCookies(std::vector<TCookie>& Cookies) const;
  void SetCookie(std::string_view Name, std::string_view Value, std::string_view URL);
  std::string CookiesToString() const;

  // "Mozilla/5.0 (<operating system>) Vantrel.HTTPClient/1.0", the system
  // named from /etc/os-release.
  static const std::string& DefaultUserAgent();

 protected:
  // Clears the last response, drops a connection that expired or closed,
  // opens one when needed and sends Head.
  void SendRequest(std::string_view Head);
  // Opens a connection to Host():Port(), or through the proxy; tests replace it.
  virtual std::unique_ptr<TTCPSocket> OpenSocket();
  // Asks the proxy on Socket for a tunnel to Host():Port(); a refusal
  // becomes the last response and raises EProxyError.
  void OpenTunnel(TTCPSocket& Socket);
  void ParseResponseHeader();
  // Reads response heads into FHeader until a final one, skipping interim
  // (1xx) answers, all within the time-out from now.
  void ReadResponseHead();
  // The Cookie line (with CRLF) for the current host; empty when none.
  std::string CookieLine() const;
  // Starts the keep-alive allowance after a response, or closes.
  void EndResponse();

  std::string FHost;
  int FPort = 0;
  std::string FProxyHost;
  int FProxyPort = 0;
  std::unique_ptr<TTCPSocket> FSocket;
  std::shared_ptr<TAbortSignal> FAbortSignal = std::make_shared<TAbortSignal>();
  bool FUseTLS = false;
  std::string FAccept;
  std::string FHeader;
  std::vector<THeaderField> FHeaders;
  unsigned FKeepAliveTimeout = 60;
  unsigned FKeepAliveAllowance = 0;
  std::chrono::steady_clock::time_point FLastTick;
  std::vector<TCookie> FCookies;
  std::string FUserAgent;
  std::string FAuthorization;
  int FResponseCode = 0;
  std::shared_ptr<TTLS> FTLS;
  TTLSEngine FTLSEngine = TTLSEngine::TinyTLS;
  std::vector<std::string> FCustomHeaders;
  std::string FResponse;
  int FTimeoutMs = DefaultTimeout;
  size_t FMaxBodySize = size_t(512) << 20;
  // Some byte of the answer had arrived when the last exchange failed.
  bool FResponseStarted = false;

 private:
  void StoreCookie(std::string_view SetCookie);
};

class THTTPClient : public TCustomHTTPClient {
 public:
  const std::string& ContentType() const { return FContentType; }  // empty: "text/html; charset=UTF-8"
  void SetContentType(std::string Value) { FContentType = std::move(Value); }
  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool Value) { FKeepAlive = Value; }
  bool AcceptGZIP() const { return FAcceptGZIP; }
  void SetAcceptGZIP(bool Value) { FAcceptGZIP = Value; }

  // Bodies are appended to Stream. The text forms decode the body by its
  // byte-order mark (UTF-8 by default) and answer UTF-8.
  void Get(std::string_view URL, std::string& Stream);
  std::string Get(std::string_view URL);
  void Post(std::string_view URL, std::string_view Content, std::string& Stream);
  std::string Post(std::string_view URL, std::string_view Content);
  // Name=Encode(value) items joined with '&'; sets ContentType to
  // "application/x-www-form-urlencoded" for good.
  std::string Post(std::string_view URL, const TFormFields& Fields);
  void Put(std::string_view URL, std::string_view Content, std::string& Stream);
  std::string Put(std::string_view URL, std::string_view Content);
  void Delete(std::string_view URL);

  // The one request all of the above end in; no Content sends no body and
  // no Content-Length.
  void Request(std::string_view Verb, std::string_view URL, std::optional<std::string_view> Content,
               std::string& Stream);
  // The body as UTF-8 text: a UTF-8 or UTF-16 byte-order mark is honoured;
  // without one RequestText takes the bytes as Windows-1252 and
  // RequestUTF8 as UTF-8.
  std::string RequestText(std::string_view Verb, std::string_view URL,
                          std::optional<std::string_view> Content);
  std::string RequestUTF8(std::string_view Verb, std::string_view URL,
                          std::optional<std::string_view> Content);

  // The request head as it goes on the wire; the request target is in
  // absolute form for plain http through a proxy.
  std::string BuildHead(std::string_view Verb, const TURL& URL,
                        std::optional<std::string_view> Content) const;

 protected:
  void Exchange(std::string_view Head, std::string& Stream, std::optional<std::string_view> Content,
                bool HeadRequest);
  // Appends the body (none after HEAD, 204, 304); false when the connection
  // cannot carry another request.
  bool ReadBody(std::string& Stream, bool HeadRequest);

 private:
  std::string FContentType;
  bool FKeepAlive = true;
  bool FAcceptGZIP = false;
};

// Posts Content with a private client (through ProxyHost:ProxyPort unless
// ProxyHost is empty). A status of 500 or more writes
// Content, the status line and the body to "<executable>.http_log.txt"
// (replacing the executable's extension; in LogFolder() when the
// executable's folder is not writable) and raises "Erreur sur le site web "
// + URL; below 500 the body is returned in Response. TimeoutMs as SetTimeout.
void PostAndLog(std::string_view URL, std::string_view Content, std::string_view ContentType,
                std::string& Response, std::string_view Authorization,
                int TimeoutMs = TCustomHTTPClient::DefaultTimeout, std::string_view ProxyHost = {},
                int ProxyPort = 0);

}  // namespace Vantrel
