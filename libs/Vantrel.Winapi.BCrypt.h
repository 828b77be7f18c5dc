// The platform cryptography that the rest of the library uses outside the
// TLS engines: random bytes, wiping of secrets, constant-time comparison and
// AES-GCM, with NTSTATUS-style results as the platform's CNG reports them.
// This unit and the certificate unit (Vantrel.WinSSPI) hold the libcrypto
// calls of the program besides the TLS engines and the signature code; the
// random generator is called from here only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Vantrel {

// ---- Results ----

inline constexpr uint32_t STATUS_SUCCESS = 0;
inline constexpr uint32_t STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr uint32_t STATUS_INVALID_HANDLE = 0xC0000008;
inline constexpr uint32_t STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr uint32_t STATUS_BUFFER_TOO_SMALL = 0xC0000023;
inline constexpr uint32_t STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr uint32_t STATUS_INVALID_BUFFER_SIZE = 0xC0000206;
inline constexpr uint32_t STATUS_INVALID_SIGNATURE = 0xC000A000;
inline constexpr uint32_t STATUS_AUTH_TAG_MISMATCH = 0xC000A002;

// "" for 0, the status name for the known ones, else "NTSTATUS " + 8 hex digits.
std::string NTStatusText(uint32_t Status);

// ---- Random bytes ----

// Count bytes from the system generator: STATUS_SUCCESS, or
// STATUS_UNSUCCESSFUL when it has none to give.
uint32_t GenRandom(void* Buffer, size_t Count);
// The same, raising std::runtime_error "random generator failure" instead.
void GenRandomBytes(void* Buffer, size_t Count);

// ---- Secrets ----

// Overwrites Size bytes with zeros in a way the compiler keeps.
void SecureZeroMemory(void* Data, size_t Size);
// Overwrites Bytes with zeros and empties it.
void WipeBytes(std::string& Bytes);
// Equal sizes and bytes, compared in time independent of the contents.
bool ConstantTimeEqual(std::string_view A, std::string_view B);

// ---- AES-GCM (NIST SP 800-38D), 16-byte tag ----

inline constexpr size_t AESGCMTagSize = 16;

// Key of 16 or 32 bytes, Nonce of 12. Out receives the ciphertext followed by
// the tag: Plaintext.size() + AESGCMTagSize bytes.
uint32_t AESGCMEncrypt(std::string_view Key, std::string_view Nonce, std::string_view AAD,
                       std::string_view Plaintext, char* Out);
// Sealed is ciphertext + tag; Out receives Sealed.size() - AESGCMTagSize
// bytes. STATUS_AUTH_TAG_MISMATCH when the tag does not match (Out is then
// wiped), STATUS_INVALID_PARAMETER for bad sizes.
uint32_t AESGCMDecrypt(std::string_view Key, std::string_view Nonce, std::string_view AAD,
                       std::string_view Sealed, char* Out);

// ---- Signatures ----

// Gives the next bytes of a signed content into Buffer (at most Size); 0 at its end.
using TByteSource = std::function<size_t(char* Buffer, size_t Size)>;

// ECDSA with SHA-256 (FIPS 186-4; DER signature as RFC 3279 §2.2.3 writes
// it) over everything Source gives, against a PEM "PUBLIC KEY" on a prime
// curve of at least 256 bits: STATUS_SUCCESS, STATUS_INVALID_SIGNATURE, or
// STATUS_INVALID_PARAMETER for a key that is not such a key.
uint32_t VerifyECDSASHA256(std::string_view PublicKeyPEM, const TByteSource& Source, std::string_view Signature);

}  // namespace Vantrel
