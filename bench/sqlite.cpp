// Patient records inserted into and read back from the local database's
// Patients table, through the descriptor-driven mapping (InsertType and
// LoadRecord by row id) and through hand-written prepared statements on
// the SQLite C interface, in the same run and on the same records. Each side
// works in its own file; inserts and reads each run inside one transaction
// so that the file locking and syncing, the same for both, do not hide the
// cost of the mapping; the sides take turns at going first. Counters: milliseconds per side for each phase and the
// ratios (mapping / hand-written). The argument is the record count: the
// small one keeps smoke runs fast, the large one is the measured case.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Carvelin.Database.h"
#include "Vantrel.SQLite.h"

namespace {

using Carvelin::TVaspoPatient;

constexpr const char* CreatePatients =
    "CREATE TABLE IF NOT EXISTS Patients (  Nom NOT NULL,  Prenom,  Naissance DATE,  Nir,  Rang,   Nir2,  INSC,  "
    "INSN,  INSi,  INSiDate,  INSiStatus,   Status,  LastDate,   Praticien,  crt,  upd)";

std::vector<TVaspoPatient> MakePatients(size_t Count) {
  static const char* const Noms[] = {"Martin", "Bernard", "Dubois", "Thomas", "Robert", "Richard", "Petit", "Durand"};
  static const char* const Prenoms[] = {"Jean", "Marie", "Éloïse", "Zoé", "Luc", "Ana"};
  std::vector<TVaspoPatient> List(Count);
  for (size_t I = 0; I < Count; ++I) {
    TVaspoPatient& P = List[I];
    P.Nom = std::string(Noms[I % 8]) + " " + std::to_string(I);
    P.Prenom = Prenoms[I % 6];
    P.Naissance = 10000.0 + double(I % 30000);
    P.Nir = "1" + std::to_string(5000000000000 + I);
    P.Rang = int32_t(I % 3 + 1);
    if (I % 4 == 0) P.Nir2 = P.Nir;
    P.INSC = std::to_string(2550312345678901234ull + I);
    P.INSN = std::to_string(255031234500000ull + I);
    if (I % 2 == 0) P.INSi = "<INSi id=\"" + std::to_string(I) + "\"><Nom>" + P.Nom + "</Nom></INSi>";
    P.INSiDate = I % 2 ? 0.0 : 45000.5 + double(I % 100);
    P.INSiStatus = int32_t(I % 5);
    P.Status = int32_t(I % 7);
    P.LastDate = 45100.25;
    P.Praticien = int32_t(I % 20 + 1);
    P.crt = 45000.0 + double(I % 1000) / 7.0;
    P.upd = P.crt + 1.5;
  }
  return List;
}

const std::vector<TVaspoPatient>& Patients(size_t Count) {
  static std::vector<TVaspoPatient> List;
  if (List.size() != Count) List = MakePatients(Count);
  return List;
}

std::string FileFor(const char* Side) {
  auto Path = std::filesystem::temp_directory_path() / ("carvelin-bench-" + std::to_string(getpid()) + "-" + Side);
  std::filesystem::remove(Path);
  return Path.string();
}

void Check(bool Ok, benchmark::State& State, const char* What) {
  if (!Ok) State.SkipWithError(What);
}

// ---- Hand-written side ----

class THand {
 public:
  explicit THand(const std::string& File) {
    sqlite3_open_v2(File.c_str(), &FDB, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(FDB, CreatePatients, nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(FDB,
                       "INSERT INTO Patients (Nom, Prenom, Naissance, Nir, Rang, Nir2, INSC, INSN, INSi, INSiDate, "
                       "INSiStatus, Praticien, Status, LastDate, crt, upd) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                       "?, ?, ?, ?)",
                       -1, &FInsert, nullptr);
    sqlite3_prepare_v2(FDB,
                       "SELECT rowid, Nom, Prenom, Naissance, Nir, Rang, Nir2, INSC, INSN, INSi, INSiDate, INSiStatus, "
                       "Praticien, Status, LastDate, crt, upd FROM Patients WHERE rowid = ?",
                       -1, &FSelect, nullptr);
  }
  ~THand() {
    sqlite3_finalize(FInsert);
    sqlite3_finalize(FSelect);
    sqlite3_close(FDB);
  }
  THand(const THand&) = delete;
  THand& operator=(const THand&) = delete;

  void Exec(const char* SQL) { sqlite3_exec(FDB, SQL, nullptr, nullptr, nullptr); }

  bool Insert(TVaspoPatient& P) {
    int I = 0;
    Text(++I, P.Nom);
    Text(++I, P.Prenom);
    Date(++I, P.Naissance, 1);
    Text(++I, P.Nir);
    sqlite3_bind_int64(FInsert, ++I, P.Rang);
    Text(++I, P.Nir2);
    Text(++I, P.INSC);
    Text(++I, P.INSN);
    Text(++I, P.INSi);
    Date(++I, P.INSiDate, 3);
    sqlite3_bind_int64(FInsert, ++I, P.INSiStatus);
    sqlite3_bind_int64(FInsert, ++I, P.Praticien);
    sqlite3_bind_int64(FInsert, ++I, P.Status);
    Date(++I, P.LastDate, 3);
    Date(++I, P.crt, 3);
    Date(++I, P.upd, 3);
    bool Ok = sqlite3_step(FInsert) == SQLITE_DONE;
    sqlite3_reset(FInsert);
    sqlite3_clear_bindings(FInsert);
    P.rowid = sqlite3_last_insert_rowid(FDB);
    return Ok;
  }

  bool Load(int64_t RowId, TVaspoPatient& P) {
    sqlite3_bind_int64(FSelect, 1, RowId);
    bool Found = sqlite3_step(FSelect) == SQLITE_ROW;
    if (Found) {
      int C = 0;
      P.rowid = sqlite3_column_int64(FSelect, C++);
      ReadText(C++, P.Nom);
      ReadText(C++, P.Prenom);
      P.Naissance = ReadDate(C++);
      ReadText(C++, P.Nir);
      P.Rang = sqlite3_column_int(FSelect, C++);
      ReadText(C++, P.Nir2);
      ReadText(C++, P.INSC);
      ReadText(C++, P.INSN);
      ReadText(C++, P.INSi);
      P.INSiDate = ReadDate(C++);
      P.INSiStatus = sqlite3_column_int(FSelect, C++);
      P.Praticien = sqlite3_column_int(FSelect, C++);
      P.Status = sqlite3_column_int(FSelect, C++);
      P.LastDate = ReadDate(C++);
      P.crt = ReadDate(C++);
      P.upd = ReadDate(C++);
    }
    sqlite3_reset(FSelect);
    return Found;
  }

 private:
  void Text(int I, const std::string& S) {
    if (S.empty())
      sqlite3_bind_null(FInsert, I);
    else
      sqlite3_bind_text(FInsert, I, S.data(), int(S.size()), SQLITE_STATIC);
  }
  void Date(int I, Vantrel::TDateTime V, int Kind) {
    if (V == 0) {
      sqlite3_bind_null(FInsert, I);
    } else {
      std::string S = Vantrel::SQLiteDateTimeText(V, Kind);
      sqlite3_bind_text(FInsert, I, S.data(), int(S.size()), SQLITE_TRANSIENT);
    }
  }
  void ReadText(int C, std::string& S) {
    const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(FSelect, C));
    S.assign(P ? P : "", size_t(sqlite3_column_bytes(FSelect, C)));
  }
  Vantrel::TDateTime ReadDate(int C) {
    const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(FSelect, C));
    return Vantrel::SQLiteTextToDateTime(P ? std::string_view(P, size_t(sqlite3_column_bytes(FSelect, C))) : "");
  }

  sqlite3* FDB = nullptr;
  sqlite3_stmt* FInsert = nullptr;
  sqlite3_stmt* FSelect = nullptr;
};

double Since(std::chrono::steady_clock::time_point T0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
}

bool SameRecord(const TVaspoPatient& A, const TVaspoPatient& B) {
  return A.rowid == B.rowid && A.Nom == B.Nom && A.INSi == B.INSi && A.INSiStatus == B.INSiStatus &&
         A.Naissance == B.Naissance && A.Status == B.Status;
}

void BM_SQLitePatients(benchmark::State& State) {
  const size_t Count = size_t(State.range(0));
  std::vector<TVaspoPatient> Ours = Patients(Count), Hand = Ours;
  double OursInsert = 0, OursRead = 0, HandInsert = 0, HandRead = 0;
  auto RunOurs = [&](const std::string& File) {
    Vantrel::TSQLite3 DB;
    DB.Open(File);
    DB.ExecSQL(CreatePatients);
    auto T0 = std::chrono::steady_clock::now();
    DB.ExecSQL("BEGIN");
    for (auto& P : Ours) DB.InsertType(P, "Patients");
    DB.ExecSQL("COMMIT");
    OursInsert += Since(T0);
    TVaspoPatient R;
    T0 = std::chrono::steady_clock::now();
    DB.ExecSQL("BEGIN");
    for (const auto& P : Ours) {
      bool Found = DB.LoadRecord(R, "FROM Patients WHERE rowid = ?", {P.rowid});
      Check(Found && SameRecord(R, P), State, "mapping read back another record");
    }
    DB.ExecSQL("COMMIT");
    OursRead += Since(T0);
  };
  auto RunHand = [&](const std::string& File) {
    THand DB(File);
    auto T0 = std::chrono::steady_clock::now();
    DB.Exec("BEGIN");
    for (auto& P : Hand) Check(DB.Insert(P), State, "hand-written insert failed");
    DB.Exec("COMMIT");
    HandInsert += Since(T0);
    TVaspoPatient R;
    T0 = std::chrono::steady_clock::now();
    DB.Exec("BEGIN");
    for (const auto& P : Hand) Check(DB.Load(P.rowid, R) && SameRecord(R, P), State, "hand-written read failed");
    DB.Exec("COMMIT");
    HandRead += Since(T0);
  };
  bool OursFirst = true;
  for (auto _ : State) {
    std::string OursFile = FileFor("mapping"), HandFile = FileFor("hand");
    if (OursFirst) {
      RunOurs(OursFile);
      RunHand(HandFile);
    } else {
      RunHand(HandFile);
      RunOurs(OursFile);
    }
    OursFirst = !OursFirst;
    std::filesystem::remove(OursFile);
    std::filesystem::remove(HandFile);
  }
  double Runs = double(State.iterations());
  State.counters["mapping_insert_ms"] = OursInsert / Runs;
  State.counters["hand_insert_ms"] = HandInsert / Runs;
  State.counters["insert_ratio"] = OursInsert / HandInsert;
  State.counters["mapping_read_ms"] = OursRead / Runs;
  State.counters["hand_read_ms"] = HandRead / Runs;
  State.counters["read_ratio"] = OursRead / HandRead;
  State.counters["time_ratio"] = (OursInsert + OursRead) / (HandInsert + HandRead);
  State.SetItemsProcessed(int64_t(State.iterations()) * int64_t(Count) * 2);
}
BENCHMARK(BM_SQLitePatients)->Arg(2000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
