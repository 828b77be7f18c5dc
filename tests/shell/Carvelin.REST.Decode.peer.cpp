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

  // One check for the query and the form's text fields: what XML 1.0 cannot
  // carry is refused; a file's bytes are not text.
  void text_fields_refuse_what_xml_cannot_carry_data() {
    QTest::addColumn<QByteArray>("Query");
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<bool>("Refused");
    auto Row = [](const char* Name, const std::string& Query, const std::string& Body, bool Refused) {
      QTest::newRow(Name) << QByteArray::fromStdString(Query) << QByteArray::fromStdString(Body) << Refused;
    };
    auto Form = [](const std::string& Comment) {
      return Part("name=\"Comment\"", Comment) + Part("name=\"File\"", std::string("\0\x01\xff", 3)) + "--XyZ--\r\n";
    };
    Row("plain text", "Titre=H%C3%A9l%C3%A8ne+%09x", Form("ligne 1\r\n\tligne 2 \xF0\x9F\x98\x80"), false);
    Row("nul in query", "Titre=A%00B", "", true);
    Row("control in query", "Titre=A%1FB", "", true);
    Row("latin-1 in query", "Titre=%E9", "", true);
    Row("U+FFFE in query", "Titre=%EF%BF%BE", "", true);
    Row("control in a field", "", Form("a\x01b"), true);
    Row("unit separator in a field", "", Form("a\x1f"), true);
    Row("invalid utf-8 in a field", "", Form("caf\xe9"), true);
    Row("surrogate in a field", "", Form("\xed\xa0\x80"), true);
  }
  void text_fields_refuse_what_xml_cannot_carry() {
    QFETCH(QByteArray, Query);
    QFETCH(QByteArray, Body);
    QFETCH(bool, Refused);
    TPutDocument Doc;
    std::string Error;
    try {
      DecodeParams(Query.toStdString(), Body.isEmpty() ? "" : FormType, Body.toStdString(), Doc);
    } catch (const ERESTRequest& E) {
      Error = E.what();
    }
    QCOMPARE(QString::fromStdString(Error), Refused ? QStringLiteral("Requête invalide") : QString());
    if (!Refused) QCOMPARE(Doc.File, std::string("\0\x01\xff", 3));
  }

  // A file is filed only when its content is what its extension names.
  void put_content_must_match_its_extension_data() {
    QTest::addColumn<QString>("Ext");
    QTest::addColumn<QByteArray>("Content");
    QTest::addColumn<bool>("Accepted");
    auto Row = [](const char* Name, const char* Ext, const std::string& Content, bool Accepted) {
      QTest::newRow(Name) << Ext << QByteArray::fromStdString(Content) << Accepted;
    };
    const std::string Pdf = "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj";
    const std::string Jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF", 10);
    const std::string Png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    Row("pdf", "pdf", Pdf, true);
    Row("text as pdf", "pdf", "Compte rendu en texte", false);
    Row("jpeg as pdf", "pdf", Jpeg, false);
    Row("rtf", "rtf", "{\\rtf1\\ansi x}", true);
    Row("text as rtf", "rtf", "rtf", false);
    Row("jpeg", "jpg", Jpeg, true);
    Row("png as jpeg", "jpg", Png, false);
    Row("tiff", "tif", std::string("II*\0\x08\0\0\0", 8), true);
    Row("pdf as tiff", "tif", Pdf, false);
    Row("text", "txt", "Compte rendu\r\nBM et I I sont du texte", true);
    Row("pdf as text", "txt", Pdf, false);
    Row("binary as text", "txt", std::string("abc\0def", 7), false);
    Row("png as text", "txt", Png, false);
    Row("xml", "xml", "<?xml version=\"1.0\"?><ClinicalDocument/>", true);
    Row("xml without declaration", "xml", "\xEF\xBB\xBF\r\n<ClinicalDocument/>", true);
    Row("pdf as xml", "xml", Pdf, false);
    Row("text as xml", "xml", "texte", false);
  }
  void put_content_must_match_its_extension() {
    QFETCH(QString, Ext);
    QFETCH(QByteArray, Content);
    QFETCH(bool, Accepted);
    TPutDocument Doc;
    Doc.Titre = "CR";
    Doc.File = Vantrel::TBytes(Content.toStdString());
    Doc.TypeDoc = "11488-4";
    Doc.Cadre = "AMBULATOIRE";
    QCOMPARE(QString::fromStdString(CheckPutDocument(Doc, Ext.toStdString())),
             Accepted ? QString() : QStringLiteral("Invalide format"));
  }
};

QTEST_MAIN(TRESTDecodeTest)
#include "Carvelin.REST.Decode.peer.moc"
