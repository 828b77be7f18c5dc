// The vaccination note form through the main window, with the real client
// core, a SoftHSM2 CPS card and the simulator: the note's CDA as filed
// (xmllint against the CDA schema, its values read by Python), the local
// copy in the database (sqlite3), and the catalogue read from the maker's
// stub in each of its answers, with the cache file it leaves.
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>

#include "Carvelin.Resources.h"
#include "CpsToken.h"
#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "UFrmNoteVaccination.h"

using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";

// Only the catalogue is read: the form is never submitted.
struct TNoFiling : INoteVaccinationHost {
  bool Submit(std::function<int()>, std::function<void(int)>) override { return false; }
  int AddNoteVaccination(const TProprietesDocument&, const TNoteVaccination&, std::string&) override { return -1; }
  void ShowError(int) override {}
  void SaveDocument(const std::string&, const TProprietesDocument&) override {}
  void ReloadDocuments() override {}
};

}  // namespace

class TUFrmNoteVaccinationPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

  std::filesystem::path Cache;

  // The stub's answer in a variant, as curl receives it.
  std::string StubAnswer(const char* Variant) {
    Rules(Variant);
    const std::filesystem::path Out = Work.Path() / "stub.json";
    const auto R = TestSupport::Run({"curl", "-s", "--max-time", "30", "--cacert", Sim.TrustFile, "-o", Out.string(),
                                     "https://127.0.0.1:" + std::to_string(Sim.PublicPort) + "/vaccins/vaccins.json"});
    return R.Status == 0 ? TestSupport::ReadFile(Out) : std::string();
  }
  void Rules(const char* Variant) {
    Sim.SetRules(std::string(R"([{"match": {"service": "vaccins"}, "variant": ")") + Variant + "\"}]");
  }

 private slots:
  void initTestCase() {
    BoxAnswer = QMessageBox::No;
    QVERIFY2(OpenRecordingBoxes(), Sim.Ready.c_str());
    // The catalogue's cache goes to the working folder.
    const auto Folder = Work.Path() / "cwd";
    std::filesystem::create_directories(Folder);
    std::filesystem::current_path(Folder);
    Cache = Folder / "vaccins.json";
  }
  void cleanupTestCase() { Close(); }
  void init() { std::filesystem::remove(Cache); }

  void note_is_filed_as_a_valid_cda_and_kept_locally() {
    const auto Owned = LoggedInMain();
    QVERIFY(Owned);
    TDMPMain& Main = *Owned;
    Main.LoadINSC(std::string(MartinINS), false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QVERIFY(Main.ibVaccin->isVisible());
    // Every document listed, whatever the simulator's day.
    Main.Documents->cbDateDocAfter->setChecked(false);
    Main.ibRefreshClick(false);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);

    Rules("same");
    const size_t Since = Sim.LogSize();
    QStringList Warnings;
    bool Shown = false;
    const auto Dialog = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      Shown = true;
      Form.edDate->setText(QStringLiteral("150325"));
      Form.edSearch->setText(QStringLiteral("gripalis tetra"));
      Form.lbVaccins->SetItemIndex(0);
      Form.edLot->setText(QStringLiteral("LT-2025/07 & <B>"));
      Form.cbRang->setCurrentIndex(1);
      Form.cbVaccination->setCurrentIndex(2);
      Form.cbSite->setCurrentIndex(2);   // RD
      Form.cbRoute->setCurrentIndex(4);  // IM
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Warnings << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
    });
    QTest::mouseClick(Main.ibVaccin, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QVERIFY(Shown);
    QCOMPARE(Warnings, QStringList{});
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    QVERIFY(!std::filesystem::exists(Cache));  // the maker's copy is the embedded one

    const std::string Schema = TestSupport::SharedData("cda/schema/CDA_extended.xsd").string();
    if (Schema.empty()) qInfo("CDA schema absent (shared data): the schema check is skipped");
    const std::string Embedded(Resources::VACCINS());
    const std::string Cda = (Work.Path() / "note.xml").string();
    std::vector<std::string> Args = {Cda, Schema, DatabaseFile()};
    ExpectLog(Since, R"PY(
import email, email.policy, subprocess
cda_file, schema, db = sys.argv[2:5]
vaccins = [e for e in entries if 'vaccins' in e]
assert len(vaccins) == 1 and vaccins[0]['vaccins']['method'] == 'GET', vaccins
filed = [e for e in requests if e.get('operation') == 'ProvideAndRegisterDocumentSetRequest']
assert len(filed) == 1, [e.get('operation') for e in requests]
data = open(os.path.join(sys.argv[1], filed[0]['request_file']), 'rb').read()
m = email.message_from_bytes(b'Content-Type: multipart/related; boundary="=_carvelin_boundary_"\r\n\r\n' + data,
                             policy=email.policy.HTTP)
xml = list(m.iter_parts())[2].get_payload(decode=True)
open(cda_file, 'wb').write(xml)
if schema:
    r = subprocess.run(['xmllint', '--noout', '--schema', schema, cda_file], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
H = '{urn:hl7-org:v3}'
cda = ET.fromstring(xml)
sa = next(cda.iter(H + 'substanceAdministration'))
material = next(sa.iter(H + 'manufacturedMaterial'))
code = material.find(H + 'code')
assert (code.get('code'), code.get('codeSystemName')) == ('61103377', 'CIS'), code.attrib
assert code.get('displayName') == 'GRIPALIS TETRA, suspension injectable en seringue préremplie', code.attrib
atc = [t for t in code.findall(H + 'translation') if t.get('codeSystemName') == 'ATC'][0]
assert (atc.get('code'), atc.get('displayName')) == ('J07BB02', 'Grippe, antigène purifié inactivé'), atc.attrib
assert material.find(H + 'name').text == 'GRIPALIS TETRA'
assert material.find(H + 'lotNumberText').text == 'LT-2025/07 & <B>'
assert sa.find(H + 'code').get('code') == 'BOOSTER', sa.find(H + 'code').attrib
assert sa.find(H + 'effectiveTime').get('value') == '20250315', sa.find(H + 'effectiveTime').attrib
assert sa.find(H + 'routeCode').get('code') == 'IM'
assert sa.find(H + 'approachSiteCode').get('code') == 'RD'
rank = [v for v in sa.iter(H + 'value') if v.get('value')][-1]
assert rank.get('value') == '2', rank.attrib
cells = [td.text for td in cda.iter(H + 'td')]
assert cells[0] == '15/03/2025', cells
row = subprocess.run(['sqlite3', '-json', db, 'SELECT titre, TypeDoc, uniqueId FROM Documents'],
                     capture_output=True, text=True, check=True).stdout
rows = json.loads(row)
assert len(rows) == 1 and rows[0]['TypeDoc'] == '87273-9' and rows[0]['uniqueId'] == filed[0]['filed'][0], rows
note = json.loads(rows[0]['titre'])
assert (note['CIS'], note['Nom'], note['Lot'], note['Rang'], note['Vaccination']) == \
       ('61103377', 'GRIPALIS TETRA', 'LT-2025/07 & <B>', 2, 2), note
assert (note['Site'], note['Route'], note['Vaccinateur']) == ('RD', 'IM', 'moi-même'), note
assert note['Date'].startswith('2025-03-15') and note['VaccinationId'].startswith('2.25.'), note
)PY",
              Args);

    // The note replaced from the list: the form comes prefilled, files the
    // new version over the old one (whose row is marked replaced), and the
    // documents are queried once, with no error.
    std::string Old = TestSupport::Run({"sqlite3", DatabaseFile(), "SELECT uniqueId FROM Documents"}).Out;
    while (!Old.empty() && Old.back() == '\n') Old.pop_back();
    int Row = -1;
    for (int I = 0; Main.List && I < Main.List->Count(); ++I)
      if (Main.List->Info(I)->UniqueID == Old) Row = I;
    QVERIFY2(Row >= 0, (Old + " among " + std::to_string(Main.List ? Main.List->Count() : -1)).c_str());
    Main.Documents->ListBox->SetItemIndex(Row);
    const size_t Before = Sim.LogSize();
    QString Prefilled;
    const auto Replacing = AnswerModal<TFrmNoteVaccination>([&](TFrmNoteVaccination& Form) {
      Prefilled = Form.edLot->text() + '|' + Form.edDate->text() + '|' +
                  (Form.Selected() ? QString::fromStdString(Form.Selected()->cis) : QString());
      Form.edLot->setText(QStringLiteral("LT-2025/08"));
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
    });
    BoxAnswer = QMessageBox::Yes;
    Main.mnReplaceDocumentClick();
    BoxAnswer = QMessageBox::No;
    QTRY_COMPARE_WITH_TIMEOUT(Main.LiveTasks(), 0, 30000);
    QCOMPARE(Prefilled, QStringLiteral("LT-2025/07 & <B>|15/03/2025|61103377"));
    QStringList Texts(Boxes.begin(), Boxes.end());
    QVERIFY2(Texts == QStringList{QStringLiteral("Voulez-vous remplacer ce document par une nouvelle version ?")}, qPrintable(Texts.join(" / ")));
    ExpectLog(Before, R"PY(
filed = [e for e in requests if e.get('operation') == 'ProvideAndRegisterDocumentSetRequest']
finds = [e for e in requests if e.get('operation') == 'FindDocuments']
assert len(filed) == 1 and len(finds) == 1, [e.get('operation') for e in requests]
db, old = sys.argv[2:4]
import subprocess
rows = json.loads(subprocess.run(['sqlite3', '-json', db, 'SELECT titre, uniqueId, etat FROM Documents'],
                                 capture_output=True, text=True, check=True).stdout)
state = {r['uniqueId']: r['etat'] for r in rows}
assert state == {old: 1, filed[0]['filed'][0]: 0}, rows
new = json.loads(next(r['titre'] for r in rows if r['uniqueId'] != old))
assert new['Lot'] == 'LT-2025/08' and new['CIS'] == '61103377', new
)PY",
              {DatabaseFile(), Old});
  }

  // The stub's answer; the catalogue the form lists (its first vaccine and
  // whether the ATC labels came), and the cache after: the stub's bytes,
  // the cache left as it was, or none.
  void catalogue_from_the_maker_data() {
    QTest::addColumn<QString>("Variant");
    QTest::addColumn<bool>("CachedBefore");
    QTest::addColumn<QString>("First");
    QTest::addColumn<bool>("Labels");
    QTest::addColumn<QString>("CacheAfter");
    QTest::newRow("same: the cache goes") << "same" << true << "GRIPALIS" << true << "none";
    QTest::newRow("other: cached") << "other" << false << "GRIPALIS PLUS" << true << "stub";
    QTest::newRow("plain ATC codes: cached") << "string-atc" << false << "GRIPALIS" << false << "stub";
    QTest::newRow("truncated: the cache is used") << "truncated" << true << "GRIPALIS PLUS" << true << "kept";
    QTest::newRow("error page, no cache: embedded") << "html_200" << false << "GRIPALIS" << true << "none";
    QTest::newRow("status 500: the cache is used") << "status_500" << true << "GRIPALIS PLUS" << true << "kept";
    QTest::newRow("past the time-out: the cache is used") << "slow" << true << "GRIPALIS PLUS" << true << "kept";
  }
  void catalogue_from_the_maker() {
    QFETCH(QString, Variant);
    QFETCH(bool, CachedBefore);
    QFETCH(QString, First);
    QFETCH(bool, Labels);
    QFETCH(QString, CacheAfter);
    const std::string Other = StubAnswer("other");
    QVERIFY(!Other.empty());
    if (CachedBefore) TestSupport::WriteFile(Cache, Other);
    const std::string Stub = Variant == QLatin1String("slow") ? std::string() : StubAnswer(qPrintable(Variant));
    Rules(qPrintable(Variant));
    TNoFiling Host;
    TFrmNoteVaccination Form(nullptr, Host);
    QVERIFY(!Form.Vaccins().empty());
    QCOMPARE(QString::fromStdString(Form.Vaccins()[0].shortName), First);
    QCOMPARE(!Form.Vaccins()[0].atc.name.empty(), Labels);
    if (CacheAfter == QLatin1String("none")) QVERIFY(!std::filesystem::exists(Cache));
    if (CacheAfter == QLatin1String("kept")) QVERIFY(TestSupport::ReadFile(Cache) == Other);
    if (CacheAfter == QLatin1String("stub")) {
      TestSupport::WriteFile(Work.Path() / "answer.json", Stub);
      const auto Cmp = TestSupport::Run({"cmp", Cache.string(), (Work.Path() / "answer.json").string()});
      QVERIFY2(Cmp.Status == 0, Cmp.Out.c_str());
    }
  }
};

QTEST_MAIN(TUFrmNoteVaccinationPeer)
#include "UFrmNoteVaccination.peer.moc"
