// The system TLS client against openssl s_server and gnutls-serv.
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "../fixtures/http/TestServer.h"
#include "TestSupport.h"

using namespace Vantrel;

namespace {

// Certificates made once for the whole suite: a server CA and its server
// certificate (localhost, 127.0.0.1), a self-signed server, and two client
// CAs each with a client certificate. Only the client keys are RSA, the
// kind the signing callback serves; the rest is on P-256, quick to make.
struct TPki {
  TestSupport::TempDir Dir;
  bool Ok = true;

  std::string operator()(std::string_view Name) const { return (Dir / Name).string(); }

  void Openssl(const std::vector<std::string>& Args) {
    std::vector<std::string> Argv{"openssl"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    auto R = TestSupport::Run(Argv);
    if (R.Status != 0) {
      ADD_FAILURE() << "openssl failed: " << R.Err;
      Ok = false;
    }
  }
  void Authority(const std::string& Name, const std::string& Subject) {
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", Subject, "-keyout",
             (*this)(Name + ".key"), "-out", (*this)(Name + ".pem"), "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign"});
  }
  void Issue(const std::string& Name, const std::string& Subject, const std::string& Ca, const std::string& Ext,
             const std::string& Key = "rsa:2048") {
    TestSupport::WriteFile(Dir / (Name + ".ext"), Ext);
    Openssl({"req", "-new", "-newkey", Key, "-nodes", "-subj", Subject, "-keyout", (*this)(Name + ".key"),
             "-out", (*this)(Name + ".csr")});
    Openssl({"x509", "-req", "-in", (*this)(Name + ".csr"), "-CA", (*this)(Ca + ".pem"), "-CAkey",
             (*this)(Ca + ".key"), "-CAcreateserial", "-days", "2", "-extfile", (*this)(Name + ".ext"), "-out",
             (*this)(Name + ".pem")});
  }

  TPki() {
    Authority("ca", "/CN=Autorite serveurs test");
    Issue("server", "/CN=localhost", "ca",
          "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n", "ec:" + (*this)("ca.pem"));
    // For servers both TLS engines talk to.
    Issue("rsa-server", "/CN=localhost", "ca", "subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n");
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
             "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", (*this)("self.key"), "-out", (*this)("self.pem")});
    Authority("cps-ca", "/C=FR/O=Sante test/CN=AC classe 1");
    Authority("other-ca", "/C=FR/CN=Autre autorite");
    Issue("doctor", "/C=FR/O=Cabinet/CN=Docteur Test", "cps-ca", "extendedKeyUsage=clientAuth\n");
    Issue("stranger", "/C=FR/CN=Inconnu", "other-ca", "extendedKeyUsage=clientAuth\n");
    SetExtraCAFile((*this)("ca.pem"));
  }
};

// Made on first use, kept for the whole run; its CA file is trusted.
TPki& Pki() {
  static TPki* P = new TPki;
  EXPECT_TRUE(P->Ok);
  return *P;
}

std::string DerOf(const std::string& PemPath) {
  auto R = TestSupport::Run({"openssl", "x509", "-in", PemPath, "-outform", "DER"});
  return R.Out;
}

// The holder's key stays with the test: only its sign operation is handed in.
struct TSoftwareKey {
  EVP_PKEY* Key = nullptr;
  std::atomic<int> Calls{0};
  std::atomic<int> Busy{0};
  std::atomic<int> MaxBusy{0};
  int DelayMs = 0;

  explicit TSoftwareKey(const std::string& Path) {
    FILE* F = fopen(Path.c_str(), "r");
    if (F) {
      Key = PEM_read_PrivateKey(F, nullptr, nullptr, nullptr);
      fclose(F);
    }
  }
  ~TSoftwareKey() { EVP_PKEY_free(Key); }

  std::string Sign(std::string_view Algorithm, std::string_view Digest) {
    ++Calls;
    int Now = ++Busy;
    for (int M = MaxBusy; Now > M && !MaxBusy.compare_exchange_weak(M, Now);) {}
    if (DelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
    std::string Out;
    EVP_PKEY_CTX* C = EVP_PKEY_CTX_new(Key, nullptr);
    size_t Len = 0;
    const EVP_MD* Md = EVP_get_digestbyname(std::string(Algorithm).c_str());
    if (C && Md && EVP_PKEY_sign_init(C) == 1 && EVP_PKEY_CTX_set_rsa_padding(C, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(C, Md) == 1 &&
        EVP_PKEY_sign(C, nullptr, &Len, reinterpret_cast<const unsigned char*>(Digest.data()), Digest.size()) == 1) {
      Out.resize(Len);
      if (EVP_PKEY_sign(C, reinterpret_cast<unsigned char*>(Out.data()), &Len,
                        reinterpret_cast<const unsigned char*>(Digest.data()), Digest.size()) == 1)
        Out.resize(Len);
      else Out.clear();
    }
    EVP_PKEY_CTX_free(C);
    --Busy;
    return Out;
  }

  TClientCertificate Holder(const std::vector<std::string>& Chain) {
    return {Chain, [this](std::string_view A, std::string_view D) { return Sign(A, D); }};
  }
};

using TestSupport::FreePort;

int Connect(int Port) {
  int S = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(uint16_t(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    close(S);
    return -1;
  }
  timeval T{10, 0};
  setsockopt(S, SOL_SOCKET, SO_RCVTIMEO, &T, sizeof T);
  return S;
}

// openssl s_server on a port it picks; -www answers a GET with a status page.
struct TOpensslServer {
  std::unique_ptr<HTTPTest::TServerProcess> Process;
  int Port = 0;

  explicit TOpensslServer(const std::string& Cert, const std::string& Key, std::vector<std::string> Extra = {}) {
    std::vector<std::string> Argv{"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Cert, "-key", Key,
                                  "-www"};
    Argv.insert(Argv.end(), Extra.begin(), Extra.end());
    Process = std::make_unique<HTTPTest::TServerProcess>(Argv);
    std::string Line;
    for (int I = 0; I < 5 && !Line.starts_with("ACCEPT"); ++I) Line = Process->ReadLine();
    auto Colon = Line.rfind(':');
    if (Line.starts_with("ACCEPT") && Colon != std::string::npos) Port = std::atoi(Line.c_str() + Colon + 1);
  }
};

// One GET over a started context; the server's whole answer up to its close.
std::string Fetch(TSSLContext& Context) {
  std::string Request = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(Context.Write(Request.data(), int(Request.size())), int(Request.size()));
  std::string Page;
  char Buffer[1000];
  for (int Got; (Got = Context.Read(Buffer, sizeof Buffer)) > 0;) Page.append(Buffer, size_t(Got));
  return Page;
}

// gnutls-serv requiring a client certificate of the card authority.
struct TGnutlsServer {
  int Port = FreePort();
  HTTPTest::TServerProcess Process{{"gnutls-serv", "--http", "--port", std::to_string(Port), "--x509certfile",
                                    Pki()("server.pem"), "--x509keyfile", Pki()("server.key"), "--x509cafile",
                                    Pki()("cps-ca.pem"), "--require-client-cert", "--verify-client-cert"}};
  TGnutlsServer() {
    int S = -1;
    for (int I = 0; I < 200 && (S = Connect(Port)) < 0; ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (S < 0) Port = 0;
    close(S);
  }
};

// A GET, then the answer until Mark shows (the server keeps the connection).
std::string FetchUntil(TSSLContext& Context, std::string_view Mark) {
  std::string Request = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(Context.Write(Request.data(), int(Request.size())), int(Request.size()));
  std::string Page;
  char Buffer[1000];
  for (int Got; Page.find(Mark) == std::string::npos && (Got = Context.Read(Buffer, sizeof Buffer)) > 0;)
    Page.append(Buffer, size_t(Got));
  return Page;
}

class SChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_TOOL("openssl");
    MyStore().Clear();
  }
};

TEST_F(SChannel, refuses_self_signed_server_with_untrusted_root_text) {
  TOpensslServer Server(Pki()("self.pem"), Pki()("self.key"));
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  EXPECT_FALSE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr));
  EXPECT_EQ(uint32_t(Context.ErrNo()), 0x800B0109u);
  EXPECT_EQ(Context.CertStatus(), 0x800B0109u);
  EXPECT_EQ(Context.Error(), "Le certificat du serveur est réfusé car autosigné");
  close(S);
}

TEST_F(SChannel, refuses_certificate_of_another_host) {
  TOpensslServer Server(Pki()("server.pem"), Pki()("server.key"));
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  EXPECT_FALSE(Context.Start(S, TSSLContext::TLS12Protocols, "dmp.example.fr", nullptr));
  EXPECT_EQ(uint32_t(Context.ErrNo()), 0x800B010Fu);
  EXPECT_EQ(Context.Error(), "CertVerifyCertificateChainPolicy.Status = 800B010F");
  close(S);
}

TEST_F(SChannel, trusted_server_serves_data_until_close_notify) {
  for (std::string Host : {"localhost", "127.0.0.1"}) {
    TOpensslServer Server(Pki()("server.pem"), Pki()("server.key"));
    ASSERT_GT(Server.Port, 0);
    int S = Connect(Server.Port);
    TSSLContext Context;
    ASSERT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, Host, nullptr)) << Context.Error();
    EXPECT_EQ(Context.CertStatus(), 0u);
    std::string Page = Fetch(Context);
    EXPECT_NE(Page.find("HTTP/1.0 200 ok"), std::string::npos) << Page.substr(0, 200);
    EXPECT_NE(Page.find("TLSv1.2"), std::string::npos);
    EXPECT_EQ(Context.Read(Page.data(), 1), 0);  // the session stays ended
    close(S);
  }
}

TEST_F(SChannel, client_certificate_chosen_by_issuer_and_signed_through_callback) {
  TSoftwareKey Stranger(Pki()("stranger.key")), Doctor(Pki()("doctor.key"));
  ASSERT_TRUE(Stranger.Key && Doctor.Key);
  TCertificateStore Store;
  Store.Add(Stranger.Holder({DerOf(Pki()("stranger.pem"))}));
  Store.Add(Doctor.Holder({DerOf(Pki()("doctor.pem")), DerOf(Pki()("cps-ca.pem"))}));
  TOpensslServer Server(Pki()("server.pem"), Pki()("server.key"),
                        {"-Verify", "1", "-CAfile", Pki()("cps-ca.pem"), "-verify_return_error"});
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  ASSERT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", &Store)) << Context.Error();
  EXPECT_EQ(Context.ErrNo(), 0);
  std::string Page = Fetch(Context);
  // The server's status page names the certificate it received.
  EXPECT_NE(Page.find("Docteur Test"), std::string::npos) << Page;
  EXPECT_EQ(Doctor.Calls, 1);
  EXPECT_EQ(Stranger.Calls, 0);
  close(S);
}

TEST_F(SChannel, no_certificate_of_an_accepted_issuer_lets_the_server_decide) {
  TSoftwareKey Stranger(Pki()("stranger.key"));
  MyStore().Add(Stranger.Holder({DerOf(Pki()("stranger.pem"))}));
  struct TCase {
    std::string Verify;
    bool Accepted;
  } Cases[] = {{"-verify", true}, {"-Verify", false}};
  for (const auto& Case : Cases) {
    TOpensslServer Server(Pki()("server.pem"), Pki()("server.key"),
                          {Case.Verify, "1", "-CAfile", Pki()("cps-ca.pem"), "-verify_return_error"});
    ASSERT_GT(Server.Port, 0);
    int S = Connect(Server.Port);
    TSSLContext Context;
    bool Started = Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr);
    EXPECT_EQ(Stranger.Calls, 0);
    if (Case.Accepted) {
      ASSERT_TRUE(Started) << Context.Error();
      EXPECT_EQ(Context.ErrNo(), 0);
      EXPECT_EQ(Context.Error(), "CertFindChainInStore returns nil");
      EXPECT_NE(Fetch(Context).find("no client certificate available"), std::string::npos);
    } else {
      // TLS 1.2: the server's refusal comes after our Finished, at the first read.
      char B[16];
      EXPECT_TRUE(!Started || Context.Read(B, sizeof B) <= 0);
    }
    close(S);
  }
}

TEST_F(SChannel, gnutls_server_requiring_client_certificate) {
  SKIP_UNLESS_TOOL("gnutls-serv");
  TSoftwareKey Doctor(Pki()("doctor.key"));
  MyStore().Add(Doctor.Holder({DerOf(Pki()("doctor.pem"))}));
  TGnutlsServer Server;
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  ASSERT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr)) << Context.Error();
  std::string Page = FetchUntil(Context, "</HTML>");
  EXPECT_NE(Page.find("Docteur Test"), std::string::npos) << Page;
  EXPECT_NE(Page.find("TLS1.2"), std::string::npos);
  EXPECT_EQ(Doctor.Calls, 1);
  close(S);
}

TEST_F(SChannel, handshakes_of_eight_threads_run_one_after_the_other) {
  SKIP_UNLESS_TOOL("gnutls-serv");
  TSoftwareKey Doctor(Pki()("doctor.key"));
  Doctor.DelayMs = 20;  // a slow card: overlapping handshakes would show
  MyStore().Add(Doctor.Holder({DerOf(Pki()("doctor.pem"))}));
  TGnutlsServer Server;  // serves connections side by side, unlike s_server
  ASSERT_GT(Server.Port, 0);
  TSecur32::Shutdown();  // from now on every start renews the provider, still one at a time
  std::atomic<int> Started{0};
  std::vector<std::thread> Threads;
  for (int I = 0; I < 8; ++I)
    Threads.emplace_back([&] {
      int S = Connect(Server.Port);
      TSSLContext Context;
      if (S >= 0 && Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr) &&
          FetchUntil(Context, "Docteur Test").find("Docteur Test") != std::string::npos)
        ++Started;
      close(S);
    });
  for (auto& T : Threads) T.join();
  EXPECT_EQ(Started, 8);
  EXPECT_EQ(Doctor.Calls, 8);
  EXPECT_EQ(Doctor.MaxBusy, 1);
}

TEST_F(SChannel, connection_closed_during_handshake_fails_the_start) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  ASSERT_EQ(bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(listen(L, 1), 0);
  getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
  std::thread Peer([L] {
    int C = accept(L, nullptr, nullptr);
    char Hello[512];
    (void)!recv(C, Hello, sizeof Hello, 0);  // the ClientHello, then an orderly close
    close(C);
  });
  int S = Connect(ntohs(A.sin_port));
  TSSLContext Context;
  EXPECT_FALSE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr));
  EXPECT_EQ(Context.ErrNo(), 0);
  EXPECT_EQ(Context.Error(), "recv returns 00000000");
  EXPECT_EQ(Context.CertStatus(), 0u);
  Peer.join();
  close(S);
  close(L);
}

// A server whose only suite the own engine does not offer answers its hello
// with a handshake_failure alert; the HTTP client reopens that connection
// over this client, which presents the own engine's certificate.
TEST_F(SChannel, http_client_falls_back_after_own_engine_alert_with_same_certificate) {
  RegisterTinyTLSEngine();
  HTTPTest::TServerProcess Server({TestSupport::Python, TestSupport::Fixture("schannel/https_server.py").string(),
                                   Pki()("server.pem"), Pki()("server.key"), "ECDHE-ECDSA-AES128-GCM-SHA256",
                                   Pki()("cps-ca.pem")});
  int Port = std::atoi(Server.ReadLine().c_str());
  ASSERT_GT(Port, 0);
  TSoftwareKey Doctor(Pki()("doctor.key"));
  auto Engine = std::make_shared<TTLS>();
  std::string Chain = DerOf(Pki()("doctor.pem"));
  Engine->OnCertificateRequest = [&](TTinyTLS&, std::vector<std::string>& Certificates) { Certificates = {Chain}; };
  Engine->OnCertificateVerify = [&](TTinyTLS&, const std::string& Hash, std::string& Signature) {
    Signature = Doctor.Sign(Hash.size() == 20 ? "SHA1" : Hash.size() == 48 ? "SHA384" : "SHA256", Hash);
  };
  THTTPClient Client;
  Client.ReplaceTLS(Engine);
  Client.SetTimeout(10000);
  std::string URL = "https://localhost:" + std::to_string(Port) + "/";
  // Without this client the alert leads to the fallback, which finds no engine.
  RegisterTLSSocketMaker(TTLSEngine::SChannel, {});
  try {
    Client.Get(URL);
    ADD_FAILURE() << "the own engine was not refused";
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "No TLS engine available for https");
  }
  RegisterSChannelSocketMaker();
  std::string Page;
  EXPECT_NO_THROW(Page = Client.Get(URL));
  EXPECT_EQ(Page, "served over TLSv1.2 to Docteur Test");
  EXPECT_EQ(Doctor.Calls, 1);
  EXPECT_EQ(Client.TLSEngine(), TTLSEngine::TinyTLS);  // the next connection tries the own engine again
}

TEST_F(SChannel, socket_raises_the_refusal_as_ssl_error) {
  RegisterSChannelSocketMaker();
  TOpensslServer Server(Pki()("self.pem"), Pki()("self.key"));
  ASSERT_GT(Server.Port, 0);
  THTTPClient Client;
  Client.SetTLSEngine(TTLSEngine::SChannel);
  try {
    Client.Get("https://localhost:" + std::to_string(Server.Port) + "/");
    ADD_FAILURE() << "no error";
  } catch (const ESSLError& E) {
    EXPECT_EQ(uint32_t(E.Code()), 0x800B0109u);
    EXPECT_STREQ(E.what(), "Le certificat du serveur est réfusé car autosigné");
  }
}

// A server that drops the TCP connection in the middle of a body, without
// close_notify, has cut it short whatever its framing: both engines refuse
// it as "Read Error". A close-delimited body ended by close_notify is whole.
// A server that stalls gives both the plain socket's time-out, and the
// request is not sent again.
TEST_F(SChannel, cut_or_stalled_answers_are_errors_alike_on_both_engines) {
  RegisterTinyTLSEngine();
  RegisterSChannelSocketMaker();
  for (TTLSEngine Engine : {TTLSEngine::TinyTLS, TTLSEngine::SChannel}) {
    SCOPED_TRACE(Engine == TTLSEngine::TinyTLS ? "own engine" : "system client");
    HTTPTest::TServerProcess Server({TestSupport::Python, TestSupport::Fixture("http/tls_cut_server.py").string(),
                                     Pki()("rsa-server.pem"), Pki()("rsa-server.key"), "length", "chunked", "close",
                                     "notify", "stall"});
    int Port = std::atoi(Server.ReadLine().c_str());
    ASSERT_GT(Port, 0);
    THTTPClient Client;
    Client.SetTLSEngine(Engine);
    Client.SetTimeout(10000);
    std::string URL = "https://localhost:" + std::to_string(Port) + "/";
    for (const char* Mode : {"length", "chunked", "close"}) {
      try {
        Client.Get(URL);
        ADD_FAILURE() << Mode << ": the cut body was taken as whole";
      } catch (const std::exception& E) {
        EXPECT_STREQ(E.what(), "Read Error") << Mode;
      }
    }
    std::string Whole;
    for (int I = 0; I < 100; ++I) Whole += "0123456789";
    EXPECT_EQ(Client.Get(URL), Whole);
    Client.SetTimeout(500);
    try {
      Client.Get(URL);
      ADD_FAILURE() << "no time-out";
    } catch (const std::exception& E) {
      EXPECT_STREQ(E.what(), "WINSOCK Error #0000274C on function recv");
    }
    EXPECT_TRUE(Server.WaitExit());
  }
}

}  // namespace
