// Shape of the CDA documents: header choices, missing dates, the summary's
// coded tables and the vaccination note's variants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.CDA.samples.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.Synthese.h"

namespace {

using namespace Talven;
using namespace CDASamples;
using namespace Vantrel;

bool Has(const std::string& Text, std::string_view Part) { return Text.find(Part) != std::string::npos; }

std::string FileDocument(const TSample& S) { return BuildCDANonXMLBody(S.Doc, S.Info); }

class ParisZone : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* Old = getenv("TZ")) FOld = Old;
    setenv("TZ", "Europe/Paris", 1);
    tzset();
  }
  void TearDown() override {
    if (FOld.empty()) unsetenv("TZ");
    else setenv("TZ", FOld.c_str(), 1);
    tzset();
  }
  std::string FOld;
};

// ---- Header ----

TEST(CDAHeader, record_target_names_the_ins_first_else_the_ins_c) {
  TSample S(false);
  EXPECT_TRUE(Has(S.Info.xmlRecordTarget(),
                  R"(<id extension="1840575123456" root="1.2.250.1.213.1.4.8"/><id extension="P-1234" root="2.25.)"));
  S.Patient.INSi = {};
  EXPECT_TRUE(Has(S.Info.xmlRecordTarget(),
                  R"(<id extension="0123456789012345678901" root="1.2.250.1.213.1.4.2"/><id extension="P-1234")"));
}

TEST(CDAHeader, patient_name_writes_only_the_parts_present) {
  TSample S(false);
  EXPECT_TRUE(Has(S.Info.xmlRecordTarget(),
                  R"(<name><prefix>Mme</prefix><family qualifier="BR">DURAND</family><family qualifier="CL">MARTIN</family><given>Zoé</given></name>)"));
  S.Patient.Identite.NomUsage.clear();
  S.Patient.Identite.Civilite = 4;
  S.Patient.Identite.DateNaissance = "1984-05-07";
  const std::string R = S.Info.xmlRecordTarget();
  EXPECT_TRUE(Has(R, R"(<name><family qualifier="BR">DURAND</family><given>Zoé</given></name>)"));
  EXPECT_TRUE(Has(R, R"(<birthTime nullFlavor="UNK"/>)"));
}

TEST(CDAHeader, root_children_follow_the_cda_order_and_replacement_sits_before_the_encounter) {
  TSample S(false);
  S.Info.ReplaceUniqueId = "1.2.3.4";
  TXMLTree Tree;
  Tree.Build(FileDocument(S));
  std::vector<std::string> Names;
  for (const TXMLNode& N : Tree.Root().Children())
    if (!N.IsText()) Names.push_back(std::string(N.Name.View()));
  const std::vector<std::string> Expected = {
      "realmCode", "typeId", "templateId", "templateId", "templateId", "id", "code", "title",
      "effectiveTime", "confidentialityCode", "languageCode", "versionNumber", "recordTarget",
      "author", "custodian", "legalAuthenticator", "participant", "documentationOf",
      "relatedDocument", "componentOf", "component"};
  EXPECT_EQ(Names, Expected);
  S.Info.ReplaceUniqueId.clear();
  EXPECT_FALSE(Has(FileDocument(S), "relatedDocument"));
}

TEST(CDAHeader, version_number_is_at_least_one) {
  TSample S(false);
  for (const auto& [Version, Text] : {std::pair{0, R"(<versionNumber value="1"/>)"},
                                      std::pair{-2, R"(<versionNumber value="1"/>)"},
                                      std::pair{3, R"(<versionNumber value="3"/>)"}}) {
    S.Info.Version = Version;
    EXPECT_TRUE(Has(FileDocument(S), Text)) << Version;
  }
}

TEST_F(ParisZone, service_period_has_a_high_bound_only_with_a_stop_date) {
  TSample S(false);
  EXPECT_TRUE(Has(FileDocument(S),
                  R"(<effectiveTime><low value="20250201000000+0100"/><high value="20250203000000+0100"/></effectiveTime>)"));
  S.Info.StopDate = 0;
  EXPECT_TRUE(Has(FileDocument(S), R"(<effectiveTime><low value="20250201000000+0100"/></effectiveTime><performer)"));
}

TEST(CDAHeader, missing_dates_are_written_unknown_never_as_1899) {
  TSample S(false);
  S.Info.CreateDate = S.Info.StartDate = S.Info.StopDate = S.Info.NowUTC = 0;
  const std::string D = FileDocument(S);
  EXPECT_FALSE(Has(D, "1899"));
  EXPECT_TRUE(Has(D, R"(<effectiveTime nullFlavor="UNK"/><confidentialityCode)"));
  EXPECT_TRUE(Has(D, R"(<effectiveTime><low nullFlavor="UNK"/></effectiveTime><performer)"));
  EXPECT_TRUE(Has(D, R"(<author><time nullFlavor="UNK"/>)"));
}

TEST(CDAHeader, treating_doctor_identifier_needs_twelve_characters) {
  struct {
    const char* RPPS;
    const char* Id;  // "" when no id is written
  } Cases[] = {{"10003456789", "810003456789"}, {"810003456789", "810003456789"},
               {"1000345678", ""}, {"8100034567890", ""}, {"", ""}};
  for (const auto& C : Cases) {
    TSample S(false);
    S.Medecin.RPPS = C.RPPS;
    const std::string P = S.Info.xmlMedecinTraitant(Date(2025, 2, 3));
    SCOPED_TRACE(C.RPPS);
    EXPECT_TRUE(Has(P, R"(<participant typeCode="INF"><functionCode code="PCP")"));
    EXPECT_TRUE(Has(P, R"(<time><low value="20250203"/></time>)"));
    EXPECT_EQ(Has(P, "<id "), *C.Id != 0);
    if (*C.Id) {
      EXPECT_TRUE(Has(P, std::string(R"(<id root="1.2.250.1.71.4.2.1" extension=")") + C.Id + "\"/>"));
    }
    EXPECT_TRUE(Has(P, "<name><family>TRAITANT</family><given>Anne</given></name>"));
  }
  TSample S(false);
  S.Info.MedecinTraitant = nullptr;
  EXPECT_EQ(S.Info.xmlMedecinTraitant(1), "");
}

TEST(CDAHeader, author_code_prefers_entite_then_pharmacist_then_profession_of_type_2) {
  TSample S(false);
  S.Porteur.Profession.Code = "10";
  EXPECT_TRUE(Has(FileDocument(S), R"(<code code="G15_10/SM26" codeSystem="1.2.250.1.213.1.1.4.5")"));
  S.Porteur.Entite = {};
  S.Activite.Pharmacien = {"G", "Pharmacien section G", "1.2.250.1.213.1.1.4.9"};
  EXPECT_TRUE(Has(FileDocument(S), R"(<code code="G" codeSystem="1.2.250.1.213.1.1.4.9")"));
  S.Activite.Pharmacien = {};
  S.Porteur.TypeCarte = 2;
  EXPECT_TRUE(Has(FileDocument(S), R"(<code code="10" codeSystem="1.2.250.1.71.1.2.7" displayName="Médecin"/>)"));
  S.Porteur.TypeCarte = 0;
  EXPECT_TRUE(Has(FileDocument(S), R"(<assignedAuthor><id assigningAuthorityName="ASIP-CPS" extension="810001234567" root="1.2.250.1.71.4.2.1"/><assignedPerson>)"));
}

TEST(CDAHeader, missing_records_are_refused) {
  for (int Missing = 0; Missing < 3; ++Missing) {
    TSample S(false);
    if (Missing == 0) S.Info.Patient = nullptr;
    if (Missing == 1) S.Info.Porteur = nullptr;
    if (Missing == 2) S.Info.Activite = nullptr;
    EXPECT_THROW(FileDocument(S), ECDAError) << Missing;
  }
}

TEST(CDAHeader, title_and_header_names_are_escaped) {
  TSample S(false);
  S.Info.DocTitle = "a<b & \"c\"";
  S.Porteur.Nom = "O'Neil <&>";
  const std::string D = FileDocument(S);
  EXPECT_TRUE(Has(D, "<title>a&lt;b &amp; &quot;c&quot;</title>"));
  EXPECT_TRUE(Has(D, "<family>O'Neil &lt;&amp;&gt;</family>"));
  EXPECT_FALSE(Has(D, "<&>"));
}

TEST(CDAHeader, display_helpers) {
  TPorteur P;
  P.Nom = "  ";
  P.Prenom = "Jean ";
  EXPECT_EQ(PorteurDisplayName(P), "Jean");
  P.Nom = "DOC";
  P.Profession.Nom = "Médecin";
  EXPECT_EQ(PorteurDisplayName(P), "DOC Jean - Médecin");
  P.Specialite.Nom = "Pédiatrie";
  EXPECT_EQ(PorteurDisplayName(P), "DOC Jean - Médecin - Pédiatrie");
  EXPECT_EQ(RangText(0), "");
  EXPECT_EQ(RangText(3), " - Rang : 3");
  EXPECT_EQ(RoleCodeAttributes({"", "x"}, " a=\"1\""), "");
  EXPECT_EQ(RoleCodeAttributes({"C&", "L\""}, " a=\"1\""), R"(code="C&amp;" displayName="L&quot;" a="1")");
  EXPECT_EQ(RoleDisplayName({"", "x"}), "");
  EXPECT_EQ(RoleDisplayName({"c", "x"}), "x");
}

// ---- Medical summary ----

TEST(CDASynthese, empty_summary_has_empty_sub_sections_and_empty_free_texts) {
  const std::string B = BuildSyntheseBody({});
  EXPECT_TRUE(Has(B, "<title>Pathologie en cours, antécédents et allergies</title><text/>"));
  EXPECT_TRUE(Has(B, "<title>Facteurs de risques</title><text/>"));
  EXPECT_TRUE(Has(B, R"(<text><content ID="PV"/></text>)"));
  EXPECT_TRUE(Has(B, R"(<text><content ID="TL"/></text>)"));
  EXPECT_FALSE(Has(B, "<entry>"));
}

TEST(CDASynthese, a_single_aucune_allergy_is_the_no_allergy_statement) {
  TVoletSyntheseMedicale V;
  V.AL = {{TTypeAllergie::Aucune, false, true, 0, {}, {}, {}}};
  std::string B = BuildSyntheseBody(V);
  EXPECT_TRUE(Has(B, R"(<text><content ID="NO-ALL">Aucune allergie / intolérance identifée</content></text>)"));
  EXPECT_TRUE(Has(B, R"(code="02276797" displayName="Aucun")"));
  EXPECT_TRUE(Has(B, R"(<code code="ALG" displayName="Allergie" codeSystem="2.16.840.1.113883.5.4"/>)"));
  V.AL.push_back({TTypeAllergie::Medicament, false, true, 0, {}, {}, {"1", "X"}});
  B = BuildSyntheseBody(V);
  EXPECT_FALSE(Has(B, "NO-ALL"));
  EXPECT_TRUE(Has(B, R"(<content ID="AL1_0">Allergie</content>)"));
  EXPECT_TRUE(Has(B, R"(<content ID="AL1_1">Allergie médicamenteuse</content>)"));
}

TEST(CDASynthese, allergy_kind_follows_type_and_flags_with_the_parent_concept_for_neither) {
  struct {
    TTypeAllergie Type;
    bool Intolerance, Allergie;
    std::string_view Code;
  } Cases[] = {
      {TTypeAllergie::Medicament, false, true, "DALG"}, {TTypeAllergie::Medicament, true, false, "DNAINT"},
      {TTypeAllergie::Medicament, true, true, "DINT"},  {TTypeAllergie::Medicament, false, false, "DINT"},
      {TTypeAllergie::Environnement, false, true, "EALG"}, {TTypeAllergie::Aliment, true, false, "FNAINT"},
      {TTypeAllergie::Aucune, false, false, "OINT"},    {TTypeAllergie::Aucune, true, false, "NAINT"},
  };
  for (const auto& C : Cases) {
    TAllergie A;
    A.TypeAllergie = C.Type;
    A.Intolerance = C.Intolerance;
    A.Allergie = C.Allergie;
    EXPECT_EQ(A.AllergieCode(), C.Code);
    EXPECT_FALSE(A.AllergieName().empty());
  }
}

TEST(CDASynthese, way_of_life_with_tobacco_only) {
  TVoletSyntheseMedicale V;
  V.MV.Tabac = {10, TConsoPeriod::PerDay};
  const std::string B = BuildSyntheseBody(V);
  // The narrative is for the reader: words, not the UCUM unit of the entry.
  EXPECT_TRUE(Has(B, R"(<tr><td><content ID="tabac">Tabac</content></td><td>10 paquets par jour</td></tr>)"));
  EXPECT_TRUE(Has(B, R"(<value xsi:type="PQ" value="10" unit="{pack}/d"/>)"));
  EXPECT_FALSE(Has(B, "alcool"));
  EXPECT_FALSE(Has(B, "activite-sportive"));
}

TEST(CDASynthese, dates_are_day_month_year_in_the_narrative_and_unknown_when_missing) {
  TVoletSyntheseMedicale V;
  V.PA = {{Date(2019, 3, 4), TProblem::Diagnostic, {"E11", "Diabète"}},
          {0, TProblem::Plainte, {"R51", "Céphalée"}}};
  V.AF = {{0, TProblem::Probleme, TLienFamilial::lfTante, {"I21", "Infarctus"}}};
  const std::string B = BuildSyntheseBody(V);
  EXPECT_TRUE(Has(B, "<td>04/03/2019</td>"));
  EXPECT_TRUE(Has(B, R"(<effectiveTime><low value="20190304"/></effectiveTime>)"));
  EXPECT_TRUE(Has(B, R"(<tr><td/><td><content ID="PA1">)"));
  EXPECT_TRUE(Has(B, R"(<effectiveTime><low nullFlavor="UNK"/></effectiveTime>)"));
  EXPECT_TRUE(Has(B, R"(<effectiveTime nullFlavor="UNK"/><value)"));
  EXPECT_TRUE(Has(B, R"(<code code="AUNT" displayName="Tante")"));
  EXPECT_FALSE(Has(B, "1899"));
}

TEST(CDASynthese, enumeration_values_outside_their_tables_are_refused) {
  const auto Bad = [](auto Value) { return static_cast<decltype(Value)>(200); };
  std::vector<TVoletSyntheseMedicale> Cases(5);
  Cases[0].PA = {{1, Bad(TProblem{}), {}}};
  Cases[1].AF = {{1, TProblem{}, Bad(TLienFamilial{}), {}}};
  Cases[2].AL = {{Bad(TTypeAllergie{}), true, true, 0, {}, {}, {}}};
  Cases[3].MV.Sedentarite = Bad(TSedentarite{});
  Cases[4].MV.Alcool = {1, Bad(TConsoPeriod{})};
  for (const auto& V : Cases) EXPECT_THROW(BuildSyntheseBody(V), std::invalid_argument);
}

TEST(CDASynthese, problem_kind_list_and_captions) {
  TProblemKindList L = {{"x", TProblem::Plainte}};
  FillProblemKinds(L);
  ASSERT_EQ(L.size(), 7u);
  EXPECT_EQ(L[5].Label, "Symptôme");
  EXPECT_EQ(IndexOfProblemKind(L, TProblem::Diagnostic), 6);
  L.push_back({"again", TProblem::Conclusion});
  EXPECT_EQ(IndexOfProblemKind(L, TProblem::Conclusion), 7);
  L.pop_back();
  L.erase(L.begin() + 1);
  EXPECT_EQ(IndexOfProblemKind(L, TProblem::Probleme), -1);
  EXPECT_EQ(ProblemKindAt(L, -1), TProblem::Conclusion);
  EXPECT_EQ(ProblemKindAt(L, 99), TProblem::Conclusion);
  EXPECT_EQ(ProblemKindAt(L, 1), TProblem::CoditionPreexistante);
  EXPECT_EQ((TSystemValue{"E11", "Diabète"}.Caption()), "Diabète (E11)");
  EXPECT_EQ((TSystemValue{"", "Diabète"}.Caption()), "Diabète");
}

// ---- Vaccination note ----

TEST(CDAVaccination, notes_without_a_readable_date_or_with_an_unknown_kind_are_refused) {
  TSample S(false);
  for (const char* Date : {"", "2025-01-15", "31/02/2025", "15/01"}) {
    TNoteVaccination N = SampleNote(false, VaccinateurMoiMeme);
    N.Date = Date;
    EXPECT_THROW(BuildNoteVaccinationBody(S.Info, N, "1.2.3"), ECDAError) << Date;
  }
  for (const int Kind : {-1, 3}) {
    TNoteVaccination N = SampleNote(false, VaccinateurMoiMeme);
    N.Vaccination = Kind;
    EXPECT_THROW(BuildNoteVaccinationBody(S.Info, N, "1.2.3"), ECDAError) << Kind;
  }
}

TEST_F(ParisZone, note_by_the_holder_names_the_holder_as_vaccinator_and_performer) {
  TSample S(false);
  const std::string B = BuildNoteVaccinationBody(S.Info, SampleNote(false, VaccinateurMoiMeme), "1.2.3");
  const std::string Holder = "<td align=\"left\">DOC Jean - Médecin - Qualifié en médecine générale</td>";
  EXPECT_TRUE(Has(B, Holder + Holder + "<td align=\"left\"/>"));
  EXPECT_TRUE(Has(B, R"(<performer typeCode="PRF"><time value="20250115113000+0100"/><assignedEntity><id assigningAuthorityName="ASIP-CPS" extension="810001234567" root="1.2.250.1.71.4.2.1"/><assignedPerson><name> <given>Jean</given><family>DOC</family></name>)"));
  EXPECT_TRUE(Has(B, "<td align=\"left\">15/01/2025</td>"));
  EXPECT_TRUE(Has(B, R"(<effectiveTime value="20250115"/><routeCode code="IM" displayName="Voie intramusculaire" codeSystem="2.16.840.1.113883.5.112")"));
  EXPECT_TRUE(Has(B, "<td align=\"left\">Rappel de vaccin - Rang : 2</td>"));
  EXPECT_TRUE(Has(B, R"(<code code="BOOSTER" displayName="Rappel de vaccin" codeSystem="2.16.840.1.113883.5.4" codeSystemName="HL7:ActCode"/>)"));
  EXPECT_TRUE(Has(B, R"(<id root="1.2.3"/>)"));
}

TEST(CDAVaccination, note_by_someone_else_without_codes_writes_unknown_elements) {
  TSample S(false);
  TNoteVaccination N = SampleNote(false, "Dr Autre");
  N.Site = N.Route = N.CIS = N.ATC = {};
  N.Rang = 0;
  const std::string B = BuildNoteVaccinationBody(S.Info, N, "1.2.3");
  EXPECT_TRUE(Has(B, R"(<id assigningAuthorityName="ASIP-CPS" root="1.2.250.1.71.4.2.1" nullFlavor="UNK"/><assignedPerson><name>Dr Autre</name></assignedPerson>)"));
  EXPECT_TRUE(Has(B, R"(<routeCode nullFlavor="UNK"/><approachSiteCode nullFlavor="UNK"/>)"));
  EXPECT_EQ(std::count(B.begin(), B.end(), '#'), 2);  // the row and the vaccine only
  EXPECT_TRUE(Has(B, "<td align=\"left\">Rappel de vaccin</td>"));
  EXPECT_TRUE(Has(B, R"(<value xsi:type="INT" value="0"/>)"));
  EXPECT_TRUE(Has(B, R"(<code><originalText><reference value="#uuid-)"));
  EXPECT_TRUE(Has(B, R"(<translation codeSystem="1.2.250.1.213.2.3.2" codeSystemName="CIP"/><translation/></code>)"));
}

}  // namespace
