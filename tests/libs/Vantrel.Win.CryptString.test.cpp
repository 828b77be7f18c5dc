#include "Vantrel.Win.CryptString.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

// Points the XDG data folder at a fresh folder for each test.
class CryptString : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_DATA_HOME", (Dir / "data").c_str(), 1); }
  void TearDown() override { unsetenv("XDG_DATA_HOME"); }
  mode_t ModeOf(const std::filesystem::path& P) {
    struct stat St {};
    EXPECT_EQ(lstat(P.c_str(), &St), 0) << P;
    return St.st_mode & 07777;
  }
  // The text ProtectString raises, or "(no error)".
  static std::string ProtectError(std::string_view S) {
    try {
      ProtectString(S);
    } catch (const std::system_error& E) {
      return E.what();
    }
    return "(no error)";
  }
  TestSupport::TempDir Dir;
};

}  // namespace

TEST_F(CryptString, round_trips_texts) {
  for (std::string_view S : {"H\xC3\xA9l\xC3\xA8ne 1234", "0", "\xF0\x9F\x98\x80 \t\r\n", "1234"}) {
    std::string Blob = ProtectString(S);
    EXPECT_EQ(Blob.size(), S.size() + 29);
    if (S.size() >= 8) {  // shorter texts may turn up in random bytes by chance
      EXPECT_EQ(Blob.find(S), std::string::npos);
    }
    EXPECT_EQ(UnprotectString(Blob), S);
  }
  std::string Long(100000, 'x');
  EXPECT_EQ(UnprotectString(ProtectString(Long)), Long);
  EXPECT_EQ(ProtectString(""), "");
  EXPECT_EQ(UnprotectString(""), "");
  // A fresh nonce each time: the same text never gives the same blob.
  EXPECT_NE(ProtectString("1234"), ProtectString("1234"));
}

TEST_F(CryptString, creates_the_key_private_to_the_user) {
  EXPECT_EQ(ProtectedStringKeyPath(), Dir / "data" / "Carvelin2" / "cryptstring.key");
  EXPECT_EQ(UnprotectString(std::string(40, '\x01')), "");
  EXPECT_FALSE(std::filesystem::exists(ProtectedStringKeyPath())) << "reading must not create a key";
  ProtectString("1234");
  EXPECT_EQ(ModeOf(ProtectedStringKeyPath()), 0600u);
  EXPECT_EQ(ModeOf(Dir / "data" / "Carvelin2"), 0700u);
  EXPECT_EQ(std::filesystem::file_size(ProtectedStringKeyPath()), 32u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir / "data" / "Carvelin2"), {}), 1)
      << "no temporary file left";
}

TEST_F(CryptString, damaged_or_foreign_blobs_give_an_empty_text) {
  std::string Blob = ProtectString("H\xC3\xA9l\xC3\xA8ne 1234");
  for (size_t I = 0; I < Blob.size(); ++I) {
    std::string Bad = Blob;
    Bad[I] = char(Bad[I] ^ 0x01);
    EXPECT_EQ(UnprotectString(Bad), "") << "byte " << I;
  }
  for (size_t N = 0; N < Blob.size(); ++N) EXPECT_EQ(UnprotectString(Blob.substr(0, N)), "") << N;
  EXPECT_EQ(UnprotectString(Blob + "x"), "");

  // Another user's key (another data folder): the blob is foreign there.
  setenv("XDG_DATA_HOME", (Dir / "other").c_str(), 1);
  EXPECT_EQ(UnprotectString(Blob), "");
  ProtectString("x");
  EXPECT_EQ(UnprotectString(Blob), "");
}

TEST_F(CryptString, refuses_a_key_that_is_a_link_or_open_to_others) {
  std::filesystem::create_directories(Dir / "data" / "Carvelin2");
  TestSupport::WriteFile(Dir / "elsewhere.key", std::string(32, 'k'));
  chmod((Dir / "elsewhere.key").c_str(), 0600);
  std::filesystem::create_symlink(Dir / "elsewhere.key", ProtectedStringKeyPath());
  EXPECT_EQ(ProtectError("1234"), "ProtectString: the key file is a symbolic link (" +
                                      ProtectedStringKeyPath().string() + "): Too many levels of symbolic links");
  EXPECT_EQ(TestSupport::ReadFile(Dir / "elsewhere.key"), std::string(32, 'k'));

  std::filesystem::remove(ProtectedStringKeyPath());
  std::string Blob = ProtectString("1234");
  chmod(ProtectedStringKeyPath().c_str(), 0644);
  EXPECT_EQ(UnprotectString(Blob), "");
  EXPECT_THROW(ProtectString("1234"), std::system_error);
  chmod(ProtectedStringKeyPath().c_str(), 0600);
  EXPECT_EQ(UnprotectString(Blob), "1234");

  // A folder that group or others may write to: someone else could put
  // their own key in place.
  for (mode_t Mode : {0770, 0703}) {
    chmod((Dir / "data" / "Carvelin2").c_str(), Mode);
    EXPECT_EQ(UnprotectString(Blob), "") << Mode;
    EXPECT_EQ(ProtectError("1234"), "ProtectString: the key folder may be written by other users (" +
                                        (Dir / "data" / "Carvelin2").string() + "): Operation not permitted")
        << Mode;
  }
  chmod((Dir / "data" / "Carvelin2").c_str(), 0700);
  EXPECT_EQ(UnprotectString(Blob), "1234");

  // A linked folder is refused as well.
  std::filesystem::rename(Dir / "data" / "Carvelin2", Dir / "real");
  std::filesystem::create_directory_symlink(Dir / "real", Dir / "data" / "Carvelin2");
  EXPECT_EQ(UnprotectString(Blob), "");
  EXPECT_THROW(ProtectString("1234"), std::system_error);
}

// A FIFO at the key's path: both calls answer at once instead of waiting
// for a writer. They run in a child that a generous alarm ends, so a
// regression fails here instead of hanging the run.
TEST_F(CryptString, a_fifo_at_the_key_path_is_refused_without_waiting) {
  std::filesystem::create_directories(Dir / "data" / "Carvelin2");
  ASSERT_EQ(mkfifo(ProtectedStringKeyPath().c_str(), 0600), 0);
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    close(Pipe[0]);
    alarm(60);
    std::string Report = UnprotectString(std::string(40, '\x01')) + "|" + ProtectError("1234");
    _exit(write(Pipe[1], Report.data(), Report.size()) == ssize_t(Report.size()) ? 0 : 1);
  }
  close(Pipe[1]);
  std::string Report;
  char Buffer[512];
  for (ssize_t N; (N = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Report.append(Buffer, size_t(N));
  close(Pipe[0]);
  int Status = 0;
  waitpid(Child, &Status, 0);
  ASSERT_TRUE(WIFEXITED(Status)) << "the calls blocked on the FIFO (child ended by signal "
                                 << (WIFSIGNALED(Status) ? WTERMSIG(Status) : 0) << ")";
  EXPECT_EQ(WEXITSTATUS(Status), 0);
  EXPECT_EQ(Report, "|ProtectString: the key file is not a regular file (" + ProtectedStringKeyPath().string() +
                        "): Operation not permitted");
}
