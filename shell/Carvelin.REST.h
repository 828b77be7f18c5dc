// The local REST server: started with "--port N", it lets a host program of
// this computer drive the session over HTTP (card holder and PIN, service
// searches, records, documents) and serves an embedded test page.
//
// Only loopback is listened on (127.0.0.1, and ::1 when the system has it),
// and a request is refused with 403 before anything else when its Host is
// not a loopback name, or when a browser marks it as coming from another
// site (Origin, Sec-Fetch-Site): no web page and no other machine can use
// it. No CORS header is ever sent; every reply says nosniff.
//
// Threads: each connection runs on one of the server's worker threads. A
// step that needs the windows, the open record or the busy flag is run on
// the user-interface thread by a blocking queued call into
// TDMPMain::WMRestRequest. A request whose step takes the busy flag holds
// it (keeping jobs and other requests out) until its completion notice;
// only that request sends one. Stopping serves the calls still waiting
// (they answer 503) until every worker has ended, so closing the window
// never deadlocks.
#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Carvelin.REST.Decode.h"
#include "Talven.Carvelin.Types.h"

namespace Carvelin {

class TDMPMain;
class TRESTServer;

// The window message of a step (WM_USER + 2); wParam the step, lParam the context.
inline constexpr int WM_REST_REQUEST = 0x400 + 2;

// Steps: what a route asks of the user-interface thread.
inline constexpr int REST_QUERY_INSI = 2;
inline constexpr int REST_DOCUMENTS = 3;
inline constexpr int REST_SERVEUR = 4;
inline constexpr int REST_IDENTITE = 5;
inline constexpr int REST_VITALE = 6;
inline constexpr int REST_PATIENTS = 7;
inline constexpr int REST_PATIENTS_DOCS = 8;
inline constexpr int REST_DOSSIER = 9;
inline constexpr int REST_PUT_DOCUMENT = 10;
inline constexpr int REST_CODE_PORTEUR = 11;
inline constexpr int REST_LOAD_PORTEUR = 12;
inline constexpr int REST_GET_ACTIVITES = 13;
inline constexpr int REST_DEL_DOCUMENT = 14;
inline constexpr int REST_DOC_FILTER = 15;
// Completion notices (sent without a context).
inline constexpr int REST_DONE = 0;
inline constexpr int REST_DONE_DOSSIER = 1;
inline constexpr int REST_DONE_DOCUMENTS = 2;

// Bounds of what a client may send: the body's size, the wait for each of
// its bytes, and the whole time to send a request's head (so that slow or
// silent connections cannot hold the workers).
inline constexpr size_t RESTMaxBody = 64 * 1024 * 1024;
inline constexpr time_t RESTTimeoutSeconds = 30;
inline constexpr int RESTHeadSeconds = 5;
inline constexpr size_t RESTWorkers = 8;

// One request, from its arrival to its reply.
struct THTTPContext {
  uint64_t idContext = 0;  // the connection's request number
  const httplib::Request* Request = nullptr;
  httplib::Response* Response = nullptr;
  std::vector<std::string> Path;  // the path split on '/', empty parts kept
  bool Busy = false;              // holds the session: must send the completion notice
  std::string INS;
  char INSType = 0;
  TPatientDocuments Documents;

  TRESTServer* Server = nullptr;
  TDMPMain* Main = nullptr;
  std::string Body;              // the raw body (read through the content reader)
  TQueryPatientINSi QueryINSi;   // read before step 2 checks it

  // Routes the request; whatever happens it ends with NotBusy(REST_DONE).
  void Process();
  // Runs Step on the user-interface thread: 0 or 2 takes the busy flag for
  // this request, a negative answer sets the 500 reply.
  int ProcessMessage(int Step);
  // Sends the completion notice Code when this request holds the busy flag.
  void NotBusy(int Code);

  // The handler of Step on the user-interface thread (WMRestRequest).
  int HandleStep(int Step);

  // Replies.
  void Reply(int Status, std::string Content, const std::string& ContentType);
  void ReplyJSON(std::string JSON);
  void ReplyError(const std::string& Text, int Status = 400);
  void DMPError(int Error);

 private:
  std::string Param(std::string_view Name) const;
  template <class T>
  void Decode(T& Record) const;
  // The INS segment into INS and INSType; false after the error reply.
  bool getINS(const std::string& Segment);
  // The record a document route works on; nullptr after the error reply.
  std::shared_ptr<Talven::IDossierMedical> TargetDossier();
  bool OwnDossier() const;
  // INSType, or for "?" the type the INS box gives a typed INS.
  char LookupType() const;

  void QueryIdentite();
  void ReplyIdentite();
  bool OpenCardSession();
  void ProcessCodePorteur();
  void ProcessCategories();
  void ProcessCadres();
  void ProcessServeur(bool Set);
  void ProcessPatients();
  void QueryVitale();
  int CheckINSi();
  void ProcessPatientINSi();
  void ProcessPatientsDocs();
  int QueryPatientDossier();
  void ProcessPatientDossier();
  void jsonDossier(Talven::IDossierMedical& Dossier);
  void ProcessPatientDocuments();
  void SetDocumentFilter();
  void ProcessGetDocument(bool Source);
  void ProcessPutDocument();
  void ProcessDelDocument();
  void GetLocalFile();
};

// True when the request may be served: its Host (when present) is
// 127.0.0.1, localhost or [::1], with Port or no port; its Origin (when
// present) is http:// one of those with Port; its Sec-Fetch-Site (when
// present) is same-origin or none.
bool IsLocalRequest(const httplib::Request& Request, int Port);

// True when the peer of the connected loopback socket Sock belongs to this
// process's user (found in /proc/net/tcp and tcp6 by its ports).
bool IsOwnUserPeer(int Sock);

class TRESTListener;

// The loopback listeners on one port and their worker threads. A
// connection from another user's program is closed before anything is
// read. A refused request, and one whose body was not read whole, ends its
// connection ("Connection: close"): no byte after it is read as a request.
class TRESTServer {
 public:
  explicit TRESTServer(TDMPMain& Main);
  ~TRESTServer();
  TRESTServer(const TRESTServer&) = delete;
  TRESTServer& operator=(const TRESTServer&) = delete;

  // Listens on 127.0.0.1:Port (and [::1]:Port when it can); false, with
  // nothing listening, when 127.0.0.1 cannot be bound.
  bool Start(int Port);
  // User-interface thread: refuses new steps, stops listening and serves
  // the calls of the requests still running until every worker has ended.
  void Stop();
  bool Closing() const { return FClosing; }
  uint64_t NextRequestId() { return ++FRequests; }
  int Port() const { return FPort; }

 private:
  std::unique_ptr<TRESTListener> NewServer();
  void OnRESTCommand(const httplib::Request& Req, httplib::Response& Res, const httplib::ContentReader* Reader);

  TDMPMain& FMain;
  int FPort = 0;
  std::atomic<bool> FClosing = false;
  std::atomic<uint64_t> FRequests = 0;
  std::atomic<int> FRunning = 0;  // listener threads not ended yet
  std::vector<std::unique_ptr<TRESTListener>> FServers;
  std::vector<std::thread> FThreads;
};

}  // namespace Carvelin
