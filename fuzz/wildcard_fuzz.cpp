// The fast wildcard matcher against the direct transcription of the recursive star search (memoised, so
// that many stars stay affordable). Input: one byte giving the split point, then text and pattern.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/actions/wildcard.h"
#include "tests/support/wildcard_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1200) return 0;
    const size_t split = data[0] * (size - 1) / 255;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view text = rest.substr(0, split);
    const std::string_view pattern = rest.substr(split);
    static orvane::test::WildcardReference reference(true);
    if (orvane::wildcard_match(text, pattern) != reference.match(text, pattern)) std::abort();
    return 0;
}
