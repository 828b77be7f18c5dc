// The INS search of a patient who has no Vitale card: the identity
// teleservice is asked by traits on the dialog's own thread, the identity
// it answers is checked by the professional, the patient's record is looked
// up and, once confirmed, opened by the main window.
//
// The search uses the client core outside the window's job runner, so it
// runs only while it holds the window's busy flag (ISearchINSHost), which
// it gives back before the record is opened. Closing the dialog during a
// search waits for it; hand-overs to the user-interface thread are skipped
// from then on, and the wait keeps serving the queued calls.
#pragma once

#include <QDialog>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Talven.Carvelin.Types.h"
#include "USearchFrame.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.RTTI.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QThread;

namespace Vantrel {
class TComboEdit;
class TImageButton;
}  // namespace Vantrel

namespace Carvelin {

// What the INS search uses of the main window besides the search frames'
// services. User-interface thread.
class ISearchINSHost : public ISearchHost {
 public:
  // Takes the window's busy flag for work outside the job runner (host
  // requests answer "Busy" meanwhile); false, nothing taken, while it is set.
  virtual bool HoldBusy() = 0;
  virtual void ReleaseBusy() = 0;
  // The identity-check value of the answer (0: not confirmed).
  virtual int ControlINSi(const Talven::TINSiResponse& Answer) = 0;
  virtual void LoadDossier(std::shared_ptr<Talven::IDossierMedical> ADOS, const Talven::TINSiResponse* INSi) = 0;
  virtual bool AskSearchQuestion(const QString& Text) = 0;  // Yes/No
  // "Fermer la session": the card was changed.
  virtual void ibCloseCPXClick() = 0;
  virtual TImageList* SearchImages() = 0;
};

// One commune of the maker's birthplace service.
struct TCommune {
  std::string cp;    // postcode
  std::string nom;   // name
  std::string code;  // INSEE commune code
  QString Caption() const;
};
VANTREL_RECORD(TCommune, VANTREL_FIELD(cp), VANTREL_FIELD(nom), VANTREL_FIELD(code))

// The maker's birthplace service: the communes whose name starts with Name,
// that existed on BirthDate ("yyyymmdd", or "" for any day).
inline constexpr int CommuneTimeoutMs = 5000;
inline constexpr size_t MaxCommuneAnswer = 256 * 1024;
std::string CommuneURL(std::string_view Maker, std::string_view Name, std::string_view BirthDate);
// The answer as an array of communes; anything else gives none.
std::vector<TCommune> ReadCommunes(std::string_view Body);
// GET over the program's HTTPS client (certificate checks, proxy from the
// environment); no request without an https maker, none on any failure.
std::vector<TCommune> FetchCommunes(std::string_view Maker, std::string_view Name, std::string_view BirthDate);

// The birthplace code of a typed birthplace: the text between "(" and the
// next ")" (or the end), kept only when it is an INSEE commune code.
std::string BirthplaceCode(std::string_view Typed);

class TFrmSearchINS;

class TINSiThread {
 public:
  explicit TINSiThread(TFrmSearchINS& AForm);
  ~TINSiThread();
  void Start();
  // Asks the thread to skip its hand-overs, and waits for it while serving
  // the calls queued to this thread.
  void Terminate();
  bool Terminated() const { return FTerminated; }

 private:
  void Execute();
  TFrmSearchINS& Form;
  std::unique_ptr<QThread> FThread;
  std::atomic<bool> FTerminated = false;
};

class TFrmSearchINS : public QDialog {
  Q_OBJECT
 public:
  TFrmSearchINS(QWidget* Parent, ISearchINSHost& Host, std::shared_ptr<Talven::ICarvelin> ADMP,
                std::shared_ptr<Talven::IVaspoCNX> ACNX);
  ~TFrmSearchINS() override;

  // Runs the dialog modally; a record found is opened by the dialog itself.
  static void Execute(QWidget* Sender, ISearchINSHost& Host, std::shared_ptr<Talven::ICarvelin> DMP,
                      std::shared_ptr<Talven::IVaspoCNX> CNX);

  bool ReadFields();
  void btSearchClick();
  void edDateNaissanceExit();
  // The completion list's drop-down handler.
  void ComboDropDown();
  bool Searching() const { return Thread != nullptr; }

  Vantrel::TImageButton* ibHeader;
  QLineEdit* edNom;
  QLineEdit* edPrenom;
  QLineEdit* edDateNaissance;
  QComboBox* cbSexe;
  QLineEdit* edLieu;
  Vantrel::TComboEdit* Combo;
  TPaintBox* pbWait;
  QWidget* pnInput;
  QPushButton* btSearch;
  QPushButton* btCancel;

  std::string Nom, Prenom;
  char Sexe = 'M';
  Vantrel::TDateTime DNais = 0;
  std::string Lieu;
  std::vector<TCommune> FCommunes;

 private:
  friend class TINSiThread;
  // Worker thread (Self: the thread, as Thread is cleared before it is joined).
  void Search(const TINSiThread& Self);
  // User-interface thread, once the thread ended.
  void Completion();

  ISearchINSHost& FHost;
  std::unique_ptr<TINSiThread> Thread;
  int INSiErr = 0;
  const Talven::TINSiResponse* Patient = nullptr;  // owned by the session
  int DOSErr = 0;
  std::shared_ptr<Talven::IDossierMedical> DOS;
  int INSiStatus = 0;
  std::shared_ptr<Talven::ICarvelin> DMP;
  std::shared_ptr<Talven::IVaspoCNX> CNX;
  QString Msg;
  bool FHolding = false;  // the window's busy flag is ours
};

}  // namespace Carvelin
