// The system TLS client against openssl s_server and gnutls-serv.
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <map>
#include <thread>

#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"

using namespace Vantrel;

namespace {

// The test PKI's files; on first use its authorities become the extra CA
// file. The server certificate is the ECDSA one of the system-TLS profile;
// the client certificates are RSA, the kind the signing callback serves.
std::string Pki(std::string_view Name) {
  static const bool Trusted = [] {
    SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
    return true;
  }();
  (void)Trusted;
  return TestSupport::PKIFile(Name);
}

std::vector<std::string> Chain(std::string_view Pem) { return TestSupport::CertificatesDER(Pki(Pem)); }

// The holder's key stays with the test: only its sign operation is handed
// in, counted, and timed to show signatures that overlap.
struct TCardKey {
  TestSupport::TSoftwareKey Key;
  std::atomic<int> Calls{0};
  std::atomic<int> Busy{0};
  std::atomic<int> MaxBusy{0};
  int DelayMs = 0;

  explicit TCardKey(const std::string& Path) : Key(Path) {}

  std::string Sign(std::string_view Algorithm, std::string_view Digest) {
    ++Calls;
    int Now = ++Busy;
    for (int M = MaxBusy; Now > M && !MaxBusy.compare_exchange_weak(M, Now);) {}
    if (DelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
    std::string Out = Key.SignDigest(Digest, Algorithm);
    --Busy;
    return Out;
  }

  TClientCertificate Holder(const std::vector<std::string>& Certificates) {
    return {Certificates, [this](std::string_view A, std::string_view D) { return Sign(A, D); }};
  }
};

using TestSupport::FreePort;

int Connect(int Port) {
  int S = TestSupport::ConnectLoopback(Port);
  if (S < 0) return -1;
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
                                    Pki("server-ec.pem"), "--x509keyfile", Pki("server-ec.key"), "--x509cafile",
                                    Pki("trust.pem"), "--require-client-cert", "--verify-client-cert"}};
  TGnutlsServer() {
    if (!TestSupport::WaitForPort(Port)) Port = 0;
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
  TOpensslServer Server(Pki("self-signed.pem"), Pki("self-signed.key"));
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
  TOpensslServer Server(Pki("server-ec.pem"), Pki("server-ec.key"));
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
    TOpensslServer Server(Pki("server-ec.pem"), Pki("server-ec.key"));
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
  TCardKey Stranger(Pki("rogue-client.key")), Doctor(Pki("client.key"));
  ASSERT_TRUE(Stranger.Key && Doctor.Key);
  TCertificateStore Store;
  Store.Add(Stranger.Holder(Chain("rogue-client.pem")));
  Store.Add(Doctor.Holder(Chain("client-chain.pem")));
  TOpensslServer Server(Pki("server-ec.pem"), Pki("server-ec.key"),
                        {"-Verify", "1", "-CAfile", Pki("trust.pem"), "-verify_return_error"});
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  ASSERT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", &Store)) << Context.Error();
  EXPECT_EQ(Context.ErrNo(), 0);
  std::string Page = Fetch(Context);
  // The server's status page names the certificate it received.
  EXPECT_NE(Page.find("Docteur Jean Test"), std::string::npos) << Page;
  EXPECT_EQ(Doctor.Calls, 1);
  EXPECT_EQ(Stranger.Calls, 0);
  close(S);
}

TEST_F(SChannel, no_certificate_of_an_accepted_issuer_lets_the_server_decide) {
  TCardKey Stranger(Pki("rogue-client.key"));
  MyStore().Add(Stranger.Holder(Chain("rogue-client.pem")));
  struct TCase {
    std::string Verify;
    bool Accepted;
  } Cases[] = {{"-verify", true}, {"-Verify", false}};
  for (const auto& Case : Cases) {
    TOpensslServer Server(Pki("server-ec.pem"), Pki("server-ec.key"),
                          {Case.Verify, "1", "-CAfile", Pki("trust.pem"), "-verify_return_error"});
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
  TCardKey Doctor(Pki("client.key"));
  MyStore().Add(Doctor.Holder(Chain("client.pem")));
  TGnutlsServer Server;
  ASSERT_GT(Server.Port, 0);
  int S = Connect(Server.Port);
  TSSLContext Context;
  ASSERT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr)) << Context.Error();
  std::string Page = FetchUntil(Context, "</HTML>");
  EXPECT_NE(Page.find("Docteur Jean Test"), std::string::npos) << Page;
  EXPECT_NE(Page.find("TLS1.2"), std::string::npos);
  EXPECT_EQ(Doctor.Calls, 1);
  close(S);
}

TEST_F(SChannel, handshakes_of_eight_threads_run_one_after_the_other) {
  SKIP_UNLESS_TOOL("gnutls-serv");
  TCardKey Doctor(Pki("client.key"));
  Doctor.DelayMs = 20;  // a slow card: overlapping handshakes would show
  MyStore().Add(Doctor.Holder(Chain("client.pem")));
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
          FetchUntil(Context, "Docteur Jean Test").find("Docteur Jean Test") != std::string::npos)
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
                                   Pki("server-ec.pem"), Pki("server-ec.key"), "ECDHE-ECDSA-AES128-GCM-SHA256",
                                   Pki("trust.pem")});
  int Port = std::atoi(Server.ReadLine().c_str());
  ASSERT_GT(Port, 0);
  TCardKey Doctor(Pki("client.key"));
  auto Engine = std::make_shared<TTLS>();
  std::string Certificate = Chain("client.pem")[0];
  Engine->OnCertificateRequest = [&](TTinyTLS&, std::vector<std::string>& Certificates) { Certificates = {Certificate}; };
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
  EXPECT_EQ(Page, "served over TLSv1.2 to Docteur Jean Test");
  EXPECT_EQ(Doctor.Calls, 1);
  EXPECT_EQ(Client.TLSEngine(), TTLSEngine::TinyTLS);  // the next connection tries the own engine again
}

TEST_F(SChannel, socket_raises_the_refusal_as_ssl_error) {
  RegisterSChannelSocketMaker();
  TOpensslServer Server(Pki("self-signed.pem"), Pki("self-signed.key"));
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
                                     Pki("server.pem"), Pki("server.key"), "length", "chunked", "close",
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

// ---- Revocation and strength of the server's chain, alike on both engines ----

// openssl s_server presenting a PKI certificate with its chain; the weak
// ones load only at security level 0.
std::unique_ptr<TOpensslServer> ServerOf(const std::string& Name) {
  return std::make_unique<TOpensslServer>(Pki(Name + ".pem"), Pki(Name + ".key"),
                                          std::vector<std::string>{"-cert_chain", Pki(Name + "-chain.pem"), "-cipher",
                                                                   "DEFAULT:@SECLEVEL=0"});
}

// A connection of one engine (its handshake and the check of the server's
// chain): 0 when the server is accepted, else the status of its refusal,
// with the engine's own text.
uint32_t RefusalOf(TTLSEngine Engine, int Port) {
  std::unique_ptr<TCustomTLSSocket> Socket;
  if (Engine == TTLSEngine::TinyTLS) Socket = std::make_unique<TTinyTLSSocket>();
  else Socket = std::make_unique<TSChannelSocket>();
  Socket->SetTimeout(10000);
  try {
    Socket->DoConnect("localhost", uint16_t(Port), 10000);
    return 0;
  } catch (const ECertException& E) {
    EXPECT_STREQ(E.what(), "Invalid certificate");
    return E.Status();
  } catch (const ESSLError& E) {
    char Text[64];
    std::snprintf(Text, sizeof Text, "CertVerifyCertificateChainPolicy.Status = %08X", unsigned(E.Code()));
    EXPECT_STREQ(E.what(), Text);
    return uint32_t(E.Code());
  }
}

// The CRL port is served by this test only. Each connection starts with an
// empty cache, so every list is fetched from the server over http.
TEST_F(SChannel, both_engines_refuse_revoked_and_weak_servers_alike) {
  int CRLPort = TestSupport::PKICRLPort();
  HTTPTest::TServerProcess Lists({TestSupport::Python, "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                                  Pki("revocation/crl"), std::to_string(CRLPort)});
  ASSERT_TRUE(TestSupport::WaitForPort(CRLPort));
  TestSupport::TempDir Cache;
  setenv("XDG_CACHE_HOME", Cache.Path().c_str(), 1);
  struct {
    const char* Server;
    uint32_t Status;
  } Cases[] = {
      {"revocation/server", 0},
      {"revocation/revoked-server", CERT_E_REVOKED},
      {"revocation/revoked-ca-server", CERT_E_REVOKED},
      {"revocation/unreachable-server", CRYPT_E_REVOCATION_OFFLINE},
      {"weak/rsa1024", TRUST_E_CERT_SIGNATURE},
      {"weak/sha1", TRUST_E_CERT_SIGNATURE},
  };
  for (const auto& C : Cases) {
    auto Server = ServerOf(C.Server);
    ASSERT_GT(Server->Port, 0) << C.Server;
    for (TTLSEngine Engine : {TTLSEngine::TinyTLS, TTLSEngine::SChannel}) {
      std::filesystem::remove_all(Cache.Path() / "Carvelin2");
      EXPECT_EQ(RefusalOf(Engine, Server->Port), C.Status)
          << C.Server << (Engine == TTLSEngine::TinyTLS ? " over the own engine" : " over the system client");
    }
  }
  unsetenv("XDG_CACHE_HOME");
}

// The lists are fetched once the handshake lock is free: another
// handshake may start meanwhile.
TEST_F(SChannel, revocation_lists_are_fetched_outside_the_handshake_lock) {
  TestSupport::TempDir Cache;
  setenv("XDG_CACHE_HOME", Cache.Path().c_str(), 1);
  int Fetches = 0;
  bool LockFree = true;
  SetCRLFetcher([&](const std::string& URL) {
    ++Fetches;
    auto Taken = std::make_shared<std::promise<void>>();
    auto Done = Taken->get_future();
    std::thread([Taken] {
      TSecur32::UnLock(TSecur32::Lock());
      Taken->set_value();
    }).detach();
    LockFree = LockFree && Done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    return TestSupport::ReadFile(Pki("revocation/crl/" + URL.substr(URL.rfind('/') + 1)));
  });
  auto Server = ServerOf("revocation/server");
  ASSERT_GT(Server->Port, 0);
  int S = Connect(Server->Port);
  TSSLContext Context;
  EXPECT_TRUE(Context.Start(S, TSSLContext::TLS12Protocols, "localhost", nullptr)) << Context.Error();
  EXPECT_EQ(Fetches, 2);
  EXPECT_TRUE(LockFree);
  close(S);
  SetCRLFetcher({});
  unsetenv("XDG_CACHE_HOME");
}

}  // namespace
