// The program's own TLS 1.2 client engine (RFC 5246, ECDHE suites of
// RFC 5289 / RFC 8422, server name indication RFC 6066, renegotiation
// indication RFC 5746) and its socket for the HTTP client.
//
// TTinyTLS never touches a socket: records it emits leave through
// OnSendData, received records are pushed in one at a time with
// ProcessRecord. The client certificate chain and the signature of the
// handshake hash come from the owner through events, so that a card whose
// key never leaves it can answer them. The engine never sends an alert and
// never renegotiates; every failure is an exception and leaves the engine to
// be Reset before the next connection.
//
// Layers: the crypto layer (hashes, PRF, key exchanges, record ciphers) is
// the only code of the engine that calls libcrypto; its failures are
// NTSTATUS-style codes (Vantrel.Winapi.BCrypt) turned into TLSAlert by
// CheckStatus. The server's chain is checked by the trust store's chain
// check (Vantrel.WinSSPI: name, strength, revocation; its CRLs may be
// fetched over http while the Certificate message is handled). The
// handshake is driven by a table of expected messages per shape (see
// THandshakeStep).
//
// Bounds: a record holds at most MaxRecordFragment bytes; a handshake
// message, reassembled across records, at most MaxHandshakeMessage bytes;
// every field is read through TByteReader. Secrets (pre-master and master
// secrets, key blocks) are wiped when released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.HTTPClient.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Vantrel {

// ---- Results of the crypto layer ----

// 0 passes; any other status raises TLSAlert(fatal, decrypt_error, NTStatusText).
void CheckStatus(uint32_t Status);

// ---- Wire constants ----

enum TContentType : uint8_t {
  ctChangeCipherSpec = 20,
  ctAlert = 21,
  ctHandshake = 22,
  ctApplicationData = 23,
};

enum THandshakeType : uint8_t {
  htHelloRequest = 0,
  htClientHello = 1,
  htServerHello = 2,
  htCertificate = 11,
  htServerKeyExchange = 12,
  htCertificateRequest = 13,
  htServerHelloDone = 14,
  htCertificateVerify = 15,
  htClientKeyExchange = 16,
  htFinished = 20,
};

// Named groups: each value is its IANA group number.
enum class TCurveName : uint16_t { NoCurve = 0, secp256r1 = 23, secp384r1 = 24, x25519 = 29 };

inline constexpr uint16_t TLS_VERSION_1_2 = 0x0303;
inline constexpr size_t MaxRecordFragment = 32767;
inline constexpr size_t MaxHandshakeMessage = 65536;

struct TAlert {
  uint8_t level = 0;
  uint8_t description = 0;
};

// ---- Exceptions ----

// An error the engine detected; always fatal; nothing is sent to the server.
class TLSAlert : public std::runtime_error {
 public:
  TLSAlert(uint8_t Level, uint8_t Description, const std::string& Message)
      : std::runtime_error(Message), FLevel(Level), FDescription(Description) {}
  uint8_t Level() const { return FLevel; }
  uint8_t Description() const { return FDescription; }

 private:
  uint8_t FLevel;
  uint8_t FDescription;
};

// Text + " overflow" (record_overflow), + " decode error" (decode_error),
// + " handshake failure" (handshake_failure).
[[noreturn]] void RaiseOverflow(std::string_view Text);
[[noreturn]] void RaiseDecodeError(std::string_view Text);
[[noreturn]] void RaiseHandshakeFailure(std::string_view Text);

// An alert record received from the server.
class ETLSAlert : public std::runtime_error {
 public:
  ETLSAlert(TAlert Alert, const std::string& Message) : std::runtime_error(Message), FAlert(Alert) {}
  const TAlert& Alert() const { return FAlert; }

 private:
  TAlert FAlert;
};

// The server certificate chain was refused; Status is the policy's error.
class ECertException : public std::runtime_error {
 public:
  ECertException(const std::string& Message, uint32_t Status)
      : std::runtime_error(Message), FStatus(Status) {}
  uint32_t Status() const { return FStatus; }

 private:
  uint32_t FStatus;
};

// ---- Crypto layer ----

using TRandom = std::array<uint8_t, 32>;  // 4-byte time + 28 random bytes

// A public key taken from a DER certificate (RSA or EC); empty when none.
struct TEVPKey;
class TPublicKey {
 public:
  // STATUS_INVALID_PARAMETER when the certificate cannot be read.
  static uint32_t FromCertificate(std::string_view DER, TPublicKey& Key);
  bool Empty() const { return !FKey; }
  size_t Size() const;  // bytes of a signature or an RSA output
  // Signature scheme of RFC 5246 §7.4.1.4.1 (hash byte, signature byte).
  uint32_t Verify(uint16_t Scheme, std::string_view Data, std::string_view Signature) const;
  // RSA PKCS #1 v1.5 encryption (RFC 8017 §7.2); Out gets Size() bytes.
  uint32_t EncryptPKCS1(std::string_view In, std::string& Out) const;

 private:
  std::shared_ptr<TEVPKey> FKey;
};

class IHashAlgorithm {
 public:
  virtual ~IHashAlgorithm() = default;
  virtual int HashID() const = 0;  // the TLS hash code: 2 SHA-1, 4 SHA-256, 5 SHA-384
  virtual size_t HashSize() const = 0;
  virtual size_t BlockSize() const = 0;
  virtual void Update(const void* Data, size_t Size) = 0;
  virtual std::string Digest() = 0;  // of what Update gathered; restarts
  virtual std::string Hash(const void* Data, size_t Size) const = 0;
  virtual std::string HMAC(std::string_view Data, std::string_view Key) const = 0;
  // P_hash of RFC 5246 §5: exactly Len bytes into Data.
  virtual void PRF(std::string_view Seed, std::string_view Secret, std::string& Data, size_t Len) const = 0;
  void PRF(std::string_view Label, std::string_view Random, std::string_view Secret, std::string& Data,
           size_t Len) const;
  void PRF(std::string_view Label, const TRandom& Random1, const TRandom& Random2, std::string_view Secret,
           std::string& Data, size_t Len) const;
};

struct TEVPHashState;
class TCustomHashAlgorithm : public IHashAlgorithm {
 public:
  ~TCustomHashAlgorithm() override;
  int HashID() const override { return FHashID; }
  size_t HashSize() const override { return FHashSize; }
  size_t BlockSize() const override { return FBlockSize; }
  void Update(const void* Data, size_t Size) override;
  std::string Digest() override;
  std::string Hash(const void* Data, size_t Size) const override;
  std::string HMAC(std::string_view Data, std::string_view Key) const override;
  using IHashAlgorithm::PRF;
  void PRF(std::string_view Seed, std::string_view Secret, std::string& Data, size_t Len) const override;

 protected:
  TCustomHashAlgorithm(const char* Name, int HashID, size_t HashSize, size_t BlockSize);

 private:
  std::unique_ptr<TEVPHashState> FState;
  int FHashID;
  size_t FHashSize;
  size_t FBlockSize;
};

class TSHA1Hash : public TCustomHashAlgorithm {
 public:
  TSHA1Hash();
};

class TSHA2Hash : public TCustomHashAlgorithm {
 public:
  // 224, 256, 384 or 512; any other raises "Unsupported BitCount".
  explicit TSHA2Hash(int BitCount);
};

class IClientKeyExchangeAlgorithm {
 public:
  virtual ~IClientKeyExchangeAlgorithm() = default;
  virtual const std::string& PreMasterSecret() const = 0;
  virtual std::string ClientKey() const = 0;  // the ClientKeyExchange body
};

class TCustomRSAClientKeyExchange : public IClientKeyExchangeAlgorithm {
 public:
  ~TCustomRSAClientKeyExchange() override { WipeBytes(FPreMasterSecret); }
  const std::string& PreMasterSecret() const override { return FPreMasterSecret; }

 protected:
  std::string FPreMasterSecret;
};

// RFC 5246 §7.4.7.1: 03 03 + 46 random bytes, encrypted to the server key.
class TRSAClientKeyExchange : public TCustomRSAClientKeyExchange {
 public:
  explicit TRSAClientKeyExchange(const TPublicKey& Key);
  std::string ClientKey() const override { return FClientKey; }

 private:
  std::string FClientKey;
};

// RFC 8422 §5.10 / RFC 7748 §6: an ephemeral key on the server's group;
// the pre-master secret is the shared secret in its wire byte order.
class TECDHE_RSAKeyExchange : public TCustomRSAClientKeyExchange {
 public:
  TECDHE_RSAKeyExchange(TCurveName ACurveName, std::string_view Key);
  std::string ClientKey() const override;

 private:
  std::string FPublicPoint;  // our point, encoded as on the wire
};

// Encoded point size of a group: 65, 97 or 32; 0 for others.
size_t CurvePointSize(TCurveName Curve);

// A record as received: its fragment stays in the caller's buffer until a
// cipher decrypts it into its own.
struct TTLSRecord {
  uint8_t ContentType = 0;
  uint16_t Version = 0;
  std::string_view Fragment;
};

class ICipherAlgorithm {
 public:
  virtual ~ICipherAlgorithm() = default;
  // Key block of RFC 5246 §6.3 in the client's order.
  virtual void SetMasterSecret(const TRandom& ClientRandom, const TRandom& ServerRandom,
                               std::string_view MasterSecret, const IHashAlgorithm& Hash) = 0;
  virtual size_t MaxSize() const = 0;                  // largest plaintext per record
  virtual size_t EncryptSize(size_t Size) const = 0;   // fragment size for Size bytes
  // Replaces Record.Fragment with its plaintext, held by the cipher until
  // the next Decrypt.
  virtual void Decrypt(TTLSRecord& Record) = 0;
  // Appends the protected record (header included) of Plaintext to Out.
  virtual void Encrypt(uint8_t ContentType, std::string_view Plaintext, std::string& Out) = 0;
};

struct TEVPCipherState;
class TCustomAESCipher : public ICipherAlgorithm {
 public:
  ~TCustomAESCipher() override;
  void SetMasterSecret(const TRandom& ClientRandom, const TRandom& ServerRandom, std::string_view MasterSecret,
                       const IHashAlgorithm& Hash) override;
  uint64_t EncryptSeqNum = 0;
  uint64_t DecryptSeqNum = 0;

 protected:
  TCustomAESCipher(size_t AKeySize, size_t AMacSize, size_t AIVSize, bool AServerSide);
  virtual void KeysReady() = 0;

  size_t KeySize;
  size_t MacSize;
  size_t IVSize;
  bool ServerSide;
  std::string KeyBlock;
  std::string_view EncrHash, DecrHash, EncrKey, DecrKey, LocalIV, RemoteIV;
  std::unique_ptr<TEVPCipherState> FState;
  std::string FPlain;  // the decrypted fragment
};

// RFC 5288: AES-GCM with a 4-byte implicit and 8-byte explicit nonce.
class TAESCipherGCM : public TCustomAESCipher {
 public:
  TAESCipherGCM(int BitSize, bool ServerSide);
  size_t MaxSize() const override { return 16360; }
  size_t EncryptSize(size_t Size) const override { return Size + 24; }
  void Decrypt(TTLSRecord& Record) override;
  void Encrypt(uint8_t ContentType, std::string_view Plaintext, std::string& Out) override;

 protected:
  void KeysReady() override;
};

// RFC 5246 §6.2.3.2: AES-CBC with explicit IV, HMAC before padding.
class TAESCipherCBC : public TCustomAESCipher {
 public:
  TAESCipherCBC(int BitSize, std::shared_ptr<IHashAlgorithm> HashAlgorithm, bool ServerSide);
  size_t MaxSize() const override { return 16384 - MacSize - 32; }
  size_t EncryptSize(size_t Size) const override { return Size + MacSize + 32 - ((Size + MacSize) % 16); }
  void Decrypt(TTLSRecord& Record) override;
  void Encrypt(uint8_t ContentType, std::string_view Plaintext, std::string& Out) override;

 protected:
  void KeysReady() override;

 private:
  std::shared_ptr<IHashAlgorithm> HashAlgo;
};

// ---- Handshake ----

// One step of a handshake shape: a message the server must send (a
// handshake type, or ChangeCipherSpec), or the client flight.
struct THandshakeStep {
  enum TKind : uint8_t { Receive, ReceiveChangeCipherSpec, SendClientFlight } Kind;
  uint8_t Type;   // handshake type for Receive
  bool Optional;  // may be left out by the server
};

// The shapes: ECDHE key exchange (ServerKeyExchange) and RSA key exchange.
// Client authentication is the optional CertificateRequest of each.
struct THandshakeShape {
  const THandshakeStep* Steps;
  size_t Count;
};
const THandshakeShape& EcdheHandshakeShape();
const THandshakeShape& RsaHandshakeShape();

class TTinyTLS {
 public:
  using TSendDataEvent = std::function<void(TTinyTLS& Sender, const void* Data, size_t Size)>;
  // The DER chain to send, end-entity first; empty sends an empty Certificate.
  using TCertificateRequestEvent = std::function<void(TTinyTLS& Sender, std::vector<std::string>& Certificates)>;
  // Hash: the digest of the transcript with the hash of the chosen scheme
  // (20 bytes SHA-1, 32 SHA-256, 48 SHA-384); Signature: its RSA PKCS #1
  // v1.5 signature (the handler wraps the digest in its DigestInfo).
  using TCertificateVerifyEvent =
      std::function<void(TTinyTLS& Sender, const std::string& Hash, std::string& Signature)>;
  // Fired only when the server chain failed the check; setting Status to 0
  // accepts the server.
  using TVerifyServerEvent =
      std::function<void(TTinyTLS& Sender, const std::vector<std::string>& Certificates, uint32_t& Status)>;

  TTinyTLS();
  virtual ~TTinyTLS();
  TTinyTLS(const TTinyTLS&) = delete;
  TTinyTLS& operator=(const TTinyTLS&) = delete;

  TSendDataEvent OnSendData;
  TCertificateRequestEvent OnCertificateRequest;
  TCertificateVerifyEvent OnCertificateVerify;
  TVerifyServerEvent OnVerifyServer;

  // Empty state for a new connection; secrets wiped.
  void Reset();
  void SendClientHello();
  // One whole record, 5-byte header included.
  void ProcessRecord(std::string_view Record);
  void SendKeyExchangeAndFinished();
  // Cuts Data into application-data records of at most MaxSize bytes.
  void SendApplicationData(const void* Data, size_t Size);
  // A received record of type 23, decrypted in place: true with the
  // plaintext in Record; false after close_notify.
  bool DecodeApplicationData(TTLSRecord& Record);

  bool Active() const { return FActive; }
  bool ServerDone() const { return FServerDone; }
  const std::string& Host() const { return FHost; }
  void SetHost(std::string Value) { FHost = std::move(Value); }
  uint16_t CipherSuite() const { return FCipherSuite; }
  TCurveName NamedCurve() const { return FCurve; }
  std::vector<uint16_t>& CipherSuites() { return FCipherSuites; }
  std::vector<uint16_t>& SignatureSchemes() { return FSignatures; }
  std::vector<TCurveName>& SupportedGroups() { return FSupportedGroups; }
  const std::string& CertificateTypes() const { return FCertificateTypes; }
  const std::vector<uint16_t>& RequestedSignatureSchemes() const { return FSignatureSchemes; }
  const std::vector<std::string>& DistinguishedNames() const { return FDistinguishedNames; }
  const std::vector<std::string>& ServerCertificates() const { return FCertificates; }

 protected:
  virtual void CertificateRequest(std::vector<std::string>& Certificates);
  virtual void CertificateVerify(const std::string& Hash, std::string& Signature);

 private:
  void SendRecord(uint8_t ContentType, std::string_view Fragment);
  void FlushOutput();
  void SendHandshake(uint8_t Type, std::string_view Body);
  void ProcessHandshakeBytes(std::string_view Bytes);
  void DispatchHandshake(uint8_t Type, std::string_view Message);
  void ExpectStep(THandshakeStep::TKind Kind, uint8_t Type);
  void ProcessAlert(std::string_view Fragment);
  void ServerHello(std::string_view Body);
  void Certificate(std::string_view Body);
  void ServerKeyExchange(std::string_view Body);
  void CertificateRequestMessage(std::string_view Body);
  void ServerHelloDone(std::string_view Body);
  void Finished(std::string_view Body);
  void ClearHandshakeState();

  enum TProtocolStates : uint8_t { psClientHello = 1, psServerHello = 2, psServerHelloDone = 4, psHelloRequest = 8 };
  uint8_t FState = 0;
  std::vector<uint16_t> FCipherSuites;
  std::vector<uint8_t> FCompressions;
  std::vector<TCurveName> FSupportedGroups;
  std::vector<uint16_t> FSignatures;
  std::string FHost;
  bool FActive = false;
  uint16_t FCipherSuite = 0;
  TCurveName FCurve = TCurveName::NoCurve;
  std::unique_ptr<IClientKeyExchangeAlgorithm> FKeyExchangeAlgorithm;
  std::shared_ptr<ICipherAlgorithm> FNewCipherAlgorithm, FCipherEncode, FCipherDecode;
  std::shared_ptr<IHashAlgorithm> FHashAlgorithm;
  std::string FHandShakeData;  // transcript, headers included
  std::string FPending;        // a handshake message not yet whole
  TRandom FClientRandom{}, FServerRandom{};
  std::string FMasterSecret;
  std::string FSessionID;
  std::vector<std::string> FCertificates;
  TPublicKey FPubKey;
  bool FCertificateRequested = false;
  bool FServerDone = false;
  struct {
    uint8_t Len = 0;
    std::array<uint8_t, 12> Client{}, Server{};
  } FFinish;
  std::string FCertificateTypes;
  std::vector<uint16_t> FSignatureSchemes;
  std::vector<std::string> FDistinguishedNames;
  const THandshakeShape* FShape = nullptr;
  size_t FStep = 0;
  std::string FOut;            // outgoing records
  bool FHoldOutput = false;    // gather a flight into one write
};

// The engine object of the HTTP client.
class TTLS : public TTinyTLS {};

// Frames records out of a byte stream: a 64 KiB buffer received into ahead
// of the consumer; each record is handed out whole, in place.
class TTLSRecordReader {
 public:
  static constexpr size_t Capacity = 65536;
  // Reads at most Size bytes into Data; 0 at the end of the stream.
  using TSource = std::function<size_t(void* Data, size_t Size)>;

  TTLSRecordReader();
  // The next whole record, header included, valid until the next call.
  // The end of the stream raises "Read Error"; a record that cannot fit the
  // buffer raises overflow ("Record").
  std::string_view Next(const TSource& Source);
  void Clear() { FStart = FTail = 0; }

 private:
  std::unique_ptr<char[]> FBuffer;
  size_t FStart = 0;
  size_t FTail = 0;
};

// An HTTPS connection over the own engine. Records are read in the caller's
// thread, so nothing reads the descriptor once the socket is closed.
class TTinyTLSSocket : public TCustomTLSSocket {
 public:
  explicit TTinyTLSSocket(std::shared_ptr<TTinyTLS> ATLS = nullptr);
  ~TTinyTLSSocket() override;

  int Read(void* Data, size_t Size) override;
  int Write(const void* Data, size_t Size) override;
  bool PeerRefusedHandshake(const std::exception& E) const override;
  TTinyTLS& TLS() { return *FTLS; }

 protected:
  void StartTLS() override;

 private:
  std::string_view NextRecord();
  std::shared_ptr<TTinyTLS> FTLS;
  TTLSRecordReader FReader;
  bool FStarted = false;
};

// Makes the HTTP client's https connections use TTinyTLSSocket, and
// registers the store of an engine's client certificate for the system
// client (RegisterOwnEngineStore): called at start-up; creating the first
// engine does it too. Later calls do nothing.
void RegisterTinyTLSEngine();

}  // namespace Vantrel
