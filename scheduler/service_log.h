// The service's own log: "orvanesched.log" beside the schedule file, timestamped and tagged lines
// with rollover at 1,024,000 bytes, and the same lines on the console.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::sched {

inline constexpr const char* kServiceLogName = "orvanesched.log";
inline constexpr uint32_t kServiceLogRollover = 1024000;

// Opens (appending) the log at `path` and installs the output sink that writes every message
// to it, and to standard output when `console` is set. 0 on success; 1 when the log cannot be
// opened (the cause in *error): messages then reach the console only.
int open_service_log(const std::string& path, bool console, std::string* error);
// Removes the sink and closes the log.
void close_service_log();

}  // namespace orvane::sched
