// The identity assertion in each of its shapes, validated against the SAML
// 2.0 assertion schema (opensaml-schemas, xmltooling-schemas) with xmllint and
// read back with Python's xml.etree.
#include "Talven.Carvelin.VIHF.h"

#include <sstream>

#include "TestSupport.h"
#include "Vantrel.HL7Query.h"
#include "Vantrel.SOAP.h"

using namespace Talven;
using TestSupport::ToHex;

namespace {

const std::string Hostile = "R&D <x> \"q\" 'a' éèçÀ 😀";
constexpr std::string_view SchemaFile = "/usr/share/xml/opensaml/saml-schema-assertion-2.0.xsd";

// A doctor's card with one activity, chosen.
TCPSInfo DoctorCard() {
  TCPSInfo I;
  I.Carte.Emetteur = "ASIP";
  I.Porteur.TypeCarte = 0;
  I.Porteur.Nom = "DUPONT";
  I.Porteur.Prenom = "Jean";
  I.Porteur.Profession = {"10", "Médecin", "1.2.250.1.71.1.2.7"};
  I.Activites[0].Numero = 1;
  I.Activites[0].Entite = {"SA07", "Cabinet", "1.2.250.1.71.4.2.4"};
  I.Activites[0].IdNational = "3810000000001";
  I.ActCount = 1;
  I.ActIndex = 0;
  I.CN = "810000000001/DUPONT Jean";
  I.DN = "CN=810000000001/DUPONT Jean,G=Jean,S=DUPONT,O=CABINET,C=FR";
  I.LPS_Nom = "CARVELIN";
  I.LPS_Version = "2.6";
  I.LPS_ID = "2024.09.05-08.01";
  I.LPS_ID_HOMOLOGATION_DMP = "R7QJWNZX-LBFTUVGE";
  return I;
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> L;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) L.push_back(Line);
  return L;
}

// Valid against the SAML 2.0 assertion schema, offline.
void ExpectSchemaValid(const std::string& Assertion) {
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "a.xml", Assertion);
  auto R = TestSupport::Run(
      {"env", "XML_CATALOG_FILES=" + TestSupport::Fixture("vihf/catalog.xml").string(), "xmllint",
       "--noout", "--nonet", "--schema", TestSupport::Fixture("vihf/vihf-assertion.xsd").string(),
       (Dir / "a.xml").string()});
  EXPECT_EQ(R.Status, 0) << R.Err << Assertion;
}

// The class reference, then one line per saml:Attribute in document order:
// its Name, then each value as its text or as "element:code".
std::vector<std::string> ReadAttributes(const std::string& Assertion) {
  auto R = TestSupport::RunPython(R"(
import sys, xml.etree.ElementTree as ET
S = '{urn:oasis:names:tc:SAML:2.0:assertion}'
root = ET.fromstring(sys.stdin.buffer.read())
print(root.find(f'{S}AuthnStatement/{S}AuthnContext/{S}AuthnContextClassRef').text)
for a in root.iter(f'{S}Attribute'):
    values = []
    for v in a.findall(f'{S}AttributeValue'):
        child = list(v)
        values.append(child[0].tag.split('}')[1] + ':' + child[0].get('code') if child else (v.text or ''))
    print('|'.join([a.get('Name')] + values))
)", {}, Assertion);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return Lines(R.Out);
}

}  // namespace

TEST(VIHF, each_variant_validates_and_keeps_the_attribute_order) {
  SKIP_UNLESS_TOOL("xmllint");
  ASSERT_TRUE(std::filesystem::exists(SchemaFile)) << "opensaml-schemas not installed";
  const std::string Role = "urn:oasis:names:tc:xacml:2.0:subject:role";
  const std::string Purpose = "urn:oasis:names:tc:xspa:1.0:subject:purposeofuse";
  const std::string Resource = "urn:oasis:names:tc:xacml:2.0:resource:resource-id";
  const std::string SubjectId = "urn:oasis:names:tc:xspa:1.0:subject:subject-id";
  const std::string Minor = "urn:oasis:names:tc:xspa:1.0:resource:patient:hl7:confidentiality-code";
  const std::string Smartcard = "urn:oasis:names:tc:SAML:2.0:ac:classes:SmartcardPKI";
  const std::string Password = "urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport";
  const std::string CX = "1234567890123^^^&amp;1.2.250.1.213.1.4.10&amp;ISO^NH";
  const std::string Software = "LPS_Version|2.6\nLPS_ID|2024.09.05-08.01\nLPS_Nom|CARVELIN\n"
                               "LPS_ID_HOMOLOGATION_DMP|R7QJWNZX-LBFTUVGE";

  struct Variant {
    std::string Name;
    std::function<void(TCPSInfo&)> Change;
    std::string ResourceId, Reason;
    uint8_t MinorMode;
    std::string Expected;  // class reference and attribute lines
  } Variants[] = {
      {"card, normal access, with specialty", [](TCPSInfo& I) {
         I.Porteur.Specialite = {"SM26", "Médecine générale", "1.2.250.1.71.4.2.5"};
       }, CX, "", 0,
       Smartcard + "\nVIHF_Version|3.0\nAuthentification_mode|DIRECTE\nSecteur_Activite|SA07^1.2.250.1.71.4.2.4\n" +
           Resource + "|1234567890123^^^&1.2.250.1.213.1.4.10&ISO^NH\nRessource_URN|urn:dmp\n"
           "Identifiant_Structure|3810000000001\n" + Software + "\n" + Purpose + "|PurposeOfUse:normal\n" +
           Role + "|Role:10|Role:SM26"},
      {"password session, no resource", [](TCPSInfo& I) {
         I.Carte.Emetteur.clear();
         I.Activites[0].Numero = 0;
       }, "", "", 0,
       Password + "\nVIHF_Version|3.0\nAuthentification_mode|INDIRECTE\n" + SubjectId +
           "|DUPONT Jean\nSecteur_Activite|SA07^1.2.250.1.71.4.2.4\nRessource_URN|urn:dmp\n"
           "Identifiant_Structure|3810000000001\n" + Software + "\n" + Purpose + "|PurposeOfUse:normal\n" +
           Role + "|Role:10"},
      {"issuer-less card whose first activity is numbered", [](TCPSInfo& I) {
         I.Carte.Emetteur.clear();
       }, "", "", 1,
       Smartcard + "\nVIHF_Version|3.0\nAuthentification_mode|DIRECTE\nSecteur_Activite|SA07^1.2.250.1.71.4.2.4\n"
           "Ressource_URN|urn:dmp\nIdentifiant_Structure|3810000000001\n" + Software + "\n" + Purpose +
           "|PurposeOfUse:normal\n" + Role + "|Role:10"},
      {"minor in secret mode, emergency access, pharmacist", [](TCPSInfo& I) {
         I.Porteur.Profession = {"21", "Pharmacien", "1.2.250.1.71.1.2.7"};
         I.Activites[1] = I.Activites[0];
         I.Activites[1].Pharmacien = {"G", "Section G", "1.2.250.1.213.1.1.4.9"};
         I.ActCount = 2;
         I.ActIndex = 1;
       }, CX, "urgence vitale", 2,
       Smartcard + "\nVIHF_Version|3.0\nAuthentification_mode|DIRECTE\n" + Minor +
           "|INVISIBLE_REPRESENTANTS_LEGAUX^1.2.250.1.213.1.1.4.13\nSecteur_Activite|SA07^1.2.250.1.71.4.2.4\n" +
           Resource + "|1234567890123^^^&1.2.250.1.213.1.4.10&ISO^NH\nRessource_URN|urn:dmp\n"
           "Identifiant_Structure|3810000000001\n" + Software + "\n" + Purpose +
           "|PurposeOfUse:bris_de_glace\nMode_Acces_Raison|urgence vitale\n" + Role + "|Role:21|Role:G"},
      {"other card type ignores specialty and pharmacist", [](TCPSInfo& I) {
         I.Porteur.TypeCarte = 3;
         I.Porteur.Specialite = {"SM26", "Médecine générale", "1.2.250.1.71.4.2.5"};
         I.Activites[0].Pharmacien = {"G", "Section G", "1.2.250.1.213.1.1.4.9"};
       }, "", "", 1,
       Smartcard + "\nVIHF_Version|3.0\nAuthentification_mode|DIRECTE\nSecteur_Activite|SA07^1.2.250.1.71.4.2.4\n"
           "Ressource_URN|urn:dmp\nIdentifiant_Structure|3810000000001\n" + Software + "\n" + Purpose +
           "|PurposeOfUse:normal\n" + Role + "|Role:10"},
  };
  for (const auto& V : Variants) {
    SCOPED_TRACE(V.Name);
    TCPSInfo Info = DoctorCard();
    V.Change(Info);
    const std::string A = BuildVIHF(Info, V.ResourceId, V.Reason, V.MinorMode, Vantrel::NowUTC());
    ExpectSchemaValid(A);
    EXPECT_EQ(ReadAttributes(A), Lines(V.Expected));
  }
}

TEST(VIHF, hostile_card_texts_read_back_unchanged) {
  SKIP_UNLESS_TOOL("xmllint");
  const std::string H = Hostile;
  TCPSInfo I = DoctorCard();
  I.Carte.Emetteur.clear();
  I.Activites[0].Numero = 0;
  I.Porteur.Nom = H + "nom";
  I.Porteur.Prenom = H + "prenom";
  I.Porteur.Profession = {H + "pc", H + "pn", H + "po"};
  I.Porteur.Specialite = {H + "sc", H + "sn", H + "so"};
  I.Activites[0].Entite.Code = H + "ent";
  I.Activites[0].IdNational = H + "struct";
  I.CN = H + "cn";
  I.DN = "CN=" + H + ",G=x";
  I.LPS_Nom = H + "lps";
  const std::string A =
      BuildVIHF(I, Vantrel::XMLEscape(H + "res"), H + "raison", 2, Vantrel::NowUTC());
  ExpectSchemaValid(A);
  const auto Got = ReadAttributes(A);
  auto Has = [&](const std::string& Line) {
    EXPECT_NE(std::find(Got.begin(), Got.end(), Line), Got.end()) << Line;
  };
  Has("urn:oasis:names:tc:xspa:1.0:subject:subject-id|" + H + "nom " + H + "prenom");
  Has("Secteur_Activite|" + H + "ent^1.2.250.1.71.4.2.4");
  Has("Identifiant_Structure|" + H + "struct");
  Has("urn:oasis:names:tc:xacml:2.0:resource:resource-id|" + H + "res");
  Has("LPS_Nom|" + H + "lps");
  Has("Mode_Acces_Raison|" + H + "raison");
  Has("urn:oasis:names:tc:xacml:2.0:subject:role|Role:" + H + "pc|Role:" + H + "sc");

  auto R = TestSupport::RunPython(R"(
import sys, xml.etree.ElementTree as ET
S = '{urn:oasis:names:tc:SAML:2.0:assertion}'
root = ET.fromstring(sys.stdin.buffer.read())
print(root.find(f'{S}Issuer').text)
print(root.find(f'{S}Subject/{S}NameID').text)
for r in root.iter('{urn:hl7-org:v3}Role'):
    print(r.get('codeSystem') + '|' + r.get('displayName'))
)", {}, A);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Lines(R.Out), (std::vector<std::string>{"CN=" + H + ", GN=x", H + "cn",
                                                    H + "po|" + H + "pn", H + "so|" + H + "sn"}));
}

TEST(VIHF, assertions_of_a_run_share_the_authentication_instant) {
  const std::string A = BuildVIHF(DoctorCard(), "", "", 0, Vantrel::NowUTC());
  const std::string B = BuildVIHF(DoctorCard(), "", "", 0, Vantrel::NowUTC());
  const std::string Instant = "AuthnInstant=\"" + Vantrel::AuthnInstant() + "\"";
  EXPECT_EQ(Vantrel::AuthnInstant().size(), 24u);
  EXPECT_NE(A.find(Instant), std::string::npos);
  EXPECT_NE(B.find(Instant), std::string::npos);
  auto IdOf = [](const std::string& S) { return S.substr(S.find(" ID=\"VIHF-") + 5, 41); };
  EXPECT_NE(IdOf(A), IdOf(B));

  Vantrel::TDateTime Issue = 0;
  ASSERT_TRUE(Vantrel::TryEncodeDateTime({2024, 1, 15, 10, 0, 0, 123}, Issue));
  EXPECT_NE(BuildVIHF(DoctorCard(), "", "", 0, Issue).find("IssueInstant=\"2024-01-15T10:00:00.123Z\""),
            std::string::npos);
}

TEST(VIHF, no_chosen_activity_is_an_error) {
  struct Case { int32_t Count, Index; } Cases[] = {{-1, 0}, {0, 0}, {2, 2}, {1, -1}, {40, 16}};
  for (auto C : Cases) {
    TCPSInfo I = DoctorCard();
    I.ActCount = C.Count;
    I.ActIndex = C.Index;
    EXPECT_THROW(BuildVIHF(I, "", "", 0, Vantrel::NowUTC()), EVIHFError) << C.Count << " " << C.Index;
  }
  TCPSInfo I = DoctorCard();
  I.ActCount = 40;  // more than the card holds: the 16 entries are still usable
  I.ActIndex = 15;
  EXPECT_NO_THROW(BuildVIHF(I, "", "", 0, Vantrel::NowUTC()));
}

TEST(VIHF, coded_values_and_issuer_names) {
  EXPECT_EQ(VIHFCodedValue("Role", "10", "1.2", "Médecin"),
            "<Role code=\"10\" codeSystem=\"1.2\" displayName=\"Médecin\" xsi:type=\"CE\" "
            "xmlns=\"urn:hl7-org:v3\"/>");
  EXPECT_EQ(VIHFCodedValue("P", "n", "1.2", "Accès", "mode"),
            "<P code=\"n\" codeSystem=\"1.2\" codeSystemName=\"mode\" displayName=\"Accès\" "
            "xsi:type=\"CE\" xmlns=\"urn:hl7-org:v3\"/>");
  EXPECT_EQ(VIHFAttribute2("n", "<a/>", "b"),
            "<saml:Attribute Name=\"n\"><saml:AttributeValue><a/></saml:AttributeValue>"
            "<saml:AttributeValue>b</saml:AttributeValue></saml:Attribute>");
  struct Case { std::string_view DN, Expected; } Cases[] = {
      {"CN=X,G=Jean,S=DUPONT", "CN=X, GN=Jean, ST=DUPONT"},
      {"OU=S,CS=1,ORG=2", "OU=S,C ST=1,OR GN=2"},
      {"g=x,s=y", "g=x,s=y"},
      {"", ""},
  };
  for (auto C : Cases) EXPECT_EQ(NormalizeDNText(C.DN), C.Expected);
}
