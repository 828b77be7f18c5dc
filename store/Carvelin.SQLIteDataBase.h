// The workstation's own store: the practitioners who logged in on it, the
// patients they opened with their INS state, the documents filed from it
// (vaccination notes included) and the software certificates imported by
// the user, in one SQLite file.
//
// Tables are created when missing and every column of their CREATE
// statement is added to an older file that lacks it; columns are never
// removed and rows never deleted (a deleted document is marked etat = 1).
// Values from callers are bound as parameters, never spliced into SQL.
// Failures arrive as Vantrel::ESQLite3Error (or the JSON unit's errors);
// found / not found are the Boolean results.
//
// Used by the user-interface thread only. The object owns its connection
// and is move-only: other windows keep a pointer to the main window's one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Carvelin.Database.h"
#include "Vantrel.RTTI.h"
#include "Vantrel.SQLite.h"

namespace Carvelin {

struct TVaspoStats {
  TDateTimeValue First, Last;
  int32_t Count = 0;
};

struct TCertificat {
  std::string Nom;
  Vantrel::TBytes Auth, Sign;
};

// A vaccination note as stored in the titre of its Documents row.
struct TVaspoVaccin {
  std::string CIS, Nom;
  TDate Date;
  std::string Lot;
  int32_t Vaccination = 0, Rang = 0;
  std::string Site, Route, Vaccinateur, VaccinationId;

  // Nom + " [" + Lot + "] " + the date as dd/mm/yyyy (nothing for no date).
  std::string Caption() const;
};
VANTREL_RECORD(TVaspoVaccin, VANTREL_FIELD(CIS), VANTREL_FIELD(Nom), VANTREL_FIELD(Date), VANTREL_FIELD(Lot),
               VANTREL_FIELD(Vaccination), VANTREL_FIELD(Rang), VANTREL_FIELD(Site), VANTREL_FIELD(Route),
               VANTREL_FIELD(Vaccinateur), VANTREL_FIELD(VaccinationId))

struct TDocumentLocalData {
  int64_t rowid = 0;
  std::string uniqueId, titre, TypeDoc;
  TDateTimeValue date;
};
VANTREL_RECORD(TDocumentLocalData, VANTREL_FIELD(rowid), VANTREL_FIELD(uniqueId), VANTREL_FIELD(titre),
               VANTREL_FIELD(TypeDoc), VANTREL_FIELD(date))

class TDocumentLocal : public Vantrel::TObject {
 public:
  VANTREL_OBJECT;
  TDocumentLocalData Data;

  std::string toJSON() const;
  void fromJSON(std::string_view Text);
};
VANTREL_CLASS(TDocumentLocal, Vantrel::TObject, VANTREL_FIELD(Data))

// TypeDoc of a vaccination note, and the titre of the summary documents of
// that type (which are no notes).
inline constexpr std::string_view TypeDocVaccination = "87273-9";
inline constexpr std::string_view TitreNoteVaccinations = "Note de vaccinations";

// The note that a Documents row's titre holds; false when the text is no
// note (not JSON of a note, or a note without a vaccine name).
bool ReadVaccin(std::string_view Titre, TVaspoVaccin& Vaccin);

class TVaspoDatabase {
 public:
  // The executable's name with the extension ".db3", beside it; when its
  // folder is not writable, in the user's data folder ($XDG_DATA_HOME or
  // ~/.local/share, sub-folder Carvelin2, created private to the user).
  static std::string DefaultFileName();
  static std::string DefaultFileName(const std::string& ExeName);

  // Opens (a new file is created private to the user; an empty name stands
  // for DefaultFileName) and brings the tables up to date. A damaged file
  // raises at once (Vantrel::ESQLite3Error with a French text).
  void Init(const std::string& AFileName);
  void Close();

  bool LoadPraticien(std::string_view IdNational, TVaspoPraticien& Praticien);
  // Stamps upd (and crt and UID at the first save), then updates or inserts.
  void SavePraticien(TVaspoPraticien& Praticien);
  // The practitioners of a structure (with their rowid), by name; true when any.
  bool GetPraticiens(std::string_view IdStruct, std::vector<TVaspoPraticien>& Praticiens);
  // Every practitioner as a JSON array of TVaspoPraticien.
  std::string GetPratList();

  // By INS-C or INS; LastDate is raised to upd when upd is later and before today.
  bool LoadPatient(std::string_view INSC, TVaspoPatient& Patient);
  void SavePatient(TVaspoPatient& Patient);

  void SaveDocument(TVaspoDocument& Document);
  void DeleteDocument(int64_t rowId);
  void DeleteDocumentByUniqueID(std::string_view UniqueID);
  // Appends the live rows of one practitioner and patient, newest first, then by title.
  void GetDocumentsLocaux(int64_t Praticien, int64_t Patient, std::vector<std::unique_ptr<TDocumentLocal>>& List);

  // "uniqueId=Caption" lines for every readable note of every patient, one
  // per identifier (the first note found under it).
  void ListVaccins(Vantrel::TStringList& List);
  bool LoadVaccin(std::string_view UniqueID, TVaspoVaccin& Vaccin);

  // Patients created from FromDate to ToDate included, appended to List.
  void GetStatistiques(TDate FromDate, TDate ToDate, std::vector<std::unique_ptr<TStatistique>>& List);
  void GetStatistiques2(TDate FromDate, TDate ToDate, std::vector<std::unique_ptr<TStatistique2>>& List);
  bool GetStats(int64_t PratId, TVaspoStats& Stats);

  void AddCertificats(std::string_view Nom, std::string_view Auth, std::string_view Sign);
  std::vector<TCertificat> GetCertificats();

  // A new random GUID as 36 lower-case characters.
  static std::string NewGUIDText();

  Vantrel::TSQLite3& Connection() { return FDB; }

 private:
  Vantrel::TSQLite3 FDB;
};

}  // namespace Carvelin
