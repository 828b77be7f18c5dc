// A PKCS#11 module for the tests that stands in front of another one
// (CARVELIN_SHIM_MODULE, default SoftHSM2) and adds what a software token
// cannot show: readers without a card, pulled or swapped cards, PIN flags,
// locked cards, card events and a module that loses its initialisation.
//
// C_GetFunctionList hands out a copy of the real module's list in which only
// the entries below are replaced. Every replaced call first reads the control
// file named by CARVELIN_SHIM_CONTROL (absent: no change), so a test can
// change it between two calls. One "key=value" a line:
//   slots=0              no reader: no slot at all
//   cards=LABEL,...      only the tokens with these labels hold a card
//                        (otherwise every initialised token; an uninitialised
//                        token, such as SoftHSM's spare slot, never does)
//   token_flags=N        ORed into C_GetTokenInfo's flags
//   login_rv=N           C_Login answers N without asking the module
//   sign_rv=N            the next C_Sign answers N and ends the operation
//                        (the line is then removed)
//   event=session|other  the next C_WaitForSlotEvent reports an event on the
//                        open session's slot or on another one (the line is
//                        then removed); a blocking wait waits for this line
//   reset=N              each new N finalises the real module once, so the
//                        next calls answer CKR_CRYPTOKI_NOT_INITIALIZED
//   value_len=N|+N       the size query of CKA_VALUE answers N (-1 for
//                        CK_UNAVAILABLE_INFORMATION), or N more than the truth
//   list_version=M.m     the version C_GetFunctionList reports
//   log=FILE             one line per replaced call: function, slot or
//                        session, result in hexadecimal; C_Login adds the
//                        PIN's length, never the PIN
// Numbers are decimal or 0x-prefixed hexadecimal.
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* DefaultModule = "/usr/lib/softhsm/libsofthsm2.so";

CK_FUNCTION_LIST_PTR Real = nullptr;
CK_FUNCTION_LIST Shim;
std::recursive_mutex Lock;
std::string LastReset;
CK_SLOT_ID SessionSlot = 0;
bool HaveSessionSlot = false;

struct TControl {
  std::optional<CK_ULONG> Slots, TokenFlags, LoginRV, SignRV;
  std::optional<std::vector<std::string>> Cards;
  std::string Event, Reset, ValueLen, ListVersion, Log;
};

std::string ControlPath() {
  const char* Path = std::getenv("CARVELIN_SHIM_CONTROL");
  return Path ? Path : "";
}

CK_ULONG Number(const std::string& Text) { return std::strtoul(Text.c_str(), nullptr, 0); }

TControl ReadControl() {
  TControl C;
  std::ifstream In(ControlPath());
  std::string Line;
  while (std::getline(In, Line)) {
    const size_t Eq = Line.find('=');
    if (Eq == std::string::npos) continue;
    const std::string Key = Line.substr(0, Eq), Value = Line.substr(Eq + 1);
    if (Key == "slots") C.Slots = Number(Value);
    else if (Key == "token_flags") C.TokenFlags = Number(Value);
    else if (Key == "login_rv") C.LoginRV = Number(Value);
    else if (Key == "sign_rv") C.SignRV = Number(Value);
    else if (Key == "event") C.Event = Value;
    else if (Key == "reset") C.Reset = Value;
    else if (Key == "value_len") C.ValueLen = Value;
    else if (Key == "list_version") C.ListVersion = Value;
    else if (Key == "log") C.Log = Value;
    else if (Key == "cards") {
      C.Cards.emplace();
      std::istringstream Labels(Value);
      for (std::string Label; std::getline(Labels, Label, ',');) C.Cards->push_back(Label);
    }
  }
  return C;
}

// Removes a one-shot line once it has been acted upon.
void Consume(const std::string& Key) {
  std::ifstream In(ControlPath());
  std::string Kept, Line;
  while (std::getline(In, Line))
    if (Line.rfind(Key + "=", 0) != 0) Kept += Line + "\n";
  In.close();
  std::ofstream(ControlPath(), std::ios::trunc) << Kept;
}

// Reads the control file and applies a new reset before each replaced call.
TControl Begin() {
  TControl C = ReadControl();
  if (!C.Reset.empty() && C.Reset != LastReset) {
    LastReset = C.Reset;
    Real->C_Finalize(nullptr);
  }
  return C;
}

CK_RV Logged(const TControl& C, const char* Function, const std::string& Handle, CK_RV Result,
             const std::string& Extra = {}) {
  if (!C.Log.empty()) {
    if (FILE* F = std::fopen(C.Log.c_str(), "a")) {
      std::fprintf(F, "%s %s 0x%lx%s\n", Function, Handle.c_str(), static_cast<unsigned long>(Result), Extra.c_str());
      std::fclose(F);
    }
  }
  return Result;
}

std::string Text(CK_ULONG Value) { return std::to_string(Value); }

std::string TrimmedLabel(const CK_TOKEN_INFO& Info) {
  std::string Label(reinterpret_cast<const char*>(Info.label), sizeof Info.label);
  while (!Label.empty() && (Label.back() == ' ' || Label.back() == '\0')) Label.pop_back();
  return Label;
}

bool HasCard(const TControl& C, CK_SLOT_ID Slot) {
  CK_TOKEN_INFO Info{};
  if (Real->C_GetTokenInfo(Slot, &Info) != CKR_OK || !(Info.flags & CKF_TOKEN_INITIALIZED)) return false;
  return !C.Cards || std::find(C.Cards->begin(), C.Cards->end(), TrimmedLabel(Info)) != C.Cards->end();
}

std::vector<CK_SLOT_ID> AllSlots(CK_RV& Result) {
  CK_ULONG Count = 0;
  std::vector<CK_SLOT_ID> Slots;
  Result = Real->C_GetSlotList(CK_FALSE, nullptr, &Count);
  if (Result != CKR_OK) return Slots;
  Slots.resize(Count);
  Result = Real->C_GetSlotList(CK_FALSE, Slots.data(), &Count);
  Slots.resize(Result == CKR_OK ? Count : 0);
  return Slots;
}

CK_RV GetSlotList(CK_BBOOL TokenPresent, CK_SLOT_ID_PTR List, CK_ULONG_PTR Count) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  CK_RV Result = CKR_OK;
  std::vector<CK_SLOT_ID> Slots = AllSlots(Result);
  if (C.Slots && *C.Slots == 0) Slots.clear();
  if (TokenPresent) std::erase_if(Slots, [&](CK_SLOT_ID S) { return !HasCard(C, S); });
  if (Result == CKR_OK && List && *Count < Slots.size()) Result = CKR_BUFFER_TOO_SMALL;
  else if (Result == CKR_OK && List) std::copy(Slots.begin(), Slots.end(), List);
  if (Result == CKR_OK || Result == CKR_BUFFER_TOO_SMALL) *Count = Slots.size();
  return Logged(C, "C_GetSlotList", TokenPresent ? "present" : "all", Result);
}

CK_RV GetSlotInfo(CK_SLOT_ID Slot, CK_SLOT_INFO_PTR Info) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  const CK_RV Result = Real->C_GetSlotInfo(Slot, Info);
  if (Result == CKR_OK && !HasCard(C, Slot)) Info->flags &= ~CK_FLAGS(CKF_TOKEN_PRESENT);
  return Logged(C, "C_GetSlotInfo", Text(Slot), Result);
}

CK_RV GetTokenInfo(CK_SLOT_ID Slot, CK_TOKEN_INFO_PTR Info) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  CK_RV Result = Real->C_GetTokenInfo(Slot, Info);
  if (Result == CKR_OK && !HasCard(C, Slot)) Result = CKR_TOKEN_NOT_PRESENT;
  if (Result == CKR_OK && C.TokenFlags) Info->flags |= *C.TokenFlags;
  return Logged(C, "C_GetTokenInfo", Text(Slot), Result);
}

CK_RV OpenSession(CK_SLOT_ID Slot, CK_FLAGS Flags, CK_VOID_PTR App, CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR Session) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  CK_RV Result = CKR_TOKEN_NOT_PRESENT;
  if (HasCard(C, Slot)) Result = Real->C_OpenSession(Slot, Flags, App, Notify, Session);
  if (Result == CKR_OK) {
    SessionSlot = Slot;
    HaveSessionSlot = true;
  }
  return Logged(C, "C_OpenSession", Text(Slot), Result);
}

CK_RV Login(CK_SESSION_HANDLE Session, CK_USER_TYPE User, CK_UTF8CHAR_PTR Pin, CK_ULONG PinLen) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  const CK_RV Result = C.LoginRV ? *C.LoginRV : Real->C_Login(Session, User, Pin, PinLen);
  return Logged(C, "C_Login", Text(Session), Result,
                " pin_len=" + Text(PinLen) + (Pin ? "" : " pin=null"));
}

CK_RV Sign(CK_SESSION_HANDLE Session, CK_BYTE_PTR Data, CK_ULONG Len, CK_BYTE_PTR Signature, CK_ULONG_PTR SigLen) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  if (C.SignRV) {
    // The real operation is ended too, as a module's failure ends it.
    Consume("sign_rv");
    std::vector<CK_BYTE> Discarded(4096);
    CK_ULONG Length = Discarded.size();
    Real->C_Sign(Session, Data, Len, Discarded.data(), &Length);
    return Logged(C, "C_Sign", Text(Session), *C.SignRV);
  }
  return Logged(C, "C_Sign", Text(Session), Real->C_Sign(Session, Data, Len, Signature, SigLen));
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE Session, CK_OBJECT_HANDLE Object, CK_ATTRIBUTE_PTR Template,
                        CK_ULONG Count) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  const CK_RV Result = Real->C_GetAttributeValue(Session, Object, Template, Count);
  for (CK_ULONG I = 0; I < Count && Result == CKR_OK && !C.ValueLen.empty(); ++I) {
    CK_ATTRIBUTE& A = Template[I];
    if (A.type != CKA_VALUE || A.pValue) continue;
    A.ulValueLen = C.ValueLen[0] == '+' ? A.ulValueLen + Number(C.ValueLen.substr(1)) : Number(C.ValueLen);
  }
  return Logged(C, "C_GetAttributeValue", Text(Object), Result);
}

// The slot of the open session, or another one, for an injected event.
CK_SLOT_ID EventSlot(const std::string& Event) {
  if (Event == "session" && HaveSessionSlot) return SessionSlot;
  CK_RV Result = CKR_OK;
  for (CK_SLOT_ID S : AllSlots(Result))
    if (!HaveSessionSlot || S != SessionSlot) return S;
  return SessionSlot + 1;
}

CK_RV WaitForSlotEvent(CK_FLAGS Flags, CK_SLOT_ID_PTR Slot, CK_VOID_PTR Reserved) {
  for (;;) {
    {
      std::lock_guard G(Lock);
      const TControl C = Begin();
      if (!C.Event.empty()) {
        Consume("event");
        *Slot = EventSlot(C.Event);
        return Logged(C, "C_WaitForSlotEvent", Text(*Slot), CKR_OK);
      }
      if (Flags & CKF_DONT_BLOCK)
        return Logged(C, "C_WaitForSlotEvent", "-", Real->C_WaitForSlotEvent(Flags, Slot, Reserved));
    }
    usleep(50 * 1000);  // a blocking wait ends when the control file gives an event
  }
}

// The calls that only need logging.
CK_RV Initialize(CK_VOID_PTR Args) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_Initialize", "-", Real->C_Initialize(Args));
}

CK_RV Finalize(CK_VOID_PTR Reserved) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  HaveSessionSlot = false;
  return Logged(C, "C_Finalize", "-", Real->C_Finalize(Reserved));
}

CK_RV CloseSession(CK_SESSION_HANDLE Session) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_CloseSession", Text(Session), Real->C_CloseSession(Session));
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE Session, CK_ATTRIBUTE_PTR Template, CK_ULONG Count) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_FindObjectsInit", Text(Session), Real->C_FindObjectsInit(Session, Template, Count));
}

CK_RV FindObjects(CK_SESSION_HANDLE Session, CK_OBJECT_HANDLE_PTR Objects, CK_ULONG Max, CK_ULONG_PTR Found) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_FindObjects", Text(Session), Real->C_FindObjects(Session, Objects, Max, Found));
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE Session) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_FindObjectsFinal", Text(Session), Real->C_FindObjectsFinal(Session));
}

CK_RV SignInit(CK_SESSION_HANDLE Session, CK_MECHANISM_PTR Mechanism, CK_OBJECT_HANDLE Key) {
  std::lock_guard G(Lock);
  const TControl C = Begin();
  return Logged(C, "C_SignInit", Text(Session), Real->C_SignInit(Session, Mechanism, Key));
}

bool LoadReal() {
  if (Real) return true;
  const char* Path = std::getenv("CARVELIN_SHIM_MODULE");
  void* Handle = dlopen(Path && *Path ? Path : DefaultModule, RTLD_NOW | RTLD_LOCAL);
  if (!Handle) return false;
  auto Get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(Handle, "C_GetFunctionList"));
  if (!Get || Get(&Real) != CKR_OK || !Real) {
    Real = nullptr;
    dlclose(Handle);
    return false;
  }
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR List) {
  std::lock_guard G(Lock);
  if (!List) return CKR_ARGUMENTS_BAD;
  if (!LoadReal()) return CKR_GENERAL_ERROR;
  Shim = *Real;
  const TControl C = ReadControl();
  unsigned Major = 0, Minor = 0;
  if (std::sscanf(C.ListVersion.c_str(), "%u.%u", &Major, &Minor) == 2) {
    Shim.version.major = CK_BYTE(Major);
    Shim.version.minor = CK_BYTE(Minor);
  }
  Shim.C_Initialize = Initialize;
  Shim.C_Finalize = Finalize;
  Shim.C_GetSlotList = GetSlotList;
  Shim.C_GetSlotInfo = GetSlotInfo;
  Shim.C_GetTokenInfo = GetTokenInfo;
  Shim.C_OpenSession = OpenSession;
  Shim.C_CloseSession = CloseSession;
  Shim.C_Login = Login;
  Shim.C_FindObjectsInit = FindObjectsInit;
  Shim.C_FindObjects = FindObjects;
  Shim.C_FindObjectsFinal = FindObjectsFinal;
  Shim.C_GetAttributeValue = GetAttributeValue;
  Shim.C_SignInit = SignInit;
  Shim.C_Sign = Sign;
  Shim.C_WaitForSlotEvent = WaitForSlotEvent;
  *List = &Shim;
  return CKR_OK;
}
