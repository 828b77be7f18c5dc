// A thin layer over the SQLite 3 C interface: TSQLite3 is one connection,
// TSQLite3Stmt one prepared statement. Besides opening, preparing and
// stepping, the connection maps a whole record type (Vantrel.RTTI) to and
// from a table: FetchType / LoadRecord select the columns named like the
// record's fields, InsertType / UpdateType write them.
//
// Value forms of the record mapping (the same whether inserted or updated):
// ordinals and Int64 as integers; TDate "YYYY-MM-DD", TTime "HH:NN:SS",
// TDateTime "YYYY-MM-DD HH:NN:SS" as text, NULL when the value is 0; UTF-8
// and UTF-16 strings as UTF-8 text, NULL when empty. Any other field type
// raises "Can't set " (writing) or "Unsupported target type " (reading) +
// the type's name. Values are bound as parameters, never spliced into the
// SQL text, and the mapping statements are kept prepared (a few, most
// recently used) on the connection.
//
// Every SQLite failure raises ESQLite3Error: SQLite's own message for open
// and prepare; "Fetch error", "Constraint error" or "sqlite3_step error #"
// + code for a step; "sqlite3_reset error #" and "sqlite3_bind_... error #"
// + code for reset and binding. A failure of the file itself (disk full,
// read-only, cannot be opened, damaged, input/output error) has its own
// French text naming the file, SQLite's words in parentheses, wherever it
// occurs. Misuse (a non-record type, an update without row id) raises too:
// checks must hold in release builds.
//
// The connection switches SQLite's double-quoted-string quirk off for
// statements: "name" is always an identifier, so a missing column is an
// error and never its own name as a text. Text literals take apostrophes.
// The file is opened defensively: its schema is not trusted, triggers never
// run, and a quick integrity check at Open refuses a damaged file at once.
//
// One connection belongs to the thread that opened it. A statement must not
// outlive its connection's Close (Close answers false while one is open).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Vantrel.DateTime.h"
#include "Vantrel.RTTI.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Vantrel {

class ESQLite3Error : public std::runtime_error {
 public:
  explicit ESQLite3Error(const std::string& Message, int ACode = 0)
      : std::runtime_error(Message), FCode(ACode) {}
  int Code() const { return FCode; }  // SQLite's result code, 0 for misuse

 private:
  int FCode;
};

// dtINTEGER..dtNULL are SQLite's column type codes (1 to 5).
enum class TSQLite3FieldType : uint8_t { dtNONE, dtINTEGER, dtFLOAT, dtTEXT, dtBLOB, dtNULL };

struct TSQLite3Field {
  std::string Name;
  TSQLite3FieldType Kind = TSQLite3FieldType::dtNONE;
};

// A value bound to a '?' of a mapping statement's WHERE clause.
using TSQLite3Param = std::variant<int64_t, std::string_view>;

// Text dates as stored: up to 4 digits of year, then 2 each of month, day,
// hour, minute and second, each group followed by at most one separator
// ("2024-01-31 10:20:30", "2024-01-31", "20240131102030" read alike);
// "hh:nn:ss" alone is a time of day. Year 0, an empty text or a date that
// does not exist give 0.
TDateTime SQLiteTextToDateTime(std::string_view Text);
// "YYYY-MM-DD HH:NN:SS" (Kind 3), "YYYY-MM-DD" (1) or "HH:NN:SS" (2).
std::string SQLiteDateTimeText(TDateTime Value, int Kind = 3);

class TSQLite3Stmt {
 public:
  TSQLite3Stmt() = default;
  ~TSQLite3Stmt();
  TSQLite3Stmt(TSQLite3Stmt&& Other) noexcept;
  TSQLite3Stmt& operator=(TSQLite3Stmt&& Other) noexcept;
  TSQLite3Stmt(const TSQLite3Stmt&) = delete;
  TSQLite3Stmt& operator=(const TSQLite3Stmt&) = delete;

  // One step; true when a row is available.
  bool Fetch();
  void Close();
  void Reset();

  // Columns of the current row (0-based). An index outside the result raises.
  std::string AsString(int Index) const;
  int32_t AsInteger(int Index) const;
  int64_t AsInt64(int Index) const;
  TDateTime AsDateTime(int Index) const;
  TBytes AsBytes(int Index) const;

  // Parameters (1-based); texts and bytes are copied by SQLite.
  void SetParamAsString(int Index, std::string_view Value);
  void SetParamAsBytes(int Index, std::string_view Bytes);
  void SetParamAsInt64(int Index, int64_t Value);
  void SetParamAsDateTime(int Index, TDateTime Date);

  // Reads the current row into a record: each field takes the column of
  // exactly its name; a field without such a column keeps its value.
  void ReadRecord(const TTypeInfo* Type, void* Rec);
  template <class T>
  void ReadRecord(T& Rec) {
    ReadRecord(TypeInfo<T>(), &Rec);
  }

  const std::string& SQL() const { return FSQL; }
  sqlite3_stmt* Handle() const { return FHandle; }
  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  // The result columns, filled at the first fetch that finds a row.
  const std::vector<TSQLite3Field>& Fields() const { return FFields; }

 private:
  friend class TSQLite3;
  void CheckColumn(int Index) const;
  void Bind(int Index, const TSQLite3Param& Value);

  std::string FSQL;
  sqlite3_stmt* FHandle = nullptr;
  bool FBof = false;
  bool FEof = false;
  std::vector<TSQLite3Field> FFields;
  // Column index of each field of FMapType (-1: none), built on first use.
  const TTypeInfo* FMapType = nullptr;
  std::vector<int> FMap;
};

class TSQLite3 {
 public:
  TSQLite3();
  ~TSQLite3();
  TSQLite3(TSQLite3&& Other) noexcept;
  TSQLite3& operator=(TSQLite3&& Other) noexcept;
  TSQLite3(const TSQLite3&) = delete;
  TSQLite3& operator=(const TSQLite3&) = delete;

  // Closes any open file, then opens AFileName read-write, creating it; a
  // damaged file raises (code SQLITE_CORRUPT or SQLITE_NOTADB) and is left closed.
  void Open(const std::string& AFileName);
  // False (and still open) while a statement of the connection is open.
  bool Close();
  void ExecSQL(std::string_view SQL);
  void PrepareSQL(std::string_view SQL, TSQLite3Stmt& Stmt);
  int64_t LastInsertID() const;

  // Every apostrophe doubled; Quote puts the result between apostrophes.
  static std::string Encode(std::string_view Str);
  static std::string Quote(std::string_view Str);

  // "PRAGMA table_info" of Table lists Field (case ignored).
  bool FieldExists(std::string_view Table, std::string_view Field);
  // Adds the column (without type) when it does not exist.
  void AddField(std::string_view Table, std::string_view Field);

  // "SELECT" + every field name in double quotes + " " + Where (which holds
  // the FROM and WHERE clauses) prepared into Stmt.
  void FetchType(const TTypeInfo* Type, std::string_view Where, TSQLite3Stmt& Stmt);
  // FetchType and one fetch; the row, when one came, read into Rec. Params
  // are bound to the '?' of Where in order.
  bool LoadRecord(const TTypeInfo* Type, void* Rec, std::string_view Where,
                  std::initializer_list<TSQLite3Param> Params = {});
  // Inserts every field but rowid; the new row id is returned and stored
  // into the record's Int64 rowid field when it has one.
  int64_t InsertType(const TTypeInfo* Type, void* Rec, std::string_view Table);
  // Updates every field but the Int64 rowid at that row id (0 raises
  // "TSQLite3.UpdateType rowid is missing").
  void UpdateType(const TTypeInfo* Type, const void* Rec, std::string_view Table);

  template <class T>
  void FetchType(std::string_view Where, TSQLite3Stmt& Stmt) {
    FetchType(TypeInfo<T>(), Where, Stmt);
  }
  template <class T>
  bool LoadRecord(T& Rec, std::string_view Where, std::initializer_list<TSQLite3Param> Params = {}) {
    return LoadRecord(TypeInfo<T>(), &Rec, Where, Params);
  }
  template <class T>
  int64_t InsertType(T& Rec, std::string_view Table) {
    return InsertType(TypeInfo<T>(), &Rec, Table);
  }
  template <class T>
  void UpdateType(const T& Rec, std::string_view Table) {
    UpdateType(TypeInfo<T>(), &Rec, Table);
  }

  const std::string& FileName() const { return FFileName; }
  sqlite3* Handle() const { return FHandle; }

 private:
  struct TCachedStmt;
  void CheckOpen() const;
  void CheckIntegrity();
  // The kept statement of a mapping operation ('S'elect, 'I'nsert or
  // 'U'pdate) of Type with Tail (the Where text or the table name),
  // prepared on first use.
  TCachedStmt& Cached(const TTypeInfo* Type, char Op, std::string_view Tail);

  sqlite3* FHandle = nullptr;
  std::string FFileName;
  std::vector<std::unique_ptr<TCachedStmt>> FCache;  // most recently used first
};

}  // namespace Vantrel
