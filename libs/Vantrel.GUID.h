// The platform GUID record, shared by the message builders and the type
// descriptors, with its byte and text conversions. Its big-endian byte order
// is the order in which its standard text shows it: the first field most
// significant byte first, then the two 16-bit fields likewise, then the eight
// single bytes in order.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Vantrel {

struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0, D3 = 0;
  std::array<uint8_t, 8> D4{};
  bool operator==(const TGUID&) const = default;
};

std::array<uint8_t, 16> GUIDToBytes(const TGUID& G);
TGUID GUIDFromBytes(const std::array<uint8_t, 16>& Bytes);

// A random version-4 GUID (RFC 4122 §4.4).
TGUID NewGUID();

// The 36-character hexadecimal text grouped 8-4-4-4-12, without braces.
std::string GUIDToHexText(const TGUID& G, bool UpperCase);

}  // namespace Vantrel
