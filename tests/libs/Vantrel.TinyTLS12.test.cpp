// The own TLS engine in memory: handshake tables, the ClientHello bytes,
// the server's first flight and alerts fed as records, record protection
// round trips and tampering, key-exchange checks and record framing.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "TestSupport.h"
#include "Vantrel.ByteReader.h"
#include "Vantrel.TinyTLS12.h"

using namespace Vantrel;
using TestSupport::ToHex;

namespace {

std::string Unhex(std::string_view Hex) { return TestSupport::FromHex(Hex).value(); }

std::string Record(uint8_t Type, std::string_view Fragment, uint16_t Version = 0x0303) {
  TByteWriter W;
  W.PutU8(Type);
  W.PutU16(Version);
  W.PutU16(uint16_t(Fragment.size()));
  W.PutBytes(Fragment);
  return W.Take();
}

std::string Handshake(uint8_t Type, std::string_view Body) {
  TByteWriter W;
  W.PutU8(Type);
  W.PutU24(uint32_t(Body.size()));
  W.PutBytes(Body);
  return W.Take();
}

// A ServerHello body for Suite with the given extensions block (empty: none).
std::string ServerHelloBody(uint16_t Suite, std::string_view Extensions = {}, uint16_t Version = 0x0303,
                            uint8_t Compression = 0) {
  TByteWriter W;
  W.PutU16(Version);
  W.PutBytes(std::string(32, '\x11'));
  W.PutU8(4);
  W.PutBytes("sess");
  W.PutU16(Suite);
  W.PutU8(Compression);
  if (!Extensions.empty()) {
    W.PutU16(uint16_t(Extensions.size()));
    W.PutBytes(Extensions);
  }
  return W.Take();
}

const std::string RenegotiationOk = Unhex("ff01 0001 00");

// An engine that has sent its ClientHello and records what it sent.
struct TEngine {
  TTinyTLS TLS;
  std::string Sent;
  TEngine() {
    TLS.OnSendData = [this](TTinyTLS&, const void* Data, size_t Size) {
      Sent.append(static_cast<const char*>(Data), Size);
    };
    TLS.SetHost("example.org");
    TLS.SendClientHello();
  }
  // The message of what feeding Records raised; empty when nothing did.
  std::string Feed(const std::vector<std::string>& Records) {
    try {
      for (const auto& R : Records) TLS.ProcessRecord(R);
    } catch (const std::exception& E) {
      return E.what();
    }
    return {};
  }
};

// ---- Tables ----

TEST(TinyTLS12, handshake_shapes_end_in_change_cipher_spec_then_finished) {
  for (const THandshakeShape* Shape : {&EcdheHandshakeShape(), &RsaHandshakeShape()}) {
    ASSERT_GE(Shape->Count, 4u);
    const THandshakeStep* S = Shape->Steps;
    EXPECT_EQ(S[0].Type, htServerHello);
    EXPECT_EQ(S[Shape->Count - 1].Kind, THandshakeStep::Receive);
    EXPECT_EQ(S[Shape->Count - 1].Type, htFinished);
    EXPECT_EQ(S[Shape->Count - 2].Kind, THandshakeStep::ReceiveChangeCipherSpec);
    EXPECT_EQ(S[Shape->Count - 3].Kind, THandshakeStep::SendClientFlight);
    EXPECT_EQ(S[Shape->Count - 4].Type, htServerHelloDone);
    for (size_t I = 0; I < Shape->Count; ++I) EXPECT_TRUE(!S[I].Optional || S[I].Type == htCertificateRequest);
  }
}

TEST(TinyTLS12, client_hello_is_byte_exact) {
  TEngine E;
  TByteReader R(E.Sent);
  std::string_view Header, Random, Rest;
  ASSERT_TRUE(R.ReadBytes(11, Header));
  EXPECT_EQ(ToHex(Header.substr(0, 3)), "160303");
  EXPECT_EQ(size_t(uint8_t(Header[3]) << 8 | uint8_t(Header[4])), E.Sent.size() - 5);
  char Lengths[32];
  std::snprintf(Lengths, sizeof Lengths, "%04zx01%06zx", E.Sent.size() - 5, E.Sent.size() - 9);
  EXPECT_EQ(ToHex(Header), std::string("160303") + Lengths + "0303");
  ASSERT_TRUE(R.ReadBytes(32, Random));
  Rest = R.Rest();
  EXPECT_EQ(ToHex(Rest),
            "00"                                   // no session id
            "000ac02cc030c02fc028c027"             // suites
            "0100"                                 // null compression
            "0039"                                 // extensions
            "00000010000e00000b6578616d706c652e6f7267"  // server_name example.org
            "000a0008000600170018001d"             // groups
            "000b00020100"                         // point formats
            "000d000a00080203020104010501"         // signature schemes
            "ff01000100");                         // renegotiation_info
}

TEST(TinyTLS12, server_first_flight_checks) {
  std::string Good = Handshake(htServerHello, ServerHelloBody(0xC02F, RenegotiationOk));
  struct {
    const char* Name;
    std::vector<std::string> Records;
    const char* Error;
  } Cases[] = {
      {"accepted", {Record(22, Good)}, ""},
      {"split over three records", {Record(22, Good.substr(0, 3)), Record(22, Good.substr(3, 30)), Record(22, Good.substr(33))}, ""},
      {"renegotiation_info 01 00",
       {Record(22, Handshake(htServerHello, ServerHelloBody(0xC02F, Unhex("ff01 0002 0100"))))},
       "RenegotiationInfo overflow"},
      {"compression", {Record(22, Handshake(htServerHello, ServerHelloBody(0xC02F, {}, 0x0303, 1)))},
       "ServerHello compression handshake failure"},
      {"server version", {Record(22, Handshake(htServerHello, ServerHelloBody(0xC02F, {}, 0x0302)))},
       "Not a TLS 1.2 message handshake failure"},
      {"record version", {Record(22, Good, 0x0301)}, "Not a TLS 1.2 message handshake failure"},
      {"suite", {Record(22, Handshake(htServerHello, ServerHelloBody(0xC013)))}, "Unsupported CipherSuite"},
      {"known suite not offered", {Record(22, Handshake(htServerHello, ServerHelloBody(0x009C)))},
       "CipherSuite not offered handshake failure"},
      {"truncated", {Record(22, Handshake(htServerHello, ServerHelloBody(0xC02F).substr(0, 34)))},
       "HelloServer overflow"},
      {"extension past the block",
       {Record(22, Handshake(htServerHello, ServerHelloBody(0xC02F, Unhex("0000 0009 00"))))},
       "ServerHello Extensions overflow"},
      {"second ServerHello", {Record(22, Good), Record(22, Good)}, "ServerHello out of sync handshake failure"},
      {"ServerHelloDone first", {Record(22, Handshake(htServerHelloDone, ""))}, "ServerHelloDone out of sync"},
      {"Certificate first", {Record(22, Handshake(htCertificate, Unhex("000000")))},
       "Certificates out of sync handshake failure"},
      {"unknown message", {Record(22, Handshake(99, ""))}, "Unexpected Handshake"},
      {"application data", {Record(23, "x")}, "Unexpected Record handshake failure"},
      {"change cipher spec", {Record(22, Good), Record(20, "\x01")}, "Unexpected Record handshake failure"},
      {"message too long", {Record(22, Unhex("02 020000"))}, "Handshake overflow"},
      {"empty handshake record", {Record(22, "")}, "Handshake overflow"},
      {"HelloRequest with a body", {Record(22, Handshake(htHelloRequest, "x"))},
       "ServerHello is not empty handshake failure"},
      {"empty certificate list", {Record(22, Good), Record(22, Handshake(htCertificate, Unhex("000000")))},
       "CertCreateCertificateContext fails to load the certificate handshake failure"},
      {"certificate past its list", {Record(22, Good), Record(22, Handshake(htCertificate, Unhex("000004 000009 00")))},
       "Certificate overflow"},
      {"certificate list length", {Record(22, Good), Record(22, Handshake(htCertificate, Unhex("000009 00")))},
       "Certificates overflow"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TEngine E;
    EXPECT_EQ(E.Feed(C.Records), C.Error);
  }
  TEngine E;
  ASSERT_EQ(E.Feed({Record(22, Good.substr(0, 10)), Record(22, Good.substr(10))}), "");
  EXPECT_EQ(E.TLS.CipherSuite(), 0xC02F);
}

TEST(TinyTLS12, alerts_raise_with_their_texts) {
  std::string Hello = Record(22, Handshake(htServerHello, ServerHelloBody(0xC030)));
  struct {
    std::string Alert;
    bool AfterHello;
    const char* Message;
  } Cases[] = {
      {"\x02\x28", false, "CiperSuites or SignatureAlgorithms refused by server (fatal handshake_failure)"},
      {"\x02\x28", true, "fatal handshake_failure"},
      {std::string("\x01\x00", 2), true, "warning close_notify"},
      {"\x02\x30", false, "fatal unknown_ca"},
      {"\x02\x2A", false, "fatal bad_certificate"},
      {"\x02\x07", false, "fatal unknown alert"},
      {"\x02", false, "Alert overflow"},
      {"\x03\x28", false, "Unknown alert level"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Message);
    TEngine E;
    std::vector<std::string> Records;
    if (C.AfterHello) Records.push_back(Hello);
    Records.push_back(Record(21, C.Alert));
    EXPECT_EQ(E.Feed(Records), C.Message);
  }
  TEngine E;
  try {
    E.TLS.ProcessRecord(Record(21, "\x02\x28"));
    FAIL();
  } catch (const ETLSAlert& A) {
    EXPECT_EQ(A.Alert().level, 2);
    EXPECT_EQ(A.Alert().description, 40);
  }
}

// ---- Record protection ----

struct TCipherPair {
  std::shared_ptr<ICipherAlgorithm> Client, Server;
};

TCipherPair MakePair(bool GCM, int Bits) {
  TSHA2Hash Hash(Bits == 128 ? 256 : 384);
  TCipherPair P;
  if (GCM) {
    P.Client = std::make_shared<TAESCipherGCM>(Bits, false);
    P.Server = std::make_shared<TAESCipherGCM>(Bits, true);
  } else {
    P.Client = std::make_shared<TAESCipherCBC>(Bits, std::make_shared<TSHA2Hash>(Bits == 128 ? 256 : 384), false);
    P.Server = std::make_shared<TAESCipherCBC>(Bits, std::make_shared<TSHA2Hash>(Bits == 128 ? 256 : 384), true);
  }
  TRandom C{}, S{};
  C.fill(1);
  S.fill(2);
  std::string Master = TestSupport::RandomBytes(48, 5);
  P.Client->SetMasterSecret(C, S, Master, Hash);
  P.Server->SetMasterSecret(C, S, Master, Hash);
  return P;
}

// Decrypts a whole record with Cipher; the error text or the plaintext.
std::string Open(ICipherAlgorithm& Cipher, std::string_view Raw, bool& Ok) {
  TTLSRecord R;
  R.ContentType = uint8_t(Raw[0]);
  R.Version = 0x0303;
  R.Fragment = Raw.substr(5);
  try {
    Cipher.Decrypt(R);
    Ok = true;
    return std::string(R.Fragment);
  } catch (const std::exception& E) {
    Ok = false;
    return E.what();
  }
}

TEST(TinyTLS12, records_round_trip_both_ways) {
  for (bool GCM : {true, false}) {
    for (int Bits : {128, 256}) {
      SCOPED_TRACE(std::string(GCM ? "GCM " : "CBC ") + std::to_string(Bits));
      TCipherPair P = MakePair(GCM, Bits);
      for (size_t Size : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(1000), P.Client->MaxSize()}) {
        std::string Plain = TestSupport::RandomBytes(Size, Size + 1);
        std::string Out;
        P.Client->Encrypt(23, Plain, Out);
        ASSERT_EQ(Out.size(), 5 + P.Client->EncryptSize(Size));
        bool Ok = false;
        EXPECT_EQ(Open(*P.Server, Out, Ok), Plain);
        Out.clear();
        P.Server->Encrypt(23, Plain, Out);
        EXPECT_EQ(Open(*P.Client, Out, Ok), Plain);
        EXPECT_TRUE(Ok);
      }
    }
  }
}

TEST(TinyTLS12, record_sizes_follow_the_cipher) {
  TCipherPair G = MakePair(true, 128);
  EXPECT_EQ(G.Client->MaxSize(), 16360u);
  EXPECT_EQ(G.Client->EncryptSize(16360), 16384u);
  TCipherPair C = MakePair(false, 128);
  std::string Out;
  C.Client->Encrypt(23, "", Out);
  EXPECT_EQ(Out.size(), 5u + 64u);  // IV 16 + MAC 32 + 16 bytes of padding
  // Two GCM records of the same plaintext differ (fresh explicit nonce).
  std::string A, B;
  G.Client->Encrypt(23, "same", A);
  G.Client->Encrypt(23, "same", B);
  EXPECT_NE(A.substr(5, 8), B.substr(5, 8));
}

TEST(TinyTLS12, tampered_records_are_refused) {
  struct {
    const char* Name;
    bool GCM;
    size_t Size;
    std::function<void(std::string&)> Change;
    const char* Error;
  } Cases[] = {
      {"GCM tag", true, 10, [](std::string& R) { R.back() ^= 1; }, "STATUS_AUTH_TAG_MISMATCH "},
      {"GCM ciphertext", true, 10, [](std::string& R) { R[5 + 8] ^= 1; }, "STATUS_AUTH_TAG_MISMATCH "},
      {"GCM 23 bytes", true, 0, [](std::string& R) { R.pop_back(); }, "Fragment overflow handshake failure"},
      {"CBC MAC", false, 0, [](std::string& R) { R[5] ^= 1; }, "HMAC handshake failure"},
      {"CBC padding", false, 0, [](std::string& R) { R[5 + 47] ^= 1; }, "CBC Padding handshake failure"},
      {"CBC partial block", false, 0, [](std::string& R) { R.pop_back(); }, "Fragment overflow handshake failure"},
      {"CBC too short", false, 0, [](std::string& R) { R.resize(5 + 32); }, "Fragment overflow handshake failure"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TCipherPair P = MakePair(C.GCM, 128);
    std::string Out;
    P.Client->Encrypt(23, std::string(C.Size, 'a'), Out);
    C.Change(Out);
    bool Ok = true;
    EXPECT_EQ(Open(*P.Server, Out, Ok), C.Error);
    EXPECT_FALSE(Ok);
  }
  // A replayed record fails: its sequence number is gone.
  for (bool GCM : {true, false}) {
    TCipherPair P = MakePair(GCM, 256);
    std::string Out;
    P.Client->Encrypt(23, "once", Out);
    bool Ok = false;
    EXPECT_EQ(Open(*P.Server, Out, Ok), "once");
    Open(*P.Server, Out, Ok);
    EXPECT_FALSE(Ok);
  }
}

// ---- Key schedule and key exchange ----

TEST(TinyTLS12, prf_output_is_a_prefix_of_a_longer_one) {
  TSHA2Hash Hash(256);
  std::string Short, Long;
  Hash.PRF("label", "random", "secret", Short, 40);
  Hash.PRF("label", "random", "secret", Long, 64);
  EXPECT_EQ(Short.size(), 40u);
  EXPECT_EQ(Long.substr(0, 40), Short);
  EXPECT_THROW(TSHA2Hash(100), std::runtime_error);
}

TEST(TinyTLS12, key_exchange_refuses_bad_server_points) {
  struct {
    TCurveName Curve;
    std::string Point;
    const char* Error;
  } Cases[] = {
      {TCurveName::x25519, std::string(31, '\x09'), "ServerKey Size handshake failure"},
      {TCurveName::secp256r1, "\x02" + std::string(64, '\x01'), "ServerKey compression handshake failure"},
      {TCurveName::secp256r1, "\x04" + std::string(64, '\x00'), "STATUS_INVALID_PARAMETER"},
      {TCurveName(25), std::string(133, '\x04'), "Unsupported Curve handshake failure"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    try {
      TECDHE_RSAKeyExchange Exchange(C.Curve, C.Point);
      ADD_FAILURE() << "accepted";
    } catch (const TLSAlert& E) {
      EXPECT_STREQ(E.what(), C.Error);
    }
  }
}

TEST(TinyTLS12, failed_status_is_a_fatal_decrypt_error_alert) {
  try {
    CheckStatus(STATUS_NOT_SUPPORTED);
    FAIL();
  } catch (const TLSAlert& E) {
    EXPECT_EQ(E.Level(), 2);
    EXPECT_EQ(E.Description(), 51);
    EXPECT_STREQ(E.what(), "STATUS_NOT_SUPPORTED");
  }
}

// ---- Framing ----

TEST(TinyTLS12, record_reader_hands_out_whole_records) {
  std::string A = Record(22, std::string(300, 'a')), B = Record(23, std::string(20000, 'b'));
  std::string Stream = A + B + A;
  for (size_t Piece : {size_t(1), size_t(7), size_t(4096), Stream.size()}) {
    SCOPED_TRACE(Piece);
    size_t At = 0;
    TTLSRecordReader Reader;
    auto Source = [&](void* Data, size_t Size) {
      size_t Take = std::min({Size, Piece, Stream.size() - At});
      std::memcpy(Data, Stream.data() + At, Take);
      At += Take;
      return Take;
    };
    EXPECT_EQ(Reader.Next(Source), A);
    EXPECT_EQ(Reader.Next(Source), B);
    EXPECT_EQ(Reader.Next(Source), A);
    EXPECT_THROW(
        {
          try {
            Reader.Next(Source);
          } catch (const std::runtime_error& E) {
            EXPECT_STREQ(E.what(), "Read Error");
            throw;
          }
        },
        std::runtime_error);
  }
  // Many records through the 64 KiB buffer, never past its end.
  std::string Many;
  for (int I = 0; I < 20; ++I) Many += Record(23, std::string(size_t(5000 + I * 311), char('a' + I)));
  size_t At = 0;
  TTLSRecordReader Reader;
  auto Source = [&](void* Data, size_t Size) {
    size_t Take = std::min({Size, size_t(9000), Many.size() - At});
    std::memcpy(Data, Many.data() + At, Take);
    At += Take;
    return Take;
  };
  for (int I = 0; I < 20; ++I) EXPECT_EQ(Reader.Next(Source).size(), size_t(5 + 5000 + I * 311));
}

}  // namespace
