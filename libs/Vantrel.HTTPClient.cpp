// The HTTP/1.1 client: request head, response head, body framing (RFC 9112
// §6), gzip bodies (RFC 1952), keep-alive and the cookie jar (RFC 6265).
#include "Vantrel.HTTPClient.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <mutex>

#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

constexpr size_t MaxCookies = 512;

// Delphi's Trim: every byte up to the space goes at both ends.
std::string_view Trim(std::string_view S) {
  while (!S.empty() && uint8_t(S.front()) <= ' ') S.remove_prefix(1);
  while (!S.empty() && uint8_t(S.back()) <= ' ') S.remove_suffix(1);
  return S;
}

bool HasControl(std::string_view S, bool AllowTab) {
  return std::any_of(S.begin(), S.end(), [&](char C) {
    return (uint8_t(C) < 0x20 && !(AllowTab && C == '\t')) || C == 0x7F;
  });
}

// Nothing sent in the head may end a line or the head early.
void CheckHeadText(std::string_view S, bool AllowTab = true) {
  if (HasControl(S, AllowTab)) throw std::invalid_argument("Invalid character in HTTP request");
}

// RFC 6265 §5.1.3, case-insensitively; a leading dot of Domain is ignored.
bool DomainMatch(std::string_view Host, std::string_view Domain) {
  if (!Domain.empty() && Domain.front() == '.') Domain.remove_prefix(1);
  if (Domain.empty()) return false;
  std::string H = LowerCaseASCII(Host), D = LowerCaseASCII(Domain);
  if (H == D) return true;
  return H.size() > D.size() && H.ends_with(D) && H[H.size() - D.size() - 1] == '.';
}

bool ParseInt(std::string_view S, int64_t& V) {
  auto [End, Ec] = std::from_chars(S.data(), S.data() + S.size(), V);
  return Ec == std::errc() && End == S.data() + S.size() && !S.empty();
}

int ParsePort(std::string_view Text) {
  int64_t V = 0;
  if (!ParseInt(Text, V) || V < 1 || V > 65535)
    throw std::invalid_argument("'" + std::string(Text) + "' is not a valid port number");
  return int(V);
}

// Inflates one or more gzip members (windowBits 31: gzip only) and answers
// the inflated size; more than Max bytes is "Response body too large".
// Without Out the bytes are only counted, through a small scratch buffer;
// with Out they are written there, Out having room for Max bytes.
size_t Gunzip(std::string_view In, size_t Max, char* Out) {
  if (In.empty()) return 0;
  z_stream Z{};
  if (inflateInit2(&Z, 31) != Z_OK) throw std::runtime_error("gzip: inflateInit failed");
  char Scratch[16384];
  Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
  Z.avail_in = uInt(In.size());  // bodies are capped far below 4 GiB
  size_t Total = 0;
  try {
    for (;;) {
      size_t Room = Out ? Max - Total : sizeof Scratch;
      Z.next_out = reinterpret_cast<Bytef*>(Out ? Out + Total : Scratch);
      Z.avail_out = uInt(Room);
      int Rc = inflate(&Z, Z_NO_FLUSH);
      Total += Room - Z.avail_out;
      if (Total > Max || (Out && Total == Max && Rc == Z_BUF_ERROR && Z.avail_in))
        throw std::runtime_error("Response body too large");
      if (Rc == Z_STREAM_END) {
        if (!Z.avail_in) break;
        inflateReset(&Z);  // another member follows
        continue;
      }
      if (Rc == Z_BUF_ERROR && !Z.avail_in) throw std::runtime_error("gzip: truncated content");
      if (Rc != Z_OK && Rc != Z_BUF_ERROR) throw std::runtime_error("gzip: invalid content");
    }
  } catch (...) {
    inflateEnd(&Z);
    throw;
  }
  inflateEnd(&Z);
  return Total;
}

// Replaces the gzip body from BodyStart on by its inflated bytes; on failure
// only what the caller had before BodyStart stays. The size is counted first,
// so that a bomb is refused before anything is allocated for it, and a body
// that fits is inflated once into memory of its exact size.
void InflateBody(std::string& Stream, size_t BodyStart, size_t Max) {
  try {
    std::string_view Packed = std::string_view(Stream).substr(BodyStart);
    std::string Plain(Gunzip(Packed, Max, nullptr), '\0');
    Gunzip(Packed, Plain.size(), Plain.data());
    if (BodyStart) Stream.replace(BodyStart, std::string::npos, Plain);
    else Stream.swap(Plain);
  } catch (...) {
    Stream.resize(BodyStart);
    throw;
  }
}

// The status code of a status line (RFC 9112 §4): exactly three digits
// after the first space, ending the line or followed by a space.
int StatusCode(std::string_view StatusLine) {
  size_t Space = StatusLine.find(' ');
  std::string_view Code = Space == std::string_view::npos ? std::string_view() : StatusLine.substr(Space + 1, 4);
  auto Digit = [](char C) { return C >= '0' && C <= '9'; };
  bool Ok = Code.size() >= 3 && std::all_of(Code.begin(), Code.begin() + 3, Digit) &&
            (Code.size() == 3 || Code[3] == ' ');
  if (!Ok) throw std::runtime_error("Invalid status line: " + std::string(StatusLine.substr(0, 64)));
  return (Code[0] - '0') * 100 + (Code[1] - '0') * 10 + (Code[2] - '0');
}

bool IsInterim(int Code) { return Code >= 100 && Code < 200 && Code != 101; }

std::string DecodeText(std::string_view Body, bool UTF8Default) {
  if (Body.starts_with("\xEF\xBB\xBF")) return std::string(Body.substr(3));
  bool LE = Body.starts_with("\xFF\xFE"), BE = Body.starts_with("\xFE\xFF");
  if (LE || BE) {
    std::u16string W;
    for (size_t I = 2; I + 1 < Body.size(); I += 2) {
      uint8_t A = uint8_t(Body[I]), B = uint8_t(Body[I + 1]);
      W += LE ? char16_t(A | B << 8) : char16_t(B | A << 8);
    }
    return UTF16ToUTF8(W);
  }
  return UTF8Default ? std::string(Body) : Windows1252ToUTF8(Body);
}

std::string OperatingSystemName() {
  std::ifstream F("/etc/os-release");
  std::string Line, Name, Version;
  for (int N = 0; N < 200 && std::getline(F, Line); ++N) {
    auto Value = [&](std::string_view Key, std::string& Out) {
      if (!std::string_view(Line).starts_with(Key)) return;
      std::string_view V = std::string_view(Line).substr(Key.size());
      if (V.size() >= 2 && (V.front() == '"' || V.front() == '\'') && V.back() == V.front())
        V = V.substr(1, V.size() - 2);
      Out = std::string(V.substr(0, 100));
    };
    Value("NAME=", Name);
    Value("VERSION_ID=", Version);
  }
  std::string Text = Name.empty() ? "Linux" : Version.empty() ? Name : Name + " " + Version;
  // It goes inside a comment of the User-Agent line.
  std::erase_if(Text, [](char C) { return uint8_t(C) < 0x20 || C == 0x7F || C == '(' || C == ')'; });
  return Text;
}

std::mutex MakersLock;  // guards the two below
TTLSSocketMaker Makers[2];
TStoreSelector OwnEngineStore;

std::unique_ptr<TCustomTLSSocket> MakeTLSSocket(TTLSEngine Engine, TCustomHTTPClient& Client) {
  TTLSSocketMaker Maker;
  {
    std::lock_guard<std::mutex> Guard(MakersLock);
    Maker = Makers[int(Engine)];
  }
  if (!Maker) throw std::runtime_error("No TLS engine available for https");
  auto Socket = Maker(Client);
  if (!Socket) throw std::runtime_error("No TLS engine available for https");
  return Socket;
}

}  // namespace

void RegisterTLSSocketMaker(TTLSEngine Engine, TTLSSocketMaker Maker) {
  std::lock_guard<std::mutex> Guard(MakersLock);
  Makers[int(Engine)] = std::move(Maker);
}

void RegisterOwnEngineStore(TStoreSelector Selector) {
  std::lock_guard<std::mutex> Guard(MakersLock);
  OwnEngineStore = std::move(Selector);
}

std::shared_ptr<TCertificateStore> StoreOfOwnEngine(TCustomHTTPClient& Client) {
  TStoreSelector Selector;
  {
    std::lock_guard<std::mutex> Guard(MakersLock);
    Selector = OwnEngineStore;
  }
  return Selector ? Selector(Client) : nullptr;
}

// ---- TURL ----

void TURL::Decode(std::string_view URL, bool TLS) {
  std::string_view Rest = URL;
  size_t Scheme = URL.find("://");
  if (Scheme != std::string_view::npos) {
    Protocol = LowerCaseASCII(URL.substr(0, Scheme));
    Rest = URL.substr(Scheme + 3);
  } else {
    Protocol = TLS ? "https" : "http";
  }
  size_t Slash = Rest.find('/');
  std::string_view HostPart = Rest.substr(0, Slash);
  if (Slash == std::string_view::npos) {
    URI = "/";
    Target.clear();
  } else {
    std::string_view Path = Rest.substr(Slash);
    size_t Hash = Path.find('#');
    URI = std::string(Path.substr(0, Hash));
    Target = Hash == std::string_view::npos ? std::string() : std::string(Path.substr(Hash));
  }
  size_t Colon = HostPart.find(':');
  if (Colon != std::string_view::npos) {
    HostName = std::string(HostPart.substr(0, Colon));
    Port = std::string(HostPart.substr(Colon + 1));
  } else {
    HostName = std::string(HostPart);
    Port = Protocol == "https" ? "443" : "80";
  }
}

std::string TURL::Authority() const {
  int64_t Number = 0;
  bool Default = ParseInt(Port, Number) && Number == (Protocol == "https" ? 443 : 80);
  return Default ? HostName : HostName + ":" + Port;
}

std::string TURL::Encode(std::string_view Text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Text.size());
  for (char C : Text) {
    bool Keep = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
                C == '-' || C == '.' || C == '_' || C == '~';
    if (Keep) {
      Out += C;
    } else if (C == ' ') {
      Out += '+';
    } else {
      Out += '%';
      Out += Hex[uint8_t(C) >> 4];
      Out += Hex[uint8_t(C) & 0xF];
    }
  }
  return Out;
}

bool TCookie::Assign(const TCookie& Cookie) {
  if (Host != Cookie.Host || Name != Cookie.Name) return false;
  Value = Cookie.Value;
  Path = Cookie.Path;
  Domain = Cookie.Domain;
  return true;
}

std::string NormalizeHeaderName(std::string_view Name) {
  std::string Out(Name);
  bool InRun = false;
  for (char& C : Out) {
    bool Letter = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
    if (!Letter) {
      InRun = false;
    } else if (!InRun) {
      if (C >= 'a') C = char(C - 32);
      InRun = true;
    } else {
      C = LowerASCII(C);
    }
  }
  return Out;
}

std::string BasicAuthorization(std::string_view User, std::string_view Password) {
  std::string Pair(User);
  Pair += ':';
  Pair += Password;
  return "Basic " + Base64Encode(Pair);
}

// ---- TCustomHTTPClient ----

TCustomHTTPClient::TCustomHTTPClient() = default;

TCustomHTTPClient::~TCustomHTTPClient() { FSocket.reset(); }

void TCustomHTTPClient::Close() { FSocket.reset(); }

void TCustomHTTPClient::SetHost(std::string_view Value) {
  if (Value == FHost) return;
  Close();
  FHost = std::string(Value);
}

void TCustomHTTPClient::SetPort(int Value) {
  if (Value == FPort) return;
  Close();
  FPort = Value;
}

void TCustomHTTPClient::SetUseTLS(bool Value) {
  if (Value == FUseTLS) return;
  Close();
  FUseTLS = Value;
}

const std::string& TCustomHTTPClient::DefaultUserAgent() {
  static const std::string Agent = "Mozilla/5.0 (" + OperatingSystemName() + ") Vantrel.HTTPClient/1.0";
  return Agent;
}

std::string TCustomHTTPClient::GetHeader(std::string_view Name) const {
  std::string Key = NormalizeHeaderName(Name);
  for (const auto& H : FHeaders)
    if (H.Name == Key) return H.Value;
  return {};
}

bool TCustomHTTPClient::HasHeader(std::string_view Name, std::string_view Value) const {
  std::string V = GetHeader(Name);
  std::string_view Rest = V;
  for (;;) {
    size_t Semi = Rest.find(';');
    if (Trim(Rest.substr(0, Semi)) == Value) return true;
    if (Semi == std::string_view::npos) return false;
    Rest.remove_prefix(Semi + 1);
  }
}

std::string TCustomHTTPClient::GetCookie(std::string_view Name) const {
  for (const auto& C : FCookies)
    if (C.Host == FHost && C.Name == Name) return C.Value;
  return {};
}

void TCustomHTTPClient::GetCookies(std::vector<TCookie>& Cookies) const {
  for (const auto& Mine : FCookies) {
    bool Merged = false;
    for (auto& Theirs : Cookies) Merged = Theirs.Assign(Mine) || Merged;
    if (!Merged) Cookies.push_back(Mine);
  }
}

void TCustomHTTPClient::SetCookie(std::string_view Name, std::string_view Value, std::string_view URL) {
  CheckHeadText(Name, false);
  CheckHeadText(Value, false);
  TURL U;
  U.Decode(URL, false);
  auto It = std::find_if(FCookies.begin(), FCookies.end(),
                         [&](const TCookie& C) { return C.Host == U.HostName && C.Name == Name; });
  if (It == FCookies.end()) {
    FCookies.push_back({U.HostName, std::string(Name), {}, {}, {}});
    It = FCookies.end() - 1;
  }
  It->Value = std::string(Value);
  It->Path = U.URI;
  It->Domain.clear();
}

std::string TCustomHTTPClient::CookiesToString() const {
  std::string Out;
  for (const auto& C : FCookies)
    Out += C.Name + "@" + C.Host + "=" + C.Value + "; Path=" + C.Path + "; Domain=" + C.Domain + "\r";
  return Out;
}

void TCustomHTTPClient::StoreCookie(std::string_view SetCookie) {
  std::vector<std::string_view> Items;
  for (std::string_view Rest = SetCookie;;) {
    size_t Semi = Rest.find(';');
    Items.push_back(Trim(Rest.substr(0, Semi)));
    if (Semi == std::string_view::npos) break;
    Rest.remove_prefix(Semi + 1);
  }
  size_t Eq = Items[0].find('=');
  if (Eq == std::string_view::npos) return;
  std::string_view Name = Trim(Items[0].substr(0, Eq)), Value = Trim(Items[0].substr(Eq + 1));
  if (Name.empty()) return;
  std::string_view Path, Domain;
  for (size_t I = 1; I < Items.size(); ++I) {
    size_t E = Items[I].find('=');
    if (E == std::string_view::npos) continue;
    std::string Attr = NormalizeHeaderName(Trim(Items[I].substr(0, E)));
    if (Attr == "Path") Path = Trim(Items[I].substr(E + 1));
    if (Attr == "Domain") Domain = Trim(Items[I].substr(E + 1));
  }
  // A cookie goes back out on the Cookie line: nothing in it may break a line.
  if (HasControl(Name, false) || HasControl(Value, false) || HasControl(Path, false) ||
      HasControl(Domain, false))
    return;
  std::string DomainText;
  if (!Domain.empty()) {
    if (Domain.front() == '.') Domain.remove_prefix(1);
    // RFC 6265 §5.3 step 6: a Domain that the setting host does not
    // domain-match throws the cookie away; a single label ("fr") would reach
    // every host under it.
    bool OneLabel = Domain.find('.') == std::string_view::npos;
    if (!DomainMatch(FHost, Domain) || (OneLabel && LowerCaseASCII(Domain) != LowerCaseASCII(FHost))) return;
    DomainText = LowerCaseASCII(Domain);
  }
  auto It = std::find_if(FCookies.begin(), FCookies.end(),
                         [&](const TCookie& C) { return C.Host == FHost && C.Name == Name; });
  if (It == FCookies.end()) {
    if (FCookies.size() >= MaxCookies) return;
    FCookies.push_back({FHost, std::string(Name), {}, {}, {}});
    It = FCookies.end() - 1;
  }
  It->Value = std::string(Value);
  It->Path = std::string(Path);
  It->Domain = std::move(DomainText);
}

std::string TCustomHTTPClient::CookieLine() const {
  std::vector<const TCookie*> Selected;
  for (const auto& C : FCookies)
    if (C.Host != FHost && !C.Domain.empty() && DomainMatch(FHost, C.Domain)) Selected.push_back(&C);
  for (const auto& C : FCookies) {
    if (C.Host != FHost) continue;
    auto It = std::find_if(Selected.begin(), Selected.end(),
                           [&](const TCookie* S) { return S->Name == C.Name; });
    if (It != Selected.end()) *It = &C;
    else Selected.push_back(&C);
  }
  if (Selected.empty()) return {};
  std::string Line = "Cookie: ";
  for (size_t I = 0; I < Selected.size(); ++I) {
    if (I) Line += "; ";
    Line += Selected[I]->Name + "=" + Selected[I]->Value;
  }
  return Line;
}

void TCustomHTTPClient::SetProxy(std::string_view Host, int Port) {
  if (!Host.empty() && (Port < 1 || Port > 65535))
    throw std::invalid_argument("'" + std::to_string(Port) + "' is not a valid port number");
  if (Host == FProxyHost && Port == FProxyPort) return;
  Close();
  FProxyHost = std::string(Host);
  FProxyPort = Host.empty() ? 0 : Port;
}

std::unique_ptr<TTCPSocket> TCustomHTTPClient::OpenSocket() {
  const bool Proxied = !FProxyHost.empty();
  if (!FUseTLS) {
    auto Socket = std::make_unique<TTCPSocket>();
    Socket->SetAbortSignal(FAbortSignal);
    Socket->SetTimeout(FTimeoutMs);
    if (Proxied) Socket->DoConnect(FProxyHost, uint16_t(FProxyPort), FTimeoutMs);
    else Socket->DoConnect(FHost, uint16_t(FPort), FTimeoutMs);
    return Socket;
  }
  // A tunnel leads to one server only: it is opened again for each connection.
  auto Connect = [&](TCustomTLSSocket& Socket) {
    Socket.SetAbortSignal(FAbortSignal);
    Socket.SetTimeout(FTimeoutMs);
    if (Proxied)
      Socket.ConnectThrough(FProxyHost, uint16_t(FProxyPort), FHost, FTimeoutMs,
                            [this](TTCPSocket& Plain) { OpenTunnel(Plain); });
    else
      Socket.DoConnect(FHost, uint16_t(FPort), FTimeoutMs);
  };
  std::unique_ptr<TCustomTLSSocket> Socket = MakeTLSSocket(FTLSEngine, *this);
  try {
    Connect(*Socket);
    return Socket;
  } catch (const std::exception& E) {
    // A server that refuses the own engine's handshake gets this connection
    // over the system engine; the next connection tries the own one again.
    if (FTLSEngine != TTLSEngine::TinyTLS || !Socket->PeerRefusedHandshake(E)) throw;
  }
  Socket = MakeTLSSocket(TTLSEngine::SChannel, *this);
  Connect(*Socket);
  return Socket;
}

void TCustomHTTPClient::OpenTunnel(TTCPSocket& Socket) {
  CheckHeadText(FHost, false);
  const std::string Target = FHost + ":" + std::to_string(FPort);
  const std::string& Agent = FUserAgent.empty() ? DefaultUserAgent() : FUserAgent;
  CheckHeadText(Agent);
  Socket.SendStream("CONNECT " + Target + " HTTP/1.1\r\nHost: " + Target + "\r\nUser-Agent: " + Agent + "\r\n\r\n");
  // The proxy's answer is bounded as a server's head is, and due within the time-out.
  if (FTimeoutMs > 0)
    Socket.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeoutMs));
  std::string Head;
  Socket.ReadHeader(Head, MaxHeadSize);
  Socket.SetDeadline(std::chrono::steady_clock::time_point::max());
  std::string StatusLine = Head.substr(0, Head.find('\r'));
  const int Code = StatusCode(StatusLine);
  // RFC 9110 §9.3.6: only a 2xx answer turns the connection into the tunnel.
  if (Code >= 200 && Code < 300) return;
  FResponse = StatusLine;
  FResponseCode = Code;
  throw EProxyError(Code, StatusLine);
}

void TCustomHTTPClient::SendRequest(std::string_view Head) {
  FHeader.clear();
  FHeaders.clear();
  FResponse.clear();
  FResponseCode = 0;
  if (FSocket) {
    auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - FLastTick).count() / 1000;
    if (Elapsed >= int64_t(FKeepAliveAllowance) || FSocket->Closed()) Close();
  }
  if (!FSocket) FSocket = OpenSocket();
  FSocket->ResetReceived();
  try {
    FSocket->SendStream(Head);
  } catch (...) {
    Close();
    throw;
  }
}

void TCustomHTTPClient::ReadResponseHead() {
  if (FTimeoutMs > 0)
    FSocket->SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeoutMs));
  for (size_t Interim = 0;; ++Interim) {
    FHeader.clear();
    FSocket->ReadHeader(FHeader, MaxHeadSize);
    std::string_view H = FHeader;
    if (!IsInterim(StatusCode(H.substr(0, H.find('\r'))))) break;
    if (Interim == MaxInterimResponses) throw std::runtime_error("Too many interim responses");
  }
  FSocket->SetDeadline(std::chrono::steady_clock::time_point::max());
  ParseResponseHeader();
}

void TCustomHTTPClient::ParseResponseHeader() {
  std::string_view H = FHeader;
  size_t LineEnd = H.find("\r\n");
  FResponse = std::string(H.substr(0, H.find('\r')));
  FResponseCode = StatusCode(FResponse);
  std::vector<THeaderField> Lines;
  size_t At = LineEnd == std::string_view::npos ? H.size() : LineEnd + 2;
  while (At < H.size()) {
    size_t End = H.find("\r\n", At);
    if (End == std::string_view::npos) End = H.size();
    std::string_view Line = H.substr(At, End - At);
    At = End + 2;
    if (Line.size() > MaxHeaderLine) throw std::runtime_error("Response header line too long");
    if (Line.empty()) continue;
    if (Line.front() == ' ' && !Lines.empty()) {
      Lines.back().Value += ";";
      Lines.back().Value += Trim(Line);
      continue;
    }
    size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos) continue;
    if (Lines.size() >= MaxHeaderCount) throw std::runtime_error("Too many response header fields");
    Lines.push_back({NormalizeHeaderName(Line.substr(0, Colon)), std::string(Trim(Line.substr(Colon + 1)))});
  }
  for (auto& L : Lines) {
    if (L.Name == "Set-Cookie") {
      StoreCookie(L.Value);
      continue;
    }
    auto It = std::find_if(FHeaders.begin(), FHeaders.end(),
                           [&](const THeaderField& F) { return F.Name == L.Name; });
    if (It != FHeaders.end()) It->Value += ";" + L.Value;
    else FHeaders.push_back(std::move(L));
  }
}

void TCustomHTTPClient::EndResponse() {
  if (HasHeader("Connection", "close")) {
    Close();
    return;
  }
  FLastTick = std::chrono::steady_clock::now();
  FKeepAliveAllowance = FKeepAliveTimeout;
  auto KeepAlive = std::find_if(FHeaders.begin(), FHeaders.end(),
                                [](const THeaderField& F) { return F.Name == "Keep-Alive"; });
  if (KeepAlive == FHeaders.end()) return;
  for (std::string_view Rest = KeepAlive->Value;;) {
    size_t Comma = Rest.find(',');
    std::string_view Item = Trim(Rest.substr(0, Comma));
    if (Item.empty()) return;
    size_t Eq = Item.find('=');
    if (Trim(Item.substr(0, Eq)) == "timeout") {
      int64_t Seconds = 0;
      std::string_view V = Eq == std::string_view::npos ? std::string_view() : Trim(Item.substr(Eq + 1));
      FKeepAliveAllowance = ParseInt(V, Seconds) && Seconds >= 0 && Seconds <= 86400 ? unsigned(Seconds) : 5;
      return;
    }
    if (Comma == std::string_view::npos) return;
    Rest.remove_prefix(Comma + 1);
  }
}

// ---- THTTPClient ----

std::string THTTPClient::BuildHead(std::string_view Verb, const TURL& URL,
                                   std::optional<std::string_view> Content) const {
  CheckHeadText(Verb, false);
  CheckHeadText(URL.URI, false);
  CheckHeadText(URL.HostName, false);
  std::string Head;
  Head.reserve(512);
  Head.append(Verb).append(" ");
  // RFC 9112 §3.2.2: a proxy gets the absolute form of a plain request.
  if (!FProxyHost.empty() && URL.Protocol != "https") Head.append("http://").append(URL.Authority());
  Head.append(URL.URI).append(" HTTP/1.1\r\n");
  Head.append("Connection: ").append(FKeepAlive ? "keep-alive" : "close").append("\r\n");
  Head.append("Host: ").append(URL.Authority()).append("\r\n");
  const std::string& Type = FContentType.empty() ? std::string("text/html; charset=UTF-8") : FContentType;
  CheckHeadText(Type);
  Head.append("Content-Type: ").append(Type).append("\r\n");
  if (Content) Head.append("Content-Length: ").append(std::to_string(Content->size())).append("\r\n");
  CheckHeadText(FAccept);
  Head.append("Accept: ").append(FAccept.empty() ? "*/*" : FAccept).append("\r\n");
  if (FAcceptGZIP) Head.append("Accept-Encoding: gzip\r\n");
  const std::string& Agent = FUserAgent.empty() ? DefaultUserAgent() : FUserAgent;
  CheckHeadText(Agent);
  Head.append("User-Agent: ").append(Agent).append("\r\n");
  std::string Extra;
  auto AddLine = [&](std::string_view Line) {
    CheckHeadText(Line);
    if (Trim(Line).empty()) return;  // an empty line would end the head
    if (!Extra.empty()) Extra += "\r\n";
    Extra += Line;
  };
  for (const auto& Line : FCustomHeaders) AddLine(Line);
  AddLine(CookieLine());
  if (!FAuthorization.empty()) AddLine("Authorization: " + FAuthorization);
  std::string_view Trimmed = Trim(Extra);
  if (!Trimmed.empty()) Head.append(Trimmed).append("\r\n");
  Head.append("\r\n");
  return Head;
}

void THTTPClient::Request(std::string_view Verb, std::string_view URL,
                          std::optional<std::string_view> Content, std::string& Stream) {
  TURL U;
  U.Decode(URL, false);
  int Port = ParsePort(U.Port);
  SetHost(U.HostName);
  SetPort(Port);
  SetUseTLS(U.Protocol == "https");
  std::string Head = BuildHead(Verb, U, Content);  // the cookie line is the new host's
  bool HeadRequest = Verb == "HEAD";
  try {
    Exchange(Head, Stream, Content, HeadRequest);
    return;
  } catch (const EClosedSocketError&) {
    // A kept-alive connection that the server dropped: only when nothing of
    // the answer came can the server not have acted on the request.
    if (FResponseStarted) throw;
  } catch (const ESSLError& E) {
    if (E.Code() != SEC_I_CONTEXT_EXPIRED || FResponseStarted) throw;
  }
  Close();
  Exchange(Head, Stream, Content, HeadRequest);
}

void THTTPClient::Exchange(std::string_view Head, std::string& Stream,
                           std::optional<std::string_view> Content, bool HeadRequest) {
  FResponseStarted = false;
  try {
    try {
      SendRequest(Head);
    } catch (const EClosedSocketError&) {
      SendRequest(Head);
    }
    if (Content) FSocket->SendStream(*Content);
    try {
      ReadResponseHead();
    } catch (const ESSLError&) {
      if (!FHeader.empty() || FSocket->Received() || FSocket->Buffered()) throw;
      Close();
      SendRequest(Head);
      if (Content) FSocket->SendStream(*Content);
      ReadResponseHead();
    }
    if (ReadBody(Stream, HeadRequest)) EndResponse();
    else Close();
  } catch (...) {
    FResponseStarted =
        !FHeader.empty() || (FSocket && (FSocket->Received() > 0 || FSocket->Buffered() > 0));
    Close();
    throw;
  }
}

bool THTTPClient::ReadBody(std::string& Stream, bool HeadRequest) {
  // RFC 9112 §6.3: whatever the head says, these end with it.
  if (FResponseCode == 101) return false;  // the connection speaks another protocol now
  if (HeadRequest || FResponseCode == 204 || FResponseCode == 304) return true;
  size_t BodyStart = Stream.size();
  std::string Length = GetHeader("Content-Length");
  bool Chunked = GetHeader("Transfer-Encoding") == "chunked";
  int64_t Size = 0;
  bool Negative = !Length.empty() && Length.front() == '-';
  std::string_view Digits = std::string_view(Length).substr(Negative ? 1 : 0);
  bool IsNumber = !Digits.empty() && std::all_of(Digits.begin(), Digits.end(),
                                                 [](char C) { return C >= '0' && C <= '9'; });
  if (IsNumber && !Chunked) {
    if (Negative) throw std::runtime_error("Invalid Content-Length: " + Length);
    if (!ParseInt(Digits, Size) || uint64_t(Size) > FMaxBodySize)
      throw std::runtime_error("Response body too large");
    FSocket->ReadStream(Stream, size_t(Size));
  } else if (Chunked) {
    FSocket->ReadChunks(Stream, FMaxBodySize);
  } else if (GetHeader("Connection") == "close") {
    FSocket->ReadUntilClosed(Stream, FMaxBodySize);
  } else {
    throw std::runtime_error("No content-length");
  }
  // Only the body just read is inflated; what the caller had stays.
  if (HasHeader("Content-Encoding", "gzip")) InflateBody(Stream, BodyStart, FMaxBodySize);
  // RFC 9112 §6.1: a message with both framings may be an attempt to smuggle
  // a second answer into the connection; it ends with this one.
  bool BothFramings = !Length.empty() && !GetHeader("Transfer-Encoding").empty();
  return !BothFramings;
}

void THTTPClient::Get(std::string_view URL, std::string& Stream) { Request("GET", URL, std::nullopt, Stream); }

std::string THTTPClient::Get(std::string_view URL) { return RequestUTF8("GET", URL, std::nullopt); }

void THTTPClient::Post(std::string_view URL, std::string_view Content, std::string& Stream) {
  Request("POST", URL, Content, Stream);
}

std::string THTTPClient::Post(std::string_view URL, std::string_view Content) {
  return RequestUTF8("POST", URL, Content);
}

std::string THTTPClient::Post(std::string_view URL, const TFormFields& Fields) {
  std::string Body;
  for (const auto& [Name, Value] : Fields) {
    if (!Body.empty()) Body += '&';
    Body += Name + "=" + TURL::Encode(Value);
  }
  FContentType = "application/x-www-form-urlencoded";
  return RequestUTF8("POST", URL, Body);
}

void THTTPClient::Put(std::string_view URL, std::string_view Content, std::string& Stream) {
  Request("PUT", URL, Content, Stream);
}

std::string THTTPClient::Put(std::string_view URL, std::string_view Content) {
  return RequestUTF8("PUT", URL, Content);
}

void THTTPClient::Delete(std::string_view URL) {
  std::string Dropped;
  Request("DELETE", URL, std::nullopt, Dropped);
}

std::string THTTPClient::RequestText(std::string_view Verb, std::string_view URL,
                                     std::optional<std::string_view> Content) {
  std::string Body;
  Request(Verb, URL, Content, Body);
  return DecodeText(Body, false);
}

std::string THTTPClient::RequestUTF8(std::string_view Verb, std::string_view URL,
                                     std::optional<std::string_view> Content) {
  std::string Body;
  Request(Verb, URL, Content, Body);
  return DecodeText(Body, true);
}

// ---- PostAndLog ----


void PostAndLog(std::string_view URL, std::string_view Content, std::string_view ContentType,
                std::string& Response, std::string_view Authorization, int TimeoutMs,
                std::string_view ProxyHost, int ProxyPort) {
  THTTPClient Client;
  Client.SetTimeout(TimeoutMs);
  Client.SetProxy(ProxyHost, ProxyPort);
  Client.SetContentType(std::string(ContentType));
  Client.SetAuthorization(std::string(Authorization));
  Response = Client.Post(URL, Content);
  if (Client.ResponseCode() < 500) return;
  WriteProgramLog(".http_log.txt", std::string(Content) + "\r\n" + Client.Response() + "\r\n" + Response);
  throw std::runtime_error("Erreur sur le site web " + std::string(URL));
}

}  // namespace Vantrel
