// SHA-256 (FIPS 180-4 §6.2) as plain routines on a context the caller owns.
// Blocks are compressed with the processor's SHA instructions when it has
// them, else by portable code; the choice is made once, at the first use.
// The byte count is kept in 64 bits, so a message may exceed 4 GiB.
// Nothing here throws or allocates, apart from the returned digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vantrel {

struct TSHA256Context {
  uint64_t Count = 0;    // bytes hashed so far; Count % 64 of them wait in Buffer
  uint32_t State[8] = {};
  uint8_t Buffer[64] = {};
};

inline constexpr size_t SHA256DigestSize = 32;

namespace detail {
void SHA256Compress(TSHA256Context& Context);  // transforms the full Buffer

// Test seam: which compression the next blocks use. Hardware is refused
// (false) when the processor lacks the instructions.
bool SHA256HardwareAvailable();
bool SHA256UseHardware(bool Enable);
}  // namespace detail

void SHA256Init(TSHA256Context& Context);
void SHA256Update(TSHA256Context& Context, const void* Data, size_t Size);

inline void SHA256UpdateByte(TSHA256Context& Context, uint8_t B) {
  Context.Buffer[Context.Count++ & 63] = B;
  if ((Context.Count & 63) == 0) detail::SHA256Compress(Context);
}

// Byte arrays are std::string holding the bytes, as elsewhere in the library.
// Pads, writes the 32-byte digest (chaining words big-endian) and clears the context.
void SHA256Final(TSHA256Context& Context, uint8_t (&Digest)[SHA256DigestSize]);
std::string SHA256Final(TSHA256Context& Context);

}  // namespace Vantrel
