// SHA-1 and SHA-256: the FIPS 180-4 example messages, and agreement with
// OpenSSL on random messages fed in random pieces, on both compression paths.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "TestSupport.h"
#include "Vantrel.SHA1.h"
#include "Vantrel.SHA256.h"

using namespace Vantrel;

namespace {

struct TSHA1 {
  using Context = TSHA1Context;
  static void Init(Context& C) { SHA1Init(C); }
  static void Update(Context& C, const void* P, size_t N) { SHA1Update(C, P, N); }
  static void UpdateByte(Context& C, uint8_t B) { SHA1UpdateByte(C, B); }
  static std::string Final(Context& C) { return SHA1Final(C); }
  static bool Hardware() { return detail::SHA1HardwareAvailable(); }
  static bool Use(bool H) { return detail::SHA1UseHardware(H); }
  static const EVP_MD* Peer() { return EVP_sha1(); }
};

struct TSHA256 {
  using Context = TSHA256Context;
  static void Init(Context& C) { SHA256Init(C); }
  static void Update(Context& C, const void* P, size_t N) { SHA256Update(C, P, N); }
  static void UpdateByte(Context& C, uint8_t B) { SHA256UpdateByte(C, B); }
  static std::string Final(Context& C) { return SHA256Final(C); }
  static bool Hardware() { return detail::SHA256HardwareAvailable(); }
  static bool Use(bool H) { return detail::SHA256UseHardware(H); }
  static const EVP_MD* Peer() { return EVP_sha256(); }
};

std::string Hex(const std::string& D) { return TestSupport::ToHex(D); }

std::string PeerHex(const EVP_MD* Md, const std::string& Msg) {
  unsigned char Out[EVP_MAX_MD_SIZE];
  unsigned Len = 0;
  EXPECT_EQ(EVP_Digest(Msg.data(), Msg.size(), Out, &Len, Md, nullptr), 1);
  return Hex(std::string(reinterpret_cast<const char*>(Out), Len));
}

// Runs Body once per compression path this processor offers, then restores the default.
template <typename H, typename F>
void ForEachEngine(F Body) {
  for (bool Hardware : {false, true}) {
    if (Hardware && !H::Hardware()) continue;
    ASSERT_TRUE(H::Use(Hardware));
    SCOPED_TRACE(Hardware ? "SHA instructions" : "portable");
    Body();
  }
  H::Use(H::Hardware());
}

template <typename H>
class SHA : public ::testing::Test {};
using Hashes = ::testing::Types<TSHA1, TSHA256>;
TYPED_TEST_SUITE(SHA, Hashes);

struct Vector {
  std::string Message;
  const char* Sha1;
  const char* Sha256;
};

const std::vector<Vector>& FipsVectors() {
  static const std::vector<Vector> V = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstn"
       "opqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  return V;
}

}  // namespace

TYPED_TEST(SHA, gives_the_fips_digests_whole_and_byte_by_byte) {
  using H = TypeParam;
  ForEachEngine<H>([] {
    for (const auto& V : FipsVectors()) {
      const std::string Expected = std::is_same_v<H, TSHA1> ? V.Sha1 : V.Sha256;
      SCOPED_TRACE("message of " + std::to_string(V.Message.size()) + " bytes");
      typename H::Context C;
      H::Init(C);
      H::Update(C, V.Message.data(), V.Message.size());
      EXPECT_EQ(Hex(H::Final(C)), Expected);
      // Final leaves a cleared context: a second message needs Init again.
      H::Init(C);
      for (char Ch : V.Message) H::UpdateByte(C, uint8_t(Ch));
      EXPECT_EQ(Hex(H::Final(C)), Expected);
    }
  });
}

TYPED_TEST(SHA, agrees_with_openssl_on_random_pieces_around_block_edges) {
  using H = TypeParam;
  ForEachEngine<H>([] {
    std::mt19937_64 Rng(1234);
    std::vector<size_t> Lengths;
    for (size_t Edge : {0, 64, 128, 192, 4096})
      for (size_t D = Edge < 9 ? 0 : Edge - 9; D <= Edge + 9; ++D) Lengths.push_back(D);
    for (int I = 0; I < 40; ++I) Lengths.push_back(size_t(Rng() % 5000));
    for (size_t Len : Lengths) {
      const std::string Msg = TestSupport::RandomBytes(Len, Len * 7 + 1);
      typename H::Context C;
      H::Init(C);
      // Pieces of random sizes, some bytes fed one at a time, crossing the block edges anyhow.
      for (size_t At = 0; At < Len;) {
        const size_t Piece = std::min<size_t>(Len - At, Rng() % 150);
        if (Rng() % 3 == 0)
          for (size_t K = 0; K < Piece; ++K) H::UpdateByte(C, uint8_t(Msg[At + K]));
        else
          H::Update(C, Msg.data() + At, Piece);
        At += Piece;
      }
      EXPECT_EQ(Hex(H::Final(C)), PeerHex(H::Peer(), Msg)) << "length " << Len;
    }
  });
}
