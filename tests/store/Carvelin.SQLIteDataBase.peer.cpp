// The store against the sqlite3 command-line tool: it reads what we wrote,
// writes the older files we must bring up to date, and checks a file after
// the writing process was killed.
#include "Carvelin.SQLIteDataBase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "Vantrel.DateTime.h"

namespace {

using namespace Carvelin;

// Runs a script with the sqlite3 tool, double-quoted strings switched off.
std::string Sql(const std::filesystem::path& File, const std::string& Script) {
  auto R = TestSupport::Run({"sqlite3", "-batch", File.string()},
                            ".dbconfig dqs_dml off\n.dbconfig dqs_ddl off\n.output stdout\n" + Script);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Err, "");
  // The .dbconfig lines echo their settings first.
  std::string Out;
  std::istringstream In(R.Out);
  for (std::string Line; std::getline(In, Line);)
    if (Line.find("dqs_d") == std::string::npos) Out += Line + "\n";
  return Out;
}

std::string Columns(const std::filesystem::path& File, const char* Table) {
  return Sql(File, std::string("SELECT group_concat(name || ':' || type, ',') FROM pragma_table_info('") + Table +
                       "');\n");
}

Vantrel::TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  Vantrel::TDateTime V = 0;
  EXPECT_TRUE(Vantrel::TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

TEST(VaspoDatabasePeer, sqlite3_tool_reads_the_values_and_schema_we_write) {
  SKIP_UNLESS_TOOL("sqlite3");
  TestSupport::TempDir Dir;
  auto File = Dir / "Carvelin2.db3";
  {
    TVaspoDatabase DB;
    DB.Init(File.string());
    TVaspoPraticien Pr;
    Pr.IdNational = "810001234567";
    Pr.Nom = "D'Artagnan";
    Pr.Prenom = "Hélène";
    DB.SavePraticien(Pr);
    TVaspoPatient P;
    P.Nom = "Ñuñez \"dit\" l'Ancien";
    P.Naissance = At(1890, 12, 31);
    P.Rang = 2;
    P.INSN = "255031234567812";
    P.INSiStatus = 3;
    P.INSiDate = At(2024, 1, 31, 10, 20, 30);
    P.Praticien = int32_t(Pr.rowid);
    DB.SavePatient(P);
    DB.AddCertificats("Cert", std::string("\0\x01", 2), "");
  }
  EXPECT_EQ(Sql(File, "PRAGMA integrity_check;\n"), "ok\n");
  EXPECT_EQ(Columns(File, "Praticiens"),
            "IdNational:,Nom:,Prenom:,idStruct:,codeStruct:,RaisonSociale:,Profession:,Specialite:,Pharmacien:,"
            "UID:,Favoris:,numFacturation:,LPS_OID:,crt:,upd:\n");
  EXPECT_EQ(Columns(File, "Patients"),
            "Nom:,Prenom:,Naissance:DATE,Nir:,Rang:,Nir2:,INSC:,INSN:,INSi:,INSiDate:,INSiStatus:,Status:,"
            "LastDate:,Praticien:,crt:,upd:\n");
  EXPECT_EQ(Columns(File, "Documents"),
            "Patient:INTEGER,Praticien:INTEGER,uniqueId:,titre:,TypeDoc:,date:,etat:\n");
  EXPECT_EQ(Sql(File,
                "SELECT typeof(Nom), Nom, typeof(Naissance), Naissance, typeof(Rang), Rang, typeof(INSC), "
                "typeof(INSiDate), INSiDate, typeof(INSiStatus), typeof(LastDate), Praticien FROM Patients;\n"),
            "text|Ñuñez \"dit\" l'Ancien|text|1890-12-31|integer|2|null|text|2024-01-31 10:20:30|integer|null|1\n");
  // crt and upd: the local time of the save, to the second.
  EXPECT_EQ(Sql(File, "SELECT crt = upd, crt GLOB '[12][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
                      "[0-5][0-9]', typeof(rowid) FROM Patients;\n"),
            "1|1|integer\n");
  EXPECT_EQ(Sql(File, "SELECT Nom, Prenom, length(UID), UID = lower(UID) FROM Praticiens;\n"),
            "D'Artagnan|Hélène|36|1\n");
  EXPECT_EQ(Sql(File, "SELECT Nom, hex(Auth), typeof(Sign), length(crt) FROM Certificats;\n"), "Cert|0001|blob|19\n");
}

TEST(VaspoDatabasePeer, init_brings_an_older_file_up_to_date_and_keeps_its_rows) {
  SKIP_UNLESS_TOOL("sqlite3");
  TestSupport::TempDir Dir;
  auto File = Dir / "ancien.db3";
  Sql(File, TestSupport::ReadFile(TestSupport::Fixture("store/legacy.sql")));
  std::string RowsBefore = Sql(File,
                               "SELECT rowid, IdNational, Nom, Prenom, idStruct, crt FROM Praticiens;\n"
                               "SELECT rowid, Nom, Prenom, Naissance, Nir, Rang, INSC, crt FROM Patients;\n"
                               "SELECT rowid, * FROM Documents;\n");

  TVaspoDatabase DB;
  DB.Init(File.string());
  DB.Init(File.string());  // a second start adds nothing
  EXPECT_EQ(Columns(File, "Praticiens"),
            "IdNational:,Nom:,Prenom:,idStruct:,crt:,upd:,UID:,Favoris:,codeStruct:,Profession:,Specialite:,"
            "Pharmacien:,numFacturation:,RaisonSociale:,LPS_OID:\n");
  EXPECT_EQ(Columns(File, "Patients"),
            "Nom:,Prenom:,Naissance:DATE,Nir:,Rang:,Nir2:,INSC:,crt:,upd:,Praticien:,Status:,INSN:,LastDate:,"
            "INSi:,INSiDate:,INSiStatus:\n");
  EXPECT_EQ(Columns(File, "Documents"),
            "Patient:INTEGER,Praticien:INTEGER,uniqueId:,titre:,date:,etat:,TypeDoc:\n");
  EXPECT_EQ(Sql(File,
                "SELECT rowid, IdNational, Nom, Prenom, idStruct, crt FROM Praticiens;\n"
                "SELECT rowid, Nom, Prenom, Naissance, Nir, Rang, INSC, crt FROM Patients;\n"
                "SELECT rowid, Patient, Praticien, uniqueId, titre, date, etat FROM Documents;\n"),
            RowsBefore);

  // The old rows read and save through the records.
  TVaspoPraticien Pr;
  ASSERT_TRUE(DB.LoadPraticien("810001234567", Pr));
  EXPECT_EQ(Pr.rowid, 1);
  EXPECT_EQ(Pr.Nom, "D'Artagnan");
  EXPECT_DOUBLE_EQ(Pr.crt, At(2019, 5, 6, 7, 8, 9));
  Pr.numFacturation = "123";
  DB.SavePraticien(Pr);
  TVaspoPatient Pa;
  ASSERT_TRUE(DB.LoadPatient("1901231234567890123456", Pa));
  EXPECT_DOUBLE_EQ(Pa.Naissance, At(1890, 12, 31));
  EXPECT_DOUBLE_EQ(Pa.LastDate, 0);  // upd never written
  ASSERT_TRUE(DB.LoadPatient("2550312345678901234567", Pa));
  EXPECT_DOUBLE_EQ(Pa.LastDate, At(2019, 5, 6, 7, 8, 9));
  std::vector<std::unique_ptr<TDocumentLocal>> Docs;
  DB.GetDocumentsLocaux(1, 1, Docs);
  ASSERT_EQ(Docs.size(), 1u);
  EXPECT_EQ(Docs[0]->Data.uniqueId, "1.2.250.1^abc");
  DB.Close();
  EXPECT_EQ(Sql(File, "SELECT count(*), sum(numFacturation = '123'), sum(length(UID) = 36) FROM Praticiens;\n"
                      "PRAGMA integrity_check;\n"),
            "2|1|1\nok\n");
}

// Someone who could write the file planted triggers that copy every new
// patient elsewhere and rename the practitioners: saving through the store
// runs neither.
TEST(VaspoDatabasePeer, triggers_planted_in_the_file_never_run) {
  SKIP_UNLESS_TOOL("sqlite3");
  TestSupport::TempDir Dir;
  auto File = Dir / "Carvelin2.db3";
  {
    TVaspoDatabase DB;
    DB.Init(File.string());
    TVaspoPraticien Pr;
    Pr.IdNational = "810001234567";
    Pr.Nom = "Martin";
    DB.SavePraticien(Pr);
  }
  Sql(File,
      "CREATE TABLE Fuite (Nom, INSN);\n"
      "CREATE TRIGGER Espion AFTER INSERT ON Patients BEGIN INSERT INTO Fuite VALUES (new.Nom, new.INSN); "
      "UPDATE Praticiens SET Nom = 'pirate'; END;\n");
  {
    TVaspoDatabase DB;
    DB.Init(File.string());
    TVaspoPatient P;
    P.Nom = "Durand";
    P.INSN = "255031234567812";
    DB.SavePatient(P);
  }
  EXPECT_EQ(Sql(File, "SELECT count(*) FROM Fuite; SELECT Nom FROM Praticiens; SELECT count(*) FROM Patients;\n"),
            "0\nMartin\n1\n");
}

// A child saves patients (and updates the one before) in a loop and reports
// each save once it returned; it is killed at an arbitrary point.
TEST(VaspoDatabasePeer, killed_writer_leaves_a_sound_file_with_every_committed_record) {
  SKIP_UNLESS_TOOL("sqlite3");
  TestSupport::TempDir Dir;
  auto File = Dir / "Carvelin2.db3";
  {
    TVaspoDatabase DB;
    DB.Init(File.string());
  }
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    close(Pipe[0]);
    try {
      TVaspoDatabase DB;
      DB.Init(File.string());
      TVaspoPatient Previous;
      for (int I = 1;; ++I) {
        TVaspoPatient P;
        P.Nom = "Patient " + std::to_string(I);
        P.INSN = "INS" + std::to_string(I);
        P.Rang = I;
        DB.SavePatient(P);
        std::string Line = "I " + std::to_string(P.rowid) + " " + std::to_string(I) + "\n";
        if (Previous.rowid) {
          Previous.Status = I;
          DB.SavePatient(Previous);
          Line += "U " + std::to_string(Previous.rowid) + " " + std::to_string(I) + "\n";
        }
        Previous = P;
        if (write(Pipe[1], Line.data(), Line.size()) != ssize_t(Line.size())) _exit(3);
      }
    } catch (...) {
      _exit(2);
    }
  }
  close(Pipe[1]);
  FILE* In = fdopen(Pipe[0], "r");
  ASSERT_NE(In, nullptr);
  std::map<int64_t, int> Inserted, Status;  // rowid -> Rang, rowid -> last reported Status
  char Kind;
  long long RowId;
  int Value;
  auto ReadLine = [&] {
    if (fscanf(In, " %c %lld %d", &Kind, &RowId, &Value) != 3) return false;
    (Kind == 'I' ? Inserted : Status)[RowId] = Value;
    return true;
  };
  while (Inserted.size() < 150 && ReadLine()) {
  }
  kill(Child, SIGKILL);
  int WaitStatus = 0;
  waitpid(Child, &WaitStatus, 0);
  while (ReadLine()) {
  }
  fclose(In);
  ASSERT_TRUE(WIFSIGNALED(WaitStatus)) << "the writer stopped by itself: " << WaitStatus;
  ASSERT_GE(Inserted.size(), 150u);

  EXPECT_EQ(Sql(File, "PRAGMA integrity_check;\n"), "ok\n");
  std::map<int64_t, std::pair<int, int>> Stored;
  std::istringstream Rows(Sql(File, "SELECT rowid, Rang, ifnull(Status, 0) FROM Patients;\n"));
  for (std::string Line; std::getline(Rows, Line);) {
    long long Id = 0;
    int Rang = 0, St = 0;
    ASSERT_EQ(std::sscanf(Line.c_str(), "%lld|%d|%d", &Id, &Rang, &St), 3) << Line;
    Stored[Id] = {Rang, St};
  }
  for (auto [Id, Rang] : Inserted) {
    ASSERT_TRUE(Stored.count(Id)) << "committed row " << Id << " lost";
    EXPECT_EQ(Stored[Id].first, Rang);
  }
  for (auto [Id, St] : Status) EXPECT_GE(Stored[Id].second, St) << "committed update of row " << Id << " lost";

  // The program opens the file again and finds the patients.
  TVaspoDatabase DB;
  DB.Init(File.string());
  TVaspoPatient P;
  ASSERT_TRUE(DB.LoadPatient("INS" + std::to_string(Inserted.rbegin()->second), P));
  EXPECT_EQ(P.rowid, Inserted.rbegin()->first);
}

}  // namespace
