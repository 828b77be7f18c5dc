#include "Carvelin.SQLIteDataBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "Vantrel.DateTime.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.GUID.h"

namespace Carvelin {

using Vantrel::TSQLite3Stmt;

namespace {

namespace fs = std::filesystem;

struct TTableSchema {
  const char* Name;
  const char* Create;
  // Columns added to an older file, in this order: the historical list
  // first, then every other column of the CREATE statement.
  std::initializer_list<const char*> Columns;
};

const TTableSchema Schema[] = {
    {"Praticiens",
     "CREATE TABLE IF NOT EXISTS Praticiens (  IdNational NOT NULL,  Nom NOT NULL,  Prenom,  idStruct,  "
     "codeStruct,  RaisonSociale,  Profession,  Specialite,  Pharmacien,  UID,  Favoris,  numFacturation,  "
     "LPS_OID,  crt,  upd)",
     {"UID", "Favoris", "codeStruct", "Profession", "Specialite", "Pharmacien", "numFacturation", "IdNational",
      "Nom", "Prenom", "idStruct", "RaisonSociale", "LPS_OID", "crt", "upd"}},
    {"Patients",
     "CREATE TABLE IF NOT EXISTS Patients (  Nom NOT NULL,  Prenom,  Naissance DATE,  Nir,  Rang,   Nir2,  "
     "INSC,  INSN,  INSi,  INSiDate,  INSiStatus,   Status,  LastDate,   Praticien,  crt,  upd)",
     {"Praticien", "Status", "INSN", "LastDate", "INSi", "INSiDate", "INSiStatus", "Nom", "Prenom", "Naissance",
      "Nir", "Rang", "Nir2", "INSC", "crt", "upd"}},
    {"Documents",
     "CREATE TABLE IF NOT EXISTS Documents (  Patient INTEGER NOT NULL,  Praticien INTEGER NOT NULL,  uniqueId,  "
     "titre,  TypeDoc,  date,  etat);",
     {"TypeDoc", "Patient", "Praticien", "uniqueId", "titre", "date", "etat"}},
    {"Certificats", "CREATE TABLE IF NOT EXISTS Certificats (  Nom,  Auth,  Sign,  crt);", {"Nom", "Auth", "Sign", "crt"}},
};

std::string DayText(Vantrel::TDateTime D) { return Vantrel::FormatDateTime("yyyy-mm-dd", D); }

std::string NameOf(const TSQLite3Stmt& S, int NomIndex) {
  return S.AsString(NomIndex) + " " + S.AsString(NomIndex + 1);
}

bool FolderWritable(const fs::path& Folder) { return access(Folder.c_str(), W_OK) == 0; }

// A new database file holds patient data: create it readable by the user only.
void CreatePrivateFile(const std::string& FileName) {
  int Fd = open(FileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (Fd >= 0) close(Fd);
}

}  // namespace

// ---- Records ----

std::string TVaspoVaccin::Caption() const {
  std::string S = Nom + " [" + Lot + "] ";
  if (Date != 0) S += Vantrel::FormatDateTime("dd/mm/yyyy", Date);
  return S;
}

bool ReadVaccin(std::string_view Titre, TVaspoVaccin& Vaccin) {
  Vaccin = TVaspoVaccin();
  try {
    if (!Titre.empty()) Vantrel::JSON::parseJSON(Titre, Vaccin);
  } catch (const std::runtime_error&) {
    Vaccin = TVaspoVaccin();
  }
  return !Vaccin.Nom.empty();
}

std::string TDocumentLocal::toJSON() const { return Vantrel::ObjectToJSON(this); }

void TDocumentLocal::fromJSON(std::string_view Text) { Vantrel::ObjectFromJSON(this, Text); }

// ---- File location ----

std::string TVaspoDatabase::DefaultFileName() {
  std::error_code Ec;
  fs::path Exe = fs::read_symlink("/proc/self/exe", Ec);
  if (Ec) Exe = "Carvelin2";
  return DefaultFileName(Exe.string());
}

std::string TVaspoDatabase::DefaultFileName(const std::string& ExeName) {
  fs::path Beside = fs::path(ExeName).replace_extension(".db3");
  fs::path Folder = Beside.parent_path();
  if (Folder.empty()) Folder = ".";
  if (FolderWritable(Folder)) return Beside.string();
  fs::path Data;
  if (const char* X = std::getenv("XDG_DATA_HOME"); X && *X == '/')
    Data = X;
  else if (const char* Home = std::getenv("HOME"); Home && *Home)
    Data = fs::path(Home) / ".local" / "share";
  else
    return Beside.string();
  Data /= "Carvelin2";
  std::error_code Ec;
  if (fs::create_directories(Data, Ec)) fs::permissions(Data, fs::perms::owner_all, Ec);
  return (Data / Beside.filename()).string();
}

// ---- Opening ----

void TVaspoDatabase::Init(const std::string& AFileName) {
  // An empty name would give SQLite's temporary database, lost at closing.
  const std::string FileName = AFileName.empty() ? DefaultFileName() : AFileName;
  CreatePrivateFile(FileName);
  FDB.Open(FileName);
  for (const TTableSchema& T : Schema) {
    FDB.ExecSQL(T.Create);
    for (const char* Column : T.Columns) FDB.AddField(T.Name, Column);
  }
}

void TVaspoDatabase::Close() { FDB.Close(); }

// ---- Practitioners ----

bool TVaspoDatabase::LoadPraticien(std::string_view IdNational, TVaspoPraticien& Praticien) {
  Praticien.Clear();
  return FDB.LoadRecord(Praticien, "FROM Praticiens WHERE IdNational = ?", {IdNational});
}

void TVaspoDatabase::SavePraticien(TVaspoPraticien& Praticien) {
  Praticien.upd = Vantrel::Now();
  if (Praticien.UID.empty()) Praticien.UID = NewGUIDText();
  if (Praticien.rowid != 0) {
    FDB.UpdateType(Praticien, "Praticiens");
  } else {
    Praticien.crt = Vantrel::Now();
    FDB.InsertType(Praticien, "Praticiens");
  }
}

bool TVaspoDatabase::GetPraticiens(std::string_view IdStruct, std::vector<TVaspoPraticien>& Praticiens) {
  // rowid is selected too: a practitioner picked from this list and saved
  // again must update its row, not add a copy.
  TSQLite3Stmt S;
  FDB.PrepareSQL("SELECT rowid, * FROM Praticiens WHERE idStruct = ? ORDER BY Nom, Prenom", S);
  S.SetParamAsString(1, IdStruct);
  size_t Before = Praticiens.size();
  while (S.Fetch()) S.ReadRecord(Praticiens.emplace_back());
  return Praticiens.size() > Before;
}

std::string TVaspoDatabase::GetPratList() {
  std::vector<TVaspoPraticien> All;
  TSQLite3Stmt S;
  FDB.PrepareSQL("SELECT * FROM Praticiens", S);
  while (S.Fetch()) S.ReadRecord(All.emplace_back());
  return Vantrel::JSON::buildJSON(All);
}

// ---- Patients ----

bool TVaspoDatabase::LoadPatient(std::string_view INSC, TVaspoPatient& Patient) {
  Patient.Clear();
  if (INSC.empty()) return false;
  if (!FDB.LoadRecord(Patient, "FROM Patients WHERE INSC = ? OR INSN = ?", {INSC, INSC})) return false;
  if (Patient.upd > Patient.LastDate && Patient.upd < Vantrel::DateOf(Vantrel::Now())) Patient.LastDate = Patient.upd;
  return true;
}

void TVaspoDatabase::SavePatient(TVaspoPatient& Patient) {
  Patient.upd = Vantrel::Now();
  if (Patient.rowid != 0) {
    FDB.UpdateType(Patient, "Patients");
  } else {
    Patient.crt = Vantrel::Now();
    FDB.InsertType(Patient, "Patients");
  }
}

// ---- Documents ----

void TVaspoDatabase::SaveDocument(TVaspoDocument& Document) {
  if (Document.rowid != 0)
    FDB.UpdateType(Document, "Documents");
  else
    FDB.InsertType(Document, "Documents");
}

void TVaspoDatabase::DeleteDocument(int64_t rowId) {
  TSQLite3Stmt S;
  FDB.PrepareSQL("UPDATE Documents SET etat = 1 WHERE rowid = ?", S);
  S.SetParamAsInt64(1, rowId);
  S.Fetch();
}

void TVaspoDatabase::DeleteDocumentByUniqueID(std::string_view UniqueID) {
  TSQLite3Stmt S;
  FDB.PrepareSQL("UPDATE Documents SET etat = 1 WHERE uniqueId = ?", S);
  S.SetParamAsString(1, UniqueID);
  S.Fetch();
}

void TVaspoDatabase::GetDocumentsLocaux(int64_t Praticien, int64_t Patient,
                                        std::vector<std::unique_ptr<TDocumentLocal>>& List) {
  // Columns are matched to fields by exact name: uniqueId, as the field is spelled.
  TSQLite3Stmt S;
  FDB.PrepareSQL(
      "SELECT rowid, titre, TypeDoc, uniqueId, date FROM Documents WHERE Praticien = ? AND Patient = ? "
      "AND etat = 0 ORDER BY date DESC, titre",
      S);
  S.SetParamAsInt64(1, Praticien);
  S.SetParamAsInt64(2, Patient);
  while (S.Fetch()) {
    auto Doc = std::make_unique<TDocumentLocal>();
    S.ReadRecord(Doc->Data);
    List.push_back(std::move(Doc));
  }
}

// ---- Vaccination notes ----

void TVaspoDatabase::ListVaccins(Vantrel::TStringList& List) {
  List.Clear();
  TSQLite3Stmt S;
  FDB.PrepareSQL(
      "SELECT uniqueId, Titre FROM Documents WHERE TypeDoc = '87273-9' AND Titre <> 'Note de vaccinations' ", S);
  while (S.Fetch()) {
    TVaspoVaccin Vaccin;
    if (!ReadVaccin(S.AsString(1), Vaccin)) continue;  // one unreadable note leaves the others listed
    // A lookup by identifier answers the first line of that name: later
    // notes under an identifier already listed are left out.
    std::string Line = S.AsString(0) + "=";
    auto Same = [&](const std::string& L) { return L.compare(0, Line.size(), Line) == 0; };
    if (std::none_of(List.Strings.begin(), List.Strings.end(), Same)) List.Add(Line + Vaccin.Caption());
  }
}

bool TVaspoDatabase::LoadVaccin(std::string_view UniqueID, TVaspoVaccin& Vaccin) {
  Vaccin = TVaspoVaccin();
  TSQLite3Stmt S;
  FDB.PrepareSQL("SELECT Titre FROM Documents WHERE UniqueID = ?", S);
  S.SetParamAsString(1, UniqueID);
  if (!S.Fetch()) return false;
  std::string Titre = S.AsString(0);
  if (!Titre.empty()) Vantrel::JSON::parseJSON(Titre, Vaccin);
  return true;
}

// ---- Statistics ----

void TVaspoDatabase::GetStatistiques(TDate FromDate, TDate ToDate, std::vector<std::unique_ptr<TStatistique>>& List) {
  TSQLite3Stmt S;
  FDB.PrepareSQL(
      "select pr.Nom, pr.Prenom, COUNT(pa.rowid) AS Count from Patients pa join Praticiens pr ON pr.rowid = "
      "pa.Praticien where pa.crt >= ? and pa.crt < ? group by pr.rowid order by pr.Nom, pr.Prenom",
      S);
  S.SetParamAsString(1, DayText(FromDate));
  S.SetParamAsString(2, DayText(ToDate + 1));
  while (S.Fetch()) {
    auto Item = std::make_unique<TStatistique>();
    Item->Praticien = NameOf(S, 0);
    Item->Count = S.AsInteger(2);
    List.push_back(std::move(Item));
  }
}

void TVaspoDatabase::GetStatistiques2(TDate FromDate, TDate ToDate,
                                      std::vector<std::unique_ptr<TStatistique2>>& List) {
  // pr.rowid tells two practitioners of the same name apart.
  TSQLite3Stmt S;
  FDB.PrepareSQL(
      "select pr.Nom, pr.Prenom, pa.Nom, pa.Prenom, pa.crt, pa.INSN, pr.rowid from Patients pa join Praticiens pr "
      "ON pr.rowid = pa.Praticien where pa.crt >= ? and pa.crt < ? "
      "order by pr.Nom, pr.Prenom, pr.rowid, pa.Nom, pa.Prenom",
      S);
  S.SetParamAsString(1, DayText(FromDate));
  S.SetParamAsString(2, DayText(ToDate + 1));
  bool First = true;
  int64_t Previous = 0;
  while (S.Fetch()) {
    auto Item = std::make_unique<TStatistique2>();
    int64_t Praticien = S.AsInt64(6);
    if (First || Praticien != Previous) Item->Praticien = NameOf(S, 0);
    First = false;
    Previous = Praticien;
    Item->Patient = NameOf(S, 2);
    Item->DateDMP = S.AsDateTime(4);
    Item->INSNIR = S.AsString(5);
    List.push_back(std::move(Item));
  }
}

bool TVaspoDatabase::GetStats(int64_t PratId, TVaspoStats& Stats) {
  Stats = TVaspoStats();
  TSQLite3Stmt S;
  FDB.PrepareSQL("SELECT min(crt), max(crt), count(rowid) FROM Patients WHERE Praticien = ?", S);
  S.SetParamAsInt64(1, PratId);
  if (!S.Fetch()) return false;
  Stats.First = S.AsDateTime(0);
  Stats.Last = S.AsDateTime(1);
  Stats.Count = S.AsInteger(2);
  return Stats.Count > 0;
}

// ---- Certificates ----

void TVaspoDatabase::AddCertificats(std::string_view Nom, std::string_view Auth, std::string_view Sign) {
  TSQLite3Stmt S;
  FDB.PrepareSQL("INSERT into Certificats (Nom, Auth, Sign, crt) VALUES(?,?,?,?)", S);
  S.SetParamAsString(1, Nom);
  S.SetParamAsBytes(2, Auth);
  S.SetParamAsBytes(3, Sign);
  S.SetParamAsDateTime(4, Vantrel::Now());
  S.Fetch();
}

std::vector<TCertificat> TVaspoDatabase::GetCertificats() {
  std::vector<TCertificat> Certs;
  TSQLite3Stmt S;
  FDB.PrepareSQL("SELECT Nom, Auth, Sign FROM Certificats ORDER BY Nom", S);
  while (S.Fetch()) Certs.push_back({S.AsString(0), S.AsBytes(1), S.AsBytes(2)});
  return Certs;
}

std::string TVaspoDatabase::NewGUIDText() { return Vantrel::GUIDToHexText(Vantrel::NewGUID(), false); }

}  // namespace Carvelin
