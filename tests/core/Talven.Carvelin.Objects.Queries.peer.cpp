// Document queries and the document list with a SoftHSM2 CPS card against
// the national-service simulator, which applies the stored-query filters to
// its own metadata; its request log (Python's json, xml.etree) shows what
// was sent.
#include <gtest/gtest.h>

#include <regex>

#include "CardSimPeer.h"

using namespace Talven;
using TestSupport::TCpsToken;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view MartinUID = "1.2.250.1.213.1.1.1.1.999.2.1.";

class QueriesPeer : public CardSim::TCardSimPeer {};


using Ids = std::vector<int>;

// The last number of each listed document's unique id, in the order read.
Ids Listed(IDocumentList& List) {
  Ids Found;
  for (int I = 0; I < List.Count(); ++I) {
    const std::string& Id = List.Info(I)->UniqueID;
    EXPECT_EQ(Id.substr(0, MartinUID.size()), MartinUID);
    Found.push_back(std::stoi(Id.substr(MartinUID.size())));
  }
  return Found;
}

TQueryDocuments Query(std::initializer_list<TQueryFlag> Flags, std::string Type = {}, std::string After = {},
                      std::string Before = {}) {
  TQueryDocuments Q;
  for (TQueryFlag F : Flags) Q.Flags.Include(F);
  Q.TypeDoc = std::move(Type);
  Q.After = std::move(After);
  Q.Before = std::move(Before);
  return Q;
}

TEST_F(QueriesPeer, the_listed_documents_are_those_the_registry_selects_newest_first) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  using F = TQueryFlag;
  const struct {
    TQueryDocuments Q;
    Ids Expected;
  } Cases[] = {
      {Query({}), {1, 2, 4, 6, 7, 8}},
      {Query({F::Archive}), {3, 9}},
      {Query({F::Aprouve, F::Archive}), {1, 2, 3, 4, 6, 7, 8, 9}},
      {Query({F::Obsolete}), {5}},
      {Query({}, "60591-5"), {2}},
      {Query({F::Aprouve, F::Archive}, {}, "05/12/2024 00:00"), {1, 2, 3}},
      {Query({F::Aprouve, F::Archive}, {}, "05/12/2024 00:00", "01/02/2025 00:00"), {2, 3}},
      {Query({}, {}, "pas une date", "31/02/2025 00:00"), {1, 2, 4, 6, 7, 8}},
  };
  for (const auto& C : Cases) {
    std::shared_ptr<IDocumentList> List;
    ASSERT_EQ(Dossier->QueryDocuments(C.Q, List), ERR_OK) << Root->GetErrDetail();
    EXPECT_EQ(Listed(*List), C.Expected) << C.Q.TypeDoc << " " << C.Q.After;
    EXPECT_EQ(List->GetSortIndex(), -3);
  }
  Since = Sim->LogSize();
  std::shared_ptr<IDocumentList> List;
  ASSERT_EQ(Dossier->QueryDocuments(Query({F::Archive, F::MasquePS, F::InvisiblePatient}), List), ERR_OK);
  ExpectLog(R"PY(
assert len(requests) == 1 and requests[0]['operation'] == 'FindDocuments', requests
slots = {s.get('name'): [v.text for v in s.iter() if v.tag.endswith('}Value')] for s in body(requests[0]).iter() if s.tag.endswith('}Slot')}
assert slots['$XDSDocumentEntryStatus'] == ["('urn:asip:ci-sis:2010:StatusType:Archived')"], slots
assert slots['$XDSDocumentEntryConfidentialityCode'] == ["('MASQUE_PS^Document masqué aux professionnels de santé^1.2.250.1.213.1.1.4.13','INVISIBLE_PATIENT^Document non visible par le patient^1.2.250.1.213.1.1.4.13')"], slots
assert slots['$XDSDocumentEntryPatientId'][0].startswith("'284057511204537^^^&"), slots
ro = [e for e in body(requests[0]).iter() if e.tag.endswith('}ResponseOption')][0]
assert ro.get('returnType') == 'LeafClass' and ro.get('returnComposedObjects') == 'true'
)PY");
}

TEST_F(QueriesPeer, refusals_send_nothing) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  std::shared_ptr<IDocumentList> List;
  // The service's parameter (36 months here), counted in whole average months.
  const int Max = Root->FParametres.hrPeriodeMax;
  EXPECT_EQ(Dossier->QueryDocuments(Query({}, "REMB", "01/01/2020 00:00", "01/03/2025 00:00"), List), ERR_PERIODE);
  EXPECT_EQ(Root->GetErrDetail(), "La période de recherche dépasse " + std::to_string(Max) + " mois");
  EXPECT_EQ(Dossier->QueryDocuments(Query({}, "PAS-UN-TYPE"), List), ERR_DOCUMENT);
  EXPECT_EQ(Dossier->Query2Documents("11488-4", "PAS-UN-TYPE", List), ERR_DOCUMENT);
  EXPECT_EQ(Dossier->QuerySubmissions(Query({}, "PAS-UN-TYPE", "01/01/2025 00:00"), List), ERR_DOCUMENT);
  EXPECT_FALSE(List);
  EXPECT_TRUE(Sim->Log(Since).empty());
  // Twenty-three whole months is within the period.
  EXPECT_EQ(Dossier->QueryDocuments(Query({}, "REMB", "01/04/2023 00:00", "01/03/2025 00:00"), List), ERR_OK)
      << Root->GetErrDetail();
}

TEST_F(QueriesPeer, the_view_sorts_filters_and_reads_backwards) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  std::shared_ptr<IDocumentList> List;
  ASSERT_EQ(Dossier->QueryDocuments(Query({TQueryFlag::Aprouve, TQueryFlag::Archive}), List), ERR_OK);
  ASSERT_EQ(List->Sort(2), ERR_OK);  // same column: reading order only
  EXPECT_EQ(Listed(*List), (Ids{9, 8, 7, 6, 4, 3, 2, 1}));
  EXPECT_EQ(List->GetSortIndex(), 3);
  ASSERT_EQ(List->Sort(5), ERR_OK);  // sizes, smallest first
  EXPECT_EQ(Listed(*List), (Ids{8, 3, 9, 6, 7, 1, 2, 4}));
  ASSERT_EQ(List->Sort(0), ERR_OK);  // titles, ASCII case folded: "Certificat" before "CR d'"
  const Ids ByName = Listed(*List);
  EXPECT_EQ(ByName, (Ids{8, 3, 4, 7, 1, 9, 6, 2}));
  EXPECT_EQ(List->Sort(9), ERR_INDEX);
  EXPECT_EQ(Listed(*List), ByName);
  EXPECT_EQ(List->GetSortIndex(), 0);
  EXPECT_EQ(List->Info(List->Count()), nullptr);
  EXPECT_EQ(List->Info(-1), nullptr);

  List->SetSortIndex(-1);
  Ids Reversed = ByName;
  std::reverse(Reversed.begin(), Reversed.end());
  EXPECT_EQ(Listed(*List), Reversed);
  EXPECT_EQ(List->GetSortIndex(), -1);

  const std::string Category = static_cast<const Objects::TDocumentInfo*>(List->Info(0))->CodeCategorie;
  ASSERT_FALSE(Category.empty());
  const int InCategory = List->CategoryCount(Category);
  EXPECT_EQ(List->Filter(Category), ERR_OK);
  EXPECT_EQ(List->Count(), InCategory);
  EXPECT_EQ(static_cast<const Objects::TDocumentInfo*>(List->Info(0))->CodeCategorie, Category);
  EXPECT_EQ(List->Filter("inconnue"), ERR_OK);
  EXPECT_EQ(List->Count(), 0);
  EXPECT_EQ(List->CategoryCount(Category), InCategory);
  EXPECT_EQ(List->Filter({}), ERR_OK);
  EXPECT_EQ(List->Count(), 8);

  std::shared_ptr<IDocument> Doc;
  EXPECT_EQ(List->GetDocument(8, Doc), ERR_INDEX);
  EXPECT_EQ(List->DeleteDocument(8), ERR_INDEX);
  EXPECT_EQ(List->DeleteDocument(-1), ERR_INDEX);
}

TEST_F(QueriesPeer, two_types_and_submission_sets) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  std::shared_ptr<IDocumentList> List;
  // The display name holds a quote, doubled inside the list.
  ASSERT_EQ(Dossier->Query2Documents("11502-2", "60591-5", List), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Listed(*List), (Ids{2}));
  EXPECT_EQ(List->GetSortIndex(), 0);
  ExpectLog(R"PY(
values = texts(requests[-1], 'Value')
assert any(v.startswith("('11502-2^CR d''examens") for v in values), values
)PY");

  // Without dates the submission queries are the document query.
  std::shared_ptr<IDocumentList> Plain, Same;
  ASSERT_EQ(Dossier->QueryDocuments(Query({}), Plain), ERR_OK);
  ASSERT_EQ(Dossier->QuerySubmissions(Query({}), Same), ERR_OK);
  EXPECT_EQ(Listed(*Same), Listed(*Plain));

  // The sets filed since 01/11/2024 are the first two.
  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->QuerySubmissions(Query({}, {}, "01/11/2024 00:00"), List), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Listed(*List), (Ids{1, 2, 4, 6}));
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/FindSubmissionSets", "registry/GetSubmissionSetAndContents",
                                                    "registry/GetSubmissionSetAndContents"}));
  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->QuerySubmissions2(Query({}, {}, "01/11/2024 00:00"), List), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(Listed(*List), (Ids{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/FindSubmissionSets", "registry/GetAssociations",
                                                    "registry/GetDocuments"}));
  // No set filed in the future: an empty list, no member query.
  Since = Sim->LogSize();
  ASSERT_EQ(Dossier->QuerySubmissions2(Query({}, {}, "01/01/2030 00:00"), List), ERR_OK) << Root->GetErrDetail();
  EXPECT_EQ(List->Count(), 0);
  EXPECT_EQ(Operations(), (std::vector<std::string>{"registry/FindSubmissionSets"}));
}

TEST_F(QueriesPeer, a_list_keeps_its_record_and_a_lost_session_refuses) {
  auto Dossier = Open(MartinINS);
  ASSERT_TRUE(Dossier);
  std::shared_ptr<IDocumentList> List;
  ASSERT_EQ(Dossier->QueryDocuments(Query({}), List), ERR_OK);
  std::weak_ptr<TDossierMedical> Record = Dossier;
  Dossier.reset();
  EXPECT_FALSE(Record.expired());
  EXPECT_EQ(std::dynamic_pointer_cast<TDocumentList>(List)->Dossier, Record.lock());
  EXPECT_EQ(List->Count(), 6);
  CPS.reset();
  std::shared_ptr<IDocumentList> Again;
  EXPECT_EQ(Record.lock()->QueryDocuments(Query({}), Again), ERR_SESSION);
  EXPECT_FALSE(Again);
  std::shared_ptr<IDocument> Doc;
  EXPECT_EQ(List->GetDocument(0, Doc), ERR_SESSION);
}

}  // namespace
