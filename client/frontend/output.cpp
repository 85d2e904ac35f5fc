// The standard output channel: coloured console text, or a tagged log file with rollover.
#include "client/frontend/output.h"

#include <memory>
#include <mutex>

#include "common/local_file.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/system.h"

namespace orvane {

namespace {

// The channel's state: one instance, owned here.
struct OutputChannel {
    std::mutex lock;  // serialises all output, from every thread
    bool colour = true;
    bool terminal = false;
    bool log_configured = false;
    std::unique_ptr<LocalFile> log;
    bool timestamps = false;
    bool at_line_start = true;
};
OutputChannel g_channel;

// The rollover keeps at most 1,024,000 bytes of the old log's tail.
constexpr uint32_t kMaxKeptTail = 1024000;

void rollover_check(void*, LocalFile& file) {
    uint32_t limit = file.rollover_limit();
    if (file.size_written() <= limit) return;
    uint32_t keep = limit / 2;
    if (keep > kMaxKeptTail) keep = kMaxKeptTail;
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
    file.close();
    file.open(platform::kOpenWrite);
    file.set_rollover_limit(0);
    file.write(format("Rolled file (rollover size was set to %u bytes)\r\n", limit));
    if (have_tail) file.write(tail);
    file.set_rollover_limit(limit);
    int64_t now = file.size();
    file.set_size_written(now < 0 ? 0 : static_cast<uint32_t>(now));
}

void standard_sink(void*, const char* text, int level, int line_end) {
    if (text == nullptr) return;
    std::lock_guard<std::mutex> guard(g_channel.lock);
    if (!g_channel.log_configured) {
        std::string out;
        bool coloured = g_channel.colour && g_channel.terminal && level_attribute(level) != 0;
        if (coloured) out += platform::colour_escape(level_attribute(level));
        out += text;
        if (coloured) out += platform::kColourReset;
        if (line_end == 1) out += '\n';
        platform::console_write(out.data(), out.size());
        return;
    }
    LocalFile* log = g_channel.log.get();
    std::string out;
    if (g_channel.at_line_start) {
        g_channel.at_line_start = false;
        if (g_channel.timestamps) out += log_timestamp(platform::now_unix()) + ": ";
        out += level_tag(level);
    }
    out += text;
    if (line_end == 1) {
        size_t n = std::char_traits<char>::length(text);
        if (n == 0 || (text[n - 1] != '\r' && text[n - 1] != '\n')) out += "\r\n";
        g_channel.at_line_start = true;
    }
    log->write(out);  // a failed write is not reported
}

}  // namespace

void install_standard_output() {
    {
        std::lock_guard<std::mutex> guard(g_channel.lock);
        g_channel.terminal = platform::stdout_is_terminal();
        g_channel.colour = platform::colour_permitted_by_environment();
    }
    set_output_sink(standard_sink, nullptr);
}

int initialise_output(const OutputSettings& settings) {
    std::lock_guard<std::mutex> guard(g_channel.lock);
    g_channel.terminal = platform::stdout_is_terminal();
    g_channel.colour = settings.colour && platform::colour_permitted_by_environment();
    g_channel.timestamps = settings.timestamps;
    g_channel.at_line_start = true;
    g_channel.log.reset();
    g_channel.log_configured = false;
    if (settings.log_file.empty()) return 0;
    g_channel.log_configured = true;
    g_channel.log = std::make_unique<LocalFile>(platform::normalize_local_path(settings.log_file));
    if (g_channel.log->open(settings.append ? platform::kOpenAppend : platform::kOpenWrite) != 0) return 1;
    if (settings.rollover > 0) {
        int64_t size = g_channel.log->size();
        g_channel.log->set_rollover(settings.rollover, rollover_check, nullptr);
        g_channel.log->set_size_written(size < 0 ? 0 : static_cast<uint32_t>(size));
    }
    return 0;
}

void shutdown_output() {
    std::lock_guard<std::mutex> guard(g_channel.lock);
    g_channel.log.reset();
    g_channel.log_configured = false;
    g_channel.at_line_start = true;
}

const char* level_tag(int level) {
    switch (level) {
        case kLevelWarning:
            return "[WRN] ";
        case kLevelError:
            return "[ERR] ";
        case kLevelCommand:
            return "[CMD] ";
        case kLevelResponse:
            return "[RSP] ";
        default:
            return "[   ] ";
    }
}

int level_attribute(int level) {
    switch (level) {
        case kLevelInfo:
            return 11;
        case kLevelWarning:
            return 14;
        case kLevelError:
            return 12;
        case kLevelCommand:
            return 9;
        case kLevelResponse:
            return 10;
        default:
            return 0;
    }
}

std::string log_timestamp(int64_t unix_time) {
    struct tm t = platform::local_time(static_cast<time_t>(unix_time));
    int hour = t.tm_hour % 12;
    if (hour == 0) hour = 12;
    return format("%d/%d/%d %d:%02d:%02d %s", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, hour, t.tm_min,
                  t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
}

}  // namespace orvane
