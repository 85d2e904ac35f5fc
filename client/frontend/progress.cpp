// Progress line and summary: rates from the steady clock, sizes in binary units.
#include "client/frontend/progress.h"

#include <cinttypes>
#include <cstdio>

#include "common/log.h"
#include "common/text.h"

namespace orvane {

namespace {

double seconds_since(ProgressClock::time_point start) {
    return std::chrono::duration<double>(ProgressClock::now() - start).count();
}

std::string eta_text(double seconds) {
    auto s = static_cast<uint64_t>(seconds + 0.5);
    if (s >= 3600) return format("%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60, s % 60);
    return format("%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
}

}  // namespace

std::string byte_count_text(double bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return format("%.0f B", bytes);
    int unit = -1;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    return format("%.1f %s", bytes, kUnits[unit]);
}

std::string progress_text(const std::string& name, uint64_t bytes, uint64_t total, double seconds) {
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    std::string text = name + "  " + byte_count_text(static_cast<double>(bytes));
    if (total > 0) {
        uint64_t shown = bytes > total ? total : bytes;
        text += format("  %3" PRIu64 "%%", shown * 100 / total);
    }
    text += "  " + byte_count_text(rate) + "/s";
    if (total > bytes && rate > 0) text += "  ETA " + eta_text(static_cast<double>(total - bytes) / rate);
    return text;
}

std::string summary_text(uint64_t bytes, double seconds) {
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : static_cast<double>(bytes);
    return format("%" PRIu64 " bytes in %.2f s (%s/s)", bytes, seconds, byte_count_text(rate).c_str());
}

void progress_begin(TransferProgress& p, const std::string& name) {
    p.name = name;
    p.started = p.last_draw = ProgressClock::now();
    p.drawn = false;
}

void progress_tick(TransferProgress& p, uint64_t bytes, uint64_t total) {
    if (!p.enabled) return;
    auto now = ProgressClock::now();
    if (now - p.last_draw < std::chrono::milliseconds(kProgressRedrawMs)) return;
    p.last_draw = now;
    p.drawn = true;
    output(progress_text(p.name, bytes, total, seconds_since(p.started)), kLevelProgress, 0);
}

void progress_end(TransferProgress& p, uint64_t bytes, bool succeeded) {
    if (p.drawn) output("", kLevelProgress, 0);
    p.drawn = false;
    if (succeeded) output(summary_text(bytes, seconds_since(p.started)), kLevelInfo);
}

}  // namespace orvane
