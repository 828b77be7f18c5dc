// A professional session for the identity-teleservice tests: card, holder,
// activity and certificate are plain fields; SignHash signs with a software
// RSA key as a card does: DigestInfo of SHA-256 (RFC 8017 §9.2) before the
// hash, then a PKCS #1 v1.5 signature, returned as Base64.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.UTF8.Utils.h"

namespace INSiTest {

using namespace Talven;

struct TKeyFree {
  void operator()(EVP_PKEY* Key) const { EVP_PKEY_free(Key); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;

inline TKey NewKey() { return TKey(EVP_RSA_gen(2048)); }

// The key of a PEM file (as written by openssl req -nodes).
inline TKey ReadKey(const std::string& Path) {
  FILE* F = std::fopen(Path.c_str(), "rb");
  if (!F) throw std::runtime_error("cannot open " + Path);
  TKey Key(PEM_read_PrivateKey(F, nullptr, nullptr, nullptr));
  std::fclose(F);
  if (!Key) throw std::runtime_error("no key in " + Path);
  return Key;
}

// The DER bytes of a PEM certificate file.
inline std::string ReadCertDER(const std::string& Path) {
  FILE* F = std::fopen(Path.c_str(), "rb");
  if (!F) throw std::runtime_error("cannot open " + Path);
  X509* Cert = PEM_read_X509(F, nullptr, nullptr, nullptr);
  std::fclose(F);
  if (!Cert) throw std::runtime_error("no certificate in " + Path);
  unsigned char* Der = nullptr;
  const int Len = i2d_X509(Cert, &Der);
  X509_free(Cert);
  if (Len <= 0) throw std::runtime_error("cannot encode " + Path);
  std::string Bytes(reinterpret_cast<const char*>(Der), size_t(Len));
  OPENSSL_free(Der);
  return Bytes;
}

class TFakeSession : public IVaspoCNX {
 public:
  TCarte Carte;
  TPorteur Porteur;
  TActivite Activite;
  bool HasPorteur = true;
  bool HasActivite = true;
  TCertificat Certificat;
  int CertStatus = 0;
  int SignStatus = 0;  // a non-zero value refuses to sign
  TKey Key;
  std::string LastHash;

  const TCarte* GetCarte() override { return &Carte; }
  const TPorteur* GetPorteur() override { return HasPorteur ? &Porteur : nullptr; }
  const TActivite* CurrentActivite() override { return HasActivite ? &Activite : nullptr; }
  int GetCertificat(TCertificat* Cert) override {
    if (!Cert) return -1;
    if (CertStatus == 0) *Cert = Certificat;
    return CertStatus;
  }
  int SignHash(std::string_view Data, std::string_view& Digest) override {
    LastHash = Data;
    if (SignStatus != 0) return SignStatus;
    static const unsigned char Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::string Info(reinterpret_cast<const char*>(Prefix), sizeof Prefix);
    Info += Data;
    EVP_PKEY_CTX* Ctx = EVP_PKEY_CTX_new(Key.get(), nullptr);
    size_t Len = 0;
    std::string Signature;
    bool Ok = Ctx && EVP_PKEY_sign_init(Ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(Ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_sign(Ctx, nullptr, &Len, reinterpret_cast<const unsigned char*>(Info.data()),
                            Info.size()) == 1;
    if (Ok) {
      Signature.resize(Len);
      Ok = EVP_PKEY_sign(Ctx, reinterpret_cast<unsigned char*>(Signature.data()), &Len,
                         reinterpret_cast<const unsigned char*>(Info.data()), Info.size()) == 1;
      Signature.resize(Len);
    }
    EVP_PKEY_CTX_free(Ctx);
    if (!Ok) return -2;
    FSignature = Vantrel::Base64Encode(Signature);
    Digest = FSignature;
    return 0;
  }

  int DossierExiste(std::string_view, char, std::shared_ptr<IDossierMedical>&) override { return -1; }
  int GetDossiers(std::string_view, TDateMode, std::shared_ptr<IDossierList>&) override { return -1; }
  int GetPatients(const TRecherchePatients&, std::shared_ptr<IPatientList>&) override { return -1; }
  std::string GetServer() override { return {}; }
  void SetServer(std::string_view) override {}
  int rechercherInsAvecTraitsIdentite(const TINSiTraits&, const TINSiResponse*&) override { return -1; }
  void SetSpecAMO(std::string_view) override {}
  int GetAppVitale(std::string_view, std::shared_ptr<IAppVitale>&, bool) override { return -1; }
  int CloseAppVitale() override { return -1; }

 private:
  std::string FSignature;
};

}  // namespace INSiTest
