#include "Vantrel.GUID.h"

#include "Vantrel.Winapi.BCrypt.h"

namespace Vantrel {

std::array<uint8_t, 16> GUIDToBytes(const TGUID& G) {
  return {uint8_t(G.D1 >> 24), uint8_t(G.D1 >> 16), uint8_t(G.D1 >> 8), uint8_t(G.D1),
          uint8_t(G.D2 >> 8),  uint8_t(G.D2),       uint8_t(G.D3 >> 8), uint8_t(G.D3),
          G.D4[0], G.D4[1], G.D4[2], G.D4[3], G.D4[4], G.D4[5], G.D4[6], G.D4[7]};
}

TGUID GUIDFromBytes(const std::array<uint8_t, 16>& B) {
  TGUID G;
  G.D1 = uint32_t(B[0]) << 24 | uint32_t(B[1]) << 16 | uint32_t(B[2]) << 8 | B[3];
  G.D2 = uint16_t(B[4] << 8 | B[5]);
  G.D3 = uint16_t(B[6] << 8 | B[7]);
  for (int I = 0; I < 8; ++I) G.D4[I] = B[8 + I];
  return G;
}

TGUID NewGUID() {
  std::array<uint8_t, 16> B;
  GenRandomBytes(B.data(), B.size());
  B[6] = uint8_t((B[6] & 0x0F) | 0x40);  // version 4
  B[8] = uint8_t((B[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return GUIDFromBytes(B);
}

std::string GUIDToHexText(const TGUID& G, bool UpperCase) {
  const char* Digits = UpperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  const auto B = GUIDToBytes(G);
  std::string S;
  S.reserve(36);
  for (int I = 0; I < 16; ++I) {
    if (I == 4 || I == 6 || I == 8 || I == 10) S += '-';
    S += Digits[B[I] >> 4];
    S += Digits[B[I] & 15];
  }
  return S;
}

}  // namespace Vantrel
