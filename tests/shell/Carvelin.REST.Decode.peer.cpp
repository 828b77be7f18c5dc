// The REST form decoding, fed a raw multipart/form-data body as the server
// reads it, against Python's email parser over the same body: every field of
// a document to file holds what Python reads for the last part of that name.
#include <QtTest>

#include "Carvelin.REST.Decode.h"
#include "TestSupport.h"
#include "Vantrel.DateTime.h"

using namespace Carvelin;

namespace {

constexpr const char* FormType = "multipart/form-data; boundary=XyZ";
const QStringList Fields{"Titre", "Comment", "LocalPath", "File", "TypeDoc", "DateDoc", "Cadre", "Confidentialite"};

// Prints the number of parts, whether the closing delimiter was found, then
// "name hex" for each field asked: the last part of that name (without regard
// to case), dates as "yyyy-mm-dd hh:nn:ss".
constexpr std::string_view PythonScript = R"(
import sys, datetime, email, email.errors
from email import policy
body = sys.stdin.buffer.read()
head = sys.argv[1].encode() + b'\r\n\r\n'
msg = email.message_from_bytes(b'Content-Type: ' + head + body, policy=policy.compat32)
fields = {}
for part in msg.get_payload():
    name = part.get_param('name', header='content-disposition')
    if name is not None:
        fields[name.lower()] = part.get_payload(decode=True) or b''
closed = not any(isinstance(d, email.errors.CloseBoundaryNotFoundDefect) for d in msg.defects)
print(len(msg.get_payload()), int(closed))
for name in sys.argv[2:]:
    value = fields.get(name.lower(), b'0' if name == 'Confidentialite' else b'')
    if name == 'DateDoc' and value:
        value = datetime.datetime.fromisoformat(value.decode()).strftime('%Y-%m-%d %H:%M:%S').encode()
    print(name, value.hex())
)";

std::string Hex(std::string_view S) { return TestSupport::ToHex(S); }

// Our reading in the script's notation, after its first line.
std::string OurFields(const TPutDocument& D) {
  const std::string Date =
      D.DateDoc == 0 ? "" : Vantrel::FormatDateTime("yyyy-mm-dd hh:nn:ss", Vantrel::TDateTime(D.DateDoc));
  const std::pair<const char*, std::string> Values[] = {
      {"Titre", D.Titre}, {"Comment", D.Comment}, {"LocalPath", D.LocalPath}, {"File", D.File},
      {"TypeDoc", D.TypeDoc}, {"DateDoc", Date}, {"Cadre", D.Cadre},
      {"Confidentialite", std::to_string(D.Confidentialite)}};
  std::string Out;
  for (const auto& [Name, Value] : Values) Out += std::string(Name) + " " + Hex(Value) + "\n";
  return Out;
}

std::string Part(const std::string& Disposition, const std::string& Content, const std::string& Headers = "") {
  return "--XyZ\r\nContent-Disposition: form-data; " + Disposition + "\r\n" + Headers + "\r\n" + Content + "\r\n";
}

std::string Parts(int Count) {
  std::string Body;
  for (int I = 0; I < Count; ++I) Body += Part("name=\"Titre\"", "t" + std::to_string(I));
  return Body + "--XyZ--\r\n";
}

}  // namespace

class TRESTDecodeTest : public QObject {
  Q_OBJECT

 private slots:
  // Each row: a body, whether we refuse it (a 400), and the fields Python
  // reads that we leave empty.
  void forms_read_as_python_reads_them_data() {
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<bool>("Refused");
    QTest::addColumn<QStringList>("Unread");
    std::string Binary;
    for (int I = 0; I < 256; ++I) Binary += char(I);
    Binary += TestSupport::RandomBytes(4000, 7) + "\r\n--XyZx\r\n--XyZ-\r\n\r\n";
    const std::string File = Part("name=\"File\"; filename=\"cr.pdf\"", Binary,
                                  "Content-Type: application/octet-stream\r\n");
    auto Row = [](const char* Name, const std::string& Body, bool Refused = false, QStringList Unread = {}) {
      QTest::newRow(Name) << QByteArray::fromStdString(Body) << Refused << Unread;
    };
    Row("several parts",
        Part("name=\"Titre\"", "Compte rendu H\xC3\xA9l\xC3\xA8ne") + Part("name=\"TypeDoc\"", "11488-4") +
            Part("name=\"Cadre\"", "AMBULATOIRE") + Part("name=\"Confidentialite\"", "2") +
            Part("name=\"DateDoc\"", "2024-01-31 08:30:00") + Part("name=\"Comment\"", "") +
            "--XyZ\r\nContent-Type: text/plain\r\n\r\nwithout a name\r\n" + Part("name=\"Inconnu\"", "x") +
            "--XyZ--\r\n");
    Row("names in any case, the last one wins",
        Part("name=\"titre\"", "first") + Part("name=\"TITRE\"", "second") + "--XyZ--\r\n");
    // The name must be a quoted string, as browsers and curl write it.
    Row("unquoted name", Part("name=\"Titre\"", "T") + Part("name=Comment", "note") + "--XyZ--\r\n", false,
        {"Comment"});
    Row("file with every byte and delimiter look-alikes", Part("name=\"Titre\"", "T") + File + "--XyZ--\r\n");
    Row("line breaks inside values",
        Part("name=\"Comment\"", "ligne 1\r\nligne 2\r\n\r\n") + Part("name=\"File\"", "\r\n%PDF\r\n") +
            "--XyZ--");
    Row("closing delimiter missing", Part("name=\"Titre\"", "T") + Part("name=\"Comment\"", "cut"), true);
    Row("500 parts", Parts(500));
    Row("501 parts", Parts(501), true);
  }
  void forms_read_as_python_reads_them() {
    QFETCH(QByteArray, Body);
    QFETCH(bool, Refused);
    QFETCH(QStringList, Unread);
    std::vector<std::string> Args{FormType};
    for (const QString& F : Fields) Args.push_back(F.toStdString());
    const auto Py = TestSupport::RunPython(PythonScript, Args, Body.toStdString());
    QVERIFY2(Py.Status == 0, Py.Err.c_str());
    const size_t EndOfFirst = Py.Out.find('\n');
    const std::string PyShape = Py.Out.substr(0, EndOfFirst);
    std::string PyFields = Py.Out.substr(EndOfFirst + 1);

    TPutDocument Doc;
    try {
      DecodeParams("", FormType, Body.toStdString(), Doc);
    } catch (const ERESTRequest& E) {
      QVERIFY2(Refused, E.what());
      // Python reads what we refuse: every part, flagging a cut body.
      QVERIFY(PyShape == "501 1" || PyShape == "2 0");
      return;
    }
    QVERIFY(!Refused);
    QVERIFY(PyShape.ends_with(" 1"));
    for (const QString& Name : Unread) {
      const std::string Line = "\n" + Name.toStdString() + " ";
      const size_t At = ("\n" + PyFields).find(Line);
      QVERIFY(At != std::string::npos);
      const size_t ValueAt = At + Line.size() - 1;
      const size_t End = PyFields.find('\n', ValueAt);
      QVERIFY(End > ValueAt);  // Python reads a value
      PyFields.erase(ValueAt, End - ValueAt);
    }
    QCOMPARE(QString::fromStdString(OurFields(Doc)), QString::fromStdString(PyFields));
  }
};

QTEST_MAIN(TRESTDecodeTest)
#include "Carvelin.REST.Decode.peer.moc"
