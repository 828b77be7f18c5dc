// The platform GUID record, shared by the message builders and the type
// descriptors. Its big-endian byte order is the order in which its standard
// text shows it; conversions and texts live with the units that need them.
#pragma once

#include <array>
#include <cstdint>

namespace Vantrel {

struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0, D3 = 0;
  std::array<uint8_t, 8> D4{};
  bool operator==(const TGUID&) const = default;
};

}  // namespace Vantrel
