#include "Talven.Carvelin.CDA.h"

#include <initializer_list>

#include "Talven.Carvelin.Utils.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.CDA.h"

namespace Talven {

using Vantrel::AddAttr;
using Vantrel::AddOptAttr;
using Vantrel::HL7TimeElement;
using Vantrel::NullFlavorElement;
using Vantrel::TemplateIdElement;
using Vantrel::XMLElement;
using Vantrel::XMLEscape;

namespace {

constexpr std::string_view Declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
constexpr std::string_view RootAttrs =
    R"(xmlns="urn:hl7-org:v3" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance")";
constexpr std::string_view PersonIdRoot = "1.2.250.1.71.4.2.1";     // national professional ids
constexpr std::string_view StructureIdRoot = "1.2.250.1.71.4.2.2";  // national structure ids

enum class TDocKind { File, Synthese, NoteVaccination };

template <class T>
const T& Need(const T* Record, std::string_view What) {
  if (!Record) throw ECDAError("Document CDA : " + std::string(What) + " absent(e)");
  return *Record;
}

std::string Element(std::string_view Name, std::string_view Attrs, std::string_view Content = {}) {
  return XMLElement(Name, Attrs, Content);
}

std::string Text(std::string_view Name, std::string_view Value) {
  return Element(Name, {}, XMLEscape(Value));
}

std::string Attrs(std::initializer_list<std::pair<std::string_view, std::string_view>> List) {
  std::string A;
  for (const auto& [Name, Value] : List) AddAttr(A, Name, Value);
  return A;
}

std::string IdElement(std::string_view AssigningAuthority, std::string_view Extension,
                      std::string_view Root) {
  std::string A;
  AddOptAttr(A, "assigningAuthorityName", AssigningAuthority);
  AddOptAttr(A, "extension", Extension);
  AddOptAttr(A, "root", Root);
  return Element("id", A);
}

// The holder's Entite, else the activity's pharmacist section, else for a
// card of type 2 the holder's profession; "" when none applies.
std::string AuthorCode(const TPorteur& P, const TActivite& A) {
  const auto Code = [](std::string_view C, std::string_view OID, std::string_view Name) {
    std::string At;
    AddAttr(At, "code", C);
    AddOptAttr(At, "codeSystem", OID);
    AddOptAttr(At, "displayName", Name);
    return Element("code", At);
  };
  if (!P.Entite.Code.empty()) return Code(P.Entite.Code, P.Entite.OID, P.Entite.Nom);
  if (!A.Pharmacien.Code.empty()) return Code(A.Pharmacien.Code, A.Pharmacien.OID, A.Pharmacien.Nom);
  if (P.TypeCarte == 2 && !P.Profession.Code.empty())
    return Code(P.Profession.Code, P.Profession.OID, P.Profession.Nom);
  return {};
}

std::string HolderId(const TPorteur& P) { return IdElement("ASIP-CPS", P.IdNational, PersonIdRoot); }

std::string PersonBlock(const TPorteur& P) {
  return Element("assignedPerson", {},
                 Element("name", {}, Text("family", P.Nom) + Text("given", P.Prenom)));
}

std::string Templates(std::initializer_list<std::string_view> OIDs) {
  std::string S;
  for (std::string_view OID : OIDs) S += TemplateIdElement(OID);
  return S;
}

std::string NamedTemplate(std::string_view Authority, std::string_view Root) {
  return Element("templateId", Attrs({{"assigningAuthorityName", Authority}, {"root", Root}}));
}

// The children of ClinicalDocument before its component.
std::string DocumentHeader(const TDOCInfo& DOC, const TCDAInfo& CDA, TDocKind Kind,
                           std::string_view Performer) {
  std::string H = Element("realmCode", "code=\"FR\"") +
                  Element("typeId", R"(extension="POCD_HD000040" root="2.16.840.1.113883.1.3")");
  if (Kind == TDocKind::NoteVaccination) {
    H += Templates({"2.16.840.1.113883.2.8.2.1", "1.2.250.1.213.1.1.1.1",
                    "1.3.6.1.4.1.19376.1.5.3.1.1.18.1.2"});
    H += Element("templateId", R"(extension="2021.01" root="1.2.250.1.213.1.1.1.46")");
  } else {
    H += NamedTemplate("HL7 France", "2.16.840.1.113883.2.8.2.1");
    H += NamedTemplate("Cadre InteropASIP", "1.2.250.1.213.1.1.1.1");
    H += NamedTemplate("IHE XDS-SD",
                       Kind == TDocKind::File ? "1.3.6.1.4.1.19376.1.2.20" : "1.2.250.1.213.1.1.1.13");
  }
  H += IdElement({}, {}, DOC.DocID);
  std::string_view ServiceEvent;
  std::string ServiceEventCode;
  if (Kind == TDocKind::NoteVaccination) {
    H += Vantrel::LOINCCodeElement("87273-9", "Note de vaccination");
    H += Text("title", "Note de vaccination");
    ServiceEventCode = Vantrel::LOINCCodeElement("87273-9", "Note de vaccination");
  } else {
    H += Element("code", Vantrel::CodeAttrs(CDA.DocType));
    H += Text("title", CDA.DocTitle);
    if (Kind == TDocKind::Synthese)
      ServiceEventCode = Vantrel::LOINCCodeElement("34117-2", "Historique et clinique");
  }
  ServiceEvent = ServiceEventCode;
  H += HL7TimeElement("effectiveTime", CDA.CreateDate, Vantrel::HL7TimeLocal);
  H += Element("confidentialityCode", Vantrel::CodeAttrs(Vantrel::ConfidentialityCodes()[0]));
  H += Element("languageCode", "code=\"fr-FR\"");
  H += Element("versionNumber", "value=\"" + Vantrel::IntToUTF8(CDA.Version > 0 ? CDA.Version : 1) + '"');
  H += CDA.xmlRecordTarget();
  H += CDA.xmlParticipants(ServiceEvent, Performer);
  return H;
}

std::string OpenDocument() {
  std::string S(Declaration);
  S += "<ClinicalDocument ";
  S += RootAttrs;
  S += '>';
  return S;
}

std::string StructuredDocument(const TDOCInfo& DOC, const TCDAInfo& CDA, TDocKind Kind,
                               std::string_view BodyMarkup, std::string_view Performer) {
  return OpenDocument() + DocumentHeader(DOC, CDA, Kind, Performer) +
         Element("component", {}, Element("structuredBody", {}, BodyMarkup)) +
         "</ClinicalDocument>";
}

}  // namespace

// ---- Header blocks ----

std::string TCDAInfo::xmlRecordTarget() const {
  const TPatientInfo& P = Need(Patient, "le patient");
  const TIdentite& I = P.Identite;
  std::string Ids = P.INSi.Code.empty() ? IdElement({}, P.INSC.Code, P.INSC.OID)
                                        : IdElement({}, P.INSi.Code, P.INSi.OID);
  Ids += Element("id", Attrs({{"extension", PatientId}, {"root", LPS_OID}}));

  static constexpr std::string_view Civilities[] = {"M", "Mme", "Mlle"};
  std::string Name;
  if (I.Civilite >= 1 && I.Civilite <= 3) Name += Text("prefix", Civilities[I.Civilite - 1]);
  if (!I.NomNaissance.empty()) Name += Element("family", "qualifier=\"BR\"", XMLEscape(I.NomNaissance));
  if (!I.NomUsage.empty()) Name += Element("family", "qualifier=\"CL\"", XMLEscape(I.NomUsage));
  if (!I.Prenom.empty()) Name += Text("given", I.Prenom);

  std::string Gender;
  if (I.Sexe) AddAttr(Gender, "code", std::string_view(&I.Sexe, 1));
  AddAttr(Gender, "codeSystem", "2.16.840.1.113883.5.1");
  const std::string Birth = Vantrel::FrenchDateToHL7(I.DateNaissance);
  const std::string BirthTime = Birth.empty() ? NullFlavorElement("birthTime", "UNK")
                                              : Element("birthTime", "value=\"" + Birth + '"');

  return Element(
      "recordTarget", {},
      Element("patientRole", {},
              Ids + NullFlavorElement("addr", "NASK") + NullFlavorElement("telecom", "NASK") +
                  Element("patient", {},
                          Element("name", {}, Name) + Element("administrativeGenderCode", Gender) +
                              BirthTime)));
}

std::string TCDAInfo::xmlParticipants(std::string_view ServiceEventMarkup,
                                      std::string_view Performer) const {
  const TPorteur& P = Need(Porteur, "le porteur de carte");
  const TActivite& A = Need(Activite, "l'activité du porteur de carte");
  const std::string Time = HL7TimeElement("time", NowUTC, Vantrel::HL7TimeFromUTC);
  const std::string Person = PersonBlock(P);
  const std::string StructureName = Text("name", A.RaisonSociale);

  std::string Period = HL7TimeElement("low", StartDate, Vantrel::HL7TimeLocal);
  if (StopDate > 1) Period += HL7TimeElement("high", StopDate, Vantrel::HL7TimeLocal);

  std::string PerformerContent;
  if (!Performer.empty()) {
    PerformerContent =
        NullFlavorElement("id", "UNK") +
        Element("assignedPerson", {}, Element("name", {}, Text("family", Performer))) +
        Element("representedOrganization", {},
                Element("standardIndustryClassCode",
                        R"(code="AMBULATOIRE" codeSystem="1.2.250.1.213.1.1.4.9" displayName="Ambulatoire")"));
  } else {
    PerformerContent =
        HolderId(P) + Person +
        Element("representedOrganization", {},
                IdElement("GIP-CPS", A.IdNational, StructureIdRoot) + StructureName +
                    Element("standardIndustryClassCode", Vantrel::CodeAttrs(Practice)));
  }

  std::string S =
      Element("author", {},
              Time + Element("assignedAuthor", {},
                             HolderId(P) + AuthorCode(P, A) + Person +
                                 Element("representedOrganization", {},
                                         IdElement({}, A.IdNational, StructureIdRoot) +
                                             StructureName)));
  S += Element("custodian", {},
               Element("assignedCustodian", {},
                       Element("representedCustodianOrganization", {},
                               IdElement("GIP-CPS", A.IdNational, StructureIdRoot) + StructureName)));
  S += Element("legalAuthenticator", {},
               Time + Element("signatureCode", "code=\"S\"") +
                   Element("assignedEntity", {}, HolderId(P) + Person));
  S += xmlMedecinTraitant(NowUTC);
  S += Element("documentationOf", {},
               Element("serviceEvent", {},
                       std::string(ServiceEventMarkup) + Element("effectiveTime", {}, Period) +
                           Element("performer", "typeCode=\"PRF\"",
                                   Element("assignedEntity", {}, PerformerContent))));
  if (!ReplaceUniqueId.empty())
    S += Element("relatedDocument", "typeCode=\"RPLC\"",
                 Element("parentDocument", {}, IdElement({}, {}, ReplaceUniqueId)));
  std::string Facility;
  AddOptAttr(Facility, "code", A.Entite.Code);
  AddAttr(Facility, "codeSystem", "1.2.250.1.71.4.2.4");
  AddAttr(Facility, "codeSystemName", "R02");
  AddOptAttr(Facility, "displayName", A.Entite.Nom);
  S += Element(
      "componentOf", {},
      Element("encompassingEncounter", {},
              Element("effectiveTime", {}, HL7TimeElement("low", NowUTC, Vantrel::HL7TimeFromUTC)) +
                  Element("location", {},
                          Element("healthCareFacility", {}, Element("code", Facility)))));
  return S;
}

std::string TCDAInfo::xmlMedecinTraitant(TDateTime Date) const {
  if (!MedecinTraitant) return {};
  const TMedecinTraitant& M = *MedecinTraitant;
  // An RPPS number of 11 digits becomes the 12-character national identifier.
  const std::string Id = M.RPPS.size() == 11 ? "8" + M.RPPS : M.RPPS;
  std::string Entity;
  if (Id.size() == 12) Entity += Element("id", Attrs({{"root", PersonIdRoot}, {"extension", Id}}));
  Entity += Vantrel::TelecomElement(M.Telephone);
  Entity += Vantrel::TelecomElement(M.EMail);
  Entity += Vantrel::TelecomElement(M.MSS);
  std::string Name;
  if (!M.Nom.empty()) Name += Text("family", M.Nom);
  if (!M.Prenom.empty()) Name += Text("given", M.Prenom);
  Entity += Element("associatedPerson", {}, Element("name", {}, Name));
  return Element(
      "participant", "typeCode=\"INF\"",
      Element("functionCode",
              R"(code="PCP" codeSystem="2.16.840.1.113883.5.88" displayName="Médecin Traitant")") +
          Element("time", {}, HL7TimeElement("low", Date, Vantrel::HL7Date)) +
          Element("associatedEntity", "classCode=\"PROV\"", Entity));
}

// ---- Documents ----

std::string BuildCDANonXMLBody(const TDOCInfo& DOC, const TCDAInfo& CDA) {
  std::string TextAttrs;
  AddOptAttr(TextAttrs, "mediaType", DOC.mediaType);
  AddAttr(TextAttrs, "representation", "B64");
  const std::string Head = OpenDocument() + DocumentHeader(DOC, CDA, TDocKind::File, {}) +
                           "<component><nonXMLBody><text " + TextAttrs + '>';
  constexpr std::string_view Tail = "</text></nonXMLBody></component></ClinicalDocument>";
  const size_t Size = DOC.Content ? DOC.ContentSize : 0;
  std::string S;
  S.reserve(Head.size() + Vantrel::Base64Length(Size) + Tail.size());
  S += Head;
  Vantrel::AppendBase64(S, DOC.Content, Size);
  S += Tail;
  return S;
}

std::string BuildCDASynthese(const TDOCInfo& DOC, const TCDAInfo& CDA,
                             std::string_view StructuredBodyMarkup) {
  return StructuredDocument(DOC, CDA, TDocKind::Synthese, StructuredBodyMarkup, {});
}

std::string BuildCDANoteVaccination(const TDOCInfo& DOC, const TCDAInfo& CDA,
                                    std::string_view StructuredBodyMarkup,
                                    std::string_view OtherVaccinator) {
  return StructuredDocument(DOC, CDA, TDocKind::NoteVaccination, StructuredBodyMarkup,
                            OtherVaccinator);
}

// ---- Display helpers ----

std::string RangText(int32_t Rang) {
  return Rang > 0 ? " - Rang : " + Vantrel::IntToUTF8(Rang) : std::string();
}

std::string RoleCodeAttributes(const TCodeLibelle& Role, std::string_view ExtraAttributesMarkup) {
  if (Role.Code.empty()) return {};
  std::string A;
  AddAttr(A, "code", Role.Code);
  AddAttr(A, "displayName", Role.Libelle);
  A += ExtraAttributesMarkup;
  return A;
}

std::string RoleDisplayName(const TCodeLibelle& Role) {
  return Role.Code.empty() ? std::string() : Role.Libelle;
}

std::string PorteurDisplayName(const TPorteur& Porteur) {
  std::string S = Porteur.Nom + ' ' + Porteur.Prenom;
  const size_t First = S.find_first_not_of(' ');
  S = First == std::string::npos ? std::string() : S.substr(First, S.find_last_not_of(' ') - First + 1);
  if (!Porteur.Profession.Nom.empty()) S += " - " + Porteur.Profession.Nom;
  if (!Porteur.Specialite.Nom.empty()) S += " - " + Porteur.Specialite.Nom;
  return S;
}

// ---- Vaccination note ----

namespace {

struct TVaccinationKind {
  std::string_view Code;
  std::string_view Label;
};

constexpr TVaccinationKind VaccinationKinds[] = {
    {"IMMUNIZ", "Vaccination sans autre précision"},
    {"INITIMMUNIZ", "Première vaccination"},
    {"BOOSTER", "Rappel de vaccin"},
};

TDateTime VaccinationDate(std::string_view Text) {
  TDateTime D = 0;
  try {
    D = ParseDateFR(Text);
  } catch (const std::invalid_argument&) {
    D = 0;  // a day or time that does not exist
  }
  if (D < 1) throw ECDAError("Note de vaccination : la date de vaccination est absente ou invalide");
  return D;
}

// The holder as the note names them: a blank, then given name and family name.
std::string NotePersonBlock(const TPorteur& P) {
  return Element("assignedPerson", {},
                 Element("name", {}, ' ' + Text("given", P.Prenom) + Text("family", P.Nom)));
}

std::string Cell(std::string_view Attrs, std::string_view Markup) {
  return Element("td", Attrs, Markup);
}

}  // namespace

std::string BuildNoteVaccinationBody(const TCDAInfo& CDA, const TNoteVaccination& Note,
                                     std::string_view EntryIdRoot) {
  const TPorteur& P = Need(CDA.Porteur, "le porteur de carte");
  const TActivite& A = Need(CDA.Activite, "l'activité du porteur de carte");
  if (Note.Vaccination < 0 || Note.Vaccination > 2)
    throw ECDAError("Note de vaccination : type d'administration inconnu");
  const TVaccinationKind& Kind = VaccinationKinds[Note.Vaccination];
  const TDateTime D = VaccinationDate(Note.Date);
  const std::string Person = NotePersonBlock(P);
  const std::string RowId = Vantrel::NewUUIDXmlId(), VaccineId = Vantrel::NewUUIDXmlId();

  const std::string Route =
      Note.Route.Code.empty()
          ? NullFlavorElement("routeCode", "UNK")
          : Element("routeCode",
                    RoleCodeAttributes(Note.Route, R"( codeSystem="2.16.840.1.113883.5.112" codeSystemName="routeOfAdministration")"));
  std::string Site = NullFlavorElement("approachSiteCode", "UNK");
  std::string SiteCellAttrs = "align=\"left\"";
  if (!Note.Site.Code.empty()) {
    const std::string SiteId = Vantrel::NewUUIDXmlId();
    Site = Element(
        "approachSiteCode",
        RoleCodeAttributes(Note.Site, R"( codeSystem="2.16.840.1.113883.5.1052" codeSystemName="HumanSubstanceAdministrationSite")"),
        Vantrel::ReferenceElement(SiteId, "originalText"));
    AddAttr(SiteCellAttrs, "ID", SiteId);
  }

  // D is the note's day taken as a UTC instant and shown in local time.
  const std::string Time = HL7TimeElement("time", D, Vantrel::HL7TimeFromUTC);
  const bool ByHolder = Note.Vaccinateur == VaccinateurMoiMeme;
  const std::string Vaccinator = ByHolder ? PorteurDisplayName(P) : Note.Vaccinateur;
  const std::string Performer = Element(
      "performer", "typeCode=\"PRF\"",
      Time + Element("assignedEntity", {},
                     ByHolder ? HolderId(P) + Person
                              : Element("id", R"(assigningAuthorityName="ASIP-CPS" root="1.2.250.1.71.4.2.1" nullFlavor="UNK")") +
                                    Element("assignedPerson", {}, Text("name", Vaccinator))));

  static constexpr std::string_view Headers[] = {
      "Date de l'acte", "Nom du vaccin", "Type d'administration",
      "Numéro de lot", "Voie d'administration", "Site d'administration",
      "Vaccinateur", "Vaccin ajouté ou modifié par", "Commentaire"};
  std::string HeaderCells;
  for (std::string_view Header : Headers)
    HeaderCells += Element("th", "align=\"center\"", XMLEscape(Header));
  std::string VaccineCellAttrs = "align=\"left\"";
  AddAttr(VaccineCellAttrs, "ID", VaccineId);
  const std::string_view Left = "align=\"left\"";
  const std::string Cells =
      Cell(Left, Vantrel::NarrativeDate(D)) + Cell(VaccineCellAttrs, XMLEscape(Note.Vaccin)) +
      Cell(Left, XMLEscape(std::string(Kind.Label) + RangText(Note.Rang))) +
      Cell(Left, XMLEscape(Note.Lot)) + Cell(Left, XMLEscape(RoleDisplayName(Note.Route))) +
      Cell(SiteCellAttrs, XMLEscape(RoleDisplayName(Note.Site))) +
      Cell(Left, XMLEscape(Vaccinator)) + Cell(Left, XMLEscape(PorteurDisplayName(P))) +
      Cell(Left, {});
  std::string RowAttrs;
  AddAttr(RowAttrs, "ID", RowId);
  const std::string Narrative = Element(
      "text", {},
      Element("list", {},
              Element("item", {}, Element("content", "styleCode=\"BoldItalics\"", XMLEscape(Note.Content)))) +
          Element("table", "border=\"1\"",
                  Element("thead", "align=\"center\"", Element("tr", {}, HeaderCells)) +
                      Element("tbody", "align=\"left\"", Element("tr", RowAttrs, Cells))));

  std::string KindAttrs;
  AddAttr(KindAttrs, "code", Kind.Code);
  AddAttr(KindAttrs, "displayName", Kind.Label);
  AddAttr(KindAttrs, "codeSystem", "2.16.840.1.113883.5.4");
  AddAttr(KindAttrs, "codeSystemName", "HL7:ActCode");
  const std::string Material =
      Element("code",
              RoleCodeAttributes(Note.CIS, R"( codeSystem="1.2.250.1.213.2.3.1" codeSystemName="CIS")"),
              Vantrel::ReferenceElement(VaccineId, "originalText") +
                  Element("translation", R"(codeSystem="1.2.250.1.213.2.3.2" codeSystemName="CIP")") +
                  Element("translation",
                          RoleCodeAttributes(Note.ATC, R"( codeSystem="2.16.840.1.113883.6.73" codeSystemName="ATC")"))) +
      Text("name", Note.Vaccin) + Text("lotNumberText", Note.Lot);
  const std::string Consumable = Element(
      "consumable", "typeCode=\"CSM\"",
      Element("manufacturedProduct", {},
              Templates({"2.16.840.1.113883.10.20.1.53", "1.3.6.1.4.1.19376.1.5.3.1.4.7.2",
                         "1.2.250.1.213.1.1.3.43"}) +
                  Element("manufacturedMaterial", {}, Material)));
  const std::string Author = Element(
      "author", R"(contextControlCode="OP" typeCode="AUT")",
      Time + Element("assignedAuthor", "classCode=\"ASSIGNED\"",
                     HolderId(P) + AuthorCode(P, A) + Person +
                         Element("representedOrganization", {},
                                 IdElement({}, A.IdNational, StructureIdRoot) +
                                     Text("name", A.RaisonSociale))));
  const std::string Rank = Element(
      "entryRelationship", "typeCode=\"SUBJ\"",
      Element("observation", R"(classCode="OBS" moodCode="EVN")",
              Templates({"2.16.840.1.113883.10.20.1.46", "1.2.250.1.213.1.1.3.82"}) +
                  Vantrel::LOINCCodeElement("30973-2", "Rang de la vaccination") +
                  Element("statusCode", "code=\"completed\"") +
                  Element("value", "xsi:type=\"INT\" value=\"" + Vantrel::IntToUTF8(Note.Rang) + '"')));
  std::string IdAttrs;
  AddAttr(IdAttrs, "root", EntryIdRoot);
  const std::string Entry = Element(
      "entry", {},
      Element("substanceAdministration", R"(classCode="SBADM" moodCode="EVN" negationInd="false")",
              Templates({"2.16.840.1.113883.10.20.1.24", "1.3.6.1.4.1.19376.1.5.3.1.4.12",
                         "1.2.250.1.213.1.1.3.45"}) +
                  Element("id", IdAttrs) + Element("code", KindAttrs) +
                  Vantrel::ReferenceElement(RowId, "text") +
                  Element("statusCode", "code=\"completed\"") +
                  HL7TimeElement("effectiveTime", D, Vantrel::HL7Date) + Route + Site + Consumable +
                  Performer + Author + Rank));

  return Element(
      "component", {},
      Element("section", {},
              Templates({"2.16.840.1.113883.10.20.1.6", "1.3.6.1.4.1.19376.1.5.3.1.3.23",
                         "1.2.250.1.213.1.1.2.147"}) +
                  Vantrel::LOINCCodeElement("11369-6", "Historique de vaccinations") +
                  Text("title", "Note de vaccination") + Narrative + Entry));
}

}  // namespace Talven
