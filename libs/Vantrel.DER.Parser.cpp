#include "Vantrel.DER.Parser.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace Vantrel {

namespace {

constexpr uint8_t TagOID = 6;

void AppendNumber(std::string& Out, uint64_t Value) {
  char Buf[24];
  auto Res = std::to_chars(Buf, Buf + sizeof Buf, Value);
  Out.append(Buf, Res.ptr);
}

}  // namespace

void TDERChunk::SetWindow(std::string_view Window, size_t Base) {
  FWindow = Window;
  FBase = Base;
  FReader = TByteReader(Window, Base);
  FEof = Window.empty();
}

TDERChunk TDERChunk::Init(std::string_view Bytes) {
  // Sizes are 32-bit, as on the card.
  if (Bytes.size() > std::numeric_limits<uint32_t>::max()) throw EDERError("Sub chunk to large", 0);
  TDERChunk C;
  C.SetWindow(Bytes, 0);
  return C;
}

uint8_t TDERChunk::ReadByte() {
  uint8_t B = 0;
  if (FEof || !FReader.ReadU8(B)) throw EDERError("read after end of chunk", FReader.Offset());
  if (FReader.Empty()) FEof = true;
  return B;
}

uint32_t TDERChunk::ReadLength() {
  size_t At = FReader.Offset();
  uint8_t B = ReadByte();
  if (B <= 0x80) return B;
  unsigned Count = B - 0x80u;
  if (Count > 4) throw EDERError("Length field too long", At);
  uint32_t Len = 0;
  for (unsigned I = 0; I < Count; ++I) Len = (Len << 8) | ReadByte();
  return Len;
}

void TDERChunk::EnterTag(uint8_t Tag) {
  size_t At = FReader.Offset();
  uint8_t B = ReadByte();
  if (B != Tag) throw EDERError("Expected Tag " + std::to_string(unsigned(Tag)) + " not found", At);
  uint32_t Len = ReadLength();
  std::string_view Content;
  size_t ContentAt = FReader.Offset();
  if (!FReader.ReadBytes(Len, Content)) throw EDERError("Sub chunk to large", ContentAt);
  FTag = B;
  SetWindow(Content, ContentAt);
}

bool TDERChunk::GetChunk(TDERChunk& Sub) {
  size_t At = FReader.Offset();
  uint8_t T = ReadByte();
  uint32_t Len = ReadLength();
  if (Len > FReader.Remaining()) {
    if (T != 0) throw EDERError("Sub chunk to large", At);
    Len = uint32_t(FReader.Remaining());  // clamped to the bytes present
  }
  TDERChunk Next;
  size_t ContentAt = FReader.Offset();
  std::string_view Content;
  FReader.ReadBytes(Len, Content);  // cannot fail: Len <= Remaining()
  Next.SetWindow(Content, ContentAt);
  Next.FTag = T;
  uint8_t B = 0;
  FEof = !FReader.Peek(B) || B == 0;
  Sub = Next;
  return FEof;
}

bool TDERChunk::SkipTag(uint8_t Tag) {
  size_t At = FReader.Offset();
  TDERChunk Scratch;
  GetChunk(Scratch);
  if (Scratch.FTag != Tag) throw EDERError("Expacted tag not found", At);
  return FEof;
}

std::string TDERChunk::AsOID() {
  if (FTag != TagOID) throw EDERError("Not an OID", FReader.Offset());
  // X.690 §8.19: base-128 subidentifiers, high bit = more bytes follow; the
  // first one packs the first two arcs (X * 40 + Y, X at most 2).
  auto ReadArc = [this] {
    uint64_t V = 0;
    for (;;) {
      size_t At = FReader.Offset();
      uint8_t B = ReadByte();
      if (V >> 57) throw EDERError("OID arc too large", At);
      V = (V << 7) | (B & 0x7F);
      if (!(B & 0x80)) return V;
    }
  };
  uint64_t First = ReadArc();
  std::string Out;
  uint64_t Top = First < 40 ? 0 : First < 80 ? 1 : 2;
  AppendNumber(Out, Top);
  Out += '.';
  AppendNumber(Out, First - 40 * Top);
  while (!FEof) {
    Out += '.';
    AppendNumber(Out, ReadArc());
  }
  return Out;
}

std::string TDERChunk::AsBCD() {
  std::string Out;
  uint8_t Last = 0;
  while (!FEof) {
    Last = ReadByte();
    Out += char('0' + (Last >> 4));
    Out += char('0' + (Last & 0x0F));
  }
  if (!Out.empty() && (Last & 0x0F) == 0x0F) Out.pop_back();
  return Out;
}

uint8_t TDERChunk::AsByte() {
  if (FWindow.size() != 1) throw EDERError("Not a byte", FBase);
  return ReadByte();
}

}  // namespace Vantrel
