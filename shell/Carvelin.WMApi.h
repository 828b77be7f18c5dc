// The main window's host interface: host programs on the session bus drive
// the window (register, ask for a patient, open a record, file a document,
// show a message, open or delete the document of a "dmp://" link) and are
// told about the practitioner, the patient, the favourite categories and
// filing results. The window derives from TWMApiForm so that the interface
// lives in the same window (TDMPMain).
//
// Transport (Vantrel.WMCopyData, Talven.Messages): the window owns
// WMCopyDataServicePrefix + its process id and serves CopyData at
// WMCopyDataPath; the caller's unique bus name stands for its window. A
// command is answered inside the call; what needs the windows runs after
// it, from a queued WMApiSubmit. Messages to hosts never wait for them.
//
// User-interface thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Carvelin.Database.h"
#include "Vantrel.WMCopyData.h"

class QShowEvent;

namespace Carvelin {

class TDMPMain;
class TWMApiForm;

// A host's SEND_FILE kept while the card or the record it needs is read.
struct TFileToSend {
  QString From;      // the host; "" = none kept
  std::string Data;  // its request (JSON)
  int Status = 0;    // 0 waiting for the card, 1 waiting for the record
  bool Mineur = false;  // do not ask the minor's access mode for this request
  int Failures = 0;     // failed readings or openings at the current Status
  int LastError = 0;    // the client core's code of the last failure
};

// The category chosen in the document list, for NOTIFY_CATEGORY.
struct TCategorieChoice {
  int Tag = -1;
  std::string Hint;
};

// Hosts kept at most, and the longest text a command may carry (UTF-8 bytes).
inline constexpr size_t MaxHostWindows = 64;
inline constexpr qsizetype MaxCopyDataText = 1 << 20;
// Failed card readings or record openings before a kept SEND_FILE is answered.
inline constexpr int MaxFileToSendFailures = 3;
inline constexpr int ERR_DEMANDE_REMPLACEE = -8;
// The posted command message (WM_USER + 1).
inline constexpr uint32_t WM_API_SUBMIT = 0x0400 + 1;

// The object served at WMCopyDataPath.
class TWMApiBusObject : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Talven.Vaspo.Message")
 public:
  explicit TWMApiBusObject(TWMApiForm& Form) : QObject(nullptr), FForm(Form) {}

 public slots:
  int CopyData(uint Code, const QString& Text);

 signals:
  void HostMessage(const QString& Window, uint Code);

 private:
  TWMApiForm& FForm;
};

class TWMApiForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TWMApiForm(QWidget* Parent = nullptr);
  ~TWMApiForm() override;

  // Serves the bus object and announces the window (once; at the first
  // showing). Without a session bus the interface stays off.
  void CreateHandle();
  // Our unique bus name, "" while the interface is off.
  const QString& BusName() const { return FHandler.Sender; }

  // A host's command (CopyData): the answer.
  int WMCopyData(const QString& From, uint32_t Code, const QString& Text);
  // A command accepted with SUBMIT, run from the event loop.
  void WMApiSubmit(const QString& From, std::unique_ptr<TSubmitData> Data);
  // Registers a host (REGISTER): false when it cannot be kept.
  bool RegisterWindow(const QString& Window);
  void QueryPatient(const QString& Client, const std::string& Text);
  bool IsCurrentPatient(const TQueryPatient& Query);
  bool FindLocalPatient(TQueryPatient& Query, TVaspoPatient& Patient);
  void SendFile(const QString& Client, const std::string& Text);
  // A job ended with LastError: retries a kept SEND_FILE.
  void WMApiIdle(int LastError);
  bool CheckMineur();
  bool HasHostWindows() const { return !FWindows.empty(); }
  // Tells the hosts about the current patient when it changed.
  void NotifyPatient();
  void NotifyFavoris();
  // Tells the hosts the category chosen (nullptr: none).
  void OnCategorie(const TCategorieChoice* Categorie);

  void SendToWindow(const QString& Target, uint32_t Code, const QString& Text);
  void SendToAllWindows(uint32_t Code, const QString& Text);
  void SendToAllWindows(uint32_t Code, const std::string& Text);  // UTF-8

  // ---- State, in the order the form keeps it ----
  QString FLastDossier;      // the last patient JSON sent to the hosts
  TFileToSend FFileToSend;
  std::vector<QString> FWindows;  // registered hosts' unique names, in registration order

 public slots:
  // A HostMessage signal: a host's query gets our announcement, to it alone.
  void AppEventsMessage(const QString& Window, uint Code, const QDBusMessage& Message);

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  TDMPMain& Main();
  bool IsBusy();
  void Submit(const QString& From, uint32_t Code, const std::string& Text);
  void SendFileReply(const QString& Client, const TSendFileToDMPReply& Reply);
  // Answers the kept request's host with ErrNo/Error and forgets it.
  void DropFileToSend(int ErrNo, const std::string& Error);
  void BringToFront();

  Vantrel::TWMCopyDataHandler FHandler;
  std::unique_ptr<TWMApiBusObject> FBusObject;
  QString FServiceName;
};

}  // namespace Carvelin
