#include "Vantrel.URL.h"

#include <gtest/gtest.h>

#include "Vantrel.JSON.UTF8.h"

using namespace Vantrel;

namespace {

struct TQuery {
  std::string INS;
  TDate Date;
  bool Actif = false;
  std::string Flag = "x";
  int32_t Nombre = 0;
  TDateTimeValue Depuis;
  TTime Heure;
  char Sexe = '?';
  std::string Nom;
  TBytes Fichier;
};
VANTREL_RECORD(TQuery, VANTREL_FIELD(INS), VANTREL_FIELD(Date), VANTREL_FIELD(Actif), VANTREL_FIELD(Flag),
               VANTREL_FIELD(Nombre), VANTREL_FIELD(Depuis), VANTREL_FIELD(Heure), VANTREL_FIELD(Sexe),
               VANTREL_FIELD(Nom, Vantrel::Alias("name")), VANTREL_FIELD(Fichier))

TDateTime Day(int Y, int M, int D) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDate(Y, M, D, V));
  return V;
}

class TNote : public URL {
 public:
  VANTREL_OBJECT;
  std::string Titre;
  int32_t Taille = 0;
};
VANTREL_CLASS(TNote, URL, VANTREL_FIELD(Titre), VANTREL_FIELD(Taille))

}  // namespace

TEST(URL, encode_keeps_72_characters_and_escapes_utf8_bytes) {
  struct Case { std::string_view In, Out; } Cases[] = {
      {"Saint-\xC3\x89tienne (42)", "Saint-%C3%89tienne%20(42)"},
      {"a~b+c", "a%7Eb%2Bc"},
      {"&=%/:?#", "%26%3D%25%2F%3A%3F%23"},
      {"!$'()*-.@_", "!$'()*-.@_"},
      {"AZaz09", "AZaz09"},
      {std::string_view("\0\x7F\xFF", 3), "%00%7F%FF"},
      {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},
      {"", ""},
  };
  for (auto& C : Cases) EXPECT_EQ(URL::Encode(C.In), C.Out) << C.In;
  int Kept = 0;
  for (int B = 0; B < 256; ++B) Kept += URL::Encode(std::string(1, char(B))).size() == 1;
  EXPECT_EQ(Kept, 72);
}

TEST(URL, decode_reads_utf8_once_and_falls_back_to_windows_1252) {
  struct Case { std::string_view In, Out; } Cases[] = {
      {"H%C3%A9l%C3%A8ne", "H\xC3\xA9l\xC3\xA8ne"},
      {"h%c3%a9", "h\xC3\xA9"},
      {"H\xC3\xA9l\xC3\xA8ne", "H\xC3\xA9l\xC3\xA8ne"},  // already decoded by the server
      {"a+b%20c", "a b c"},
      {"100%%", "100%"},
      {"H%E9l%E8ne", "H\xC3\xA9l\xC3\xA8ne"},           // legacy 8-bit query
      {"%80%9C%81", "\xE2\x82\xAC\xC5\x93\xC2\x81"},     // euro, oe, an unassigned byte
      {"%C3", "\xC3\x83"},                               // a cut sequence is not UTF-8
      {"%ED%A0%80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},    // nor is a surrogate
      {"", ""},
  };
  for (auto& C : Cases) EXPECT_EQ(URL::Decode(C.In), C.Out) << C.In;
  // The bytes as sent, for checks that must see what a host really sent.
  EXPECT_EQ(URL::DecodeBytes("H%E9l%00+%%"), std::string("H\xE9l\0 %", 6));
}

TEST(URL, decode_refuses_cut_or_non_hex_escapes) {
  struct Case { std::string_view In, Message; } Cases[] = {
      {"%", "Invalid URL encoded character (%) at position 0"},
      {"ab%4", "Invalid URL encoded character (%4) at position 2"},
      {"%G1", "Invalid URL encoded character (%G1) at position 0"},
      {"x%1G", "Invalid URL encoded character (%1G) at position 1"},
  };
  for (auto& C : Cases) {
    try {
      URL::Decode(C.In);
      ADD_FAILURE() << C.In;
    } catch (const URL::EDecodeError& E) {
      EXPECT_EQ(E.what(), C.Message);
    }
  }
}

TEST(URL, query_string_fills_record_fields_by_name) {
  TQuery Q;
  URLDecodeParams("ins=123&date=2024-01-31&actif=1&unknown=5", Q);
  EXPECT_EQ(Q.INS, "123");
  EXPECT_EQ(TDateTime(Q.Date), Day(2024, 1, 31));
  EXPECT_TRUE(Q.Actif);
  EXPECT_EQ(Q.Flag, "x");

  URLDecodeParams("flag&NOMBRE=12&nombre=13&Depuis=2024-01-31T10:20:30&heure=10:20:30&date=2024-02-01T23:59"
                  "&sexe=F&name=H%C3%A9l%C3%A8ne+Dupont&actif=0",
                  Q);
  EXPECT_EQ(Q.Flag, "");  // a name without '=' stores an empty value
  EXPECT_EQ(Q.Nombre, 13);  // the later occurrence wins
  EXPECT_NEAR(TDateTime(Q.Depuis), Day(2024, 1, 31) + (10 * 3600 + 20 * 60 + 30) / 86400.0, 1e-9);
  EXPECT_NEAR(TDateTime(Q.Heure), (10 * 3600 + 20 * 60 + 30) / 86400.0, 1e-9);
  EXPECT_EQ(TDateTime(Q.Date), Day(2024, 2, 1));  // the date part only
  EXPECT_EQ(Q.Sexe, 'F');
  EXPECT_EQ(Q.Nom, "H\xC3\xA9l\xC3\xA8ne Dupont");
  EXPECT_FALSE(Q.Actif);

  for (std::string_view B : {"true", "TRUE", "1"}) {
    Q.Actif = false;
    URLDecodeParams("actif=" + std::string(B), Q);
    EXPECT_TRUE(Q.Actif) << B;
  }
  URLDecodeParams("actif=oui", Q);  // not a Boolean text: unchanged
  EXPECT_TRUE(Q.Actif);

  TQuery Before = Q;
  URLDecodeParams("", Q);
  URLDecodeParams("&&=&unknown", Q);
  EXPECT_EQ(Q.INS, Before.INS);
  EXPECT_EQ(Q.Flag, Before.Flag);
  EXPECT_EQ(Q.Nombre, Before.Nombre);
}

TEST(URL, query_string_errors_reach_the_caller) {
  TQuery Q;
  EXPECT_THROW(URLDecodeParams("ins=%4", Q), URL::EDecodeError);
  EXPECT_THROW(URLDecodeParams("date=31/01/2024", Q), EJSONError);
  EXPECT_THROW(URLDecodeParams("date=2024-02-30", Q), std::exception);
  // Names are matched before values are decoded: an unknown one is never decoded.
  EXPECT_NO_THROW(URLDecodeParams("other=%", Q));
}

TEST(URL, objects_travel_as_json) {
  TNote N;
  N.Titre = "Compte rendu \"H\xC3\xA9l\xC3\xA8ne\"";
  N.Taille = 42;
  std::string Json = N.toJSON();
  EXPECT_EQ(Json, "{\"Titre\":\"Compte rendu \\\"H\xC3\xA9l\xC3\xA8ne\\\"\",\"Taille\":42}");
  TNote Back;
  Back.fromJSON(Json);
  EXPECT_EQ(Back.Titre, N.Titre);
  EXPECT_EQ(Back.Taille, 42);
}
