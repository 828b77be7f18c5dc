#include "Vantrel.WinSSPI.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>

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

struct TTrust {
  std::mutex Lock;  // guards the two below; never held during a check
  std::string ExtraCAFile;
  std::shared_ptr<X509_STORE> Store;  // nullptr until first used after a change
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

// Lets every verification error through, so that the chain goes as far as
// the store reaches, up to the self-signed root when it is there.
int KeepBuilding(int, X509_STORE_CTX*) { return 1; }

// The one chain check: the chain of Leaf over the trust store, now, with
// Untrusted offered as intermediates. Purpose 0 asks for no usage; with
// BuildOnly every error is let through. Chain, when given, receives the
// chain built (DER, end-entity first). Returns X509_verify_cert's result
// (1 verified, 0 refused with Error set, below 0 the check failed), -1 when
// the check could not start.
int CheckChain(X509* Leaf, STACK_OF(X509) * Untrusted, int Purpose, bool BuildOnly, int& Error,
               std::vector<std::string>* Chain) {
  std::shared_ptr<X509_STORE> Store = TrustStore();
  std::unique_ptr<X509_STORE_CTX, TStoreCtxFree> Ctx(X509_STORE_CTX_new());
  if (!Store || !Ctx || X509_STORE_CTX_init(Ctx.get(), Store.get(), Leaf, Untrusted) != 1 ||
      (Purpose && X509_STORE_CTX_set_purpose(Ctx.get(), Purpose) != 1)) {
    ERR_clear_error();
    return -1;
  }
  if (BuildOnly) X509_STORE_CTX_set_verify_cb(Ctx.get(), KeepBuilding);
  int Verified = X509_verify_cert(Ctx.get());
  Error = X509_STORE_CTX_get_error(Ctx.get());
  if (Chain && Verified >= 0) {
    STACK_OF(X509)* Built = X509_STORE_CTX_get0_chain(Ctx.get());
    for (int I = 0, Count = Built ? sk_X509_num(Built) : 0; I < Count; ++I)
      Chain->push_back(EncodedBytes(sk_X509_value(Built, I)));
  }
  ERR_clear_error();
  return Verified;
}

bool HostMatches(X509* Leaf, const std::string& Host) {
  int Match = X509_check_ip_asc(Leaf, Host.c_str(), 0);  // below 0: Host is no address
  if (Match < 0) Match = Host.empty() ? 0 : X509_check_host(Leaf, Host.data(), Host.size(), 0, nullptr);
  ERR_clear_error();
  return Match == 1;
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
    {X509_V_ERR_CERT_REVOKED, CRYPT_E_REVOKED},
    // A revocation list that cannot be had, or is out of date, leaves the
    // revocation unknown: neither the certificate's dates nor the chain.
    {X509_V_ERR_UNABLE_TO_GET_CRL, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_CRL_HAS_EXPIRED, CRYPT_E_REVOCATION_OFFLINE},
    {X509_V_ERR_CRL_NOT_YET_VALID, CRYPT_E_REVOCATION_OFFLINE},
};

}  // namespace

void SetExtraCAFile(std::string Path) {
  TTrust& T = Trust();
  std::lock_guard<std::mutex> Guard(T.Lock);
  T.ExtraCAFile = std::move(Path);
  T.Store.reset();
}

uint32_t ChainPolicyStatus(int VerifyResult) {
  for (const auto& Row : ChainPolicyRows)
    if (Row.VerifyResult == VerifyResult) return Row.Status;
  return TRUST_E_FAIL;
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
  int Verified = CheckChain(Leaf.get(), Untrusted.get(), X509_PURPOSE_SSL_SERVER, false, Error, nullptr);
  if (Verified < 0) return false;
  if (Verified != 1) Status = Error == X509_V_OK ? TRUST_E_FAIL : ChainPolicyStatus(Error);
  else Status = HostMatches(Leaf.get(), Host) ? 0 : CERT_E_CN_NO_MATCH;
  return true;
}

int BuildCertificateChain(std::string_view Certificate, std::vector<std::string>& Chain) {
  TX509 Cert = DecodeCertificate(Certificate);
  if (!Cert) return -1;
  std::vector<std::string> Built;
  int Error = X509_V_OK;
  if (CheckChain(Cert.get(), nullptr, 0, true, Error, &Built) < 0) return -2;
  if (Built.empty()) return -3;
  Chain = std::move(Built);
  return 0;
}

}  // namespace Vantrel
