#include "Vantrel.SQLite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

#include "TestSupport.h"

namespace SQLiteTest {

enum class TEtat : uint8_t { Vivant, Supprime, Archive };
VANTREL_ENUM(TEtat, "Vivant", "Supprime", "Archive")

// One field of every type the mapping handles.
struct TFiche {
  int64_t rowid = 0;
  int8_t Petit = 0;
  uint16_t Mot = 0;
  int32_t Entier = 0;
  uint32_t Cardinal = 0;
  bool Actif = false;
  TEtat Etat = TEtat::Vivant;
  char Lettre = 0;
  int64_t Grand = 0;
  uint64_t NonSigne = 0;
  Vantrel::TDate Naissance;
  Vantrel::TTime Heure;
  Vantrel::TDateTimeValue Creation;
  std::string Nom;
  std::u16string Prenom;
  Vantrel::TJSONRawValue Brut;
  bool operator==(const TFiche&) const = default;
};
VANTREL_RECORD(TFiche, VANTREL_FIELD(rowid), VANTREL_FIELD(Petit), VANTREL_FIELD(Mot), VANTREL_FIELD(Entier),
               VANTREL_FIELD(Cardinal), VANTREL_FIELD(Actif), VANTREL_FIELD(Etat), VANTREL_FIELD(Lettre),
               VANTREL_FIELD(Grand), VANTREL_FIELD(NonSigne), VANTREL_FIELD(Naissance), VANTREL_FIELD(Heure),
               VANTREL_FIELD(Creation), VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Brut))

struct TAvecDouble {
  int64_t rowid = 0;
  double Poids = 0;
};
VANTREL_RECORD(TAvecDouble, VANTREL_FIELD(rowid), VANTREL_FIELD(Poids))

struct TAvecOctets {
  int64_t rowid = 0;
  Vantrel::TBytes Data;
};
VANTREL_RECORD(TAvecOctets, VANTREL_FIELD(rowid), VANTREL_FIELD(Data))

struct TSansRowId {
  std::string Nom;
};
VANTREL_RECORD(TSansRowId, VANTREL_FIELD(Nom))

}  // namespace SQLiteTest

namespace {

using namespace Vantrel;
using namespace SQLiteTest;

constexpr const char* CreateFiches =
    "CREATE TABLE Fiches (Petit, Mot, Entier, Cardinal, Actif, Etat, Lettre, Grand, NonSigne, Naissance, Heure, "
    "Creation, Nom, Prenom, Brut)";

TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

struct Db {
  TestSupport::TempDir Dir;
  TSQLite3 DB;
  Db() { DB.Open((Dir / "t.db3").string()); }
  // typeof and text of one column of one row, read in SQL.
  std::string Typed(std::string_view Column, std::string_view Table, int64_t RowId) {
    TSQLite3Stmt S;
    DB.PrepareSQL("SELECT typeof(" + std::string(Column) + ") || ':' || ifnull(" + std::string(Column) +
                      ", '') FROM " + std::string(Table) + " WHERE rowid = ?",
                  S);
    S.SetParamAsInt64(1, RowId);
    EXPECT_TRUE(S.Fetch());
    return S.AsString(0);
  }
};

std::string ErrorOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const ESQLite3Error& E) {
    return E.what();
  }
  return "(no error)";
}

TEST(SQLite, text_dates_read_in_every_stored_form) {
  const struct {
    const char* Text;
    TDateTime Expected;
  } Cases[] = {
      {"2024-01-31 10:20:30", At(2024, 1, 31, 10, 20, 30)},
      {"2024-01-31T10:20:30", At(2024, 1, 31, 10, 20, 30)},
      {"20240131102030", At(2024, 1, 31, 10, 20, 30)},
      {"2024/01/31", At(2024, 1, 31)},
      {"2024-01-31 10:20", At(2024, 1, 31, 10, 20)},
      {"1890-05-04", At(1890, 5, 4)},
      {"10:20:30", At(1899, 12, 30, 10, 20, 30)},
      {"0000-00-00 00:00:00", 0},
      {"", 0},
      {"2024-13-01", 0},
      {"2023-02-29", 0},
      {"2024-01-31 25:00:00", 0},
      {"n'importe quoi", 0},
  };
  for (const auto& C : Cases) EXPECT_DOUBLE_EQ(SQLiteTextToDateTime(C.Text), C.Expected) << C.Text;
  EXPECT_EQ(SQLiteDateTimeText(At(2024, 1, 31, 10, 20, 30)), "2024-01-31 10:20:30");
  EXPECT_EQ(SQLiteDateTimeText(At(1890, 5, 4), 1), "1890-05-04");
  EXPECT_EQ(SQLiteDateTimeText(At(1899, 12, 30, 7, 8, 9), 2), "07:08:09");
}

TEST(SQLite, quote_doubles_apostrophes) {
  EXPECT_EQ(TSQLite3::Encode("l'an d''hui"), "l''an d''''hui");
  EXPECT_EQ(TSQLite3::Quote("O'Brien"), "'O''Brien'");
  EXPECT_EQ(TSQLite3::Quote(""), "''");
  Db D;
  TSQLite3Stmt S;
  D.DB.PrepareSQL("SELECT " + TSQLite3::Quote("a'b\"c") + ", " + TSQLite3::Quote("'; DROP TABLE x; --"), S);
  ASSERT_TRUE(S.Fetch());
  EXPECT_EQ(S.AsString(0), "a'b\"c");
  EXPECT_EQ(S.AsString(1), "'; DROP TABLE x; --");
}

TEST(SQLite, record_round_trip_keeps_every_field_type) {
  Db D;
  D.DB.ExecSQL(CreateFiches);
  TFiche F;
  F.Petit = -5;
  F.Mot = 65535;
  F.Entier = -2000000000;
  F.Cardinal = 4000000000u;
  F.Actif = true;
  F.Etat = TEtat::Archive;
  F.Lettre = 'Z';
  F.Grand = int64_t(1) << 40;
  F.NonSigne = UINT64_MAX;
  F.Naissance = At(1890, 5, 4);
  F.Heure = At(1899, 12, 30, 23, 59, 58);
  F.Creation = At(2024, 2, 29, 12, 0, 1);
  F.Nom = "D'Aubigné \"l'aîné\" ✓ 𝄞";
  F.Prenom = u"Zoë 𝄞";
  F.Brut = Vantrel::TJSONRawValue("{\"a\":1}");
  int64_t Id = D.DB.InsertType(F, "Fiches");
  EXPECT_GT(Id, 0);
  EXPECT_EQ(F.rowid, Id);
  EXPECT_EQ(D.DB.LastInsertID(), Id);

  TFiche Back;
  ASSERT_TRUE(D.DB.LoadRecord(Back, "FROM Fiches WHERE rowid = ?", {Id}));
  EXPECT_EQ(Back, F);

  // Stored forms: integers, texts, dates as text.
  EXPECT_EQ(D.Typed("Grand", "Fiches", Id), "integer:1099511627776");
  EXPECT_EQ(D.Typed("Etat", "Fiches", Id), "integer:2");
  EXPECT_EQ(D.Typed("Naissance", "Fiches", Id), "text:1890-05-04");
  EXPECT_EQ(D.Typed("Heure", "Fiches", Id), "text:23:59:58");
  EXPECT_EQ(D.Typed("Creation", "Fiches", Id), "text:2024-02-29 12:00:01");
  EXPECT_EQ(D.Typed("Prenom", "Fiches", Id), "text:Zoë 𝄞");

  // Update writes the changes at the same row; empty texts and zero dates become NULL.
  Back.Nom.clear();
  Back.Prenom.clear();
  Back.Naissance = 0;
  Back.Creation = 0;
  Back.Entier = 7;
  D.DB.UpdateType(Back, "Fiches");
  EXPECT_EQ(D.Typed("Nom", "Fiches", Id), "null:");
  EXPECT_EQ(D.Typed("Prenom", "Fiches", Id), "null:");
  EXPECT_EQ(D.Typed("Naissance", "Fiches", Id), "null:");
  EXPECT_EQ(D.Typed("Creation", "Fiches", Id), "null:");
  TFiche Again;
  ASSERT_TRUE(D.DB.LoadRecord(Again, "FROM Fiches WHERE rowid = ?", {Id}));
  EXPECT_EQ(Again, Back);
  EXPECT_FALSE(D.DB.LoadRecord(Again, "FROM Fiches WHERE rowid = ?", {Id + 1}));
}

TEST(SQLite, kept_statements_serve_many_rows_and_survive_errors) {
  Db D;
  D.DB.ExecSQL("CREATE TABLE T (Nom NOT NULL)");
  D.DB.ExecSQL("CREATE UNIQUE INDEX U ON T(Nom)");
  for (int I = 0; I < 40; ++I) {
    TSansRowId R{"nom" + std::to_string(I)};
    D.DB.InsertType(R, "T");
  }
  // The unique index refuses a copy; the next insert through the same statement works.
  TSansRowId Copy{"nom3"};
  EXPECT_EQ(ErrorOf([&] { D.DB.InsertType(Copy, "T"); }), "Constraint error");
  TSansRowId Next{"nom40"};
  EXPECT_EQ(D.DB.InsertType(Next, "T"), 41);
  // More distinct statements than are kept, each giving its own row.
  for (int I = 40; I >= 0; --I) {
    TSansRowId R;
    std::string Where = "FROM T WHERE rowid = " + std::to_string(I + 1);
    ASSERT_TRUE(D.DB.LoadRecord(R, Where)) << I;
    EXPECT_EQ(R.Nom, "nom" + std::to_string(I));
    ASSERT_TRUE(D.DB.LoadRecord(R, "FROM T WHERE Nom = ?", {"nom" + std::to_string(I)}));
  }
  // Nothing keeps a transaction open: another connection may write, and ours closes.
  TSQLite3 Other;
  Other.Open(D.DB.FileName());
  Other.ExecSQL("INSERT INTO T VALUES ('autre')");
  EXPECT_TRUE(D.DB.Close());
  EXPECT_TRUE(D.DB.FileName().empty());
}

TEST(SQLite, misuse_and_unsupported_types_raise) {
  Db D;
  int Quirk = -1;
  sqlite3_db_config(D.DB.Handle(), SQLITE_DBCONFIG_DQS_DML, -1, &Quirk);
  EXPECT_EQ(Quirk, 0) << "double-quoted strings must be identifiers only";
  D.DB.ExecSQL("CREATE TABLE T (Poids, Data, Nom)");
  D.DB.ExecSQL("INSERT INTO T VALUES (1.5, x'00ff', 'x')");
  TAvecDouble P;
  TAvecOctets O;
  TSansRowId N{"x"};
  int Entier = 0;
  const struct {
    std::function<void()> Call;
    const char* Message;
  } Cases[] = {
      {[&] { D.DB.InsertType(P, "T"); }, "Can't set Double"},
      {[&] { D.DB.InsertType(O, "T"); }, "Can't set TBytes"},
      {[&] { D.DB.LoadRecord(P, "FROM T"); }, "Can't set Double"},
      {[&] { D.DB.LoadRecord(O, "FROM T"); }, "Unsupported target type TBytes"},
      {[&] { D.DB.UpdateType(TAvecDouble(), "T"); }, "TSQLite3.UpdateType rowid is missing"},
      {[&] { D.DB.UpdateType(N, "T"); }, "TSQLite3.UpdateType rowid is missing"},
      {[&] { D.DB.InsertType(TypeInfo<int>(), &Entier, "T"); }, "TSQLite3.InsertType expected Record"},
      {[&] { D.DB.UpdateType(TypeInfo<int>(), &Entier, "T"); }, "TSQLite3.UpdateType expected Record"},
      {[&] {
         TSQLite3Stmt S;
         D.DB.FetchType(TypeInfo<int>(), "FROM T", S);
       },
       "TSQLite3.FetchType expected Record"},
      // A column the table lacks is an error, never its own name as a text.
      {[&] { D.DB.LoadRecord(O, "FROM Absente"); }, "no such table: Absente"},
      {[&] {
         TSQLite3Stmt S;
         D.DB.PrepareSQL("SELECT \"Manque\" FROM T", S);
       },
       "no such column: Manque"},
      {[&] { D.DB.ExecSQL("SELEC 1"); }, "near \"SELEC\": syntax error"},
      {[&] { D.DB.ExecSQL("SELECT abs(-9223372036854775807 - 1)"); }, "Fetch error"},
      {[&] { D.DB.ExecSQL("SELECT * FROM T WHERE Nom = \"x\""); }, "no such column: x"},
  };
  for (const auto& C : Cases) EXPECT_EQ(ErrorOf(C.Call), C.Message);
}

TEST(SQLite, statements_fetch_fields_and_typed_columns) {
  Db D;
  D.DB.ExecSQL("CREATE TABLE T (a, b, c, d)");
  TSQLite3Stmt Ins;
  D.DB.PrepareSQL("INSERT INTO T VALUES (?, ?, ?, ?)", Ins);
  // Texts bound from temporaries are copied: nothing dangles when the step runs.
  Ins.SetParamAsString(1, std::string("texte ") + "temporaire 'é'");
  Ins.SetParamAsBytes(2, std::string("\0\1\2\xff", 4));
  Ins.SetParamAsInt64(3, INT64_MIN);
  Ins.SetParamAsDateTime(4, At(2024, 1, 31, 10, 20, 30));
  EXPECT_FALSE(Ins.Fetch());
  EXPECT_TRUE(Ins.Eof());
  Ins.Reset();
  Ins.Close();
  EXPECT_TRUE(Ins.SQL().empty());

  TSQLite3Stmt S;
  D.DB.PrepareSQL("SELECT a, b, c, d, 2.5, NULL FROM T", S);
  EXPECT_TRUE(S.Bof());
  ASSERT_TRUE(S.Fetch());
  EXPECT_FALSE(S.Bof());
  EXPECT_EQ(S.AsString(0), "texte temporaire 'é'");
  EXPECT_EQ(S.AsBytes(1), std::string("\0\1\2\xff", 4));
  EXPECT_EQ(S.AsInt64(2), INT64_MIN);
  EXPECT_DOUBLE_EQ(S.AsDateTime(3), At(2024, 1, 31, 10, 20, 30));
  EXPECT_TRUE(S.AsBytes(5).empty());
  EXPECT_EQ(ErrorOf([&] { S.AsString(6); }), "Column index out of range: 6");
  using K = TSQLite3FieldType;
  const std::vector<std::pair<std::string, K>> Expected = {{"a", K::dtTEXT},    {"b", K::dtBLOB},
                                                           {"c", K::dtINTEGER}, {"d", K::dtTEXT},
                                                           {"2.5", K::dtFLOAT}, {"NULL", K::dtNULL}};
  ASSERT_EQ(S.Fields().size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); ++I) {
    EXPECT_EQ(S.Fields()[I].Name, Expected[I].first);
    EXPECT_EQ(S.Fields()[I].Kind, Expected[I].second);
  }
  EXPECT_FALSE(S.Fetch());
  // A statement still open keeps the connection open.
  EXPECT_FALSE(D.DB.Close());
  EXPECT_FALSE(D.DB.FileName().empty());
  S.Close();
  EXPECT_TRUE(D.DB.Close());
}

TEST(SQLite, rows_fill_only_fields_with_a_column_of_exactly_their_name) {
  Db D;
  D.DB.ExecSQL("CREATE TABLE Fiches (Entier, nom, Naissance)");
  D.DB.ExecSQL("INSERT INTO Fiches VALUES (12, 'minuscule', '2001-02-03')");
  TFiche F;
  F.Nom = "garde";
  F.Grand = 99;
  TSQLite3Stmt S;
  D.DB.PrepareSQL("SELECT rowid, * FROM Fiches", S);
  EXPECT_EQ(ErrorOf([&] { S.ReadRecord(F); }), "No current row");
  ASSERT_TRUE(S.Fetch());
  S.ReadRecord(F);
  EXPECT_EQ(F.rowid, 1);
  EXPECT_EQ(F.Entier, 12);
  EXPECT_EQ(F.Nom, "garde");  // "nom" is another name
  EXPECT_EQ(F.Grand, 99);
  EXPECT_DOUBLE_EQ(F.Naissance, At(2001, 2, 3));
  EXPECT_FALSE(S.Fetch());
  EXPECT_EQ(ErrorOf([&] { S.ReadRecord(F); }), "No current row");
  EXPECT_EQ(F.Entier, 12);
}

TEST(SQLite, migration_helpers_find_columns_whatever_their_case) {
  Db D;
  D.DB.ExecSQL("CREATE TABLE T (IdNational NOT NULL, Nom)");
  EXPECT_TRUE(D.DB.FieldExists("T", "idnational"));
  EXPECT_TRUE(D.DB.FieldExists("T", "NOM"));
  EXPECT_FALSE(D.DB.FieldExists("T", "Prenom"));
  D.DB.ExecSQL("INSERT INTO T VALUES ('1', 'a')");
  D.DB.AddField("T", "Prenom");
  D.DB.AddField("T", "prenom");  // already there
  EXPECT_TRUE(D.DB.FieldExists("T", "Prenom"));
  TSQLite3Stmt S;
  D.DB.PrepareSQL("SELECT count(*) FROM pragma_table_info('T')", S);
  ASSERT_TRUE(S.Fetch());
  EXPECT_EQ(S.AsInteger(0), 3);
}

TEST(SQLite, open_failure_carries_sqlite_message) {
  TestSupport::TempDir Dir;
  TSQLite3 DB;
  const std::string Absent = (Dir / "absent" / "x.db3").string();
  EXPECT_EQ(ErrorOf([&] { DB.Open(Absent); }),
            "La base locale « " + Absent +
                " » ne peut pas être ouverte ou écrite : vérifiez son dossier et ses droits "
                "(unable to open database file)");
  EXPECT_EQ(ErrorOf([&] { DB.ExecSQL("SELECT 1"); }), "Database not open");
  // Reopening another file closes the first.
  DB.Open((Dir / "a.db3").string());
  DB.Open((Dir / "b.db3").string());
  EXPECT_EQ(DB.FileName(), (Dir / "b.db3").string());
}

// Disk full, a connection that may not write and a journal that cannot be
// made each have their own text; what was committed before stays.
TEST(SQLite, file_failures_have_their_own_text_and_lose_nothing_committed) {
  Db D;
  const std::string File = D.DB.FileName();
  D.DB.ExecSQL("CREATE TABLE T (Nom)");
  D.DB.ExecSQL("INSERT INTO T VALUES ('premier')");
  auto Count = [&] {
    TSQLite3Stmt S;
    D.DB.PrepareSQL("SELECT count(*) FROM T", S);
    EXPECT_TRUE(S.Fetch());
    return S.AsInteger(0);
  };
  struct Case {
    const char* Name;
    std::function<void()> Arrange, Restore;
    int Code;
    std::string Text;
  } Cases[] = {
      {"disk full", [&] { D.DB.ExecSQL("PRAGMA max_page_count = 2"); },
       [&] { D.DB.ExecSQL("PRAGMA max_page_count = 1000000"); }, SQLITE_FULL,
       "Disque plein : la base locale « " + File + " » ne peut plus être écrite (database or disk is full)"},
      {"read-only", [&] { D.DB.ExecSQL("PRAGMA query_only = 1"); }, [&] { D.DB.ExecSQL("PRAGMA query_only = 0"); },
       SQLITE_READONLY,
       "La base locale « " + File +
           " » est en lecture seule : impossible d'y écrire (attempt to write a readonly database)"},
      // A folder where the rollback journal goes: the write cannot start.
      {"journal", [&] { std::filesystem::create_directory(File + "-journal"); },
       [&] { std::filesystem::remove(File + "-journal"); }, SQLITE_IOERR,
       "Erreur d'accès au disque pour la base locale « " + File + " » (disk I/O error)"},
  };
  for (const Case& C : Cases) {
    C.Arrange();
    TSansRowId Big{std::string(20000, 'x')};
    try {
      D.DB.InsertType(Big, "T");
      ADD_FAILURE() << C.Name << ": no error";
    } catch (const ESQLite3Error& E) {
      EXPECT_EQ(E.Code(), C.Code) << C.Name;
      EXPECT_EQ(E.what(), C.Text) << C.Name;
    }
    C.Restore();
    EXPECT_EQ(Count(), 1) << C.Name;
  }
  TSansRowId Next{"suivant"};
  D.DB.InsertType(Next, "T");
  EXPECT_EQ(Count(), 2);
}

// A trigger found in the file never runs, and the schema table cannot be
// written through the connection.
TEST(SQLite, triggers_never_run_and_the_schema_stays_read_only) {
  Db D;
  D.DB.ExecSQL("CREATE TABLE T (Nom)");
  D.DB.ExecSQL("CREATE TABLE Copie (Nom)");
  D.DB.ExecSQL("CREATE TRIGGER Espion AFTER INSERT ON T BEGIN INSERT INTO Copie VALUES (new.Nom); END");
  D.DB.ExecSQL("INSERT INTO T VALUES ('secret')");
  TSQLite3Stmt S;
  D.DB.PrepareSQL("SELECT count(*) FROM Copie", S);
  ASSERT_TRUE(S.Fetch());
  EXPECT_EQ(S.AsInteger(0), 0);
  S.Close();
  D.DB.ExecSQL("PRAGMA writable_schema = ON");
  EXPECT_NE(ErrorOf([&] { D.DB.ExecSQL("UPDATE sqlite_master SET sql = 'CREATE TABLE T (Autre)' WHERE name = 'T'"); }),
            "(no error)");
}

// A file with a damaged page, or that is no database at all, is refused at
// Open and the connection stays closed.
TEST(SQLite, damaged_file_is_refused_at_open) {
  TestSupport::TempDir Dir;
  const auto File = Dir / "t.db3";
  int64_t Root = 0;
  {
    TSQLite3 DB;
    DB.Open(File.string());
    DB.ExecSQL("CREATE TABLE T (Nom)");
    for (int I = 0; I < 200; ++I) DB.ExecSQL("INSERT INTO T VALUES ('" + std::string(100, char('a' + I % 26)) + "')");
    TSQLite3Stmt S;
    DB.PrepareSQL("SELECT rootpage FROM sqlite_master WHERE name = 'T'", S);
    ASSERT_TRUE(S.Fetch());
    Root = S.AsInt64(0);
  }
  const std::string Sound = TestSupport::ReadFile(File);
  const size_t PageSize = 4096;
  ASSERT_GE(Sound.size(), size_t(Root) * PageSize);
  struct Case {
    const char* Name;
    std::string Bytes;
    int Code;
    std::string Detail;
  } Cases[] = {
      {"table root page overwritten",
       Sound.substr(0, size_t(Root - 1) * PageSize) + std::string(PageSize, '\xA5') +
           Sound.substr(size_t(Root) * PageSize),
       SQLITE_CORRUPT, ""},
      {"not a database", TestSupport::RandomBytes(3 * PageSize, 7), SQLITE_NOTADB, " (file is not a database)"},
  };
  for (const Case& C : Cases) {
    TestSupport::WriteFile(File, C.Bytes);
    TSQLite3 DB;
    try {
      DB.Open(File.string());
      ADD_FAILURE() << C.Name << ": opened";
    } catch (const ESQLite3Error& E) {
      EXPECT_EQ(E.Code(), C.Code) << C.Name;
      const std::string Head = "La base locale « " + File.string() + " » est endommagée";
      EXPECT_EQ(std::string(E.what()).substr(0, Head.size()), Head) << C.Name << ": " << E.what();
      if (!C.Detail.empty()) {
        EXPECT_EQ(E.what(), Head + C.Detail) << C.Name;
      }
    }
    EXPECT_TRUE(DB.FileName().empty()) << C.Name;
    EXPECT_EQ(DB.Handle(), nullptr) << C.Name;
  }
  // The sound file opens again.
  TestSupport::WriteFile(File, Sound);
  TSQLite3 DB;
  DB.Open(File.string());
}

}  // namespace
