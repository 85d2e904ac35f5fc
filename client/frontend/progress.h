// The shell's progress line for one transfer, and the summary line after it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvane {

using ProgressClock = std::chrono::steady_clock;

// One transfer's line: drawn at most four times a second through the output sink, which shows it
// on a terminal only.
struct TransferProgress {
    bool enabled = false;  // the shell's -noprogress turns it off
    std::string name;
    ProgressClock::time_point started;
    ProgressClock::time_point last_draw;
    bool drawn = false;
};

// The milliseconds to wait before the next redraw is due (-1: no line is being drawn).
inline constexpr int kProgressRedrawMs = 250;

void progress_begin(TransferProgress& p, const std::string& name);
// Redraws the line when a quarter second has passed since the last redraw.
void progress_tick(TransferProgress& p, uint64_t bytes, uint64_t total);
// Clears the line; after a transfer that succeeded, the summary at info level.
void progress_end(TransferProgress& p, uint64_t bytes, bool succeeded);

// "NAME  12.0 MiB  37%  4.1 MiB/s  ETA 0:05" (no percent or ETA without a total).
std::string progress_text(const std::string& name, uint64_t bytes, uint64_t total, double seconds);
// "N bytes in T s (R/s)".
std::string summary_text(uint64_t bytes, double seconds);
// 1536 -> "1.5 KiB"; below 1 KiB the bytes themselves.
std::string byte_count_text(double bytes);

}  // namespace orvane
