// Local path rules over arbitrary text: normalising twice changes nothing, resolving leaves no "."
// or ".." in an absolute path, and a name judged safe joins to exactly one entry of the folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/transfer/session/local_path.h"
#include "common/safe_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string once = orvane::normalize_local_path(text);
    if (orvane::normalize_local_path(once) != once) std::abort();
    std::string resolved = orvane::resolve_local_dots(orvane::join_local_path(text, "/dest"));
    if (resolved.empty() || resolved[0] != '/') std::abort();
    if (resolved.find("/../") != std::string::npos || resolved.find("/./") != std::string::npos) std::abort();
    if (orvane::is_safe_name(text) && resolved != "/dest/" + text) std::abort();
    return 0;
}
