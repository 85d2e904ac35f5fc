// Fuzzes the listing parser with LIST and NLST answers; every entry must keep its field limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/transfer/text/listing_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<orvane::RemoteFileEntry> out;
    orvane::parse_list(text, orvane::ListingClock{2024, 1}, out);
    orvane::parse_nlst(text, out);
    for (const auto& e : out) {
        if (e.name.empty() || e.name.size() > orvane::kPathCapacity) abort();
        if (e.size_text.size() > orvane::RemoteFileEntry::kSizeTextCapacity) abort();
        if (e.time_text.size() > orvane::RemoteFileEntry::kTimeTextCapacity) abort();
        if (e.type < orvane::kEntryFile || e.type > orvane::kEntryLink) abort();
    }
    return 0;
}
