// The registry file that scripts read values from: a read-only file in the Windows ".reg" export
// format, looked up by root, key and value name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

inline constexpr const char* kRegistryNullKey = "_NULL_KEY_";
inline constexpr const char* kRegistryNullValue = "_NULL_VAL_";

// What a lookup found: the value's text, or one of the two markers; and the lines of the file that
// could not be read (each "line N: why"), which the lookup passed over.
struct RegistryLookup {
    std::string value;
    std::vector<std::string> problems;
};

// Looks a value up in the text of a registry file (UTF-8, optionally with a byte-order mark, or
// UTF-16LE with its mark, as Windows exports it). The root is one of HKEY_CLASSES_ROOT,
// HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS (any case), else the key
// is missing. Keys and value names compare without regard to case; an empty name is the default
// value ("@"). Strings read as their text, dword and qword values as decimal text, other hex data
// as its bytes up to the first zero (REG_EXPAND_SZ and REG_MULTI_SZ of a version 5 file decoded
// from UTF-16LE, the first string of a multi-string). Data longer than the string variable
// capacity reads as the missing-value marker.
RegistryLookup registry_lookup(std::string_view file_text, std::string_view root, std::string_view key,
                               std::string_view name);

// The registry file: $ORVANE_REGISTRY, else "registry.reg" in the program's folder.
std::string registry_file_path();

// readwinregistry: the value, or a marker, into `value`. A missing file reads as a missing key. A
// file that cannot be read or has malformed lines is reported line by line; the result is then 1
// (the value still holds what the readable lines gave), else 0.
int read_registry_value(std::string_view root, std::string_view key, std::string_view name,
                        std::string& value);

}  // namespace orvane
