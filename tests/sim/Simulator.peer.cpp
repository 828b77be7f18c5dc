// The simulator through the test fixture, reached by the program's own TLS
// engine (the https-get driver, client authentication answered with the
// software key): the default profile carries a call with the client
// certificate, the system-TLS profile refuses the engine's suites, and the
// control listener's rules and reset act on the next request.
#include <gtest/gtest.h>

#include <string>

#include "Simulator.h"
#include "TestPKI.h"
#include "TestSupport.h"

namespace {

using TestSupport::PKIFile;
using TestSupport::Run;
using TestSupport::ToolPath;

TestSupport::RunResult OwnEngineGet(const SimTest::TSimulator& Sim, int Port, const std::string& Path) {
  return Run({ToolPath("https-get"), "--cert", PKIFile("client-chain.pem"), "--key", PKIFile("client.key"),
              "--cafile", Sim.TrustFile, "https://127.0.0.1:" + std::to_string(Port) + Path});
}

TEST(SimulatorPeer, own_engine_call_carries_the_client_certificate_into_the_log) {
  SimTest::TSimulator Sim;
  ASSERT_TRUE(Sim) << Sim.Ready;
  EXPECT_NE(TestSupport::ReadFile(Sim.HostsFile).find("\"DMP_Server\": \"127.0.0.1:" +
                                                        std::to_string(Sim.NationalPort) + "\""),
            std::string::npos);
  const auto R = OwnEngineGet(Sim, Sim.NationalPort, "/web/unknown");
  EXPECT_EQ(R.Status, 1) << R.Err;  // 404: nothing is served there, but the handshake passed
  const auto Log = Sim.Log();
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_NE(Log[0].find("\"status\": 404"), std::string::npos) << Log[0];
  EXPECT_NE(Log[0].find("Docteur Jean Test"), std::string::npos) << Log[0];
  EXPECT_NE(Log[0].find("\"tls_version\": \"TLSv1.2\""), std::string::npos) << Log[0];
}

TEST(SimulatorPeer, system_tls_profile_refuses_the_own_engine) {
  SimTest::TSimulator Sim;
  ASSERT_TRUE(Sim) << Sim.Ready;
  EXPECT_NE(Sim.Control("POST", "/tls-profile", R"({"profile": "system-tls"})").find("system-tls"),
            std::string::npos);
  const auto R = OwnEngineGet(Sim, Sim.PublicPort, "/microtime");
  EXPECT_NE(R.Status, 0) << R.Out;
  const auto Log = Sim.WaitForLog(1);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_NE(Log[0].find("handshake_failed"), std::string::npos) << Log[0];
  Sim.Reset();
  EXPECT_EQ(OwnEngineGet(Sim, Sim.PublicPort, "/microtime").Status, 0);
}

TEST(SimulatorPeer, rules_apply_to_the_next_request_and_reset_clears_them) {
  SimTest::TSimulator Sim;
  ASSERT_TRUE(Sim) << Sim.Ready;
  EXPECT_NE(Sim.SetRules(R"([{"match": {"service": "microtime"}, "times": 1, "variant": "junk"}])")
                .find("\"rules\": 1"),
            std::string::npos);
  EXPECT_EQ(OwnEngineGet(Sim, Sim.PublicPort, "/microtime").Out, "pas une heure");
  Sim.SetRules(R"([{"match": {"service": "microtime"}, "status": {"code": 503}}])");
  Sim.Reset();
  const auto R = OwnEngineGet(Sim, Sim.PublicPort, "/microtime");
  EXPECT_EQ(R.Status, 0);
  EXPECT_NE(R.Out.find('.'), std::string::npos) << R.Out;
}

}  // namespace
