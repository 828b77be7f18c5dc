#include "Talven.Carvelin.AppVitale.h"

#include <charconv>
#include <mutex>

#include "Vantrel.INSi.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Talven {

namespace AppVitale {

namespace {

using Vantrel::AttributeValueOf;
using Vantrel::PXMLNode;
using Vantrel::TextOf;
using Vantrel::XMLElement;
using Vantrel::XMLEscape;

constexpr std::string_view NsWSA = "http://www.w3.org/2005/08/addressing";
constexpr std::string_view ActionPrefix = "urn:ApCV_AUTH:1.0:";
constexpr std::string_view UnexpectedAnswer = "Réponse inattendue du serveur";
constexpr auto CacheLifetime = std::chrono::minutes(50);

std::mutex EndpointsLock;
TEndpoints& Endpoints() {
  static TEndpoints Value;
  return Value;
}

// The signed header last made, for the card, holder and statement of Key.
// Wiped when forgotten and at exit.
struct TCache {
  std::mutex Lock;
  std::string Key;
  std::chrono::steady_clock::time_point Made;
  std::string Header;
  TSteadyClock Clock;

  std::chrono::steady_clock::time_point Now() const { return Clock ? Clock() : std::chrono::steady_clock::now(); }
  void ForgetHeader() { Vantrel::WipeBytes(Header); }
  ~TCache() { ForgetHeader(); }
};
TCache& Cache() {
  static TCache Value;
  return Value;
}

// 0 for a text that is not a whole integer.
int32_t IntegerOf(std::string_view Text) {
  int32_t Value = 0;
  const auto R = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return R.ec == std::errc() && R.ptr == Text.data() + Text.size() ? Value : 0;
}

}  // namespace

void SetAppVitaleEndpoints(TEndpoints Value) {
  std::lock_guard Lock(EndpointsLock);
  Endpoints() = std::move(Value);
}

TEndpoints AppVitaleEndpoints() {
  std::lock_guard Lock(EndpointsLock);
  return Endpoints();
}

void SetCacheClock(TSteadyClock Clock) {
  std::lock_guard Lock(Cache().Lock);
  Cache().Clock = std::move(Clock);
}

// ---- Identities ----

bool TIdentiteAMO::Load(PXMLNode Node) {
  const PXMLNode Identite = Vantrel::ChildOf(Node, "IdentiteAMO");
  if (!Identite) return false;
  auto Find = [&](std::string_view Path) {
    const PXMLNode Found = Identite->XPathNode(Path);
    return Found ? Found : Node->XPathNode(Path);
  };
  NomFamille = TextOf(Find("NomFamille"));
  NomUsage = TextOf(Find("NomUsage"));
  Prenom = TextOf(Find("Prenom"));
  Qualite = IntegerOf(TextOf(Find("Qualite")));
  const PXMLNode Naissance = Find("DateNaissance");
  try {
    DDN = Vantrel::JSON::StrToDateTime(TextOf(Naissance));
  } catch (const std::exception&) {
    DDN = 0;
  }
  DateNaissance = DDN != 0 ? Vantrel::FormatDateTime("dd/mm/yyyy", DDN) : std::string();
  Rang = IntegerOf(AttributeValueOf(Naissance, "rang"));
  if (const PXMLNode Certifie = Find("NIRCertifie")) NIRCertifie = TextOf(Certifie) + AttributeValueOf(Certifie, "cle");
  if (const PXMLNode Assure = Find("ContratAMO/NIRAssure"))
    NIRAssure = TextOf(Assure) + AttributeValueOf(Assure, "cle");
  return true;
}

// ---- Signer's context ----

bool TCPSContext::SetCPS(IVaspoCNX* ACNX, std::string_view AInstance, std::string& Error) {
  CNX = ACNX;
  const TPorteur* Porteur = ACNX ? ACNX->GetPorteur() : nullptr;
  const TCarte* Carte = ACNX ? ACNX->GetCarte() : nullptr;
  if (!Porteur || !Carte) {
    Error = "Porteur de la carte CPS inconnu";
    return false;
  }
  Card = Carte->Categorie;
  RPPS = Porteur->IdNational;
  Cert = {};
  if (ACNX->GetCertificat(&Cert) != ERR_OK || Cert.CertBytes.empty()) {
    Error = "Certificat de la carte illisible";
    return false;
  }
  Instance = Vantrel::NormalizeGUIDText(AInstance);
  Specialite = Porteur->Specialite.Code;
  const TActivite* Activite = ACNX->CurrentActivite();
  NumFacturation = Activite ? Activite->NumFacturation : std::string();
  AttributeStatement = Activite ? XMLElement("AttributeStatement", {},
                                             Vantrel::SAMLAttribute("identifiantFacturation", NumFacturation))
                                : std::string();
  // The statement is part of the key: a header signed for another activity
  // would name its billing number.
  CacheKey = Carte->IdCarte + '\n' + RPPS + '\n' + AttributeStatement;
  TCache& C = Cache();
  std::lock_guard Lock(C.Lock);
  if (C.Key != CacheKey) {
    C.Key = CacheKey;
    C.ForgetHeader();
  }
  return true;
}

std::string TCPSContext::Issuer() const { return Vantrel::SAMLIssuer(Cert.DN); }

std::string TCPSContext::Subject() const { return Vantrel::SAMLSubject(Card, RPPS); }

std::string TCPSContext::Security2() const {
  TCache& C = Cache();
  {
    std::lock_guard Lock(C.Lock);
    if (!C.Header.empty() && C.Key == CacheKey && C.Now() - C.Made < CacheLifetime) return C.Header;
  }
  std::string Header = Vantrel::SignedAssertionHeader(CNX, Cert, Now, Issuer(), Subject() + AttributeStatement);
  if (!CacheKey.empty()) {
    std::lock_guard Lock(C.Lock);
    if (C.Key == CacheKey) {
      C.ForgetHeader();
      C.Header = Header;
      C.Made = C.Now();
    }
  }
  return Header;
}

std::string TCPSContext::ContexteLPS() const {
  std::string IDAM(IDAMTest);
  if (!IsQualification()) {
    IDAM = AppVitaleEndpoints().IDAMProduction;
    if (IDAM.empty()) IDAM = "??";
  }
  return Vantrel::LPSContext(Now, RPPS, IDAM, Instance, SoftwareName);
}

// ---- Requests ----

std::string TAppVitaleRequest::Request(std::string_view Action, std::string_view Body) {
  Error.clear();
  try {
    Context.Now = Vantrel::XSDTimeNow();
    const std::string Header = Context.ContexteLPS() + Context.Security2() + Vantrel::WSAMessageID() +
                               XMLElement("Action", "xmlns=\"" + std::string(NsWSA) + "\"",
                                          std::string(ActionPrefix) + std::string(Action));
    return Vantrel::SOAPEnvelope(Header, Body);
  } catch (const std::exception& E) {
    Error = E.what();
    return {};
  }
}

namespace {

// A body element with the operation's version and the operator's namespace.
std::string BodyElement(std::string_view Name, std::string_view Content) {
  return XMLElement(Name, "version=\"1.0\" xmlns=\"" + XMLEscape(AppVitaleEndpoints().NamespaceURI) + "\"", Content);
}

}  // namespace

std::string TAppVitaleRequest::authentifierUtilisateurProximite(std::string_view qrCode) {
  const std::string Professionnel =
      XMLElement("IdentifiantFacturation", {}, XMLEscape(Context.NumFacturation)) +
      Vantrel::XMLOptionalElement("CodeSpecialiteAMO", {}, XMLEscape(SpecAMO));
  return Request("authentifierUtilisateurProximite",
                 BodyElement("AuthentifierUtilisateurProximiteReq",
                             XMLElement("ProfessionnelSante", {}, Professionnel) +
                                 XMLElement("Donnees", {}, XMLEscape(qrCode))));
}

std::string TAppVitaleRequest::restituerContexteApCV() {
  return Request("restituerContexteApCVReq", BodyElement("RestituerContexteApCVReq", {}));
}

std::string TAppVitaleRequest::detruireContexteApCV() {
  return Request("detruireContexteApCV",
                 BodyElement("DetruireContexteApCVReq",
                             XMLElement("ContexteApCV", {}, XMLElement("Identifiant", {}, XMLEscape(Identifiant)))));
}

std::string TAppVitaleRequest::URL() const {
  const TEndpoints E = AppVitaleEndpoints();
  return (Context.IsQualification() ? E.Qualification : E.Production) + std::string(ServicePath);
}

int TAppVitaleRequest::SetIdentites(std::string_view XML) {
  TypeEnv = 'T';
  Error.clear();
  Detail.clear();
  Identites.clear();
  Vantrel::TXMLTree Tree;
  try {
    Tree.BuildFrom(XML);
  } catch (const Vantrel::EXMLError& E) {
    Error = UnexpectedAnswer;
    Detail = E.Message() + " (octet " + std::to_string(E.Index) + ")";
    return ApCVNoContext;
  } catch (const std::exception& E) {
    Error = UnexpectedAnswer;
    Detail = E.what();
    return ApCVNoContext;
  }
  const PXMLNode Body = Tree.GetNodeAt({"Envelope", "Body"});
  if (const PXMLNode Fault = Vantrel::ChildOf(Body, "Fault")) {
    Error = TextOf(Fault->GetChildAt({"Reason", "Text"}));
    Detail = TextOf(Fault->GetChildAt({"Detail", "Erreur"}));
    return ApCVFault;
  }
  const PXMLNode Contexte = Vantrel::XPathNodeOf(Body, "//ContexteApCV");
  if (!Contexte) {
    Error = UnexpectedAnswer;
    return ApCVNoContext;
  }
  Identifiant = TextOf(Contexte->GetChild("Identifiant"));
  const PXMLNode Profil = Body->XPathNode("//ProfilApCV");
  if (!Profil) {
    Error = UnexpectedAnswer;
    return ApCVNoProfile;
  }
  const PXMLNode Identification = Profil->GetChild("Identification");
  if (const std::string Type = AttributeValueOf(Identification, "type"); Type.size() == 1) {
    TypeEnv = Type[0];
    if (TypeEnv == 'D' && AttributeValueOf(Identification, "numSerie") == TestSerialNumber) TypeEnv = 'T';
  }
  for (const Vantrel::TXMLNode& Child : Profil->Children()) {
    TIdentiteAMO Identite;
    if (Identite.Load(Child.GetChild("CarteVitaleIndividu"))) Identites.push_back(std::move(Identite));
  }
  return int(Identites.size());
}

void TAppVitaleRequest::ClearSecurityData() {
  TCache& C = Cache();
  std::lock_guard Lock(C.Lock);
  C.ForgetHeader();
}

}  // namespace AppVitale

// ---- The result object ----

TAppVitale::TAppVitale(const std::shared_ptr<TCarvelin>& DMP, const AppVitale::TAppVitaleRequest& Request)
    : TDMPLink(DMP), TypeEnv(Request.TypeEnv), Identites(Request.Identites) {
  if (DMP && DMP->VaspoCNX) CNX = DMP->VaspoCNX->Identity;
}

const Talven::TIdentiteAMO* TAppVitale::GetItem(int Index) {
  return Index >= 0 && size_t(Index) < Identites.size() ? &Identites[size_t(Index)] : nullptr;
}

int TAppVitale::GetDossier(int Index, std::shared_ptr<IDossierMedical>& Dossier) {
  Dossier.reset();
  const std::shared_ptr<TCarvelin> DMP = Root();
  if (DMP) DMP->FError.Clear();
  if (!Active() || !DMP->VaspoCNX || CNX.lock() != DMP->VaspoCNX->Identity) return ERR_SESSION;
  if (Index < 0 || size_t(Index) >= Identites.size()) return ERR_INDEX;
  const std::string& NIR = Identites[size_t(Index)].NIRCertifie;
  if (NIR.empty()) return ERR_INS_PATIENT;
  return DMP->VaspoCNX->DossierExiste(NIR, TypeEnv, Dossier);
}

}  // namespace Talven
