#include "TestSupport.h"
TEST(Run, large_input_and_output_do_not_deadlock) {
  std::string In(8 << 20, 'x');
  auto R = TestSupport::Run({"cat"}, In);
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out.size(), In.size());
}
