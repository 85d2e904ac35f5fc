// The zip member walk over arbitrary bytes written as an archive file; the destination holds a
// link out of it, and nothing may ever appear outside.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "client/actions/archive_reader.h"
#include "client/actions/extract_target.h"
#include "fuzz/archive_fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orvane::fuzz::FuzzRoot root;
    if (size > 256 * 1024) return 0;
    root.reset();
    FILE* f = fopen(root.input().c_str(), "wb");
    if (!f) std::abort();
    fwrite(data, 1, size, f);
    fclose(f);
    orvane::ExtractTarget target;
    std::string cause;
    if (target.open(root.dest(), cause) != 0) std::abort();
    if (orvane::extract_archive(root.input(), orvane::ArchiveFormat::kZip, "", target, cause) != 0 &&
        cause.empty())
        std::abort();
    root.check_nothing_outside();
    return 0;
}
