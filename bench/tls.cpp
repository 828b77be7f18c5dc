// The own TLS engine against OpenSSL's libssl client on the same local
// openssl s_server: a bulk download over AES-128-GCM and over AES-128-CBC
// with HMAC-SHA-256, and full handshakes (ECDHE P-256, RSA-2048 server key,
// chain and host checked by both). Each iteration runs both clients; the
// counter "libssl/ours" above 1 means our engine was faster.
// The download size is CARVELIN_TLS_BENCH_MB (default 16; 256 for the
// figure the targets are read on).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BenchServers.h"
#include "TestPKI.h"
#include "TestSupport.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.WinSSPI.h"

namespace {

size_t BulkSize() {
  const char* MB = std::getenv("CARVELIN_TLS_BENCH_MB");
  long Value = MB ? std::atol(MB) : 16;
  return size_t(Value > 0 ? Value : 16) << 20;
}

// s_server -WWW with the test PKI's RSA server certificate, sending its
// intermediate (the clients trust the root only), and a sparse file to serve.
class TServer {
 public:
  TServer() {
    const std::string Cert = TestSupport::PKIFile("server.pem"), Key = TestSupport::PKIFile("server.key"),
                      Chain = TestSupport::PKIFile("ca-serveurs.pem");
    Vantrel::SetExtraCAFile(TestSupport::PKIFile("root-ca.pem"));
    int Fd = open(Path("big").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (Fd < 0 || ftruncate(Fd, off_t(BulkSize())) != 0) return;
    close(Fd);
    Port = TestSupport::FreePort();
    Pid = fork();
    if (Pid == 0) {
      int Null = open("/dev/null", O_RDWR);
      dup2(Null, 0);
      dup2(Null, 1);
      dup2(Null, 2);
      if (chdir(Dir.Path().c_str()) != 0) _exit(127);
      std::string Accept = "127.0.0.1:" + std::to_string(Port);
      execlp("openssl", "openssl", "s_server", "-quiet", "-accept", Accept.c_str(), "-tls1_2", "-cert", Cert.c_str(),
             "-key", Key.c_str(), "-cert_chain", Chain.c_str(), "-groups", "P-256", "-WWW", static_cast<char*>(nullptr));
      _exit(127);
    }
    Ready = TestSupport::WaitForPort(Port);
  }
  ~TServer() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
  }
  std::string Path(const char* Name) const { return (Dir / Name).string(); }

  TestSupport::TempDir Dir;  // outlives the server
  int Port = 0;
  pid_t Pid = -1;
  bool Ready = false;
};

TServer& Server() {
  static TServer S;
  return S;
}

const std::string Request = "GET /big HTTP/1.0\r\n\r\n";

// Ours: one connection, optionally a download; the bytes received.
size_t OursFetch(uint16_t Suite, bool Download) {
  auto TLS = std::make_shared<Vantrel::TTLS>();
  TLS->CipherSuites() = {Suite};
  TLS->SupportedGroups() = {Vantrel::TCurveName::secp256r1};
  Vantrel::TTinyTLSSocket Socket(TLS);
  Socket.DoConnect("127.0.0.1", uint16_t(Server().Port), 5000);
  if (!Download) return 0;
  Socket.SendStream(Request);
  std::vector<char> Buffer(65536);
  size_t Got = 0;
  try {
    for (;;) Got += size_t(Socket.Read(Buffer.data(), Buffer.size()));
  } catch (const std::exception&) {
    // close_notify or the close ends the download
  }
  return Got;
}

// libssl with the same suite, group and checks.
size_t LibsslFetch(SSL_CTX* Ctx, bool Download) {
  int Fd = TestSupport::ConnectLoopback(Server().Port);
  if (Fd < 0) return 0;
  SSL* S = SSL_new(Ctx);
  SSL_set_fd(S, Fd);
  SSL_set1_host(S, "127.0.0.1");
  size_t Got = 0;
  if (SSL_connect(S) == 1 && Download) {
    SSL_write(S, Request.data(), int(Request.size()));
    std::vector<char> Buffer(65536);
    for (int N; (N = SSL_read(S, Buffer.data(), int(Buffer.size()))) > 0;) Got += size_t(N);
  }
  SSL_free(S);
  close(Fd);
  ERR_clear_error();
  return Got;
}

SSL_CTX* LibsslContext(const char* Cipher) {
  SSL_CTX* Ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(Ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(Ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(Ctx, Cipher);
  char Groups[] = "P-256";
  SSL_CTX_set1_groups_list(Ctx, Groups);
  SSL_CTX_load_verify_locations(Ctx, TestSupport::PKIFile("root-ca.pem").c_str(), nullptr);
  SSL_CTX_set_verify(Ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(Ctx, SSL_SESS_CACHE_OFF);  // full handshakes only
  SSL_CTX_set_options(Ctx, SSL_OP_NO_TICKET);
  return Ctx;
}

void Compare(benchmark::State& State, uint16_t Suite, const char* Cipher, bool Download, int Connections) {
  if (!Server().Ready) {
    State.SkipWithError("openssl s_server did not start");
    return;
  }
  SSL_CTX* Ctx = LibsslContext(Cipher);
  double Ours = 0, Theirs = 0;
  // One untimed round warms the server (its first pass over the file) and both clients.
  try {
    OursFetch(Suite, Download);
  } catch (const std::exception& E) {
    State.SkipWithError(E.what());
  }
  LibsslFetch(Ctx, Download);
  bool OursFirst = true;  // alternate so that neither always meets a warm or cold server
  for (auto _ : State) {
    for (int Turn = 0; Turn < 2; ++Turn) {
      auto Start = Bench::Clock::now();
      if ((Turn == 0) == OursFirst) {
        for (int I = 0; I < Connections; ++I) {
          try {
            size_t Got = OursFetch(Suite, Download);
            if (Download && Got < BulkSize()) State.SkipWithError("short download (ours)");
          } catch (const std::exception& E) {
            State.SkipWithError(E.what());
          }
        }
        Ours += Bench::Seconds(Start);
      } else {
        for (int I = 0; I < Connections; ++I) {
          size_t Got = LibsslFetch(Ctx, Download);
          if (Download && Got < BulkSize()) State.SkipWithError("short download (libssl)");
        }
        Theirs += Bench::Seconds(Start);
      }
    }
    OursFirst = !OursFirst;
  }
  SSL_CTX_free(Ctx);
  double N = double(State.iterations());
  State.counters["ours_ms"] = Ours / N * 1000;
  State.counters["libssl_ms"] = Theirs / N * 1000;
  State.counters["libssl/ours"] = Ours > 0 ? Theirs / Ours : 0;
  if (Download) State.counters["ours_MBps"] = double(BulkSize()) * N / Ours / 1e6;
  else State.counters["ours_handshakes_per_s"] = Connections * N / Ours;
}

void BM_BulkAESGCM(benchmark::State& State) { Compare(State, 0xC02F, "ECDHE-RSA-AES128-GCM-SHA256", true, 1); }
BENCHMARK(BM_BulkAESGCM)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_BulkAESCBC(benchmark::State& State) { Compare(State, 0xC027, "ECDHE-RSA-AES128-SHA256", true, 1); }
BENCHMARK(BM_BulkAESCBC)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_Handshakes(benchmark::State& State) { Compare(State, 0xC02F, "ECDHE-RSA-AES128-GCM-SHA256", false, 20); }
BENCHMARK(BM_Handshakes)->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace
