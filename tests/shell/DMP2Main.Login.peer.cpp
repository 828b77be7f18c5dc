// The card login through the real dialogs, the real client core, a SoftHSM2
// CPS card and the national-service simulator: the PIN typed in the PIN
// dialog, the remembered value opened by Python's cryptography, and the
// token's own PIN counter read by pkcs11-tool.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "Carvelin.MessageDlg.h"
#include "CpsToken.h"
#include "DMP2Main.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"
#include "UCodePIN.h"
#include "Vantrel.ImageButtons.h"
#include "Vantrel.SysUtils.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TCpsToken;

namespace {

struct TTyped {
  QString Code;
  bool Save;
  QString PinCount;  // what the dialog showed
};

}  // namespace

class TDMP2MainLoginPeer : public QObject {
  Q_OBJECT

  std::unique_ptr<SimTest::TSimulator> Sim;
  std::unique_ptr<TestSupport::TempDir> Dir;
  std::unique_ptr<TCpsToken> Token;
  std::unique_ptr<TDMPMain> Main;
  std::vector<TTyped> Typed;  // the PINs to type, filled with what was shown
  size_t Next = 0;

  std::string Ini() const { return (Dir->Path() / "Carvelin2.ini").string(); }

  // Types the next PIN into each PIN dialog that opens.
  void AnswerPinDialogs() {
    auto* Timer = new QTimer(this);
    connect(Timer, &QTimer::timeout, this, [this, Timer] {
      auto* Form = qobject_cast<TFrmCodePIN*>(QApplication::activeModalWidget());
      if (!Form) return;
      if (Next >= Typed.size()) return Form->reject();
      Typed[Next].PinCount = Form->lbPinCount->text();
      QTest::keyClicks(Form->edCode, Typed[Next].Code);
      Form->cbSaveCode->setChecked(Typed[Next].Save);
      ++Next;
      Form->btOK->click();
    });
    connect(this, &QObject::destroyed, Timer, &QObject::deleteLater);
    Timer->start(20);
  }

  void StartWindow() {
    TScreens Screens = TScreens::Program();
    Screens.StructuresSelect = [](QWidget*, IVaspoCPS&, Vantrel::TIniFile&) { return 0; };
    TDMPMainOptions Options;
    Options.SettingsFile = Ini();
    Options.DatabaseFile = (Dir->Path() / "Carvelin2.db3").string();
    Options.Screens = std::move(Screens);
    Options.CreateRoot = [] {
      std::shared_ptr<TCarvelin> Root = TCarvelin::Create();
      Root->SetInstanceOID("2.25.329800735698586629295641978511506172918");
      return std::shared_ptr<ICarvelin>(Root);
    };
    Main = std::make_unique<TDMPMain>(std::move(Options));
  }

  size_t ParameterRequests(size_t Since) const {
    size_t N = 0;
    for (const std::string& E : Sim->Log(Since)) N += E.find(R"("service": "params")") != std::string::npos;
    return N;
  }

 private slots:
  void initTestCase() {
    Sim = std::make_unique<SimTest::TSimulator>();
    QVERIFY2(*Sim, Sim->Ready.c_str());
  }

  void init() {
    Dir = std::make_unique<TestSupport::TempDir>();
    qputenv("XDG_DATA_HOME", (Dir->Path() / "data").c_str());
    qputenv("XDG_CONFIG_HOME", (Dir->Path() / "config").c_str());
    Sim->Reset();
    Token = std::make_unique<TCpsToken>();
    QVERIFY(Vantrel::UTF8ToFile(Ini(), "[Services]\nCryptoLib=" + TCpsToken::SoftHSM() + "\nHosts=" + Sim->HostsFile +
                                           "\n"));
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
    Typed.clear();
    Next = 0;
    AnswerPinDialogs();
  }

  void cleanup() {
    Main.reset();
    Token.reset();
    SetHostsConfig(DefaultHostsConfig());
    SetMessageBoxHook(nullptr);
  }

  void pin_typed_in_the_dialog_logs_in_and_is_remembered() {
    Typed = {{"1234", true, {}}};
    StartWindow();
    const size_t Since = Sim->LogSize();
    Main->ibCarteCPSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QCOMPARE(Next, size_t(1));
    QVERIFY2(Main->CPx && Main->CPx->SelectedActivite() == 0, Main->DMP->GetErrDetail().c_str());
    const TPorteur* Porteur = Main->CPx->GetPorteur();
    QVERIFY(Porteur && !Porteur->Nom.empty());
    QVERIFY(Main->lbPraticien->text().startsWith(QString::fromStdString(Porteur->Nom)));
    QVERIFY(Main->ibCSV->isEnabled());
    QVERIFY(ParameterRequests(Since) > 0);  // the parameters come after the PIN
    // The value on disk opens with the per-user key: PIN + national identifier.
    const auto R = TestSupport::RunPython(R"PY(
import base64, configparser, os, sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
ini = configparser.ConfigParser(interpolation=None)
ini.optionxform = str
ini.read(sys.argv[1], encoding='utf-8')
blob = base64.b64decode(ini['Secret'][sys.argv[2]])
key = open(os.path.join(sys.argv[3], 'Carvelin2', 'cryptstring.key'), 'rb').read()
assert blob[0] == 1, blob[0]
text = AESGCM(key).decrypt(blob[1:13], blob[13:], b'Vantrel.Win.CryptString').decode()
assert text == '1234' + sys.argv[2], 'unexpected secret'
)PY",
                                          {Ini(), Porteur->IdNational, (Dir->Path() / "data").string()});
    QVERIFY2(R.Status == 0, R.Err.c_str());
  }

  void wrong_pin_shows_the_tries_left_and_is_not_remembered() {
    Typed = {{"0000", true, {}}, {"1234", false, {}}};
    StartWindow();
    const size_t Since = Sim->LogSize();
    QTimer Probe;
    size_t ParametersAfterWrongPin = 99;
    connect(&Probe, &QTimer::timeout, this, [&] {
      if (Next == 1 && ParametersAfterWrongPin == 99) ParametersAfterWrongPin = ParameterRequests(Since);
    });
    Probe.start(5);
    Main->ibCarteCPSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QCOMPARE(Next, size_t(2));
    QCOMPARE(Typed[1].PinCount, QStringLiteral("Plus que 2 essais"));
    QCOMPARE(ParametersAfterWrongPin, size_t(0));
    QVERIFY(Main->CPx && Main->CPx->SelectedActivite() == 0);
    QVERIFY(!HasRememberedPIN(Vantrel::TIniFile(Ini()), Main->CPx->GetPorteur()->IdNational));
  }

  void wrong_pin_lowers_the_token_counter() {
    Typed = {{"0000", false, {}}};  // the second dialog is cancelled
    StartWindow();
    Main->ibCarteCPSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    Main.reset();
    const auto R = TestSupport::Run({"pkcs11-tool", "--module", TCpsToken::SoftHSM(), "-L"});
    QVERIFY2(R.Status == 0, R.Err.c_str());
    QVERIFY2(R.Out.find("user PIN count low") != std::string::npos, R.Out.c_str());
  }
};

QTEST_MAIN(TDMP2MainLoginPeer)
#include "DMP2Main.Login.peer.moc"
