#include "Vantrel.DER.Parser.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <functional>
#include <random>
#include <set>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

std::string Hex(std::string_view H) {
  std::string Out;
  for (size_t I = 0; I + 1 < H.size(); I += 2) {
    while (H[I] == ' ') ++I;
    Out += char(std::stoi(std::string(H.substr(I, 2)), nullptr, 16));
  }
  return Out;
}

// The error message and offset of F(), or empty when it does not raise.
template <typename F>
std::pair<std::string, size_t> ErrorOf(F&& Fn) {
  try {
    Fn();
  } catch (const EDERError& E) {
    return {E.what(), E.Offset};
  }
  return {"", 0};
}

std::pair<std::string, size_t> Err(std::string Message, size_t Offset) { return {std::move(Message), Offset}; }

// An OID value (tag 6) read by our cursor.
std::string OIDOf(const std::string& Content) {
  std::string TLV = "\x06" + std::string(1, char(Content.size())) + Content;
  TDERChunk C = TDERChunk::Init(TLV);
  C.EnterTag(6);
  return C.AsOID();
}

}  // namespace

TEST(DERParser, reads_oids_per_x690) {
  struct Case { const char* Content; const char* Oid; } Cases[] = {
      {"2A 86 48 86 F7 0D 01 01 0B", "1.2.840.113549.1.1.11"},
      {"55 04 03", "2.5.4.3"},
      {"00", "0.0"},
      {"27", "0.39"},
      {"28", "1.0"},
      {"4F", "1.39"},
      {"78", "2.40"},                 // first subidentifier 120
      {"88 37 03", "2.999.3"},         // multi-byte first subidentifier
      {"2A 81 FF FF FF FF FF FF FF FF 7F", "1.2.18446744073709551615"},
      {"2A 80 01", "1.2.1"},           // leading 0x80 group read as zero bits
  };
  for (auto& C : Cases) EXPECT_EQ(OIDOf(Hex(C.Content)), C.Oid) << C.Content;
}

TEST(DERParser, oid_errors) {
  // 2^64 does not fit; a cut arc reads past the window; other tags are no OID.
  EXPECT_EQ(ErrorOf([] { OIDOf(Hex("2A 82 80 80 80 80 80 80 80 80 00")); }),
            Err("OID arc too large", 12));
  EXPECT_EQ(ErrorOf([] { OIDOf(Hex("2A 86")); }).first, "read after end of chunk");
  std::string Int = Hex("02 01 05");
  TDERChunk C = TDERChunk::Init(Int);
  C.EnterTag(2);
  EXPECT_EQ(ErrorOf([&] { C.AsOID(); }).first, "Not an OID");
}

TEST(DERParser, oids_agree_with_openssl_on_random_arcs) {
  std::mt19937_64 Rng(11);
  for (int I = 0; I < 2000; ++I) {
    uint64_t First = Rng() % 3;
    std::string Text = std::to_string(First) + "." + std::to_string(First < 2 ? Rng() % 40 : Rng() >> (Rng() % 64));
    for (int N = int(Rng() % 6); N > 0; --N) Text += "." + std::to_string(Rng() >> (Rng() % 64));
    ASN1_OBJECT* Obj = OBJ_txt2obj(Text.c_str(), 1);
    ASSERT_NE(Obj, nullptr) << Text;
    unsigned char* Der = nullptr;
    int Len = i2d_ASN1_OBJECT(Obj, &Der);
    ASN1_OBJECT_free(Obj);
    ASSERT_GT(Len, 0);
    std::string Bytes(reinterpret_cast<char*>(Der), size_t(Len));
    OPENSSL_free(Der);
    TDERChunk C = TDERChunk::Init(Bytes);
    C.EnterTag(6);
    EXPECT_EQ(C.AsOID(), Text);
  }
}

TEST(DERParser, reads_packed_bcd_and_single_bytes) {
  struct Case { const char* Content; const char* Digits; } Cases[] = {
      {"12 34 5F", "12345"}, {"12 34", "1234"}, {"", ""}, {"0F", "0"}, {"F0", "?0"}, {"80 26 01 23 45 67 89 01 2F", "80260123456789012"},
  };
  for (auto& C : Cases) {
    std::string Bytes = Hex(C.Content);
    TDERChunk Chunk = TDERChunk::Init(Bytes);
    EXPECT_EQ(Chunk.AsBCD(), C.Digits) << C.Content;
  }
  std::string One = Hex("02 01 07 04 02 01 02");
  TDERChunk C = TDERChunk::Init(One), Sub;
  C.GetChunk(Sub);
  EXPECT_EQ(Sub.AsByte(), 7);
  C.GetChunk(Sub);
  EXPECT_EQ(ErrorOf([&] { Sub.AsByte(); }), Err("Not a byte", 5));
}

TEST(DERParser, reads_lengths) {
  struct Case { const char* Bytes; uint32_t Length; } Cases[] = {
      {"00", 0}, {"7F", 127}, {"80", 128}, {"81 80", 128}, {"82 01 00", 256}, {"84 FF FF FF FF", 0xFFFFFFFF},
  };
  for (auto& C : Cases) {
    std::string Bytes = Hex(C.Bytes);
    TDERChunk Chunk = TDERChunk::Init(Bytes);
    EXPECT_EQ(Chunk.ReadLength(), C.Length) << C.Bytes;
    EXPECT_TRUE(Chunk.Eof());
  }
}

TEST(DERParser, walks_a_sequence_until_get_chunk_answers_true) {
  // SEQUENCE { INTEGER 5, UTF8String "Hé", [PRIVATE 5] "x" } then a trailing value.
  std::string Bytes = Hex("30 0C 02 01 05 0C 03 48 C3 A9 C5 02 78 79 04 00");
  TDERChunk Top = TDERChunk::Init(Bytes);
  Top.EnterTag(0x30);
  EXPECT_EQ(Top.Size(), 12u);
  EXPECT_EQ(Top.Tag(), 0x30);
  TDERChunk Sub;
  EXPECT_FALSE(Top.SkipTag(0x02));
  EXPECT_FALSE(Top.GetChunk(Sub));
  EXPECT_EQ(Sub.Tag(), 0x0C);
  EXPECT_EQ(Sub.AsUTF8String(), "H\xC3\xA9");
  EXPECT_TRUE(Top.GetChunk(Sub));
  EXPECT_EQ(Sub.Tag(), 0xC5);
  EXPECT_EQ(Sub.AsAnsiString(), "xy");
  EXPECT_TRUE(Top.Eof());
  EXPECT_EQ(ErrorOf([&] { Top.GetChunk(Sub); }), Err("read after end of chunk", 14));

  // A zero byte (padding, end-of-contents) also ends the walk.
  std::string Padded = Hex("02 01 01 00 00");
  TDERChunk P = TDERChunk::Init(Padded);
  EXPECT_TRUE(P.GetChunk(Sub));
  EXPECT_EQ(Sub.AsByte(), 1);
  // An empty value gives an exhausted window.
  std::string Empty = Hex("30 00");
  TDERChunk E = TDERChunk::Init(Empty);
  E.EnterTag(0x30);
  EXPECT_TRUE(E.Eof());
  EXPECT_TRUE(TDERChunk::Init("").Eof());
}

TEST(DERParser, errors_carry_message_and_offset) {
  struct Case { const char* Bytes; void (*Step)(TDERChunk&); const char* Message; size_t Offset; } Cases[] = {
      {"31 00", [](TDERChunk& C) { C.EnterTag(0x30); }, "Expected Tag 48 not found", 0},
      {"30 03 02 01", [](TDERChunk& C) { C.EnterTag(0x30); }, "Sub chunk to large", 2},
      {"30 82 01 00 00", [](TDERChunk& C) { C.EnterTag(0x30); }, "Sub chunk to large", 4},
      {"30 85 00 00 00 00 01", [](TDERChunk& C) { C.EnterTag(0x30); }, "Length field too long", 1},
      {"30 82 01", [](TDERChunk& C) { C.EnterTag(0x30); }, "read after end of chunk", 3},
      {"30", [](TDERChunk& C) { C.EnterTag(0x30); }, "read after end of chunk", 1},
      {"02 01 05 04 05 00", [](TDERChunk& C) { TDERChunk S; C.GetChunk(S); C.GetChunk(S); }, "Sub chunk to large", 3},
      {"02 01 05", [](TDERChunk& C) { C.SkipTag(0x04); }, "Expacted tag not found", 0},
      {"", [](TDERChunk& C) { C.ReadByte(); }, "read after end of chunk", 0},
  };
  for (auto& C : Cases) {
    std::string Bytes = Hex(C.Bytes);
    TDERChunk Chunk = TDERChunk::Init(Bytes);
    EXPECT_EQ(ErrorOf([&] { C.Step(Chunk); }), Err(C.Message, C.Offset)) << C.Bytes;
  }
}

TEST(DERParser, tag_zero_value_past_its_window_is_clamped) {
  std::string Bytes = Hex("00 10 41 42 43");
  TDERChunk C = TDERChunk::Init(Bytes), Sub;
  EXPECT_TRUE(C.GetChunk(Sub));
  EXPECT_EQ(Sub.AsAnsiString(), "ABC");
  EXPECT_EQ(Sub.Offset(), 2u);
}

TEST(DERParser, truncation_at_every_byte_raises_inside_the_buffer) {
  // Random nested TLV trees, cut at every length, walked to the leaves: a
  // cut always raises, with an offset inside the bytes given.
  std::mt19937 Rng(5);
  std::function<std::string(int)> Make = [&](int Depth) -> std::string {
    std::string Content;
    bool Constructed = Depth < 3 && Rng() % 2;
    if (Constructed) {
      for (int N = 1 + int(Rng() % 4); N > 0; --N) Content += Make(Depth + 1);
    } else {
      Content = TestSupport::RandomBytes(Rng() % 300, Rng());
    }
    std::string Head(1, char(Constructed ? 0x30 : 0x04));
    size_t L = Content.size();
    if (L < 128) Head += char(L);
    else if (L < 256) Head += "\x81" + std::string(1, char(L));
    else Head += "\x82" + std::string(1, char(L >> 8)) + std::string(1, char(L & 0xFF));
    return Head + Content;
  };
  std::function<void(TDERChunk&)> Walk = [&](TDERChunk& C) {
    TDERChunk Sub;
    while (!C.Eof()) {
      C.GetChunk(Sub);
      if (Sub.Tag() == 0x30 && !Sub.Eof()) Walk(Sub);
    }
  };
  for (int T = 0; T < 20; ++T) {
    std::string Body = Make(0) + Make(0);
    auto Wrap = [](std::string_view Content) {
      return "\x30\x82" + std::string(1, char(Content.size() >> 8)) + std::string(1, char(Content.size() & 0xFF)) +
             std::string(Content);
    };
    // The ends of the top-level elements: a cut there leaves a shorter, sound value.
    std::set<size_t> Ends{0};
    std::string Full = Wrap(Body);
    TDERChunk Whole = TDERChunk::Init(Full), Sub;
    Whole.EnterTag(0x30);
    while (!Whole.Eof()) {
      Whole.GetChunk(Sub);
      if (Sub.Tag() == 0x30 && !Sub.Eof()) Walk(Sub);
      Ends.insert(Whole.Offset() - 4);
    }
    for (size_t N = 0; N < Body.size(); ++N) {
      std::string Cut = Wrap(Body.substr(0, N));
      auto [Message, Offset] = ErrorOf([&] {
        TDERChunk C = TDERChunk::Init(Cut);
        C.EnterTag(0x30);
        Walk(C);
      });
      EXPECT_EQ(Message.empty(), Ends.count(N) == 1) << N << " " << Message;
      EXPECT_LE(Offset, Cut.size());
    }
  }
}
