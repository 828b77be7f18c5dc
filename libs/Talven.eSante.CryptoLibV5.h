// The CPS card's PKCS#11 module, opened with dlopen and reached only through
// its C_GetFunctionList (PKCS#11 v2.40; a v3 module keeps the v2 layout at
// the head of its list). One record loads and initialises the module, lists
// the card-bearing slots, holds one session, logs in, finds certificates,
// keys and data objects by label, signs with RSA PKCS #1 v1.5 and polls for
// card events. The root holds it by value; one caller at a time, no lock.
//
// Boolean operations answer false and keep the module's result in FError
// where their comment says so; the others return the module's result
// (CK_RV). Lengths and counts the module gives are outside input: they are
// capped before anything is allocated for them. Data objects are handed out
// as read; their DER is the caller's to judge.
#pragma once

#include <p11-kit/pkcs11.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Talven::eSante {

// Results the card session tells apart (the standard CK_RV values, and the
// module's own "card locked").
inline constexpr CK_RV P11_OK = CKR_OK;
inline constexpr CK_RV P11_NO_EVENT = CKR_NO_EVENT;                                  // 8
inline constexpr CK_RV P11_SESSION_CLOSED = CKR_SESSION_CLOSED;                      // 176
inline constexpr CK_RV P11_ALREADY_LOGGED_IN = CKR_USER_ALREADY_LOGGED_IN;           // 256
inline constexpr CK_RV P11_NOT_INITIALIZED = CKR_CRYPTOKI_NOT_INITIALIZED;           // 400
inline constexpr CK_RV P11_ALREADY_INITIALIZED = CKR_CRYPTOKI_ALREADY_INITIALIZED;   // 401
inline constexpr CK_RV P11_CARD_LOCKED = 0x400000;

// GetPinCount's answers besides 0 to 3.
inline constexpr int PIN_COUNT_NO_SESSION = -1;
inline constexpr int PIN_COUNT_UNKNOWN = -2;

// Caps on what the module reports.
inline constexpr CK_ULONG MaxSlots = 256;
inline constexpr CK_ULONG MaxObjectSize = 1 << 20;
inline constexpr CK_ULONG SignatureBufferSize = 512;

// The variable naming the default module file; without it "libcps3_pkcs11.so"
// is looked up in the loader's search path.
inline constexpr const char* ModuleVariable = "CARVELIN_PKCS11_MODULE";

// A certificate found on the card: its DER and its CKA_ID, which also names
// the matching private key.
struct TCertificat {
  std::string DER;
  std::string ID;
};

// A module failure the caller turns into its own code.
class ECryptoLibError : public std::runtime_error {
 public:
  ECryptoLibError(const std::string& Message, CK_RV Result) : std::runtime_error(Message), FResult(Result) {}
  CK_RV Result() const { return FResult; }

 private:
  CK_RV FResult;
};

class TCryptoLibV5 {
 public:
  TCryptoLibV5() = default;
  ~TCryptoLibV5() { Unload(); }
  TCryptoLibV5(const TCryptoLibV5&) = delete;
  TCryptoLibV5& operator=(const TCryptoLibV5&) = delete;

  // The file used for an empty or null name.
  static std::string DefaultModule();
  // The libraryVersion of C_GetInfo of a module file; false when the file
  // does not load as a module or the module does not answer.
  static bool LibraryVersion(const std::string& File, CK_VERSION& Version);

  // Loads the module file (nullptr or "" = DefaultModule()) and initialises
  // it; true at once when that file is already loaded. On failure nothing
  // stays loaded and LastLoadError() tells why.
  bool Init(const char* AFileName);
  // Init with the default file when nothing is loaded; otherwise true with a
  // session open, else C_Initialize again (0 or 401 is success).
  bool Load();
  // Closes the session and initialises the module again (0 or 401 is success).
  bool Reset();
  // Closes the session, finalises the module and initialises it afresh, so
  // that it looks at its slots and cards anew (a module may keep the view it
  // took at C_Initialize); the result of C_Initialize in FError.
  bool Reinitialize();
  // Closes the session, finalises and unloads the module.
  void Unload();
  bool Loaded() const { return !FLibrary.empty(); }
  const std::string& LastLoadError() const { return FLoadError; }

  // Lists the slots and those holding a card; the number of cards.
  int CheckTokens();
  int TokenCount() const { return Loaded() ? int(FTokenList.size()) : 0; }

  // Opens a read-write session on the Slot-th card; the module's result in FError.
  bool OpenSession(int Slot);
  void CloseSession();
  // One poll for a card event without waiting: 0 for none (or one on another
  // slot), 176 for one on the session's slot (the session closed first when
  // Close), 130 without a session, any other result as the module gave it.
  CK_RV CheckSession(bool Close);

  // PIN tries left: 3 to 0, PIN_COUNT_NO_SESSION, or PIN_COUNT_UNKNOWN.
  int GetPinCount();
  // Logs the user in. Code nullptr reaches the module as a null PIN of
  // length 0, "" as one zero byte, any other text in Windows-1252. The
  // module's result goes to FError; 0 and 256 are success.
  bool Login(const char* Code);
  // Logs the user out of the card (every session of this program); the
  // module's result.
  CK_RV Logout();

  // The public certificate labelled Name: its DER and CKA_ID in Cert.
  CK_RV searchCertificat(std::string_view Name, TCertificat& Cert);
  // The PKCS #1 v1.5 signature of Data (a DigestInfo, as given) with the
  // RSA private key whose CKA_ID is Cert.ID.
  CK_RV Sign(const TCertificat& Cert, const void* Data, size_t Len, std::string& Signature);
  // The value of the data object labelled AName; empty when it cannot be
  // found or read. A failing second read throws ECryptoLibError.
  std::string GetCPSData(std::string_view AName, bool APrivate);

  std::string FLibrary;             // the loaded module's file; empty when none
  void* FHandle = nullptr;          // dlopen handle
  CK_FUNCTION_LIST_PTR api = nullptr;
  int FSlotCount = 0;               // slots at the last listing
  std::vector<CK_SLOT_ID> FTokenList;  // slots holding a card, in the module's order
  CK_SESSION_HANDLE FSession = 0;
  CK_SLOT_ID FSlotId = 0;           // the session's slot
  CK_RV FError = CKR_OK;            // last login or open result; 176 when there was no session

 private:
  // The function list; throws std::logic_error when loaded without one.
  CK_FUNCTION_LIST_PTR Api() const;
  bool HasSession() const { return Loaded() && FSession != 0; }
  // Finds the first object matching the template; CKR_OBJECT_HANDLE_INVALID
  // when none does. The search is always finished.
  CK_RV FindObject(CK_ATTRIBUTE* Template, CK_ULONG Count, CK_OBJECT_HANDLE& Object);
  void CloseLibrary();

  std::string FLoadError;
};

}  // namespace Talven::eSante
