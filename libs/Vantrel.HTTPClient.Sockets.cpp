// The socket layer of the HTTP client: POSIX sockets behind the Winsock-style
// errors, the receive buffer and the HTTP framing reads.
#include "Vantrel.HTTPClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace Vantrel {

namespace {

std::string SocketErrorText(std::string_view Func, uint32_t Code) {
  char Hex[9];
  static constexpr char Digits[] = "0123456789ABCDEF";
  for (int I = 7; I >= 0; --I) {
    Hex[I] = Digits[Code & 0xF];
    Code >>= 4;
  }
  Hex[8] = 0;
  std::string Text = "WINSOCK Error #";
  Text += Hex;
  Text += " on function ";
  Text += Func;
  return Text;
}

// Winsock keeps the BSD numbering offset by 10000 (winsock2.h).
struct TErrnoMap {
  int Errno;
  uint32_t WSA;
};
constexpr TErrnoMap ErrnoMap[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},         {EFAULT, 10014},
    {EINVAL, 10022},       {EMFILE, 10024},          {EAGAIN, 10035},         {EINPROGRESS, 10036},
    {EALREADY, 10037},     {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},   {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},   {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},       {ENETUNREACH, 10051},    {ENETRESET, 10052},
    {ECONNABORTED, 10053}, {ECONNRESET, 10054},      {EPIPE, 10054},          {ENOBUFS, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},      {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},          {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
};

constexpr uint32_t WSAETIMEDOUT = 10060;
constexpr uint32_t WSAECONNABORTED = 10053;

void SetNonBlocking(int Fd, bool On) {
  int Flags = fcntl(Fd, F_GETFL, 0);
  if (Flags >= 0) fcntl(Fd, F_SETFL, On ? (Flags | O_NONBLOCK) : (Flags & ~O_NONBLOCK));
}

void ApplyTimeout(int Fd, int Milliseconds) {
  timeval Tv{};
  Tv.tv_sec = Milliseconds / 1000;
  Tv.tv_usec = (Milliseconds % 1000) * 1000;
  setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof Tv);
  setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof Tv);
}

// Connects Fd to Addr; 0 or the errno of the failure.
int ConnectOne(int Fd, const sockaddr_in& Addr, int Timeout) {
  if (Timeout <= 0) {
    int Rc;
    do Rc = connect(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
    while (Rc < 0 && errno == EINTR);
    return Rc == 0 ? 0 : errno;
  }
  SetNonBlocking(Fd, true);
  int Err = 0;
  if (connect(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) < 0) {
    Err = errno;
    if (Err == EINPROGRESS) {
      pollfd P{Fd, POLLOUT, 0};
      int Rc;
      do Rc = poll(&P, 1, Timeout);
      while (Rc < 0 && errno == EINTR);
      if (Rc == 0) {
        Err = ETIMEDOUT;
      } else {
        socklen_t Len = sizeof Err;
        if (Rc < 0 || getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Err, &Len) < 0) Err = errno;
      }
    }
  }
  SetNonBlocking(Fd, false);
  return Err;
}

// The distinct IPv4 addresses of Host, in the resolver's order.
std::vector<sockaddr_in> ResolveHost(const std::string& Host, uint16_t Port) {
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_protocol = IPPROTO_TCP;
  char PortText[8];
  auto End = std::to_chars(PortText, PortText + sizeof PortText - 1, Port).ptr;
  *End = 0;
  addrinfo* List = nullptr;
  int Rc = getaddrinfo(Host.c_str(), PortText, &Hints, &List);
  std::vector<sockaddr_in> Out;
  if (Rc != 0) {
    throw ESocketError("getaddrinfo on host " + Host, WSAErrorFromGai(Rc, errno));
  }
  for (addrinfo* A = List; A; A = A->ai_next) {
    if (A->ai_family != AF_INET || A->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in Addr;
    std::memcpy(&Addr, A->ai_addr, sizeof Addr);
    bool Seen = std::any_of(Out.begin(), Out.end(), [&](const sockaddr_in& O) {
      return O.sin_addr.s_addr == Addr.sin_addr.s_addr && O.sin_port == Addr.sin_port;
    });
    if (!Seen) Out.push_back(Addr);
  }
  freeaddrinfo(List);
  if (Out.empty()) throw ESocketError("getaddrinfo on host " + Host, 11001);
  return Out;
}

}  // namespace

ESocketError::ESocketError(std::string_view Func, uint32_t Code)
    : std::runtime_error(SocketErrorText(Func, Code)), FCode(Code), FFunc(Func) {}

uint32_t WSAErrorFromErrno(int Errno) {
  for (const auto& M : ErrnoMap)
    if (M.Errno == Errno) return M.WSA;
  return uint32_t(Errno);
}

uint32_t WSAErrorFromGai(int GaiError, int Errno) {
  switch (GaiError) {
    case 0: return 0;
    case EAI_NONAME: return 11001;  // WSAHOST_NOT_FOUND
    case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
    case EAI_FAIL: return 11003;    // WSANO_RECOVERY
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
    case EAI_FAMILY: return 10047;
    case EAI_MEMORY: return 10055;
    case EAI_SYSTEM: return WSAErrorFromErrno(Errno);
    default: return 11003;
  }
}

// ---- TByteBuffer ----

void TByteBuffer::Consume(size_t Quantity) {
  Quantity = std::min(Quantity, Count);
  Count -= Quantity;
  Start = Count ? Start + Quantity : 0;
}

ptrdiff_t TByteBuffer::IndexOf(std::string_view Str, size_t StartPos) const {
  if (StartPos > Count) return -1;
  size_t At = Held().find(Str, StartPos);
  return At == std::string_view::npos ? -1 : ptrdiff_t(At);
}

size_t TByteBuffer::Left() {
  if (Start + Count >= Capacity) Trim();
  return Capacity - Start - Count;
}

size_t TByteBuffer::Trim() {
  if (Start) {
    std::memmove(Data.data(), Data.data() + Start, Count);
    Start = 0;
  }
  return Count;
}

// ---- TTCPSocket ----

TTCPSocket::~TTCPSocket() { Close(); }

int TTCPSocket::DoConnect(const std::string& Host, uint16_t Port, int Timeout) {
  FHost = Host;
  auto Addresses = ResolveHost(Host, Port);
  int LastErr = 0;
  for (const auto& Addr : Addresses) {
    // A socket whose connect failed is in an unspecified state on POSIX:
    // each address gets a fresh one.
    int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (Fd < 0) throw ESocketError("socket", WSAErrorFromErrno(errno));
    if (FAbort) {
      try {
        FAbort->Enter(Fd);
      } catch (...) {
        close(Fd);
        throw;
      }
    }
    LastErr = ConnectOne(Fd, Addr, Timeout);
    if (LastErr == 0) {
      int One = 1;
      setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
      if (FTimeout > 0) ApplyTimeout(Fd, FTimeout);
      FHandle = Fd;
      OnConnect();
      return 0;
    }
    if (FAbort) FAbort->Leave(Fd);
    close(Fd);
    if (FAbort && FAbort->Aborted()) break;
  }
  throw EClosedSocketError("connect", WSAErrorFromErrno(LastErr));
}

void TTCPSocket::SetTimeout(int Milliseconds) {
  FTimeout = std::max(Milliseconds, 0);
  if (FHandle >= 0) ApplyTimeout(FHandle, FTimeout);
}

void TTCPSocket::OnDisconnect() { shutdown(FHandle, SHUT_RDWR); }

void TTCPSocket::Close() {
  if (FHandle < 0) return;
  OnDisconnect();
  if (FAbort) FAbort->Leave(FHandle);
  close(FHandle);
  FHandle = -1;
}

void TAbortSignal::Abort() {
  const std::lock_guard Lock(FLock);
  FAborted = true;
  for (int Fd : FHandles) shutdown(Fd, SHUT_RDWR);
}

void TAbortSignal::Enter(int Fd) {
  const std::lock_guard Lock(FLock);
  if (FAborted) throw ESocketError("connect", WSAECONNABORTED);
  FHandles.push_back(Fd);
}

void TAbortSignal::Leave(int Fd) {
  const std::lock_guard Lock(FLock);
  std::erase(FHandles, Fd);
}

void TTCPSocket::Disconnect() {
  if (FHandle >= 0) shutdown(FHandle, SHUT_RDWR);
}

bool TTCPSocket::Closed() {
  if (FHandle < 0) return true;
  // Nothing may be waiting on an idle HTTP connection: readable means the
  // peer closed (or sent bytes nobody asked for), and either way the
  // connection cannot carry the next request.
  if (FRecv.Count) return true;
  pollfd P{FHandle, POLLIN | POLLOUT, 0};
  if (poll(&P, 1, 0) < 0) return true;
  return (P.revents & (POLLERR | POLLHUP | POLLNVAL | POLLIN)) || !(P.revents & POLLOUT);
}

bool WaitReadable(int Fd, std::chrono::steady_clock::time_point Deadline) {
  using namespace std::chrono;
  if (Deadline == steady_clock::time_point::max()) return true;
  for (;;) {
    auto Left = duration_cast<milliseconds>(Deadline - steady_clock::now()).count();
    if (Left <= 0) return false;
    pollfd P{Fd, POLLIN, 0};
    int Rc = poll(&P, 1, int(std::min<int64_t>(Left, 1 << 30)));
    if (Rc > 0) return true;  // bytes, the peer's close or an error: the receive tells
    if (Rc < 0 && errno != EINTR) return true;
  }
}

int TTCPSocket::Read(void* Data, size_t Size) {
  // A server dripping bytes never lets a receive time out: the deadline
  // bounds the whole read.
  if (!WaitReadable(FHandle, FDeadline)) throw ESocketError("recv", WSAETIMEDOUT);
  ssize_t Got;
  Size = std::min<size_t>(Size, 1 << 30);
  do Got = recv(FHandle, Data, Size, 0);
  while (Got < 0 && errno == EINTR);
  if (Got > 0) return int(Got);
  if (Got == 0) throw EClosedSocketError("recv", 0);
  // A time-out is no closed connection: the request may have reached the
  // server, so it must not be sent again.
  if (errno == EAGAIN || errno == EWOULDBLOCK) throw ESocketError("recv", WSAETIMEDOUT);
  throw EClosedSocketError("recv", WSAErrorFromErrno(errno));
}

int TTCPSocket::Write(const void* Data, size_t Size) {
  ssize_t Sent;
  Size = std::min<size_t>(Size, 1 << 30);
  do Sent = send(FHandle, Data, Size, MSG_NOSIGNAL);
  while (Sent < 0 && errno == EINTR);
  if (Sent > 0) return int(Sent);
  if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) throw ESocketError("send", WSAETIMEDOUT);
  throw EClosedSocketError("send", Sent == 0 ? 0 : WSAErrorFromErrno(errno));
}

bool TTCPSocket::WriteAll(const void* Data, size_t Size) {
  auto* P = static_cast<const char*>(Data);
  while (Size) {
    int Sent = Write(P, Size);
    if (Sent < 1) return false;
    P += Sent;
    Size -= size_t(Sent);
  }
  return true;
}

size_t TTCPSocket::FillBuffer() {
  size_t Free = FRecv.Left();
  if (!Free) return 0;
  int Got = Read(FRecv.Data.data() + FRecv.Start + FRecv.Count, Free);
  if (Got <= 0) return 0;
  FRecv.Count += size_t(Got);
  FReceived += uint64_t(Got);
  return size_t(Got);
}

void TTCPSocket::FillOrFail() {
  if (!FillBuffer()) throw EClosedSocketError("recv", 0);
}

void TTCPSocket::ReadBytes(std::string& Bytes, size_t ACount) {
  while (ACount) {
    if (!FRecv.Count && !FillBuffer()) throw std::runtime_error("read error");
    size_t Take = std::min(ACount, FRecv.Count);
    Bytes.append(FRecv.Held().substr(0, Take));
    FRecv.Consume(Take);
    ACount -= Take;
  }
}

std::string TTCPSocket::ReadLen(size_t Len) {
  std::string Out;
  ReadBytes(Out, Len);
  return Out;
}

std::string TTCPSocket::ReadLn(size_t Max) {
  std::string Line;
  for (;;) {
    ptrdiff_t At = FRecv.IndexOf("\r\n");
    if (At >= 0) {
      if (Line.size() + size_t(At) > Max) throw std::runtime_error("Line too long");
      Line.append(FRecv.Held().substr(0, size_t(At)));
      FRecv.Consume(size_t(At) + 2);
      return Line;
    }
    // A CR at the end may be the first half of the CRLF.
    size_t Known = FRecv.Count - (FRecv.Count && FRecv.Held().back() == '\r' ? 1 : 0);
    if (Line.size() + Known > Max) throw std::runtime_error("Line too long");
    if (FRecv.Count == TByteBuffer::Capacity) {
      Line.append(FRecv.Held().substr(0, Known));
      FRecv.Consume(Known);
    }
    FillOrFail();
  }
}

void TTCPSocket::ReadHeader(std::string& Header, size_t MaxSize) {
  size_t Before = Header.size();
  for (;;) {
    ptrdiff_t At = FRecv.IndexOf("\r\n\r\n");
    size_t Taken = Header.size() - Before;
    if (At >= 0) {
      if (Taken + size_t(At) + 4 > MaxSize) throw std::runtime_error("Response header too large");
      Header.append(FRecv.Held().substr(0, size_t(At) + 4));
      FRecv.Consume(size_t(At) + 4);
      return;
    }
    if (Taken + FRecv.Count > MaxSize) throw std::runtime_error("Response header too large");
    // Keep the last bytes buffered so that a CRLF CRLF split by a read is found.
    if (FRecv.Count > 1028) {
      Header.append(FRecv.Held().substr(0, 1024));
      FRecv.Consume(1024);
    }
    FillOrFail();
  }
}

void TTCPSocket::ReadStream(std::string& Stream, size_t Size) {
  size_t Take = std::min(Size, FRecv.Count);
  Stream.append(FRecv.Held().substr(0, Take));
  FRecv.Consume(Take);
  size_t Want = Size - Take;
  if (!Want) return;
  // Grow once and receive straight into the caller's memory.
  size_t At = Stream.size();
  Stream.resize(At + Want);
  try {
    while (Want) {
      int Got = Read(Stream.data() + At, Want);
      if (Got <= 0) throw EClosedSocketError("recv", 0);
      FReceived += uint64_t(Got);
      At += size_t(Got);
      Want -= size_t(Got);
    }
  } catch (...) {
    Stream.resize(At);  // keep what arrived, never zero filler
    throw;
  }
}

namespace {

// A chunk-size line taken whole as hexadecimal (no extensions, no blanks).
uint64_t ParseChunkSize(std::string_view Line) {
  uint64_t Size = 0;
  auto [End, Ec] = std::from_chars(Line.data(), Line.data() + Line.size(), Size, 16);
  if (Line.empty() || Ec == std::errc::result_out_of_range || Ec != std::errc() ||
      End != Line.data() + Line.size())
    throw std::runtime_error("'" + std::string(Line) + "' is not a valid chunk size");
  return Size;
}

}  // namespace

void TTCPSocket::ReadChunks(std::string& Stream, size_t MaxSize) {
  size_t Read = 0;
  for (;;) {
    uint64_t Size = ParseChunkSize(ReadLn(1024));
    if (!Size) break;
    if (Size > MaxSize - Read) throw std::runtime_error("Response body too large");
    ReadStream(Stream, size_t(Size));
    Read += size_t(Size);
    if (!ReadLn(1024).empty()) throw std::runtime_error("chunk CR/LF not found");
  }
  // Trailer fields are not supported: the last chunk must end at once.
  if (!ReadLn(1024).empty()) throw std::runtime_error("Last chunk CR/LF not found");
}

void TTCPSocket::ReadUntilClosed(std::string& Stream, size_t MaxSize) {
  size_t Start = Stream.size();
  auto Held = FRecv.Held();
  if (Held.size() > MaxSize) throw std::runtime_error("Response body too large");
  Stream.append(Held);
  FRecv.Clear();
  constexpr size_t Block = 65536;
  for (;;) {
    size_t At = Stream.size();
    if (At - Start >= MaxSize) {
      // One byte more than allowed tells a full body from an oversized one.
      char Probe;
      int Got;
      try {
        Got = Read(&Probe, 1);
      } catch (const EClosedSocketError& E) {
        if (E.Code() != 0) throw;
        return;
      }
      if (Got <= 0) return;
      throw std::runtime_error("Response body too large");
    }
    size_t Want = std::min(Block, MaxSize - (At - Start));
    Stream.resize(At + Want);
    int Got;
    try {
      Got = Read(Stream.data() + At, Want);
    } catch (const EClosedSocketError& E) {
      Stream.resize(At);
      if (E.Code() != 0) throw;  // a reset is no end of the body
      return;
    } catch (...) {
      Stream.resize(At);
      throw;
    }
    Stream.resize(At + size_t(std::max(Got, 0)));
    if (Got <= 0) return;
    FReceived += uint64_t(Got);
  }
}

void TTCPSocket::SendStream(std::string_view Stream) {
  if (!WriteAll(Stream.data(), Stream.size())) throw EClosedSocketError("send", 0);
}

// ---- TCustomTLSSocket ----

void TCustomTLSSocket::OnConnect() {
  TTCPSocket::OnConnect();
  FStart = FCount = 0;
  if (!FExplicit) StartTLS();
}

void TCustomTLSSocket::ConnectThrough(const std::string& ProxyHost, uint16_t ProxyPort, const std::string& Host,
                                      int Timeout, const std::function<void(TTCPSocket&)>& Tunnel) {
  FExplicit = true;  // plain bytes until the tunnel stands
  DoConnect(ProxyHost, ProxyPort, Timeout);
  Tunnel(*this);
  // The server says nothing before the client's hello: bytes held now are
  // the proxy's, and the handshake reads past this buffer.
  if (FRecv.Count) throw std::runtime_error("Unexpected bytes from the proxy after its answer");
  FHost = Host;
  StartTLS();
}

size_t TCustomTLSSocket::TakePlaintext(void* Data, size_t Size) {
  size_t Take = std::min(Size, FCount);
  std::memcpy(Data, FData.data() + FStart, Take);
  FStart += Take;
  FCount -= Take;
  if (!FCount) FStart = 0;
  return Take;
}

bool TCustomTLSSocket::PutPlaintext(std::string_view Bytes) {
  if (FCount || Bytes.size() > FData.size()) return false;
  std::memcpy(FData.data(), Bytes.data(), Bytes.size());
  FStart = 0;
  FCount = Bytes.size();
  return true;
}

// ---- TMemorySocket ----

int TMemorySocket::Read(void* Data, size_t Size) {
  if (FAt >= Incoming.size()) throw EClosedSocketError("recv", 0);
  size_t Take = std::min({Size, PieceSize, Incoming.size() - FAt});
  std::memcpy(Data, Incoming.data() + FAt, Take);
  FAt += Take;
  return int(Take);
}

int TMemorySocket::Write(const void* Data, size_t Size) {
  Outgoing.append(static_cast<const char*>(Data), Size);
  return int(Size);
}

}  // namespace Vantrel
