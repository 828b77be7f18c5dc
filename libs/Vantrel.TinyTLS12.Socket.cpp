// The HTTP client's socket over the own TLS engine. Records are read and
// handed to the engine in the caller's thread, one at a time, so that no
// reader can touch the descriptor after the socket is closed.
#include <cstring>

#include "Vantrel.ByteReader.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.WinSSPI.h"

namespace Vantrel {

TTinyTLSSocket::TTinyTLSSocket(std::shared_ptr<TTinyTLS> ATLS)
    : FTLS(ATLS ? std::move(ATLS) : std::make_shared<TTLS>()) {
  FTLS->OnSendData = [this](TTinyTLS&, const void* Data, size_t Size) {
    auto* P = static_cast<const char*>(Data);
    while (Size) {
      int Sent = TTCPSocket::Write(P, Size);
      P += Sent;
      Size -= size_t(Sent);
    }
  };
}

TTinyTLSSocket::~TTinyTLSSocket() {
  FTLS->OnSendData = nullptr;  // the engine may outlive this socket
  Close();
}

std::string_view TTinyTLSSocket::NextRecord() {
  return FReader.Next([this](void* Data, size_t Size) -> size_t {
    try {
      return size_t(TTCPSocket::Read(Data, Size));
    } catch (const EClosedSocketError& E) {
      if (E.Code() != 0) throw;
      return 0;  // the peer's close without close_notify: "Read Error"
    }
  });
}

void TTinyTLSSocket::StartTLS() {
  FStarted = false;
  FReader.Clear();
  FTLS->Reset();
  FTLS->SetHost(FHost);
  FTLS->SendClientHello();
  while (!FTLS->ServerDone()) FTLS->ProcessRecord(NextRecord());
  FTLS->SendKeyExchangeAndFinished();
  while (!FTLS->Active()) FTLS->ProcessRecord(NextRecord());
  FStarted = true;
}

int TTinyTLSSocket::Write(const void* Data, size_t Size) {
  if (!FStarted) return TTCPSocket::Write(Data, Size);
  Size = std::min<size_t>(Size, size_t(1) << 30);
  FTLS->SendApplicationData(Data, Size);
  return int(Size);
}

int TTinyTLSSocket::Read(void* Data, size_t Size) {
  if (!FStarted) return TTCPSocket::Read(Data, Size);
  if (FCount) return int(TakePlaintext(Data, Size));
  for (;;) {
    std::string_view Raw = NextRecord();
    TByteReader R(Raw);
    TTLSRecord Record;
    uint16_t Length = 0;
    R.ReadU8(Record.ContentType);
    R.ReadU16(Record.Version);
    R.ReadU16(Length);
    R.ReadBytes(Length, Record.Fragment);
    if (Record.ContentType != ctApplicationData) {
      // Alerts and a HelloRequest; close_notify is the end of the stream.
      try {
        FTLS->ProcessRecord(Raw);
      } catch (const ETLSAlert& E) {
        if (E.Alert().description == 0) throw EClosedSocketError(E.what(), 0);
        throw;
      }
      continue;
    }
    FTLS->DecodeApplicationData(Record);
    if (Record.Fragment.empty()) continue;
    if (Record.Fragment.size() <= Size) {
      std::memcpy(Data, Record.Fragment.data(), Record.Fragment.size());
      return int(Record.Fragment.size());
    }
    PutPlaintext(Record.Fragment);  // a record is at most 16 KiB: always fits
    return int(TakePlaintext(Data, Size));
  }
}

bool TTinyTLSSocket::PeerRefusedHandshake(const std::exception& E) const {
  return dynamic_cast<const ETLSAlert*>(&E) != nullptr;
}

namespace {

// The client certificate of a client's own engine as a store: its chain from
// OnCertificateRequest, its signature through OnCertificateVerify. nullptr
// when the client has no engine or the engine no such events.
std::shared_ptr<TCertificateStore> StoreOfEngine(TCustomHTTPClient& Client) {
  TTinyTLS* Engine = Client.TLS();
  if (!Engine || !Engine->OnCertificateRequest || !Engine->OnCertificateVerify) return nullptr;
  TClientCertificate Certificate;
  Engine->OnCertificateRequest(*Engine, Certificate.Chain);
  if (Certificate.Chain.empty()) return nullptr;
  // The engine lives as long as the client, which outlives its connections.
  Certificate.Sign = [Engine](std::string_view, std::string_view Digest) {
    std::string Signature;
    Engine->OnCertificateVerify(*Engine, std::string(Digest), Signature);
    return Signature;
  };
  auto Store = std::make_shared<TCertificateStore>();
  Store->Add(std::move(Certificate));
  return Store;
}

}  // namespace

void RegisterTinyTLSEngine() {
  static const bool Done = [] {
    RegisterOwnEngineStore(StoreOfEngine);
    RegisterTLSSocketMaker(TTLSEngine::TinyTLS, [](TCustomHTTPClient& Client) {
      if (!Client.TLS()) Client.ReplaceTLS(std::make_shared<TTLS>());
      // The client owns its engine and drops its socket before it (and
      // before replacing the engine would matter: one connection at a time).
      std::shared_ptr<TTinyTLS> Engine(std::shared_ptr<void>(), Client.TLS());
      return std::unique_ptr<TCustomTLSSocket>(std::make_unique<TTinyTLSSocket>(Engine));
    });
    return true;
  }();
  (void)Done;
}

}  // namespace Vantrel
