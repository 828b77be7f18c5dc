// The mobile Vitale application service's answer reader and request texts,
// without a service: a test session signs with the test PKI's software key.
#include <gtest/gtest.h>

#include "Talven.Carvelin.AppVitale.h"
#include "TestSession.h"
#include "Vantrel.SOAP.h"

using namespace Talven;
using AppVitale::TAppVitaleRequest;

namespace {

std::string Envelope(std::string_view Body) {
  return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" + std::string(Body) +
         "</soap:Body></soap:Envelope>";
}

std::string Profile(std::string_view Identification, std::string_view Beneficiaires) {
  return Envelope("<R xmlns=\"urn:x\"><ContexteApCV><Identifiant>ctx-1</Identifiant></ContexteApCV><ProfilApCV>" +
                  std::string(Identification) + std::string(Beneficiaires) + "</ProfilApCV></R>");
}

TEST(AppVitale, answers_that_are_not_a_profile_give_their_code_error_and_detail) {
  const struct {
    std::string Answer;
    int Result;
    std::string Error, Detail;
  } Cases[] = {
      {Envelope("<soap:Fault><soap:Reason><soap:Text>Refus &amp; motif</soap:Text></soap:Reason>"
                "<soap:Detail><Erreur>QR périmé</Erreur></soap:Detail></soap:Fault>"),
       AppVitale::ApCVFault, "Refus & motif", "QR périmé"},
      {Envelope("<soap:Fault><soap:Reason><soap:Text>Refus</soap:Text></soap:Reason></soap:Fault>"),
       AppVitale::ApCVFault, "Refus", ""},
      {Envelope("<R><ProfilApCV/></R>"), AppVitale::ApCVNoContext, "Réponse inattendue du serveur", ""},
      {Envelope("<R><ContexteApCV><Identifiant>c</Identifiant></ContexteApCV></R>"), AppVitale::ApCVNoProfile,
       "Réponse inattendue du serveur", ""},
      {"<html><body>Maintenance<br></body>", AppVitale::ApCVNoContext, "Réponse inattendue du serveur", "*"},
      {"", AppVitale::ApCVNoContext, "Réponse inattendue du serveur", ""},
  };
  for (const auto& C : Cases) {
    TAppVitaleRequest R;
    EXPECT_EQ(R.SetIdentites(C.Answer), C.Result) << C.Answer;
    EXPECT_EQ(R.Error, C.Error) << C.Answer;
    if (C.Detail == "*")
      EXPECT_NE(R.Detail.find("octet"), std::string::npos) << C.Answer << ": " << R.Detail;  // the parser's message
    else
      EXPECT_EQ(R.Detail, C.Detail) << C.Answer;
    EXPECT_TRUE(R.Identites.empty());
    EXPECT_EQ(R.TypeEnv, 'T');
  }
}

TEST(AppVitale, environment_letter_of_the_identification) {
  const struct {
    std::string_view Identification;
    char TypeEnv;
  } Cases[] = {
      {"", 'T'},
      {"<Identification type=\"R\"/>", 'R'},
      {"<Identification type=\"D\" numSerie=\"000468945678\"/>", 'T'},
      {"<Identification type=\"D\" numSerie=\"000468945679\"/>", 'D'},
      {"<Identification type=\"RR\"/>", 'T'},
      {"<Identification type=\"\"/>", 'T'},
  };
  for (const auto& C : Cases) {
    TAppVitaleRequest R;
    EXPECT_EQ(R.SetIdentites(Profile(C.Identification, {})), 0);
    EXPECT_EQ(R.TypeEnv, C.TypeEnv) << C.Identification;
    EXPECT_EQ(R.Identifiant, "ctx-1");
  }
}

TEST(AppVitale, identities_are_read_in_order_with_their_fallbacks) {
  TAppVitaleRequest R;
  const std::string Answer = Profile(
      "<Identification type=\"T\"/>",
      "<B><CarteVitaleIndividu><IdentiteAMO><NomFamille>D&apos;ARC</NomFamille><NomUsage>U</NomUsage>"
      "<Prenom>Jeanne</Prenom><Qualite>6</Qualite><DateNaissance rang=\"2\">2012-02-29</DateNaissance>"
      "<NIRCertifie cle=\"37\">2840575112045</NIRCertifie></IdentiteAMO>"
      "<ContratAMO><NIRAssure cle=\"46\">1690575112045</NIRAssure></ContratAMO></CarteVitaleIndividu></B>"
      "<B><CarteVitaleIndividu><ContratAMO><NIRAssure>1</NIRAssure></ContratAMO></CarteVitaleIndividu></B>"
      "<B><CarteVitaleIndividu><NomFamille>PAR LE NOEUD</NomFamille><IdentiteAMO><Qualite>x</Qualite>"
      "<DateNaissance>29/02/2012</DateNaissance><NIRCertifie>2840575112045</NIRCertifie></IdentiteAMO>"
      "</CarteVitaleIndividu></B><B/>");
  ASSERT_EQ(R.SetIdentites(Answer), 2);
  const AppVitale::TIdentiteAMO& A = R.Identites[0];
  EXPECT_EQ(A.NomFamille, "D'ARC");
  EXPECT_EQ(A.NomUsage, "U");
  EXPECT_EQ(A.Prenom, "Jeanne");
  EXPECT_EQ(A.Qualite, 6);
  EXPECT_EQ(A.DateNaissance, "29/02/2012");
  Vantrel::TDateTime Leap = 0;
  ASSERT_TRUE(Vantrel::TryEncodeDate(2012, 2, 29, Leap));
  EXPECT_EQ(A.DDN, Leap);
  EXPECT_EQ(A.Rang, 2);
  EXPECT_EQ(A.NIRCertifie, "284057511204537");
  EXPECT_EQ(A.NIRAssure, "169057511204546");
  const AppVitale::TIdentiteAMO& B = R.Identites[1];
  EXPECT_EQ(B.NomFamille, "PAR LE NOEUD");
  EXPECT_EQ(B.Qualite, 0);
  EXPECT_EQ(B.DDN, 0);
  EXPECT_EQ(B.DateNaissance, "");
  EXPECT_EQ(B.Rang, 0);
  EXPECT_EQ(B.NIRCertifie, "2840575112045");
  EXPECT_EQ(B.NIRAssure, "");
}

class AppVitaleRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    AppVitale::SetAppVitaleEndpoints({"https://qualif.test", "https://prod.test", "urn:x:\"ns\"/apcv/auth/1/0", ""});
    TAppVitaleRequest::ClearSecurityData();
    Session.Info.Porteur.IdNational = "810001234567";
    Session.Info.Activites = {TActivite()};
    Session.Info.Activites[0].NumFacturation = "12<3>";
    Session.Info.ActCount = 1;
    Session.Info.ActIndex = 0;
  }
  void TearDown() override { AppVitale::SetAppVitaleEndpoints({}); }

  // SetCPS with the session as it is now.
  TAppVitaleRequest Prepared() {
    TAppVitaleRequest R;
    std::string Error;
    EXPECT_TRUE(R.Context.SetCPS(&Session, "{4F0C7D3A-61E4-4B0F-8D2A-3F5E9B1C7A44}", Error)) << Error;
    return R;
  }

  CoreTest::TTestSession Session;
};

TEST_F(AppVitaleRequests, values_are_escaped_and_empty_parts_left_out) {
  TAppVitaleRequest R = Prepared();
  R.SpecAMO = "";
  const std::string Text = R.authentifierUtilisateurProximite("<qr a=\"1\"> & 'x'");
  ASSERT_FALSE(Text.empty()) << R.Error;
  Vantrel::TXMLTree T;
  T.Build(Text);
  const Vantrel::PXMLNode Body = T.XPathNode("Envelope/Body/AuthentifierUtilisateurProximiteReq");
  ASSERT_TRUE(Body);
  EXPECT_EQ(Body->GetAttribute("xmlns")->Value(), "urn:x:\"ns\"/apcv/auth/1/0");
  EXPECT_EQ(Body->GetAttribute("version")->Value(), "1.0");
  EXPECT_EQ(Body->XPathNode("Donnees")->Value(), "<qr a=\"1\"> & 'x'");
  EXPECT_EQ(Body->XPathNode("ProfessionnelSante/IdentifiantFacturation")->Value(), "12<3>");
  EXPECT_FALSE(Body->XPathNode("ProfessionnelSante/CodeSpecialiteAMO"));
  EXPECT_EQ(T.XPathNode("Envelope/Header/ContexteLPS/LPS/Instance")->Value(), "4f0c7d3a-61e4-4b0f-8d2a-3f5e9b1c7a44");
  EXPECT_EQ(T.XPathNode("Envelope/Header/Action")->Value(), "urn:ApCV_AUTH:1.0:authentifierUtilisateurProximite");
  EXPECT_TRUE(T.XPathNode("Envelope/Header/MessageID")->Value().starts_with("uuid:"));

  R.SpecAMO = "99";
  R.Identifiant = "c<1>";
  T.Build(R.authentifierUtilisateurProximite("qr"));
  EXPECT_EQ(T.XPathNode("Envelope/Body/AuthentifierUtilisateurProximiteReq/ProfessionnelSante/CodeSpecialiteAMO")->Value(),
            "99");
  T.Build(R.detruireContexteApCV());
  EXPECT_EQ(T.XPathNode("Envelope/Body/DetruireContexteApCVReq/ContexteApCV/Identifiant")->Value(), "c<1>");
  T.Build(R.restituerContexteApCV());
  EXPECT_EQ(T.XPathNode("Envelope/Header/Action")->Value(), "urn:ApCV_AUTH:1.0:restituerContexteApCVReq");
  EXPECT_TRUE(T.XPathNode("Envelope/Body/RestituerContexteApCVReq"));
}

TEST_F(AppVitaleRequests, card_category_chooses_host_and_agreement) {
  const struct {
    uint8_t Card;
    std::string IDAMProduction;
    std::string URL, IDAM;
  } Cases[] = {
      {0x00, "", "https://prod.test/wssoap/apcv/auth/1/0", "??"},
      {0x03, "PRODIDAM", "https://prod.test/wssoap/apcv/auth/1/0", "PRODIDAM"},
      {79, "", "https://prod.test/wssoap/apcv/auth/1/0", "??"},
      {0x50, "", "https://qualif.test/wssoap/apcv/auth/1/0", "QPT48RX31HB4"},
      {0x80, "PRODIDAM", "https://qualif.test/wssoap/apcv/auth/1/0", "QPT48RX31HB4"},
  };
  for (const auto& C : Cases) {
    AppVitale::SetAppVitaleEndpoints({"https://qualif.test", "https://prod.test", "urn:x", C.IDAMProduction});
    Session.Info.Carte.Categorie = C.Card;
    TAppVitaleRequest R = Prepared();
    EXPECT_EQ(R.URL(), C.URL) << int(C.Card);
    Vantrel::TXMLTree T;
    T.Build(R.Context.ContexteLPS());
    EXPECT_EQ(T.XPathNode("ContexteLPS/LPS/IDAM")->Value(), C.IDAM) << int(C.Card);
    EXPECT_EQ(T.XPathNode("ContexteLPS/LPS/Nom")->Value(), "urn:lps:CARVELIN:2.6");
  }
}

TEST_F(AppVitaleRequests, a_header_that_cannot_be_made_gives_no_request) {
  Session.Info.Carte.Categorie = 5;
  TAppVitaleRequest R = Prepared();
  EXPECT_EQ(R.restituerContexteApCV(), "");
  EXPECT_EQ(R.Error, "Type de carte inconnu 5");

  struct : CoreTest::TTestSession {
    int GetCertificat(TCertificat*) override { return ERR_CERTIFICAT; }
  } Unreadable;
  std::string Error;
  EXPECT_FALSE(R.Context.SetCPS(&Unreadable, "{}", Error));
  EXPECT_EQ(Error, "Certificat de la carte illisible");
  EXPECT_FALSE(R.Context.SetCPS(nullptr, "{}", Error));
}

TEST_F(AppVitaleRequests, the_cached_header_follows_card_holder_and_activity) {
  std::chrono::steady_clock::time_point Now{};
  AppVitale::SetCacheClock([&Now] { return Now; });
  const std::string First = Prepared().Context.Security2();
  EXPECT_EQ(Prepared().Context.Security2(), First);
  Session.Info.Activites[0].NumFacturation = "999";
  const std::string Other = Prepared().Context.Security2();
  EXPECT_NE(Other, First);
  EXPECT_NE(Other.find(">999<"), std::string::npos);
  Session.Info.Porteur.IdNational = "810009999999";
  EXPECT_NE(Prepared().Context.Security2(), Other);
  Now += std::chrono::minutes(50);
  const std::string Later = Prepared().Context.Security2();
  Now += std::chrono::minutes(49);
  EXPECT_EQ(Prepared().Context.Security2(), Later);
  TAppVitaleRequest::ClearSecurityData();
  EXPECT_NE(Prepared().Context.Security2(), Later);
  AppVitale::SetCacheClock(nullptr);
}

}  // namespace
