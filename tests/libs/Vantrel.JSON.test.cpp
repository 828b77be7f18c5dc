#include "Vantrel.JSON.h"

#include <gtest/gtest.h>

#include "Records.h"
#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"

namespace {

using namespace Vantrel;
using JSONTest::TEtat;
using JSONTest::TTout;

struct TMessage {
  TEtat Etat = TEtat::Inconnu;
  TSet<TEtat> Etats;
  std::u16string Texte;
  TDateTimeValue Date;
  TBytes Octets;
  UTF16::TJSONRawValue Brut;
  TJSONRawValue BrutUTF8;  // an ordinary string in this form
};
VANTREL_RECORD(TMessage, VANTREL_FIELD(Etat), VANTREL_FIELD(Etats), VANTREL_FIELD(Texte), VANTREL_FIELD(Date),
               VANTREL_FIELD(Octets), VANTREL_FIELD(Brut), VANTREL_FIELD(BrutUTF8))

TDateTime Date(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime V;
  EXPECT_TRUE(TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

TEST(JSONUTF16, enumeration_at_first_value_is_written_empty_set_left_out) {
  TMessage M;
  EXPECT_EQ(UTF16::JSON::buildJSON(M),
            u"{\"Etat\":\"Inconnu\",\"Texte\":null,\"Octets\":null,\"Brut\":null,\"BrutUTF8\":null}");
  EXPECT_EQ(Vantrel::JSON::buildJSON(M), R"({"Texte":null,"Octets":null,"Brut":null,"BrutUTF8":null})");
  M.Brut = UTF16::TJSONRawValue(u"[1,\"é\"]");
  M.BrutUTF8 = TJSONRawValue("[2]");
  M.Texte = u"a\"\t\x01\xD800é😀";
  EXPECT_EQ(UTF16::JSON::buildJSON(M), u"{\"Etat\":\"Inconnu\",\"Texte\":\"a\\\"\\t\\u0001\\ud800é😀\","
                                        u"\"Octets\":null,\"Brut\":[1,\"é\"],\"BrutUTF8\":\"[2]\"}");
  TMessage Back;
  UTF16::JSON::parseJSON(UTF16::JSON::buildJSON(M), Back);
  EXPECT_EQ(Back.Texte, M.Texte);
  EXPECT_EQ(Back.Brut, M.Brut);
  EXPECT_EQ(Back.BrutUTF8, M.BrutUTF8);
}

TEST(JSONUTF16, date_time_needs_seconds_here_not_in_utf8) {
  TMessage M;
  try {
    UTF16::JSON::parseJSON(u"{\"Date\":\"2024-01-31T10:20\"}", M);
    FAIL() << "no error";
  } catch (const UTF16::EJSONError& E) {
    EXPECT_STREQ(E.what(), "Invalid date/time 2024-01-31T10:20");
    EXPECT_EQ(E.Offset(), 8u);
  }
  Vantrel::JSON::parseJSON(R"({"Date":"2024-01-31T10:20"})", M);
  EXPECT_DOUBLE_EQ(M.Date, Date(2024, 1, 31, 10, 20));
  UTF16::JSON::parseJSON(u"{\"Date\":\"2024-01-31 10:20:30Z\"}", M);
  EXPECT_DOUBLE_EQ(M.Date, Date(2024, 1, 31, 10, 20, 30));
  EXPECT_DOUBLE_EQ(UTF16::JSON::StrToDateTime(u"2024-01-31"), Date(2024, 1, 31));
  EXPECT_THROW(UTF16::JSON::StrToDateTime(u"31/01/2024"), UTF16::EJSONError);
}

TEST(JSONUTF16, base64_may_hold_no_escape_here) {
  TMessage M;
  EXPECT_THROW(UTF16::JSON::parseJSON(u"{\"Octets\":\"AAEC\\n/w==\"}", M), std::runtime_error);
  try {
    UTF16::JSON::parseJSON(u"{\"Octets\":\"AAEC\\n/w==\"}", M);
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "Unexpected \\ in Base64 string");
  }
  Vantrel::JSON::parseJSON(R"({"Octets":"AAEC\n/w=="})", M);
  EXPECT_EQ(M.Octets, std::string("\x00\x01\x02\xFF", 4));
  UTF16::JSON::parseJSON(u"{\"Octets\":\"AAEC /w==\"}", M);
  EXPECT_EQ(M.Octets, std::string("\x00\x01\x02\xFF", 4));
}

TEST(JSONUTF16, errors_are_this_forms_own_class) {
  TMessage M;
  try {
    UTF16::JSON::parseJSON(u"{\"Texte\" :\"é\"}", M);
    FAIL();
  } catch (const Vantrel::EJSONError&) {
    FAIL() << "the UTF-8 form's class";
  } catch (const UTF16::EJSONError& E) {
    EXPECT_STREQ(E.what(), "Expected char \":\" not found in \"{\"Texte\" \"");
    EXPECT_EQ(E.Offset(), 8u);
  }
}

TEST(JSONUTF16, every_kind_round_trips_and_matches_the_utf8_form) {
  TTout T = JSONTest::FullRecord();
  T.Etat = TEtat::Inconnu;  // where the two forms differ: the first value of an
  T.Brut.clear();           // enumeration, and the UTF-8 raw type (a string here)
  std::u16string Json = UTF16::JSON::buildJSON(T);
  std::string Json8 = Vantrel::JSON::buildJSON(T);
  std::string Converted = UTF16ToUTF8(Json);
  EXPECT_EQ(Converted.substr(0, 31), R"({"Actif":true,"Etat":"Inconnu",)");
  EXPECT_EQ(Converted.substr(31), Json8.substr(14));
  TTout Back;
  UTF16::JSON::parseJSON(Json, Back);
  EXPECT_TRUE(Back == T);
}

TEST(JSONUTF16, files_are_utf8_without_bom_and_come_back_unchanged) {
  TestSupport::TempDir Dir;
  std::string Name = (Dir / "msg.json").string();
  EXPECT_EQ(UTF16::JSON::LoadFromFile(Name), u"");
  std::u16string Text = u"{\"Nom\":\"Hélène Œuvre 😀\"}";
  UTF16::JSON::SaveToFile(Name, Text);
  EXPECT_EQ(TestSupport::ReadFile(Name), "{\"Nom\":\"Hélène Œuvre 😀\"}");
  EXPECT_EQ(UTF16::JSON::LoadFromFile(Name), Text);
}

TEST(JSONUTF16, primitive_readers_return_utf16) {
  UTF16::TJSONParser P{u" [\"\\u00e9t\\u00e9\", 12 , true]"};
  EXPECT_TRUE(P.BeginArray());
  EXPECT_EQ(P.GetString(), u"été");
  EXPECT_FALSE(P.EndArray());
  EXPECT_EQ(P.GetInteger(), 12);
  EXPECT_FALSE(P.EndArray());
  EXPECT_TRUE(P.GetBoolean());
  EXPECT_TRUE(P.EndArray());
  UTF16::TJSONBuilder B;
  B.AppendString(u"x", false);
  EXPECT_TRUE(B.BeginArray(1));
  B.Append(7);
  B.EndArray();
  EXPECT_EQ(B.ToString(), u"\"x\"{\"count\":1,\"items\":[7]}");
}

}  // namespace
