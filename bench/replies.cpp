// The registry and repository answer readers of the client core on large
// answers written by the service simulator's own modules
// (bench/replies_answers.py, run once at start with Debian's Python):
//  - a FindDocuments answer of 2,000 document entries read by
//    ParseDocumentList, against pugixml parsing the same text (in place, on a
//    copy made outside the timing, with its default options, which decode the
//    references as our values do) and taking the same fields into the same
//    records through the same conversions; the two lists are compared field
//    by field once, outside the timing;
//  - a RetrieveDocumentSet MTOM answer of two parts carrying a 20 MB document
//    read by ParseRetrieveDocumentSet.
//
// Counters (ratios are ours / pugixml, or peak / answer size):
//  - ours_ms, pugixml_ms, ratio: one reading (tree built, records filled, all
//    freed); the benchmark's own Time is both readings and the copy together;
//  - answer_MB, ours_peak_MB, pugixml_peak_MB, ours_peak_ratio, pugixml_peak_ratio:
//    the most heap bytes held during one reading beyond what was held before
//    (the answer text, and pugixml's in-place copy, are not counted), the
//    records included, counted at the C library's allocation entry points.
#include <benchmark/benchmark.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <pugixml.hpp>

#include "HeapCount.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"

namespace {

using Talven::Objects::TDocumentInfo;

constexpr int Entries = 2000;
constexpr size_t DocumentBytes = 20u * 1000 * 1000;

// An answer written by the simulator's modules; empty when Python fails.
std::string SimulatorAnswer(const std::string& Kind, size_t Amount) {
  const auto Script = std::filesystem::path(__FILE__).parent_path() / "replies_answers.py";
  TestSupport::RunResult R = TestSupport::Run({TestSupport::Python, Script.string(), Kind, std::to_string(Amount)});
  return R.Status == 0 ? std::move(R.Out) : std::string();
}

Talven::TCarvelin& Root() {
  static const std::shared_ptr<Talven::TCarvelin> R = Talven::TCarvelin::Create();
  return *R;
}

// ---- The same fields through pugixml ----

namespace Scheme = Talven::Objects::Scheme;

std::string_view LocalName(const char* Name) {
  const std::string_view N(Name);
  const size_t Colon = N.find(':');
  return Colon == std::string_view::npos ? N : N.substr(Colon + 1);
}

pugi::xml_node Child(pugi::xml_node Node, std::string_view Name) {
  for (pugi::xml_node C : Node.children())
    if (LocalName(C.name()) == Name) return C;
  return {};
}

std::string Attr(pugi::xml_node Node, const char* Name) { return Node.attribute(Name).value(); }

int32_t Number(std::string_view Text) {
  int32_t Value = 0;
  const auto R = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return R.ec == std::errc() && R.ptr == Text.data() + Text.size() ? Value : 0;
}

pugi::xml_node Classification(pugi::xml_node Entry, std::string_view SchemeId) {
  for (pugi::xml_node C : Entry.children())
    if (LocalName(C.name()) == "Classification" && C.attribute("classificationScheme").value() == SchemeId) return C;
  return {};
}

std::string SlotValue(pugi::xml_node Entry, std::string_view Name) {
  for (pugi::xml_node C : Entry.children())
    if (LocalName(C.name()) == "Slot" && C.attribute("name").value() == Name)
      return Child(Child(C, "ValueList"), "Value").child_value();
  return {};
}

std::string LocalizedName(pugi::xml_node Node) { return Attr(Child(Child(Node, "Name"), "LocalizedString"), "value"); }

int32_t Visibilite(pugi::xml_node Entry) {
  static constexpr std::pair<std::string_view, int32_t> Bits[] = {
      {"MASQUE_PS", 1}, {"INVISIBLE_PATIENT", 2}, {"INVISIBLE_REPRESENTANTS_LEGAUX", 4}};
  int32_t Result = 0;
  for (pugi::xml_node C : Entry.children())
    if (LocalName(C.name()) == "Classification")
      for (const auto& [Name, Bit] : Bits)
        if (C.attribute("nodeRepresentation").value() == Name) Result |= Bit;
  return Result;
}

TDocumentInfo PugiEntry(pugi::xml_node Entry) {
  namespace O = Talven::Objects;
  TDocumentInfo I;
  I.Nom = LocalizedName(Entry);
  I.Taille = Number(SlotValue(Entry, "size"));
  I.Commentaire = Attr(Child(Child(Entry, "Description"), "LocalizedString"), "value");
  const pugi::xml_node Categorie = Classification(Entry, Scheme::Categorie);
  I.Categorie = LocalizedName(Categorie);
  I.CodeCategorie = Attr(Categorie, "nodeRepresentation");
  I.CadreExercice = LocalizedName(Classification(Entry, Scheme::CadreExercice));
  I.DateDebut = O::HL7TimeToText(SlotValue(Entry, "serviceStartTime"));
  I.DateFin = O::HL7TimeToText(SlotValue(Entry, "serviceStopTime"));
  I.DocumentPatient = Attr(Classification(Entry, Scheme::Auteur), "nodeRepresentation") == "90";
  I.Version = Number(Child(Entry, "VersionInfo").attribute("versionName").value());
  I.uuid = Attr(Entry, "id");
  I.RepositoryId = SlotValue(Entry, "repositoryUniqueId");
  for (pugi::xml_node C : Entry.children())
    if (LocalName(C.name()) == "ExternalIdentifier" && C.attribute("identificationScheme").value() == Scheme::UniqueId)
      I.DocumentUniqueId = Attr(C, "value");
  I.legalAuthenticator = SlotValue(Entry, "legalAuthenticator");
  I.creationTime = SlotValue(Entry, "creationTime");
  I.nodeRepresentation = Attr(Classification(Entry, Scheme::Format), "nodeRepresentation");
  I.currentStatus = Attr(Entry, "status");
  I.Visibilite = Visibilite(Entry);
  O::FillDerivedFields(I);
  return I;
}

// The entries when totalResultCount equals them, as the registry reader requires.
void PugiDocumentList(char* Text, size_t Len, std::vector<TDocumentInfo>& List) {
  pugi::xml_document Tree;
  if (!Tree.load_buffer_inplace(Text, Len, pugi::parse_default)) return;
  const pugi::xml_node Response = Child(Child(Tree.document_element(), "Body"), "AdhocQueryResponse");
  const pugi::xml_node Objects = Child(Response, "RegistryObjectList");
  const int32_t Count = Number(Response.attribute("totalResultCount").value());
  if (Count <= 0 || size_t(Count) != size_t(std::distance(Objects.begin(), Objects.end()))) return;
  for (pugi::xml_node Entry : Objects.children())
    if (LocalName(Entry.name()) == "ExtrinsicObject") List.push_back(PugiEntry(Entry));
}

auto Fields(const TDocumentInfo& I) {
  return std::tie(I.Nom, I.Auteur, I.DateCreation, I.Categorie, I.Extension, I.Commentaire, I.Taille,
                  I.CadreExercice, I.DateDebut, I.DateFin, I.UniqueID, I.Visibilite, I.Statut, I.DocumentPatient,
                  I.DocumentSource, I.Version, I.CodeCategorie, I.uuid, I.RepositoryId, I.DocumentUniqueId,
                  I.legalAuthenticator, I.creationTime, I.creationDate, I.nodeRepresentation, I.currentStatus);
}

bool SameLists(const std::vector<TDocumentInfo>& A, const std::vector<TDocumentInfo>& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (Fields(A[I]) != Fields(B[I])) return false;
  return true;
}

// ---- Measures ----

template <class F>
double Seconds(F&& Reading) {
  const auto T0 = std::chrono::steady_clock::now();
  Reading();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
}

// The most heap bytes held during Reading beyond those held before it.
template <class F>
size_t PeakBytes(F&& Reading) {
  const size_t Base = HeapCount::HeldBytes();
  HeapCount::ResetPeak();
  Reading();
  return HeapCount::PeakAbove(Base);
}

void SetMemory(benchmark::State& State, std::string_view Side, size_t Peak, size_t Answer) {
  State.counters[std::string(Side) + "_peak_MB"] = double(Peak) / 1e6;
  State.counters[std::string(Side) + "_peak_ratio"] = double(Peak) / double(Answer);
}

void BM_FindDocuments(benchmark::State& State) {
  static const std::string Answer = SimulatorAnswer("find-documents", Entries);
  if (Answer.empty()) return State.SkipWithError("replies_answers.py find-documents failed");
  std::vector<char> Copy(Answer.size());
  const auto Refresh = [&] { std::memcpy(Copy.data(), Answer.data(), Answer.size()); };
  const auto Ours = [&] {
    std::vector<TDocumentInfo> List;
    benchmark::DoNotOptimize(Root().ParseDocumentList(Answer, List));
    benchmark::DoNotOptimize(List.data());
  };
  const auto Pugi = [&] {
    std::vector<TDocumentInfo> List;
    PugiDocumentList(Copy.data(), Copy.size(), List);
    benchmark::DoNotOptimize(List.data());
  };

  std::vector<TDocumentInfo> OursList, PugiList;
  const int Code = Root().ParseDocumentList(Answer, OursList);
  Refresh();
  PugiDocumentList(Copy.data(), Copy.size(), PugiList);
  if (Code != Talven::ERR_OK || OursList.size() != size_t(Entries))
    return State.SkipWithError("ParseDocumentList did not read every entry");
  if (!SameLists(OursList, PugiList)) return State.SkipWithError("pugixml took other fields");

  double OursSeconds = 0, PugiSeconds = 0;
  for (auto _ : State) {
    OursSeconds += Seconds(Ours);
    Refresh();
    PugiSeconds += Seconds(Pugi);
  }
  const double N = double(State.iterations());
  State.counters["ours_ms"] = OursSeconds / N * 1e3;
  State.counters["pugixml_ms"] = PugiSeconds / N * 1e3;
  State.counters["ratio"] = OursSeconds / PugiSeconds;
  State.counters["answer_MB"] = double(Answer.size()) / 1e6;
  SetMemory(State, "ours", PeakBytes(Ours), Answer.size());
  Refresh();
  SetMemory(State, "pugixml", PeakBytes(Pugi), Answer.size());
}

void BM_RetrieveDocumentSet(benchmark::State& State) {
  static const std::string Answer = SimulatorAnswer("retrieve", DocumentBytes);
  if (Answer.empty()) return State.SkipWithError("replies_answers.py retrieve failed");
  const auto Ours = [&] {
    Talven::Objects::TRetrievedDocument Document;
    const int Code = Root().ParseRetrieveDocumentSet(Answer, Document);
    if (Code != Talven::ERR_OK || Document.Content.size() != DocumentBytes || Document.DocumentUniqueId.empty())
      State.SkipWithError("ParseRetrieveDocumentSet did not read the document");
  };
  double OursSeconds = 0;
  for (auto _ : State) OursSeconds += Seconds(Ours);
  State.counters["ours_ms"] = OursSeconds / double(State.iterations()) * 1e3;
  State.counters["answer_MB"] = double(Answer.size()) / 1e6;
  SetMemory(State, "ours", PeakBytes(Ours), Answer.size());
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(Answer.size()));
}

}  // namespace

BENCHMARK(BM_FindDocuments)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RetrieveDocumentSet)->Unit(benchmark::kMillisecond);
