#include "CpsToken.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "TestPKI.h"

namespace TestSupport {

namespace {

// Keeps a variable's value so that it can be put back.
void Save(const char* Name, std::string& Old, bool& Had) {
  const char* Value = std::getenv(Name);
  Had = Value != nullptr;
  if (Had) Old = Value;
}

void Restore(const char* Name, const std::string& Old, bool Had) {
  if (Had) setenv(Name, Old.c_str(), 1);
  else unsetenv(Name);
}

}  // namespace

const std::filesystem::path& CPSTokensDir() {
  static const std::filesystem::path Dir = CARVELIN_CPS_TOKENS_DIR;
  static std::once_flag Made;
  std::call_once(Made, [] {
    if (std::filesystem::exists(Dir)) return;  // renamed into place whole
    auto R = Run({"bash", CARVELIN_CPS_TOKENS_SCRIPT, Dir.string(), PKIDir().string()});
    if (R.Status != 0) throw std::runtime_error("make-cps-tokens.sh failed: " + R.Err);
  });
  return Dir;
}

TCpsToken::TCpsToken(std::initializer_list<std::string_view> Profiles) {
  namespace fs = std::filesystem;
  for (std::string_view Profile : Profiles) {
    const fs::path Store = CPSTokensDir() / Profile;
    if (!fs::exists(Store / "cards")) throw std::runtime_error("no CPS test card " + std::string(Profile));
    fs::copy(Store / "tokens", Dir() / "tokens", fs::copy_options::recursive);
    fs::copy(Store / "cards", Dir() / "cards", fs::copy_options::recursive);
  }
  fs::create_directories(Dir() / "tokens");
  WriteFile(Dir() / "softhsm2.conf", "directories.tokendir = " + (Dir() / "tokens").string() +
                                         "\nobjectstore.backend = file\nlog.level = ERROR\n");
  Save("SOFTHSM2_CONF", FOldConf, FHadConf);
  Save("CARVELIN_SHIM_CONTROL", FOldControl, FHadControl);
  setenv("SOFTHSM2_CONF", (Dir() / "softhsm2.conf").c_str(), 1);
  setenv("CARVELIN_SHIM_CONTROL", (Dir() / "shim.control").c_str(), 1);
  Control("");
}

TCpsToken::~TCpsToken() {
  Restore("SOFTHSM2_CONF", FOldConf, FHadConf);
  Restore("CARVELIN_SHIM_CONTROL", FOldControl, FHadControl);
}

std::string TCpsToken::SoftHSM() { return "/usr/lib/softhsm/libsofthsm2.so"; }

std::string TCpsToken::Shim() { return ToolPath("libcarvelin-pkcs11-shim.so"); }

std::filesystem::path TCpsToken::CardFile(std::string_view Profile, std::string_view Name) const {
  return Dir() / "cards" / Profile / Name;
}

void TCpsToken::Control(std::string_view Lines) const {
  std::string Text = "log=" + (Dir() / "shim.log").string() + "\n" + std::string(Lines);
  if (!Text.ends_with('\n')) Text += '\n';
  WriteFile(Dir() / "shim.control", Text);
}

std::string TCpsToken::Log() const {
  return std::filesystem::exists(Dir() / "shim.log") ? ReadFile(Dir() / "shim.log") : std::string();
}

void TCpsToken::ClearLog() const { std::filesystem::remove(Dir() / "shim.log"); }

}  // namespace TestSupport
