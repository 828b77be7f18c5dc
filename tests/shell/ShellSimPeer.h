// The common ground of the main-window peers that run the real client core
// against the national-service simulator: one simulator for the test
// program, a work folder holding the settings, database and XDG folders, a
// SoftHSM2 CPS card, the TLS engines, the core's hosts pointed at the
// simulator from Open() to Close(), and the card's session opened on a
// window. A test class derives from QObject first, then from this.
#pragma once

#include <QtTest>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Screens.h"
#include "CpsToken.h"
#include "DMP2Main.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

namespace ShellSim {

inline constexpr std::string_view InstanceOID = "2.25.329800735698586629295641978511506172918";

class TShellSimPeer {
 protected:
  // SimArgs go to the simulator after its standard ones ("--verify-signatures").
  explicit TShellSimPeer(const std::vector<std::string>& SimArgs = {}) : Sim("2025-03-15", SimArgs) {}

  // initTestCase's part; false, with Sim.Ready to tell why, when the
  // simulator did not start. Hook answers every message box.
  bool Open(Carvelin::TMessageBoxHook Hook) {
    if (!Sim) return false;
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    Vantrel::RegisterTinyTLSEngine();
    Vantrel::RegisterSChannelSocketMaker();
    Talven::SetHostsConfig(Talven::LoadHostsConfig(Sim.HostsFile));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Work.Path() / "config").string()));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((Work.Path() / "data").string()));
    Carvelin::SetMessageBoxHook(std::move(Hook));
    Token = std::make_unique<TestSupport::TCpsToken>();
    return true;
  }
  // Open, every message box's text and informative text recorded in Boxes
  // and the box answered with BoxAnswer.
  bool OpenRecordingBoxes() {
    return Open([this](QMessageBox& Box) {
      Boxes.push_back(Box.text() + Box.informativeText());
      return BoxAnswer;
    });
  }
  // cleanupTestCase's part.
  void Close() {
    Carvelin::SetMessageBoxHook(nullptr);
    Talven::SetHostsConfig(Talven::DefaultHostsConfig());
  }

  std::vector<QString> Boxes;
  int BoxAnswer = QMessageBox::Yes;  // every recorded box's answer

  // A window over the work folder's settings and database, with the real
  // core under the test instance.
  Carvelin::TDMPMainOptions MainOptions() const {
    Carvelin::TDMPMainOptions Options;
    Options.SettingsFile = (Work.Path() / "carvelin2.ini").string();
    Options.DatabaseFile = DatabaseFile();
    Options.CreateRoot = [] {
      auto Root = Talven::TCarvelin::Create();
      Root->SetInstanceOID(InstanceOID);
      return std::shared_ptr<Talven::ICarvelin>(Root);
    };
    return Options;
  }
  std::string DatabaseFile() const { return (Work.Path() / "carvelin2.db3").string(); }
  // The simulator's day, 09:15, as a window's clock.
  static Vantrel::TDateTime SimulatorMorning() {
    Vantrel::TDateTime D = 0;
    Vantrel::TryEncodeDateTime({2025, 3, 15, 9, 15, 0, 0}, D);
    return D;
  }

  // The card's session (PIN 1234, activities read) made the window's;
  // false when a step failed.
  static bool LogIn(Carvelin::TDMPMain& Main) {
    std::shared_ptr<Talven::IVaspoCPS> CPS;
    int Count = 0;
    if (Main.DMP->SetCryptoLib(TestSupport::TCpsToken::SoftHSM()) != Talven::ERR_OK ||
        Main.DMP->GetCPS(0, CPS) != Talven::ERR_OK || CPS->SetCode("1234") != Talven::ERR_OK ||
        CPS->GetActivites(Count) != Talven::ERR_OK)
      return false;
    Main.CPx = CPS;
    Main.CNX = CPS;
    return true;
  }

  // A shown window with the program's screens, the card's session made its
  // own; null when a step of the log-in failed.
  std::unique_ptr<Carvelin::TDMPMain> LoggedInMain() const {
    Carvelin::TDMPMainOptions Options = MainOptions();
    Options.Screens = Carvelin::TScreens::Program();
    auto Main = std::make_unique<Carvelin::TDMPMain>(std::move(Options));
    if (!LogIn(*Main)) return nullptr;
    Main->ibCPX->SetImageIndex(1);
    Main->show();
    return Main;
  }

  // Python assertions over the simulator's log entries after Since:
  // `entries` (every listener's), `requests` (the national services'),
  // `body(e)` a saved request's root, `slots(e)` a query's slots by name,
  // `find(root, name)` the first element of that local name and
  // `first(root, name)` its text; Args follow the state folder in sys.argv.
  void ExpectLog(size_t Since, std::string_view Assertions, std::vector<std::string> Args = {}) {
    std::string Input;
    for (const std::string& Line : Sim.Log(Since)) Input += Line + "\n";
    Args.insert(Args.begin(), std::filesystem::path(Sim.HostsFile).parent_path().string());
    const std::string Prelude = R"PY(
import json, os, sys, urllib.parse
import xml.etree.ElementTree as ET
entries = [json.loads(l) for l in sys.stdin if l.strip()]
requests = [e for e in entries if e.get('listener') == 'national']
def body(e): return ET.parse(os.path.join(sys.argv[1], e['request_file'])).getroot()
def slots(e): return {s.get('name'): [v.text for v in s.iter() if v.tag.endswith('}Value')] for s in body(e).iter() if s.tag.endswith('}Slot')}
def find(root, name): return next((n for n in root.iter() if n.tag.split('}')[-1] == name), None)
def first(root, name): return getattr(find(root, name), 'text', None)
)PY";
    const auto R = TestSupport::RunPython(Prelude + std::string(Assertions), Args, Input);
    QVERIFY2(R.Status == 0, (R.Out + R.Err).c_str());
  }

  SimTest::TSimulator Sim;
  TestSupport::TempDir Work;
  std::unique_ptr<TestSupport::TCpsToken> Token;
};

}  // namespace ShellSim
