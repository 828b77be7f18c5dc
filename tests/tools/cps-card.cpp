// cps-card [--module FILE] [--pin PIN] COMMAND
//   slots                     the slot count and the card-bearing slots
//   pin-count                 PIN tries left on the first card
//   certificate LABEL         a public certificate's DER and CKA_ID
//   data LABEL [--private]    a data object's value
//   sign ID                   the RSA PKCS #1 v1.5 signature of standard input
//                             with the key whose CKA_ID is ID (hexadecimal)
// Drives TCryptoLibV5 on the first card and prints one JSON object with
// bytes in lowercase hexadecimal, so scripts compare it with pkcs11-tool and
// openssl. The module defaults to TCryptoLibV5's default; with --pin the
// session logs in first. Exit status 1 when a step fails (the JSON says
// which), 2 for a usage error.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "Talven.eSante.CryptoLibV5.h"
#include "TestSupport.h"

using Talven::eSante::TCryptoLibV5;

namespace {

int Usage() {
  std::cerr << "usage: cps-card [--module FILE] [--pin PIN] slots | pin-count | certificate LABEL |"
               " data LABEL [--private] | sign ID\n";
  return 2;
}

std::string JSONString(std::string_view S) {
  std::string Out = "\"";
  for (unsigned char C : S) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += char(C);
    } else if (C < 0x20) {
      char Buf[8];
      std::snprintf(Buf, sizeof Buf, "\\u%04x", C);
      Out += Buf;
    } else {
      Out += char(C);
    }
  }
  return Out + "\"";
}

int Fail(std::string_view Step, unsigned long Result, std::string_view Detail = {}) {
  std::cout << "{\"error\":" << JSONString(Step) << ",\"result\":" << Result;
  if (!Detail.empty()) std::cout << ",\"detail\":" << JSONString(Detail);
  std::cout << "}\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string Module;
  std::optional<std::string> Pin;
  bool Private = false;
  std::vector<std::string> Words;
  for (int I = 1; I < argc; ++I) {
    std::string A = argv[I];
    if (A == "--module" && I + 1 < argc) {
      Module = argv[++I];
    } else if (A == "--pin" && I + 1 < argc) {
      Pin = argv[++I];
    } else if (A == "--private") {
      Private = true;
    } else if (A.starts_with("--")) {
      return Usage();
    } else {
      Words.push_back(A);
    }
  }
  if (Words.empty()) return Usage();
  const std::string& Command = Words[0];
  const bool HasArgument = Words.size() == 2;
  if (!(Words.size() == 1 && (Command == "slots" || Command == "pin-count")) &&
      !(HasArgument && (Command == "certificate" || Command == "data" || Command == "sign")))
    return Usage();

  try {
    TCryptoLibV5 Lib;
    if (!Lib.Init(Module.c_str())) return Fail("load", 0, Lib.LastLoadError());
    const int Cards = Lib.CheckTokens();
    if (Command == "slots") {
      std::cout << "{\"slot_count\":" << Lib.FSlotCount << ",\"tokens\":[";
      for (size_t I = 0; I < Lib.FTokenList.size(); ++I) std::cout << (I ? "," : "") << Lib.FTokenList[I];
      std::cout << "]}\n";
      return 0;
    }
    if (Cards == 0) return Fail("no card", 0);
    if (!Lib.OpenSession(0)) return Fail("open session", Lib.FError);
    if (Pin && !Lib.Login(Pin->c_str())) return Fail("login", Lib.FError);
    if (Command == "pin-count") {
      std::cout << "{\"pin_count\":" << Lib.GetPinCount() << "}\n";
    } else if (Command == "certificate") {
      Talven::eSante::TCertificat Cert;
      if (CK_RV Result = Lib.searchCertificat(Words[1], Cert)) return Fail("certificate", Result);
      std::cout << "{\"der\":\"" << TestSupport::ToHex(Cert.DER) << "\",\"id\":\"" << TestSupport::ToHex(Cert.ID)
                << "\"}\n";
    } else if (Command == "data") {
      const std::string Value = Lib.GetCPSData(Words[1], Private);
      if (Value.empty()) return Fail("data", Lib.FError);
      std::cout << "{\"value\":\"" << TestSupport::ToHex(Value) << "\"}\n";
    } else {
      const auto ID = TestSupport::FromHex(Words[1]);
      if (!ID) return Usage();
      const std::string Input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
      std::string Signature;
      if (CK_RV Result = Lib.Sign({{}, *ID}, Input.data(), Input.size(), Signature)) return Fail("sign", Result);
      std::cout << "{\"signature\":\"" << TestSupport::ToHex(Signature) << "\"}\n";
    }
  } catch (const std::exception& E) {
    return Fail("exception", 0, E.what());
  }
  return 0;
}
