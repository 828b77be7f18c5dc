// The crypto layer of the own TLS engine: the one place of the engine that
// calls libcrypto. Every call's result is checked; failures come back as
// NTSTATUS-style codes (CheckStatus turns them into a fatal decrypt_error
// alert) and the error queue is drained so that no stale error leaks into
// the next call. Owners of libcrypto objects are unique_ptr with deleters.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "Vantrel.ByteReader.h"
#include "Vantrel.TinyTLS12.h"

namespace Vantrel {

namespace {

template <auto Free>
struct TDeleter {
  template <typename T>
  void operator()(T* P) const {
    Free(P);
  }
};
using TPKeyPtr = std::unique_ptr<EVP_PKEY, TDeleter<EVP_PKEY_free>>;
using TPKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, TDeleter<EVP_PKEY_CTX_free>>;
using TMDCtxPtr = std::unique_ptr<EVP_MD_CTX, TDeleter<EVP_MD_CTX_free>>;
using TX509Ptr = std::unique_ptr<X509, TDeleter<X509_free>>;

// The status of a failed call, with the error queue emptied.
uint32_t Failed(uint32_t Status = STATUS_INVALID_PARAMETER) {
  ERR_clear_error();
  return Status;
}

const unsigned char* Bytes(std::string_view S) { return reinterpret_cast<const unsigned char*>(S.data()); }
unsigned char* Bytes(std::string& S) { return reinterpret_cast<unsigned char*>(S.data()); }

// Algorithms fetched once for the process: an implicit fetch on every use
// costs more than the hashing of a handshake.
const EVP_MD* FetchedDigest(const char* Name) {
  struct TCache {
    EVP_MD* Sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    EVP_MD* Sha224 = EVP_MD_fetch(nullptr, "SHA224", nullptr);
    EVP_MD* Sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD* Sha384 = EVP_MD_fetch(nullptr, "SHA384", nullptr);
    EVP_MD* Sha512 = EVP_MD_fetch(nullptr, "SHA512", nullptr);
  };
  static const TCache Cache;
  std::string_view N = Name;
  return N == "SHA1" ? Cache.Sha1 : N == "SHA224" ? Cache.Sha224 : N == "SHA256" ? Cache.Sha256
       : N == "SHA384" ? Cache.Sha384 : N == "SHA512" ? Cache.Sha512 : nullptr;
}

EVP_MAC* FetchedHMAC() {
  static EVP_MAC* Mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return Mac;
}

const EVP_CIPHER* FetchedCipher(size_t KeySize, bool GCM) {
  static EVP_CIPHER* Ciphers[4] = {
      EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr), EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr), EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr)};
  return Ciphers[(GCM ? 0 : 2) + (KeySize == 16 ? 0 : 1)];
}

const EVP_MD* DigestOfHashByte(uint8_t Hash) {
  switch (Hash) {
    case 2: return FetchedDigest("SHA1");
    case 4: return FetchedDigest("SHA256");
    case 5: return FetchedDigest("SHA384");
    case 6: return FetchedDigest("SHA512");
    default: return nullptr;
  }
}

}  // namespace

// ---- Results ----

void CheckStatus(uint32_t Status) {
  if (Status != STATUS_SUCCESS) throw TLSAlert(2, 51, NTStatusText(Status));
}

// ---- Public keys ----

struct TEVPKey {
  TPKeyPtr Key;
};

uint32_t TPublicKey::FromCertificate(std::string_view DER, TPublicKey& Key) {
  const unsigned char* P = Bytes(DER);
  TX509Ptr Cert(d2i_X509(nullptr, &P, long(DER.size())));
  if (!Cert || P != Bytes(DER) + DER.size()) return Failed();
  TPKeyPtr PKey(X509_get_pubkey(Cert.get()));
  if (!PKey) return Failed(STATUS_NOT_SUPPORTED);
  Key.FKey = std::make_shared<TEVPKey>(TEVPKey{std::move(PKey)});
  return STATUS_SUCCESS;
}

size_t TPublicKey::Size() const { return FKey ? size_t(EVP_PKEY_get_size(FKey->Key.get())) : 0; }

uint32_t TPublicKey::Verify(uint16_t Scheme, std::string_view Data, std::string_view Signature) const {
  if (!FKey) return STATUS_INVALID_HANDLE;
  const EVP_MD* Md = DigestOfHashByte(uint8_t(Scheme >> 8));
  int Wanted = (Scheme & 0xFF) == 1 ? EVP_PKEY_RSA : (Scheme & 0xFF) == 3 ? EVP_PKEY_EC : -1;
  if (!Md || EVP_PKEY_get_base_id(FKey->Key.get()) != Wanted) return STATUS_NOT_SUPPORTED;
  TMDCtxPtr Ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* PCtx = nullptr;
  if (!Ctx || EVP_DigestVerifyInit(Ctx.get(), &PCtx, Md, nullptr, FKey->Key.get()) != 1) return Failed();
  if (Wanted == EVP_PKEY_RSA && EVP_PKEY_CTX_set_rsa_padding(PCtx, RSA_PKCS1_PADDING) != 1) return Failed();
  int Rc = EVP_DigestVerify(Ctx.get(), Bytes(Signature), Signature.size(), Bytes(Data), Data.size());
  return Rc == 1 ? STATUS_SUCCESS : Failed(STATUS_INVALID_SIGNATURE);
}

uint32_t TPublicKey::EncryptPKCS1(std::string_view In, std::string& Out) const {
  if (!FKey) return STATUS_INVALID_HANDLE;
  if (EVP_PKEY_get_base_id(FKey->Key.get()) != EVP_PKEY_RSA) return STATUS_NOT_SUPPORTED;
  TPKeyCtxPtr Ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, FKey->Key.get(), nullptr));
  if (!Ctx || EVP_PKEY_encrypt_init(Ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(Ctx.get(), RSA_PKCS1_PADDING) != 1)
    return Failed();
  size_t Len = Size();
  Out.assign(Len, '\0');
  if (EVP_PKEY_encrypt(Ctx.get(), Bytes(Out), &Len, Bytes(In), In.size()) != 1) return Failed();
  Out.resize(Len);
  return STATUS_SUCCESS;
}

// ---- Hashes ----

struct TEVPHashState {
  const EVP_MD* Md = nullptr;
  TMDCtxPtr Ctx;
};

TCustomHashAlgorithm::TCustomHashAlgorithm(const char* Name, int HashID, size_t HashSize, size_t BlockSize)
    : FState(std::make_unique<TEVPHashState>()), FHashID(HashID), FHashSize(HashSize), FBlockSize(BlockSize) {
  FState->Md = FetchedDigest(Name);
  FState->Ctx.reset(EVP_MD_CTX_new());
  if (!FState->Md || !FState->Ctx || EVP_DigestInit_ex(FState->Ctx.get(), FState->Md, nullptr) != 1) {
    ERR_clear_error();
    throw std::runtime_error("Internal error");
  }
}

TCustomHashAlgorithm::~TCustomHashAlgorithm() = default;

void TCustomHashAlgorithm::Update(const void* Data, size_t Size) {
  CheckStatus(EVP_DigestUpdate(FState->Ctx.get(), Data, Size) == 1 ? 0 : Failed());
}

std::string TCustomHashAlgorithm::Digest() {
  std::string Out(FHashSize, '\0');
  unsigned Len = 0;
  bool Ok = EVP_DigestFinal_ex(FState->Ctx.get(), Bytes(Out), &Len) == 1 &&
            EVP_DigestInit_ex(FState->Ctx.get(), FState->Md, nullptr) == 1;
  CheckStatus(Ok ? 0 : Failed());
  return Out;
}

std::string TCustomHashAlgorithm::Hash(const void* Data, size_t Size) const {
  std::string Out(FHashSize, '\0');
  unsigned Len = 0;
  CheckStatus(EVP_Digest(Data, Size, Bytes(Out), &Len, FState->Md, nullptr) == 1 ? 0 : Failed());
  return Out;
}

namespace {

// An HMAC key set once; each MAC restarts from it (RFC 2104).
class THMACContext {
 public:
  THMACContext(const EVP_MD* Md, std::string_view Key) : FCtx(EVP_MAC_CTX_new(FetchedHMAC())) {
    OSSL_PARAM Params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(EVP_MD_get0_name(Md)), 0),
        OSSL_PARAM_construct_end()};
    bool Ok = FCtx && EVP_MAC_init(FCtx.get(), Bytes(Key), Key.size(), Params) == 1;
    CheckStatus(Ok ? 0 : Failed());
    FSize = size_t(EVP_MD_get_size(Md));
  }
  // HMAC of A + B into Out (FSize bytes).
  void Mac(std::string_view A, std::string_view B, std::string& Out) {
    Out.resize(FSize);
    size_t Len = 0;
    bool Ok = EVP_MAC_init(FCtx.get(), nullptr, 0, nullptr) == 1 &&
              EVP_MAC_update(FCtx.get(), Bytes(A), A.size()) == 1 &&
              EVP_MAC_update(FCtx.get(), Bytes(B), B.size()) == 1 &&
              EVP_MAC_final(FCtx.get(), Bytes(Out), &Len, Out.size()) == 1;
    CheckStatus(Ok && Len == FSize ? 0 : Failed());
  }

 private:
  std::unique_ptr<EVP_MAC_CTX, TDeleter<EVP_MAC_CTX_free>> FCtx;
  size_t FSize = 0;
};

}  // namespace

std::string TCustomHashAlgorithm::HMAC(std::string_view Data, std::string_view Key) const {
  std::string Out;
  THMACContext(FState->Md, Key).Mac(Data, {}, Out);
  return Out;
}

void TCustomHashAlgorithm::PRF(std::string_view Seed, std::string_view Secret, std::string& Data, size_t Len) const {
  // RFC 5246 §5: A(0) = seed, A(i) = HMAC(secret, A(i-1)); output HMAC(secret, A(i) + seed).
  WipeBytes(Data);
  Data.reserve(Len + FHashSize);
  THMACContext Ctx(FState->Md, Secret);
  std::string A(Seed), Next, Block;
  while (Data.size() < Len) {
    Ctx.Mac(A, {}, Next);
    A.swap(Next);
    Ctx.Mac(A, Seed, Block);
    Data.append(Block, 0, std::min(Block.size(), Len - Data.size()));
  }
  WipeBytes(A);
  WipeBytes(Next);
  WipeBytes(Block);
}

TSHA1Hash::TSHA1Hash() : TCustomHashAlgorithm("SHA1", 2, 20, 64) {}

namespace {
const char* SHA2Name(int BitCount) {
  switch (BitCount) {
    case 224: return "SHA224";
    case 256: return "SHA256";
    case 384: return "SHA384";
    case 512: return "SHA512";
    default: throw std::runtime_error("Unsupported BitCount");
  }
}
}  // namespace

TSHA2Hash::TSHA2Hash(int BitCount)
    : TCustomHashAlgorithm(SHA2Name(BitCount), BitCount == 224 ? 3 : BitCount == 256 ? 4 : BitCount == 384 ? 5 : 6,
                           size_t(BitCount / 8), BitCount <= 256 ? 64 : 128) {}

// ---- Key exchanges ----

TRSAClientKeyExchange::TRSAClientKeyExchange(const TPublicKey& Key) {
  FPreMasterSecret.assign(48, '\0');
  FPreMasterSecret[0] = 3;  // the offered version, RFC 5246 §7.4.7.1
  FPreMasterSecret[1] = 3;
  GenRandomBytes(FPreMasterSecret.data() + 2, 46);
  std::string Encrypted;
  CheckStatus(Key.EncryptPKCS1(FPreMasterSecret, Encrypted));
  TByteWriter W;
  W.PutU16(uint16_t(Encrypted.size()));
  W.PutBytes(Encrypted);
  FClientKey = W.Take();
}

size_t CurvePointSize(TCurveName Curve) {
  switch (Curve) {
    case TCurveName::secp256r1: return 65;
    case TCurveName::secp384r1: return 97;
    case TCurveName::x25519: return 32;
    default: return 0;
  }
}

TECDHE_RSAKeyExchange::TECDHE_RSAKeyExchange(TCurveName ACurveName, std::string_view Key) {
  size_t PointSize = CurvePointSize(ACurveName);
  if (!PointSize) RaiseHandshakeFailure("Unsupported Curve");
  if (Key.size() != PointSize) RaiseHandshakeFailure("ServerKey Size");
  bool X25519 = ACurveName == TCurveName::x25519;
  if (!X25519 && uint8_t(Key[0]) != 4) RaiseHandshakeFailure("ServerKey compression");
  const char* Group = ACurveName == TCurveName::secp256r1 ? "P-256" : "P-384";

  TPKeyPtr Own(X25519 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519")
                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", Group));
  CheckStatus(Own ? 0 : Failed());

  TPKeyPtr Peer;
  if (X25519) {
    Peer.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, Bytes(Key), Key.size()));
  } else {
    TPKeyCtxPtr Ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    OSSL_PARAM Params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(Group), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<char*>(Key.data()), Key.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY* Raw = nullptr;
    if (Ctx && EVP_PKEY_fromdata_init(Ctx.get()) == 1 &&
        EVP_PKEY_fromdata(Ctx.get(), &Raw, EVP_PKEY_PUBLIC_KEY, Params) == 1)
      Peer.reset(Raw);
  }
  CheckStatus(Peer ? 0 : Failed());

  // RFC 8422 §5.10: the X coordinate, big-endian; RFC 7748 §6.1: the X25519 output as is.
  TPKeyCtxPtr Derive(EVP_PKEY_CTX_new_from_pkey(nullptr, Own.get(), nullptr));
  size_t Len = 0;
  bool Ok = Derive && EVP_PKEY_derive_init(Derive.get()) == 1 &&
            EVP_PKEY_derive_set_peer_ex(Derive.get(), Peer.get(), 1) == 1 &&
            EVP_PKEY_derive(Derive.get(), nullptr, &Len) == 1;
  CheckStatus(Ok ? 0 : Failed());
  FPreMasterSecret.assign(Len, '\0');
  if (EVP_PKEY_derive(Derive.get(), Bytes(FPreMasterSecret), &Len) != 1) {
    WipeBytes(FPreMasterSecret);
    CheckStatus(Failed());
  }
  FPreMasterSecret.resize(Len);

  FPublicPoint.assign(PointSize, '\0');
  size_t Got = 0;
  Ok = EVP_PKEY_get_octet_string_param(Own.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, Bytes(FPublicPoint),
                                       FPublicPoint.size(), &Got) == 1;
  CheckStatus(Ok && Got == PointSize ? 0 : Failed());
}

std::string TECDHE_RSAKeyExchange::ClientKey() const {
  TByteWriter W;  // RFC 8422 §5.7: a one-byte length and the point
  W.PutU8(uint8_t(FPublicPoint.size()));
  W.PutBytes(FPublicPoint);
  return W.Take();
}

// ---- Record ciphers ----

struct TEVPCipherState {
  std::unique_ptr<EVP_CIPHER_CTX, TDeleter<EVP_CIPHER_CTX_free>> Enc{EVP_CIPHER_CTX_new()};
  std::unique_ptr<EVP_CIPHER_CTX, TDeleter<EVP_CIPHER_CTX_free>> Dec{EVP_CIPHER_CTX_new()};
  std::unique_ptr<EVP_MAC_CTX, TDeleter<EVP_MAC_CTX_free>> MacEnc, MacDec;
};

TCustomAESCipher::TCustomAESCipher(size_t AKeySize, size_t AMacSize, size_t AIVSize, bool AServerSide)
    : KeySize(AKeySize), MacSize(AMacSize), IVSize(AIVSize), ServerSide(AServerSide),
      FState(std::make_unique<TEVPCipherState>()) {
  CheckStatus(FState->Enc && FState->Dec ? 0 : Failed(STATUS_INVALID_HANDLE));
  FPlain.reserve(MaxRecordFragment);
}

TCustomAESCipher::~TCustomAESCipher() {
  WipeBytes(KeyBlock);
  WipeBytes(FPlain);
}

void TCustomAESCipher::SetMasterSecret(const TRandom& ClientRandom, const TRandom& ServerRandom,
                                       std::string_view MasterSecret, const IHashAlgorithm& Hash) {
  // RFC 5246 §6.3: the key block from server random + client random.
  Hash.PRF("key expansion", ServerRandom, ClientRandom, MasterSecret, KeyBlock, 2 * (MacSize + KeySize + IVSize));
  std::string_view Block = KeyBlock;
  auto Take = [&Block](size_t N) {
    std::string_view Part = Block.substr(0, N);
    Block.remove_prefix(N);
    return Part;
  };
  std::string_view ClientMac = Take(MacSize), ServerMac = Take(MacSize);
  std::string_view ClientKey = Take(KeySize), ServerKey = Take(KeySize);
  std::string_view ClientIV = Take(IVSize), ServerIV = Take(IVSize);
  EncrHash = ServerSide ? ServerMac : ClientMac;
  DecrHash = ServerSide ? ClientMac : ServerMac;
  EncrKey = ServerSide ? ServerKey : ClientKey;
  DecrKey = ServerSide ? ClientKey : ServerKey;
  LocalIV = ServerSide ? ServerIV : ClientIV;
  RemoteIV = ServerSide ? ClientIV : ServerIV;
  EncryptSeqNum = DecryptSeqNum = 0;
  KeysReady();
}

namespace {

// seq_num + type + version + length: the MAC / AEAD header of RFC 5246 §6.2.3.
void PutPseudoHeader(unsigned char* P, uint64_t Seq, uint8_t Type, uint16_t Version, size_t Length) {
  for (int I = 7; I >= 0; --I) {
    P[I] = uint8_t(Seq);
    Seq >>= 8;
  }
  P[8] = Type;
  P[9] = uint8_t(Version >> 8);
  P[10] = uint8_t(Version);
  P[11] = uint8_t(Length >> 8);
  P[12] = uint8_t(Length);
}

unsigned char* AppendRecordHeader(std::string& Out, uint8_t Type, size_t FragmentSize) {
  size_t At = Out.size();
  Out.resize(At + 5 + FragmentSize);
  auto* P = reinterpret_cast<unsigned char*>(Out.data() + At);
  P[0] = Type;
  P[1] = 3;
  P[2] = 3;
  P[3] = uint8_t(FragmentSize >> 8);
  P[4] = uint8_t(FragmentSize);
  return P + 5;
}

const EVP_CIPHER* AESCipher(size_t KeySize, bool GCM) { return FetchedCipher(KeySize, GCM); }

size_t KeyBytes(int BitSize) {
  if (BitSize != 128 && BitSize != 256) throw std::runtime_error("Internal error");
  return size_t(BitSize / 8);
}

}  // namespace

TAESCipherGCM::TAESCipherGCM(int BitSize, bool AServerSide) : TCustomAESCipher(KeyBytes(BitSize), 0, 4, AServerSide) {}

void TAESCipherGCM::KeysReady() {
  const EVP_CIPHER* C = AESCipher(KeySize, true);
  bool Ok = EVP_EncryptInit_ex(FState->Enc.get(), C, nullptr, Bytes(EncrKey), nullptr) == 1 &&
            EVP_DecryptInit_ex(FState->Dec.get(), C, nullptr, Bytes(DecrKey), nullptr) == 1;
  CheckStatus(Ok ? 0 : Failed());
}

void TAESCipherGCM::Encrypt(uint8_t ContentType, std::string_view Plaintext, std::string& Out) {
  // RFC 5288 §3: nonce = 4-byte implicit IV + 8-byte explicit part sent in clear.
  unsigned char Nonce[12];
  std::memcpy(Nonce, LocalIV.data(), 4);
  GenRandomBytes(Nonce + 4, 8);
  unsigned char Aad[13];
  PutPseudoHeader(Aad, EncryptSeqNum++, ContentType, TLS_VERSION_1_2, Plaintext.size());
  unsigned char* P = AppendRecordHeader(Out, ContentType, Plaintext.size() + 24);
  std::memcpy(P, Nonce + 4, 8);
  EVP_CIPHER_CTX* Ctx = FState->Enc.get();
  int Len = 0;
  bool Ok = EVP_EncryptInit_ex(Ctx, nullptr, nullptr, nullptr, Nonce) == 1 &&
            EVP_EncryptUpdate(Ctx, nullptr, &Len, Aad, sizeof Aad) == 1 &&
            EVP_EncryptUpdate(Ctx, P + 8, &Len, Bytes(Plaintext), int(Plaintext.size())) == 1 &&
            EVP_EncryptFinal_ex(Ctx, P + 8 + Plaintext.size(), &Len) == 1 &&
            EVP_CIPHER_CTX_ctrl(Ctx, EVP_CTRL_AEAD_GET_TAG, 16, P + 8 + Plaintext.size()) == 1;
  CheckStatus(Ok ? 0 : Failed());
}

void TAESCipherGCM::Decrypt(TTLSRecord& Record) {
  std::string_view F = Record.Fragment;
  if (F.size() < 24 || F.size() > MaxRecordFragment) RaiseHandshakeFailure("Fragment overflow");
  size_t P = F.size() - 24;
  if (P > 16384) RaiseOverflow("Record");  // RFC 5246 §6.2.1
  unsigned char Nonce[12];
  std::memcpy(Nonce, RemoteIV.data(), 4);
  std::memcpy(Nonce + 4, F.data(), 8);
  unsigned char Aad[13];
  PutPseudoHeader(Aad, DecryptSeqNum++, Record.ContentType, Record.Version, P);
  unsigned char Tag[16];
  std::memcpy(Tag, F.data() + 8 + P, 16);
  FPlain.resize(P);
  EVP_CIPHER_CTX* Ctx = FState->Dec.get();
  int Len = 0;
  bool Ok = EVP_DecryptInit_ex(Ctx, nullptr, nullptr, nullptr, Nonce) == 1 &&
            EVP_DecryptUpdate(Ctx, nullptr, &Len, Aad, sizeof Aad) == 1 &&
            EVP_DecryptUpdate(Ctx, Bytes(FPlain), &Len, Bytes(F) + 8, int(P)) == 1 &&
            EVP_CIPHER_CTX_ctrl(Ctx, EVP_CTRL_AEAD_SET_TAG, 16, Tag) == 1;
  CheckStatus(Ok ? 0 : Failed());
  unsigned char Last[16];
  if (EVP_DecryptFinal_ex(Ctx, Last, &Len) != 1) {
    WipeBytes(FPlain);
    CheckStatus(Failed(STATUS_AUTH_TAG_MISMATCH));
  }
  Record.Fragment = FPlain;
}

TAESCipherCBC::TAESCipherCBC(int BitSize, std::shared_ptr<IHashAlgorithm> HashAlgorithm, bool AServerSide)
    : TCustomAESCipher(KeyBytes(BitSize), HashAlgorithm->HashSize(), 16, AServerSide),
      HashAlgo(std::move(HashAlgorithm)) {}

void TAESCipherCBC::KeysReady() {
  const EVP_CIPHER* C = AESCipher(KeySize, false);
  TEVPCipherState& S = *FState;
  bool Ok = FetchedHMAC() != nullptr;
  if (Ok) {
    S.MacEnc.reset(EVP_MAC_CTX_new(FetchedHMAC()));
    S.MacDec.reset(EVP_MAC_CTX_new(FetchedHMAC()));
    char* Digest = const_cast<char*>(HashAlgo->HashID() == 5 ? "SHA384" : "SHA256");
    OSSL_PARAM Params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, Digest, 0),
                           OSSL_PARAM_construct_end()};
    Ok = S.MacEnc && S.MacDec && EVP_MAC_init(S.MacEnc.get(), Bytes(EncrHash), EncrHash.size(), Params) == 1 &&
         EVP_MAC_init(S.MacDec.get(), Bytes(DecrHash), DecrHash.size(), Params) == 1;
  }
  Ok = Ok && EVP_EncryptInit_ex(S.Enc.get(), C, nullptr, Bytes(EncrKey), nullptr) == 1 &&
       EVP_DecryptInit_ex(S.Dec.get(), C, nullptr, Bytes(DecrKey), nullptr) == 1 &&
       EVP_CIPHER_CTX_set_padding(S.Enc.get(), 0) == 1 && EVP_CIPHER_CTX_set_padding(S.Dec.get(), 0) == 1;
  CheckStatus(Ok ? 0 : Failed());
}

namespace {

// HMAC (RFC 2104) of seq_num + header + data with a keyed context, re-used.
bool RecordMac(EVP_MAC_CTX* Ctx, uint64_t Seq, uint8_t Type, uint16_t Version, std::string_view Data,
               unsigned char* Out, size_t OutSize) {
  unsigned char Head[13];
  PutPseudoHeader(Head, Seq, Type, Version, Data.size());
  size_t Len = 0;
  return EVP_MAC_init(Ctx, nullptr, 0, nullptr) == 1 && EVP_MAC_update(Ctx, Head, sizeof Head) == 1 &&
         EVP_MAC_update(Ctx, Bytes(Data), Data.size()) == 1 && EVP_MAC_final(Ctx, Out, &Len, OutSize) == 1 &&
         Len == OutSize;
}

// All-ones when A < B, else zero; without a branch on the values.
unsigned LessMask(unsigned A, unsigned B) { return 0u - ((A - B) >> (sizeof(unsigned) * 8 - 1)); }

}  // namespace

void TAESCipherCBC::Encrypt(uint8_t ContentType, std::string_view Plaintext, std::string& Out) {
  size_t P = Plaintext.size();
  size_t K = 16 - ((P + MacSize) % 16);  // 1 to 16 bytes of value K - 1
  unsigned char Tail[64 + 16];
  bool Ok = RecordMac(FState->MacEnc.get(), EncryptSeqNum++, ContentType, TLS_VERSION_1_2, Plaintext, Tail, MacSize);
  std::memset(Tail + MacSize, int(K - 1), K);
  unsigned char* Frag = AppendRecordHeader(Out, ContentType, 16 + P + MacSize + K);
  GenRandomBytes(Frag, 16);
  EVP_CIPHER_CTX* Ctx = FState->Enc.get();
  int Len1 = 0, Len2 = 0;
  Ok = Ok && EVP_EncryptInit_ex(Ctx, nullptr, nullptr, nullptr, Frag) == 1 &&
       EVP_EncryptUpdate(Ctx, Frag + 16, &Len1, Bytes(Plaintext), int(P)) == 1 &&
       EVP_EncryptUpdate(Ctx, Frag + 16 + Len1, &Len2, Tail, int(MacSize + K)) == 1 &&
       size_t(Len1 + Len2) == P + MacSize + K;
  SecureZeroMemory(Tail, sizeof Tail);
  CheckStatus(Ok ? 0 : Failed());
}

void TAESCipherCBC::Decrypt(TTLSRecord& Record) {
  std::string_view F = Record.Fragment;
  // IV + a whole number of blocks that can hold the MAC and a padding byte.
  size_t MinSize = 16 + ((MacSize + 1 + 15) / 16) * 16;
  if (F.size() < MinSize || F.size() > MaxRecordFragment || F.size() % 16 != 0)
    RaiseHandshakeFailure("Fragment overflow");
  size_t Len = F.size() - 16;
  FPlain.resize(Len);
  EVP_CIPHER_CTX* Ctx = FState->Dec.get();
  int Got = 0;
  bool Ok = EVP_DecryptInit_ex(Ctx, nullptr, nullptr, nullptr, Bytes(F)) == 1 &&
            EVP_DecryptUpdate(Ctx, Bytes(FPlain), &Got, Bytes(F) + 16, int(Len)) == 1 && size_t(Got) == Len;
  CheckStatus(Ok ? 0 : Failed());

  // Padding check in constant time over the largest possible padding
  // (RFC 5246 §6.2.3.2 note): a bad padding is taken as none so that the
  // MAC is computed either way.
  const auto* Plain = reinterpret_cast<const unsigned char*>(FPlain.data());
  unsigned Pad = Plain[Len - 1];
  unsigned Bad = LessMask(unsigned(Len - MacSize - 1), Pad);  // Pad + 1 + MacSize > Len
  size_t Scan = std::min<size_t>(256, Len);
  for (size_t I = 1; I < Scan; ++I) Bad |= ~LessMask(Pad, unsigned(I)) & (Plain[Len - 1 - I] ^ Pad);
  unsigned Good = 0u - unsigned(Bad == 0);
  size_t DataLen = Len - MacSize - 1 - (Pad & Good);
  unsigned char Mac[64];
  Ok = RecordMac(FState->MacDec.get(), DecryptSeqNum++, Record.ContentType, Record.Version,
                 std::string_view(FPlain.data(), DataLen), Mac, MacSize);
  CheckStatus(Ok ? 0 : Failed());
  bool MacGood = ConstantTimeEqual({reinterpret_cast<const char*>(Mac), MacSize},
                                   std::string_view(FPlain.data() + DataLen, MacSize));
  if (!Good) RaiseHandshakeFailure("CBC Padding");
  if (!MacGood) RaiseHandshakeFailure("HMAC");
  FPlain.resize(DataLen);
  if (DataLen > 16384) RaiseOverflow("Record");
  Record.Fragment = FPlain;
}

}  // namespace Vantrel
