#include "Vantrel.URL.h"

#include <gtest/gtest.h>

using namespace Vantrel;

TEST(URL, encode_keeps_72_characters_and_escapes_utf8_bytes) {
  struct Case { std::string_view In, Out; } Cases[] = {
      {"Saint-\xC3\x89tienne (42)", "Saint-%C3%89tienne%20(42)"},
      {"a~b+c", "a%7Eb%2Bc"},
      {"&=%/:?#", "%26%3D%25%2F%3A%3F%23"},
      {"!$'()*-.@_", "!$'()*-.@_"},
      {"AZaz09", "AZaz09"},
      {std::string_view("\0\x7F\xFF", 3), "%00%7F%FF"},
      {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},
      {"", ""},
  };
  for (auto& C : Cases) EXPECT_EQ(URL::Encode(C.In), C.Out) << C.In;
  int Kept = 0;
  for (int B = 0; B < 256; ++B) Kept += URL::Encode(std::string(1, char(B))).size() == 1;
  EXPECT_EQ(Kept, 72);
}

TEST(URL, decode_reads_utf8_once_and_falls_back_to_windows_1252) {
  struct Case { std::string_view In, Out; } Cases[] = {
      {"H%C3%A9l%C3%A8ne", "H\xC3\xA9l\xC3\xA8ne"},
      {"h%c3%a9", "h\xC3\xA9"},
      {"H\xC3\xA9l\xC3\xA8ne", "H\xC3\xA9l\xC3\xA8ne"},  // already decoded by the server
      {"a+b%20c", "a b c"},
      {"100%%", "100%"},
      {"H%E9l%E8ne", "H\xC3\xA9l\xC3\xA8ne"},           // legacy 8-bit query
      {"%80%9C%81", "\xE2\x82\xAC\xC5\x93\xC2\x81"},     // euro, oe, an unassigned byte
      {"%C3", "\xC3\x83"},                               // a cut sequence is not UTF-8
      {"%ED%A0%80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},    // nor is a surrogate
      {"", ""},
  };
  for (auto& C : Cases) EXPECT_EQ(URL::Decode(C.In), C.Out) << C.In;
}

TEST(URL, decode_refuses_cut_or_non_hex_escapes) {
  struct Case { std::string_view In, Message; } Cases[] = {
      {"%", "Invalid URL encoded character (%) at position 0"},
      {"ab%4", "Invalid URL encoded character (%4) at position 2"},
      {"%G1", "Invalid URL encoded character (%G1) at position 0"},
      {"x%1G", "Invalid URL encoded character (%1G) at position 1"},
  };
  for (auto& C : Cases) {
    try {
      URL::Decode(C.In);
      ADD_FAILURE() << C.In;
    } catch (const URL::EDecodeError& E) {
      EXPECT_EQ(E.what(), C.Message);
    }
  }
}
