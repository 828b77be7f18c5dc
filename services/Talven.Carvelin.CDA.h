// The HL7 CDA R2 documents that the program files in the shared record: a
// file wrapped in an unstructured body (IHE XDS-SD), the medical summary and
// the vaccination note (structured bodies), all with the header of the
// French CDA profile (patient, author, custodian, legal authenticator,
// treating doctor, service event, replaced document, encounter).
//
// These builders read the service model's records (patient, card holder,
// activity, treating doctor, vaccination note), hence their place in this
// layer; the record-free pieces (attribute texts, time elements, Base64
// body, the summary's sections) live in Vantrel.XML.XDSb.CDA and
// Vantrel.XML.XDSb.Synthese.
//
// Escaping: every text of the records (names, structure name, identifiers,
// codes, the title, the note's comment, vaccinator and batch number) is
// plain text escaped where it is inserted; parameters named ...Markup are
// inserted as given. Empty codes and identifiers are left out rather than
// written empty, and a missing time is written nullFlavor="UNK".
//
// A missing record (patient, card holder or activity) raises ECDAError; so
// does a vaccination note whose date cannot be read. Documents are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.XML.XDSb.h"

namespace Talven {

using Vantrel::TDateTime;
using Vantrel::TOIDValue;

// A document cannot be built from the information given (French message).
class ECDAError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a document is built from, filled by the filing code. The pointed-to
// records belong to the caller and must outlive the calls.
struct TCDAInfo {
  TOIDValue DocType;  // type code (LOINC or the service's), code system, name
  TOIDValue Classe;   // class code (XDS metadata only)
  std::string DocTitle;
  const TPatientInfo* Patient = nullptr;
  const TPorteur* Porteur = nullptr;    // the card holder, author of the document
  const TActivite* Activite = nullptr;  // the holder's chosen activity
  TOIDValue Practice;                   // practice setting (care setting)
  TDateTime NowUTC = 0;                 // filing time, UTC
  TDateTime CreateDate = 0;             // creation time, local
  TDateTime StartDate = 0, StopDate = 0;  // service period, local; 0 when absent
  int32_t Confidentialite = 0;          // visibility bits (XDS metadata only)
  std::string ReplaceUniqueId;          // the document replaced, or ""
  std::string LPS_OID;                  // root of the local patient identifier
  std::string PatientId;                // the patient's identifier in the software
  int32_t Version = 0;                  // 1 for a first filing
  const TMedecinTraitant* MedecinTraitant = nullptr;

  // recordTarget: national identifier (INS, else INS-C), local identifier,
  // unknown address and telecom, names, sex and birth date.
  std::string xmlRecordTarget() const;
  // author, custodian, legalAuthenticator, the treating doctor's
  // participant, documentationOf (with ServiceEventMarkup), relatedDocument
  // for a replacement, and componentOf. A non-empty Performer names another
  // person as the performer of the service event.
  std::string xmlParticipants(std::string_view ServiceEventMarkup, std::string_view Performer) const;
  // The treating doctor's participant at Date, or "" when there is none.
  std::string xmlMedecinTraitant(TDateTime Date) const;
};

// The document itself.
struct TDOCInfo {
  std::string mediaType;          // MIME type of the wrapped file
  const void* Content = nullptr;  // the file's bytes (unstructured body only)
  size_t ContentSize = 0;
  const TOIDValue* Format = nullptr;  // XDS format code
  std::string DocID;                  // the document's unique identifier (an OID)
};

// The file of DOC wrapped in an unstructured body. Built in one buffer sized
// beforehand: the Base64 body is never copied.
std::string BuildCDANonXMLBody(const TDOCInfo& DOC, const TCDAInfo& CDA);
// The medical summary around its structured body (see BuildSyntheseBody).
std::string BuildCDASynthese(const TDOCInfo& DOC, const TCDAInfo& CDA,
                             std::string_view StructuredBodyMarkup);
// The vaccination note around its structured body; a non-empty
// OtherVaccinator is the performer of the service event.
std::string BuildCDANoteVaccination(const TDOCInfo& DOC, const TCDAInfo& CDA,
                                    std::string_view StructuredBodyMarkup,
                                    std::string_view OtherVaccinator);

// The immunization section (one component) of a vaccination note.
// EntryIdRoot is the identifier of the substance administration. Raises
// ECDAError when the note's date ("dd/mm/yyyy", optionally with a time)
// cannot be read, and for a kind of administration outside 0 to 2.
std::string BuildNoteVaccinationBody(const TCDAInfo& CDA, const TNoteVaccination& Note,
                                     std::string_view EntryIdRoot);

// The vaccinator text that names the card holder.
inline constexpr std::string_view VaccinateurMoiMeme = "moi-même";

// " - Rang : " + Rang when it is above 0, else "".
std::string RangText(int32_t Rang);

// code="Code" displayName="Libelle" (escaped) followed directly by
// ExtraAttributesMarkup; "" when the code is empty.
std::string RoleCodeAttributes(const TCodeLibelle& Role, std::string_view ExtraAttributesMarkup);
// The label, or "" when the code is empty.
std::string RoleDisplayName(const TCodeLibelle& Role);
// Family name + " " + given name, trimmed, then " - " + profession and
// " - " + specialty, each only when not empty. Plain text.
std::string PorteurDisplayName(const TPorteur& Porteur);

}  // namespace Talven
