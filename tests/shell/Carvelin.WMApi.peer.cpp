// The host interface on a private session bus, driven by real peers: gdbus
// calls, dbus-monitor, and Python hosts (host_peer.py) that serve /Vaspo,
// record what they receive (payloads read with Python's json) and can
// answer 0, hang, or call the window from inside its call to them.
#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Utils.h"
#include "UAjoutDocument.h"
#include "Vantrel.WMCopyData.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {

// A host program: events as the script prints them, in order.
class THost {
 public:
  THost(const QString& Program, const QStringList& Options) {
    P.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString Script = QStringLiteral(CARVELIN_SOURCE_DIR "/tests/shell/host_peer.py");
    P.start(QStringLiteral("/usr/bin/python3"), QStringList{Script, QStringLiteral("--program"), Program} + Options);
  }
  ~THost() {
    P.closeWriteChannel();
    if (!P.waitForFinished(3000)) P.kill();
    P.waitForFinished();
  }

  // Reads what the script printed so far.
  const QList<QJsonObject>& Events() {
    while (P.canReadLine()) Ev << QJsonDocument::fromJson(P.readLine()).object();
    return Ev;
  }
  QString Name() {
    for (const QJsonObject& E : Events())
      if (E["event"] == "ready") return E["name"].toString();
    return {};
  }
  // The calls received, as "code text".
  QStringList Received() {
    QStringList R;
    for (const QJsonObject& E : Events())
      if (E["event"] == "recv") R << QString::number(E["code"].toInt(), 16) + " " + E["text"].toString();
    return R;
  }
  QList<QJsonObject> Of(const char* Event, uint32_t Code = 0) {
    QList<QJsonObject> R;
    for (const QJsonObject& E : Events())
      if (E["event"] == Event && (!Code || E["code"].toInteger() == Code)) R << E;
    return R;
  }
  void Call(uint32_t Code, const QString& Text = {}) {
    P.write(QJsonDocument(QJsonObject{{"code", qint64(Code)}, {"text", Text}}).toJson(QJsonDocument::Compact) + "\n");
  }
  // Calls the window and waits for its answer.
  int CallAndWait(uint32_t Code, const QString& Text = {}) {
    const qsizetype Before = Of("answer").size();
    Call(Code, Text);
    if (!QTest::qWaitFor([&] { return Of("answer").size() > Before; }, 20000)) return -999;
    return Of("answer").last()["answer"].toInt();
  }

  QProcess P;

 private:
  QList<QJsonObject> Ev;
};

// A GVariant text string.
QString GVariantString(QString S) {
  return "'" + S.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("'"), QLatin1String("\\'")) + "'";
}

}  // namespace

class TWMApiPeerTest : public QObject {
  Q_OBJECT

  QTemporaryDir Dir;
  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDMPMain> Main;
  TScreens Screens = TScreens::Unavailable();

  // The PIN and activity dialogs answer "1234" and the first activity.
  void ScriptLogin() {
    Screens.GetCodePIN = [](QWidget*, IVaspoCPS&, Vantrel::TIniFile&, TCodePIN& Pin) {
      Pin.Code = "1234";
      return true;
    };
    Screens.StructuresSelect = [](QWidget*, IVaspoCPS&, Vantrel::TIniFile&) { return 0; };
  }
  QStringList Boxes;

  QString Program() const { return QStringLiteral("org.talven.Carvelin2.p") + QString::number(QCoreApplication::applicationPid()); }

  void Open() {
    TDMPMainOptions Options;
    Options.SettingsFile = Dir.filePath(QStringLiteral("carvelin2.ini")).toStdString();
    Options.DatabaseFile = Dir.filePath(QStringLiteral("Carvelin2.db3")).toStdString();
    Options.Screens = Screens;
    Fake = std::make_shared<TFakeCarvelin>();
    Options.CreateRoot = [this] { return std::shared_ptr<ICarvelin>(Fake); };
    Main = std::make_unique<TDMPMain>(std::move(Options));
    Main->show();
    QVERIFY(!Main->BusName().isEmpty());
  }

  // The fake login: a card session and its bar, no record.
  void Login() {
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Main->CNX = CPS;
    Main->pnCPX->show();
  }
  // The fake login with the record of INS open and its patient stored.
  void OpenPatient(const std::string& INS) {
    Login();
    QCOMPARE(Main->CNX->DossierExiste(INS, 'N', Main->DOS), ERR_OK);
    Main->FPatient.INSN = INS;
    Main->FPatient.Nom = "DUPONT";
    Main->FPatient.Prenom = "Anne";
    Main->Database.SavePatient(Main->FPatient);
    Fake->Core->ClearCalls();
  }

  std::vector<std::string> CallNames() const {
    std::vector<std::string> Names;
    for (const auto& C : Fake->Calls()) Names.push_back(C.Name + (C.Args.empty() ? "" : " " + C.Args));
    return Names;
  }

  // gdbus call: its answer, or -999 when it failed.
  int Gdbus(uint32_t Code, const QString& Text) {
    QProcess P;
    P.start(QStringLiteral("gdbus"), {"call", "--session", "--dest", Program(), "--object-path", "/Vaspo", "--method",
                                      "Talven.Vaspo.Message.CopyData", QString::number(Code), GVariantString(Text)});
    // Our own loop answers the call: wait without blocking it.
    if (!QTest::qWaitFor([&] { return P.state() == QProcess::NotRunning; }, 20000)) return -999;
    const QString Out = QString::fromUtf8(P.readAllStandardOutput()).trimmed();  // "(40963,)"
    const QRegularExpressionMatch M = QRegularExpression(QStringLiteral("^\\((-?\\d+),\\)$")).match(Out);
    if (!M.hasMatch()) qWarning() << Out << P.readAllStandardError();
    return M.hasMatch() ? M.captured(1).toInt() : -999;
  }

 private slots:
  void initTestCase() {
    QVERIFY(Dir.isValid());
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), "run under dbus-run-session");
    qputenv("XDG_CONFIG_HOME", Dir.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", Dir.filePath(QStringLiteral("data")).toUtf8());
    THostsConfig Hosts = DefaultHostsConfig();
    Hosts.Formation.DMP_Server = "dmp.test";
    SetHostsConfig(Hosts);
    SetMessageBoxHook([this](QMessageBox& Box) {
      Boxes << Box.text();
      return int(QMessageBox::Ok);
    });
  }

  void cleanup() {
    Main.reset();
    Fake.reset();
    Screens = TScreens::Unavailable();
    Boxes.clear();
    PendingURL = {};
    PendingDeleteURL.clear();
    QFile::remove(Dir.filePath(QStringLiteral("Carvelin2.db3")));
  }

  void gdbus_commands_data() {
    QTest::addColumn<uint>("Code");
    QTest::addColumn<QString>("Text");
    QTest::addColumn<bool>("Busy");
    QTest::addColumn<int>("Answer");
    QTest::newRow("PING text answers its code") << 0x1234u << "PING" << false << 0x1234;
    QTest::newRow("PING text even when busy") << uint(Vantrel::URL) << "PING" << true << int(Vantrel::URL);
    QTest::newRow("PING code") << uint(Vantrel::PING) << "" << false << int(Vantrel::PING);
    QTest::newRow("unknown code") << 0x7777u << "x" << false << 0;
    QTest::newRow("URL while busy") << uint(Vantrel::URL) << "dmp://dmp.test/123/doc" << true << 0;
    QTest::newRow("URL not a link") << uint(Vantrel::URL) << "http://dmp.test/123/doc" << false << 0;
    QTest::newRow("URL starts card reading") << uint(Vantrel::URL) << "dmp://dmp.test/123/doc" << false << Vantrel::SUBMIT;
    // A deletion answers 0 only when done.
    QTest::newRow("DELETE while busy") << uint(Vantrel::DELETE) << "dmp://dmp.test/123/doc" << true << Vantrel::BUSY;
    QTest::newRow("DELETE not a link") << uint(Vantrel::DELETE) << "http://dmp.test/123/doc" << false
                                       << Talven::ERR_PARAMETRE;
    QTest::newRow("QUERY_PATIENT busy") << uint(Vantrel::QUERY_PATIENT) << "{}" << true << Vantrel::BUSY;
    QTest::newRow("OPEN_PATIENT without session") << uint(Vantrel::OPEN_PATIENT) << "2800575123456" << false << -1;
    QTest::newRow("SEND_FILE busy") << uint(Vantrel::SEND_FILE) << "{}" << true << Vantrel::BUSY;
  }
  void gdbus_commands() {
    QFETCH(uint, Code);
    QFETCH(QString, Text);
    QFETCH(bool, Busy);
    Open();
    SetBusy(Busy);
    const int Answer = Gdbus(Code, Text);
    SetBusy(false);
    QTEST(Answer, "Answer");
    QTRY_COMPARE(Main->LiveTasks(), 0);
    if (Answer == -1 || Answer == Vantrel::SUBMIT) QCOMPARE(CallNames().front(), std::string("GetCPS 0"));
    if (Answer == -1) QCOMPARE(PendingURL.INS, Text.toStdString());
    if (Busy) QVERIFY(Fake->Calls().empty());
  }

  void registration_notifies_in_order_once() {
    Open();
    OpenPatient("180117512345678");
    Main->FPraticien.IdNational = "899700218896";
    Main->FPraticien.Nom = "MARTIN";
    Main->FPraticien.Favoris = "60591-5|11502-2|";
    Main->Database.SavePraticien(Main->FPraticien);
    Main->Documents->SetFavoris(Main->FPraticien.Favoris);
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    QCOMPARE(Host.CallAndWait(Vantrel::REGISTER), 1);
    QTRY_COMPARE(Host.Of("recv").size(), 5);
    const QList<QJsonObject> R = Host.Of("recv");
    QCOMPARE(R[0]["code"].toInt(), int(Vantrel::REGISTER));
    QCOMPARE(R[0]["text"].toString(), QStringLiteral("ADDED"));
    QCOMPARE(R[1]["code"].toInt(), int(Vantrel::NOTIFY_PRATICIEN));
    const QJsonObject Praticien = R[1]["payload"].toObject();
    QCOMPARE(Praticien["IdNational"].toString(), QStringLiteral("899700218896"));
    QCOMPARE(Praticien["Nom"].toString(), QStringLiteral("MARTIN"));
    QCOMPARE(Praticien["rowid"].toInteger(), Main->FPraticien.rowid);
    QCOMPARE(R[2]["code"].toInt(), int(Vantrel::NOTIFY_CATEGORY));
    QCOMPARE(R[2]["payload"].toObject()["INS"].toString(), QStringLiteral("180117512345678"));
    QCOMPARE(R[3]["code"].toInt(), int(Vantrel::NOTIFY_FAVORIS));
    QCOMPARE(R[3]["payload"].toObject()["Favoris"].toArray(), QJsonArray({"Synthèse du dossier médical", "CR d'examens biologiques"}));
    QCOMPARE(R[4]["code"].toInt(), int(Vantrel::NOTIFY_PATIENT));
    QCOMPARE(R[4]["payload"].toObject()["Nom"].toString(), QStringLiteral("DUPONT"));

    // Again: EXISTS and nothing else (a PING after it proves nothing is on its way).
    QCOMPARE(Host.CallAndWait(Vantrel::REGISTER), 1);
    QCOMPARE(Host.CallAndWait(Vantrel::PING), int(Vantrel::PING));
    QCOMPARE(Host.Received().mid(5), QStringList{"a001 EXISTS"});
    QCOMPARE(Main->FWindows, std::vector<QString>{Host.Name()});

    // The same patient is not told twice; a changed one is.
    Main->NotifyPatient();
    Main->FPatient.Prenom = "Anne-Marie";
    Main->PostAction(WMU_NOTIFY_PATIENT);
    Main->PostAction(WMU_NOTIFY_PATIENT);
    QTRY_COMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 3);
    QCOMPARE(Host.CallAndWait(Vantrel::PING), int(Vantrel::PING));
    QCOMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 3);
    QCOMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT).last()["payload"].toObject()["Prenom"].toString(),
             QStringLiteral("Anne-Marie"));
  }

  void query_patient() {
    Open();
    OpenPatient("180117512345678");
    TVaspoPatient Other;
    Other.INSN = "280057512345621";
    Other.Nom = "DURAND";
    Main->Database.SavePatient(Other);
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    // The current patient, asked with dashes.
    QCOMPARE(Host.CallAndWait(Vantrel::QUERY_PATIENT, R"({"INS":"1-80117-51234-5678"})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 1);
    QCOMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT)[0]["payload"].toObject()["Nom"].toString(), QStringLiteral("DUPONT"));
    // A patient known locally, with dashes.
    QCOMPARE(Host.CallAndWait(Vantrel::QUERY_PATIENT, R"({"INS":"2800575-12345621","Search":true})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 2);
    QCOMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT)[1]["payload"].toObject()["Nom"].toString(), QStringLiteral("DURAND"));
    QVERIFY(Fake->Calls().empty());
    // Not JSON: the error with its position, and nothing opened.
    QCOMPARE(Host.CallAndWait(Vantrel::QUERY_PATIENT, R"({"INS":"1"  "Open":true})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 3);
    QCOMPARE(Host.Of("recv")[2]["code"].toInt(), int(Vantrel::MESSAGE));
    QVERIFY2(Host.Of("recv")[2]["text"].toString().contains(QStringLiteral("position 12")),
             qPrintable(Host.Of("recv")[2]["text"].toString()));
    QVERIFY(Fake->Calls().empty());
    // A text over 1 MiB is not even read.
    QCOMPARE(Host.CallAndWait(Vantrel::MESSAGE, QString((1 << 20) + 1, QLatin1Char('a'))), 0);
    // MESSAGE: shown as plain text.
    QCOMPARE(Host.CallAndWait(Vantrel::MESSAGE, "<b>Bonjour</b>"), Vantrel::SUBMIT);
    QTRY_COMPARE(Boxes, QStringList{"<b>Bonjour</b>"});
  }

  void send_file_without_session_is_filed_after_login() {
    Screens.SendFile2 = [](QWidget*, TScreenCallback, const QString&, std::shared_ptr<IDossierMedical> DOS, int64_t,
                           const std::string&, const TSendFileToDMP& Snd, TSendFileToDMPReply& Rpl) {
      Rpl.ErrNo = 0;
      Rpl.UniqueId = "1.2.250.99";
      Rpl.Error = Snd.Title;
      return DOS != nullptr;
    };
    ScriptLogin();
    Open();
    Fake->Script("GetCPS", {.Delay = std::chrono::milliseconds(1500)});
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    // The INS of the fake core's record, whose identity carries the type letter.
    const QString Request = R"({"INS":"2-79035-12151-8989","LocalId":"L7","Title":"CR"})";
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, Request), Vantrel::SUBMIT);
    // The login and the record also notify the host: only the replies count here.
    const auto Replies = [&Host] { return Host.Of("recv", Vantrel::SEND_FILE_REPLY); };
    QTRY_COMPARE(Replies().size(), 1);
    QJsonObject Reply = Replies()[0]["payload"].toObject();
    QCOMPARE(Reply["ErrNo"].toInt(), -1);
    QCOMPARE(Reply["Error"].toString(), QStringLiteral("Chargement de la CPS"));
    QCOMPARE(Reply["LocalId"].toString(), QStringLiteral("L7"));
    QCOMPARE(PendingURL.INS, std::string("279035121518989"));
    // The card reading goes on through the PIN and the activity (scripted
    // screens) and opens the pending record in the same job: filed at its end.
    QTRY_COMPARE(Replies().size(), 2);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    Reply = Replies()[1]["payload"].toObject();
    QCOMPARE(Reply["ErrNo"].toInt(), 0);
    QCOMPARE(Reply["UniqueId"].toString(), QStringLiteral("1.2.250.99"));
    QCOMPARE(Reply["Error"].toString(), QStringLiteral("CR"));
    QCOMPARE(Reply["Server"].toString(), QString::fromStdString(Fake->Core->Data.Server));
    QVERIFY(Main->FFileToSend.From.isEmpty());

    // The open record's patient, asked by its INS without the type letter.
    Fake->Core->ClearCalls();
    QCOMPARE(Host.CallAndWait(Vantrel::QUERY_PATIENT, R"({"INS":"279035121518989"})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 1);
    const QJsonObject Patient = Host.Of("recv", Vantrel::NOTIFY_PATIENT)[0]["payload"].toObject();
    QCOMPARE(Patient["Nom"].toString(), QStringLiteral("DUPONT"));
    QVERIFY(Fake->Calls().empty());
    QCOMPARE(Replies().size(), 2);
  }

  // The host gets the form's own answer; while the form is not available
  // nothing is filed and the request is answered as cancelled.
  void send_file_for_the_open_patient_gets_the_forms_answer() {
    bool Available = false;
    Screens.SendFile2 = [&Available, Missing = Screens.SendFile2](
                            QWidget* Sender, TScreenCallback OnClick, const QString& Patient,
                            std::shared_ptr<IDossierMedical> DOS, int64_t PatientId, const std::string& From,
                            const TSendFileToDMP& Snd, TSendFileToDMPReply& Rpl) {
      if (!Available) return Missing(Sender, OnClick, Patient, DOS, PatientId, From, Snd, Rpl);
      Rpl.ErrNo = -7;
      Rpl.Error = "Le fichier est illisible";
      return false;
    };
    Open();
    OpenPatient("180117512345678");
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    const QString Request = R"({"INS":"180117512345678","LocalId":"L1","Title":"CR"})";
    const auto Replies = [&Host] { return Host.Of("recv", Vantrel::SEND_FILE_REPLY); };
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, Request), Vantrel::SUBMIT);
    QTRY_COMPARE(Replies().size(), 1);
    QJsonObject Reply = Replies()[0]["payload"].toObject();
    QCOMPARE(Reply["ErrNo"].toInt(), -7);
    QCOMPARE(Reply["Error"].toString(), QStringLiteral("Opération annulée par l'utilisateur"));
    QCOMPARE(Reply["LocalId"].toString(), QStringLiteral("L1"));
    QCOMPARE(Boxes, QStringList{"Cet écran n'est pas encore disponible"});

    Available = true;
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, Request), Vantrel::SUBMIT);
    QTRY_COMPARE(Replies().size(), 2);
    Reply = Replies()[1]["payload"].toObject();
    QCOMPARE(Reply["ErrNo"].toInt(), -7);
    QCOMPARE(Reply["Error"].toString(), QStringLiteral("Le fichier est illisible"));
    QCOMPARE(Reply["Server"].toString(), QString::fromStdString(Fake->Core->Data.Server));
  }

  // The host's file through the program's add-document form: the reply is
  // what the form ends with (the user's cancel, the core's refusal shown and
  // then cancelled, or the filed document).
  void send_file_through_the_form_data() {
    QTest::addColumn<bool>("PressOK");
    QTest::addColumn<int>("Refusal");
    QTest::addColumn<int>("ErrNo");
    QTest::addColumn<QString>("UniqueId");
    QTest::newRow("cancelled") << false << 0 << -7 << "";
    QTest::newRow("refused, then cancelled") << true << int(ERR_ACCES_REFUSE) << -7 << "";
    QTest::newRow("filed") << true << 0 << 0 << "1.2.250.1.999.1.1.1";
  }
  void send_file_through_the_form() {
    QFETCH(bool, PressOK);
    QFETCH(int, Refusal);
    const TScreens Real = TScreens::Program();
    Screens.SendFile2 = Real.SendFile2;
    Screens.Process = Real.Process;
    Screens.NextDocument = Real.NextDocument;
    Screens.AjoutDocumentShown = Real.AjoutDocumentShown;
    Screens.AjoutDocumentDeposer = Real.AjoutDocumentDeposer;
    Screens.AjoutDocumentClose = Real.AjoutDocumentClose;
    Screens.AjoutDocumentFiled = Real.AjoutDocumentFiled;
    // The fake record's reload shows the local documents.
    Screens.DocumentsLocauxCreate = [](QWidget* Owner, IDocumentsLocauxHost&) { return new QWidget(Owner); };
    Open();
    OpenPatient("180117512345678");
    if (Refusal) Fake->Script("AddDocument", {.Code = Refusal});
    const QString File = Dir.filePath(QStringLiteral("cr.pdf"));
    QFile F(File);
    QVERIFY(F.open(QIODevice::WriteOnly) && F.write("%PDF-1.4 compte rendu") > 0);
    F.close();
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());

    QStringList Seen;  // the form's title and type, then its own warnings
    const auto Dialog = AnswerModal<TAjoutDocument>([&](TAjoutDocument& Form) {
      Seen << Form.edTitle->text() << QString::number(Form.GetTypeDocumentIndex());
      const auto Box = AnswerModal<QMessageBox>([&Seen](QMessageBox& B) {
        Seen << B.text();
        B.accept();
      });
      if (PressOK) {
        QTest::mouseClick(Form.btOK, Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return Main->LiveTasks() == 0 && (!Form.isVisible() || !Boxes.isEmpty()); }, 20000))
          Seen << "filing still running";
      }
      if (Form.isVisible()) QTest::mouseClick(Form.btCancel, Qt::LeftButton);
    });
    const QJsonObject Request{{"INS", "180117512345678"}, {"LocalId", "L3"}, {"Title", "CR « biologie »"},
                              {"FileName", File}, {"MimeType", "application/pdf"}, {"Category", "11502-2"}};
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, QJsonDocument(Request).toJson(QJsonDocument::Compact)),
             Vantrel::SUBMIT);
    const auto Replies = [&Host] { return Host.Of("recv", Vantrel::SEND_FILE_REPLY); };
    QTRY_COMPARE_WITH_TIMEOUT(Replies().size(), 1, 30000);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Seen, (QStringList{QStringLiteral("CR « biologie »"), QString::number(TypeDocumentIndex("11502-2"))}));
    const QJsonObject Reply = Replies()[0]["payload"].toObject();
    QTEST(Reply["ErrNo"].toInt(), "ErrNo");
    QTEST(Reply["UniqueId"].toString(), "UniqueId");
    QCOMPARE(Reply["LocalId"].toString(), QStringLiteral("L3"));
    const std::string Refused = Refusal ? std::string(Fake->GetErrMsg(Refusal)) : std::string();
    QVERIFY(!Refusal || !Refused.empty());
    const QString Error = !PressOK ? QStringLiteral("Opération annulée par l'utilisateur") : QString::fromStdString(Refused);
    QCOMPARE(Reply["Error"].toString(), Error);
    QVERIFY2(Boxes.size() == qsizetype(Refusal ? 1 : 0), qPrintable(Boxes.join(" / ")));
    const std::vector<std::string> Calls = CallNames();
    QCOMPARE(std::ranges::count_if(Calls, [](const std::string& C) { return C.starts_with("AddDocument"); }),
             PressOK ? 1 : 0);
  }

  // A click on a category tells the hosts the patient and the category.
  void category_click_tells_the_hosts() {
    Open();
    OpenPatient("180117512345678");
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    QCOMPARE(Host.CallAndWait(Vantrel::REGISTER), 1);
    const auto Changes = [&Host] { return Host.Of("recv", Vantrel::NOTIFY_CATEGORY); };
    QTRY_COMPARE(Changes().size(), 1);  // the registration's, without a category
    TDocuments& F = *Main->Documents;
    F.Display();
    TCategorieOption* Entry = F.Categories[1];
    QVERIFY(Entry->isVisible());
    QTest::mouseClick(Entry, Qt::LeftButton);
    QTRY_COMPARE(Changes().size(), 2);
    const QJsonObject Change = Changes()[1]["payload"].toObject();
    QCOMPARE(Change["INS"].toString(), QStringLiteral("180117512345678"));
    QCOMPARE(Change["Nom"].toString(), QStringLiteral("DUPONT"));
    QCOMPARE(Change["Categorie"].toString(), Entry->Hint());
    QVERIFY(!Entry->Hint().isEmpty());
  }

  void login_tells_registered_hosts_data() {
    QTest::addColumn<bool>("PinGiven");
    QTest::addColumn<uint>("Code");
    QTest::addColumn<QString>("Text");
    QTest::newRow("PIN cancelled") << false << uint(Vantrel::NOTIFY_PIN_CANCELLED)
                                   << QStringLiteral("Code de la carte CPS non renseigné");
    QTest::newRow("stored favourites") << true << uint(Vantrel::NOTIFY_FAVORIS)
                                       << QStringLiteral("{\"Favoris\":[\"CR d'examens biologiques\"]}");
  }
  void login_tells_registered_hosts() {
    QFETCH(bool, PinGiven);
    QFETCH(uint, Code);
    ScriptLogin();
    if (!PinGiven) Screens.GetCodePIN = [](QWidget*, IVaspoCPS&, Vantrel::TIniFile&, TCodePIN&) { return false; };
    Open();
    TVaspoPraticien Stored;
    Stored.IdNational = Fake->Core->Data.Porteur.IdNational;
    Stored.Nom = Fake->Core->Data.Porteur.Nom;
    Stored.Favoris = "11502-2|";
    Main->Database.SavePraticien(Stored);
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    QCOMPARE(Host.CallAndWait(Vantrel::REGISTER), 1);
    Main->ibCarteCPSClick();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    // The last message of that code, its JSON written compactly.
    const auto Last = [&Host, Code] {
      const QList<QJsonObject> R = Host.Of("recv", Code);
      if (R.isEmpty()) return QString();
      const QJsonValue Payload = R.last()["payload"];
      return Payload.isObject() ? QString::fromUtf8(QJsonDocument(Payload.toObject()).toJson(QJsonDocument::Compact))
                                : R.last()["text"].toString();
    };
    QFETCH(QString, Text);
    QTRY_COMPARE(Last(), Text);
    QCOMPARE(Main->pnCPX->isHidden(), !PinGiven);
  }

  void send_file_gets_one_final_answer() {
    Open();
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    // Not JSON.
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, R"({"INS":"1",)"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 1);
    QCOMPARE(Host.Of("recv")[0]["payload"].toObject()["ErrNo"].toInt(), ERR_PARAMETRE);
    QVERIFY(Fake->Calls().empty());

    // The card never comes: three readings, then the last failure.
    for (int I = 0; I < 4; ++I) Fake->Script("GetCPS", {.Code = ERR_CARTE_ABSENTE});
    QCOMPARE(Host.CallAndWait(Vantrel::SEND_FILE, R"({"INS":"180117512345678"})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 5);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(Host.CallAndWait(Vantrel::PING), int(Vantrel::PING));
    const QList<QJsonObject> R = Host.Of("recv");
    QCOMPARE(R.size(), 5);
    for (int I = 1; I < 4; ++I) QCOMPARE(R[I]["payload"].toObject()["ErrNo"].toInt(), -1);
    QCOMPARE(R[4]["payload"].toObject()["ErrNo"].toInt(), ERR_CARTE_ABSENTE);
    QCOMPARE(R[4]["payload"].toObject()["Error"].toString(), QString::fromUtf8(ErrorMessage(ERR_CARTE_ABSENTE).data()));
    QCOMPARE(std::ranges::count(CallNames(), std::string("GetCPS 0")), 3);
    QVERIFY(Main->FFileToSend.From.isEmpty());

    // A kept request replaced by another host's is answered.
    THost Other(Program(), {});
    QTRY_VERIFY(!Other.Name().isEmpty());
    Main->FFileToSend = {Host.Name(), R"({"LocalId":"first"})", 0, true};
    Fake->Script("GetCPS", {.Code = ERR_CARTE_ABSENTE});
    QCOMPARE(Other.CallAndWait(Vantrel::SEND_FILE, R"({"INS":"180117512345678"})"), Vantrel::SUBMIT);
    QTRY_COMPARE(Host.Of("recv").size(), 6);
    const QJsonObject Replaced = Host.Of("recv")[5]["payload"].toObject();
    QCOMPARE(Replaced["ErrNo"].toInt(), -8);
    QCOMPARE(Replaced["Error"].toString(), QStringLiteral("Demande remplacée par une autre demande"));
    QCOMPARE(Replaced["LocalId"].toString(), QStringLiteral("first"));
    QTRY_COMPARE(Other.Of("recv").size(), 4);  // -1 three times, then given up
    QTRY_COMPARE(Main->LiveTasks(), 0);
  }

  void broadcast_drops_the_host_answering_zero() {
    Open();
    OpenPatient("180117512345678");
    THost A(Program(), {}), B(Program(), {"--zero", "0x1002"}), C(Program(), {});
    for (THost* H : {&A, &B, &C}) {
      QTRY_VERIFY(!H->Name().isEmpty());
      QCOMPARE(H->CallAndWait(Vantrel::REGISTER), 1);
    }
    QCOMPARE(Main->FWindows, (std::vector<QString>{A.Name(), B.Name(), C.Name()}));
    // Registration sent each one the stored patient; B answered 0 to it alone.
    Main->FPatient.Prenom = "Zoé";
    Main->NotifyPatient();
    QTRY_COMPARE(Main->FWindows, (std::vector<QString>{A.Name(), C.Name()}));
    Main->FPatient.Prenom = "Léa";
    Main->NotifyPatient();
    QTRY_COMPARE(C.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 3);
    QTRY_COMPARE(A.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 3);
    QCOMPARE(B.CallAndWait(Vantrel::PING), int(Vantrel::PING));
    QCOMPARE(B.Of("recv", Vantrel::NOTIFY_PATIENT).size(), 2);
  }

  void hanging_or_reentrant_hosts_never_block() {
    Open();
    THost Hang(Program(), {"--hang"});
    THost Reenter(Program(), {"--reenter"});
    QTRY_VERIFY(!Hang.Name().isEmpty());
    QTRY_VERIFY(!Reenter.Name().isEmpty());
    QCOMPARE(Hang.CallAndWait(Vantrel::REGISTER), 1);
    QTRY_COMPARE(Hang.Of("recv").size(), 2);  // ADDED and the favourites, never answered
    // Answered at once meanwhile, the host still registered.
    QCOMPARE(Gdbus(Vantrel::PING, {}), int(Vantrel::PING));
    QVERIFY(std::ranges::find(Main->FWindows, Hang.Name()) != Main->FWindows.end());
    // A host calling us while we call it.
    QCOMPARE(Reenter.CallAndWait(Vantrel::REGISTER), 1);
    QTRY_VERIFY(!Reenter.Of("reentered").isEmpty());
    QCOMPARE(Reenter.Of("reentered")[0]["answer"].toInt(), int(Vantrel::PING));
    // The hanging host's broadcast times out: it is dropped.
    QTRY_VERIFY_WITH_TIMEOUT(std::ranges::find(Main->FWindows, Hang.Name()) == Main->FWindows.end(), 15000);
    QCOMPARE(Main->FWindows, std::vector<QString>{Reenter.Name()});
  }

  void announcement_and_targeted_answer() {
    QProcess Monitor;
    Monitor.start(QStringLiteral("dbus-monitor"), {"--session", "type='signal',interface='Talven.Vaspo.Message'"});
    QTRY_VERIFY(Monitor.bytesAvailable() > 0 || Monitor.state() == QProcess::Running);
    QTest::qWait(300);  // lets the monitor take its match before the signal
    Open();
    THost Host(Program(), {});
    QTRY_VERIFY(!Host.Name().isEmpty());
    QProcess Emit;
    Emit.start(QStringLiteral("gdbus"), {"emit", "--session", "--object-path", "/Vaspo", "--signal",
                                         "Talven.Vaspo.Message.HostMessage", GVariantString(Host.Name()), "uint32 1"});
    QVERIFY(Emit.waitForFinished(10000));
    QString Out;
    QTRY_VERIFY2((Out += QString::fromUtf8(Monitor.readAllStandardOutput())).count("uint32 3") == 2, qPrintable(Out));
    Monitor.kill();
    Monitor.waitForFinished();
    const QString Me = Main->BusName();
    QVERIFY2(Out.contains("sender=" + Me + " -> destination=(null destination)"), qPrintable(Out));
    QVERIFY2(Out.contains("sender=" + Me + " -> destination=" + Host.Name()), qPrintable(Out));
    QCOMPARE(Out.count("string \"" + Me + "\""), 2);
  }

  void delete_before_login_shows_the_document() {
    Open();
    QCOMPARE(Gdbus(Vantrel::DELETE, "dmp://dmp.test/180117512345678/doc"), Vantrel::SUBMIT);
    QTRY_COMPARE(Main->LiveTasks(), 0);
    QCOMPARE(CallNames(), std::vector<std::string>{"GetCPS 0"});
    // What the login chain then does: the record, then the document.
    Login();
    Main->LoadURL();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    Main->LoadURL();
    QTRY_COMPARE(Main->LiveTasks(), 0);
    const std::vector<std::string> Calls = CallNames();
    QVERIFY(std::ranges::count(Calls, std::string("GetDocument doc")) == 1);
    QVERIFY(std::ranges::none_of(Calls, [](const std::string& C) { return C.starts_with("SupprimerDocument"); }));
  }
};

QTEST_MAIN(TWMApiPeerTest)
#include "Carvelin.WMApi.peer.moc"
