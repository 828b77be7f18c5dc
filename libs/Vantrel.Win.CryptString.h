// Protected strings: a secret (a remembered PIN) sealed so that it can sit
// in a settings file and be read back only by the same user on the same
// machine. The seal is AES-256-GCM (NIST SP 800-38D) under a random key of
// the user, kept in the file Carvelin2/cryptstring.key of the XDG data folder
// ($XDG_DATA_HOME, else ~/.local/share), created on first use with mode 0600
// in a folder of mode 0700. A key file that is a symbolic link, not a
// regular file (a FIFO planted there is refused without waiting), not the
// user's, or readable by others is refused, and so is a key folder that is
// a link, not the user's, or writable by group or others.
//
// Blob: version byte 1, 12-byte nonce, ciphertext of the UTF-8 text, 16-byte
// tag; the additional data is the description "Vantrel.Win.CryptString".
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace Vantrel {

// An empty S gives an empty blob. Raises std::system_error when the key
// cannot be created or read (the text says why and names the file or
// folder), or the cipher fails.
std::string ProtectString(std::string_view S);

// The text sealed in Data; an empty text for an empty, damaged or foreign
// blob, or when the key is missing (never creates one).
std::string UnprotectString(std::string_view Data);

// The key file's path under the current environment.
std::filesystem::path ProtectedStringKeyPath();

}  // namespace Vantrel
