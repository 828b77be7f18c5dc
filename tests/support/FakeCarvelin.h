// A scripted client core for the window tests: the root, a CPS card session,
// a Vitale card, one patient record with three documents (CDA, PDF, image)
// and the mobile Vitale answer, all from canned data, without a card, a
// reader or a network.
//
// Every operation first takes the next scripted answer of its name (FIFO),
// else answers from the canned data. An answer may wait, fail with a code
// and a detail, raise, or replace the operation's text. Service calls send
// the same progress texts as the real core, through the root's logger, in
// the calling thread. Every call is recorded with its arguments (a PIN as
// "****") and its thread.
//
// Objects share one state (TFakeCore), so any of them may outlive the root.
// Calls and scripts are guarded by a lock; a call may come from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Types.h"

namespace TestSupport {

struct TFakeAnswer {
  std::chrono::milliseconds Delay{0};
  int Code = Talven::ERR_OK;
  std::string Detail;  // the root's last-failure detail after this call
  std::string Data;    // replaces the operation's text (document source, server, INS)
  bool Raise = false;  // throws std::runtime_error(Detail) instead of answering
};

struct TFakeCall {
  std::string Name;  // the operation, as "SetCode" or "QueryDocuments"
  std::string Args;
  std::thread::id Thread;
};

// The canned data that the objects answer with.
struct TFakeData {
  Talven::TCarte Carte;
  Talven::TPorteur Porteur;
  std::vector<Talven::TActivite> Activites;  // two
  int PinTries = 3;
  std::string Pin = "1234";
  std::string Server = "dmp.test";
  Talven::TDossierInfo Dossier;
  Talven::TVoletAdministratif Volet;
  std::vector<Talven::TDocumentInfo> Documents;  // CDA, PDF, image
  std::vector<std::string> Contents;             // the documents' bytes, same order
  std::vector<Talven::TPraticien> Praticiens;
  std::vector<Talven::TBeneficiaire> Beneficiaires;  // two
  std::vector<Talven::TIdentiteAMO> IdentitesAMO;    // two
  Talven::TParametres Parametres;
  int SearchRows = 1;  // the rows of every patient and record search: 1, or 0 for none found

  static TFakeData Canned();
};

class TFakeCore {
 public:
  explicit TFakeCore(TFakeData AData) : Data(std::move(AData)) {}

  // Queues the next answer of Operation.
  void Script(std::string_view Operation, TFakeAnswer Answer);
  std::vector<TFakeCall> Calls() const;
  void ClearCalls();

  // Records the call, applies the next scripted answer; Service names the
  // remote service whose progress texts are sent ("" for a local call).
  // The result is the answer's code; Text gets its Data when it has one.
  int Call(std::string_view Name, std::string Args, std::string_view Service = {},
           std::string* Text = nullptr);
  void Progress(std::string_view Msg);
  // Ends a waiting answer at once with ERR_CONNEXION, and every later call.
  void Abort();

  TFakeData Data;  // read by the objects; change it before the calls
  Talven::ICarvelin* Root = nullptr;
  Talven::IVaspoLOG* Logger = nullptr;
  Talven::TLastError Error;
  mutable std::mutex Lock;

 private:
  std::map<std::string, std::deque<TFakeAnswer>, std::less<>> FScript;
  std::vector<TFakeCall> FCalls;
  std::condition_variable FAbortChanged;
  bool FAborted = false;
};

// Made with std::make_shared: the objects it hands out reach it weakly.
class TFakeCarvelin : public Talven::ICarvelin, public std::enable_shared_from_this<TFakeCarvelin> {
 public:
  explicit TFakeCarvelin(TFakeData Data = TFakeData::Canned());
  ~TFakeCarvelin() override;

  std::shared_ptr<TFakeCore> Core;

  void Script(std::string_view Operation, TFakeAnswer Answer) { Core->Script(Operation, std::move(Answer)); }
  std::vector<TFakeCall> Calls() const { return Core->Calls(); }

  int GetVersion() override { return 260; }
  void AbortCalls() override { Core->Abort(); }
  std::string_view GetErrMsg(int ErrNo) override;
  std::string GetErrDetail() override;
  void SetLogger(Talven::IVaspoLOG* Logger) override;
  int SetCryptoLib(std::string_view AFileName) override;
  int SetApiLecture(std::string_view AFileName) override;
  int GetSlotCount(int& Count) override;
  int GetCPS(int Slot, std::shared_ptr<Talven::IVaspoCPS>& ACPS) override;
  std::shared_ptr<Talven::IVaspoCPS> GetActiveCPS() override;
  int GetCSV(std::shared_ptr<Talven::IVaspoCSV>& CSV) override;
  int SetCSV(std::string_view XML, std::shared_ptr<Talven::IVaspoCSV>& CSV) override;
  void SetDMPUrl(std::string_view URL) override;
  int GetDMPUrl(Talven::TDMPUrl DMPUrl, std::string_view Param, std::string& URL) override;
  std::string GetDMPParams(std::string_view Mobile, std::string_view EMail, std::string_view Adresse,
                           std::string_view Complement, std::string_view CodePostal, std::string_view Ville,
                           std::string_view Pays) override;
  // The scripted answer (success by default), with a session for the canned holder on success.
  int LoadCertificat(std::string_view Data, std::string_view Password,
                     std::shared_ptr<Talven::IVaspoCRT>& CRT) override;
  // A software-certificate session for the canned holder, without structure
  // (the root's loader opens none).
  std::shared_ptr<Talven::IVaspoCRT> NewCertificateSession();
  const Talven::TParametres* GetParametres() override { return &Core->Data.Parametres; }
  int xmlGetDossiers(std::string_view XML, std::shared_ptr<Talven::IDossierList>& List) override;
  int xmlGetPatients(std::string_view XML, std::shared_ptr<Talven::IPatientList>& List) override;
  int xmlDossierExiste(std::string_view XML, std::shared_ptr<Talven::IDossierMedical>& Dossier) override;
  int xmlQueryDocuments(std::string_view XML, std::shared_ptr<Talven::IDocumentList>& List) override;
  int xopGetDocument(std::string_view XOP, std::shared_ptr<Talven::IDocument>& Doc) override;
  int xmlLoadDocument(std::string_view xml, std::shared_ptr<Talven::IDocument>& Doc) override;

 private:
  std::shared_ptr<Talven::IVaspoCPS> FCPS;  // the card in the reader (slot 0), once opened
};

}  // namespace TestSupport
