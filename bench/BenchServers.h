// What the benchmarks against libcurl share: the timing, curl's body
// collector, and nginx over TLS answering a POST with fixed bytes.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.WinSSPI.h"

namespace Bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

// A CURLOPT_WRITEFUNCTION adding the body to the std::string of CURLOPT_WRITEDATA.
inline size_t AppendToString(char* Data, size_t Size, size_t Count, void* Out) {
  static_cast<std::string*>(Out)->append(Data, Size * Count);
  return Size * Count;
}

// nginx in a fresh folder, on a free loopback port over TLS with the test
// PKI's server certificate and its intermediate: a POST of any size to Path
// gets Answer with status 200. From then on the process trusts the test PKI
// and connects with the own TLS engine.
class TAnswerServer {
 public:
  TAnswerServer(std::string_view Path, std::string_view Answer) : Port(TestSupport::FreePort()), FPath(Path) {
    Vantrel::SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
    Vantrel::RegisterTinyTLSEngine();
    std::ofstream(FDir / "chain.pem") << TestSupport::ReadFile(TestSupport::PKIFile("server.pem"))
                                      << TestSupport::ReadFile(TestSupport::PKIFile("ca-serveurs.pem"));
    FNginx = std::make_unique<HTTPTest::TNginx>(
        FDir.Path(), "    listen 127.0.0.1:" + std::to_string(Port) + " ssl;\n    ssl_certificate " +
                         (FDir / "chain.pem").string() + ";\n    ssl_certificate_key " +
                         TestSupport::PKIFile("server.key") +
                         ";\n    gzip off;\n    client_max_body_size 0;\n    location = " + FPath +
                         " { error_page 405 =200 $uri; }\n");
    const std::filesystem::path File = FNginx->Root / std::filesystem::path(FPath).relative_path();
    std::filesystem::create_directories(File.parent_path());
    std::ofstream(File, std::ios::binary).write(Answer.data(), std::streamsize(Answer.size()));
    Ready = FNginx->Ready && TestSupport::WaitForPort(Port);
  }

  std::string Host() const { return "localhost:" + std::to_string(Port); }
  std::string URL() const { return "https://" + Host() + FPath; }

  const int Port;
  bool Ready = false;

 private:
  TestSupport::TempDir FDir;  // outlives nginx
  const std::string FPath;
  std::unique_ptr<HTTPTest::TNginx> FNginx;
};

}  // namespace Bench
