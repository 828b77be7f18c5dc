// A test suite against the national-service simulator: one simulator for
// the suite, reset before each test, and the core's hosts pointed at it for
// the test's length (Hosts holds what was loaded). The simulator starts
// without options; a suite that wants others hides SetUpTestSuite:
//   static void SetUpTestSuite() { StartSimulator({"--verify-signatures"}); }
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"

namespace SimTest {

class TSimulatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartSimulator(); }
  static void TearDownTestSuite() {
    delete Sim;
    Sim = nullptr;
  }
  static void StartSimulator(const std::vector<std::string>& Extra = {}) { Sim = new TSimulator("2025-03-15", Extra); }

  void SetUp() override {
    ASSERT_TRUE(*Sim) << Sim->Ready;
    Sim->Reset();
    Hosts = Talven::LoadHostsConfig(Sim->HostsFile);
    Talven::SetHostsConfig(Hosts);
  }
  void TearDown() override { Talven::SetHostsConfig(Talven::DefaultHostsConfig()); }

  static inline TSimulator* Sim = nullptr;
  Talven::THostsConfig Hosts;
};

}  // namespace SimTest
