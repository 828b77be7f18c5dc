// JSON of patient-like records, about 50 MB, written and read by our
// descriptor-driven mapping and by RapidJSON (its Writer, and its DOM filled
// into the same records) in the same run. Counters: the milliseconds of each
// side per run, their ratio (ours / RapidJSON), and the peak of allocated
// bytes during one run of each side with its ratio.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Vantrel.JSON.UTF8.h"

// ---- Allocation accounting shared by both sides ----

namespace {
std::atomic<int64_t> Current{0}, Peak{0};
void Count(int64_t Delta) {
  int64_t Now = Current.fetch_add(Delta) + Delta;
  int64_t P = Peak.load();
  while (Now > P && !Peak.compare_exchange_weak(P, Now)) {
  }
}
void* CountedMalloc(size_t Size) {
  void* P = std::malloc(Size ? Size : 1);
  if (P) Count(int64_t(malloc_usable_size(P)));
  return P;
}
void CountedFree(void* P) {
  if (!P) return;
  Count(-int64_t(malloc_usable_size(P)));
  std::free(P);
}
}  // namespace

void* operator new(size_t Size) {
  if (void* P = CountedMalloc(Size)) return P;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept { CountedFree(P); }
void operator delete(void* P, size_t) noexcept { CountedFree(P); }

// RapidJSON's allocator concept, counted like operator new (outside the
// anonymous namespace: kNeedFree is part of the concept even where unused).
namespace JSONBench {
struct TCountingAllocator {
  static const bool kNeedFree = true;
  void* Malloc(size_t Size) { return Size ? CountedMalloc(Size) : nullptr; }
  void* Realloc(void* Old, size_t, size_t New) {
    if (New == 0) {
      CountedFree(Old);
      return nullptr;
    }
    int64_t Before = Old ? int64_t(malloc_usable_size(Old)) : 0;
    void* P = std::realloc(Old, New);
    if (P) Count(int64_t(malloc_usable_size(P)) - Before);
    return P;
  }
  static void Free(void* P) { CountedFree(P); }
};
}  // namespace JSONBench

namespace {

using JSONBench::TCountingAllocator;

using TDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<TCountingAllocator>,
                                             TCountingAllocator>;
using TBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, TCountingAllocator>;

struct TPatient {
  int64_t rowid = 0;
  std::string Nom, Prenom;
  Vantrel::TDate Naissance;
  std::string Nir;
  int32_t Rang = 0;
  std::string Nir2, INSC, INSN, INSi;
  Vantrel::TDateTimeValue INSiDate;
  int32_t INSiStatus = 0, Praticien = 0, Status = 0;
  Vantrel::TDateTimeValue LastDate, crt, upd;
};
VANTREL_RECORD(TPatient, VANTREL_FIELD(rowid), VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom),
               VANTREL_FIELD(Naissance), VANTREL_FIELD(Nir), VANTREL_FIELD(Rang), VANTREL_FIELD(Nir2),
               VANTREL_FIELD(INSC), VANTREL_FIELD(INSN), VANTREL_FIELD(INSi), VANTREL_FIELD(INSiDate),
               VANTREL_FIELD(INSiStatus), VANTREL_FIELD(Praticien), VANTREL_FIELD(Status),
               VANTREL_FIELD(LastDate), VANTREL_FIELD(crt), VANTREL_FIELD(upd))

const std::vector<TPatient>& Patients() {
  static const std::vector<TPatient> List = [] {
    static const char* Noms[] = {"Martin", "Bernard", "Dubois", "Lefèvre", "Müller", "Nguyễn", "O'Brien"};
    static const char* Prenoms[] = {"Hélène", "Zoé", "Jean-Pierre", "Élodie", "Ana \"Nana\"", "Noël"};
    std::vector<TPatient> L;
    std::string Json;
    for (size_t I = 0; Json.size() < 50u << 20; ++I) {
      TPatient P;
      P.rowid = int64_t(I + 1);
      P.Nom = Noms[I % 7];
      P.Prenom = Prenoms[I % 6];
      P.Naissance = 10000.0 + double(I % 30000);
      P.Nir = "1" + std::to_string(840000000000ll + int64_t(I) * 7919 % 100000000000ll);
      P.Rang = int32_t(I % 3);
      P.INSN = std::to_string(2750000000000ll + int64_t(I));
      P.INSi = "{\"ins\":\"" + P.INSN + "\",\"oid\":\"1.2.250.1.213.1.4.8\",\"nom\":\"" + P.Nom + "\"}\n\t";
      P.INSiDate = 45000.0 + double(I % 500) + 0.5;
      P.INSiStatus = int32_t(I % 4);
      P.Praticien = int32_t(I % 50);
      P.Status = int32_t(I % 2);
      P.crt = 44000.25 + double(I % 1000);
      P.upd = P.crt + 3.75;
      Json += Vantrel::JSON::buildJSON(P);
      L.push_back(std::move(P));
    }
    return L;
  }();
  return List;
}

const std::string& PatientsJSON() {
  static const std::string Json = Vantrel::JSON::buildJSON(Patients());
  return Json;
}

// The same text forms as ours: dates local "yyyy-mm-dd[Thh:nn:ss]", left out when 0.
void WriteDate(rapidjson::Writer<TBuffer>& W, Vantrel::TDateTime V, bool Time) {
  Vantrel::TDateParts P = Vantrel::DecodeDateTime(V);
  char B[20];
  auto Put = [&](int At, int N, int Digits) {
    for (int K = Digits - 1; K >= 0; --K, N /= 10) B[At + K] = char('0' + N % 10);
  };
  Put(0, P.Year, 4), B[4] = '-', Put(5, P.Month, 2), B[7] = '-', Put(8, P.Day, 2);
  if (Time) B[10] = 'T', Put(11, P.Hour, 2), B[13] = ':', Put(14, P.Minute, 2), B[16] = ':', Put(17, P.Second, 2);
  W.String(B, Time ? 19 : 10);
}

void WriteString(rapidjson::Writer<TBuffer>& W, const std::string& S) {
  if (S.empty())
    W.Null();
  else
    W.String(S.data(), rapidjson::SizeType(S.size()));
}

void RapidWrite(const std::vector<TPatient>& List, TBuffer& Out) {
  rapidjson::Writer<TBuffer> W(Out);
  W.StartArray();
  for (const TPatient& P : List) {
    W.StartObject();
    W.Key("rowid"), W.Int64(P.rowid);
    W.Key("Nom"), WriteString(W, P.Nom);
    W.Key("Prenom"), WriteString(W, P.Prenom);
    W.Key("Naissance"), WriteDate(W, P.Naissance, false);
    W.Key("Nir"), WriteString(W, P.Nir);
    W.Key("Rang"), W.Int(P.Rang);
    W.Key("Nir2"), WriteString(W, P.Nir2);
    W.Key("INSC"), WriteString(W, P.INSC);
    W.Key("INSN"), WriteString(W, P.INSN);
    W.Key("INSi"), WriteString(W, P.INSi);
    if (P.INSiDate >= 1) W.Key("INSiDate"), WriteDate(W, P.INSiDate, true);
    W.Key("INSiStatus"), W.Int(P.INSiStatus);
    W.Key("Praticien"), W.Int(P.Praticien);
    W.Key("Status"), W.Int(P.Status);
    if (P.LastDate >= 1) W.Key("LastDate"), WriteDate(W, P.LastDate, true);
    if (P.crt >= 1) W.Key("crt"), WriteDate(W, P.crt, true);
    if (P.upd >= 1) W.Key("upd"), WriteDate(W, P.upd, true);
    W.EndObject();
  }
  W.EndArray();
}

template <class V>
std::string Str(const V& Value) {
  return Value.IsString() ? std::string(Value.GetString(), Value.GetStringLength()) : std::string();
}
template <class V>
Vantrel::TDateTime DateOf(const V& Value) {
  return Value.IsString() ? Vantrel::JSON::StrToDateTime(std::string_view(Value.GetString(), Value.GetStringLength()))
                          : 0;
}

void RapidRead(const std::string& Json, std::vector<TPatient>& List) {
  TDocument D;
  D.Parse(Json.data(), Json.size());
  if (D.HasParseError() || !D.IsArray()) std::abort();
  List.clear();
  for (const auto& O : D.GetArray()) {
    TPatient P;
    // Members matched by name in any order, as ours does.
    for (const auto& M : O.GetObject()) {
      std::string_view K(M.name.GetString(), M.name.GetStringLength());
      const auto& V = M.value;
      if (K == "rowid") P.rowid = V.GetInt64();
      else if (K == "Nom") P.Nom = Str(V);
      else if (K == "Prenom") P.Prenom = Str(V);
      else if (K == "Naissance") P.Naissance = DateOf(V);
      else if (K == "Nir") P.Nir = Str(V);
      else if (K == "Rang") P.Rang = V.GetInt();
      else if (K == "Nir2") P.Nir2 = Str(V);
      else if (K == "INSC") P.INSC = Str(V);
      else if (K == "INSN") P.INSN = Str(V);
      else if (K == "INSi") P.INSi = Str(V);
      else if (K == "INSiDate") P.INSiDate = DateOf(V);
      else if (K == "INSiStatus") P.INSiStatus = V.GetInt();
      else if (K == "Praticien") P.Praticien = V.GetInt();
      else if (K == "Status") P.Status = V.GetInt();
      else if (K == "LastDate") P.LastDate = DateOf(V);
      else if (K == "crt") P.crt = DateOf(V);
      else if (K == "upd") P.upd = DateOf(V);
    }
    List.push_back(std::move(P));
  }
}

// Runs F once, giving its time in milliseconds and the peak of bytes allocated meanwhile.
template <class F>
void Measure(F&& Fn, double& Ms, int64_t& PeakBytes) {
  int64_t Base = Current.load();
  Peak.store(Base);
  auto T0 = std::chrono::steady_clock::now();
  Fn();
  Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
  PeakBytes = Peak.load() - Base;
}

void Report(benchmark::State& State, double Ours, double Theirs, int64_t OursPeak, int64_t TheirsPeak, int Runs) {
  State.counters["ours_ms"] = Ours / Runs;
  State.counters["rapidjson_ms"] = Theirs / Runs;
  State.counters["time_ratio"] = Ours / Theirs;
  State.counters["ours_peak_MB"] = double(OursPeak) / (1 << 20);
  State.counters["rapidjson_peak_MB"] = double(TheirsPeak) / (1 << 20);
  State.counters["peak_ratio"] = double(OursPeak) / double(TheirsPeak);
  State.SetBytesProcessed(int64_t(PatientsJSON().size()) * Runs * 2);
}

void BM_JSONWrite(benchmark::State& State) {
  const auto& List = Patients();
  {
    TBuffer Same;  // both sides write the very same text
    RapidWrite(List, Same);
    if (PatientsJSON() != Same.GetString()) State.SkipWithError("the two writers differ");
  }
  double Ours = 0, Theirs = 0, Ms;
  int64_t OursPeak = 0, TheirsPeak = 0, Bytes;
  int Runs = 0;
  for (auto _ : State) {
    Measure([&] { benchmark::DoNotOptimize(Vantrel::JSON::buildJSON(List)); }, Ms, Bytes);
    Ours += Ms, OursPeak = std::max(OursPeak, Bytes);
    Measure([&] {
      TBuffer Out;
      RapidWrite(List, Out);
      benchmark::DoNotOptimize(Out.GetString());
    }, Ms, Bytes);
    Theirs += Ms, TheirsPeak = std::max(TheirsPeak, Bytes);
    ++Runs;
  }
  Report(State, Ours, Theirs, OursPeak, TheirsPeak, Runs);
}

void BM_JSONRead(benchmark::State& State) {
  const std::string& Json = PatientsJSON();
  double Ours = 0, Theirs = 0, Ms;
  int64_t OursPeak = 0, TheirsPeak = 0, Bytes;
  int Runs = 0;
  for (auto _ : State) {
    Measure([&] {
      std::vector<TPatient> List;
      Vantrel::JSON::parseJSON(Json, List);
      if (List.size() != Patients().size()) std::abort();
    }, Ms, Bytes);
    Ours += Ms, OursPeak = std::max(OursPeak, Bytes);
    Measure([&] {
      std::vector<TPatient> List;
      RapidRead(Json, List);
      if (List.size() != Patients().size()) std::abort();
    }, Ms, Bytes);
    Theirs += Ms, TheirsPeak = std::max(TheirsPeak, Bytes);
    ++Runs;
  }
  Report(State, Ours, Theirs, OursPeak, TheirsPeak, Runs);
}

BENCHMARK(BM_JSONWrite)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_JSONRead)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
