// Message boxes as output lines, waits, computer name and environment values.
#include "client/actions/system_actions.h"

#include <chrono>
#include <thread>

#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/system.h"

namespace orvane {

void message_box(std::string_view text, bool warning) {
    std::string line = warning ? "Script warning message: " : "Script Message: ";
    line += escape_controls(text);
    output(line, warning ? kLevelWarning : kLevelInfo);
    if (!platform::stdin_is_terminal()) return;
    output("Press Enter to continue", kLevelInfo);
    std::string answer;
    platform::console_read_line(answer, kLineCapacity);
}

void wait_seconds(uint32_t n) {
    std::this_thread::sleep_for(std::chrono::seconds(n));
}

std::string computer_name_text() {
    return cut(platform::computer_name(), kStringVariableCapacity);
}

std::string environment_text(std::string_view name) {
    if (name.empty() || name.find('=') != std::string_view::npos) return {};
    return cut(platform::get_environment(std::string(name)), kStringVariableCapacity);
}

}  // namespace orvane
