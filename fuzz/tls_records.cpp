// Server flights from any bytes: the input is the server's side of the
// stream, framed into records and fed to the engine after its ClientHello,
// through the client flight when the server's first flight completes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "Vantrel.TinyTLS12.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  Vantrel::TTinyTLS TLS;
  TLS.OnSendData = [](Vantrel::TTinyTLS&, const void*, size_t) {};
  // Go past the chain check so that the later messages are reached.
  TLS.OnVerifyServer = [](Vantrel::TTinyTLS&, const std::vector<std::string>&, uint32_t& Status) { Status = 0; };
  TLS.OnCertificateRequest = [](Vantrel::TTinyTLS&, std::vector<std::string>& Chain) { Chain = {"not a certificate"}; };
  TLS.OnCertificateVerify = [](Vantrel::TTinyTLS&, const std::string& Hash, std::string& Signature) {
    Signature = Hash;
  };
  TLS.SetHost("localhost");
  size_t At = 0;
  auto Source = [&](void* Out, size_t Want) {
    size_t Take = std::min(Want, Size - At);
    std::memcpy(Out, Data + At, Take);
    At += Take;
    return Take;
  };
  Vantrel::TTLSRecordReader Reader;
  try {
    TLS.SendClientHello();
    bool FlightSent = false;
    for (int Records = 0; Records < 1000; ++Records) {
      TLS.ProcessRecord(Reader.Next(Source));
      if (TLS.ServerDone() && !FlightSent) {
        TLS.SendKeyExchangeAndFinished();
        FlightSent = true;
      }
      if (TLS.Active()) {
        std::string_view Raw = Reader.Next(Source);
        Vantrel::TTLSRecord Record{uint8_t(Raw[0]), 0x0303, Raw.substr(5)};
        if (Record.ContentType == Vantrel::ctApplicationData) TLS.DecodeApplicationData(Record);
      }
    }
  } catch (const std::exception&) {
    // every refusal is an exception; only crashes and leaks matter here
  }
  return 0;
}
