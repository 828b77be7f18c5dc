// The identity assertion of the shared-record service: a SAML 2.0 assertion
// (OASIS saml-core-2.0-os) in the national VIHF 3.0 profile, sent unsigned
// inside the WS-Security header. The card session's information is only read.
//
// Escaping: every text of the card and of the caller (names, certificate
// names, structure identifiers, the emergency reason) is escaped where it is
// inserted; the resource identifier is an HL7 CX value that is already ready
// for XML (see Vantrel.XML.XDSb.h) and goes in as given.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.DateTime.h"

namespace Talven {

// What the CPS card session knows of the professional, held by the session
// and read by the assertion builder.
struct TCPSInfo {
  TCarte Carte;
  TPorteur Porteur;
  std::array<TActivite, 16> Activites;
  int32_t ActCount = -1;  // activities read, -1 while not read
  int32_t ActIndex = 0;   // the chosen activity
  std::string CN;         // common name of the authentication certificate
  std::string DN;         // its subject text
  bool Anonym = false;    // the certificate carries no personal name
  std::string Org;        // its organisation
  std::string LPS_OID;    // the installation's instance OID (2.25 arc)
  std::string LPS_Nom;
  std::string LPS_Version;
  std::string LPS_ID_HOMOLOGATION_DMP;
  std::string LPS_ID;
  std::string DMP_Server;      // host of the shared-record service
  std::string AccesWeb;        // base of the professional web-access pages
  std::string ProcessingCode;  // "P" production, "D" training
};

// No activity is chosen (none read, or the index outside those read).
class EVIHFError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The minor mode of a minor's record opened in secret mode.
inline constexpr uint8_t MineurSecret = 2;

// The assertion (UTF-8, no XML declaration). An empty ResourceId leaves the
// resource attribute out; a non-empty Reason makes it an emergency access.
// Throws EVIHFError when no activity is chosen.
std::string BuildVIHF(const TCPSInfo& Info, std::string_view ResourceId, std::string_view Reason,
                      uint8_t MinorMode, Vantrel::TDateTime IssueInstant);

// saml:Attribute Name=(escaped) holding one or two saml:AttributeValue with
// the values as given (markup).
std::string VIHFAttribute(std::string_view Name, std::string_view ValueMarkup);
std::string VIHFAttribute2(std::string_view Name, std::string_view FirstMarkup,
                           std::string_view SecondMarkup);
// <Element code codeSystem [codeSystemName] [displayName] xsi:type="CE"
// xmlns="urn:hl7-org:v3"/>, all values escaped; empty optional values are left out.
std::string VIHFCodedValue(std::string_view Element, std::string_view Code,
                           std::string_view CodeSystem, std::string_view DisplayName = {},
                           std::string_view CodeSystemName = {});
// Every "G=" becomes " GN=", then every "S=" becomes " ST=" (case-sensitive,
// also inside longer attribute names).
std::string NormalizeDNText(std::string_view DN);

}  // namespace Talven
