// Helpers shared by the test programs: running a reference tool with given
// input, temporary files and folders, the shared test data, loopback ports,
// random inputs. The test PKI has its own header (TestPKI.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace TestSupport {

struct RunResult {
  int Status = -1;          // exit code, or -1 when the program could not start or was killed
  std::string Out;
  std::string Err;
};

// Runs Argv[0] (a full path, or a name looked up in PATH) with Input on its
// standard input and collects both outputs. Never throws for the program's failures.
RunResult Run(const std::vector<std::string>& Argv, std::string_view Input = {});

// Debian's interpreter, which has the distribution's Python modules.
inline constexpr const char* Python = "/usr/bin/python3";

// Runs a Python script (given as text) with Args and Input.
RunResult RunPython(std::string_view Script, const std::vector<std::string>& Args = {},
                    std::string_view Input = {});

// True when the program exists and is executable (a name is looked up in PATH).
bool HaveTool(const std::string& Program);

// A driver program built beside the tests (tests/tools).
std::string ToolPath(std::string_view Name);

// A fixture of tests/fixtures, or a file of the shared test data; the latter
// is empty when the shared data is not there.
std::filesystem::path Fixture(std::string_view Relative);
std::filesystem::path SharedData(std::string_view Relative);

std::string ReadFile(const std::filesystem::path& Path);
void WriteFile(const std::filesystem::path& Path, std::string_view Data);

// A fresh folder removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }
  std::filesystem::path operator/(std::string_view Name) const { return FPath / Name; }

 private:
  std::filesystem::path FPath;
};

// A loopback port that was free a moment ago (for servers started by tests).
int FreePort();

// A socket connected to 127.0.0.1:Port, or -1 when nothing accepts there.
int ConnectLoopback(int Port);

// True once something accepts connections on 127.0.0.1:Port.
bool WaitForPort(int Port, int TimeoutMs = 10000);

// Sets the proxy variables of the process (nullptr: unset, the upper-case
// forms always unset); restores nothing.
void SetProxyEnvironment(const char* Http, const char* Https, const char* NoProxy);

// Reproducible pseudo-random bytes.
std::string RandomBytes(size_t Count, uint64_t Seed);

std::string ToHex(std::string_view Bytes);
// The bytes of hexadecimal digits (either case); blanks between pairs are
// skipped. Nothing for an odd count of digits or any other character.
std::optional<std::string> FromHex(std::string_view Hex);

}  // namespace TestSupport

// Skips the current test with a message when a reference tool is missing.
#define SKIP_UNLESS_TOOL(program)                                        \
  do {                                                                   \
    if (!TestSupport::HaveTool(program))                                 \
      GTEST_SKIP() << "reference tool not installed: " << (program);     \
  } while (0)
