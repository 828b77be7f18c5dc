// The DER cursor against OpenSSL: the same structure as `openssl asn1parse`
// on real certificates and on values that OpenSSL's generator encoded.
#include "Vantrel.DER.Parser.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdio>
#include <sstream>
#include <tuple>

#include "TestPKI.h"
#include "TestSupport.h"

using namespace Vantrel;


namespace {

// offset, depth, header length, content length: the columns of asn1parse.
using TRow = std::tuple<size_t, int, size_t, size_t>;

std::vector<TRow> Asn1Parse(const std::filesystem::path& File) {
  auto R = TestSupport::Run({"openssl", "asn1parse", "-inform", "DER", "-i", "-in", File.string()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<TRow> Rows;
  std::istringstream In(R.Out);
  std::string Line;
  while (std::getline(In, Line)) {
    size_t Offset, Hl, L;
    int Depth;
    if (std::sscanf(Line.c_str(), "%zu:d=%d hl=%zu l=%zu", &Offset, &Depth, &Hl, &L) == 4)
      Rows.emplace_back(Offset, Depth, Hl, L);
  }
  return Rows;
}

// Walks every value, entering constructed ones (bit 6 of the tag).
void Walk(TDERChunk& C, int Depth, std::vector<TRow>& Rows) {
  TDERChunk Sub;
  while (!C.Eof()) {
    size_t At = C.Offset();
    C.GetChunk(Sub);
    Rows.emplace_back(At, Depth, Sub.Offset() - At, Sub.Size());
    if ((Sub.Tag() & 0x20) && !Sub.Eof()) Walk(Sub, Depth + 1, Rows);
  }
}

std::vector<TRow> OurRows(const std::string& Der) {
  std::vector<TRow> Rows;
  TDERChunk C = TDERChunk::Init(Der);
  Walk(C, 0, Rows);
  return Rows;
}

}  // namespace

// Certificates of the test PKI: RSA and ECDSA keys and signatures, SHA-1,
// a UTF-8 name, a policy, CRL distribution points.
TEST(DERParserPeer, walks_real_certificates_like_openssl_asn1parse) {
  SKIP_UNLESS_TOOL("openssl");
  TestSupport::TempDir Dir;
  struct {
    const char* File;
    const char* SignatureOID;
  } Cases[] = {
      {"server.pem", "1.2.840.113549.1.1.11"},        {"server-ec.pem", "1.2.840.113549.1.1.11"},
      {"client.pem", "1.2.840.113549.1.1.11"},        {"rogue-server.pem", "1.2.840.10045.4.3.2"},
      {"revocation/server.pem", "1.2.840.113549.1.1.11"}, {"weak/sha1.pem", "1.2.840.113549.1.1.5"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.File);
    std::string Der = TestSupport::CertificatesDER(TestSupport::PKIFile(Case.File))[0];
    TestSupport::WriteFile(Dir / "cert.der", Der);
    const unsigned char* P = reinterpret_cast<const unsigned char*>(Der.data());
    X509* Cert = d2i_X509(nullptr, &P, long(Der.size()));
    ASSERT_NE(Cert, nullptr);
    X509_free(Cert);

    auto Expected = Asn1Parse(Dir / "cert.der");
    ASSERT_GT(Expected.size(), 20u);
    EXPECT_EQ(OurRows(Der), Expected);

    // Certificate / signatureAlgorithm / algorithm, read the way the card code reads.
    TDERChunk C = TDERChunk::Init(Der), Sub;
    C.EnterTag(0x30);
    C.SkipTag(0x30);
    C.GetChunk(Sub);
    Sub.EnterTag(6);
    EXPECT_EQ(Sub.AsOID(), Case.SignatureOID);
  }
}

TEST(DERParserPeer, reads_values_encoded_by_openssl_genconf) {
  SKIP_UNLESS_TOOL("openssl");
  TestSupport::TempDir Dir;
  const std::vector<std::string> Oids = {"1.2.840.113549.1.1.11", "2.40.1", "2.999.3", "1.3.6.1.4.1.18446744073709551615",
                                         "1.2.250.1.71.4.2.1", "0.9.2342.19200300.100.1.1"};
  std::string Conf = "asn1=SEQUENCE:top\n[top]\n";
  for (size_t I = 0; I < Oids.size(); ++I) Conf += "oid" + std::to_string(I) + "=OID:" + Oids[I] + "\n";
  // A UUID arc (X.667) is beyond the 64 bits the reader keeps: it raises.
  Conf += "uuid=OID:2.25.329800735698586629295641978511506172918\n";
  Conf += "name=IMPLICIT:5P,FORMAT:UTF8,UTF8String:Dupont H\xC3\xA9l\xC3\xA8ne\n"
          "bcd=IMPLICIT:6P,FORMAT:HEX,OCTETSTRING:802500000123456F\n"
          "kind=IMPLICIT:1P,INTEGER:7\n"
          "nested=EXPLICIT:2P,SEQUENCE:inner\n"
          "[inner]\nrpps=PRINTABLESTRING:810001234567\n";
  TestSupport::WriteFile(Dir / "gen.cnf", Conf);
  auto R = TestSupport::Run({"openssl", "asn1parse", "-genconf", (Dir / "gen.cnf").string(), "-noout", "-out", (Dir / "gen.der").string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::string Der = TestSupport::ReadFile(Dir / "gen.der");
  EXPECT_EQ(OurRows(Der), Asn1Parse(Dir / "gen.der"));

  TDERChunk C = TDERChunk::Init(Der), Sub;
  C.EnterTag(0x30);
  for (const auto& Oid : Oids) {
    ASSERT_FALSE(C.GetChunk(Sub));
    EXPECT_EQ(Sub.Tag(), 6);
    EXPECT_EQ(Sub.AsOID(), Oid);
  }
  C.GetChunk(Sub);
  EXPECT_THROW(
      try { Sub.AsOID(); } catch (const EDERError& E) {
        EXPECT_STREQ(E.what(), "OID arc too large");
        throw;
      },
      EDERError);
  C.GetChunk(Sub);
  EXPECT_EQ(Sub.Tag(), 0xC5);
  EXPECT_EQ(Sub.AsUTF8String(), "Dupont H\xC3\xA9l\xC3\xA8ne");
  C.GetChunk(Sub);
  EXPECT_EQ(Sub.Tag(), 0xC6);
  EXPECT_EQ(Sub.AsBCD(), "802500000123456");
  C.GetChunk(Sub);
  EXPECT_EQ(Sub.Tag(), 0xC1);
  EXPECT_EQ(Sub.AsByte(), 7);
  EXPECT_TRUE(C.GetChunk(Sub));
  EXPECT_EQ(Sub.Tag(), 0xE2);
  Sub.EnterTag(0x30);
  Sub.EnterTag(0x13);
  EXPECT_EQ(Sub.AsAnsiString(), "810001234567");
}
