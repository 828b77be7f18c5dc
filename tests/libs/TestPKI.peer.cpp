// The test PKI against openssl's own reading: each certificate verifies, or
// fails, the way make-test-pki.sh says; the revocation set's CRLs refuse what
// they should; serials are distinct; a made folder is left alone and two
// runs at once leave one whole folder.
#include <set>

#include "TestPKI.h"
#include "TestSupport.h"

namespace {

using TestSupport::PKIFile;

// openssl verify against trust.pem; "" when it accepts, else its error line.
std::string Verify(const std::string& Cert, std::vector<std::string> Options) {
  std::vector<std::string> Argv = {"openssl", "verify", "-CAfile", PKIFile("trust.pem")};
  Argv.insert(Argv.end(), Options.begin(), Options.end());
  Argv.push_back(PKIFile(Cert));
  auto R = TestSupport::Run(Argv);
  if (R.Status == 0) return "";
  auto At = R.Err.find("error ");
  return At == std::string::npos ? R.Out + R.Err : R.Err.substr(At, R.Err.find('\n', At) - At);
}

std::string X509Text(const std::string& Cert, const std::vector<std::string>& Options) {
  std::vector<std::string> Argv = {"openssl", "x509", "-in", PKIFile(Cert), "-noout"};
  Argv.insert(Argv.end(), Options.begin(), Options.end());
  auto R = TestSupport::Run(Argv);
  EXPECT_EQ(R.Status, 0) << Cert << ": " << R.Err;
  return R.Out;
}

const char* const Certificates[] = {
    "root-ca.pem", "ca-personnes.pem", "ca-serveurs.pem", "server.pem", "server-ec.pem", "wrong-name.pem",
    "expired.pem", "not-yet-valid.pem", "self-signed.pem", "client.pem", "rogue-ca.pem", "rogue-server.pem", "rogue-client.pem",
    "revocation/ca-revocation.pem", "revocation/ca-revoked.pem", "revocation/server.pem",
    "revocation/revoked-server.pem", "revocation/revoked-ca-server.pem", "revocation/unreachable-server.pem",
    "weak/rsa1024.pem", "weak/sha1.pem"};

}  // namespace

TEST(TestPKI, certificates_verify_as_documented) {
  SKIP_UNLESS_TOOL("openssl");
  const std::vector<std::string> Server = {"-purpose", "sslserver", "-verify_hostname", "localhost"};
  struct {
    const char* Cert;
    std::vector<std::string> Options;
    const char* Error;  // "" when accepted
  } Cases[] = {
      {"server.pem", Server, ""},
      {"server.pem", {"-verify_ip", "127.0.0.1", "-auth_level", "2"}, ""},
      {"server.pem", {"-purpose", "sslclient"}, "error 26 at 0 depth lookup: unsuitable certificate purpose"},
      {"server-ec.pem", Server, ""},
      {"client.pem", {"-purpose", "sslclient"}, ""},
      {"wrong-name.pem", Server, "error 62 at 0 depth lookup: hostname mismatch"},
      {"expired.pem", Server, "error 10 at 0 depth lookup: certificate has expired"},
      {"not-yet-valid.pem", Server, "error 9 at 0 depth lookup: certificate is not yet valid"},
      {"self-signed.pem", Server, "error 18 at 0 depth lookup: self-signed certificate"},
      {"rogue-server.pem", {"-untrusted", PKIFile("rogue-server-chain.pem")},
       "error 19 at 1 depth lookup: self-signed certificate in certificate chain"},
      {"rogue-client.pem", {"-untrusted", PKIFile("rogue-ca.pem")},
       "error 19 at 1 depth lookup: self-signed certificate in certificate chain"},
      {"revocation/server.pem", {"-untrusted", PKIFile("revocation/server-chain.pem")}, ""},
      {"weak/rsa1024.pem", Server, ""},
      {"weak/sha1.pem", Server, ""},
      {"weak/rsa1024.pem", {"-auth_level", "2"}, "error 66 at 0 depth lookup: EE certificate key too weak"},
      {"weak/sha1.pem", {"-auth_level", "2"}, "error 68 at 0 depth lookup: CA signature digest algorithm too weak"},
  };
  for (const auto& C : Cases) EXPECT_EQ(Verify(C.Cert, C.Options), C.Error) << C.Cert;
  // A server's chain file is what it sends: the certificate, then its intermediate.
  EXPECT_EQ(TestSupport::CertificatesDER(PKIFile("server-ec-chain.pem")),
            (std::vector<std::string>{TestSupport::CertificatesDER(PKIFile("server-ec.pem"))[0],
                                      TestSupport::CertificatesDER(PKIFile("ca-serveurs.pem"))[0]}));
}

TEST(TestPKI, revocation_set_names_its_crls_which_refuse_the_revoked) {
  SKIP_UNLESS_TOOL("openssl");
  const std::string Base = "http://127.0.0.1:" + std::to_string(TestSupport::PKICRLPort()) + "/";
  struct {
    const char* Cert;
    std::string Point;
    const char* Error;
  } Cases[] = {
      {"revocation/ca-revocation.pem", Base + "root-ca.crl", ""},
      {"revocation/ca-revoked.pem", Base + "root-ca.crl", "error 23 at 0 depth lookup: certificate revoked"},
      {"revocation/server.pem", Base + "ca-revocation.crl", ""},
      {"revocation/revoked-server.pem", Base + "ca-revocation.crl", "error 23 at 0 depth lookup: certificate revoked"},
      {"revocation/revoked-ca-server.pem", Base + "ca-revoked.crl", "error 23 at 1 depth lookup: certificate revoked"},
      {"revocation/unreachable-server.pem", "http://127.0.0.1:1/ca-revocation.crl", ""},
  };
  std::vector<std::string> Options = {"-crl_check_all"};
  for (const char* Crl : {"root-ca.crl", "ca-revocation.crl", "ca-revoked.crl"})
    Options.insert(Options.end(), {"-CRLfile", PKIFile(std::string("revocation/crl/") + Crl)});
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Cert);
    EXPECT_NE(X509Text(C.Cert, {"-ext", "crlDistributionPoints"}).find("URI:" + C.Point + "\n"), std::string::npos);
    const std::string Cert = C.Cert;
    auto WithChain = Options;  // servers send their intermediate
    if (Cert.ends_with("server.pem"))
      WithChain.insert(WithChain.end(), {"-untrusted", PKIFile(Cert.substr(0, Cert.size() - 4) + "-chain.pem")});
    EXPECT_EQ(Verify(Cert, WithChain), C.Error);
  }
  EXPECT_EQ(Verify("revocation/server.pem",
                   {"-crl_check", "-untrusted", PKIFile("revocation/server-chain.pem"), "-CRLfile",
                    PKIFile("revocation/expired-ca-revocation.crl")}),
            "error 12 at 0 depth lookup: CRL has expired");
  // The main set names no distribution point.
  for (const char* Cert : Certificates) {
    if (std::string_view(Cert).find('/') != std::string_view::npos) continue;
    EXPECT_EQ(X509Text(Cert, {"-ext", "crlDistributionPoints"}).find("URI:"), std::string::npos) << Cert;
  }
}

TEST(TestPKI, serials_are_distinct_and_trust_files_hold_the_authorities) {
  SKIP_UNLESS_TOOL("openssl");
  std::set<std::string> Serials;
  for (const char* Cert : Certificates) EXPECT_TRUE(Serials.insert(X509Text(Cert, {"-serial"})).second) << Cert;
  std::vector<std::string> Authorities;
  for (const char* Cert : {"root-ca.pem", "ca-personnes.pem", "ca-serveurs.pem"}) {
    auto One = TestSupport::CertificatesDER(PKIFile(Cert));
    EXPECT_EQ(One.size(), 1u) << Cert;
    Authorities.push_back(One[0]);
  }
  EXPECT_EQ(TestSupport::CertificatesDER(PKIFile("trust.pem")), Authorities);
  EXPECT_EQ(X509Text("root-ca.pem", {"-subject", "-nameopt", "oneline"}),
            "subject=C = FR, O = Carvelin Test, CN = Carvelin Test Root CA\n");
}

TEST(TestPKI, script_leaves_a_whole_folder_and_then_nothing_to_do) {
  SKIP_UNLESS_TOOL("openssl");
  const std::string Script = std::string(CARVELIN_SOURCE_DIR) + "/tests/tools/make-test-pki.sh";
  const std::string Before = TestSupport::ReadFile(PKIFile("server.pem"));
  auto Again = TestSupport::Run({"bash", Script, TestSupport::PKIDir().string()});
  EXPECT_EQ(Again.Status, 0) << Again.Err;
  EXPECT_EQ(TestSupport::ReadFile(PKIFile("server.pem")), Before);

  // Two runs racing for one folder: both succeed, one whole set stays, no scratch folder.
  TestSupport::TempDir Dir;
  auto R = TestSupport::Run({"bash", "-c", "bash \"$0\" \"$1\" 12345 & A=$!; bash \"$0\" \"$1\" 12345; B=$?; wait $A && exit $B",
                             Script, (Dir / "pki").string()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(TestSupport::ReadFile(Dir / "pki/revocation/crl-port"), "12345\n");
  EXPECT_EQ(TestSupport::CertificatesDER(Dir / "pki/trust.pem").size(), 3u);
  size_t Entries = 0;
  for ([[maybe_unused]] const auto& E : std::filesystem::directory_iterator(Dir.Path())) ++Entries;
  EXPECT_EQ(Entries, 1u);
}
