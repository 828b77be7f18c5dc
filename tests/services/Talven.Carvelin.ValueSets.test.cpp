// Value-set lookups on small SVS files, where a value set is found, and the
// civility label of card data.
#include <gtest/gtest.h>

#include <filesystem>

#include "Talven.Carvelin.ValueSets.h"
#include "TestSupport.h"

using namespace Talven::Carvelin;
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

TEST(ValueSets, a_file_in_the_working_folder_takes_precedence) {
  TestSupport::TempDir Embedded, Work;
  const std::string Name = "JDV_J57-ClassCode-DMP.xml";
  TestSupport::WriteFile(Embedded / Name, TestSupport::ReadFile(TestSupport::Fixture("valuesets/" + Name)));
  const fs::path Saved = TResourceXML::EmbeddedFolder;
  TResourceXML::EmbeddedFolder = Embedded.Path();
  InFolder(Work.Path(), [&] {
    std::string OID, Label;
    TResourceXML R;
    R.LoadFile(Name);  // only the program's copy
    EXPECT_TRUE(R.GetCode("11", OID, Label));
    EXPECT_EQ(Label, "Synth\xC3\xA8se");

    TestSupport::WriteFile(Work / Name,
                           "<RetrieveValueSetResponse><ValueSet><ConceptList><Concept code=\"11\" "
                           "codeSystem=\"9.9\" displayName=\"Locale\"/></ConceptList></ValueSet>"
                           "</RetrieveValueSetResponse>");
    R.LoadFile(Name);
    EXPECT_TRUE(R.GetCode("11", OID, Label));
    EXPECT_EQ(OID, "9.9");
    EXPECT_EQ(Label, "Locale");

    EXPECT_THROW(R.LoadFile("ASS_A11-CorresModeleCDA-XdsFormatCode-CISIS.xml"), EResourceXMLError);
  });
  TResourceXML::EmbeddedFolder = Saved;
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
