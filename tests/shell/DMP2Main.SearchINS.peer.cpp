// The INS search from the main window with the real client core, a
// SoftHSM2 CPS card and the national-service simulator: the teleservice
// request and the record lookup as the simulator logged them (read by
// Python), the identity check kept in the local database (read by sqlite3),
// and the maker's birthplace lookup against the simulator's stub.
#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "UFrmQualificationINSi.h"
#include "UFrmSearchiNS.h"

using namespace Carvelin;
using namespace Talven;

namespace {

// Seed twins of traits told apart by their birthplace; the one born in
// L'Haÿ-les-Roses has a record.
constexpr std::string_view SantoniINS = "279099403813127";

}  // namespace

class TSearchINSPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  QStringList Boxes;
  const std::string DB = DatabaseFile();

  // Fills the search dialog with the traits of Santoni and Lieu, and searches;
  // Then runs once the search has ended.
  static std::unique_ptr<QTimer> Search(const QString& Lieu, std::function<void(TFrmSearchINS&)> Then) {
    return AnswerModal<TFrmSearchINS>([Lieu, Then](TFrmSearchINS& Form) {
      Form.edNom->setText(QStringLiteral("Santoni"));
      Form.edPrenom->setText(QStringLiteral("Marie-Ange"));
      Form.edDateNaissance->setText(QStringLiteral("3/3/80"));
      Form.cbSexe->setCurrentIndex(1);
      Form.edLieu->setText(Lieu);
      Form.btSearchClick();
      auto* Poll = new QTimer(&Form);
      QObject::connect(Poll, &QTimer::timeout, &Form, [&Form, Poll, Then] {
        if (Form.Searching() || !Form.isVisible()) return;
        Poll->stop();
        Then(Form);
      });
      Poll->start(50);
    });
  }

 private slots:
  void initTestCase() {
    QVERIFY2(Open([this](QMessageBox& Box) {
               Boxes << Box.text() + Box.informativeText();
               return int(QMessageBox::Yes);
             }),
             Sim.Ready.c_str());
  }

  void cleanupTestCase() { Close(); }

  // The check is kept with the patient, known here (not qualified yet) or
  // not: then in the row that the record's opening makes.
  void a_search_with_a_birthplace_opens_the_record_after_the_identity_check_data() {
    QTest::addColumn<bool>("Known");
    QTest::newRow("patient known here") << true;
    QTest::newRow("patient new here") << false;
  }
  void a_search_with_a_birthplace_opens_the_record_after_the_identity_check() {
    QFETCH(bool, Known);
    Boxes.clear();
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    TestSupport::Run({"sqlite3", DB, "DELETE FROM Patients;"});
    if (Known) {
      TVaspoPatient Patient;
      Patient.Nom = "SANTONI";
      Patient.INSN = std::string(SantoniINS) + "T";  // the training INS's letter
      Main->Database.SavePatient(Patient);
    }
    const size_t Since = Sim.Log().size();
    // A minor's family record book with the guardian's passport: 32 + 8.
    const auto Check = AnswerModal<TFrmQualificationINSi>([](TFrmQualificationINSi& Form) {
      Form.Documents1->button(3)->click();
      Form.Documents2->button(1)->click();
      Form.Button1Click();
    });
    const auto Searching = Search(QStringLiteral("94240 L'Haÿ-les-Roses (94038)"), [](TFrmSearchINS& Form) {
      if (Form.result() != QDialog::Accepted) Form.reject();
    });
    Main->ibSearchINSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY2(Main->DOS, qPrintable(Boxes.join('|')));
    QVERIFY2(Boxes.size() == 1 && Boxes[0].startsWith("Voulez-vous accéder au DMP de SANTONI MARIE-ANGE"),
             qPrintable(Boxes.join('|')));
    QVERIFY2(Main->lbPatient->text().contains("SANTONI"), qPrintable(Main->lbPatient->text()));
    ExpectLog(Since, R"PY(
national = [e for e in entries if e.get('listener') == 'national']
insi = [e for e in national if e.get('service') == 'insi']
assert len(insi) == 1, [e.get('service') for e in national]
b = body(insi[0])
traits = tuple(first(b, n) for n in ('NomNaissance', 'Sexe', 'DateNaissance', 'LieuNaissance'))
assert traits == ('SANTONI', 'F', '1980-03-03', '94038'), ET.tostring(b)[:2000]
assert insi[0]['note'].startswith('CodeCR 00 santoni_lhay'), insi[0]['note']
after = [e.get('service') for e in national[national.index(insi[0]) + 1:]]
assert after[0] == 'patients', after
)PY");
    const auto Row = TestSupport::Run(
        {"sqlite3", DB,
         "SELECT INSiStatus || '|' || (INSiDate > 0) || '|' || (INSi LIKE '%SANTONI%') FROM Patients "
         "WHERE INSN LIKE '" + std::string(SantoniINS) + "%';"});
    QCOMPARE(QString::fromStdString(Row.Out).trimmed(), QStringLiteral("40|1|1"));
  }

  void a_birthplace_without_its_code_is_not_sent() {
    Boxes.clear();
    const auto Main = LoggedInMain();
    QVERIFY(Main);
    const size_t Since = Sim.Log().size();
    const auto Searching = Search(QStringLiteral("Villeneuve-d'Ascq"), [](TFrmSearchINS& Form) { Form.reject(); });
    Main->ibSearchINSClick();
    QTRY_COMPARE_WITH_TIMEOUT(Main->LiveTasks(), 0, 30000);
    QVERIFY(!Main->DOS);
    QCOMPARE(Boxes.size(), 1);  // the teleservice's "several identities"
    ExpectLog(Since, R"PY(
insi = [e for e in entries if e.get('service') == 'insi']
assert len(insi) == 1 and first(body(insi[0]), 'LieuNaissance') is None, ET.tostring(body(insi[0]))[:2000]
assert insi[0]['note'] == 'CodeCR 02', insi[0]['note']
)PY");
  }

  void commune_lookup_sends_the_typed_name_and_date() {
    const std::string Maker = Talven::HostsConfig().Maker;
    const size_t Since = Sim.Log().size();
    std::vector<std::string> Names;
    for (const TCommune& C : FetchCommunes(Maker, "L'Haÿ-les", "19800303")) Names.push_back(C.nom);
    QCOMPARE(Names, std::vector<std::string>{"L'Haÿ-les-Roses"});
    QCOMPARE(FetchCommunes(Maker, "Cherbourg", "20200101").size(), size_t(1));
    ExpectLog(Since, R"PY(
c = [e['communes'] for e in entries if 'communes' in e]
q = urllib.parse.parse_qs(c[0]['query'])
assert (q['nom'], q['date']) == (['L' + chr(39) + 'Haÿ-les'], ['19800303']), c[0]
assert (c[0]['user_agent'], c[0]['content_type']) == ('Vantrel SOAP 1.2', 'application/soap+xml; charset=utf-8'), c[0]
assert c[0]['connection'].lower() == 'keep-alive', c[0]
)PY");
  }

  void bad_commune_answers_give_no_commune_data() {
    QTest::addColumn<QString>("Variant");
    for (const char* V : {"empty", "empty_body", "malformed", "html_200", "status_500", "slow", "huge"})
      QTest::newRow(V) << QString::fromLatin1(V);
  }
  void bad_commune_answers_give_no_commune() {
    QFETCH(QString, Variant);
    Sim.SetRules("[{\"match\": {\"service\": \"communes\"}, \"times\": 1, \"variant\": \"" +
                 Variant.toStdString() + "\"}]");
    QVERIFY(FetchCommunes(Talven::HostsConfig().Maker, "Ajaccio", "").empty());
    Sim.SetRules("[]");
    QCOMPARE(FetchCommunes(Talven::HostsConfig().Maker, "Ajaccio", "").size(), size_t(1));
  }
};

QTEST_MAIN(TSearchINSPeer)
#include "DMP2Main.SearchINS.peer.moc"
