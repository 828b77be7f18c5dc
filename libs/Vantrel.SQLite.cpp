#include "Vantrel.SQLite.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "Vantrel.UTF8.Utils.h"

namespace Vantrel {

namespace {

// Mapping statements kept prepared per connection.
constexpr size_t MaxCachedStatements = 16;
// Concurrent writers (a second instance of the program on the same file)
// wait this long for the lock before a step fails with SQLITE_BUSY.
constexpr int BusyTimeoutMs = 5000;

std::string CodeText(std::string_view Prefix, int Code) { return std::string(Prefix) + std::to_string(Code); }

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

void Put2(std::string& S, int V) {
  S.push_back(char('0' + V / 10 % 10));
  S.push_back(char('0' + V % 10));
}

enum class TValueKind { Ordinal, Date, OtherFloat, String8, String16, Int64, Other };

TValueKind KindOf(const TTypeInfo* Type) {
  switch (Type->Kind) {
    case TTypeKind::tkInteger:
    case TTypeKind::tkChar:
    case TTypeKind::tkWChar:
    case TTypeKind::tkEnumeration: return TValueKind::Ordinal;
    case TTypeKind::tkFloat: return GetDateTimeKind(Type) ? TValueKind::Date : TValueKind::OtherFloat;
    case TTypeKind::tkLString: return TValueKind::String8;
    case TTypeKind::tkUString: return TValueKind::String16;
    case TTypeKind::tkInt64: return TValueKind::Int64;
    default: return TValueKind::Other;
  }
}

std::string_view ColumnText(sqlite3_stmt* S, int Index) {
  const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(S, Index));
  return P ? std::string_view(P, size_t(sqlite3_column_bytes(S, Index))) : std::string_view();
}

// The user's text for a failure of the file itself (disk full, read-only,
// damaged, input/output): it names the file and keeps SQLite's detail
// after it; other failures keep Fallback.
std::string FailureText(int Code, std::string_view File, std::string_view Detail, std::string Fallback) {
  std::string_view Before, After;
  switch (Code & 0xFF) {
    case SQLITE_FULL: Before = "Disque plein : la base locale", After = " ne peut plus être écrite"; break;
    case SQLITE_READONLY: Before = "La base locale", After = " est en lecture seule : impossible d'y écrire"; break;
    case SQLITE_CANTOPEN:
      Before = "La base locale", After = " ne peut pas être ouverte ou écrite : vérifiez son dossier et ses droits";
      break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: Before = "La base locale", After = " est endommagée"; break;
    case SQLITE_IOERR: Before = "Erreur d'accès au disque pour la base locale"; break;
    default: return Fallback;
  }
  std::string Text(Before);
  if (!File.empty()) Text.append(" « ").append(File).append(" »");
  return Text.append(After).append(" (").append(Detail).append(")");
}

[[noreturn]] void RaiseFailure(sqlite3* Db, int Code, std::string Fallback) {
  const char* File = sqlite3_db_filename(Db, "main");
  throw ESQLite3Error(FailureText(Code, File ? File : "", sqlite3_errmsg(Db), std::move(Fallback)), Code);
}

// One step with the layer's error texts; true when a row came.
bool Step(sqlite3_stmt* S) {
  int R = sqlite3_step(S);
  switch (R) {
    case SQLITE_ROW: return true;
    case SQLITE_DONE: return false;
    case SQLITE_ERROR: throw ESQLite3Error("Fetch error", R);
    case SQLITE_CONSTRAINT: throw ESQLite3Error("Constraint error", R);
    default: RaiseFailure(sqlite3_db_handle(S), R, CodeText("sqlite3_step error #", R));
  }
}

void CheckBind(int R, std::string_view Call) {
  if (R != SQLITE_OK) throw ESQLite3Error(CodeText(std::string(Call) + " error #", R), R);
}

// What the mapping needs of one field, worked out once per kept statement.
struct TFieldPlan {
  TValueKind Kind;
  const TTypeInfo* Type;
  void* (*Address)(void* Instance);
};

TFieldPlan PlanOf(const TRecordField& F) {
  const TTypeInfo* T = F.TypeInfo();
  if (!T) throw ESQLite3Error("No type information for " + std::string(F.Name));
  return {KindOf(T), T, F.Address};
}

// Binds one record field as a parameter; the field's storage outlives the
// step (the caller resets the statement and clears the bindings before the
// record can change).
void BindField(sqlite3_stmt* S, int Index, const TFieldPlan& Plan, const void* Rec) {
  const TTypeInfo* Type = Plan.Type;
  const void* Data = Plan.Address(const_cast<void*>(Rec));
  switch (Plan.Kind) {
    case TValueKind::Ordinal:
      CheckBind(sqlite3_bind_int64(S, Index, GetOrdinal(Type, Data)), "sqlite3_bind_int64");
      return;
    case TValueKind::Date: {
      TDateTime V = *static_cast<const TDateTime*>(Data);
      if (V == 0) {
        CheckBind(sqlite3_bind_null(S, Index), "sqlite3_bind_null");
      } else {
        std::string Text = SQLiteDateTimeText(V, GetDateTimeKind(Type));
        CheckBind(sqlite3_bind_text(S, Index, Text.data(), int(Text.size()), SQLITE_TRANSIENT),
                  "sqlite3_bind_text16");
      }
      return;
    }
    case TValueKind::String8: {
      const auto& Str = *static_cast<const std::string*>(Data);
      if (Str.size() > size_t(INT_MAX)) throw ESQLite3Error("sqlite3_bind_text16 error #18", SQLITE_TOOBIG);
      CheckBind(Str.empty() ? sqlite3_bind_null(S, Index)
                            : sqlite3_bind_text(S, Index, Str.data(), int(Str.size()), SQLITE_STATIC),
                "sqlite3_bind_text16");
      return;
    }
    case TValueKind::String16: {
      const auto& Str = *static_cast<const std::u16string*>(Data);
      std::string Text = UTF16ToUTF8(Str);
      CheckBind(Text.empty() ? sqlite3_bind_null(S, Index)
                             : sqlite3_bind_text(S, Index, Text.data(), int(Text.size()), SQLITE_TRANSIENT),
                "sqlite3_bind_text16");
      return;
    }
    case TValueKind::Int64: {
      int64_t V;
      std::memcpy(&V, Data, sizeof V);  // UInt64 keeps its bits
      CheckBind(sqlite3_bind_int64(S, Index, V), "sqlite3_bind_int64");
      return;
    }
    case TValueKind::OtherFloat:
    case TValueKind::Other: break;
  }
  throw ESQLite3Error("Can't set " + std::string(Type->Name));
}

void ReadField(sqlite3_stmt* S, int Column, const TFieldPlan& Plan, void* Rec) {
  const TTypeInfo* Type = Plan.Type;
  void* Data = Plan.Address(Rec);
  switch (Plan.Kind) {
    case TValueKind::Ordinal: SetOrdinal(Type, Data, sqlite3_column_int64(S, Column)); return;
    case TValueKind::Date: {
      TDateTime V = SQLiteTextToDateTime(ColumnText(S, Column));
      std::memcpy(Data, &V, sizeof V);
      return;
    }
    case TValueKind::OtherFloat: throw ESQLite3Error("Can't set " + std::string(Type->Name));
    case TValueKind::String8: static_cast<std::string*>(Data)->assign(ColumnText(S, Column)); return;
    case TValueKind::String16: *static_cast<std::u16string*>(Data) = UTF8ToUTF16(ColumnText(S, Column)); return;
    case TValueKind::Int64: {
      int64_t V = sqlite3_column_int64(S, Column);
      std::memcpy(Data, &V, sizeof V);
      return;
    }
    case TValueKind::Other: break;
  }
  throw ESQLite3Error("Unsupported target type " + std::string(Type->Name));
}

void RequireRecord(const TTypeInfo* Type, std::string_view Operation) {
  if (!Type || Type->Kind != TTypeKind::tkRecord)
    throw ESQLite3Error("TSQLite3." + std::string(Operation) + " expected Record");
}

bool IsRowIdField(const TRecordField& F) {
  const TTypeInfo* T = F.TypeInfo();
  return F.Name == "rowid" && T && T->Kind == TTypeKind::tkInt64;
}

void AppendQuotedName(std::string& SQL, std::string_view Name) {
  SQL.push_back('"');
  SQL.append(Name);
  SQL.push_back('"');
}

std::string SelectText(const TTypeInfo* Type, std::string_view Where) {
  RequireRecord(Type, "FetchType");
  std::string SQL = "SELECT ";
  bool First = true;
  for (const TRecordField& F : GetRecordFields(Type)) {
    if (!First) SQL += ", ";
    First = false;
    AppendQuotedName(SQL, F.Name);
  }
  SQL += ' ';
  SQL += Where;
  return SQL;
}

// Leaves a kept statement reset, without bindings, however its use ended.
struct TStmtUse {
  sqlite3_stmt* S;
  ~TStmtUse() {
    sqlite3_reset(S);
    sqlite3_clear_bindings(S);
  }
};

}  // namespace

// ---- Text dates ----

TDateTime SQLiteTextToDateTime(std::string_view Text) {
  size_t Pos = 0;
  auto Group = [&](int Digits) {
    int V = 0;
    for (int K = 0; K < Digits && Pos < Text.size() && IsDigit(Text[Pos]); ++K) V = V * 10 + (Text[Pos++] - '0');
    if (Pos < Text.size() && !IsDigit(Text[Pos])) ++Pos;  // the separator
    return V;
  };
  TDateTime Date = 0, Time = 0;
  if (Text.size() >= 3 && IsDigit(Text[0]) && IsDigit(Text[1]) && Text[2] == ':') {
    int H = Group(2), N = Group(2), Sec = Group(2);
    return TryEncodeTime(H, N, Sec, 0, Time) ? Time : 0;
  }
  int Y = Group(4), M = Group(2), D = Group(2);
  int H = Group(2), N = Group(2), Sec = Group(2);
  if (Y == 0 || !TryEncodeDate(Y, M, D, Date) || !TryEncodeTime(H, N, Sec, 0, Time)) return 0;
  return ComposeDateTime(Date, Time);
}

std::string SQLiteDateTimeText(TDateTime Value, int Kind) {
  TDateParts P = DecodeDateTime(Value);
  std::string S;
  S.reserve(19);
  if (Kind != 2) {
    Put2(S, P.Year / 100);
    Put2(S, P.Year);
    S.push_back('-');
    Put2(S, P.Month);
    S.push_back('-');
    Put2(S, P.Day);
    if (Kind == 1) return S;
    S.push_back(' ');
  }
  Put2(S, P.Hour);
  S.push_back(':');
  Put2(S, P.Minute);
  S.push_back(':');
  Put2(S, P.Second);
  return S;
}

// ---- TSQLite3Stmt ----

TSQLite3Stmt::~TSQLite3Stmt() { Close(); }

TSQLite3Stmt::TSQLite3Stmt(TSQLite3Stmt&& Other) noexcept { *this = std::move(Other); }

TSQLite3Stmt& TSQLite3Stmt::operator=(TSQLite3Stmt&& Other) noexcept {
  if (this != &Other) {
    Close();
    FSQL = std::move(Other.FSQL);
    FHandle = std::exchange(Other.FHandle, nullptr);
    FBof = Other.FBof;
    FEof = Other.FEof;
    FFields = std::move(Other.FFields);
    FMapType = std::exchange(Other.FMapType, nullptr);
    FMap = std::move(Other.FMap);
  }
  return *this;
}

bool TSQLite3Stmt::Fetch() {
  if (!FHandle) throw ESQLite3Error(CodeText("sqlite3_step error #", SQLITE_MISUSE), SQLITE_MISUSE);
  bool Row = Step(FHandle);
  FEof = !Row;
  if (FBof) {
    FBof = false;
    if (Row) {
      int Count = sqlite3_column_count(FHandle);
      FFields.clear();
      FFields.reserve(size_t(Count));
      for (int I = 0; I < Count; ++I) {
        const char* Name = sqlite3_column_name(FHandle, I);
        FFields.push_back({Name ? Name : "", TSQLite3FieldType(sqlite3_column_type(FHandle, I))});
      }
    }
  }
  return Row;
}

void TSQLite3Stmt::Close() {
  if (FHandle) sqlite3_finalize(FHandle);
  FHandle = nullptr;
  FFields.clear();
  FSQL.clear();
  FMapType = nullptr;
  FMap.clear();
}

void TSQLite3Stmt::Reset() {
  int R = sqlite3_reset(FHandle);
  if (R != SQLITE_OK) RaiseFailure(sqlite3_db_handle(FHandle), R, CodeText("sqlite3_reset error #", R));
}

void TSQLite3Stmt::CheckColumn(int Index) const {
  if (!FHandle || Index < 0 || Index >= sqlite3_column_count(FHandle))
    throw ESQLite3Error("Column index out of range: " + std::to_string(Index), SQLITE_RANGE);
}

std::string TSQLite3Stmt::AsString(int Index) const {
  CheckColumn(Index);
  return std::string(ColumnText(FHandle, Index));
}

int32_t TSQLite3Stmt::AsInteger(int Index) const {
  CheckColumn(Index);
  return sqlite3_column_int(FHandle, Index);
}

int64_t TSQLite3Stmt::AsInt64(int Index) const {
  CheckColumn(Index);
  return sqlite3_column_int64(FHandle, Index);
}

TDateTime TSQLite3Stmt::AsDateTime(int Index) const {
  CheckColumn(Index);
  return SQLiteTextToDateTime(ColumnText(FHandle, Index));
}

TBytes TSQLite3Stmt::AsBytes(int Index) const {
  CheckColumn(Index);
  const void* P = sqlite3_column_blob(FHandle, Index);
  int N = sqlite3_column_bytes(FHandle, Index);
  return N > 0 && P ? TBytes(std::string(static_cast<const char*>(P), size_t(N))) : TBytes();
}

void TSQLite3Stmt::SetParamAsString(int Index, std::string_view Value) {
  if (Value.size() > size_t(INT_MAX)) throw ESQLite3Error("sqlite3_bind_text16 error #18", SQLITE_TOOBIG);
  CheckBind(sqlite3_bind_text(FHandle, Index, Value.data(), int(Value.size()), SQLITE_TRANSIENT),
            "sqlite3_bind_text16");
}

void TSQLite3Stmt::SetParamAsBytes(int Index, std::string_view Bytes) {
  if (Bytes.size() > size_t(INT_MAX)) throw ESQLite3Error("sqlite3_bind_blob error #18", SQLITE_TOOBIG);
  CheckBind(sqlite3_bind_blob(FHandle, Index, Bytes.data(), int(Bytes.size()), SQLITE_TRANSIENT),
            "sqlite3_bind_blob");
}

void TSQLite3Stmt::SetParamAsInt64(int Index, int64_t Value) {
  CheckBind(sqlite3_bind_int64(FHandle, Index, Value), "sqlite3_bind_int64");
}

void TSQLite3Stmt::SetParamAsDateTime(int Index, TDateTime Date) {
  SetParamAsString(Index, SQLiteDateTimeText(Date));
}

void TSQLite3Stmt::Bind(int Index, const TSQLite3Param& Value) {
  if (const auto* I = std::get_if<int64_t>(&Value))
    SetParamAsInt64(Index, *I);
  else
    SetParamAsString(Index, std::get<std::string_view>(Value));
}

void TSQLite3Stmt::ReadRecord(const TTypeInfo* Type, void* Rec) {
  RequireRecord(Type, "ReadRecord");
  if (!FHandle || FBof || FEof) throw ESQLite3Error("No current row", SQLITE_MISUSE);
  auto Fields = GetRecordFields(Type);
  if (FMapType != Type) {
    int Count = sqlite3_column_count(FHandle);
    FMap.assign(Fields.size(), -1);
    for (size_t F = 0; F < Fields.size(); ++F)
      for (int C = 0; C < Count; ++C)
        if (const char* Name = sqlite3_column_name(FHandle, C); Name && Fields[F].Name == Name) {
          FMap[F] = C;
          break;
        }
    FMapType = Type;
  }
  for (size_t F = 0; F < Fields.size(); ++F)
    if (FMap[F] >= 0) ReadField(FHandle, FMap[F], PlanOf(Fields[F]), Rec);
}

// ---- TSQLite3 ----

struct TSQLite3::TCachedStmt {
  const TTypeInfo* Type = nullptr;
  char Op = 0;
  std::string Tail;
  TSQLite3Stmt Stmt;
  // Select: every field, field i in column i. Insert and update: the bound
  // fields in parameter order.
  std::vector<TFieldPlan> Plan;
  void* (*RowId)(void* Instance) = nullptr;  // the Int64 rowid field, when there is one
};

TSQLite3::TSQLite3() = default;

TSQLite3::~TSQLite3() {
  FCache.clear();
  if (FHandle) sqlite3_close_v2(FHandle);  // statements still open keep it until they go
}

TSQLite3::TSQLite3(TSQLite3&& Other) noexcept { *this = std::move(Other); }

TSQLite3& TSQLite3::operator=(TSQLite3&& Other) noexcept {
  if (this != &Other) {
    FCache.clear();
    if (FHandle) sqlite3_close_v2(FHandle);
    FHandle = std::exchange(Other.FHandle, nullptr);
    FFileName = std::move(Other.FFileName);
    FCache = std::move(Other.FCache);
  }
  return *this;
}

void TSQLite3::Open(const std::string& AFileName) {
  if (FHandle && !Close()) throw ESQLite3Error("unable to close due to unfinalized statements", SQLITE_BUSY);
  sqlite3* H = nullptr;
  int R = sqlite3_open_v2(AFileName.c_str(), &H, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (R != SQLITE_OK) {
    std::string Detail = H ? sqlite3_errmsg(H) : sqlite3_errstr(R);
    std::string Message = FailureText(R, AFileName, Detail, Detail);
    sqlite3_close(H);
    throw ESQLite3Error(Message, R);
  }
  sqlite3_db_config(H, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  // The file comes from the disk, not from us: its schema is not trusted.
  // Nothing here creates triggers, so one found in the file was planted and
  // never runs; defensive mode refuses writes to the schema table and other
  // ways of damaging the file through SQL.
  sqlite3_db_config(H, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(H, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(H, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_busy_timeout(H, BusyTimeoutMs);
  FHandle = H;
  FFileName = AFileName;
  try {
    CheckIntegrity();
  } catch (...) {
    Close();
    throw;
  }
}

// A damaged page is reported at opening rather than by later reads while
// writes go on around it.
void TSQLite3::CheckIntegrity() {
  TSQLite3Stmt Stmt;
  PrepareSQL("PRAGMA quick_check(1)", Stmt);
  std::string Verdict = Stmt.Fetch() ? Stmt.AsString(0) : std::string();
  if (Verdict != "ok") throw ESQLite3Error(FailureText(SQLITE_CORRUPT, FFileName, Verdict, {}), SQLITE_CORRUPT);
}

bool TSQLite3::Close() {
  if (!FHandle) return true;
  FCache.clear();
  if (sqlite3_close(FHandle) != SQLITE_OK) return false;
  FHandle = nullptr;
  FFileName.clear();
  return true;
}

void TSQLite3::CheckOpen() const {
  if (!FHandle) throw ESQLite3Error("Database not open", SQLITE_MISUSE);
}

void TSQLite3::ExecSQL(std::string_view SQL) {
  TSQLite3Stmt Stmt;
  PrepareSQL(SQL, Stmt);
  Stmt.Fetch();
}

void TSQLite3::PrepareSQL(std::string_view SQL, TSQLite3Stmt& Stmt) {
  CheckOpen();
  Stmt.Close();
  if (SQL.size() > size_t(INT_MAX)) throw ESQLite3Error("string or blob too big", SQLITE_TOOBIG);
  Stmt.FSQL = SQL;
  sqlite3_stmt* S = nullptr;
  int R = sqlite3_prepare_v2(FHandle, SQL.data(), int(SQL.size()), &S, nullptr);
  if (R != SQLITE_OK) RaiseFailure(FHandle, R, sqlite3_errmsg(FHandle));
  if (!S) throw ESQLite3Error("Empty statement", SQLITE_MISUSE);  // blanks or a comment only
  Stmt.FHandle = S;
  Stmt.FBof = true;
  Stmt.FEof = false;
}

int64_t TSQLite3::LastInsertID() const {
  CheckOpen();
  return sqlite3_last_insert_rowid(FHandle);
}

std::string TSQLite3::Encode(std::string_view Str) {
  std::string Out;
  Out.reserve(Str.size());
  for (char C : Str) {
    Out.push_back(C);
    if (C == '\'') Out.push_back('\'');
  }
  return Out;
}

std::string TSQLite3::Quote(std::string_view Str) { return "'" + Encode(Str) + "'"; }

bool TSQLite3::FieldExists(std::string_view Table, std::string_view Field) {
  TSQLite3Stmt Stmt;
  PrepareSQL("PRAGMA table_info(" + std::string(Table) + ")", Stmt);
  while (Stmt.Fetch())
    if (SameText(Stmt.AsString(1), Field)) return true;
  return false;
}

void TSQLite3::AddField(std::string_view Table, std::string_view Field) {
  if (!FieldExists(Table, Field)) ExecSQL("ALTER TABLE " + std::string(Table) + " ADD " + std::string(Field));
}

TSQLite3::TCachedStmt& TSQLite3::Cached(const TTypeInfo* Type, char Op, std::string_view Tail) {
  auto It = std::find_if(FCache.begin(), FCache.end(),
                         [&](const auto& C) { return C->Type == Type && C->Op == Op && C->Tail == Tail; });
  if (It != FCache.end()) {
    std::rotate(FCache.begin(), It, It + 1);
    return *FCache.front();
  }
  auto Entry = std::make_unique<TCachedStmt>();
  Entry->Type = Type;
  Entry->Op = Op;
  Entry->Tail = Tail;
  std::string SQL;
  if (Op == 'S') {
    SQL = SelectText(Type, Tail);
    for (const TRecordField& F : GetRecordFields(Type)) Entry->Plan.push_back(PlanOf(F));
  } else if (Op == 'I') {
    RequireRecord(Type, "InsertType");
    SQL = "INSERT INTO " + std::string(Tail) + " ( ";
    std::string Values = ") VALUES( ";
    for (const TRecordField& F : GetRecordFields(Type)) {
      if (F.Name == "rowid") {
        if (IsRowIdField(F)) Entry->RowId = F.Address;
        continue;
      }
      if (!Entry->Plan.empty()) {
        SQL += ", ";
        Values += ", ";
      }
      AppendQuotedName(SQL, F.Name);
      Values += '?';
      Entry->Plan.push_back(PlanOf(F));
    }
    SQL += Values + ")";
  } else {
    RequireRecord(Type, "UpdateType");
    SQL = "UPDATE " + std::string(Tail) + " SET ";
    for (const TRecordField& F : GetRecordFields(Type)) {
      if (IsRowIdField(F)) {
        Entry->RowId = F.Address;
        continue;
      }
      if (!Entry->Plan.empty()) SQL += ", ";
      AppendQuotedName(SQL, F.Name);
      SQL += " = ?";
      Entry->Plan.push_back(PlanOf(F));
    }
    SQL += " WHERE rowid = ?";
  }
  PrepareSQL(SQL, Entry->Stmt);
  if (FCache.size() >= MaxCachedStatements) FCache.pop_back();
  FCache.insert(FCache.begin(), std::move(Entry));
  return *FCache.front();
}

void TSQLite3::FetchType(const TTypeInfo* Type, std::string_view Where, TSQLite3Stmt& Stmt) {
  PrepareSQL(SelectText(Type, Where), Stmt);
}

bool TSQLite3::LoadRecord(const TTypeInfo* Type, void* Rec, std::string_view Where,
                          std::initializer_list<TSQLite3Param> Params) {
  RequireRecord(Type, "FetchType");
  TCachedStmt& C = Cached(Type, 'S', Where);
  TStmtUse Use{C.Stmt.FHandle};
  int Index = 0;
  for (const TSQLite3Param& P : Params) C.Stmt.Bind(++Index, P);
  if (!C.Stmt.Fetch()) return false;
  for (size_t I = 0; I < C.Plan.size(); ++I) ReadField(C.Stmt.FHandle, int(I), C.Plan[I], Rec);
  return true;
}

int64_t TSQLite3::InsertType(const TTypeInfo* Type, void* Rec, std::string_view Table) {
  RequireRecord(Type, "InsertType");
  TCachedStmt& C = Cached(Type, 'I', Table);
  TStmtUse Use{C.Stmt.FHandle};
  for (size_t I = 0; I < C.Plan.size(); ++I) BindField(C.Stmt.FHandle, int(I + 1), C.Plan[I], Rec);
  C.Stmt.Fetch();
  int64_t Id = sqlite3_last_insert_rowid(FHandle);
  if (C.RowId) std::memcpy(C.RowId(Rec), &Id, sizeof Id);
  return Id;
}

void TSQLite3::UpdateType(const TTypeInfo* Type, const void* Rec, std::string_view Table) {
  RequireRecord(Type, "UpdateType");
  int64_t Id = 0;
  for (const TRecordField& F : GetRecordFields(Type))
    if (IsRowIdField(F)) std::memcpy(&Id, F.Data(Rec), sizeof Id);
  if (Id == 0) throw ESQLite3Error("TSQLite3.UpdateType rowid is missing");
  TCachedStmt& C = Cached(Type, 'U', Table);
  TStmtUse Use{C.Stmt.FHandle};
  for (size_t I = 0; I < C.Plan.size(); ++I) BindField(C.Stmt.FHandle, int(I + 1), C.Plan[I], Rec);
  CheckBind(sqlite3_bind_int64(C.Stmt.FHandle, int(C.Plan.size() + 1), Id), "sqlite3_bind_int64");
  C.Stmt.Fetch();
}

}  // namespace Vantrel
