// The test PKI of the build folder (tests/tools/make-test-pki.sh, whose
// header lists its files): made once by the CTest fixture "pki", or here on
// first use when a program runs outside CTest. Every test reads the same
// files: never change them (copy to a TempDir first).
#pragma once

#include <openssl/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

// The folder, made when missing; throws when the script fails.
const std::filesystem::path& PKIDir();

// A file of it by its relative name ("server.pem", "revocation/crl/root-ca.crl").
std::string PKIFile(std::string_view Name);

// The port the revocation set's CRL distribution points name.
int PKICRLPort();

// The certificates of a PEM file in DER, in file order; throws when there is none.
std::vector<std::string> CertificatesDER(const std::filesystem::path& Pem);

// A private key in software that signs as a card does: given a digest, the
// PKCS #1 v1.5 signature of its DigestInfo (RFC 8017 §9.2), or for an EC key
// the DER ECDSA signature. An empty key refuses every digest.
class TSoftwareKey {
 public:
  TSoftwareKey() = default;
  explicit TSoftwareKey(const std::filesystem::path& PemKey);  // throws when unreadable

  // The digest algorithm is named ("SHA256", "sha1"...) or, when Algorithm
  // is empty, told by the digest's length (SHA-1, -256, -384, -512). Empty
  // when the key refuses: no key, unknown algorithm, length that does not match.
  std::string SignDigest(std::string_view Digest, std::string_view Algorithm = {}) const;

  explicit operator bool() const { return FKey != nullptr; }

 private:
  std::shared_ptr<EVP_PKEY> FKey;
};

}  // namespace TestSupport
