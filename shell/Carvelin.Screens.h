// The screens table: one entry per class-level entry point of a screen that
// the main window opens, named after it. The shell fills it at start-up with
// the screens of screens/ and summary/ (so those folders never include a
// shell header); tests put scripted answers in it. An entry not filled yet
// shows "Cet écran n'est pas encore disponible" and answers as cancelled.
//
// The first argument (Sender or Owner) is the window that opens the screen.
// User-interface thread only.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Carvelin.Database.h"
#include "Carvelin.SQLIteDataBase.h"
#include "Talven.Carvelin.Types.h"
#include "UCodePIN.h"
#include "UDocumentsLocaux.h"
#include "UFrmSearchiNS.h"
#include "USearchFrame.h"
#include "Vantrel.IniFiles.h"

namespace Carvelin {

// The result of a modal form that was cancelled.
inline constexpr int mrCancel = 2;

// A screen's call back into the main window (for example the add-document
// form's "file it" request); Form is the screen's own window.
using TScreenCallback = std::function<void(QWidget* Form)>;

struct TScreens {
  // PIN, activity and beneficiary dialogs
  // Ini holds the remembered PINs (section Secret).
  std::function<bool(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini, TCodePIN& Pin)> GetCodePIN;
  std::function<int(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini)> StructuresSelect;  // -1
  std::function<int(QWidget* Sender, Talven::IVaspoCSV& CSV)> BeneficiairesSelect;      // -1 cancelled

  // Statistics and About box
  std::function<void(QWidget* Sender, TVaspoDatabase& DB)> StatistiquesExecute;
  std::function<void(QWidget* Sender)> AProposExecute;

  // Patient and record search frames, made on first use and kept (nullptr:
  // none); Done hides a frame and drops its result.
  std::function<QWidget*(QWidget* Owner, ISearchHost& Host)> FramePatientsCreate;
  std::function<QWidget*(QWidget* Owner, ISearchHost& Host)> FrameDossiersCreate;
  std::function<void(QWidget* Frame)> SearchFrameDone;

  // Add-document form
  std::function<bool(QWidget* Sender, TScreenCallback OnClick, const QString& Patient,
                     std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, int CategorieIndex,
                     const std::vector<std::string>& Names, bool DeleteSource)>
      AjoutDocumentExecute;
  // A listed document's new version; DOS, its record, files it as a new
  // document once the original is found gone.
  std::function<bool(QWidget* Sender, TScreenCallback OnClick, const QString& Patient,
                     std::shared_ptr<Talven::IDocument> Document, std::shared_ptr<Talven::IDossierMedical> DOS,
                     int64_t PatientId)>
      Replace;
  std::function<bool(QWidget* Sender, TScreenCallback OnClick, const QString& Patient,
                     std::shared_ptr<Talven::IDossierMedical> DOS, const std::string& DocID,
                     const std::string& UUID, const std::string& TypeDoc, int64_t PatientId)>
      ReplaceID;
  // A host program's file: From names the host, Snd is its request, Rpl the reply.
  std::function<bool(QWidget* Sender, TScreenCallback OnClick, const QString& Patient,
                     std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, const std::string& From,
                     const TSendFileToDMP& Snd, TSendFileToDMPReply& Rpl)>
      SendFile2;
  std::function<int()> Process;          // the shown form's filing step (job thread)
  std::function<bool()> NextDocument;    // the shown form's next file; false after the last
  std::function<bool()> AjoutDocumentShown;
  std::function<void()> AjoutDocumentDeposer;  // the shown form drops its replacement: a plain deposit
  std::function<void()> AjoutDocumentClose;    // the shown form closes with OK: all filed
  // The shown form's last filing: what was filed (a replacement names the
  // document it replaced) and, in UniqueID, the new document's identifier;
  // nullptr when nothing was filed.
  std::function<const Talven::TProprietesDocument*(std::string& UniqueID)> AjoutDocumentFiled;

  // Local documents frame, made on first use and kept; Load reloads it
  // with a practitioner's rows for a patient and his favourites.
  std::function<QWidget*(QWidget* Owner, IDocumentsLocauxHost& Host)> DocumentsLocauxCreate;
  std::function<void(QWidget* Frame, TVaspoDatabase& Database, int64_t Praticien, int64_t Patient,
                     const std::string& Favoris)>
      DocumentsLocauxLoad;
  std::function<int(QWidget* Frame)> DocumentsLocauxCategorie;  // the chosen category, -1 all
  std::function<std::string(QWidget* Frame)> DocumentsLocauxFavoris;

  // Vaccination note form
  std::function<bool(QWidget* Sender, int64_t PatientId)> NoteVaccinationExecute;
  std::function<bool(QWidget* Sender, const std::string& UniqueID, int64_t PatientId, const TVaspoVaccin& Vaccin)>
      NoteVaccinationReplace;

  // Record dialogs
  // The administrative panel: true when it closed with OK, then
  // ContactChanged tells whether its update changed the mobile or e-mail.
  std::function<bool(QWidget* Sender, std::shared_ptr<Talven::ICarvelin> DMP,
                     std::shared_ptr<Talven::IDossierMedical> DOS, bool& ContactChanged)>
      VoletAdministratifExecute;
  std::function<void(QWidget* Sender, std::span<const Talven::TPraticien> Praticiens)> ListePraticiensExecute;
  std::function<bool(QWidget* Sender, const Talven::TPatientInfo& Patient, std::string& Motif)> ForcerDMPExecute;
  std::function<bool(QWidget* Sender, Talven::IDossierMedical& Dossier)> AccesMineurExecute;
  std::function<bool(QWidget* Sender, Talven::IDossierMedical& DOS, std::string& Motif)> FermerDMPExecute;

  // Patient web access
  std::function<void(QWidget* Sender, std::shared_ptr<Talven::IDossierMedical> DOS, TScreenCallback OnSubmit,
                     const std::string& eMail, const std::string& Phone, bool Auto)>
      AccesWebExecute;
  // The shown form's work steps for a job (any thread): 0 creates the
  // access, 100, 101, 102 the task dialog's variants.
  std::function<std::function<int(int Step)>(QWidget* Form)> AccesWebSteps;
  // The form's "access exists" choice: 100, 101, 102, or mrCancel.
  std::function<int(QWidget* Form)> AccesWebTaskDialog;
  // The letter of the access the form holds, saved and opened; false when it holds none.
  std::function<bool(QWidget* Form)> AccesWebBuildPDF;

  // INS search and qualification; Host lends the search the window's busy
  // flag and opens the record found.
  std::function<void(QWidget* Sender, ISearchINSHost& Host, std::shared_ptr<Talven::ICarvelin> DMP,
                     std::shared_ptr<Talven::IVaspoCNX> CNX)>
      SearchINSExecute;
  std::function<int(QWidget* Sender, const Talven::TINSiResponse& INSi)> QualificationINSiExecute;       // -1
  std::function<int(QWidget* Sender, const Talven::TIdentiteAMO& Identite)> QualificationINSiExecuteAPCV;  // 0

  // Mobile Vitale application: the modal result (1 read, 3 card changed, else mrCancel)
  // OnAppVitale receives the service's answer when the application was read.
  std::function<int(QWidget* Sender, std::function<void(std::shared_ptr<Talven::IAppVitale>)> OnAppVitale)>
      AppVitaleExecute;
  std::function<int(QWidget* Sender, Talven::IAppVitale& APCV)> BeneficiairesAMOSelect;  // -1 cancelled

  // Certificate dialogs
  std::function<bool(QWidget* Sender, TVaspoDatabase& Database)> CertificatsExecute;
  // Asks the certificate's password and opens its session through the root into CRT.
  std::function<bool(QWidget* Sender, Talven::ICarvelin& DMP, const TCertificat& Certificat,
                     std::shared_ptr<Talven::IVaspoCRT>& CRT)>
      LoadCertificatExecute;
  std::function<bool(QWidget* Sender, Talven::IVaspoCRT& CRT, const Talven::TActivite& Act,
                     TVaspoPraticien& Praticien)>
      ChoixPraticienExecute;

  // Document window, summary editor, Covid-19 summary
  std::function<void(QWidget* Owner, std::shared_ptr<Talven::IDocument> DOC, const QString& Patient,
                     int64_t PatientId, const std::string& INS)>
      DocumentShow;
  std::function<void(QWidget* Sender, std::shared_ptr<Talven::IDossierMedical> DOS, const QString& Patient,
                     int64_t PatientId)>
      SyntheseExecute;
  std::function<void(QWidget* Sender, std::shared_ptr<Talven::IDossierMedical> DOS, const QString& Patient,
                     int64_t PatientId)>
      Covid19Execute;

  // Every entry not built yet: the information box, then the cancelled answer.
  static TScreens Unavailable();
  // The program's table: the screens built so far, the rest Unavailable.
  static TScreens Program();
};

}  // namespace Carvelin
