#include "Vantrel.WebSocket.h"

#include <sys/socket.h>

#include <charconv>
#include <stdexcept>

#include "Vantrel.SHA1.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Vantrel {

namespace {

// RFC 6455 §1.3: appended to the key before hashing.
constexpr std::string_view AcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

void RandomBytes(uint8_t* Out, size_t Count) {
  if (GenRandom(Out, Count) != STATUS_SUCCESS) throw std::runtime_error("No random bytes available");
}

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

std::string_view TrimBlanks(std::string_view S) {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
  while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
  return S;
}

// Token is one of the comma-separated items of Value (repeated header lines
// arrive joined with ';'), compared without regard to case.
bool HasToken(std::string_view Value, std::string_view Token) {
  for (;;) {
    size_t End = Value.find_first_of(",;");
    if (SameText(TrimBlanks(Value.substr(0, End)), Token)) return true;
    if (End == std::string_view::npos) return false;
    Value.remove_prefix(End + 1);
  }
}

void CheckHeadText(std::string_view S) {
  for (char C : S)
    if ((uint8_t(C) < 0x20 && C != '\t') || C == 0x7F) throw std::invalid_argument("Invalid character in HTTP request");
}

uint64_t BigEndian(std::string_view Bytes) {
  uint64_t V = 0;
  for (char C : Bytes) V = (V << 8) | uint8_t(C);
  return V;
}

}  // namespace

// ---- Frames ----

std::string EncodeClientFrame(uint8_t Opcode, std::string_view Data) {
  std::string Frame;
  Frame.reserve(Data.size() + 14);
  Frame += char(Opcode);
  uint64_t N = Data.size();
  if (N <= 125) {
    Frame += char(0x80 | N);
  } else if (N <= 65535) {
    Frame += char(0x80 | 126);
    Frame += char(N >> 8);
    Frame += char(N);
  } else {
    Frame += char(0x80 | 127);
    for (int Shift = 56; Shift >= 0; Shift -= 8) Frame += char(N >> Shift);
  }
  uint8_t Key[4];
  RandomBytes(Key, sizeof Key);
  Frame.append(reinterpret_cast<const char*>(Key), sizeof Key);
  size_t At = Frame.size();
  Frame.append(Data);
  for (size_t I = 0; I < Data.size(); ++I) Frame[At + I] = char(Frame[At + I] ^ Key[I & 3]);
  return Frame;
}

void TWebSocketMessage::SetData(std::string_view Data, bool IsText) {
  FData = EncodeClientFrame(IsText ? 0x81 : 0x82, Data);
  FStart = 0;
  FSize = 0;
}

bool TWebSocketMessage::PayloadLength() {
  if (FData.size() < 2) return false;
  uint8_t Form = uint8_t(FData[1]) & 0x7F;
  size_t Header = Form == 126 ? 4 : Form == 127 ? 10 : 2;
  size_t Mask = uint8_t(FData[1]) & 0x80 ? 4 : 0;
  if (FData.size() < Header + Mask) return false;
  FSize = Form < 126 ? Form : BigEndian(std::string_view(FData).substr(2, Header - 2));
  FStart = Header + Mask;
  return true;
}

bool TWebSocketMessage::Complete() const { return FStart && FData.size() - FStart >= FSize; }

void TWebSocketMessage::CheckWhole() const {
  if (!Complete()) throw std::logic_error("Incomplete WebSocket frame");
}

bool TWebSocketMessage::IsPing() const {
  CheckWhole();
  return (uint8_t(FData[0]) & 0x0F) == 9;
}

namespace {

// The payload of a whole frame at the front of Frame, unmasked.
std::string FramePayload(const TWebSocketMessage& Frame) {
  std::string Payload = Frame.FData.substr(Frame.FStart, size_t(Frame.FSize));
  if (uint8_t(Frame.FData[1]) & 0x80) {
    const char* Key = Frame.FData.data() + Frame.FStart - 4;
    for (size_t I = 0; I < Payload.size(); ++I) Payload[I] = char(Payload[I] ^ Key[I & 3]);
  }
  return Payload;
}

}  // namespace

std::string TWebSocketMessage::MakePong() const {
  CheckWhole();
  return EncodeClientFrame(0x8A, FramePayload(*this));
}

bool TWebSocketMessage::TakePayload(std::string& Message, bool& Text) const {
  CheckWhole();
  uint8_t B0 = uint8_t(FData[0]);
  if ((B0 & 0x0F) == 8) return false;
  Message += FramePayload(*this);
  if (B0 & 0x0F) Text = (B0 & 0x0F) == 1;
  return B0 & 0x80;
}

void TWebSocketMessage::DropFrame() {
  CheckWhole();
  FData.erase(0, FStart + size_t(FSize));
  FStart = 0;
  FSize = 0;
}

void ReceiveFrames(TTCPSocket& Socket, const std::function<void(const std::string& Message, bool Text)>& Deliver,
                   const std::atomic<bool>& Stop) {
  std::string Message;
  bool Text = false;
  TWebSocketMessage Frame;
  while (!Stop) {
    Frame.FData.clear();
    Frame.FStart = 0;
    try {
      Socket.ReadBytes(Frame.FData, 2);
    } catch (const EClosedSocketError& E) {
      if (E.Code() == 0) return;  // the server closed the connection
      throw;
    }
    uint8_t B0 = uint8_t(Frame.FData[0]), B1 = uint8_t(Frame.FData[1]);
    if ((B0 & 0x0F) == 8) return;  // close frame
    if (B1 & 0x80) return;         // a server never masks its frames
    uint8_t Form = B1 & 0x7F;
    Socket.ReadBytes(Frame.FData, Form == 126 ? 2 : Form == 127 ? 8 : 0);
    Frame.PayloadLength();
    if (Frame.FSize > MaxWebSocketMessage - Message.size()) return;
    Socket.ReadStream(Frame.FData, size_t(Frame.FSize));
    if (Frame.IsPing()) {
      Socket.SendStream(Frame.MakePong());
      continue;
    }
    if ((B0 & 0x0F) == 0xA) continue;  // unsolicited pong
    if (Frame.TakePayload(Message, Text)) {
      Deliver(Message, Text);
      Message.clear();
    }
  }
}

// ---- Session ----

struct TWebSocket::TShared {
  std::mutex Lock;
  std::condition_variable Changed;
  TWebSocket* Owner = nullptr;  // nullptr once the object is gone
  uint64_t Session = 0;         // moved on by Open and Close: older tasks are dropped
  uint64_t Ticket = 0;          // the last message handed to the owner
  uint64_t Done = 0;            // the last message whose handler returned
  int LiveHandle = -1;          // the connection Close shuts down
};

TWebSocketThread::TWebSocketThread(TWebSocket& Owner) : FThread([this, &Owner] { Owner.RunSession(FTerminated); }) {}

TWebSocketThread::~TWebSocketThread() {
  if (FThread.joinable()) FThread.join();
}

TWebSocket::TWebSocket() : FShared(std::make_shared<TShared>()) { FShared->Owner = this; }

TWebSocket::~TWebSocket() {
  Close();
  std::lock_guard<std::mutex> Guard(FShared->Lock);
  FShared->Owner = nullptr;
}

void TWebSocket::Open(std::string_view AURL) {
  if (FThread && FThread->IsCurrent()) throw std::logic_error("Open from a WebSocket handler needs a poster");
  FURL = std::string(AURL);
  Close();
  {
    std::lock_guard<std::mutex> Guard(FShared->Lock);
    ++FShared->Session;
  }
  FThread = std::make_unique<TWebSocketThread>(*this);
}

void TWebSocket::Close() {
  if (FThread) {
    FThread->Terminate();
    {
      std::lock_guard<std::mutex> Guard(FShared->Lock);
      ++FShared->Session;
      if (FShared->LiveHandle >= 0) shutdown(FShared->LiveHandle, SHUT_RDWR);
    }
    FShared->Changed.notify_all();
    // From a handler on the receiving thread: it ends by itself.
    if (FThread->IsCurrent()) {
      FActive = false;
      return;
    }
    FThread.reset();
  }
  FActive = false;
  TCustomHTTPClient::Close();
}

void TWebSocket::DoMessage() {
  if (FOnMessage) FOnMessage(*this);
}

void TWebSocket::RunOnOwner(std::function<void()> Task) {
  if (FPoster) FPoster(std::move(Task));
  else Task();
}

std::string TWebSocket::BuildHead(std::string_view AURL, std::string_view Key) {
  std::string URL(AURL);
  // The ws schemes are HTTP's with the upgrade (RFC 6455 §3).
  if (URL.size() >= 5 && SameText(URL.substr(0, 5), "ws://")) URL = "http://" + URL.substr(5);
  else if (URL.size() >= 6 && SameText(URL.substr(0, 6), "wss://")) URL = "https://" + URL.substr(6);
  TURL U;
  U.Decode(URL, false);
  int Port = 0;
  auto [End, Error] = std::from_chars(U.Port.data(), U.Port.data() + U.Port.size(), Port);
  if (Error != std::errc() || End != U.Port.data() + U.Port.size() || Port < 1 || Port > 65535)
    throw std::invalid_argument("'" + U.Port + "' is not a valid port number");
  // Not through SetHost and the like: their Close is the owner's one here.
  if (FHost != U.HostName || FPort != Port || FUseTLS != (U.Protocol == "https")) TCustomHTTPClient::Close();
  FHost = U.HostName;
  FPort = Port;
  FUseTLS = U.Protocol == "https";
  const std::string& AcceptText = FAccept.empty() ? std::string("*/*") : FAccept;
  const std::string& Agent = FUserAgent.empty() ? DefaultUserAgent() : FUserAgent;
  for (std::string_view S : {std::string_view(U.URI), std::string_view(U.HostName), std::string_view(AcceptText),
                             std::string_view(Agent), Key})
    CheckHeadText(S);
  std::string Head;
  Head.append("GET ").append(U.URI).append(" HTTP/1.1\r\n");
  Head.append("Connection: Keep-Alive\r\n");
  Head.append("Host: ").append(U.Authority()).append("\r\n");  // RFC 6455 §4.1: the port unless the default
  Head.append("Connection: Upgrade\r\n");
  Head.append("Upgrade: websocket\r\n");
  Head.append("Content-Type: application/json\r\n");
  Head.append("Accept: ").append(AcceptText).append("\r\n");
  Head.append("Accept-Encoding: gzip\r\n");
  Head.append("User-Agent: ").append(Agent).append("\r\n");
  Head.append("Sec-WebSocket-Key: ").append(Key).append("\r\n");
  Head.append("Sec-WebSocket-Version: 13\r\n");
  auto AddLine = [&](std::string_view Line) {
    CheckHeadText(Line);
    if (!TrimBlanks(Line).empty()) Head.append(TrimBlanks(Line)).append("\r\n");
  };
  for (const auto& Line : FCustomHeaders) AddLine(Line);
  AddLine(CookieLine());
  if (!FAuthorization.empty()) AddLine("Authorization: " + FAuthorization);
  Head.append("\r\n");
  return Head;
}

void TWebSocket::ReceiveLoop(const std::atomic<bool>& Stop) {
  uint8_t Raw[16];
  RandomBytes(Raw, sizeof Raw);
  Raw[0] = 0;
  for (size_t I = 1; I < sizeof Raw; ++I) Raw[I] = uint8_t(Raw[I] % 255);
  std::string Key = Base64EncodeBuffer(Raw, sizeof Raw);
  FSign = SHA1Base64(Key + std::string(AcceptGUID));
  SendRequest(BuildHead(FURL, Key));
  {
    std::lock_guard<std::mutex> Guard(FShared->Lock);
    if (Stop) return;
    FShared->LiveHandle = FSocket->Handle();
  }
  ReadResponseHead();
  if (FResponseCode != 101 || !HasToken(GetHeader("Connection"), "Upgrade") ||
      !SameText(TrimBlanks(GetHeader("Upgrade")), "websocket") || GetHeader("Sec-Websocket-Accept") != FSign)
    return;
  FSocket->SetTimeout(0);  // messages come whenever the other side sends one
  ReceiveFrames(
      *FSocket, [&](const std::string& Message, bool Text) { Deliver(Message, Text, Stop); }, Stop);
}

void TWebSocket::Deliver(const std::string& Message, bool Text, const std::atomic<bool>& Stop) {
  std::shared_ptr<TShared> Shared = FShared;
  uint64_t Session, Ticket;
  {
    std::lock_guard<std::mutex> Guard(Shared->Lock);
    Session = Shared->Session;
    Ticket = ++Shared->Ticket;
  }
  auto Task = [Shared, Session, Ticket, Message, Text] {
    TWebSocket* Owner;
    {
      std::lock_guard<std::mutex> Guard(Shared->Lock);
      Owner = Shared->Session == Session ? Shared->Owner : nullptr;
    }
    if (Owner) {
      Owner->FData = Message;
      Owner->FText = Text;
      try {
        Owner->DoMessage();
      } catch (...) {
        // A handler's failure must not cross into the receiving thread.
      }
    }
    {
      std::lock_guard<std::mutex> Guard(Shared->Lock);
      if (Owner && Shared->Owner == Owner) {
        Owner->FData.clear();
        Owner->FText = false;
      }
      Shared->Done = std::max(Shared->Done, Ticket);
    }
    Shared->Changed.notify_all();
  };
  if (!FPoster) {
    Task();
    return;
  }
  FPoster(std::move(Task));
  std::unique_lock<std::mutex> Wait(Shared->Lock);
  Shared->Changed.wait(Wait, [&] { return Shared->Done >= Ticket || Stop; });
}

void TWebSocket::RunSession(const std::atomic<bool>& Stop) {
  uint64_t Session;
  {
    std::lock_guard<std::mutex> Guard(FShared->Lock);
    Session = FShared->Session;
  }
  FActive = true;
  try {
    try {
      ReceiveLoop(Stop);
    } catch (const ESSLError& E) {
      if (Stop || E.Code() != SEC_I_CONTEXT_EXPIRED) throw;
      TCustomHTTPClient::Close();
      ReceiveLoop(Stop);
    }
  } catch (...) {
    // The owner learns of the end through OnDisconnect.
  }
  {
    std::lock_guard<std::mutex> Guard(FShared->Lock);
    FShared->LiveHandle = -1;
  }
  TCustomHTTPClient::Close();
  if (Stop) return;
  std::shared_ptr<TShared> Shared = FShared;
  RunOnOwner([Shared, Session] {
    TWebSocket* Owner;
    {
      std::lock_guard<std::mutex> Guard(Shared->Lock);
      Owner = Shared->Session == Session ? Shared->Owner : nullptr;
    }
    if (Owner) Owner->SessionEnded();
  });
}

void TWebSocket::SessionEnded() {
  FActive = false;
  try {
    if (FOnDisconnect) FOnDisconnect(*this);
  } catch (...) {
    // A handler's failure must not cross into the caller's thread.
  }
}

}  // namespace Vantrel
