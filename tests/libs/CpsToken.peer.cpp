// The CPS test cards (make-cps-token.sh, cps_card_objects.py) and the
// PKCS#11 shim, as pkcs11-tool and openssl see them.
#include "CpsToken.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "TestPKI.h"
#include "TestSupport.h"

using TestSupport::TCpsToken;

namespace {

const char* const Profiles[] = {"medecin-formation", "pharmacien-formation", "secretariat-formation",
                                "medecin-production"};

// openssl asn1parse's tag column for each line: "priv [ 3 ]", "cont [ 0 ]", "SEQUENCE"...
std::vector<std::string> Tags(const std::filesystem::path& Der) {
  auto R = TestSupport::Run({"openssl", "asn1parse", "-inform", "DER", "-in", Der.string()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Out;
  const std::regex Line(R"(d=(\d+) +hl=\d+ +l= *\d+ (?:prim|cons): +([A-Za-z]+(?: \[ \d+ \])?))");
  for (auto It = std::sregex_iterator(R.Out.begin(), R.Out.end(), Line); It != std::sregex_iterator(); ++It)
    Out.push_back((*It)[1].str() + " " + (*It)[2].str());
  return Out;
}

std::string Hex(const std::filesystem::path& File) { return TestSupport::ToHex(TestSupport::ReadFile(File)); }

}  // namespace

TEST(CpsTokenPeer, pkcs11_tool_sees_the_shape_of_a_card) {
  SKIP_UNLESS_TOOL("pkcs11-tool");
  TCpsToken Token;
  auto R = TestSupport::Run({"pkcs11-tool", "--module", TCpsToken::SoftHSM(), "--login", "--pin", "1234",
                             "--list-objects"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  // Each object as "kind|label|ID or flags", in a set: the module's order is its own.
  std::set<std::string> Seen;
  std::istringstream Lines(R.Out);
  std::string Line, Kind, Label;
  auto Value = [&](std::string_view Key) {
    std::string V = Line.substr(Line.find(Key) + Key.size());
    V.erase(0, V.find_first_not_of(' '));
    if (V.size() >= 2 && V.front() == '\'' && V.back() == '\'') V = V.substr(1, V.size() - 2);
    return V;
  };
  while (std::getline(Lines, Line)) {
    if (!Line.empty() && Line[0] != ' ') {  // "Certificate Object; ...", "Data object 7"
      Kind = Line.substr(0, std::min(Line.find(" Object"), Line.find(" object")));
      Label.clear();
    } else if (Line.find(" label:") != std::string::npos) {
      Label = Value("label:");
    } else if (Line.find(" ID:") != std::string::npos) {
      Seen.insert(Kind + "|" + Label + "|" + Value("ID:"));
    } else if (Line.find(" flags:") != std::string::npos) {
      Seen.insert(Kind + "|" + Label + "|" + Value("flags:"));
    }
  }
  const std::set<std::string> Expected = {
      "Certificate|Certificat d'Authentification CPS|01", "Certificate|Certificat de Signature CPS|02",
      "Private Key|Certificat d'Authentification CPS|01", "Private Key|Certificat de Signature CPS|02",
      "Public Key|Certificat d'Authentification CPS|01",  "Public Key|Certificat de Signature CPS|02",
      "Data|CPS_ID_CARD|modifiable",                       "Data|CPS_NAME_PS|modifiable",
      "Data|CPS_INFO_PS|modifiable",                       "Data|CPS_ACTIVITY_01_PS|modifiable private",
      "Data|CPS_ACTIVITY_03_PS|modifiable private",        "Data|CPS_SIT_FACT|modifiable private"};
  EXPECT_EQ(Seen, Expected) << R.Out;
}

TEST(CpsTokenPeer, data_objects_have_the_card_layouts) {
  SKIP_UNLESS_TOOL("openssl");
  TCpsToken Token;
  auto Object = [&](const char* Name) {
    return Token.CardFile("medecin-formation", std::string("objects/") + Name + ".der");
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(Tags(Object("CPS_ID_CARD")), (V{"0 priv [ 3 ]", "1 cont [ 0 ]", "1 cont [ 1 ]", "1 cont [ 2 ]",
                                            "1 cont [ 3 ]", "1 cont [ 4 ]"}));
  // The unknown field 0x82 sits between the known ones.
  EXPECT_EQ(Tags(Object("CPS_NAME_PS")), (V{"0 priv [ 4 ]", "1 cont [ 0 ]", "1 cont [ 1 ]", "1 cont [ 2 ]",
                                            "1 cont [ 4 ]"}));
  EXPECT_EQ(Tags(Object("CPS_INFO_PS")), (V{"0 priv [ 13 ]", "1 cont [ 0 ]", "1 cont [ 1 ]", "1 cont [ 2 ]",
                                            "1 cont [ 4 ]", "1 cont [ 5 ]"}));
  EXPECT_EQ(Tags(Object("CPS_ACTIVITY_01_PS")), (V{"0 priv [ 14 ]", "1 cont [ 1 ]", "1 cont [ 3 ]",
                                                   "1 cont [ 4 ]", "1 cont [ 5 ]", "1 cont [ 6 ]"}));
  EXPECT_FALSE(std::filesystem::exists(Object("CPS_ACTIVITY_02_PS")));
  EXPECT_EQ(Tags(Object("CPS_SIT_FACT")),
            (V{"0 priv [ 0 ]", "1 SEQUENCE", "2 cont [ 0 ]", "2 cont [ 1 ]", "2 cont [ 2 ]", "2 cont [ 3 ]",
               "2 cont [ 4 ]", "1 SEQUENCE", "2 cont [ 0 ]", "2 cont [ 1 ]", "2 cont [ 2 ]"}));

  // Values: BCD with a final F for an odd count, bytes, Windows-1252 texts.
  const std::string IdCard = Hex(Object("CPS_ID_CARD"));
  EXPECT_TRUE(IdCard.starts_with("e31b" "800380250f" "81052800012345" "820180")) << IdCard;
  EXPECT_NE(Hex(Object("CPS_NAME_PS")).find("8406" "4ae972f46d65"), std::string::npos);  // "Jérôme"
  EXPECT_NE(Hex(Object("CPS_INFO_PS")).find("82010a"), std::string::npos);  // profession 10
  EXPECT_NE(Hex(Object("CPS_ACTIVITY_01_PS")).find(TestSupport::ToHex(" & Fils <Centre> l'\xC9toile")),
            std::string::npos);
  const std::string Billing = Hex(Object("CPS_SIT_FACT"));
  EXPECT_NE(Billing.find("80011f" "81052123456789"), std::string::npos) << Billing;
  EXPECT_NE(Billing.find("80013f" "8105123456789f"), std::string::npos) << Billing;
}

TEST(CpsTokenPeer, card_certificates_chain_to_the_test_pki_with_their_subjects) {
  SKIP_UNLESS_TOOL("openssl");
  TCpsToken Token({"medecin-formation", "pharmacien-formation", "secretariat-formation", "medecin-production"});
  const std::string Trust = TestSupport::PKIFile("trust.pem");
  for (const char* Profile : Profiles) {
    for (const char* Cert : {"auth.pem", "sign.pem"}) {
      auto R = TestSupport::Run({"openssl", "verify", "-CAfile", Trust, Token.CardFile(Profile, Cert).string()});
      EXPECT_EQ(R.Status, 0) << Profile << " " << Cert << R.Out << R.Err;
    }
  }
  for (const char* Other : {"server.pem", "client.pem"})
    EXPECT_EQ(TestSupport::Run({"openssl", "verify", "-CAfile", Trust, TestSupport::PKIFile(Other)}).Status, 0);
  EXPECT_NE(TestSupport::Run({"openssl", "verify", "-CAfile", Trust, TestSupport::PKIFile("rogue-client.pem")}).Status, 0);

  // Key purposes, and the string types of each profile's subject.
  auto Text = [&](const char* Profile, const char* Cert) {
    return TestSupport::Run({"openssl", "x509", "-noout", "-text", "-in", Token.CardFile(Profile, Cert).string()}).Out;
  };
  EXPECT_NE(Text("medecin-formation", "auth.pem").find("TLS Web Client Authentication"), std::string::npos);
  EXPECT_NE(Text("medecin-formation", "sign.pem").find("Non Repudiation"), std::string::npos);
  auto Strings = [&](const char* Profile) {
    auto R = TestSupport::Run({"openssl", "asn1parse", "-in", Token.CardFile(Profile, "auth.pem").string()});
    std::string Subject = R.Out.substr(R.Out.rfind("Carvelin Test CA Personnes"));  // after the issuer
    return Subject.substr(0, Subject.find("rsaEncryption"));
  };
  const std::string Medecin = Strings("medecin-formation"), Pharmacien = Strings("pharmacien-formation"),
                    Secretariat = Strings("secretariat-formation");
  EXPECT_NE(Medecin.find("UTF8STRING        :J\xC3\xA9r\xC3\xB4me"), std::string::npos) << Medecin;
  // Only the country, which X.520 fixes as a PrintableString.
  EXPECT_EQ(Medecin.find("PRINTABLESTRING"), Medecin.find("PRINTABLESTRING   :FR"));
  EXPECT_EQ(Medecin.find("PRINTABLESTRING"), Medecin.rfind("PRINTABLESTRING"));
  EXPECT_NE(Pharmacien.find("PRINTABLESTRING   :MARTIN"), std::string::npos) << Pharmacien;
  EXPECT_NE(Pharmacien.find("T61STRING         :Pharmacie de l'\xC9glise"), std::string::npos) << Pharmacien;
  EXPECT_EQ(Secretariat.find(":surname"), std::string::npos);
  EXPECT_EQ(Secretariat.find(":givenName"), std::string::npos);
  EXPECT_NE(Secretariat.find(":Carte de service sant\xC3\xA9 ou social"), std::string::npos) << Secretariat;
}

TEST(CpsTokenPeer, validity_follows_today_or_the_profile) {
  const TestSupport::TempDir Work;
  struct Case {
    const char* Validity;
    const char* Start;
    const char* End;
    const char* CertificateEnd;
  };
  // TODAY is 2030-03-15; a malformed end is written as it is on the card,
  // while the certificates keep the default end.
  const Case Cases[] = {{"", "20290315", "20320315", "20320315235959Z"},
                        {R"(, "validity": {"end": "today"})", "20290315", "20300315", "20300315235959Z"},
                        {R"(, "validity": {"end": "yesterday"})", "20290315", "20300314", "20300314235959Z"},
                        {R"(, "validity": {"start": "20300101", "end": "20301399"})", "20300101", "20301399",
                         "20320315235959Z"}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Validity);
    TestSupport::WriteFile(Work / "card.json", std::string(R"({"subject": [["CN", "X"]], "card": {"category": 128},
      "holder": {}, "info": {})") + C.Validity + "}");
    auto R = TestSupport::Run({TestSupport::Python, std::string(CARVELIN_SOURCE_DIR) + "/tests/tools/cps_card_objects.py",
                               (Work / "card.json").string(), (Work / "out").string(), "2030-03-15"});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(Hex(Work / "out/objects/CPS_ID_CARD.der"),
              std::string("e30f820180") + "8304" + C.Start + "8404" + C.End);
    EXPECT_NE(TestSupport::ReadFile(Work / "out/settings.sh").find(std::string("cert_end=") + C.CertificateEnd),
              std::string::npos);
  }
}

TEST(CpsTokenPeer, pkcs11_tool_loads_the_shim) {
  SKIP_UNLESS_TOOL("pkcs11-tool");
  TCpsToken Token;
  Token.Control("token_flags=0x20000");
  auto R = TestSupport::Run({"pkcs11-tool", "--module", TCpsToken::Shim(), "--list-slots"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("token label        : medecin-formation"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("final user PIN try"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("(empty)"), std::string::npos) << R.Out;  // the spare slot holds no card
  EXPECT_NE(Token.Log().find("C_GetSlotList all 0x0"), std::string::npos);
}
