// Cursor over BER/DER tag-length-value data (ITU-T X.690) read from the CPS
// card: certificates and the card's own data objects.
//
// A TDERChunk is a window on the caller's bytes with a read position. Entering
// a tag narrows the window to that value's content; GetChunk hands out the
// next value as a window of its own and steps over it. Every read goes
// through a bounds-checked TByteReader, so no length read from the input can
// move a window past the bytes it came from. Only single-byte tags are
// understood. The bytes belong to the caller and must outlive every chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.ByteReader.h"

namespace Vantrel {

// Every error of the reader: what() is the message, Offset the absolute byte
// position (from the start of the array given to Init) where it was found.
class EDERError : public std::runtime_error {
 public:
  EDERError(const std::string& Message, size_t AOffset) : std::runtime_error(Message), Offset(AOffset) {}
  size_t Offset;
};

class TDERChunk {
 public:
  // The whole array as the window; the end flag is set for an empty array.
  static TDERChunk Init(std::string_view Bytes);

  uint8_t ReadByte();
  // X.690 §8.1.3: a first byte up to 0x80 is the length itself (0x80 is read
  // as 128, as the card data has it); otherwise it counts the big-endian
  // length bytes that follow, at most 4.
  uint32_t ReadLength();

  // Reads Tag and a length, and narrows the window to the content.
  void EnterTag(uint8_t Tag);
  // The next value's content into Sub, stepping over it; true (also kept as
  // the end flag) when the window is exhausted or the next byte is 0.
  bool GetChunk(TDERChunk& Sub);
  // GetChunk into a scratch chunk whose tag must be Tag; answers the end flag.
  bool SkipTag(uint8_t Tag);

  std::string AsAnsiString() const { return std::string(FWindow); }
  std::string AsUTF8String() const { return std::string(FWindow); }
  std::string AsOID();  // dotted text, X.690 §8.19
  std::string AsBCD();  // packed BCD digits, a final 0xF nibble dropped
  uint8_t AsByte();

  std::string_view Data() const { return FWindow; }
  uint32_t Size() const { return uint32_t(FWindow.size()); }
  uint32_t Position() const { return uint32_t(FReader.Offset() - FBase); }
  bool Eof() const { return FEof; }
  uint8_t Tag() const { return FTag; }
  size_t Offset() const { return FReader.Offset(); }  // absolute read position

 private:
  void SetWindow(std::string_view Window, size_t Base);

  std::string_view FWindow;
  size_t FBase = 0;  // absolute offset of FWindow's first byte
  TByteReader FReader;
  bool FEof = true;
  uint8_t FTag = 0;
};

}  // namespace Vantrel
