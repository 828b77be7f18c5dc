// The card fixtures read by us and by Python's xml.etree
// (tests/tools/vitale_card.py), which gives the expected beneficiaries
// (dates through datetime), compared in one table.
#include <gtest/gtest.h>

#include <string>

#include "Talven.eSante.API_LEC.h"
#include "TestSupport.h"

namespace {

using namespace Talven::eSante;

std::string VitaleCardScript() { return std::string(CARVELIN_SOURCE_DIR) + "/tests/tools/vitale_card.py"; }

std::string OurReading(const std::string& File) {
  TDonneesVitale Card;
  Vantrel::TDateTime Today = 0;
  Vantrel::TryEncodeDate(2025, 6, 15, Today);
  Card.Parse(TestSupport::ReadFile(File), Today);
  std::string Out = "card " + Card.numSerie + "\n";
  for (const TBeneficiaire& B : Card.listeBenef) {
    Out += B.NomUsage + "|" + B.NomNaissance + "|" + B.Prenom + "|" + B.DateNaissance + "|" + B.DateINS() + "|" +
           B.Nir + "|" + std::to_string(B.RangDeNaissance) + "|" + std::to_string(B.Qualite) + "|" +
           B.Adresse1() + "|" + B.Adresse2() + "|" + B.CodePostal() + "|" + B.Ville() + "|" + B.MedecinTraitant +
           "\n";
  }
  return Out;
}

TEST(ApiLecPeer, card_fixtures_read_as_python_reads_them) {
  for (const char* Name : {"one-benef.xml", "three-benef-element.xml", "windows-1252.xml", "no-list.xml"}) {
    SCOPED_TRACE(Name);
    const std::string File = TestSupport::Fixture(std::string("vitale/") + Name).string();
    const auto Python = TestSupport::Run({TestSupport::Python, VitaleCardScript(), File});
    ASSERT_EQ(Python.Status, 0) << Python.Err;
    EXPECT_EQ(OurReading(File), Python.Out);
  }
}

}  // namespace
