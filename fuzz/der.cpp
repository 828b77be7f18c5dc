// The DER cursor on any bytes: it raises EDERError or walks, never reads
// outside the input. A certificate that OpenSSL accepts in its canonical DER
// form must walk to the end, with every OID read as OpenSSL reads it.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vantrel.DER.Parser.h"

using namespace Vantrel;

namespace {

void CheckOID(const TDERChunk& Value) {
  TDERChunk Copy = Value;
  std::string Ours;
  try {
    Ours = Copy.AsOID();
  } catch (const EDERError&) {
    return;  // an arc beyond 64 bits
  }
  // Rebuild the TLV from the value itself, for OpenSSL.
  std::string Tlv = "\x06";
  if (Value.Size() < 128) {
    Tlv += char(Value.Size());
  } else {
    Tlv += "\x84";
    for (int Shift = 24; Shift >= 0; Shift -= 8) Tlv += char((Value.Size() >> Shift) & 0xFF);
  }
  Tlv += Value.Data();
  const unsigned char* P = reinterpret_cast<const unsigned char*>(Tlv.data());
  ASN1_OBJECT* Obj = d2i_ASN1_OBJECT(nullptr, &P, long(Tlv.size()));
  if (!Obj) return;
  char Text[1024];
  int N = OBJ_obj2txt(Text, sizeof Text, Obj, 1);
  ASN1_OBJECT_free(Obj);
  if (N > 0 && size_t(N) < sizeof Text && Ours != Text) abort();
}

void Walk(TDERChunk& C, int Depth) {
  TDERChunk Sub;
  while (!C.Eof()) {
    C.GetChunk(Sub);
    if (Sub.Tag() == 6) CheckOID(Sub);
    if ((Sub.Tag() & 0x20) && !Sub.Eof() && Depth < 64) Walk(Sub, Depth + 1);
  }
}

bool IsCanonicalCertificate(std::string_view Der) {
  const unsigned char* P = reinterpret_cast<const unsigned char*>(Der.data());
  X509* Cert = d2i_X509(nullptr, &P, long(Der.size()));
  if (!Cert) return false;
  unsigned char* Out = nullptr;
  int Len = i2d_X509(Cert, &Out);
  bool Same = Len > 0 && size_t(Len) == Der.size() && std::string_view(reinterpret_cast<char*>(Out), size_t(Len)) == Der;
  OPENSSL_free(Out);
  X509_free(Cert);
  return Same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view Der(reinterpret_cast<const char*>(Data), Size);
  bool Walked = true;
  try {
    TDERChunk C = TDERChunk::Init(Der);
    Walk(C, 0);
    if (Size > 0) {
      TDERChunk B = TDERChunk::Init(Der);
      B.AsBCD();
    }
  } catch (const EDERError& E) {
    if (E.Offset > Size) abort();
    Walked = false;
  }
  if (!Walked && IsCanonicalCertificate(Der)) abort();
  return 0;
}
