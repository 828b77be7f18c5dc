// The client key goes through an RSA_METHOD whose sign operation calls the
// holder's callback; that interface is deprecated in OpenSSL 3 but is the
// one way to use a key that this process does not hold without a provider.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "Vantrel.SChannel.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Vantrel {

namespace {

std::string Hex8(uint32_t Value) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string Out(8, '0');
  for (int I = 7; I >= 0; --I, Value >>= 4) Out[size_t(I)] = Digits[Value & 15];
  return Out;
}

}  // namespace

// ---- Shared provider ----

namespace {

// One lock for the handshakes of all instances: a renewed provider must not
// let a new handshake run beside one still going on the old instance.
std::mutex HandshakeLock;
std::mutex SharedLock;  // guards the two below
std::shared_ptr<TSecur32> Shared;
bool ShutdownRequested = false;

}  // namespace

TSecur32::~TSecur32() { SSL_CTX_free(FContext); }

bool TSecur32::Load() {
  if (FContext) return true;
  // Not const: the setter's macro casts its argument to char*.
  static char ClientSigalgs[] = "RSA+SHA256:RSA+SHA384:RSA+SHA1";
  SSL_CTX* Context = SSL_CTX_new(TLS_client_method());
  bool Ok = Context && SSL_CTX_set_min_proto_version(Context, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(Context, TLS1_2_VERSION) == 1 &&
            // AES-256 and AES-128 with SHA-384 or SHA-256 only.
            SSL_CTX_set_cipher_list(Context, "AESGCM:AES+SHA256:AES+SHA384:!aNULL:!PSK:!SRP:!DSS") == 1 &&
            // The holder signs PKCS #1 v1.5 digests: no RSA-PSS for the client key.
            SSL_CTX_set1_client_sigalgs_list(Context, ClientSigalgs) == 1;
  ERR_clear_error();
  if (!Ok) {
    SSL_CTX_free(Context);
    return false;
  }
  // The server's chain is checked after the handshake, with the policy's own
  // statuses; libssl only collects it.
  SSL_CTX_set_verify(Context, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(Context, SSL_MODE_AUTO_RETRY);
  FContext = Context;
  return true;
}

std::shared_ptr<TSecur32> TSecur32::Lock() {
  HandshakeLock.lock();
  std::shared_ptr<TSecur32> Instance;
  {
    std::lock_guard<std::mutex> Guard(SharedLock);
    if (!Shared) Shared = std::shared_ptr<TSecur32>(new TSecur32);
    Instance = Shared;
  }
  if (!Instance->Load()) {
    HandshakeLock.unlock();
    return nullptr;
  }
  return Instance;
}

void TSecur32::UnLock(const std::shared_ptr<TSecur32>& Instance) {
  if (!Instance) return;
  {
    std::lock_guard<std::mutex> Guard(SharedLock);
    // The request stays: every later start sets the provider up afresh.
    if (ShutdownRequested && Shared == Instance) Shared.reset();
  }
  HandshakeLock.unlock();
}

void TSecur32::Shutdown() {
  std::lock_guard<std::mutex> Guard(SharedLock);
  ShutdownRequested = true;
}

// ---- The transport under libssl ----

// libssl reads and writes through this BIO so that the socket's own
// failures (and a peer that closes mid-handshake) are told apart from TLS
// failures.
struct TSSLContextAccess {
  static int Receive(BIO* B, char* Data, int Size) {
    auto* Self = static_cast<TSSLContext*>(BIO_get_data(B));
    BIO_clear_retry_flags(B);
    ssize_t Got;
    if (!WaitReadable(Self->FSocket, Self->FDeadline)) {
      Got = -1;
      errno = ETIMEDOUT;
    } else {
      do Got = recv(Self->FSocket, Data, size_t(std::max(Size, 0)), 0);
      while (Got < 0 && errno == EINTR);
    }
    if (Got > 0) return int(Got);
    uint32_t Code = 0;
    if (Got < 0) Code = errno == EAGAIN || errno == EWOULDBLOCK ? 10060 : WSAErrorFromErrno(errno);
    Self->FSocketError = 1;
    Self->FSocketText = "recv returns " + Hex8(Code);
    return Got < 0 ? -1 : 0;
  }

  static int Send(BIO* B, const char* Data, int Size) {
    auto* Self = static_cast<TSSLContext*>(BIO_get_data(B));
    BIO_clear_retry_flags(B);
    ssize_t Sent;
    do Sent = send(Self->FSocket, Data, size_t(std::max(Size, 0)), MSG_NOSIGNAL);
    while (Sent < 0 && errno == EINTR);
    if (Sent > 0) return int(Sent);
    uint32_t Code = Sent < 0 ? (errno == EAGAIN || errno == EWOULDBLOCK ? 10060 : WSAErrorFromErrno(errno)) : 0;
    Self->FSocketError = 1;
    Self->FSocketText = "send returns " + std::to_string(Code);
    return -1;
  }

  static long Control(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

  static BIO_METHOD* Method() {
    static BIO_METHOD* M = [] {
      BIO_METHOD* Made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket handle");
      if (Made) {
        BIO_meth_set_read(Made, Receive);
        BIO_meth_set_write(Made, Send);
        BIO_meth_set_ctrl(Made, Control);
      }
      return Made;
    }();
    return M;
  }

  static int ChooseCertificate(SSL* Ssl, void* Arg);
};

// ---- Client key through the holder's callback ----

namespace {

int KeyIndex() {
  static int Index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return Index;
}

int SignThroughHolder(int Type, const unsigned char* Digest, unsigned int DigestLen, unsigned char* Signature,
                      unsigned int* SignatureLen, const RSA* Rsa) {
  auto* Holder = static_cast<const TClientCertificate*>(RSA_get_ex_data(Rsa, KeyIndex()));
  const char* Algorithm = OBJ_nid2sn(Type);
  if (!Holder || !Holder->Sign || !Algorithm) return 0;
  try {
    std::string Made = Holder->Sign(Algorithm, {reinterpret_cast<const char*>(Digest), DigestLen});
    if (Made.empty() || Made.size() != size_t(RSA_size(Rsa))) return 0;
    std::memcpy(Signature, Made.data(), Made.size());
    *SignatureLen = unsigned(Made.size());
    return 1;
  } catch (...) {
    return 0;  // no exception may cross libssl
  }
}

int RefuseRaw(int, const unsigned char*, unsigned char*, RSA*, int) { return -1; }

const RSA_METHOD* HolderMethod() {
  static RSA_METHOD* M = [] {
    RSA_METHOD* Made = RSA_meth_dup(RSA_PKCS1_OpenSSL());
    if (Made) {
      RSA_meth_set1_name(Made, "holder signature");
      RSA_meth_set_sign(Made, SignThroughHolder);
      RSA_meth_set_priv_enc(Made, RefuseRaw);
      RSA_meth_set_priv_dec(Made, RefuseRaw);
    }
    return Made;
  }();
  return M;
}

// A key with the certificate's public half whose private operation is the
// holder's callback.
EVP_PKEY* HolderKey(X509* Leaf, const TClientCertificate* Holder) {
  const RSA* Public = EVP_PKEY_get0_RSA(X509_get0_pubkey(Leaf));
  const RSA_METHOD* Method = HolderMethod();
  if (!Public || !Method) return nullptr;
  const BIGNUM *N = nullptr, *E = nullptr;
  RSA_get0_key(Public, &N, &E, nullptr);
  RSA* Rsa = RSA_new();
  EVP_PKEY* Key = EVP_PKEY_new();
  BIGNUM* NCopy = BN_dup(N);
  BIGNUM* ECopy = BN_dup(E);
  if (!Rsa || !Key || !NCopy || !ECopy || RSA_set0_key(Rsa, NCopy, ECopy, nullptr) != 1) {
    BN_free(NCopy);
    BN_free(ECopy);
    RSA_free(Rsa);
    EVP_PKEY_free(Key);
    return nullptr;
  }
  RSA_set_method(Rsa, Method);
  RSA_set_ex_data(Rsa, KeyIndex(), const_cast<TClientCertificate*>(Holder));
  if (EVP_PKEY_assign_RSA(Key, Rsa) != 1) {
    RSA_free(Rsa);
    EVP_PKEY_free(Key);
    return nullptr;
  }
  return Key;
}

struct TX509Chain {
  std::vector<X509*> Items;
  ~TX509Chain() {
    for (X509* X : Items) X509_free(X);
  }
};

bool ParseChain(const std::vector<std::string>& Der, TX509Chain& Chain) {
  for (const auto& One : Der) {
    const unsigned char* P = reinterpret_cast<const unsigned char*>(One.data());
    X509* X = d2i_X509(nullptr, &P, long(One.size()));
    if (!X) return false;
    Chain.Items.push_back(X);
  }
  return !Chain.Items.empty();
}

bool IssuedByOneOf(const TX509Chain& Chain, const STACK_OF(X509_NAME)* Issuers) {
  int Count = Issuers ? sk_X509_NAME_num(Issuers) : 0;
  if (Count == 0) return true;  // the server named no authority
  for (X509* X : Chain.Items)
    for (int I = 0; I < Count; ++I) {
      const X509_NAME* Accepted = sk_X509_NAME_value(Issuers, I);
      if (!X509_NAME_cmp(X509_get_issuer_name(X), Accepted) || !X509_NAME_cmp(X509_get_subject_name(X), Accepted))
        return true;
    }
  return false;
}

}  // namespace

int TSSLContextAccess::ChooseCertificate(SSL* Ssl, void* Arg) {
  auto* Self = static_cast<TSSLContext*>(Arg);
  TCertificateStore& Store = Self->FStore ? *Self->FStore : MyStore();
  // On a client: the authorities the server named in its request.
  const STACK_OF(X509_NAME)* Issuers = SSL_get_client_CA_list(Ssl);
  for (const auto& Holder : Store.Certificates()) {
    TX509Chain Chain;
    if (!ParseChain(Holder->Chain, Chain) || !IssuedByOneOf(Chain, Issuers)) continue;
    X509* Leaf = Chain.Items.front();
    if (X509_check_purpose(Leaf, X509_PURPOSE_SSL_CLIENT, 0) != 1) continue;
    EVP_PKEY* Key = HolderKey(Leaf, Holder.get());
    if (!Key) continue;
    bool Ok = SSL_use_certificate(Ssl, Leaf) == 1 && SSL_use_PrivateKey(Ssl, Key) == 1;
    EVP_PKEY_free(Key);
    for (size_t I = 1; Ok && I < Chain.Items.size(); ++I) Ok = SSL_add1_chain_cert(Ssl, Chain.Items[I]) == 1;
    ERR_clear_error();
    if (!Ok) {
      SSL_certs_clear(Ssl);
      continue;
    }
    Self->FHolder = Holder;
    return 1;
  }
  // No certificate: the handshake goes on and the server decides.
  Self->FErrNo = 0;
  Self->FError = "CertFindChainInStore returns nil";
  return 1;
}

// ---- Context ----

TSSLContext::~TSSLContext() { Cleanup(); }

void TSSLContext::Fail(int32_t Code, std::string Text) {
  FErrNo = Code;
  FError = std::move(Text);
}

void TSSLContext::Cleanup() {
  // No close_notify: the connection is simply dropped.
  SSL_free(FSSL);
  FSSL = nullptr;
}

bool TSSLContext::Start(int Socket, uint32_t Protocols, const std::string& Host, TCertificateStore* Store) {
  FCertStatus = 0;
  FErrNo = 0;
  FError.clear();
  Cleanup();
  std::shared_ptr<TSecur32> Provider = TSecur32::Lock();
  if (!Provider) return false;
  FSocket = Socket;
  FServername = Host;
  FStore = Store;
  FProtocols = Protocols;
  bool Ok = Handshake(Provider->Context());
  TSecur32::UnLock(Provider);
  // The server's chain is checked once the lock is released: its revocation
  // lists may have to be fetched, which must not hold up other handshakes.
  if (Ok) Ok = CheckServer();
  if (!Ok) {
    Cleanup();
    if (FErrNo == NTE_FAIL || FErrNo == SEC_E_INTERNAL_ERROR || FErrNo == SEC_E_ILLEGAL_MESSAGE)
      Shutdown();
  }
  return Ok;
}

namespace {

// Min and max TLS versions of an SSPI protocol mask (client or server bits).
void ProtocolRange(uint32_t Protocols, int& Min, int& Max) {
  static const struct {
    uint32_t Bits;
    int Version;
  } Table[] = {{0xC0, TLS1_VERSION}, {0x300, TLS1_1_VERSION}, {0xC00, TLS1_2_VERSION}};
  Min = Max = 0;
  for (const auto& Row : Table)
    if (Protocols & Row.Bits) {
      if (!Min) Min = Row.Version;
      Max = Row.Version;
    }
}

bool IsAddressLiteral(const std::string& Host) {
  unsigned char Buffer[16];
  return inet_pton(AF_INET, Host.c_str(), Buffer) == 1 || inet_pton(AF_INET6, Host.c_str(), Buffer) == 1;
}

}  // namespace

bool TSSLContext::Handshake(SSL_CTX* Context) {
  auto HandshakeFailed = [this](int32_t Status) {
    Fail(Status, "InitializeSecurityContext returns 0x" + Hex8(uint32_t(Status)));
    return false;
  };
  int Min, Max;
  ProtocolRange(FProtocols, Min, Max);
  FSSL = SSL_new(Context);
  BIO* Transport = BIO_new(TSSLContextAccess::Method());
  if (!FSSL || !Transport) {
    BIO_free(Transport);
    return HandshakeFailed(SEC_E_INTERNAL_ERROR);
  }
  BIO_set_data(Transport, this);
  BIO_set_init(Transport, 1);
  SSL_set_bio(FSSL, Transport, Transport);
  if (!Min || SSL_set_min_proto_version(FSSL, Min) != 1 || SSL_set_max_proto_version(FSSL, Max) != 1)
    return HandshakeFailed(SEC_E_ALGORITHM_MISMATCH);
  if (!FServername.empty() && !IsAddressLiteral(FServername))
    SSL_set_tlsext_host_name(FSSL, FServername.c_str());
  SSL_set_cert_cb(FSSL, TSSLContextAccess::ChooseCertificate, this);
  FSocketError = 0;
  FSocketText.clear();
  int Result = SSL_connect(FSSL);
  ERR_clear_error();
  if (Result != 1) {
    // A socket failure, or a connection closed before the handshake ended,
    // fails the start before any certificate check.
    if (FSocketError) {
      Fail(0, FSocketText);
      return false;
    }
    return HandshakeFailed(SEC_E_ILLEGAL_MESSAGE);
  }
  return true;
}

bool TSSLContext::CheckServer() {
  STACK_OF(X509)* Sent = SSL_get_peer_cert_chain(FSSL);  // the server's certificate first
  std::vector<std::string> Certificates;
  for (int I = 0, Count = Sent ? sk_X509_num(Sent) : 0; I < Count; ++I) {
    unsigned char* Der = nullptr;
    int Len = i2d_X509(sk_X509_value(Sent, I), &Der);
    if (Len > 0) Certificates.emplace_back(reinterpret_cast<const char*>(Der), size_t(Len));
    OPENSSL_free(Der);
  }
  ERR_clear_error();
  if (Certificates.empty()) {
    Fail(SEC_E_INTERNAL_ERROR, "QueryContextAttributes returns " + Hex8(uint32_t(SEC_E_INTERNAL_ERROR)));
    return false;
  }
  uint32_t Status = 0;
  if (!VerifyServerChain(Certificates, FServername, Status)) return false;  // the chain could not be built
  FCertStatus = Status;
  if (!Status) return true;
  if (Status == CERT_E_UNTRUSTEDROOT) Fail(int32_t(Status), "Le certificat du serveur est réfusé car autosigné");
  else Fail(int32_t(Status), "CertVerifyCertificateChainPolicy.Status = " + Hex8(Status));
  return false;
}

int TSSLContext::FailedIO(int Result) {
  int Reason = SSL_get_error(FSSL, Result);
  ERR_clear_error();
  if (Reason == SSL_ERROR_ZERO_RETURN) return 0;  // close_notify
  if (FSocketError) {
    // Without close_notify nothing tells a cut from the end of the data
    // (RFC 5246 §7.2.1): a failure, as the own engine's "Read Error".
    Fail(0, FSocketText == "recv returns 00000000" ? "Read Error" : FSocketText);
    return -1;
  }
  Fail(SEC_E_DECRYPT_FAILURE, "DecryptMessage returns " + Hex8(uint32_t(SEC_E_DECRYPT_FAILURE)));
  return -1;
}

int TSSLContext::Read(void* Data, int Size) {
  if (!FSSL || Size < 0) return -1;
  if (Size == 0) return 0;
  FSocketError = 0;
  FSocketText.clear();
  int Got = SSL_read(FSSL, Data, Size);
  if (Got > 0) return Got;
  return FailedIO(Got);
}

int TSSLContext::Write(const void* Data, int Size) {
  if (!FSSL || Size <= 0) return Size == 0 ? 0 : -1;
  FSocketError = 0;
  FSocketText.clear();
  int Sent = SSL_write(FSSL, Data, Size);
  if (Sent > 0) return Sent;
  ERR_clear_error();
  if (FSocketError) Fail(0, FSocketText);
  else Fail(SEC_E_INTERNAL_ERROR, "EncryptMessage returns " + Hex8(uint32_t(SEC_E_INTERNAL_ERROR)));
  return -1;
}

bool TSSLContext::Pending(int AMSec) {
  if (!FSSL) return false;
  if (SSL_pending(FSSL) > 0) return true;
  pollfd P{FSocket, POLLIN, 0};
  if (poll(&P, 1, std::max(AMSec, 0)) <= 0) return false;
  char Probe;
  FSocketError = 0;
  int Got = SSL_peek(FSSL, &Probe, 1);
  if (Got <= 0) ERR_clear_error();
  return Got > 0;
}

void TSSLContext::Shutdown() { TSecur32::Shutdown(); }

// ---- Socket ----

TSChannelSocket::~TSChannelSocket() { Close(); }

void TSChannelSocket::StartTLS() {
  auto Context = std::make_unique<TSSLContext>();
  if (!Context->Start(FHandle, TSSLContext::TLS12Protocols, FHost, FStore.get()))
    throw ESSLError(Context->ErrNo(), Context->Error());
  FSSL = std::move(Context);
}

int TSChannelSocket::Read(void* Data, size_t Size) {
  if (!FSSL) return TTCPSocket::Read(Data, Size);
  FSSL->SetDeadline(FDeadline);
  int Got = FSSL->Read(Data, int(std::min<size_t>(Size, 1 << 30)));
  // A time-out raises what a plain socket's does: the server may have acted
  // on the request, so it is not one the HTTP client may send again.
  if (Got < 0 && FSSL->Error() == "recv returns " + Hex8(10060)) throw ESocketError("recv", 10060);
  if (Got < 0) throw ESSLError(FSSL->ErrNo(), FSSL->Error());
  return Got;
}

int TSChannelSocket::Write(const void* Data, size_t Size) {
  if (!FSSL) return TTCPSocket::Write(Data, Size);
  int Sent = FSSL->Write(Data, int(std::min<size_t>(Size, 1 << 30)));
  if (Sent <= 0) throw ESSLError(FSSL->ErrNo(), FSSL->Error());
  return Sent;
}

void TSChannelSocket::OnDisconnect() {
  TTCPSocket::OnDisconnect();
  FSSL.reset();
}

void RegisterSChannelSocketMaker(TStoreSelector Selector) {
  RegisterTLSSocketMaker(TTLSEngine::SChannel, [Selector](TCustomHTTPClient& Client) {
    return std::make_unique<TSChannelSocket>(Selector ? Selector(Client) : nullptr);
  });
}

}  // namespace Vantrel
