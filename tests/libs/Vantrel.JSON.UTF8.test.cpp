#include "Vantrel.JSON.UTF8.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "Records.h"
#include "TestSupport.h"

namespace JSONUnit {

using namespace Vantrel;

enum class TCouleur : uint8_t { Rouge, Vert, Bleu };
VANTREL_ENUM(TCouleur, "Rouge", "Vert", "Bleu")

struct TFiche {
  std::string Nom;
  std::string Prenom;
  bool Actif = false;
  TDateTimeValue Naissance;
  std::vector<int32_t> Liste;
};
VANTREL_RECORD(TFiche, VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Actif),
               VANTREL_FIELD(Naissance), VANTREL_FIELD(Liste))

struct TValeurs {
  TCouleur Couleur = TCouleur::Rouge;
  TSet<TCouleur> Couleurs;
  int64_t Grand = 0;
  uint32_t NonSigne = 0;
  TCurrency Solde;
  double Reel = 0;
  float Simple = 0;
  TDate Jour;
  TTime Heure;
  TBytes Octets;
  TGUID Id;
  char16_t Car = 0;
  char Lettre = 0;
  TNullBoolean Accord;
};
VANTREL_RECORD(TValeurs, VANTREL_FIELD(Couleur), VANTREL_FIELD(Couleurs), VANTREL_FIELD(Grand),
               VANTREL_FIELD(NonSigne), VANTREL_FIELD(Solde), VANTREL_FIELD(Reel), VANTREL_FIELD(Simple),
               VANTREL_FIELD(Jour), VANTREL_FIELD(Heure), VANTREL_FIELD(Octets), VANTREL_FIELD(Id),
               VANTREL_FIELD(Car), VANTREL_FIELD(Lettre), VANTREL_FIELD(Accord))

struct TScalaires {
  bool B = false;
  int32_t I = 7;
  uint8_t Octet = 0;
  TDateTimeValue D;
  std::string S;
  std::u16string W;
  std::vector<int32_t> V;
  TBytes Octets;
};
VANTREL_RECORD(TScalaires, VANTREL_FIELD(B), VANTREL_FIELD(I), VANTREL_FIELD(Octet), VANTREL_FIELD(D),
               VANTREL_FIELD(S), VANTREL_FIELD(W), VANTREL_FIELD(V), VANTREL_FIELD(Octets))

// Hooks: a member written and read by the record itself, one left out.
struct TCache {
  static constexpr bool JSONDontStore = true;
  int32_t N = 0;
};
VANTREL_RECORD(TCache, VANTREL_FIELD(N))

struct TMasque {
  int32_t N = 0;
  bool JSONStored() const { return N != 0; }
};
VANTREL_RECORD(TMasque, VANTREL_FIELD(N))

struct TTel {
  std::string Numero;
  bool JSONBuildField(std::string_view Path, TJSONBuilder& B) const {
    if (Path != "Numero") return false;
    B.AppendString("+33 " + Numero, false);
    return true;
  }
  bool JSONParseField(std::string_view Path, TJSONParser& P) {
    if (Path != "Numero") return false;
    std::string S = P.GetString();
    Numero = S.substr(0, 4) == "+33 " ? S.substr(4) : S;
    return true;
  }
};
VANTREL_RECORD(TTel, VANTREL_FIELD(Numero))

// Sees the dotted path of a nested member.
struct TContact {
  std::string Nom;
  TTel Tel;
  TCache Cache;
  TMasque Masque;
  JSONTest::TAdresse Adresse;  // no hook of its own
  std::vector<std::string>* Vus = nullptr;
  bool JSONBuildField(std::string_view Path, TJSONBuilder&) const {
    if (Vus) Vus->push_back(std::string(Path));
    return false;
  }
};
VANTREL_RECORD(TContact, VANTREL_FIELD(Nom), VANTREL_FIELD(Tel), VANTREL_FIELD(Cache), VANTREL_FIELD(Masque),
               VANTREL_FIELD(Adresse))

// Stores the digits of a number as an integer member.
struct TDigitsSerializer : JSONSerializer<TDigitsSerializer> {
  static bool Write(TJSONBuilder& B, const void* Field) {
    const std::string& S = *static_cast<const std::string*>(Field);
    if (S.empty() || S.find_first_not_of("0123456789") != std::string::npos) return false;
    B.Append(S);
    return true;
  }
  static bool Read(TJSONParser& P, void* Field) {
    *static_cast<std::string*>(Field) = P.GetNumber();
    return true;
  }
};
struct TCompte {
  std::string Numero;
};
VANTREL_RECORD(TCompte, VANTREL_FIELD(Numero, JSONSerializer<TDigitsSerializer>()))

class TNoeud : public TObject {
 public:
  VANTREL_OBJECT;
  std::string Nom;
  TNoeud* Suivant = nullptr;
};
VANTREL_CLASS(TNoeud, TObject, VANTREL_FIELD(Nom), VANTREL_FIELD(Suivant))

class TNoeudNumerote : public TNoeud {
 public:
  VANTREL_OBJECT;
  int32_t Nom = 0;  // hides TNoeud::Nom
  std::unique_ptr<TStringList> Lignes = std::make_unique<TStringList>();
};
VANTREL_CLASS(TNoeudNumerote, TNoeud, VANTREL_FIELD(Nom), VANTREL_FIELD(Lignes))

}  // namespace JSONUnit

namespace {

using namespace Vantrel;
using namespace JSONUnit;
using JSONTest::TEtat;
using JSONTest::TTout;

template <class T>
T Read(std::string_view Text, T Value = {}) {
  JSON::parseJSON(Text, Value);
  return Value;
}

TDateTime Date(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime V;
  EXPECT_TRUE(TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

// ---- Writer ----

TEST(JSONUTF8, record_omits_zero_date_time_and_writes_empty_string_null) {
  TFiche F;
  F.Nom = "Dupont";
  F.Actif = true;
  EXPECT_EQ(JSON::buildJSON(F), R"({"Nom":"Dupont","Prenom":null,"Actif":true,"Liste":[]})");
  F.Naissance = Date(2024, 1, 31, 10, 20, 30);
  F.Liste = {1, 2};
  EXPECT_EQ(JSON::buildJSON(F),
            R"({"Nom":"Dupont","Prenom":null,"Actif":true,"Naissance":"2024-01-31T10:20:30","Liste":[1,2]})");
  F.Naissance = Date(1899, 12, 29, 6, 0, 0);  // before the epoch: negative, still a date
  EXPECT_EQ(JSON::buildJSON(F),
            R"({"Nom":"Dupont","Prenom":null,"Actif":true,"Naissance":"1899-12-29T06:00:00","Liste":[1,2]})");
  EXPECT_EQ(Read<TFiche>(JSON::buildJSON(F)).Naissance, F.Naissance);
}

TEST(JSONUTF8, values_are_written_in_their_json_forms) {
  struct Row {
    const char* What;
    void (*Set)(TValeurs&);
    const char* Json;
  } const Rows[] = {
      {"defaults", [](TValeurs&) {},
       R"({"Grand":0,"NonSigne":0,"Solde":0,"Reel":0,"Simple":0,"Jour":null,"Heure":"00:00:00","Octets":null,)"
       R"("Id":"00000000-0000-0000-0000-000000000000","Car":null,"Lettre":"","Accord":null})"},
      {"enum second value and set", [](TValeurs& V) { V.Couleur = TCouleur::Vert; V.Couleurs.Include(TCouleur::Bleu).Include(TCouleur::Rouge); },
       R"({"Couleur":"Vert","Couleurs":["Rouge","Bleu"],"Grand":0,)"},
      {"enum without name", [](TValeurs& V) { V.Couleur = TCouleur(7); V.Couleurs.Bits = 1u << 9; },
       R"({"Couleur":7,"Couleurs":[9],)"},
      {"int64 2^40", [](TValeurs& V) { V.Grand = int64_t(1) << 40; }, R"("Grand":1099511627776,)"},
      {"unsigned 32 bits", [](TValeurs& V) { V.NonSigne = 4000000000u; }, R"("NonSigne":4000000000,)"},
      {"currency", [](TValeurs& V) { V.Solde.Value = 123400; }, R"("Solde":12.34,)"},
      {"negative currency", [](TValeurs& V) { V.Solde.Value = -5; }, R"("Solde":-0.0005,)"},
      {"double 1e20", [](TValeurs& V) { V.Reel = 1e20; }, R"("Reel":1e+20,)"},
      {"15 digits", [](TValeurs& V) { V.Reel = 0.1 + 0.2; }, R"("Reel":0.3,)"},
      {"NaN", [](TValeurs& V) { V.Reel = std::nan(""); }, R"("Reel":null,)"},
      {"infinity", [](TValeurs& V) { V.Reel = -std::numeric_limits<double>::infinity(); }, R"("Reel":null,)"},
      {"float shortest", [](TValeurs& V) { V.Simple = 0.1f; }, R"("Simple":0.1,)"},
      {"date and time", [](TValeurs& V) { V.Jour = Date(2024, 2, 29); V.Heure = Date(2024, 2, 29, 23, 59, 59) - Date(2024, 2, 29); },
       R"("Jour":"2024-02-29","Heure":"23:59:59",)"},
      {"dates before 1900", [](TValeurs& V) { V.Jour = Date(1850, 3, 1); V.Heure = 0.25; },
       R"("Jour":"1850-03-01","Heure":"06:00:00",)"},
      {"bytes", [](TValeurs& V) { V.Octets = TBytes("\x00\x01\x02\xFF", 4); }, R"("Octets":"AAEC/w==",)"},
      {"guid", [](TValeurs& V) { V.Id = StringToGUID("{6f9619ff-8b86-d011-b42d-00c04fc964ff}"); },
       R"("Id":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"},
      {"wide char, 8-bit char and null boolean", [](TValeurs& V) { V.Car = u'é'; V.Lettre = 'T'; V.Accord = true; },
       R"("Car":"é","Lettre":"T","Accord":true})"},
  };
  for (const Row& R : Rows) {
    TValeurs V;
    R.Set(V);
    std::string Json = JSON::buildJSON(V);
    EXPECT_NE(Json.find(R.Json), std::string::npos) << R.What << ": " << Json;
  }
}

TEST(JSONUTF8, strings_escape_quotes_backslashes_and_every_control_character) {
  struct Row {
    std::string In, Out;
  } const Rows[] = {
      {"a\tb", R"("a\tb")"},
      {"\"q\" \\", R"("\"q\" \\")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {std::string("\x00\x01\x1F", 3), R"("\u0000\u0001\u001f")"},
      {"\x7F/é😀", "\"\x7F/é😀\""},
  };
  for (const Row& R : Rows) {
    TJSONBuilder B;
    B.AppendString(R.In, true);
    EXPECT_EQ(B.ToString(), R.Out);
  }
  TJSONBuilder B;
  B.AppendString(u"\xD800x\U0001F600\xDC00", false);  // lone surrogates survive as escapes
  EXPECT_EQ(B.ToString(), "\"\\ud800x😀\\udc00\"");
  TJSONBuilder E;
  E.AppendString(std::string(), true);
  E.AppendString(std::string(), false);
  EXPECT_EQ(E.ToString(), "null\"\"");
}

TEST(JSONUTF8, builder_counted_array_form) {
  TJSONBuilder B;
  EXPECT_FALSE(B.BeginArray(0));
  EXPECT_TRUE(B.BeginArray(2));
  B.Append(1);
  B.Append(",");
  B.Append(2);
  B.EndArray();
  EXPECT_EQ(B.ToString(), R"([]{"count":2,"items":[1,2]})");
  std::vector<int32_t> V;
  JSON::parseJSON(B.ToString().substr(2), V);
  EXPECT_EQ(V, (std::vector<int32_t>{1, 2}));
}

TEST(JSONUTF8, hooks_attributes_and_serializers_decide_members) {
  std::vector<std::string> Vus;
  TContact C;
  C.Nom = "Martin";
  C.Tel.Numero = "612345678";
  C.Cache.N = 5;
  C.Vus = &Vus;
  EXPECT_EQ(JSON::buildJSON(C),
            R"({"Nom":"Martin","Tel":{"Numero":"+33 612345678"},"Adresse":{"Rue":null,"Ville":null}})");
  // The outer hook is asked for each of its members, and for a nested member
  // with the dotted path when no inner hook took it (TTel's hook took Numero).
  EXPECT_EQ(Vus, (std::vector<std::string>{"Nom", "Tel", "Adresse", "Adresse.Rue", "Adresse.Ville"}));
  C.Masque.N = 3;
  C.Vus = nullptr;
  EXPECT_EQ(JSON::buildJSON(C), R"({"Nom":"Martin","Tel":{"Numero":"+33 612345678"},"Masque":{"N":3},)"
                                R"("Adresse":{"Rue":null,"Ville":null}})");

  TContact Back = Read<TContact>(R"({"tel":{"Numero":"+33 700000000"},"cache":{"N":9}})");
  EXPECT_EQ(Back.Tel.Numero, "700000000");
  EXPECT_EQ(Back.Cache.N, 9);  // left out when written, still read

  TCompte Compte{"0042"};
  EXPECT_EQ(JSON::buildJSON(Compte), R"({"Numero":0042})");
  Compte.Numero = "FR76";
  EXPECT_EQ(JSON::buildJSON(Compte), R"({"Numero":"FR76"})");
  EXPECT_EQ(Read<TCompte>(R"({"Numero":123})").Numero, "123");
}

TEST(JSONUTF8, objects_write_all_fields_and_refuse_circular_references) {
  TNoeudNumerote N;
  N.Nom = 3;
  N.TNoeud::Nom = "parent";
  N.Lignes->Add("a");
  N.Lignes->Add("b", &N);  // an attached object is written as {line: object}
  TNoeud Autre;
  Autre.Nom = "x";
  N.Lignes->Objects[1] = &Autre;
  EXPECT_EQ(ObjectToJSON(&N), R"({"Nom":3,"Lignes":["a",{"b":{"Nom":"x","Suivant":null}}],"Nom":"parent","Suivant":null})");
  EXPECT_EQ(ObjectToJSON(nullptr), "null");

  TNoeud Boucle;
  Boucle.Nom = "b";
  Boucle.Suivant = &Boucle;
  try {
    ObjectToJSON(&Boucle);
    FAIL() << "no exception";
  } catch (const EJSONError& E) {
    EXPECT_STREQ(E.what(), "Circular reference in TNoeud.Suivant.");
  }

  TNoeudNumerote Lu;
  TNoeud Cible;
  Lu.Suivant = &Cible;
  ObjectFromJSON(&Lu, R"({"nom":12,"Lignes":["x",{"y":{"z":1}}],"Suivant":{"Nom":"cible","Inconnu":[1]}})");
  EXPECT_EQ(Lu.Nom, 12);  // the derived class's field wins
  EXPECT_EQ(Lu.Lignes->Strings, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(Cible.Nom, "cible");
  TNoeud SansSuivant;
  ObjectFromJSON(&SansSuivant, R"({"Suivant":{"Nom":"ignored"},"Nom":"n"})");  // never creates objects
  EXPECT_EQ(SansSuivant.Suivant, nullptr);
  EXPECT_EQ(SansSuivant.Nom, "n");
}

// ---- Reader ----

TEST(JSONUTF8, reader_accepts_any_member_order_case_and_unknown_members) {
  TFiche F = Read<TFiche>(
      R"( { "liste": [3] ,"INCONNU":{"a":[1,{"b":"}"}],"c":null},"NOM":"Durand","x":[[],{}],"prenom":"Léa",)"
      R"("actif":true,"y":-1.5e3,"Naissance":"2024-01-31T10:20"} )");
  EXPECT_EQ(F.Nom, "Durand");
  EXPECT_EQ(F.Prenom, "Léa");
  EXPECT_TRUE(F.Actif);
  EXPECT_EQ(F.Liste, (std::vector<int32_t>{3}));
  EXPECT_DOUBLE_EQ(F.Naissance, Date(2024, 1, 31, 10, 20));
  TFiche Vide = Read<TFiche>("{}", TFiche{"garde", "", true, {}, {}});
  EXPECT_EQ(Vide.Nom, "garde");
  EXPECT_EQ(Read<TFiche>("null", TFiche{"garde", "", true, {}, {}}).Nom, "garde");
  EXPECT_EQ(Read<TTout>(R"({"nom_usage":"alias"})").Nom, "alias");
}

TEST(JSONUTF8, reader_scalar_forms) {
  struct Row {
    const char* Json;
    void (*Check)(const TScalaires&);
  } const Rows[] = {
      {R"({"B":true})", [](const TScalaires& S) { EXPECT_TRUE(S.B); }},
      {R"({"B":"true"})", [](const TScalaires& S) { EXPECT_TRUE(S.B); }},
      {R"({"B":1})", [](const TScalaires& S) { EXPECT_TRUE(S.B); }},
      {R"({"B":42})", [](const TScalaires& S) { EXPECT_TRUE(S.B); }},
      {R"({"B":false})", [](const TScalaires& S) { EXPECT_FALSE(S.B); }},
      {R"({"B":null})", [](const TScalaires& S) { EXPECT_FALSE(S.B); }},
      {R"({"B":"false"})", [](const TScalaires& S) { EXPECT_FALSE(S.B); }},
      {R"({"B":0})", [](const TScalaires& S) { EXPECT_FALSE(S.B); }},
      {R"({"I":"12"})", [](const TScalaires& S) { EXPECT_EQ(S.I, 12); }},
      {R"({"I":null})", [](const TScalaires& S) { EXPECT_EQ(S.I, 0); }},
      {R"({"I":-2147483648})", [](const TScalaires& S) { EXPECT_EQ(S.I, INT32_MIN); }},
      {R"({"I":""})", [](const TScalaires& S) { EXPECT_EQ(S.I, 0); }},
      {R"({"Octet":255})", [](const TScalaires& S) { EXPECT_EQ(S.Octet, 255); }},
      {R"({"S":"\t\b\f\/\u00e9\ud83d\ude00\"\\\n\r\x"})",
       [](const TScalaires& S) { EXPECT_EQ(S.S, "\t\b\f/é😀\"\\\n\rx"); }},
      {R"({"S":"\ud800"})", [](const TScalaires& S) { EXPECT_EQ(S.S, "\xEF\xBF\xBD"); }},
      {R"({"W":"\ud800\u00e9"})", [](const TScalaires& S) { EXPECT_EQ(S.W, u"\xD800é"); }},
      {R"({"S":"true"})", [](const TScalaires& S) { EXPECT_EQ(S.S, "true"); }},
      {R"({"S":true})", [](const TScalaires& S) { EXPECT_EQ(S.S, "1"); }},
      {R"({"S":12.5E-1})", [](const TScalaires& S) { EXPECT_EQ(S.S, "12.5E-1"); }},
      {R"({"S":[1,[2,3],{"a":4}]})", [](const TScalaires& S) { EXPECT_EQ(S.S, "[1,[2,3],{a=4}]"); }},
      {R"({"S":null})", [](const TScalaires& S) { EXPECT_EQ(S.S, ""); }},
      {R"({"V":{"count":2,"items":[1,2]}})", [](const TScalaires& S) { EXPECT_EQ(S.V, (std::vector<int32_t>{1, 2})); }},
      {R"({"V":[1,2]})", [](const TScalaires& S) { EXPECT_EQ(S.V, (std::vector<int32_t>{1, 2})); }},
      {R"({"V":{"count":1000000000,"items":[5]}})", [](const TScalaires& S) { EXPECT_EQ(S.V, (std::vector<int32_t>{5})); }},
      {R"({"V":{"count":0,"items":[]}})", [](const TScalaires& S) { EXPECT_TRUE(S.V.empty()); }},
      {R"({"V":null})", [](const TScalaires& S) { EXPECT_TRUE(S.V.empty()); }},
      {R"({"V":false})", [](const TScalaires& S) { EXPECT_TRUE(S.V.empty()); }},
      {R"({"V":[ ]})", [](const TScalaires& S) { EXPECT_TRUE(S.V.empty()); }},
      {R"({"Octets":"AAEC\n/w=="})", [](const TScalaires& S) { EXPECT_EQ(S.Octets, std::string("\x00\x01\x02\xFF", 4)); }},
      {R"({"Octets":" AAEC /w== "})", [](const TScalaires& S) { EXPECT_EQ(S.Octets, std::string("\x00\x01\x02\xFF", 4)); }},
      {R"({"Octets":null})", [](const TScalaires& S) { EXPECT_TRUE(S.Octets.empty()); }},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Json);
    TScalaires S;
    S.V = {9, 9, 9};
    S.Octets = TBytes("old");
    JSON::parseJSON(R.Json, S);
    R.Check(S);
  }
}

TEST(JSONUTF8, reader_dates_and_unix_times) {
  struct Row {
    const char* Json;
    TDateTime Expected;
  } const Rows[] = {
      {R"("2024-01-31T10:20:30")", Date(2024, 1, 31, 10, 20, 30)},
      {R"("2024-01-31 10:20")", Date(2024, 1, 31, 10, 20)},
      {R"("2024-01-31T10:20:30.123Z")", Date(2024, 1, 31, 10, 20, 30)},
      {R"("2024-01-31")", Date(2024, 1, 31)},
      {R"("10:20:30")", Date(1899, 12, 30, 10, 20, 30)},
      {R"("")", 0},
      {R"(null)", 0},
      {R"("0000-00-00")", 0},
      {R"("-5")", 0},
      {R"(1706696430)", UTCToLocal(Date(2024, 1, 31, 10, 20, 30))},
      {R"("1706696430")", UTCToLocal(Date(2024, 1, 31, 10, 20, 30))},
  };
  for (const Row& R : Rows) {
    TJSONParser P{std::string(R.Json)};
    EXPECT_NEAR(P.GetDateTime(), R.Expected, 1e-9) << R.Json;
  }
  // A date member drops the time, a time member the date.
  TValeurs V = Read<TValeurs>(R"({"Jour":"2024-01-31T10:20:30","Heure":"2024-01-31T10:20:30"})");
  EXPECT_EQ(V.Jour, Date(2024, 1, 31));
  EXPECT_NEAR(V.Heure, Date(1899, 12, 30, 10, 20, 30), 1e-9);
}

TEST(JSONUTF8, reader_enumerations_and_sets_never_store_unknown_names) {
  TValeurs V;
  V.Couleur = TCouleur::Vert;
  JSON::parseJSON(R"({"Couleur":"Violet","Couleurs":["bleu","Violet",1,40]})", V);
  EXPECT_EQ(V.Couleur, TCouleur::Vert);
  EXPECT_EQ(V.Couleurs.Bits, (1u << 2) | (1u << 1));
  JSON::parseJSON(R"({"Couleur":"BLEU","Couleurs":null})", V);
  EXPECT_EQ(V.Couleur, TCouleur::Bleu);
  EXPECT_EQ(V.Couleurs.Bits, 0u);
  JSON::parseJSON(R"({"Couleur":7})", V);
  EXPECT_EQ(int(V.Couleur), 7);
  EXPECT_THROW(JSON::parseJSON(R"({"Couleur":300})", V), EConvertError);
}

struct TErrorRow {
  const char* Json;
  const char* Message;
  size_t Offset;
};

TEST(JSONUTF8, reader_errors_say_what_and_where) {
  const TErrorRow Rows[] = {
      {R"({"Nom" :"x"})", R"(Expected char ":" not found in "{"Nom" ")", 6},
      {R"({ })", R"(Expected char """ not found in "{ }")", 2},
      {R"({"Nom":"x")", "End of JSON stream", 10},
      {R"({"Nom":"x)", "End of JSON stream", 9},
      {R"({"Nom":"x";})", R"(Expected char "}" not found in "{"Nom":"x";")", 10},
      {R"({"Liste":[1 2]})", R"(Expected char "]" not found in "{"Liste":[1 2")", 12},
      {R"({"Liste":{"count":-1,"items":[]}})", "Invalid array count -1", 18},
      {R"({"Liste":{"count":1,"elements":[1]}})", R"(expected key "items" not found)", 30},
      {R"({"Nom":"\u12G4"})", R"(Invalid \u escape in string)", 15},
      {R"({"Naissance":"2024/01/31"})", "Invalid date 2024/01/31", 13},
      {R"({"Naissance":"2024-01-31T10"})", "Invalid date/time 2024-01-31T10", 13},
      {R"({"Naissance":"2024-01-31T1x:20"})", "Invalid date 2024-01-31T1x:20", 13},
      {"", "End of JSON stream", 0},
  };
  for (const TErrorRow& R : Rows) {
    try {
      Read<TFiche>(R.Json);
      ADD_FAILURE() << "no error for " << R.Json;
    } catch (const EJSONError& E) {
      EXPECT_EQ(std::string(E.what()), R.Message) << R.Json;
      EXPECT_EQ(E.Offset(), R.Offset) << R.Json;
    }
  }
}

TEST(JSONUTF8, reader_errors_quote_at_most_64_characters) {
  std::string Long = "{\"Nom\":\"" + std::string(10000, 'a') + "é\" ]";
  try {
    Read<TFiche>(Long);
    FAIL();
  } catch (const EJSONError& E) {
    std::string M = E.what();
    EXPECT_LT(M.size(), 120u);
    EXPECT_EQ(M.substr(0, 35), "Expected char \"}\" not found in \"...");
    EXPECT_EQ(E.Offset(), Long.size() - 1);
  }
}

TEST(JSONUTF8, reader_conversion_failures) {
  struct Row {
    const char* Json;
    const char* Message;
  } const Rows[] = {
      {R"({"I":1.5})", "'1.5' is not a valid integer value"},
      {R"({"I":2147483648})", "'2147483648' is not a valid integer value"},
      {R"({"Octet":256})", "'256' is not a valid integer value"},
      {R"({"I":x})", "'' is not a valid integer value"},
      {R"({"D":"2024-02-30"})", "Invalid argument to date encode"},
      {R"({"D":"2024-01-31T24:00"})", "Invalid argument to time encode"},
      {R"({"D":3e11})", "Invalid Unix time 300000000000.000000"},
  };
  for (const Row& R : Rows) {
    try {
      Read<TScalaires>(R.Json);
      ADD_FAILURE() << "no error for " << R.Json;
    } catch (const EConvertError& E) {
      EXPECT_STREQ(E.what(), R.Message) << R.Json;
    }
  }
  try {
    Read<TScalaires>(R"({"Octets":"AA\tAA"})");
    FAIL();
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "Unexpected \\ in Base64 string");
  }
  int32_t* Pointer = nullptr;
  TJSONParser P{std::string("1")};
  EXPECT_THROW(P.ParseType(&Pointer, TypeInfo<int32_t*>()), std::runtime_error);
}

TEST(JSONUTF8, nesting_is_capped_in_reader_and_skipper) {
  for (std::string Open : {"[", "{\"a\":", "{\"count\":1,\"items\":["}) {
    std::string Deep = "{\"Nom\":\"x\",\"z\":";
    for (int I = 0; I < 100000; ++I) Deep += Open;
    try {
      Read<TFiche>(Deep);
      FAIL() << Open;
    } catch (const EJSONError& E) {
      EXPECT_STREQ(E.what(), "JSON nesting deeper than 256 levels") << Open;
    }
  }
  std::string Nested;
  for (int I = 0; I < 200; ++I) Nested += "[";
  Nested += "1";
  for (int I = 0; I < 200; ++I) Nested += "]";
  TScalaires S;
  JSON::parseJSON("{\"S\":" + Nested + "}", S);  // within the cap
  EXPECT_EQ(S.S, Nested);
}

TEST(JSONUTF8, every_kind_round_trips_through_writer_and_reader) {
  TTout T = JSONTest::FullRecord();
  std::string Json = JSON::buildJSON(T);
  TTout Back;
  JSON::parseJSON(Json, Back);
  EXPECT_EQ(Back.Nom, T.Nom);
  EXPECT_EQ(Back.Prenom, T.Prenom);
  EXPECT_EQ(Back.Brut, T.Brut);
  EXPECT_EQ(Back.Solde, T.Solde);
  EXPECT_EQ(Back.F80, T.F80);
  EXPECT_TRUE(Back == T) << Json;
  EXPECT_EQ(JSON::buildJSON(Back), Json);
}

TEST(JSONUTF8, primitive_readers_walk_a_text) {
  TJSONParser P{std::string(R"( {"a" : 1})")};
  EXPECT_EQ(P.NextChar(), ' ');
  P.Blanks();
  EXPECT_TRUE(P.Skip('{'));
  EXPECT_FALSE(P.Skip('{'));
  EXPECT_TRUE(P.SkipStr("\"a\""));
  P.Blanks();
  EXPECT_EQ(P.ReadChar(), ':');
  EXPECT_EQ(P.ReadValue(), " 1");
  EXPECT_TRUE(P.EndObject());
  EXPECT_TRUE(P.Eof());
  EXPECT_THROW(P.NextChar(), EJSONError);

  TJSONParser S{std::string(R"(["a",{"b":{"x":1}},null])")};
  TStringList L;
  L.Add("déjà");
  S.GetStrings(L);
  EXPECT_EQ(L.Strings, (std::vector<std::string>{"déjà", "a", "b", ""}));
}

TEST(JSONUTF8, beautify_indents_by_one_space_with_cr_breaks) {
  EXPECT_EQ(JSON::Beautify(R"({"a":[1,"x",{"b":null}],"c":"d"})"),
            "{\r \"a\": [\r  1,\r  x,\r  {\r   \"b\": null\r  }\r ],\r \"c\": \"d\"\r}");
  EXPECT_EQ(JSON::Beautify("[]"), "[\r]");
  EXPECT_EQ(JSON::Beautify(" {}"), "");
  EXPECT_EQ(JSON::Beautify("12"), "");
}

TEST(JSONUTF8, files_keep_the_bytes) {
  TestSupport::TempDir Dir;
  std::string Name = (Dir / "fiche.json").string();
  EXPECT_EQ(JSON::LoadFromFile(Name), "");
  std::string Text = "{\"Nom\":\"Hélène 😀\"}";
  JSON::SaveToFile(Name, Text);
  EXPECT_EQ(TestSupport::ReadFile(Name), Text);  // no byte-order mark
  JSON::SaveToFile(Name, "[]");
  EXPECT_EQ(JSON::LoadFromFile(Name), "[]");
  EXPECT_THROW(JSON::SaveToFile((Dir / "absent" / "x.json").string(), "[]"), std::runtime_error);
}

TEST(JSONUTF8, generic_entry_points_take_scalars_and_null_instances) {
  EXPECT_EQ(JSON::buildJSON(std::vector<TEtat>{TEtat::Inconnu, TEtat::Actif}), R"(["Inconnu","Actif"])");
  EXPECT_EQ(JSON::buildJSON(TypeInfo<TFiche>(), nullptr), "null");
  EXPECT_EQ(JSON::buildJSON(std::string("x")), "\"x\"");
  const char* C = "abc";
  EXPECT_EQ(JSON::buildJSON(C), "\"abc\"");
  int32_t N = 5;
  int32_t* P = &N;
  EXPECT_EQ(JSON::buildJSON(P), "5");
  EXPECT_EQ(Read<std::vector<std::string>>(R"(["a",null,"c"])"), (std::vector<std::string>{"a", "", "c"}));
}

}  // namespace
