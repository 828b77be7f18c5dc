#include "Vantrel.UTF8.Utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

std::u16string Widen(std::string_view S) { return std::u16string(S.begin(), S.end()); }

}  // namespace

TEST(UTF8Utils, base64_encodes_rfc4648_vectors) {
  struct Case { std::string_view In, Std, Url; } Cases[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
      {std::string_view("\0", 1), "AA==", "AA"},
      {"\xfb\xff", "+/8=", "-_8"},
      {"\xff\xff\xff", "////", "____"},
  };
  for (auto C : Cases) {
    EXPECT_EQ(Base64Encode(C.In), C.Std);
    EXPECT_EQ(Base64EncodeBuffer(C.In.data(), C.In.size()), C.Std);
    EXPECT_EQ(Base64UrlEncode(C.In), C.Url);
    EXPECT_EQ(Base64Decode(C.Std), C.In) << C.Std;
    EXPECT_EQ(Base64Decode(Widen(C.Std)), C.In) << C.Std;
  }
}

TEST(UTF8Utils, base64_decoded_size_ignores_blanks_and_never_goes_negative) {
  struct Case { std::string_view Text; size_t Size; } Cases[] = {
      {"", 0},        {"=", 0},           {"==", 0},         {" = \r\n", 0},    {"===", 0},
      {"A=", 0},      {"QQ==", 1},        {"QUI=", 2},       {"QUJD", 3},       {"QQ", 1},
      {"QUI", 2},     {"Q", 0},           {"QUJDRA", 4},     {"QQ==\r\n", 1},   {"QQ=\n=", 1},
      {"QQ =\t= ", 1}, {" Q U J D ", 3},   {"QUJD\r\nRA==", 4}, {"QU=D", 3},       {"\t\n\r ", 0},
      {"QUJD!", 3},   {"****", 3},
  };
  for (auto C : Cases) {
    EXPECT_EQ(Base64DecodedSize(C.Text), C.Size) << '"' << C.Text << '"';
    EXPECT_EQ(Base64DecodedSizeWide(Widen(C.Text)), C.Size) << '"' << C.Text << '"';
    EXPECT_EQ(Base64Decode(C.Text).size(), C.Size);
  }
}

TEST(UTF8Utils, base64_decoder_skips_blanks_and_reads_bad_characters_as_zero) {
  struct Case { std::string_view Text, Bytes; } Cases[] = {
      {" Q U\tJ\r\nD ", "ABC"},
      {"QUJD\r\nREVG\r\n", "ABCDEF"},
      {"QUJ!", "AB@"},                       // '!' counts as a zero symbol
      {"!!!!", std::string_view("\0\0\0", 3)},
      {"QQ=A", std::string_view("A\0\0", 3)},  // '=' in the middle is a zero symbol too
      {"QUJD=", "AB"},                        // a stray '=' still takes a byte off the size
      {"Zm9v-_8", std::string_view("foo\0\x0f", 5)},  // the url alphabet is not the standard one
  };
  for (auto C : Cases) {
    EXPECT_EQ(Base64Decode(C.Text), C.Bytes) << C.Text;
    EXPECT_EQ(Base64Decode(Widen(C.Text)), C.Bytes) << C.Text;
  }
  // UTF-16 characters beyond Latin-1 are outside the alphabet, not truncated to a letter.
  EXPECT_EQ(Base64Decode(std::u16string(u"\u0151UJD")), std::string("\x01" "BC"));
}

TEST(UTF8Utils, base64_decode_buffer_fills_exactly_len_without_over_reading) {
  // Exact-size heap copies let the address sanitizer catch any read past Src or write past Dst.
  const std::string Text = "QUJDREVG";
  for (size_t Avail = 0; Avail <= Text.size(); ++Avail) {
    auto Src = std::make_unique<char[]>(Avail);
    Text.copy(Src.get(), Avail);
    for (size_t Len = 0; Len <= 8; ++Len) {
      auto Dst = std::make_unique<uint8_t[]>(Len);
      Base64DecodeBuffer(std::string_view(Src.get(), Avail), Dst.get(), Len);
      std::string Got(reinterpret_cast<const char*>(Dst.get()), Len);
      // Missing symbols are zero bits, as if the text went on with 'A's.
      std::string ZeroPadded = std::string(Src.get(), Avail) + "AAAAAAAAAAAA";
      EXPECT_EQ(Got, Base64Decode(ZeroPadded).substr(0, Len)) << Avail << " " << Len;
    }
  }
  char Wide[4];
  Base64DecodeWide(u"QUJD", Wide, 3);
  EXPECT_EQ(std::string_view(Wide, 3), "ABC");
}

// Every byte outside the alphabet and the blanks is a zero symbol wherever it
// stands: at the start, inside and at the edges of a 32-symbol block, and in
// the last group. The expected bytes are the original ones with that
// symbol's six bits cleared, worked out without any decoder.
TEST(UTF8Utils, base64_every_invalid_byte_decodes_as_zero_bits_in_long_texts) {
  const std::string Bytes = TestSupport::RandomBytes(96, 5);  // 128 symbols, no padding
  const std::string Text = Base64Encode(Bytes);
  const std::string_view Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  int Invalid = 0;
  for (int B = 0; B < 256; ++B) {
    const char C = char(B);
    if (Alphabet.find(C) != std::string_view::npos || C == '\t' || C == '\n' || C == '\r' || C == ' ') continue;
    ++Invalid;
    for (size_t P : {0, 5, 31, 32, 33, 63, 64, 100, 127}) {
      std::string Bad = Text;
      Bad[P] = C;
      std::string Expected = Bytes;
      for (size_t Bit = P * 6; Bit < P * 6 + 6; ++Bit) Expected[Bit / 8] &= char(~(0x80 >> Bit % 8));
      EXPECT_EQ(Base64DecodedSize(Bad), B == '=' && P == 127 ? 95u : 96u);
      std::string Got(96, '\0');
      Base64DecodeBuffer(Bad, Got.data(), Got.size());
      EXPECT_EQ(Got, Expected) << "byte " << B << " at " << P;
    }
  }
  EXPECT_EQ(Invalid, 256 - 64 - 4);
}

TEST(UTF8Utils, base64_long_texts_decode_exactly_len_bytes_with_blanks_anywhere) {
  // Exact-size buffers, as above, over texts long enough for 32-symbol blocks.
  const std::string Bytes = TestSupport::RandomBytes(300, 9);
  const std::string Text = Base64Encode(Bytes);
  std::string Blanked = Text;
  for (size_t P : {350, 200, 97, 40, 3}) Blanked.insert(P, P % 2 ? "\r\n" : " ");
  for (const std::string& T : {Text, Blanked}) {
    for (size_t Len = 0; Len <= Bytes.size(); Len += 7) {
      auto Src = std::make_unique<char[]>(T.size());
      T.copy(Src.get(), T.size());
      auto Dst = std::make_unique<char[]>(Len);
      Base64DecodeBuffer(std::string_view(Src.get(), T.size()), Dst.get(), Len);
      EXPECT_EQ(std::string_view(Dst.get(), Len), std::string_view(Bytes).substr(0, Len)) << Len;
    }
  }
}

TEST(UTF8Utils, base64_round_trips_with_and_without_line_breaks) {
  for (size_t Len : {0, 1, 2, 3, 4, 56, 57, 58, 59, 60, 1000}) {
    std::string Bytes = TestSupport::RandomBytes(Len, Len + 1);
    std::string Text = Base64Encode(Bytes);
    ASSERT_EQ(Text.size(), 4 * ((Len + 2) / 3));
    std::string Broken;
    for (size_t I = 0; I < Text.size(); I += 76) Broken += Text.substr(I, 76) + "\r\n";
    EXPECT_EQ(Base64Decode(Text), Bytes);
    EXPECT_EQ(Base64DecodedSize(Broken), Len);
    EXPECT_EQ(Base64Decode(Broken), Bytes);
    EXPECT_EQ(Base64Decode(Widen(Broken)), Bytes);
  }
}

TEST(UTF8Utils, utf8_check_follows_rfc3629_and_wants_a_multibyte_sequence) {
  struct Case { std::string_view Bytes; bool Valid; } Cases[] = {
      {"", false},
      {"plain ASCII text", false},
      {"\xc3\xa9", true},                       // e acute
      {"caf\xc3\xa9 au lait", true},
      {"\xe9", false},                          // Latin-1 e acute
      {"\xf0\x9f\x98\x80", true},               // U+1F600
      {"\xed\xa0\x80", false},                  // surrogate
      {"\xed\x9f\xbf", true},                   // U+D7FF
      {"\xef\xbf\xbf", true},                   // U+FFFF
      {"\xf4\x8f\xbf\xbf", true},               // U+10FFFF
      {"\xf4\x90\x80\x80", false},              // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xc0\xaf", false},                      // overlong '/'
      {"\xc1\xbf", false},
      {"\xe0\x80\xaf", false},                  // overlong, three bytes
      {"\xe0\x9f\xbf", false},
      {"\xe0\xa0\x80", true},                   // U+0800
      {"\xf0\x80\x80\xaf", false},              // overlong, four bytes
      {"\xf0\x8f\xbf\xbf", false},
      {"\xf0\x90\x80\x80", true},               // U+10000
      {"\x80", false},                          // lone continuation
      {"\xc3", false},                          // cut by the end
      {"\xe2\x82", false},
      {"\xf0\x9f\x98", false},
      {"\xc3\x28", false},                      // bad continuation
      {"\xe2\x28\xa1", false},
      {"\xe2\x82\x28", false},
      {"\xf0\x9f\x28\x80", false},
      {"\xf0\x9f\x98\x28", false},
      {"\xff", false},
      {"0123456789abcdef\xc3\xa9", true},       // after the eight-byte ASCII run
      {"0123456789abcdef\xc3", false},
  };
  for (auto C : Cases) EXPECT_EQ(IsValidUTF8(C.Bytes), C.Valid) << TestSupport::ToHex(C.Bytes);
}

TEST(UTF8Utils, utf16_to_utf8_handles_pairs_and_lone_surrogates) {
  EXPECT_EQ(UTF16ToUTF8(u"aé€😀"), "aé€😀");
  EXPECT_EQ(UTF16ToUTF8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(UTF16ToUTF8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(UTF8Utils, utf8_to_utf16_replaces_invalid_bytes) {
  struct Row {
    std::string In;
    std::u16string Out;
  } const Rows[] = {
      {"abc", u"abc"},
      {"\xC3\xA9", u"é"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xE9t\xC3", u"\uFFFDt\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},      // encoded surrogate
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                // overlong
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const Row& R : Rows) EXPECT_EQ(UTF8ToUTF16(R.In), R.Out) << R.In;
}

TEST(UTF8Utils, integer_texts_and_their_limits) {
  struct Case { std::string_view Text; int32_t Value; } Cases[] = {
      {"0", 0},           {"-12", -12},       {"0042", 42},
      {"2147483647", INT32_MAX},              {"-2147483648", INT32_MIN},
      {"2147483648", 77}, {"-2147483649", 77}, {"99999999999999999999", 77},
      {"", 77},           {"-", 77},           {"+3", 77},     {"1-2", 77},
      {" 1", 77},         {"1 ", 77},          {"0x10", 77},   {"1.5", 77},   {"--1", 77},
  };
  for (auto C : Cases) EXPECT_EQ(UTF8ToIntDef(C.Text, 77), C.Value) << '"' << C.Text << '"';
  for (int32_t V : {0, 7, -7, INT32_MAX, INT32_MIN}) EXPECT_EQ(UTF8ToIntDef(IntToUTF8(V), 1), V);
  EXPECT_EQ(IntToUTF8(INT32_MIN), "-2147483648");
}

TEST(UTF8Utils, file_size_rounds_to_the_nearest_unit) {
  struct Case { int64_t Size; std::string_view Text; } Cases[] = {
      {0, "vide"},
      {1, "1 octets"},
      {1023, "1023 octets"},
      {1024, "1 Ko"},
      {1535, "1 Ko"},
      {1536, "2 Ko"},
      {1048063, "1023 Ko"},
      {1048064, "1 Mo"},
      {1572864, "2 Mo"},        // 1.5 Mo rounds up
      {1073217023, "1023 Mo"},
      {1073217024, "1 Go"},
      {1073741824, "1 Go"},
      {5LL * 1073741824, "5 Go"},
      {INT64_MAX, "8589934592 Go"},
  };
  for (auto C : Cases) EXPECT_EQ(FileSizeText(C.Size), C.Text) << C.Size;
}

TEST(UTF8Utils, substring_helpers) {
  struct Pos { std::string_view Sub, S; size_t Offset, Expected; } Positions[] = {
      {"b", "abcabc", 0, 2},  {"b", "abcabc", 1, 2},  {"b", "abcabc", 2, 2},
      {"b", "abcabc", 3, 5},  {"bc", "abcabc", 6, 0}, {"c", "abcabc", 6, 6},
      {"c", "abcabc", 7, 0},  {"c", "abcabc", 99, 0}, {"", "abc", 1, 0},
      {"x", "abc", 1, 0},     {"abcd", "abc", 1, 0},
  };
  for (auto P : Positions)
    EXPECT_EQ(UTF8PosEx(P.Sub, P.S, P.Offset), P.Expected) << P.Sub << " in " << P.S << " @" << P.Offset;

  EXPECT_EQ(UTF8CopyBefore("key=value=x", '='), "key");
  EXPECT_EQ(UTF8CopyBefore("=value", '='), "");
  EXPECT_EQ(UTF8CopyBefore("no separator", '='), "");

  struct Between { std::string_view S, Expected; } Betweens[] = {
      {"a<b>c<d>", "b"}, {"<>", ""}, {"a>b<c", ""}, {"<abc", ""}, {"abc>", ""}, {"x<a<b>", "a<b"},
  };
  for (auto B : Betweens) EXPECT_EQ(UTF8CopyBetween(B.S, '<', '>'), B.Expected) << B.S;
}

TEST(UTF8Utils, backslash_form_keeps_a_text_on_one_line_and_reads_back) {
  struct Case { std::string_view Text, Escaped; } Cases[] = {
      {"", ""},
      {"plain é", "plain é"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {"C:\\dir\\", "C:\\\\dir\\\\"},
      {"\\t", "\\\\t"},
  };
  for (auto C : Cases) {
    std::string Out = "x";
    AppendBackslashEscaped(Out, C.Text);
    EXPECT_EQ(Out, "x" + std::string(C.Escaped)) << C.Text;
    EXPECT_EQ(BackslashUnescaped(C.Escaped), C.Text) << C.Escaped;
  }
  EXPECT_EQ(BackslashUnescaped("a\\qb\\"), "aqb\\");  // unknown escape, backslash at the end
}

TEST(UTF8Utils, guid_texts_lose_braces_and_upper_case_hex) {
  struct Case { std::string_view In, Out; } Cases[] = {
      {"{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}", "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"},
      {"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D", "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"},
      {"{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5DX}", "{0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5dX}"},
      {"{GHIJ}", "{GHIJ}"},
      {"{ABCDEF}", "{abcdef}"},
      {"", ""},
  };
  for (auto C : Cases) EXPECT_EQ(NormalizeGUIDText(C.In), C.Out) << C.In;
}

TEST(UTF8Utils, ascii_case_folds_only_ascii_letters) {
  struct Case { std::string_view A, B; bool Same; } Cases[] = {
      {"Content-Type", "content-type", true},
      {"WSS://", "wss://", true},
      {"@[`{", "`{@[", false},          // neighbours of the letter ranges are not letters
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9", false},  // "Été" / "été": UTF-8 is left alone
      {"abc", "abcd", false},
      {"", "", true},
  };
  for (auto C : Cases) EXPECT_EQ(SameText(C.A, C.B), C.Same) << C.A << " / " << C.B;
  struct Prefix { std::string_view Prefix, Text; bool Starts; } Prefixes[] = {
      {"http://", "HTTP://crl.test/a.crl", true},
      {"text/html", "Text/HTML; charset=utf-8", true},
      {"https://", "http://", false},  // shorter than the prefix
      {"<!doctype", "<!DOCTYPE", true},
      {"", "anything", true},
  };
  for (auto C : Prefixes) EXPECT_EQ(StartsText(C.Prefix, C.Text), C.Starts) << C.Prefix << " / " << C.Text;
  EXPECT_EQ(LowerCaseASCII("HTTPS://H\xC3\x89.Example:8443/A"), "https://h\xC3\x89.example:8443/a");
}
