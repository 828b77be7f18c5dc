// SHA-1 (FIPS 180-4 §6.1) as plain routines on a context the caller owns.
// Blocks are compressed with the processor's SHA instructions when it has
// them, else by portable code; the choice is made once, at the first use.
// The byte count is kept in 64 bits, so a message may exceed 4 GiB.
// Nothing here throws or allocates, apart from the returned digest and text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel {

struct TSHA1Context {
  uint64_t Count = 0;    // bytes hashed so far; Count % 64 of them wait in Buffer
  uint32_t State[5] = {};
  uint8_t Buffer[64] = {};
};

inline constexpr size_t SHA1DigestSize = 20;

namespace detail {
void SHA1Compress(TSHA1Context& Context);  // transforms the full Buffer

// Test seam: which compression the next blocks use. Hardware is refused
// (false) when the processor lacks the instructions.
bool SHA1HardwareAvailable();
bool SHA1UseHardware(bool Enable);

// The framing SHA-1 and SHA-256 share (FIPS 180-4 §5.1.1): 64-byte blocks,
// Count % 64 bytes waiting in Buffer, and at the end the 0x80 byte, zeros and
// the 64-bit big-endian bit count.
using TSHABlocks = void (*)(uint32_t* State, const uint8_t* Data, size_t Blocks);
void SHABlocksUpdate(TSHABlocks Compress, uint32_t* State, uint8_t (&Buffer)[64], uint64_t& Count,
                     const void* Data, size_t Size);
// Pads, compresses and writes the Words chaining words big-endian.
void SHABlocksFinal(TSHABlocks Compress, uint32_t* State, uint8_t (&Buffer)[64], uint64_t Count,
                    uint8_t* Digest, size_t Words);
}  // namespace detail

void SHA1Init(TSHA1Context& Context);
void SHA1Update(TSHA1Context& Context, const void* Data, size_t Size);

inline void SHA1UpdateByte(TSHA1Context& Context, uint8_t B) {
  Context.Buffer[Context.Count++ & 63] = B;
  if ((Context.Count & 63) == 0) detail::SHA1Compress(Context);
}

// Byte arrays are std::string holding the bytes, as elsewhere in the library.
// Pads, writes the 20-byte digest (chaining words big-endian) and clears the context.
void SHA1Final(TSHA1Context& Context, uint8_t (&Digest)[SHA1DigestSize]);
std::string SHA1Final(TSHA1Context& Context);

// SHA-1 of a buffer or of the bytes of a string, as standard padded Base64.
std::string SHA1Base64Buffer(const void* Data, size_t Size);
std::string SHA1Base64(std::string_view S);

}  // namespace Vantrel
