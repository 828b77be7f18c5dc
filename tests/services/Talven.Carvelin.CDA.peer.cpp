// The documents against independent readers: the CDA R2 schema through
// xmllint, and Python's xml.etree and base64 for the narrative references,
// the values carried and the wrapped file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.CDA.samples.h"
#include "TestSupport.h"
#include "Vantrel.XML.XDSb.Synthese.h"

namespace {

using namespace Talven;
using namespace CDASamples;
using TestSupport::Fixture;
using TestSupport::ReadFile;

// Prints "refs=N", then one line per reference that does not resolve to
// exactly one ID, per ID given twice, and per expected value that no element
// text or attribute value equals.
constexpr std::string_view CheckScript = R"(
import sys, xml.etree.ElementTree as ET
root = ET.fromstring(sys.stdin.buffer.read())
ids = {}
for el in root.iter():
    if el.get('ID') is not None:
        ids[el.get('ID')] = ids.get(el.get('ID'), 0) + 1
refs = [el.get('value', '') for el in root.iter('{urn:hl7-org:v3}reference')]
print('refs=%d' % len(refs))
for r in refs:
    if not r.startswith('#') or ids.get(r[1:], 0) != 1:
        print('unresolved ' + r)
for k, n in ids.items():
    if n != 1:
        print('duplicate ID ' + k)
values = set()
for el in root.iter():
    if el.text is not None:
        values.add(el.text)
    values.update(el.attrib.values())
for v in sys.argv[1:]:
    if v not in values:
        print('missing ' + v)
)";

constexpr std::string_view Base64Script = R"(
import sys, base64, xml.etree.ElementTree as ET
root = ET.fromstring(sys.stdin.buffer.read())
text = root.find('{urn:hl7-org:v3}component/{urn:hl7-org:v3}nonXMLBody/{urn:hl7-org:v3}text')
data = base64.b64decode(text.text or '', validate=True)
print('same' if data == open(sys.argv[1], 'rb').read() else 'differ', text.get('mediaType'))
)";

struct TDocCase {
  std::string Name;
  std::string XML;
  std::vector<std::string> Expected;  // values the document must carry unchanged
  bool HasReferences = false;
};

// The vaccination note has a fixed title.
std::vector<std::string> HeaderValues(const TSample& S, bool WithTitle = true) {
  std::vector<std::string> V = {S.Patient.Identite.NomUsage, S.Patient.Identite.NomNaissance, S.Patient.Identite.Prenom,
          S.Porteur.Nom,  S.Porteur.Prenom, S.Porteur.IdNational, S.Porteur.Entite.Code,
          S.Porteur.Entite.Nom, S.Activite.IdNational, S.Activite.RaisonSociale,
          S.Activite.Entite.Code, S.Activite.Entite.Nom, S.Medecin.Nom, S.Medecin.Prenom,
          S.Info.PatientId};
  if (WithTitle) V.push_back(S.Info.DocTitle);
  return V;
}

void Append(std::vector<std::string>& To, const std::vector<std::string>& From) {
  To.insert(To.end(), From.begin(), From.end());
}

std::vector<TDocCase> AllDocuments() {
  std::vector<TDocCase> Cases;
  for (const auto& [File, Mime] : {std::pair{"compte-rendu.pdf", "application/pdf"},
                                   std::pair{"note.txt", "text/plain"},
                                   std::pair{"image.jpg", "image/jpeg"}}) {
    TSample S(true);
    const std::string Bytes = ReadFile(Fixture(std::string("cda-build/") + File));
    S.Doc.mediaType = Mime;
    S.Doc.Content = Bytes.data();
    S.Doc.ContentSize = Bytes.size();
    S.Info.ReplaceUniqueId = "1.2.250.1.999.7.7";
    S.Info.Version = 2;
    Cases.push_back({std::string("file ") + File, BuildCDANonXMLBody(S.Doc, S.Info), HeaderValues(S)});
  }
  {
    TSample S(true);
    const auto V = FullSynthese(true);
    TDocCase C{"full summary", BuildCDASynthese(S.Doc, S.Info, Vantrel::BuildSyntheseBody(V)), HeaderValues(S), true};
    Append(C.Expected, {V.PA[0].CIM10.Code, V.PA[0].CIM10.Name, V.PA[1].CIM10.Name, V.AM, V.AC,
                        V.AL[0].CIM10.Code, V.AL[0].CIM10.Name, V.AL[0].Status.Code,
                        V.AL[0].Status.Name, V.AL[0].Value.Code, V.AL[0].Value.Name,
                        V.AL[2].Value.Name, V.FM, V.RP, V.AF[0].CIM10.Code, V.AF[0].CIM10.Name,
                        V.AF[1].CIM10.Name, V.Resume, V.TTT});
    Cases.push_back(std::move(C));
  }
  {
    TSample S(false);
    S.Info.MedecinTraitant = nullptr;
    S.Info.StartDate = S.Info.StopDate = 0;
    Cases.push_back({"empty summary", BuildCDASynthese(S.Doc, S.Info, Vantrel::BuildSyntheseBody({})), {}});
  }
  {
    TSample S(false);
    Vantrel::TVoletSyntheseMedicale V;
    V.AL = {{Vantrel::TTypeAllergie::Aucune, false, true, 0, {}, {}, {}}};
    Cases.push_back({"summary without allergy",
                     BuildCDASynthese(S.Doc, S.Info, Vantrel::BuildSyntheseBody(V)), {}, true});
  }
  for (int Kind = 0; Kind <= 2; ++Kind) {
    for (const bool ByHolder : {true, false}) {
      TSample S(true);
      const std::string Other = ByHolder ? "" : HostileText("vaccinateur");
      TNoteVaccination N = SampleNote(true, ByHolder ? VaccinateurMoiMeme : std::string_view(Other));
      N.Vaccination = Kind;
      if (!ByHolder) N.Site = N.Route = N.CIS = N.ATC = {};
      TDocCase C{"vaccination kind " + std::to_string(Kind) + (ByHolder ? " by holder" : " by other"),
                 BuildCDANoteVaccination(S.Doc, S.Info,
                                         BuildNoteVaccinationBody(S.Info, N, "2.25.4242"), Other),
                 HeaderValues(S, false), true};
      Append(C.Expected, {N.Content, N.Vaccin, N.Lot});
      if (ByHolder)
        Append(C.Expected, {N.Site.Code, N.Site.Libelle, N.Route.Code, N.Route.Libelle, N.CIS.Code,
                            N.ATC.Code, N.ATC.Libelle});
      else
        C.Expected.push_back(Other);
      Cases.push_back(std::move(C));
    }
  }
  return Cases;
}

TEST(CDAPeer, every_document_kind_validates_against_the_cda_schema) {
  SKIP_UNLESS_TOOL("xmllint");
  const auto Schema = TestSupport::SharedData("cda/schema/CDA_extended.xsd");
  if (Schema.empty() || !std::filesystem::exists(Schema))
    GTEST_SKIP() << "shared CDA schema absent (../shared/data/cda/schema)";
  TestSupport::TempDir Dir;
  for (const TDocCase& C : AllDocuments()) {
    SCOPED_TRACE(C.Name);
    const auto Path = Dir / "doc.xml";
    TestSupport::WriteFile(Path, C.XML);
    const auto R = TestSupport::Run({"xmllint", "--noout", "--schema", Schema.string(), Path.string()});
    EXPECT_EQ(R.Status, 0) << R.Err;
  }
}

TEST(CDAPeer, hostile_values_come_back_unchanged_and_references_resolve) {
  for (const TDocCase& C : AllDocuments()) {
    SCOPED_TRACE(C.Name);
    const auto R = TestSupport::RunPython(CheckScript, C.Expected, C.XML);
    ASSERT_EQ(R.Status, 0) << R.Err;
    const size_t Eol = R.Out.find('\n');
    EXPECT_EQ(R.Out.substr(Eol + 1), "") << "problems:\n" << R.Out;
    if (C.HasReferences) {
      EXPECT_NE(R.Out.substr(0, Eol), "refs=0");
    }
  }
}

TEST(CDAPeer, base64_body_decodes_to_the_wrapped_file) {
  for (const auto& [File, Mime] : {std::pair{"compte-rendu.pdf", "application/pdf"},
                                   std::pair{"note.txt", "text/plain"},
                                   std::pair{"image.jpg", "image/jpeg"},
                                   std::pair{"", "text/plain"}}) {
    SCOPED_TRACE(File);
    TestSupport::TempDir Dir;
    std::string Bytes;
    const auto Path = Dir / "wrapped";
    if (*File) {
      Bytes = ReadFile(Fixture(std::string("cda-build/") + File));
    }
    TestSupport::WriteFile(Path, Bytes);
    TSample S(false);
    S.Doc.mediaType = Mime;
    S.Doc.Content = Bytes.data();
    S.Doc.ContentSize = Bytes.size();
    const auto R = TestSupport::RunPython(Base64Script, {Path.string()}, BuildCDANonXMLBody(S.Doc, S.Info));
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, std::string("same ") + Mime + "\n");
  }
}

// Every size modulo 3 around the encoder's chunk boundary, with random bytes.
TEST(CDAPeer, base64_body_of_random_sizes_decodes_byte_identical) {
  TestSupport::TempDir Dir;
  for (const size_t Size : {size_t(1), size_t(2), size_t(3), size_t(49151), size_t(49152),
                            size_t(49153), size_t(98305)}) {
    SCOPED_TRACE(Size);
    const std::string Bytes = TestSupport::RandomBytes(Size, Size);
    const auto Path = Dir / "random";
    TestSupport::WriteFile(Path, Bytes);
    TSample S(false);
    S.Doc.Content = Bytes.data();
    S.Doc.ContentSize = Bytes.size();
    const auto R = TestSupport::RunPython(Base64Script, {Path.string()}, BuildCDANonXMLBody(S.Doc, S.Info));
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "same application/pdf\n");
  }
}

}  // namespace
