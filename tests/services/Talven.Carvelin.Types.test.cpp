#include "Talven.Carvelin.Types.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

using namespace Talven;

// Interfaces are released through shared_ptr to their base.
static_assert(std::has_virtual_destructor_v<IVaspoCNX> && std::is_abstract_v<IVaspoCNX>);
static_assert(std::is_base_of_v<IVaspoCNX, IVaspoCPS> && std::is_base_of_v<IVaspoCNX, IVaspoCRT>);
static_assert(std::has_virtual_destructor_v<ICarvelin> && std::has_virtual_destructor_v<IDocument>);

TEST(Types, ins_type_letter_matches_the_oid_exactly) {
  struct {
    std::string_view OID;
    char Letter;
  } const Cases[] = {
      {"1.2.250.1.213.1.4.1", 'A'},  {"1.2.250.1.213.1.4.2", 'C'},  {"1.2.250.1.213.1.4.8", 'R'},
      {"1.2.250.1.213.1.4.9", 'I'},  {"1.2.250.1.213.1.4.10", 'T'}, {"1.2.250.1.213.1.4.11", 'D'},
      {"", '?'},                     {"1.2.250.1.213.1.4.3", '?'},  {"1.2.250.1.213.1.4.12", '?'},
      {"1.2.250.1.213.1.4.1.1", '?'}, {"1.2.250.1.213.1.4.", '?'},  {" 1.2.250.1.213.1.4.8", '?'},
      {"1.2.250.1.213.1.4.8 ", '?'}, {std::string_view("1.2.250.1.213.1.4.8\0", 20), '?'},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.OID);
    EXPECT_EQ(INSTypeLetter(C.OID), C.Letter);
  }
}

namespace {

template <class E>
struct TTextCase {
  E Value;
  std::string_view Text;
};

// Every value gives its text and every non-empty text gives its value back;
// near misses (case, spaces) give nothing.
template <class E>
void ExpectTexts(const std::vector<TTextCase<E>>& Cases) {
  ASSERT_EQ(Cases.size(), EnumCount<E>);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(EnumText(C.Value), C.Text);
    if (C.Text.empty()) continue;
    EXPECT_EQ(EnumFromText<E>(C.Text), C.Value);
    std::string Lower(C.Text);
    for (char& Ch : Lower) Ch = char(std::tolower(static_cast<unsigned char>(Ch)));
    if (Lower != C.Text) {
      EXPECT_FALSE(EnumFromText<E>(Lower).has_value());
    }
    EXPECT_FALSE(EnumFromText<E>(std::string(C.Text) + " ").has_value());
  }
  EXPECT_FALSE(EnumFromText<E>("").has_value());
  EXPECT_EQ(EnumText(static_cast<E>(EnumCount<E>)), "");
}

}  // namespace

TEST(Types, enumeration_texts_both_ways) {
  ExpectTexts<TDocumentStatus>({
      {TDocumentStatus::dsApproved, "urn:oasis:names:tc:ebxml-regrep:StatusType:Approved"},
      {TDocumentStatus::dsArchived, "urn:asip:ci-sis:2010:StatusType:Archived"},
      {TDocumentStatus::dsDeleted, "urn:asip:ci-sis:2010:StatusType:Deleted"},
      {TDocumentStatus::dsDeprecated, "urn:oasis:names:tc:ebxml-regrep:StatusType:Deprecated"},
  });
  ExpectTexts<TRelation>({
      {TRelation::Aucune, ""},          {TRelation::Pere, "FTH"},
      {TRelation::Mere, "MTH"},         {TRelation::BeauPere, "STPFTH"},
      {TRelation::BelleMere, "STPMTH"}, {TRelation::GrandPere, "GRFTH"},
      {TRelation::GrandMere, "GRMTH"},  {TRelation::ArriereGrandPere, "GGRFTH"},
      {TRelation::ArriereGrandMere, "GGRMTH"}, {TRelation::Tante, "AUNT"},
      {TRelation::Oncle, "UNCLE"},      {TRelation::Frere, "BRO"},
      {TRelation::Soeur, "SIS"},        {TRelation::Autre, "RESPRSN"},
  });
  ExpectTexts<TModePraticien>({
      {TModePraticien::Active, "ACTIVE"}, {TModePraticien::Interdite, "INTERDITE"}, {TModePraticien::Toute, "TOUTE"},
  });
  ExpectTexts<TDateMode>({
      {TDateMode::DateAutorisation, "LASTAUTORIZATION"}, {TDateMode::DateDernierDocument, "LASTDOC"},
  });
  ExpectTexts<TSexe>({
      {TSexe::Tous, ""}, {TSexe::Homme, "M"}, {TSexe::Femme, "F"}, {TSexe::Inconnu, "U"},
  });
  ExpectTexts<TDMPUrl>({
      {TDMPUrl::TableauDeBord, "TableauDeBord"},     {TDMPUrl::DossierPatient, "DossierPatient"},
      {TDMPUrl::GestionDMP, "GestionDMPPatient"},    {TDMPUrl::Documents, "Documents"},
      {TDMPUrl::ParcoursDeSoins, "ParcoursDeSoins"}, {TDMPUrl::HistoriqueAcces, "HistoriqueAcces"},
      {TDMPUrl::Parametrages, "Parametrages"},       {TDMPUrl::VolontesEtDroits, "VolontesEtDroits"},
  });
  ExpectTexts<TActionCanal>({
      {TActionCanal::Ajout, "AJOUT"}, {TActionCanal::Modification, "MODIFICATION"},
      {TActionCanal::Suppression, "SUPPRESSION"},
  });
}

TEST(Types, visibility_set_uses_the_bits_of_the_service) {
  using V = TVisibiliteDocument;
  EXPECT_EQ(TVisibilitesDocument{V::PatientUniquement}.Bits(), 1u);  // hidden from professionals
  EXPECT_EQ(TVisibilitesDocument{V::PraticiensUniquement}.Bits(), 2u);  // hidden from the patient
  EXPECT_EQ(TVisibilitesDocument{V::InvisibleRepresentantLegal}.Bits(), 4u);

  const auto Everybody = TVisibilitesDocument::FromBits(0);
  EXPECT_TRUE(Everybody.Empty());
  const auto Nobody = TVisibilitesDocument::FromBits(7);
  EXPECT_TRUE(Nobody.Contains(V::PatientUniquement) && Nobody.Contains(V::PraticiensUniquement) &&
              Nobody.Contains(V::InvisibleRepresentantLegal));
  EXPECT_EQ(Nobody, (TVisibilitesDocument{V::PatientUniquement, V::PraticiensUniquement, V::InvisibleRepresentantLegal}));

  // Bits that name no visibility are dropped, whatever the input says.
  EXPECT_EQ(TVisibilitesDocument::FromBits(0xFFFFFFF8u).Bits(), 0u);
  EXPECT_EQ(TVisibilitesDocument::FromBits(0x0Du).Bits(), 5u);

  auto S = TVisibilitesDocument::FromBits(6);
  S.Exclude(V::PraticiensUniquement).Include(V::PatientUniquement);
  EXPECT_EQ(S.Bits(), 5u);
}

TEST(Types, query_flags_take_one_bit_per_flag_in_order) {
  const TQueryFlag Flags[] = {TQueryFlag::Aprouve, TQueryFlag::Archive, TQueryFlag::MasquePS,
                              TQueryFlag::InvisiblePatient, TQueryFlag::Invisible_RepresentantLegal,
                              TQueryFlag::Obsolete};
  uint32_t All = 0;
  for (uint32_t I = 0; I < 6; ++I) {
    EXPECT_EQ(TQueryFlags{Flags[I]}.Bits(), 1u << I);
    All |= 1u << I;
  }
  EXPECT_EQ(TQueryFlags::FromBits(0xFF).Bits(), All);
  EXPECT_TRUE(TQueryDocuments().Flags.Empty());
}

TEST(Types, fresh_records_hold_the_documented_defaults) {
  const TParametres P;
  EXPECT_FALSE(P.GestionMineurs);
  EXPECT_EQ(P.AgeMajoritee, 18);
  EXPECT_FALSE(P.CumulVisibilite);
  EXPECT_EQ(P.hrPeriodeMax, 24);

  EXPECT_EQ(TBeneficiaire().Qualite, -1);  // absent until read from the card
  EXPECT_FALSE(TDossierInfo().Fermeture.has_value());  // open record
  EXPECT_FALSE(TProprietesDocument().MedecintTraitant.has_value());
  EXPECT_TRUE(TProprietesDocument().Visibilite.Empty());  // visible to everybody
  EXPECT_EQ(TRepresentantLegal().Relation, TRelation::Aucune);
  EXPECT_EQ(TRecherchePatients().Sexe, TSexe::Tous);
}
