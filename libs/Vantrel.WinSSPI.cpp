#include "Vantrel.WinSSPI.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

#include "Vantrel.HTTPClient.h"
#include "Vantrel.SHA256.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

std::string HexBytes(const unsigned char* Data, size_t Size) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Size * 2);
  for (size_t I = 0; I < Size; ++I) {
    Out += Digits[Data[I] >> 4];
    Out += Digits[Data[I] & 15];
  }
  return Out;
}

// ---- Certificate names ----

const char* ShortName(int Nid) {
  switch (Nid) {
    case NID_commonName: return "CN";
    case NID_localityName: return "L";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_pkcs9_emailAddress: return "E";
    case NID_countryName: return "C";
    case NID_stateOrProvinceName: return "S";
    case NID_streetAddress: return "STREET";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_surname: return "SN";
    case NID_domainComponent: return "DC";
    case NID_serialNumber: return "SERIALNUMBER";
    default: return nullptr;
  }
}

std::string DottedOID(const ASN1_OBJECT* Object) {
  char Buffer[128];
  int Len = OBJ_obj2txt(Buffer, sizeof Buffer, Object, 1);
  if (Len <= 0 || size_t(Len) >= sizeof Buffer) return {};
  return std::string(Buffer, size_t(Len));
}

bool IsCharacterString(int Type) {
  switch (Type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
      return true;
    default:
      return false;
  }
}

std::string ValueText(const ASN1_STRING* Value) {
  int Type = ASN1_STRING_type(Value);
  if (IsCharacterString(Type)) {
    unsigned char* Utf8 = nullptr;
    int Len = ASN1_STRING_to_UTF8(&Utf8, Value);
    if (Len < 0) return {};
    std::string Out(reinterpret_cast<char*>(Utf8), size_t(Len));
    OPENSSL_free(Utf8);
    return Out;
  }
  // Anything else is shown as its DER, like the platform does.
  ASN1_TYPE* Any = ASN1_TYPE_new();
  if (!Any) return {};
  ASN1_STRING* Copy = ASN1_STRING_dup(Value);
  if (!Copy) {
    ASN1_TYPE_free(Any);
    return {};
  }
  ASN1_TYPE_set(Any, Type, Copy);
  unsigned char* Der = nullptr;
  int Len = i2d_ASN1_TYPE(Any, &Der);
  ASN1_TYPE_free(Any);
  if (Len <= 0) return "#";
  std::string Out = "#" + HexBytes(Der, size_t(Len));
  OPENSSL_free(Der);
  return Out;
}

void AppendQuoted(std::string& Out, const std::string& Value) {
  bool Quote = Value.empty() || Value.front() == ' ' || Value.back() == ' ' ||
               Value.find_first_of(",+=\"<>#;\r\n") != std::string::npos;
  if (!Quote) {
    Out += Value;
    return;
  }
  Out += '"';
  for (char C : Value) {
    if (C == '"') Out += '"';
    Out += C;
  }
  Out += '"';
}

}  // namespace

std::string CertNameText(std::string_view Name, uint32_t Type) {
  if (Name.empty() || Name.size() > (1u << 20)) return {};
  const unsigned char* P = reinterpret_cast<const unsigned char*>(Name.data());
  X509_NAME* Parsed = d2i_X509_NAME(nullptr, &P, long(Name.size()));
  if (!Parsed) return {};
  // Relative names in encoded order, each the list of its attributes (kept
  // in encoded order whatever the flags).
  std::vector<std::vector<std::string>> Names;
  int LastSet = -1;
  int Count = X509_NAME_entry_count(Parsed);
  uint32_t Form = Type & 0xFFFF;
  for (int I = 0; I < Count; ++I) {
    const X509_NAME_ENTRY* Entry = X509_NAME_get_entry(Parsed, I);
    const ASN1_OBJECT* Object = X509_NAME_ENTRY_get_object(Entry);
    std::string Item;
    if (Form != CERT_SIMPLE_NAME_STR) {
      const char* Short = Form == CERT_X500_NAME_STR ? ShortName(OBJ_obj2nid(Object)) : nullptr;
      if (Short) Item = Short;
      else Item = (Form == CERT_X500_NAME_STR ? "OID." : "") + DottedOID(Object);
      Item += '=';
    }
    std::string Value = ValueText(X509_NAME_ENTRY_get_data(Entry));
    AppendQuoted(Item, Value);
    int Set = X509_NAME_ENTRY_set(Entry);
    if (Set != LastSet || Names.empty()) Names.emplace_back();
    LastSet = Set;
    Names.back().push_back(std::move(Item));
  }
  X509_NAME_free(Parsed);
  if (Type & CERT_NAME_STR_REVERSE_FLAG) std::reverse(Names.begin(), Names.end());
  std::string_view Plus = Type & CERT_NAME_STR_NO_PLUS_FLAG ? ", " : " + ";
  std::string Out;
  for (const auto& Relative : Names) {
    for (size_t I = 0; I < Relative.size(); ++I) {
      if (!Out.empty()) Out += I ? Plus : ", ";
      Out += Relative[I];
    }
  }
  return Out;
}

// ---- Certificate store ----

void TCertificateStore::Add(TClientCertificate Certificate) {
  auto Item = std::make_shared<const TClientCertificate>(std::move(Certificate));
  std::lock_guard<std::mutex> Guard(FLock);
  FItems.push_back(std::move(Item));
}

void TCertificateStore::Clear() {
  std::lock_guard<std::mutex> Guard(FLock);
  FItems.clear();
}

std::vector<std::shared_ptr<const TClientCertificate>> TCertificateStore::Certificates() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FItems;
}

TCertificateStore& MyStore() {
  static TCertificateStore Store;
  return Store;
}

// ---- Trust store ----

namespace {

// A certificate larger than this is no certificate of ours to check.
constexpr size_t MaxCertificateSize = 64 * 1024;

struct TX509Free {
  void operator()(X509* C) const { X509_free(C); }
};
using TX509 = std::unique_ptr<X509, TX509Free>;
struct TStoreCtxFree {
  void operator()(X509_STORE_CTX* C) const { X509_STORE_CTX_free(C); }
};
struct TStackFree {
  void operator()(STACK_OF(X509) * S) const { sk_X509_free(S); }
};
struct TChainFree {
  void operator()(STACK_OF(X509) * S) const { sk_X509_pop_free(S, X509_free); }
};
using TChain = std::unique_ptr<STACK_OF(X509), TChainFree>;
struct TCRLFree {
  void operator()(X509_CRL* C) const { X509_CRL_free(C); }
};
using TCRL = std::unique_ptr<X509_CRL, TCRLFree>;
struct TCRLsFree {
  void operator()(STACK_OF(X509_CRL) * S) const { sk_X509_CRL_pop_free(S, X509_CRL_free); }
};

// The whole DER text must be one certificate.
TX509 DecodeCertificate(std::string_view DER) {
  if (DER.empty() || DER.size() > MaxCertificateSize) return nullptr;
  const auto* P = reinterpret_cast<const unsigned char*>(DER.data());
  TX509 Cert(d2i_X509(nullptr, &P, long(DER.size())));
  if (Cert && P != reinterpret_cast<const unsigned char*>(DER.data() + DER.size())) Cert.reset();
  ERR_clear_error();
  return Cert;
}

std::string EncodedBytes(X509* Cert) {
  unsigned char* Buf = nullptr;
  int Len = i2d_X509(Cert, &Buf);
  if (Len <= 0) return {};
  std::string S(reinterpret_cast<const char*>(Buf), size_t(Len));
  OPENSSL_free(Buf);
  return S;
}

std::string HTTPFetch(const std::string& URL);

}  // namespace

std::string CertSubjectName(std::string_view Certificate) {
  TX509 Cert = DecodeCertificate(Certificate);
  unsigned char* Buf = nullptr;
  int Len = Cert ? i2d_X509_NAME(X509_get_subject_name(Cert.get()), &Buf) : 0;
  if (Len <= 0) return {};
  std::string DER(reinterpret_cast<const char*>(Buf), size_t(Len));
  OPENSSL_free(Buf);
  return DER;
}

namespace {

struct TTrust {
  std::mutex Lock;  // guards the three below; never held during a check
  std::string ExtraCAFile;
  std::shared_ptr<X509_STORE> Store;  // nullptr until first used after a change
  TCRLFetcher Fetcher = HTTPFetch;
};

// Never destroyed: a check of another thread may still run while the
// program ends.
TTrust& Trust() {
  static TTrust* T = new TTrust;
  return *T;
}

std::shared_ptr<X509_STORE> LoadStore(const std::string& ExtraCAFile) {
  std::shared_ptr<X509_STORE> Store(X509_STORE_new(), X509_STORE_free);
  bool Ok = Store && X509_STORE_set_default_paths(Store.get()) == 1 &&
            (ExtraCAFile.empty() || X509_STORE_load_file(Store.get(), ExtraCAFile.c_str()) == 1);
  ERR_clear_error();
  return Ok ? Store : nullptr;
}

// The current store; nullptr when it cannot be loaded (tried again next time).
std::shared_ptr<X509_STORE> TrustStore() {
  TTrust& T = Trust();
  std::lock_guard<std::mutex> Guard(T.Lock);
  if (!T.Store) T.Store = LoadStore(T.ExtraCAFile);
  return T.Store;
}

bool NamesDistributionPoint(X509* Cert) { return X509_get_ext_by_NID(Cert, NID_crl_distribution_points, -1) >= 0; }

// Lets every verification error through, so that the chain goes as far as
// the store reaches, up to the self-signed root when it is there.
int KeepBuilding(int, X509_STORE_CTX*) { return 1; }

// Revocation is asked of every certificate of the chain: a missing CRL is
// no fault for the root, nor for a certificate that names no distribution
// point.
int SkipUnnamedRevocation(int Ok, X509_STORE_CTX* Ctx) {
  if (Ok || X509_STORE_CTX_get_error(Ctx) != X509_V_ERR_UNABLE_TO_GET_CRL) return Ok;
  int Depth = X509_STORE_CTX_get_error_depth(Ctx);
  STACK_OF(X509)* Chain = X509_STORE_CTX_get0_chain(Ctx);
  X509* Cert = X509_STORE_CTX_get_current_cert(Ctx);
  return !Chain || Depth >= sk_X509_num(Chain) - 1 || !Cert || !NamesDistributionPoint(Cert);
}

struct TCheckOptions {
  int Purpose = 0;                     // 0: no usage asked for
  bool BuildOnly = false;              // every error let through
  STACK_OF(X509_CRL)* CRLs = nullptr;  // revocation checked against these
};

// The one chain check: the chain of Leaf over the trust store, now, with
// Untrusted offered as intermediates. Chain, when given, receives the chain
// built, end-entity first. Returns X509_verify_cert's result (1 verified, 0
// refused with Error set, below 0 the check failed), -1 when the check could
// not start.
int CheckChain(X509* Leaf, STACK_OF(X509) * Untrusted, const TCheckOptions& Options, int& Error, TChain* Chain) {
  std::shared_ptr<X509_STORE> Store = TrustStore();
  std::unique_ptr<X509_STORE_CTX, TStoreCtxFree> Ctx(X509_STORE_CTX_new());
  if (!Store || !Ctx || X509_STORE_CTX_init(Ctx.get(), Store.get(), Leaf, Untrusted) != 1 ||
      (Options.Purpose && X509_STORE_CTX_set_purpose(Ctx.get(), Options.Purpose) != 1)) {
    ERR_clear_error();
    return -1;
  }
  if (Options.BuildOnly) X509_STORE_CTX_set_verify_cb(Ctx.get(), KeepBuilding);
  if (Options.CRLs) {
    X509_STORE_CTX_set0_crls(Ctx.get(), Options.CRLs);
    X509_STORE_CTX_set_flags(Ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_STORE_CTX_set_verify_cb(Ctx.get(), SkipUnnamedRevocation);
  }
  int Verified = X509_verify_cert(Ctx.get());
  Error = X509_STORE_CTX_get_error(Ctx.get());
  if (Chain && Verified >= 0) Chain->reset(X509_STORE_CTX_get1_chain(Ctx.get()));
  ERR_clear_error();
  return Verified;
}

bool HostMatches(X509* Leaf, const std::string& Host) {
  int Match = X509_check_ip_asc(Leaf, Host.c_str(), 0);  // below 0: Host is no address
  if (Match < 0) Match = Host.empty() ? 0 : X509_check_host(Leaf, Host.data(), Host.size(), 0, nullptr);
  ERR_clear_error();
  return Match == 1;
}

// RSA keys under 2048 bits and EC keys under 256 (NIST SP 800-131A), MD5 and
// SHA-1 signatures (RFC 6151, RFC 9155): refused below the root, whose own
// key and self-signature are trusted as the store holds them.
bool IsWeak(X509* Cert) {
  EVP_PKEY* Key = X509_get0_pubkey(Cert);
  int Type = Key ? EVP_PKEY_get_base_id(Key) : NID_undef;
  int Bits = Key ? EVP_PKEY_get_bits(Key) : 0;
  int Digest = NID_undef;
  bool Known = X509_get_signature_info(Cert, &Digest, nullptr, nullptr, nullptr) == 1;
  ERR_clear_error();
  return ((Type == EVP_PKEY_RSA || Type == EVP_PKEY_RSA_PSS) && Bits < 2048) || (Type == EVP_PKEY_EC && Bits < 256) ||
         (Known && (Digest == NID_sha1 || Digest == NID_md5 || Digest == NID_md5_sha1 || Digest == NID_md4 ||
                    Digest == NID_md2));
}

bool HasWeakCredentials(STACK_OF(X509) * Chain) {
  for (int I = 0, Below = sk_X509_num(Chain) - 1; I < Below; ++I)
    if (IsWeak(sk_X509_value(Chain, I))) return true;
  return false;
}

// What the certificate chain policy reports for each verification result;
// any other result is TRUST_E_FAIL, the policy's generic refusal.
struct TChainPolicyRow {
  int VerifyResult;
  uint32_t Status;
};
constexpr TChainPolicyRow ChainPolicyRows[] = {
    {X509_V_OK, 0},
    {X509_V_ERR_CERT_HAS_EXPIRED, CERT_E_EXPIRED},
    {X509_V_ERR_CERT_NOT_YET_VALID, CERT_E_EXPIRED},
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, CERT_E_UNTRUSTEDROOT},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, CERT_E_UNTRUSTEDROOT},
    {X509_V_ERR_CERT_UNTRUSTED, CERT_E_UNTRUSTEDROOT},
    {X509_V_ERR_CERT_REJECTED, CERT_E_UNTRUSTEDROOT},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, CERT_E_CHAINING},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, CERT_E_CHAINING},
    {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, CERT_E_CHAINING},
    {X509_V_ERR_INVALID_PURPOSE, CERT_E_WRONG_USAGE},
    {X509_V_ERR_HOSTNAME_MISMATCH, CERT_E_CN_NO_MATCH},
    {X509_V_ERR_IP_ADDRESS_MISMATCH, CERT_E_CN_NO_MATCH},
    {X509_V_ERR_CERT_SIGNATURE_FAILURE, TRUST_E_CERT_SIGNATURE},
    {X509_V_ERR_CERT_REVOKED, CERT_E_REVOKED},
    // A revocation list that cannot be had or trusted, or is out of date,
    // leaves the revocation unknown: neither the certificate's dates nor the chain.
    {X509_V_ERR_UNABLE_TO_GET_CRL, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_CRL_HAS_EXPIRED, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_CRL_NOT_YET_VALID, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_CRL_SIGNATURE_FAILURE, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_KEYUSAGE_NO_CRL_SIGN, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_DIFFERENT_CRL_SCOPE, CRYPT_E_REVOCATION_OFFLINE},
};

uint32_t ChainPolicyStatus(int VerifyResult) {
  for (const auto& Row : ChainPolicyRows)
    if (Row.VerifyResult == VerifyResult) return Row.Status;
  return TRUST_E_FAIL;
}

uint32_t StatusOf(int Verified, int Error) {
  if (Verified == 1) return 0;
  return Error == X509_V_OK ? TRUST_E_FAIL : ChainPolicyStatus(Error);
}

// ---- Revocation lists ----

std::string HTTPFetch(const std::string& URL) {
  try {
    THTTPClient Client;
    Client.SetKeepAlive(false);
    Client.SetTimeout(CRLFetchTimeout);
    Client.SetMaxBodySize(MaxCRLSize);
    std::string Body;
    Client.Get(URL, Body);
    return Client.ResponseCode() == 200 ? Body : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

std::string Fetch(const std::string& URL) {
  TCRLFetcher Fetcher;
  {
    TTrust& T = Trust();
    std::lock_guard<std::mutex> Guard(T.Lock);
    Fetcher = T.Fetcher;
  }
  return Fetcher(URL);
}

// The http URLs of a certificate's distribution points, in order.
std::vector<std::string> DistributionPointURLs(X509* Cert) {
  std::vector<std::string> URLs;
  auto* Points = static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(Cert, NID_crl_distribution_points, nullptr, nullptr));
  for (int I = 0; Points && I < sk_DIST_POINT_num(Points); ++I) {
    const DIST_POINT_NAME* Name = sk_DIST_POINT_value(Points, I)->distpoint;
    if (!Name || Name->type != 0) continue;  // a name relative to the issuer is no URL
    for (int J = 0; J < sk_GENERAL_NAME_num(Name->name.fullname); ++J) {
      const GENERAL_NAME* One = sk_GENERAL_NAME_value(Name->name.fullname, J);
      if (One->type != GEN_URI) continue;
      std::string URL(reinterpret_cast<const char*>(ASN1_STRING_get0_data(One->d.uniformResourceIdentifier)),
                      size_t(ASN1_STRING_length(One->d.uniformResourceIdentifier)));
      // Printable characters only: the URL goes into the request line as it is.
      bool Plain = std::all_of(URL.begin(), URL.end(), [](char C) { return C > ' ' && C < 0x7F; });
      if (Plain && URL.size() > 7 && StartsText("http://", URL))
        URLs.push_back(std::move(URL));
    }
  }
  CRL_DIST_POINTS_free(Points);
  ERR_clear_error();
  return URLs;
}

// A CRL of Issuer, signed with its key, current at Now.
TCRL UsableCRL(std::string_view DER, X509* Issuer, time_t Now) {
  if (DER.empty() || DER.size() > MaxCRLSize) return nullptr;
  const auto* P = reinterpret_cast<const unsigned char*>(DER.data());
  TCRL CRL(d2i_X509_CRL(nullptr, &P, long(DER.size())));
  bool Ok = CRL && P == reinterpret_cast<const unsigned char*>(DER.data() + DER.size()) &&
            X509_NAME_cmp(X509_CRL_get_issuer(CRL.get()), X509_get_subject_name(Issuer)) == 0 &&
            X509_CRL_verify(CRL.get(), X509_get0_pubkey(Issuer)) == 1 &&
            X509_cmp_time(X509_CRL_get0_lastUpdate(CRL.get()), &Now) == -1 &&
            X509_CRL_get0_nextUpdate(CRL.get()) && X509_cmp_time(X509_CRL_get0_nextUpdate(CRL.get()), &Now) == 1;
  ERR_clear_error();
  return Ok ? std::move(CRL) : nullptr;
}

// The cache folder, made when missing: a folder of this user's, kept to
// them (0700), or none. Nobody else can then place a file in it, so its
// files are read and written by name.
bool PrivateCacheFolder(const std::filesystem::path& Folder) {
  std::error_code Ignored;
  std::filesystem::create_directories(Folder, Ignored);
  struct stat St {};
  return !Folder.empty() && lstat(Folder.c_str(), &St) == 0 && S_ISDIR(St.st_mode) && St.st_uid == geteuid() &&
         ((St.st_mode & 077) == 0 || chmod(Folder.c_str(), 0700) == 0);
}

// The CRL of Issuer at URL: the cached copy while it is usable, else a fresh
// one, kept when usable.
TCRL RevocationList(const std::string& URL, X509* Issuer, time_t Now) {
  std::filesystem::path File = CRLCacheFile(URL);
  bool Cache = PrivateCacheFolder(File.parent_path());
  std::error_code Ignored;
  if (Cache && std::filesystem::file_size(File, Ignored) <= MaxCRLSize)
    if (TCRL Cached = UsableCRL(FileToUTF8(File.string()), Issuer, Now)) return Cached;
  std::string Fetched = Fetch(URL);
  TCRL CRL = UsableCRL(Fetched, Issuer, Now);
  if (CRL && Cache) UTF8ToFile(File.string(), Fetched);  // a cache that cannot be written is no failure
  return CRL;
}

// The revocation status of a verified chain: the CRLs that its certificates
// below the root name are had first, then the chain is checked again with
// them. Only a chain already verified comes here, so that no URL of a
// forged certificate is ever fetched.
uint32_t RevocationStatus(X509* Leaf, STACK_OF(X509) * Untrusted, STACK_OF(X509) * Chain) {
  std::unique_ptr<STACK_OF(X509_CRL), TCRLsFree> CRLs(sk_X509_CRL_new_null());
  if (!CRLs) return TRUST_E_FAIL;
  bool Named = false;
  time_t Now = time(nullptr);
  for (int I = 0, Below = sk_X509_num(Chain) - 1; I < Below; ++I) {
    X509* Cert = sk_X509_value(Chain, I);
    if (!NamesDistributionPoint(Cert)) continue;
    Named = true;
    for (const std::string& URL : DistributionPointURLs(Cert)) {
      TCRL CRL = RevocationList(URL, sk_X509_value(Chain, I + 1), Now);
      if (CRL && sk_X509_CRL_push(CRLs.get(), CRL.get())) {
        CRL.release();
        break;
      }
    }
  }
  if (!Named) return 0;
  int Error = X509_V_OK;
  int Verified = CheckChain(Leaf, Untrusted, {X509_PURPOSE_SSL_SERVER, false, CRLs.get()}, Error, nullptr);
  return Verified < 0 ? TRUST_E_FAIL : StatusOf(Verified, Error);
}

}  // namespace

void SetExtraCAFile(std::string Path) {
  TTrust& T = Trust();
  std::lock_guard<std::mutex> Guard(T.Lock);
  T.ExtraCAFile = std::move(Path);
  T.Store.reset();
}

bool VerifyServerChain(const std::vector<std::string>& Certificates, const std::string& Host, uint32_t& Status) {
  Status = TRUST_E_FAIL;
  if (Certificates.empty()) return false;
  TX509 Leaf = DecodeCertificate(Certificates[0]);
  if (!Leaf) return false;
  std::vector<TX509> Offered;
  std::unique_ptr<STACK_OF(X509), TStackFree> Untrusted(sk_X509_new_null());
  if (!Untrusted) return false;
  for (size_t I = 1; I < Certificates.size(); ++I) {
    TX509 Cert = DecodeCertificate(Certificates[I]);
    if (!Cert) continue;  // an unreadable intermediate is no help to the chain
    if (!sk_X509_push(Untrusted.get(), Cert.get())) return false;
    Offered.push_back(std::move(Cert));
  }
  int Error = X509_V_OK;
  TChain Chain;
  int Verified = CheckChain(Leaf.get(), Untrusted.get(), {X509_PURPOSE_SSL_SERVER}, Error, &Chain);
  if (Verified < 0 || (Verified == 1 && !Chain)) return false;
  if (Verified != 1) Status = StatusOf(Verified, Error);
  else if (!HostMatches(Leaf.get(), Host)) Status = CERT_E_CN_NO_MATCH;
  else if (HasWeakCredentials(Chain.get())) Status = TRUST_E_CERT_SIGNATURE;
  else Status = RevocationStatus(Leaf.get(), Untrusted.get(), Chain.get());
  return true;
}

int BuildCertificateChain(std::string_view Certificate, std::vector<std::string>& Chain) {
  TX509 Cert = DecodeCertificate(Certificate);
  if (!Cert) return -1;
  int Error = X509_V_OK;
  TChain Built;
  if (CheckChain(Cert.get(), nullptr, {0, true}, Error, &Built) < 0) return -2;
  if (!Built || sk_X509_num(Built.get()) == 0) return -3;
  std::vector<std::string> Encoded;
  for (int I = 0; I < sk_X509_num(Built.get()); ++I) Encoded.push_back(EncodedBytes(sk_X509_value(Built.get(), I)));
  Chain = std::move(Encoded);
  return 0;
}

// ---- Revocation lists ----

std::filesystem::path CRLCacheFolder() {
  const char* Xdg = std::getenv("XDG_CACHE_HOME");
  if (Xdg && Xdg[0] == '/') return std::filesystem::path(Xdg) / "Carvelin2" / "crl";
  const char* Home = std::getenv("HOME");
  if (!Home || Home[0] != '/') return {};
  return std::filesystem::path(Home) / ".cache" / "Carvelin2" / "crl";
}

std::filesystem::path CRLCacheFile(std::string_view URL) {
  TSHA256Context Context;
  SHA256Init(Context);
  SHA256Update(Context, URL.data(), URL.size());
  std::string Digest = SHA256Final(Context);
  return CRLCacheFolder() / (HexBytes(reinterpret_cast<const unsigned char*>(Digest.data()), Digest.size()) + ".crl");
}

void SetCRLFetcher(TCRLFetcher Fetcher) {
  TTrust& T = Trust();
  std::lock_guard<std::mutex> Guard(T.Lock);
  T.Fetcher = Fetcher ? std::move(Fetcher) : HTTPFetch;
}

// ---- PKCS #12 files ----

namespace {

struct TPKCS12Free {
  void operator()(PKCS12* P) const { PKCS12_free(P); }
};
struct TPKeyFree {
  void operator()(EVP_PKEY* K) const { EVP_PKEY_free(K); }
};

// The reasons of the thread's error queue, oldest first; the queue is emptied.
std::string TakeErrorText() {
  std::string Text;
  while (unsigned long Code = ERR_get_error()) {
    const char* Reason = ERR_reason_error_string(Code);
    std::string Item = Reason ? Reason : "error " + std::to_string(ERR_GET_REASON(Code));
    if (Text.find(Item) != std::string::npos) continue;
    Text += (Text.empty() ? "" : ", ") + Item;
  }
  return Text;
}

// A library context with the default and the legacy algorithms, made once
// and never freed; nullptr when the legacy module is not installed.
OSSL_LIB_CTX* LegacyContext() {
  static OSSL_LIB_CTX* Context = [] {
    OSSL_LIB_CTX* C = OSSL_LIB_CTX_new();
    if (C && (!OSSL_PROVIDER_load(C, "default") || !OSSL_PROVIDER_load(C, "legacy"))) {
      OSSL_LIB_CTX_free(C);
      C = nullptr;
    }
    ERR_clear_error();
    return C;
  }();
  return Context;
}

// Parses the file in the thread's current library context.
bool ParsePFX(std::string_view Data, const std::string& Password, TPFXContent& Content) {
  const auto* P = reinterpret_cast<const unsigned char*>(Data.data());
  std::unique_ptr<PKCS12, TPKCS12Free> File(d2i_PKCS12(nullptr, &P, long(Data.size())));
  if (!File) return false;
  EVP_PKEY* RawKey = nullptr;
  STACK_OF(X509)* RawCerts = nullptr;
  // Without a certificate to fill, every certificate comes back in file order.
  if (!PKCS12_parse(File.get(), Password.c_str(), &RawKey, nullptr, &RawCerts)) return false;
  std::unique_ptr<EVP_PKEY, TPKeyFree> Key(RawKey);
  TChain Certs(RawCerts);
  Content = {};
  for (int I = 0; I < sk_X509_num(Certs.get()); ++I) {
    X509* Cert = sk_X509_value(Certs.get(), I);
    if (Content.KeyCertificate < 0 && Key && X509_check_private_key(Cert, Key.get()) == 1)
      Content.KeyCertificate = I;
    Content.Certificates.push_back(EncodedBytes(Cert));
  }
  ERR_clear_error();
  return true;
}

}  // namespace

bool PFXImportCertStore(std::string_view Data, const std::string& Password, TPFXContent& Content, std::string& Error) {
  Content = {};
  Error.clear();
  if (Data.empty() || Data.size() > MaxPFXSize) {
    Error = Data.empty() ? "fichier vide" : "fichier de plus de 1 Mio";
    return false;
  }
  ERR_clear_error();
  if (ParsePFX(Data, Password, Content)) return true;
  Error = TakeErrorText();
  if (OSSL_LIB_CTX* Legacy = LegacyContext()) {
    // The context is the thread's default only for this call.
    OSSL_LIB_CTX* Previous = OSSL_LIB_CTX_set0_default(Legacy);
    bool Ok = ParsePFX(Data, Password, Content);
    std::string LegacyError = TakeErrorText();
    OSSL_LIB_CTX_set0_default(Previous);
    if (Ok) {
      Error.clear();
      return true;
    }
    if (!LegacyError.empty()) Error = LegacyError;
  }
  if (Error.empty()) Error = "fichier illisible";
  return false;
}

}  // namespace Vantrel
