// Value-set lookups against Python's xml.etree on the national value sets of
// the shared data and against xmllint's XPath on the program's own copies,
// which must validate against the IHE SVS schema; archive entries written by
// Python's zipfile.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "Talven.Carvelin.ValueSets.h"
#include "TestSupport.h"

using namespace Talven;
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

// Sets the working folder for the object's life.
class TWorkingFolder {
 public:
  explicit TWorkingFolder(const fs::path& Dir) : FSaved(fs::current_path()) { fs::current_path(Dir); }
  ~TWorkingFolder() { fs::current_path(FSaved); }
  TWorkingFolder(const TWorkingFolder&) = delete;
  TWorkingFolder& operator=(const TWorkingFolder&) = delete;

 private:
  fs::path FSaved;
};

// The program's own copies, as they lie in the source tree.
std::vector<fs::path> ShippedValueSets() {
  std::vector<fs::path> Files;
  for (const auto& E : fs::directory_iterator(fs::path(CARVELIN_SOURCE_DIR) / "resources" / "VALEURS"))
    if (E.path().extension() == ".xml") Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  return Files;
}

bool IsCorrespondence(const fs::path& File) { return File.filename().string().starts_with("ASS_"); }

// An attribute value as xmllint writes it, unescaped (the predefined entities
// and decimal character references below 128 are all it writes).
std::string Unescape(std::string_view Text) {
  static constexpr std::pair<std::string_view, char> Entities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string Out;
  for (size_t I = 0; I < Text.size();) {
    bool Done = false;
    for (const auto& [Name, C] : Entities)
      if (Text.substr(I).starts_with(Name)) {
        Out += C;
        I += Name.size();
        Done = true;
        break;
      }
    if (!Done && Text.substr(I).starts_with("&#")) {
      const size_t End = Text.find(';', I);
      int Code = 0;
      if (End != std::string_view::npos &&
          std::from_chars(Text.data() + I + 2, Text.data() + End, Code).ptr == Text.data() + End && Code < 128) {
        Out += char(Code);
        I = End + 1;
        Done = true;
      }
    }
    if (!Done) Out += Text[I++];
  }
  return Out;
}

// The attributes of the elements whose attribute nodes the XPath selects, as
// xmllint prints them (one ` name="value"` a line): one row per element,
// each opened by its "code".
using TRow = std::map<std::string, std::string>;
std::vector<TRow> XPathRows(const fs::path& File, const std::string& Path) {
  const auto R = TestSupport::Run({"xmllint", "--xpath", Path, File.string()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<TRow> Rows;
  std::istringstream Lines(R.Out);
  for (std::string Line; std::getline(Lines, Line);) {
    const size_t Eq = Line.find("=\"");
    if (Line.size() < 4 || Line[0] != ' ' || Eq == std::string::npos || Line.back() != '"') {
      ADD_FAILURE() << "unexpected xmllint line: " << Line;
      continue;
    }
    const std::string Name = Line.substr(1, Eq - 1);
    if (Name == "code" || Rows.empty()) Rows.emplace_back();
    Rows.back()[Name] = Unescape(std::string_view(Line).substr(Eq + 2, Line.size() - Eq - 3));
  }
  return Rows;
}

constexpr const char* ConceptPath =
    "/*[local-name()='RetrieveValueSetResponse']/*[local-name()='ValueSet']/*[local-name()='ConceptList']/"
    "*[local-name()='Concept']";
constexpr const char* MappingPath =
    "/*[local-name()='RetrieveValueSetResponse']/*[local-name()='ValueSet']/*[local-name()='MappedConceptList']/"
    "*[local-name()='MappedConcept']";
constexpr const char* Attributes = "/@*[name()='code' or name()='codeSystem' or name()='displayName']";

std::string Attribute(Vantrel::PXMLNode Node, std::string_view Name) {
  const Vantrel::TXMLString* A = Node->GetAttribute(Name);
  return A ? A->Value() : std::string();
}

std::string RowText(const std::string& Code, const std::string& OID, const std::string& Label) {
  return Code + " | " + OID + " | " + Label;
}

}  // namespace

// Every code of every copy the program ships, looked up through the archive
// compiled into it, gives what xmllint's XPath finds in the file: the first
// concept with that code (code system, display name), the first with that
// code and code system, or the target of the first mapping of that source.
TEST(ValueSets, every_code_of_the_program_copies_agrees_with_xmllint) {
  SKIP_UNLESS_TOOL("xmllint");
  TestSupport::TempDir Work;
  const TWorkingFolder InWork(Work.Path());  // no file of the working folder hides an archive entry
  for (const fs::path& File : ShippedValueSets()) {
    SCOPED_TRACE(File.filename().string());
    TResourceXML R;
    R.LoadFile(File.filename().string());
    EXPECT_EQ(R.Src, TestSupport::ReadFile(File));  // shipped unchanged

    std::vector<std::string> Ours, Peer;
    if (!IsCorrespondence(File)) {
      // GetCode: xmllint picks the first concept of each code.
      const auto Concepts = R.GetConcepts();
      EXPECT_FALSE(Concepts.empty());
      std::set<std::string> Seen;
      for (Vantrel::PXMLNode C : Concepts) {
        const std::string Code = Attribute(C, "code");
        if (!Seen.insert(Code).second) continue;
        std::string OID, Label;
        EXPECT_TRUE(R.GetCode(Code, OID, Label)) << Code;
        Ours.push_back(RowText(Code, OID, Label));
      }
      for (TRow& Row : XPathRows(File, std::string("(") + ConceptPath + ")[not(@code = preceding-sibling::*[local-name()="
                                                  "'Concept']/@code)]" + Attributes))
        Peer.push_back(RowText(Row["code"], Row["codeSystem"], Row["displayName"]));
      // GetLibelle: each (code, code system) pair names its own concept.
      for (TRow& Row : XPathRows(File, ConceptPath + std::string(Attributes))) {
        Peer.push_back(RowText(Row["code"], Row["codeSystem"], Row["displayName"]));
        Ours.push_back(RowText(Row["code"], Row["codeSystem"], R.GetLibelle(Row["code"], Row["codeSystem"])));
      }
    } else {
      // Correspondance: the target of the first mapping of each source code.
      const auto Rows = XPathRows(File, std::string(MappingPath) + "[not(*[local-name()='Concept'][1]/@code = "
                                        "preceding-sibling::*[local-name()='MappedConcept']/*[local-name()='Concept']"
                                        "[1]/@code)]/*[local-name()='Concept']" + Attributes);
      EXPECT_FALSE(Rows.empty());
      EXPECT_EQ(Rows.size() % 2, 0u);
      for (size_t I = 0; I + 1 < Rows.size(); I += 2) {
        TRow Source = Rows[I], Target = Rows[I + 1];
        std::string Found = "(none)";
        R.Correspondance(Source["code"], Found);
        Ours.push_back(Source["code"] + " -> " + Found);
        Peer.push_back(Source["code"] + " -> " + Target["code"]);
      }
    }
    EXPECT_EQ(Ours, Peer);
  }
}

// Every copy validates with xmllint: the concept lists against the IHE SVS
// schema of the shared data, the correspondence sets (which that schema does
// not describe) against the same response with a list of mappings.
TEST(ValueSets, the_program_copies_validate_against_the_svs_schema) {
  SKIP_UNLESS_TOOL("xmllint");
  const fs::path Svs = TestSupport::SharedData("value-sets/SVS.xsd");
  const fs::path Cda = TestSupport::SharedData("cda/schema");
  if (Svs.empty() || !fs::exists(Svs) || Cda.empty() || !fs::is_directory(Cda))
    GTEST_SKIP() << "SVS or CDA schema absent (../shared/data)";
  // SVS.xsd takes the HL7 data types from ../infrastructure/cda/ and xml:lang
  // from the W3C's site: both are given from the shared CDA schema instead.
  TestSupport::TempDir Dir;
  fs::create_directories(Dir / "vs");
  fs::create_directories(Dir / "infrastructure" / "cda");
  fs::copy_file(Svs, Dir / "vs" / "SVS.xsd");
  fs::copy_file(TestSupport::Fixture("valuesets/SVS-mapped.xsd"), Dir / "vs" / "SVS-mapped.xsd");
  const std::string Schema = fs::canonical(Cda).string();
  TestSupport::WriteFile(Dir / "infrastructure" / "cda" / "datatypes-base.xsd",
                         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" elementFormDefault=\"qualified\">\n"
                         "<xs:import namespace=\"urn:hl7-org:sdtc\" schemaLocation=\"" + Schema + "/sdtc/SDTC.xsd\"/>\n"
                         "<xs:include schemaLocation=\"" + Schema + "/general/datatypes-base.xsd\"/>\n</xs:schema>\n");
  TestSupport::WriteFile(Dir / "catalog.xml",
                         "<catalog xmlns=\"urn:oasis:names:tc:entity:xmlns:xml:catalog\">\n"
                         "<system systemId=\"http://www.w3.org/2001/xml.xsd\" uri=\"file://" + Schema + "/schema/xml.xsd\"/>\n"
                         "</catalog>\n");
  auto Validate = [&](const std::string& Xsd, const fs::path& File) {
    return TestSupport::Run({"env", "XML_CATALOG_FILES=" + (Dir / "catalog.xml").string(), "xmllint", "--nonet",
                             "--noout", "--schema", (Dir / "vs" / Xsd).string(), File.string()});
  };
  for (const fs::path& File : ShippedValueSets()) {
    const auto R = Validate(IsCorrespondence(File) ? "SVS-mapped.xsd" : "SVS.xsd", File);
    EXPECT_EQ(R.Status, 0) << File.filename() << '\n' << R.Err;
  }
  // The schemas do reject: a concept list without the set's display name, a
  // mapping with one concept.
  TestSupport::WriteFile(Dir / "bad-list.xml",
                         "<RetrieveValueSetResponse xmlns=\"urn:ihe:iti:svs:2008\"><ValueSet id=\"1.2\"><ConceptList>"
                         "<Concept code=\"1\"/></ConceptList></ValueSet></RetrieveValueSetResponse>");
  TestSupport::WriteFile(Dir / "bad-map.xml",
                         "<RetrieveValueSetResponse xmlns=\"urn:ihe:iti:svs:2008\"><ValueSet id=\"1.2\" displayName=\"x\">"
                         "<MappedConceptList><MappedConcept><Concept code=\"1\"/></MappedConcept></MappedConceptList>"
                         "</ValueSet></RetrieveValueSetResponse>");
  EXPECT_NE(Validate("SVS.xsd", Dir / "bad-list.xml").Status, 0);
  EXPECT_NE(Validate("SVS-mapped.xsd", Dir / "bad-map.xml").Status, 0);
}

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
