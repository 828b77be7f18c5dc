// The record layer of the own TLS engine (RFC 5246 §6.2): records out
// through OnSendData, application data in, and the framing of a received
// byte stream into whole records.
#include <cassert>
#include <cstring>

#include "Vantrel.ByteReader.h"
#include "Vantrel.TinyTLS12.h"

namespace Vantrel {

void TTinyTLS::SendRecord(uint8_t ContentType, std::string_view Fragment) {
  if (FCipherEncode) {
    FCipherEncode->Encrypt(ContentType, Fragment, FOut);
  } else {
    TByteWriter W;
    W.PutU8(ContentType);
    W.PutU16(TLS_VERSION_1_2);
    W.PutU16(uint16_t(Fragment.size()));
    FOut += W.Data();
    FOut.append(Fragment);
  }
  if (!FHoldOutput) FlushOutput();
}

void TTinyTLS::FlushOutput() {
  if (OnSendData && !FOut.empty()) OnSendData(*this, FOut.data(), FOut.size());
  FOut.clear();
}

void TTinyTLS::SendApplicationData(const void* Data, size_t Size) {
  assert(FCipherEncode && "application data before the handshake");
  if (!FCipherEncode) throw std::logic_error("TLS connection not established");
  // Records of the largest size the cipher allows, handed out a few at a
  // time so that the transport sees large writes.
  constexpr size_t Batch = 4;
  const size_t Max = FCipherEncode->MaxSize();
  auto* P = static_cast<const char*>(Data);
  FOut.clear();
  size_t Records = 0;
  while (Size) {
    size_t Take = std::min(Size, Max);
    FCipherEncode->Encrypt(ctApplicationData, std::string_view(P, Take), FOut);
    P += Take;
    Size -= Take;
    if (++Records == Batch || !Size) {
      if (OnSendData) OnSendData(*this, FOut.data(), FOut.size());
      FOut.clear();
      Records = 0;
    }
  }
}

bool TTinyTLS::DecodeApplicationData(TTLSRecord& Record) {
  if (Record.Version != TLS_VERSION_1_2) RaiseHandshakeFailure("Not a TLS 1.2 message");
  if (!FCipherDecode || !FActive) RaiseHandshakeFailure("Unexpected Record");
  FCipherDecode->Decrypt(Record);
  if (Record.ContentType != ctApplicationData) throw std::runtime_error("Expected ApplicationData");
  return true;
}

// ---- Framing ----

TTLSRecordReader::TTLSRecordReader() : FBuffer(new char[Capacity]) {}

std::string_view TTLSRecordReader::Next(const TSource& Source) {
  for (;;) {
    size_t Held = FTail - FStart;
    if (Held >= 5) {
      TByteReader Header(std::string_view(FBuffer.get() + FStart, 5));
      uint8_t Type = 0;
      uint16_t Version = 0, Length = 0;
      Header.ReadU8(Type);
      Header.ReadU16(Version);
      Header.ReadU16(Length);
      size_t Whole = 5 + size_t(Length);
      if (Whole > Capacity) RaiseOverflow("Record");
      if (Held >= Whole) {
        std::string_view Record(FBuffer.get() + FStart, Whole);
        FStart += Whole;
        if (FStart == FTail) FStart = FTail = 0;
        return Record;
      }
      if (FStart + Whole > Capacity) {  // would run past the end: move to the front
        std::memmove(FBuffer.get(), FBuffer.get() + FStart, Held);
        FStart = 0;
        FTail = Held;
      }
    } else if (FStart && FStart + 5 > Capacity) {
      std::memmove(FBuffer.get(), FBuffer.get() + FStart, Held);
      FStart = 0;
      FTail = Held;
    }
    size_t Got = Source(FBuffer.get() + FTail, Capacity - FTail);
    if (!Got) throw std::runtime_error("Read Error");
    FTail += Got;
  }
}

}  // namespace Vantrel
