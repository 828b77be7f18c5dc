// THTTPClient against libcurl on the same local nginx: 1000 small GETs on one
// keep-alive connection, and one 256 MiB download. Each iteration runs both;
// the counter "curl/ours" above 1 means our client was faster.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "BenchServers.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "Vantrel.HTTPClient.h"

namespace {

class TServer {
  TestSupport::TempDir FDir;  // made first, removed once nginx has stopped

 public:
  TServer() {
    Nginx = std::make_unique<HTTPTest::TNginx>(FDir.Path());
    std::ofstream(Nginx->Root / "small") << std::string(200, 's');
    // A sparse file: nginx sends 256 MiB of zeros without touching the disk.
    int Fd = open((Nginx->Root / "big").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (Fd >= 0) {
      if (ftruncate(Fd, BigSize) != 0) Nginx->Ready = false;
      close(Fd);
    }
  }
  static constexpr off_t BigSize = off_t(256) << 20;
  std::unique_ptr<HTTPTest::TNginx> Nginx;
};

TServer& Server() {
  static TServer S;
  return S;
}

// Runs Requests GETs of URL with both clients; accumulates their times.
void Compare(benchmark::State& State, const std::string& URL, int Requests, size_t Expected) {
  if (!Server().Nginx || !Server().Nginx->Ready) {
    State.SkipWithError("nginx did not start");
    return;
  }
  double Ours = 0, Theirs = 0;
  Vantrel::THTTPClient Client;
  CURL* Curl = curl_easy_init();
  curl_easy_setopt(Curl, CURLOPT_URL, URL.c_str());
  curl_easy_setopt(Curl, CURLOPT_WRITEFUNCTION, Bench::AppendToString);
  for (auto _ : State) {
    auto Start = Bench::Clock::now();
    for (int I = 0; I < Requests; ++I) {
      std::string Body;
      Client.Get(URL, Body);
      if (Body.size() != Expected) State.SkipWithError("short body (ours)");
      benchmark::DoNotOptimize(Body.data());
    }
    Ours += Bench::Seconds(Start);
    Start = Bench::Clock::now();
    for (int I = 0; I < Requests; ++I) {
      std::string Body;
      curl_easy_setopt(Curl, CURLOPT_WRITEDATA, &Body);
      if (curl_easy_perform(Curl) != CURLE_OK || Body.size() != Expected)
        State.SkipWithError("curl failed");
      benchmark::DoNotOptimize(Body.data());
    }
    Theirs += Bench::Seconds(Start);
  }
  curl_easy_cleanup(Curl);
  double N = double(State.iterations());
  State.counters["ours_ms"] = Ours / N * 1000;
  State.counters["curl_ms"] = Theirs / N * 1000;
  State.counters["curl/ours"] = Ours > 0 ? Theirs / Ours : 0;
}

void BM_KeepAlive1000Gets(benchmark::State& State) {
  Compare(State, Server().Nginx ? Server().Nginx->URL("/small") : "", 1000, 200);
}
BENCHMARK(BM_KeepAlive1000Gets)->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_Download256MiB(benchmark::State& State) {
  Compare(State, Server().Nginx ? Server().Nginx->URL("/big") : "", 1, size_t(TServer::BigSize));
}
BENCHMARK(BM_Download256MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
