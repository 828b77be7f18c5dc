// One string value of the program's own settings store, addressed as a
// registry value: a root, a key path with '\' separators and a value name
// (empty: the key's default value). Paths and names compare without regard
// to ASCII case. The store is the file Carvelin2/registry of the XDG config
// folder ($XDG_CONFIG_HOME, else ~/.config), rewritten whole through a
// temporary file and a rename, so a reader never sees half a write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace Vantrel {

enum TRegistryRoot : uint8_t {
  HKEY_CLASSES_ROOT,
  HKEY_CURRENT_USER,
  HKEY_LOCAL_MACHINE,
  HKEY_USERS,
  HKEY_CURRENT_CONFIG
};

// The stored value, whole; Default when the key or the value is missing or
// the store cannot be read.
std::string RegReadString(TRegistryRoot Root, std::string_view Path, std::string_view ValueName,
                          std::string_view Default);

// True when the value was stored.
bool RegWriteString(TRegistryRoot Root, std::string_view Path, std::string_view ValueName,
                    std::string_view Value);

// The store's path under the current environment.
std::filesystem::path RegistryStorePath();

}  // namespace Vantrel
