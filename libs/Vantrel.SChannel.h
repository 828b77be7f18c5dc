// The system TLS client: TLS 1.2 over OpenSSL's libssl, used by the HTTP
// client when a server refuses the own engine's handshake.
//
// TSSLContext drives one client connection on a connected socket handle.
// All contexts share one SSL_CTX held by TSecur32, and every handshake of
// every thread runs under its lock, one after the other. The server's chain
// is checked after the handshake, outside the lock, by the trust store's
// chain check (Vantrel.WinSSPI: host name, strength, revocation from the
// certificates' CRLs, as the own engine does), and refused with the
// SSPI-style policy statuses (0x800B0109 untrusted root, 0x800B010F wrong
// name, 0x800B010C revoked, ...).
// A client certificate is taken from a TCertificateStore when the server
// asks for one, matched against the server's list of accepted issuers; its
// private-key operation goes to the holder's signing callback, so the key
// itself never has to be available to this process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.HTTPClient.h"
#include "Vantrel.WinSSPI.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace Vantrel {

// ---- Shared provider ----

// The process-wide TLS provider: one SSL_CTX (TLS 1.2, AES-GCM/CBC with
// SHA-256/384). Lock hands the shared instance with the handshake lock
// taken (nullptr, lock released, when the provider cannot be set up); UnLock releases it and, once Shutdown was requested, drops the
// instance so that every later Lock sets up a fresh one. The lock is one
// for the process, so renewals never let two handshakes overlap.
class TSecur32 {
 public:
  ~TSecur32();
  TSecur32(const TSecur32&) = delete;
  TSecur32& operator=(const TSecur32&) = delete;

  static std::shared_ptr<TSecur32> Lock();
  static void UnLock(const std::shared_ptr<TSecur32>& Instance);
  static void Shutdown();

  SSL_CTX* Context() const { return FContext; }

 private:
  TSecur32() = default;
  bool Load();

  SSL_CTX* FContext = nullptr;
};

// ---- Context ----

class TSSLContext {
 public:
  // The TLS 1.2 client bits of the protocol mask.
  static constexpr uint32_t TLS12Protocols = 0x00000C00;

  TSSLContext() = default;
  ~TSSLContext();
  TSSLContext(const TSSLContext&) = delete;
  TSSLContext& operator=(const TSSLContext&) = delete;

  // The whole client handshake on a connected socket and the check of the
  // server certificate for Host; Store nullptr: MyStore(). False with ErrNo
  // and Error set on failure.
  bool Start(int Socket, uint32_t Protocols, const std::string& Host, TCertificateStore* Store);
  // Up to Size decrypted bytes; 0 when the server ended the session
  // (close_notify); -1 on failure. A connection closed without close_notify
  // may have cut the data short: a failure with Error "Read Error".
  int Read(void* Data, int Size);
  // Encrypts and sends all Size bytes; Size, or 0 or less on failure.
  int Write(const void* Data, int Size);
  // Decrypted data is available, waiting up to AMSec milliseconds for input.
  bool Pending(int AMSec);
  // Renews the shared provider for the next start.
  void Shutdown();
  // Receives after Deadline fail as timed out (see TTCPSocket::SetDeadline).
  void SetDeadline(std::chrono::steady_clock::time_point Deadline) { FDeadline = Deadline; }

  int32_t ErrNo() const { return FErrNo; }
  const std::string& Error() const { return FError; }
  uint32_t CertStatus() const { return FCertStatus; }

 private:
  friend struct TSSLContextAccess;
  void Fail(int32_t Code, std::string Text);
  bool Handshake(SSL_CTX* Context);
  bool CheckServer();
  int FailedIO(int Result);
  void Cleanup();

  int32_t FErrNo = 0;
  std::string FError;
  uint32_t FCertStatus = 0;
  int FSocket = -1;
  std::string FServername;
  TCertificateStore* FStore = nullptr;
  uint32_t FProtocols = 0;
  SSL* FSSL = nullptr;
  // The certificate chosen for this connection; its key calls back into it.
  std::shared_ptr<const TClientCertificate> FHolder;
  // The last socket failure seen by the transport below libssl.
  int32_t FSocketError = 0;
  std::string FSocketText;
  std::chrono::steady_clock::time_point FDeadline = std::chrono::steady_clock::time_point::max();
};

// ---- Socket ----

// A connection of the HTTP client over a TSSLContext; Store nullptr: MyStore().
class TSChannelSocket : public TCustomTLSSocket {
 public:
  explicit TSChannelSocket(std::shared_ptr<TCertificateStore> Store = nullptr) : FStore(std::move(Store)) {}
  ~TSChannelSocket() override;

  int Read(void* Data, size_t Size) override;
  int Write(const void* Data, size_t Size) override;

 protected:
  void StartTLS() override;
  void OnDisconnect() override;

 private:
  std::unique_ptr<TSSLContext> FSSL;
  std::shared_ptr<TCertificateStore> FStore;
};

// Makes TSChannelSocket the HTTP client's system TLS engine. By default a
// client's connections present its own engine's certificate (so that a
// connection reopened here after the own engine was refused keeps it),
// else MyStore()'s.
void RegisterSChannelSocketMaker(TStoreSelector Selector = StoreOfOwnEngine);

}  // namespace Vantrel
