// The known-certificates file: its place, its lines, and adding a line under a lock.
#include "client/transfer/tls/known_certs.h"

#include <cerrno>
#include <ctime>

#include "common/text.h"
#include "platform/file.h"
#include "platform/file_lock.h"
#include "platform/file_replace.h"
#include "platform/system.h"

namespace orvane {

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string today_utc() {
    time_t now = platform::now_unix();
    struct tm t {};
    gmtime_r(&now, &t);
    return format("%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
}

// The next line of `text` from `at` (without its line end); false at the end.
bool next_line(std::string_view text, size_t& at, std::string_view& line) {
    if (at >= text.size()) return false;
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    return true;
}

std::string_view first_word(std::string_view& rest) {
    size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    size_t end = rest.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view word = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return word;
}

}  // namespace

std::string default_known_certs_file() {
    std::string own = platform::get_environment("ORVANE_KNOWN_CERTS");
    if (!own.empty()) return own;
    std::string config = platform::get_environment("XDG_CONFIG_HOME");
    if (!config.empty()) return config + "/orvane/known_certs";
    std::string home = platform::get_environment("HOME");
    if (!home.empty()) return home + "/.config/orvane/known_certs";
    return {};
}

std::string known_certs_name(std::string_view host, uint16_t port) {
    return to_lower(host) + ":" + std::to_string(port);
}

bool find_known_cert(std::string_view text, std::string_view name, KnownCert& found) {
    size_t at = 0;
    size_t number = 0;
    std::string_view line;
    std::string wanted = to_lower(name);
    while (next_line(text, at, line)) {
        ++number;
        std::string_view rest = line;
        std::string_view host = first_word(rest);
        if (host.empty() || host[0] == '#' || to_lower(host) != wanted) continue;
        std::string_view key = first_word(rest);
        if (key.empty()) continue;
        found.key = std::string(key);
        found.line = number;
        return true;
    }
    return false;
}

int read_known_certs(const std::string& path, std::string& text, std::string& error) {
    text.clear();
    if (!platform::path_exists(path)) return 0;
    platform::FileHandle file = platform::file_open(path, platform::kOpenRead);
    if (file == platform::kInvalidFile) {
        error = format("cannot read %s (%s)", path.c_str(), platform::error_text(errno).c_str());
        return 1;
    }
    int64_t size = platform::file_size(file);
    int status = 0;
    if (size < 0 || size > kKnownCertsFileLimit) {
        error = size < 0 ? format("cannot read %s (%s)", path.c_str(), platform::error_text(errno).c_str())
                         : format("cannot read %s (larger than 16 MB)", path.c_str());
        status = 1;
    } else {
        // One byte more than the size shows a file that grew while it was read.
        text.resize(static_cast<size_t>(size) + 1);
        int64_t got = platform::file_read(file, text.data(), text.size());
        if (got < 0 || got > size) {
            error = got < 0 ? format("cannot read %s (%s)", path.c_str(), platform::error_text(errno).c_str())
                            : format("cannot read %s (it changed while being read)", path.c_str());
            status = 1;
            text.clear();
        } else {
            text.resize(static_cast<size_t>(got));
        }
    }
    platform::file_close(file);
    return status;
}

RecordOutcome record_known_cert(const std::string& path, std::string_view name, std::string_view key,
                                KnownCert& existing, std::string& text, std::string& error) {
    std::string folder = folder_of(path);
    if (!folder.empty() && platform::make_private_folders(folder) != 0) {
        error = format("cannot create %s (%s)", folder.c_str(), platform::error_text(errno).c_str());
        return RecordOutcome::kFailed;
    }
    platform::FileLock lock;
    std::string lock_error;
    if (lock.acquire(path + ".lock", &lock_error) != 0) {
        error = "cannot lock " + lock_error;
        return RecordOutcome::kFailed;
    }
    if (read_known_certs(path, text, error) != 0) return RecordOutcome::kFailed;
    if (find_known_cert(text, name, existing)) return RecordOutcome::kAlreadyKnown;
    std::string line = std::string(name) + " " + std::string(key) + " " + today_utc() + "\n";
    bool ends_open = !text.empty() && text.back() != '\n';
    if (ends_open) line.insert(0, "\n");
    int r = 0;
    if (platform::path_is_link(path)) {
        // Replacing would put a plain file where the user keeps a link to a shared one.
        r = platform::append_to_file(path, line.data(), line.size());
        if (r != 0) error = format("cannot write %s (%s)", path.c_str(), platform::error_text(errno).c_str());
    } else {
        std::string cause;
        r = platform::replace_file(path, text + line, &cause);
        if (r != 0) error = "cannot write " + cause;
    }
    if (r != 0) return RecordOutcome::kFailed;
    text += line;
    return RecordOutcome::kRecorded;
}

}  // namespace orvane
