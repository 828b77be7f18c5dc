// SHA-1 and SHA-256 against coreutils' sha1sum / sha256sum and OpenSSL's
// command line, and past 4 GiB against OpenSSL's EVP digest.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Vantrel.SHA1.h"
#include "Vantrel.SHA256.h"

using namespace Vantrel;


namespace {

std::string Hex(const std::string& D) { return TestSupport::ToHex(D); }

std::string FirstWord(const std::string& S) { return S.substr(0, S.find(' ')); }

}  // namespace

TEST(SHA, agrees_with_sha1sum_and_sha256sum_on_random_lengths) {
  SKIP_UNLESS_TOOL("sha1sum");
  SKIP_UNLESS_TOOL("sha256sum");
  for (size_t Len : {size_t(1), size_t(55), size_t(56), size_t(63), size_t(64), size_t(65), size_t(119),
                     size_t(120), size_t(1000), size_t(65537), size_t(1234567)}) {
    const std::string Msg = TestSupport::RandomBytes(Len, Len);
    TSHA1Context C1;
    SHA1Init(C1);
    SHA1Update(C1, Msg.data(), Msg.size());
    EXPECT_EQ(Hex(SHA1Final(C1)), FirstWord(TestSupport::Run({"sha1sum"}, Msg).Out)) << Len;
    TSHA256Context C2;
    SHA256Init(C2);
    SHA256Update(C2, Msg.data(), Msg.size());
    EXPECT_EQ(Hex(SHA256Final(C2)), FirstWord(TestSupport::Run({"sha256sum"}, Msg).Out)) << Len;
  }
}

TEST(SHA, base64_digest_agrees_with_openssl_dgst) {
  SKIP_UNLESS_TOOL("openssl");
  for (const std::string& Msg : {std::string(), std::string("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11"),
                                 TestSupport::RandomBytes(777, 3)}) {
    auto R = TestSupport::Run({"sh", "-c", "openssl dgst -sha1 -binary | base64"}, Msg);
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(SHA1Base64(Msg) + "\n", R.Out);
    EXPECT_EQ(SHA1Base64Buffer(Msg.data(), Msg.size()), SHA1Base64(Msg));
  }
}

// The length goes into the padding as a 64-bit bit count: a message past
// 4 GiB must not wrap. Only with the SHA instructions, so that it stays quick.
TEST(SHA, counts_messages_past_four_gibibytes) {
  if (!detail::SHA1HardwareAvailable()) GTEST_SKIP() << "no SHA instructions: too slow to run";
  const std::string Chunk = TestSupport::RandomBytes(1 << 20, 42);
  const size_t Chunks = 4096 + 3;  // 4 GiB + 3 MiB
  TSHA1Context Ours;
  SHA1Init(Ours);
  EVP_MD_CTX* Peer = EVP_MD_CTX_new();
  ASSERT_EQ(EVP_DigestInit_ex(Peer, EVP_sha1(), nullptr), 1);
  for (size_t I = 0; I < Chunks; ++I) {
    SHA1Update(Ours, Chunk.data(), Chunk.size() - (I == Chunks - 1 ? 5 : 0));
    EVP_DigestUpdate(Peer, Chunk.data(), Chunk.size() - (I == Chunks - 1 ? 5 : 0));
  }
  unsigned char Out[EVP_MAX_MD_SIZE];
  unsigned Len = 0;
  EVP_DigestFinal_ex(Peer, Out, &Len);
  EVP_MD_CTX_free(Peer);
  EXPECT_EQ(Hex(SHA1Final(Ours)), Hex(std::string(reinterpret_cast<const char*>(Out), Len)));
}
