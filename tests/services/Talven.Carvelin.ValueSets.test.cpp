// Value-set lookups on small SVS files and on the program's own copies, where
// a value set is found, and the civility label of card data.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Talven.Carvelin.Utils.h"
#include "Talven.Carvelin.ValueSets.h"
#include "TestSupport.h"

using namespace Talven;
namespace fs = std::filesystem;

namespace {

// Runs Body with the working folder set to Dir.
template <typename F>
void InFolder(const fs::path& Dir, F&& Body) {
  const fs::path Saved = fs::current_path();
  fs::current_path(Dir);
  try {
    Body();
  } catch (...) {
    fs::current_path(Saved);
    throw;
  }
  fs::current_path(Saved);
}

void Load(TResourceXML& R, const char* Name) {
  R.LoadFromFile(TestSupport::Fixture(std::string("valuesets/") + Name));
}

}  // namespace

TEST(ValueSets, code_lookups_in_a_concept_list) {
  TResourceXML R;
  Load(R, "JDV_J57-ClassCode-DMP.xml");
  struct Case {
    const char* Code;
    bool Found;
    const char* OID;
    const char* Label;
  } Cases[] = {
      {"11", true, "1.2.250.1.213.1.1.4.1", "Synth\xC3\xA8se"},  // the first of two concepts with that code
      {"52", true, "1.2.250.1.213.1.1.4.1", "Imagerie m\xC3\xA9" "dicale & examens"},
      {"NOOID", false, "", "Sans syst\xC3\xA8me"},  // found, but no OID
      {"99", false, "unchanged", "unchanged"},
      {"", false, "unchanged", "unchanged"},
      {"1", false, "unchanged", "unchanged"},  // no prefix match
  };
  for (const Case& C : Cases) {
    std::string OID = "unchanged", Label = "unchanged";
    EXPECT_EQ(R.GetCode(C.Code, OID, Label), C.Found) << C.Code;
    EXPECT_EQ(OID, C.OID) << C.Code;
    EXPECT_EQ(Label, C.Label) << C.Code;
  }
  EXPECT_EQ(R.GetLibelle("11", "1.2.250.1.213.1.1.4.1"), "Synth\xC3\xA8se");
  EXPECT_EQ(R.GetLibelle("11", "2.16.840.1.113883.6.1"), "Autre syst\xC3\xA8me");
  EXPECT_EQ(R.GetLibelle("10", "2.16.840.1.113883.6.1"), "");  // right code, another code system
  EXPECT_EQ(R.GetLibelle("11", ""), "");
  EXPECT_EQ(R.GetLibelle("", "1.2.250.1.213.1.1.4.1"), "");
  EXPECT_EQ(R.GetConcepts().size(), 5u);
  std::string Target = "unchanged";
  EXPECT_FALSE(R.Correspondance("11", Target));  // no mapping list in this set
  EXPECT_EQ(Target, "unchanged");
}

TEST(ValueSets, correspondance_maps_a_source_code_to_its_target) {
  TResourceXML R;
  Load(R, "ASS_X16-CorrespondanceType-Classe-DMP.xml");
  struct Case {
    const char* Code;
    bool Found;
    const char* Target;
  } Cases[] = {
      {"11369-6", true, "52"},
      {"11488-4", true, "10"},
      {"52", false, "unchanged"},  // its target code is empty
      {"10", false, "unchanged"},  // a target only, not a source
      {"", false, "unchanged"},
  };
  for (const Case& C : Cases) {
    std::string Target = "unchanged";
    EXPECT_EQ(R.Correspondance(C.Code, Target), C.Found) << C.Code;
    EXPECT_EQ(Target, C.Target) << C.Code;
  }
  std::string OID, Label;
  EXPECT_FALSE(R.GetCode("11369-6", OID, Label));  // not a concept list
  EXPECT_TRUE(R.GetConcepts().empty());
}

TEST(ValueSets, the_archive_serves_a_set_that_no_file_of_the_working_folder_replaces) {
  TestSupport::TempDir Work;
  const std::string Name = "JDV_J57-ClassCode-DMP.xml";
  InFolder(Work.Path(), [&] {
    std::string OID, Label;
    TResourceXML R;
    R.LoadFile(Name);  // the program's copy
    EXPECT_TRUE(R.GetCode("11", OID, Label));
    EXPECT_EQ(OID, "1.2.250.1.213.1.1.4.1");
    EXPECT_EQ(Label, "Synth\xC3\xA8se");
    EXPECT_EQ(R.GetLibelle("11", "1.2.250.1.213.1.1.4.1"), "Synth\xC3\xA8se");
    EXPECT_EQ(R.GetLibelle("11", "2.16.840.1.113883.6.1"), "");  // right code, another code system

    TestSupport::WriteFile(Work / Name,
                           "<RetrieveValueSetResponse><ValueSet><ConceptList><Concept code=\"11\" "
                           "codeSystem=\"9.9\" displayName=\"Locale\"/></ConceptList></ValueSet>"
                           "</RetrieveValueSetResponse>");
    R.LoadFile(Name);
    EXPECT_TRUE(R.GetCode("11", OID, Label));
    EXPECT_EQ(OID, "9.9");
    EXPECT_EQ(Label, "Locale");

    fs::remove(Work / Name);
    fs::create_directory(Work / Name);  // not a file: the archive answers
    R.LoadFile(Name);
    EXPECT_TRUE(R.GetCode("11", OID, Label));
    EXPECT_EQ(OID, "1.2.250.1.213.1.1.4.1");

    EXPECT_THROW(R.LoadFile("JDV_J99-Absent-DMP.xml"), EResourceXMLError);
    EXPECT_THROW(R.LoadFile("jdv_j57-classcode-dmp.xml"), EResourceXMLError);  // names are exact
  });
}

// What filing and the card sessions look up, on the program's own copies:
// every document type, care setting and format code of the document tables is
// known, and every document type maps to a class the class set knows.
TEST(ValueSets, the_program_copies_cover_the_document_tables) {
  TestSupport::TempDir Work;
  InFolder(Work.Path(), [&] {
    TResourceXML Types, Classes, Mapping, Settings, Formats, Templates;
    Types.LoadFile("JDV_J66-TypeCode-DMP.xml");
    Classes.LoadFile("JDV_J57-ClassCode-DMP.xml");
    Mapping.LoadFile("ASS_X16-CorrespondanceType-Classe-DMP.xml");
    Settings.LoadFile("JDV_J62-PracticeSettingCode-DMP.xml");
    Formats.LoadFile("JDV_J60-FormatCode-DMP.xml");
    Templates.LoadFile("ASS_A11-CorresModeleCDA-XdsFormatCode-CISIS.xml");

    std::vector<std::string> Codes;
    for (const auto& Row : TypesDocument) Codes.emplace_back(Row.Code);
    for (const char* Code : {"87273-9", "11369-6", "REMB", "EXPPAT_1", "EXPPAT_2", "EXPPAT_3"}) Codes.emplace_back(Code);
    for (Vantrel::PXMLNode C : Types.GetConcepts()) Codes.push_back(C->GetAttribute("code")->Value());
    for (const std::string& Code : Codes) {
      std::string OID, Label, Class;
      EXPECT_TRUE(Types.GetCode(Code, OID, Label)) << Code;
      EXPECT_FALSE(Label.empty()) << Code;
      ASSERT_TRUE(Mapping.Correspondance(Code, Class)) << Code;
      EXPECT_TRUE(Classes.GetCode(Class, OID, Label)) << Code << " -> " << Class;
      EXPECT_EQ(OID, "1.2.250.1.213.1.1.4.1") << Code;
    }
    std::string Class;
    EXPECT_TRUE(Mapping.Correspondance("11369-6", Class));
    EXPECT_EQ(Class, "52");
    EXPECT_TRUE(Mapping.Correspondance("SYNTH", Class));
    EXPECT_EQ(Class, "11");

    for (const auto& Row : CadresExercice)
      EXPECT_EQ(Settings.GetLibelle(std::string(Row.Code), "1.2.250.1.213.1.1.4.9"), Row.Label) << Row.Code;

    std::vector<TOIDValue> Rows = {FormatSyntheseMedicale(), FormatNoteVaccination()};
    for (const auto& Row : TypesMime()) Rows.push_back(Row.Format);
    for (const TOIDValue& Row : Rows) {
      std::string OID, Label;
      EXPECT_TRUE(Formats.GetCode(Row.Code, OID, Label)) << Row.Code;
      EXPECT_EQ(OID, Row.OID) << Row.Code;
      EXPECT_EQ(Label, Row.Name) << Row.Code;
    }

    // The templates our CDA documents declare, in their order: the national
    // frame templates come first in every document, so they must not map.
    struct {
      const char* Template;
      const char* Format;
    } Cases[] = {
        {"1.2.250.1.213.1.1.1.13", "urn:asip:ci-sis:vsm:2012"},
        {"1.2.250.1.213.1.1.1.46", "urn:asip:ci-sis:vac-note:2021"},
        {"2.16.840.1.113883.2.8.2.1", nullptr},
        {"1.2.250.1.213.1.1.1.1", nullptr},
        {"1.3.6.1.4.1.19376.1.5.3.1.1.18.1.2", nullptr},
        {"1.3.6.1.4.1.19376.1.2.20", nullptr},  // scanned documents: the format follows the body
    };
    for (const auto& C : Cases) {
      std::string Format;
      EXPECT_EQ(Templates.Correspondance(C.Template, Format), C.Format != nullptr) << C.Template;
      if (C.Format) {
        EXPECT_EQ(Format, C.Format) << C.Template;
      }
    }
  });
}

// The labels that complete the card holder and the activities: a profession,
// a speciality or a pharmacists' section is told by its code system, since
// the same code may stand in several.
TEST(ValueSets, card_labels_are_found_by_code_and_code_system) {
  TestSupport::TempDir Work;
  InFolder(Work.Path(), [&] {
    TResourceXML Roles, Specialties, Facilities;
    Roles.LoadFile("JDV_J65-SubjectRole-DMP.xml");
    Specialties.LoadFile("JDV_J56-AuthorSpecialty-DMP.xml");
    Facilities.LoadFile("JDV_J61-HealthcareFacilityTypeCode-DMP.xml");
    struct {
      const TResourceXML& Set;
      const char* Code;
      const char* OID;
      const char* Label;
    } Cases[] = {
        {Roles, "10", "1.2.250.1.71.1.2.7", "M\xC3\xA9" "decin"},
        {Roles, "80", "1.2.250.1.71.1.2.7", "P\xC3\xA9" "dicure-Podologue"},
        {Roles, "80", "1.2.250.1.71.4.2.5", "Hom\xC3\xA9opathie (OP)"},
        {Roles, "80", "1.2.250.1.71.4.2.6", ""},
        {Roles, "H", "1.2.250.1.71.4.2.6", "Pharmacien d'\xC3\xA9tablissement de sant\xC3\xA9"},
        {Roles, "SECRETARIAT_MEDICAL", "1.2.250.1.213.1.1.4.6", "Secr\xC3\xA9tariat m\xC3\xA9" "dical"},
        {Specialties, "G15_21/H", "1.2.250.1.213.1.1.4.5", "Pharmacien d'\xC3\xA9tablissement de sant\xC3\xA9"},
        {Specialties, "G15_10/SM01", "1.2.250.1.213.1.1.4.5", "M\xC3\xA9" "decin - Anatomie et Cytologie pathologiques (SM)"},
        {Specialties, "G15_10/SM01", "1.2.250.1.71.4.2.5", ""},
        {Facilities, "SA07", "1.2.250.1.71.4.2.4", "Cabinet individuel"},
        {Facilities, "SA07", "", ""},
    };
    for (const auto& C : Cases) EXPECT_EQ(C.Set.GetLibelle(C.Code, C.OID), C.Label) << C.Code << ' ' << C.OID;
    std::string OID, Label;
    EXPECT_TRUE(Roles.GetCode("80", OID, Label));  // the first concept with that code
    EXPECT_EQ(OID, "1.2.250.1.71.1.2.7");
  });
}

TEST(ValueSets, bad_files_raise_and_lookups_on_them_do_not) {
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "broken.xml", "<RetrieveValueSetResponse><ValueSet>");
  TResourceXML R;
  EXPECT_THROW(R.LoadFromFile(Dir / "broken.xml"), Vantrel::EXMLError);
  EXPECT_THROW(R.LoadFromFile(Dir / "absent.xml"), EResourceXMLError);
  EXPECT_THROW(R.UnzipFromStream("x.xml", "not a zip archive"), EResourceXMLError);
  std::string OID, Label, Target;
  EXPECT_FALSE(R.GetCode("11", OID, Label));
  EXPECT_FALSE(R.Correspondance("11", Target));
  EXPECT_EQ(R.GetLibelle("11", "1"), "");
  // Another root: nothing is a value set.
  R.LoadFromStream("<Other><ValueSet><ConceptList><Concept code=\"1\" codeSystem=\"2\"/></ConceptList></ValueSet></Other>");
  EXPECT_FALSE(R.GetCode("1", OID, Label));
}

TEST(ValueSets, civility_label_of_card_codes) {
  for (auto [Code, Label] : {std::pair<uint8_t, const char*>{22, "Madame"}, {23, "Mademoiselle"}, {31, "Monsieur"},
                             {0, ""}, {1, ""}, {21, ""}, {32, ""}, {255, ""}})
    EXPECT_EQ(CiviliteLibelle(Code), Label) << int(Code);
}
