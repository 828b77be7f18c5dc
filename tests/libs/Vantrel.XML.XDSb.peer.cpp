// The ebRIM pieces and XDS metadata values: exact texts for the fixed
// shapes, and hostile values read back by xmllint and Python's xml.etree.
#include "Vantrel.XML.XDSb.h"

#include <cstdlib>
#include <ctime>
#include <optional>

#include "Talven.Carvelin.Types.h"
#include "TestSupport.h"
#include "Vantrel.SOAP.h"

using namespace Vantrel;
namespace TC = Talven;
using TestSupport::ToHex;

namespace {

const std::string Hostile = "R&D <x> \"q\" 'a' éèçÀ 😀";

struct TCheck {
  std::string Element, Attribute, Value;  // Attribute "#text" for the element's text
};

std::string Wrap(const std::string& Fragment) {
  return "<root xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\">" + Fragment + "</root>";
}

// Well-formed for xmllint, and every check holds for xml.etree.
void ExpectWellFormedWithValues(const std::string& Xml, const std::vector<TCheck>& Checks) {
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "doc.xml", Xml);
  auto Lint = TestSupport::Run({"xmllint", "--noout", "--nonet", (Dir / "doc.xml").string()});
  EXPECT_EQ(Lint.Status, 0) << Lint.Err;
  std::string Input = "DOC " + ToHex(Xml) + "\n";
  for (const auto& C : Checks)
    Input += "CHECK " + ToHex(C.Element) + " " + ToHex(C.Attribute) + " " + ToHex(C.Value) + "\n";
  auto Py = TestSupport::RunPython(
      TestSupport::ReadFile(TestSupport::Fixture("soap/check_values.py")), {}, Input);
  EXPECT_EQ(Py.Status, 0) << Py.Err;
  EXPECT_EQ(Py.Out, "");
}

TC::TPatientInfo Patient(std::string INSi, std::string INSC, char TypeC) {
  TC::TPatientInfo P;
  P.INSi = {INSi, 'T', "1.2.250.1.213.1.4.10"};
  P.INSC = {INSC, TypeC, "1.2.250.1.213.1.4.2"};
  return P;
}

}  // namespace

TEST(XDSb, coded_values_and_confidentiality_rows) {
  EXPECT_EQ((TOIDValue{"N", "2.16.840.1.113883.5.25", "Normal"}).getTag(),
            "<code code=\"N\" codeSystem=\"2.16.840.1.113883.5.25\" displayName=\"Normal\"/>");
  const auto& Rows = ConfidentialityCodes();
  EXPECT_EQ(Rows[1].Name, "Masqué aux professionnels de santé");
  EXPECT_EQ(Rows[3].Code, "INVISIBLE_REPRESENTANTS_LEGAUX");

  auto Codes = [](uint32_t Bits) {
    std::vector<std::string> Found;
    const std::string S = ConfidentialityClassifications("doc", Bits);
    for (size_t P = 0; (P = S.find("nodeRepresentation=\"", P)) != std::string::npos;) {
      P += 20;
      Found.push_back(S.substr(P, S.find('"', P) - P));
    }
    return Found;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(Codes(0), V{"N"});
  EXPECT_EQ(Codes(5), (V{"N", "MASQUE_PS", "INVISIBLE_REPRESENTANTS_LEGAUX"}));
  EXPECT_EQ(Codes(7), (V{"N", "MASQUE_PS", "INVISIBLE_PATIENT", "INVISIBLE_REPRESENTANTS_LEGAUX"}));
  EXPECT_EQ(Codes(8), V{"N"});
  EXPECT_THROW(ConfidentialityClassification("doc", 4), std::out_of_range);

  EXPECT_EQ(ConfidentialityClassification("doc", 0),
            "<ns2:Classification classificationScheme=\"urn:uuid:f4f85eac-e6cb-4883-b524-"
            "f2705394840f\" classifiedObject=\"doc\" nodeRepresentation=\"N\"><ns2:Slot "
            "name=\"codingScheme\"><ns2:ValueList><ns2:Value>2.16.840.1.113883.5.25</ns2:Value>"
            "</ns2:ValueList></ns2:Slot><ns2:Name><ns2:LocalizedString charset=\"UTF8\" "
            "value=\"Normal\" xml:lang=\"FR\"/></ns2:Name></ns2:Classification>");
}

TEST(XDSb, slots_identifiers_and_associations_have_their_attribute_order) {
  EXPECT_EQ(RimSlot("s", "a&amp;b"),
            "<ns2:Slot name=\"s\"><ns2:ValueList><ns2:Value>a&amp;b</ns2:Value></ns2:ValueList>"
            "</ns2:Slot>");
  EXPECT_EQ(RimSlotTime("creationTime", 0), "");
  EXPECT_EQ(RimSlotTime("creationTime", 0.999), "");
  EXPECT_EQ(RimExternalIdentifier("doc", "ei1", "urn:uuid:s", "XDSDocumentEntry.uniqueId", "1.2"),
            "<ns2:ExternalIdentifier registryObject=\"doc\" id=\"ei1\" identificationScheme="
            "\"urn:uuid:s\" value=\"1.2\"><ns2:Name><ns2:LocalizedString charset=\"UTF8\" "
            "value=\"XDSDocumentEntry.uniqueId\" xml:lang=\"FR\"/></ns2:Name>"
            "</ns2:ExternalIdentifier>");
  EXPECT_EQ(RimAssociation("a1", "ss", "doc", "urn:t"),
            "<ns2:Association associationType=\"urn:t\" id=\"a1\" objectType=\"urn:oasis:names:"
            "tc:ebxml-regrep:ObjectType:RegistryObject:Association\" sourceObject=\"ss\" "
            "targetObject=\"doc\"><ns2:Slot name=\"SubmissionSetStatus\"><ns2:ValueList>"
            "<ns2:Value>Original</ns2:Value></ns2:ValueList></ns2:Slot></ns2:Association>");
}

TEST(XDSb, slot_time_is_the_utc_text_of_a_local_time) {
  const char* Old = getenv("TZ");
  const std::optional<std::string> Saved = Old ? std::optional<std::string>(Old) : std::nullopt;
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  TDateTime Winter = 0, Summer = 0;
  ASSERT_TRUE(TryEncodeDateTime({2024, 1, 15, 11, 30, 0, 0}, Winter));
  ASSERT_TRUE(TryEncodeDateTime({2024, 7, 15, 11, 30, 0, 0}, Summer));
  EXPECT_EQ(RimSlotTime("t", Winter), RimSlot("t", "20240115103000"));
  EXPECT_EQ(RimSlotTime("t", Summer), RimSlot("t", "20240715093000"));
  if (Saved) setenv("TZ", Saved->c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(XDSb, hl7_v2_values_from_the_service_records) {
  EXPECT_EQ(PatientIdCX(Patient("1234567890123", "X", 'C')),
            "1234567890123^^^&amp;1.2.250.1.213.1.4.10&amp;ISO^NH");
  EXPECT_EQ(PatientIdCX(Patient("", "0987654321", 'C')),
            "0987654321^^^&amp;1.2.250.1.213.1.4.2&amp;ISO^INS-C");

  TC::TPorteur P;
  P.IdNational = "810000000001";
  P.Nom = "DUPONT";
  P.Prenom = "Jean";
  EXPECT_EQ(AuthorPersonXCN(P), "810000000001^DUPONT^Jean^^^^^^&amp;1.2.250.1.71.4.2.1&amp;ISO^D^^^IDNPS");
  EXPECT_EQ(AuthorSpecialtyValue(P), "");
  P.TypeCarte = 2;
  P.Profession = {"10", "Médecin", "1.2.250.1.71.1.2.7"};
  EXPECT_EQ(AuthorSpecialtyValue(P), "10^Médecin^1.2.250.1.71.1.2.7");
  P.Entite = {"SM26", "Qualifié en médecine générale", "1.2.250.1.71.4.2.5"};
  EXPECT_EQ(AuthorSpecialtyValue(P), "SM26^Qualifié en médecine générale^1.2.250.1.71.4.2.5");

  TC::TActivite A;
  A.RaisonSociale = "Cabinet";
  A.IdNational = "3";
  EXPECT_EQ(AuthorInstitutionXON(A), "Cabinet^^^^^&amp;1.2.250.1.71.4.2.2&amp;ISO^IDNST^^^3");

  struct Case { std::string_view Date, Expected; } Dates[] = {
      {"15/01/1980", "19800115"}, {"15-01-1980", ""}, {"5/01/1980", ""}, {"15/01/19800", ""}, {"", ""}};
  for (auto C : Dates) EXPECT_EQ(FrenchDateToHL7(C.Date), C.Expected) << C.Date;

  TC::TIdentite I;
  I.NomNaissance = "MARTIN";
  I.Prenom = "Léa";
  I.DateNaissance = "15-01-1980";
  I.Sexe = 'U';
  EXPECT_EQ(SourcePatientInfoValues(I), "<ns2:Value>PID-5|MARTIN^Léa^^^^^L</ns2:Value>");
  I.NomUsage = "DURAND";
  I.DateNaissance = "15/01/1980";
  I.Sexe = 'F';
  EXPECT_EQ(SourcePatientInfoValues(I),
            "<ns2:Value>PID-5|DURAND^Léa^^^^^D</ns2:Value><ns2:Value>PID-7|19800115</ns2:Value>"
            "<ns2:Value>PID-8|F</ns2:Value>");
}

TEST(XDSb, hostile_values_read_back_unchanged) {
  SKIP_UNLESS_TOOL("xmllint");
  const std::string H = Hostile;
  TC::TPorteur P;
  P.IdNational = H + "1";
  P.Nom = H + "2";
  P.Prenom = H + "3";
  P.Entite = {H + "4", H + "5", H + "6"};
  TC::TActivite A;
  A.RaisonSociale = H + "7";
  A.IdNational = H + "8";
  TC::TIdentite I;
  I.NomUsage = H + "9";
  I.Prenom = H + "10";
  I.DateNaissance = "<1/&2/\"345";
  I.Sexe = 'M';
  const TOIDValue Code{H + "c", H + "o", H + "n"};

  const std::string Xml = Wrap(
      Code.getTag() + RimSlot(H + "s1", PatientIdCX(Patient(H + "ins", "", 'C'))) +
      RimSlot("authorPerson", AuthorPersonXCN(P)) + RimSlot("authorInstitution", AuthorInstitutionXON(A)) +
      RimSlot("authorSpecialty", AuthorSpecialtyValue(P)) +
      RimSlot("sourcePatientInfo", SourcePatientInfoValues(I)) +
      RimClassification(H + "obj", H + "scheme", H + "node", H + "display", H + "coding") +
      RimClassificationCode("doc", "urn:uuid:x", Code) +
      RimExternalIdentifier(H + "ro", H + "id", H + "is", H + "name", XMLEscape(H + "value")) +
      RimAssociation(H + "a", H + "src", H + "tgt", H + "type"));

  ExpectWellFormedWithValues(
      Xml, {{"code", "code", H + "c"},
            {"code", "codeSystem", H + "o"},
            {"code", "displayName", H + "n"},
            {"Slot", "name", H + "s1"},
            {"Value", "#text", H + "ins^^^&1.2.250.1.213.1.4.10&ISO^NH"},
            {"Value", "#text", H + "1^" + H + "2^" + H + "3^^^^^^&1.2.250.1.71.4.2.1&ISO^D^^^IDNPS"},
            {"Value", "#text", H + "7^^^^^&1.2.250.1.71.4.2.2&ISO^IDNST^^^" + H + "8"},
            {"Value", "#text", H + "4^" + H + "5^" + H + "6"},
            {"Value", "#text", "PID-5|" + H + "9^" + H + "10^^^^^D"},
            {"Value", "#text", "PID-7|\"345&2<1"},
            {"Value", "#text", "PID-8|M"},
            {"Classification", "classifiedObject", H + "obj"},
            {"Classification", "classificationScheme", H + "scheme"},
            {"Classification", "nodeRepresentation", H + "node"},
            {"LocalizedString", "value", H + "display"},
            {"Value", "#text", H + "coding"},
            {"Classification", "nodeRepresentation", H + "c"},
            {"Value", "#text", H + "o"},
            {"LocalizedString", "value", H + "n"},
            {"ExternalIdentifier", "registryObject", H + "ro"},
            {"ExternalIdentifier", "id", H + "id"},
            {"ExternalIdentifier", "identificationScheme", H + "is"},
            {"ExternalIdentifier", "value", H + "value"},
            {"LocalizedString", "value", H + "name"},
            {"Association", "id", H + "a"},
            {"Association", "sourceObject", H + "src"},
            {"Association", "targetObject", H + "tgt"},
            {"Association", "associationType", H + "type"}});
}
