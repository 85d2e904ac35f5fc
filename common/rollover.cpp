// Log-file rollover: the tail of the old file kept after one "Rolled file" line.
#include "common/rollover.h"

#include <string>

#include "common/text.h"
#include "platform/file.h"

namespace orvane {

void enable_rollover(LocalFile& file, uint32_t limit) {
    int64_t size = file.size();
    file.set_rollover(limit, roll_over_if_due, nullptr);
    file.set_size_written(size < 0 ? 0 : size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size));
}

void roll_over_if_due(void*, LocalFile& file) {
    uint32_t limit = file.rollover_limit();
    if (file.size_written() <= limit) return;
    uint32_t keep = limit / 2;
    if (keep > kRolloverMaxKeptTail) keep = kRolloverMaxKeptTail;
    int64_t size = file.size();
    if (size >= 0 && static_cast<uint64_t>(keep) > static_cast<uint64_t>(size))
        keep = static_cast<uint32_t>(size);
    std::string tail(keep, '\0');
    bool have_tail = false;
    if (keep > 0 && file.seek(-static_cast<int64_t>(keep), 2) == 0) {
        size_t got = 0;
        while (got < keep) {
            int64_t r = file.read(tail.data() + got, keep - got);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        have_tail = got == keep;
    }
    // A tail that cannot be read is left out: nothing stands in its place.
    int mode = file.mode();
    file.close();
    file.open(platform::kOpenWrite);
    file.set_rollover_limit(0);
    file.write(format("Rolled file (rollover size was set to %u bytes)\r\n", limit));
    if (have_tail) file.write(tail);
    file.set_rollover_limit(limit);
    // A file whose writes always went to its end (a log others also write or rotate) goes on so.
    if (mode == platform::kOpenAppendAlways) file.open(platform::kOpenAppendAlways);
    int64_t now = file.size();
    file.set_size_written(now < 0 ? 0 : static_cast<uint32_t>(now));
}

}  // namespace orvane
