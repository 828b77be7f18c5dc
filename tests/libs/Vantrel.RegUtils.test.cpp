#include "Vantrel.RegUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

class RegUtils : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1); }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  TestSupport::TempDir Dir;
};

}  // namespace

TEST_F(RegUtils, missing_keys_and_values_give_the_default) {
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp", "URL Protocol", "def"), "def");
  ASSERT_TRUE(RegWriteString(HKEY_CLASSES_ROOT, "dmp", "", "URL:dmp"));
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp", "URL Protocol", "def"), "def");
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp\\shell", "", "def"), "def");
  EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, "dmp", "", "def"), "def");
}

TEST_F(RegUtils, values_read_back_whole) {
  struct Case { std::string_view Path, Name, Value; } Cases[] = {
      {"dmp", "", "URL:dmp"},
      {"dmp", "URL Protocol", ""},
      {"dmp\\shell\\open\\command", "", "\"/usr/bin/carvelin2\" \"%1\""},
      {"x", "abc", "abc"},
      {"x", "escapes", "tab\there\nnew\\line\r\\t"},
      {"x", "utf8", "H\xC3\xA9l\xC3\xA8ne"},
  };
  for (auto& C : Cases) ASSERT_TRUE(RegWriteString(HKEY_CLASSES_ROOT, C.Path, C.Name, C.Value));
  for (auto& C : Cases) EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, C.Path, C.Name, "?"), C.Value) << C.Name;
  // Paths and names ignore case and outer separators, like the registry.
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "\\DMP\\Shell\\Open\\Command\\", "", "?"), "\"/usr/bin/carvelin2\" \"%1\"");
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "X", "ABC", "?"), "abc");
  ASSERT_TRUE(RegWriteString(HKEY_CLASSES_ROOT, "X", "Abc", "new"));
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "x", "abc", "?"), "new");
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "x", "utf8", "?"), "H\xC3\xA9l\xC3\xA8ne");

  struct stat St {};
  ASSERT_EQ(stat(RegistryStorePath().c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  EXPECT_EQ(RegistryStorePath(), Dir / "config" / "Carvelin2" / "registry");
}

TEST_F(RegUtils, an_unreadable_store_gives_the_default_and_refuses_writes) {
  std::filesystem::create_directories(RegistryStorePath());  // a folder where the file should be
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp", "", "def"), "def");
  EXPECT_FALSE(RegWriteString(HKEY_CLASSES_ROOT, "dmp", "", "v"));
  std::filesystem::remove(RegistryStorePath());
  // Lines that are not ours are skipped, and kept out of the next write.
  TestSupport::WriteFile(RegistryStorePath(), "garbage\nHKEY_CLASSES_ROOT\tdmp\t\tURL:dmp");
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp", "", "def"), "URL:dmp");
  EXPECT_TRUE(RegWriteString(HKEY_CLASSES_ROOT, "dmp", "URL Protocol", ""));
  EXPECT_EQ(RegReadString(HKEY_CLASSES_ROOT, "dmp", "", "def"), "URL:dmp");
  EXPECT_EQ(RegReadString(TRegistryRoot(9), "dmp", "", "def"), "def");
  EXPECT_FALSE(RegWriteString(TRegistryRoot(9), "dmp", "", "v"));
}
