// The URL codec against Python's urllib.parse on random Unicode texts.
#include "Vantrel.URL.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

void AppendUTF8(std::string& Out, char32_t C) {
  if (C < 0x80) {
    Out += char(C);
  } else if (C < 0x800) {
    Out += char(0xC0 | (C >> 6));
    Out += char(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    Out += char(0xE0 | (C >> 12));
    Out += char(0x80 | ((C >> 6) & 0x3F));
    Out += char(0x80 | (C & 0x3F));
  } else {
    Out += char(0xF0 | (C >> 18));
    Out += char(0x80 | ((C >> 12) & 0x3F));
    Out += char(0x80 | ((C >> 6) & 0x3F));
    Out += char(0x80 | (C & 0x3F));
  }
}

std::vector<std::string> RandomTexts(size_t Count, uint32_t Seed) {
  std::mt19937 Rng(Seed);
  std::vector<std::string> Texts;
  for (size_t I = 0; I < Count; ++I) {
    std::string S;
    for (int N = int(Rng() % 24); N > 0; --N) {
      char32_t C;
      switch (Rng() % 4) {
        case 0: C = 0x20 + Rng() % 0x5F; break;   // printable ASCII, all the specials
        case 1: C = Rng() % 0x100; break;          // controls and Latin-1
        case 2: C = 0x100 + Rng() % 0xD700; break; // the BMP below the surrogates
        default: C = 0xE000 + Rng() % (0x110000 - 0xE000); break;
      }
      AppendUTF8(S, C);
    }
    Texts.push_back(S);
  }
  return Texts;
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Out;
  std::istringstream In(Text);
  for (std::string L; std::getline(In, L);) Out.push_back(L);
  return Out;
}

}  // namespace

TEST(URLPeer, encode_equals_python_quote_and_round_trips) {
  // Python keeps '~' (RFC 3986 unreserved); this codec escapes it.
  constexpr std::string_view Script = R"(
import sys, urllib.parse
for line in sys.stdin.read().split('\n')[:-1]:
    s = bytes.fromhex(line).decode('utf-8')
    print(urllib.parse.quote(s, safe="!$'()*@").replace('~', '%7E'), urllib.parse.quote_plus(s, safe="!$'()*@"))
)";
  auto Texts = RandomTexts(3000, 7);
  std::string Input;
  for (auto& T : Texts) Input += TestSupport::ToHex(T) + "\n";
  auto R = TestSupport::RunPython(Script, {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  auto Out = Lines(R.Out);
  ASSERT_EQ(Out.size(), Texts.size());
  for (size_t I = 0; I < Texts.size(); ++I) {
    std::string Quoted = Out[I].substr(0, Out[I].find(' '));
    std::string QuotedPlus = Out[I].substr(Out[I].find(' ') + 1);
    EXPECT_EQ(URL::Encode(Texts[I]), Quoted) << TestSupport::ToHex(Texts[I]);
    EXPECT_EQ(URL::Decode(URL::Encode(Texts[I])), Texts[I]);
    EXPECT_EQ(URL::Decode(QuotedPlus), Texts[I]);
  }
}

TEST(URLPeer, decode_equals_python_unquote_plus_with_the_legacy_fallback) {
  // Random mixtures of escapes of any byte, '+' and plain characters.
  constexpr std::string_view Script = R"(
import sys, urllib.parse
for line in sys.stdin.read().split('\n')[:-1]:
    raw = urllib.parse.unquote_to_bytes(line.replace('+', ' '))
    try:
        text = raw.decode('utf-8')
    except UnicodeDecodeError:
        text = ''.join(bytes([b]).decode('cp1252', errors='ignore') or chr(b) for b in raw)
    print(text.encode('utf-8').hex())
)";
  std::mt19937 Rng(3);
  std::vector<std::string> Inputs;
  const char* Plain = "abcXYZ019-_.!*()+";
  for (int I = 0; I < 3000; ++I) {
    std::string S;
    bool Utf8 = I % 2;  // half the inputs escape well-formed UTF-8
    for (int N = int(Rng() % 16); N > 0; --N) {
      if (Rng() % 3 == 0) {
        S += Plain[Rng() % 17];
      } else if (Utf8) {
        std::string Bytes;
        AppendUTF8(Bytes, char32_t(0xA0 + Rng() % 0x700));
        for (char B : Bytes) S += "%" + TestSupport::ToHex(std::string(1, B));
      } else {
        S += "%" + TestSupport::ToHex(std::string(1, char(Rng() % 256)));
      }
    }
    Inputs.push_back(S);
  }
  std::string Input;
  for (auto& S : Inputs) Input += S + "\n";
  auto R = TestSupport::RunPython(Script, {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  auto Out = Lines(R.Out);
  ASSERT_EQ(Out.size(), Inputs.size());
  for (size_t I = 0; I < Inputs.size(); ++I)
    EXPECT_EQ(TestSupport::ToHex(URL::Decode(Inputs[I])), Out[I]) << Inputs[I];
}
