#include "Carvelin.SQLIteDataBase.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "TestSupport.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.JSON.UTF8.h"

namespace {

using namespace Carvelin;
using Vantrel::TDateTime;

TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(Vantrel::TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

struct Store {
  TestSupport::TempDir Dir;
  TVaspoDatabase DB;
  Store() { DB.Init((Dir / "Carvelin2.db3").string()); }
  void Exec(const std::string& SQL) { DB.Connection().ExecSQL(SQL); }
  int64_t Count(const std::string& Where) {
    Vantrel::TSQLite3Stmt S;
    DB.Connection().PrepareSQL("SELECT count(*) " + Where, S);
    EXPECT_TRUE(S.Fetch());
    return S.AsInt64(0);
  }
};

TVaspoPraticien Praticien(std::string Id, std::string Nom, std::string Prenom, std::string Struct = "S1") {
  TVaspoPraticien P;
  P.IdNational = std::move(Id);
  P.Nom = std::move(Nom);
  P.Prenom = std::move(Prenom);
  P.idStruct = std::move(Struct);
  return P;
}

TVaspoPatient Patient(std::string Nom, std::string INSC, std::string INSN, int32_t Prat) {
  TVaspoPatient P;
  P.Nom = std::move(Nom);
  P.Prenom = "Jean";
  P.INSC = std::move(INSC);
  P.INSN = std::move(INSN);
  P.Praticien = Prat;
  P.Naissance = At(1950, 3, 4);
  return P;
}

TEST(VaspoDatabase, practitioner_keeps_its_row_and_guid_across_saves) {
  Store S;
  TVaspoPraticien P = Praticien("810001234567", "Martin", "Luc");
  S.DB.SavePraticien(P);
  EXPECT_GT(P.rowid, 0);
  EXPECT_TRUE(std::regex_match(P.UID, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << P.UID;
  EXPECT_GT(P.crt, 0);
  std::string Guid = P.UID;
  P.Specialite = "SM26";
  S.DB.SavePraticien(P);
  EXPECT_EQ(P.UID, Guid);
  EXPECT_EQ(S.Count("FROM Praticiens"), 1);

  TVaspoPraticien Back;
  Back.Nom = "reste";
  ASSERT_TRUE(S.DB.LoadPraticien("810001234567", Back));
  EXPECT_EQ(Back.rowid, P.rowid);
  EXPECT_EQ(Back.UID, Guid);
  EXPECT_EQ(Back.Specialite, "SM26");
  EXPECT_FALSE(S.DB.LoadPraticien("8100' OR '1'='1", Back));
  EXPECT_TRUE(Back.Nom.empty());  // cleared even when not found

  // A practitioner picked from the structure list and saved again updates its row.
  TVaspoPraticien Q = Praticien("810009999999", "Aubert", "Zoé");
  S.DB.SavePraticien(Q);
  TVaspoPraticien Other = Praticien("810007777777", "Autre", "", "S2");
  S.DB.SavePraticien(Other);
  std::vector<TVaspoPraticien> List;
  ASSERT_TRUE(S.DB.GetPraticiens("S1", List));
  ASSERT_EQ(List.size(), 2u);
  EXPECT_EQ(List[0].Nom, "Aubert");
  EXPECT_EQ(List[1].Nom, "Martin");
  EXPECT_EQ(List[1].rowid, P.rowid);
  S.DB.SavePraticien(List[0]);
  EXPECT_EQ(S.Count("FROM Praticiens"), 3);
  std::vector<TVaspoPraticien> None;
  EXPECT_FALSE(S.DB.GetPraticiens("S3", None));
}

TEST(VaspoDatabase, patient_found_by_insc_or_ins_and_last_date_raised_from_earlier_days) {
  Store S;
  TVaspoPatient P = Patient("Durand", "2550312345678901234567", "255031234567812", 1);
  S.DB.SavePatient(P);
  ASSERT_GT(P.rowid, 0);
  TVaspoPatient Back;
  EXPECT_FALSE(S.DB.LoadPatient("", Back));
  for (const char* Key : {"2550312345678901234567", "255031234567812"}) {
    ASSERT_TRUE(S.DB.LoadPatient(Key, Back)) << Key;
    EXPECT_EQ(Back.rowid, P.rowid);
    EXPECT_DOUBLE_EQ(Back.Naissance, At(1950, 3, 4));
  }
  EXPECT_FALSE(S.DB.LoadPatient("inconnu", Back));

  // Saved yesterday with an older LastDate: LastDate becomes upd. Saved today: kept.
  TDateTime Today = Vantrel::DateOf(Vantrel::Now());
  const struct {
    TDateTime Upd, LastDate, Expected;
  } Cases[] = {
      {Today - 1 + 0.5, Today - 10, Today - 1 + 0.5},
      {Today + 1.0 / 86400, Today - 10, Today - 10},
      {Today - 3, Today - 2, Today - 2},
  };
  for (const auto& C : Cases) {
    Vantrel::TSQLite3Stmt U;
    S.DB.Connection().PrepareSQL("UPDATE Patients SET upd = ?, LastDate = ? WHERE rowid = ?", U);
    U.SetParamAsDateTime(1, C.Upd);
    U.SetParamAsDateTime(2, C.LastDate);
    U.SetParamAsInt64(3, P.rowid);
    U.Fetch();
    ASSERT_TRUE(S.DB.LoadPatient("255031234567812", Back));
    EXPECT_NEAR(Back.LastDate, C.Expected, 1.0 / 86400);
  }
}

TEST(VaspoDatabase, deleted_documents_stay_stored_but_leave_the_local_list) {
  Store S;
  auto Doc = [&](const char* Uid, const char* Titre, TDateTime Date, int32_t Prat = 1, int32_t Pat = 2) {
    TVaspoDocument D;
    D.Praticien = Prat;
    D.Patient = Pat;
    D.uniqueId = Uid;
    D.titre = Titre;
    D.TypeDoc = "11488-4";
    D.date = Date;
    S.DB.SaveDocument(D);
    return D;
  };
  TVaspoDocument A = Doc("1.2.3^a", "B titre", At(2024, 1, 1));
  Doc("1.2.3^b", "A titre", At(2024, 1, 1));
  Doc("1.2.3^c", "Récent", At(2024, 6, 1));
  Doc("1.2.3^d", "Autre patient", At(2024, 6, 1), 1, 3);
  TVaspoDocument E = Doc("1.2.3^e'", "Supprimé par identifiant", At(2024, 7, 1));
  A.titre = "A titre modifié";
  S.DB.SaveDocument(A);

  S.DB.DeleteDocumentByUniqueID("1.2.3^e'");
  std::vector<std::unique_ptr<TDocumentLocal>> List;
  S.DB.GetDocumentsLocaux(1, 2, List);
  ASSERT_EQ(List.size(), 3u);
  EXPECT_EQ(List[0]->Data.titre, "Récent");
  EXPECT_EQ(List[0]->Data.uniqueId, "1.2.3^c");
  EXPECT_DOUBLE_EQ(List[0]->Data.date, At(2024, 6, 1));
  EXPECT_EQ(List[1]->Data.titre, "A titre");
  EXPECT_EQ(List[2]->Data.titre, "A titre modifié");
  EXPECT_EQ(List[2]->Data.rowid, A.rowid);

  S.DB.DeleteDocument(A.rowid);
  List.clear();
  S.DB.GetDocumentsLocaux(1, 2, List);
  EXPECT_EQ(List.size(), 2u);
  EXPECT_EQ(S.Count("FROM Documents"), 5);
  EXPECT_EQ(S.Count("FROM Documents WHERE etat = 1"), 2);
  EXPECT_EQ(S.Count("FROM Documents WHERE etat = 1 AND rowid = " + std::to_string(E.rowid)), 1);

  // The local row as JSON, and back.
  std::string Json = List[0]->toJSON();
  TDocumentLocal Copy;
  Copy.fromJSON(Json);
  EXPECT_EQ(Copy.Data.uniqueId, "1.2.3^c");
  EXPECT_DOUBLE_EQ(Copy.Data.date, At(2024, 6, 1));
}

TEST(VaspoDatabase, vaccination_notes_listed_by_document_id_skipping_unreadable_ones) {
  Store S;
  auto Note = [&](const char* Uid, std::string Titre, const char* Type = "87273-9") {
    TVaspoDocument D;
    D.Praticien = 1;
    D.Patient = 1;
    D.uniqueId = Uid;
    D.titre = std::move(Titre);
    D.TypeDoc = Type;
    S.DB.SaveDocument(D);
  };
  TVaspoVaccin V;
  V.Nom = "VAXIGRIPTETRA";
  V.Lot = "L'123";
  V.Date = At(2024, 10, 15);
  V.Rang = 2;
  Note("u1", Vantrel::JSON::buildJSON(V));
  Note("u2", "{\"Nom\":\"sans fin");                     // broken JSON
  Note("u3", "{\"Lot\":\"X\"}");                         // no Nom
  Note("u4", "Note de vaccinations");                    // the summary document
  Note("u5", "");                                        // empty note
  Note("u6", Vantrel::JSON::buildJSON(V), "11488-4");    // another type
  TVaspoVaccin W = V;
  W.Nom = "PREVENAR";
  W.Date = 0;
  Note("u7'--", Vantrel::JSON::buildJSON(W));
  Note("u1", Vantrel::JSON::buildJSON(W));  // a second note under u1: the first one stays

  Vantrel::TStringList List;
  List.Add("ancienne ligne");
  S.DB.ListVaccins(List);
  EXPECT_EQ(List.Strings,
            (std::vector<std::string>{"u1=VAXIGRIPTETRA [L'123] 15/10/2024", "u7'--=PREVENAR [L'123] "}));
  EXPECT_EQ(List.Objects.size(), List.Strings.size());

  TVaspoVaccin Back;
  ASSERT_TRUE(S.DB.LoadVaccin("u7'--", Back));
  EXPECT_EQ(Back.Nom, "PREVENAR");
  EXPECT_EQ(Back.Rang, 2);
  ASSERT_TRUE(S.DB.LoadVaccin("u5", Back));
  EXPECT_TRUE(Back.Nom.empty());
  EXPECT_FALSE(S.DB.LoadVaccin("' OR ''='", Back));
}

TEST(VaspoDatabase, statistics_count_patients_per_practitioner_over_whole_days) {
  Store S;
  TVaspoPraticien A = Praticien("1", "Martin", "Luc"), B = Praticien("2", "Martin", "Luc"),
                  C = Praticien("3", "Bernard", "Ana");
  for (auto* P : {&A, &B, &C}) S.DB.SavePraticien(*P);
  struct Row {
    const TVaspoPraticien* Prat;
    const char* Nom;
    TDateTime Crt;
  } const Rows[] = {
      {&A, "Zola", At(2024, 3, 1, 0, 0, 0)},  {&A, "Abel", At(2024, 3, 31, 23, 59, 59)},
      {&B, "Cyr", At(2024, 3, 15, 12, 0, 0)}, {&C, "Dax", At(2024, 3, 10)},
      {&C, "Hors", At(2024, 4, 1, 0, 0, 0)},  {&A, "Avant", At(2024, 2, 29, 23, 59, 59)},
  };
  for (const Row& R : Rows) {
    TVaspoPatient P = Patient(R.Nom, "", std::string("INS-") + R.Nom, int32_t(R.Prat->rowid));
    S.DB.SavePatient(P);
    Vantrel::TSQLite3Stmt U;
    S.DB.Connection().PrepareSQL("UPDATE Patients SET crt = ? WHERE rowid = ?", U);
    U.SetParamAsDateTime(1, R.Crt);
    U.SetParamAsInt64(2, P.rowid);
    U.Fetch();
  }
  std::vector<std::unique_ptr<TStatistique>> Counts;
  S.DB.GetStatistiques(At(2024, 3, 1), At(2024, 3, 31), Counts);
  ASSERT_EQ(Counts.size(), 3u);
  EXPECT_EQ(Counts[0]->Praticien, "Bernard Ana");
  EXPECT_EQ(Counts[0]->Count, 1);
  EXPECT_EQ(Counts[1]->Count + Counts[2]->Count, 3);

  std::vector<std::unique_ptr<TStatistique2>> Detail;
  S.DB.GetStatistiques2(At(2024, 3, 1), At(2024, 3, 31), Detail);
  std::vector<std::string> Seen;
  for (const auto& D : Detail) Seen.push_back(D->Praticien + "|" + D->Patient + "|" + D->INSNIR);
  EXPECT_EQ(Seen, (std::vector<std::string>{"Bernard Ana|Dax Jean|INS-Dax", "Martin Luc|Abel Jean|INS-Abel",
                                            "|Zola Jean|INS-Zola", "Martin Luc|Cyr Jean|INS-Cyr"}));
  EXPECT_DOUBLE_EQ(Detail[1]->DateDMP, At(2024, 3, 31, 23, 59, 59));

  TVaspoStats Stats;
  ASSERT_TRUE(S.DB.GetStats(A.rowid, Stats));
  EXPECT_EQ(Stats.Count, 3);
  EXPECT_DOUBLE_EQ(Stats.First, At(2024, 2, 29, 23, 59, 59));
  EXPECT_DOUBLE_EQ(Stats.Last, At(2024, 3, 31, 23, 59, 59));
  EXPECT_FALSE(S.DB.GetStats(999, Stats));
  EXPECT_EQ(Stats.Count, 0);
  EXPECT_EQ(Stats.First, 0);
}

TEST(VaspoDatabase, certificate_pairs_keep_their_bytes) {
  Store S;
  std::string Auth = TestSupport::RandomBytes(3000, 1), Sign = TestSupport::RandomBytes(2000, 2);
  Auth[0] = '\0';
  S.DB.AddCertificats("Zeta", "a", "s");
  S.DB.AddCertificats("Alpha d'Été", Auth, Sign);
  auto Certs = S.DB.GetCertificats();
  ASSERT_EQ(Certs.size(), 2u);
  EXPECT_EQ(Certs[0].Nom, "Alpha d'Été");
  EXPECT_EQ(Certs[0].Auth, Auth);
  EXPECT_EQ(Certs[0].Sign, Sign);
  EXPECT_EQ(Certs[1].Nom, "Zeta");
}

TEST(VaspoDatabase, new_file_is_private_and_init_is_repeatable) {
  Store S;
  struct stat St {};
  ASSERT_EQ(stat((S.Dir / "Carvelin2.db3").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  TVaspoPraticien P = Praticien("1", "Nom", "Prenom");
  S.DB.SavePraticien(P);
  S.DB.Close();
  S.DB.Init((S.Dir / "Carvelin2.db3").string());
  EXPECT_EQ(S.Count("FROM Praticiens"), 1);
}

TEST(VaspoDatabase, default_file_beside_the_program_or_in_the_data_folder) {
  TestSupport::TempDir Dir;
  EXPECT_EQ(TVaspoDatabase::DefaultFileName((Dir / "Carvelin2").string()), (Dir / "Carvelin2.db3").string());
  EXPECT_EQ(TVaspoDatabase::DefaultFileName((Dir / "Carvelin2.exe").string()), (Dir / "Carvelin2.db3").string());

  // A folder the program cannot write to (here: one that does not exist).
  auto Env = [](const char* Name) { return std::string(std::getenv(Name) ? std::getenv(Name) : ""); };
  auto Restore = [](const char* Name, const std::string& Value) {
    if (Value.empty())
      unsetenv(Name);
    else
      setenv(Name, Value.c_str(), 1);
  };
  std::string SavedData = Env("XDG_DATA_HOME"), SavedHome = Env("HOME");
  setenv("XDG_DATA_HOME", (Dir / "data").c_str(), 1);
  std::string Name = TVaspoDatabase::DefaultFileName("/nonexistent/bin/Carvelin2");
  EXPECT_EQ(Name, (Dir / "data" / "Carvelin2" / "Carvelin2.db3").string());
  struct stat St {};
  ASSERT_EQ(stat((Dir / "data" / "Carvelin2").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0700u);
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  setenv("HOME", Dir.Path().c_str(), 1);
  EXPECT_EQ(TVaspoDatabase::DefaultFileName("/nonexistent/bin/Carvelin2"),
            (Dir / ".local" / "share" / "Carvelin2" / "Carvelin2.db3").string());
  Restore("XDG_DATA_HOME", SavedData);
  Restore("HOME", SavedHome);
}

}  // namespace
