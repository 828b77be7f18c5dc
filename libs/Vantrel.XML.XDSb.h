// OASIS ebRIM 3.0 pieces of the IHE XDS.b submissions and metadata updates
// (prefix "ns2:", bound by the caller), and the HL7 v2 data-type texts of the
// XDS metadata values (CX, XCN, XON, author specialty, source patient info).
//
// Escaping follows Vantrel.SOAP.h: plain text arguments are escaped here;
// ...Markup arguments are inserted as given. The HL7 v2 values are returned
// ready for XML: built from escaped parts, their '&' subcomponent separators
// written "&amp;", so that they go into RimSlot, RimExternalIdentifier or
// QuerySlot as they stand.
//
// The value builders that read the service model's records are templates so
// that this library needs no header of the services layer: they read the
// fields the records are declared with (Code, OID, Type, Nom, Prenom, ...).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"

namespace Vantrel {

// A coded value, its coding scheme and its display name (plain texts).
struct TOIDValue {
  std::string Code;
  std::string OID;
  std::string Name;
  // <code code="Code" codeSystem="OID" displayName="Name"/>
  std::string getTag() const;
};

// Rows 0 (normal, always sent) to 3; rows 1 to 3 follow the visibility bits
// 0 (hidden from professionals), 1 (from the patient), 2 (from the legal
// representatives).
const std::array<TOIDValue, 4>& ConfidentialityCodes();

// ---- Submission pieces ----

std::string RimSlot(std::string_view Name, std::string_view ValueMarkup);
// "" for a time below 1 (no date), else RimSlot of HL7TimeUTC of the local time.
std::string RimSlotTime(std::string_view Name, TDateTime Local);
std::string RimClassification(std::string_view ClassifiedObject,
                              std::string_view ClassificationScheme,
                              std::string_view NodeRepresentation, std::string_view DisplayName,
                              std::string_view CodingScheme);
std::string RimClassificationCode(std::string_view ClassifiedObject,
                                  std::string_view ClassificationScheme, const TOIDValue& Value);
// Row 0 to 3 of ConfidentialityCodes; std::out_of_range for another row.
std::string ConfidentialityClassification(std::string_view ClassifiedObject, int Row);
// Row 0, then rows 1, 2, 3 for the visibility bits 0, 1, 2 that are set.
std::string ConfidentialityClassifications(std::string_view ClassifiedObject,
                                           uint32_t VisibilityBits);
std::string RimExternalIdentifier(std::string_view RegistryObject, std::string_view Id,
                                  std::string_view IdentificationScheme, std::string_view Name,
                                  std::string_view ValueMarkup);
// With the slot SubmissionSetStatus "Original".
std::string RimAssociation(std::string_view Id, std::string_view SourceObject,
                           std::string_view TargetObject, std::string_view AssociationType);
std::string RimAssociation(std::string_view Id, std::string_view SourceObject,
                           std::string_view TargetObject, std::string_view AssociationType,
                           std::string_view SlotsMarkup);

// ---- HL7 v2 metadata values (ready for XML) ----

// Code^^^&OID&ISO^IdentifierType
std::string CXValue(std::string_view Code, std::string_view OID, std::string_view IdentifierType);
// Id^Family^Given^^^^^^&1.2.250.1.71.4.2.1&ISO^D^^^IDNPS
std::string XCNValue(std::string_view NationalId, std::string_view Family, std::string_view Given);
// Name^^^^^&1.2.250.1.71.4.2.2&ISO^IDNST^^^StructureId
std::string XONValue(std::string_view Name, std::string_view StructureId);
// Code^Name^OID
std::string CodedValue(std::string_view Code, std::string_view Name, std::string_view OID);
// "dd/mm/yyyy" -> "yyyymmdd": exactly 10 bytes with '/' at the third and
// sixth; otherwise "".
std::string FrenchDateToHL7(std::string_view Date);
// The ns2:Value elements of sourcePatientInfo: PID-5 (usage name and "D",
// or birth name and "L"), PID-7 when the birth date converts, PID-8 for 'F'
// or 'M'.
std::string SourcePatientInfoValues(std::string_view NomUsage, std::string_view NomNaissance,
                                    std::string_view Prenom, std::string_view DateNaissance,
                                    char Sexe);

// The INS when it has a code ("NH"), else the INS-C ("INS-" + its type letter).
template <class TPatientInfo>
std::string PatientIdCX(const TPatientInfo& Patient) {
  if (!Patient.INSi.Code.empty()) return CXValue(Patient.INSi.Code, Patient.INSi.OID, "NH");
  std::string Type = "INS-";
  if (Patient.INSC.Type) Type += Patient.INSC.Type;
  return CXValue(Patient.INSC.Code, Patient.INSC.OID, Type);
}

template <class TPorteur>
std::string AuthorPersonXCN(const TPorteur& Porteur) {
  return XCNValue(Porteur.IdNational, Porteur.Nom, Porteur.Prenom);
}

template <class TActivite>
std::string AuthorInstitutionXON(const TActivite& Activite) {
  return XONValue(Activite.RaisonSociale, Activite.IdNational);
}

// The card holder's Entite when it has a code, else for card type 2 its
// Profession, else "".
template <class TPorteur>
std::string AuthorSpecialtyValue(const TPorteur& Porteur) {
  if (!Porteur.Entite.Code.empty())
    return CodedValue(Porteur.Entite.Code, Porteur.Entite.Nom, Porteur.Entite.OID);
  if (Porteur.TypeCarte == 2)
    return CodedValue(Porteur.Profession.Code, Porteur.Profession.Nom, Porteur.Profession.OID);
  return {};
}

template <class TIdentite>
std::string SourcePatientInfoValues(const TIdentite& Identite) {
  return SourcePatientInfoValues(Identite.NomUsage, Identite.NomNaissance, Identite.Prenom,
                                 Identite.DateNaissance, Identite.Sexe);
}

}  // namespace Vantrel
