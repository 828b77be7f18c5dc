// The record-opening letter against the simulator's letter service: the
// request's data decoded by Python's base64 and json, the saved file read
// by pdfinfo, and the main window's offer opening the file or, failing
// that, the address.
#include <QDesktopServices>
#include <QtTest>

#include <filesystem>
#include <thread>

#include "Carvelin.MessageDlg.h"
#include "Carvelin.Letters.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.TinyTLS12.h"

namespace fs = std::filesystem;
using namespace Carvelin;
using namespace Talven;

namespace {

// What the letter service received, decoded by Python: "name|ins", and
// whether the raw query held only unreserved characters and escapes.
std::string DecodedByPython(const std::string& LogLine) {
  const auto R = TestSupport::Run(
      {TestSupport::Python, "-c",
       "import base64, json, re, sys\n"
       "e = json.loads(sys.stdin.read())['ouverture']\n"
       "raw = e['query'][len('data='):]\n"
       "d = json.loads(base64.b64decode(e['data'], validate=True).decode('utf-8'))\n"
       "print('%s|%s|%s' % (d['name'], d['ins'], bool(re.fullmatch(r'[A-Za-z0-9%]*', raw))), end='')\n"},
      LogLine);
  return R.Status == 0 ? R.Out : "python: " + R.Err;
}

// The letter request logged after Since (the window's start-up may log
// others around it), "" when none comes.
std::string LetterRequest(const SimTest::TSimulator& Sim, size_t Since) {
  for (int Tries = 0; Tries < 200; ++Tries) {
    for (const std::string& Entry : Sim.Log(Since))
      if (Entry.find("\"ouverture\"") != std::string::npos) return Entry;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return {};
}

std::string PdfInfoPages(const std::string& File) {
  const auto R = TestSupport::Run({"pdfinfo", File});
  const size_t At = R.Out.find("Pages:");
  if (R.Status != 0 || At == std::string::npos) return "pdfinfo failed";
  return QString::fromStdString(R.Out.substr(At + 6, R.Out.find('\n', At) - At - 6)).trimmed().toStdString();
}

// Records the addresses the desktop would open.
class TOpened : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> Urls;
 public slots:
  void Open(const QUrl& Url) { Urls.push_back(Url); }
};

}  // namespace

class TOpeningLetterTest : public QObject {
  Q_OBJECT

  SimTest::TSimulator Sim;
  TestSupport::TempDir Work;
  TOpened Opened;

  void Variant(const char* Name) {
    Sim.SetRules(Name ? std::string(R"([{"match": {"path": "/dmp/ouverture.php"}, "variant": ")") + Name + "\"}]"
                      : std::string("[]"));
  }
  bool NothingBut(const std::vector<std::string>& Names) const {
    std::vector<std::string> Found;
    for (const auto& E : fs::directory_iterator(Work.Path())) Found.push_back(E.path().filename().string());
    std::ranges::sort(Found);
    return Found == Names;
  }

 private slots:
  void initTestCase() {
    QVERIFY(bool(Sim));
    TestSupport::SetProxyEnvironment(nullptr, nullptr, nullptr);
    Vantrel::RegisterTinyTLSEngine();
    Vantrel::RegisterSChannelSocketMaker();
    SetHostsConfig(LoadHostsConfig(Sim.HostsFile));
    QVERIFY(HostsConfig().Maker.starts_with("https://"));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &Opened, "Open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &Opened, "Open");
  }

  void cleanupTestCase() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  }

  void init() {
    Variant(nullptr);
    Opened.Urls.clear();
    for (const auto& E : fs::directory_iterator(Work.Path())) fs::remove_all(E.path());
  }

  void letter_carries_name_and_ins_and_is_saved_as_pdf() {
    const std::string Name = "Madame Zoé-Marie D'ARC + /=";
    const std::string URL = OpeningLetterURL(HostsConfig().Maker, Name, "279035121518989");
    const std::string File = (Work.Path() / LetterFileName("279035121518989")).string();
    QCOMPARE(fs::path(File).filename().string(), std::string("DMP_279035121518989.PDF"));
    const size_t Since = Sim.LogSize();
    QVERIFY(DownloadLetter(URL, File));
    const auto Log = Sim.WaitForLog(1, Since);
    QCOMPARE(Log.size(), size_t(1));
    QCOMPARE(DecodedByPython(Log[0]), Name + "|279035121518989|True");
    QCOMPARE(PdfInfoPages(File), std::string("1"));
    QVERIFY(NothingBut({"DMP_279035121518989.PDF"}));
  }

  void answer_that_is_no_pdf_saves_nothing_data() {
    QTest::addColumn<QString>("Variant");
    QTest::newRow("HTML page, 200") << "html";
    QTest::newRow("error page, 500") << "error";
    QTest::newRow("PDF, 500") << "pdf_500";
  }
  void answer_that_is_no_pdf_saves_nothing() {
    QFETCH(QString, Variant);
    this->Variant(Variant.toStdString().c_str());
    const std::string File = (Work.Path() / "DMP_1.PDF").string();
    QVERIFY(!DownloadLetter(OpeningLetterURL(HostsConfig().Maker, "M", "1"), File));
    QVERIFY(NothingBut({}));
  }

  void letter_needs_https_and_a_plain_ins() {
    QCOMPARE(OpeningLetterURL("", "M", "1"), std::string());
    QCOMPARE(OpeningLetterURL("http://127.0.0.1:1", "M", "1"), std::string());
    QVERIFY(OpeningLetterURL("HTTPS://maker.test", "M", "1").starts_with("HTTPS://maker.test/dmp/ouverture.php?data="));
    for (const char* Bad : {"", "12345678901234567890123", "../x", "12 34", "1é", "12/3"})
      QCOMPARE(LetterFileName(Bad), std::string());
    QCOMPARE(LetterFileName("1234567890123456789012"), std::string("DMP_1234567890123456789012.PDF"));
  }

  // The window: declining the web-access offer fetches the letter into the
  // working folder and opens it; a failed letter opens its address.
  void declined_web_access_offer_opens_the_letter_or_its_address() {
    const fs::path Previous = fs::current_path();
    fs::current_path(Work.Path());
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::No); });
    auto Fake = std::make_shared<TestSupport::TFakeCarvelin>();
    {
      TDMPMainOptions Options;
      Options.SettingsFile = (Work.Path() / "carvelin2.ini").string();
      Options.DatabaseFile = (Work.Path() / "carvelin2.db3").string();
      Options.CreateRoot = [Fake] { return std::shared_ptr<ICarvelin>(Fake); };
      TDMPMain Main(std::move(Options));
      std::shared_ptr<IVaspoCPS> CPS;
      QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
      QCOMPARE(CPS->DossierExiste("1", 'T', Main.DOS), ERR_OK);
      const size_t Since = Sim.LogSize();
      Main.wAcces = 2;
      Main.CreerAccesWeb();
      QTRY_COMPARE(Main.LiveTasks(), 0);
      QCOMPARE(Main.wAcces, 0);
      QCOMPARE(Opened.Urls.size(), size_t(1));
      const fs::path Letter = Work.Path() / "DMP_279035121518989.PDF";
      QCOMPARE(Opened.Urls[0], QUrl::fromLocalFile(QString::fromStdString(Letter.string())));
      QCOMPARE(PdfInfoPages(Letter.string()), std::string("1"));
      QCOMPARE(DecodedByPython(LetterRequest(Sim, Since)), std::string("Madame MARIE DUPONT|279035121518989|True"));

      Variant("html");
      fs::remove(Letter);
      Main.wAcces = 2;
      Main.CreerAccesWeb();
      QTRY_COMPARE(Main.LiveTasks(), 0);
      QCOMPARE(Opened.Urls.size(), size_t(2));
      QCOMPARE(Opened.Urls[1].scheme(), QStringLiteral("https"));
      QVERIFY(Opened.Urls[1].toString().contains(QStringLiteral("/dmp/ouverture.php?data=")));
      QVERIFY(!fs::exists(Letter));
    }
    SetMessageBoxHook(nullptr);
    fs::current_path(Previous);
  }
};

QTEST_MAIN(TOpeningLetterTest)
#include "Carvelin.OpeningLetter.peer.moc"
