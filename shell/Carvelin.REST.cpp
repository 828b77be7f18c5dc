#include "Carvelin.REST.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <zip.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QStatusBar>
#include <QThread>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Resources.h"
#include "DMP2Main.h"
#include "FLogMessage.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Types.RTTI.h"
#include "Talven.Carvelin.Utils.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Carvelin {

using namespace Talven;

// ---- Records written ----

struct TJSONError {
  std::string err;
};
VANTREL_RECORD(TJSONError, VANTREL_FIELD(err))

struct TQueryIdentiteResponse {
  const TCarte* Carte = nullptr;
  const TPorteur* Porteur = nullptr;
  const TActivite* Activite = nullptr;
};
VANTREL_RECORD(TQueryIdentiteResponse, VANTREL_FIELD(Carte), VANTREL_FIELD(Porteur), VANTREL_FIELD(Activite))

struct TJSONResponse {
  const TINSiResponse* INSi = nullptr;
  bool Qualified = false;
};
VANTREL_RECORD(TJSONResponse, VANTREL_FIELD(INSi), VANTREL_FIELD(Qualified))

struct TCodeCat {
  std::string Code, Name;
};
VANTREL_RECORD(TCodeCat, VANTREL_FIELD(Code), VANTREL_FIELD(Name))

struct TSetServer {
  std::string server;
};
VANTREL_RECORD(TSetServer, VANTREL_FIELD(server))

struct TResponse {
  std::string UniqueID;
};
VANTREL_RECORD(TResponse, VANTREL_FIELD(UniqueID))

struct TDeletedResponse {
  std::string UniqueID;
  std::string status = "Deleted";
};
VANTREL_RECORD(TDeletedResponse, VANTREL_FIELD(UniqueID), VANTREL_FIELD(status))

// The training server asked by POST /serveur.
struct TQueryServeur {
  std::string Number;
};
VANTREL_RECORD(TQueryServeur, VANTREL_FIELD(Number))

// The access a minor's record is opened with: "N" not secret, "S" secret.
struct TQueryMineur {
  std::string Mineur;
};
VANTREL_RECORD(TQueryMineur, VANTREL_FIELD(Mineur))

namespace {

constexpr const char* JSONType = "application/json; charset=utf-8";
constexpr const char* InvalidRequest = "Invalide request";

template <class T>
std::string ToJSON(const T& Value) {
  return Vantrel::JSON::buildJSON(Value);
}

// Runs F on the user-interface thread and waits for it (connection
// thread). No box is shown meanwhile: the text of an error box is answered.
// What F raises is raised again here, to be answered to this request: it
// must not leave the window's event loop.
template <class F>
std::string OnUIThread(TDMPMain& Main, F&& Work) {
  std::string Error;
  std::exception_ptr Raised;
  QMetaObject::invokeMethod(
      &Main,
      [&] {
        TBoxCatcher Boxes;
        try {
          Work();
          Error = Boxes.Error();
        } catch (...) {
          Raised = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (Raised) std::rethrow_exception(Raised);
  return Error;
}

bool IsRouteWord(std::string_view W) {
  return W == "identite" || W == "serveur" || W == "categories" || W == "cadres" || W == "patients";
}

// Host names of this computer, as a browser writes them in Host and Origin.
bool IsLoopbackHost(std::string_view Host, int Port, bool PortRequired) {
  for (std::string_view Name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (Host.size() < Name.size() || !Vantrel::SameText(Host.substr(0, Name.size()), Name)) continue;
    const std::string_view Rest = Host.substr(Name.size());
    if (Rest.empty()) return !PortRequired;
    if (Rest == ":" + std::to_string(Port)) return true;
  }
  return false;
}

// A file of the embedded test page; false when the archive has no entry of
// exactly that name.
bool ReadSiteFile(const std::string& Name, std::string& Content) {
  const std::string_view Archive = Resources::SITE();
  zip_error_t Error;
  zip_error_init(&Error);
  zip_source_t* Source = zip_source_buffer_create(Archive.data(), Archive.size(), 0, &Error);
  zip_t* Zip = Source ? zip_open_from_source(Source, ZIP_RDONLY, &Error) : nullptr;
  zip_error_fini(&Error);
  if (!Zip) {
    if (Source) zip_source_free(Source);
    return false;
  }
  bool Found = false;
  zip_stat_t Stat;
  const zip_int64_t Index = zip_name_locate(Zip, Name.c_str(), ZIP_FL_ENC_RAW);
  if (Index >= 0 && zip_stat_index(Zip, zip_uint64_t(Index), 0, &Stat) == 0 && (Stat.valid & ZIP_STAT_SIZE)) {
    if (zip_file_t* File = zip_fopen_index(Zip, zip_uint64_t(Index), 0)) {
      Content.assign(size_t(Stat.size), '\0');
      Found = zip_fread(File, Content.data(), Content.size()) == zip_int64_t(Content.size());
      zip_fclose(File);
    }
  }
  zip_discard(Zip);
  return Found;
}

std::string SiteFileType(std::string_view Name) {
  if (Name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (Name.ends_with(".css")) return "text/css; charset=utf-8";
  return "text/html; charset=utf-8";
}

template <class T, class List>
std::vector<T> Items(List& L, int Count) {
  std::vector<T> Result;
  for (int I = 0; I < Count; ++I)
    if (const T* Item = L.GetItem(I)) Result.push_back(*Item);
  return Result;
}

// httplib parses a multipart body itself and hands no raw bytes to the
// content reader; our own decoder reads forms, so the type is moved aside
// before the body is read.
constexpr const char* MultipartTypeHeader = "X-Carvelin-Form-Type";

void HideMultipartType(httplib::Request& Req) {
  Req.headers.erase(MultipartTypeHeader);
  const auto It = Req.headers.find("Content-Type");
  if (It == Req.headers.end() || !Req.is_multipart_form_data()) return;
  const std::string Type = It->second;
  Req.headers.erase(It);
  Req.headers.emplace(MultipartTypeHeader, Type);
}

std::string RequestContentType(const httplib::Request& Req) {
  return Req.has_header(MultipartTypeHeader) ? Req.get_header_value(MultipartTypeHeader)
                                             : Req.get_header_value("Content-Type");
}

}  // namespace

bool IsLocalRequest(const httplib::Request& Request, int Port) {
  if (Request.has_header("Host") && !IsLoopbackHost(Request.get_header_value("Host"), Port, false)) return false;
  if (Request.has_header("Origin")) {
    const std::string Origin = Request.get_header_value("Origin");
    if (!Origin.starts_with("http://") || !IsLoopbackHost(std::string_view(Origin).substr(7), Port, true))
      return false;
  }
  if (Request.has_header("Sec-Fetch-Site")) {
    const std::string Site = Request.get_header_value("Sec-Fetch-Site");
    if (Site != "same-origin" && Site != "none") return false;
  }
  return true;
}

// ---- Replies ----

void THTTPContext::Reply(int Status, std::string Content, const std::string& ContentType) {
  Response->status = Status;
  Response->reason.clear();
  Response->set_content(std::move(Content), ContentType.c_str());
}

void THTTPContext::ReplyJSON(std::string JSON) { Reply(200, std::move(JSON), JSONType); }

void THTTPContext::ReplyError(const std::string& Text, int Status) { Reply(Status, ToJSON(TJSONError{Text}), JSONType); }

void THTTPContext::DMPError(int Error) {
  ICarvelin& DMP = *Main->DMP;
  if (Error == ERR_REQUETE_INVALIDE || Error == 0x7000) {
    if (std::string Detail = DMP.GetErrDetail(); !Detail.empty()) return ReplyError(Detail);
  }
  ReplyError(std::string(DMP.GetErrMsg(Error)));
}

// ---- Request parameters ----

template <class T>
void THTTPContext::Decode(T& Record) const {
  const size_t Mark = Request->target.find('?');
  const std::string_view Query =
      Mark == std::string::npos ? std::string_view() : std::string_view(Request->target).substr(Mark + 1);
  DecodeParams(Query, RequestContentType(*Request), Body, Record);
}

// ---- Routing ----

void THTTPContext::Process() {
  Path = SplitPath(Request->path);
  Busy = false;
  struct TEnd {
    THTTPContext& C;
    ~TEnd() { C.NotBusy(REST_DONE); }
  } End{*this};
  const std::string& M = Request->method;
  const size_t N = Path.size();
  auto W = [&](size_t I) -> std::string_view { return I < N ? std::string_view(Path[I]) : std::string_view(); };

  if (M == "GET" || M == "HEAD") {
    if (N < 2 || !IsRouteWord(W(1))) return GetLocalFile();
    if (W(1) == "identite" && N == 2) {
      ProcessMessage(REST_IDENTITE);
    } else if (W(1) == "categories" && N == 2) {
      ProcessCategories();
    } else if (W(1) == "cadres" && N == 2) {
      ProcessCadres();
    } else if (W(1) == "serveur" && N == 2) {
      if (ProcessMessage(REST_SERVEUR) == 0) ProcessServeur(false);
    } else if (W(1) == "patients" && N == 2) {
      if (ProcessMessage(REST_PATIENTS) == 0) ProcessPatients();
    } else if (W(1) == "patients" && N == 3 && W(2) == "vitale") {
      ProcessMessage(REST_VITALE);
    } else if (W(1) == "patients" && N == 3 && W(2) == "insi") {
      Decode(QueryINSi);
      if (ProcessMessage(REST_QUERY_INSI) == 0) ProcessPatientINSi();
    } else if (W(1) == "patients" && N == 3 && W(2) == "documents") {
      if (ProcessMessage(REST_PATIENTS_DOCS) == 0) ProcessPatientsDocs();
    } else if (W(1) == "patients" && N == 3) {
      if (getINS(Path[2]) && ProcessMessage(REST_DOSSIER) == 0) ProcessPatientDossier();
    } else if (W(1) == "patients" && W(3) == "documents" && (N == 4 || N == 5 || (N == 6 && W(5) == "xml"))) {
      if (getINS(Path[2]) && ProcessMessage(REST_DOCUMENTS) == 0) {
        if (N == 4)
          ProcessPatientDocuments();
        else
          ProcessGetDocument(N == 6);
      }
    } else {
      ReplyError(InvalidRequest);
    }
  } else if (M == "POST" && W(1) == "identite" && N >= 3) {
    if (ProcessMessage(REST_CODE_PORTEUR) == 2) ProcessCodePorteur();
  } else if (M == "POST" && W(1) == "serveur" && N == 2) {
    if (ProcessMessage(REST_SERVEUR) == 0) ProcessServeur(true);
  } else if ((M == "PUT" || M == "DELETE") && N == 5 && W(1) == "patients" && W(2) != "current" &&
             W(3) == "documents") {
    const bool Put = M == "PUT";
    if (getINS(Path[2]) && ProcessMessage(Put ? REST_PUT_DOCUMENT : REST_DEL_DOCUMENT) == 0) {
      if (Put)
        ProcessPutDocument();
      else
        ProcessDelDocument();
    }
  } else {
    ReplyError(InvalidRequest);
  }
}

int THTTPContext::ProcessMessage(int Step) {
  int Answer = -1;
  if (Server->Closing()) {
    ReplyError("Arrêt en cours", 503);
    return 1;
  }
  if (const std::string Error = OnUIThread(*Main, [&] { Answer = Main->WMRestRequest(Step, this); }); !Error.empty())
    ReplyError(Error);
  if (Answer == 0 || Answer == 2) Busy = true;
  if (Answer < 0) {
    Response->status = 500;
    Response->reason = "Message not processed";
    Response->body.clear();
  }
  return Answer;
}

void THTTPContext::NotBusy(int Code) {
  if (!Busy) return;
  Busy = false;
  if (const std::string Error = OnUIThread(*Main, [&] { Main->WMRestRequest(Code, nullptr); }); !Error.empty())
    ReplyError(Error);
}

int THTTPContext::HandleStep(int Step) {
  switch (Step) {
    case REST_QUERY_INSI:
      return CheckINSi();
    case REST_DOCUMENTS:
    case REST_SERVEUR:
    case REST_PATIENTS:
    case REST_PATIENTS_DOCS:
    case REST_PUT_DOCUMENT:
    case REST_DEL_DOCUMENT:
      return 0;
    case REST_IDENTITE:
      QueryIdentite();
      return 1;
    case REST_VITALE:
      QueryVitale();
      return 1;
    case REST_DOSSIER:
      return QueryPatientDossier();
    case REST_CODE_PORTEUR:
      return 2;
    case REST_LOAD_PORTEUR:
      Main->LoadPorteur();
      return 1;
    case REST_GET_ACTIVITES:
      Main->GetActivites();
      return 1;
    case REST_DOC_FILTER:
      SetDocumentFilter();
      return -1;
    default:
      return -1;
  }
}

// ---- INS and records ----

bool THTTPContext::getINS(const std::string& Segment) {
  if (Segment == "current") {
    bool Open = false;
    OnUIThread(*Main, [&] {
      if (!Main->DOS || !Main->Info) return;
      Open = true;
      INS = Main->Info->Patient.INSi.Code;
      INSType = Main->Info->Patient.INSi.Type;
    });
    if (!Open) ReplyError("Aucun dossier actif");
    return Open;
  }
  if (ParseINS(Segment, INS, INSType)) return true;
  ReplyError("INS Invalide");
  return false;
}

// A 15-character INS names no type ('?'): the record is looked up as the
// INS box looks up a typed INS.
char THTTPContext::LookupType() const {
  if (INSType != '?') return INSType;
  std::string Bare = INS;
  return Main->TypedINSType(Bare);
}

// The window's record fields are left alone by the user-interface thread
// while this request holds the busy flag.
bool THTTPContext::OwnDossier() const { return Main->DOS && Main->Info && Main->Info->Patient.INSi.Code == INS; }

std::shared_ptr<IDossierMedical> THTTPContext::TargetDossier() {
  if (OwnDossier()) return Main->DOS;
  std::shared_ptr<IDossierMedical> Dossier;
  if (const int Error = Main->CNX->DossierExiste(INS, LookupType(), Dossier); Error != ERR_OK) {
    DMPError(Error);
    return nullptr;
  }
  return Dossier;
}

// ---- Routes ----

void THTTPContext::ReplyIdentite() {
  IVaspoCNX& CNX = *Main->CNX;
  ReplyJSON(ToJSON(TQueryIdentiteResponse{CNX.GetCarte(), CNX.GetPorteur(), CNX.CurrentActivite()}));
}

// The card's session made the window's; false, answered, when the card
// cannot be read.
bool THTTPContext::OpenCardSession() {
  std::shared_ptr<IVaspoCPS> CPS;
  if (Main->DMP->GetCPS(0, CPS) != ERR_OK || !CPS) {
    ReplyError("L'utilisateur n'est pas authentifié");
    return false;
  }
  Main->CPx = CPS;
  Main->CNX = CPS;
  return true;
}

// User-interface thread. During a job the card session is not opened here:
// the job thread may be using the core.
void THTTPContext::QueryIdentite() {
  if (!Main->CNX) {
    if (Carvelin::Busy()) return ReplyError("Busy");
    if (!OpenCardSession()) return;
  }
  ReplyIdentite();
}

void THTTPContext::ProcessCodePorteur() {
  TQueryCodePorteur Query;
  // Every copy of the PIN this request holds: the decoded code, the body,
  // the request target and httplib's parameters read from it.
  struct TWipe {
    TQueryCodePorteur& Q;
    std::string& B;
    httplib::Request& R;
    ~TWipe() {
      Vantrel::WipeBytes(Q.Code);
      Vantrel::WipeBytes(B);
      Vantrel::WipeBytes(R.target);
      for (auto& Param : R.params) Vantrel::WipeBytes(Param.second);
    }
  } Wipe{Query, Body, const_cast<httplib::Request&>(*Request)};
  Decode(Query);
  Query.rpps.clear();
  for (size_t I = 2; I < Path.size(); ++I) Query.rpps += (I > 2 ? "/" : "") + Path[I];
  if (!Main->CNX && !OpenCardSession()) return;
  const TPorteur* Porteur = Main->CNX->GetPorteur();
  const bool CardSession = Main->CPx && std::dynamic_pointer_cast<IVaspoCNX>(Main->CPx) == Main->CNX;
  if (!Porteur || Porteur->IdNational != Query.rpps || !CardSession)
    return ReplyError("La carte \"" + Query.rpps + "\" n'est pas dans le lecteur");
  if (Query.Code.size() != 4) return ReplyError("Code invalide");
  if (const int Tries = Main->CPx->PinCount(); Tries < 3) {
    if (Tries < 0) return ReplyError("La carte CPS est grillée");
    if (!Query.Force) return ReplyError("Il ne reste que " + std::to_string(Tries) + " tentatives");
  }
  if (const int Error = Main->CPx->SetCode(Query.Code); Error != ERR_OK) return DMPError(Error);
  ProcessMessage(REST_LOAD_PORTEUR);
  ProcessMessage(REST_GET_ACTIVITES);
  ReplyIdentite();
}

void THTTPContext::ProcessCategories() {
  std::vector<TCodeCat> Rows;
  for (int I = 0; I < TypeDocumentMedicalCount; ++I)
    Rows.push_back({std::string(TypesDocument[size_t(I)].Code), std::string(CaptionLabel(TypesDocument[size_t(I)].Caption))});
  ReplyJSON(ToJSON(Rows));
}

void THTTPContext::ProcessCadres() {
  std::vector<TCodeCat> Rows;
  for (const TCadreExercice& C : CadresExercice) Rows.push_back({std::string(C.Code), std::string(C.Label)});
  ReplyJSON(ToJSON(Rows));
}

void THTTPContext::ProcessServeur(bool Set) {
  if (Set) {
    TQueryServeur Query;
    Decode(Query);
    // Without the training domain configured there is no such server.
    if (Query.Number.size() != 1 || std::string_view("1345").find(Query.Number[0]) == std::string_view::npos ||
        DomaineFormation.empty())
      return ReplyError("Valeur invalide");
    Main->CNX->SetServer("formation" + Query.Number + "." + DomaineFormation);
  }
  ReplyJSON(ToJSON(TSetServer{Main->CNX->GetServer()}));
}

void THTTPContext::ProcessPatients() {
  TQueryPatients Query;
  Decode(Query);
  TRecherchePatients Criteres;
  Criteres.Nom = Query.Nom;
  Criteres.Prenom = Query.Prenom;
  if (Query.Naissance >= 1) Criteres.Naissance = Vantrel::FormatDateTime("dd/mm/yyyy", Query.Naissance);
  Criteres.Sexe = Query.Sexe == 'F' ? TSexe::Femme : Query.Sexe == 'I' ? TSexe::Inconnu
                  : Query.Sexe == 'M' ? TSexe::Homme : TSexe::Tous;
  Criteres.NomPartiel = Query.Partiel;
  std::shared_ptr<IPatientList> List;
  if (const int Error = Main->CNX->GetPatients(Criteres, List); Error != ERR_OK) return DMPError(Error);
  ReplyJSON(ToJSON(Items<TPatientItem>(*List, List->GetCount())));
}

// User-interface thread. During a job the card is not read here: the job
// thread may be using the core.
void THTTPContext::QueryVitale() {
  if (!Main->CSV) {
    if (Carvelin::Busy()) return ReplyError("Busy");
    if (const int Error = Main->DMP->GetCSV(Main->CSV); Error != ERR_OK) return DMPError(Error);
  }
  std::string_view XML;
  Main->CSV->GetXML(XML);  // answers the text's length, not an error
  Reply(200, std::string(XML), JSONType);
}

int THTTPContext::CheckINSi() {
  const char* Error = QueryINSi.Nom.empty()      ? "Le nom est obligatoire"
                      : QueryINSi.Prenom.empty() ? "Le prénom est obligatoire"
                      : QueryINSi.Naissance < 1  ? "La date de naissance est obligatoire"
                      : QueryINSi.Sexe != 'M' && QueryINSi.Sexe != 'F' ? "Le sexe est obligatoire"
                                                                       : nullptr;
  if (!Error) return 0;
  ReplyError(Error);
  return 1;
}

void THTTPContext::ProcessPatientINSi() {
  TINSiTraits Traits{QueryINSi.Nom, QueryINSi.Prenom, QueryINSi.Sexe,
                     Vantrel::FormatDateTime("yyyy-mm-dd", QueryINSi.Naissance), QueryINSi.Lieu};
  const TINSiResponse* Answer = nullptr;
  if (const int Error = Main->CNX->rechercherInsAvecTraitsIdentite(Traits, Answer); Error != ERR_OK)
    return DMPError(Error);
  TJSONResponse Result{Answer, false};
  if (Answer) {
    OnUIThread(*Main, [&] {
      TVaspoPatient Patient;
      Result.Qualified = Main->IsQualified(Answer->INS, Answer->INSType, Patient);
    });
  }
  ReplyJSON(ToJSON(Result));
}

void THTTPContext::ProcessPatientsDocs() {
  TQueryPatientsDocs Query;
  Decode(Query);
  const Vantrel::TDateTime UTC = Vantrel::LocalToUTC(Vantrel::DateOf(Query.Depuis));
  std::shared_ptr<IDossierList> List;
  const std::string Since = Vantrel::FormatDateTime("yyyymmddhhnnss", UTC);
  if (const int Error = Main->CNX->GetDossiers(Since, TDateMode::DateDernierDocument, List); Error != ERR_OK)
    return DMPError(Error);
  ReplyJSON(ToJSON(Items<TDossierItem>(*List, List->GetCount())));
}

// User-interface thread: the window's own record answers at once.
int THTTPContext::QueryPatientDossier() {
  if (!OwnDossier()) return 0;
  jsonDossier(*Main->DOS);
  return 1;
}

void THTTPContext::ProcessPatientDossier() {
  std::shared_ptr<IDossierMedical> Dossier;
  if (const int Error = Main->CNX->DossierExiste(INS, LookupType(), Dossier); Error != ERR_OK) return DMPError(Error);
  jsonDossier(*Dossier);
  // The window adopts it in the completion notice (API mode: no dialog).
  Main->DOS = Dossier;
  NotBusy(REST_DONE_DOSSIER);
}

void THTTPContext::jsonDossier(IDossierMedical& Dossier) {
  const TDossierInfo* DossierInfo = Dossier.GetInfo();
  if (DossierInfo && DossierInfo->Mineur) {
    TQueryMineur Query;
    Decode(Query);
    if (Query.Mineur == "N" || Query.Mineur == "S") {
      if (const int Error = Dossier.SetAccesSecret(Query.Mineur == "S"); Error != ERR_OK) return DMPError(Error);
      DossierInfo = Dossier.GetInfo();
    }
  }
  if (!DossierInfo) return ReplyError("Aucun dossier actif");
  ReplyJSON(ToJSON(*DossierInfo));
}

// User-interface thread: the documents frame's filters follow the request,
// so that a refresh from the window queries what the host asked for.
void THTTPContext::SetDocumentFilter() {
  Main->DateDocAfter = Documents.Debut > 1 ? DocumentDate(Documents.Debut) : std::string();
  Main->DateDocBefore = Documents.Fin > 1 ? DocumentDate(Documents.Fin) : std::string();
  Main->QuerySubmission = Documents.Mode;
  Main->ShowDocumentFilter(Documents.Debut, Documents.Fin, Documents.Mode);
}

void THTTPContext::ProcessPatientDocuments() {
  Decode(Documents);
  const bool Own = OwnDossier();
  std::shared_ptr<IDossierMedical> Dossier = TargetDossier();
  if (!Dossier) return;
  if (Own) OnUIThread(*Main, [&] { SetDocumentFilter(); });
  TQueryDocuments Query;
  Query.Flags = TQueryFlags{TQueryFlag::Aprouve};
  auto Date = [](Vantrel::TDateTime V) { return std::abs(V) < 0.001 ? std::string() : DocumentDate(V); };
  Query.After = Date(Documents.Debut);
  Query.Before = Date(Documents.Fin);
  std::shared_ptr<IDocumentList> List;
  const int Error = Documents.Mode ? Dossier->QuerySubmissions(Query, List) : Dossier->QueryDocuments(Query, List);
  if (Error != ERR_OK) return DMPError(Error);
  std::vector<TDocumentInfo> Infos;
  for (int I = 0; I < List->Count(); ++I)
    if (const TDocumentInfo* DocInfo = List->Info(I)) Infos.push_back(*DocInfo);
  ReplyJSON(ToJSON(Infos));
  if (Own) {
    Main->List = List;
    NotBusy(REST_DONE_DOCUMENTS);
  }
}

void THTTPContext::ProcessGetDocument(bool Source) {
  std::shared_ptr<IDossierMedical> Dossier = TargetDossier();
  if (!Dossier) return;
  std::shared_ptr<IDocument> Document;
  if (const int Error = Dossier->GetDocument(Path[4], Document); Error != ERR_OK) return DMPError(Error);
  std::string_view Content;
  if (Source) {
    if (const int Error = Document->GetDescription(Content); Error != ERR_OK) return DMPError(Error);
    // The rendered page, shown by a browser in a sandbox: nothing it holds
    // runs or loads on this server's origin.
    Reply(200, std::string(Content), "text/html; charset=utf-8");
    Response->set_header("Content-Security-Policy", "sandbox; default-src 'none'");
    return;
  }
  if (const int Error = Document->GetDocument(Content); Error != ERR_OK) return DMPError(Error);
  const std::string Mime = Document->MimeType();
  Reply(200, std::string(Content), Mime);
  Response->set_header("Content-Disposition",
                       "attachment;filename=Document." + std::string(ExtensionFromMimeType(Mime)));
}

void THTTPContext::ProcessPutDocument() {
  TPutDocument Doc;
  Decode(Doc);
  if (const std::string Error = CheckPutDocument(Doc, Path[4]); !Error.empty()) return ReplyError(Error);
  std::shared_ptr<IDossierMedical> Dossier = TargetDossier();
  if (!Dossier) return;
  int64_t PatientRow = 0;
  OnUIThread(*Main, [&] { PatientRow = Main->PatientRowOf(*Dossier); });
  const std::string Now = DocumentDate(Main->Today() - 20.0 / 86400);
  auto Date = [&](Vantrel::TDateTime V, const std::string& Absent) { return V == 0 ? Absent : DocumentDate(V); };
  TProprietesDocument Props;
  Props.Titre = Doc.Titre;
  Props.Document.Contenu = std::move(Doc.File);
  TypeMimeOfExtension(Path[4], Props.Document.TypeMime);
  Props.Commentaire = Doc.Comment;
  Props.PatientId = std::to_string(PatientRow);
  Props.TypeDocument = Doc.TypeDoc;
  Props.DateDocument = Date(Doc.DateDoc, Now);
  Props.CadreExercice = Doc.Cadre;
  Props.DateDebut = Date(Doc.Debut, Now);
  Props.DateFin = Date(Doc.Fin, "");
  Props.Visibilite = TVisibilitesDocument::FromBits(uint32_t(Doc.Confidentialite));
  std::string UniqueID;
  if (const int Error = Dossier->AddDocument(Props, UniqueID); Error != ERR_OK) return DMPError(Error);
  ReplyJSON(ToJSON(TResponse{UniqueID}));
}

void THTTPContext::ProcessDelDocument() {
  std::shared_ptr<IDossierMedical> Dossier = TargetDossier();
  if (!Dossier) return;
  if (const int Error = Dossier->SupprimerDocument(Path[4]); Error != ERR_OK) return DMPError(Error);
  ReplyJSON(ToJSON(TDeletedResponse{Path[4]}));
}

void THTTPContext::GetLocalFile() {
  const std::string Name = Path.size() < 2 || Path[1].empty() ? "index.html" : Path[1];
  std::string Content;
  if (!ReadSiteFile(Name, Content)) return Reply(404, Name + " not found", "text/plain; charset=utf-8");
  Reply(200, std::move(Content), SiteFileType(Name));
}

// ---- Connections ----

bool IsOwnUserPeer(int Sock) {
  sockaddr_storage Local{}, Peer{};
  socklen_t LocalSize = sizeof Local, PeerSize = sizeof Peer;
  if (getsockname(Sock, reinterpret_cast<sockaddr*>(&Local), &LocalSize) != 0 ||
      getpeername(Sock, reinterpret_cast<sockaddr*>(&Peer), &PeerSize) != 0)
    return false;
  auto PortOf = [](const sockaddr_storage& A) {
    return ntohs(A.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(A).sin6_port
                                         : reinterpret_cast<const sockaddr_in&>(A).sin_port);
  };
  // The peer's own line: its local port is our remote one and the reverse.
  const unsigned OurPort = PortOf(Local), PeerPort = PortOf(Peer);
  for (const char* Table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream In(Table);
    std::string Line;
    std::getline(In, Line);  // titles
    while (std::getline(In, Line)) {
      std::istringstream Fields(Line);
      std::string Slot, LocalAddress, RemoteAddress, State, Queues, Timer, Retransmits;
      unsigned long Uid = 0;
      if (!(Fields >> Slot >> LocalAddress >> RemoteAddress >> State >> Queues >> Timer >> Retransmits >> Uid)) continue;
      auto Port = [](const std::string& Address) {
        const size_t Colon = Address.rfind(':');
        return Colon == std::string::npos ? 0ul : std::strtoul(Address.c_str() + Colon + 1, nullptr, 16);
      };
      if (Port(LocalAddress) == PeerPort && Port(RemoteAddress) == OurPort) return Uid == getuid();
    }
  }
  return false;
}

namespace {

// Whether the connection may read another request after the one being
// served: set by the checks of each request on the worker serving it.
thread_local bool GKeepAlive = false;

// The reply ends the connection: said in the reply, nothing more read.
void CloseAfterReply(const httplib::Request& Req) {
  auto& Headers = const_cast<httplib::Request&>(Req).headers;
  Headers.erase("Connection");
  Headers.emplace("Connection", "close");
  GKeepAlive = false;
}

bool HasBody(const httplib::Request& Req) {
  return Req.has_header("Transfer-Encoding") || Req.get_header_value<uint64_t>("Content-Length") > 0;
}

// Copies of a request's bytes (a PIN among them) left on the worker's stack
// by the parser and the routes are overwritten once the request is served.
[[gnu::noinline]] void ScrubStack() {
  char Stack[64 * 1024];
  explicit_bzero(Stack, sizeof Stack);
  asm volatile("" : : "r"(Stack) : "memory");
}

int RemainingMs(std::chrono::steady_clock::time_point Deadline) {
  const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
  return int(std::max<int64_t>(0, Left.count()));
}

bool WaitFor(int Sock, short Events, int Ms) {
  pollfd P{Sock, Events, 0};
  int R;
  do R = poll(&P, 1, Ms);
  while (R < 0 && errno == EINTR);
  return R > 0;
}

}  // namespace

// One listener: httplib's request parsing and routing over connections this
// class reads itself, so that it can refuse a peer, bound the time of a
// request's head and end a connection after a refused request.
class TRESTListener : public httplib::Server {
 public:
  std::atomic<bool> Ended = false;

 private:
  // A connection's bytes, read through one wiped buffer. The head of a
  // request must arrive whole before its deadline; a body's bytes each
  // within the read time-out.
  class TConnection : public httplib::Stream {
   public:
    TConnection(TRESTListener& Owner, int Sock) : FOwner(Owner), FSock(Sock) {}
    ~TConnection() override {
      EndHead();
      explicit_bzero(FBuffer, sizeof FBuffer);
    }
    void StartHead() {
      FDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(RESTHeadSeconds);
      std::lock_guard Lock(FOwner.FMutex);
      FOwner.FWaitingHeads.push_back(FSock);
      FHead = true;
    }
    void EndHead() {
      std::lock_guard Lock(FOwner.FMutex);
      std::erase(FOwner.FWaitingHeads, FSock);
      FHead = false;
    }
    // Forgets the bytes of the request just served (the next one stays).
    void WipeRead() { explicit_bzero(FBuffer, FBegin); }
    bool WaitNext(time_t Seconds) { return FBegin < FEnd || WaitFor(FSock, POLLIN, int(Seconds * 1000)); }

    bool is_readable() const override { return FBegin < FEnd || WaitFor(FSock, POLLIN, ReadWaitMs()); }
    bool is_writable() const override { return WaitFor(FSock, POLLOUT, RESTTimeoutSeconds * 1000); }
    ssize_t read(char* Ptr, size_t Size) override {
      if (FBegin == FEnd) {
        if (!is_readable()) return -1;
        ssize_t N;
        do N = recv(FSock, FBuffer, sizeof FBuffer, 0);
        while (N < 0 && errno == EINTR);
        if (N <= 0) return N;
        FBegin = 0;
        FEnd = size_t(N);
      }
      const size_t Count = std::min(Size, FEnd - FBegin);
      std::memcpy(Ptr, FBuffer + FBegin, Count);
      FBegin += Count;
      return ssize_t(Count);
    }
    ssize_t write(const char* Ptr, size_t Size) override {
      if (!is_writable()) return -1;
      ssize_t N;
      do N = send(FSock, Ptr, Size, MSG_NOSIGNAL);
      while (N < 0 && errno == EINTR);
      return N;
    }
    void get_remote_ip_and_port(std::string& Ip, int& Port) const override { Address(getpeername, Ip, Port); }
    void get_local_ip_and_port(std::string& Ip, int& Port) const override { Address(getsockname, Ip, Port); }
    socket_t socket() const override { return FSock; }

   private:
    int ReadWaitMs() const { return FHead ? RemainingMs(FDeadline) : int(RESTTimeoutSeconds * 1000); }
    void Address(int (*Get)(int, sockaddr*, socklen_t*), std::string& Ip, int& Port) const {
      sockaddr_storage A{};
      socklen_t Size = sizeof A;
      char Text[INET6_ADDRSTRLEN] = {};
      Port = -1;
      if (Get(FSock, reinterpret_cast<sockaddr*>(&A), &Size) != 0) return;
      const bool V6 = A.ss_family == AF_INET6;
      const auto& A4 = reinterpret_cast<const sockaddr_in&>(A);
      const auto& A6 = reinterpret_cast<const sockaddr_in6&>(A);
      inet_ntop(A.ss_family, V6 ? static_cast<const void*>(&A6.sin6_addr) : &A4.sin_addr, Text, sizeof Text);
      Ip = Text;
      Port = ntohs(V6 ? A6.sin6_port : A4.sin_port);
    }

    TRESTListener& FOwner;
    int FSock;
    char FBuffer[4096];
    size_t FBegin = 0, FEnd = 0;
    bool FHead = false;
    std::chrono::steady_clock::time_point FDeadline;
  };

  // The last free worker takes a new connection only after closing the
  // connection that has waited longest for its head: slow or silent
  // clients never hold every worker.
  void KeepOneWorkerFree() {
    std::lock_guard Lock(FMutex);
    if (++FBusy < RESTWorkers || FWaitingHeads.empty()) return;
    shutdown(FWaitingHeads.front(), SHUT_RD);
    FWaitingHeads.erase(FWaitingHeads.begin());
  }

  bool process_and_close_socket(socket_t Sock) override {
    KeepOneWorkerFree();
    bool Result = false;
    if (IsOwnUserPeer(Sock)) {
      TConnection Connection(*this, Sock);
      for (size_t Count = keep_alive_max_count_; Count > 0 && svr_sock_ != INVALID_SOCKET; --Count) {
        if (Count != keep_alive_max_count_ && !Connection.WaitNext(keep_alive_timeout_sec_)) break;
        Connection.StartHead();
        GKeepAlive = false;
        bool Closed = false;
        Result = process_request(Connection, Count == 1, Closed, [&](httplib::Request&) { Connection.EndHead(); });
        Connection.EndHead();
        Connection.WipeRead();
        ScrubStack();
        if (!Result || Closed || !GKeepAlive) break;
      }
    }
    shutdown(Sock, SHUT_RDWR);
    close(Sock);
    std::lock_guard Lock(FMutex);
    --FBusy;
    return Result;
  }

  std::mutex FMutex;
  size_t FBusy = 0;                // workers serving a connection
  std::vector<int> FWaitingHeads;  // connections waiting for a head, oldest first
};

// ---- Server ----

TRESTServer::TRESTServer(TDMPMain& Main) : FMain(Main) {}

TRESTServer::~TRESTServer() { Stop(); }

std::unique_ptr<TRESTListener> TRESTServer::NewServer() {
  auto Server = std::make_unique<TRESTListener>();
  Server->new_task_queue = [] { return new httplib::ThreadPool(RESTWorkers); };
  Server->set_payload_max_length(RESTMaxBody);
  Server->set_read_timeout(RESTTimeoutSeconds);
  Server->set_write_timeout(RESTTimeoutSeconds);
  Server->set_keep_alive_timeout(1);
  Server->set_default_headers({{"X-Content-Type-Options", "nosniff"}});
  // SO_REUSEADDR only: SO_REUSEPORT would let another program share the port.
  Server->set_socket_options([](socket_t Sock) {
    int Yes = 1;
    setsockopt(Sock, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
  });
  Server->set_pre_routing_handler([this](const httplib::Request& Req, httplib::Response& Res) {
    if (IsLocalRequest(Req, FPort)) {
      HideMultipartType(const_cast<httplib::Request&>(Req));
      // A body is read only by the routes that take one.
      GKeepAlive = !HasBody(Req);
      if (!GKeepAlive) CloseAfterReply(Req);
      return httplib::Server::HandlerResponse::Unhandled;
    }
    CloseAfterReply(Req);
    Res.status = 403;
    Res.set_content(ToJSON(TJSONError{"Requête refusée"}), JSONType);
    return httplib::Server::HandlerResponse::Handled;
  });
  auto Plain = [this](const httplib::Request& Req, httplib::Response& Res) { OnRESTCommand(Req, Res, nullptr); };
  auto WithBody = [this](const httplib::Request& Req, httplib::Response& Res, const httplib::ContentReader& Reader) {
    OnRESTCommand(Req, Res, &Reader);
  };
  Server->Get(".*", Plain);
  Server->Options(".*", Plain);
  Server->Post(".*", WithBody);
  Server->Put(".*", WithBody);
  Server->Patch(".*", WithBody);
  Server->Delete(".*", WithBody);
  return Server;
}

void TRESTServer::OnRESTCommand(const httplib::Request& Req, httplib::Response& Res,
                                const httplib::ContentReader* Reader) {
  std::string Body;
  if (Reader) {
    // Reserved whole: a growing body would leave copies (a PIN) behind.
    Body.reserve(std::min<size_t>(Req.get_header_value<uint64_t>("Content-Length"), RESTMaxBody));
    const bool Read = (*Reader)([&](const char* Data, size_t Length) {
      Body.append(Data, Length);
      return true;
    });
    if (!Read) {
      CloseAfterReply(Req);
      Vantrel::WipeBytes(Body);
      Res.status = 400;
      Res.set_content(ToJSON(TJSONError{"Requête invalide"}), JSONType);
      return;
    }
    GKeepAlive = Req.get_header_value("Connection") != "close";
  }
  FMain.OnRESTCommand(Req, Res, *this, std::move(Body));
}

bool TRESTServer::Start(int Port) {
  FPort = Port;
  for (const char* Host : {"127.0.0.1", "::1"}) {
    auto Server = NewServer();
    if (!Server->bind_to_port(Host, Port)) {
      if (FServers.empty()) return false;
      continue;
    }
    FServers.push_back(std::move(Server));
  }
  for (auto& Server : FServers) {
    ++FRunning;
    FThreads.emplace_back([this, S = Server.get()] {
      S->listen_after_bind();
      S->Ended = true;
      --FRunning;
    });
  }
  return true;
}

void TRESTServer::Stop() {
  if (FClosing.exchange(true)) return;
  // A listener stops only once it runs: stopping it before would be lost.
  for (auto& Server : FServers) {
    while (!Server->Ended && !Server->is_running()) std::this_thread::yield();
    Server->stop();
  }
  // The workers' blocking calls are served here until the listeners have
  // joined them; waiting without the loop would deadlock.
  QEventLoop Loop;
  while (FRunning > 0) Loop.processEvents(QEventLoop::AllEvents, 10);
  for (std::thread& T : FThreads) T.join();
  FThreads.clear();
  FServers.clear();
}

// ---- Main window ----

void TDMPMain::StartRESTServer(int Port) {
  auto Server = std::make_shared<TRESTServer>(*this);
  if (!Server->Start(Port)) {
    AddLogLine(QStringLiteral("Serveur REST : le port %1 n'est pas disponible").arg(Port));
    return;
  }
  RESTServer = std::move(Server);
}

void TDMPMain::StopRESTServer() {
  if (RESTServer) RESTServer->Stop();
}

void TDMPMain::OnRESTCommand(const httplib::Request& Request, httplib::Response& Response, TRESTServer& Server,
                             std::string Body) {
  THTTPContext Context;
  Context.idContext = Server.NextRequestId();
  Context.Request = &Request;
  Context.Response = &Response;
  Context.Server = &Server;
  Context.Main = this;
  Context.Body = std::move(Body);
  try {
    Context.Process();
  } catch (const std::exception& E) {
    Context.ReplyError(E.what());
  }
}

int64_t TDMPMain::PatientRowOf(IDossierMedical& Dossier) {
  const TDossierInfo* Target = Dossier.GetInfo();
  if (!Target) return 0;
  const TPatientInfo& P = Target->Patient;
  // The identity's key: the INS with its type letter, but for a registered one.
  const std::string Key = P.INSi.Type == 'R' ? P.INSi.Code : P.INSi.Code + P.INSi.Type;
  TVaspoPatient Patient;
  if (Database.LoadPatient(Key, Patient)) return Patient.rowid;
  Patient.Nom = P.Identite.NomUsage.empty() ? P.Identite.NomNaissance : P.Identite.NomUsage;
  Patient.Prenom = P.Identite.Prenom;
  Vantrel::TDateTime Naissance = 0;
  if (Vantrel::ParseDateLoose(P.Identite.DateNaissance, Naissance)) Patient.Naissance = Naissance;
  Patient.INSC = P.INSC.Code;
  Patient.INSN = Key;
  Patient.Praticien = int32_t(FPraticien.rowid);
  Database.SavePatient(Patient);
  return Patient.rowid;
}

int TDMPMain::WMRestRequest(int Step, THTTPContext* Context) {
  if (!Context) {
    SetBusy(CurrentTask() != nullptr);
    if (Step == REST_DONE_DOSSIER) {
      ModeAPI = true;
      Guarded([this] { OpenDossier(DOS); });
      ModeAPI = false;
    } else if (Step == REST_DONE_DOCUMENTS) {
      // The list stays the window's: its rows are opened, deleted and
      // replaced through it.
      Guarded([this] { SetDocuments(List); });
    }
    statusBar()->showMessage(ShellTr::tr("Prêt"));
    return 0;
  }
  if (RESTServer && RESTServer->Closing()) {
    Context->ReplyError("Arrêt en cours", 503);
    return 1;
  }
  int Answer;
  try {
    Answer = Context->HandleStep(Step);
  } catch (const std::exception& E) {
    Context->ReplyError(E.what());
    return 1;
  }
  if (Answer != 0 && Answer != 2) return Answer;
  if (Busy()) {
    Context->ReplyError("Busy");
    return 1;
  }
  if (Answer == 2 || CNX) {
    SetBusy(true);
    return Answer;
  }
  Context->ReplyError("Load CPS");
  ibCarteCPSClick();
  return 2;
}

}  // namespace Carvelin
