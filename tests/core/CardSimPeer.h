// A test fixture for the client core with a SoftHSM2 CPS card logged in
// (PIN 1234, activities read) against the national-service simulator (the
// suite's, SimulatorTest.h); a new card, root and session per test. The
// request log is read from the mark `Since`.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "CpsToken.h"
#include "SimulatorTest.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"

namespace CardSim {

using namespace Talven;
using TestSupport::TCpsToken;

inline constexpr std::string_view InstanceOID = "2.25.329800735698586629295641978511506172918";

class TCardSimPeer : public SimTest::TSimulatorTest {
 protected:
  void SetUp() override {
    SimTest::TSimulatorTest::SetUp();
    if (HasFatalFailure()) return;
    Token = std::make_unique<TCpsToken>();
    Root = TCarvelin::Create();
    Root->SetInstanceOID(InstanceOID);
    ASSERT_EQ(Root->SetCryptoLib(TCpsToken::SoftHSM()), ERR_OK) << Root->GetErrDetail();
    LogIn();
  }
  void TearDown() override {
    CPS.reset();
    Root.reset();
    Token.reset();
    SimTest::TSimulatorTest::TearDown();
  }

  void LogIn() {
    ASSERT_EQ(Root->GetCPS(0, CPS), ERR_OK) << Root->GetErrDetail();
    ASSERT_EQ(CPS->SetCode("1234"), ERR_OK) << Root->GetErrDetail();
    int Count = 0;
    ASSERT_EQ(CPS->GetActivites(Count), ERR_OK);
    Since = Sim->LogSize();
  }

  std::shared_ptr<TDossierMedical> Open(std::string_view INS) {
    std::shared_ptr<IDossierMedical> Dossier;
    EXPECT_EQ(CPS->DossierExiste(INS, 'T', Dossier), ERR_OK) << Root->GetErrDetail();
    Since = Sim->LogSize();
    return std::dynamic_pointer_cast<TDossierMedical>(Dossier);
  }

  // "service/operation" of each request to the record services since the mark.
  std::vector<std::string> Operations() const {
    std::vector<std::string> Found;
    static const std::regex Service(R"re("service": "([^"]*)")re"), Operation(R"re("operation": "([^"]*)")re");
    for (const std::string& E : Sim->Log(Since)) {
      std::smatch S, O;
      if (E.find(R"("listener": "national")") != std::string::npos && std::regex_search(E, S, Service) &&
          std::regex_search(E, O, Operation))
        Found.push_back(S[1].str() + "/" + O[1].str());
    }
    return Found;
  }
  // Python assertions over the record-service requests since the mark
  // (json), with their bodies parsed by xml.etree: `requests`, `texts(e, name)`.
  void ExpectLog(std::string_view Assertions, const std::vector<std::string>& Args = {}) const {
    std::string Input;
    for (const std::string& Line : Sim->Log(Since)) Input += Line + "\n";
    const std::string Prelude = R"PY(
import json, os, sys
import xml.etree.ElementTree as ET
requests = [e for e in map(json.loads, filter(str.strip, sys.stdin)) if e.get('listener') == 'national']
state = sys.argv[1]
args = sys.argv[2:]
def body(e): return ET.parse(os.path.join(state, e['request_file'])).getroot()
def texts(e, name): return [n.text or '' for n in body(e).iter() if n.tag.rsplit('}', 1)[-1] == name]
)PY";
    std::vector<std::string> Argv = {std::filesystem::path(Sim->HostsFile).parent_path().string()};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    auto R = TestSupport::RunPython(Prelude + std::string(Assertions), Argv, Input);
    EXPECT_EQ(R.Status, 0) << R.Err;
  }

  size_t Since = 0;
  std::unique_ptr<TCpsToken> Token;
  std::shared_ptr<TCarvelin> Root;
  std::shared_ptr<IVaspoCPS> CPS;
};

}  // namespace CardSim
