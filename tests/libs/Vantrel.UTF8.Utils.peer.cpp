// Base64 against coreutils (base64, basenc) and OpenSSL, and the UTF-8 check
// against Python's strict decoder.
#include "Vantrel.UTF8.Utils.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

std::string Chomp(std::string S) {
  while (!S.empty() && S.back() == '\n') S.pop_back();
  return S;
}

// Lengths around every remainder, the 57-byte (76-character) line and larger blocks.
const size_t Lengths[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,   10,  11,   54,   55,    56,
                          57, 58, 59, 60, 61, 75, 76, 77, 99, 100, 255, 1024, 4095, 65537};

}  // namespace

TEST(UTF8UtilsPeer, base64_agrees_with_coreutils_on_random_buffers) {
  SKIP_UNLESS_TOOL("base64");
  for (size_t Len : Lengths) {
    const std::string Bytes = TestSupport::RandomBytes(Len, 1000 + Len);
    auto OneLine = TestSupport::Run({"base64", "-w0"}, Bytes);
    auto Wrapped = TestSupport::Run({"base64", "-w76"}, Bytes);
    ASSERT_EQ(OneLine.Status, 0) << OneLine.Err;
    ASSERT_EQ(Wrapped.Status, 0) << Wrapped.Err;
    EXPECT_EQ(Base64Encode(Bytes), Chomp(OneLine.Out)) << Len;

    // The wrapped text, with LF or CR LF line ends, decodes to the same bytes.
    std::string CRLF;
    for (char C : Wrapped.Out) CRLF += C == '\n' ? std::string("\r\n") : std::string(1, C);
    for (const std::string& Text : {Wrapped.Out, CRLF}) {
      EXPECT_EQ(Base64DecodedSize(Text), Len) << Len;
      EXPECT_EQ(Base64Decode(Text), Bytes) << Len;
    }
    auto Back = TestSupport::Run({"base64", "-d"}, Base64Encode(Bytes));
    EXPECT_EQ(Back.Status, 0);
    EXPECT_EQ(Back.Out, Bytes) << Len;
  }
}

// Texts long enough for the vector path (32 symbols a block) and short
// ones, with each padding, in one line or in lines of 64 or 76 ended by LF or
// CR LF. coreutils reads LF only (-i skips the CR); OpenSSL wants its -A
// for one long line.
TEST(UTF8UtilsPeer, base64_decoder_agrees_with_coreutils_and_openssl_on_random_texts) {
  SKIP_UNLESS_TOOL("base64");
  SKIP_UNLESS_TOOL("openssl");
  std::mt19937_64 Gen(31);
  struct Layout { size_t Width; const char* End; } Layouts[] = {{0, ""}, {64, "\n"}, {76, "\n"}, {76, "\r\n"}};
  for (int I = 0; I < 24; ++I) {
    const size_t Len = (I < 12 ? Gen() % 100 : Gen() % 5000) / 3 * 3 + size_t(I % 3);
    const Layout L = Layouts[size_t(I) % std::size(Layouts)];
    const std::string Bytes = TestSupport::RandomBytes(Len, Gen());
    const std::string Line = Base64Encode(Bytes);
    std::string Text = Line;
    if (L.Width) {
      Text.clear();
      for (size_t P = 0; P < Line.size(); P += L.Width) Text += Line.substr(P, L.Width) + L.End;
    }
    SCOPED_TRACE(std::to_string(Len) + " bytes, lines of " + std::to_string(L.Width));
    const auto Coreutils = TestSupport::Run({"base64", "-d", "-i"}, Text);
    std::vector<std::string> OpenSSL = {"openssl", "base64", "-d"};
    if (!L.Width) OpenSSL.push_back("-A");
    const auto Peer = TestSupport::Run(OpenSSL, Text);
    ASSERT_EQ(Coreutils.Status, 0) << Coreutils.Err;
    ASSERT_EQ(Peer.Status, 0) << Peer.Err;
    ASSERT_EQ(Coreutils.Out, Bytes);
    ASSERT_EQ(Peer.Out, Bytes);
    EXPECT_EQ(Base64DecodedSize(Text), Len);
    EXPECT_EQ(Base64Decode(Text), Bytes);
  }
}

TEST(UTF8UtilsPeer, base64url_agrees_with_basenc_without_padding) {
  SKIP_UNLESS_TOOL("basenc");
  for (size_t Len : Lengths) {
    const std::string Bytes = TestSupport::RandomBytes(Len, 2000 + Len);
    auto R = TestSupport::Run({"basenc", "--base64url", "-w0"}, Bytes);
    ASSERT_EQ(R.Status, 0) << R.Err;
    std::string Expected = Chomp(R.Out);
    while (!Expected.empty() && Expected.back() == '=') Expected.pop_back();
    EXPECT_EQ(Base64UrlEncode(Bytes), Expected) << Len;
  }
}

TEST(UTF8UtilsPeer, lenient_decoder_agrees_with_python_on_scattered_blanks) {
  // Python's non-validating decoder drops every blank, as ours skips them.
  std::mt19937_64 Gen(77);
  std::string Input;
  std::vector<std::string> Texts;
  for (int I = 0; I < 300; ++I) {
    std::string Text = Base64Encode(TestSupport::RandomBytes(Gen() % 200, Gen()));
    std::string Blanked;
    for (char C : Text) {
      while (Gen() % 4 == 0) Blanked += " \t\r\n"[Gen() % 4];
      Blanked += C;
    }
    Texts.push_back(Blanked);
    Input += TestSupport::ToHex(Blanked) + "\n";
  }
  auto R = TestSupport::RunPython(R"(
import base64, sys
for line in sys.stdin:
    print(base64.b64decode(bytes.fromhex(line.strip()), validate=False).hex())
)", {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream Answers(R.Out);
  for (const std::string& Text : Texts) {
    std::string Expected;
    ASSERT_TRUE(std::getline(Answers, Expected));
    EXPECT_EQ(TestSupport::ToHex(Base64Decode(Text)), Expected) << Text;
  }
}

TEST(UTF8UtilsPeer, utf8_check_agrees_with_python_strict_decoding) {
  // Byte strings built to hit every boundary: well-formed code points of
  // each length (edges included), then mutated by truncation, a replaced
  // byte or an inserted byte; plus raw bytes drawn from the interesting values.
  std::mt19937_64 Gen(4242);
  const uint32_t Edges[] = {0x0,     0x7F,    0x80,     0x7FF,    0x800,    0xFFF,
                            0xD7FF,  0xD800,  0xDFFF,   0xE000,   0xFFFD,   0xFFFF,
                            0x10000, 0x3FFFF, 0x40000,  0xFFFFF,  0x100000, 0x10FFFF};
  const uint8_t Interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFE, 0xFF};
  auto Encode = [](uint32_t Cp) {
    std::string S;
    if (Cp < 0x80) {
      S += char(Cp);
    } else if (Cp < 0x800) {
      S += char(0xC0 | Cp >> 6);
      S += char(0x80 | (Cp & 0x3F));
    } else if (Cp < 0x10000) {
      S += char(0xE0 | Cp >> 12);
      S += char(0x80 | ((Cp >> 6) & 0x3F));
      S += char(0x80 | (Cp & 0x3F));
    } else {
      S += char(0xF0 | Cp >> 18);
      S += char(0x80 | ((Cp >> 12) & 0x3F));
      S += char(0x80 | ((Cp >> 6) & 0x3F));
      S += char(0x80 | (Cp & 0x3F));
    }
    return S;
  };
  std::vector<std::string> Cases;
  for (int I = 0; I < 20000; ++I) {
    std::string S;
    if (I % 3 == 0) {
      for (size_t N = Gen() % 12; N > 0; --N) S += char(Interesting[Gen() % std::size(Interesting)]);
    } else {
      for (size_t N = Gen() % 6; N > 0; --N) {
        uint32_t Cp = Gen() % 2 ? Edges[Gen() % std::size(Edges)] : uint32_t(Gen() % 0x110000);
        if (Gen() % 3 == 0) S += std::string(Gen() % 10, 'a');  // crosses the eight-byte ASCII run
        S += Encode(Cp);
      }
      if (!S.empty()) {
        switch (Gen() % 4) {
          case 0: S.resize(Gen() % S.size()); break;
          case 1: S[Gen() % S.size()] = char(Interesting[Gen() % std::size(Interesting)]); break;
          case 2: S.insert(Gen() % S.size(), 1, char(Interesting[Gen() % std::size(Interesting)])); break;
          default: break;
        }
      }
    }
    Cases.push_back(S);
  }
  std::string Input;
  for (const std::string& S : Cases) Input += TestSupport::ToHex(S) + "\n";
  auto R = TestSupport::RunPython(R"(
import sys
for line in sys.stdin:
    b = bytes.fromhex(line.strip())
    try:
        b.decode('utf-8', 'strict')
        print(1 if any(c >= 0x80 for c in b) else 0)
    except UnicodeDecodeError:
        print(0)
)", {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream Answers(R.Out);
  int Valid = 0;
  for (const std::string& S : Cases) {
    std::string Expected;
    ASSERT_TRUE(std::getline(Answers, Expected));
    EXPECT_EQ(IsValidUTF8(S), Expected == "1") << TestSupport::ToHex(S);
    Valid += Expected == "1";
  }
  // The generator must give both answers in good numbers to mean anything.
  EXPECT_GT(Valid, 2000);
  EXPECT_LT(Valid, 18000);
}

TEST(UTF8UtilsPeer, windows1252_both_ways_agrees_with_python_codec) {
  // Every code point up to U+2200 (the whole code page and its neighbours),
  // plus a few beyond the BMP; the unmappable ones become '?' on both sides.
  std::string Text;
  for (uint32_t Cp = 1; Cp < 0x2200; ++Cp)
    if (Cp < 0xD800) AppendUTF8(Text, Cp);
  for (uint32_t Cp : {0xFFFDu, 0x1F600u, 0x10FFFFu}) AppendUTF8(Text, Cp);
  auto R = TestSupport::RunPython(R"(
import sys
t = bytes.fromhex(sys.stdin.read()).decode('utf-8')
sys.stdout.write(t.encode('cp1252', 'replace').hex())
)", {}, TestSupport::ToHex(Text));
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(TestSupport::ToHex(UTF8ToWindows1252(Text)), R.Out);
  // Bytes that are not UTF-8 are not characters either.
  EXPECT_EQ(UTF8ToWindows1252("a\xC3\xA9\xFF\xC3"), "a\xE9??");
  EXPECT_EQ(UTF8ToWindows1252(""), "");
  // Back: every byte as Python reads it, the five unassigned ones as their C1 control.
  std::string Bytes;
  for (int B = 1; B < 256; ++B) Bytes += char(B);
  auto Back = TestSupport::RunPython(R"(
import sys
b = bytes.fromhex(sys.stdin.read())
sys.stdout.write(''.join(bytes([x]).decode('cp1252', 'replace').replace('\ufffd', chr(x)) for x in b)
                 .encode('utf-8').hex())
)", {}, TestSupport::ToHex(Bytes));
  ASSERT_EQ(Back.Status, 0) << Back.Err;
  EXPECT_EQ(TestSupport::ToHex(Windows1252ToUTF8(Bytes)), Back.Out);
}
