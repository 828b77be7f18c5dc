// CPS test cards on SoftHSM2. The profiles of tests/fixtures/cps/ are made
// into token stores once per build folder (tests/tools/make-cps-tokens.sh,
// CTest fixture "cps": a test program that includes this header requires
// it); a TCpsToken copies the chosen cards into one store of its own
// TempDir and points the environment at it, so a test may change its
// cards freely. SoftHSM reads SOFTHSM2_CONF at C_Initialize: create the
// TCpsToken before loading the module, and unload and init the module again
// to see another one.
//
// The environment it sets, and restores when it goes:
//   SOFTHSM2_CONF          the store
//   CARVELIN_SHIM_CONTROL  the shim's control file (Control()), which always
//                          names the shim's log (Log())
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "TestSupport.h"

namespace TestSupport {

// The stores of every profile, made when missing; throws when the script fails.
const std::filesystem::path& CPSTokensDir();

class TCpsToken {
 public:
  explicit TCpsToken(std::initializer_list<std::string_view> Profiles = {"medecin-formation"});
  ~TCpsToken();
  TCpsToken(const TCpsToken&) = delete;
  TCpsToken& operator=(const TCpsToken&) = delete;

  // SoftHSM's module, and the shim in front of it (built beside the drivers).
  static std::string SoftHSM();
  static std::string Shim();

  const std::filesystem::path& Dir() const { return FDir.Path(); }
  // A file of what went on a card: "auth.pem", "sign.pem", "objects/CPS_ID_CARD.der".
  std::filesystem::path CardFile(std::string_view Profile, std::string_view Name) const;

  // Replaces the shim's control lines ("cards=medecin-formation\ntoken_flags=0x20000").
  void Control(std::string_view Lines) const;
  std::string Log() const;
  void ClearLog() const;

 private:
  TempDir FDir;
  std::string FOldConf, FOldControl;
  bool FHadConf = false, FHadControl = false;
};

}  // namespace TestSupport
