// The record's administrative panel: the patient's identity, address,
// telecoms and country of birth, and the legal representative. The panel is
// read when the form opens; its update path (a job of the main window)
// stays behind a hidden button, as the program shows the panel read-only.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Talven.Carvelin.Types.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace Carvelin {

// What the form uses of the main window. User-interface thread.
class IVoletAdministratifHost {
 public:
  virtual ~IVoletAdministratifHost() = default;
  // Takes the window's busy flag for a call to the client core outside the
  // job runner; false, nothing taken, while a job or a host request runs.
  virtual bool HoldBusy() = 0;
  virtual void ReleaseBusy() = 0;
  // Runs Proc as the window's job and Done with its result after it; false
  // (nothing started) while another job runs.
  virtual bool Submit(std::function<int()> Proc, std::function<void(int Error)> Done) = 0;
  virtual void ShowError(int Error) = 0;
};

// The panel as the form's controls hold it.
struct TVoletTexts {
  int Civilite = 0;  // 0 none, 1 "M", 2 "Mme", 3 "Mlle"
  std::string NomUsage, NomNaissance, Prenom, DateNaissance;
  char Sexe = ' ';  // 'M', 'F', 'U', or a blank when none is chosen
  std::string Adresse, Complement, CodePostal, Ville, Pays;
  std::string TelephoneFixe, TelephoneMobile, EMail, PaysNaissance;
  Talven::TRelation Relation = Talven::TRelation::Aucune;
  int CiviliteRL = 0;
  std::string NomRL, PrenomRL, AdresseRL, ComplementRL, CodePostalRL, VilleRL;
  std::string TelephoneFixeRL, TelephoneMobileRL, EMailRL;

  static TVoletTexts From(const Talven::TVoletAdministratif& Volet);
  // The representative's country stays empty: the form has no such field.
  Talven::TVoletAdministratif ToVolet() const;
  // The contact the web access uses: mobile + "|" + e-mail.
  std::string Telecom() const { return TelephoneMobile + "|" + EMail; }
};

class TVoletAdministratif : public QDialog {
  Q_OBJECT
 public:
  // Setup's answer when the client core was busy: the form does not open.
  static constexpr int SetupBusy = -1;

  TVoletAdministratif(QWidget* Parent, IVoletAdministratifHost& Host);

  // Opens the panel of DOS modally; true when it closed with OK, then
  // ContactChanged tells whether the update changed the mobile or e-mail.
  static bool Execute(QWidget* Sender, IVoletAdministratifHost& Host, std::shared_ptr<Talven::IDossierMedical> DOS,
                      bool& ContactChanged);

  // Loads the form; on failure shows it, sets the cancel result and answers false.
  bool SetDossier(std::shared_ptr<Talven::IDossierMedical> ADOS);
  // Reads the panel into the controls: 0, SetupBusy or the core's code.
  int Setup(std::shared_ptr<Talven::IDossierMedical> ADOS);
  // Volet := the controls' trimmed texts and codes.
  void GetVolet();
  void btUpdateDMPClick();

  std::shared_ptr<Talven::IDossierMedical> DOS;
  std::string OldTelecom;  // mobile + "|" + e-mail as loaded
  TVoletTexts Volet;
  bool ContactChanged = false;  // set by a successful update

  QTabWidget* PageControl;
  QLineEdit* edINS;
  QRadioButton *rbM, *rbMme, *rbMlle;
  QLineEdit *edNomUsage, *edNomNaissance, *edPrenom, *edDateNaissance;
  QRadioButton *rbMasculin, *rbFeminin, *rbIndetermine;
  QLineEdit *edAdresse, *edComplement, *edCodePostal, *edVille, *edPays;
  QLineEdit *edTelephoneFixe, *edTelephoneMobile, *edEMail, *edPaysNaissance;
  QRadioButton *rbMRL, *rbMmeRL, *rbMlleRL;
  QComboBox* cbLienRL;
  QLineEdit *edNomRL, *edPrenomRL, *edAdresseRL, *edComplementRL, *edCodePostalRL, *edVilleRL;
  QLineEdit *edTelephoneFixeRL, *edTelephoneMobileRL, *edEMailRL;
  QPushButton* btFermer;
  QPushButton* btUpdateDMP;

 private:
  struct TEditField {
    QLineEdit* Edit;
    std::string TVoletTexts::*Field;
    int MaxLength;
  };
  std::vector<TEditField> FEdits;
  IVoletAdministratifHost& FHost;

  void ShowVolet();
};

}  // namespace Carvelin
