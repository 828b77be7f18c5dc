// The service root over recorded server answers: the gate, the posting
// rules, faults and registry errors to codes, web-access addresses, the
// TLS events, the registry of linked objects, the hosts configuration and
// the instance OID kept in the settings store; the record list's session
// rule.
#include "Talven.Carvelin.Objects.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <optional>
#include <thread>

#include "Talven.Carvelin.Hosts.h"
#include "TestSession.h"
#include "TestSupport.h"
#include "Vantrel.HL7Query.h"
#include "Vantrel.RegUtils.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.XML.XDSb.MTOM.h"

using namespace Talven;

namespace {

// Records what the client writes on one connection.
class TRecordingSocket : public Vantrel::TMemorySocket {
 public:
  TRecordingSocket(std::string In, std::string& Out) : TMemorySocket(std::move(In)), FOut(Out) {}
  int Write(const void* Data, size_t Size) override {
    FOut.append(static_cast<const char*>(Data), Size);
    return int(Size);
  }

 private:
  std::string& FOut;
};

// Each connection replays the next canned answer; none left refuses to connect.
class TReplayClient : public Vantrel::THTTPClient {
 public:
  std::deque<std::string> Answers;
  std::deque<std::string> Wire;  // bytes sent, one entry per connection

 protected:
  std::unique_ptr<Vantrel::TTCPSocket> OpenSocket() override {
    if (Answers.empty()) throw Vantrel::EClosedSocketError("connect", 10061);
    Wire.emplace_back();
    auto Socket = std::make_unique<TRecordingSocket>(std::move(Answers.front()), Wire.back());
    Answers.pop_front();
    return Socket;
  }
};

class TLogLines : public IVaspoLOG {
 public:
  std::vector<std::string> Lines;
  void OnLog(ICarvelin&, std::string_view Msg) override { Lines.emplace_back(Msg); }
};

THostsConfig TestHosts() {
  THostsConfig C = DefaultHostsConfig();
  C.Formation.DMP_Server = "formation.test:8443";
  C.Formation.AccesWeb = "https://web.formation.test/ps/acces-web/";
  C.Production.DMP_Server = "production.test";
  C.Production.AccesWeb = "https://web.production.test";
  return C;
}

std::string Answer(std::string_view Status, std::string_view Body) {
  return "HTTP/1.1 " + std::string(Status) + "\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
         std::to_string(Body.size()) + "\r\n\r\n" + std::string(Body);
}

std::string Envelope(std::string_view Body) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>" +
         std::string(Body) + "</s:Body></s:Envelope>";
}

std::string RegistryError(std::string_view ErrorCode, std::string_view Context) {
  return Envelope(
      "<q:AdhocQueryResponse xmlns:q=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" "
      "xmlns:rs=\"urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0\"><rs:RegistryErrorList><rs:RegistryError errorCode=\"" +
      std::string(ErrorCode) + "\" codeContext=\"" + std::string(Context) +
      "\" severity=\"urn:oasis:names:tc:ebxml-regrep:ErrorSeverityType:Error\"/></rs:RegistryErrorList>"
      "</q:AdhocQueryResponse>");
}

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHostsConfig(TestHosts());
    Root = TCarvelin::Create();
    auto Client = std::make_unique<TReplayClient>();
    Replay = Client.get();
    Root->SetupHTTPClient(std::move(Client));
    Root->SetLogger(&Log);
  }

  // A reply reader's first steps after the post.
  int Call(std::string_view Service = "registry") {
    std::string Response;
    int Code = Root->SendRequest("<request/>", Service, {}, Response);
    if (Code != ERR_OK) return Code;
    Vantrel::TXMLTree Tree;
    if (Root->CheckSoapFault(Response, Tree)) return ERR_REQUETE_REFUSEE;
    if (Root->CheckRegistryErrors(Tree, Code)) return Code;
    return ERR_OK;
  }

  TLogLines Log;
  std::shared_ptr<TCarvelin> Root;
  TReplayClient* Replay = nullptr;
};

TEST_F(RootTest, no_session_answers_session_error_without_traffic) {
  Replay->Answers = {Answer("200 OK", Envelope(""))};
  std::string Out;
  EXPECT_EQ(Call(), ERR_SESSION);
  EXPECT_EQ(Root->SendToURL("https://insi.test/lps", "<x/>", Out), ERR_SESSION);
  EXPECT_EQ(Root->GetDMPUrl(TDMPUrl::Documents, "", Out), ERR_SESSION);
  EXPECT_TRUE(Replay->Wire.empty());
  EXPECT_TRUE(Log.Lines.empty());
}

TEST_F(RootTest, card_and_environment_are_checked_before_any_connection) {
  struct Case {
    bool Training;
    bool OnProduction;
    bool CardPresent;
    int Code;
  } Cases[] = {
      {true, true, true, ERR_CPS_TEST},
      {false, false, true, ERR_CPS_REELLE},
      {true, false, false, ERR_CHANGEMENT_CARTE},
  };
  for (const Case& C : Cases) {
    CoreTest::TTestSession Session(C.Training);
    Session.SetServer(HostsConfig().Environment(!C.OnProduction).DMP_Server);
    Session.CardPresent = C.CardPresent;
    Root->SetSession(Session);
    Replay->Answers = {Answer("200 OK", Envelope(""))};
    EXPECT_EQ(Call(), C.Code);
    EXPECT_TRUE(Replay->Wire.empty());
    EXPECT_EQ(Log.Lines, std::vector<std::string>{"Vérification de la carte CPS..."});
    Log.Lines.clear();
  }
}

TEST_F(RootTest, requests_carry_their_content_type_and_log_the_service_address) {
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  const std::string Body = Answer("200 OK", Envelope("<ok/>"));
  Replay->Answers = {Body + Body};  // one kept-alive connection
  std::string Response;
  ASSERT_EQ(Root->SendRequest("<soap/>", "registry", {}, Response), ERR_OK) << Root->GetErrDetail();
  ASSERT_EQ(Root->SendRequest("--b--", "repository", Vantrel::MTOMBoundary, Response), ERR_OK);
  EXPECT_EQ(Root->FLastRequest, "--b--");
  EXPECT_EQ(Response, Envelope("<ok/>"));
  ASSERT_EQ(Replay->Wire.size(), 1u);
  const std::string& Wire = Replay->Wire[0];
  const size_t Second = Wire.find("POST /si-dmp-server/v2/services/repository");
  ASSERT_NE(Second, std::string::npos);
  const std::string First = Wire.substr(0, Second), Next = Wire.substr(Second);
  EXPECT_EQ(First.rfind("POST /si-dmp-server/v2/services/registry HTTP/1.1\r\n", 0), 0u) << First;
  EXPECT_NE(First.find("\r\nHost: formation.test:8443\r\n"), std::string::npos) << First;
  EXPECT_NE(First.find("\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(First.find("\r\nAccept-charset: utf-8\r\n"), std::string::npos);
  EXPECT_NE(First.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  EXPECT_NE(Next.find("\r\nContent-Type: multipart/related; type=\"application/xop+xml\"; "
                      "boundary=\"=_carvelin_boundary_\"; start=\"<root.message@carvelin.soap>\"; "
                      "start-info=\"application/soap+xml\"\r\n"),
            std::string::npos)
      << Next;
  const std::vector<std::string> Expected = {
      "Vérification de la carte CPS...",
      "Interrogation du DMP [https://formation.test:8443/si-dmp-server/v2/services/registry]...",
      "Décodage de la réponse du DMP...",
      "Vérification de la carte CPS...",
      "Interrogation du DMP [https://formation.test:8443/si-dmp-server/v2/services/repository]...",
      "Décodage de la réponse du DMP..."};
  EXPECT_EQ(Log.Lines, Expected);
}

TEST_F(RootTest, answers_become_codes_and_details) {
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  struct Case {
    std::string Name, Answer;
    int Code;
    std::string Detail;
  } Cases[] = {
      {"empty 500", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", ERR_CONNEXION,
       "HTTP/1.1 500 Internal Server Error"},
      {"closed before the answer", "", ERR_CONNEXION, "WINSOCK Error #00000000 on function recv"},
      {"soap fault",
       Answer("500 Internal Server Error",
              Envelope("<s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code><s:Reason><s:Text xml:lang=\"fr\">"
                       "Requ&#234;te &lt;refus&#233;e&gt; &amp; journalis&#xE9;e</s:Text></s:Reason></s:Fault>")),
       ERR_REQUETE_REFUSEE, "Requête <refusée> & journalisée"},
      {"success", Answer("200 OK", Envelope("<q:AdhocQueryResponse xmlns:q=\"urn:q\"/>")), ERR_OK, ""},
      {"DMPAuthorizationNotFound", Answer("200 OK", RegistryError("DMPAuthorizationNotFound", "ctx 1")),
       ERR_ACCES_REFUSE, "ctx 1"},
      {"DMPAccessForbidden", Answer("200 OK", RegistryError("DMPAccessForbidden", "ctx 2")), ERR_ACCES_REFUSE,
       "ctx 2"},
      {"XDSDocumentUniqueIdError", Answer("200 OK", RegistryError("XDSDocumentUniqueIdError", "a &amp; b")),
       ERR_XOP_DOCUMENT, "a & b"},
      {"XDSReplaceFailed", Answer("200 OK", RegistryError("XDSReplaceFailed", "r")), ERR_REMPLACEMENT, "r"},
      {"XDSRegistryDeprecatedDocumentError",
       Answer("200 OK", RegistryError("XDSRegistryDeprecatedDocumentError", "d")), ERR_REMPLACEMENT, "d"},
      {"XDSTooManyResults", Answer("200 OK", RegistryError("XDSTooManyResults", "t")), ERR_TROP_DE_RESULTATS, "t"},
      {"XDSMetadataVersionError", Answer("200 OK", RegistryError("XDSMetadataVersionError", "m")),
       ERR_METADONNEES, "m"},
      {"unlisted errorCode", Answer("200 OK", RegistryError("XDSUnknownCommunity", "the context")), ERR_XOP,
       "XDSUnknownCommunity the context"},
  };
  for (const Case& C : Cases) {
    Replay->Answers = {C.Answer, C.Answer};
    Replay->Wire.clear();
    Root->HTTP->Close();
    EXPECT_EQ(Call(), C.Code) << C.Name;
    EXPECT_EQ(Root->GetErrDetail(), C.Detail) << C.Name;
    EXPECT_LE(Replay->Wire.size(), C.Answer.empty() ? 2u : 1u) << C.Name;
  }
}

TEST_F(RootTest, a_body_that_is_not_xml_is_refused_with_the_readers_message) {
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  Replay->Answers = {Answer("200 OK", "<html><body>Maintenance<br></body></html>")};
  EXPECT_EQ(Call(), ERR_REQUETE_REFUSEE);
  Vantrel::TXMLTree Tree;
  std::string Expected;
  try {
    Tree.BuildFrom("<html><body>Maintenance<br></body></html>");
  } catch (const Vantrel::EXMLError& E) {
    Expected = E.Message() + " (octet " + std::to_string(E.Index) + ")";
  }
  ASSERT_FALSE(Expected.empty());
  EXPECT_EQ(Root->GetErrDetail(), Expected);
}

TEST_F(RootTest, a_refused_connection_keeps_session_and_client_usable) {
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  EXPECT_EQ(Call(), ERR_CONNEXION);
  EXPECT_EQ(Root->GetErrDetail(), "WINSOCK Error #0000274D on function connect");
  Replay->Answers = {Answer("200 OK", Envelope("<ok/>"))};
  EXPECT_EQ(Call(), ERR_OK);
  EXPECT_EQ(Root->VaspoCNX, &Session);
}

TEST_F(RootTest, send_to_url_keeps_the_answer_of_a_failure) {
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  Replay->Answers = {Answer("500 Internal Server Error", "<fault/>")};
  std::string Out;
  EXPECT_EQ(Root->SendToURL("https://insi.test/lps", "<body/>", Out), ERR_OK);
  EXPECT_EQ(Out, "<fault/>");
  ASSERT_EQ(Replay->Wire.size(), 1u);
  EXPECT_EQ(Replay->Wire[0].rfind("POST /lps HTTP/1.1\r\n", 0), 0u);
  EXPECT_TRUE(Replay->Wire[0].ends_with("\r\n\r\n<body/>"));
}

TEST_F(RootTest, a_silent_server_ends_in_connection_error) {
  THostsConfig C = TestHosts();
  C.TimeoutSeconds = 1;
  SetHostsConfig(C);
  int Listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  ASSERT_EQ(bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
  ASSERT_EQ(listen(Listener, 4), 0);  // the kernel accepts; nobody answers
  getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &Len);
  Root->SetupHTTPClient(std::make_unique<Vantrel::THTTPClient>());
  CoreTest::TTestSession Session;
  Session.SetServer("127.0.0.1:" + std::to_string(ntohs(A.sin_port)));
  Root->SetSession(Session);
  EXPECT_EQ(Call(), ERR_CONNEXION);
  EXPECT_EQ(Root->GetErrDetail(), "WINSOCK Error #0000274C on function recv");
  close(Listener);
}

TEST_F(RootTest, web_access_addresses) {
  CoreTest::TTestSession Training(true), Production(false);
  struct Case {
    CoreTest::TTestSession* Session;
    std::string Override;
    TDMPUrl Page;
    std::string Param, Want;
  } Cases[] = {
      {&Training, "", TDMPUrl::TableauDeBord, "", "https://web.formation.test/ps/acces-web//AccesDirect/TableauDeBord"},
      {&Training, "", TDMPUrl::GestionDMP, "1840399123456",
       "https://web.formation.test/ps/acces-web//AccesDirect/GestionDMPPatient/1840399123456/1.2.250.1.213.1.4.10"},
      {&Production, "", TDMPUrl::VolontesEtDroits, "2 9é",
       "https://web.production.test/AccesDirect/VolontesEtDroits/2+9%C3%A9/1.2.250.1.213.1.4.8"},
      {&Production, "autre.test", TDMPUrl::Documents, "", "https://autre.test/AccesDirect/Documents"},
  };
  for (const Case& C : Cases) {
    Root->SetSession(*C.Session);
    Root->SetDMPUrl(C.Override);
    std::string URL;
    EXPECT_EQ(Root->GetDMPUrl(C.Page, C.Param, URL), ERR_OK);
    EXPECT_EQ(URL, C.Want);
    EXPECT_EQ(Root->FURL, C.Want);
  }
  std::string URL = "kept";
  EXPECT_EQ(Root->GetDMPUrl(static_cast<TDMPUrl>(8), "", URL), ERR_INDEX);
  EXPECT_EQ(URL, "kept");
}

TEST_F(RootTest, handshake_events_answer_with_the_card) {
  Vantrel::TTLS& TLS = *Root->HTTP->TLS();
  std::vector<std::string> Chain;
  std::string Signature;
  TLS.OnCertificateRequest(TLS, Chain);
  TLS.OnCertificateVerify(TLS, std::string(20, 'h'), Signature);
  EXPECT_TRUE(Chain.empty());  // no session
  EXPECT_TRUE(Signature.empty());

  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  TLS.OnCertificateRequest(TLS, Chain);
  EXPECT_EQ(Chain, std::vector<std::string>{Session.AuthCertificate()});
  for (size_t Length : {20, 32, 48, 64, 0}) {
    Signature.clear();
    TLS.OnCertificateVerify(TLS, std::string(Length, 'h'), Signature);
    EXPECT_EQ(Signature.size(), Length == 64 || Length == 0 ? 0u : 256u) << Length;
  }
  EXPECT_EQ(Session.SignCount, 3);
  uint32_t Status = 0x800B0109;  // CERT_E_UNTRUSTEDROOT
  TLS.OnVerifyServer(TLS, {}, Status);
  EXPECT_EQ(Status, 0x800B0109u);
}

TEST_F(RootTest, contact_parameters_are_joined_in_order) {
  EXPECT_EQ(Root->GetDMPParams("", "", "", "", "", "", ""), "");
  EXPECT_EQ(Root->GetDMPParams("0601020304", "", "", "", "", "", ""),
            Vantrel::Base64UrlEncode("TELMOBILE=0601020304"));
  EXPECT_EQ(Root->FParam, Vantrel::Base64UrlEncode("TELMOBILE=0601020304"));
}

TEST_F(RootTest, operations_of_the_root_itself) {
  EXPECT_EQ(Root->GetVersion(), 260);
  EXPECT_EQ(Root->GetParametres()->AgeMajoritee, 18);
  EXPECT_EQ(Root->GetParametres()->hrPeriodeMax, 24);
  std::shared_ptr<IVaspoCRT> CRT;
  Root->FError.SetError("old");
  try {
    Root->LoadCertificat("", "", CRT);
    ADD_FAILURE();
  } catch (const std::exception& E) {
    EXPECT_STREQ(E.what(), "TODO !");
  }
  EXPECT_EQ(Root->GetErrDetail(), "");
  const TestSupport::TempDir Dir;
  const std::string Missing = Dir / "absent-module.so";
  EXPECT_EQ(Root->SetCryptoLib(Missing), ERR_CPS);
  EXPECT_FALSE(Root->GetErrDetail().empty());
  EXPECT_EQ(Root->GetErrDetail(), Root->CryptoLib.LastLoadError());
}

// ---- Record lists ----

// A list opens records only under the session that ran its query: not
// without one, not once logged out, not under a later session, even one
// made in the same memory. Its items still read.
TEST_F(RootTest, a_record_list_opens_only_under_the_session_that_made_it) {
  const std::string Records = TestSupport::ReadFile(TestSupport::Fixture("replies/dossiers-ok.xml"));
  std::shared_ptr<IDossierList> Sessionless, Older, Current;
  ASSERT_EQ(Root->xmlGetDossiers(Records, Sessionless), ERR_OK);
  std::optional<CoreTest::TTestSession> Session;
  auto LogIn = [&] {
    Session.emplace();
    Session->FActive = true;
    Root->SetSession(*Session);
  };
  LogIn();
  ASSERT_EQ(Root->xmlGetDossiers(Records, Older), ERR_OK);
  const TVaspoCNX* const Address = &*Session;
  Session.reset();
  LogIn();
  ASSERT_EQ(&*Session, Address);  // the later session sits where the first one was
  ASSERT_EQ(Root->xmlGetDossiers(Records, Current), ERR_OK);

  std::shared_ptr<IDossierMedical> Dossier;
  for (const auto& List : {Sessionless, Older}) {
    EXPECT_EQ(List->GetDossier(0, Dossier), ERR_SESSION);
    EXPECT_EQ(List->GetDossier(2, Dossier), ERR_SESSION);  // the session is checked before the index
    ASSERT_EQ(List->GetCount(), 2);
    EXPECT_EQ(List->GetItem(1)->Patient.INSi.Type, 'D');
    EXPECT_EQ(List->GetItem(-1), nullptr);
    EXPECT_EQ(List->GetItem(2), nullptr);
  }
  Session->FActive = false;
  EXPECT_EQ(Current->GetDossier(0, Dossier), ERR_SESSION);
  Session->FActive = true;
  for (int Bad : {-1, 2}) EXPECT_EQ(Current->GetDossier(Bad, Dossier), ERR_INDEX);
  EXPECT_TRUE(Replay->Wire.empty());

  // The current session's list passes the gate to the session's existence test.
  std::shared_ptr<IDossierMedical> Direct;
  const int Expected = Session->DossierExisteItem(Current->GetItem(0)->Patient, Direct);
  const std::string Detail = Root->GetErrDetail();
  ASSERT_NE(Expected, ERR_SESSION);
  ASSERT_FALSE(Detail.empty());
  EXPECT_EQ(Current->GetDossier(0, Dossier), Expected);
  EXPECT_EQ(Root->GetErrDetail(), Detail);
}

// ---- Registry ----

class TLinked : public TDMPLink {
 public:
  using TDMPLink::TDMPLink;
};

TEST(RootRegistry, destroying_the_root_unlinks_every_object_and_the_session) {
  auto Root = TCarvelin::Create();
  auto A = std::make_unique<TLinked>(Root);
  auto B = std::make_unique<TLinked>(Root);
  TLinked Unlinked(nullptr);
  CoreTest::TTestSession Session;
  Root->SetSession(Session);
  EXPECT_EQ(A->Root(), Root);
  EXPECT_EQ(Root->Links->Count(), 2u);
  B.reset();
  EXPECT_EQ(Root->Links->Count(), 1u);
  auto Links = Root->Links;
  Root.reset();
  EXPECT_EQ(A->Root(), nullptr);
  EXPECT_EQ(Links->Count(), 0u);
  EXPECT_EQ(Session.DMP, nullptr);
  EXPECT_EQ(Unlinked.Root(), nullptr);
}

TEST(RootRegistry, a_destroyed_session_is_forgotten_and_another_unlinks_the_first) {
  auto Root = TCarvelin::Create();
  CoreTest::TTestSession First;
  Root->SetSession(First);
  {
    CoreTest::TTestSession Second;
    Root->SetSession(Second);
    EXPECT_EQ(First.DMP, nullptr);
    EXPECT_EQ(Root->VaspoCNX, &Second);
  }
  EXPECT_EQ(Root->VaspoCNX, nullptr);
}

TEST(RootRegistry, releases_on_other_threads_race_the_roots_destruction) {
  for (int Round = 0; Round < 20; ++Round) {
    auto Root = TCarvelin::Create();
    std::vector<std::unique_ptr<TLinked>> Objects;
    for (int I = 0; I < 64; ++I) Objects.push_back(std::make_unique<TLinked>(Root));
    std::atomic<bool> Go{false};
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
      Threads.emplace_back([&, T] {
        while (!Go) std::this_thread::yield();
        for (size_t I = size_t(T); I < Objects.size(); I += 4) {
          (void)Objects[I]->Root();
          Objects[I].reset();
        }
      });
    Go = true;
    Root.reset();
    for (auto& T : Threads) T.join();
  }
}

// ---- Hosts ----

TEST(Hosts, a_file_overrides_the_defaults_and_unknown_members_are_ignored) {
  const TestSupport::TempDir Dir;
  const std::string Path = Dir / "hosts.json";
  TestSupport::WriteFile(Path, R"({"Formation": {"DMP_Server": "127.0.0.1:4443", "AccesWeb": "https://127.0.0.1:4444/",
    "ParamSite": "https://127.0.0.1:4444", "INSiCard": "https://127.0.0.1:4443/lps", "INSiMutual": "https://127.0.0.1:4443/lps",
    "Extra": [1, {"a": null}]}, "Maker": "https://127.0.0.1:4444", "TimeoutSeconds": 7, "Comment": "x"})");
  const THostsConfig C = LoadHostsConfig(Path);
  EXPECT_EQ(C.Formation.DMP_Server, "127.0.0.1:4443");
  EXPECT_EQ(C.Formation.WebAccessBase(), "127.0.0.1:4444/");
  EXPECT_EQ(C.Maker, "https://127.0.0.1:4444");
  EXPECT_EQ(C.TimeoutSeconds, 7);
  EXPECT_EQ(C.Production.DMP_Server, DefaultHostsConfig().Production.DMP_Server);
  EXPECT_EQ(C.INSiDomain, DefaultHostsConfig().INSiDomain);
}

TEST(Hosts, a_bad_value_is_refused_naming_its_member) {
  const TestSupport::TempDir Dir;
  const std::string Path = Dir / "hosts.json";
  struct Case {
    std::string Text, Member;
  } Cases[] = {
      {R"({"Formation": {"DMP_Server": "https://127.0.0.1:4443"}})", "Formation.DMP_Server"},
      {R"({"Production": {"DMP_Server": "host:99999"}})", "Production.DMP_Server"},
      {R"({"Production": {"AccesWeb": "http://web.test/"}})", "Production.AccesWeb"},
      {R"({"Formation": {"INSiMutual": "https:///lps"}})", "Formation.INSiMutual"},
      {R"({"Maker": "http://maker.test"})", "Maker"},
      {R"({"TimeoutSeconds": 0})", "TimeoutSeconds"},
      {R"({"TimeoutSeconds": "soixante"})", "TimeoutSeconds"},
      {R"({"ExtraCAFile": "/nonexistent/trust.pem"})", "ExtraCAFile"},
      {R"({"INSiDomain": ""})", "INSiDomain"},
      {R"({"Formation": {"ParamSite": 12}})", "Formation.ParamSite"},
  };
  for (const Case& C : Cases) {
    TestSupport::WriteFile(Path, C.Text);
    try {
      LoadHostsConfig(Path);
      ADD_FAILURE() << C.Text;
    } catch (const EHostsConfigError& E) {
      EXPECT_EQ(std::string(E.what()).rfind(Path + ": " + C.Member + ": ", 0), 0u) << E.what();
    }
  }
  EXPECT_THROW(LoadHostsConfig(Dir / "missing.json"), EHostsConfigError);
}

TEST(Hosts, a_new_root_reads_the_file_named_by_the_environment) {
  const TestSupport::TempDir Dir;
  const std::string Path = Dir / "hosts.json";
  TestSupport::WriteFile(Path, R"({"Production": {"DMP_Server": "dmp.env.test:9443"}, "TimeoutSeconds": 9})");
  SetHostsConfig(DefaultHostsConfig());
  setenv("CARVELIN_HOSTS", Path.c_str(), 1);
  auto Root = TCarvelin::Create();
  unsetenv("CARVELIN_HOSTS");
  EXPECT_EQ(HostsConfig().Production.DMP_Server, "dmp.env.test:9443");
  EXPECT_EQ(HostsConfig().TimeoutSeconds, 9);
  EXPECT_FALSE(Vantrel::AuthnInstant().empty());
  SetHostsConfig(DefaultHostsConfig());
}

// ---- The instance OID ----

// Read from the settings store, whose folder the test chooses; a stored
// value that is not a UUID OID is replaced by a new one, written back.
TEST(InstanceOID, made_once_kept_across_roots_and_replaced_when_not_a_uuid_oid) {
  const TestSupport::TempDir Config;
  const char* Old = std::getenv("XDG_CONFIG_HOME");
  const std::string Saved = Old ? Old : "";
  setenv("XDG_CONFIG_HOME", Config.Path().c_str(), 1);
  constexpr std::string_view Key = "Software\\Talven\\Carvelin2";
  auto Stored = [&] { return Vantrel::RegReadString(Vantrel::HKEY_CURRENT_USER, Key, "LPS_OID", ""); };

  const std::string Made = TCarvelin::Create()->InstanceOID();
  EXPECT_EQ(Made.rfind("2.25.", 0), 0u) << Made;
  EXPECT_EQ(Made.find_first_not_of("0123456789", 5), std::string::npos) << Made;
  EXPECT_EQ(Stored(), Made);
  EXPECT_EQ(TCarvelin::Create()->InstanceOID(), Made);
  // Set for a test: the store is left alone.
  auto Set = TCarvelin::Create();
  Set->SetInstanceOID("2.25.1");
  EXPECT_EQ(Set->InstanceOID(), "2.25.1");
  EXPECT_EQ(Stored(), Made);

  // The largest UUID is 2^128 - 1: a larger value has no GUID form.
  for (std::string Value : {"2.25.340282366920938463463374607431768211455", "2.25.0"}) {
    Vantrel::RegWriteString(Vantrel::HKEY_CURRENT_USER, Key, "LPS_OID", Value);
    EXPECT_EQ(TCarvelin::Create()->InstanceOID(), Value);
  }
  for (std::string Value : {"", "1.2.250.1.213", "2.25.", "2.25.12a", " 2.25.12", "2.25.-1",
                            "2.25.340282366920938463463374607431768211456", "2.25.1234567890123456789012345678901234567890"}) {
    SCOPED_TRACE(Value);
    Vantrel::RegWriteString(Vantrel::HKEY_CURRENT_USER, Key, "LPS_OID", Value);
    const std::string New = TCarvelin::Create()->InstanceOID();
    EXPECT_NE(New, Value);
    EXPECT_EQ(New.rfind("2.25.", 0), 0u) << New;
    EXPECT_EQ(Stored(), New);
  }
  if (Old)
    setenv("XDG_CONFIG_HOME", Saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
