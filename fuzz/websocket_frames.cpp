// Any bytes as what a WebSocket server sends after the upgrade, read by the
// client's frame loop over an in-memory transport, and the same bytes taken
// apart by the frame helpers. The first byte picks the read size.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vantrel.WebSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  std::string Bytes(reinterpret_cast<const char*>(Data + 1), Size - 1);
  Vantrel::TMemorySocket Socket(Bytes, size_t(Data[0]) * 3 + 1);
  std::atomic<bool> Stop{false};
  try {
    Vantrel::ReceiveFrames(
        Socket,
        [](const std::string& Message, bool) {
          if (Message.size() > Vantrel::MaxWebSocketMessage) std::abort();
        },
        Stop);
  } catch (const std::exception&) {
  }
  Vantrel::TWebSocketMessage Frame;
  Frame.FData = Bytes;
  std::string Message;
  bool Text = false;
  while (Frame.PayloadLength() && Frame.Complete()) {
    if (Frame.IsPing()) (void)Frame.MakePong();
    if (!Frame.TakePayload(Message, Text)) break;
    Frame.DropFrame();
  }
  return 0;
}
