// The reply readers against Python's own reading: xml.etree applies the
// same rules to the registry and patient-list fixtures and its JSON must
// equal reply-dump's; Python's email package writes the retrieval answers
// whose second part we must give back byte for byte. The simulator's
// answers to the canned requests of tests/sim/requests/ are read live
// through the root, and capturing them again gives the fixtures' bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "ReplyDump.h"
#include "Simulator.h"
#include "Talven.Carvelin.Hosts.h"
#include "TestPKI.h"
#include "TestSession.h"
#include "TestSupport.h"
#include "Vantrel.XML.XDSb.MTOM.h"

using namespace Talven;

namespace {

const std::string Capture = std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/capture.py";

// One line of capture.py --list.
struct TCapture {
  std::string Fixture, Service, Request, Reader, Rule;
  int Code = 0;
};

std::vector<TCapture> Captures() {
  const TestSupport::RunResult R = TestSupport::Run({TestSupport::Python, Capture, "--list"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<TCapture> List;
  std::istringstream Lines(R.Out);
  for (std::string Line; std::getline(Lines, Line);) {
    std::istringstream Fields(Line);
    TCapture C;
    std::string Code;
    std::getline(Fields, C.Fixture, '\t');
    std::getline(Fields, C.Service, '\t');
    std::getline(Fields, C.Request, '\t');
    std::getline(Fields, C.Reader, '\t');
    std::getline(Fields, Code, '\t');
    std::getline(Fields, C.Rule);
    C.Code = std::stoi(Code, nullptr, 16);
    List.push_back(C);
  }
  return List;
}

TEST(RepliesPeer, capturing_again_gives_the_fixtures_bytes) {
  TestSupport::TempDir Out;
  const TestSupport::RunResult R = TestSupport::Run(
      {TestSupport::Python, Capture, "--pki", TestSupport::PKIDir().string(), "--out", Out.Path().string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::vector<TCapture> List = Captures();
  ASSERT_GT(List.size(), 50u);
  size_t Files = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(Out.Path())) {
    ++Files;
    const std::string Name = Entry.path().filename().string();
    EXPECT_EQ(TestSupport::ReadFile(Entry.path()), TestSupport::ReadFile(TestSupport::Fixture("replies/" + Name)))
        << Name;
  }
  EXPECT_EQ(Files, List.size());
}

// Each canned request posted through the root with the test card session;
// the simulator answers the captured bytes and the reader gives the code
// the capture names.
TEST(RepliesPeer, readers_read_the_simulators_answers_through_the_root) {
  SimTest::TSimulator Sim("2025-03-15");
  ASSERT_TRUE(Sim) << Sim.Ready;
  SetHostsConfig(LoadHostsConfig(Sim.HostsFile));
  CoreTest::TTestSession Session;
  for (const TCapture& C : Captures()) {
    Sim.SetRules(C.Rule == "{}" ? "[]" : R"([{"match": {"service": ")" + C.Service + "\"}, " + C.Rule.substr(1) + "]");
    std::shared_ptr<TCarvelin> Root = TCarvelin::Create();
    Root->SetSession(Session);
    std::string Request = TestSupport::ReadFile(std::string(CARVELIN_SOURCE_DIR) + "/tests/sim/requests/" + C.Request);
    Request.replace(Request.find("@TO@"), 4, Root->DmpServiceUrl(C.Service));
    const bool Mtom = C.Request.ends_with(".mime");
    std::string Response;
    ASSERT_EQ(Root->SendRequest(Request, C.Service, Mtom ? Vantrel::MTOMBoundary : "", Response), ERR_OK)
        << C.Fixture << " " << Root->GetErrDetail();
    EXPECT_EQ(Response, TestSupport::ReadFile(TestSupport::Fixture("replies/" + C.Fixture))) << C.Fixture;
    int Code = 0;
    const std::string Json = ReplyDump::Dump(*Root, C.Reader, Response, false, Code);
    EXPECT_EQ(Code, C.Code) << C.Fixture << " " << Json;
  }
  SetHostsConfig(DefaultHostsConfig());
}

// Python's reading of a fixture: the fields reply-dump prints, taken with
// xml.etree by the rules the readers follow (dates in UTC).
constexpr std::string_view Reference = R"PY(
import json, sys, datetime
import xml.etree.ElementTree as ET

def local(tag): return tag.rsplit('}', 1)[-1]
def child(node, name):
    if node is None: return None
    return next((c for c in node if local(c.tag) == name), None)
def children(node, name): return [c for c in node if local(c.tag) == name] if node is not None else []
def text(node): return (node.text or '') if node is not None else ''
def hl7(value):
    if not value: return ''
    v = value[:14]
    if len(v) < 8 or not v.isdigit(): return ''
    parts = [int(v[0:4]), int(v[4:6]), int(v[6:8])] + [int(v[i:i+2] or 0) for i in (8, 10, 12)]
    try: d = datetime.datetime(*parts)
    except ValueError: return ''
    return d.strftime('%d/%m/%Y %H:%M') if len(value) > 8 else d.strftime('%d/%m/%Y')
def number(value):
    try:
        n = int(value, 10)
        return n if -2**31 <= n < 2**31 and value.strip() == value and value[:1] != '+' else 0
    except ValueError: return 0

body = next(c for c in ET.parse(sys.argv[2]).getroot() if local(c.tag) == 'Body')
kind = sys.argv[1]
out = []
if kind == 'dossiers':
    output = child(child(body, 'patientListResponse'), 'output')
    types = {'1.2.250.1.213.1.4.2': 'C', '1.2.250.1.213.1.4.8': 'R', '1.2.250.1.213.1.4.10': 'T', '1.2.250.1.213.1.4.11': 'D'}
    for d in children(output, 'patientlistData'):
        ids = {'insc': {'code': '', 'type': '', 'oid': ''}, 'insi': {'code': '', 'type': '', 'oid': ''}}
        for i in children(d, 'patientIdentifier'):
            t = text(child(i, 'nationalIdType'))
            if t in types:
                ids['insc' if types[t] == 'C' else 'insi'] = {'code': text(child(i, 'nationalId')), 'type': types[t], 'oid': t}
        usage = text(child(d, 'lastName'))
        out.append({'ins': ids, 'prenom': text(child(d, 'firstName')), 'nomNaissance': text(child(d, 'patronymicalName')),
                    'nomUsage': '' if usage == 'NON RENSEIGNE' else usage, 'statutMT': text(child(d, 'MT')) == 'true',
                    'dates': [hl7(text(child(d, n))) for n in ('dateOfBirth', 'lastAccessDate', 'lastUpdateDate', 'lastAddDate')],
                    'raw': [text(child(d, n)) for n in ('dateOfBirth', 'lastAccessDate', 'lastUpdateDate', 'lastAddDate')]})
else:
    response = child(body, 'AdhocQueryResponse')
    objects = children(child(response, 'RegistryObjectList'), 'ExtrinsicObject')
    if number(response.get('totalResultCount', '')) == len(objects) and objects:
        for e in objects:
            def slot(name):
                s = next((s for s in children(e, 'Slot') if s.get('name') == name), None)
                return text(child(child(s, 'ValueList'), 'Value'))
            def scheme(uuid):
                return next((c for c in children(e, 'Classification') if c.get('classificationScheme') == uuid), None)
            def name(node): return (child(child(node, 'Name'), 'LocalizedString').get('value') if node is not None and child(node, 'Name') is not None else '')
            author = slot('legalAuthenticator').split('^')
            vis = 0
            for c in children(e, 'Classification'):
                vis |= {'MASQUE_PS': 1, 'INVISIBLE_PATIENT': 2, 'INVISIBLE_REPRESENTANTS_LEGAUX': 4}.get(c.get('nodeRepresentation'), 0)
            cat = scheme('urn:uuid:f0306f51-975f-434e-a61c-c59651d33983')
            out.append({'nom': name(e), 'auteur': author[2] + ' ' + author[1] if len(author) > 2 else (' ' + author[1] if len(author) == 2 else '(inconnu)'),
                        'categorie': name(cat), 'codeCategorie': cat.get('nodeRepresentation'),
                        'commentaire': child(child(e, 'Description'), 'LocalizedString').get('value'),
                        'taille': number(slot('size')), 'cadreExercice': name(scheme('urn:uuid:cccf5598-8b07-4b77-a05e-ae952c785ead')),
                        'dateDebut': hl7(slot('serviceStartTime')), 'dateFin': hl7(slot('serviceStopTime')),
                        'dateCreation': hl7(slot('creationTime')) if len(slot('creationTime')) > 8 else (hl7(slot('creationTime')) + ' 00:00' if hl7(slot('creationTime')) else ''),
                        'visibilite': vis, 'version': number(child(e, 'VersionInfo').get('versionName')),
                        'documentPatient': scheme('urn:uuid:41a5887f-8865-4c09-adf7-e362475b143a').get('nodeRepresentation') == '90',
                        'uuid': e.get('id'), 'currentStatus': e.get('status'), 'repositoryId': slot('repositoryUniqueId'),
                        'uniqueID': next(x.get('value') for x in children(e, 'ExternalIdentifier')
                                                    if x.get('identificationScheme') == 'urn:uuid:2e82c1f6-a085-4c72-9da3-8640a32e42ab')})
print(json.dumps(out, sort_keys=True, ensure_ascii=False))
)PY";

// reply-dump's records reduced to the fields of the reference.
constexpr std::string_view Reduce = R"PY(
import json, sys
kind = sys.argv[1]
records = json.load(sys.stdin)['records']
out = []
for r in records:
    if kind == 'dossiers':
        p = r['patient']
        out.append({'ins': {'insc': p['insc'], 'insi': p['insi']}, 'prenom': p['identite']['prenom'],
                    'nomNaissance': p['identite']['nomNaissance'], 'nomUsage': p['identite']['nomUsage'],
                    'statutMT': r['statutMT'],
                    'dates': [p['identite']['dateNaissance'], r['dateDernierAcces'], r['dateModification'], r['dateDernierDocument']],
                    'raw': [r['dateOfBirth'], r['lastAccessDate'], r['lastUpdateDate'], r['lastAddDate']]})
    else:
        keys = ['nom', 'auteur', 'categorie', 'codeCategorie', 'commentaire', 'taille', 'cadreExercice', 'dateDebut',
                'dateFin', 'dateCreation', 'visibilite', 'version', 'documentPatient', 'uuid', 'currentStatus',
                'repositoryId', 'uniqueID']
        out.append({k: r[k] for k in keys})
print(json.dumps(out, sort_keys=True, ensure_ascii=False))
)PY";

std::string Ours(const std::string& Reader, const std::string& Fixture) {
  setenv("TZ", "UTC", 1);
  const TestSupport::RunResult Dump =
      TestSupport::Run({TestSupport::ToolPath("reply-dump"), Reader, Fixture});
  EXPECT_EQ(Dump.Status, 0) << Dump.Err;
  const TestSupport::RunResult R = TestSupport::RunPython(Reduce, {Reader}, Dump.Out);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return R.Out;
}

TEST(RepliesPeer, registry_and_patient_list_fixtures_read_as_python_reads_them) {
  const std::pair<std::string, std::string> Cases[] = {{"dossiers", "dossiers-ok.xml"},
                                                       {"dossiers", "dossiers-empty.xml"},
                                                       {"documents", "documents-ok.xml"},
                                                       {"documents", "documents-count-mismatch.xml"},
                                                       {"dossiers", "sim-dossiers.xml"},
                                                       {"documents", "sim-documents.xml"},
                                                       {"documents", "sim-documents-count-mismatch.xml"}};
  for (const auto& [Reader, Name] : Cases) {
    const std::string Path = TestSupport::Fixture("replies/" + Name).string();
    const TestSupport::RunResult Theirs = TestSupport::RunPython(Reference, {Reader, Path});
    ASSERT_EQ(Theirs.Status, 0) << Theirs.Err;
    EXPECT_EQ(Ours(Reader, Path), Theirs.Out) << Name;
  }
}

// The identity teleservice's answers as Python reads them: the report code
// gives the result, a found identity its INS (number and key), OID and traits.
TEST(RepliesPeer, identity_answers_read_as_python_reads_them) {
  constexpr std::string_view Theirs = R"PY(
import json, sys
import xml.etree.ElementTree as ET
def local(tag): return tag.rsplit('}', 1)[-1]
def find(node, name): return next((e for e in node.iter() if local(e.tag) == name), None)
def text(node): return (node.text or '') if node is not None else ''
root = ET.parse(sys.argv[1]).getroot()
if find(root, 'Fault') is not None:
    print(json.dumps({'code': 0x4001, 'records': None})); sys.exit()
code = {'00': 0, '01': 0x9000, '02': 0x9001}.get(text(find(root, 'CodeCR')), 0x5001)
records = None
if code == 0:
    active, tiq = find(root, 'INSACTIF'), find(root, 'TIQ')
    oid = text(find(active, 'OID'))
    y, m, d = text(find(tiq, 'DateNaissance')).split('-')
    records = {'ins': text(find(active, 'NumIdentifiant')) + text(find(active, 'Cle')), 'oid': oid,
               'insType': {'1.2.250.1.213.1.4.8': 'R', '1.2.250.1.213.1.4.10': 'T'}[oid],
               'nom': text(find(tiq, 'NomNaissance')), 'prenom': text(find(tiq, 'Prenom')),
               'prenoms': text(find(tiq, 'ListePrenom')), 'sexe': text(find(tiq, 'Sexe')),
               'dateNaissance': '%s/%s/%s' % (d, m, y), 'lieuNaissance': text(find(tiq, 'LieuNaissance')),
               'balise': True}
print(json.dumps({'code': code, 'records': records}, sort_keys=True, ensure_ascii=False))
)PY";
  constexpr std::string_view CodeAndRecords = R"PY(
import json, sys
d = json.load(sys.stdin)
print(json.dumps({'code': d['code'], 'records': d['records']}, sort_keys=True, ensure_ascii=False))
)PY";
  size_t Read = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(TestSupport::Fixture("insi"))) {
    const std::string Path = Entry.path().string();
    const TestSupport::RunResult Python = TestSupport::RunPython(Theirs, {Path});
    ASSERT_EQ(Python.Status, 0) << Python.Err;
    const TestSupport::RunResult Dump = TestSupport::Run({TestSupport::ToolPath("reply-dump"), "insi", Path});
    ASSERT_EQ(Dump.Status, 0) << Dump.Err;
    EXPECT_EQ(TestSupport::RunPython(CodeAndRecords, {}, Dump.Out).Out, Python.Out) << Path;
    ++Read;
  }
  EXPECT_EQ(Read, 5u);
}

// The panel HL7PatientPerson writes, in an urn:hl7-org:v3 element, as
// xml.etree reads it: the children in HL7 v3 order, values holding
// & < > " intact, a value the service held and that was emptied as NASK.
TEST(RepliesPeer, written_panel_reads_in_python_with_its_values_intact) {
  std::shared_ptr<TCarvelin> Root = TCarvelin::Create();
  TVoletAdministratif Previous;
  Previous.Identite = {2, "L'Orée & Fils <SARL>", "ANCIEN", "Zoé \"Z\"", "04/05/2010", 'F'};
  Previous.Adresse.Ville = "Paris & <Co>";
  Previous.Telecom.EMail = "a&b@example.org";
  Previous.PaysNaissance = "FRANCE";
  TVoletAdministratif V = Previous;
  V.Identite.NomNaissance.clear();
  std::string Person;
  ASSERT_EQ(Root->HL7PatientPerson(&V, Person, &Previous), ERR_OK);
  constexpr std::string_view Check = R"PY(
import sys
import xml.etree.ElementTree as ET
H = '{urn:hl7-org:v3}'
root = ET.fromstring('<patientPerson xmlns="urn:hl7-org:v3">' + sys.stdin.read() + '</patientPerson>')
order = [c.tag[len(H):] for c in root]
assert order == ['name', 'administrativeGenderCode', 'addr', 'telecom', 'birthTime', 'birthPlace'], order
name = root.find(H + 'name')
families = {f.get('qualifier'): f for f in name.findall(H + 'family')}
assert families['SP'].text == "L'Orée & Fils <SARL>", families['SP'].text
assert families['BR'].get('nullFlavor') == 'NASK' and families['BR'].text is None
assert name.find(H + 'given').text == 'Zoé "Z"'
assert name.find(H + 'prefix').text == 'Mme'
assert root.find(H + 'addr/' + H + 'city').text == 'Paris & <Co>'
assert root.find(H + 'telecom').get('value') == 'mailto:a&b@example.org'
assert root.find(H + 'birthTime').get('value') == '20100504'
)PY";
  const TestSupport::RunResult R = TestSupport::RunPython(Check, {}, Person);
  EXPECT_EQ(R.Status, 0) << R.Err << Person;
}

// Python's email package writes a multipart/related answer; the document part
// we extract has the SHA-256 of the bytes it was given.
TEST(RepliesPeer, retrieval_bytes_equal_the_part_python_wrote) {
  constexpr std::string_view Writer = R"PY(
import sys, hashlib, email.generator, email.policy, io
from email.mime.multipart import MIMEMultipart
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
soap = (b'<?xml version="1.0"?><s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
        b'<RetrieveDocumentSetResponse><DocumentResponse><RepositoryUniqueId>1.2.250.1.213.4.1.1.1.2</RepositoryUniqueId>'
        b'<DocumentUniqueId>1.2.3.4</DocumentUniqueId></DocumentResponse></RetrieveDocumentSetResponse></s:Body></s:Envelope>')
# The generator normalises line ends in a part, so the bytes hold none.
payload = bytes(b for b in range(256) if b not in (10, 13)) * 40 + b'--not-a-boundary'
parts = int(sys.argv[1])
m = MIMEMultipart('related', boundary='uuid:b7f1-0c2e')
for i, data in enumerate([soap, payload, b'extra'][:parts]):
    p = MIMEBase('application', 'xop+xml' if i == 0 else 'octet-stream')
    p.set_payload(data)
    p['Content-Transfer-Encoding'] = 'binary'
    m.attach(p)
out = io.BytesIO()
email.generator.BytesGenerator(out, policy=email.policy.HTTP).flatten(m)
body = out.getvalue().split(b'\r\n\r\n', 1)[1]
open(sys.argv[2], 'wb').write(body)
print(hashlib.sha256(payload).hexdigest())
)PY";
  setenv("TZ", "UTC", 1);
  const std::string File = testing::TempDir() + "/retrieve.mime";
  const TestSupport::RunResult Two = TestSupport::RunPython(Writer, {"2", File});
  ASSERT_EQ(Two.Status, 0) << Two.Err;
  TestSupport::RunResult Dump = TestSupport::Run({TestSupport::ToolPath("reply-dump"), "retrieve", File});
  EXPECT_NE(Dump.Out.find("\"sha256\":\"" + Two.Out.substr(0, 64) + "\""), std::string::npos) << Dump.Out;
  EXPECT_NE(Dump.Out.find("\"documentUniqueId\":\"1.2.3.4\""), std::string::npos) << Dump.Out;

  ASSERT_EQ(TestSupport::RunPython(Writer, {"3", File}).Status, 0);
  Dump = TestSupport::Run({TestSupport::ToolPath("reply-dump"), "retrieve", File});
  EXPECT_NE(Dump.Out.find("\"code\":28672"), std::string::npos) << Dump.Out;  // three parts: 0x7000
}

}  // namespace
