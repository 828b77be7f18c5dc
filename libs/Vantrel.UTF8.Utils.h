// Small routines on UTF-8 and UTF-16 text used by every layer: Base64 and
// base64url (RFC 4648), a strict UTF-8 check, conversion between UTF-8 and
// UTF-16, number and size texts, substring helpers and GUID text
// normalisation.
//
// Byte arrays are std::string holding the bytes as they are (as
// TByteReader reads them). Nothing here throws (apart from std::bad_alloc)
// and nothing holds state: the Base64 decoding table is a compile-time
// constant, safe to share between threads.
//
// Base64 decoding is lenient on purpose: TAB, LF, CR and space are skipped,
// characters outside the alphabet decode as zero bits, and the decoder
// reads no more symbols than the requested size needs (trailing padding is
// never read). The size routines give that requested size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel {

// Count bytes at Data as Base64 text with '=' padding: 4 * ((Count + 2) / 3) characters.
std::string Base64EncodeBuffer(const void* Data, size_t Count);
std::string Base64Encode(std::string_view Bytes);

// Number of bytes the text decodes to: blanks (TAB, LF, CR, space) are not
// counted, each trailing '=' (up to two) takes one byte off; never negative.
size_t Base64DecodedSize(std::string_view Text);
size_t Base64DecodedSizeWide(std::u16string_view Text);

// Decodes exactly Len bytes into Dst. Symbols missing at the end of Src
// decode as zero bits, so Dst is always filled and Src never over-read.
void Base64DecodeBuffer(std::string_view Src, void* Dst, size_t Len);
void Base64DecodeWide(std::u16string_view Src, void* Dst, size_t Len);

// The whole text, sized with Base64DecodedSize, then decoded; empty text
// gives no bytes. UTF-16 characters above U+00FF are outside the alphabet.
std::string Base64Decode(std::string_view Text);
std::string Base64Decode(std::u16string_view Text);

// base64url (RFC 4648 §5) without any trailing '='.
std::string Base64UrlEncode(std::string_view Bytes);

// True when Buffer is well-formed UTF-8 (RFC 3629: no overlong form, no
// surrogate, nothing above U+10FFFF) AND holds at least one multi-byte
// sequence; pure ASCII answers false, so callers can tell UTF-8 from ASCII.
bool IsValidUTF8(std::string_view Buffer);

// Appends the code point as UTF-8 (RFC 3629); a surrogate or a value above
// U+10FFFF becomes U+FFFD. Inline: the JSON and XML scanners call it per character.
inline void AppendUTF8(std::string& Out, uint32_t CodePoint) {
  if ((CodePoint >= 0xD800 && CodePoint <= 0xDFFF) || CodePoint > 0x10FFFF) CodePoint = 0xFFFD;
  if (CodePoint < 0x80) {
    Out += char(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += char(0xC0 | CodePoint >> 6);
    Out += char(0x80 | (CodePoint & 0x3F));
  } else if (CodePoint < 0x10000) {
    Out += char(0xE0 | CodePoint >> 12);
    Out += char(0x80 | (CodePoint >> 6 & 0x3F));
    Out += char(0x80 | (CodePoint & 0x3F));
  } else {
    Out += char(0xF0 | CodePoint >> 18);
    Out += char(0x80 | (CodePoint >> 12 & 0x3F));
    Out += char(0x80 | (CodePoint >> 6 & 0x3F));
    Out += char(0x80 | (CodePoint & 0x3F));
  }
}

// The code point of the well-formed UTF-8 sequence (RFC 3629) that S starts
// with, and its length in bytes; 0 when S is empty or starts otherwise.
size_t ReadUTF8(std::string_view S, uint32_t& CodePoint);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string UTF16ToUTF8(std::u16string_view Text);
// UTF-8 to UTF-16; a byte that is not part of a valid sequence becomes U+FFFD.
std::u16string UTF8ToUTF16(std::string_view Text);
// UTF-8 to Windows-1252 (the 8-bit code page of PINs and card texts): a
// character outside the code page, or a byte that is not part of a valid
// sequence, becomes '?'.
std::string UTF8ToWindows1252(std::string_view Text);
// Windows-1252 bytes to UTF-8; the five bytes the code page leaves
// unassigned become the C1 control of the same value, as the Windows
// conversion does.
std::string Windows1252ToUTF8(std::string_view Bytes);

std::string IntToUTF8(int32_t Value);
// Decimal digits with an optional leading '-'; anything else (empty, '+',
// blanks, a value outside 32 bits) gives Default.
int32_t UTF8ToIntDef(std::string_view S, int32_t Default);

// A byte count as French text rounded to the nearest unit: "vide",
// "1023 octets", "2 Ko", "1 Mo", "3 Go".
std::string FileSizeText(int64_t Size);

// 1-based position of SubStr in S, searching from position Offset (below 2:
// from the start); 0 when absent or when SubStr is empty.
size_t UTF8PosEx(std::string_view SubStr, std::string_view S, size_t Offset = 1);
// The part of S before the first Ch; empty when Ch does not occur.
std::string UTF8CopyBefore(std::string_view S, char Ch);
// The text between the first Open and the first Close after it; empty when either is missing.
std::string UTF8CopyBetween(std::string_view S, char Open, char Close);

// The one-line form of a text (line-based files and dumps): '\', TAB, LF
// and CR are written \\ \t \n \r, every other byte as it is.
void AppendBackslashEscaped(std::string& Out, std::string_view Text);
// Reads that form back; a backslash before any other byte stands for that
// byte, and one at the very end is kept.
std::string BackslashUnescaped(std::string_view Text);

// "{0A1B...}" (38 characters with braces) loses the braces; then 'A'-'F'
// are lowered (other characters are left as they are).
std::string NormalizeGUIDText(std::string_view S);

// ASCII case: 'A'-'Z' lowered, every other byte (UTF-8 sequences included)
// left as it is. Protocol names, header fields and member names compare so.
constexpr char LowerASCII(char C) { return C >= 'A' && C <= 'Z' ? char(C + ('a' - 'A')) : C; }
std::string LowerCaseASCII(std::string_view S);
bool SameText(std::string_view A, std::string_view B);
// Text begins with Prefix, ASCII letters compared without case.
bool StartsText(std::string_view Prefix, std::string_view Text);

}  // namespace Vantrel
