// Document signatures checked by xmlsec1 against the test PKI (root, card
// authority, software client certificate), digests by xmllint + openssl,
// certificate blocks by openssl and Python.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "TestPKI.h"
#include "TestSupport.h"
#include "Vantrel.SChannel.h"
#include "Vantrel.WinSSPI.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.XAdES.h"

namespace {

using namespace Vantrel;
using TInfo = TXDSbInfo<Talven::TCDAInfo, Talven::TDOCInfo>;
TestSupport::RunResult Tool(const std::vector<std::string>& Argv, std::string_view Input = {}) {
  return TestSupport::Run(Argv, Input);
}

constexpr const char* XAdESNs = "http://uri.etsi.org/01903/v1.1.1#";
constexpr const char* DsNs = "http://www.w3.org/2000/09/xmldsig#";
const std::string CDAFixture = TestSupport::Fixture("xades/cda.xml").string();

// The text between the Nth occurrence of Open (0-based) and the next Close.
std::string Between(const std::string& S, const std::string& Open, const std::string& Close,
                    int Nth = 0) {
  size_t P = 0;
  for (int I = 0; I <= Nth; ++I) {
    P = S.find(Open, I ? P + 1 : 0);
    if (P == std::string::npos) return "<missing>";
  }
  P += Open.size();
  return S.substr(P, S.find(Close, P) - P);
}

int Count(const std::string& S, const std::string& What) {
  int N = 0;
  for (size_t P = S.find(What); P != std::string::npos; P = S.find(What, P + 1)) ++N;
  return N;
}

// The test PKI's software client certificate signs, its key standing for
// the card's; the root and the card authority make the chain.
class XAdES : public ::testing::Test {
 protected:
  static inline std::unique_ptr<TestSupport::TempDir> Dir;
  static inline std::string Root, Intermediate, SignerPEM, SignerDER;
  static inline TestSupport::TSoftwareKey SignerKey;

  static void SetUpTestSuite() {
    Dir = std::make_unique<TestSupport::TempDir>();
    Root = TestSupport::PKIFile("root-ca.pem");
    Intermediate = TestSupport::PKIFile("ca-personnes.pem");
    SignerPEM = TestSupport::PKIFile("client.pem");
    SignerDER = TestSupport::CertificatesDER(SignerPEM)[0];
    SignerKey = TestSupport::TSoftwareKey(TestSupport::PKIFile("client.key"));
    SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
  }

  static void TearDownTestSuite() {
    SetExtraCAFile({});
    Dir.reset();
  }

  void SetUp() override {
    SKIP_UNLESS_TOOL("openssl");
    SKIP_UNLESS_TOOL("xmlsec1");
    ASSERT_FALSE(SignerDER.empty());
  }

  // RSA PKCS #1 v1.5 over the DigestInfo of the hash, with the signer's key.
  static int SoftwareSign(const std::string& Hash, std::string& Signature) {
    const std::string Out = SignerKey.SignDigest(Hash);
    if (Out.empty()) return 99;
    Signature = Base64Encode(Out);
    return 0;
  }

  static TInfo Info() {
    TInfo I;
    // Half a second past midnight: the signing time crosses the day.
    EXPECT_TRUE(TryEncodeDateTime({2026, 3, 1, 0, 0, 0, 500}, I.CDA.NowUTC));
    I.DOC.DocID = "1.2.250.1.999.1.2.3";
    I.SubId = "1.2.250.1.999.7.7";
    I.SignId = "1.2.250.1.999.8.8";
    I.Certificat = SignerDER;
    I.Sign = SoftwareSign;
    return I;
  }

  // xmlsec1 --verify with the test root trusted and the documents of the
  // manifest mapped to files; Status 0 when the signature is accepted.
  static TestSupport::RunResult Verify(const std::string& Signature,
                                       const std::vector<std::pair<std::string, std::string>>& Docs) {
    const std::string File = (*Dir / "signature.xml").string();
    TestSupport::WriteFile(File, Signature);
    std::vector<std::string> Args = {"xmlsec1", "--verify", "--trusted-pem", Root,
                                     "--untrusted-pem", Intermediate,
                                     "--id-attr:Id", std::string(XAdESNs) + ":SignedProperties",
                                     "--id-attr:Id", std::string(DsNs) + ":Manifest"};
    for (const auto& [URI, Path] : Docs) Args.insert(Args.end(), {"--url-map:" + URI, Path});
    Args.push_back(File);
    return Tool(Args);
  }

  // The submission set's reference carries a placeholder digest: it points
  // at an empty file so that xmlsec1 can read it.
  static std::vector<std::pair<std::string, std::string>> SubmissionSet(const TInfo& I) {
    const std::string Empty = (*Dir / "empty").string();
    TestSupport::WriteFile(Empty, "");
    return {{"urn:oid:" + I.SubId, Empty}};
  }

  static std::string XmllintDigest(const std::string& Path) {
    auto C14N = Tool({"xmllint", "--c14n", Path});
    EXPECT_EQ(C14N.Status, 0) << C14N.Err;
    auto Digest = Tool({"openssl", "dgst", "-sha1", "-binary"}, C14N.Out);
    return Base64Encode(Digest.Out);
  }
};

TEST_F(XAdES, single_document_signature_verifies_with_xmlsec1) {
  TInfo I = Info();
  const std::string Doc = TestSupport::ReadFile(CDAFixture);
  std::string Sig;
  ASSERT_EQ(SignDocumentXAdES(I, Doc, Sig), 0);
  ASSERT_EQ(Sig.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><ds:Signature", 0), 0u);

  auto Docs = SubmissionSet(I);
  Docs.emplace_back("urn:oid:" + I.DOC.DocID, CDAFixture);
  auto R = Verify(Sig, Docs);
  EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
  // Every document reference of the manifest holds; only the submission
  // set's placeholder does not.
  EXPECT_NE(R.Err.find("Manifests References (ok/all): 1/2"), std::string::npos) << R.Err;

  // Signed properties: one second before the reference time; the chain's
  // three certificates; the submission set's placeholder digest.
  EXPECT_EQ(Between(Sig, "<SigningTime>", "<"), "2026-02-28T23:59:59.500Z");
  EXPECT_EQ(Count(Sig, "<Cert>"), 3);
  EXPECT_EQ(Between(Sig, "<ds:DigestValue>", "<", 2), "AA==");
  EXPECT_EQ(Between(Sig, "Target=\"", "\""), "#" + I.SignId);
}

TEST_F(XAdES, manifest_digest_equals_xmllint_c14n_digest) {
  std::vector<std::string> Docs = {CDAFixture};
  if (auto Sample = TestSupport::SharedData("cda/samples"); !Sample.empty() &&
                                                             std::filesystem::is_directory(Sample))
    for (const auto& E : std::filesystem::directory_iterator(Sample))
      if (E.path().extension() == ".xml" && Docs.size() < 4) Docs.push_back(E.path().string());
  for (const std::string& Path : Docs) {
    SCOPED_TRACE(Path);
    std::string Ref = XAdESDocumentReference("1.2.3", TestSupport::ReadFile(Path));
    EXPECT_EQ(Between(Ref, "<ds:DigestValue>", "<"), XmllintDigest(Path));
  }
}

TEST_F(XAdES, tampered_document_or_signature_fails_verification) {
  TInfo I = Info();
  const std::string Doc = TestSupport::ReadFile(CDAFixture);
  std::string Sig;
  ASSERT_EQ(SignDocumentXAdES(I, Doc, Sig), 0);
  const std::string URI = "urn:oid:" + I.DOC.DocID;

  std::string Tampered = Doc;
  Tampered.replace(Tampered.find("DUPONT"), 6, "DURAND");
  const std::string TamperedPath = (*Dir / "tampered.xml").string();
  TestSupport::WriteFile(TamperedPath, Tampered);
  auto With = [&](const std::string& Path) {
    auto Docs = SubmissionSet(I);
    Docs.emplace_back(URI, Path);
    return Docs;
  };
  // xmlsec1 reports the manifest's references apart from the signature
  // (XML-DSig §5.1 leaves them to the application): the document's must
  // pass untouched and fail tampered; the submission set's placeholder
  // never matches.
  auto Good = Verify(Sig, With(CDAFixture));
  EXPECT_EQ(Good.Status, 0) << Good.Err;
  EXPECT_NE(Good.Err.find("Manifests References (ok/all): 1/2"), std::string::npos) << Good.Err;
  auto Bad = Verify(Sig, With(TamperedPath));
  EXPECT_NE(Bad.Err.find("Manifests References (ok/all): 0/2"), std::string::npos) << Bad.Err;

  std::string Resigned = Sig;
  Resigned.replace(Resigned.find("23:59:59"), 8, "23:59:58");
  EXPECT_NE(Verify(Resigned, With(CDAFixture)).Status, 0);
}

TEST_F(XAdES, batch_signatures_verify_with_xmlsec1) {
  for (int N : {1, 2, 12}) {
    SCOPED_TRACE(N);
    TInfo I = Info();
    std::string Refs;
    std::vector<std::pair<std::string, std::string>> Docs = SubmissionSet(I);
    for (int K = 1; K <= N; ++K) {
      std::string Doc = TestSupport::ReadFile(CDAFixture);
      Doc.replace(Doc.find("DUPONT"), 6, "PATIENT" + std::to_string(K));
      const std::string Path = (*Dir / ("doc" + std::to_string(K) + ".xml")).string();
      TestSupport::WriteFile(Path, Doc);
      const std::string DocID = "1.2.250.1.999.1." + std::to_string(K);
      Refs += XAdESDocumentReference(DocID, Doc);
      Docs.emplace_back("urn:oid:" + DocID, Path);
    }
    std::string Sig;
    ASSERT_EQ(SignLotDocumentsXAdES(I, Refs, Sig), 0);
    EXPECT_EQ(Count(Sig, "<ds:Reference URI=\"urn:oid:1.2.250.1.999.1."), N);
    auto R = Verify(Sig, Docs);
    EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
    const std::string Manifest = "Manifests References (ok/all): " + std::to_string(N) + "/" +
                                 std::to_string(N + 1);
    EXPECT_NE(R.Err.find(Manifest), std::string::npos) << R.Err;
  }
}

// Each Cert block against openssl's reading of the chain's certificates.
TEST_F(XAdES, certificate_blocks_follow_the_chain_end_entity_first) {
  std::string Blocks;
  ASSERT_EQ(SigningCertificateXML(SignerDER, Blocks), 0);
  ASSERT_EQ(Count(Blocks, "<Cert>"), 3);
  const std::vector<std::string> Chain = {SignerPEM, Intermediate, Root};
  for (int I = 0; I < 3; ++I) {
    SCOPED_TRACE(Chain[size_t(I)]);
    auto DER = Tool({"openssl", "x509", "-in", Chain[size_t(I)], "-outform", "DER"});
    auto Digest = Tool({"openssl", "dgst", "-sha1", "-binary"}, DER.Out);
    EXPECT_EQ(Between(Blocks, "<DigestValue>", "<", I), Base64Encode(Digest.Out));
    auto Serial = Tool({"openssl", "x509", "-in", Chain[size_t(I)], "-noout", "-serial"});
    auto Decimal = TestSupport::RunPython(
        "import sys; print(int(sys.stdin.read().strip().split('=')[1], 16), end='')", {},
        Serial.Out);
    EXPECT_EQ(Between(Blocks, "<ds:X509SerialNumber>", "<", I), Decimal.Out);
  }
  // The signer's issuer in the order of RFC 4514 (last relative name
  // first), as X509IssuerName wants it; S written ST.
  EXPECT_EQ(Between(Blocks, "<ds:X509IssuerName>", "<"),
            "CN=Carvelin Test CA Personnes,OU=IGC Test,O=Carvelin Test, ST=Ile-de-France,C=FR");
}

TEST_F(XAdES, chain_stops_where_the_store_ends) {
  SetExtraCAFile({});
  std::string Blocks;
  int R = SigningCertificateXML(SignerDER, Blocks);
  SetExtraCAFile(TestSupport::PKIFile("trust.pem"));
  ASSERT_EQ(R, 0);
  EXPECT_EQ(Count(Blocks, "<Cert>"), 1);
}

// A card callback may sign inside a system-TLS handshake, whose lock is held
// for the whole handshake: the signer's chain must not need that lock.
TEST_F(XAdES, chain_is_built_while_a_system_tls_handshake_holds_its_lock) {
  std::shared_ptr<TSecur32> Handshake = TSecur32::Lock();
  ASSERT_TRUE(Handshake);
  std::string Blocks;
  int R = SigningCertificateXML(SignerDER, Blocks);
  TSecur32::UnLock(Handshake);
  EXPECT_EQ(R, 0);
  EXPECT_EQ(Count(Blocks, "<Cert>"), 3);
}

TEST_F(XAdES, failures_return_their_code_and_write_nothing) {
  const std::string Doc = TestSupport::ReadFile(CDAFixture);
  struct Case {
    const char* Name;
    std::string Certificate;
    int SignerResult;
    int Expected;
  } Cases[] = {
      {"no certificate", "", 0, -1},
      {"garbage", "not a certificate", 0, -1},
      {"trailing bytes", SignerDER + "x", 0, -1},
      {"truncated", SignerDER.substr(0, SignerDER.size() - 1), 0, -1},
      {"card refuses", SignerDER, 0x1003, 0x1003},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TInfo I = Info();
    I.Certificat = C.Certificate;
    int SignerResult = C.SignerResult;
    if (SignerResult)
      I.Sign = [SignerResult](const std::string&, std::string&) { return SignerResult; };
    std::string Out = "untouched";
    EXPECT_EQ(SignDocumentXAdES(I, Doc, Out), C.Expected);
    EXPECT_EQ(SignLotDocumentsXAdES(I, "", Out), C.Expected);
    EXPECT_EQ(Out, "untouched");
  }
}

TEST_F(XAdES, signer_receives_the_sha1_of_the_canonical_signed_info) {
  TInfo I = Info();
  std::string Seen;
  I.Sign = [&Seen](const std::string& Hash, std::string& Signature) {
    Seen = Hash;
    return SoftwareSign(Hash, Signature);
  };
  std::string Sig;
  ASSERT_EQ(SignDocumentXAdES(I, TestSupport::ReadFile(CDAFixture), Sig), 0);
  // xmllint's exclusive-free C14N of the SignedInfo in its document.
  const std::string File = (*Dir / "signed.xml").string();
  TestSupport::WriteFile(File, Sig);
  auto C14N = TestSupport::RunPython(
      "import sys\nfrom lxml import etree\n"
      "t = etree.parse(sys.argv[1])\n"
      "si = t.find('{http://www.w3.org/2000/09/xmldsig#}SignedInfo')\n"
      "sys.stdout.buffer.write(etree.tostring(si, method='c14n', with_comments=True))",
      {File});
  ASSERT_EQ(C14N.Status, 0) << C14N.Err;
  auto Digest = Tool({"openssl", "dgst", "-sha1", "-binary"}, C14N.Out);
  EXPECT_EQ(TestSupport::ToHex(Seen), TestSupport::ToHex(Digest.Out));
}

TEST(XAdESText, issuer_names_are_normalised) {
  struct Case {
    const char* In;
    const char* Out;
  } Cases[] = {
      {"C=FR, O=Sante, CN=Dupont", "C=FR,O=Sante,CN=Dupont"},
      {"C=FR, G=Jean, CN=Dupont", "C=FR, GN=Jean,CN=Dupont"},
      {"C=FR, S=Paris, L=Paris", "C=FR, ST=Paris,L=Paris"},
      {"C=FR,   O=A B", "C=FR,O=A B"},
      {"S=X", " ST=X"},
      {"CN=\"Dupont, Jean\"", "CN=\"Dupont,Jean\""},
      {"C=FR, ", "C=FR,"},
      {"", ""},
  };
  for (const Case& C : Cases) EXPECT_EQ(NormalizeIssuerName(C.In), C.Out) << C.In;
}

TEST(XAdESText, serial_numbers_are_decimal) {
  struct Case {
    std::vector<uint8_t> LittleEndian;
    const char* Decimal;
  } Cases[] = {
      {{0x01, 0x00}, "1"},
      {{}, "0"},
      {{0x00, 0x00}, "0"},
      {{0xff}, "255"},
      {{0x00, 0x01}, "256"},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "18446744073709551615"},
      {std::vector<uint8_t>(20, 0xff), "1461501637330902918203684832716283019655932542975"},
  };
  for (const Case& C : Cases) EXPECT_EQ(SerialNumberDecimal(C.LittleEndian), C.Decimal);
}

TEST(XAdESText, digest_info_follows_the_hash_length) {
  EXPECT_EQ(TestSupport::ToHex(PKCS1DigestInfo(std::string(20, '\x11'))),
            "3021300906052b0e03021a05000414" + std::string(40, '1'));
  EXPECT_EQ(TestSupport::ToHex(PKCS1DigestInfo(std::string(32, '\x22'))),
            "3031300d060960864801650304020105000420" + std::string(64, '2'));
  EXPECT_EQ(TestSupport::ToHex(PKCS1DigestInfo(std::string(48, '\x33'))),
            "3041300d060960864801650304020205000430" + std::string(96, '3'));
  for (size_t Len : {0, 16, 21, 64}) EXPECT_THROW(PKCS1DigestInfo(std::string(Len, 'x')), std::invalid_argument);
}

}  // namespace
