// Percent-encoding of texts placed in URLs and decoding of the query strings
// that the local REST server receives. Texts are UTF-8.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace Vantrel::URL {

// A '%' escape that is cut short or not hexadecimal.
class EDecodeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Every byte except the 72 characters ! $ ' ( ) * - . 0-9 @ A-Z _ a-z becomes
// '%' and two upper-case hexadecimal digits (RFC 3986 §2.1).
std::string Encode(std::string_view AStr);

// '+' gives a space, "%%" a '%', "%XX" its byte, every other byte itself. The
// bytes are taken as UTF-8 when they are well-formed UTF-8, else as
// Windows-1252 (a query string sent in the legacy 8-bit form).
std::string Decode(std::string_view Input);

}  // namespace Vantrel::URL
