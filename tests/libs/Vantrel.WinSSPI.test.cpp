// The one chain check over the one trust store with the test PKI: the policy
// status each real verification outcome gets (expired, untrusted, wrong name,
// wrong usage, forged or weak, revoked, revocation unknown), the signer's
// chain that the same extra CA file extends, and the revocation lists' cache
// (CRLs fetched from the PKI's files, without a network).
#include "Vantrel.WinSSPI.h"

#include <cstdlib>
#include <map>

#include "TestPKI.h"
#include "TestSupport.h"

using namespace Vantrel;
using TestSupport::PKIFile;

namespace {

std::vector<std::string> Chain(std::string_view Pem) { return TestSupport::CertificatesDER(PKIFile(Pem)); }
std::string Leaf(std::string_view Pem) { return Chain(Pem)[0]; }

// The PKI's root alone in the extra CA file: servers send their intermediate.
class WinSSPITrust : public ::testing::Test {
 protected:
  void SetUp() override { SetExtraCAFile(PKIFile("root-ca.pem")); }
  void TearDown() override { SetExtraCAFile({}); }

  uint32_t Check(const std::vector<std::string>& Certificates, const std::string& Host) {
    uint32_t Status = 0xFFFFFFFF;
    EXPECT_TRUE(VerifyServerChain(Certificates, Host, Status));
    return Status;
  }
};

TEST_F(WinSSPITrust, server_chains_get_the_policy_status) {
  // The server's certificate with one bit of its signature changed.
  std::vector<std::string> Forged = Chain("server-chain.pem");
  Forged[0].back() ^= 1;
  struct {
    const char* Name;
    std::vector<std::string> Chain;
    std::string Host;
    uint32_t Status;
  } Cases[] = {
      {"trusted, by name", Chain("server-chain.pem"), "localhost", 0},
      {"trusted, by address", Chain("server-chain.pem"), "127.0.0.1", 0},
      {"EC key", Chain("server-ec-chain.pem"), "localhost", 0},
      {"intermediate missing", {Leaf("server.pem")}, "localhost", CERT_E_CHAINING},
      {"another host", Chain("server-chain.pem"), "other.example", CERT_E_CN_NO_MATCH},
      {"another address", Chain("server-chain.pem"), "127.0.0.2", CERT_E_CN_NO_MATCH},
      {"no host", Chain("server-chain.pem"), "", CERT_E_CN_NO_MATCH},
      {"certificate of another name", Chain("wrong-name-chain.pem"), "localhost", CERT_E_CN_NO_MATCH},
      {"expired", Chain("expired-chain.pem"), "localhost", CERT_E_EXPIRED},
      {"not yet valid", Chain("not-yet-valid-chain.pem"), "localhost", CERT_E_EXPIRED},
      {"client certificate", Chain("client-chain.pem"), "localhost", CERT_E_WRONG_USAGE},
      {"self-signed", {Leaf("self-signed.pem")}, "localhost", CERT_E_UNTRUSTEDROOT},
      {"unknown authority", {Leaf("rogue-server.pem")}, "localhost", CERT_E_CHAINING},
      {"unknown authority sent by the server", Chain("rogue-server-chain.pem"), "localhost", CERT_E_UNTRUSTEDROOT},
      {"forged signature", Forged, "localhost", TRUST_E_CERT_SIGNATURE},
      // Weak credentials below the root.
      {"1024-bit RSA key", Chain("weak/rsa1024-chain.pem"), "localhost", TRUST_E_CERT_SIGNATURE},
      {"signed with SHA-1", Chain("weak/sha1-chain.pem"), "localhost", TRUST_E_CERT_SIGNATURE},
  };
  for (const auto& C : Cases) EXPECT_EQ(Check(C.Chain, C.Host), C.Status) << C.Name;
}

TEST_F(WinSSPITrust, unusable_input_or_store_is_no_check) {
  std::string Good = Leaf("server.pem");
  struct {
    const char* Name;
    std::vector<std::string> Chain;
  } Cases[] = {{"nothing", {}}, {"not a certificate", {"\x30\x03\x02\x01\x01"}}, {"trailing bytes", {Good + "x"}}};
  for (const auto& C : Cases) {
    uint32_t Status = 0;
    EXPECT_FALSE(VerifyServerChain(C.Chain, "localhost", Status)) << C.Name;
    EXPECT_EQ(Status, TRUST_E_FAIL) << C.Name;
  }
  TestSupport::TempDir Dir;
  SetExtraCAFile((Dir / "missing.pem").string());
  uint32_t Status = 0;
  EXPECT_FALSE(VerifyServerChain({Good}, "localhost", Status));
  EXPECT_EQ(Status, TRUST_E_FAIL);
  std::vector<std::string> Built;
  EXPECT_EQ(BuildCertificateChain(Good, Built), -2);
  EXPECT_EQ(BuildCertificateChain("not a certificate", Built), -1);
  EXPECT_TRUE(Built.empty());
}

// The server check (both TLS engines) and the signer's chain (the document
// signature) read the one store: one extra CA file changes both. The
// signer's chain is built whatever its strength: a card is what it is.
TEST_F(WinSSPITrust, one_extra_file_serves_the_server_check_and_the_signer_chain) {
  std::vector<std::string> Server = Chain("server-chain.pem");
  std::string Signer = Leaf("client.pem");
  auto Expect = [&](uint32_t ServerStatus, std::vector<std::string> SignerChain) {
    EXPECT_EQ(Check(Server, "localhost"), ServerStatus);
    std::vector<std::string> Built;
    ASSERT_EQ(BuildCertificateChain(Signer, Built), 0);
    EXPECT_EQ(Built, SignerChain);
  };
  // The signer's intermediate is not in the file: its chain stops at it,
  // whatever its trust.
  SetExtraCAFile(PKIFile("root-ca.pem"));
  Expect(0, {Signer});
  SetExtraCAFile({});
  Expect(CERT_E_CHAINING, {Signer});
  SetExtraCAFile(PKIFile("trust.pem"));
  Expect(0, {Signer, Leaf("ca-personnes.pem"), Leaf("root-ca.pem")});
  std::vector<std::string> Weak;
  ASSERT_EQ(BuildCertificateChain(Leaf("weak/sha1.pem"), Weak), 0);
  EXPECT_EQ(Weak.size(), 3u);
}

// ---- Revocation lists ----

// The revocation set's chains, its CRLs fetched from the PKI's files
// through a fetcher that counts, cached in a temporary XDG cache folder.
class WinSSPIRevocation : public WinSSPITrust {
 protected:
  TestSupport::TempDir Cache;
  std::map<std::string, int> Fetched;         // by file name
  std::map<std::string, std::string> Served;  // what a file name serves instead of the PKI's CRL

  void SetUp() override {
    WinSSPITrust::SetUp();
    setenv("XDG_CACHE_HOME", Cache.Path().c_str(), 1);
    SetCRLFetcher([this](const std::string& URL) {
      std::string Name = URL.substr(URL.rfind('/') + 1);
      ++Fetched[Name];
      if (URL != PointURL(Name)) return std::string();  // the unreachable point
      auto It = Served.find(Name);
      return It != Served.end() ? It->second : CRL(Name);
    });
  }
  void TearDown() override {
    SetCRLFetcher({});
    unsetenv("XDG_CACHE_HOME");
    WinSSPITrust::TearDown();
  }

  static std::string PointURL(std::string_view Name) {
    return "http://127.0.0.1:" + std::to_string(TestSupport::PKICRLPort()) + "/" + std::string(Name);
  }
  static std::string CRL(std::string_view Name) {
    return TestSupport::ReadFile(PKIFile("revocation/crl/" + std::string(Name)));
  }
  uint32_t CheckServer(std::string_view Name) {
    return Check(Chain("revocation/" + std::string(Name) + "-chain.pem"), "localhost");
  }
};

TEST_F(WinSSPIRevocation, chains_are_checked_against_the_lists_they_name) {
  struct {
    const char* Server;
    uint32_t Status;
  } Cases[] = {
      {"server", 0},
      {"revoked-server", CERT_E_REVOKED},
      {"revoked-ca-server", CERT_E_REVOKED},
      {"unreachable-server", CRYPT_E_REVOCATION_OFFLINE},
  };
  for (const auto& C : Cases) EXPECT_EQ(CheckServer(C.Server), C.Status) << C.Server;
  // A chain that names no distribution point fetches nothing.
  Fetched.clear();
  EXPECT_EQ(Check(Chain("server-chain.pem"), "localhost"), 0u);
  EXPECT_TRUE(Fetched.empty());
}

TEST_F(WinSSPIRevocation, cached_lists_serve_until_their_next_update) {
  EXPECT_EQ(CheckServer("server"), 0u);
  EXPECT_EQ(Fetched, (std::map<std::string, int>{{"ca-revocation.crl", 1}, {"root-ca.crl", 1}}));
  auto File = CRLCacheFile(PointURL("ca-revocation.crl"));
  EXPECT_EQ(File.parent_path(), Cache.Path() / "Carvelin2" / "crl");
  EXPECT_EQ(TestSupport::ReadFile(File), CRL("ca-revocation.crl"));
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(File).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(File.parent_path()).permissions(), fs::perms::owner_all);

  // Fresh copies are used without fetching, by any chain that names them.
  EXPECT_EQ(CheckServer("revoked-server"), CERT_E_REVOKED);
  EXPECT_EQ(Fetched, (std::map<std::string, int>{{"ca-revocation.crl", 1}, {"root-ca.crl", 1}}));

  // An out-of-date copy is fetched again and replaced.
  TestSupport::WriteFile(File, TestSupport::ReadFile(PKIFile("revocation/expired-ca-revocation.crl")));
  EXPECT_EQ(CheckServer("server"), 0u);
  EXPECT_EQ(Fetched["ca-revocation.crl"], 2);
  EXPECT_EQ(TestSupport::ReadFile(File), CRL("ca-revocation.crl"));
}

// A list that is out of date, another authority's, altered or no list at
// all is not used, and not kept: the server is refused as offline.
TEST_F(WinSSPIRevocation, unusable_lists_are_neither_used_nor_kept) {
  std::string Altered = CRL("ca-revocation.crl");
  Altered.back() ^= 1;
  struct {
    const char* Name;
    std::string Served;
  } Cases[] = {
      {"out of date", TestSupport::ReadFile(PKIFile("revocation/expired-ca-revocation.crl"))},
      {"another authority's", CRL("root-ca.crl")},
      {"signature altered", Altered},
      {"not a list", "not a list"},
      {"nothing", ""},
  };
  auto File = CRLCacheFile(PointURL("ca-revocation.crl"));
  for (const auto& C : Cases) {
    Served["ca-revocation.crl"] = C.Served;
    EXPECT_EQ(CheckServer("server"), CRYPT_E_REVOCATION_OFFLINE) << C.Name;
    EXPECT_FALSE(std::filesystem::exists(File)) << C.Name;
  }
}

}  // namespace
