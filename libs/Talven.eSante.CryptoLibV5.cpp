#include "Talven.eSante.CryptoLibV5.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Talven::eSante {

namespace {

std::string ResultText(const char* Function, CK_RV Result) {
  char Hex[32];
  std::snprintf(Hex, sizeof Hex, "0x%lX", static_cast<unsigned long>(Result));
  return std::string(Function) + " answered " + Hex;
}

CK_ATTRIBUTE Attribute(CK_ATTRIBUTE_TYPE Type, void* Value, CK_ULONG Length) { return {Type, Value, Length}; }

// The function list of a loaded module file; nullptr with Error set when it
// has none or one of a PKCS#11 version this code does not speak.
CK_FUNCTION_LIST_PTR FunctionList(void* Handle, const std::string& File, std::string& Error) {
  auto GetFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(Handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR List = nullptr;
  CK_RV Result = CKR_OK;
  if (!GetFunctionList) {
    Error = File + " has no C_GetFunctionList";
  } else if ((Result = GetFunctionList(&List)) != CKR_OK || !List) {
    Error = Result != CKR_OK ? ResultText("C_GetFunctionList", Result) : "C_GetFunctionList gave no list";
  } else if (List->version.major != 2 && List->version.major != 3) {
    Error = "unsupported PKCS#11 version " + std::to_string(List->version.major) + "." +
            std::to_string(List->version.minor);
  } else {
    return List;
  }
  return nullptr;
}

}  // namespace

std::string TCryptoLibV5::DefaultModule() {
  const char* Configured = std::getenv(ModuleVariable);
  return Configured && *Configured ? Configured : "libcps3_pkcs11.so";
}

CK_FUNCTION_LIST_PTR TCryptoLibV5::Api() const {
  if (!api) throw std::logic_error("PKCS#11 module loaded without its function list");
  return api;
}

void TCryptoLibV5::CloseLibrary() {
  if (FHandle) dlclose(FHandle);
  FLibrary.clear();
  FHandle = nullptr;
  api = nullptr;
  FSession = 0;
  FSlotCount = 0;
  FTokenList.clear();
}

bool TCryptoLibV5::Init(const char* AFileName) {
  const std::string File = AFileName && *AFileName ? AFileName : DefaultModule();
  if (FLibrary == File && api) return true;
  Unload();
  FLoadError.clear();
  FHandle = dlopen(File.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!FHandle) {
    const char* Reason = dlerror();
    FLoadError = Reason ? Reason : "cannot load " + File;
  } else if ((api = FunctionList(FHandle, File, FLoadError))) {
    if (Reset()) {
      FLibrary = File;
      return true;
    }
    FLoadError = ResultText("C_Initialize", FError);
  }
  CloseLibrary();
  return false;
}

bool TCryptoLibV5::LibraryVersion(const std::string& File, CK_VERSION& Version) {
  void* Handle = dlopen(File.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) return false;
  bool Answered = false;
  std::string Error;
  if (const CK_FUNCTION_LIST_PTR List = FunctionList(Handle, File, Error)) {
    // The same file loaded by a session shares this instance (dlopen counts
    // references): already initialised, it must not be finalised here.
    const CK_RV Initialized = List->C_Initialize(nullptr);
    if (Initialized == CKR_OK || Initialized == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      CK_INFO Info{};
      Answered = List->C_GetInfo(&Info) == CKR_OK;
      if (Answered) Version = Info.libraryVersion;
      if (Initialized == CKR_OK) List->C_Finalize(nullptr);
    }
  }
  dlclose(Handle);
  return Answered;
}

bool TCryptoLibV5::Reset() {
  if (!api) return false;
  CloseSession();
  FError = api->C_Initialize(nullptr);
  return FError == CKR_OK || FError == CKR_CRYPTOKI_ALREADY_INITIALIZED;
}

bool TCryptoLibV5::Load() {
  if (!Loaded()) return Init(nullptr);
  if (FSession != 0) return true;
  const CK_RV Result = Api()->C_Initialize(nullptr);
  return Result == CKR_OK || Result == CKR_CRYPTOKI_ALREADY_INITIALIZED;
}

bool TCryptoLibV5::Reinitialize() {
  if (!api) return false;
  CloseSession();
  api->C_Finalize(nullptr);
  FError = api->C_Initialize(nullptr);
  return FError == CKR_OK;
}

void TCryptoLibV5::Unload() {
  if (Loaded() && api) {
    CloseSession();
    api->C_Finalize(nullptr);
  }
  CloseLibrary();
}

int TCryptoLibV5::CheckTokens() {
  FSlotCount = 0;
  FTokenList.clear();
  if (!Load()) return 0;
  CK_ULONG Count = 0;
  if (Api()->C_GetSlotList(CK_FALSE, nullptr, &Count) != CKR_OK || Count == 0) return 0;
  FSlotCount = int(std::min(Count, MaxSlots));
  Count = 0;
  if (api->C_GetSlotList(CK_TRUE, nullptr, &Count) != CKR_OK || Count == 0 || Count > MaxSlots) return 0;
  // A list that grew since the count answers CKR_BUFFER_TOO_SMALL: no card.
  std::vector<CK_SLOT_ID> Slots(Count);
  if (api->C_GetSlotList(CK_TRUE, Slots.data(), &Count) != CKR_OK || Count > Slots.size()) return 0;
  Slots.resize(Count);
  FTokenList = std::move(Slots);
  return int(FTokenList.size());
}

bool TCryptoLibV5::OpenSession(int Slot) {
  if (!Loaded() || FTokenList.empty()) {
    FError = CKR_SESSION_CLOSED;
    return false;
  }
  if (FSession != 0) {
    FError = CKR_SESSION_EXISTS;
    return false;
  }
  FError = CKR_OK;
  if (Slot < 0 || size_t(Slot) >= FTokenList.size()) return false;
  FSlotId = FTokenList[size_t(Slot)];
  CK_TOKEN_INFO Info{};
  FError = Api()->C_GetTokenInfo(FSlotId, &Info);
  if (FError != CKR_OK) return false;
  CK_SESSION_HANDLE Session = 0;
  FError = api->C_OpenSession(FSlotId, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &Session);
  if (FError != CKR_OK) return false;
  FSession = Session;
  CheckSession(false);  // an event pending from before the session is not about it
  return true;
}

void TCryptoLibV5::CloseSession() {
  if (!HasSession()) return;
  Api()->C_CloseSession(FSession);
  FSession = 0;
}

CK_RV TCryptoLibV5::CheckSession(bool Close) {
  if (!HasSession()) return CKR_OBJECT_HANDLE_INVALID;
  CK_SLOT_ID Slot = 0;
  const CK_RV Result = Api()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &Slot, nullptr);
  if (Result == CKR_OK && Slot == FSlotId) {
    if (Close) CloseSession();
    return CKR_SESSION_CLOSED;
  }
  if (Result == CKR_OK || Result == CKR_NO_EVENT) return CKR_OK;
  return Result;
}

int TCryptoLibV5::GetPinCount() {
  if (!HasSession()) return PIN_COUNT_NO_SESSION;
  CK_TOKEN_INFO Info{};
  if (Api()->C_GetTokenInfo(FSlotId, &Info) != CKR_OK) return PIN_COUNT_UNKNOWN;
  if (Info.flags & CKF_USER_PIN_LOCKED) return 0;
  if (Info.flags & CKF_USER_PIN_FINAL_TRY) return 1;
  if (Info.flags & CKF_USER_PIN_COUNT_LOW) return 2;
  return 3;
}

bool TCryptoLibV5::Login(const char* Code) {
  if (!HasSession()) {
    FError = CKR_SESSION_CLOSED;
    return false;
  }
  // A null PIN stays null; an empty one is a single zero byte, as the card expects.
  std::string Pin = Code ? Vantrel::UTF8ToWindows1252(Code) : std::string();
  if (Code && Pin.empty()) Pin.push_back('\0');
  CK_UTF8CHAR_PTR PinBytes = Code ? reinterpret_cast<CK_UTF8CHAR_PTR>(Pin.data()) : nullptr;
  FError = Api()->C_Login(FSession, CKU_USER, PinBytes, Code ? CK_ULONG(Pin.size()) : 0);
  Vantrel::WipeBytes(Pin);
  return FError == CKR_OK || FError == CKR_USER_ALREADY_LOGGED_IN;
}

CK_RV TCryptoLibV5::Logout() { return HasSession() ? Api()->C_Logout(FSession) : CKR_SESSION_CLOSED; }

CK_RV TCryptoLibV5::FindObject(CK_ATTRIBUTE* Template, CK_ULONG Count, CK_OBJECT_HANDLE& Object) {
  Object = 0;
  CK_RV Result = Api()->C_FindObjectsInit(FSession, Template, Count);
  if (Result != CKR_OK) return Result;
  CK_ULONG Found = 0;
  Result = api->C_FindObjects(FSession, &Object, 1, &Found);
  const CK_RV Final = api->C_FindObjectsFinal(FSession);
  if (Result == CKR_OK && Found == 0) Result = CKR_OBJECT_HANDLE_INVALID;
  return Result != CKR_OK ? Result : Final;
}

CK_RV TCryptoLibV5::searchCertificat(std::string_view Name, TCertificat& Cert) {
  Cert = {};
  if (!HasSession()) return CKR_SESSION_CLOSED;
  CK_OBJECT_CLASS Class = CKO_CERTIFICATE;
  CK_BBOOL True = CK_TRUE, False = CK_FALSE;
  std::string Label(Name);
  CK_ATTRIBUTE Template[] = {Attribute(CKA_CLASS, &Class, sizeof Class), Attribute(CKA_TOKEN, &True, 1),
                             Attribute(CKA_PRIVATE, &False, 1), Attribute(CKA_LABEL, Label.data(), Label.size())};
  CK_OBJECT_HANDLE Object = 0;
  CK_RV Result = FindObject(Template, 4, Object);
  if (Result != CKR_OK) return Result;
  CK_ATTRIBUTE Values[] = {Attribute(CKA_VALUE, nullptr, 0), Attribute(CKA_ID, nullptr, 0)};
  Result = api->C_GetAttributeValue(FSession, Object, Values, 2);
  if (Result != CKR_OK || Values[0].ulValueLen == 0) return Result;
  for (const CK_ATTRIBUTE& A : Values)
    if (A.ulValueLen == CK_UNAVAILABLE_INFORMATION || A.ulValueLen > MaxObjectSize) return CKR_GENERAL_ERROR;
  std::string DER(Values[0].ulValueLen, '\0'), ID(Values[1].ulValueLen, '\0');
  Values[0].pValue = DER.data();
  Values[1].pValue = ID.data();
  Result = api->C_GetAttributeValue(FSession, Object, Values, 2);
  if (Result != CKR_OK) return Result;
  if (Values[0].ulValueLen > DER.size() || Values[1].ulValueLen > ID.size()) return CKR_GENERAL_ERROR;
  DER.resize(Values[0].ulValueLen);
  ID.resize(Values[1].ulValueLen);
  Cert = {std::move(DER), std::move(ID)};
  return CKR_OK;
}

CK_RV TCryptoLibV5::Sign(const TCertificat& Cert, const void* Data, size_t Len, std::string& Signature) {
  Signature.clear();
  if (!HasSession()) return CKR_SESSION_CLOSED;
  CK_OBJECT_CLASS Class = CKO_PRIVATE_KEY;
  CK_KEY_TYPE KeyType = CKK_RSA;
  std::string ID = Cert.ID;
  CK_ATTRIBUTE Template[] = {Attribute(CKA_CLASS, &Class, sizeof Class),
                             Attribute(CKA_KEY_TYPE, &KeyType, sizeof KeyType),
                             Attribute(CKA_ID, ID.data(), ID.size())};
  CK_OBJECT_HANDLE Key = 0;
  CK_RV Result = FindObject(Template, 3, Key);
  if (Result != CKR_OK) return Result;
  CK_MECHANISM Mechanism = {CKM_RSA_PKCS, nullptr, 0};
  Result = api->C_SignInit(FSession, &Mechanism, Key);
  if (Result != CKR_OK) return Result;
  std::string Buffer(SignatureBufferSize, '\0');
  CK_ULONG Length = SignatureBufferSize;
  std::string Input(static_cast<const char*>(Data), Len);
  Result = api->C_Sign(FSession, reinterpret_cast<CK_BYTE_PTR>(Input.data()), CK_ULONG(Input.size()),
                       reinterpret_cast<CK_BYTE_PTR>(Buffer.data()), &Length);
  if (Result != CKR_OK) return Result;
  if (Length > SignatureBufferSize) return CKR_GENERAL_ERROR;
  Buffer.resize(Length);
  Signature = std::move(Buffer);
  return CKR_OK;
}

std::string TCryptoLibV5::GetCPSData(std::string_view AName, bool APrivate) {
  if (!Loaded()) return {};
  if (FSession == 0) {
    FError = CKR_SESSION_CLOSED;
    return {};
  }
  CK_OBJECT_CLASS Class = CKO_DATA;
  CK_BBOOL True = CK_TRUE, Private = APrivate ? CK_TRUE : CK_FALSE;
  std::string Label(AName);
  CK_ATTRIBUTE Template[] = {Attribute(CKA_CLASS, &Class, sizeof Class), Attribute(CKA_TOKEN, &True, 1),
                             Attribute(CKA_PRIVATE, &Private, 1), Attribute(CKA_LABEL, Label.data(), Label.size())};
  CK_OBJECT_HANDLE Object = 0;
  if (FindObject(Template, 4, Object) != CKR_OK) return {};
  CK_ATTRIBUTE Value = Attribute(CKA_VALUE, nullptr, 0);
  if (api->C_GetAttributeValue(FSession, Object, &Value, 1) != CKR_OK || Value.ulValueLen == 0 ||
      Value.ulValueLen == CK_UNAVAILABLE_INFORMATION || Value.ulValueLen > MaxObjectSize)
    return {};
  std::string Bytes(Value.ulValueLen, '\0');
  Value.pValue = Bytes.data();
  const CK_RV Result = api->C_GetAttributeValue(FSession, Object, &Value, 1);
  if (Result != CKR_OK) throw ECryptoLibError(ResultText("C_GetAttributeValue", Result) + " for " + Label, Result);
  if (Value.ulValueLen > Bytes.size()) throw ECryptoLibError("C_GetAttributeValue overran " + Label, CKR_GENERAL_ERROR);
  Bytes.resize(Value.ulValueLen);
  return Bytes;
}

}  // namespace Talven::eSante
