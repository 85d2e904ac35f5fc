// Command-line parsing: named options first, then the first-letter rules; values stay pending
// across other options until a plain argument arrives.
#include "client/frontend/command_line.h"

#include "client/frontend/server_url.h"
#include "client/transfer/session/parallel_transfers.h"

#include "common/limits.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/system.h"

namespace orvane {

namespace {

enum class Pending {
    None,
    Parallel,
    Script,
    LogFile,
    TsLogFile,
    Append,
    Rollover,
    Set,
    Timeout,
    CaFile,
    Pin,
    Cert,
    Key
};

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
// its text before any ":" holds another "/" or a ".": then it is a path ("/var/log/x.log",
// "/job.fscr").
bool is_option(const std::string& arg) {
    if (arg.empty()) return false;
    if (arg[0] == '-') return true;
    if (arg[0] != '/') return false;
    // substr(1, npos - 1) still reaches the end when there is no ":".
    std::string name = arg.substr(1, arg.find(':') - 1);
    return name.find_first_of("/.") == std::string::npos;
}

bool is_help(const std::string& name) {
    return iequals(name, "-help") || iequals(name, "help") || iequals(name, "h") || name == "?";
}

// A port from the command line; a bad one ends the start-up, so no run reaches the wrong place.
void take_port(StartSettings& st, const std::string& text) {
    if (!parse_port(text, st.port)) {
        outputf(kLevelError, "Error: Invalid port %s (1 to 65535)", text.c_str());
        st.action = StartAction::Fail;
        return;
    }
    st.port_given = true;
}

// A URL is checked now, so a typo fails the start-up; the shell's open reads it again.
void take_url(StartSettings& st, const std::string& text) {
    ServerUrl url;
    std::string cause;
    if (text.size() > kLineCapacity - 5 || parse_server_url(text, url, cause) != 0) {
        outputf(kLevelError, "Error: Invalid URL: %s", cause.empty() ? "too long" : cause.c_str());
        st.action = StartAction::Fail;
    }
    wipe_secret(url.password);
    st.host = text;
}

// The largest timeout: a day, far beyond any reply worth waiting for.
constexpr uint64_t kMaxTimeoutSeconds = 86400;

void take_timeout(StartSettings& st, const std::string& text) {
    uint64_t v = 0;
    if (!parse_decimal(text, v, 6) || v > kMaxTimeoutSeconds) {
        outputf(kLevelError, "Error: Invalid timeout %s (seconds, 0 to %llu; 0 waits forever)", text.c_str(),
                static_cast<unsigned long long>(kMaxTimeoutSeconds));
        st.action = StartAction::Fail;
        return;
    }
    st.timeout_seconds = static_cast<int>(v);
}

void take_parallel(StartSettings& st, const std::string& text) {
    uint64_t v = 0;
    if (!parse_decimal(text, v, 3) || !parallel_count_allowed(static_cast<long long>(v))) {
        outputf(kLevelError, "Error: Invalid number of parallel sessions %s (1 to %d)",
                escape_controls(text).c_str(), kMaxParallelSessions);
        st.action = StartAction::Fail;
        return;
    }
    st.parallel = static_cast<int>(v);
}

void missing_file_name(StartSettings& st, const std::string& option) {
    outputf(kLevelError, "Error: The option %s needs a file name", escape_controls(option).c_str());
    st.action = StartAction::Fail;
}

// ---- TLS options, kept together ----

// The TLS options: a flag, or the value that follows. A name that is no TLS option: false.
bool take_tls_option(StartSettings& st, const std::string& name, Pending& pending) {
    static const struct {
        const char* name;
        Pending value;
    } kValued[] = {
        {"cacert", Pending::CaFile}, {"pin", Pending::Pin}, {"cert", Pending::Cert}, {"key", Pending::Key}};
    for (const auto& row : kValued) {
        if (iequals(name, row.name)) {
            pending = row.value;
            return true;
        }
    }
    if (iequals(name, "tlsstrict")) {
        st.tls.trust.strict = true;
    } else if (iequals(name, "insecure")) {
        st.tls.trust.insecure = true;
    } else if (iequals(name, "certpass")) {
        st.ask_certificate_password = true;
    } else if (iequals(name, "implicit")) {
        st.tls.implicit = true;
        if (st.protocol != kProtocolFtpsClear) st.protocol = kProtocolFtpsProtected;
        if (!st.port_given) st.port = 990;
    } else {
        return false;
    }
    return true;
}

void take_pin(StartSettings& st, const std::string& text) {
    if (!valid_key_text(text)) {
        outputf(kLevelError, "Error: Invalid key pin %s (sha256/ and the base64 of 32 bytes)",
                escape_controls(text).c_str());
        st.action = StartAction::Fail;
        return;
    }
    st.tls.trust.pin = text;
}

// The value of a valued TLS option. False when `pending` is none of them.
bool take_tls_value(StartSettings& st, Pending pending, const std::string& arg) {
    std::string value = cut(strip_quotes(arg), kPathCapacity);
    switch (pending) {
        case Pending::CaFile:
            st.tls.trust.ca_file = value;
            return true;
        case Pending::Pin:
            take_pin(st, value);
            return true;
        case Pending::Cert:
            st.tls.certificate.certificate_file = value;
            return true;
        case Pending::Key:
            st.tls.certificate.key_file = value;
            return true;
        default:
            return false;
    }
}

// Scheduled tasks get their trust from the environment; the command line wins.
void take_tls_environment(StartSettings& st) {
    if (st.tls.trust.ca_file.empty()) st.tls.trust.ca_file = platform::get_environment("ORVANE_CA_FILE");
    std::string pin = platform::get_environment("ORVANE_TLS_PIN");
    if (st.tls.trust.pin.empty() && !pin.empty()) take_pin(st, pin);
}

uint32_t decimal(const std::string& s) {
    return static_cast<uint32_t>(parse_decimal_prefix_saturating(s, UINT32_MAX));
}

}  // namespace

bool parse_port(const std::string& text, uint32_t& port) {
    uint64_t v = 0;
    if (!parse_decimal(text, v, 5) || v < 1 || v > 65535) return false;
    port = static_cast<uint32_t>(v);
    return true;
}

bool split_host_port(const std::string& text, std::string& host, std::string& port_text) {
    host.clear();
    port_text.clear();
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        host = text.substr(1, close - 1);
        if (!rest.empty()) port_text = rest.substr(1);
        return !host.empty() && (rest.empty() || !port_text.empty());
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        host = text;
        return true;
    }
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    return !host.empty() && !port_text.empty();
}

int reply_timeout(const StartSettings& settings) {
    if (settings.timeout_seconds >= 0) return settings.timeout_seconds;
    return settings.mode == RunMode::Shell ? 0 : kUnattendedTimeoutSeconds;
}

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
                if (!st.port_given) st.port = 22;
            } else if (iequals(name, "ssl")) {
                st.protocol = kProtocolFtpsProtected;
                if (!st.port_given && !st.tls.implicit) st.port = 21;
            } else if (take_tls_option(st, name, pending)) {
                // a TLS option
            } else if (is_help(name)) {
                if (st.action == StartAction::Run) st.action = StartAction::Help;
            } else if (iequals(name, "-version")) {
                if (st.action == StartAction::Run) st.action = StartAction::Version;
            } else if (iequals(name, "timeout")) {
                pending = Pending::Timeout;
            } else if (iequals(name, "parallel")) {
                pending = Pending::Parallel;
            } else if (iequals(name, "nopasv")) {
                st.passive = false;
            } else if (iequals(name, "noprogress")) {
                st.progress = false;
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
            } else if (iequals(name, "q") || iequals(name, "quiet")) {
                st.output.quiet = true;
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
                if (st.file.empty()) missing_file_name(st, arg);
            } else {
                // A mistyped option in an unattended job must not end as a success.
                outputf(kLevelError, "Invalid option: %s", escape_controls(arg).c_str());
                st.action = StartAction::Fail;
            }
            continue;
        }
        if (take_tls_value(st, pending, arg)) {
            pending = Pending::None;
            continue;
        }
        switch (pending) {
            case Pending::Script:
                st.mode = RunMode::Script;
                st.file = cut(strip_quotes(arg), cap);
                if (st.file.empty()) missing_file_name(st, "-script");
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
            case Pending::Timeout:
                take_timeout(st, arg);
                break;
            case Pending::Parallel:
                take_parallel(st, arg);
                break;
            default:  // no value was pending: the host, then its port
                if (!have_host && looks_like_url(arg)) {
                    have_host = true;
                    take_url(st, arg);
                } else if (!have_host) {
                    have_host = true;
                    std::string host, port;
                    if (!split_host_port(arg, host, port)) {
                        outputf(kLevelError, "Error: Invalid address %s", escape_controls(arg).c_str());
                        st.action = StartAction::Fail;
                    }
                    if (!port.empty()) take_port(st, port);
                    st.host = cut(host, cap);
                } else {
                    take_port(st, arg);
                }
                break;
        }
        pending = Pending::None;
    }
    if (pending == Pending::Script) missing_file_name(st, "-script");
    take_tls_environment(st);
    return st;
}

int resolve_certificate_password(StartSettings& settings) {
    bool found = false;
    std::string password = platform::get_environment("ORVANE_CERT_PASS", &found);
    // Programs a script starts have no business with it.
    platform::unset_environment("ORVANE_CERT_PASS");
    if (!found && settings.ask_certificate_password && !settings.tls.certificate.empty()) {
        if (!platform::stdin_is_terminal()) {
            output("Error: -certpass needs a terminal or ORVANE_CERT_PASS", kLevelError);
            return 1;
        }
        bool echo_off = platform::console_set_echo(false) == 0;
        output("Certificate password: ", kLevelInfo, 0);
        found = platform::console_read_line(password, kWideTextCapacity) >= 0;
        if (echo_off) platform::console_set_echo(true);
        output("", kLevelInfo, 1);
    }
    if (found && !settings.tls.certificate.empty()) settings.tls.certificate.password = password;
    wipe_secret(password);
    return 0;
}

const char* usage_text() {
    return R"(Usage: orvaneftp [options] [host[:port]] [port]

The host may be a name, an IPv4 address or a bare IPv6 address; [IPv6]:port gives a port too.
It may also be a URL: ftp://, ftps:// (implicit TLS) or sftp://[user[:password]@]host[:port][/folder]
(the password, when not given, from ~/.netrc or asked for).

Run modes:
  orvaneftp [host]              interactive shell (prompt "fendrel> ")
  orvaneftp -s:FILE [host]      shell commands from FILE; after each open, the next two lines
                                are the user name and the password
  orvaneftp -script FILE        a script (also -s:FILE when FILE ends in .fscr)

Options (they begin with "-" or "/"; names are compared without regard to case):
  -ssh                 SFTP (port 22 unless a port is given)
  -ssl                 FTPS with a protected data channel (port 21 unless a port is given)
  -implicit            implicit FTPS: TLS from the first byte (port 990 unless a port is given)
  -cacert FILE         trust servers whose certificate this CA file (or certificate) verifies
  -pin sha256/BASE64   accept only the server key with this SHA-256 fingerprint
  -tlsstrict           accept only certificates the system's CA store verifies for the name
  -insecure            accept any server certificate (warned on every connection)
  -cert FILE, -key FILE  the client certificate (PEM, or PKCS#12 unless it ends in .pem)
  -certpass            read the certificate's password from the terminal (or ORVANE_CERT_PASS)
  -nopasv              active mode (PORT) instead of passive mode
  -nonlst              name lists with LIST instead of NLST
  -noprogress          no progress line while a transfer runs (it shows only on a terminal)
  -nocolor             no colours on the console (NO_COLOR in the environment does the same)
  -q, -quiet           show only errors and the data asked for (listings, printed lines, get FILE -)
  -v...                any option beginning with v: the shell hides the server's replies
  -s:FILE, -sFILE      run the shell commands of FILE (a script when FILE ends in .fscr)
  -script FILE         run the script FILE
  -logfile FILE        write all output to FILE instead of the console, without timestamps
  -log FILE            the same with a timestamp on every line (also -tslogfile FILE)
  -append SIZE         append to the log file; SIZE is its rollover size in bytes
  -rollover SIZE       keep the log file under about SIZE bytes (0: no limit)
  -timeout SECONDS     give up on a server that does not answer within SECONDS (0: wait
                       forever); default 120 for command files and scripts, 0 for the shell
  -parallel N          folder transfers and mget/mput move up to N files at once, each over a
                       session of its own (1 to 16; default 1)
  -set NAME=VALUE      set an environment variable for the run and the programs it starts
  -h, -?, --help       this summary
  --version            the program's version

Exit codes:
  0   the run succeeded: the shell ended, every command of the command file succeeded, or the
      script ran without a failed statement
  1   a command of the command file failed (connect, login, transfer, a refused or unknown
      command); a file could not be opened; a script failed or did not parse; a bad option value
  130, 143  SIGINT or SIGTERM ended a command file, a script or the shell reading a pipe
      (the transfer under way stopped, the connection closed)
  n   the exit code a script set)";
}

}  // namespace orvane
