#include "TestSupport.h"
TEST(Run, large_input_and_output_do_not_deadlock) {
  std::string In(8 << 20, 'x');
  auto R = TestSupport::Run({"cat"}, In);
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out.size(), In.size());
}

TEST(Hex, from_hex_reads_pairs_and_refuses_anything_else) {
  const std::string Bytes = TestSupport::RandomBytes(256, 7);
  EXPECT_EQ(TestSupport::FromHex(TestSupport::ToHex(Bytes)), Bytes);
  EXPECT_EQ(TestSupport::FromHex("ff01 0001 00"), std::string("\xff\x01\x00\x01\x00", 5));
  EXPECT_EQ(TestSupport::FromHex("CafE"), "\xca\xfe");
  EXPECT_EQ(TestSupport::FromHex(""), "");
  for (std::string_view Bad : {"abc", "a bc", "0g", "+f", "0x10", "12-34"})
    EXPECT_EQ(TestSupport::FromHex(Bad), std::nullopt) << Bad;
}
