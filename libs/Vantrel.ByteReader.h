// Bounds-checked reading and writing of wire bytes. Every parser of outside
// input (TLS records, DER, MIME, HTTP framing, WebSocket frames) reads
// through TByteReader: each read checks the remaining length before it moves,
// and Sub(n) hands out a bounded child so that a length read from the input
// can never reach past its window. Reads answer false instead of throwing,
// so each parser raises its own error with its own message; Offset() gives
// the absolute position for that message.
//
// TByteWriter builds messages with big-endian length fields that are reserved
// first and filled in when the body is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel {

class TByteReader {
 public:
  TByteReader() = default;
  explicit TByteReader(std::string_view Data, size_t BaseOffset = 0)
      : FData(Data), FBase(BaseOffset) {}

  size_t Remaining() const { return FData.size() - FPos; }
  bool Empty() const { return FPos == FData.size(); }
  size_t Offset() const { return FBase + FPos; }  // absolute, for error messages
  std::string_view Rest() const { return FData.substr(FPos); }

  bool Peek(uint8_t& B) const {
    if (Empty()) return false;
    B = uint8_t(FData[FPos]);
    return true;
  }
  bool ReadU8(uint8_t& B) {
    if (!Peek(B)) return false;
    ++FPos;
    return true;
  }
  bool ReadU16(uint16_t& V) { return ReadBE(2, V); }
  bool ReadU24(uint32_t& V) { return ReadBE(3, V); }
  bool ReadU32(uint32_t& V) { return ReadBE(4, V); }
  bool ReadU64(uint64_t& V) { return ReadBE(8, V); }

  bool ReadBytes(size_t N, std::string_view& Out) {
    if (N > Remaining()) return false;
    Out = FData.substr(FPos, N);
    FPos += N;
    return true;
  }
  bool Skip(size_t N) {
    std::string_view Ignored;
    return ReadBytes(N, Ignored);
  }
  // A reader over the next N bytes, which this reader then skips.
  bool Sub(size_t N, TByteReader& Child) {
    size_t At = Offset();
    std::string_view Bytes;
    if (!ReadBytes(N, Bytes)) return false;
    Child = TByteReader(Bytes, At);
    return true;
  }

 private:
  template <typename T>
  bool ReadBE(size_t N, T& V) {
    if (N > Remaining()) return false;
    T R = 0;
    for (size_t I = 0; I < N; ++I) R = T(R << 8) | T(uint8_t(FData[FPos + I]));
    FPos += N;
    V = R;
    return true;
  }

  std::string_view FData;
  size_t FPos = 0;
  size_t FBase = 0;
};

class TByteWriter {
 public:
  void PutU8(uint8_t V) { FData += char(V); }
  void PutU16(uint16_t V) { PutBE(V, 2); }
  void PutU24(uint32_t V) { PutBE(V, 3); }
  void PutU32(uint32_t V) { PutBE(V, 4); }
  void PutU64(uint64_t V) { PutBE(V, 8); }
  void PutBytes(std::string_view B) { FData.append(B); }

  // Reserves a Width-byte length field; EndLength fills it with the size of
  // what was written since. Returns the field's position.
  size_t BeginLength(size_t Width) {
    size_t At = FData.size();
    FData.append(Width, '\0');
    FWidths[FDepth < MaxDepth ? FDepth++ : MaxDepth - 1] = Width;
    return At;
  }
  void EndLength(size_t At) {
    size_t Width = FWidths[--FDepth];
    uint64_t Len = FData.size() - At - Width;
    for (size_t I = 0; I < Width; ++I) FData[At + Width - 1 - I] = char((Len >> (8 * I)) & 0xFF);
  }

  const std::string& Data() const { return FData; }
  std::string Take() { return std::move(FData); }
  size_t Size() const { return FData.size(); }

 private:
  static constexpr size_t MaxDepth = 8;
  void PutBE(uint64_t V, size_t N) {
    for (size_t I = N; I-- > 0;) FData += char((V >> (8 * I)) & 0xFF);
  }
  std::string FData;
  size_t FWidths[MaxDepth] = {};
  size_t FDepth = 0;
};

}  // namespace Vantrel
