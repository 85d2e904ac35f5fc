// The tar extractor over arbitrary bytes, fed in pieces whose size the first byte chooses; the
// destination holds a link out of it, and nothing may ever appear outside.
#include <cstddef>
#include <cstdint>

#include "client/actions/extract_target.h"
#include "client/actions/tar_extractor.h"
#include "fuzz/archive_fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orvane::fuzz::FuzzRoot root;
    if (size < 1 || size > 256 * 1024) return 0;
    const size_t piece = 1 + static_cast<size_t>(data[0]) * 37;
    root.reset();
    orvane::ExtractTarget target;
    std::string cause;
    if (target.open(root.dest(), cause) != 0) std::abort();
    orvane::TarExtractor tar(target);
    for (size_t at = 1; at < size; at += piece)
        if (tar.feed(data + at, std::min(piece, size - at)) != 0) break;
    tar.finish();
    if (tar.state() == orvane::TarState::kFailed && tar.cause().empty()) std::abort();
    root.check_nothing_outside();
    return 0;
}
