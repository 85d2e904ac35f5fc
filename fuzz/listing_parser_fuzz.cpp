// Fuzzes the listing parser with LIST and NLST answers (whole, and streamed in two pieces, which must
// give the same entries) and with MLSD answers; every entry must keep its field limits, and a machine
// listing's exact facts must be whole. Also the ASCII line-end conversion:
// text without CR comes back unchanged from the wire form, however it is split.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "client/transfer/text/ascii_line_ends.h"
#include "client/transfer/text/listing_parser.h"
#include "client/transfer/text/machine_listing.h"

namespace {

void check_ascii(const uint8_t* data, size_t size, size_t split) {
    std::vector<uint8_t> plain;
    for (size_t i = 0; i < size; ++i)
        if (data[i] != '\r') plain.push_back(data[i]);
    std::vector<uint8_t> wire(2 * plain.size() + 1), back(wire.size() + 2);
    orvane::AsciiEncoder encoder;
    size_t cut = std::min(split, plain.size());
    size_t w = encoder.convert(plain.data(), cut, wire.data());
    w += encoder.convert(plain.data() + cut, plain.size() - cut, wire.data() + w);
    orvane::AsciiDecoder decoder;
    size_t wire_cut = std::min(split, w);
    size_t b = decoder.convert(wire.data(), wire_cut, back.data());
    b += decoder.convert(wire.data() + wire_cut, w - wire_cut, back.data() + b);
    b += decoder.finish(back.data() + b);
    if (b != plain.size() || !std::equal(plain.begin(), plain.end(), back.begin())) abort();
}

void check_machine(const uint8_t* data, size_t size, size_t split) {
    orvane::RemoteListing listing;
    orvane::ListingStream stream(orvane::ListingStream::Kind::kMachine, orvane::ListingClock{2024, 1},
                                 listing);
    stream.feed(data, split);
    stream.feed(data + split, size - split);
    stream.finish();
    for (const auto& e : listing) {
        if (e.name.empty() || e.name.size() > orvane::kPathCapacity || e.name == "." || e.name == "..")
            abort();
        if ((e.exact & orvane::kExactSize) && (e.type != orvane::kEntryFile || e.size_text.empty())) abort();
        if ((e.exact & orvane::kExactTime) && e.time_text.size() != 14) abort();
        if (e.type < orvane::kEntryFile || e.type > orvane::kEntryLink) abort();
    }
    orvane::RemoteFileEntry one;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (orvane::parse_mlsd_line(text, one) == 0 && one.name.empty()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const orvane::ListingClock clock{2024, 1};
    std::vector<orvane::RemoteFileEntry> out;
    orvane::parse_list(text, clock, out);
    size_t split = size == 0 ? 0 : data[0] * size / 256;
    orvane::RemoteListing streamed;
    orvane::ListingStream stream(orvane::ListingStream::Kind::kList, clock, streamed);
    stream.feed(data, split);
    stream.feed(data + split, size - split);
    stream.finish();
    if (streamed.size() != out.size()) abort();
    for (size_t i = 0; i < out.size(); ++i)
        if (streamed[i].name != out[i].name || streamed[i].size != out[i].size) abort();
    orvane::parse_nlst(text, out);
    for (const auto& e : out) {
        if (e.name.empty() || e.name.size() > orvane::kPathCapacity) abort();
        if (e.size_text.size() > orvane::RemoteFileEntry::kSizeTextCapacity) abort();
        if (e.time_text.size() > orvane::RemoteFileEntry::kTimeTextCapacity) abort();
        if (e.type < orvane::kEntryFile || e.type > orvane::kEntryLink) abort();
    }
    check_ascii(data, size, split);
    check_machine(data, size, split);
    return 0;
}
