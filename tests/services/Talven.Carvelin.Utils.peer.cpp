// The document vocabulary checked against the national value sets in their
// IHE SVS form, read with Python's xml.etree.
#include "Talven.Carvelin.Types.h"
#include "Talven.Carvelin.Utils.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "TestSupport.h"

using namespace Talven;

namespace {

// Prints "code<TAB>displayName" for every concept of a value set.
constexpr std::string_view ReadValueSet = R"(
import sys
import xml.etree.ElementTree as ET
for c in ET.parse(sys.argv[1]).iter('{urn:ihe:iti:svs:2008}Concept'):
    sys.stdout.write(c.get('code', '') + '\t' + c.get('displayName', '') + '\n')
)";

// Concepts by code; empty with a skip message when the file is absent.
std::map<std::string, std::string> LoadValueSet(std::string_view Name) {
  std::map<std::string, std::string> Concepts;
  const auto Path = TestSupport::SharedData(std::string("value-sets/") + std::string(Name));
  if (Path.empty()) return Concepts;
  const auto R = TestSupport::RunPython(ReadValueSet, {Path.string()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::string_view Out = R.Out;
  while (!Out.empty()) {
    const size_t End = Out.find('\n');
    const std::string_view Line = Out.substr(0, End);
    const size_t Tab = Line.find('\t');
    if (Tab != std::string_view::npos) Concepts[std::string(Line.substr(0, Tab))] = std::string(Line.substr(Tab + 1));
    Out.remove_prefix(End == std::string_view::npos ? Out.size() : End + 1);
  }
  EXPECT_FALSE(Concepts.empty()) << Name << " holds no concept";
  return Concepts;
}

#define LOAD_OR_SKIP(var, name)                                                  \
  const auto var = LoadValueSet(name);                                           \
  if (var.empty()) GTEST_SKIP() << "shared value set not available: " << (name)

}  // namespace

TEST(UtilsPeer, document_types_are_national_type_codes_with_their_labels) {
  LOAD_OR_SKIP(TypeCodes, "JDV_J07_XdsTypeCode_CISIS.xml");
  // Rows whose label the lists word differently from the national display name.
  const std::set<std::string_view> OwnWording = {"60591-5", "74207-2", "47420-5", "96173-0"};
  for (const auto& Row : TypesDocument) {
    SCOPED_TRACE(Row.Code);
    const auto It = TypeCodes.find(std::string(Row.Code));
    ASSERT_NE(It, TypeCodes.end()) << "code missing from the national value set";
    if (!OwnWording.contains(Row.Code)) {
      EXPECT_EQ(CaptionLabel(Row.Caption), It->second);
    }
  }
}

TEST(UtilsPeer, care_settings_are_national_practice_settings) {
  LOAD_OR_SKIP(Settings, "JDV_J04_XdsPracticeSettingCode_CISIS.xml");
  for (const auto& Row : CadresExercice) {
    SCOPED_TRACE(Row.Code);
    const auto It = Settings.find(std::string(Row.Code));
    ASSERT_NE(It, Settings.end());
    EXPECT_EQ(Row.Label, It->second);
  }
}

TEST(UtilsPeer, legal_representative_relations_are_hl7_role_codes) {
  LOAD_OR_SKIP(Roles, "JDV_HL7_PersonalRelationshipRoleType_CISIS.xml");
  for (size_t I = 1; I < EnumCount<TRelation>; ++I) {
    const std::string_view Code = EnumText(static_cast<TRelation>(I));
    EXPECT_TRUE(Roles.contains(std::string(Code))) << Code;
  }
}
