#include "TestPKI.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "TestSupport.h"

namespace TestSupport {

const std::filesystem::path& PKIDir() {
  static const std::filesystem::path Dir = CARVELIN_PKI_DIR;
  static std::once_flag Made;
  // The script does nothing when the folder holds its current set.
  std::call_once(Made, [] {
    auto R = Run({"bash", CARVELIN_PKI_SCRIPT, Dir.string(), std::to_string(CARVELIN_PKI_CRL_PORT)});
    if (R.Status != 0) throw std::runtime_error("make-test-pki.sh failed: " + R.Err);
  });
  return Dir;
}

std::string PKIFile(std::string_view Name) { return (PKIDir() / Name).string(); }

int PKICRLPort() { return std::stoi(ReadFile(PKIDir() / "revocation/crl-port")); }

std::vector<std::string> CertificatesDER(const std::filesystem::path& Pem) {
  std::unique_ptr<FILE, int (*)(FILE*)> F(std::fopen(Pem.c_str(), "r"), std::fclose);
  if (!F) throw std::runtime_error("cannot open " + Pem.string());
  std::vector<std::string> Chain;
  while (X509* Cert = PEM_read_X509(F.get(), nullptr, nullptr, nullptr)) {
    unsigned char* Der = nullptr;
    int Len = i2d_X509(Cert, &Der);
    if (Len > 0) Chain.emplace_back(reinterpret_cast<char*>(Der), size_t(Len));
    OPENSSL_free(Der);
    X509_free(Cert);
  }
  ERR_clear_error();  // the end of the file
  if (Chain.empty()) throw std::runtime_error("no certificate in " + Pem.string());
  return Chain;
}

TSoftwareKey::TSoftwareKey(const std::filesystem::path& PemKey) {
  std::unique_ptr<FILE, int (*)(FILE*)> F(std::fopen(PemKey.c_str(), "r"), std::fclose);
  if (!F) throw std::runtime_error("cannot open " + PemKey.string());
  FKey.reset(PEM_read_PrivateKey(F.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  if (!FKey) throw std::runtime_error("no private key in " + PemKey.string());
}

std::string TSoftwareKey::SignDigest(std::string_view Digest, std::string_view Algorithm) const {
  if (!FKey) return {};
  const EVP_MD* Md = !Algorithm.empty()     ? EVP_get_digestbyname(std::string(Algorithm).c_str())
                     : Digest.size() == 20 ? EVP_sha1()
                     : Digest.size() == 32 ? EVP_sha256()
                     : Digest.size() == 48 ? EVP_sha384()
                     : Digest.size() == 64 ? EVP_sha512()
                                           : nullptr;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> Ctx(EVP_PKEY_CTX_new(FKey.get(), nullptr),
                                                                  EVP_PKEY_CTX_free);
  const auto* In = reinterpret_cast<const unsigned char*>(Digest.data());
  size_t Len = 0;
  if (!Md || !Ctx || EVP_PKEY_sign_init(Ctx.get()) != 1 ||
      (EVP_PKEY_get_base_id(FKey.get()) == EVP_PKEY_RSA &&
       EVP_PKEY_CTX_set_rsa_padding(Ctx.get(), RSA_PKCS1_PADDING) != 1) ||
      EVP_PKEY_CTX_set_signature_md(Ctx.get(), Md) != 1 ||
      EVP_PKEY_sign(Ctx.get(), nullptr, &Len, In, Digest.size()) != 1) {
    ERR_clear_error();
    return {};
  }
  std::string Signature(Len, '\0');
  if (EVP_PKEY_sign(Ctx.get(), reinterpret_cast<unsigned char*>(Signature.data()), &Len, In, Digest.size()) != 1) {
    ERR_clear_error();
    return {};
  }
  Signature.resize(Len);
  return Signature;
}

}  // namespace TestSupport
