// The multipart splitter against Python's email package: bodies built by its
// generator, crafted bodies split by its parser, and a form posted by curl to
// a Python http.server.
#include "Vantrel.Mime.Decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "TestSupport.h"

using namespace Vantrel;
using TestSupport::ToHex;

namespace {

struct TForm {
  TBytes Fichier;
  TDate Date;
  bool Actif = false;
  std::string Titre;
};
VANTREL_RECORD(TForm, VANTREL_FIELD(Fichier), VANTREL_FIELD(Date), VANTREL_FIELD(Actif), VANTREL_FIELD(Titre))

// Splits each body file (given with its boundary) with BytesParser and prints
// per part "P", then "H name value" per header and "C content" (hex), and
// "CLOSED 0|1" (whether the closing delimiter was found).
constexpr std::string_view SplitScript = R"(
import sys, email, email.errors
from email import policy
args = sys.argv[1:]
for path, boundary in zip(args[0::2], args[1::2]):
    body = open(path, 'rb').read()
    head = ('Content-Type: multipart/mixed; boundary="%s"\r\n\r\n' % boundary).encode()
    msg = email.message_from_bytes(head + body, policy=policy.compat32)
    hexs = lambda s: s.encode('ascii', 'surrogateescape').hex()
    for part in msg.get_payload():
        print('P')
        for name, value in part.items():
            print('H', hexs(name), hexs(value))
        print('C', (part.get_payload(decode=True) or b'').hex())
    closed = not any(isinstance(d, email.errors.CloseBoundaryNotFoundDefect) for d in msg.defects)
    print('CLOSED', int(closed))
)";

std::string Hex(std::string_view S) { return ToHex(S); }

// Our split in the same notation.
std::string OurSplit(const std::string& Body, bool& Closed) {
  TMimeDecoder D;
  Closed = D.Decode(Body);
  std::string Out;
  for (const TMimePart& P : D.Parts) {
    Out += "P\n";
    for (const TMimeLine& L : P.Lines) Out += "H " + Hex(L.Name.View()) + " " + Hex(L.Value.View()) + "\n";
    Out += "C " + Hex(P.Content.View()) + "\n";
  }
  return Out;
}

// Checks a set of bodies against Python's split.
void ExpectPythonAgrees(const std::vector<std::string>& Bodies) {
  TestSupport::TempDir Dir;
  std::vector<std::string> Args;
  for (size_t I = 0; I < Bodies.size(); ++I) {
    auto Path = Dir / ("body" + std::to_string(I));
    TestSupport::WriteFile(Path, Bodies[I]);
    std::string_view First(Bodies[I]);
    if (First.substr(0, 2) == "\r\n") First.remove_prefix(2);
    First = First.substr(2, First.find("\r\n") - 2);  // the boundary: the first line without "--"
    Args.push_back(Path.string());
    Args.emplace_back(First);
  }
  auto R = TestSupport::RunPython(SplitScript, Args);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream Py(R.Out);
  for (const std::string& Body : Bodies) {
    std::string Expected, Line;
    while (std::getline(Py, Line) && Line.rfind("CLOSED", 0) != 0) Expected += Line + "\n";
    bool Closed = false;
    std::string Ours = OurSplit(Body, Closed);
    EXPECT_EQ(Closed, Line == "CLOSED 1") << Hex(Body);
    if (!Closed) {
      // A cut part keeps an empty content here, while Python keeps what it got.
      auto DropLastContent = [](std::string& S) { S.erase(S.rfind("C ")); };
      DropLastContent(Ours);
      DropLastContent(Expected);
    }
    EXPECT_EQ(Ours, Expected) << Hex(Body);
  }
}

}  // namespace

TEST(MimeDecoderPeer, bodies_built_by_python_email_split_alike) {
  // multipart/related bodies as an MTOM reply: an XOP envelope and binary parts.
  constexpr std::string_view Generate = R"(
import sys, io, random, email.generator, email.policy
from email.mime.multipart import MIMEMultipart
from email.mime.application import MIMEApplication
from email.encoders import encode_noop
random.seed(4)
out = sys.argv[1]
for n in range(12):
    m = MIMEMultipart('related', boundary='=_carvelin_boundary_', type='application/xop+xml')
    env = MIMEApplication(b'<soap:Envelope><soap:Body/></soap:Envelope>', 'xop+xml', _encoder=encode_noop)
    env['Content-ID'] = '<root.message@carvelin>'
    m.attach(env)
    for k in range(random.randrange(0, 6)):
        size = random.choice([0, 1, 2, 100, 5000, 70000])
        alphabet = bytes(range(256)) if k % 2 else b'abc \r\n--=_'
        data = bytes(random.choice(alphabet) for _ in range(size))
        p = MIMEApplication(data, 'octet-stream', _encoder=encode_noop)
        p['Content-Transfer-Encoding'] = 'binary'
        p['Content-ID'] = '<doc%d@carvelin>' % k
        m.attach(p)
        open('%s/data%d_%d' % (out, n, k + 1), 'wb').write(data)
    buf = io.BytesIO()
    email.generator.BytesGenerator(buf, policy=email.policy.HTTP).flatten(m)
    whole = buf.getvalue()
    open('%s/body%d' % (out, n), 'wb').write(whole[whole.index(b'\r\n\r\n') + 4:])
)";
  TestSupport::TempDir Dir;
  auto R = TestSupport::RunPython(Generate, {Dir.Path().string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Bodies;
  for (int N = 0; N < 12; ++N) {
    std::string Body = TestSupport::ReadFile(Dir / ("body" + std::to_string(N)));
    TMimeDecoder D;
    ASSERT_TRUE(D.Decode(Body)) << D.Error;
    EXPECT_EQ(D.boundary.View(), "--=_carvelin_boundary_");
    EXPECT_EQ(D.Parts[0].Content.View(), "<soap:Envelope><soap:Body/></soap:Envelope>");
    // Contents without line breaks travel unchanged (the generator rewrites
    // line breaks to CR LF), so they equal the original bytes.
    for (size_t K = 1; K < D.Parts.size(); ++K) {
      std::string Data = TestSupport::ReadFile(Dir / ("data" + std::to_string(N) + "_" + std::to_string(K)));
      if (Data.find_first_of("\r\n") == std::string::npos) {
        EXPECT_EQ(D.Parts[K].Content.View(), Data);
      }
    }
    Bodies.push_back(std::move(Body));
  }
  ExpectPythonAgrees(Bodies);
}

TEST(MimeDecoderPeer, crafted_bodies_split_as_python_email_parser_does) {
  std::vector<std::string> Bodies = {
      "--B\r\nContent-Type: text/xml\r\n\r\n<a/>\r\n--B\r\nContent-ID: <1>\r\n\r\nl1\r\nl2\r\n\r\n--B--\r\n",
      "\r\n--B\r\nA: 1\r\n\r\nx\r\n--B--",
      "--B\r\nContent-Type:application/xop+xml\r\n\r\nx\r\n--B--",
      "--B\r\nA: 1\r\n\r\n--B\r\n\r\ny\r\n--B--",
      "--B\r\n\r\na\r\n--Bx\r\n--B-\r\nb\r\n--B--",
      "--B \t\r\n\r\na\r\n--B  \r\n\r\nb\r\n--B--",
      "--a&amp;b\r\n\r\nx\r\n--a&b\r\n--a&amp;b--",
      "--B\r\n\r\nx\r\n--B--\r\nepilogue\r\n--B\r\n",
      "--B\r\n\r\nx\r\n\r\n\r\n--B--",
      "--B\r\n\r\nx\r\n--B\r\n\r\ny",
      "--B\r\nA: 1\r\nB: 2\r\n\r\nx\r\n--B\r\n\r\n",
  };
  // Random parts: standard header lines and binary contents, with delimiter
  // look-alikes inside.
  std::mt19937 Rng(9);
  const std::string Boundary = "=_carvelin_boundary_";
  const char* Pieces[] = {"\r\n", "--", "\r\n--", "\r\n--=_carvelin", "=_", " ", "abc", "\t", ":"};
  for (int N = 0; N < 40; ++N) {
    std::string Body;
    for (int P = 1 + int(Rng() % 5); P > 0; --P) {
      Body += "--" + Boundary + "\r\n";
      for (int H = int(Rng() % 3); H > 0; --H) Body += "Content-ID: <" + std::to_string(Rng() % 1000) + ">\r\n";
      Body += "\r\n";
      for (int C = int(Rng() % 20); C > 0; --C) {
        if (Rng() % 2) Body += Pieces[Rng() % std::size(Pieces)];
        else Body += TestSupport::RandomBytes(Rng() % 40, Rng()).c_str();  // no NUL: Python keeps them, so would we
      }
      Body += "\r\n";
    }
    Body += "--" + Boundary + "--\r\n";
    Bodies.push_back(Body);
  }
  ExpectPythonAgrees(Bodies);
}

TEST(MimeDecoderPeer, form_posted_by_curl_splits_into_its_fields) {
  SKIP_UNLESS_TOOL("curl");
  TestSupport::TempDir Dir;
  // One request captured as it arrives: the body and its boundary.
  constexpr std::string_view Server = R"(
import sys, http.server
out = sys.argv[1]
class H(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers['Content-Length']))
        open(out + '/body', 'wb').write(body)
        open(out + '/type', 'w').write(self.headers['Content-Type'])
        self.send_response(200); self.send_header('Content-Length', '0'); self.end_headers()
    def log_message(self, *a): pass
s = http.server.HTTPServer(('127.0.0.1', 0), H)
open(out + '/port.tmp', 'w').write(str(s.server_port))
import os; os.rename(out + '/port.tmp', out + '/port')
s.handle_request()
)";
  std::thread ServerThread([&] { TestSupport::RunPython(Server, {Dir.Path().string()}); });
  for (int I = 0; I < 500 && !std::filesystem::exists(Dir / "port"); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string Port = TestSupport::ReadFile(Dir / "port");
  std::string Pdf = "%PDF-1.4\r\n" + TestSupport::RandomBytes(100000, 21) + "\r\n--\r\n%%EOF";
  TestSupport::WriteFile(Dir / "doc.pdf", Pdf);
  auto R = TestSupport::Run({"curl", "-s", "-S", "--noproxy", "*", "-F", "Fichier=@" + (Dir / "doc.pdf").string(),
                             "-F", "Date=2024-01-31", "-F", "actif=1", "-F", "Titre=Compte rendu H\xC3\xA9l\xC3\xA8ne",
                             "http://127.0.0.1:" + Port + "/patients/1/documents/pdf"});
  ServerThread.join();
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::string Body = TestSupport::ReadFile(Dir / "body");
  TMimeDecoder D;
  ASSERT_TRUE(D.Decode(Body)) << D.Error;
  EXPECT_NE(TestSupport::ReadFile(Dir / "type").find(std::string(D.boundary.View().substr(2))), std::string::npos);
  std::vector<std::pair<std::string, std::string>> Fields;
  for (const TMimePart& P : D.Parts) {
    std::string Name;
    ASSERT_TRUE(P.GetFormDataName(Name));
    Fields.emplace_back(Name, std::string(P.Content.View()));
  }
  std::vector<std::pair<std::string, std::string>> Expected = {
      {"Fichier", Pdf}, {"Date", "2024-01-31"}, {"actif", "1"}, {"Titre", "Compte rendu H\xC3\xA9l\xC3\xA8ne"}};
  EXPECT_TRUE(Fields == Expected);
  TForm Form;
  D.GetFormDataType(Form);
  EXPECT_TRUE(Form.Fichier == Pdf);
  TDateTime Day = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 1, 31, Day));
  EXPECT_EQ(TDateTime(Form.Date), Day);
  EXPECT_TRUE(Form.Actif);
  EXPECT_EQ(Form.Titre, "Compte rendu H\xC3\xA9l\xC3\xA8ne");
  ExpectPythonAgrees({Body});
}
