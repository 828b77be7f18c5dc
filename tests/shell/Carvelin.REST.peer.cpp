// The local REST server inside an offscreen main window with the scripted
// fake core, driven by curl (methods, uploads, headers) and Python's
// http.client, with every JSON reply read by Python's json module.
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.REST.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"
#include "UFrameListeDocuments.h"

using namespace Carvelin;
using namespace Talven;
using namespace std::chrono_literals;
using TestSupport::TFakeAnswer;
using TestSupport::TFakeCarvelin;

namespace {

constexpr const char* PatientINS = "279035121518989";  // the fake record's INS, key included

// Reads an HTTP reply printed by curl -i: status, headers (lower-case
// names) and body.
struct THTTPReply {
  int Status = 0;
  std::map<std::string, std::string> Headers;
  std::string Body;
  std::string Header(const std::string& Name) const {
    const auto It = Headers.find(Name);
    return It == Headers.end() ? std::string() : It->second;
  }
};

THTTPReply ParseReply(const std::string& Out) {
  THTTPReply R;
  const size_t End = Out.find("\r\n\r\n");
  std::istringstream Head(Out.substr(0, End));
  std::string Line;
  std::getline(Head, Line);
  if (Line.size() > 12) R.Status = std::atoi(Line.c_str() + 9);
  while (std::getline(Head, Line)) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    const size_t Colon = Line.find(':');
    if (Colon == std::string::npos) continue;
    std::string Name = Line.substr(0, Colon);
    for (char& C : Name) C = char(std::tolower(static_cast<unsigned char>(C)));
    R.Headers[Name] = Line.substr(Line.find_first_not_of(' ', Colon + 1));
  }
  if (End != std::string::npos) R.Body = Out.substr(End + 4);
  return R;
}

// A JSON value of the body as Python's json module reads it ("" when the
// body is not JSON): Expression is evaluated with the parsed body as v.
std::string PyJSON(const std::string& Body, const std::string& Expression) {
  const auto R = TestSupport::RunPython(
      "import json, sys\nv = json.loads(sys.stdin.buffer.read().decode('utf-8'))\nprint(" + Expression + ", end='')",
      {}, Body);
  return R.Status == 0 ? R.Out : "";
}

// How many times Needle is in this process's writable memory, read through
// /proc/self/mem (the scan's own buffer, a mapping of its own, left out).
size_t CopiesInMemory(std::string_view Needle) {
  constexpr size_t Chunk = 1 << 20;
  void* Buffer = mmap(nullptr, Chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Buffer == MAP_FAILED) return size_t(-1);
  const uintptr_t Own = reinterpret_cast<uintptr_t>(Buffer);
  const int Mem = open("/proc/self/mem", O_RDONLY);
  std::ifstream Maps("/proc/self/maps");
  size_t Count = 0;
  std::string Line;
  while (std::getline(Maps, Line)) {
    uintptr_t Begin = 0, End = 0;
    char Perms[5] = {};
    if (std::sscanf(Line.c_str(), "%lx-%lx %4s", &Begin, &End, Perms) != 3 || Perms[0] != 'r' || Perms[1] != 'w' ||
        Begin == Own)
      continue;
    // Chunks overlap by the needle's length less one: no copy is cut, none
    // is counted twice.
    for (uintptr_t At = Begin; At < End; At += Chunk - Needle.size() + 1) {
      const ssize_t N = pread(Mem, Buffer, std::min<uintptr_t>(Chunk, End - At), off_t(At));
      if (N <= 0) break;
      const std::string_view View(static_cast<const char*>(Buffer), size_t(N));
      for (size_t Found = View.find(Needle); Found != std::string_view::npos; Found = View.find(Needle, Found + 1))
        ++Count;
      if (At + size_t(N) >= End) break;
    }
  }
  close(Mem);
  munmap(Buffer, Chunk);
  return Count;
}

}  // namespace

class TRESTTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  int Port = 0;

  std::string Base() const { return "http://127.0.0.1:" + std::to_string(Port); }

  // Runs the program on another thread while this one serves the window's
  // steps, as the event loop does in the program.
  TestSupport::RunResult RunServed(std::vector<std::string> Argv, std::string Input = {}) {
    auto Done = std::async(std::launch::async, [Argv, Input] { return TestSupport::Run(Argv, Input); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return Done.get();
  }

  THTTPReply Curl(const std::string& Method, const std::string& Path, std::vector<std::string> Extra = {},
                  std::string Input = {}) {
    std::vector<std::string> Argv{"curl", "-s", "-i", "-X", Method, "--max-time", "30"};
    Argv.insert(Argv.end(), Extra.begin(), Extra.end());
    Argv.push_back(Base() + Path);
    return ParseReply(RunServed(Argv, std::move(Input)).Out);
  }

  void OpenCardSession() {
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CPx = CPS;
    Main->CNX = CPS;
  }

  void OpenRecord() {
    std::shared_ptr<IVaspoCNX> CNX = Main->CNX;
    std::shared_ptr<IDossierMedical> DOS;
    QCOMPARE(CNX->DossierExiste(PatientINS, 'T', DOS), ERR_OK);
    Main->DOS = DOS;
    Main->Info = DOS->GetInfo();
  }

 private slots:
  void initTestCase() {
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
  }

  void init() { Start(); }

  void Start(TScreens Screens = TScreens::Unavailable()) {
    Main.reset();
    Port = TestSupport::FreePort();
    TDMPMainOptions Options;
    const QString Ini = Dir.filePath("Carvelin2.ini");
    QFile F(Ini);
    QVERIFY(F.open(QIODevice::WriteOnly | QIODevice::Truncate));
    F.write("[Services]\nDomaineFormation=formation.test\n");
    F.close();
    Options.SettingsFile = Ini.toStdString();
    Options.DatabaseFile = Dir.filePath("Carvelin2.db3").toStdString();
    Options.Arguments = {QStringLiteral("--port"), QString::number(Port)};
    Fake = std::make_shared<TFakeCarvelin>();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Options.Screens = std::move(Screens);
    Main = std::make_unique<TDMPMain>(std::move(Options));
    QVERIFY(Main->RESTServer);
    QVERIFY(TestSupport::WaitForPort(Port));
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
  }

  // Refusals come before any step: no core call, no busy flag.
  void foreign_requests_are_refused_data() {
    QTest::addColumn<QString>("Header");
    QTest::addColumn<int>("Status");
    const QString P = QString::number(TestSupport::FreePort());
    QTest::newRow("rebinding host") << "Host: carvelin.example" << 403;
    QTest::newRow("host with other port") << "Host: localhost:1" << 403;
    QTest::newRow("page origin") << "Origin: http://carvelin.example" << 403;
    QTest::newRow("null origin") << "Origin: null" << 403;
    QTest::newRow("origin without port") << "Origin: http://127.0.0.1" << 403;
    QTest::newRow("cross-site fetch") << "Sec-Fetch-Site: cross-site" << 403;
    QTest::newRow("same-site fetch") << "Sec-Fetch-Site: same-site" << 403;
    QTest::newRow("own host") << "Host: localhost:PORT" << 200;
    QTest::newRow("own origin") << "Origin: http://[::1]:PORT" << 200;
    QTest::newRow("typed address") << "Sec-Fetch-Site: none" << 200;
  }
  void foreign_requests_are_refused() {
    QFETCH(QString, Header);
    QFETCH(int, Status);
    Header.replace(QStringLiteral("PORT"), QString::number(Port));
    Fake->Core->ClearCalls();
    const THTTPReply R = Curl("GET", "/identite", {"-H", Header.toStdString()});
    QCOMPARE(R.Status, Status);
    QCOMPARE(R.Header("x-content-type-options"), std::string("nosniff"));
    QVERIFY(R.Header("access-control-allow-origin").empty());
    if (Status == 403) {
      QCOMPARE(PyJSON(R.Body, "v['err']"), std::string("Requête refusée"));
      QVERIFY(Fake->Calls().empty());
      QVERIFY(!Busy());
    }
  }

  // Each row: method, path, curl arguments, then the status and the text
  // expected (the error text, or a Python expression's value over the reply).
  void routes_data() {
    QTest::addColumn<bool>("Session");
    QTest::addColumn<bool>("Record");
    QTest::addColumn<QString>("Method");
    QTest::addColumn<QString>("Path");
    QTest::addColumn<QStringList>("Args");
    QTest::addColumn<int>("Status");
    QTest::addColumn<QString>("Expression");
    QTest::addColumn<QString>("Expected");
    const QString Ins = QString::fromLatin1(PatientINS);
    QTest::newRow("identite opens the card") << false << false << "GET" << "/identite" << QStringList{} << 200
                                             << "v['Porteur']['IdNational']" << "899700218896";
    QTest::newRow("load cps") << false << false << "GET" << "/patients" << QStringList{} << 400 << "v['err']"
                              << "Load CPS";
    QTest::newRow("categories") << false << false << "GET" << "/categories" << QStringList{} << 200
                                << "len(v), v[0]['Name'], v[72]['Code']" << "73 Synthèse 75482-0";
    QTest::newRow("cadres") << false << false << "GET" << "/cadres" << QStringList{} << 200
                            << "len(v), v[5]['Code']" << "8 SAMU_SMUR";
    QTest::newRow("serveur") << true << false << "GET" << "/serveur" << QStringList{} << 200 << "v['server']"
                             << "dmp.test";
    QTest::newRow("serveur 3") << true << false << "POST" << "/serveur" << QStringList{"-d", "Number=3"} << 200
                               << "v['server']" << "formation3.formation.test";
    QTest::newRow("serveur 2") << true << false << "POST" << "/serveur" << QStringList{"-d", "Number=2"} << 400
                               << "v['err']" << "Valeur invalide";
    QTest::newRow("patients") << true << false << "GET" << "/patients"
                              << QStringList{"-G", "--data-urlencode", "Nom=Dupont", "--data-urlencode", "Sexe=F"}
                              << 200 << "type(v).__name__" << "list";
    QTest::newRow("non-utf-8 query") << true << false << "GET" << "/patients?Nom=%E9" << QStringList{} << 400
                                     << "v['err']" << "Requête invalide";
    QTest::newRow("nul in query") << true << false << "GET" << "/patients?Nom=A%00B" << QStringList{} << 400
                                  << "v['err']" << "Requête invalide";
    QTest::newRow("bad date") << true << false << "GET" << "/patients?Naissance=31-31-2020" << QStringList{} << 400
                              << "'err' in v" << "True";
    QTest::newRow("insi without name") << true << false << "GET" << "/patients/insi?Prenom=A" << QStringList{}
                                       << 400 << "v['err']" << "Le nom est obligatoire";
    QTest::newRow("insi without sex") << true << false << "GET"
                                      << "/patients/insi?Nom=A&Prenom=B&Naissance=1980-01-02&Sexe=X"
                                      << QStringList{} << 400 << "v['err']" << "Le sexe est obligatoire";
    QTest::newRow("insi") << true << false << "GET" << "/patients/insi?Nom=A&Prenom=B&Naissance=1980-01-02&Sexe=F"
                          << QStringList{} << 200 << "v['INSi']['INS'], v['Qualified']" << Ins + " False";
    QTest::newRow("records since") << true << false << "GET" << "/patients/documents?Depuis=2024-03-01"
                                   << QStringList{} << 200 << "type(v).__name__" << "list";
    QTest::newRow("current without record") << true << false << "GET" << "/patients/current" << QStringList{}
                                            << 400 << "v['err']" << "Aucun dossier actif";
    QTest::newRow("short ins") << true << false << "GET" << "/patients/12345" << QStringList{} << 400 << "v['err']"
                               << "INS Invalide";
    QTest::newRow("bad key") << true << false << "GET" << "/patients/279035121518988" << QStringList{} << 400
                             << "v['err']" << "INS Invalide";
    QTest::newRow("15-character ins") << true << false << "GET" << "/patients/" + Ins << QStringList{} << 200
                                      << "v['Patient']['INSi']['Code']" << Ins;
    QTest::newRow("current") << true << true << "GET" << "/patients/current" << QStringList{} << 200
                             << "v['Patient']['INSi']['Code']" << Ins;
    QTest::newRow("documents") << true << true << "GET" << "/patients/current/documents" << QStringList{} << 200
                               << "len(v), v[1]['Extension']" << "3 PDF";
    QTest::newRow("put on current") << true << true << "PUT" << "/patients/current/documents/pdf"
                                    << QStringList{"-H", "Content-Length: 0"} << 400 << "v['err']"
                                    << "Invalide request";
    QTest::newRow("delete on current") << true << true << "DELETE" << "/patients/current/documents/x"
                                       << QStringList{"-H", "Content-Length: 0"} << 400 << "v['err']"
                                       << "Invalide request";
    QTest::newRow("other method") << true << false << "PATCH" << "/patients"
                                  << QStringList{"-H", "Content-Length: 0"} << 400 << "v['err']"
                                  << "Invalide request";
    const QStringList Form{"-F", "Titre=CR", "-F", "File=@-;filename=cr.pdf", "-F", "TypeDoc=11488-4",
                           "-F", "Cadre=AMBULATOIRE", "-F", "Confidentialite=1"};
    QTest::newRow("put") << true << false << "PUT" << "/patients/" + Ins + "T/documents/pdf" << Form << 200
                         << "v['UniqueID']" << "1.2.250.1.999.1.1.1";
    QTest::newRow("put across words") << true << false << "PUT" << "/patients/" + Ins + "/documents/df%20"
                                      << Form << 400 << "v['err']" << "Invalide format";
    QTest::newRow("put upper case") << true << false << "PUT" << "/patients/" + Ins + "/documents/PDF" << Form
                                    << 400 << "v['err']" << "Invalide format";
    QTest::newRow("put unknown setting") << true << false << "PUT" << "/patients/" + Ins + "/documents/pdf"
                                         << (QStringList(Form) << "-F" << "Cadre=BLOC") << 400 << "v['err']"
                                         << "Cadre d'exercice invalide";
    QTest::newRow("put text as pdf") << true << false << "PUT" << "/patients/" + Ins + "/documents/pdf"
                                     << QStringList{"-F", "Titre=CR", "-F", "File=texte;filename=cr.pdf", "-F",
                                                    "TypeDoc=11488-4", "-F", "Cadre=AMBULATOIRE"}
                                     << 400 << "v['err']" << "Invalide format";
    QTest::newRow("put control character") << true << false << "PUT" << "/patients/" + Ins + "/documents/pdf"
                                           << (QStringList(Form) << "-F" << "Comment=a\x01b") << 400 << "v['err']"
                                           << "Requête invalide";
    QTest::newRow("put without title") << true << false << "PUT" << "/patients/" + Ins + "/documents/pdf"
                                       << QStringList{"-F", "TypeDoc=11488-4"} << 400 << "v['err']"
                                       << "Le titre est obligatoire";
    QTest::newRow("delete") << true << false << "DELETE" << "/patients/" + Ins + "/documents/1.2%22x" << QStringList{}
                            << 200 << "v['UniqueID'], v['status']" << "1.2\"x Deleted";
  }
  void routes() {
    QFETCH(bool, Session);
    QFETCH(bool, Record);
    QFETCH(QString, Method);
    QFETCH(QString, Path);
    QFETCH(QStringList, Args);
    QFETCH(int, Status);
    QFETCH(QString, Expression);
    QFETCH(QString, Expected);
    if (Session) OpenCardSession();
    if (Record) OpenRecord();
    std::vector<std::string> Extra;
    for (const QString& A : Args) Extra.push_back(A.toStdString());
    // A file part "@-" is read from curl's standard input.
    const THTTPReply R = Curl(Method.toStdString(), Path.toStdString(), Extra, "%PDF-1.4 test");
    QCOMPARE(R.Status, Status);
    QCOMPARE(R.Header("content-type"), std::string("application/json; charset=utf-8"));
    QCOMPARE(QString::fromStdString(PyJSON(R.Body, Expression.toStdString())), Expected);
    QTRY_VERIFY(!Busy() || Main->LiveTasks() > 0);
  }

  void documents_are_served_as_attachments_and_sources_as_sandboxed_html() {
    OpenCardSession();
    Fake->Core->Data.Documents[0].Nom =
        "<html><head><title>Compte rendu</title></head><body><script>fetch('/identite')</script>"
        "<p>Tension 12/8</p></body></html>";
    const std::string Docs = "/patients/" + std::string(PatientINS) + "T/documents/";
    const THTTPReply Doc = Curl("GET", Docs + Fake->Core->Data.Documents[1].UniqueID);
    QCOMPARE(Doc.Status, 200);
    QCOMPARE(Doc.Header("content-disposition"), std::string("attachment;filename=Document.PDF"));
    QCOMPARE(Doc.Body, Fake->Core->Data.Contents[1]);
    const THTTPReply Source = Curl("GET", Docs + Fake->Core->Data.Documents[0].UniqueID + "/xml");
    QCOMPARE(Source.Status, 200);
    QCOMPARE(Source.Header("content-type"), std::string("text/html; charset=utf-8"));
    QCOMPARE(Source.Header("content-security-policy"), std::string("sandbox; default-src 'none'"));
    QCOMPARE(Source.Header("x-content-type-options"), std::string("nosniff"));
    const auto Html = TestSupport::RunPython(R"(
import sys
from html.parser import HTMLParser
class P(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.text = [], []
    def handle_starttag(self, tag, attrs): self.tags.append(tag)
    def handle_data(self, data): self.text.append(data)
p = P()
p.feed(sys.stdin.buffer.read().decode('utf-8'))
p.close()
print(' '.join(p.tags), '|', p.text[0], '|', p.text[-1], end='')
)",
                                             {}, Source.Body);
    QCOMPARE(QString::fromStdString(Html.Out), QStringLiteral("html head title body script p | Compte rendu | Tension 12/8"));
  }

  // Without a training domain configured no training server exists.
  void training_server_needs_its_domain() {
    OpenCardSession();
    DomaineFormation.clear();
    const THTTPReply R = Curl("POST", "/serveur", {"-d", "Number=3"});
    QCOMPARE(R.Status, 400);
    QCOMPARE(PyJSON(R.Body, "v['err']"), std::string("Valeur invalide"));
    QCOMPARE(Main->CNX->GetServer(), std::string("dmp.test"));
  }

  // The card the stand-in reader holds, served as it was read.
  void vitale_card_is_served_as_read() {
    // The real client core in place of the fake one.
    Main->DMP = TCarvelin::Create();
    const std::string Card = TestSupport::Fixture("vitale/one-benef.xml").string();
    setenv("APILEC_STUB_XML", Card.c_str(), 1);
    setenv("APILEC_STUB_CARD", "0", 1);
    QCOMPARE(Main->DMP->SetApiLecture(TestSupport::ToolPath("libapi_lec_stub.so.6.2.1.0")), ERR_OK);
    const THTTPReply R = Curl("GET", "/patients/vitale");
    unsetenv("APILEC_STUB_XML");
    unsetenv("APILEC_STUB_CARD");
    QCOMPARE(R.Status, 200);
    QCOMPARE(R.Body, TestSupport::ReadFile(Card));
    QVERIFY(Main->CSV);
  }

  // A record opened by the host names itself in the INS box; a documents
  // request of that record sets the window's filters and leaves the window
  // the list it shows, whose rows it then opens.
  void own_record_requests_update_the_window() {
    OpenCardSession();
    const std::string Ins = PatientINS;
    QCOMPARE(Curl("GET", "/patients/" + Ins).Status, 200);
    QVERIFY(Main->DOS);
    QCOMPARE(Main->edINSC->text().toStdString(), Ins);

    const THTTPReply R = Curl("GET", "/patients/current/documents",
                              {"-G", "--data-urlencode", "Debut=2024-03-01 10:30:00", "-d", "Mode=1"});
    QCOMPARE(R.Status, 200);
    TDocuments& F = *Main->Documents;
    QVERIFY(Main->List);
    QCOMPARE(Main->List, F.List);
    QCOMPARE(F.ListBox->Count(), 3);
    QVERIFY(F.cbDateDocAfter->isChecked());
    Vantrel::TDateTime First = 0;
    QVERIFY(Vantrel::TryEncodeDate(2024, 3, 1, First));
    QCOMPARE(F.dtDateDocAfter->DateTime(), First);
    QCOMPARE(qRound(F.dtHourDocAfter->DateTime() * 1440), 10 * 60 + 30);
    QVERIFY(!F.cbDateDocBefore->isChecked());
    QVERIFY(F.cbSubmitDate->isChecked());

    Fake->Core->ClearCalls();
    F.ListBox->SetItemIndex(1);
    Main->ListBoxDblClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    const std::vector<TestSupport::TFakeCall> Calls = Fake->Calls();
    QVERIFY(std::ranges::any_of(Calls, [this](const TestSupport::TFakeCall& C) {
      return C.Name == "GetDocument" && C.Args == Fake->Core->Data.Documents[1].UniqueID;
    }));
  }

  // A host's document filter shows in the frame, so that "Actualiser les
  // informations" keeps it: an open end leaves its box unticked.
  void document_filter_shows_in_the_frame_data() {
    QTest::addColumn<QString>("Query");
    QTest::addColumn<QString>("After");
    QTest::addColumn<QString>("Before");
    QTest::addColumn<bool>("Submission");
    QTest::newRow("both ends") << "?Debut=2023-05-02T08:30:00&Fin=2024-01-31T18:00:00&Mode=true"
                               << "02/05/2023 08:30" << "31/01/2024 18:00" << true;
    QTest::newRow("no ends") << "" << "" << "" << false;
    QTest::newRow("start only") << "?Debut=2020-02-29" << "29/02/2020 00:00" << "" << false;
  }
  void document_filter_shows_in_the_frame() {
    QFETCH(QString, Query);
    QFETCH(QString, After);
    QFETCH(QString, Before);
    QFETCH(bool, Submission);
    OpenCardSession();
    OpenRecord();
    TDocuments& F = *Main->Documents;
    F.cbDateDocBefore->setChecked(true);
    QVERIFY(F.cbDateDocAfter->isChecked());  // the window's month back
    QCOMPARE(Curl("GET", "/patients/current/documents" + Query.toStdString()).Status, 200);
    const auto Shown = [](const QCheckBox* Box, const TDateTimePicker* Date, const TDateTimePicker* Hour) {
      if (!Box->isChecked()) return QString();
      return QString::fromStdString(Vantrel::FormatDateTime(
          "dd/mm/yyyy hh:nn", Vantrel::ComposeDateTime(Vantrel::DateOf(Date->DateTime()), Hour->DateTime())));
    };
    QCOMPARE(Shown(F.cbDateDocAfter, F.dtDateDocAfter, F.dtHourDocAfter), After);
    QCOMPARE(Shown(F.cbDateDocBefore, F.dtDateDocBefore, F.dtHourDocBefore), Before);
    QCOMPARE(F.cbSubmitDate->isChecked(), Submission);
  }

  void test_page() {
    const THTTPReply Page = Curl("GET", "/");
    QCOMPARE(Page.Status, 200);
    QVERIFY(Page.Body.find("<title>Carvelin REST API</title>") != std::string::npos);
    QCOMPARE(Curl("GET", "/Carvelin.js").Header("content-type"), std::string("text/javascript; charset=utf-8"));
    QCOMPARE(Curl("GET", "/Carvelin.css").Header("content-type"), std::string("text/css; charset=utf-8"));
    const THTTPReply Missing = Curl("GET", "/%3Cscript%3Ealert(1)%3C%5Cscript%3E");
    QCOMPARE(Missing.Status, 404);
    QCOMPARE(Missing.Header("content-type"), std::string("text/plain; charset=utf-8"));
    QCOMPARE(Missing.Body, std::string("<script>alert(1)<\\script> not found"));
    QCOMPARE(Curl("GET", "/index.HTML").Status, 404);
  }

  // The second request gets "Busy" while the first holds the session, and
  // so does reading the Vitale card; a test-page request in between does not
  // free it.
  void concurrent_requests_get_busy() {
    OpenCardSession();
    Fake->Script("GetPatients", TFakeAnswer{.Delay = 1500ms});
    const std::string Script = R"(
import http.client, json, sys, threading, time
port = int(sys.argv[1])
def get(path):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    c.request('GET', path)
    r = c.getresponse()
    return r.status, r.read()
first = {}
t = threading.Thread(target=lambda: first.update(r=get('/patients?Nom=A')))
t.start()
time.sleep(0.5)
busy = get('/serveur')
card = get('/patients/vitale')
page = get('/')
still = get('/serveur')
t.join()
after = get('/serveur')
print(busy[0], json.loads(busy[1])['err'], card[0], json.loads(card[1])['err'], page[0],
      still[0], json.loads(still[1])['err'], first['r'][0], after[0], json.loads(after[1])['server'])
)";
    auto Done = std::async(std::launch::async,
                           [&] { return TestSupport::RunPython(Script, {std::to_string(Port)}); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const auto R = Done.get();
    QCOMPARE(QString::fromStdString(R.Out).trimmed(),
             QStringLiteral("400 Busy 400 Busy 200 400 Busy 200 200 dmp.test"));
  }

  // A request's completion shows no box (nobody may be there to click):
  // the local-documents frame that is not there yet says nothing, and an
  // error box's text becomes the reply.
  void completions_show_no_box_data() {
    QTest::addColumn<bool>("Failing");
    QTest::addColumn<int>("Status");
    QTest::addColumn<QString>("Expression");
    QTest::addColumn<QString>("Expected");
    QTest::newRow("information") << false << 200 << "v['Patient']['INSi']['Code']" << PatientINS;
    QTest::newRow("error") << true << 400 << "v['err']" << QString::fromUtf8(ErrorMessage(ERR_EXCEPTION).data());
  }
  void completions_show_no_box() {
    QFETCH(bool, Failing);
    QFETCH(int, Status);
    QFETCH(QString, Expression);
    QFETCH(QString, Expected);
    TScreens Screens = TScreens::Unavailable();
    if (Failing) Screens.DocumentsLocauxCreate = [](QWidget*, IDocumentsLocauxHost&) -> QWidget* { throw std::runtime_error("panne"); };
    Start(std::move(Screens));
    QVERIFY(TestSupport::WaitForPort(Port));
    OpenCardSession();
    Fake->Core->Data.Dossier.Autorisation = "N";  // documents not readable: the local ones are shown
    QStringList Shown;
    SetMessageBoxHook([&](QMessageBox& Box) {
      Shown << Box.text();
      return int(QMessageBox::Ok);
    });
    const THTTPReply R = Curl("GET", "/patients/" + std::string(PatientINS));
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
    QCOMPARE(Shown, QStringList());
    QCOMPARE(R.Status, Status);
    QCOMPARE(QString::fromStdString(PyJSON(R.Body, Expression.toStdString())), Expected);
    QVERIFY(Main->DOS);
  }

  // The PIN sent as the test page sends it (a form body) leaves no copy in
  // memory: the card's own (the fake's) is the only one, before and after.
  // The client makes the PIN itself, so the test's memory holds no request
  // copy.
  void pin_copies_are_wiped() {
    OpenCardSession();
    const std::string Prefix = "k7Q";
    Fake->Core->Data.Pin = Prefix + "z";
    const std::string Needle = Fake->Core->Data.Pin;
    const std::string Script = R"(
import http.client, sys
port, pin = int(sys.argv[1]), sys.argv[2] + 'z'
out = []
for path, body in (('/identite/899700218896', 'Code=' + pin), ('/identite/899700218896', 'Force=1&Code=' + pin)):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    c.request('POST', path, body, {'Content-Type': 'application/x-www-form-urlencoded'})
    out.append(str(c.getresponse().status))
    c.close()
print(' '.join(out), end='')
)";
    const std::vector<std::string> Args{std::to_string(Port), Prefix};
    const size_t Before = CopiesInMemory(Needle);
    auto Done = std::async(std::launch::async, [&] { return TestSupport::RunPython(Script, Args); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const auto R = Done.get();
    QCOMPARE(QString::fromStdString(R.Out), QStringLiteral("200 200"));
    QCOMPARE(CopiesInMemory(Needle), Before);
  }

  // Forty connections that send nothing (or a head that never ends) do not
  // keep a new connection from being served.
  void slow_connections_leave_a_worker() {
    const std::string Script = R"(
import http.client, socket, sys, time
port = int(sys.argv[1])
held = []
for i in range(40):
    s = socket.create_connection(('127.0.0.1', port), timeout=30)
    if i % 2:
        s.sendall(b'GET /cadres HTTP/1.1\r\nHost: 127.0.0.1\r\n')
    held.append(s)
time.sleep(0.5)
c = http.client.HTTPConnection('127.0.0.1', port, timeout=20)
c.request('GET', '/cadres')
r = c.getresponse()
print(r.status, len(r.read()) > 0, end='')
)";
    auto Done = std::async(std::launch::async, [&] { return TestSupport::RunPython(Script, {std::to_string(Port)}); });
    while (Done.wait_for(0s) != std::future_status::ready) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const auto R = Done.get();
    QVERIFY2(R.Status == 0, R.Err.c_str());
    QCOMPARE(QString::fromStdString(R.Out), QStringLiteral("200 True"));
  }

  // Another account's program is refused before anything is read (curl
  // sees the connection closed without a reply); our own is served.
  void other_users_are_refused() {
    if (getuid() != 0) QSKIP("needs root to run curl as nobody (runuser)");
    const std::string Url = Base() + "/cadres";
    auto Get = [&](std::vector<std::string> Prefix) {
      Prefix.insert(Prefix.end(), {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "20", Url});
      return RunServed(Prefix);
    };
    const auto Nobody = Get({"runuser", "-u", "nobody", "--"});
    QCOMPARE(QString::fromStdString(Nobody.Out), QStringLiteral("000"));
    QCOMPARE(Nobody.Status, 52);  // empty reply from server
    QCOMPARE(QString::fromStdString(Get({}).Out), QStringLiteral("200"));
  }

  // The PIN route's checks, in order.
  void pin_checks_data() {
    QTest::addColumn<QString>("Path");
    QTest::addColumn<QString>("Body");
    QTest::addColumn<int>("Tries");
    QTest::addColumn<QString>("Expected");
    QTest::newRow("other card") << "/identite/123" << "Code=1234" << 3 << "La carte \"123\" n'est pas dans le lecteur";
    QTest::newRow("short code") << "/identite/899700218896" << "Code=12" << 3 << "Code invalide";
    QTest::newRow("blocked") << "/identite/899700218896" << "Code=1234" << -1 << "La carte CPS est grillée";
    QTest::newRow("last tries") << "/identite/899700218896" << "Code=1234" << 2 << "Il ne reste que 2 tentatives";
    QTest::newRow("forced") << "/identite/899700218896" << "Code=1234&Force=1" << 2 << "";
    QTest::newRow("accepted") << "/identite/899700218896?Code=1234" << "" << 3 << "";
  }
  void pin_checks() {
    QFETCH(QString, Path);
    QFETCH(QString, Body);
    QFETCH(int, Tries);
    QFETCH(QString, Expected);
    Fake->Core->Data.PinTries = Tries;
    std::vector<std::string> Extra{"-H", "Content-Length: 0"};
    if (!Body.isEmpty()) Extra = {"-d", Body.toStdString()};
    const THTTPReply R = Curl("POST", Path.toStdString(), Extra);
    if (Expected.isEmpty()) {
      QCOMPARE(R.Status, 200);
      QCOMPARE(PyJSON(R.Body, "v['Porteur']['IdNational']"), std::string("899700218896"));
    } else {
      QCOMPARE(R.Status, 400);
      QCOMPARE(QString::fromStdString(PyJSON(R.Body, "v['err']")), Expected);
    }
    for (const auto& Call : Fake->Calls()) QVERIFY(Call.Args.find("1234") == std::string::npos);
  }

  // Closing while a request waits in the core: the request ends, the
  // server stops, nothing deadlocks.
  void closing_during_a_request() {
    OpenCardSession();
    Fake->Script("GetPatients", TFakeAnswer{.Delay = 1000ms});
    auto Done = std::async(std::launch::async, [this] {
      return TestSupport::Run({"curl", "-s", "-i", "--max-time", "30", Base() + "/patients"});
    });
    QTRY_VERIFY(!Fake->Calls().empty() && Fake->Calls().back().Name == "GetPatients");
    Main->close();
    QVERIFY(Main->RESTServer->Closing());
    QCOMPARE(Done.wait_for(20s), std::future_status::ready);
    QCOMPARE(TestSupport::ConnectLoopback(Port), -1);
  }
};

QTEST_MAIN(TRESTTest)
#include "Carvelin.REST.peer.moc"
