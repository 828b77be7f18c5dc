#include "Vantrel.SysUtils.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "TestSupport.h"

using namespace Vantrel;
namespace fs = std::filesystem;

namespace {

TDateTime Day(int Y, int M, int D) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDate(Y, M, D, V));
  return V;
}

size_t EntriesIn(const fs::path& Folder) {
  size_t N = 0;
  for ([[maybe_unused]] auto& E : fs::directory_iterator(Folder)) ++N;
  return N;
}

}  // namespace

TEST(SysUtils, file_type_comes_from_the_first_matching_signature) {
  using namespace std::string_literals;
  struct Case { std::string Data; int Code; } Cases[] = {
      {"%PDF-1.7\n", 1},          {"%PD", 0},
      {"{\\rtf1\\ansi", 2},       {"{\\rt", 0},
      {"BM\x36\x00", 3},          {"B", 0},
      {"I I*", 4},                {"MM\0*"s, 4},           {"MM"s, 0},
      {"II*\0"s, 4},              {"II*"s, 0},             {"*MM\0+"s, 4},
      {"\xFF\xD8\xFF\xE0"s, 5},   {"\xFF\xD8"s, 0},
      {"\x89PNG\r\n\x1A\n"s, 6},  {"\x89PNG\r\n\x1A"s, 0},
      {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s, 7},
      {"PK\x03\x04"s, 10},        {"PK", 10},              {"P", 0},
      {"-8 1 x", 11},             {"-8 1", 0},
      {"<?xml version", 12},      {"<?xm", 0},             {"<html>", 0},
      {"", 0},                    {"%pdf", 0},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(FileTypeFromSignature(C.Data), C.Code) << TestSupport::ToHex(C.Data);
}

TEST(SysUtils, split_text_cases) {
  using V = std::vector<std::string>;
  struct Case { std::string_view Sep, S; int MaxCount; bool SkipEmpty; V Parts; } Cases[] = {
      {"&", "a&&b", 0, false, {"a", "", "b"}},
      {"&", "a&&b", 0, true, {"a", "b"}},
      {"=", "a=b=c", 2, false, {"a", "b=c"}},
      {"=", "a=b=c", 1, false, {"a=b=c"}},
      {"=", "a=b=c", 3, false, {"a", "b", "c"}},
      {"=", "a=b=c", 9, false, {"a", "b", "c"}},
      {"&", "", 0, false, {""}},
      {"&", "", 0, true, {}},
      {"&", "a&", 0, false, {"a", ""}},
      {"&", "a&", 0, true, {"a"}},
      {"&", "&a", 0, false, {"", "a"}},
      {"&", "&", 0, true, {}},
      {"", "a&b", 0, false, {"a&b"}},
      {"", "", 0, true, {}},
      {"&&", "a&&&b", 0, false, {"a", "&b"}},    // the search resumes after each occurrence
      {"aa", "aaaa", 0, false, {"", "", ""}},
      {"\r\n", "l1\r\nl2\r\n", 0, true, {"l1", "l2"}},
      {",", "x,y", -1, false, {"x", "y"}},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(SplitText(C.Sep, C.S, C.MaxCount, C.SkipEmpty), C.Parts)
        << '"' << C.S << "\" on \"" << C.Sep << "\" max " << C.MaxCount << " skip " << C.SkipEmpty;
}

TEST(SysUtils, join_text_undoes_split_text) {
  EXPECT_EQ(JoinText(", ", std::vector<std::string>{}), "");
  EXPECT_EQ(JoinText(", ", std::vector<std::string>{""}), "");
  EXPECT_EQ(JoinText(", ", std::vector<std::string>{"a", "", "b"}), "a, , b");
  for (std::string_view S : {"", "a", "a;;b;", ";x;y;z;"})
    EXPECT_EQ(JoinText(";", SplitText(";", S)), S);
}

TEST(SysUtils, commune_codes) {
  for (std::string_view S : {"75056", "2A004", "2B033", "00000"}) EXPECT_TRUE(IsCodeInsee(S)) << S;
  for (std::string_view S : {"2C004", "1234", "123456", "", "A2004", "2a004", "20A04", "7505 ", "2AA04"})
    EXPECT_FALSE(IsCodeInsee(S)) << S;
}

TEST(SysUtils, nir_keys_with_corsican_departments) {
  // Keys checked by hand: 97 - N mod 97, 2A read as 19 and 2B as 18.
  struct Case { std::string_view First13, Key; } Cases[] = {
      {"2951099126111", "93"}, {"180012A004123", "43"}, {"180012B004123", "70"},
      {"1800119004123", "43"}, {"0000000000000", "97"}, {"1234567890123", "11"},
  };
  for (auto C : Cases) {
    std::string S(C.First13);
    S += "??";
    ASSERT_TRUE(NIRKey(S, 14)) << C.First13;
    EXPECT_EQ(S.substr(13), C.Key) << C.First13;
    EXPECT_TRUE(IsValidNIR(S)) << S;
    EXPECT_EQ(NIRWithKey(C.First13, true), S);
  }
}

TEST(SysUtils, nir_validity) {
  struct Case { std::string_view S; bool Valid; } Cases[] = {
      {"295109912611193", true},
      {"295109912611193 and more", true},   // only the first 15 count
      {"295109912611192", false},
      {"29510991261119", false},            // 14 characters
      {"", false},
      {"180012A00412343", true},
      {"180012C00412343", false},
      {"18001A200412343", false},           // 'A' outside the department
      {"180013A00412343", false},           // 3A is no department
      {"29510991261 193", false},
      {"+29510991261193", false},
      {"2951099126111930", true},
  };
  for (auto C : Cases) EXPECT_EQ(IsValidNIR(C.S), C.Valid) << C.S;
}

TEST(SysUtils, nir_key_checks_lengths_before_writing) {
  struct Case { std::string S; size_t Index; bool Written; } Cases[] = {
      {"2951099126111", 14, false},     // no room for the key
      {"2951099126111?", 14, false},    // room for one digit only
      {"295109912611", 13, false},      // fewer than 13 characters
      {"", 1, false},
      {"2951099126111??", 0, false},
      {"2951099126111??", 15, false},
      {"2951099126111??", 14, true},
      {"2951099126111??", 1, true},     // any place inside S
      {"29510991X6111??", 14, false},   // not a number
  };
  for (auto& C : Cases) {
    std::string Before = C.S;
    EXPECT_EQ(NIRKey(C.S, C.Index), C.Written) << Before << " @" << C.Index;
    if (!C.Written) {
      EXPECT_EQ(C.S, Before);
    }
  }
  std::string S = "2951099126111??";
  ASSERT_TRUE(NIRKey(S, 1));
  EXPECT_EQ(S, "9351099126111??");
}

TEST(SysUtils, nir_texts_keep_digits_and_the_corsican_letter) {
  struct Case { std::string_view In; bool AddKey; std::string_view WithKey, WithDash; } Cases[] = {
      {"2 95 10 99 126 111", true, "295109912611193", ""},
      {"2 95 10 99 126 111", false, "", ""},
      {"2.95.10.99.126.111-93", false, "295109912611193", "2951099126111-93"},
      {"2 95 10 99 126 111 99", true, "295109912611199", "2951099126111-99"},  // key not checked
      {"1 80 01 2A 004 123", true, "180012A00412343", ""},
      {"1 80 01 2B 004 123 70", false, "180012B00412370", "180012B004123-70"},
      {"1 80 01 A2 004 123", true, "", ""},                // 'A' not 7th: skipped, 12 digits
      {"A1 80 01 2 004 123", true, "", ""},
      {"2 95 10 99 126 1111", true, "", ""},               // 14 digits
      {"2 95 10 99 126 111 93 1", true, "", ""},           // 16 digits
      {"1 80 01 3A 004 123", true, "", ""},                // 13 kept but not a number
      {"", true, "", ""},
      {"Nir: 2-95-10-99-126-111/93", false, "295109912611193", "2951099126111-93"},
  };
  for (auto C : Cases) {
    EXPECT_EQ(NIRWithKey(C.In, C.AddKey), C.WithKey) << C.In;
    EXPECT_EQ(NIRWithDash(C.In), C.WithDash) << C.In;
  }
  EXPECT_TRUE(SameNIR("2 95 10 99 126 111 93", "295109912611193"));
  EXPECT_TRUE(SameNIR("180012A00412343", "1.80.01.2A.004.123.43"));
  EXPECT_FALSE(SameNIR("295109912611193", "295109912611194"));
  EXPECT_FALSE(SameNIR("", ""));
  EXPECT_FALSE(SameNIR("2951099126111", "2951099126111"));
}

TEST(SysUtils, loose_dates_against_a_fixed_today) {
  const TDateTime Today = Day(2025, 6, 15) + 0.5;
  struct Case { std::string_view Text; std::string_view Expected; } Cases[] = {
      {"010225", "2025-02-01 00:00:00"},
      {"01/02/30", "1930-02-01 00:00:00"},
      {"01/02/25", "2025-02-01 00:00:00"},
      {"01/02/26", "1926-02-01 00:00:00"},
      {"1/2/0", "2000-02-01 00:00:00"},
      {"2024-02-01 10:30", "2024-02-01 10:30:00"},
      {"0102", "2025-02-01 00:00:00"},
      {"01022024", "2024-02-01 00:00:00"},
      {"01011850", "1850-01-01 00:00:00"},
      {"  01.02.2024\t", "2024-02-01 00:00:00"},
      {"1 2 2024", "2024-02-01 00:00:00"},
      {"01/02-2024", "2024-02-01 00:00:00"},
      {"01/02/2024 10:30:15", "2024-02-01 10:30:15"},
      {"01/02/2024 7:5", "2024-02-01 07:05:00"},
      {"01/02/2024abc", "2024-02-01 00:00:00"},         // text after the date is ignored
      {"01-02-2024T10:30", "2024-02-01 00:00:00"},
      {"01/02/2024 10:30xyz", "2024-02-01 10:30:00"},   // and after the time
      {"01/02/2024 10:30:", "2024-02-01 10:30:00"},
      {"01/02/2024 25:00", "2024-02-01 00:00:00"},      // an invalid time is dropped
      {"01/02/2024 10:75:00", "2024-02-01 00:00:00"},
      {"29/02/2024", "2024-02-29 00:00:00"},
      {"31/02/2024", ""},
      {"29/02/2023", ""},
      {"01011849", ""},
      {"01/02/2024 10", ""},
      {"01/02/2024 abc", ""},
      {"01/02/2024 10:", ""},
      {"01//2024", ""},
      {"01/02", ""},
      {"01/02/", ""},
      {"1/2/99999", ""},
      {"1/2/0000000000000000002024", "2024-02-01 00:00:00"},  // leading zeros are no overflow
      {"1/2/2024 99999:00", ""},
      {"2024/13/01", ""},
      {"1900/02/01", ""},
      {"12345", ""},
      {"1234567", ""},
      {"123456789", ""},
      {"3201", ""},
      {"", ""},
      {"   ", ""},
      {"aujourd'hui", ""},
      {"-01/02/2024", ""},
  };
  for (auto C : Cases) {
    TDateTime D = 42;
    bool Ok = ParseDateLoose(C.Text, D, Today);
    EXPECT_EQ(Ok, !C.Expected.empty()) << '"' << C.Text << '"';
    if (Ok) {
      EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", D), C.Expected) << '"' << C.Text << '"';
    } else {
      EXPECT_EQ(D, 0) << '"' << C.Text << '"';
    }
  }
  TDateTime D;
  ASSERT_TRUE(ParseDateLoose("2024-05-30", D, Today));
  EXPECT_EQ(D, Day(2024, 5, 30));
}

TEST(SysUtils, loose_dates_take_the_clock_year_by_default) {
  TDateTime D;
  ASSERT_TRUE(ParseDateLoose("0102", D));
  EXPECT_EQ(DecodeDateTime(D).Year, DecodeDateTime(Now()).Year);
}

TEST(SysUtils, files_are_written_whole_and_read_back) {
  TestSupport::TempDir Dir;
  const std::string Name = (Dir / "doc.bin").string();
  const std::string Bytes = TestSupport::RandomBytes(200000, 7);
  ASSERT_TRUE(UTF8ToFile(Name, Bytes));
  EXPECT_EQ(FileToBytes(Name), Bytes);
  EXPECT_EQ(FileToUTF8(Name), Bytes);
  struct stat Info;
  ASSERT_EQ(stat(Name.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0600u);  // new files are private

  // Replacing keeps the file's permissions and leaves no temporary file behind.
  ASSERT_EQ(chmod(Name.c_str(), 0640), 0);
  ASSERT_TRUE(StringToFile(Name, "caf\xc3\xa9"));
  EXPECT_EQ(FileToBytes(Name), "caf\xc3\xa9");
  ASSERT_EQ(stat(Name.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0640u);
  ASSERT_TRUE(UTF8ToFile(Name, ""));
  EXPECT_EQ(FileToBytes(Name), "");
  EXPECT_EQ(EntriesIn(Dir.Path()), 1u);
}

TEST(SysUtils, file_errors) {
  TestSupport::TempDir Dir;
  const std::string Missing = (Dir / "missing").string();
  try {
    FileToBytes(Missing);
    FAIL() << "no error for a missing file";
  } catch (const std::system_error& E) {
    EXPECT_EQ(E.code().value(), ENOENT);
    EXPECT_NE(std::string(E.what()).find(Missing), std::string::npos);
  }
  EXPECT_THROW(FileToBytes(Dir.Path().string()), std::system_error);  // a folder
  EXPECT_EQ(FileToUTF8(Missing), "");
  EXPECT_EQ(FileToUTF8(Dir.Path().string()), "");
  EXPECT_FALSE(UTF8ToFile((Dir / "no-such-folder" / "f").string(), "x"));
  EXPECT_FALSE(StringToFile("", "x"));
  // A folder in the way is not replaced by a file.
  fs::create_directory(Dir / "sub");
  EXPECT_FALSE(UTF8ToFile((Dir / "sub").string(), "x"));
  EXPECT_TRUE(fs::is_directory(Dir / "sub"));
  EXPECT_EQ(EntriesIn(Dir.Path()), 1u);
}

TEST(SysUtils, temporary_files_are_new_empty_and_named_after_the_prefix) {
  TestSupport::TempDir Dir;
  const char* OldTmp = std::getenv("TMPDIR");
  std::string Saved = OldTmp ? OldTmp : "";
  setenv("TMPDIR", Dir.Path().c_str(), 1);
  struct Case { std::string_view Prefix, Start; } Cases[] = {
      {"DMPexport", "DMP"}, {"ab", "ab"}, {"", ""}, {"a/b/c", "a_b"}, {"\xc3\xa9t\xc3\xa9s", "\xc3\xa9t\xc3\xa9"},
  };
  std::vector<std::string> Names;
  for (auto C : Cases) {
    std::string Name = TempFileNameWithPrefix(C.Prefix);
    ASSERT_FALSE(Name.empty()) << C.Prefix;
    fs::path P(Name);
    EXPECT_EQ(P.parent_path(), Dir.Path());
    EXPECT_EQ(P.filename().string().substr(0, C.Start.size()), C.Start);
    EXPECT_EQ(P.filename().string().size(), C.Start.size() + 6);
    EXPECT_TRUE(fs::is_regular_file(P));
    EXPECT_EQ(fs::file_size(P), 0u);
    Names.push_back(Name);
  }
  EXPECT_NE(TempFileNameWithPrefix("DMP"), TempFileNameWithPrefix("DMP"));
  setenv("TMPDIR", (Dir / "gone").c_str(), 1);
  // A temporary folder that is not there falls back to /tmp.
  std::string Fallback = TempFileNameWithPrefix("DMP");
  EXPECT_EQ(Fallback.substr(0, 8), "/tmp/DMP");
  if (!Fallback.empty()) fs::remove(Fallback);
  if (OldTmp) setenv("TMPDIR", Saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

TEST(SysUtils, user_data_folder_needs_an_absolute_variable) {
  struct Case {
    const char* Xdg;
    const char* Home;
    std::string Folder;
  } Cases[] = {
      {"/xdg", "/home/u", "/xdg"},
      {"xdg", "/home/u", "/home/u/.local/share"},
      {nullptr, "/home/u", "/home/u/.local/share"},
      {"", "", ""},
      {"xdg", "home", ""},
      {nullptr, nullptr, ""},
  };
  const std::string Xdg = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  const std::string Home = std::getenv("HOME") ? std::getenv("HOME") : "";
  auto Set = [](const char* Name, const char* Value) { Value ? setenv(Name, Value, 1) : unsetenv(Name); };
  for (const Case& C : Cases) {
    Set("XDG_DATA_HOME", C.Xdg);
    Set("HOME", C.Home);
    EXPECT_EQ(UserDataFolder(), C.Folder) << (C.Xdg ? C.Xdg : "(unset)") << " " << (C.Home ? C.Home : "(unset)");
  }
  Set("XDG_DATA_HOME", Xdg.empty() ? nullptr : Xdg.c_str());
  Set("HOME", Home.empty() ? nullptr : Home.c_str());
}

TEST(SysUtils, import_folder_gets_its_trailing_delimiter_once) {
  struct Case { std::string In, Out; } Cases[] = {
      {"", ""}, {"/home/u/import", "/home/u/import/"}, {"/home/u/import/", "/home/u/import/"}, {"/", "/"},
  };
  for (auto& C : Cases) {
    TDocImport DocImport{C.In, "/opt/carvelin/Carvelin2,0", "Exporter le document vers DocImport"};
    EnsureTrailingBackslash(DocImport);
    EXPECT_EQ(DocImport.Path, C.Out);
    EXPECT_EQ(DocImport.Icon, "/opt/carvelin/Carvelin2,0");
    EXPECT_EQ(DocImport.Hint, "Exporter le document vers DocImport");
  }
}
