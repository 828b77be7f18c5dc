// Requests to the national identity teleservice (INSi) and the reading of its
// answers. A request is a SOAP 1.2 envelope carrying the two context headers
// of the card-system conventions (ContexteBAM, ContexteLPS), WS-Addressing,
// and a WS-Security header whose SAML 2.0 assertion is signed (XML Signature
// with Exclusive XML Canonicalization 1.0, SHA-256 and RSA-SHA256) through
// the professional session's SignHash.
//
// The record reads the session through the service model's interface, so the
// unit sits with the service vocabulary rather than in the general library.
//
// Escaping: every value that does not come from this unit (names, identity
// traits, certificate subject, card and activity codes, numbers read from the
// Vitale card, serial number, INS, OID) is escaped where it is inserted.
//
// Signing: SignHash receives the 32-byte SHA-256 hash of the canonical
// SignedInfo; the session puts the DigestInfo of RFC 8017 §9.2 before it and
// makes the PKCS #1 v1.5 signature, returned as Base64 text.
//
// A TINSiRequest belongs to one call and one thread; the session it links to
// must outlive it. The endpoints are a process-wide setting, guarded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.DateTime.h"

namespace Vantrel {

// The teleservice's addresses and the insurer's domain of the body namespaces
// ("http://" + domain + "/INSiRecVit", ...). The national service publishes
// them; the defaults are its published addresses.
struct TINSiEndpoints {
  std::string CPSQualification;   // card-authenticated service, test cards
  std::string CPSProduction;      // card-authenticated service
  std::string TLSMQualification;  // mutual-TLS service, test cards
  std::string TLSMProduction;     // mutual-TLS service
  std::string NamespaceDomain;
};
TINSiEndpoints DefaultINSiEndpoints();
void SetINSiEndpoints(TINSiEndpoints Endpoints);
TINSiEndpoints INSiEndpoints();

// An unknown card type ("Type de carte inconnu " + category) or a refused
// signature.
class EINSiError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the search with the Vitale card needs of a beneficiary read from the card.
struct TINSiBeneficiaire {
  std::string Nir;          // the insured person's number
  std::string NirCertifie;  // the beneficiary's certified number
  std::string Naissance;    // "ddmmyyyy" when the card gives the full date
  TDateTime BirthDate = 0;  // the birth date otherwise (0 = none)
  int32_t RangDeNaissance = 0;
};

// Agreement identifiers (IDAM) and the software version of the LPS context.
inline constexpr std::string_view INSiIDAMTest = "QPT48RX31HB4";
inline constexpr std::string_view INSiIDAMProduction = "QPT48RX31KV7";
inline constexpr std::string_view INSiLPSVersion = "2.6";

// Answer codes of Response.
inline constexpr int INSiFound = 0;
inline constexpr int INSiNotFound = 1;
inline constexpr int INSiSeveral = 2;
inline constexpr int INSiNoResult = -1;
inline constexpr int INSiUnexpected = -2;

struct TINSiRequest {
  std::string Now;  // XSDTimeNow, set by each builder
  uint8_t Card = 0;  // CPS card category, bit 7 set for a test card
  std::string RPPS;
  std::string INSTANCE;  // software instance: GUID text, lower case, no braces
  std::string AttributeStatement;  // the activity's SAML attribute statement, or ""
  Talven::TCertificat Cert;
  Talven::IVaspoCNX* CNX = nullptr;  // not owned
  // The answer (Response).
  std::string INS;  // 13 digits and the 2-digit key
  std::string OID;
  std::string Nom, Prenom, Prenoms, Sexe, DateNaissance, LieuNaissance;
  std::string NomLieuNaissance;  // filled by the INS screens
  std::string Error;
  std::string Individu;  // the answer's INDIVIDU element as written

  // Takes the session's card, holder, certificate and current activity.
  // False (Cert cleared) without a session, card or holder, or when the
  // certificate cannot be read. Instance: the GUID text, braces allowed.
  bool SetCPS(Talven::IVaspoCNX* ACNX, std::u16string_view Instance);
  bool IsTestCard() const { return (Card & 0x80) != 0; }
  std::string URL() const;

  // The request texts. They never throw: on failure (unknown card type,
  // signature refused) the result is "" and Error says why.
  std::string rechercherInsAvecCarteVitale(std::string_view NumSerie,
                                           const TINSiBeneficiaire& Beneficiaire,
                                           std::string_view NomNaissance);
  std::string rechercherInsAvecTraitsIdentite(std::string_view NomNaissance,
                                              std::string_view Prenom, std::string_view Sexe,
                                              std::string_view DateNaissance,
                                              std::string_view LieuNaissance);
  // INS: 13 digits, a separator and the 2-digit key.
  std::string verifierInsAvecTraitsIdentite(std::string_view AINS, std::string_view AOID,
                                            std::string_view NomNaissance,
                                            std::string_view Prenom, std::string_view Sexe,
                                            std::string_view DateNaissance,
                                            std::string_view LieuNaissance);

  // Pieces of the requests. CoverageMarkup is inserted as given.
  std::string ContexteBAM(std::string_view CoverageMarkup) const;
  std::string ContexteLPS() const;
  // Throws EINSiError for an unknown card type.
  std::string AssertionIssuerSubject() const;
  // Throws EINSiError for an unknown card type or a refused signature.
  std::string SecurityHeader(std::string_view ExtraAssertionMarkup = {}) const;

  // Reads the answer: INSiFound, INSiNotFound, INSiSeveral, INSiNoResult (a
  // fault, or no result block) or INSiUnexpected (another code, or no active
  // INS). The answer fields are cleared first. Text the XML reader cannot
  // parse raises its EXMLError (or std::runtime_error for a bad reference).
  int Response(std::string_view Answer);

  // The type letter of OID; a test card reads 'R' as 'T'.
  char INSType() const;
};

// "urn:lps:CARVELIN:" + the product version (major.minor.release).
std::string INSiSoftwareName();

// ---- Pieces shared with the other card-system teleservices ----

// "Issuer" (X509SubjectName format) naming the certificate's subject DN.
std::string SAMLIssuer(std::string_view DN);
// "Subject"/"NameID": the card type ("CPS", "CPF", "CDE-CPE", "CPA" by the
// category's low seven bits) qualifying the holder's national identifier.
// Throws EINSiError ("Type de carte inconnu " + category) for another type.
std::string SAMLSubject(uint8_t Card, std::string_view RPPS);
// "Attribute" Name / "AttributeValue" Value, the value escaped.
std::string SAMLAttribute(std::string_view Name, std::string_view Value);
// The software context "ContexteLPS" (Version "01_00"): a new Id, the time,
// the holder as issuer, then the agreement identifier, version "2.6", the
// instance and the software name.
std::string LPSContext(std::string_view Now, std::string_view RPPS, std::string_view IDAM,
                       std::string_view Instance, std::string_view SoftwareName);
// "Security" (WS-Security 1.0) holding a SAML 2.0 assertion (ID "_" + a new
// UUID, IssueInstant Now) whose content is Before + After, with its
// enveloped XML Signature between the two, then ExtraAssertionMarkup. The
// signature covers the exclusive canonical form of the assertion without
// it (SHA-256, RSA-SHA256 by CNX's SignHash) and carries Cert's bytes.
// Throws EINSiError when the session does not sign.
std::string SignedAssertionHeader(Talven::IVaspoCNX* CNX, const Talven::TCertificat& Cert,
                                  std::string_view Now, std::string_view Before,
                                  std::string_view After, std::string_view ExtraAssertionMarkup = {});

// The name in the teleservice's alphabet: A-Z, blank, apostrophe, hyphen.
std::string NormalizeINSiName(std::u16string_view Name);

// The code, or "" for a five-character code beginning "2A" or "2B" (Corsica),
// which the teleservice does not take.
std::string INSiBirthplaceCode(std::string_view Code);

}  // namespace Vantrel
