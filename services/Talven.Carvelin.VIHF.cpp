#include "Talven.Carvelin.VIHF.h"

#include "Vantrel.HL7Query.h"
#include "Vantrel.SOAP.h"

namespace Talven {

using Vantrel::XMLElement;
using Vantrel::XMLEscape;

namespace {

std::string ReplaceAll(std::string_view Text, std::string_view From, std::string_view To) {
  std::string S;
  S.reserve(Text.size() + 8);
  size_t Pos = 0;
  for (size_t Hit; (Hit = Text.find(From, Pos)) != std::string_view::npos; Pos = Hit + From.size()) {
    S += Text.substr(Pos, Hit - Pos);
    S += To;
  }
  S += Text.substr(Pos);
  return S;
}

std::string RoleValue(std::string_view Code, std::string_view OID, std::string_view Name) {
  return VIHFCodedValue("Role", Code, OID, Name);
}

constexpr std::string_view RoleAttribute = "urn:oasis:names:tc:xacml:2.0:subject:role";

std::string Roles(const TPorteur& P, const TActivite& A) {
  const std::string Profession = RoleValue(P.Profession.Code, P.Profession.OID, P.Profession.Nom);
  if (P.TypeCarte == 0 && !P.Specialite.Code.empty())
    return VIHFAttribute2(RoleAttribute, Profession,
                          RoleValue(P.Specialite.Code, P.Specialite.OID, P.Specialite.Nom));
  if (P.TypeCarte != 0 || A.Pharmacien.Code.empty()) return VIHFAttribute(RoleAttribute, Profession);
  return VIHFAttribute2(RoleAttribute, Profession,
                        RoleValue(A.Pharmacien.Code, A.Pharmacien.OID, A.Pharmacien.Nom));
}

const TActivite& ChosenActivite(const TCPSInfo& Info) {
  const int32_t Count = Info.ActCount < 16 ? Info.ActCount : 16;
  if (Info.ActIndex < 0 || Info.ActIndex >= Count)
    throw EVIHFError("Aucune activité de la carte CPS n'est sélectionnée");
  return Info.Activites[size_t(Info.ActIndex)];
}

}  // namespace

std::string VIHFAttribute(std::string_view Name, std::string_view ValueMarkup) {
  return XMLElement("saml:Attribute", "Name=\"" + XMLEscape(Name) + '"',
                    XMLElement("saml:AttributeValue", {}, ValueMarkup));
}

std::string VIHFAttribute2(std::string_view Name, std::string_view FirstMarkup,
                           std::string_view SecondMarkup) {
  return XMLElement("saml:Attribute", "Name=\"" + XMLEscape(Name) + '"',
                    XMLElement("saml:AttributeValue", {}, FirstMarkup) +
                        XMLElement("saml:AttributeValue", {}, SecondMarkup));
}

std::string VIHFCodedValue(std::string_view Element, std::string_view Code,
                           std::string_view CodeSystem, std::string_view DisplayName,
                           std::string_view CodeSystemName) {
  std::string A = "code=\"" + XMLEscape(Code) + "\" codeSystem=\"" + XMLEscape(CodeSystem) + '"';
  if (!CodeSystemName.empty()) A += " codeSystemName=\"" + XMLEscape(CodeSystemName) + '"';
  if (!DisplayName.empty()) A += " displayName=\"" + XMLEscape(DisplayName) + '"';
  A += " xsi:type=\"CE\" xmlns=\"urn:hl7-org:v3\"";
  return XMLElement(Element, A, {});
}

std::string NormalizeDNText(std::string_view DN) {
  return ReplaceAll(ReplaceAll(DN, "G=", " GN="), "S=", " ST=");
}

std::string BuildVIHF(const TCPSInfo& Info, std::string_view ResourceId, std::string_view Reason,
                      uint8_t MinorMode, Vantrel::TDateTime IssueInstant) {
  const TActivite& Activite = ChosenActivite(Info);
  const TPorteur& Porteur = Info.Porteur;

  const std::string Instant = Vantrel::XSDTime(IssueInstant);
  const std::string Id = "VIHF-" + Vantrel::NewUUIDText();

  // A card session authenticates directly; a session without card issuer
  // whose first activity is number 0 goes through a password.
  std::string ClassRef, Mode;
  if (!Info.Carte.Emetteur.empty() || Info.Activites[0].Numero != 0) {
    ClassRef = "urn:oasis:names:tc:SAML:2.0:ac:classes:SmartcardPKI";
    Mode = VIHFAttribute("Authentification_mode", "DIRECTE");
  } else {
    ClassRef = "urn:oasis:names:tc:SAML:2.0:ac:classes:PasswordProtectedTransport";
    Mode = VIHFAttribute("Authentification_mode", "INDIRECTE") +
           VIHFAttribute("urn:oasis:names:tc:xspa:1.0:subject:subject-id",
                         XMLEscape(Porteur.Nom + " " + Porteur.Prenom));
  }
  if (MinorMode == MineurSecret)
    Mode += VIHFAttribute("urn:oasis:names:tc:xspa:1.0:resource:patient:hl7:confidentiality-code",
                          "INVISIBLE_REPRESENTANTS_LEGAUX^1.2.250.1.213.1.1.4.13");

  const bool Emergency = !Reason.empty();
  const std::string Purpose = VIHFAttribute(
      "urn:oasis:names:tc:xspa:1.0:subject:purposeofuse",
      VIHFCodedValue("PurposeOfUse", Emergency ? "bris_de_glace" : "normal",
                     "1.2.250.1.213.1.1.4.248", Emergency ? "Bris de Glace" : "Accès normal",
                     "mode acces VIHF 1.0"));

  std::string Attributes = VIHFAttribute("VIHF_Version", "3.0");
  Attributes += Mode;
  Attributes += VIHFAttribute("Secteur_Activite",
                              XMLEscape(Activite.Entite.Code) + "^1.2.250.1.71.4.2.4");
  if (!ResourceId.empty())
    Attributes += VIHFAttribute("urn:oasis:names:tc:xacml:2.0:resource:resource-id", ResourceId);
  Attributes += VIHFAttribute("Ressource_URN", "urn:dmp");
  Attributes += VIHFAttribute("Identifiant_Structure", XMLEscape(Activite.IdNational));
  Attributes += VIHFAttribute("LPS_Version", XMLEscape(Info.LPS_Version));
  Attributes += VIHFAttribute("LPS_ID", XMLEscape(Info.LPS_ID));
  Attributes += VIHFAttribute("LPS_Nom", XMLEscape(Info.LPS_Nom));
  Attributes += VIHFAttribute("LPS_ID_HOMOLOGATION_DMP", XMLEscape(Info.LPS_ID_HOMOLOGATION_DMP));
  Attributes += Purpose;
  if (Emergency) Attributes += VIHFAttribute("Mode_Acces_Raison", XMLEscape(Reason));
  Attributes += Roles(Porteur, Activite);

  // Every assertion of a run carries the same authentication instant; it is
  // set here too so that no assertion goes out with an empty one.
  Vantrel::InitAuthnInstant();

  const std::string Content =
      XMLElement("saml:Issuer", "Format=\"urn:oasis:names:tc:SAML:1.1:nameid-format:X509SubjectName\"",
                 XMLEscape(NormalizeDNText(Info.DN))) +
      XMLElement("saml:Subject", {}, XMLElement("saml:NameID", {}, XMLEscape(Info.CN))) +
      XMLElement("saml:AuthnStatement", "AuthnInstant=\"" + Vantrel::AuthnInstant() + '"',
                 XMLElement("saml:AuthnContext", {},
                            XMLElement("saml:AuthnContextClassRef", {}, ClassRef))) +
      XMLElement("saml:AttributeStatement", {}, Attributes);

  return XMLElement("saml:Assertion",
                    "xmlns:saml=\"urn:oasis:names:tc:SAML:2.0:assertion\" "
                    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" ID=\"" +
                        Id + "\" IssueInstant=\"" + Instant + "\" Version=\"2.0\"",
                    Content);
}

}  // namespace Talven
