// The service's log channel: one lock, one file with rollover, optional console copy.
#include "scheduler/service_log.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>

#include "common/local_file.h"
#include "common/log.h"
#include "common/rollover.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/spawn.h"
#include "platform/system.h"

namespace orvane::sched {

namespace {

struct ServiceLog {
    std::mutex lock;  // one message at a time, from every thread
    std::unique_ptr<LocalFile> file;
    bool console = false;
    bool at_line_start = true;
};
ServiceLog g_log;

const char* level_tag(int level) {
    switch (level) {
        case kLevelWarning:
            return "[WRN] ";
        case kLevelError:
            return "[ERR] ";
        default:
            return "[   ] ";
    }
}

// "12/8/2026 6:54:44 AM: ", the log's timestamp.
std::string timestamp() {
    // The clock the scheduler counts with (time() may lag it by a tick near a second's end).
    auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    return log_timestamp(now) + ": ";
}

void service_sink(void* context, const char* text, int level, int line_end) {
    auto* log = static_cast<ServiceLog*>(context);
    if (text == nullptr) return;
    std::lock_guard<std::mutex> hold(log->lock);
    std::string line;
    if (log->at_line_start) line = timestamp() + level_tag(level);
    line += text;
    log->at_line_start = line_end == 1;
    if (log->file) {
        std::string out = line;
        if (line_end == 1 && (out.empty() || (out.back() != '\n' && out.back() != '\r'))) out += "\r\n";
        log->file->write(out);  // a failed write is not reported
    }
    if (log->console) {
        if (line_end == 1) line += '\n';
        platform::console_write(line.data(), line.size());
    }
}

}  // namespace

int open_service_log(const std::string& path, bool console, std::string* error) {
    int result = 0;
    {
        std::lock_guard<std::mutex> hold(g_log.lock);
        g_log.console = console;
        g_log.at_line_start = true;
        g_log.file = std::make_unique<LocalFile>(path);
        // Every line lands at the end even when another writer or a log rotation moved it.
        if (g_log.file->open(platform::kOpenAppendAlways) != 0) {
            if (error) *error = path + ": " + platform::error_text(errno);
            g_log.file.reset();
            g_log.console = true;  // a service that says nothing cannot be run
            result = 1;
        } else {
            g_log.file->seek(0, 2);
            enable_rollover(*g_log.file, kServiceLogRollover);
        }
    }
    set_output_sink(service_sink, &g_log);
    return result;
}

void close_service_log() {
    set_output_sink(nullptr, nullptr);
    std::lock_guard<std::mutex> hold(g_log.lock);
    g_log.file.reset();
}

}  // namespace orvane::sched
