// Server names and text through the safe-name check and the escaper: escaped text holds no control
// character but tab (and our own line ends when they are kept), escaping again changes nothing,
// and a name judged safe holds no separator and no control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/safe_name.h"

namespace {

bool is_control(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (bool keep : {false, true}) {
        std::string shown = orvane::escape_controls(text, keep);
        for (size_t i = 0; i < shown.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(shown[i]);
            bool line_end = keep && (c == '\n' || c == '\r');
            if (is_control(c) && !line_end) std::abort();
            if (c == 0xc2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) >= 0x80 &&
                static_cast<unsigned char>(shown[i + 1]) <= 0x9f)
                std::abort();
        }
        if (orvane::escape_controls(shown, keep) != shown) std::abort();
    }
    if (orvane::is_safe_name(text)) {
        if (text.empty() || text == "." || text == ".." ||
            text.find_first_of("/\\") != std::string_view::npos)
            std::abort();
        for (unsigned char c : text)
            if (c < 0x20 || c == 0x7f) std::abort();
    }
    return 0;
}
