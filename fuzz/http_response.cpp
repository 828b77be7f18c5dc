// Any bytes as a server's answer to two requests on one connection, read
// through THTTPClient over an in-memory transport. The first byte picks the
// read size and whether gzip is accepted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Vantrel.HTTPClient.h"

namespace {

class TFuzzClient : public Vantrel::THTTPClient {
 public:
  TFuzzClient(std::string AAnswer, size_t APiece) : FAnswer(std::move(AAnswer)), FPiece(APiece) {}

 protected:
  std::unique_ptr<Vantrel::TTCPSocket> OpenSocket() override {
    if (FOpened++ > 2) throw Vantrel::EClosedSocketError("connect", 10061);
    return std::make_unique<Vantrel::TMemorySocket>(FAnswer, FPiece);
  }

 private:
  std::string FAnswer;
  size_t FPiece;
  int FOpened = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  size_t Piece = (Data[0] & 0x7F) * 17 + 1;
  TFuzzClient Client(std::string(reinterpret_cast<const char*>(Data + 1), Size - 1), Piece);
  Client.SetAcceptGZIP(Data[0] & 0x80);
  Client.SetMaxBodySize(1 << 20);
  for (const char* Path : {"http://fuzz/1", "http://fuzz/2"}) {
    try {
      std::string Body;
      Client.Get(Path, Body);
      (void)Client.GetHeader("Location");
      (void)Client.CookiesToString();
    } catch (const std::exception&) {
    }
  }
  return 0;
}
