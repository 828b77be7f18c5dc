// The protected-string blob opened by Python's AES-GCM (python3-cryptography)
// with the user's key, and a blob sealed by Python opened by us.
#include "Vantrel.Win.CryptString.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "TestSupport.h"

using namespace Vantrel;

TEST(CryptStringPeer, blobs_follow_aes_256_gcm_with_the_user_key) {
  TestSupport::TempDir Dir;
  setenv("XDG_DATA_HOME", Dir.Path().c_str(), 1);
  const std::string Text = "H\xC3\xA9l\xC3\xA8ne 1234";
  std::string Blob = ProtectString(Text);
  std::string Key = TestSupport::ReadFile(ProtectedStringKeyPath());
  constexpr std::string_view Script = R"(
import sys
try:
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
except ImportError:
    print('SKIP'); sys.exit(0)
key, blob, text = (bytes.fromhex(a) for a in sys.argv[1:4])
aad = b'Vantrel.Win.CryptString'
assert blob[0] == 1
print(AESGCM(key).decrypt(blob[1:13], blob[13:], aad).hex())
nonce = bytes(range(12))
print((b'\x01' + nonce + AESGCM(key).encrypt(nonce, text, aad)).hex())
)";
  auto R = TestSupport::RunPython(Script, {TestSupport::ToHex(Key), TestSupport::ToHex(Blob), TestSupport::ToHex("Zo\xC3\xA9 42")});
  unsetenv("XDG_DATA_HOME");
  ASSERT_EQ(R.Status, 0) << R.Err;
  if (R.Out == "SKIP\n") GTEST_SKIP() << "python3-cryptography is not installed";
  std::string Decrypted = R.Out.substr(0, R.Out.find('\n'));
  EXPECT_EQ(Decrypted, TestSupport::ToHex(Text));
  std::string Sealed = R.Out.substr(R.Out.find('\n') + 1);
  Sealed.pop_back();
  std::string SealedBytes;
  for (size_t I = 0; I + 1 < Sealed.size(); I += 2) SealedBytes += char(std::stoi(Sealed.substr(I, 2), nullptr, 16));
  setenv("XDG_DATA_HOME", Dir.Path().c_str(), 1);
  EXPECT_EQ(UnprotectString(SealedBytes), "Zo\xC3\xA9 42");
  unsetenv("XDG_DATA_HOME");
}
