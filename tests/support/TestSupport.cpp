#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace TestSupport {

namespace {

void CloseFd(int& Fd) {
  if (Fd >= 0) close(Fd);
  Fd = -1;
}

// Feeds Input and drains both outputs together so that neither side blocks.
void Pump(int InFd, int OutFd, int ErrFd, std::string_view Input, RunResult& R) {
  size_t Written = 0;
  if (Input.empty()) CloseFd(InFd);
  // A blocking write of a large input would stall while the child waits
  // for us to drain its output: write only what the pipe takes.
  if (InFd >= 0) fcntl(InFd, F_SETFL, fcntl(InFd, F_GETFL) | O_NONBLOCK);
  char Buf[65536];
  while (OutFd >= 0 || ErrFd >= 0) {
    pollfd P[3];
    int N = 0;
    if (InFd >= 0) P[N++] = {InFd, POLLOUT, 0};
    if (OutFd >= 0) P[N++] = {OutFd, POLLIN, 0};
    if (ErrFd >= 0) P[N++] = {ErrFd, POLLIN, 0};
    if (poll(P, N, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int I = 0; I < N; ++I) {
      if (!P[I].revents) continue;
      if (P[I].fd == InFd) {
        ssize_t W = write(InFd, Input.data() + Written, Input.size() - Written);
        if (W > 0) Written += size_t(W);
        if ((W < 0 && errno != EAGAIN) || Written == Input.size()) CloseFd(InFd);
      } else {
        ssize_t Got = read(P[I].fd, Buf, sizeof Buf);
        if (Got > 0) {
          (P[I].fd == OutFd ? R.Out : R.Err).append(Buf, size_t(Got));
        } else if (P[I].fd == OutFd) {
          CloseFd(OutFd);
        } else {
          CloseFd(ErrFd);
        }
      }
    }
  }
  CloseFd(InFd);
}

sockaddr_in Loopback(int Port) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(uint16_t(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

}  // namespace

RunResult Run(const std::vector<std::string>& Argv, std::string_view Input) {
  RunResult R;
  int In[2], Out[2], Err[2];
  if (pipe2(In, O_CLOEXEC) || pipe2(Out, O_CLOEXEC) || pipe2(Err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
  posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);
  std::vector<char*> Args;
  for (const auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);
  pid_t Pid;
  int Rc = posix_spawnp(&Pid, Args[0], &Actions, nullptr, Args.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(In[0]);
  close(Out[1]);
  close(Err[1]);
  if (Rc != 0) {
    close(In[1]);
    close(Out[0]);
    close(Err[0]);
    R.Err = "cannot start " + Argv[0];
    return R;
  }
  signal(SIGPIPE, SIG_IGN);
  Pump(In[1], Out[0], Err[0], Input, R);
  int WStatus = 0;
  while (waitpid(Pid, &WStatus, 0) < 0 && errno == EINTR) {
  }
  R.Status = WIFEXITED(WStatus) ? WEXITSTATUS(WStatus) : -1;
  return R;
}

RunResult RunPython(std::string_view Script, const std::vector<std::string>& Args,
                    std::string_view Input) {
  TempDir Dir;
  auto File = Dir / "script.py";
  WriteFile(File, Script);
  std::vector<std::string> Argv{Python, File.string()};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  return Run(Argv, Input);
}

bool HaveTool(const std::string& Program) {
  if (Program.find('/') != std::string::npos) return access(Program.c_str(), X_OK) == 0;
  const char* Path = getenv("PATH");
  std::stringstream Dirs(Path ? Path : "/usr/bin:/bin");
  std::string Dir;
  while (std::getline(Dirs, Dir, ':'))
    if (!Dir.empty() && access((Dir + "/" + Program).c_str(), X_OK) == 0) return true;
  return false;
}

std::string ToolPath(std::string_view Name) {
  return std::string(CARVELIN_TOOLS_DIR) + "/" + std::string(Name);
}

std::filesystem::path Fixture(std::string_view Relative) {
  return std::filesystem::path(CARVELIN_FIXTURES) / Relative;
}

std::filesystem::path SharedData(std::string_view Relative) {
  auto P = std::filesystem::path(CARVELIN_SHARED_DATA) / Relative;
  std::error_code Ec;
  return std::filesystem::exists(P, Ec) ? P : std::filesystem::path();
}

std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream F(Path, std::ios::binary);
  if (!F) throw std::runtime_error("cannot read " + Path.string());
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

void WriteFile(const std::filesystem::path& Path, std::string_view Data) {
  std::ofstream F(Path, std::ios::binary | std::ios::trunc);
  F.write(Data.data(), std::streamsize(Data.size()));
  if (!F) throw std::runtime_error("cannot write " + Path.string());
}

TempDir::TempDir() {
  std::string Templ = (std::filesystem::temp_directory_path() / "carvelin-test-XXXXXX").string();
  if (!mkdtemp(Templ.data())) throw std::runtime_error("mkdtemp failed");
  FPath = Templ;
}

TempDir::~TempDir() {
  std::error_code Ec;
  std::filesystem::remove_all(FPath, Ec);
}

void SetProxyEnvironment(const char* Http, const char* Https, const char* NoProxy) {
  for (const char* V : {"HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "no_proxy"})
    unsetenv(V);
  if (Http) setenv("http_proxy", Http, 1);
  if (Https) setenv("https_proxy", Https, 1);
  if (NoProxy) setenv("no_proxy", NoProxy, 1);
}

int FreePort() {
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in A = Loopback(0);
  socklen_t Len = sizeof A;
  bool Ok = bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
            getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) == 0;
  close(Fd);
  if (!Ok) throw std::runtime_error("no free loopback port");
  return ntohs(A.sin_port);
}

int ConnectLoopback(int Port) {
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return -1;
  sockaddr_in A = Loopback(Port);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

bool WaitForPort(int Port, int TimeoutMs) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    int Fd = ConnectLoopback(Port);
    if (Fd >= 0) {
      close(Fd);
      return true;
    }
    if (std::chrono::steady_clock::now() >= Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string RandomBytes(size_t Count, uint64_t Seed) {
  std::mt19937_64 Gen(Seed);
  std::string S(Count, '\0');
  for (auto& C : S) C = char(Gen() & 0xFF);
  return S;
}

std::string ToHex(std::string_view Bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string S;
  S.reserve(Bytes.size() * 2);
  for (unsigned char C : Bytes) {
    S += Digits[C >> 4];
    S += Digits[C & 15];
  }
  return S;
}

std::optional<std::string> FromHex(std::string_view Hex) {
  auto Digit = [](char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  std::string Bytes;
  int High = -1;
  for (char C : Hex) {
    if (C == ' ' && High < 0) continue;
    const int Value = Digit(C);
    if (Value < 0) return std::nullopt;
    if (High < 0) {
      High = Value;
    } else {
      Bytes += char(High << 4 | Value);
      High = -1;
    }
  }
  if (High >= 0) return std::nullopt;
  return Bytes;
}

}  // namespace TestSupport
