// The Vitale card object and the root's card operations on the stand-in
// reader library, whose call log records what the core called.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ApiLecStub.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSession.h"
#include "TestSupport.h"

using namespace Talven;
using TestSupport::ApiLecStub;
namespace fs = std::filesystem;

namespace {

std::string Card(const std::string& Name) { return TestSupport::Fixture("vitale/" + Name).string(); }

Vantrel::TDateTime Day(int Year, int Month, int DayOfMonth) {
  Vantrel::TDateTime Date = 0;
  Vantrel::TryEncodeDate(Year, Month, DayOfMonth, Date);
  return Date;
}

class TProgress : public IVaspoLOG {
 public:
  void OnLog(ICarvelin&, std::string_view Msg) override { Lines.emplace_back(Msg); }
  std::vector<std::string> Lines;
};

class VitaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestSupport::ClearApiLecStubVariables();
    // The default library location lies in the test's own folder, where there is none.
    setenv("XDG_DATA_HOME", Dir.Path().c_str(), 1);
    setenv("APILEC_STUB_LOG", (Dir / "calls.log").c_str(), 1);
    setenv("APILEC_STUB_XML", Card("one-benef.xml").c_str(), 1);
    Root = TCarvelin::Create();
    Root->SetLogger(&Progress);
    ASSERT_EQ(Root->SetApiLecture(ApiLecStub()), ERR_OK) << Root->GetErrDetail();
  }
  void TearDown() override {
    Root->SetLogger(nullptr);
    TestSupport::ClearApiLecStubVariables();
  }

  // The entry points called since the last look, each reduced to its name.
  std::vector<std::string> Calls() {
    std::vector<std::string> Names;
    if (!fs::exists(Dir / "calls.log")) return Names;
    const std::string Text = TestSupport::ReadFile(Dir / "calls.log");
    for (size_t Start = 0, End; (End = Text.find('\n', Start)) != std::string::npos; Start = End + 1)
      Names.push_back(Text.substr(Start, std::min(Text.find(' ', Start), End) - Start));
    fs::remove(Dir / "calls.log");
    return Names;
  }

  std::shared_ptr<IVaspoCSV> FromXML(const std::string& XML) {
    std::shared_ptr<IVaspoCSV> CSV;
    EXPECT_EQ(Root->SetCSV(XML, CSV), ERR_OK) << Root->GetErrDetail();
    return CSV;
  }

  TestSupport::TempDir Dir;
  TProgress Progress;
  std::shared_ptr<TCarvelin> Root;
};

TEST_F(VitaleTest, a_library_that_cannot_serve_leaves_nothing_loaded) {
  // Another name for the stand-in, in another folder: loading it unloads the
  // current one and opens a session for the new folder.
  const fs::path Other = Dir / "libapi_lec.so.6.2.1.0";
  fs::create_symlink(ApiLecStub(), Other);
  struct Case {
    std::string File;
    const char* Open;
    int Code;
    std::string Detail;
  } Cases[] = {
      {Other.string(), "0", ERR_OK, ""},
      {Other.string(), "21", ERR_OK, ""},
      {Other.string(), "32", ERR_API_LECTURE, "Le fichier api_lec.ini est invalide ou introuvable"},
      {ApiLecStub("libapi_lec_stub.so.6.2.0.9"), "0", ERR_VITALE, ApiLecStub("libapi_lec_stub.so.6.2.0.9")},
      {ApiLecStub("libapi_lec_stub_noread.so.6.2.1.0"), "0", ERR_VITALE,
       ApiLecStub("libapi_lec_stub_noread.so.6.2.1.0")},
      {(Dir / "missing.so.6.2.1.0").string(), "0", ERR_VITALE, (Dir / "missing.so.6.2.1.0").string()},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.File + " " + C.Open);
    ASSERT_EQ(Root->SetApiLecture(ApiLecStub()), ERR_OK);
    setenv("APILEC_STUB_OPEN", C.Open, 1);
    EXPECT_EQ(Root->SetApiLecture(C.File), C.Code);
    EXPECT_EQ(Root->GetErrDetail(), C.Detail);
    unsetenv("APILEC_STUB_OPEN");
    Calls();
    // Without a library the reading loads the default one, which is not there.
    Progress.Lines.clear();
    std::shared_ptr<IVaspoCSV> CSV;
    const int Read = Root->GetCSV(CSV);
    const bool Loaded = C.Code == ERR_OK;
    EXPECT_EQ(Read, Loaded ? ERR_OK : ERR_VITALE);
    ASSERT_FALSE(Progress.Lines.empty());
    EXPECT_EQ(Progress.Lines.front(), Loaded ? "Détection de la carte Vitale..." : "Chargement de l'API de lecteur...");
    const std::vector<std::string> Reading = {"Lec_IntroductionMstVitale", "Lec_LectureVitale",
                                              "Lec_RetraitMhtVitale"};
    EXPECT_EQ(Calls(), Loaded ? Reading : std::vector<std::string>{});
  }
}

// The default location is computed once per process: the check runs in a
// fresh one, where no library has been loaded yet.
TEST(VitaleDeathTest, reading_without_a_data_folder_loads_no_library_from_the_root) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("XDG_DATA_HOME");
        unsetenv("HOME");
        bool Refused = false;
        {
          const std::shared_ptr<TCarvelin> Root = TCarvelin::Create();
          std::shared_ptr<IVaspoCSV> CSV;
          const int Code = Root->GetCSV(CSV);
          std::fprintf(stderr, "code=%#x detail=%s\n", unsigned(Code), Root->GetErrDetail().c_str());
          Refused = Code == ERR_VITALE && !CSV;
        }
        std::exit(Refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "code=0x3000 detail=Aucun emplacement .*XDG_DATA_HOME.*HOME");
}

TEST_F(VitaleTest, readings_and_their_failures) {
  struct Case {
    std::string Name;
    std::map<std::string, std::string> Stub;
    int Code;
    std::string Detail;
    uint16_t CardType;
    bool Kept;  // a failure keeps the root's previous card
  } Cases[] = {
      {"production card", {}, ERR_OK, "", 0x0000, false},
      {"test card", {{"APILEC_STUB_CARD", "0x0100"}}, ERR_OK, "", 0x0100, false},
      {"partial reading", {{"APILEC_STUB_READ", "104"}}, ERR_OK, "", 0x0000, false},
      {"no card", {{"APILEC_STUB_CARD", "0x0001"}}, ERR_LECTURE_VITALE, "Carte absente", 0, true},
      {"GALSS error",
       {{"APILEC_STUB_INSERT", "20"}, {"APILEC_STUB_CODE", "0x1A2B"}},
       ERR_LECTURE_VITALE,
       "Erreur GALSS 1A2B; assurez vous de l'état du lecteur de carte",
       0,
       true},
      {"reading error", {{"APILEC_STUB_READ", "6"}}, ERR_LECTURE_VITALE, "Erreur #6, Code 0", 0, true},
      {"malformed card", {{"APILEC_STUB_XML", Card("malformed.xml")}}, ERR_CONTENU_VITALE, "", 0, false},
      // The buffer's zero bytes after the text are not the card's.
      {"length past the XML", {{"APILEC_STUB_LENGTH", "65535"}}, ERR_OK, "", 0x0000, false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::shared_ptr<IVaspoCSV> Previous = FromXML(TestSupport::ReadFile(Card("three-benef-element.xml")));
    for (const auto& [Name, Value] : C.Stub) setenv(Name.c_str(), Value.c_str(), 1);
    Calls();
    std::shared_ptr<IVaspoCSV> CSV;
    EXPECT_EQ(Root->GetCSV(CSV), C.Code);
    if (C.Code != ERR_CONTENU_VITALE) {
      EXPECT_EQ(Root->GetErrDetail(), C.Detail);
    }
    // The card access ends whatever happened.
    const std::vector<std::string> Read = Calls();
    ASSERT_FALSE(Read.empty());
    EXPECT_EQ(Read.front(), "Lec_IntroductionMstVitale");
    EXPECT_EQ(Read.back(), "Lec_RetraitMhtVitale");
    if (C.Code == ERR_OK) {
      ASSERT_TRUE(CSV);
      EXPECT_EQ(CSV, std::static_pointer_cast<IVaspoCSV>(Root->VaspoCSV));
      EXPECT_EQ(CSV->GetCardType(), C.CardType);
      EXPECT_EQ(CSV->GetBeneficiaires(), 1);
      std::string_view XML;
      const int Length = CSV->GetXML(XML);
      EXPECT_EQ(Length, int(XML.size()));
      EXPECT_EQ(XML, TestSupport::ReadFile(Card("one-benef.xml")));
    } else {
      EXPECT_FALSE(CSV);
      EXPECT_EQ(Root->VaspoCSV, C.Kept ? Previous : nullptr);
      EXPECT_EQ(Previous->GetBeneficiaires(), 3);
    }
    for (const auto& [Name, Value] : C.Stub) unsetenv(Name.c_str());
    setenv("APILEC_STUB_XML", Card("one-benef.xml").c_str(), 1);
  }
  Progress.Lines.clear();
  std::shared_ptr<IVaspoCSV> CSV;
  ASSERT_EQ(Root->GetCSV(CSV), ERR_OK);
  EXPECT_EQ(Progress.Lines, (std::vector<std::string>{"Détection de la carte Vitale...", "Lecture de la carte Vitale..."}));
}

TEST_F(VitaleTest, caller_xml_is_bounded_and_a_refusal_keeps_the_callers_card) {
  const std::shared_ptr<IVaspoCSV> Previous = FromXML(TestSupport::ReadFile(Card("three-benef-element.xml")));
  ASSERT_TRUE(Previous);
  EXPECT_EQ(Previous->GetCardType(), 3);

  const std::string Open = "<vitale><tech><numSerie>1</numSerie></tech>", Close = "</vitale>";
  const std::string Largest = Open + std::string(TCarvelin::MaxCardXML - Open.size() - Close.size(), ' ') + Close;
  struct Case {
    std::string Name;
    std::string XML;
    int Code;
  } Cases[] = {
      {"1 MiB", Largest, ERR_OK},
      {"1 MiB and one byte", Largest + " ", ERR_CONTENU_VITALE},
      {"malformed", TestSupport::ReadFile(Card("malformed.xml")), ERR_CONTENU_VITALE},
      {"bad character reference", "<vitale><tech><numSerie>&#12a;</numSerie></tech></vitale>", ERR_CONTENU_VITALE},
      {"no beneficiary list", TestSupport::ReadFile(Card("no-list.xml")), ERR_OK},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::shared_ptr<IVaspoCSV> CSV = Previous;
    EXPECT_EQ(Root->SetCSV(C.XML, CSV), C.Code);
    EXPECT_EQ(bool(CSV), C.Code == ERR_OK);
    EXPECT_EQ(Root->VaspoCSV, CSV);
    EXPECT_EQ(Root->GetErrDetail().empty(), C.Code == ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Previous->GetBeneficiaires(), 3);
  }
}

TEST_F(VitaleTest, card_dates_are_judged_on_the_roots_clock) {
  struct Case {
    Vantrel::TDateTime Today;
    const char* Date;
    const char* Expected;
  } Cases[] = {
      {Day(2025, 6, 15), "991231", "31/12/1999"},
      {Day(2025, 6, 15), "250230", "28/02/2025"},
      {Day(2025, 6, 15), "250616", "16/06/1925"},  // tomorrow lies in the future
      {Day(2025, 6, 15), "000229", "29/02/2000"},
      {Day(2024, 2, 29), "240229", "29/02/2024"},
      {Day(2024, 2, 28), "240229", "29/02/1924"},
      {Day(2024, 2, 29), "250230", "28/02/1925"},
      {Day(2024, 2, 29), "240000", ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Date);
    Root->Clock = [&C] { return C.Today + 0.5; };
    const auto CSV = FromXML(std::string("<vitale><T_AsnDonneesVitale><listeBenef><element><ident><naissance>") +
                             "<dateEnCarte>" + C.Date + "</dateEnCarte></naissance></ident></element></listeBenef>" +
                             "</T_AsnDonneesVitale></vitale>");
    ASSERT_TRUE(CSV && CSV->GetBeneficiaire(0));
    EXPECT_EQ(CSV->GetBeneficiaire(0)->DateNaissance, C.Expected);
  }
}

TEST_F(VitaleTest, selection_stays_within_the_beneficiaries) {
  const auto CSV = FromXML(TestSupport::ReadFile(Card("three-benef-element.xml")));
  EXPECT_EQ(CSV->SelectionBeneficiaire(2), ERR_OK);
  for (int Index : {-1, 3}) {
    EXPECT_EQ(CSV->SelectionBeneficiaire(Index), ERR_INDEX);
    EXPECT_EQ(CSV->GetBeneficiaire(Index), nullptr);
  }
  EXPECT_EQ(CSV->SelectedBeneficiaire(), 2);
  EXPECT_EQ(CSV->GetBeneficiaire(2)->Prenom, "Anaïs");
  EXPECT_EQ(CSV->GetINS(), "");  // the card holds no INS

  const auto Empty = FromXML(TestSupport::ReadFile(Card("no-list.xml")));
  EXPECT_EQ(Empty->GetBeneficiaires(), 0);
  EXPECT_EQ(Empty->GetAdresse(), nullptr);
  EXPECT_EQ(Empty->GetINS(), "");
  EXPECT_EQ(Empty->SelectionBeneficiaire(0), ERR_INDEX);
}

TEST_F(VitaleTest, the_environment_check_matches_the_card_to_the_cps_card) {
  CoreTest::TTestSession Session;
  Session.SetServer("127.0.0.1:1");  // nothing is sent: a request would fail to connect
  struct Case {
    bool TrainingCPS;
    uint16_t CardType;
    int Code;
  } Cases[] = {
      {true, 0x0000, ERR_VITALE_REELLE},
      {true, 0x0100, ERR_INS_PATIENT},
      {true, 3, ERR_INS_PATIENT},
      {false, 0x0100, ERR_VITALE_TEST},
      {false, 3, ERR_VITALE_TEST},
      {false, 0x0000, ERR_INS_PATIENT},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(std::to_string(C.TrainingCPS) + " " + std::to_string(C.CardType));
    Root->SetSession(Session);
    Session.FActive = true;
    Session.Info.Carte.Categorie = C.TrainingCPS ? 0x80 : 0;
    const auto CSV = FromXML(TestSupport::ReadFile(Card("one-benef.xml")));
    CSV->SetCardType(C.CardType);
    std::shared_ptr<IDossierMedical> Dossier;
    EXPECT_EQ(CSV->DossierExiste(Dossier), C.Code);
    EXPECT_FALSE(Dossier);
  }
  // Not logged in; then a card that is no longer the current one.
  const auto CSV = FromXML(TestSupport::ReadFile(Card("one-benef.xml")));
  CSV->SetCardType(0x0100);
  std::shared_ptr<IDossierMedical> Dossier;
  Session.FActive = false;
  EXPECT_EQ(CSV->DossierExiste(Dossier), ERR_SESSION);
  Session.FActive = true;
  Session.Info.Carte.Categorie = 0x80;
  EXPECT_EQ(CSV->DossierExiste(Dossier), ERR_INS_PATIENT);
  FromXML(TestSupport::ReadFile(Card("one-benef.xml")));
  EXPECT_EQ(CSV->DossierExiste(Dossier), ERR_SESSION);
}

TEST_F(VitaleTest, verify_tells_another_card_apart) {
  std::shared_ptr<IVaspoCSV> First;
  ASSERT_EQ(Root->GetCSV(First), ERR_OK);
  EXPECT_EQ(First->Verify(), ERR_OK);
  const auto Second = Root->VaspoCSV;
  EXPECT_NE(Second, First);  // each reading makes the current card anew
  EXPECT_EQ(Second->GetCardType(), 0);

  setenv("APILEC_STUB_XML", Card("three-benef-element.xml").c_str(), 1);
  EXPECT_EQ(Second->Verify(), ERR_CHANGEMENT_CARTE);
  EXPECT_EQ(Root->VaspoCSV->GetBeneficiaires(), 3);
  EXPECT_EQ(Second->GetBeneficiaires(), 1);

  setenv("APILEC_STUB_CARD", "0x0001", 1);
  EXPECT_EQ(Root->VaspoCSV->Verify(), ERR_LECTURE_VITALE);
  EXPECT_EQ(Root->GetErrDetail(), "Carte absente");
}

TEST_F(VitaleTest, the_root_lets_go_of_its_card) {
  CoreTest::TTestSession Session;
  const auto CSV = FromXML(TestSupport::ReadFile(Card("one-benef.xml")));
  Root->SetSession(Session);  // a session opened
  EXPECT_EQ(Root->VaspoCSV, nullptr);

  const auto Kept = FromXML(TestSupport::ReadFile(Card("one-benef.xml")));
  Root.reset();
  EXPECT_EQ(Kept->Verify(), ERR_SESSION);
  EXPECT_EQ(Kept->GetBeneficiaires(), 1);
  const TINSiResponse* Answer = nullptr;
  EXPECT_EQ(Kept->rechercherInsAvecCarteVitale(Answer), ERR_SESSION);
  Root = TCarvelin::Create();
}

TEST_F(VitaleTest, identity_search_needs_a_beneficiary) {
  CoreTest::TTestSession Session;
  Session.SetServer("127.0.0.1:1");
  Session.FActive = true;
  Root->SetSession(Session);
  const auto CSV = FromXML(TestSupport::ReadFile(Card("no-list.xml")));
  const TINSiResponse* Answer = nullptr;
  EXPECT_EQ(CSV->rechercherInsAvecCarteVitale(Answer), ERR_INDEX);
  EXPECT_EQ(Answer, nullptr);
  EXPECT_FALSE(Root->GetErrDetail().empty());
}

}  // namespace
