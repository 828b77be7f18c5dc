// The professional session without a card or a service: the checks an
// existence test makes before anything is sent, the HL7 v3 pieces with
// values that need escaping, and the small accessors.
#include <gtest/gtest.h>

#include "Talven.Carvelin.Objects.h"
#include "TestSession.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven;

namespace {

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = TCarvelin::Create();
    Session = std::make_unique<CoreTest::TTestSession>();
    // Nothing listens there: a request that got past the checks would fail to connect.
    Session->SetServer("127.0.0.1:1");
    Session->FActive = true;
    Root->SetSession(*Session);
  }
  std::shared_ptr<TCarvelin> Root;
  std::unique_ptr<CoreTest::TTestSession> Session;
};

TEST_F(SessionTest, existence_test_refuses_bad_identifiers_before_any_connection) {
  struct Case {
    std::string Value;
    char Type;
    bool Training;
    int Code;
  } Cases[] = {
      {"2840575112045", 'R', true, ERR_INS_INVALIDE},    // 13 digits
      {"284057511204538", 'T', true, ERR_INS_INVALIDE},  // wrong key
      {"2840575112045377", 'T', true, ERR_INS_INVALIDE}, // 16 characters
      {"284057511204537", 'X', true, ERR_INS_INVALIDE},  // unknown type letter
      {"^^^&1.2.250.1.213.1.4.10&ISO^NH", 'N', true, ERR_INS_INVALIDE},
      {"284057511204537^^^&&ISO^NH", 'N', true, ERR_INS_INVALIDE},
      {"284057511204537^^^&1.2.3\"/><x a=\"&ISO^NH", 'N', true, ERR_INS_INVALIDE},
      {"284057511204537", 'R', true, ERR_VITALE_REELLE},
      {"284057511204537", 'I', true, ERR_VITALE_REELLE},
      {"284057511204537^^^&amp;1.2.250.1.213.1.4.8&amp;ISO^NH", 'N', true, ERR_VITALE_REELLE},
      {"284057511204537", 'T', false, ERR_VITALE_TEST},
      {"284057511204537^^^&1.2.250.1.213.1.4.10&ISO^NH", 'R', false, ERR_VITALE_TEST},
  };
  for (const Case& C : Cases) {
    Session->Info.Carte.Categorie = C.Training ? 0x80 : 0;
    TDossierInfo Dossier;
    EXPECT_EQ(Session->TestExistenceDossier(C.Value, C.Type, Dossier), C.Code) << C.Value << " " << C.Type;
    EXPECT_FALSE(Root->GetErrDetail().empty()) << C.Value;
  }
  // A session that is not logged in, or not the root's.
  Session->FActive = false;
  TDossierInfo Dossier;
  EXPECT_EQ(Session->TestExistenceDossier("284057511204537", 'T', Dossier), ERR_SESSION);
  CoreTest::TTestSession Other;
  Other.FActive = true;
  EXPECT_EQ(Other.TestExistenceDossier("284057511204537", 'T', Dossier), ERR_SESSION);
}

TEST_F(SessionTest, hl7_pieces_keep_card_and_caller_values_intact) {
  const std::string Structure = "Cabinet \"L'Orée\" & Associés <Paris> <Paris>";
  TCPSInfo& Info = Session->Info;
  Info.LPS_OID = "2.25.1";
  Info.LPS_Nom = "A&B <C>";
  Info.ProcessingCode = "D";
  Info.CN = "CN \"1\" & <2>";
  Info.Porteur.Nom = "O'Brien & <Fils>";
  Info.Porteur.Prenom = "Zoé \"Z\"";
  Info.Porteur.Entite = {"G15_10/SM54", "Médecin & <SM>", "1.2.250.1.213.1.1.4.5"};
  Info.ActCount = 1;
  Info.Activites[0].IdNational = "3<1>&\"";
  Info.Activites[0].RaisonSociale = Structure;
  const std::string Text = "<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
                           Session->HL7Interaction("PRPA_IN201305UV02", Session->HL7Author()) + "</r>";
  Vantrel::TXMLTree Tree;
  ASSERT_NO_THROW(Tree.Build(Text)) << Text;
  auto Value = [&](std::string_view Path, std::string_view Attribute = {}) {
    Vantrel::PXMLNode Node = Tree.XPathNode(std::string(Path));
    if (!Node) return std::string("(none)");
    if (Attribute.empty()) return Node->Value();
    const Vantrel::TXMLString* A = Node->GetAttribute(Attribute);
    return A ? A->Value() : std::string("(none)");
  };
  const std::string Base = "/r/PRPA_IN201305UV02/";
  const std::string Entity = Base + "controlActProcess/author/assignedEntity/";
  EXPECT_EQ(Value(Base + "sender/device/softwareName"), "A&B <C>");
  EXPECT_EQ(Value(Base + "id", "root"), "2.25.1.3");
  EXPECT_EQ(Value(Base + "processingCode", "code"), "D");
  EXPECT_EQ(Value(Entity + "code", "displayName"), "Médecin & <SM>");
  EXPECT_EQ(Value(Entity + "id", "extension"), Info.CN);
  EXPECT_EQ(Value(Entity + "assignedPerson/name/family"), Info.Porteur.Nom);
  EXPECT_EQ(Value(Entity + "assignedPerson/name/given"), Info.Porteur.Prenom);
  EXPECT_EQ(Value(Entity + "representedOrganization/id", "extension"), "3<1>&\"");
  EXPECT_EQ(Value(Entity + "representedOrganization/name"), Structure);
}

TEST(SessionNames, staff_names_keep_only_name_characters) {
  const std::pair<std::string, std::string> Cases[] = {
      {"Centre Médical (Formation) #2", "Centre Médical -Formation- -2"},
      {"Secrétariat_Accueil@Centre", "Secrétariat-Accueil-Centre"},
      {"L'ÎLE-DE-FRANCE ôù Ô", "L'ÎLE-DE-FRANCE ôù -"},  // lower-case ô only
      {"Ça ñ ü ß 😀", "Ça - - - -"},  // a character outside the BMP gives one hyphen
      {"", ""},
  };
  for (const auto& [In, Out] : Cases) EXPECT_EQ(NormalizePersonName(In), Out) << In;
}

TEST_F(SessionTest, accessors_answer_from_the_session) {
  EXPECT_EQ(Session->CurrentActivite(), nullptr);
  Session->Info.ActCount = 1;
  EXPECT_EQ(Session->CurrentActivite(), &Session->Info.Activites[0]);
  Session->SetSpecAMO("01");
  EXPECT_EQ(Session->FSpecAMO, "01");
  Session->SetSpecAMO("");
  EXPECT_EQ(Session->FSpecAMO, "99");
  EXPECT_EQ(Session->TVaspoCNX::GetCertificat(nullptr), ERR_PARAMETRE);
  TCertificat Certificat;
  Session->Info.DN = "CN=x";
  ASSERT_EQ(Session->TVaspoCNX::GetCertificat(&Certificat), ERR_OK);
  EXPECT_EQ(Certificat.DN, "CN=x");
  EXPECT_EQ(Certificat.CertBytes, Session->Cert);
  EXPECT_FALSE(Certificat.IsCPS);
}

}  // namespace
