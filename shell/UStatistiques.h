// What the workstation did: the statistics window (records created per
// practitioner over a period, or the detailed list, exported as text), and
// the two messages to the maker's service (usage statistics after each
// activity choice, the practitioner list at start-up). Both messages run on
// threads of their own with short time-outs, fail silently, and are not
// sent at all without a maker.
#pragma once

#include <QDialog>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Carvelin.SQLIteDataBase.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.HTTPClient.h"

class QCheckBox;
class QComboBox;
class QPushButton;

namespace Carvelin {

class TDateTimePicker;
class THeaderControl;
class TListBox;

// ---- Messages to the maker ----

inline constexpr int MakerMessageTimeoutMs = 5000;

// The computer's name, "localhost" when it cannot be read.
std::string LocalHostName();
// LPS_OID, UID, VER, BLD, HOST, FIRST, LAST ("YYYYMMDDHHNN"), COUNT.
Vantrel::TFormFields StatisticsFields(const TVaspoPraticien& Praticien, const TVaspoStats& Stats,
                                      std::string_view Host);
// Posts Fields to Maker + "/carvelin_stats.php" on a thread of its own,
// through the environment's proxy, with TimeoutMs to connect and again to
// answer. The future is ready once the message went or gave up; without a
// maker nothing is sent and the future is empty.
std::future<void> PostStatistics(const std::string& Maker, Vantrel::TFormFields Fields,
                                 int TimeoutMs = MakerMessageTimeoutMs);

// The practitioner list (JSON) to Maker + "/dmp_prats.php" on a thread of
// its own, with the program's Basic credentials, as PostStatistics sends;
// no retry. Done as PostStatistics answers.
class TSendPraticiens {
 public:
  static constexpr std::string_view User = "Carvelin";
  static constexpr std::string_view Password = "7C1F0B92-4E5A-4B38-9D60-2F84C7E1A53B";
  TSendPraticiens(std::string Praticiens, const std::string& Maker, int TimeoutMs = MakerMessageTimeoutMs);
  std::future<void> Done;
};

// ---- The statistics window ----

enum TStatMode {
  smDateADate, smAujourdhui, smCetteSemaine, smSemaineDerniere, smCeMois, smMoisDernier, smCetteAnnee,
  smAnneeDerniere
};

// The period of Mode around Today; false for "De date à date".
bool StatPeriod(TStatMode Mode, Vantrel::TDateTime Today, Vantrel::TDateTime& Start, Vantrel::TDateTime& End);

using TStatList = std::vector<std::unique_ptr<TStatistique>>;
using TStatList2 = std::vector<std::unique_ptr<TStatistique2>>;

// The counts with a "TOTAL" row when there are two rows or more.
void AddTotal(TStatList& Stats);
// The text of "Copier" and "Exporter...", CR LF line ends.
std::string StatisticsText(Vantrel::TDateTime Start, Vantrel::TDateTime End, const TStatList& Counts);
std::string StatisticsText(Vantrel::TDateTime Start, Vantrel::TDateTime End, const TStatList2& Rows);

class TStatistiques : public QDialog {
  Q_OBJECT
 public:
  // Modal over the main window's database; Today for the periods.
  static void Execute(QWidget* Sender, TVaspoDatabase* DB);

  TStatistiques(QWidget* Owner, TVaspoDatabase* DB, Vantrel::TDateTime Today = Vantrel::Now());

  void cbModeChange();
  void LoadStats();
  std::string ExportText() const;
  void btCopyClick();
  void btExportClick();
  // A double-click on a row of the detailed list: opens its record through
  // OpenINS and closes the window, or says why it cannot.
  void ListBoxDblClick(int Index);

  // Set by the main window while its INS edit is shown (a session is
  // ready): puts the INS into the edit and opens the record. Empty: the
  // edit is hidden.
  std::function<void(const std::string& INS)> OpenINS;

  TDateTimePicker* dtDebut;
  TDateTimePicker* dtFin;
  QComboBox* cbMode;
  QCheckBox* cbDetail;
  QPushButton* btExport;
  QPushButton* btCopy;
  TListBox* ListBox;
  THeaderControl* Headers1;
  THeaderControl* Headers2;

  TStatList FStats;
  TStatList2 FStats2;

 private:
  void DrawRow(QPainter& Painter, int Index, QRect Rect, bool Selected);
  void DateChange();

  TVaspoDatabase* FDb;
  Vantrel::TDateTime FToday;
  bool FChanging = false;  // cbModeChange runs (the combo's tag)
};

}  // namespace Carvelin
