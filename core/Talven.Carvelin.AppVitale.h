// The mobile Vitale application (ApCV) authentication service of the
// card-system operator: a patient shows the application's QR code, the
// professional's software sends it with a SAML 2.0 assertion signed by the
// CPS card and reads back the identities of the card's beneficiaries.
//
// Three SOAP 1.2 operations (authentifierUtilisateurProximite,
// restituerContexteApCV, detruireContexteApCV), each with the software
// context (ContexteLPS), the signed assertion in WS-Security, and
// WS-Addressing MessageID and Action. The signed header is cached
// process-wide for the same card, holder and billing statement, and reused
// while fewer than 50 whole minutes have passed on a steady clock; the cache
// is guarded and wiped at exit.
//
// Escaping: every value that does not come from this unit (QR text,
// certificate subject, holder, billing number, speciality, context
// identifier) is escaped where it is inserted.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Talven.Carvelin.Objects.h"

namespace Talven {

namespace AppVitale {

// The service's hosts ("https://host[:port]", the path is fixed), the
// operator's namespace of the bodies (ending in "/apcv/auth/1/0") and the
// production agreement identifier: configuration of the deployment.
struct TEndpoints {
  std::string Qualification;
  std::string Production;
  std::string NamespaceURI;
  std::string IDAMProduction;  // "" is sent as "??"
};
void SetAppVitaleEndpoints(TEndpoints Endpoints);
TEndpoints AppVitaleEndpoints();

inline constexpr std::string_view ServicePath = "/wssoap/apcv/auth/1/0";
inline constexpr std::string_view IDAMTest = "QPT48RX31HB4";
inline constexpr std::string_view SoftwareName = "urn:lps:CARVELIN:2.6";
// A test-environment serial number that the service types 'D'.
inline constexpr std::string_view TestSerialNumber = "000468945678";

// The clock that dates the cached header; tests replace it (nullptr: the
// steady clock).
using TSteadyClock = std::function<std::chrono::steady_clock::time_point()>;
void SetCacheClock(TSteadyClock Clock);

// The internal twin of the interface record, with the birth date as a date.
struct TIdentiteAMO : Talven::TIdentiteAMO {
  Vantrel::TDateTime DDN = 0;
  // Reads a "CarteVitaleIndividu" node: false without its "IdentiteAMO".
  // Each value is read under "IdentiteAMO", else under the node itself. A
  // birth date that is not an ISO 8601 date is left empty.
  bool Load(Vantrel::PXMLNode Node);
};

// The signer's context of a request.
struct TCPSContext {
  std::string Now;  // XML Schema date-time, UTC, milliseconds; set by each request
  uint8_t Card = 0;  // the CPS card's category
  std::string RPPS;  // the holder's national identifier
  IVaspoCNX* CNX = nullptr;  // not owned; must outlive the context
  TCertificat Cert;
  std::string Instance;  // installation GUID, lower case, no braces
  std::string NumFacturation;  // billing number of the current activity
  std::string Specialite;
  std::string AttributeStatement;  // "identifiantFacturation", or "" without an activity
  std::string CacheKey;  // card, holder and statement

  // Fills the context from the session; false (with Error) without holder,
  // card or certificate. A key other than the cache's forgets the cached
  // header. Instance: the GUID text, braces allowed.
  bool SetCPS(IVaspoCNX* ACNX, std::string_view AInstance, std::string& Error);
  std::string Issuer() const;
  // Throws for an unknown card type.
  std::string Subject() const;
  // The cached header while it may be reused, else a newly signed one,
  // cached. Throws for an unknown card type or a refused signature.
  std::string Security2() const;
  std::string ContexteLPS() const;
  bool IsQualification() const { return Card >= 80; }
};

// Answers of SetIdentites below 0.
inline constexpr int ApCVFault = -1;
inline constexpr int ApCVNoContext = -2;
inline constexpr int ApCVNoProfile = -3;

struct TAppVitaleRequest {
  TCPSContext Context;
  std::string SpecAMO = "99";
  std::string Error;
  std::string Detail;
  char TypeEnv = 'T';
  std::vector<TIdentiteAMO> Identites;
  std::string Identifiant;  // the service's context identifier

  // The request texts; "" with Error set when the header cannot be built.
  std::string authentifierUtilisateurProximite(std::string_view qrCode);
  std::string restituerContexteApCV();
  std::string detruireContexteApCV();
  std::string URL() const;
  // Reads an answer: the number of identities, or ApCVFault (Error, Detail
  // from the fault), ApCVNoContext or ApCVNoProfile ("Réponse inattendue du
  // serveur"; text that is not XML also gives ApCVNoContext, with the
  // parser's message in Detail). Never throws.
  int SetIdentites(std::string_view XML);
  // Forgets the cached header; its key stays.
  static void ClearSecurityData();

 private:
  std::string Request(std::string_view Action, std::string_view Body);
};

}  // namespace AppVitale

// One reading's identities, a snapshot. Records open only while the session
// that read them is the root's current, logged-in session.
class TAppVitale : public TDMPLink, public IAppVitale {
 public:
  TAppVitale(const std::shared_ptr<TCarvelin>& DMP, const AppVitale::TAppVitaleRequest& Request);

  std::weak_ptr<char> CNX;  // the Identity of the session current when made
  const char TypeEnv;
  const std::vector<AppVitale::TIdentiteAMO> Identites;

  char GetEnvType() override { return TypeEnv; }
  int GetCount() override { return int(Identites.size()); }
  // nullptr outside 0 .. count - 1.
  const Talven::TIdentiteAMO* GetItem(int Index) override;
  int GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) override;
};

}  // namespace Talven
