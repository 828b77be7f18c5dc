// The patient's web access to the shared record: the channels (e-mail,
// mobile) that receive the one-time passwords, and for a new access or new
// codes the login and initial password, which the patient gets in a letter.
//
// The form only checks what was typed; the main window runs its work steps
// as jobs (job thread) while the form is shown, answers an existing access
// with the form's task dialog, then has the letter made (BuildPDF) and
// closes the form.
#pragma once

#include <QDialog>
#include <QImage>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.RTTI.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Carvelin {

// The work steps by the task dialog's result; 0 creates the access.
enum TAccesWebStep : int { asCreerAcces = 0, asNouvelAcces = 100, asMajAcces = 101, asRecreerAcces = 102 };

// What the letter says of the patient. Never logged: it holds the initial password.
struct TAcces {
  std::string name;
  std::string ins;
  std::string login;
  std::string pwd;
};
VANTREL_RECORD(TAcces, VANTREL_FIELD(name), VANTREL_FIELD(ins), VANTREL_FIELD(login), VANTREL_FIELD(pwd))

// The letter drawn here when the maker's service gives none: one A4 page in
// units of 1/96 inch. False when the file cannot be written.
bool WriteLocalLetter(const std::string& FileName, const TAcces& Acces, const QImage& Logo);
// The form's picture, also the letter's.
QImage AccesWebLogo();

// What the form works on, shared with the job that runs a step so that
// either may end first.
struct TAccesWebData {
  ~TAccesWebData() { ClearAcces(); }

  // Work steps (job thread); each answers the service's code.
  int CreerAccesPatient();
  int NouvelAcces();
  int MajAcces();
  int RecreerAcces();
  // The step of a task-dialog result (or asCreerAcces); a chosen variant
  // first forgets the access of the previous step.
  int Process(int Step);
  // Forgets the login and password, overwriting them.
  void ClearAcces();

  std::shared_ptr<Talven::IDossierMedical> DOS;
  std::string FEMail, FMobile;
  std::optional<Talven::TAccesPatient> FAcces;  // the access the service returned
  bool FExists = false;                         // the record had a web access
  bool FRenew = false;                          // new codes asked for
  std::string FOldMail, FOldPhone;              // the channels known at the start

 private:
  // Creates the access on Canal, or renews it without one; the access
  // returned is kept.
  int NewAcces(const std::string* Canal);
  // Adds the channel; one of that kind already there is changed instead.
  int AjoutCanal(const std::string& Canal);
};

class TAccesWeb : public QDialog {
  Q_OBJECT
 public:
  using TNotifyEvent = std::function<void(QWidget* Form)>;

  explicit TAccesWeb(QWidget* Parent);

  // Shows the form for DOS with the channels known; Auto presses the
  // access button as soon as the form runs.
  static void Execute(QWidget* Sender, std::shared_ptr<Talven::IDossierMedical> DOS, TNotifyEvent OnSubmit,
                      const std::string& eMail, const std::string& Phone, bool Auto);
  void SetDossier(std::shared_ptr<Talven::IDossierMedical> Dossier, const std::string& eMail,
                  const std::string& Phone);
  void btAccesClick();
  // The form's work steps for a job: Step as TAccesWebData::Process.
  std::function<int(int Step)> Steps() const;
  // "Ce patient possède déjà un accès Internet": 100, 101, 102, or
  // QDialog::Rejected when cancelled.
  int TaskDialog();
  // The letter of the access held, downloaded from Maker (HTTPS) or drawn
  // here, saved in the working folder and opened; the access is then
  // forgotten; a letter that cannot be saved is said. False when no access
  // is held (nothing to write).
  bool BuildPDF(const std::string& Maker);

  void reject() override;

  const std::shared_ptr<TAccesWebData> Data = std::make_shared<TAccesWebData>();
  TNotifyEvent FOnSubmit;

  QLabel* lbExplication;
  QLineEdit* edEMail;
  QLineEdit* edMobile;
  QCheckBox* cbRenew;
  QPushButton* btAcces;
  QPushButton* btAnnuler;
  QLabel* Image1;
};

}  // namespace Carvelin
