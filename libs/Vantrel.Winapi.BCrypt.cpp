#include "Vantrel.Winapi.BCrypt.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>

namespace Vantrel {

namespace {

void AppendHex(std::string& Text, uint32_t V) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  for (int Shift = 28; Shift >= 0; Shift -= 4) Text += Digits[(V >> Shift) & 0xF];
}

const unsigned char* Bytes(std::string_view S) { return reinterpret_cast<const unsigned char*>(S.data()); }
unsigned char* Bytes(char* P) { return reinterpret_cast<unsigned char*>(P); }

struct TCipherCtxFree {
  void operator()(EVP_CIPHER_CTX* C) const { EVP_CIPHER_CTX_free(C); }
};
using TCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree>;

const EVP_CIPHER* GCMCipher(size_t KeySize) {
  return KeySize == 16 ? EVP_aes_128_gcm() : KeySize == 32 ? EVP_aes_256_gcm() : nullptr;
}

// Sizes the EVP calls take as int, and the nonce length they are set up for.
bool GCMSizesFit(std::string_view Key, std::string_view Nonce, std::string_view AAD, size_t Data) {
  return GCMCipher(Key.size()) && Nonce.size() == 12 && AAD.size() <= INT_MAX && Data <= INT_MAX;
}

}  // namespace

// ---- Results ----

std::string NTStatusText(uint32_t Status) {
  switch (Status) {
    case STATUS_SUCCESS: return {};
    case STATUS_INVALID_HANDLE: return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INVALID_BUFFER_SIZE: return "STATUS_INVALID_BUFFER_SIZE";
    case STATUS_AUTH_TAG_MISMATCH: return "STATUS_AUTH_TAG_MISMATCH ";
    default: {
      std::string Text = "NTSTATUS ";
      AppendHex(Text, Status);
      return Text;
    }
  }
}

// ---- Random bytes ----

uint32_t GenRandom(void* Buffer, size_t Count) {
  auto* P = static_cast<unsigned char*>(Buffer);
  while (Count) {
    int Part = Count > INT_MAX ? INT_MAX : int(Count);
    if (RAND_bytes(P, Part) != 1) {
      ERR_clear_error();
      return STATUS_UNSUCCESSFUL;
    }
    P += Part;
    Count -= size_t(Part);
  }
  return STATUS_SUCCESS;
}

void GenRandomBytes(void* Buffer, size_t Count) {
  if (GenRandom(Buffer, Count) != STATUS_SUCCESS) throw std::runtime_error("random generator failure");
}

// ---- Secrets ----

void SecureZeroMemory(void* Data, size_t Size) {
  if (Size) OPENSSL_cleanse(Data, Size);
}

void WipeBytes(std::string& Bytes) {
  SecureZeroMemory(Bytes.data(), Bytes.size());
  Bytes.clear();
}

bool ConstantTimeEqual(std::string_view A, std::string_view B) {
  return A.size() == B.size() && CRYPTO_memcmp(A.data(), B.data(), A.size()) == 0;
}

// ---- AES-GCM ----

uint32_t AESGCMEncrypt(std::string_view Key, std::string_view Nonce, std::string_view AAD,
                       std::string_view Plaintext, char* Out) {
  if (!GCMSizesFit(Key, Nonce, AAD, Plaintext.size())) return STATUS_INVALID_PARAMETER;
  TCipherCtx Ctx(EVP_CIPHER_CTX_new());
  int N = 0, Final = 0;
  bool Ok = Ctx && EVP_EncryptInit_ex(Ctx.get(), GCMCipher(Key.size()), nullptr, Bytes(Key), Bytes(Nonce)) == 1 &&
            EVP_EncryptUpdate(Ctx.get(), nullptr, &N, Bytes(AAD), int(AAD.size())) == 1 &&
            EVP_EncryptUpdate(Ctx.get(), Bytes(Out), &N, Bytes(Plaintext), int(Plaintext.size())) == 1 &&
            EVP_EncryptFinal_ex(Ctx.get(), Bytes(Out) + N, &Final) == 1 &&
            EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_GET_TAG, int(AESGCMTagSize), Bytes(Out) + Plaintext.size()) == 1;
  ERR_clear_error();
  return Ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

uint32_t AESGCMDecrypt(std::string_view Key, std::string_view Nonce, std::string_view AAD,
                       std::string_view Sealed, char* Out) {
  if (Sealed.size() < AESGCMTagSize || !GCMSizesFit(Key, Nonce, AAD, Sealed.size()))
    return STATUS_INVALID_PARAMETER;
  size_t Size = Sealed.size() - AESGCMTagSize;
  // The tag is set before the last call, which checks it.
  unsigned char Tag[AESGCMTagSize];
  std::copy(Bytes(Sealed) + Size, Bytes(Sealed) + Sealed.size(), Tag);
  TCipherCtx Ctx(EVP_CIPHER_CTX_new());
  int N = 0, Final = 0;
  bool Ready = Ctx && EVP_DecryptInit_ex(Ctx.get(), GCMCipher(Key.size()), nullptr, Bytes(Key), Bytes(Nonce)) == 1 &&
               EVP_DecryptUpdate(Ctx.get(), nullptr, &N, Bytes(AAD), int(AAD.size())) == 1 &&
               EVP_DecryptUpdate(Ctx.get(), Bytes(Out), &N, Bytes(Sealed), int(Size)) == 1 &&
               EVP_CIPHER_CTX_ctrl(Ctx.get(), EVP_CTRL_GCM_SET_TAG, int(AESGCMTagSize), Tag) == 1;
  bool Authentic = Ready && EVP_DecryptFinal_ex(Ctx.get(), Bytes(Out) + N, &Final) == 1;
  ERR_clear_error();
  if (Authentic) return STATUS_SUCCESS;
  SecureZeroMemory(Out, Size);
  return Ready ? STATUS_AUTH_TAG_MISMATCH : STATUS_UNSUCCESSFUL;
}

// ---- Signatures ----

namespace {

struct TPKeyFree {
  void operator()(EVP_PKEY* K) const { EVP_PKEY_free(K); }
};
struct TMDCtxFree {
  void operator()(EVP_MD_CTX* C) const { EVP_MD_CTX_free(C); }
};
struct TBIOFree {
  void operator()(BIO* B) const { BIO_free(B); }
};

std::unique_ptr<EVP_PKEY, TPKeyFree> ReadECPublicKey(std::string_view PEM) {
  if (PEM.size() > INT_MAX) return nullptr;
  std::unique_ptr<BIO, TBIOFree> Bio(BIO_new_mem_buf(PEM.data(), int(PEM.size())));
  if (!Bio) return nullptr;
  std::unique_ptr<EVP_PKEY, TPKeyFree> Key(PEM_read_bio_PUBKEY(Bio.get(), nullptr, nullptr, nullptr));
  if (!Key || EVP_PKEY_get_base_id(Key.get()) != EVP_PKEY_EC || EVP_PKEY_get_bits(Key.get()) < 256) return nullptr;
  return Key;
}

}  // namespace

uint32_t VerifyECDSASHA256(std::string_view PublicKeyPEM, const TByteSource& Source, std::string_view Signature) {
  const auto Key = ReadECPublicKey(PublicKeyPEM);
  std::unique_ptr<EVP_MD_CTX, TMDCtxFree> Ctx(EVP_MD_CTX_new());
  if (!Key || !Ctx || EVP_DigestVerifyInit(Ctx.get(), nullptr, EVP_sha256(), nullptr, Key.get()) != 1) {
    ERR_clear_error();
    return STATUS_INVALID_PARAMETER;
  }
  std::string Chunk(size_t(1) << 16, '\0');
  for (size_t N; (N = Source(Chunk.data(), Chunk.size())) > 0;)
    if (EVP_DigestVerifyUpdate(Ctx.get(), Chunk.data(), N) != 1) {
      ERR_clear_error();
      return STATUS_INVALID_SIGNATURE;
    }
  const int Ok = EVP_DigestVerifyFinal(Ctx.get(), Bytes(Signature), Signature.size());
  ERR_clear_error();
  return Ok == 1 ? STATUS_SUCCESS : STATUS_INVALID_SIGNATURE;
}

}  // namespace Vantrel
