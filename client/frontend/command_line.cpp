// Command-line parsing: named options first, then the first-letter rules; values stay pending
// across other options until a plain argument arrives.
#include "client/frontend/command_line.h"

#include "common/limits.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane {

namespace {

enum class Pending { None, Script, LogFile, TsLogFile, Append, Rollover, Set };

bool has_fscr_extension(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot != std::string::npos && iequals(name.substr(dot + 1), "fscr");
}

void apply_set(const std::string& arg) {
    std::string text = strip_quotes(arg);
    size_t eq = text.find('=');
    std::string name = eq == std::string::npos ? text : text.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : strip_quotes(text.substr(eq + 1));
    if (name.empty()) return;
    platform::set_environment(name, value);
}

// "-name" is always an option. "/name" is one too, as on the system's first platform, unless
// the name holds a "/" before any ":": then it is an absolute path ("/var/log/x.log").
bool is_option(const std::string& arg) {
    if (arg.empty()) return false;
    if (arg[0] == '-') return true;
    if (arg[0] != '/') return false;
    // substr(1, npos - 1) still reaches the end when there is no ":".
    std::string name = arg.substr(1, arg.find(':') - 1);
    return name.find('/') == std::string::npos;
}

uint32_t decimal(const std::string& s) {
    return static_cast<uint32_t>(parse_decimal_prefix_saturating(s, UINT32_MAX));
}

}  // namespace

std::string strip_quotes(const std::string& s) {
    std::string out = s;
    if (!out.empty() && out.front() == '"') out.erase(0, 1);
    if (!out.empty() && out.back() == '"') out.pop_back();
    return out;
}

StartSettings parse_command_line(const std::vector<std::string>& args) {
    StartSettings st;
    Pending pending = Pending::None;
    bool have_host = false;
    constexpr size_t cap = kPathCapacity;  // host and file names alike

    for (const std::string& arg : args) {
        if (is_option(arg)) {
            std::string name = arg.substr(1);
            if (iequals(name, "ssh")) {
                st.protocol = kProtocolSftp;
                st.port = 22;
            } else if (iequals(name, "ssl")) {
                st.protocol = kProtocolFtpsProtected;
                st.port = 21;
            } else if (iequals(name, "nopasv")) {
                st.passive = false;
            } else if (iequals(name, "nonlst")) {
                st.use_nlst = false;
            } else if (iequals(name, "nocolor")) {
                st.output.colour = false;
            } else if (iequals(name, "script")) {
                pending = Pending::Script;
            } else if (iequals(name, "logfile")) {
                pending = Pending::LogFile;
            } else if (iequals(name, "tslogfile") || iequals(name, "log")) {
                pending = Pending::TsLogFile;
            } else if (iequals(name, "append")) {
                st.output.append = true;
                pending = Pending::Append;
            } else if (iequals(name, "rollover")) {
                pending = Pending::Rollover;
            } else if (iequals(name, "set")) {
                pending = Pending::Set;
            } else if (istarts_with(name, "v")) {
                st.show_responses = false;
            } else if (!name.empty() &&
                       std::string("dingaw").find(ascii_lower(name[0])) != std::string::npos) {
                // accepted and ignored
            } else if (istarts_with(name, "s")) {
                // The file name follows "s:" or "s" directly; its quotes stay.
                std::string file = name.substr(1);
                if (!file.empty() && file[0] == ':') file.erase(0, 1);
                st.file = cut(file, cap);
                st.mode = has_fscr_extension(st.file) ? RunMode::Script : RunMode::CommandFile;
            } else {
                outputf(kLevelError, "Invalid option: %s", arg.c_str());
            }
            continue;
        }
        switch (pending) {
            case Pending::Script:
                st.mode = RunMode::Script;
                st.file = cut(strip_quotes(arg), cap);
                break;
            case Pending::LogFile:
                st.output.log_file = cut(strip_quotes(arg), cap);
                st.output.timestamps = false;
                break;
            case Pending::TsLogFile:
                st.output.log_file = cut(strip_quotes(arg), cap);
                st.output.timestamps = true;
                break;
            case Pending::Append:
                st.output.rollover = decimal(arg);
                break;
            case Pending::Rollover:
                st.output.rollover = decimal(arg);
                break;
            case Pending::Set:
                apply_set(arg);
                break;
            case Pending::None:
                if (!have_host) {
                    have_host = true;
                    size_t colon = arg.rfind(':');
                    if (colon != std::string::npos) {
                        st.port = decimal(arg.substr(colon + 1));
                        st.host = cut(arg.substr(0, colon), cap);
                    } else {
                        st.host = cut(arg, cap);
                    }
                } else {
                    st.port = decimal(arg);
                }
                break;
        }
        pending = Pending::None;
    }
    return st;
}

}  // namespace orvane
