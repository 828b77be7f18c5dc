// The card login through the real dialogs, the real client core, a SoftHSM2
// CPS card and the national-service simulator: the PIN typed in the PIN
// dialog, the remembered value opened by Python's cryptography, and the
// token's own PIN counter read by pkcs11-tool. Then a Vitale card read
// through the stand-in reader library, and its copy compared by cmp.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <functional>

#include "Carvelin.MessageDlg.h"
#include "CpsToken.h"
#include "DMP2Main.h"
#include "ModalAnswer.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"
#include "UBeneficiaires.h"
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
  size_t ParametersBefore = 0;  // parameter requests the simulator had seen when it opened
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
  std::function<size_t()> CountParameters = [] { return size_t(0); };

  std::string Ini() const { return (Dir->Path() / "Carvelin2.ini").string(); }

  // Types the next PIN into each PIN dialog that opens.
  void AnswerPinDialogs() {
    auto* Timer = new QTimer(this);
    connect(Timer, &QTimer::timeout, this, [this, Timer] {
      auto* Form = qobject_cast<TFrmCodePIN*>(QApplication::activeModalWidget());
      if (!Form) return;
      if (Next >= Typed.size()) return Form->reject();
      Typed[Next].PinCount = Form->lbPinCount->text();
      Typed[Next].ParametersBefore = CountParameters();
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
                                           "\nApiLecture=" + TestSupport::ToolPath("libapi_lec_stub.so.6.2.1.0") +
                                           "\n"));
    SetMessageBoxHook([](QMessageBox&) { return int(QMessageBox::Ok); });
    Typed.clear();
    Next = 0;
    CountParameters = [] { return size_t(0); };
    AnswerPinDialogs();
  }

  void cleanup() {
    for (const char* Name : {"APILEC_STUB_XML", "APILEC_STUB_LOG"}) qunsetenv(Name);
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
    CountParameters = [this, Since] { return ParameterRequests(Since); };
    Main->ibCarteCPSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QCOMPARE(Next, size_t(2));
    QCOMPARE(Typed[1].PinCount, QStringLiteral("Plus que 2 essais"));
    QCOMPARE(Typed[1].ParametersBefore, size_t(0));  // nothing asked of the services after a wrong PIN
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

  void stand_in_reader_lists_the_beneficiaries_and_shift_press_saves_the_card() {
    const std::string Card = (Dir->Path() / "carte.xml").string();
    const std::string Calls = (Dir->Path() / "lecteur.log").string();
    QVERIFY(Vantrel::UTF8ToFile(Card, R"(<?xml version="1.0" encoding="UTF-8"?>
<vitale><tech><numSerie>4455667788</numSerie></tech><T_AsnDonneesVitale><listeBenef>
<T_AsnBeneficiaire><ident><nomUsuel>LEFÈVRE</nomUsuel><prenomUsuel>Chloé</prenomUsuel>
<naissance><dateEnCarte>820704</dateEnCarte></naissance><nir>2820775112233</nir>
<nirCertifie>282077511223344</nirCertifie></ident><amo><qualBenef>0</qualBenef></amo></T_AsnBeneficiaire>
<T_AsnBeneficiaire><ident><nomUsuel>LEFÈVRE</nomUsuel><prenomUsuel>Noé</prenomUsuel>
<naissance><dateEnCarte>150311</dateEnCarte></naissance><nir>2820775112233</nir></ident>
<amo><qualBenef>6</qualBenef></amo></T_AsnBeneficiaire>
</listeBenef></T_AsnDonneesVitale></vitale>
)"));
    qputenv("APILEC_STUB_XML", Card.c_str());
    qputenv("APILEC_STUB_LOG", Calls.c_str());
    std::vector<QString> Said;
    SetMessageBoxHook([&](QMessageBox& Box) {
      Said.push_back(Box.text() + Box.informativeText());
      return int(QMessageBox::Ok);
    });
    Typed = {{"1234", false, {}}};
    StartWindow();
    Main->ibCarteCPSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY(Main->ibCSV->isEnabled());

    std::vector<QStringList> Rows;
    const auto Answer = AnswerModal<TFrmBeneficiaires>([&](TFrmBeneficiaires& Form) {
      for (int I = 0; I < Form.List->Count(); ++I) Rows.push_back(Form.Cells(I));
      Form.reject();
    });
    QTest::mouseClick(Main->ibCSV, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Rows.size(), size_t(2), 30000);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Rows[0], (QStringList{"LEFÈVRE", "Chloé", "04/07/1982", "282077511223344"}));
    QCOMPARE(Rows[1], (QStringList{"LEFÈVRE", "Noé", "11/03/2015", "2820775112233"}));
    QVERIFY2(Said.empty(), qPrintable(QStringList(Said.begin(), Said.end()).join(u'\n')));

    // The reader was read once; the press and the click it ends read nothing more.
    const auto Readings = [&] {
      const std::string Log = Vantrel::FileToBytes(Calls);
      size_t N = 0;
      for (size_t At = Log.find("Lec_LectureVitale"); At != std::string::npos; At = Log.find("Lec_LectureVitale", At + 1))
        ++N;
      return N;
    };
    QCOMPARE(Readings(), size_t(1));
    const std::string Saved = VitaleXMLFile();
    std::filesystem::remove(Saved);
    QTest::mouseClick(Main->ibCSV, Qt::LeftButton, Qt::ShiftModifier);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Said, std::vector<QString>{QStringLiteral("Carte vitale enregistrée dans le fichier Vitale.xml")});
    QCOMPARE(Readings(), size_t(1));
    const auto Cmp = TestSupport::Run({"cmp", Saved, Card});
    std::filesystem::remove(Saved);
    QVERIFY2(Cmp.Status == 0, (Cmp.Out + Cmp.Err).c_str());
  }
};

QTEST_MAIN(TDMP2MainLoginPeer)
#include "DMP2Main.Login.peer.moc"
