// ASCII line ends: each case converted whole and at every split into two blocks, so that a CR LF
// pair falling across a block end is seen.
#include "client/transfer/text/ascii_line_ends.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

std::string decode(const std::string& wire, size_t split) {
    std::vector<uint8_t> out(wire.size() + 2);
    AsciiDecoder d;
    auto in = reinterpret_cast<const uint8_t*>(wire.data());
    size_t n = d.convert(in, split, out.data());
    n += d.convert(in + split, wire.size() - split, out.data() + n);
    n += d.finish(out.data() + n);
    return std::string(out.begin(), out.begin() + static_cast<ptrdiff_t>(n));
}

std::string encode(const std::string& file, size_t split) {
    std::vector<uint8_t> out(2 * file.size());
    AsciiEncoder e;
    auto in = reinterpret_cast<const uint8_t*>(file.data());
    size_t n = e.convert(in, split, out.data());
    n += e.convert(in + split, file.size() - split, out.data() + n);
    return std::string(out.begin(), out.begin() + static_cast<ptrdiff_t>(n));
}

TEST(AsciiLineEnds, WireAndFileFormsAtEverySplit) {
    struct Case {
        std::string wire, file;
    } cases[] = {
        {"a\r\nb\r\n", "a\nb\n"},     {"\r\n\r\n", "\n\n"},
        {"lone\rcr\r", "lone\rcr\r"},  // a CR without LF stays, also at the very end
        {"x\r\r\ny", "x\r\ny"},       {"no line end", "no line end"},
    };
    for (const Case& c : cases) {
        for (size_t split = 0; split <= c.wire.size(); ++split)
            EXPECT_EQ(decode(c.wire, split), c.file) << "split at " << split;
    }
    // Upload: a lone LF gets its CR; a CR LF already there is kept as it is, across blocks too.
    for (const std::string& file : {std::string("a\nb\n\nc"), std::string("a\r\nb\n")}) {
        for (size_t split = 0; split <= file.size(); ++split)
            EXPECT_EQ(encode(file, split), file[1] == '\r' ? "a\r\nb\r\n" : "a\r\nb\r\n\r\nc") << split;
    }
}

}  // namespace
}  // namespace orvane
