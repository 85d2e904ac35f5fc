// Fuzz target for the registry file reader: any bytes must be read without a crash, and a lookup
// gives a value no longer than a string variable or one of the two markers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/actions/registry_file.h"
#include "common/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // The first line of the input names the value looked up: key, then a space, then the name.
    size_t end = text.find('\n');
    std::string_view query = end == std::string_view::npos ? std::string_view() : text.substr(0, end);
    size_t space = query.find(' ');
    std::string_view key = query.substr(0, space);
    std::string_view name = space == std::string_view::npos ? std::string_view() : query.substr(space + 1);
    std::string_view file = end == std::string_view::npos ? text : text.substr(end + 1);
    orvane::RegistryLookup r = orvane::registry_lookup(file, "HKEY_CURRENT_USER", key, name);
    if (r.value.size() > orvane::kStringVariableCapacity) __builtin_trap();
    return 0;
}
