// TAPI_LEC on the stand-in reader library, whose call log is the record of
// what was called, in which order and with which arguments.
#include "Talven.eSante.API_LEC.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "ApiLecStub.h"
#include "TestSupport.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven::eSante;
using TestSupport::ApiLecStub;
namespace fs = std::filesystem;

namespace {

class ApiLec : public ::testing::Test {
 protected:
  void SetUp() override {
    TestSupport::ClearApiLecStubVariables();
    setenv("APILEC_STUB_LOG", (Dir / "calls.log").c_str(), 1);
    TestSupport::WriteFile(Dir / "card.xml", CardXML);
    setenv("APILEC_STUB_XML", (Dir / "card.xml").c_str(), 1);
  }
  void TearDown() override { TestSupport::ClearApiLecStubVariables(); }

  // The log's lines, each reduced to its entry point's name unless Full.
  std::vector<std::string> Calls(bool Full = false) const {
    std::vector<std::string> Lines;
    std::error_code Ec;
    if (!fs::exists(Dir / "calls.log", Ec)) return Lines;
    std::string Text = TestSupport::ReadFile(Dir / "calls.log");
    size_t Start = 0;
    for (size_t End; (End = Text.find('\n', Start)) != std::string::npos; Start = End + 1) {
      std::string Line = Text.substr(Start, End - Start);
      Lines.push_back(Full ? Line : Line.substr(0, Line.find(' ')));
    }
    return Lines;
  }
  void ClearLog() const { fs::remove(Dir / "calls.log"); }

  TestSupport::TempDir Dir;
  const std::string CardXML = "<?xml version=\"1.0\"?><vitale><tech><numSerie>123</numSerie></tech></vitale>";
};

TEST_F(ApiLec, load_accepts_only_a_complete_library_of_version_6_2_1_0_or_later) {
  fs::copy_file(ApiLecStub(), Dir / "libapi_lec.so");  // no version in its name
  fs::create_symlink(ApiLecStub(), Dir / "libapi_lec_link.so");
  struct Case {
    std::string File;
    bool Loads;
  } Cases[] = {
      {ApiLecStub(), true},
      {(Dir / "libapi_lec_link.so").string(), true},  // the version of the file it names
      {ApiLecStub("libapi_lec_stub.so.6.2.0.9"), false},
      {ApiLecStub("libapi_lec_stub_noread.so.6.2.1.0"), false},
      {(Dir / "libapi_lec.so").string(), false},
      {(Dir / "missing.so.6.2.1.0").string(), false},
      {"", false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.File);
    TAPI_LEC Api;
    EXPECT_EQ(Api.Load(C.File), C.Loads);
    EXPECT_EQ(Api.Loaded(), C.Loads);
    EXPECT_EQ(Api.Library(), C.Loads ? C.File : "");
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ApiLec, a_failed_load_leaves_the_previous_library_unloaded) {
  TAPI_LEC Api;
  ASSERT_TRUE(Api.Load(ApiLecStub()));
  ASSERT_TRUE(Api.Init(""));
  EXPECT_TRUE(Api.Load(ApiLecStub()));  // the same file: kept
  EXPECT_FALSE(Api.Load(ApiLecStub("libapi_lec_stub.so.6.2.0.9")));
  EXPECT_FALSE(Api.Loaded());
  EXPECT_EQ(Api.Library(), "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"Lec_OuvertureSessionVitale", "Lec_FermetureSessionVitale"}));
}

TEST_F(ApiLec, sessions_open_once_per_folder_and_close_on_unload) {
  TAPI_LEC Api;
  EXPECT_FALSE(Api.Init(""));  // nothing loaded
  ASSERT_TRUE(Api.Load(ApiLecStub()));
  const std::string LibraryFolder = fs::path(ApiLecStub()).parent_path().string();
  const std::string App = "DMP_" + std::to_string(getpid());
  ASSERT_TRUE(Api.Init(""));
  EXPECT_EQ(Api.Path(), LibraryFolder);
  EXPECT_EQ(Api.AppName(), App);
  EXPECT_TRUE(Api.Init(LibraryFolder));  // open there already
  ASSERT_TRUE(Api.Init(Dir.Path().string()));
  EXPECT_TRUE(Api.Unload());
  EXPECT_FALSE(Api.Loaded());
  EXPECT_EQ(Calls(true), (std::vector<std::string>{
                             "Lec_OuvertureSessionVitale path=" + LibraryFolder + " app=" + App,
                             "Lec_FermetureSessionVitale session=7",
                             "Lec_OuvertureSessionVitale path=" + Dir.Path().string() + " app=" + App,
                             "Lec_FermetureSessionVitale session=7",
                         }));
  EXPECT_FALSE(Api.Unload());
}

TEST_F(ApiLec, opening_results_and_their_messages) {
  struct Case {
    const char* Result;
    bool Opens;
    std::string Message;
  } Cases[] = {
      {"0", true, "Erreur #0, Code 0"},
      {"21", true, "Erreur #21, Code 0"},
      {"25", false, "Temporisation écoulée"},
      {"26", false, "session inconnue"},
      {"32", false, "Le fichier api_lec.ini est invalide ou introuvable"},
      {"33", false, "Le paramètre Mode du fichier api_lec.ini est invalide"},
      {"44", false, "Problème de structure de la table binaire"},
      {"47", false, "Table binaire introuvable"},
      {"70", false, "Erreur lors de la detection automatique des cartes dans les lecteur PSC/SC"},
      {"99", false, "Erreur #99, Code 0"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Result);
    setenv("APILEC_STUB_OPEN", C.Result, 1);
    TAPI_LEC Api;
    ASSERT_TRUE(Api.Load(ApiLecStub()));
    EXPECT_EQ(Api.Init(""), C.Opens);
    EXPECT_EQ(Api.Path().empty(), !C.Opens);
    EXPECT_EQ(Api.ErrorMessage(), C.Message);
  }
  setenv("APILEC_STUB_OPEN", "99", 1);
  setenv("APILEC_STUB_CODE", "0x1A2B", 1);
  TAPI_LEC Api;
  ASSERT_TRUE(Api.Load(ApiLecStub()));
  EXPECT_FALSE(Api.Init(""));
  EXPECT_EQ(Api.ErrorMessage(), "Erreur #99, Code 6699");
}

TEST_F(ApiLec, readings_always_end_the_card_access) {
  struct Case {
    const char* Name;
    std::vector<std::pair<const char*, const char*>> Settings;
    bool Reads;
    bool ReadingTried;
    std::string Data;
    uint16_t Card;
    std::string Message;
  } Cases[] = {
      {"production card", {}, true, true, CardXML, 0x0000, "Erreur #0, Code 0"},
      {"test card", {{"APILEC_STUB_CARD", "0x0100"}}, true, true, CardXML, 0x0100, "Erreur #0, Code 0"},
      {"partial reading", {{"APILEC_STUB_READ", "104"}}, true, true, CardXML, 0, "Erreur #104, Code 0"},
      {"shorter length", {{"APILEC_STUB_LENGTH", "8"}}, true, true, CardXML.substr(0, 8), 0, "Erreur #0, Code 0"},
      {"no card", {{"APILEC_STUB_CARD", "0x0001"}}, false, false, "", 0x0001, "Carte absente"},
      {"reader error",
       {{"APILEC_STUB_INSERT", "20"}, {"APILEC_STUB_CODE", "0x1A2B"}},
       false,
       false,
       "",
       0,
       "Erreur GALSS 1A2B; assurez vous de l'état du lecteur de carte"},
      {"reading error", {{"APILEC_STUB_READ", "5"}, {"APILEC_STUB_CODE", "3"}}, false, true, "", 0, "Erreur #5, Code 3"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    for (const auto& [Name, Value] : C.Settings) setenv(Name, Value, 1);
    TAPI_LEC Api;
    ASSERT_TRUE(Api.Load(ApiLecStub()));
    ASSERT_TRUE(Api.Init(""));
    ClearLog();
    std::string Data = "previous";
    EXPECT_EQ(Api.LoadVitale(Data), C.Reads);
    EXPECT_EQ(Data, C.Data);
    EXPECT_EQ(Api.Card(), C.Card);
    EXPECT_EQ(Api.ErrorMessage(), C.Message);
    const std::vector<std::string> Log = Calls(true);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front(), "Lec_IntroductionMstVitale session=7 reserved=0");
    EXPECT_EQ(Log.back(), "Lec_RetraitMhtVitale session=7 reserved=0");
    EXPECT_EQ(Log.size(), C.ReadingTried ? 3u : 2u);
    if (C.ReadingTried) {
      EXPECT_EQ(Log[1], "Lec_LectureVitale session=7 reserved=0 size=65535");
    }
    for (const auto& [Name, Value] : C.Settings) unsetenv(Name);
  }
}

TEST_F(ApiLec, a_length_at_the_word_limit_stays_within_the_buffer) {
  setenv("APILEC_STUB_LENGTH", "65535", 1);
  TAPI_LEC Api;
  ASSERT_TRUE(Api.Load(ApiLecStub()));
  ASSERT_TRUE(Api.Init(""));
  std::string Data;
  ASSERT_TRUE(Api.LoadVitale(Data));
  ASSERT_EQ(Data.size(), 65535u);
  EXPECT_EQ(Data.substr(0, CardXML.size()), CardXML);
  EXPECT_EQ(Data.find_first_not_of('\0', CardXML.size()), std::string::npos);
}

TEST_F(ApiLec, the_card_can_change_between_two_readings) {
  TAPI_LEC Api;
  ASSERT_TRUE(Api.Load(ApiLecStub()));
  ASSERT_TRUE(Api.Init(""));
  std::string Data;
  ASSERT_TRUE(Api.LoadVitale(Data));
  EXPECT_EQ(Data, CardXML);
  const std::string Other = "<vitale><tech><numSerie>456</numSerie></tech></vitale>";
  TestSupport::WriteFile(Dir / "other.xml", Other);
  setenv("APILEC_STUB_XML", (Dir / "other.xml").c_str(), 1);
  ASSERT_TRUE(Api.LoadVitale(Data));
  EXPECT_EQ(Data, Other);
  const std::vector<std::string> Log = Calls();
  EXPECT_EQ(std::count(Log.begin(), Log.end(), "Lec_OuvertureSessionVitale"), 1);
}

TEST_F(ApiLec, nothing_is_called_without_a_library) {
  TAPI_LEC Api;
  std::string Data = "kept";
  EXPECT_FALSE(Api.LoadVitale(Data));
  EXPECT_EQ(Data, "kept");
  EXPECT_FALSE(Api.Done());
  EXPECT_FALSE(Api.Unload());
  EXPECT_TRUE(Api.CheckVitale());
}

TEST(ApiLecLocation, default_location_is_computed_once_in_the_data_folder) {
  setenv("XDG_DATA_HOME", "/data/home", 1);
  const std::string First = TAPI_LEC::DefaultLocation();
  setenv("XDG_DATA_HOME", "/elsewhere", 1);
  EXPECT_EQ(First, "/data/home/santesocial/DMP/libapi_lec.so");
  EXPECT_EQ(TAPI_LEC::DefaultLocation(), First);
  unsetenv("XDG_DATA_HOME");
}

// The location is computed once per process: the check runs in a fresh one.
TEST(ApiLecLocationDeathTest, no_default_location_without_a_data_folder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("XDG_DATA_HOME");
        setenv("HOME", "relative/home", 1);
        std::fprintf(stderr, "location=[%s]\n", TAPI_LEC::DefaultLocation().c_str());
        std::exit(TAPI_LEC::DefaultLocation().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "location=\\[\\]");
}

}  // namespace

namespace {

Vantrel::TDateTime Day(int Year, int Month, int DayOfMonth) {
  Vantrel::TDateTime Date = 0;
  Vantrel::TryEncodeDate(Year, Month, DayOfMonth, Date);
  return Date;
}

TEST(CardDates, short_and_full_dates_around_the_century_pivot) {
  struct Case {
    const char* Text;
    Vantrel::TDateTime Today;
    Vantrel::TDateTime Expected;
  } Cases[] = {
      {"991231", Day(2025, 6, 15), Day(1999, 12, 31)},
      {"250230", Day(2025, 6, 15), Day(2025, 2, 28)},
      {"240230", Day(2025, 6, 15), Day(2024, 2, 29)},
      {"000229", Day(2025, 6, 15), Day(2000, 2, 29)},
      {"250615", Day(2025, 6, 15), Day(2025, 6, 15)},  // today is not the future
      {"250616", Day(2025, 6, 15), Day(1925, 6, 16)},
      {"280229", Day(2028, 1, 1), Day(1928, 2, 29)},   // the past century's leap day
      {"751301", Day(2025, 6, 15), Day(1975, 12, 1)},  // month 13 read as December
      {"750001", Day(2025, 6, 15), 0},
      {"750100", Day(2025, 6, 15), 0},
      {"7501", Day(2025, 6, 15), 0},
      {"75O101", Day(2025, 6, 15), 0},
      {"", Day(2025, 6, 15), 0},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(CardDateYYMMDD(C.Text, C.Today), C.Expected);
  }
  struct FullCase {
    const char* Text;
    Vantrel::TDateTime Expected;
  } FullCases[] = {
      {"29022000", Day(2000, 2, 29)}, {"30021900", Day(1900, 2, 28)}, {"31132024", Day(2024, 12, 31)},
      {"00012000", 0},                {"01002000", 0},                {"0101200", 0},
      {"01010000", 0},                {"01-01-2000", 0},
  };
  for (const FullCase& C : FullCases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(CardDateDDMMYYYY(C.Text), C.Expected);
  }
}

TEST(CardBeneficiaire, address_lines_and_dates_as_shown) {
  struct Case {
    std::array<std::string, 5> Lines;
    std::string Adresse1, Adresse2, CodePostal, Ville;
  } Cases[] = {
      {{"Bât B", "12 rue X", "", "", "75012 PARIS"}, "Bât B 12 rue X", "", "75012", "PARIS"},
      {{"", "", "3 place Y", "Appt 4", "CAYENNE"}, "3 place Y Appt 4", "", "", "CAYENNE"},
      {{"12 rue X", "", "", "Lieu-dit", "97300 SAINT LAURENT"}, "12 rue X", "Lieu-dit", "97300", "SAINT LAURENT"},
      {{"", "", "", "", ""}, "", "", "", ""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Adresse1);
    TBeneficiaire B;
    B.Adresse = C.Lines;
    EXPECT_EQ(B.AdresseNonVide(), !C.Adresse1.empty());
    EXPECT_EQ(B.Adresse1(), C.Adresse1);
    EXPECT_EQ(B.Adresse2(), C.Adresse2);
    EXPECT_EQ(B.CodePostal(), C.CodePostal);
    EXPECT_EQ(B.Ville(), C.Ville);
  }
  TBeneficiaire B;
  B.NomUsage = "DUPRÉ";
  B.Prenom = "Hélène";
  B.DateEnCarte = "991231";
  B.BirthDate = Day(1999, 12, 31);
  EXPECT_EQ(B.DateDeNaissance(), "991231");
  EXPECT_EQ(B.DateINS(), "1999-12-31");
  EXPECT_EQ(B.FullName(), "DUPRÉ Hélène, né(e) le 31/12/1999");
  B.naissance = "31121999";
  B.DateEnCarte.clear();
  EXPECT_EQ(B.DateDeNaissance(), "991231");
  EXPECT_EQ(B.DateINS(), "1999-12-31");
}

TEST(CardXML, a_card_without_list_keeps_the_previous_one_and_bad_xml_raises) {
  TDonneesVitale Card;
  Card.Parse(TestSupport::ReadFile(TestSupport::Fixture("vitale/one-benef.xml")), Day(2025, 6, 15));
  ASSERT_EQ(Card.listeBenef.size(), 1u);
  EXPECT_EQ(Card.listeBenef[0].NomNaissance, "MARTIN-D'AVRIL");
  EXPECT_EQ(Card.listeBenef[0].Prenom, "Hélène");
  Card.Parse(TestSupport::ReadFile(TestSupport::Fixture("vitale/no-list.xml")), Day(2025, 6, 15));
  EXPECT_EQ(Card.numSerie, "111");
  EXPECT_EQ(Card.listeBenef.size(), 1u);
  EXPECT_THROW(Card.Parse(TestSupport::ReadFile(TestSupport::Fixture("vitale/malformed.xml"))), Vantrel::EXMLError);
  EXPECT_THROW(Card.Parse("<vitale><tech><numSerie>&#23w;</numSerie></tech></vitale>"), std::runtime_error);
  TDonneesVitale Latin;
  Latin.Parse(TestSupport::ReadFile(TestSupport::Fixture("vitale/windows-1252.xml")), Day(2025, 6, 15));
  ASSERT_EQ(Latin.listeBenef.size(), 1u);
  EXPECT_EQ(Latin.listeBenef[0].NomUsage, "GRÉGOIRE");
  EXPECT_EQ(Latin.listeBenef[0].Prenom, "Françoise €");
}

}  // namespace
