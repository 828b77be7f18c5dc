// The own TLS engine against real peers: openssl s_server over every suite
// and group with client authentication, servers it must refuse, gnutls-serv
// as a second stack, and the PRF and ECDH results against openssl's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "TestPKI.h"
#include "TestSupport.h"
#include "Vantrel.TinyTLS12.h"

using namespace Vantrel;
using TestSupport::Run;
namespace fs = std::filesystem;

namespace {

// ---- Certificates: the test PKI, and a 3072-bit server key it does not hold ----

struct TPKI {
  TestSupport::TempDir Dir;  // server logs, served files, keys made here
  TestSupport::TSoftwareKey Client{TestSupport::PKIFile("client.key")};
  bool Ok = false;
  std::string Error;
  static std::string Path(std::string_view Name) { return TestSupport::PKIFile(Name); }
  std::string Work(std::string_view Name) const { return (Dir / Name).string(); }
};
TPKI* PKI = nullptr;

bool Openssl(const std::vector<std::string>& Args, std::string& Error) {
  std::vector<std::string> Argv{"openssl"};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  auto R = TestSupport::Run(Argv);
  if (R.Status != 0) Error += R.Err;
  return R.Status == 0;
}

void MakeBigServer(TPKI& P) {
  TestSupport::WriteFile(P.Dir / "ext.cnf",
                         "[srv]\nbasicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
                         "extendedKeyUsage=serverAuth\n");
  P.Ok = Openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072", "-out", P.Work("big.key")},
                 P.Error) &&
         Openssl({"req", "-new", "-key", P.Work("big.key"), "-subj", "/CN=localhost", "-out", P.Work("big.csr")},
                 P.Error) &&
         Openssl({"x509", "-req", "-in", P.Work("big.csr"), "-CA", P.Path("ca-serveurs.pem"), "-CAkey",
                  P.Path("ca-serveurs.key"), "-set_serial", "3072", "-days", "30", "-extfile", P.Work("ext.cnf"),
                  "-extensions", "srv", "-out", P.Work("big.pem")},
                 P.Error);
}

class TinyTLSPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TestSupport::HaveTool("openssl")) return;
    PKI = new TPKI;
    MakeBigServer(*PKI);
  }
  static void TearDownTestSuite() {
    delete PKI;
    PKI = nullptr;
  }
  void SetUp() override {
    SKIP_UNLESS_TOOL("openssl");
    ASSERT_TRUE(PKI && PKI->Ok) << PKI->Error;
  }
};

// ---- Servers ----

// openssl s_server on 127.0.0.1, started in Folder, stopped when destroyed.
class TServer {
 public:
  TServer(std::vector<std::string> Args, const fs::path& Folder) : Port(TestSupport::FreePort()) {
    std::vector<std::string> Argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(Port),
                                     "-tls1_2", "-quiet"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    std::string Log = (Folder / ("server-" + std::to_string(Port) + ".log")).string();
    FPid = fork();
    if (FPid == 0) {
      int Out = open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int In = open("/dev/null", O_RDONLY);
      dup2(In, 0);
      dup2(Out, 1);
      dup2(Out, 2);
      if (chdir(Folder.c_str()) != 0) _exit(127);
      std::vector<char*> C;
      for (auto& A : Argv) C.push_back(A.data());
      C.push_back(nullptr);
      execvp("openssl", C.data());
      _exit(127);
    }
    TestSupport::WaitForPort(Port);
  }
  ~TServer() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }
  int Port;

 private:
  pid_t FPid = -1;
};

// ---- Client ----

struct TFetch {
  std::string Page;
  std::string Error;
  uint32_t CertStatus = 0;
  uint16_t Suite = 0;
  TCurveName Curve = TCurveName::NoCurve;
  size_t SignedHashSize = 0;  // digest handed to the signing callback
  bool Requested = false;     // the server asked for a client certificate
  std::vector<uint16_t> RequestedSchemes;
  std::vector<std::string> CANames;
};

struct TClientSetup {
  std::vector<uint16_t> Suites;
  std::vector<TCurveName> Groups;
  bool ClientCert = true;
  std::string CAFile;  // empty: the system's authorities only
  bool AcceptAnyServer = false;
};

TFetch Fetch(int Port, const TClientSetup& Setup) {
  TFetch F;
  auto TLS = std::make_shared<TTLS>();
  if (!Setup.Suites.empty()) TLS->CipherSuites() = Setup.Suites;
  if (!Setup.Groups.empty()) TLS->SupportedGroups() = Setup.Groups;
  SetExtraCAFile(Setup.CAFile);
  if (Setup.ClientCert) {
    TLS->OnCertificateRequest = [&F](TTinyTLS& Sender, std::vector<std::string>& Chain) {
      F.Requested = true;
      F.RequestedSchemes = Sender.RequestedSignatureSchemes();
      F.CANames = Sender.DistinguishedNames();
      Chain = {TestSupport::CertificatesDER(PKI->Path("client.pem"))[0]};
    };
    TLS->OnCertificateVerify = [&F](TTinyTLS&, const std::string& Hash, std::string& Signature) {
      F.SignedHashSize = Hash.size();
      Signature = PKI->Client.SignDigest(Hash);
    };
  } else {
    TLS->OnCertificateRequest = [&F](TTinyTLS&, std::vector<std::string>&) { F.Requested = true; };
  }
  if (Setup.AcceptAnyServer) TLS->OnVerifyServer = [](TTinyTLS&, const std::vector<std::string>&, uint32_t& S) { S = 0; };
  try {
    TTinyTLSSocket Socket(TLS);
    Socket.SetTimeout(10000);
    Socket.DoConnect("127.0.0.1", uint16_t(Port), 5000);
    F.Suite = TLS->CipherSuite();
    F.Curve = TLS->NamedCurve();
    Socket.SendStream("GET / HTTP/1.0\r\n\r\n");
    char Buffer[4096];
    try {
      for (;;) F.Page.append(Buffer, size_t(Socket.Read(Buffer, sizeof Buffer)));
    } catch (const EClosedSocketError&) {
      // close_notify ends the page
    }
  } catch (const ECertException& E) {
    F.Error = E.what();
    F.CertStatus = E.Status();
  } catch (const std::exception& E) {
    F.Error = E.what();
  }
  return F;
}

std::string Hex4(uint16_t V) {
  char B[8];
  std::snprintf(B, sizeof B, "%04X", V);
  return B;
}

// ---- Tests ----

TEST_F(TinyTLSPeer, every_suite_and_group_with_client_auth_and_small_fragments) {
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-CAfile", PKI->Path("trust.pem"),
                  "-Verify", "1", "-www", "-max_send_frag", "512", "-groups", "P-256:P-384:X25519"},
                 PKI->Dir.Path());
  struct {
    uint16_t Suite;
    const char* Name;
  } Suites[] = {{0xC030, "ECDHE-RSA-AES256-GCM-SHA384"},
                {0xC02F, "ECDHE-RSA-AES128-GCM-SHA256"},
                {0xC028, "ECDHE-RSA-AES256-SHA384"},
                {0xC027, "ECDHE-RSA-AES128-SHA256"}};
  struct {
    TCurveName Group;
    const char* Name;
  } Groups[] = {{TCurveName::secp256r1, "P-256"}, {TCurveName::secp384r1, "P-384"}, {TCurveName::x25519, "X25519"}};
  for (const auto& S : Suites) {
    for (const auto& G : Groups) {
      SCOPED_TRACE(std::string(S.Name) + " " + G.Name);
      TFetch F = Fetch(Server.Port, {{S.Suite}, {G.Group}, true, PKI->Path("trust.pem")});
      ASSERT_EQ(F.Error, "");
      EXPECT_EQ(F.Suite, S.Suite);
      EXPECT_EQ(F.Curve, G.Group);
      EXPECT_NE(F.Page.find(std::string("Cipher is ") + S.Name), std::string::npos) << F.Page.substr(0, 400);
      ASSERT_TRUE(F.Requested);
      // The authorities of trust.pem, in file order (stateOrProvinceName has no short name here).
      EXPECT_EQ(F.CANames,
                (std::vector<std::string>{
                    "/C=FR/ORG:=Carvelin Test/CN:=Carvelin Test Root CA",
                    "/C=FR/8:=Ile-de-France/ORG:=Carvelin Test/OU:=IGC Test/CN:=Carvelin Test CA Personnes",
                    "/C=FR/ORG:=Carvelin Test/OU:=IGC Test/CN:=Carvelin Test CA Serveurs"}));
      // SHA-1 only when the server lists it, else SHA-256.
      bool Sha1 = std::find(F.RequestedSchemes.begin(), F.RequestedSchemes.end(), 0x0201) != F.RequestedSchemes.end();
      EXPECT_EQ(F.SignedHashSize, Sha1 ? 20u : 32u);
    }
  }
  // The RSA key exchange, not offered by default.
  TFetch F = Fetch(Server.Port, {{0x009C}, {}, true, PKI->Path("trust.pem")});
  ASSERT_EQ(F.Error, "");
  EXPECT_EQ(F.Suite, 0x009C);
  EXPECT_NE(F.Page.find("Cipher is AES128-GCM-SHA256"), std::string::npos);
}

TEST_F(TinyTLSPeer, server_without_client_auth_gets_the_first_suite) {
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-www"}, PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{}, {}, true, PKI->Path("trust.pem")});
  ASSERT_EQ(F.Error, "");
  EXPECT_FALSE(F.Requested);
  EXPECT_EQ(Hex4(F.Suite), "C030");
  EXPECT_NE(F.Page.find("Cipher is ECDHE-RSA-AES256-GCM-SHA384"), std::string::npos);
}

// Authorities in a server's request list whose names hold more than X.520
// strings (an e-mail address, a multi-valued name longer than 127 bytes) are
// names like any other: the handshake goes on and the texts say what they hold.
TEST_F(TinyTLSPeer, any_well_formed_authority_name_is_read) {
  std::string Error;
  const std::string Unit(60, 'U'), Common(60, 'C');
  ASSERT_TRUE(Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                       "-subj", "/C=FR/emailAddress=ac@example.fr/OU=" + Unit + "+CN=" + Common,
                       "-multivalue-rdn", "-keyout", PKI->Work("names.key"), "-out", PKI->Work("names.pem")},
                      Error))
      << Error;
  TestSupport::WriteFile(PKI->Dir / "names-ca.pem", TestSupport::ReadFile(PKI->Work("names.pem")) +
                                                        TestSupport::ReadFile(PKI->Path("ca-personnes.pem")));
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-CAfile",
                  PKI->Work("names-ca.pem"), "-Verify", "1", "-www"},
                 PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{}, {}, true, PKI->Path("trust.pem")});
  EXPECT_TRUE(F.Requested);
  EXPECT_EQ(F.CANames,
            (std::vector<std::string>{
                // DER sorts a SET: CN before OU.
                "/C=FR/1.2.840.113549.1.9.1=ac@example.fr/CN:=" + Common + "/OU:=" + Unit,
                "/C=FR/8:=Ile-de-France/ORG:=Carvelin Test/OU:=IGC Test/CN:=Carvelin Test CA Personnes"}));
}

TEST_F(TinyTLSPeer, client_without_certificate_is_refused_by_the_server) {
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-CAfile", PKI->Path("trust.pem"),
                  "-Verify", "1", "-www"},
                 PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{}, {}, false, PKI->Path("trust.pem")});
  EXPECT_TRUE(F.Requested);
  EXPECT_NE(F.Error, "");  // an alert, or the connection dropped
}

TEST_F(TinyTLSPeer, refused_servers_give_their_codes) {
  struct {
    const char* Name;
    const char* Cert;
    bool TrustCA;
    uint32_t Status;
  } Cases[] = {
      {"self-signed", "self-signed", true, CERT_E_UNTRUSTEDROOT},
      {"wrong host name", "wrong-name", true, CERT_E_CN_NO_MATCH},
      {"expired", "expired", true, CERT_E_EXPIRED},
      {"issuer unknown: no chain", "server", false, CERT_E_CHAINING},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::string Cert = C.Cert;
    TServer Server({"-cert", PKI->Path(Cert + ".pem"), "-key", PKI->Path(Cert + ".key"), "-www"}, PKI->Dir.Path());
    TFetch F = Fetch(Server.Port, {{}, {}, false, C.TrustCA ? PKI->Path("trust.pem") : ""});
    EXPECT_EQ(F.Error, "Invalid certificate");
    EXPECT_EQ(F.CertStatus, C.Status) << std::hex << F.CertStatus;
    // An OnVerifyServer handler that clears the status accepts the server.
    TFetch Accepted = Fetch(Server.Port, {{}, {}, false, C.TrustCA ? PKI->Path("trust.pem") : "", true});
    EXPECT_EQ(Accepted.Error, "");
    EXPECT_NE(Accepted.Page.find("Cipher is"), std::string::npos);
  }
}

TEST_F(TinyTLSPeer, server_offering_only_a_refused_suite_answers_an_alert) {
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-cipher", "AES128-SHA", "-www"},
                 PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{}, {}, false, PKI->Path("trust.pem")});
  EXPECT_EQ(F.Error, "CiperSuites or SignatureAlgorithms refused by server (fatal handshake_failure)");
}

// A 3072-bit server key: the RSA key exchange encrypts to the key's own size.
TEST_F(TinyTLSPeer, rsa_key_exchange_with_a_3072_bit_server_key) {
  TServer Server({"-cert", PKI->Work("big.pem"), "-key", PKI->Work("big.key"), "-www"}, PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{0x009C}, {}, false, PKI->Path("trust.pem")});
  ASSERT_EQ(F.Error, "");
  EXPECT_NE(F.Page.find("Cipher is AES128-GCM-SHA256"), std::string::npos);
}

// An ECDSA server key: the suite 0xC02C with the one ECDSA scheme offered
// (SHA-1, which the server allows only at security level 0).
TEST_F(TinyTLSPeer, ecdsa_server_key_with_the_ecdsa_suite) {
  TServer Server({"-cert", PKI->Path("server-ec.pem"), "-key", PKI->Path("server-ec.key"), "-cipher",
                  "ECDHE-ECDSA-AES256-GCM-SHA384:@SECLEVEL=0", "-www"},
                 PKI->Dir.Path());
  TFetch F = Fetch(Server.Port, {{}, {}, false, PKI->Path("trust.pem")});
  ASSERT_EQ(F.Error, "");
  EXPECT_EQ(Hex4(F.Suite), "C02C");
  EXPECT_NE(F.Page.find("Cipher is ECDHE-ECDSA-AES256-GCM-SHA384"), std::string::npos);
}

TEST_F(TinyTLSPeer, http_client_fetches_a_large_body_with_the_driver) {
  std::string Body = TestSupport::RandomBytes(300000, 8);
  TestSupport::WriteFile(PKI->Dir / "big.bin",
                         "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body);
  TServer Server({"-cert", PKI->Path("server.pem"), "-key", PKI->Path("server.key"), "-CAfile", PKI->Path("trust.pem"),
                  "-Verify", "1", "-HTTP"},
                 PKI->Dir.Path());
  auto R = TestSupport::Run({TestSupport::ToolPath("https-get"), "--cert", PKI->Path("client.pem"), "--key", PKI->Path("client.key"),
                "--cafile", PKI->Path("trust.pem"), "https://127.0.0.1:" + std::to_string(Server.Port) + "/big.bin"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out.size(), Body.size());
  EXPECT_TRUE(R.Out == Body);
}

// gnutls-serv cannot be bound to loopback only: it runs with the driver in
// a network namespace of its own, where loopback is the only interface.
TEST_F(TinyTLSPeer, gnutls_server_with_client_certificate_required) {
  SKIP_UNLESS_TOOL("gnutls-serv");
  SKIP_UNLESS_TOOL("unshare");
  if (TestSupport::Run({"unshare", "-n", "true"}).Status != 0) GTEST_SKIP() << "no network namespace here";
  struct {
    const char* Priority;
    const char* Cipher;
  } Cases[] = {{"NORMAL:-VERS-ALL:+VERS-TLS1.2", "AES-256-GCM"},
               {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-CBC:+SHA256", "AES-128-CBC"}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Priority);
    std::string Script =
        "ip link set lo up || exit 3\n"
        "gnutls-serv --http --port 4433 --x509certfile '" + PKI->Path("server.pem") + "' --x509keyfile '" +
        PKI->Path("server.key") + "' --x509cafile '" + PKI->Path("trust.pem") +
        "' --require-client-cert --priority '" + C.Priority + "' >/dev/null 2>&1 &\n"
        "S=$!\n"
        "for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/4433) 2>/dev/null && break; sleep 0.05; done\n"
        "'" + TestSupport::ToolPath("https-get") + "' --raw --cert '" + PKI->Path("client.pem") + "' --key '" +
        PKI->Path("client.key") + "' --cafile '" + PKI->Path("trust.pem") + "' https://127.0.0.1:4433/\n"
        "R=$?\nkill $S\nwait $S\nexit $R\n";
    auto R = TestSupport::Run({"unshare", "-n", "bash", "-c", Script});
    if (R.Status == 3) GTEST_SKIP() << "no network namespace here: " << R.Err;
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_NE(R.Out.find("TLS1.2"), std::string::npos) << R.Out.substr(0, 500);
    EXPECT_NE(R.Out.find(C.Cipher), std::string::npos) << R.Out.substr(0, 2000);
  }
}

// ---- Key schedule and key agreement against openssl ----

TEST_F(TinyTLSPeer, prf_agrees_with_openssl_kdf) {
  struct {
    int Bits;
    const char* Digest;
    size_t Len;
  } Cases[] = {{256, "SHA256", 48}, {256, "SHA256", 100}, {384, "SHA384", 12}, {384, "SHA384", 97}};
  std::string Secret = TestSupport::RandomBytes(48, 1);
  std::string Seed = "key expansion" + TestSupport::RandomBytes(64, 2);
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Bits) + "/" + std::to_string(C.Len));
    TSHA2Hash Hash(C.Bits);
    std::string Ours;
    Hash.PRF(Seed, Secret, Ours, C.Len);
    auto R = TestSupport::Run({"openssl", "kdf", "-keylen", std::to_string(C.Len), "-kdfopt", std::string("digest:") + C.Digest,
                  "-kdfopt", "hexsecret:" + TestSupport::ToHex(Secret), "-kdfopt", "hexseed:" + TestSupport::ToHex(Seed),
                  "TLS1-PRF"});
    ASSERT_EQ(R.Status, 0) << R.Err;
    std::string Theirs;
    for (char Ch : R.Out)
      if (std::isxdigit(static_cast<unsigned char>(Ch))) Theirs += char(std::tolower(static_cast<unsigned char>(Ch)));
    EXPECT_EQ(TestSupport::ToHex(Ours), Theirs);
  }
}

TEST_F(TinyTLSPeer, ecdh_secret_agrees_with_openssl_pkeyutl) {
  struct {
    TCurveName Curve;
    const char* GenArgs;
    const char* SpkiPrefix;  // DER of the SubjectPublicKeyInfo before the point
  } Cases[] = {
      {TCurveName::secp256r1, "EC:ec_paramgen_curve:P-256", "3059301306072a8648ce3d020106082a8648ce3d030107034200"},
      {TCurveName::secp384r1, "EC:ec_paramgen_curve:P-384", "3076301006072a8648ce3d020106052b81040022036200"},
      {TCurveName::x25519, "X25519:", "302a300506032b656e032100"},
  };
  int Index = 0;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.GenArgs);
    std::string Spec = C.GenArgs;
    std::string Algorithm = Spec.substr(0, Spec.find(':'));
    std::string Option = Spec.substr(Spec.find(':') + 1);
    std::string PeerKey = PKI->Work("peer" + std::to_string(++Index) + ".pem");
    std::vector<std::string> Gen = {"openssl", "genpkey", "-algorithm", Algorithm, "-out", PeerKey};
    if (!Option.empty()) Gen.insert(Gen.end(), {"-pkeyopt", Option});
    ASSERT_EQ(TestSupport::Run(Gen).Status, 0);
    auto Pub = TestSupport::Run({"openssl", "pkey", "-in", PeerKey, "-pubout", "-outform", "DER"});
    ASSERT_EQ(Pub.Status, 0);
    std::string Point = Pub.Out.substr(Pub.Out.size() - CurvePointSize(C.Curve));
    TECDHE_RSAKeyExchange Exchange(C.Curve, Point);
    std::string ClientKey = Exchange.ClientKey();
    ASSERT_EQ(ClientKey.size(), CurvePointSize(C.Curve) + 1);
    ASSERT_EQ(uint8_t(ClientKey[0]), CurvePointSize(C.Curve));
    // Our point as a SubjectPublicKeyInfo for openssl.
    std::string Spki;
    for (size_t I = 0; C.SpkiPrefix[I]; I += 2) Spki += char(std::stoi(std::string(C.SpkiPrefix + I, 2), nullptr, 16));
    Spki += ClientKey.substr(1);
    std::string OursFile = PeerKey + ".ours.der";
    TestSupport::WriteFile(OursFile, Spki);
    auto Derived = TestSupport::Run({"openssl", "pkeyutl", "-derive", "-inkey", PeerKey, "-peerkey", OursFile, "-peerform", "DER"});
    ASSERT_EQ(Derived.Status, 0) << Derived.Err;
    EXPECT_EQ(TestSupport::ToHex(Exchange.PreMasterSecret()), TestSupport::ToHex(Derived.Out));
  }
}

}  // namespace
