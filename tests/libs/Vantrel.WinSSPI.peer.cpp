// Certificate names against openssl x509; PKCS #12 files made and read back by openssl pkcs12.
#include "Vantrel.WinSSPI.h"

#include <map>

#include "TestPKI.h"
#include "TestSupport.h"

using namespace Vantrel;

namespace {

class WinSSPI : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_UNLESS_TOOL("openssl"); }
};

// ---- Certificate names ----

// The DER of a name of a certificate, cut out by Python: the element after
// Skip elements of tbsCertificate (3: issuer, 5: subject).
std::string NameDer(const std::string& Pem, int Skip) {
  return TestSupport::RunPython(R"(
import sys, subprocess
der = subprocess.run(['openssl', 'x509', '-in', sys.argv[1], '-outform', 'DER'], capture_output=True).stdout
def tlv(b, i):
    n = b[i + 1]; i += 2
    if n & 0x80:
        k = n & 0x7f; n = int.from_bytes(b[i:i + k], 'big'); i += k
    return i, n
i, _ = tlv(der, 0)
i, _ = tlv(der, i)
for _ in range(int(sys.argv[2])):
    s, n = tlv(der, i); i = s + n
s, n = tlv(der, i)
sys.stdout.buffer.write(der[i:s + n])
)", {Pem, std::to_string(Skip)}).Out;
}

// The X.500 form built from openssl's own reading of the name: one line per
// relative name in encoded order, attributes as dotted OID=value.
std::string ExpectedX500(const std::string& Multiline) {
  static const std::map<std::string, std::string> Short = {
      {"2.5.4.3", "CN"},  {"2.5.4.6", "C"},  {"2.5.4.7", "L"},   {"2.5.4.8", "S"},
      {"2.5.4.10", "O"},  {"2.5.4.11", "OU"}, {"2.5.4.12", "T"}, {"2.5.4.42", "G"},
      {"2.5.4.4", "SN"},  {"1.2.840.113549.1.9.1", "E"}};
  auto Quote = [](const std::string& V) {
    if (!V.empty() && V.front() != ' ' && V.back() != ' ' && V.find_first_of(",+=\"<>#;\n") == std::string::npos)
      return V;
    std::string Q = "\"";
    for (char C : V) Q += C == '"' ? std::string("\"\"") : std::string(1, C);
    return Q + "\"";
  };
  std::string Out;
  size_t At = Multiline.find('\n') + 1;  // after "subject="
  while (At < Multiline.size()) {
    size_t End = Multiline.find('\n', At);
    std::string Line = Multiline.substr(At, End - At);
    At = End == std::string::npos ? Multiline.size() : End + 1;
    size_t First = Line.find_first_not_of(' ');
    if (First == std::string::npos) continue;
    Line = Line.substr(First);
    std::string Rdn;
    for (size_t From = 0;;) {
      size_t Plus = Line.find(" + ", From);
      std::string Item = Line.substr(From, Plus - From);
      size_t Eq = Item.find('=');
      auto It = Short.find(Item.substr(0, Eq));
      if (!Rdn.empty()) Rdn += " + ";
      Rdn += (It == Short.end() ? "OID." + Item.substr(0, Eq) : It->second) + "=" + Quote(Item.substr(Eq + 1));
      if (Plus == std::string::npos) break;
      From = Plus + 3;
    }
    Out += (Out.empty() ? "" : ", ") + Rdn;
  }
  return Out;
}

TEST_F(WinSSPI, certificate_names_agree_with_openssl) {
  const char* Subjects[] = {
      "/C=FR/O=Hôpital \"Saint-Éloi\", Lyon/OU=Cardiologie+title=Médecin/CN=Dupont, Jean/emailAddress=j@h.fr",
      "/C=FR/ST=Île-de-France/L=Paris/O=Clinique; des <Lilas>/CN=#42 Zoé = Ñandú",
      "/C=FR/GN=Anaïs+SN=Lefèvre+CN=Anaïs Lefèvre/2.5.4.97=VATFR-123",
      "/CN= espace autour /O=a\\+b",
  };
  TestSupport::TempDir Dir;
  for (const char* Subject : Subjects) {
    auto Pem = Dir / "name.pem";
    auto R = TestSupport::Run({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-days", "1", "-utf8",
                               "-multivalue-rdn", "-subj", Subject, "-keyout", (Dir / "name.key").string(), "-out",
                               Pem.string()});
    ASSERT_EQ(R.Status, 0) << R.Err;
    auto Lines = TestSupport::Run({"openssl", "x509", "-in", Pem.string(), "-noout", "-subject", "-nameopt",
                                   "utf8,sep_multiline,oid,-esc_msb"});
    std::string SubjectDer = NameDer(Pem.string(), 5);
    ASSERT_FALSE(SubjectDer.empty());
    EXPECT_EQ(CertNameText(SubjectDer, CERT_X500_NAME_STR), ExpectedX500(Lines.Out)) << Subject;
  }
}

TEST_F(WinSSPI, certificate_name_forms_and_flags) {
  TestSupport::TempDir Dir;
  auto R = TestSupport::Run({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-days", "1", "-utf8",
                             "-multivalue-rdn", "-subj", "/C=FR/O=Cabinet \"Le Pré\"/GN=Éve+SN=Roy/CN=Roy, Éve", "-keyout",
                             (Dir / "k").string(), "-out", (Dir / "c.pem").string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::string Der = NameDer((Dir / "c.pem").string(), 5);
  struct {
    uint32_t Type;
    std::string Text;
  } Cases[] = {
      {CERT_X500_NAME_STR, "C=FR, O=\"Cabinet \"\"Le Pré\"\"\", SN=Roy + G=Éve, CN=\"Roy, Éve\""},
      {CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_PLUS_FLAG,
       "CN=\"Roy, Éve\", SN=Roy, G=Éve, O=\"Cabinet \"\"Le Pré\"\"\", C=FR"},
      {CERT_OID_NAME_STR, "2.5.4.6=FR, 2.5.4.10=\"Cabinet \"\"Le Pré\"\"\", 2.5.4.4=Roy + 2.5.4.42=Éve, 2.5.4.3=\"Roy, Éve\""},
      {CERT_SIMPLE_NAME_STR, "FR, \"Cabinet \"\"Le Pré\"\"\", Roy + Éve, \"Roy, Éve\""},
  };
  for (const auto& Case : Cases) EXPECT_EQ(CertNameText(Der, Case.Type), Case.Text) << Case.Type;
  EXPECT_EQ(CertNameText("", CERT_X500_NAME_STR), "");
  EXPECT_EQ(CertNameText(Der.substr(0, Der.size() - 3), CERT_X500_NAME_STR), "");
  EXPECT_EQ(CertNameText(std::string("\x30\x00", 2), CERT_X500_NAME_STR), "");
}

// ---- PKCS #12 files ----

// A PKCS #12 file made by openssl from the test PKI's software client
// certificate and the given further certificates.
std::string ExportPFX(const TestSupport::TempDir& Dir, const std::vector<std::string>& Extra, const std::string& Password,
                      bool Legacy) {
  std::vector<std::string> Argv = {"openssl", "pkcs12", "-export", "-in", TestSupport::PKIFile("client.pem"),
                                   "-inkey", TestSupport::PKIFile("client.key"), "-passout", "pass:" + Password,
                                   "-out", (Dir / "out.p12").string()};
  if (!Extra.empty()) {
    std::string Chain;
    for (const std::string& Name : Extra) Chain += TestSupport::ReadFile(TestSupport::PKIFile(Name));
    TestSupport::WriteFile(Dir / "extra.pem", Chain);
    Argv.insert(Argv.end(), {"-certfile", (Dir / "extra.pem").string()});
  }
  if (Legacy) Argv.push_back("-legacy");
  TestSupport::RunResult R = TestSupport::Run(Argv);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return TestSupport::ReadFile(Dir / "out.p12");
}

// The certificates openssl itself reads from the file, in its order.
std::vector<std::string> OpenSSLCertificates(const TestSupport::TempDir& Dir, const std::string& Password, bool Legacy) {
  std::vector<std::string> Argv = {"openssl", "pkcs12", "-in", (Dir / "out.p12").string(), "-nokeys",
                                   "-passin", "pass:" + Password, "-out", (Dir / "certs.pem").string()};
  if (Legacy) Argv.push_back("-legacy");
  TestSupport::RunResult R = TestSupport::Run(Argv);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return TestSupport::CertificatesDER(Dir / "certs.pem");
}

TEST_F(WinSSPI, pkcs12_files_give_their_certificates_and_the_key_holder) {
  struct TCase {
    std::vector<std::string> Extra;
    bool Legacy;
  };
  const TCase Cases[] = {
      {{"ca-personnes.pem", "root-ca.pem"}, false},
      {{"root-ca.pem", "ca-personnes.pem"}, false},
      {{}, false},
      {{"ca-personnes.pem", "root-ca.pem"}, true},
  };
  const std::string Holder = TestSupport::CertificatesDER(TestSupport::PKIFile("client.pem")).at(0);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Extra.size() + C.Legacy * 10);
    TestSupport::TempDir Dir;
    const std::string Password = "mot de passe é";
    std::string File = ExportPFX(Dir, C.Extra, Password, C.Legacy);
    TPFXContent Content;
    std::string Error;
    ASSERT_TRUE(PFXImportCertStore(File, Password, Content, Error)) << Error;
    EXPECT_EQ(Error, "");
    EXPECT_EQ(Content.Certificates, OpenSSLCertificates(Dir, Password, C.Legacy));
    ASSERT_EQ(Content.Certificates.size(), C.Extra.size() + 1);
    ASSERT_GE(Content.KeyCertificate, 0);
    EXPECT_EQ(Content.Certificates[size_t(Content.KeyCertificate)], Holder);
  }
}

TEST_F(WinSSPI, pkcs12_files_refused_with_the_reason) {
  TestSupport::TempDir Dir;
  std::string File = ExportPFX(Dir, {"ca-personnes.pem", "root-ca.pem"}, "secret", false);
  struct TCase {
    std::string Data, Password, Error;
  };
  const TCase Cases[] = {
      {File, "autre", "mac verify failure"},
      {File.substr(0, File.size() / 2), "secret", "nested asn1 error"},
      {std::string(MaxPFXSize + 1, '0'), "secret", "fichier de plus de 1 Mio"},
      {"", "secret", "fichier vide"},
  };
  for (const TCase& C : Cases) {
    TPFXContent Content;
    Content.KeyCertificate = 7;
    std::string Error;
    EXPECT_FALSE(PFXImportCertStore(C.Data, C.Password, Content, Error));
    EXPECT_NE(Error.find(C.Error), std::string::npos) << Error;
    EXPECT_TRUE(Content.Certificates.empty());
    EXPECT_EQ(Content.KeyCertificate, -1);
  }
  // The same file with its password still opens after a refusal on this thread.
  TPFXContent Content;
  std::string Error;
  EXPECT_TRUE(PFXImportCertStore(File, "secret", Content, Error)) << Error;
}


}  // namespace
