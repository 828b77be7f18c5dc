// Certificates and the statuses of the platform's security interfaces: the
// SSPI (SEC_*), chain policy (CERT_E_*, TRUST_E_*, CRYPT_E_*) and name (CERT_*)
// values, the text of a certificate name, the client-certificate stores, and
// the one trust store with the one chain check that both TLS engines and the
// document signature use.
//
// The trust store is the system CA bundle plus an optional extra CA file
// (SetExtraCAFile), built on first use. It has a lock of its own, held only
// while the store is taken or replaced, never during a check or a handshake:
// a check keeps the store it took, so a new extra file never disturbs a
// check under way, and a chain may be built from inside a TLS handshake.
//
// A server's chain is also checked for revocation, from the CRLs that its
// certificates name (RFC 5280 §4.2.1.13), the root's own excepted. Only http
// distribution points are used, so fetching a CRL never starts TLS. Fetched
// CRLs are kept in CRLCacheFolder() until their next update; a CRL is used
// and kept only when it is its issuer's, signed by its key and current.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Vantrel {

// ---- Statuses of the security provider (SSPI values) ----

inline constexpr int32_t SEC_I_CONTEXT_EXPIRED = 0x00090317;  // the server closed the TLS session
inline constexpr int32_t NTE_FAIL = int32_t(0x80090020);
inline constexpr int32_t SEC_E_INTERNAL_ERROR = int32_t(0x80090304);
inline constexpr int32_t SEC_E_ILLEGAL_MESSAGE = int32_t(0x80090326);
inline constexpr int32_t SEC_E_DECRYPT_FAILURE = int32_t(0x80090330);
inline constexpr int32_t SEC_E_ALGORITHM_MISMATCH = int32_t(0x80090331);  // no protocol in common

// ---- Chain policy statuses ----

inline constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
inline constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
inline constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
inline constexpr uint32_t TRUST_E_FAIL = 0x800B010B;
inline constexpr uint32_t CERT_E_REVOKED = 0x800B010C;
inline constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
inline constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
// Also the status of a certificate below the root with a weak key or digest,
// as the platform reports a weak signature.
inline constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004;
inline constexpr uint32_t CRYPT_E_REVOCATION_OFFLINE = 0x80092013;

// ---- Certificate names ----

// Flags of CertNameText (the values of the platform's name-to-string call).
inline constexpr uint32_t CERT_SIMPLE_NAME_STR = 1;
inline constexpr uint32_t CERT_OID_NAME_STR = 2;
inline constexpr uint32_t CERT_X500_NAME_STR = 3;
inline constexpr uint32_t CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
inline constexpr uint32_t CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;

// The text of a DER-encoded name: relative names in encoded order ("C=FR,
// O=..., CN=..."), last-encoded first with the reverse flag, joined with
// ", "; the attributes of one relative name in encoded order, joined with
// " + " (with the no-plus flag, with ", "). Type X500 writes short names
// (CN, O, OU, C, L, S, STREET, E, T, G, SN, I, DC, SERIALNUMBER; others
// "OID." + dotted number), type OID the dotted numbers, type simple the
// values alone. A value that is empty or holds , + = " < > # ; a line break
// or outer blanks is quoted, its quotes doubled; a value that is no
// character string is "#" + the hexadecimal of its DER. Empty for an empty
// or undecodable name.
std::string CertNameText(std::string_view Name, uint32_t Type);

// The subject name (DER) of a DER certificate; empty when it cannot be decoded.
std::string CertSubjectName(std::string_view Certificate);

// ---- Client certificates ----

// A certificate the program holds for client authentication: its chain (DER,
// end-entity first) and the holder's RSA signing operation. Sign receives
// the digest algorithm ("SHA1", "SHA256", "SHA384", "SHA512") and the
// digest, and answers the PKCS #1 v1.5 signature (empty on failure).
struct TClientCertificate {
  std::vector<std::string> Chain;
  std::function<std::string(std::string_view Algorithm, std::string_view Digest)> Sign;
};

// The certificates a TLS client may choose from; thread-safe.
class TCertificateStore {
 public:
  void Add(TClientCertificate Certificate);
  void Clear();
  std::vector<std::shared_ptr<const TClientCertificate>> Certificates() const;

 private:
  mutable std::mutex FLock;
  std::vector<std::shared_ptr<const TClientCertificate>> FItems;
};

// The program's own store, used when a connection is given none.
TCertificateStore& MyStore();

// ---- PKCS #12 files ----

inline constexpr size_t MaxPFXSize = size_t(1) << 20;

// What a PKCS #12 file holds once opened: its certificates (DER) in file
// order, and which of them matches its private key (-1: none does).
struct TPFXContent {
  std::vector<std::string> Certificates;
  int KeyCertificate = -1;
};

// Opens a PKCS #12 file with its password (UTF-8), with the legacy
// algorithms (RC2, 3DES) when the default ones cannot read it. The private
// key is only compared with the certificates and freed at once. False, with
// Error the library's explanation, when the file is larger than MaxPFXSize,
// undecodable, or the password is wrong.
bool PFXImportCertStore(std::string_view Data, const std::string& Password, TPFXContent& Content, std::string& Error);

// ---- Trust store and chain check ----

// A PEM file of further trusted authorities beside the system bundle; empty:
// none. Checks from now on use the new store.
void SetExtraCAFile(std::string Path);

// Checks the chain of a TLS server called Host (a name or an IP address),
// now: Certificates[0] is the server's (DER), the rest are offered as
// intermediates; the trust store supplies the authorities. In this order:
// the chain (its policy status), the name (CERT_E_CN_NO_MATCH), the strength
// of every certificate below the root (TRUST_E_CERT_SIGNATURE for an RSA key
// under 2048 bits, an EC key under 256 bits, an MD5 or SHA-1 signature),
// then revocation: CERT_E_REVOKED, or CRYPT_E_REVOCATION_OFFLINE when a
// certificate names distribution points but no usable CRL can be had from
// them. Status: 0 or the policy status. False, with Status TRUST_E_FAIL,
// when the check could not be made (no readable server certificate, no
// trust store, the verification call itself failed).
bool VerifyServerChain(const std::vector<std::string>& Certificates, const std::string& Host, uint32_t& Status);

// The chain of a DER certificate over the trust store, end-entity first, as
// far as the store reaches, whatever its trust, dates, strength or
// revocation (the signer's own chain, for the reader to judge). 0; -1 when the
// certificate cannot be decoded; -2 when the chain cannot be built; -3 when
// it is empty.
int BuildCertificateChain(std::string_view Certificate, std::vector<std::string>& Chain);

// ---- Revocation lists ----

inline constexpr size_t MaxCRLSize = size_t(1) << 20;
inline constexpr int CRLFetchTimeout = 5000;  // milliseconds

// $XDG_CACHE_HOME/Carvelin2/crl, else ~/.cache/Carvelin2/crl (mode 0700);
// empty when neither is known.
std::filesystem::path CRLCacheFolder();
// The file of the CRL of an URL there: the SHA-256 of the URL in hexadecimal
// + ".crl" (mode 0600, DER).
std::filesystem::path CRLCacheFile(std::string_view URL);

// The body at an http URL; empty when it cannot be had.
using TCRLFetcher = std::function<std::string(const std::string& URL)>;
// How CRLs are fetched; an empty Fetcher restores the default: the HTTP
// client, MaxCRLSize at most, CRLFetchTimeout, status 200 only.
void SetCRLFetcher(TCRLFetcher Fetcher);

}  // namespace Vantrel
