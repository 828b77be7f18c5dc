// Value-set lookups against Python's xml.etree on the national value sets of
// the shared data, and archive entries written by Python's zipfile.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "Talven.Carvelin.ValueSets.h"
#include "TestSupport.h"

using namespace Talven::Carvelin;
namespace fs = std::filesystem;

namespace {

// For every Concept of the first concept list, one line of tab-separated
// fields: its code, then what a lookup of that code gives (the first concept
// with that code: code system, display name), then the display name of the
// first concept with that code and that concept's own code system.
constexpr const char* EtreeScript = R"(
import sys
import xml.etree.ElementTree as ET
ns = {'svs': 'urn:ihe:iti:svs:2008'}
root = ET.parse(sys.argv[1]).getroot()
concepts = root.findall('svs:ValueSet/svs:ConceptList', ns)[0].findall('svs:Concept', ns)
every = root.findall('svs:ValueSet/svs:ConceptList/svs:Concept', ns)
for c in concepts:
    code, system = c.get('code'), c.get('codeSystem', '')
    first = next(x for x in every if x.get('code') == code)
    both = next(x for x in every if x.get('code') == code and x.get('codeSystem', '') == system)
    print('\t'.join([code, first.get('codeSystem', ''), first.get('displayName', ''), both.get('displayName', '')]))
)";

}  // namespace

TEST(ValueSets, every_concept_of_the_national_value_sets_agrees_with_python) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  const fs::path Dir = TestSupport::SharedData("value-sets");
  if (Dir.empty() || !fs::is_directory(Dir)) GTEST_SKIP() << "shared value sets absent (../shared/data)";
  int Files = 0;
  for (const auto& E : fs::directory_iterator(Dir)) {
    if (E.path().extension() != ".xml") continue;
    ++Files;
    SCOPED_TRACE(E.path().filename().string());
    const auto Peer = TestSupport::RunPython(EtreeScript, {E.path().string()});
    ASSERT_EQ(Peer.Status, 0) << Peer.Err;
    TResourceXML R;
    R.LoadFromFile(E.path());
    std::ostringstream Ours;
    for (Vantrel::PXMLNode C : R.GetConcepts()) {
      const std::string Code = C->GetAttribute("code")->Value();
      std::string OID, Label;
      const bool Found = R.GetCode(Code, OID, Label);
      EXPECT_EQ(Found, !OID.empty()) << Code;
      const Vantrel::TXMLString* System = C->GetAttribute("codeSystem");
      Ours << Code << '\t' << OID << '\t' << Label << '\t' << R.GetLibelle(Code, System ? System->Value() : "")
           << '\n';
    }
    EXPECT_EQ(Ours.str(), Peer.Out);
    EXPECT_FALSE(Peer.Out.empty());
  }
  EXPECT_GT(Files, 0);
}

TEST(ValueSets, archive_entries_are_read_by_exact_name) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  TestSupport::TempDir Dir;
  const fs::path Fixture = TestSupport::Fixture("valuesets/JDV_J57-ClassCode-DMP.xml");
  const auto R = TestSupport::RunPython(
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    z.write(sys.argv[2], 'JDV_J57-ClassCode-DMP.xml')\n"
      "    z.writestr('JDV_J65-SubjectRole-DMP.xml', '<RetrieveValueSetResponse><ValueSet><ConceptList>"
      "<Concept code=\"10\" codeSystem=\"1.2.250.1.71.4.2.6\" displayName=\"Pharmacien\"/></ConceptList>"
      "</ValueSet></RetrieveValueSetResponse>')\n",
      {(Dir / "VALEURS.zip").string(), Fixture.string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string Archive = TestSupport::ReadFile(Dir / "VALEURS.zip");

  TResourceXML V;
  V.UnzipFromStream("JDV_J57-ClassCode-DMP.xml", Archive);
  EXPECT_EQ(V.Src, TestSupport::ReadFile(Fixture));
  std::string OID, Label;
  EXPECT_TRUE(V.GetCode("11", OID, Label));
  EXPECT_EQ(Label, "Synth\xC3\xA8se");
  V.UnzipFromStream("JDV_J65-SubjectRole-DMP.xml", Archive);
  EXPECT_EQ(V.GetLibelle("10", "1.2.250.1.71.4.2.6"), "Pharmacien");
  EXPECT_THROW(V.UnzipFromStream("jdv_j65-subjectrole-dmp.xml", Archive), EResourceXMLError);
  EXPECT_THROW(V.UnzipFromStream("ASS_A11-CorresModeleCDA-XdsFormatCode-CISIS.xml", Archive), EResourceXMLError);
}
