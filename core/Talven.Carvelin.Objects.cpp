// The service root: its registry of live objects, the SOAP and MTOM
// transport, faults to codes, the parameters document, the environment rule.
#include "Talven.Carvelin.Objects.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "Talven.Carvelin.Hosts.h"
#include "Vantrel.HL7Query.h"
#include "Vantrel.RegUtils.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.MTOM.h"
#include "Vantrel.XML.XDSb.XAdES.h"

namespace Talven {

using Vantrel::AttributeValueOf;

namespace {

constexpr std::string_view SettingsKey = "Software\\Talven\\Carvelin2";
constexpr std::string_view SoapContentType = "application/soap+xml; charset=utf-8";
constexpr std::string_view TrainingINSOID = "1.2.250.1.213.1.4.10";
constexpr std::string_view ProductionINSOID = "1.2.250.1.213.1.4.8";
constexpr std::string_view ParametersPath = "/web/dmp/documents/param-lps";
constexpr std::string_view ErrorReportPath = "/error_report.php";
constexpr int ErrorReportTimeout = 5000;  // milliseconds
constexpr uint32_t TimedOut = 10060;       // WSAETIMEDOUT
constexpr int MaxRedirects = 10;
constexpr size_t MaxParametersSize = 1 << 20;
constexpr std::string_view RegistrySuccessStatus = "urn:oasis:names:tc:ebxml-regrep:ResponseStatusType:Success";
constexpr std::string_view RegistryWarningSeverity = "urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Warning";

bool IsTrainingCard(const TVaspoCNX& Session) { return (Session.Info.Carte.Categorie & 0x80) != 0; }

bool StartsWith(std::string_view Text, std::string_view Prefix) { return Text.substr(0, Prefix.size()) == Prefix; }

// "2.25." and the decimal value of a UUID (ITU-T X.667 §6.3): at most
// 2^128 - 1, so that the GUID form names the same number.
bool IsOIDUUID(std::string_view OID) {
  constexpr std::string_view Arc = "2.25.";
  constexpr std::string_view Largest = "340282366920938463463374607431768211455";
  if (OID.size() <= Arc.size() || !StartsWith(OID, Arc)) return false;
  const std::string_view Value = OID.substr(Arc.size());
  if (!std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; })) return false;
  // Equal lengths of digits compare as their numbers do.
  return Value.size() < Largest.size() || (Value.size() == Largest.size() && Value <= Largest);
}

// A Location header against the address that answered it (RFC 3986 §5.2,
// without dot segments: the service sends absolute paths or names).
std::string ResolveLocation(std::string_view Base, std::string_view Location) {
  if (Location.find("://") != std::string_view::npos) return std::string(Location);
  const size_t Scheme = Base.find("://");
  if (Scheme == std::string_view::npos) return std::string(Location);
  if (StartsWith(Location, "//")) return std::string(Base.substr(0, Scheme + 1)) + std::string(Location);
  const size_t PathStart = std::min(Base.find('/', Scheme + 3), Base.size());
  if (StartsWith(Location, "/")) return std::string(Base.substr(0, PathStart)) + std::string(Location);
  const std::string_view Path = Base.substr(0, Base.find_first_of("?#"));
  const size_t LastSlash = Path.rfind('/');
  if (LastSlash < PathStart || LastSlash == std::string_view::npos)
    return std::string(Base.substr(0, PathStart)) + "/" + std::string(Location);
  return std::string(Path.substr(0, LastSlash + 1)) + std::string(Location);
}

std::optional<int32_t> ParseInteger(std::string_view Text) {
  int32_t Value = 0;
  auto R = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  if (R.ec != std::errc() || R.ptr != Text.data() + Text.size() || Text.empty()) return std::nullopt;
  return Value;
}

struct TRegistryError {
  std::string_view ErrorCode;
  int Code;
};
constexpr TRegistryError RegistryErrors[] = {
    {"DMPAuthorizationNotFound", ERR_ACCES_REFUSE},
    {"DMPAccessForbidden", ERR_ACCES_REFUSE},
    {"XDSDocumentUniqueIdError", ERR_XOP_DOCUMENT},
    {"XDSReplaceFailed", ERR_REMPLACEMENT},
    {"XDSRegistryDeprecatedDocumentError", ERR_REMPLACEMENT},
    {"XDSTooManyResults", ERR_TROP_DE_RESULTATS},
    {"XDSMetadataVersionError", ERR_METADONNEES},
};

// The root's client keeps its body cap for documents; the parameters
// document gets a smaller one for the time of its reading.
class TBodyCap {
 public:
  TBodyCap(Vantrel::THTTPClient& Client, size_t Cap) : FClient(Client), FSaved(Client.MaxBodySize()) {
    Client.SetMaxBodySize(Cap);
  }
  ~TBodyCap() { FClient.SetMaxBodySize(FSaved); }
  TBodyCap(const TBodyCap&) = delete;
  TBodyCap& operator=(const TBodyCap&) = delete;

 private:
  Vantrel::THTTPClient& FClient;
  size_t FSaved;
};

}  // namespace

// ---- Registry ----

void TDMPLinks::Add(TDMPLink* Link) {
  std::lock_guard Lock(FLock);
  FItems.push_back(Link);
}

void TDMPLinks::Remove(TDMPLink* Link) {
  std::lock_guard Lock(FLock);
  std::erase(FItems, Link);
}

void TDMPLinks::ClearAll() {
  std::lock_guard Lock(FLock);
  for (auto It = FItems.rbegin(); It != FItems.rend(); ++It) (*It)->ClearLink();
  FItems.clear();
}

size_t TDMPLinks::Count() const {
  std::lock_guard Lock(FLock);
  return FItems.size();
}

TDMPLink::TDMPLink(const std::shared_ptr<TCarvelin>& DMP) : FDMP(DMP), FLinks(DMP ? DMP->Links : nullptr) {
  if (FLinks) FLinks->Add(this);
}

TDMPLink::~TDMPLink() {
  if (FLinks) FLinks->Remove(this);
}

std::shared_ptr<TCarvelin> TDMPLink::Root() const {
  if (!FLinks) return nullptr;
  std::lock_guard Lock(FLinks->FLock);
  return FDMP.lock();
}

std::shared_ptr<ICarvelin> TDMPLink::Carvelin() const { return Root(); }

bool TDMPLink::Active() const {
  const std::shared_ptr<TCarvelin> DMP = Root();
  return DMP && DMP->VaspoCNX && DMP->VaspoCNX->FActive;
}


// ---- Root: creation and lifetime ----

std::shared_ptr<TCarvelin> TCarvelin::Create() {
  Vantrel::RegisterTinyTLSEngine();
  static std::once_flag EnginesRegistered;
  std::call_once(EnginesRegistered, [] { Vantrel::RegisterSChannelSocketMaker(); });
  static std::once_flag FirstRoot;
  if (const char* Path = std::getenv("CARVELIN_HOSTS"); Path && *Path)
    SetHostsConfig(LoadHostsConfig(Path));
  else
    std::call_once(FirstRoot, [] { SetHostsConfig(HostsConfig()); });
  Vantrel::InitAuthnInstant();
  std::shared_ptr<TCarvelin> Root(new TCarvelin);
  Root->SetupHTTPClient(std::make_unique<Vantrel::THTTPClient>());
  return Root;
}

TCarvelin::~TCarvelin() {
  UnlinkSession();
  Links->ClearAll();
  CryptoLib.Unload();
  HTTP.reset();
}

void TCarvelin::SetSession(TVaspoCNX& Session) {
  UnlinkSession();
  VaspoCNX = &Session;
  Session.DMP = this;
}

void TCarvelin::UnlinkSession() {
  if (VaspoCNX) {
    VaspoCNX->DMP = nullptr;
    VaspoCNX = nullptr;
  }
  CryptoLib.CloseSession();
  if (HTTP) HTTP->Close();
  VaspoCSV.reset();
}

void TCarvelin::SetupHTTPClient(std::unique_ptr<Vantrel::THTTPClient> Client) {
  Client->SetContentType(std::string(SoapContentType));
  Client->CustomHeaders() = {"Accept-charset: utf-8"};
  Client->SetKeepAlive(true);
  Client->ShareAbortSignal(FAbortSignal);
  if (!Client->TLS()) Client->ReplaceTLS(std::make_shared<Vantrel::TTLS>());
  Client->SetTLSEngine(FTLSEngine);
  Vantrel::TTLS& TLS = *Client->TLS();
  // The client is the root's and dies with it, so the events may hold it.
  TLS.OnCertificateRequest = [this](Vantrel::TTinyTLS&, std::vector<std::string>& Certificates) {
    CertificateRequest(Certificates);
  };
  TLS.OnCertificateVerify = [this](Vantrel::TTinyTLS&, const std::string& Hash, std::string& Signature) {
    CertificateVerify(Hash, Signature);
  };
  // A server whose chain or name failed the trust store's check stays
  // refused: the status is left as it came.
  TLS.OnVerifyServer = [](Vantrel::TTinyTLS&, const std::vector<std::string>&, uint32_t&) {};
  HTTP = std::move(Client);
}

void TCarvelin::SetTLSEngine(Vantrel::TTLSEngine Engine) {
  FTLSEngine = Engine;
  if (HTTP) {
    HTTP->Close();
    HTTP->SetTLSEngine(Engine);
  }
}

std::string TCarvelin::InstanceOID() {
  if (FInstanceOID.empty()) {
    FInstanceOID = Vantrel::RegReadString(Vantrel::HKEY_CURRENT_USER, SettingsKey, "LPS_OID", "");
    if (!IsOIDUUID(FInstanceOID)) {
      FInstanceOID = Vantrel::NewOIDUUID();
      Vantrel::RegWriteString(Vantrel::HKEY_CURRENT_USER, SettingsKey, "LPS_OID", FInstanceOID);
    }
  }
  return FInstanceOID;
}

Vantrel::THTTPClient& TCarvelin::HTTPClient() {
  if (!HTTP) SetupHTTPClient(std::make_unique<Vantrel::THTTPClient>());
  HTTP->SetTimeout(HostsConfig().TimeoutSeconds * 1000);
  return *HTTP;
}

// ---- TLS client authentication ----

bool TCarvelin::CardSession() { return VaspoCNX && VaspoCNX->CheckCard(); }

void TCarvelin::CertificateRequest(std::vector<std::string>& Certificates) {
  if (CardSession()) Certificates = {VaspoCNX->AuthCertificate()};
}

void TCarvelin::CertificateVerify(const std::string& Hash, std::string& Signature) {
  if (!CardSession()) return;
  if (Hash.size() != 20 && Hash.size() != 32 && Hash.size() != 48) return;
  Signature = VaspoCNX->SignDigestInfo(Vantrel::PKCS1DigestInfo(Hash));
}

// ---- ICarvelin ----

int TCarvelin::SetCryptoLib(std::string_view AFileName) {
  const std::string Name(AFileName);
  if (CryptoLib.Init(Name.empty() ? nullptr : Name.c_str())) return ERR_OK;
  FError.SetError(CryptoLib.LastLoadError());
  return ERR_CPS;
}

int TCarvelin::GetDMPUrl(TDMPUrl DMPUrl, std::string_view Param, std::string& URL) {
  if (!VaspoCNX) return ERR_SESSION;
  const std::string_view Page = EnumText(DMPUrl);
  if (Page.empty()) return ERR_INDEX;
  FURL = "https://" + (FDMPUrl.empty() ? VaspoCNX->Info.AccesWeb : FDMPUrl) + "/AccesDirect/" + std::string(Page);
  if (!Param.empty()) {
    FURL += '/' + Vantrel::TURL::Encode(Param) + '/';
    FURL += IsTrainingCard(*VaspoCNX) ? TrainingINSOID : ProductionINSOID;
  }
  URL = FURL;
  return ERR_OK;
}

std::string TCarvelin::GetDMPParams(std::string_view Mobile, std::string_view EMail, std::string_view Adresse,
                                    std::string_view Complement, std::string_view CodePostal,
                                    std::string_view Ville, std::string_view Pays) {
  const std::pair<std::string_view, std::string_view> Items[] = {
      {"TELMOBILE", Mobile},     {"EMAIL", EMail}, {"ADRESSE", Adresse}, {"ADRESSECOMP", Complement},
      {"CODEPOSTAL", CodePostal}, {"VILLE", Ville}, {"PAYS", Pays}};
  std::string Joined;
  for (const auto& [Name, Value] : Items) {
    if (Value.empty()) continue;
    if (!Joined.empty()) Joined += '|';
    Joined += std::string(Name) + "=" + std::string(Value);
  }
  FParam = Joined.empty() ? std::string() : Vantrel::Base64UrlEncode(Vantrel::UTF8ToWindows1252(Joined));
  return FParam;
}

int TCarvelin::LoadCertificat(std::string_view, std::string_view, std::shared_ptr<IVaspoCRT>& CRT) {
  CRT.reset();
  FError.Clear();
  throw std::runtime_error("TODO !");
}


// ---- Transport ----

void TCarvelin::Log(std::string_view Text) {
  if (Logger) Logger->OnLog(*this, Text);
}

std::string TCarvelin::DmpServiceUrl(std::string_view Service) const {
  return "https://" + (VaspoCNX ? VaspoCNX->Info.DMP_Server : std::string()) + "/si-dmp-server/v2/services/" +
         std::string(Service);
}

bool TCarvelin::PreCallGate(int& Code) {
  FError.Clear();
  Code = ERR_OK;
  if (!VaspoCNX)
    Code = ERR_SESSION;
  else if (VaspoCNX->IsCardSession()) {
    Log("Vérification de la carte CPS...");
    Code = VaspoCNX->CardEnvironmentMismatch();
    if (Code == ERR_OK && !VaspoCNX->CheckCard()) Code = ERR_CHANGEMENT_CARTE;
  }
  if (Code != ERR_OK) return false;
  HTTPClient();
  return true;
}

int TCarvelin::Post(std::string_view URL, std::string_view Body, std::string ContentType, std::string& Answer) {
  FError.Clear();
  FAnswerLate = false;
  Answer.clear();
  Vantrel::THTTPClient& Client = HTTPClient();
  Client.SetContentType(std::move(ContentType));
  try {
    Client.Post(URL, Body, Answer);
  } catch (const Vantrel::ESocketError& E) {
    FError.SetError(E.what());
    // Connected, then no answer in time: the service may have done it.
    FAnswerLate = E.Code() == TimedOut && E.Func() != "connect";
    return ERR_CONNEXION;
  } catch (const std::exception& E) {
    FError.SetError(E.what());
    return ERR_CONNEXION;
  }
  if (!Answer.empty()) return ERR_OK;
  FError.SetError(!Client.Response().empty() ? Client.Response()
                                             : "HTTP ERROR " + std::to_string(Client.ResponseCode()));
  return ERR_CONNEXION;
}

int TCarvelin::SendRequest(std::string Request, std::string_view Service, std::string_view Boundary,
                           std::string& Response) {
  Response.clear();
  int Code;
  if (!PreCallGate(Code)) return Code;
  FLastRequest = std::move(Request);
  const std::string URL = DmpServiceUrl(Service);
  Log("Interrogation du DMP [" + URL + "]...");
  Code = Post(URL, FLastRequest,
              Boundary.empty() ? std::string(SoapContentType) : Vantrel::MTOMContentType(Boundary), Response);
  if (Code == ERR_OK) Log("Décodage de la réponse du DMP...");
  return Code;
}

int TCarvelin::SendToURL(std::string_view URL, std::string_view Body, std::string& Answer) {
  Answer.clear();
  int Code;
  if (!PreCallGate(Code)) return Code;
  return Post(URL, Body, std::string(SoapContentType), Answer);
}

// ---- Replies ----

std::string Objects::XMLErrorText(const Vantrel::EXMLError& E) {
  return E.Message() + " (octet " + std::to_string(E.Index) + ")";
}

bool TCarvelin::CheckSoapFault(std::string_view Source, Vantrel::TXMLTree& Tree) {
  FError.Clear();
  try {
    Tree.BuildFrom(Source);
  } catch (const Vantrel::EXMLError& E) {
    FError.SetError(Objects::XMLErrorText(E));
    return true;
  } catch (const std::exception& E) {
    FError.SetError(E.what());
    return true;
  }
  Vantrel::PXMLNode Fault = Tree.GetNodeAt({"Envelope", "Body", "Fault"});
  if (!Fault) return false;
  FError.SetError(Vantrel::TextOf(Fault->GetChildAt({"Reason", "Text"})));
  ErrorReport(Source);
  return true;
}

bool TCarvelin::CheckRegistryErrors(const Vantrel::TXMLTree& Tree, int& Code) {
  Vantrel::PXMLNode List = Tree.XPathNode("/Envelope/Body//RegistryErrorList");
  if (!List) return false;
  // A warning beside a success does not undo the success (a filing read as
  // failed would be filed twice): it only goes to the log.
  const bool Success = AttributeValueOf(List->Parent, "status") == RegistrySuccessStatus;
  Vantrel::PXMLNode Error = nullptr;
  for (const Vantrel::TXMLNode& Entry : List->Children()) {
    if (!Entry.Name.Compare("RegistryError")) continue;
    if (Success && AttributeValueOf(&Entry, "severity") == RegistryWarningSeverity) {
      Log("Avertissement du registre : " + AttributeValueOf(&Entry, "errorCode") + " " +
          AttributeValueOf(&Entry, "codeContext"));
      continue;
    }
    Error = &Entry;
    break;
  }
  if (!Error) return false;
  FError.SetError(AttributeValueOf(Error, "codeContext"));
  ErrorReport(Tree.Source());
  const std::string ErrorCode = AttributeValueOf(Error, "errorCode");
  for (const TRegistryError& E : RegistryErrors)
    if (E.ErrorCode == ErrorCode) {
      Code = E.Code;
      return true;
    }
  Code = ERR_XOP;
  FError.SetError(ErrorCode + " " + FError.GetErrDetail());
  return true;
}

void TCarvelin::ErrorReport(std::string_view Response) {
  // It carries the assertion, the patient's identifier and whole documents:
  // only to the configured maker, over HTTPS.
  try {
    const std::string Maker = HostsConfig().Maker;
    if (Maker.empty()) return;
    Vantrel::TFormFields Fields;
    if (VaspoCNX) {
      const TCPSInfo& Info = VaspoCNX->Info;
      Fields = {{"RPPS", Info.Porteur.IdNational},
                {"ENV", std::to_string(Info.Carte.Categorie)},
                {"Nom", Info.Porteur.Nom},
                {"Prenom", Info.Porteur.Prenom}};
    }
    Fields.emplace_back("Error",
                        Vantrel::Base64Encode(FError.GetErrDetail()) + " [" + std::string(BuildStamp) + "]");
    Fields.emplace_back("Request", Vantrel::Base64Encode(FLastRequest));
    Fields.emplace_back("Response", Vantrel::Base64Encode(Response));
    Vantrel::THTTPClient Client;
    Client.ShareAbortSignal(FAbortSignal);
    Client.SetTimeout(ErrorReportTimeout);
    Client.SetKeepAlive(false);
    Client.SetMaxBodySize(MaxParametersSize);
    Client.Post(Maker + std::string(ErrorReportPath), Fields);
  } catch (...) {
    // A report that fails changes nothing of the call that made it.
  }
}

void TCarvelin::LoadDmpParameters() {
  const bool Training = VaspoCNX && IsTrainingCard(*VaspoCNX);
  std::string URL = HostsConfig().Environment(Training).ParamSite + std::string(ParametersPath);
  Vantrel::THTTPClient& Client = HTTPClient();
  TBodyCap Cap(Client, MaxParametersSize);
  std::string Body;
  for (int Redirects = 0;; ++Redirects) {
    Body.clear();
    Client.Get(URL, Body);
    const std::string Location = Client.GetHeader("Location");
    if (Location.empty() || Client.ResponseCode() / 100 != 3) break;
    // Past ten redirects, or off HTTPS, the values held stay.
    if (Redirects == MaxRedirects) return;
    URL = ResolveLocation(URL, Location);
    if (!StartsWith(URL, "https://")) return;
  }
  if (Client.ResponseCode() != 200) return;
  Vantrel::TXMLTree Tree;
  Tree.BuildFrom(Body);
  Vantrel::PXMLNode List = Tree.XPathNode("/dmp-parameters/parameter-list[@code=param-si-dmp]");
  if (!List) return;
  auto Value = [List](std::string_view Code) -> std::optional<std::string> {
    const Vantrel::TXMLString* V =
        Vantrel::AttributeOf(List->XPathNode("parameter[@code=" + std::string(Code) + "]"), "value");
    if (!V) return std::nullopt;
    return V->Value();
  };
  if (auto V = Value("fonctions-gestion-mineurs")) FParametres.GestionMineurs = *V == "true";
  if (auto V = Value("cumul-invisible_patient-masque_ps")) FParametres.CumulVisibilite = *V == "true";
  if (auto V = Value("age-majorite"))
    if (auto N = ParseInteger(*V)) FParametres.AgeMajoritee = *N;
  if (auto V = Value("hr-periode-max-mois"))
    if (auto N = ParseInteger(*V)) FParametres.hrPeriodeMax = *N;
}

}  // namespace Talven
