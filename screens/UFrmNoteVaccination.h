// The vaccination note form: one vaccine given to the patient, chosen from
// the vaccine catalogue, filed in the open record as a vaccination note and
// kept in the local database with its details as JSON in the title.
//
// Catalogue sources, first that reads as a non-empty catalogue wins:
//   the maker's copy (Maker + "/vaccins/vaccins.json", 5 s, at creation)
//   -> cached as "vaccins.json" in the working folder unless it equals the
//      embedded copy (then the cache goes); written only once it reads
//   the cached "vaccins.json" (deleted when it does not read)
//   the embedded copy (Carvelin::Resources::VACCINS()).
#pragma once

#include <QDialog>
#include <QRect>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.Types.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.RTTI.h"

class QComboBox;
class QPainter;
class QLineEdit;
class QPushButton;

namespace Carvelin {

class TVirtualListBox;

struct TCodeATC {
  std::string code, name;
};
VANTREL_RECORD(TCodeATC, VANTREL_FIELD(code), VANTREL_FIELD(name))

// "atc" as an object {"code", "name"} or as a plain code text (no label).
struct TCodeATCReader : Vantrel::JSONSerializer<TCodeATCReader> {
  static bool Read(Vantrel::TJSONParser& Parser, void* Field);
  static bool Write(Vantrel::TJSONBuilder& Builder, const void* Field);
};

// One vaccine of the catalogue; other members ("id", "marketStatus",
// "ammType") are skipped.
struct TVaccin {
  std::string shortName, name, cis;
  std::vector<std::string> cip;
  TCodeATC atc;
  std::string company;
};
VANTREL_RECORD(TVaccin, VANTREL_FIELD(shortName), VANTREL_FIELD(name), VANTREL_FIELD(cis), VANTREL_FIELD(cip),
               VANTREL_FIELD(atc, Vantrel::JSONSerializer<TCodeATCReader>()), VANTREL_FIELD(company))

inline constexpr int VaccinsTimeoutMs = 5000;
inline constexpr std::string_view VaccinsFileName = "vaccins.json";

// False (Vaccins empty) unless Text reads as a non-empty array of vaccines.
bool ReadVaccins(std::string_view Text, std::vector<TVaccin>& Vaccins);
// The catalogue from the sources above; Downloaded is empty when the
// download failed. Writes or deletes Cache as the sources require.
std::vector<TVaccin> LoadVaccins(std::string_view Embedded, const std::filesystem::path& Cache,
                                 std::string_view Downloaded);
// The maker's catalogue text; empty without a maker or on any failure.
std::string FetchVaccins(std::string_view Maker);
// The indexes of the vaccines a search text lists: every one for a blank
// text, else those whose name or laboratory contains it (case ignored) or
// whose CIS code begins with it.
std::vector<int> FilterVaccins(const std::vector<TVaccin>& Vaccins, const QString& Search);

// Administration sites and routes: code, label filed, label shown.
struct TCodeVaccin {
  const char* Code;
  const char* Label;
  const char* Shown;
};
extern const TCodeVaccin SitesVaccin[6];
extern const TCodeVaccin RoutesVaccin[6];

// What the form uses of the main window. User-interface thread, except
// AddNoteVaccination (job thread).
class INoteVaccinationHost {
 public:
  virtual ~INoteVaccinationHost() = default;
  // Runs Proc as the window's job and Done with its result after it; false
  // (nothing started) while another job runs.
  virtual bool Submit(std::function<int()> Proc, std::function<void(int Error)> Done) = 0;
  virtual int AddNoteVaccination(const Talven::TProprietesDocument& Props, const Talven::TNoteVaccination& Note,
                                 std::string& UniqueId) = 0;
  virtual void ShowError(int Error) = 0;
  // Records the filed note in the local database.
  virtual void SaveDocument(const std::string& UniqueId, const Talven::TProprietesDocument& Props) = 0;
  // Inside Done: queries the record's documents again.
  virtual void ReloadDocuments() = 0;
};

class TFrmNoteVaccination : public QDialog {
  Q_OBJECT
 public:
  TFrmNoteVaccination(QWidget* Parent, INoteVaccinationHost& Host);
  ~TFrmNoteVaccination() override;

  // A new note for the patient of that local identifier; true when filed.
  static bool Execute(QWidget* Sender, INoteVaccinationHost& Host, int64_t PatientId);
  // A new version of the filed note UniqueID, pre-filled from Vaccin.
  static bool Replace(QWidget* Sender, INoteVaccinationHost& Host, const std::string& UniqueID, int64_t PatientId,
                      const TVaspoVaccin& Vaccin);
  // The form shown, or nullptr.
  static TFrmNoteVaccination* Shown();

  void SetPatientID(int64_t ID);
  void SetReplace(const std::string& ID);
  void SetVaccin(const TVaspoVaccin& Vaccin);
  void SetSite(std::string_view Code);
  void SetRoute(std::string_view Code);
  void SelectVaccin(std::string_view CIS);
  // Checks the fields (a message and the focus on the first wrong one) and
  // fills FProps and FNote.
  bool GetParams();
  int DoVaccin();  // job thread
  void SaveDocument();
  void btOKClick();
  void edSearchChange();
  int lbVaccinsDataFind(const QString& Name) const;
  // The chosen vaccine, or nullptr.
  const TVaccin* Selected() const;
  const std::vector<TVaccin>& Vaccins() const { return FVaccins; }
  const std::vector<int>& VaccinsList() const { return FVaccinsList; }
  const Talven::TProprietesDocument& Props() const { return FProps; }
  const Talven::TNoteVaccination& Note() const { return FNote; }
  const std::string& UniqueID() const { return FUniqueID; }

  QLineEdit* edDate;
  QLineEdit* edSearch;
  TVirtualListBox* lbVaccins;
  QComboBox* cbVaccination;
  QLineEdit* edLot;
  QLineEdit* edVaccinateur;
  QComboBox* cbRang;
  QComboBox* cbSite;
  QComboBox* cbRoute;
  QComboBox* cbCadreExercice;
  QPushButton* btOK;
  QPushButton* btCancel;

  // Refused while the note is being filed.
  void reject() override;

 private:
  void Refuse(const QString& Message, QWidget* Focus);
  void DrawVaccin(QPainter& Canvas, int Index, QRect Rect, bool Selected);
  TVaspoVaccin LocalCopy() const;

  INoteVaccinationHost& FHost;
  std::vector<TVaccin> FVaccins;
  std::vector<int> FVaccinsList;
  Vantrel::TDateTime FDate = 0;
  std::string FSDate, Lot, Vaccinateur, FDateNow, FVaccinID, FReplaceID, FPatientID, FUniqueID;
  Talven::TProprietesDocument FProps;
  Talven::TNoteVaccination FNote;
  bool FFiling = false;  // the job runs: the form stays
};

}  // namespace Carvelin
