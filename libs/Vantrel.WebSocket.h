// A receive-only WebSocket client (RFC 6455, version 13) on the HTTP
// client's connections, so it has the same TLS engines and fallback.
//
// TWebSocket::Open starts a receiving thread (TWebSocketThread) that does
// the opening handshake and reads frames: pings are answered with pongs,
// the server's pongs are ignored, fragments are joined, and each complete
// message is handed to the owner's OnMessage. A session ends by itself on
// a refused upgrade, a close frame, a masked or oversized frame, or a
// connection failure; OnDisconnect then tells the owner. Close stops a
// session without OnDisconnect and returns promptly, also from inside a
// handler.
//
// The handlers run on the owner's thread through the poster the owner sets
// (a window toolkit's queued call); the receiving thread waits for each
// message's handler. Without a poster they run on the receiving thread,
// and must then not call Open or Close.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "Vantrel.HTTPClient.h"

namespace Vantrel {

// A message larger than this ends the session.
inline constexpr uint64_t MaxWebSocketMessage = uint64_t(16) << 20;

// One frame as a client sends it: byte 0 = FIN and opcode (0x81 text, 0x82
// binary, 0x8A pong), the mask bit with the length form, the extended
// length big-endian, a masking key from the cryptographic random generator,
// the payload XORed with it.
std::string EncodeClientFrame(uint8_t Opcode, std::string_view Data);

// One frame, or a buffer whose front is a frame.
struct TWebSocketMessage {
  std::string FData;
  size_t FStart = 0;  // payload offset in FData, once PayloadLength succeeded
  uint64_t FSize = 0;

  void SetText(std::string_view Utf8) { SetData(Utf8, true); }
  // FData := one masked frame of Data (opcode 0x81 when IsText, else 0x82).
  void SetData(std::string_view Data, bool IsText);

  // Reads the frame header at the front of FData: false when it is not all
  // there yet; sets FStart (2, 4 or 10) and FSize (all 64 bits).
  bool PayloadLength();
  // The whole frame is in FData (after PayloadLength).
  bool Complete() const;
  bool IsPing() const;
  // The pong that answers this ping.
  std::string MakePong() const;
  // Appends the payload to Message and sets Text from a data frame's opcode
  // (a continuation keeps it); answers the FIN bit, false for a close frame.
  bool TakePayload(std::string& Message, bool& Text) const;
  // Removes the frame from the front of FData.
  void DropFrame();

 private:
  void CheckWhole() const;  // a frame header was read and the frame is whole
};

// Reads frames from Socket until the session ends by the peer: answers
// pings, ignores pongs, and hands each complete message to Deliver. Returns
// when a close frame, a masked frame or a message above
// MaxWebSocketMessage arrives, when the peer closes, or when Stop becomes
// true; other socket failures propagate.
void ReceiveFrames(TTCPSocket& Socket, const std::function<void(const std::string& Message, bool Text)>& Deliver,
                   const std::atomic<bool>& Stop);

class TWebSocket;

// The receiving thread of one session; joined when the object goes.
class TWebSocketThread {
 public:
  explicit TWebSocketThread(TWebSocket& Owner);
  ~TWebSocketThread();
  TWebSocketThread(const TWebSocketThread&) = delete;
  TWebSocketThread& operator=(const TWebSocketThread&) = delete;

  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  const std::atomic<bool>& TerminatedFlag() const { return FTerminated; }
  bool IsCurrent() const { return std::this_thread::get_id() == FThread.get_id(); }
  void Detach() { FThread.detach(); }

 private:
  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};

class TWebSocket : public TCustomHTTPClient {
 public:
  using TNotifyEvent = std::function<void(TWebSocket& Sender)>;
  // Runs a task on the owner's thread (queued; it need not wait).
  using TPoster = std::function<void(std::function<void()> Task)>;

  TWebSocket();
  ~TWebSocket() override;

  // Keeps the URL (ws, wss, http or https), stops any session and starts a
  // new one.
  void Open(std::string_view AURL);
  // Stops the session (no OnDisconnect), then drops the connection.
  void Close() override;

  void SetOnMessage(TNotifyEvent Event) { FOnMessage = std::move(Event); }
  void SetOnDisconnect(TNotifyEvent Event) { FOnDisconnect = std::move(Event); }
  void SetPoster(TPoster Poster) { FPoster = std::move(Poster); }

  // The message being handed over, during OnMessage only.
  const std::string& Data() const { return FData; }
  bool Text() const { return FText; }
  std::string AsUTF8() const { return FData; }
  bool Active() const { return FActive; }
  const std::string& URL() const { return FURL; }

  // The opening request head for AURL with Key as the Sec-WebSocket-Key
  // text; sets the host, port and TLS flag.
  std::string BuildHead(std::string_view AURL, std::string_view Key);

 protected:
  virtual void DoMessage();

 private:
  friend class TWebSocketThread;
  struct TShared;

  void RunSession(const std::atomic<bool>& Stop);
  void ReceiveLoop(const std::atomic<bool>& Stop);
  void Deliver(const std::string& Message, bool Text, const std::atomic<bool>& Stop);
  void SessionEnded();
  void RunOnOwner(std::function<void()> Task);

  std::atomic<bool> FActive{false};
  std::string FURL;
  std::string FSign;
  std::string FData;
  bool FText = false;
  TNotifyEvent FOnMessage;
  TNotifyEvent FOnDisconnect;
  TPoster FPoster;
  std::unique_ptr<TWebSocketThread> FThread;
  std::shared_ptr<TShared> FShared;
};

}  // namespace Vantrel
