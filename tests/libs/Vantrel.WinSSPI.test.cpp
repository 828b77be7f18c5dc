// The chain policy table, and the one chain check over the one trust store
// with certificates made in the test (P-256 keys, quick to make): the
// statuses a TLS server's chain gets, and the signer's chain that the same
// extra CA file extends.
#include "Vantrel.WinSSPI.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

TEST(WinSSPI, verification_results_map_to_policy_statuses) {
  struct {
    int Result;
    uint32_t Status;
  } Rows[] = {
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
      {X509_V_ERR_UNABLE_TO_GET_CRL, CRYPT_E_REVOCATION_OFFLINE},
      {X509_V_ERR_CRL_HAS_EXPIRED, CRYPT_E_REVOCATION_OFFLINE},
      {X509_V_ERR_CRL_NOT_YET_VALID, CRYPT_E_REVOCATION_OFFLINE},
      // No status of their own: the policy's generic refusal.
      {X509_V_ERR_PATH_LENGTH_EXCEEDED, TRUST_E_FAIL},
      {X509_V_ERR_INVALID_CA, TRUST_E_FAIL},
      {X509_V_ERR_UNSPECIFIED, TRUST_E_FAIL},
  };
  for (const auto& Row : Rows)
    EXPECT_EQ(ChainPolicyStatus(Row.Result), Row.Status) << X509_verify_cert_error_string(Row.Result);
}

// ---- Certificates made here ----

struct TKeyFree {
  void operator()(EVP_PKEY* K) const { EVP_PKEY_free(K); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
struct TCertFree {
  void operator()(X509* C) const { X509_free(C); }
};
using TCert = std::unique_ptr<X509, TCertFree>;

TKey NewKey() { return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

struct TCertSpec {
  std::string CN;
  std::string Extensions;  // "name=value" lines
  long FromDays = -1, ToDays = 2;
};

// Signed by IssuerKey under Issuer's subject; self-signed without Issuer.
TCert Issue(const TCertSpec& Spec, EVP_PKEY* Key, X509* Issuer, EVP_PKEY* IssuerKey) {
  static long Serial = 1;
  TCert C(X509_new());
  X509_set_version(C.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(C.get()), ++Serial);
  X509_gmtime_adj(X509_getm_notBefore(C.get()), Spec.FromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(C.get()), Spec.ToDays * 86400);
  X509_NAME* Name = X509_get_subject_name(C.get());
  X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(Spec.CN.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(C.get(), Issuer ? X509_get_subject_name(Issuer) : Name);
  X509_set_pubkey(C.get(), Key);
  X509V3_CTX Ctx;
  X509V3_set_ctx_nodb(&Ctx);
  X509V3_set_ctx(&Ctx, Issuer ? Issuer : C.get(), C.get(), nullptr, nullptr, 0);
  for (size_t At = 0; At < Spec.Extensions.size();) {
    size_t End = Spec.Extensions.find('\n', At);
    std::string Line = Spec.Extensions.substr(At, End - At);
    At = End == std::string::npos ? Spec.Extensions.size() : End + 1;
    size_t Eq = Line.find('=');
    X509_EXTENSION* Ext = X509V3_EXT_nconf(nullptr, &Ctx, Line.substr(0, Eq).c_str(), Line.substr(Eq + 1).c_str());
    EXPECT_TRUE(Ext) << Line;
    if (Ext) X509_add_ext(C.get(), Ext, -1);
    X509_EXTENSION_free(Ext);
  }
  EXPECT_GT(X509_sign(C.get(), IssuerKey ? IssuerKey : Key, EVP_sha256()), 0);
  return C;
}

std::string Der(X509* C) {
  unsigned char* P = nullptr;
  int Len = i2d_X509(C, &P);
  std::string Out(reinterpret_cast<const char*>(P), size_t(std::max(Len, 0)));
  OPENSSL_free(P);
  return Out;
}

const std::string Authority = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign";
const std::string Server = "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth";

// A root in the extra CA file, an intermediate under it, and a rogue root
// that no store holds.
class WinSSPITrust : public ::testing::Test {
 protected:
  TestSupport::TempDir Dir;
  TKey RootKey = NewKey(), IntermediateKey = NewKey(), RogueKey = NewKey(), LeafKey = NewKey();
  TCert Root = Issue({"Racine Test", Authority}, RootKey.get(), nullptr, nullptr);
  TCert Intermediate = Issue({"Intermediaire Test", Authority}, IntermediateKey.get(), Root.get(), RootKey.get());
  TCert Rogue = Issue({"Racine Inconnue", Authority}, RogueKey.get(), nullptr, nullptr);
  std::string RootFile = (Dir / "root.pem").string();

  void SetUp() override {
    FILE* F = fopen(RootFile.c_str(), "w");
    ASSERT_TRUE(F);
    PEM_write_X509(F, Root.get());
    fclose(F);
    SetExtraCAFile(RootFile);
  }
  void TearDown() override { SetExtraCAFile({}); }

  std::string Leaf(const TCertSpec& Spec, X509* Issuer, EVP_PKEY* IssuerKey) {
    return Der(Issue(Spec, LeafKey.get(), Issuer, IssuerKey).get());
  }
  uint32_t Check(const std::vector<std::string>& Certificates, const std::string& Host) {
    uint32_t Status = 0xFFFFFFFF;
    EXPECT_TRUE(VerifyServerChain(Certificates, Host, Status));
    return Status;
  }
};

TEST_F(WinSSPITrust, server_chains_get_the_policy_status) {
  std::string Good = Leaf({"localhost", Server}, Root.get(), RootKey.get());
  std::string Deep = Leaf({"localhost", Server}, Intermediate.get(), IntermediateKey.get());
  struct {
    const char* Name;
    std::vector<std::string> Chain;
    std::string Host;
    uint32_t Status;
  } Cases[] = {
      {"trusted, by name", {Good}, "localhost", 0},
      {"trusted, by address", {Good}, "127.0.0.1", 0},
      {"intermediate sent by the server", {Deep, Der(Intermediate.get())}, "localhost", 0},
      {"intermediate missing", {Deep}, "localhost", CERT_E_CHAINING},
      {"another host", {Good}, "other.example", CERT_E_CN_NO_MATCH},
      {"another address", {Good}, "127.0.0.2", CERT_E_CN_NO_MATCH},
      {"no host", {Good}, "", CERT_E_CN_NO_MATCH},
      {"expired", {Leaf({"localhost", Server, -3, -1}, Root.get(), RootKey.get())}, "localhost", CERT_E_EXPIRED},
      {"not yet valid", {Leaf({"localhost", Server, 1, 3}, Root.get(), RootKey.get())}, "localhost", CERT_E_EXPIRED},
      {"client certificate",
       {Leaf({"localhost", "subjectAltName=DNS:localhost\nextendedKeyUsage=clientAuth"}, Root.get(), RootKey.get())},
       "localhost", CERT_E_WRONG_USAGE},
      {"self-signed", {Leaf({"localhost", Server}, nullptr, nullptr)}, "localhost", CERT_E_UNTRUSTEDROOT},
      {"unknown authority", {Leaf({"localhost", Server}, Rogue.get(), RogueKey.get())}, "localhost", CERT_E_CHAINING},
      // Named after the trusted root but signed by another key.
      {"forged signature", {Leaf({"localhost", Server}, Root.get(), RogueKey.get())}, "localhost",
       TRUST_E_CERT_SIGNATURE},
  };
  for (const auto& C : Cases) EXPECT_EQ(Check(C.Chain, C.Host), C.Status) << C.Name;
}

TEST_F(WinSSPITrust, unusable_input_or_store_is_no_check) {
  std::string Good = Leaf({"localhost", Server}, Root.get(), RootKey.get());
  struct {
    const char* Name;
    std::vector<std::string> Chain;
  } Cases[] = {{"nothing", {}}, {"not a certificate", {"\x30\x03\x02\x01\x01"}}, {"trailing bytes", {Good + "x"}}};
  for (const auto& C : Cases) {
    uint32_t Status = 0;
    EXPECT_FALSE(VerifyServerChain(C.Chain, "localhost", Status)) << C.Name;
    EXPECT_EQ(Status, TRUST_E_FAIL) << C.Name;
  }
  SetExtraCAFile((Dir / "missing.pem").string());
  uint32_t Status = 0;
  EXPECT_FALSE(VerifyServerChain({Good}, "localhost", Status));
  EXPECT_EQ(Status, TRUST_E_FAIL);
  std::vector<std::string> Chain;
  EXPECT_EQ(BuildCertificateChain(Good, Chain), -2);
  EXPECT_EQ(BuildCertificateChain("not a certificate", Chain), -1);
  EXPECT_TRUE(Chain.empty());
}

// The server check (both TLS engines) and the signer's chain (the document
// signature) read the one store: one extra CA file changes both.
TEST_F(WinSSPITrust, one_extra_file_serves_the_server_check_and_the_signer_chain) {
  std::string ServerCert = Leaf({"localhost", Server}, Root.get(), RootKey.get());
  std::string Signer = Leaf({"Dr Test", "keyUsage=critical,nonRepudiation"}, Intermediate.get(), IntermediateKey.get());
  auto Expect = [&](uint32_t ServerStatus, std::vector<std::string> SignerChain) {
    EXPECT_EQ(Check({ServerCert}, "localhost"), ServerStatus);
    std::vector<std::string> Chain;
    ASSERT_EQ(BuildCertificateChain(Signer, Chain), 0);
    EXPECT_EQ(Chain, SignerChain);
  };
  // The intermediate is not in the file: the signer's chain stops at it,
  // whatever its trust.
  Expect(0, {Signer});
  SetExtraCAFile({});
  Expect(CERT_E_CHAINING, {Signer});
  std::string Both = (Dir / "both.pem").string();
  FILE* F = fopen(Both.c_str(), "w");
  ASSERT_TRUE(F);
  PEM_write_X509(F, Root.get());
  PEM_write_X509(F, Intermediate.get());
  fclose(F);
  SetExtraCAFile(Both);
  Expect(0, {Signer, Der(Intermediate.get()), Der(Root.get())});
}

}  // namespace
