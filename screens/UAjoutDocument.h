// The add-document form: one document to file in the open record (a file,
// several files filed one after another with the same metadata, or a free
// text), a new version of a listed document, or a host program's file.
//
// The form never calls the service from the user-interface thread: OK hands
// it to the main window (FOnClick), which runs Process as a job and, in the
// job's completion, records the filing, loads the next file of a batch
// (NextDocument) or closes the form. While a class-level entry shows it, the
// form is published in AjoutDocument. While Process runs, the form cannot be
// closed (the job reads its fields).
#pragma once

#include <QDialog>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Carvelin.Database.h"
#include "Talven.Carvelin.Types.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QComboBox;

namespace Vantrel {
class TGroupedCombo;
}  // namespace Vantrel

namespace Carvelin {

class TDateTimePicker;

class TAjoutDocument : public QDialog {
  Q_OBJECT
 public:
  using TNotifyEvent = std::function<void(QWidget* Form)>;

  explicit TAjoutDocument(QWidget* Parent);
  ~TAjoutDocument() override;

  // Class-level entries: the form made, shown modally and freed; true when
  // it closed with OK (something was filed).
  static bool Execute(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                      std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, int CategorieIndex,
                      const std::vector<std::string>& Names, bool DeleteSource);
  static bool Replace(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                      std::shared_ptr<Talven::IDocument> Document, std::shared_ptr<Talven::IDossierMedical> DOS,
                      int64_t PatientId);
  static bool ReplaceID(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                        std::shared_ptr<Talven::IDossierMedical> DOS, const std::string& DocID,
                        const std::string& UUID, const std::string& TypeDoc, int64_t PatientId);
  static bool SendFile2(QWidget* Sender, TNotifyEvent AOnClick, const QString& Patient,
                        std::shared_ptr<Talven::IDossierMedical> DOS, int64_t PatientId, const std::string& From,
                        const TSendFileToDMP& Snd, TSendFileToDMPReply& Rpl);

  void SetDossier(std::shared_ptr<Talven::IDossierMedical> ADossier);
  void SetDocument(std::shared_ptr<Talven::IDocument> ADocument);
  void SetDocIDs(const std::string& DocID, const std::string& UUID, const std::string& DocType);
  void SetTypeDocumentIndex(int Value);
  int GetTypeDocumentIndex() const;

  // Checks the fields and fills Prop: 0, or a check code below.
  int GetProps();
  // The message of a check code (LoadDocFailed: FError).
  QString CheckMessage(int Code) const;
  // The file into Data and Prop.Document; false (FError set) when it cannot be read.
  bool LoadDoc(const std::string& AFileName);
  // The next readable file of a batch; an unreadable one is reported and skipped.
  bool NextDocument();
  // Job work step: files Prop (a new version with Document).
  int Process();
  // A replacement whose original is gone: filed as a new document.
  void Deposer();

  // Check codes of GetProps.
  static constexpr int TitreVide = -1, TitreTropLong = -2, ContenuVide = -3, PatientIdVide = -4,
                       DatesIncoherentes = -5, TypeVide = -6, LoadDocFailed = -7;

  QLabel* lbPatient;
  QLineEdit* edTitle;
  QPlainTextEdit* mmTexte;
  Vantrel::TGroupedCombo* cbTypeDocument;
  TDateTimePicker* dpDocument;
  QComboBox* cbCadreExercice;
  QGroupBox* gbEvenement;
  TDateTimePicker* dpDebut;
  TDateTimePicker* dpFin;
  QLineEdit* edDocument;
  QPushButton* btBrowse;
  QGroupBox* gbConfidentialite;
  QCheckBox* cbToutLeMonde;
  QCheckBox* cbPraticiens;
  QCheckBox* cbPatient;
  QCheckBox* cbInvisibleRL;
  QPushButton* btOK;
  QPushButton* btCancel;

  std::shared_ptr<Talven::IDocument> Document;
  std::shared_ptr<Talven::IDossierMedical> Dossier;
  std::string Data;
  std::vector<std::string> Files;
  bool DeleteFiles = false;
  std::string MimeType;
  int Iter = 0;
  std::string FUniqueID, FError;
  TNotifyEvent FOnClick;
  int64_t PatientId = 0;
  Talven::TProprietesDocument Prop;

  void btOKClick();
  void btBrowseClick();

 protected:
  void done(int Result) override;

 private:
  std::shared_ptr<Talven::ICarvelin> Root() const;
  void VisibiliteClick(QCheckBox* Box, QCheckBox* Other);
  void ToutLeMondeClick();
  QWidget* CheckFocus(int Code) const;
  bool FSingleFile = false;
  std::atomic<bool> FWorking = false;
};

// The form a class-level entry is showing, else null.
inline QPointer<TAjoutDocument> AjoutDocument;

}  // namespace Carvelin
