// A stand-in for the card reader's library, for tests and the demo. Each
// entry point reads its scenario from the environment at every call, so a
// test can change the card between two readings:
//   APILEC_STUB_OPEN    result of the session opening (0, 21, 32...)
//   APILEC_STUB_INSERT  result of the card indicator call
//   APILEC_STUB_CODE    additional code given with every result
//   APILEC_STUB_CARD    the card indicator word (low byte not 0: no card)
//   APILEC_STUB_XML     the file whose bytes the reading copies
//   APILEC_STUB_READ    result of the reading (0, 104 or an error)
//   APILEC_STUB_LENGTH  a length to report instead of the true one
//   APILEC_STUB_CLOSE   result of the session closing
//   APILEC_STUB_LOG     file to which each call appends one line
// Numbers are decimal or 0x-hexadecimal. Built with APILEC_STUB_NO_READ it
// lacks the reading entry point.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstdarg>

namespace {

uint16_t Setting(const char* Name, uint16_t Default) {
  const char* Value = std::getenv(Name);
  return Value && *Value ? uint16_t(std::strtoul(Value, nullptr, 0)) : Default;
}

void Log(const char* Format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* Format, ...) {
  const char* Name = std::getenv("APILEC_STUB_LOG");
  if (!Name || !*Name) return;
  FILE* F = std::fopen(Name, "a");
  if (!F) return;
  va_list Args;
  va_start(Args, Format);
  std::vfprintf(F, Format, Args);
  va_end(Args);
  std::fputc('\n', F);
  std::fclose(F);
}

uint16_t Code() { return Setting("APILEC_STUB_CODE", 0); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) uint16_t Lec_OuvertureSessionVitale(const char* Path, const char* AppName,
                                                                           uint16_t* Session, uint16_t* Code_) {
  Log("Lec_OuvertureSessionVitale path=%s app=%s", Path, AppName);
  *Session = 7;
  *Code_ = Code();
  return Setting("APILEC_STUB_OPEN", 0);
}

__attribute__((visibility("default"))) uint16_t Lec_IntroductionMstVitale(uint16_t Session, uint16_t Reserved,
                                                                          uint16_t* Card, uint16_t* Code_) {
  Log("Lec_IntroductionMstVitale session=%u reserved=%u", Session, Reserved);
  *Card = Setting("APILEC_STUB_CARD", 0);
  *Code_ = Code();
  return Setting("APILEC_STUB_INSERT", 0);
}

__attribute__((visibility("default"))) uint16_t Lec_RetraitMhtVitale(uint16_t Session, uint16_t Reserved,
                                                                     uint16_t* Code_) {
  Log("Lec_RetraitMhtVitale session=%u reserved=%u", Session, Reserved);
  *Code_ = 0;
  return 0;
}

__attribute__((visibility("default"))) uint16_t Lec_FermetureSessionVitale(uint16_t Session, uint16_t* Code_) {
  Log("Lec_FermetureSessionVitale session=%u", Session);
  *Code_ = Code();
  return Setting("APILEC_STUB_CLOSE", 0);
}

#ifndef APILEC_STUB_NO_READ
__attribute__((visibility("default"))) uint16_t Lec_LectureVitale(uint16_t Session, uint16_t Reserved, char* Buffer,
                                                                  uint16_t* Length, uint16_t* Code_) {
  Log("Lec_LectureVitale session=%u reserved=%u size=%u", Session, Reserved, unsigned(*Length));
  *Code_ = Code();
  size_t Copied = 0;
  const char* Name = std::getenv("APILEC_STUB_XML");
  if (FILE* F = Name && *Name ? std::fopen(Name, "rb") : nullptr) {
    Copied = std::fread(Buffer, 1, *Length, F);
    std::fclose(F);
  }
  *Length = Setting("APILEC_STUB_LENGTH", uint16_t(Copied));
  return Setting("APILEC_STUB_READ", 0);
}
#endif
}
