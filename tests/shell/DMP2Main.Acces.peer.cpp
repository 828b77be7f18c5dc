// Access to a seed record as the main window justifies it, through the
// program's dialogs, with the real client core, a SoftHSM2 CPS card and the
// national-service simulator: emergency and consented access, a minor's
// secret mode, withdrawing the authorisation and closing the record. What
// the simulator received is read by Python from its request log, and the
// record's new state at the next existence test.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "UAccesMineur.h"
#include "UFermerDMP.h"
#include "UForcerDMP.h"

using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";   // adult, authorised
constexpr std::string_view MarieINS = "277049205010259";    // adult, no authorisation
constexpr std::string_view LeaINS = "215033306311206";      // ten years old, authorised
constexpr std::string_view ElodieINS = "288125935020866";   // adult, authorised
constexpr std::string_view MarieAngeINS = "279099403813127";  // adult, authorised

// vihf(e): what a request's identity assertion declares: the purpose of
// use, the emergency reason and the minor's secret mode.
constexpr std::string_view Vihf = R"PY(
PURPOSE = 'urn:oasis:names:tc:xspa:1.0:subject:purposeofuse'
REASON = 'Mode_Acces_Raison'
SECRET = 'urn:oasis:names:tc:xspa:1.0:resource:patient:hl7:confidentiality-code'
def vihf(e):
    found = {a.get('Name'): a for a in body(e).iter() if a.tag.endswith('}Attribute')}
    purpose = found.get(PURPOSE)
    return {'purpose': next((v.get('code') for v in purpose.iter() if v.get('code')), None) if purpose is not None else None,
            'reason': ''.join(found[REASON].itertext()).strip() if REASON in found else None,
            'secret': SECRET in found}
def of(operation): return [e for e in requests if e.get('operation') == operation]
def answer(e): return open(os.path.join(sys.argv[1], e['answer_file']), encoding='utf-8').read()
)PY";

}  // namespace

class TDMP2MainAccesPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  QStringList Boxes;

  void Check(size_t Since, std::string_view Assertions, std::vector<std::string> Args = {}) {
    ExpectLog(Since, std::string(Vihf) + std::string(Assertions), std::move(Args));
  }

  // Opens the record INS from the INS box's path and waits for the job and
  // what it posted.
  static void OpenRecord(TDMPMain& Main, std::string_view INS) {
    Main.LoadINSC(std::string(INS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QCoreApplication::processEvents();
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
  }

 private slots:
  void initTestCase() {
    QVERIFY2(Open([this](QMessageBox& Box) {
               // An error box's message is its informative text.
               Boxes << (Box.informativeText().isEmpty() ? Box.text() : Box.informativeText());
               return int(QMessageBox::Yes);
             }),
             Sim.Ready.c_str());
  }

  void cleanupTestCase() { Close(); }

  void init() {
    Boxes.clear();
    Sim.Reset();
  }

  // The status button of a record without authorisation offers the access
  // dialog. An emergency access makes no service call: the record's next requests
  // carry its motive. A consent adds the authorisation, then the requests
  // are normal ones.
  void access_dialog_opens_the_record_in_the_chosen_mode_data() {
    QTest::addColumn<bool>("Emergency");
    QTest::newRow("emergency") << true;
    QTest::newRow("consent") << false;
  }
  void access_dialog_opens_the_record_in_the_chosen_mode() {
    QFETCH(bool, Emergency);
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    bool Offered = false;
    const auto Dialog = AnswerModal<TFrmForcerDMP>([&](TFrmForcerDMP& Form) {
      Offered = true;
      QTest::mouseClick(Emergency ? Form.cbBrisDeGlace : Form.cbAutorise, Qt::LeftButton);
      if (Emergency) Form.edBrisDeGlace->setText(QStringLiteral("  Coma, patient seul à domicile "));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
    });
    OpenRecord(*Main, MarieINS);
    QVERIFY(Main->StatusImage() != TDMPMain::imAccesAccorde);
    const size_t Since = Sim.LogSize();
    Main->ibStatusClick(Main->ibStatus);
    QVERIFY(Offered);
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    QCOMPARE(Main->StatusImage(), int(TDMPMain::imAccesAccorde));
    QCOMPARE(Main->btUrgence->isVisible(), Emergency);
    QCOMPARE(Main->FBrisDeGlace, std::string(Emergency ? "Coma, patient seul à domicile" : ""));
    Check(Since, R"PY(
emergency = sys.argv[2] == '1'
finds = of('FindDocuments')
assert finds, [e.get('operation') for e in requests]
modes = [vihf(e) for e in finds]
if emergency:
    assert not of('setAuthorization'), [e.get('operation') for e in requests]
    assert all(m == {'purpose': 'bris_de_glace', 'reason': 'Coma, patient seul à domicile', 'secret': False}
               for m in modes), modes
else:
    sets = of('setAuthorization')
    assert len(sets) == 1 and first(body(sets[0]), 'action') == 'AJOUT', [e.get('operation') for e in requests]
    assert all(m == {'purpose': 'normal', 'reason': None, 'secret': False} for m in modes), modes
)PY", {Emergency ? "1" : "0"});
  }

  // A minor's record asks the mode first; the secret one travels in the
  // assertion of every later request of the record, the normal one in none.
  void minor_secret_mode_shows_in_the_assertion_data() {
    QTest::addColumn<bool>("Secret");
    QTest::newRow("secret") << true;
    QTest::newRow("normal") << false;
  }
  void minor_secret_mode_shows_in_the_assertion() {
    QFETCH(bool, Secret);
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    bool Asked = false;
    const auto Dialog = AnswerModal<TFrmAccesMineur>([&](TFrmAccesMineur& Form) {
      Asked = true;
      if (Secret) QTest::mouseClick(Form.rbSecret, Qt::LeftButton);
      QTest::mouseClick(Form.btContinuer, Qt::LeftButton);
    });
    const size_t Since = Sim.LogSize();
    OpenRecord(*Main, LeaINS);
    QVERIFY(Asked);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    QCOMPARE(Main->btSecret->isVisible(), Secret);
    QVERIFY(Main->List);
    Check(Since, R"PY(
secret = sys.argv[2] == '1'
opening = [vihf(e)['secret'] for e in of('PRPA_IN201307UV02')]
finds = [vihf(e)['secret'] for e in of('FindDocuments')]
assert opening == [False], opening
assert finds == [secret], finds
)PY", {Secret ? "1" : "0"});
  }

  // The secret mode on an adult's record is refused by the record itself:
  // the dialog shows the core's message and answers false, and the record
  // goes on with normal requests.
  void refused_secret_mode_is_shown_and_not_taken() {
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    OpenRecord(*Main, MartinINS);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    const auto Dialog = AnswerModal<TFrmAccesMineur>([](TFrmAccesMineur& Form) {
      QTest::mouseClick(Form.rbSecret, Qt::LeftButton);
      QTest::mouseClick(Form.btContinuer, Qt::LeftButton);
    });
    QVERIFY(!Main->Screens().AccesMineurExecute(Main.get(), *Main->DOS));
    const std::string_view Majeur = Main->DMP->GetErrMsg(ERR_PATIENT_MAJEUR);
    QCOMPARE(Boxes, QStringList{QString::fromUtf8(Majeur.data(), qsizetype(Majeur.size()))});
    QCOMPARE(Main->DOS->GetInfo()->Secret, 0);
    Boxes.clear();
    const size_t Since = Sim.LogSize();
    Main->ibRefreshClick(false);
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    Check(Since, R"PY(
finds = of('FindDocuments')
assert finds and all(e.get('status') == 200 and not vihf(e)['secret'] for e in finds), finds
)PY");
  }

  // Closing sends the dialog's trimmed motive with the patient's code; the
  // patient context closes, and the record opens again as closed, with the
  // reason shown on the patient bar.
  void closed_record_is_terminated_at_the_next_existence_test() {
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    OpenRecord(*Main, ElodieINS);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    const auto Dialog = AnswerModal<TFermerDMP>([](TFermerDMP& Form) {
      Form.mmMotif->setPlainText(QStringLiteral("  Départ à l'étranger\n"));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
    });
    size_t Since = Sim.LogSize();
    Main->mnFermerDMPClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    QVERIFY(!Main->DOS);
    QVERIFY(Main->pnCSV->isHidden());
    Check(Since, R"PY(
revisions = of('PRPA_IN201314UV02')
assert len(revisions) == 1, [e.get('operation') for e in requests]
root = body(revisions[0])
assert find(root, 'reasonCode').get('code') == 'FERM'
patient = find(find(root, 'subject1'), 'patient')
assert find(patient, 'statusCode').get('code') == 'terminated'
issue = find(root, 'detectedIssueEvent')
assert find(issue, 'code').get('code') == 'FERMETURE_DEMANDE_PATIENT', ET.tostring(issue)
assert sys.argv[2] in ''.join(issue.itertext()), ET.tostring(issue, encoding='unicode')
)PY", {"Départ à l'étranger"});

    Since = Sim.LogSize();
    OpenRecord(*Main, ElodieINS);
    QCOMPARE(Main->StatusImage(), int(TDMPMain::imDossierFerme));
    QVERIFY2(Main->lbMedecin->text().contains(QStringLiteral("FERMÉ le")), qPrintable(Main->lbMedecin->text()));
    QCOMPARE(Main->ibStatus->toolTip(), QStringLiteral("Départ à l'étranger"));
    Check(Since, R"PY(
existence = of('PRPA_IN201307UV02')
assert existence and 'terminated' in answer(existence[-1]), existence
)PY");
  }

  // Withdrawing the authorisation removes it on the service and closes the
  // patient context; opened again, the record's documents are not read.
  void withdrawn_authorisation_is_gone_at_the_next_opening() {
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    OpenRecord(*Main, MarieAngeINS);
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    const size_t Since = Sim.LogSize();
    Main->mnRetirerAutorisationClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY(!Main->DOS);
    OpenRecord(*Main, MarieAngeINS);
    QVERIFY(Main->DOS);
    QVERIFY(Main->StatusImage() != TDMPMain::imAccesAccorde);
    QVERIFY(Main->Documents->isHidden());
    QVERIFY2(Boxes.isEmpty(), qPrintable(Boxes.join('\n')));
    Check(Since, R"PY(
sets = of('setAuthorization')
assert len(sets) == 1 and first(body(sets[0]), 'action') == 'SUPPRESSION', sets
assert not of('FindDocuments'), [e.get('operation') for e in requests]
)PY");
  }
};

QTEST_MAIN(TDMP2MainAccesPeer)
#include "DMP2Main.Acces.peer.moc"
