// TCryptoLibV5 on SoftHSM2 cards, directly and through the test shim, checked
// against pkcs11-tool and openssl.
#include "Talven.eSante.CryptoLibV5.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "CpsToken.h"
#include "TestPKI.h"
#include "TestSupport.h"

using namespace Talven::eSante;
using TestSupport::TCpsToken;

namespace {

const char* const AuthLabel = "Certificat d'Authentification CPS";
const char* const SignLabel = "Certificat de Signature CPS";

// A card loaded through Module, its first card's session open.
struct TOpenCard {
  TCpsToken Token;
  TCryptoLibV5 Lib;
  explicit TOpenCard(const std::string& Module = TCpsToken::Shim()) {
    if (!Lib.Init(Module.c_str()) || Lib.CheckTokens() < 1 || !Lib.OpenSession(0))
      throw std::runtime_error("cannot open the test card: " + Lib.LastLoadError());
  }
  // The shim's log lines naming Function.
  int Calls(std::string_view Function) const {
    const std::string Log = Token.Log();
    int Count = 0;
    for (size_t At = Log.find(std::string(Function) + " "); At != std::string::npos;
         At = Log.find(std::string(Function) + " ", At + 1))
      Count += At == 0 || Log[At - 1] == '\n';
    return Count;
  }
};

std::string DER(const std::filesystem::path& Pem) { return TestSupport::CertificatesDER(Pem).at(0); }

}  // namespace

TEST(CryptoLibV5Peer, modules_that_cannot_be_used_leave_nothing_loaded) {
  TCpsToken Token;
  struct Case {
    std::string Module, Control, Reason;
  };
  const Case Cases[] = {
      {"/nonexistent/libmodule.so", "", "No such file"},
      {"libz.so.1", "", "has no C_GetFunctionList"},
      {TCpsToken::Shim(), "list_version=1.0", "unsupported PKCS#11 version 1.0"},
  };
  for (const Case& C : Cases) {
    Token.Control(C.Control);
    TCryptoLibV5 Lib;
    EXPECT_FALSE(Lib.Init(C.Module.c_str())) << C.Module;
    EXPECT_NE(Lib.LastLoadError().find(C.Reason), std::string::npos) << Lib.LastLoadError();
    EXPECT_FALSE(Lib.Loaded());
    EXPECT_EQ(Lib.FHandle, nullptr);
    EXPECT_EQ(Lib.api, nullptr);
    EXPECT_EQ(Lib.CheckTokens(), 0);  // tries the default module, absent here
  }
  // A module whose C_Initialize fails (SoftHSM without its configuration).
  setenv("SOFTHSM2_CONF", (Token.Dir() / "missing.conf").c_str(), 1);
  TCryptoLibV5 Lib;
  EXPECT_FALSE(Lib.Init(TCpsToken::SoftHSM().c_str()));
  EXPECT_EQ(Lib.LastLoadError(), "C_Initialize answered 0x5");
  EXPECT_FALSE(Lib.Loaded());
  EXPECT_EQ(Lib.FHandle, nullptr);
}

TEST(CryptoLibV5Peer, init_loads_once_and_takes_the_default_from_the_environment) {
  TCpsToken Token;
  setenv(ModuleVariable, TCpsToken::Shim().c_str(), 1);
  TCryptoLibV5 Lib;
  ASSERT_TRUE(Lib.Init(nullptr)) << Lib.LastLoadError();
  EXPECT_EQ(Lib.FLibrary, TCpsToken::Shim());
  const void* Handle = Lib.FHandle;
  EXPECT_TRUE(Lib.Init(""));
  EXPECT_TRUE(Lib.Init(TCpsToken::Shim().c_str()));
  EXPECT_EQ(Lib.FHandle, Handle);
  Lib.Unload();
  EXPECT_FALSE(Lib.Loaded());
  unsetenv(ModuleVariable);
  EXPECT_EQ(TCryptoLibV5::DefaultModule(), "libcps3_pkcs11.so");
  // One initialisation, one finalisation: the later Init calls did nothing.
  const std::string Log = Token.Log();
  EXPECT_EQ(Log, "C_Initialize - 0x0\nC_Finalize - 0x0\n");
}

TEST(CryptoLibV5Peer, a_module_already_initialised_counts_as_initialised) {
  TCpsToken Token;
  void* Handle = dlopen(TCpsToken::SoftHSM().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(Handle, nullptr);
  auto Get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(Handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR List = nullptr;
  ASSERT_EQ(Get(&List), CKR_OK);
  ASSERT_EQ(List->C_Initialize(nullptr), CKR_OK);
  {
    TCryptoLibV5 Lib;
    EXPECT_TRUE(Lib.Init(TCpsToken::SoftHSM().c_str()));
    EXPECT_EQ(Lib.FError, P11_ALREADY_INITIALIZED);
    EXPECT_EQ(Lib.CheckTokens(), 2);
  }
  EXPECT_EQ(List->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);  // the wrapper finalised it
  dlclose(Handle);
}

TEST(CryptoLibV5Peer, slots_and_cards) {
  struct Case {
    const char* Name;
    bool Shim;
    std::string Control;
    int Slots, Cards;
    CK_RV OpenSecond;  // FError after OpenSession(1)
  };
  // Bare SoftHSM lists its spare uninitialised token as a card; the shim
  // shows it as a reader without card.
  const Case Cases[] = {
      {"SoftHSM", false, "", 2, 2, CKR_TOKEN_NOT_RECOGNIZED},
      {"shim", true, "", 2, 1, CKR_OK},
      {"no reader", true, "slots=0", 0, 0, P11_SESSION_CLOSED},
      {"card pulled out", true, "cards=pharmacien-formation", 2, 0, P11_SESSION_CLOSED},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TCpsToken Token;
    Token.Control(C.Control);
    TCryptoLibV5 Lib;
    ASSERT_TRUE(Lib.Init((C.Shim ? TCpsToken::Shim() : TCpsToken::SoftHSM()).c_str()));
    EXPECT_EQ(Lib.CheckTokens(), C.Cards);
    EXPECT_EQ(Lib.FSlotCount, C.Slots);
    EXPECT_EQ(Lib.TokenCount(), C.Cards);
    EXPECT_FALSE(Lib.OpenSession(1));
    EXPECT_EQ(Lib.FError, C.OpenSecond);
    EXPECT_EQ(Lib.FSession, 0u);
    if (C.Cards == 0) continue;
    ASSERT_TRUE(Lib.OpenSession(0));
    EXPECT_EQ(Lib.FSlotId, Lib.FTokenList[0]);
    EXPECT_FALSE(Lib.OpenSession(0));
    EXPECT_EQ(Lib.FError, CKR_SESSION_EXISTS);
  }
}

TEST(CryptoLibV5Peer, two_cards_and_a_swap) {
  TCpsToken Token({"medecin-formation", "pharmacien-formation"});
  TCryptoLibV5 Lib;
  ASSERT_TRUE(Lib.Init(TCpsToken::Shim().c_str()));
  EXPECT_EQ(Lib.CheckTokens(), 2);
  EXPECT_EQ(Lib.FSlotCount, 3);
  Token.Control("cards=pharmacien-formation");
  ASSERT_EQ(Lib.CheckTokens(), 1);
  ASSERT_TRUE(Lib.OpenSession(0));
  TCertificat Cert;
  ASSERT_EQ(Lib.searchCertificat(AuthLabel, Cert), CKR_OK);
  EXPECT_EQ(Cert.DER, DER(Token.CardFile("pharmacien-formation", "auth.pem")));
}

TEST(CryptoLibV5Peer, pin_tries_and_login) {
  TOpenCard Card(TCpsToken::SoftHSM());
  TCryptoLibV5& Lib = Card.Lib;
  EXPECT_EQ(Lib.GetPinCount(), 3);
  EXPECT_FALSE(Lib.Login("9999"));
  EXPECT_EQ(Lib.FError, CKR_PIN_INCORRECT);
  EXPECT_EQ(Lib.GetPinCount(), 2);
  EXPECT_TRUE(Lib.Login("1234"));
  EXPECT_EQ(Lib.GetPinCount(), 3);
  EXPECT_TRUE(Lib.Login("1234"));
  EXPECT_EQ(Lib.FError, P11_ALREADY_LOGGED_IN);
  Lib.CloseSession();
  EXPECT_EQ(Lib.GetPinCount(), PIN_COUNT_NO_SESSION);
  EXPECT_FALSE(Lib.Login("1234"));
  EXPECT_EQ(Lib.FError, P11_SESSION_CLOSED);
}

TEST(CryptoLibV5Peer, pin_flags_and_login_results_through_the_shim) {
  TOpenCard Card;
  struct Case {
    std::string Control;
    int Tries;
  };
  for (const Case& C : {Case{"token_flags=0x10000", 2}, Case{"token_flags=0x20000", 1},
                        Case{"token_flags=0x40000", 0}, Case{"token_flags=0x70000", 0}}) {
    Card.Token.Control(C.Control);
    EXPECT_EQ(Card.Lib.GetPinCount(), C.Tries) << C.Control;
  }
  for (CK_RV Result : {P11_CARD_LOCKED, CK_RV(CKR_PIN_LOCKED), CK_RV(CKR_SESSION_CLOSED)}) {
    Card.Token.Control("login_rv=" + std::to_string(Result));
    EXPECT_FALSE(Card.Lib.Login("1234"));
    EXPECT_EQ(Card.Lib.FError, Result);
  }
  Card.Token.Control("reset=1");
  EXPECT_EQ(Card.Lib.GetPinCount(), PIN_COUNT_UNKNOWN);
}

TEST(CryptoLibV5Peer, pin_forms_reach_the_module_as_the_card_expects) {
  TOpenCard Card;
  struct Case {
    const char* Pin;
    CK_RV Result;
    const char* Logged;
  };
  // A null PIN is refused by SoftHSM as a bad argument; an empty one is a
  // wrong PIN of one byte; "é234" is four bytes in Windows-1252.
  const Case Cases[] = {{nullptr, CKR_ARGUMENTS_BAD, "pin_len=0 pin=null"},
                        {"", CKR_PIN_INCORRECT, "pin_len=1\n"},
                        {"\xC3\xA9" "234", CKR_PIN_INCORRECT, "pin_len=4\n"},
                        {"1234", CKR_OK, "pin_len=4\n"}};
  for (const Case& C : Cases) {
    Card.Token.ClearLog();
    EXPECT_EQ(Card.Lib.Login(C.Pin), C.Result == CKR_OK);
    EXPECT_EQ(Card.Lib.FError, C.Result);
    const std::string Log = Card.Token.Log();
    EXPECT_NE(Log.find(C.Logged), std::string::npos) << Log;
    EXPECT_EQ(Log.find("1234"), std::string::npos);
  }
}

TEST(CryptoLibV5Peer, certificates_agree_with_openssl) {
  TOpenCard Card;
  const std::pair<const char*, const char*> Certificates[] = {{AuthLabel, "auth.pem"}, {SignLabel, "sign.pem"}};
  for (size_t I = 0; I < std::size(Certificates); ++I) {
    TCertificat Cert;
    ASSERT_EQ(Card.Lib.searchCertificat(Certificates[I].first, Cert), CKR_OK);
    EXPECT_EQ(Cert.DER, DER(Card.Token.CardFile("medecin-formation", Certificates[I].second)));
    EXPECT_EQ(Cert.ID, std::string(1, char(I + 1)));
  }
  // Nothing found: no attribute is read, and the search is still finished.
  Card.Token.ClearLog();
  TCertificat Cert{"x", "y"};
  EXPECT_EQ(Card.Lib.searchCertificat("Certificat inconnu", Cert), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_TRUE(Cert.DER.empty());
  EXPECT_EQ(Card.Calls("C_FindObjectsFinal"), 1);
  EXPECT_EQ(Card.Calls("C_GetAttributeValue"), 0);
}

TEST(CryptoLibV5Peer, data_objects_agree_with_pkcs11_tool_public_and_private) {
  SKIP_UNLESS_TOOL("pkcs11-tool");
  TOpenCard Card(TCpsToken::SoftHSM());
  const std::pair<const char*, bool> Objects[] = {{"CPS_ID_CARD", false},       {"CPS_NAME_PS", false},
                                                  {"CPS_INFO_PS", false},       {"CPS_ACTIVITY_01_PS", true},
                                                  {"CPS_ACTIVITY_03_PS", true}, {"CPS_SIT_FACT", true}};
  for (bool LoggedIn : {false, true}) {
    if (LoggedIn) {
      ASSERT_TRUE(Card.Lib.Login("1234"));
    }
    for (const auto& [Name, Private] : Objects) {
      SCOPED_TRACE(Name);
      const std::string Value = Card.Lib.GetCPSData(Name, Private);
      if (Private && !LoggedIn) {
        EXPECT_EQ(Value, "");  // invisible before login
        continue;
      }
      EXPECT_EQ(Value, TestSupport::ReadFile(Card.Token.CardFile("medecin-formation", "objects/" + std::string(Name) + ".der")));
      std::vector<std::string> Argv = {"pkcs11-tool", "--module", TCpsToken::SoftHSM(), "--read-object",
                                       "--type",      "data",     "--label",            Name};
      if (Private) Argv.insert(Argv.end(), {"--login", "--pin", "1234"});
      auto R = TestSupport::Run(Argv);
      ASSERT_EQ(R.Status, 0) << R.Err;
      EXPECT_EQ(Value, R.Out);
      EXPECT_EQ(Card.Lib.GetCPSData(Name, !Private), "");  // the private flag is part of the search
    }
  }
  EXPECT_EQ(Card.Lib.GetCPSData("CPS_ACTIVITY_02_PS", true), "");
}

TEST(CryptoLibV5Peer, signatures_agree_with_pkcs11_tool_and_openssl) {
  SKIP_UNLESS_TOOL("pkcs11-tool");
  TOpenCard Card(TCpsToken::SoftHSM());
  ASSERT_TRUE(Card.Lib.Login("1234"));
  TCertificat Auth;
  ASSERT_EQ(Card.Lib.searchCertificat(AuthLabel, Auth), CKR_OK);
  // DigestInfo prefixes of RFC 8017 §9.2, note 1.
  struct Digest {
    const char* Name;
    const char* Prefix;
    size_t Length;
  };
  const Digest Digests[] = {{"sha1", "3021300906052b0e03021a05000414", 20},
                            {"sha256", "3031300d060960864801650304020105000420", 32},
                            {"sha384", "3041300d060960864801650304020205000430", 48}};
  const TestSupport::TempDir Work;
  for (const Digest& D : Digests) {
    SCOPED_TRACE(D.Name);
    const std::string Hash = TestSupport::RandomBytes(D.Length, D.Length);
    const std::string DigestInfo = TestSupport::FromHex(D.Prefix).value() + Hash;
    std::string Signature;
    ASSERT_EQ(Card.Lib.Sign(Auth, DigestInfo.data(), DigestInfo.size(), Signature), CKR_OK);
    EXPECT_EQ(Signature.size(), 256u);
    auto Tool = TestSupport::Run({"pkcs11-tool", "--module", TCpsToken::SoftHSM(), "--login", "--pin", "1234",
                                  "--sign", "-m", "RSA-PKCS", "--id", "01"},
                                 DigestInfo);
    ASSERT_EQ(Tool.Status, 0) << Tool.Err;
    EXPECT_EQ(Signature, Tool.Out);
    TestSupport::WriteFile(Work / "hash", Hash);
    TestSupport::WriteFile(Work / "signature", Signature);
    auto Verify = TestSupport::Run({"openssl", "pkeyutl", "-verify", "-certin", "-inkey",
                                    Card.Token.CardFile("medecin-formation", "auth.pem").string(), "-pkeyopt",
                                    std::string("digest:") + D.Name, "-in", (Work / "hash").string(), "-sigfile",
                                    (Work / "signature").string()});
    EXPECT_EQ(Verify.Status, 0) << Verify.Out << Verify.Err;
  }
}

TEST(CryptoLibV5Peer, signature_failures) {
  TOpenCard Card;
  TCertificat Sign;
  ASSERT_EQ(Card.Lib.searchCertificat(SignLabel, Sign), CKR_OK);
  const std::string Input = "\x30\x21" + std::string(33, 'x');
  std::string Signature = "x";
  // The private key is invisible before login.
  EXPECT_EQ(Card.Lib.Sign(Sign, Input.data(), Input.size(), Signature), CKR_OBJECT_HANDLE_INVALID);
  ASSERT_TRUE(Card.Lib.Login("1234"));
  // No key with that ID: no signature is started, the search is finished.
  Card.Token.ClearLog();
  EXPECT_EQ(Card.Lib.Sign({"", "\x09"}, Input.data(), Input.size(), Signature), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(Signature, "");
  EXPECT_EQ(Card.Calls("C_FindObjectsFinal"), 1);
  EXPECT_EQ(Card.Calls("C_SignInit"), 0);
  // The module's refusal is returned as it is, and only once.
  Card.Token.Control("sign_rv=0x150");
  EXPECT_EQ(Card.Lib.Sign(Sign, Input.data(), Input.size(), Signature), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(Signature, "");
  EXPECT_EQ(Card.Lib.Sign(Sign, Input.data(), Input.size(), Signature), CKR_OK);
  EXPECT_EQ(Signature.size(), 256u);
}

TEST(CryptoLibV5Peer, slot_events) {
  TOpenCard Card;
  struct Case {
    const char* Control;
    bool Close;
    CK_RV Result;
    bool SessionKept;
  };
  const Case Cases[] = {{"", true, CKR_OK, true},
                        {"event=other", true, CKR_OK, true},
                        {"event=session", false, P11_SESSION_CLOSED, true},
                        {"event=session", true, P11_SESSION_CLOSED, false}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Control);
    Card.Token.Control(C.Control);
    if (Card.Lib.FSession == 0) {
      ASSERT_TRUE(Card.Lib.OpenSession(0));
    }
    EXPECT_EQ(Card.Lib.CheckSession(C.Close), C.Result);
    EXPECT_EQ(Card.Lib.FSession != 0, C.SessionKept);
    // An event is reported once; a closed session has nothing to poll.
    EXPECT_EQ(Card.Lib.CheckSession(false), C.SessionKept ? CKR_OK : CKR_OBJECT_HANDLE_INVALID);
  }
}

TEST(CryptoLibV5Peer, a_module_that_loses_its_initialisation_is_reset) {
  TOpenCard Card;
  ASSERT_TRUE(Card.Lib.Login("1234"));
  Card.Token.Control("reset=1");
  EXPECT_EQ(Card.Lib.CheckSession(false), P11_NOT_INITIALIZED);
  EXPECT_EQ(Card.Lib.GetCPSData("CPS_ID_CARD", false), "");
  // What the card session does then: initialise again, list, open, log in.
  ASSERT_TRUE(Card.Lib.Reset());
  EXPECT_EQ(Card.Lib.FSession, 0u);
  ASSERT_EQ(Card.Lib.CheckTokens(), 1);
  ASSERT_TRUE(Card.Lib.OpenSession(0));
  EXPECT_TRUE(Card.Lib.Login("1234"));
  EXPECT_NE(Card.Lib.GetCPSData("CPS_SIT_FACT", true), "");
}

TEST(CryptoLibV5Peer, lengths_from_the_module_are_bounded) {
  TOpenCard Card;
  const std::string IdCard = TestSupport::ReadFile(Card.Token.CardFile("medecin-formation", "objects/CPS_ID_CARD.der"));
  const std::string Auth = DER(Card.Token.CardFile("medecin-formation", "auth.pem"));
  // Unavailable or oversized: a failure, nothing allocated for it.
  for (const char* Length : {"value_len=-1", "value_len=1048577", "value_len=0x7fffffffffffffff"}) {
    Card.Token.Control(Length);
    EXPECT_EQ(Card.Lib.GetCPSData("CPS_ID_CARD", false), "") << Length;
    TCertificat Cert;
    EXPECT_EQ(Card.Lib.searchCertificat(AuthLabel, Cert), CKR_GENERAL_ERROR) << Length;
    EXPECT_TRUE(Cert.DER.empty());
  }
  // A second read giving fewer bytes than announced keeps what it gave.
  Card.Token.Control("value_len=+16");
  EXPECT_EQ(Card.Lib.GetCPSData("CPS_ID_CARD", false), IdCard);
  TCertificat Cert;
  EXPECT_EQ(Card.Lib.searchCertificat(AuthLabel, Cert), CKR_OK);
  EXPECT_EQ(Cert.DER, Auth);
  // One giving more than announced is refused by the module, and that is raised.
  Card.Token.Control("value_len=5");
  try {
    Card.Lib.GetCPSData("CPS_ID_CARD", false);
    ADD_FAILURE() << "no exception";
  } catch (const ECryptoLibError& E) {
    EXPECT_EQ(E.Result(), CKR_BUFFER_TOO_SMALL);
  }
}

TEST(CryptoLibV5Peer, nothing_runs_without_a_module_or_a_session) {
  TCpsToken Token;
  TCryptoLibV5 Lib;
  EXPECT_FALSE(Lib.OpenSession(0));
  EXPECT_EQ(Lib.FError, P11_SESSION_CLOSED);
  EXPECT_EQ(Lib.TokenCount(), 0);
  EXPECT_EQ(Lib.GetPinCount(), PIN_COUNT_NO_SESSION);
  EXPECT_EQ(Lib.GetCPSData("CPS_ID_CARD", false), "");
  ASSERT_TRUE(Lib.Init(TCpsToken::Shim().c_str()));
  ASSERT_EQ(Lib.CheckTokens(), 1);
  EXPECT_EQ(Lib.GetCPSData("CPS_ID_CARD", false), "");
  EXPECT_EQ(Lib.FError, P11_SESSION_CLOSED);
  // A function list lost while loaded is our own fault, not the card's.
  CK_FUNCTION_LIST_PTR List = Lib.api;
  Lib.api = nullptr;
  EXPECT_THROW(Lib.CheckTokens(), std::logic_error);
  Lib.api = List;
  Lib.Unload();
  EXPECT_EQ(Lib.TokenCount(), 0);
  EXPECT_TRUE(Token.Log().ends_with("C_Finalize - 0x0\n")) << Token.Log();
}

TEST(CryptoLibV5Peer, cps_card_driver_agrees_with_the_card_files) {
  TCpsToken Token;
  const std::string Driver = TestSupport::ToolPath("cps-card");
  const std::string Module = TCpsToken::Shim();
  auto Slots = TestSupport::Run({Driver, "--module", Module, "slots"});
  EXPECT_EQ(Slots.Status, 0);
  EXPECT_TRUE(Slots.Out.starts_with("{\"slot_count\":2,\"tokens\":[")) << Slots.Out;
  auto Data = TestSupport::Run({Driver, "--module", Module, "--pin", "1234", "data", "CPS_SIT_FACT", "--private"});
  EXPECT_EQ(Data.Out, "{\"value\":\"" +
                          TestSupport::ToHex(TestSupport::ReadFile(
                              Token.CardFile("medecin-formation", "objects/CPS_SIT_FACT.der"))) +
                          "\"}\n");
  auto Cert = TestSupport::Run({Driver, "--module", Module, "certificate", SignLabel});
  EXPECT_EQ(Cert.Out, "{\"der\":\"" + TestSupport::ToHex(DER(Token.CardFile("medecin-formation", "sign.pem"))) +
                          "\",\"id\":\"02\"}\n");
  auto Refused = TestSupport::Run({Driver, "--module", Module, "--pin", "0000", "pin-count"});
  EXPECT_EQ(Refused.Status, 1);
  EXPECT_EQ(Refused.Out, "{\"error\":\"login\",\"result\":160}\n");
  auto Tries = TestSupport::Run({Driver, "--module", Module, "pin-count"});
  EXPECT_EQ(Tries.Out, "{\"pin_count\":2}\n");
}
