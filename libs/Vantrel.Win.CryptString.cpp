#include "Vantrel.Win.CryptString.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <system_error>

#include "Vantrel.SysUtils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Vantrel {

namespace {

constexpr std::string_view Description = "Vantrel.Win.CryptString";
constexpr char KeyName[] = "cryptstring.key";
constexpr uint8_t BlobVersion = 1;
constexpr size_t KeySize = 32, NonceSize = 12, TagSize = AESGCMTagSize;
constexpr size_t Overhead = 1 + NonceSize + TagSize;
constexpr size_t MaxText = 1 << 20;  // secrets are short; keeps sizes within int

using TKey = std::array<unsigned char, KeySize>;

// The key wiped when it goes out of scope.
struct TSecretKey {
  TKey Bytes{};
  ~TSecretKey() { SecureZeroMemory(Bytes.data(), Bytes.size()); }
};

class TFd {
 public:
  explicit TFd(int Fd = -1) : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0) close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

[[noreturn]] void RaiseErrno(int Code, const std::string& What) {
  throw std::system_error(Code, std::generic_category(), What);
}

std::filesystem::path DataFolder() {
  const std::string Folder = UserDataFolder();
  if (Folder.empty()) RaiseErrno(ENOENT, "ProtectString: no home folder");
  return std::filesystem::path(Folder) / "Carvelin2";
}

// Why the key could not be had: an errno value (0: none) and the text for
// the user, naming the file or folder at fault.
struct TKeyError {
  int Code = 0;
  std::string Text;
};

TKeyError KeyError(int Code, std::string_view What, const std::filesystem::path& Where) {
  return {Code, std::string(What) + " (" + Where.string() + ")"};
}

// Opens our folder (creating it and its parents with mode 0700 when asked);
// refuses a symbolic link, a folder of another user, or one that group or
// others may write to (they could replace the key file).
int OpenFolder(bool Create, TKeyError& Error) {
  std::filesystem::path Folder = DataFolder();
  if (Create) {
    std::string Partial;
    for (const auto& Piece : Folder) {
      if (Piece == "/") continue;
      Partial += '/';
      Partial += Piece.string();
      if (mkdir(Partial.c_str(), 0700) != 0 && errno != EEXIST) {
        Error = KeyError(errno, "cannot create the key folder", Partial);
        return -1;
      }
    }
  }
  int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    int Code = errno;
    Error = KeyError(Code, Code == ELOOP || Code == ENOTDIR ? "the key folder is a symbolic link or not a folder"
                                                            : "cannot open the key folder",
                     Folder);
    return -1;
  }
  struct stat St {};
  if (fstat(Fd, &St) != 0) Error = KeyError(errno, "cannot examine the key folder", Folder);
  else if (St.st_uid != geteuid()) Error = KeyError(EPERM, "the key folder belongs to another user", Folder);
  else if ((St.st_mode & 022) != 0) Error = KeyError(EPERM, "the key folder may be written by other users", Folder);
  if (Error.Code != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

// ENOENT: no key yet. The file is opened without waiting (a FIFO planted
// there would block a plain open) and without following a link, and its
// type is checked before a byte is read.
TKeyError ReadKey(int Folder, TKey& Key) {
  const std::filesystem::path Path = ProtectedStringKeyPath();
  TFd Fd(openat(Folder, KeyName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (Fd.Get() < 0) {
    int Code = errno;
    return KeyError(Code, Code == ELOOP ? "the key file is a symbolic link" : "cannot open the key file", Path);
  }
  struct stat St {};
  if (fstat(Fd.Get(), &St) != 0) return KeyError(errno, "cannot examine the key file", Path);
  if (!S_ISREG(St.st_mode)) return KeyError(EPERM, "the key file is not a regular file", Path);
  if (St.st_uid != geteuid()) return KeyError(EPERM, "the key file belongs to another user", Path);
  if ((St.st_mode & 077) != 0) return KeyError(EPERM, "the key file is open to other users", Path);
  if (St.st_size != off_t(KeySize)) return KeyError(EINVAL, "the key file is damaged (wrong size)", Path);
  size_t Got = 0;
  while (Got < KeySize) {
    ssize_t N = read(Fd.Get(), Key.data() + Got, KeySize - Got);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return KeyError(N < 0 ? errno : EINVAL, "cannot read the key file", Path);
    Got += size_t(N);
  }
  return {};
}

// Writes a fresh key under a temporary name and links it into place, so a
// reader never sees a partial key and two first uses agree on one key.
int CreateKey(int Folder) {
  unsigned char Suffix[8];
  TSecretKey Key;
  if (GenRandom(Suffix, sizeof Suffix) != STATUS_SUCCESS || GenRandom(Key.Bytes.data(), KeySize) != STATUS_SUCCESS)
    return EIO;
  std::string Temp = std::string(KeyName) + ".";
  for (unsigned char B : Suffix) Temp += "0123456789abcdef"[B & 15];
  int Error = 0;
  {
    TFd Fd(openat(Folder, Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (Fd.Get() < 0) return errno;
    size_t Put = 0;
    while (Put < KeySize && Error == 0) {
      ssize_t N = write(Fd.Get(), Key.Bytes.data() + Put, KeySize - Put);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) Error = N < 0 ? errno : EIO;
      else Put += size_t(N);
    }
    if (Error == 0 && fsync(Fd.Get()) != 0) Error = errno;
  }
  if (Error == 0 && linkat(Folder, Temp.c_str(), Folder, KeyName, 0) != 0 && errno != EEXIST) Error = errno;
  unlinkat(Folder, Temp.c_str(), 0);
  return Error;
}

TKeyError LoadKey(bool Create, TKey& Key) {
  TKeyError Error;
  TFd Folder(OpenFolder(Create, Error));
  if (Folder.Get() < 0) return Error;
  Error = ReadKey(Folder.Get(), Key);
  if (Error.Code == ENOENT && Create) {
    if (int Code = CreateKey(Folder.Get()); Code != 0)
      return KeyError(Code, "cannot create the key file", ProtectedStringKeyPath());
    Error = ReadKey(Folder.Get(), Key);
  }
  return Error;
}

std::string_view View(const TKey& Key) { return {reinterpret_cast<const char*>(Key.data()), Key.size()}; }

}  // namespace

std::filesystem::path ProtectedStringKeyPath() { return DataFolder() / KeyName; }

std::string ProtectString(std::string_view S) {
  if (S.empty()) return {};
  if (S.size() > MaxText) RaiseErrno(EMSGSIZE, "ProtectString");
  TSecretKey Key;
  if (TKeyError Error = LoadKey(true, Key.Bytes); Error.Code != 0)
    RaiseErrno(Error.Code, "ProtectString: " + Error.Text);

  std::string Blob(Overhead + S.size(), '\0');
  Blob[0] = char(BlobVersion);
  char* Nonce = Blob.data() + 1;
  bool Ok = GenRandom(Nonce, NonceSize) == STATUS_SUCCESS &&
            AESGCMEncrypt(View(Key.Bytes), {Nonce, NonceSize}, Description, S, Nonce + NonceSize) == STATUS_SUCCESS;
  if (!Ok) RaiseErrno(EIO, "ProtectString: AES-GCM");
  return Blob;
}

std::string UnprotectString(std::string_view Data) {
  if (Data.size() < Overhead || Data.size() > Overhead + MaxText || uint8_t(Data[0]) != BlobVersion)
    return {};
  TSecretKey Key;
  if (LoadKey(false, Key.Bytes).Code != 0) return {};

  std::string_view Nonce = Data.substr(1, NonceSize);
  std::string_view Sealed = Data.substr(1 + NonceSize);
  std::string Text(Sealed.size() - TagSize, '\0');
  if (AESGCMDecrypt(View(Key.Bytes), Nonce, Description, Sealed, Text.data()) != STATUS_SUCCESS) return {};
  return Text;
}

}  // namespace Vantrel
