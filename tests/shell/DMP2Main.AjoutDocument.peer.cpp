// The add-document form through the main window, with the real client core,
// a SoftHSM2 CPS card and the simulator verifying what it receives (MIME
// layout, digests, the signature with xmlsec1, the CDA schema): the filed
// metadata and content read from the saved request by Python's email and
// xml.etree, checked against the program's value sets and hashlib; the
// local rows read by sqlite3; a new version of a listed document.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "CpsToken.h"
#include "ModalAnswer.h"
#include "ShellSimPeer.h"
#include "Talven.Carvelin.Utils.h"
#include "UAjoutDocument.h"
#include "VCLPatches.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.GroupedCombos.h"

using namespace Carvelin;
using namespace Talven;

namespace {

constexpr std::string_view MartinINS = "284057511204537";
constexpr std::string_view MartinPdf = "1.2.250.1.213.1.1.1.1.999.2.1.1";

Vantrel::TDateTime At(int Day, int Hour, int Minute) {
  Vantrel::TDateTime D = 0;
  Vantrel::TryEncodeDateTime({2025, 3, uint16_t(Day), uint16_t(Hour), uint16_t(Minute), 0, 0}, D);
  return D;
}

void SelectType(TAjoutDocument& Form, std::string_view Code) {
  Form.cbTypeDocument->setCurrentIndex(Form.cbTypeDocument->findData(TypeDocumentIndex(Code)));
}

// The one filing after the log's Since-th entry: its metadata entry, its CDA
// and the value sets the program carries (type, class, practice setting).
constexpr std::string_view Filing = R"PY(
import base64, datetime, email, email.policy, hashlib, subprocess
RIM = '{urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0}'
H = '{urn:hl7-org:v3}'
SVS = '{urn:ihe:iti:svs:2008}'
TYPE, CLASS = 'urn:uuid:f0306f51-975f-434e-a61c-c59651d33983', 'urn:uuid:41a5887f-8865-4c09-adf7-e362475b143a'
PRACTICE = 'urn:uuid:cccf5598-8b07-4b77-a05e-ae952c785ead'
CONFIDENTIALITY = 'urn:uuid:f4f85eac-e6cb-4883-b524-f2705394840f'
filed = [e for e in requests if e.get('operation') == 'ProvideAndRegisterDocumentSetRequest']
assert len(filed) == 1, [e.get('operation') for e in requests]
filing = filed[0]
checks = filing.get('checks', [])
for c in ('mime', 'xop', 'ebrim', 'digests', 'signature'):
    assert c in checks, checks
assert any(c.startswith('schema') for c in checks), checks
data = open(os.path.join(sys.argv[1], filing['request_file']), 'rb').read()
mime = email.message_from_bytes(b'Content-Type: ' + filing['content_type'].encode() + b'\r\n\r\n' + data,
                                policy=email.policy.HTTP)
parts = [p.get_payload(decode=True) for p in mime.iter_parts()]
soap = ET.fromstring(parts[0])
cdas = [ET.fromstring(p) for p in parts[1:] if b'ClinicalDocument' in p[:400]]
assert len(cdas) == 1, len(cdas)
cda = cdas[0]
uid = filing['filed'][0]
entry = next(o for o in soap.iter(RIM + 'ExtrinsicObject')
             if any(x.get('value') == uid for x in o.iter(RIM + 'ExternalIdentifier')))
def localized(node, element):
    n = node.find(RIM + element)
    return None if n is None else n.find(RIM + 'LocalizedString').get('value')
def slot(name):
    s = [v.text for n in entry.findall(RIM + 'Slot') if n.get('name') == name for v in n.iter(RIM + 'Value')]
    return s[0] if s else None
def classifications(scheme):
    return [c for c in entry.findall(RIM + 'Classification') if c.get('classificationScheme') == scheme]
def code(scheme):
    c = classifications(scheme)
    assert len(c) == 1, (scheme, len(c))
    scheme_slot = [v.text for s in c[0].findall(RIM + 'Slot') if s.get('name') == 'codingScheme' for v in s.iter(RIM + 'Value')]
    return c[0].get('nodeRepresentation'), scheme_slot[0], localized(c[0], 'Name')
def value_set(name):
    root = ET.parse(os.path.join(SOURCE, 'resources', 'VALEURS', name)).getroot()
    return {c.get('code'): (c.get('code'), c.get('codeSystem'), c.get('displayName')) for c in root.iter(SVS + 'Concept')}
def class_of(type_code):
    root = ET.parse(os.path.join(SOURCE, 'resources', 'VALEURS', 'ASS_X16-CorrespondanceType-Classe-DMP.xml')).getroot()
    for m in root.iter():
        if m.tag.split('}')[-1] == 'MappedConcept':
            pair = [c for c in m if c.tag.split('}')[-1] == 'Concept']
            if pair[0].get('code') == type_code:
                return pair[1].get('code'), pair[1].get('codeSystem'), pair[1].get('displayName')
def utc(local):
    return datetime.datetime.strptime(local, '%Y-%m-%d %H:%M').astimezone(datetime.timezone.utc).strftime('%Y%m%d%H%M%S')
def content():
    body = find(cda, 'nonXMLBody')
    text = body.find(H + 'text')
    assert text.get('representation') == 'B64', text.attrib
    return text.get('mediaType'), base64.b64decode(''.join(text.text.split()))
def rows(db):
    return json.loads(subprocess.run(['sqlite3', '-json', db, 'SELECT titre, TypeDoc, uniqueId, etat FROM Documents'],
                                     capture_output=True, text=True, check=True).stdout or '[]')
)PY";

}  // namespace

class TDMP2MainAjoutDocumentPeer : public QObject, ShellSim::TShellSimPeer {
  Q_OBJECT

 public:
  TDMP2MainAjoutDocumentPeer() : TShellSimPeer({"--verify-signatures"}) {}

 private:

  // Martin's record opened from the INS box, all its documents listed.
  std::unique_ptr<TDMPMain> OpenMartin() {
    auto Main = LoggedInMain();
    if (!Main) return nullptr;
    Main->LoadINSC(std::string(MartinINS), false);
    if (!QTest::qWaitFor([&] { return Main->LiveTasks() == 0; }, 30000)) return nullptr;
    Main->Documents->cbDateDocAfter->setChecked(false);
    Main->ibRefreshClick(false);
    if (!QTest::qWaitFor([&] { return Main->LiveTasks() == 0; }, 30000) || !Main->List) return nullptr;
    return Main;
  }

  // Opens the form with Show, fills it with Fill and presses OK as a user
  // does; the window files it and closes the form. The form's own warnings
  // come back (none when it filed); a form still open after a bounded wait
  // is cancelled.
  QStringList FileWithForm(TDMPMain& Main, const std::function<void()>& Show,
                           const std::function<void(TAjoutDocument&)>& Fill) {
    QStringList Warnings;
    bool Shown = false;
    const auto Dialog = AnswerModal<TAjoutDocument>([&](TAjoutDocument& Form) {
      Shown = true;
      QTimer::singleShot(120000, &Form, [&Form] { Form.reject(); });
      Fill(Form);
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Warnings << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      if (!Warnings.isEmpty()) Form.reject();
    });
    Show();
    if (!QTest::qWaitFor([&] { return Main.LiveTasks() == 0; }, 30000)) Warnings << "job still running";
    if (!Shown) Warnings << "form not shown";
    if (AjoutDocument) Warnings << "form still open";
    return Warnings;
  }

  std::string Source() const { return CARVELIN_SOURCE_DIR; }

 private slots:
  void initTestCase() {
    BoxAnswer = QMessageBox::No;
    QVERIFY2(OpenRecordingBoxes(), Sim.Ready.c_str());
  }
  void cleanupTestCase() { Close(); }
  void init() { Boxes.clear(); }

  // A PDF dropped on the list, with its metadata typed in the form.
  void dropped_file_is_filed_with_the_forms_metadata() {
    const auto Main = OpenMartin();
    QVERIFY(Main);
    const std::filesystem::path Pdf = Work.Path() / "Compte rendu été.pdf";
    std::filesystem::copy_file(TestSupport::Fixture("cda-build/compte-rendu.pdf"), Pdf,
                               std::filesystem::copy_options::overwrite_existing);
    const QString Title = QStringLiteral("CR « été » & \"contrôle\" <b>");
    const QString Comment = QStringLiteral("Revoir à 3 mois & adapter le traitement\nsi besoin");
    const size_t Since = Sim.LogSize();
    const QStringList Warnings = FileWithForm(
        *Main, [&] { Main->SendFiles({Pdf.string()}, false, -1); },
        [&](TAjoutDocument& Form) {
          Form.edTitle->setText(Title);
          Form.mmTexte->setPlainText(Comment);
          SelectType(Form, "11488-4");
          Form.cbCadreExercice->setCurrentIndex(Form.cbCadreExercice->findText(QStringLiteral("Etablissement de santé")));
          Form.dpDocument->SetDateTime(At(12, 0, 0));
          Form.dpDocument->SetChecked(true);
          Form.dpDebut->SetDateTime(At(10, 8, 30));
          Form.dpDebut->SetChecked(true);
          Form.dpFin->SetDateTime(At(12, 17, 45));
          Form.dpFin->SetChecked(true);
        });
    QVERIFY2(Warnings.isEmpty(), qPrintable(Warnings.join(" / ")));
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    ExpectLog(Since, std::string("SOURCE = sys.argv[2]\n") + std::string(Filing) + R"PY(
title, comment, pdf, db = sys.argv[3:7]
assert localized(entry, 'Name') == title, localized(entry, 'Name')
assert localized(entry, 'Description') == comment, localized(entry, 'Description')
assert code(TYPE) == value_set('JDV_J66-TypeCode-DMP.xml')['11488-4'], code(TYPE)
assert code(CLASS) == class_of('11488-4'), (code(CLASS), class_of('11488-4'))
assert code(PRACTICE) == value_set('JDV_J62-PracticeSettingCode-DMP.xml')['ETABLISSEMENT'], code(PRACTICE)
assert [c.get('nodeRepresentation') for c in classifications(CONFIDENTIALITY)] == ['N']
assert slot('creationTime') == utc('2025-03-12 00:00'), slot('creationTime')
assert slot('serviceStartTime') == utc('2025-03-10 08:30'), slot('serviceStartTime')
assert slot('serviceStopTime') == utc('2025-03-12 17:45'), slot('serviceStopTime')
assert first(cda, 'title') == title, first(cda, 'title')
media, data = content()
assert media == 'application/pdf', media
assert hashlib.sha256(data).hexdigest() == hashlib.sha256(open(pdf, 'rb').read()).hexdigest()
assert [r for r in rows(db) if r['uniqueId'] == uid] == [{'titre': title, 'TypeDoc': '11488-4', 'uniqueId': uid, 'etat': 0}], \
       rows(db)
)PY",
              {Source(), Title.toStdString(), Comment.toStdString(), Pdf.string(), DatabaseFile()});
    // Listed once the documents were read again.
    bool Listed = false;
    for (int I = 0; Main->List && I < Main->List->Count(); ++I) Listed |= Main->List->Info(I)->Nom == Title.toStdString();
    QVERIFY(Listed);
  }

  // A free text alone from the add button: its bytes are the document, and
  // the confidentiality codes follow the boxes as clicked (the simulator's
  // parameters allow both hidings together).
  void free_text_is_filed_with_the_ticked_confidentiality_data() {
    QTest::addColumn<QStringList>("Clicks");
    QTest::addColumn<QString>("Codes");
    QTest::newRow("everyone") << QStringList{} << "N";
    QTest::newRow("not for the patient") << QStringList{"cbPraticiens"} << "N INVISIBLE_PATIENT";
    QTest::newRow("hidden from professionals") << QStringList{"cbPatient"} << "N MASQUE_PS";
    QTest::newRow("both hidings") << QStringList{"cbPatient", "cbPraticiens"} << "N MASQUE_PS INVISIBLE_PATIENT";
    QTest::newRow("everyone again") << QStringList{"cbPraticiens", "cbToutLeMonde"} << "N";
  }
  void free_text_is_filed_with_the_ticked_confidentiality() {
    QFETCH(QStringList, Clicks);
    QFETCH(QString, Codes);
    const auto Main = OpenMartin();
    QVERIFY(Main);
    const QString Text = QStringLiteral("Patient vu ce jour : état stable.\nTA 12/8 & « RAS »\n");
    const size_t Since = Sim.LogSize();
    const QStringList Warnings = FileWithForm(
        *Main, [&] { QTest::mouseClick(Main->ibUpload, Qt::LeftButton); },
        [&](TAjoutDocument& Form) {
          Form.edTitle->setText(QStringLiteral("Note de consultation"));
          Form.mmTexte->setPlainText(Text);
          SelectType(Form, "11488-4");
          for (const QString& Name : Clicks) {
            auto* Box = Form.findChild<QCheckBox*>(Name);
            QVERIFY(Box);
            QTest::mouseClick(Box, Qt::LeftButton, {}, QPoint(4, Box->height() / 2));
          }
        });
    QVERIFY2(Warnings.isEmpty(), qPrintable(Warnings.join(" / ")));
    QVERIFY2(Boxes.empty(), Boxes.empty() ? "" : qPrintable(Boxes.front()));
    ExpectLog(Since, std::string("SOURCE = sys.argv[2]\n") + std::string(Filing) + R"PY(
text, codes = sys.argv[3:5]
assert [c.get('nodeRepresentation') for c in classifications(CONFIDENTIALITY)] == codes.split(), \
       [c.get('nodeRepresentation') for c in classifications(CONFIDENTIALITY)]
media, data = content()
assert media == 'text/plain', media
assert data == text.encode('utf-8'), data
assert not localized(entry, 'Description'), localized(entry, 'Description')
)PY",
              {Source(), Text.toStdString(), Codes.toStdString()});
  }

  // A listed document replaced from its menu: the form comes prefilled, the
  // request names the replaced entry, and the local rows follow.
  void listed_document_is_replaced_by_a_new_version() {
    const auto Main = OpenMartin();
    QVERIFY(Main);
    const std::string Old(MartinPdf);
    const auto Insert = TestSupport::Run(
        {"sqlite3", DatabaseFile(),
         "INSERT INTO Documents (Patient, Praticien, uniqueId, titre, TypeDoc, date, etat) VALUES (" +
             std::to_string(Main->FPatient.rowid) + ", 0, '" + Old + "', 'CR', '11488-4', 45730, 0);"});
    QCOMPARE(Insert.Status, 0);
    int Row = -1;
    for (int I = 0; I < Main->List->Count(); ++I)
      if (Main->List->Info(I)->UniqueID == Old) Row = I;
    QVERIFY(Row >= 0);
    const std::string OldTitle = Main->List->Info(Row)->Nom;
    Main->Documents->ListBox->SetItemIndex(Row);

    QString Prefilled;
    const QString Title = QStringLiteral("CR de consultation (version corrigée)");
    const size_t Since = Sim.LogSize();
    BoxAnswer = QMessageBox::Yes;
    const QStringList Warnings = FileWithForm(
        *Main, [&] { Main->mnReplaceDocumentClick(); },
        [&](TAjoutDocument& Form) {
          Prefilled = Form.windowTitle() + '|' + Form.edTitle->text() + '|' +
                      QString::number(Form.GetTypeDocumentIndex() == TypeDocumentIndex("11488-4"));
          Form.edTitle->setText(Title);
          Form.mmTexte->setPlainText(QStringLiteral("Erreur de posologie corrigée."));
        });
    BoxAnswer = QMessageBox::No;
    QVERIFY2(Warnings.isEmpty(), qPrintable(Warnings.join(" / ")));
    QCOMPARE(Prefilled, QStringLiteral("Remplacer un Document du DMP|") + QString::fromStdString(OldTitle) + "|1");
    QCOMPARE(Boxes, std::vector<QString>{QStringLiteral("Voulez-vous remplacer ce document par une nouvelle version ?")});
    ExpectLog(Since, std::string("SOURCE = sys.argv[2]\n") + std::string(Filing) + R"PY(
old, title, db = sys.argv[3:6]
seed = json.load(open(os.path.join(SOURCE, 'tests', 'sim', 'seed', 'seed.json')))
old_uuid = next(d['entry_uuid'] for p in seed['patients'] if p.get('record') for d in p['record']['documents']
                if d['unique_id'] == old)
rplc = [a for a in soap.iter(RIM + 'Association') if a.get('associationType') == 'urn:ihe:iti:2007:AssociationType:RPLC']
assert len(rplc) == 1 and rplc[0].get('targetObject') == old_uuid and rplc[0].get('sourceObject') == entry.get('id'), \
       [a.attrib for a in rplc]
parent = find(find(cda, 'relatedDocument'), 'parentDocument')
assert find(parent, 'id').get('root') == old, find(parent, 'id').attrib
assert int(find(cda, 'versionNumber').get('value')) >= 2
state = {r['uniqueId']: (r['etat'], r['titre'], r['TypeDoc']) for r in rows(db) if r['uniqueId'] in (old, uid)}
assert state == {old: (1, 'CR', '11488-4'), uid: (0, title, '11488-4')}, state
)PY",
              {Source(), Old, Title.toStdString(), DatabaseFile()});
    bool OldListed = false, NewListed = false;
    for (int I = 0; I < Main->List->Count(); ++I) {
      OldListed |= Main->List->Info(I)->UniqueID == Old;
      NewListed |= Main->List->Info(I)->Nom == Title.toStdString();
    }
    QVERIFY(!OldListed);
    QVERIFY(NewListed);
  }
};

QTEST_MAIN(TDMP2MainAjoutDocumentPeer)
#include "DMP2Main.AjoutDocument.peer.moc"
