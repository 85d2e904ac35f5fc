// The standard output channel: coloured console text, or a tagged log file with rollover.
#include "client/frontend/output.h"

#include <memory>
#include <mutex>

#include "common/local_file.h"
#include "common/rollover.h"
#include "common/safe_name.h"
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
    bool error_terminal = false;
    bool quiet = false;
    bool typing = false;  // standard input is a terminal
    bool stdout_reserved = false;
    bool log_configured = false;
    std::unique_ptr<LocalFile> log;
    bool timestamps = false;
    bool at_line_start = true;
    bool progress_shown = false;  // a progress line stands on the terminal's current line
};
OutputChannel g_channel;

// Every text is written with its control characters escaped (tab and our own line ends apart), so
// nothing a server sends can move the cursor, clear the screen or retitle the terminal, on the
// console or in a log viewed later. Commands and replies are one line each: there only a line end
// at the very end stays, so a reply cannot start a line of its own either.
std::string displayable(const char* text, int level) {
    std::string_view t(text);
    if (level != kLevelCommand && level != kLevelResponse) return escape_controls(t, true);
    size_t body = t.size();
    if (body > 0 && t[body - 1] == '\n') --body;
    if (body > 0 && t[body - 1] == '\r') --body;
    return escape_controls(t.substr(0, body)) + std::string(t.substr(body));
}

// Warnings and errors go to standard error, so a pipe of standard output holds only what was
// asked for; a quiet run keeps errors and data alone. Called with the channel's lock held.
void write_console(const std::string& text, int level, int line_end) {
    bool problem = level == kLevelWarning || level == kLevelError;
    // Someone typing at a quiet shell still needs its prompts (info text that leaves its line open).
    bool prompt = level == kLevelInfo && line_end == 0 && g_channel.typing;
    if (g_channel.quiet && level != kLevelError && level != kLevelData && !prompt) return;
    bool to_error = problem || (g_channel.stdout_reserved && level != kLevelData);
    std::string out;
    // Any other text takes the progress line's place rather than running on behind it.
    if (g_channel.progress_shown && !to_error) out += "\r\x1b[K";
    if (g_channel.progress_shown && to_error) platform::console_write("\r\x1b[K", 4);
    g_channel.progress_shown = false;
    int attribute = level_attribute(level, text);
    bool terminal = to_error ? g_channel.error_terminal : g_channel.terminal;
    bool coloured = g_channel.colour && terminal && attribute != 0;
    if (coloured) out += platform::colour_escape(attribute);
    out += text;
    if (coloured) out += platform::kColourReset;
    if (line_end == 1) out += '\n';
    if (to_error)
        platform::console_write_error(out.data(), out.size());
    else
        platform::console_write(out.data(), out.size());
}

// The progress line redraws itself in place ("\r", the text, erase to the end of the line). Only
// a terminal sees it: a pipe, a quiet run and a log file would keep every redraw.
void write_progress(const char* raw) {
    if (g_channel.log_configured || !g_channel.terminal || g_channel.quiet || g_channel.stdout_reserved)
        return;
    if (raw[0] == '\0' && !g_channel.progress_shown) return;  // already gone
    std::string out = "\r" + escape_controls(std::string_view(raw)) + "\x1b[K";
    platform::console_write(out.data(), out.size());
    g_channel.progress_shown = raw[0] != '\0';
}

void standard_sink(void*, const char* raw, int level, int line_end) {
    if (raw == nullptr) return;
    if (level == kLevelProgress) {
        std::lock_guard<std::mutex> guard(g_channel.lock);
        write_progress(raw);
        return;
    }
    std::string text = displayable(raw, level);
    std::lock_guard<std::mutex> guard(g_channel.lock);
    if (!g_channel.log_configured) {
        write_console(text, level, line_end);
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
        if (text.empty() || (text.back() != '\r' && text.back() != '\n')) out += "\r\n";
        g_channel.at_line_start = true;
    }
    log->write(out);  // a failed write is not reported
}

}  // namespace

void prompt_colour(std::string& start, std::string& end) {
    std::lock_guard<std::mutex> guard(g_channel.lock);
    start.clear();
    end.clear();
    int attribute = level_attribute(kLevelInfo);
    if (!g_channel.colour || !g_channel.terminal || attribute == 0) return;
    start = platform::colour_escape(attribute);
    end = platform::kColourReset;
}

void install_standard_output() {
    {
        std::lock_guard<std::mutex> guard(g_channel.lock);
        g_channel.terminal = platform::stdout_is_terminal();
        g_channel.error_terminal = platform::stderr_is_terminal();
        g_channel.colour = platform::colour_permitted_by_environment();
    }
    set_output_sink(standard_sink, nullptr);
}

int initialise_output(const OutputSettings& settings) {
    std::string failure;
    {
        std::lock_guard<std::mutex> guard(g_channel.lock);
        g_channel.terminal = platform::stdout_is_terminal();
        g_channel.error_terminal = platform::stderr_is_terminal();
        g_channel.colour = settings.colour && platform::colour_permitted_by_environment();
        g_channel.quiet = settings.quiet;
        g_channel.typing = platform::stdin_is_terminal();
        g_channel.timestamps = settings.timestamps;
        g_channel.at_line_start = true;
        g_channel.log.reset();
        g_channel.log_configured = false;
        if (settings.log_file.empty()) return 0;
        auto log = std::make_unique<LocalFile>(platform::normalize_local_path(settings.log_file));
        if (log->open(settings.append ? platform::kOpenAppend : platform::kOpenWrite) != 0) {
            failure = platform::last_error_text();
        } else {
            if (settings.rollover > 0) enable_rollover(*log, settings.rollover);
            g_channel.log = std::move(log);
            g_channel.log_configured = true;
            return 0;
        }
    }
    // An unattended run must not go silent: the console keeps the output.
    outputf(kLevelError, "Error: Could not open log file %s: %s", settings.log_file.c_str(), failure.c_str());
    return 1;
}

void shutdown_output() {
    std::lock_guard<std::mutex> guard(g_channel.lock);
    g_channel.log.reset();
    g_channel.log_configured = false;
    g_channel.at_line_start = true;
}

void reserve_stdout_for_data(bool on) {
    std::lock_guard<std::mutex> guard(g_channel.lock);
    g_channel.stdout_reserved = on;
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

int level_attribute(int level, const std::string& text) {
    switch (level) {
        case kLevelInfo:
        case kLevelData:
            return 11;
        case kLevelWarning:
            return 14;
        case kLevelError:
            return 12;
        case kLevelCommand:
            return 9;
        case kLevelResponse:
            return !text.empty() && (text[0] == '4' || text[0] == '5') ? 12 : 10;
        default:
            return 0;
    }
}

}  // namespace orvane
