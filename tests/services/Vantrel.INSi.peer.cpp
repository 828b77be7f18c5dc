// Requests checked by xmlsec1 (signature), xmllint (well-formedness) and
// Python's ElementTree (values carried unchanged); the name alphabet checked
// against Python's unicodedata decompositions.
#include "Vantrel.INSi.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "TestPKI.h"
#include "TestSupport.h"
#include "Vantrel.INSi.fake.h"

using namespace Vantrel;
using INSiTest::TFakeSession;

namespace {

const std::string HostileDN = "CN=Zo\xC3\xAB & <D'Art> \"1\" \xF0\x9F\x98\x80, O=A&B, C=FR";
const std::string HostileName = "D'ARTAGNAN & <FILS> \"Zo\xC3\xAB\" \xF0\x9F\x98\x80";
const std::string HostileGiven = "J\xC3\xA9r\xC3\xB4me&<>\"";

// A CPS-card session signing with the test PKI's software client certificate.
struct TSigned {
  TestSupport::TempDir Dir;
  TFakeSession Session;

  TSigned() {
    Session.Key = TestSupport::TSoftwareKey(TestSupport::PKIFile("client.key"));
    Session.Certificat = {HostileDN, TestSupport::CertificatesDER(TestSupport::PKIFile("client.pem"))[0], true};
    Session.Carte.Categorie = 0x80;
    Session.Porteur.IdNational = "810001234567";
    Session.Porteur.Specialite.Code = "SM<26>";
    Session.Activite.Entite.Code = "SA&<07>";
    Session.Activite.NumFacturation = "75&1234567";
  }

  // xmlsec1 with the test root trusted and the card authority at hand.
  TestSupport::RunResult Verify(const std::string& XML) const {
    TestSupport::WriteFile(Dir / "request.xml", XML);
    return TestSupport::Run({"xmlsec1", "--verify", "--id-attr:ID", "urn:oasis:names:tc:SAML:2.0:assertion:Assertion",
                             "--trusted-pem", TestSupport::PKIFile("root-ca.pem"), "--untrusted-pem",
                             TestSupport::PKIFile("ca-personnes.pem"), (Dir / "request.xml").string()});
  }
};

struct TKind {
  const char* Name;
  std::function<std::string(TINSiRequest&)> Build;
};

std::vector<TKind> Kinds() {
  return {
      {"rechercherInsAvecCarteVitale",
       [](TINSiRequest& R) {
         return R.rechercherInsAvecCarteVitale("12345678", {"1800575123456", "2800575123456", "07051980", 0, 1},
                                               HostileName);
       }},
      {"rechercherInsAvecTraitsIdentite",
       [](TINSiRequest& R) {
         return R.rechercherInsAvecTraitsIdentite(HostileName, HostileGiven, "M", "1980-05-07", "75&56");
       }},
      {"verifierInsAvecTraitsIdentite",
       [](TINSiRequest& R) {
         return R.verifierInsAvecTraitsIdentite("2800575123456 37", "1.2.250.1.213.1.4.8", HostileName,
                                                HostileGiven, "F", "1980-05-07", "75&56");
       }},
  };
}

}  // namespace

TEST(INSiPeer, xmlsec1_verifies_each_request_kind_and_rejects_tampering) {
  SKIP_UNLESS_TOOL("xmlsec1");
  TSigned S;
  for (const TKind& K : Kinds()) {
    SCOPED_TRACE(K.Name);
    TINSiRequest R;
    ASSERT_TRUE(R.SetCPS(&S.Session, u"{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3}"));
    const std::string XML = K.Build(R);
    ASSERT_FALSE(XML.empty()) << R.Error;
    const auto Good = S.Verify(XML);
    EXPECT_EQ(Good.Status, 0) << Good.Err;
    EXPECT_NE(Good.Err.find("OK"), std::string::npos) << Good.Err;

    // One byte changed in the signed assertion: the holder's identifier.
    std::string Tampered = XML;
    const size_t At = Tampered.find(">810001234567</NameID>");
    ASSERT_NE(At, std::string::npos);
    Tampered[At + 12] = '8';
    EXPECT_NE(S.Verify(Tampered).Status, 0);
    // The certificate's escaped name, in the signed Issuer.
    Tampered = XML;
    const size_t Amp = Tampered.find("O=A&amp;B");
    ASSERT_NE(Amp, std::string::npos);
    Tampered.replace(Amp, 9, "O=A&amp;C");
    EXPECT_NE(S.Verify(Tampered).Status, 0);
  }
}

// Each kind, signed and unsigned (mutual TLS), is well-formed and carries
// the hostile values exactly.
TEST(INSiPeer, hostile_values_give_well_formed_requests_carrying_them_unchanged) {
  SKIP_UNLESS_TOOL("xmllint");
  TSigned S;
  // First text of each named element (local names), from Python's parser.
  const char* Script = R"PY(
import sys, json, xml.etree.ElementTree as ET
root = ET.fromstring(sys.stdin.buffer.read())
found = {}
for e in root.iter():
    name = e.tag.split('}')[-1]
    if name in sys.argv[1:] and name not in found:
        found[name] = e.text or ''
sys.stdout.buffer.write(json.dumps([found.get(n) for n in sys.argv[1:]], ensure_ascii=False).encode() + b'\n')
)PY";
  for (bool IsCPS : {true, false}) {
    for (const TKind& K : Kinds()) {
      SCOPED_TRACE(std::string(K.Name) + (IsCPS ? " CPS" : " TLSM"));
      TINSiRequest R;
      ASSERT_TRUE(R.SetCPS(&S.Session, u"x"));
      R.Cert.IsCPS = IsCPS;
      const std::string XML = K.Build(R);
      TestSupport::WriteFile(S.Dir / "request.xml", XML);
      const auto Lint = TestSupport::Run({"xmllint", "--noout", (S.Dir / "request.xml").string()});
      EXPECT_EQ(Lint.Status, 0) << Lint.Err;

      const bool Vitale = std::string_view(K.Name) == "rechercherInsAvecCarteVitale";
      const auto Py = TestSupport::RunPython(
          Script, {"Issuer", "NomNaissance", "Prenom", "AttributeValue", "LieuNaissance"}, XML);
      ASSERT_EQ(Py.Status, 0) << Py.Err;
      const auto Str = [](const std::string& V) {
        std::string J = "\"";
        for (char C : V) J += C == '"' ? std::string("\\\"") : std::string(1, C);
        return J + "\"";
      };
      const std::string Issuer = IsCPS ? Str(HostileDN) : (Vitale ? Str("810001234567") : "null");
      const std::string Given = Vitale ? "null" : Str(HostileGiven);
      const std::string Place = Vitale ? "null" : Str("75&56");
      EXPECT_EQ(Py.Out, "[" + Issuer + ", " + Str(HostileName) + ", " + Given + ", " +
                            (IsCPS ? Str("SA&<07>") : "null") + ", " + Place + "]\n");
    }
  }
}

TEST(INSiPeer, name_alphabet_agrees_with_unicodedata_decompositions) {
  // Latin-1 letters fold to the base letter of their canonical decomposition;
  // the ligatures AE and OE are spelled out; every other character is dropped.
  const char* Script = R"PY(
import unicodedata
for cp in range(0x20, 0x180):
    if chr(cp) in " '-":
        continue
    out = ''
    if cp < 0x100:
        d = unicodedata.decomposition(chr(cp))
        base = chr(int(d.split()[0], 16)) if d and not d.startswith('<') else chr(cp)
        if base.isascii() and base.isalpha():
            out = base.upper()
        elif cp in (0xC6, 0xE6):
            out = 'AE'
    elif cp in (0x152, 0x153):
        out = 'OE'
    print('%x %s' % (cp, out))
)PY";
  const auto Py = TestSupport::RunPython(Script);
  ASSERT_EQ(Py.Status, 0) << Py.Err;
  std::istringstream Lines(Py.Out);
  std::string Line;
  int Count = 0;
  while (std::getline(Lines, Line)) {
    const size_t Space = Line.find(' ');
    ASSERT_NE(Space, std::string::npos);
    const char16_t C = char16_t(std::stoi(Line.substr(0, Space), nullptr, 16));
    EXPECT_EQ(NormalizeINSiName(std::u16string(1, C)), Line.substr(Space + 1)) << "U+" << Line.substr(0, Space);
    ++Count;
  }
  EXPECT_GT(Count, 300);
}
