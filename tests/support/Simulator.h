// The national-service simulator (tests/sim/simulator.py) as a test
// fixture: started on free ports with the build folder's test PKI and a
// fixed day, ready once it printed its JSON line, stopped (SIGTERM) when
// the object goes. Control() talks to its control listener (see
// tests/sim/README.md for the paths), Log() reads its request log.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace SimTest {

class TSimulator {
 public:
  // Extra arguments go after the standard ones ("--scenario", FILE...).
  explicit TSimulator(std::string Today = "2025-03-15", const std::vector<std::string>& Extra = {}) {
    std::vector<std::string> Argv = {TestSupport::Python,
                                     std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/simulator.py",
                                     "--state", FState.Path().string(),
                                     "--pki", TestSupport::PKIDir().string(),
                                     "--today", std::move(Today), "--port", "0"};
    Argv.insert(Argv.end(), Extra.begin(), Extra.end());
    FProcess = std::make_unique<HTTPTest::TServerProcess>(Argv);
    Ready = FProcess->Started() ? FProcess->ReadLine(60000) : std::string();
    NationalPort = Number("national");
    PublicPort = Number("public");
    ControlPort = Number("control");
    HostsFile = (FState / "hosts.json").string();
    TrustFile = TestSupport::PKIFile("trust.pem");
  }

  explicit operator bool() const { return NationalPort > 0 && PublicPort > 0 && ControlPort > 0; }

  // One request to the control listener; the answer's body (JSON), empty
  // when it could not be reached.
  std::string Control(std::string_view Method, std::string_view Path, std::string_view Body = {}) const {
    const int Socket = TestSupport::ConnectLoopback(ControlPort);
    if (Socket < 0) return {};
    std::string Request = std::string(Method) + " " + std::string(Path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          "Connection: close\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(Body.size()) + "\r\n\r\n" + std::string(Body);
    for (size_t Sent = 0; Sent < Request.size();) {
      const ssize_t N = send(Socket, Request.data() + Sent, Request.size() - Sent, MSG_NOSIGNAL);
      if (N <= 0) break;
      Sent += size_t(N);
    }
    std::string Answer;
    char Buffer[4096];
    for (ssize_t N; (N = read(Socket, Buffer, sizeof Buffer)) > 0;) Answer.append(Buffer, size_t(N));
    close(Socket);
    const size_t Start = Answer.find("\r\n\r\n");
    return Start == std::string::npos ? std::string() : Answer.substr(Start + 4);
  }

  // Replaces the scenario rules (a JSON array) and clears them.
  std::string SetRules(std::string_view RulesArray) const {
    return Control("POST", "/rules", "{\"rules\": " + std::string(RulesArray) + "}");
  }
  std::string Reset() const { return Control("POST", "/reset"); }

  // The request log's entries after the first Since ones, one JSON object
  // each (requests.jsonl is written in sequence order).
  std::vector<std::string> Log(size_t Since = 0) const {
    std::vector<std::string> Entries;
    std::ifstream In(FState / "requests.jsonl");
    std::string Line;
    for (size_t N = 0; std::getline(In, Line); ++N)
      if (N >= Since && !Line.empty()) Entries.push_back(Line);
    return Entries;
  }
  size_t LogSize() const { return Log().size(); }
  // The entries after Since once there are at least Count of them (or after
  // ten seconds): a handler may log after its client returned, as a failed
  // handshake or an answer written past the client's time-out does.
  std::vector<std::string> WaitForLog(size_t Count, size_t Since = 0) const {
    std::vector<std::string> Entries = Log(Since);
    for (int Tries = 0; Entries.size() < Count && Tries < 200; ++Tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      Entries = Log(Since);
    }
    return Entries;
  }

  // A file the simulator wrote (a saved body named by a log entry).
  std::string StateFile(std::string_view Relative) const { return TestSupport::ReadFile(FState / Relative); }

  std::string Ready;  // the ready line as printed
  int NationalPort = 0, PublicPort = 0, ControlPort = 0;
  std::string HostsFile, TrustFile;

 private:
  int Number(std::string_view Key) const {
    const std::string Quoted = "\"" + std::string(Key) + "\": ";
    const size_t At = Ready.find(Quoted);
    return At == std::string::npos ? 0 : std::atoi(Ready.c_str() + At + Quoted.size());
  }

  TestSupport::TempDir FState;
  std::unique_ptr<HTTPTest::TServerProcess> FProcess;
};

}  // namespace SimTest
