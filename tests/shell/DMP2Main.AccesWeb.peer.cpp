// The patient's web access from the main window with the real client core,
// a SoftHSM2 CPS card and the simulator: the requests of each work step in
// order (read by Python from the request log), the letter's query decoded
// by Python, the letter file read by poppler, and what the desktop was
// asked to open.
#include <QDesktopServices>
#include <QtTest>

#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "Carvelin.Letters.h"
#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "UAccesWeb.h"

namespace fs = std::filesystem;
using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";  // an account with both channels
constexpr std::string_view NdiayeINS = "299109934104413";  // no web access

const char* AccessExists = R"([{"match": {"operation": "createPatientAccess"}, "variant": "access_exists", "times": 1}])";

std::string LetterRules(const QString& Variant) {
  return Variant.isEmpty() ? "[]"
                           : R"([{"match": {"path": "/dmp/index.php"}, "variant": ")" + Variant.toStdString() + "\"}]";
}

}  // namespace

class TDMP2MainAccesWebPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  std::vector<QString> Boxes;
  int TaskChoice = mrCancel;  // the task dialog's answer
  int Asked = 0;          // task dialogs shown
  fs::path Previous;
  std::unique_ptr<TDMPMain> Window;
  std::vector<QUrl> Urls;  // what the desktop was asked to open

  QString FirstBox() const { return Boxes.empty() ? QString() : Boxes.front(); }
  fs::path Letter(std::string_view INS) const { return Work.Path() / ("DMP_" + std::string(INS) + ".PDF"); }

  // The logged-in window, made once, with the record INS opened anew.
  TDMPMain* OpenRecord(std::string_view INS) {
    if (!Window) {
      TDMPMainOptions Options = MainOptions();
      Options.Screens = TScreens::Program();
      Options.Screens.AccesWebTaskDialog = [this](QWidget*) {
        ++Asked;
        return TaskChoice;
      };
      Window = std::make_unique<TDMPMain>(std::move(Options));
      if (!LogIn(*Window)) return nullptr;
      Window->ibCPX->SetImageIndex(1);
      Window->show();
    }
    Window->LoadINSC(std::string(INS), false);
    if (!QTest::qWaitFor([&] { return Window->LiveTasks() == 0; }, 30000) || !Window->DOS) return nullptr;
    return Window.get();
  }

  // Runs the record menu's web access, filling the form as given, until the form is gone.
  bool RunForm(TDMPMain& Main, const QString& EMail, const QString& Mobile, bool Renew) {
    bool Filled = false;
    const auto Answer = AnswerModal<TAccesWeb>([&](TAccesWeb& Form) {
      Form.edEMail->setText(EMail);
      Form.edMobile->setText(Mobile);
      Form.cbRenew->setChecked(Renew);
      Filled = true;
      Form.btAcces->click();
    });
    Main.mnCreerAccesPatientClick();
    return QTest::qWaitFor(
        [&] { return Filled && Main.LiveTasks() == 0 && !QApplication::activeModalWidget(); }, 60000);
  }

  void Reset(const std::string& Rules) {
    Sim.Reset();
    Sim.SetRules(Rules);
    Boxes.clear();
    Asked = 0;
    Urls.clear();
    for (std::string_view INS : {MartinINS, NdiayeINS}) fs::remove(Letter(INS));
  }

  // The account's requests after Since as Python tuples, the letter's
  // decoded data compared with the credentials the simulator made.
  static constexpr std::string_view Prelude = R"PY(
import hashlib
def steps():
    out = []
    for e in requests:
        op = e.get('operation')
        if op in ('createPatientAccess', 'updatePatientAccess', 'patientOTPUpdate'):
            b = body(e)
            out.append((op, first(b, 'type'), first(b, 'canal') or '', first(b, 'action')))
    return out
def credentials(ins, round_):
    h = hashlib.sha256(('%s/%d' % (ins, round_)).encode()).hexdigest()
    return 'DMP' + h[:8].upper(), 'Pw-' + h[8:16]
letters = [e['acces_web'] for e in entries if 'acces_web' in e]
)PY";

 public slots:
  void OpenUrl(const QUrl& Url) { Urls.push_back(Url); }

 private slots:
  void initTestCase() {
    QVERIFY2(Open([this](QMessageBox& Box) {
               Boxes.push_back(Box.text() + Box.informativeText());
               return int(QMessageBox::Yes);
             }),
             Sim.Ready.c_str());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "OpenUrl");
    Previous = fs::current_path();
    fs::current_path(Work.Path());  // the letters' working folder
  }

  void cleanupTestCase() {
    Window.reset();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    fs::current_path(Previous);
    Close();
  }

  void work_steps_send_their_requests_in_order_data() {
    QTest::addColumn<QString>("INS");
    QTest::addColumn<QString>("EMail");
    QTest::addColumn<QString>("Mobile");
    QTest::addColumn<bool>("Renew");
    QTest::addColumn<QString>("Rules");
    QTest::addColumn<int>("Choice");
    QTest::addColumn<QString>("Expected");  // the Python list of steps
    QTest::addColumn<int>("Round");         // the credentials' round in the letter, 0: no letter
    const QString N = QString::fromLatin1(NdiayeINS), M = QString::fromLatin1(MartinINS);
    QTest::newRow("new by e-mail") << N << "aminata@exemple.fr" << "" << false << "[]" << mrCancel
                                   << "[('createPatientAccess', 'EMAIL', 'aminata@exemple.fr', None)]" << 1;
    QTest::newRow("new by mobile") << N << "" << "0712345678" << false << "[]" << mrCancel
                                   << "[('createPatientAccess', 'SMS', '0712345678', None)]" << 1;
    QTest::newRow("new by both") << N << "aminata@exemple.fr" << "0712345678" << false << "[]" << mrCancel
                                 << "[('createPatientAccess', 'EMAIL', 'aminata@exemple.fr', None),"
                                    " ('patientOTPUpdate', 'SMS', '0712345678', 'AJOUT')]"
                                 << 1;
    QTest::newRow("changed mobile") << M << "zoe.martin@exemple.fr" << "0799999999" << false << "[]" << mrCancel
                                    << "[('patientOTPUpdate', 'EMAIL', 'zoe.martin@exemple.fr', 'AJOUT'),"
                                       " ('patientOTPUpdate', 'EMAIL', 'zoe.martin@exemple.fr', 'MODIFICATION'),"
                                       " ('patientOTPUpdate', 'SMS', '0799999999', 'AJOUT'),"
                                       " ('patientOTPUpdate', 'SMS', '0799999999', 'MODIFICATION')]"
                                    << 0;
    QTest::newRow("cleared e-mail") << M << "" << "0612345678" << false << "[]" << mrCancel
                                    << "[('patientOTPUpdate', 'SMS', '0612345678', 'AJOUT'),"
                                       " ('patientOTPUpdate', 'SMS', '0612345678', 'MODIFICATION'),"
                                       " ('patientOTPUpdate', 'EMAIL', 'zoe.martin@exemple.fr', 'SUPPRESSION')]"
                                    << 0;
    QTest::newRow("renew") << M << "" << "0612345678" << true << "[]" << mrCancel
                           << "[('patientOTPUpdate', 'SMS', '0612345678', 'AJOUT'),"
                              " ('patientOTPUpdate', 'SMS', '0612345678', 'MODIFICATION'),"
                              " ('updatePatientAccess', None, '', None)]"
                           << 2;
    QTest::newRow("existing: new codes") << N << "aminata@exemple.fr" << "" << false << AccessExists << 100
                                         << "[('createPatientAccess', 'EMAIL', 'aminata@exemple.fr', None),"
                                            " ('updatePatientAccess', None, '', None)]"
                                         << 2;
    QTest::newRow("existing: contact") << N << "aminata@exemple.fr" << "" << false << AccessExists << 101
                                       << "[('createPatientAccess', 'EMAIL', 'aminata@exemple.fr', None),"
                                          " ('patientOTPUpdate', 'EMAIL', 'aminata@exemple.fr', 'AJOUT'),"
                                          " ('patientOTPUpdate', 'SMS', '', 'SUPPRESSION')]"
                                       << 0;
    QTest::newRow("existing: recreate") << N << "" << "0712345678" << false << AccessExists << 102
                                        << "[('createPatientAccess', 'SMS', '0712345678', None),"
                                           " ('updatePatientAccess', None, '', None),"
                                           " ('patientOTPUpdate', 'SMS', '0712345678', 'AJOUT'),"
                                           " ('patientOTPUpdate', 'EMAIL', '@', 'SUPPRESSION')]"
                                        << 2;
  }
  void work_steps_send_their_requests_in_order() {
    QFETCH(QString, INS);
    QFETCH(QString, EMail);
    QFETCH(QString, Mobile);
    QFETCH(bool, Renew);
    QFETCH(QString, Rules);
    QFETCH(int, Choice);
    QFETCH(QString, Expected);
    QFETCH(int, Round);
    Reset(Rules.toStdString());
    TaskChoice = Choice;
    TDMPMain* Main = OpenRecord(INS.toStdString());
    QVERIFY(Main);
    QVERIFY2(Boxes.empty(), qPrintable(FirstBox()));
    const size_t Since = Sim.LogSize();
    QVERIFY(RunForm(*Main, EMail, Mobile, Renew));
    QCOMPARE(Asked, Choice == mrCancel ? 0 : 1);
    ExpectLog(Since, std::string(Prelude) + "assert steps() == " + Expected.toStdString() + ", steps()\n");
    const fs::path File = Letter(INS.toStdString());
    if (Round == 0) {
      QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Le dossier à été mis à jour")});
      QVERIFY(!fs::exists(File));
      return;
    }
    QVERIFY2(Boxes.empty(), qPrintable(FirstBox()));
    // The letter's data as the service decoded it: the credentials of that round.
    ExpectLog(Since, std::string(Prelude) + R"PY(
assert len(letters) == 1, letters
d = letters[0]['data']
login, pwd = credentials(sys.argv[2], int(sys.argv[3]))
assert (d['ins'], d['login'], d['pwd']) == (sys.argv[2], login, pwd), d
assert sorted(d) == ['ins', 'login', 'name', 'pwd'], d
)PY",
              {INS.toStdString(), std::to_string(Round)});
    QCOMPARE(Urls, std::vector<QUrl>{QUrl::fromLocalFile(QString::fromStdString(File.string()))});
    struct stat St {};
    QCOMPARE(stat(File.c_str(), &St), 0);
    QCOMPARE(St.st_mode & 0777, mode_t(0600));
    // The password never reaches the log window's text or the status bar.
    QVERIFY(!Main->statusBar()->currentMessage().contains(QStringLiteral("Pw-")));
  }

  // The offer after the contact changed, accepted: the form opens with the
  // panel's channels and submits them at once.
  void accepted_offer_submits_the_panel_channels() {
    Reset("[]");
    TDMPMain* Main = OpenRecord(MartinINS);
    QVERIFY(Main);
    const size_t Since = Sim.LogSize();
    Main->wAcces = 2;
    Main->CreerAccesWeb();
    QVERIFY(QTest::qWaitFor([&] { return Boxes.size() == 2 && Main->LiveTasks() == 0; }, 60000));
    QCOMPARE(Boxes, (std::vector<QString>{QStringLiteral("Voulez-vous créer un accès Web pour ce patient ?"),
                                          QStringLiteral("Le dossier à été mis à jour")}));
    QCOMPARE(Main->wAcces, 0);
    ExpectLog(Since, std::string(Prelude) + R"PY(
assert steps() == [('patientOTPUpdate', 'EMAIL', 'zoe.martin@exemple.fr', 'AJOUT'),
                   ('patientOTPUpdate', 'EMAIL', 'zoe.martin@exemple.fr', 'MODIFICATION'),
                   ('patientOTPUpdate', 'SMS', '0612345678', 'AJOUT'),
                   ('patientOTPUpdate', 'SMS', '0612345678', 'MODIFICATION')], steps()
)PY");
  }

  // A Base64 text holding '+' and '/' reaches the service whole.
  void letter_query_survives_base64_specials() {
    Reset("[]");
    const std::string Data = R"({"name":"Zoé ~~~>>>???","ins":"1","login":"L","pwd":"P"})";
    const std::string File = (Work.Path() / "specials.pdf").string();
    const size_t Since = Sim.LogSize();
    QVERIFY(DownloadLetter(AccessLetterURL(HostsConfig().Maker, Data), File));
    ExpectLog(Since, R"PY(
import base64
e = [e['acces_web'] for e in entries if 'acces_web' in e][0]
raw = urllib.parse.parse_qs(e['query'])['data'][0]
assert '+' in raw and '/' in raw, raw
assert e['data'] == json.loads(sys.argv[2]), e
)PY",
              {Data});
  }

  void letter_path_by_stub_variant_data() {
    QTest::addColumn<QString>("Variant");
    QTest::addColumn<bool>("Downloaded");
    QTest::newRow("pdf") << "" << true;
    QTest::newRow("html 200") << "html" << false;
    QTest::newRow("404") << "not_found" << false;
    QTest::newRow("500") << "error" << false;
    QTest::newRow("slower than the time-out") << "slow" << false;
  }
  void letter_path_by_stub_variant() {
    QFETCH(QString, Variant);
    QFETCH(bool, Downloaded);
    Reset(LetterRules(Variant));
    TaskChoice = mrCancel;
    TDMPMain* Main = OpenRecord(NdiayeINS);
    QVERIFY(Main);
    QVERIFY(RunForm(*Main, "aminata@exemple.fr", "", false));
    QVERIFY2(Boxes.empty(), qPrintable(FirstBox()));
    const std::string File = Letter(NdiayeINS).string();
    const auto Info = TestSupport::Run({"pdfinfo", File});
    QCOMPARE(Info.Status, 0);
    const auto Text = TestSupport::Run({"pdftotext", "-layout", File, "-"});
    if (Downloaded) {
      QVERIFY2(Text.Out.find("Identifiant DMP") != std::string::npos, Text.Out.c_str());
      return;
    }
    for (const char* Line : {"Creator: +Carvelin\n", "Pages: +1\n", "Page size: +595(\\.\\d+)? x 84[12](\\.\\d+)? pts"})
      QVERIFY2(std::regex_search(Info.Out, std::regex(Line)), (Line + std::string("\n") + Info.Out).c_str());
    const auto Meta = TestSupport::Run({"pdfinfo", "-meta", File});
    QVERIFY2(Meta.Out.find("Talven Systèmes") != std::string::npos, Meta.Out.c_str());
    const auto Checked = TestSupport::RunPython(R"PY(
import hashlib, sys
ins, text = sys.argv[1], sys.stdin.read()
h = hashlib.sha256(('%s/1' % ins).encode()).hexdigest()
for word in ('Aminata', ins, 'DMP' + h[:8].upper(), 'Pw-' + h[8:16], 'Dossier Médical Partagé',
             'Votre identifiant de connexion:', 'Votre mot de passe initial'):
    assert word in text, word
)PY",
                                                {std::string(NdiayeINS)}, Text.Out);
    QVERIFY2(Checked.Status == 0, (Checked.Out + Checked.Err).c_str());
    // Words where the layout puts them: units of 1/96 inch are 0.75 point.
    const auto Box = TestSupport::Run({"pdftotext", "-bbox", File, "-"});
    const auto Placed = TestSupport::RunPython(R"PY(
import re, sys
words = [(m.group(5), float(m.group(1)), float(m.group(2))) for m in
         re.finditer(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>', sys.stdin.read())]
for word, x, y in (('Pour', 220, 40), ('Dossier', 220, 70), ('Votre', 50, 630), ('Votre', 50, 880),
                   ('du', 30, 750), ('de', 100, 510), ('Les', 30, 790)):
    assert any(w == word and abs(wx - x * 0.75) <= 1 and abs(wy - y * 0.75) <= 12 for w, wx, wy in words), \
        (word, x, y, [(w, wx, wy) for w, wx, wy in words if w == word])
)PY",
                                               {}, Box.Out);
    QVERIFY2(Placed.Status == 0, (Placed.Out + Placed.Err).c_str());
  }

  // The access is made but its letter cannot be written (a folder holds its
  // name): the doctor is told, not that the record was merely updated.
  void unwritable_letter_is_said() {
    Reset(LetterRules(QStringLiteral("error")));
    TaskChoice = mrCancel;
    const fs::path Blocked = Letter(NdiayeINS);
    fs::create_directories(Blocked / "occupied");
    TDMPMain* Main = OpenRecord(NdiayeINS);
    QVERIFY(Main);
    QString Said;
    const auto Warning = AnswerModal<QMessageBox>([&](QMessageBox& Box) {
      Said = Box.text();
      Box.accept();
    });
    const bool Ran = RunForm(*Main, "aminata@exemple.fr", "", false);
    fs::remove_all(Blocked);
    QVERIFY(Ran);
    QVERIFY2(Boxes.empty(), qPrintable(FirstBox()));
    QVERIFY2(Said.startsWith(QStringLiteral("Le courrier de l'accès Internet du patient n'a pas pu être enregistré")),
             qPrintable(Said));
    QVERIFY(Urls.empty());
  }
};

QTEST_MAIN(TDMP2MainAccesWebPeer)
#include "DMP2Main.AccesWeb.peer.moc"
