#include "Vantrel.RTTI.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

namespace RTTITest {

enum class TCouleur : uint8_t { Rouge, Vert, Bleu };
VANTREL_ENUM(TCouleur, "Rouge", "Vert", "Bleu")

struct TPersonne {
  std::string Nom;
  std::u16string Prenom;
  uint8_t Octet = 0;
  int8_t Petit = 0;
  uint32_t Cardinal = 0;
  int64_t Grand = 0;
  uint64_t NonSigne = 0;
  bool Actif = false;
  TCouleur Couleur = TCouleur::Rouge;
  Vantrel::TSet<TCouleur> Couleurs;
  Vantrel::TDate Naissance;
  Vantrel::TTime Heure;
  Vantrel::TDateTimeValue Creation;
  double Poids = 0;
  float Taille = 0;
  Vantrel::TCurrency Solde;
  char Initiale = 0;
  char16_t InitialeW = 0;
};
VANTREL_RECORD(TPersonne, VANTREL_FIELD(Nom, Vantrel::Alias("name")), VANTREL_FIELD(Prenom),
               VANTREL_FIELD(Octet), VANTREL_FIELD(Petit), VANTREL_FIELD(Cardinal),
               VANTREL_FIELD(Grand), VANTREL_FIELD(NonSigne), VANTREL_FIELD(Actif),
               VANTREL_FIELD(Couleur), VANTREL_FIELD(Couleurs), VANTREL_FIELD(Naissance),
               VANTREL_FIELD(Heure), VANTREL_FIELD(Creation), VANTREL_FIELD(Poids),
               VANTREL_FIELD(Taille), VANTREL_FIELD(Solde), VANTREL_FIELD(Initiale),
               VANTREL_FIELD(InitialeW))

class TBase : public Vantrel::TObject {
 public:
  VANTREL_OBJECT;
  int32_t Code = 0;
  std::string Libelle;
};
VANTREL_CLASS(TBase, Vantrel::TObject, VANTREL_FIELD(Code), VANTREL_FIELD(Libelle))

class TDerivee : public TBase {
 public:
  VANTREL_OBJECT;
  std::string Code;  // hides TBase::Code
};
VANTREL_CLASS(TDerivee, TBase, VANTREL_FIELD(Code))

struct TCache {
  static constexpr bool JSONDontStore = true;
  int32_t N = 0;
};
VANTREL_RECORD(TCache, VANTREL_FIELD(N))

}  // namespace RTTITest

namespace {

using namespace Vantrel;
using namespace RTTITest;

void* FieldData(TPersonne& P, std::string_view Name) {
  const TRecordField* F = FindRecordField(TypeInfo<TPersonne>(), Name);
  return F ? F->Data(&P) : nullptr;
}

TEST(RTTI, record_fields_keep_declaration_order_names_and_categories) {
  const TTypeInfo* T = TypeInfo<TPersonne>();
  struct Row {
    const char* Name;
    TTypeDetail Detail;
  } const Rows[] = {
      {"name", TTypeDetail::dtUTF8String}, {"Prenom", TTypeDetail::dtUnicodeString},
      {"Octet", TTypeDetail::dtUInt8},     {"Petit", TTypeDetail::dtInt8},
      {"Cardinal", TTypeDetail::dtUInt32}, {"Grand", TTypeDetail::dtInt64},
      {"NonSigne", TTypeDetail::dtUInt64}, {"Actif", TTypeDetail::dtBoolean},
      {"Couleur", TTypeDetail::dtEnum8},   {"Couleurs", TTypeDetail::dtSet32},
      {"Naissance", TTypeDetail::dtDate},  {"Heure", TTypeDetail::dtTime},
      {"Creation", TTypeDetail::dtDateTime}, {"Poids", TTypeDetail::dtDouble},
      {"Taille", TTypeDetail::dtSingle},   {"Solde", TTypeDetail::dtCurrency},
      {"Initiale", TTypeDetail::dtAnsiChar}, {"InitialeW", TTypeDetail::dtWideChar},
  };
  auto Fields = GetRecordFields(T);
  ASSERT_EQ(Fields.size(), std::size(Rows));
  for (size_t I = 0; I < Fields.size(); ++I) {
    EXPECT_EQ(GetRecordFieldName(Fields[I]), Rows[I].Name);
    EXPECT_EQ(ClassifyType(Fields[I].TypeInfo()), Rows[I].Detail) << Rows[I].Name;
  }
  EXPECT_EQ(GetRecordField(T, 1), &Fields[1]);
  EXPECT_EQ(GetRecordField(T, Fields.size()), nullptr);
  EXPECT_TRUE(GetRecordFields(TypeInfo<int32_t>()).empty());
}

TEST(RTTI, find_record_field_by_name_or_alias_without_case) {
  const TTypeInfo* T = TypeInfo<TPersonne>();
  const TRecordField* Nom = GetRecordField(T, 0);
  const TRecordField* Prenom = GetRecordField(T, 1);
  for (const char* Name : {"NOM", "nom", "name", "NAME", "Nom"}) EXPECT_EQ(FindRecordField(T, Name), Nom) << Name;
  EXPECT_EQ(FindRecordField(T, "PRENOM"), Prenom);
  EXPECT_EQ(FindRecordField(T, "Prenoms"), nullptr);
  EXPECT_EQ(FindRecordField(T, ""), nullptr);
  EXPECT_EQ(GetRecordFieldName(*Nom), "name");
  EXPECT_EQ(GetRecordFieldName(*Prenom), "Prenom");
  EXPECT_TRUE(Alias::IsAlias(*Nom, "NAME"));
  EXPECT_FALSE(Alias::IsAlias(*Nom, "Nom"));
  EXPECT_FALSE(Alias::IsAlias(*Prenom, "Prenom"));
}

TEST(RTTI, field_accessors_reach_the_members) {
  TPersonne P;
  *static_cast<std::string*>(FieldData(P, "Nom")) = "Dupont";
  *static_cast<TDateTime*>(FieldData(P, "Naissance")) = 45322;
  EXPECT_EQ(P.Nom, "Dupont");
  EXPECT_EQ(P.Naissance, 45322);
}

TEST(RTTI, get_ordinal_sign_extends_by_storage) {
  TPersonne P;
  P.Octet = 200;
  P.Petit = -1;
  P.Cardinal = 3000000000u;
  P.Couleur = TCouleur::Bleu;
  P.Actif = true;
  auto Ord = [&](const char* Name) {
    return GetOrdinal(FindRecordField(TypeInfo<TPersonne>(), Name)->TypeInfo(), FieldData(P, Name));
  };
  EXPECT_EQ(Ord("Octet"), 200);
  EXPECT_EQ(Ord("Petit"), -1);
  EXPECT_EQ(Ord("Cardinal"), int32_t(3000000000u - 4294967296ll));
  EXPECT_EQ(Ord("Couleur"), 2);
  EXPECT_EQ(Ord("Actif"), 1);
  try {
    Ord("Grand");
    FAIL() << "no exception";
  } catch (const ETypeInfo& E) {
    EXPECT_STREQ(E.what(), "Unknown ordinal type Int64");
  }
  SetOrdinal(TypeInfo<uint8_t>(), &P.Octet, 0x1FF);
  EXPECT_EQ(P.Octet, 0xFF);
  SetOrdinal(TypeInfo<int64_t>(), &P.Grand, 7);  // not an ordinal storage: untouched
  EXPECT_EQ(P.Grand, 0);
}

TEST(RTTI, class_fields_list_own_fields_first_and_find_the_derived_one) {
  TClassFieldInfos Fields = GetClassFields(TypeInfo<TDerivee>());
  ASSERT_EQ(Fields.size(), 3u);
  EXPECT_EQ(Fields[0].Name, "Code");
  EXPECT_EQ(ClassifyType(Fields[0].TypeInfo()), TTypeDetail::dtUTF8String);
  EXPECT_EQ(Fields[1].Name, "Code");
  EXPECT_EQ(Fields[2].Name, "Libelle");
  EXPECT_EQ(FindClassField(Fields, "CODE"), 0);
  EXPECT_EQ(FindClassField(Fields, "libelle"), 2);
  EXPECT_EQ(FindClassField(Fields, "absent"), -1);

  TDerivee D;
  TObject* Obj = &D;
  EXPECT_EQ(Obj->ClassType(), TypeInfo<TDerivee>());
  *static_cast<std::string*>(Fields[0].Data(Obj)) = "abc";
  *static_cast<int32_t*>(Fields[1].Data(Obj)) = 5;
  EXPECT_EQ(D.Code, "abc");
  EXPECT_EQ(D.TBase::Code, 5);
  EXPECT_TRUE(InheritsFrom(TypeInfo<TDerivee>(), TypeInfo<TBase>()));
  EXPECT_FALSE(InheritsFrom(TypeInfo<TBase>(), TypeInfo<TDerivee>()));
  EXPECT_EQ(ClassifyType(TypeInfo<TBase*>()), TTypeDetail::dtClass);
}

TEST(RTTI, str_to_float_any_sep_accepts_both_marks_whatever_the_locale) {
  const char* Saved = std::setlocale(LC_NUMERIC, nullptr);
  std::string Restore = Saved ? Saved : "C";
  std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");  // may be absent: the C locale then
  EXPECT_EQ(StrToFloatAnySep("1,5"), 1.5);
  EXPECT_EQ(StrToFloatAnySep("1.5"), 1.5);
  EXPECT_EQ(StrToFloatAnySep(" -2,25e1 "), -22.5);
  EXPECT_EQ(StrToFloatAnySep("+3"), 3);
  for (const char* Bad : {"", "abc", "1,5,5", "1.5x", "nan", "inf", "1e999", "++1"})
    EXPECT_THROW(StrToFloatAnySep(Bad), EConvertError) << Bad;
  std::setlocale(LC_NUMERIC, Restore.c_str());
}

TEST(RTTI, set_value_from_string_by_kind) {
  TPersonne P;
  P.Couleur = TCouleur::Vert;
  P.Actif = true;
  struct Row {
    const char* Field;
    const char* Text;
  } const Rows[] = {
      {"Nom", "Hélène"},     {"Prenom", "Zoé 😀"},   {"Octet", "200"},       {"Petit", "-5"},
      {"Cardinal", "4000000000"}, {"Grand", "-12abc"}, {"NonSigne", "18446744073709551615"},
      {"Couleur", "bleu"},   {"Couleurs", "Bleu"},   {"Actif", "peut-être"}, {"Naissance", "31/01/2024"},
      {"Heure", "10:20:30"}, {"Creation", "2024-01-31T10:20"}, {"Poids", "72,5"}, {"Taille", "1.80"},
      {"Solde", "12,34"},    {"Initiale", "Xy"},     {"InitialeW", "éa"},
  };
  for (const Row& R : Rows)
    SetValueFromString(FindRecordField(TypeInfo<TPersonne>(), R.Field)->TypeInfo(), FieldData(P, R.Field), R.Text);
  EXPECT_EQ(P.Nom, "Hélène");
  EXPECT_EQ(P.Prenom, u"Zoé 😀");
  EXPECT_EQ(P.Octet, 200);
  EXPECT_EQ(P.Petit, -5);
  EXPECT_EQ(P.Cardinal, 4000000000u);
  EXPECT_EQ(P.Grand, -12);  // the digits read before the error count
  EXPECT_EQ(P.NonSigne, UINT64_MAX);
  EXPECT_EQ(P.Couleur, TCouleur::Bleu);
  EXPECT_EQ(P.Couleurs.Bits, 0u);  // sets are not read from text
  EXPECT_TRUE(P.Actif);            // unknown Boolean text: unchanged
  TDateTime D, T;
  ASSERT_TRUE(TryEncodeDate(2024, 1, 31, D));
  ASSERT_TRUE(TryEncodeTime(10, 20, 30, 0, T));
  EXPECT_EQ(P.Naissance, D);
  EXPECT_DOUBLE_EQ(P.Heure, T);
  ASSERT_TRUE(TryEncodeTime(10, 20, 0, 0, T));
  EXPECT_DOUBLE_EQ(P.Creation, D + T);
  EXPECT_EQ(P.Poids, 72.5);
  EXPECT_FLOAT_EQ(P.Taille, 1.8f);
  EXPECT_EQ(P.Solde.Value, 123400);
  EXPECT_EQ(P.Initiale, 'X');
  EXPECT_EQ(P.InitialeW, u'é');
}

TEST(RTTI, set_value_from_string_rejects_or_defaults_bad_texts) {
  TPersonne P;
  P.Octet = 7;
  P.Couleur = TCouleur::Vert;
  P.Naissance = 1000;
  auto Set = [&](const char* Field, const char* Text) {
    SetValueFromString(FindRecordField(TypeInfo<TPersonne>(), Field)->TypeInfo(), FieldData(P, Field), Text);
  };
  Set("Octet", "300");  // outside the storage: the default 0, not the low byte
  EXPECT_EQ(P.Octet, 0);
  P.Octet = 7;
  Set("Octet", "x");
  EXPECT_EQ(P.Octet, 0);
  Set("Couleur", "Violet");  // unknown name: unchanged, never -1
  EXPECT_EQ(P.Couleur, TCouleur::Vert);
  Set("Naissance", "");
  EXPECT_EQ(P.Naissance, 0);
  for (const char* Bad : {"31/02/2024", "2024-13-01", "demain", "31/01/2024 25:00"})
    EXPECT_THROW(Set("Naissance", Bad), EConvertError) << Bad;
  EXPECT_THROW(Set("Poids", "lourd"), EConvertError);
  P.Nom = "x";
  Set("Initiale", "");
  EXPECT_EQ(P.Initiale, 0);
}

TEST(RTTI, date_kinds_and_special_types_are_told_apart) {
  EXPECT_EQ(GetDateTimeKind(TypeInfo<TDate>()), 1);
  EXPECT_EQ(GetDateTimeKind(TypeInfo<TTime>()), 2);
  EXPECT_EQ(GetDateTimeKind(TypeInfo<TDateTimeValue>()), 3);
  EXPECT_EQ(GetDateTimeKind(TypeInfo<TDateTime>()), 0);
  EXPECT_TRUE(IsUTF8StringType(TypeInfo<std::string>()));
  EXPECT_TRUE(IsUTF8StringType(TypeInfo<TJSONRawValue>()));
  EXPECT_FALSE(IsUTF8StringType(TypeInfo<std::u16string>()));
  EXPECT_EQ(ClassifyType(TypeInfo<TBytes>()), TTypeDetail::dtBytes);
  EXPECT_EQ(ClassifyType(TypeInfo<std::vector<uint8_t>>()), TTypeDetail::dtDynArray);
  EXPECT_EQ(ClassifyType(TypeInfo<TGUID>()), TTypeDetail::dtGUID);
  EXPECT_EQ(ClassifyType(TypeInfo<std::array<int32_t, 3>>()), TTypeDetail::dtStaticArray);
  EXPECT_EQ(ClassifyType(TypeInfo<const char*>()), TTypeDetail::dtPAnsiChar);
  EXPECT_EQ(ClassifyType(TypeInfo<int32_t*>()), TTypeDetail::dtPointer);
  EXPECT_FALSE(HasJSONDontStore(TypeInfo<TPersonne>()));
  EXPECT_TRUE(HasJSONDontStore(TypeInfo<TCache>()));
  EXPECT_EQ(ClassifyType(nullptr), TTypeDetail::dtUnknown);
}

TEST(RTTI, guid_texts) {
  TGUID G = StringToGUID("{6f9619ff-8b86-d011-b42d-00c04fc964ff}");
  EXPECT_EQ(GUIDToString(G), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(G.D1, 0x6F9619FFu);
  for (const char* Bad : {"6F9619FF-8B86-D011-B42D-00C04FC964FF", "{6F9619FF-8B86-D011-B42D-00C04FC964FG}",
                          "{6F9619FF+8B86-D011-B42D-00C04FC964FF}", "{}"})
    EXPECT_THROW(StringToGUID(Bad), EConvertError) << Bad;
}

}  // namespace
