// Process-wide facts and settings: program folder, environment, local time, computer name.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace orvane::platform {

// The folder of the running executable, ending in "/".
std::string program_folder();
// The full path of the running executable (empty when it cannot be read).
std::string program_path();
// Sets (or, with an empty value, sets to the empty text) an environment variable. 0 on success.
int set_environment(const std::string& name, const std::string& value);
// Removes a variable, so that programs started later do not inherit it. 0 on success.
int unset_environment(const std::string& name);
std::string get_environment(const std::string& name, bool* found = nullptr);
// Broken-down local time of a Unix time (process TZ).
struct tm local_time(time_t t);
time_t now_unix();
std::string computer_name();
// The system's text for an error number (errno), as the user should read it.
std::string error_text(int error);
// The process's current working folder, ending in "/".
std::string current_folder();
// The system's text for the error of the last failed call (errno), for messages.
std::string last_error_text();
// Local paths: a "\" written by a user or a script is read as "/".
std::string normalize_local_path(std::string path);

}  // namespace orvane::platform
