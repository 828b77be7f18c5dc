#include "Vantrel.XML.XDSb.Synthese.h"

#include <array>
#include <initializer_list>
#include <stdexcept>

#include "Vantrel.SOAP.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.CDA.h"

namespace Vantrel {

namespace {

struct TCodeRow {
  std::string_view Code;
  std::string_view Label;
};

struct TProblemRow {
  std::string_view Label;
  std::string_view CodeAttrs;  // written as they stand
};

constexpr std::array<TProblemRow, 7> Problems = {{
    {"Conclusions", R"(code="CDA_014" codeSystem="1.2.250.1.213.1.1.4.2.286" displayName="Conclusions")"},
    {"Problème", R"(code="F-01000" codeSystem="1.2.250.1.213.2.12" displayName="Problème")"},
    {"Condition préexistante",
     R"(code="F-01050" codeSystem="1.2.250.1.213.2.12" displayName="Condition préexistante")"},
    {"Trouble fonctionnel",
     R"(code="F-01100" codeSystem="1.2.250.1.213.2.12" displayName="Trouble fonctionnel")"},
    {"Plainte", R"(code="F-01200" codeSystem="1.2.250.1.213.2.12" displayName="Plainte")"},
    {"Symptôme", R"(code="F-01250" codeSystem="1.2.250.1.213.2.12" displayName="Symptôme")"},
    {"Diagnostic", R"(code="G-1009" codeSystem="1.2.250.1.213.2.12" displayName="Diagnostic")"},
}};

// Indexed by type, then CodeAllergie - 1.
constexpr std::array<std::array<TCodeRow, 3>, 4> AllergyKinds = {{
    {{{"DALG", "Allergie médicamenteuse"},
      {"DNAINT", "Intolérance non allergique médicamenteuse"},
      {"DINT", "Intolérance médicamenteuse"}}},
    {{{"EALG", "Allergie à un agent environnemental (latex, pollen, etc.)"},
      {"ENAINT", "Intolérance non allergique à un agent environnemental (latex, pollen, etc.)"},
      {"EINT", "Intolérance à un agent environnemental (latex, pollen, etc.)"}}},
    {{{"FALG", "Allergie alimentaire"},
      {"FNAINT", "Intolérance non allergique alimentaire"},
      {"FINT", "Intolérance alimentaire"}}},
    {{{"ALG", "Allergie"}, {"NAINT", "Intolérance non allergique"}, {"OINT", "Intolérance"}}},
}};

// Code system OID and name of the responsible agent, by type.
constexpr std::array<TCodeRow, 4> AgentSystems = {{
    {"1.2.250.1.213.2.3.1", "CIS"},
    {"1.2.250.1.213.2.12", "SNOMED 3.5"},
    {"1.2.250.1.213.2.12", "SNOMED 3.5"},
    {"", ""},
}};

constexpr std::array<TCodeRow, 12> Relations = {{
    {"FTH", "Père"}, {"MTH", "Mère"}, {"GRFTH", "Grand-père"}, {"GRMTH", "Grand-mère"},
    {"GGRFTH", "Arrière-grand-père"}, {"GGRMTH", "Arrière-grand-mère"}, {"BRO", "Frère"},
    {"SIS", "Soeur"}, {"SON", "Fils"}, {"DAU", "Fille"}, {"UNCLE", "Oncle"}, {"AUNT", "Tante"},
}};

constexpr std::array<TCodeRow, 5> Sedentarities = {{
    {"", "Non renseigné"},
    {"GEN-201", "Pas d'activité"},
    {"GEN-202", "Peu d'activité"},
    {"GEN-203", "Activité régulière"},
    {"GEN-184", "Activité sportive régulière"},
}};

// UCUM unit of the period and its French word.
constexpr std::array<TCodeRow, 4> Periods = {{{"", ""}, {"d", "jour"}, {"wk", "semaine"}, {"a", "an"}}};

// The row of an enumeration value; values read from outside may lie past the table.
template <class T, size_t N, class E>
const T& Row(const std::array<T, N>& Table, E Value, std::string_view What) {
  const auto Index = static_cast<size_t>(Value);
  if (Index >= N)
    throw std::invalid_argument("Synthèse médicale : valeur inconnue pour " + std::string(What) +
                                " (" + std::to_string(Index) + ")");
  return Table[Index];
}

constexpr std::string_view TA_ASIP = "1.2.250.1.213.1.1.4.322";
constexpr std::string_view CIM10System = "2.16.840.1.113883.6.3";
constexpr std::string_view IntoleranceSystem = "2.16.840.1.113883.5.4";

std::string Templates(std::initializer_list<std::string_view> OIDs) {
  std::string S;
  for (std::string_view OID : OIDs) S += TemplateIdElement(OID);
  return S;
}

std::string Element(std::string_view Name, std::string_view Attrs, std::string_view Content = {}) {
  return XMLElement(Name, Attrs, Content);
}

std::string Section(std::string_view TemplatesMarkup, std::string_view IdMarkup,
                    std::string_view CodeMarkup, std::string_view Title,
                    std::string_view BodyMarkup) {
  std::string C(TemplatesMarkup);
  C += IdMarkup;
  C += CodeMarkup;
  C += Element("title", {}, XMLEscape(Title));
  C += BodyMarkup;
  return Element("component", {}, Element("section", {}, C));
}

std::string Section(std::string_view TemplatesMarkup, std::string_view CodeMarkup,
                    std::string_view Title, std::string_view BodyMarkup) {
  return Section(TemplatesMarkup, NullFlavorElement("id", "UNK"), CodeMarkup, Title, BodyMarkup);
}

std::string Content(std::string_view Id, std::string_view Text) {
  std::string A;
  AddAttr(A, "ID", Id);
  return Element("content", A, XMLEscape(Text));
}

std::string FreeText(std::string_view Id, std::string_view Text) {
  return Element("text", {}, Content(Id, Text));
}

std::string Cell(std::string_view Markup) { return Element("td", {}, Markup); }

// text holding a borderless table with one header row, then the entries.
std::string CodedBody(std::initializer_list<std::string_view> Headers, std::string_view Rows,
                      std::string_view Entries) {
  std::string H;
  for (std::string_view Header : Headers) H += Element("th", {}, XMLEscape(Header));
  const std::string Table =
      Element("table", "border=\"0\"",
              Element("thead", {}, Element("tr", {}, H)) + Element("tbody", {}, Rows));
  return Element("text", {}, Table) + std::string(Entries);
}

std::string Index(std::string_view Prefix, size_t I) { return std::string(Prefix) + std::to_string(I); }

std::string Low(TDateTime Date) { return HL7TimeElement("low", Date, HL7Date); }

std::string StatusCode(std::string_view Code) { return Element("statusCode", "code=\"" + std::string(Code) + '"'); }

// <value xsi:type="CD" code codeSystem codeSystemName displayName> of an ICD-10 value.
std::string CIM10Value(const TSystemValue& V, std::string_view Content) {
  std::string A = "xsi:type=\"CD\"";
  AddOptAttr(A, "code", V.Code);
  AddAttr(A, "codeSystem", CIM10System);
  AddAttr(A, "codeSystemName", "CIM10");
  AddOptAttr(A, "displayName", V.Name);
  return Element("value", A, Content);
}

// ---- Problems ----

std::string ProblemsBody(const std::vector<TPathologieCIM10>& PA) {
  std::string Rows, Entries;
  for (size_t I = 0; I < PA.size(); ++I) {
    const TPathologieCIM10& P = PA[I];
    const std::string Id = Index("PA", I);
    const std::string_view Kind = Row(Problems, P.Problem, "le type de problème").CodeAttrs;
    Rows += Element("tr", {}, Cell(NarrativeDate(P.Date)) + Cell(Content(Id, P.CIM10.Name)));
    const std::string Observation = Element(
        "observation", R"(classCode="OBS" moodCode="EVN" negationInd="false")",
        Templates({"2.16.840.1.113883.10.20.1.28", "1.3.6.1.4.1.19376.1.5.3.1.4.5"}) +
            NewUUIDIdElement() + Element("code", Kind) + ReferenceElement(Id, "text") +
            StatusCode("completed") + Element("effectiveTime", {}, Low(P.Date)) +
            CIM10Value(P.CIM10, ReferenceElement(Id, "originalText")));
    Entries += Element(
        "entry", {},
        Element("act", R"(classCode="ACT" moodCode="EVN")",
                Templates({"2.16.840.1.113883.10.20.1.27", "1.3.6.1.4.1.19376.1.5.3.1.4.5.1",
                           "1.3.6.1.4.1.19376.1.5.3.1.4.5.2"}) +
                    NewUUIDIdElement() + NullFlavorElement("code", "NA") + StatusCode("active") +
                    Element("effectiveTime", {}, Low(P.Date)) +
                    Element("entryRelationship", R"(typeCode="SUBJ" inversionInd="false")",
                            Observation)));
  }
  return CodedBody({"Date", "Pathologie en cours"}, Rows, Entries);
}

// ---- Family history ----

std::string FamilyBody(const std::vector<TAntecedentFamilial>& AF) {
  std::string Rows, Entries;
  for (size_t I = 0; I < AF.size(); ++I) {
    const TAntecedentFamilial& F = AF[I];
    const std::string Id1 = Index("AF1_", I), Id2 = Index("AF2_", I);
    const TCodeRow& Relation = Row(Relations, F.Parent, "le lien familial");
    const std::string_view Kind = Row(Problems, F.Problem, "le type de problème").CodeAttrs;
    Rows += Element("tr", {}, Cell(Content(Id1, Relation.Label)) + Cell(Content(Id2, F.CIM10.Name)));
    const std::string Time = F.Date < 1 ? NullFlavorElement("effectiveTime", "UNK")
                                        : Element("effectiveTime", {}, Low(F.Date));
    std::string RelationAttrs;
    AddAttr(RelationAttrs, "code", Relation.Code);
    AddAttr(RelationAttrs, "displayName", Relation.Label);
    AddAttr(RelationAttrs, "codeSystem", "2.16.840.1.113883.5.111");
    AddAttr(RelationAttrs, "codeSystemName", "RoleCode");
    std::string ValueAttrs = "xsi:type=\"CD\"";
    AddOptAttr(ValueAttrs, "code", F.CIM10.Code);
    AddOptAttr(ValueAttrs, "displayName", F.CIM10.Name);
    AddAttr(ValueAttrs, "codeSystem", CIM10System);
    AddAttr(ValueAttrs, "codeSystemName", "CIM10");
    const std::string Subject = Element(
        "subject", "typeCode=\"SBJ\"",
        Templates({"1.3.6.1.4.1.19376.1.5.3.1.4.15.2", "1.2.250.1.213.1.1.3.60"}) +
            Element("relatedSubject", "classCode=\"PRS\"",
                    Element("code", RelationAttrs, ReferenceElement(Id1, "originalText"))));
    const std::string Observation = Element(
        "observation", R"(classCode="OBS" moodCode="EVN")",
        Templates({"2.16.840.1.113883.10.20.1.22", "1.3.6.1.4.1.19376.1.5.3.1.4.13",
                   "1.3.6.1.4.1.19376.1.5.3.1.4.13.3"}) +
            NullFlavorElement("id", "UNK") + Element("code", Kind) + ReferenceElement(Id2, "text") +
            StatusCode("completed") + Time +
            Element("value", ValueAttrs, ReferenceElement(Id2, "originalText")));
    Entries += Element(
        "entry", {},
        Element("organizer", R"(classCode="CLUSTER" moodCode="EVN")",
                Templates({"2.16.840.1.113883.10.20.1.23", "1.3.6.1.4.1.19376.1.5.3.1.4.15",
                           "1.2.250.1.213.1.1.3.59"}) +
                    StatusCode("completed") + Subject +
                    Element("component", "typeCode=\"COMP\"", Observation)));
  }
  return CodedBody({"Parent", "Antécédent"}, Rows, Entries);
}

// ---- Allergies ----

std::string AllergyKindAttrs(const TAllergie& A) {
  std::string Attrs;
  AddAttr(Attrs, "code", A.AllergieCode());
  AddAttr(Attrs, "displayName", A.AllergieName());
  AddAttr(Attrs, "codeSystem", IntoleranceSystem);
  return Attrs;
}

std::string NoAllergyBody(const TAllergie& A) {
  const std::string Observation = Element(
      "observation", R"(classCode="OBS" moodCode="EVN")",
      Templates({"2.16.840.1.113883.10.20.1.28", "1.3.6.1.4.1.19376.1.5.3.1.4.5",
                 "2.16.840.1.113883.10.20.1.18", "1.3.6.1.4.1.19376.1.5.3.1.4.6",
                 "1.2.250.1.213.1.1.3.41"}) +
          NullFlavorElement("id", "UNK") + Element("code", AllergyKindAttrs(A)) +
          ReferenceElement("NO-ALL", "text") + StatusCode("completed") +
          Element("effectiveTime", {}, NullFlavorElement("low", "UNK")) +
          Element("value",
                  R"(xsi:type="CD" code="02276797" displayName="Aucun" codeSystem="1.2.250.1.213.2.63" codeSystemName="Wolf")",
                  ReferenceElement("NO-ALL", "originalText")));
  // The text carries the identifier that the entry's references point at.
  return FreeText("NO-ALL", "Aucune allergie / intolérance identifée") +
         Element("entry", {},
                 Element("act", R"(classCode="ACT" moodCode="EVN")",
                         Templates({"2.16.840.1.113883.10.20.1.27", "1.3.6.1.4.1.19376.1.5.3.1.4.5.1",
                                    "1.3.6.1.4.1.19376.1.5.3.1.4.5.3", "1.2.250.1.213.1.1.3.40"}) +
                             NullFlavorElement("id", "UNK") + NullFlavorElement("code", "NA") +
                             StatusCode("completed") +
                             Element("effectiveTime", {},
                                     NullFlavorElement("low", "NA") + NullFlavorElement("high", "NA")) +
                             Element("entryRelationship", R"(typeCode="SUBJ" inversionInd="false")",
                                     Observation)));
}

std::string AllergiesBody(const std::vector<TAllergie>& AL) {
  if (AL.size() == 1 && AL[0].TypeAllergie == TTypeAllergie::Aucune) return NoAllergyBody(AL[0]);
  std::string Rows, Entries;
  for (size_t I = 0; I < AL.size(); ++I) {
    const TAllergie& A = AL[I];
    const std::string Id1 = Index("AL1_", I), Id2 = Index("AL2_", I), Id3 = Index("AL3_", I),
                      Id4 = Index("AL4_", I);
    const TCodeRow& Agent = Row(AgentSystems, A.TypeAllergie, "le type d'allergie");
    Rows += Element("tr", {},
                    Cell(NarrativeDate(A.Date)) + Cell(Content(Id1, A.AllergieName())) +
                        Cell(Content(Id2, A.Value.Name)) + Cell(Content(Id3, A.CIM10.Name)) +
                        Cell(Content(Id4, A.Status.Name)));
    std::string AgentAttrs;
    AddOptAttr(AgentAttrs, "code", A.Value.Code);
    AddOptAttr(AgentAttrs, "displayName", A.Value.Name);
    AddOptAttr(AgentAttrs, "codeSystem", Agent.Code);
    AddOptAttr(AgentAttrs, "codeSystemName", Agent.Label);
    const std::string Participant = Element(
        "participant", "typeCode=\"CSM\"",
        Element("participantRole", "classCode=\"MANU\"",
                Element("playingEntity", "classCode=\"MMAT\"",
                        Element("code", AgentAttrs, ReferenceElement(Id2, "originalText")))));
    std::string Status;
    if (!A.Status.Code.empty()) {
      std::string StatusAttrs = "xsi:type=\"CE\"";
      AddAttr(StatusAttrs, "code", A.Status.Code);
      AddAttr(StatusAttrs, "codeSystem", "1.2.250.1.213.2.12");
      AddAttr(StatusAttrs, "codeSystemName", "SNOMED 3.5");
      AddOptAttr(StatusAttrs, "displayName", A.Status.Name);
      Status = Element(
          "entryRelationship", R"(typeCode="REFR" inversionInd="false")",
          Element("observation", R"(classCode="OBS" moodCode="EVN" negationInd="false")",
                  Templates({"2.16.840.1.113883.10.20.1.57", "2.16.840.1.113883.10.20.1.50",
                             "1.3.6.1.4.1.19376.1.5.3.1.4.1.1"}) +
                      LOINCCodeElement("33999-4", "Status") + ReferenceElement(Id4, "text") +
                      StatusCode("completed") + Element("value", StatusAttrs)));
    }
    std::string ManifestationAttrs = "xsi:type=\"CD\"";
    AddOptAttr(ManifestationAttrs, "code", A.CIM10.Code);
    AddAttr(ManifestationAttrs, "codeSystem", CIM10System);
    AddAttr(ManifestationAttrs, "codeSystemName", "CIM10");
    AddOptAttr(ManifestationAttrs, "displayName", A.CIM10.Name);
    const std::string Observation = Element(
        "observation", R"(classCode="OBS" moodCode="EVN" negationInd="false")",
        Templates({"2.16.840.1.113883.10.20.1.18", "2.16.840.1.113883.10.20.1.28",
                   "1.3.6.1.4.1.19376.1.5.3.1.4.5", "1.3.6.1.4.1.19376.1.5.3.1.4.6"}) +
            NewUUIDIdElement() + Element("code", AllergyKindAttrs(A)) +
            ReferenceElement(Id1, "text") + StatusCode("completed") +
            Element("effectiveTime", {}, Low(A.Date)) +
            Element("value", ManifestationAttrs, ReferenceElement(Id3, "originalText")) +
            Participant + Status);
    Entries += Element(
        "entry", {},
        Element("act", R"(classCode="ACT" moodCode="EVN")",
                Templates({"2.16.840.1.113883.10.20.1.27", "1.3.6.1.4.1.19376.1.5.3.1.4.5.1",
                           "1.3.6.1.4.1.19376.1.5.3.1.4.5.3"}) +
                    NullFlavorElement("id", "UNK") + NullFlavorElement("code", "NA") +
                    StatusCode("active") +
                    Element("effectiveTime", {}, NullFlavorElement("low", "UNK")) +
                    Element("entryRelationship", R"(typeCode="SUBJ" inversionInd="false")",
                            Observation)));
  }
  return CodedBody({"Date", "Type d'allergie", "Agent responsable", "Manifestation", "Statut"}, Rows,
                   Entries);
}

// ---- Way of life ----

// The "other social element" code qualified by a TA_ASIP concept, with its reference.
std::string SocialElementCode(std::string_view Code, std::string_view DisplayName,
                              std::string_view Reference) {
  std::string NameAttrs;
  AddAttr(NameAttrs, "code", Code);
  AddAttr(NameAttrs, "displayName", DisplayName);
  AddAttr(NameAttrs, "codeSystem", TA_ASIP);
  AddAttr(NameAttrs, "codeSystemName", "TA_ASIP");
  return LOINCCodeElement("11345-6", "Autre élément social",
                          Element("qualifier", {}, Element("name", NameAttrs))) +
         ReferenceElement(Reference, "text");
}

std::string Quantity(int32_t Value, std::string_view Unit) {
  std::string A = "xsi:type=\"PQ\"";
  AddAttr(A, "value", IntToUTF8(Value));
  AddAttr(A, "unit", Unit);
  return Element("value", A);
}

std::string WayOfLifeBody(const TModeDeVie& MV, std::string_view FM) {
  std::string Rows, Entries;
  if (MV.Exercice > 0) {
    const std::string N = IntToUTF8(MV.Exercice);
    Rows += NarrativeRow("activite-sportive", "Activité sportive", N + " fois par semaine");
    Entries += SocialObservationEntry(LOINCCodeElement("73985-4", "Exercice physique") +
                                          ReferenceElement("activite-sportive", "text"),
                                      Quantity(MV.Exercice, "{times}/wk"));
  }
  const TCodeRow& Sedentarity = Row(Sedentarities, MV.Sedentarite, "la sédentarité");
  if (MV.Sedentarite != TSedentarite::seNonRenseigne) {
    Rows += NarrativeRow("sedentarite", "Sédentarité", XMLEscape(Sedentarity.Label));
    std::string A = "xsi:type=\"CD\"";
    AddAttr(A, "code", Sedentarity.Code);
    AddAttr(A, "displayName", Sedentarity.Label);
    AddAttr(A, "codeSystem", TA_ASIP);
    AddAttr(A, "codeSystemName", "TA_ASIP");
    Entries += SocialObservationEntry(SocialElementCode("GEN-208", "Sédentarité", "sedentarite"),
                                      Element("value", A));
  }
  const TCodeRow& Tobacco = Row(Periods, MV.Tabac.Period, "la période de consommation de tabac");
  if (MV.Tabac.Period != TConsoPeriod::None) {
    // The reader sees words; the coded value carries the UCUM unit.
    const std::string Unit = "{pack}/" + std::string(Tobacco.Code);
    Rows += NarrativeRow("tabac", "Tabac",
                         IntToUTF8(MV.Tabac.Value) + " paquets par " + std::string(Tobacco.Label));
    Entries += SocialObservationEntry(
        LOINCCodeElement("74011-8", "Consommation tabagique") + ReferenceElement("tabac", "text"),
        Quantity(MV.Tabac.Value, Unit));
  }
  const TCodeRow& Alcohol = Row(Periods, MV.Alcool.Period, "la période de consommation d'alcool");
  if (MV.Alcool.Period != TConsoPeriod::None) {
    Rows += NarrativeRow("alcool", "Alcool",
                         IntToUTF8(MV.Alcool.Value) + " verres par " + std::string(Alcohol.Label));
    Entries += SocialObservationEntry(
        LOINCCodeElement("74013-4", "Consommation d'alcool") + ReferenceElement("alcool", "text"),
        Quantity(MV.Alcool.Value, "{drink}/" + std::string(Alcohol.Code)));
  }
  if (!FM.empty()) {
    Rows += NarrativeRow("fait-marquant", "Fait(s) marquant(s)", XMLEscape(FM));
    Entries += SocialObservationEntry(
        SocialElementCode("GEN-231", "Fait(s) marquant(s)", "fait-marquant"),
        Element("value", "xsi:type=\"CD\"", ReferenceElement("fait-marquant", "originalText")));
  }
  if (Rows.empty()) return {};
  return CodedBody({"Type", "Description"}, Rows, Entries);
}

// Sub-sections, or an empty text when there is none.
std::string SubSections(const std::string& Components) {
  return Components.empty() ? Element("text", {}) : Components;
}

}  // namespace

std::string TSystemValue::Caption() const {
  if (Code.empty()) return Name;
  return Name + " (" + Code + ")";
}

int TAllergie::CodeAllergie() const { return (Intolerance ? 2 : 0) + (Allergie ? 1 : 0); }

std::string_view TAllergie::AllergieCode() const {
  const int Column = CodeAllergie() == 0 ? 2 : CodeAllergie() - 1;
  return Row(AllergyKinds, TypeAllergie, "le type d'allergie")[size_t(Column)].Code;
}

std::string_view TAllergie::AllergieName() const {
  const int Column = CodeAllergie() == 0 ? 2 : CodeAllergie() - 1;
  return Row(AllergyKinds, TypeAllergie, "le type d'allergie")[size_t(Column)].Label;
}

std::string_view ProblemLabel(TProblem Problem) {
  const auto Index = static_cast<size_t>(Problem);
  return Index < Problems.size() ? Problems[Index].Label : std::string_view();
}

void FillProblemKinds(TProblemKindList& List) {
  List.clear();
  for (size_t I = 0; I < Problems.size(); ++I)
    List.push_back({std::string(Problems[I].Label), static_cast<TProblem>(I)});
}

int IndexOfProblemKind(const TProblemKindList& List, TProblem Kind) {
  for (size_t I = List.size(); I-- > 0;)
    if (List[I].Kind == Kind) return int(I);
  return -1;
}

TProblem ProblemKindAt(const TProblemKindList& List, int Index) {
  if (Index < 0 || size_t(Index) >= List.size()) return TProblem::Conclusion;
  return List[size_t(Index)].Kind;
}

std::string NarrativeRow(std::string_view Id, std::string_view Label, std::string_view ValueMarkup) {
  return Element("tr", {}, Cell(Content(Id, Label)) + Cell(ValueMarkup));
}

std::string SocialObservationEntry(std::string_view CodeMarkup, std::string_view ValueMarkup) {
  return Element(
      "entry", {},
      Element("observation", R"(classCode="OBS" moodCode="EVN")",
              Templates({"2.16.840.1.113883.10.20.1.33", "1.3.6.1.4.1.19376.1.5.3.1.4.13",
                         "1.3.6.1.4.1.19376.1.5.3.1.4.13.4", "1.2.250.1.213.1.1.3.52"}) +
                  NullFlavorElement("id", "UNK") + std::string(CodeMarkup) +
                  StatusCode("completed") +
                  Element("effectiveTime", {}, NullFlavorElement("low", "UNK")) +
                  std::string(ValueMarkup)));
}

std::string BuildSyntheseBody(const TVoletSyntheseMedicale& V) {
  std::string A1;
  if (!V.PA.empty())
    A1 += Section(Templates({"2.16.840.1.113883.10.20.1.11", "1.3.6.1.4.1.19376.1.5.3.1.3.6"}),
                  LOINCCodeElement("11450-4", "Liste des problèmes actifs"), "Pathologies actives",
                  ProblemsBody(V.PA));
  if (!V.AM.empty())
    A1 += Section(Templates({"1.2.250.1.213.1.1.2.2"}),
                  LOINCCodeElement("11348-0", "Historique des maladies"), "Antécédents médicaux",
                  FreeText("AM", V.AM));
  if (!V.AC.empty())
    A1 += Section(Templates({"2.16.840.1.113883.10.20.1.12", "1.3.6.1.4.1.19376.1.5.3.1.3.11",
                             "1.2.250.1.213.1.1.2.135"}),
                  LOINCCodeElement("47519-4", "Historique des interventions"),
                  "Antécédents chirurgicaux", FreeText("AC", V.AC));
  if (!V.AL.empty())
    A1 += Section(Templates({"2.16.840.1.113883.10.20.1.2", "1.3.6.1.4.1.19376.1.5.3.1.3.13"}),
                  NewUUIDIdElement(),
                  LOINCCodeElement("48765-2", "Allergies, réactions adverses, alertes"),
                  "Allergies, effet indésirables, alertes", AllergiesBody(V.AL));

  std::string A2;
  if (std::string Body = WayOfLifeBody(V.MV, V.FM); !Body.empty())
    A2 += Section(Templates({"2.16.840.1.113883.10.20.1.15", "1.3.6.1.4.1.19376.1.5.3.1.3.16",
                             "1.3.6.1.4.1.19376.1.5.3.1.3.16.1"}),
                  LOINCCodeElement("29762-2", "Habitus, Mode de vie"), "Mode de vie", Body);
  if (!V.RP.empty())
    A2 += Section(Templates({"1.3.6.1.4.1.19376.1.5.3.1.1.5.3.1"}),
                  LOINCCodeElement("10161-8", "Facteurs de risques professionnels"),
                  "Facteurs de risque professionnels", FreeText("RP", V.RP));
  if (!V.AF.empty())
    A2 += Section(Templates({"1.3.6.1.4.1.19376.1.5.3.1.3.14", "1.3.6.1.4.1.19376.1.5.3.1.3.15"}),
                  LOINCCodeElement("10157-6", "Historique des pathologies familiales"),
                  "Antécédents familiaux", FamilyBody(V.AF));

  const std::string SectionA1 =
      Section(Templates({"1.2.250.1.213.1.1.2.30"}),
              LOINCCodeElement("34117-2", "Historique et physique"),
              "Pathologie en cours, antécédents et allergies", SubSections(A1));
  const std::string SectionA2 = Section(
      Templates({"1.2.250.1.213.1.1.2.31"}),
      Element("code", R"(code="57207-3" codeSystem="2.16.840.1.113883.6.1" codeSystemName="LOINC")"),
      "Facteurs de risques", SubSections(A2));
  return Section(Templates({"1.2.250.1.213.1.1.2.29"}),
                 LOINCCodeElement("46612-8", "Conclusions de synthèse"),
                 "Pathologie en cours, antécédents, allergies et facteurs de risque",
                 SectionA1 + SectionA2) +
         Section(Templates({"1.3.6.1.4.1.19376.1.5.3.1.3.27"}),
                 LOINCCodeElement("30954-2", "Résultats d'examens"), "Points de vigilance",
                 FreeText("PV", V.Resume)) +
         Section(Templates({"1.2.250.1.213.1.1.2.32"}),
                 LOINCCodeElement("18776-5", "Plan de traitement"), "Traitements au long cours",
                 FreeText("TL", V.TTT));
}

}  // namespace Vantrel
