// The medical summary ("volet de synthèse médicale") as the summary editors
// fill it, its coded tables, and the structured body of its HL7 CDA R2
// document (the sections of the French medical-summary content profile,
// built on IHE PCC and CCD templates).
//
// Every text of the record (coding-service names, free texts, codes) is
// plain text and is escaped where it is inserted. Enumeration values read
// from outside that fall outside their table are refused with
// std::invalid_argument (a French message); nothing is written for them.
// Narrative identifiers are unique in a body and every narrative reference
// of an entry points at one of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.DateTime.h"

namespace Vantrel {

enum class TProblem : uint8_t {
  Conclusion, Probleme, CoditionPreexistante, TroubleFonctionnel, Plainte, Symptome, Diagnostic
};
enum class TLienFamilial : uint8_t {
  lfPere, lfMere, lfGrandPere, lfGrandMere, lfArriereGrandPere, lfArriereGrandMere,
  lfFrere, lfSoeur, lfFils, lfFille, lfOncle, lfTante
};
enum class TTypeAllergie : uint8_t { Medicament, Environnement, Aliment, Aucune };
enum class TSedentarite : uint8_t {
  seNonRenseigne, sePasActif, sePeuActif, seAcitiviteReguliere, seSportReugulier
};
enum class TConsoPeriod : uint8_t { None, PerDay, PerWeek, PerYear };
enum class TToxiques : uint8_t { toSilice, toAmiante, toSolvants, toPresticides };
enum class TDrogue : uint8_t { dpNonRenseigne, dpNonDependant, dpFaible, dpMoyenne, dpForte };
enum class TSocial : uint8_t { soNonRenseigne, soIsolement, soSDF, soRevenusInsuffisants };
enum class TRisquePro : uint8_t {
  rpNonRenseigne, rpSante, rpMedicoSocial, rpArmee, rpEducation, rpJustice, rpNature,
  rpEnvironnement, rpCommerce, rpCrocMort, rpTourisme
};

// A coded value of ICD-10, SNOMED or the drug database.
struct TSystemValue {
  std::string Code;
  std::string Name;
  // Name + " (" + Code + ")", or Name alone when Code is empty.
  std::string Caption() const;
};

struct TPathologieCIM10 {
  TDateTime Date = 0;
  TProblem Problem = TProblem::Conclusion;
  TSystemValue CIM10;
};

struct TAntecedentFamilial {
  TDateTime Date = 0;
  TProblem Problem = TProblem::Conclusion;
  TLienFamilial Parent = TLienFamilial::lfPere;
  TSystemValue CIM10;
};

struct TAllergie {
  TTypeAllergie TypeAllergie = TTypeAllergie::Medicament;
  bool Intolerance = false;
  bool Allergie = false;
  TDateTime Date = 0;
  TSystemValue CIM10;   // the manifestation
  TSystemValue Status;
  TSystemValue Value;   // the responsible agent
  // 2 when Intolerance is set, plus 1 when Allergie is set (0 to 3).
  int CodeAllergie() const;
  // The allergy kind (HL7 ObservationIntoleranceType) of the type and
  // CodeAllergie. CodeAllergie 0 (neither flag) gives the type's parent
  // concept, the same row as 3, which covers both allergy and intolerance.
  std::string_view AllergieCode() const;
  std::string_view AllergieName() const;
};

struct TConsommation {
  int32_t Value = 0;
  TConsoPeriod Period = TConsoPeriod::None;
};

struct TModeDeVie {
  int32_t Exercice = 0;  // sessions per week
  TSedentarite Sedentarite = TSedentarite::seNonRenseigne;
  uint8_t Toxiques = 0;  // bit 1 << TToxiques; kept for the editors, not written
  TRisquePro RisquePro = TRisquePro::rpNonRenseigne;
  TConsommation Alcool;
  TDrogue Drogue = TDrogue::dpNonRenseigne;
  TSocial Social = TSocial::soNonRenseigne;
  TConsommation Tabac;
};

struct TVoletSyntheseMedicale {
  std::vector<TPathologieCIM10> PA;  // current problems
  std::string AM;                    // medical history
  std::string AC;                    // surgical history
  std::vector<TAllergie> AL;
  TModeDeVie MV;
  std::string FM;  // notable facts
  std::string RP;  // occupational risks
  std::vector<TAntecedentFamilial> AF;
  std::string Resume;  // points of vigilance
  std::string TTT;     // long-term treatments
};

// The structured-body content: three component elements (summary of
// problems and risk factors, points of vigilance, long-term treatments).
// std::invalid_argument for an enumeration value outside its table.
std::string BuildSyntheseBody(const TVoletSyntheseMedicale& Volet);

// ---- Editor lists ----

// The label shown for a problem kind ("Conclusions", "Problème", ...);
// "" for a value outside the table.
std::string_view ProblemLabel(TProblem Problem);

struct TProblemKindItem {
  std::string Label;
  TProblem Kind = TProblem::Conclusion;
};
using TProblemKindList = std::vector<TProblemKindItem>;

// Cleared, then the seven labels in order, each with its kind.
void FillProblemKinds(TProblemKindList& List);
// The last item holding Kind (searched from the end); -1 when none.
int IndexOfProblemKind(const TProblemKindList& List, TProblem Kind);
// The kind of item Index; Conclusion for a negative index or one past the end.
TProblem ProblemKindAt(const TProblemKindList& List, int Index);

// ---- Narrative and entry pieces ----

// <tr><td><content ID="Id">Label</content></td><td>ValueMarkup</td></tr>;
// Id and Label are escaped, ValueMarkup is inserted as given.
std::string NarrativeRow(std::string_view Id, std::string_view Label, std::string_view ValueMarkup);
// A social-history observation entry (CCD, IHE PCC) around the code with its
// narrative reference and the value element, both markup.
std::string SocialObservationEntry(std::string_view CodeMarkup, std::string_view ValueMarkup);

}  // namespace Vantrel
