#include "Vantrel.XML.XDSb.h"

#include <stdexcept>

#include "Vantrel.SOAP.h"

namespace Vantrel {

namespace {

// name="escaped value"
void AddAttr(std::string& S, std::string_view Name, std::string_view Value) {
  if (!S.empty()) S += ' ';
  S += Name;
  S += "=\"";
  S += XMLAttributeEscape(Value);
  S += '"';
}

constexpr std::string_view ConfidentialityScheme = "urn:uuid:f4f85eac-e6cb-4883-b524-f2705394840f";

}  // namespace

std::string TOIDValue::getTag() const {
  std::string A;
  AddAttr(A, "code", Code);
  AddAttr(A, "codeSystem", OID);
  AddAttr(A, "displayName", Name);
  return XMLElement("code", A, {});
}

const std::array<TOIDValue, 4>& ConfidentialityCodes() {
  static const std::array<TOIDValue, 4> Codes = {{
      {"N", "2.16.840.1.113883.5.25", "Normal"},
      {"MASQUE_PS", "1.2.250.1.213.1.1.4.13", "Masqué aux professionnels de santé"},
      {"INVISIBLE_PATIENT", "1.2.250.1.213.1.1.4.13", "Non visible par le patient"},
      {"INVISIBLE_REPRESENTANTS_LEGAUX", "1.2.250.1.213.1.1.4.13",
       "Non visible par les représentants légaux du patient"},
  }};
  return Codes;
}

std::string RimSlot(std::string_view Name, std::string_view ValueMarkup) {
  std::string A;
  AddAttr(A, "name", Name);
  return XMLElement("ns2:Slot", A,
                    XMLElement("ns2:ValueList", {}, XMLElement("ns2:Value", {}, ValueMarkup)));
}

std::string RimSlotTime(std::string_view Name, TDateTime Local) {
  if (Local < 1) return {};
  return RimSlot(Name, HL7TimeUTC(Local));
}

std::string RimClassification(std::string_view ClassifiedObject,
                              std::string_view ClassificationScheme,
                              std::string_view NodeRepresentation, std::string_view DisplayName,
                              std::string_view CodingScheme) {
  std::string A;
  AddAttr(A, "classificationScheme", ClassificationScheme);
  AddAttr(A, "classifiedObject", ClassifiedObject);
  AddAttr(A, "nodeRepresentation", NodeRepresentation);
  return XMLElement("ns2:Classification", A,
                    RimSlot("codingScheme", XMLEscape(CodingScheme)) +
                        LocalizedStringElement("ns2:Name", DisplayName));
}

std::string RimClassificationCode(std::string_view ClassifiedObject,
                                  std::string_view ClassificationScheme, const TOIDValue& Value) {
  return RimClassification(ClassifiedObject, ClassificationScheme, Value.Code, Value.Name,
                           Value.OID);
}

std::string ConfidentialityClassification(std::string_view ClassifiedObject, int Row) {
  if (Row < 0 || Row > 3) throw std::out_of_range("confidentiality row outside 0..3");
  return RimClassificationCode(ClassifiedObject, ConfidentialityScheme,
                               ConfidentialityCodes()[size_t(Row)]);
}

std::string ConfidentialityClassifications(std::string_view ClassifiedObject,
                                           uint32_t VisibilityBits) {
  std::string S = ConfidentialityClassification(ClassifiedObject, 0);
  for (int Bit = 0; Bit < 3; ++Bit)
    if (VisibilityBits & (1u << Bit)) S += ConfidentialityClassification(ClassifiedObject, Bit + 1);
  return S;
}

std::string RimExternalIdentifier(std::string_view RegistryObject, std::string_view Id,
                                  std::string_view IdentificationScheme, std::string_view Name,
                                  std::string_view ValueMarkup) {
  std::string A;
  AddAttr(A, "registryObject", RegistryObject);
  AddAttr(A, "id", Id);
  AddAttr(A, "identificationScheme", IdentificationScheme);
  A += " value=\"";
  A += ValueMarkup;
  A += '"';
  return XMLElement("ns2:ExternalIdentifier", A, LocalizedStringElement("ns2:Name", Name));
}

std::string RimAssociation(std::string_view Id, std::string_view SourceObject,
                           std::string_view TargetObject, std::string_view AssociationType) {
  return RimAssociation(Id, SourceObject, TargetObject, AssociationType,
                        RimSlot("SubmissionSetStatus", "Original"));
}

std::string RimAssociation(std::string_view Id, std::string_view SourceObject,
                           std::string_view TargetObject, std::string_view AssociationType,
                           std::string_view SlotsMarkup) {
  std::string A;
  AddAttr(A, "associationType", AssociationType);
  AddAttr(A, "id", Id);
  AddAttr(A, "objectType", "urn:oasis:names:tc:ebxml-regrep:ObjectType:RegistryObject:Association");
  AddAttr(A, "sourceObject", SourceObject);
  AddAttr(A, "targetObject", TargetObject);
  return XMLElement("ns2:Association", A, SlotsMarkup);
}

std::string CXValue(std::string_view Code, std::string_view OID, std::string_view IdentifierType) {
  return XMLEscape(Code) + "^^^&amp;" + XMLEscape(OID) + "&amp;ISO^" + XMLEscape(IdentifierType);
}

std::string XCNValue(std::string_view NationalId, std::string_view Family, std::string_view Given) {
  return XMLEscape(NationalId) + '^' + XMLEscape(Family) + '^' + XMLEscape(Given) +
         "^^^^^^&amp;1.2.250.1.71.4.2.1&amp;ISO^D^^^IDNPS";
}

std::string XONValue(std::string_view Name, std::string_view StructureId) {
  return XMLEscape(Name) + "^^^^^&amp;1.2.250.1.71.4.2.2&amp;ISO^IDNST^^^" +
         XMLEscape(StructureId);
}

std::string CodedValue(std::string_view Code, std::string_view Name, std::string_view OID) {
  return XMLEscape(Code) + '^' + XMLEscape(Name) + '^' + XMLEscape(OID);
}

std::string FrenchDateToHL7(std::string_view Date) {
  if (Date.size() != 10 || Date[2] != '/' || Date[5] != '/') return {};
  std::string S(Date.substr(6, 4));
  S += Date.substr(3, 2);
  S += Date.substr(0, 2);
  return S;
}

std::string SourcePatientInfoValues(std::string_view NomUsage, std::string_view NomNaissance,
                                    std::string_view Prenom, std::string_view DateNaissance,
                                    char Sexe) {
  auto Value = [](std::string Text) { return XMLElement("ns2:Value", {}, XMLEscape(std::move(Text))); };
  const bool Usage = !NomUsage.empty();
  std::string Name = "PID-5|";
  Name += Usage ? NomUsage : NomNaissance;
  Name += '^';
  Name += Prenom;
  Name += "^^^^^";
  Name += Usage ? 'D' : 'L';
  std::string S = Value(std::move(Name));
  if (std::string Birth = FrenchDateToHL7(DateNaissance); !Birth.empty())
    S += Value("PID-7|" + Birth);
  if (Sexe == 'F' || Sexe == 'M') S += Value(std::string("PID-8|") + Sexe);
  return S;
}

}  // namespace Vantrel
