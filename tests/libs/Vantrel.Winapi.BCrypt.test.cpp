// Status texts, random bytes, wiping, constant-time comparison and AES-GCM
// (against the AES-256 test case of the GCM specification).
#include "Vantrel.Winapi.BCrypt.h"

#include "TestSupport.h"

using namespace Vantrel;

namespace {

std::string FromHex(std::string_view Hex) { return TestSupport::FromHex(Hex).value(); }

TEST(BCrypt, status_texts) {
  EXPECT_EQ(NTStatusText(0), "");
  EXPECT_EQ(NTStatusText(STATUS_AUTH_TAG_MISMATCH), "STATUS_AUTH_TAG_MISMATCH ");
  EXPECT_EQ(NTStatusText(STATUS_INVALID_PARAMETER), "STATUS_INVALID_PARAMETER");
  EXPECT_EQ(NTStatusText(0xC000A000), "NTSTATUS C000A000");
}

TEST(BCrypt, random_bytes_fill_the_buffer) {
  std::string A(64, '\0'), B(64, '\0');
  ASSERT_EQ(GenRandom(A.data(), A.size()), STATUS_SUCCESS);
  GenRandomBytes(B.data(), B.size());
  EXPECT_NE(A, std::string(64, '\0'));
  EXPECT_NE(A, B);
  EXPECT_EQ(GenRandom(nullptr, 0), STATUS_SUCCESS);
}

TEST(BCrypt, secrets_are_wiped_and_compared_whole) {
  std::string Secret = "pre-master";
  WipeBytes(Secret);
  EXPECT_TRUE(Secret.empty());
  struct {
    std::string_view A, B;
    bool Equal;
  } Cases[] = {{"", "", true}, {"abc", "abc", true}, {"abc", "abd", false}, {"abc", "ab", false},
               {std::string_view("a\0c", 3), std::string_view("a\0d", 3), false}};
  for (const auto& C : Cases) EXPECT_EQ(ConstantTimeEqual(C.A, C.B), C.Equal) << C.A << " / " << C.B;
}

// Test case 16 of "The Galois/Counter Mode of Operation (GCM)" (McGrew and
// Viega): AES-256, 96-bit IV, 20 bytes of additional data.
const std::string Key = FromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
const std::string Nonce = FromHex("cafebabefacedbaddecaf888");
const std::string AAD = FromHex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
const std::string Plain = FromHex(
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5"
    "aa0de657ba637b39");
const std::string Sealed = FromHex(
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e63"
    "93ba7a0abcc9f662"
    "76fc6ece0f4e1768cddf8853bb2d551b");

TEST(BCrypt, aes_gcm_gives_the_published_ciphertext_and_tag) {
  std::string Out(Plain.size() + AESGCMTagSize, '\0');
  ASSERT_EQ(AESGCMEncrypt(Key, Nonce, AAD, Plain, Out.data()), STATUS_SUCCESS);
  EXPECT_EQ(Out, Sealed);
  std::string Back(Plain.size(), '\0');
  ASSERT_EQ(AESGCMDecrypt(Key, Nonce, AAD, Sealed, Back.data()), STATUS_SUCCESS);
  EXPECT_EQ(Back, Plain);
}

TEST(BCrypt, aes_gcm_refuses_altered_input_and_bad_sizes) {
  struct {
    const char* Name;
    std::string Key, Nonce, AAD, Sealed;
    uint32_t Status;
  } Cases[] = {
      {"tag", Key, Nonce, AAD, Sealed.substr(0, Sealed.size() - 1) + "\x1c", STATUS_AUTH_TAG_MISMATCH},
      {"ciphertext", Key, Nonce, AAD, "\x53" + Sealed.substr(1), STATUS_AUTH_TAG_MISMATCH},
      {"additional data", Key, Nonce, AAD + "x", Sealed, STATUS_AUTH_TAG_MISMATCH},
      {"shorter than a tag", Key, Nonce, AAD, Sealed.substr(0, 15), STATUS_INVALID_PARAMETER},
      {"key size", Key.substr(0, 24), Nonce, AAD, Sealed, STATUS_INVALID_PARAMETER},
      {"nonce size", Key, Nonce.substr(0, 8), AAD, Sealed, STATUS_INVALID_PARAMETER},
  };
  for (const auto& C : Cases) {
    std::string Out(C.Sealed.size() < AESGCMTagSize ? 0 : C.Sealed.size() - AESGCMTagSize, 'x');
    EXPECT_EQ(AESGCMDecrypt(C.Key, C.Nonce, C.AAD, C.Sealed, Out.data()), C.Status) << C.Name;
    if (C.Status == STATUS_AUTH_TAG_MISMATCH) {
      EXPECT_EQ(Out, std::string(Out.size(), '\0')) << C.Name;
    }
  }
  std::string Out(Plain.size() + AESGCMTagSize, '\0');
  EXPECT_EQ(AESGCMEncrypt(Key.substr(1), Nonce, AAD, Plain, Out.data()), STATUS_INVALID_PARAMETER);
}

}  // namespace
