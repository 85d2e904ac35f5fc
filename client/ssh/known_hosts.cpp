// Known-hosts files: reading entries, matching names (plain, patterns, hashed), recording new hosts.
#include "client/ssh/known_hosts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_key.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane::ssh {

namespace {

constexpr int64_t kMaxFileSize = 16 << 20;  // a known-hosts file larger than this is not read
constexpr uint16_t kDefaultPort = 22;

// Appends to the own file go one at a time.
std::mutex record_lock;

void say(LogCallback log, void* user, const std::string& text, int level) {
    output_to(log, user, text, level);
}

// A known-hosts line for a host name, its key's type and the key blob.
std::string record_line(const std::string& name, const std::string& type, std::string_view key_blob) {
    return format("%s %s %s\n", name.c_str(), type.c_str(), base64_encode(key_blob).c_str());
}

// Reads a whole file; 0 with `text` empty when it does not exist. Only a regular file is read:
// a FIFO in its place would hold the thread.
int read_file(const std::string& path, std::string& text, std::string& error) {
    text.clear();
    if (path.empty() || !platform::path_exists(path)) return 0;
    platform::FileHandle file = platform::file_open(path, platform::kOpenRead | platform::kOpenRegularOnly);
    if (file == platform::kInvalidFile) {
        error = format("cannot read %s (%s)", path.c_str(),
                       errno == platform::kErrorNotRegular ? "not a regular file" : std::strerror(errno));
        return 1;
    }
    int64_t size = platform::file_size(file);
    int status = 0;
    if (size < 0 || size > kMaxFileSize) {
        error = format("cannot read %s (%s)", path.c_str(),
                       size < 0 ? std::strerror(errno) : "larger than 16 MiB");
        status = 1;
    } else {
        text.resize(static_cast<size_t>(size));
        int64_t got = size > 0 ? platform::file_read(file, text.data(), text.size()) : 0;
        if (got < 0) {
            error = format("cannot read %s (%s)", path.c_str(), std::strerror(errno));
            status = 1;
        } else {
            text.resize(static_cast<size_t>(got));
        }
    }
    platform::file_close(file);
    return status;
}

// The folder part of a path; empty when it has none.
std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The own file must be able to take a line before any key is accepted on the promise of
// recording it: it is created (empty), with its folders, when missing.
int check_writable(const std::string& path, std::string& error) {
    std::string folder = folder_of(path);
    if (!folder.empty() && !platform::path_is_folder(folder) && platform::make_private_folders(folder) != 0) {
        error = format("cannot make the folder %s (%s)", folder.c_str(), std::strerror(errno));
        return 1;
    }
    platform::FileHandle file = platform::file_open(path, platform::kOpenAppend | platform::kOpenRegularOnly);
    if (file == platform::kInvalidFile) {
        error = format("cannot write %s (%s)", path.c_str(),
                       errno == platform::kErrorNotRegular ? "not a regular file" : std::strerror(errno));
        return 1;
    }
    platform::file_close(file);
    return 0;
}

// "*" and "?" as in OpenSSH's host patterns; both sides are lower case already.
bool wildcard_match(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// "|1|" base64(salt) "|" base64(HMAC-SHA1(salt, name)).
bool hashed_match(std::string_view field, std::string_view name) {
    field.remove_prefix(3);
    size_t bar = field.find('|');
    if (bar == std::string_view::npos) return false;
    std::string salt, hash;
    if (base64_decode(field.substr(0, bar), salt) != 0 || base64_decode(field.substr(bar + 1), hash) != 0 ||
        hash.size() != 20 || salt.empty())
        return false;
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t size = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, salt.data(), salt.size(),
                  reinterpret_cast<const unsigned char*>(name.data()), name.size(), mac, sizeof mac,
                  &size) == nullptr)
        return false;
    return size == hash.size() && CRYPTO_memcmp(mac, hash.data(), size) == 0;
}

// A comma-separated pattern list: some pattern matches and no negated one does.
bool names_match(std::string_view field, std::string_view name) {
    if (field.substr(0, 3) == "|1|") return hashed_match(field, name);
    bool matched = false;
    while (!field.empty()) {
        size_t comma = field.find(',');
        std::string pattern = to_lower(field.substr(0, comma));
        field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
        bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated) pattern.erase(0, 1);
        if (!wildcard_match(pattern, name)) continue;
        if (negated) return false;
        matched = true;
    }
    return matched;
}

// The first five blank-separated fields (marker, names, type, key, comment).
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t at = 0;
    while (fields.size() < 5) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t", at);
        fields.push_back(line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return fields;
}

// A recorded key of the host of another type than the one presented.
struct OtherType {
    std::string type;
    std::string fingerprint;
    std::string file;
    size_t line = 0;
};

struct Lookup {
    bool matched = false;
    bool revoked = false;
    std::string file;  // where the refusal comes from
    size_t line = 0;
    std::string recorded_fingerprint;
    std::vector<OtherType> others;
};

// Calls `entry` for every line that names the host: (revoked, type, recorded blob, line number).
template <typename Entry>
void for_each_entry(const std::string& text, std::string_view name, Entry entry) {
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string_view line(text.data() + at, (end == std::string::npos ? text.size() : end) - at);
        at = end == std::string::npos ? text.size() : end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::vector<std::string_view> fields = fields_of(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        bool revoked_entry = false;
        if (fields[0][0] == '@') {
            if (fields[0] != "@revoked") continue;  // @cert-authority: certificates are not used
            revoked_entry = true;
            fields.erase(fields.begin());
        }
        if (fields.size() < 3 || !names_match(fields[0], name)) continue;
        std::string recorded;
        if (base64_decode(fields[2], recorded) != 0) continue;
        entry(revoked_entry, fields[1], recorded, number);
    }
}

void scan(const std::string& path, const std::string& text, std::string_view name, std::string_view type,
          std::string_view blob, Lookup& found) {
    for_each_entry(
        text, name,
        [&](bool revoked, std::string_view recorded_type, const std::string& recorded, size_t number) {
            if (revoked) {
                if (recorded == blob && !found.revoked) {
                    found.revoked = true;
                    found.file = path;
                    found.line = number;
                }
            } else if (recorded_type == type) {
                if (recorded == blob) {
                    found.matched = true;
                } else if (found.line == 0) {
                    found.file = path;
                    found.line = number;
                    found.recorded_fingerprint = fingerprint_sha256(recorded);
                }
            } else {
                found.others.push_back(
                    OtherType{std::string(recorded_type), fingerprint_sha256(recorded), path, number});
            }
        });
}

}  // namespace

KnownHostsFiles default_known_hosts_files() {
    KnownHostsFiles files;
    std::string home = platform::get_environment("HOME");
    if (!home.empty() && home.back() == '/') home.pop_back();
    if (!home.empty()) files.user_file = home + "/.ssh/known_hosts";
    std::string own = platform::get_environment("ORVANE_KNOWN_HOSTS");
    std::string config = platform::get_environment("XDG_CONFIG_HOME");
    if (!own.empty())
        files.own_file = own[0] == '/' ? own : platform::current_folder() + own;
    else if (!config.empty() && config[0] == '/')
        files.own_file = config + "/orvane/known_hosts";
    else if (!home.empty())
        files.own_file = home + "/.config/orvane/known_hosts";
    return files;
}

std::string known_hosts_name(std::string_view host, uint16_t port) {
    std::string name = to_lower(host);
    if (port != kDefaultPort) name = format("[%s]:%u", name.c_str(), static_cast<unsigned>(port));
    return name;
}

int KnownHostsPolicy::load(const KnownHostsFiles& files, LogCallback log, void* log_user) {
    std::lock_guard<std::mutex> hold(lock_);
    files_ = files;
    log_ = log;
    log_user_ = log_user;
    new_hosts_.clear();
    user_text_.clear();
    own_text_.clear();
    load_error_.clear();
    std::string cause;
    if (files_.own_file.empty()) {
        cause =
            "there is no known-hosts file to check host keys against and record new hosts in (set "
            "ORVANE_KNOWN_HOSTS, XDG_CONFIG_HOME or HOME)";
    } else if (read_file(files_.user_file, user_text_, cause) == 0 &&
               (files_.own_file == files_.user_file || read_file(files_.own_file, own_text_, cause) == 0)) {
        check_writable(files_.own_file, cause);
    }
    if (!cause.empty()) {
        user_text_.clear();
        own_text_.clear();
        load_error_ = "Host keys cannot be checked: " + cause;
        return 1;
    }
    return 0;
}

namespace {
int decide(void* context, const std::string& host, uint16_t port, const std::string& key_blob,
           std::string& refusal) {
    return static_cast<KnownHostsPolicy*>(context)->check(host, port, key_blob, refusal);
}
std::vector<std::string> types_of(void* context, const std::string& host, uint16_t port) {
    return static_cast<KnownHostsPolicy*>(context)->recorded_types(host, port);
}
}  // namespace

HostKeyDecision KnownHostsPolicy::decision() {
    return HostKeyDecision{&decide, this, &types_of};
}

int KnownHostsPolicy::check(std::string_view host, uint16_t port, std::string_view key_blob,
                            std::string& refusal) {
    // A name with blanks, commas or control characters could add entries to the file.
    for (char c : host) {
        if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == 0x7f) {
            refusal =
                "the host name cannot be checked against known hosts (it holds a blank, a comma or a control "
                "character)";
            return 1;
        }
    }
    SshBuffer blob(key_blob);
    std::string type(blob.get_string(64));
    std::string name = known_hosts_name(host, port);
    std::string fingerprint = fingerprint_sha256(key_blob);
    std::lock_guard<std::mutex> hold(lock_);
    if (!load_error_.empty()) {
        refusal = load_error_;
        return 1;
    }
    Lookup found;
    scan(files_.user_file, user_text_, name, type, key_blob, found);
    scan(files_.own_file, own_text_, name, type, key_blob, found);
    if (found.revoked) {
        refusal = format("The %s host key of %s (%s) is marked as revoked in %s line %zu", type.c_str(),
                         name.c_str(), fingerprint.c_str(), found.file.c_str(), found.line);
        return 1;
    }
    if (found.matched) {
        say(log_, log_user_, format("Host key of %s: %s %s", name.c_str(), type.c_str(), fingerprint.c_str()),
            kLevelInfo);
        return 0;
    }
    if (found.line != 0) {
        refusal = format(
            "The %s host key of %s has changed: the server presents %s, %s line %zu records %s. If the "
            "change is expected, remove line %zu of %s",
            type.c_str(), name.c_str(), fingerprint.c_str(), found.file.c_str(), found.line,
            found.recorded_fingerprint.c_str(), found.line, found.file.c_str());
        return 1;
    }
    if (!found.others.empty()) {
        // The key exchange asked for the recorded types first: a server that offers none of them
        // is not the host that was recorded.
        std::string recorded;
        constexpr size_t kShown = 4;  // a pattern line can name many hosts' keys
        if (found.others.size() > kShown) found.others.resize(kShown);
        for (const OtherType& other : found.others)
            recorded += format("%s%s %s (%s line %zu)", recorded.empty() ? "" : ", ", other.type.c_str(),
                               other.fingerprint.c_str(), other.file.c_str(), other.line);
        refusal = format(
            "The host key of %s has changed: the server offers only a %s key %s, while the host is recorded "
            "with %s. If the change is expected, remove those lines",
            name.c_str(), printable(type, 64).c_str(), fingerprint.c_str(), recorded.c_str());
        return 1;
    }
    new_hosts_.push_back(NewHost{name, type, std::string(key_blob), fingerprint});
    // A re-key of this connection finds the key it has just accepted.
    if (!own_text_.empty() && own_text_.back() != '\n') own_text_ += '\n';
    own_text_ += record_line(name, type, key_blob);
    return 0;
}

std::vector<std::string> KnownHostsPolicy::recorded_types(std::string_view host, uint16_t port) {
    std::string name = known_hosts_name(host, port);
    std::vector<std::string> types;
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string* text : {&user_text_, &own_text_}) {
        for_each_entry(*text, name, [&](bool revoked, std::string_view type, const std::string&, size_t) {
            if (!revoked && std::find(types.begin(), types.end(), type) == types.end())
                types.emplace_back(type);
        });
    }
    return types;
}

int KnownHostsPolicy::record_new_host(std::string* cause) {
    std::vector<NewHost> hosts;
    {
        std::lock_guard<std::mutex> hold(lock_);
        hosts.swap(new_hosts_);
    }
    int status = 0;
    // New hosts are recorded one at a time, so two connections to one new host record it once.
    std::lock_guard<std::mutex> hold(record_lock);
    for (const NewHost& host : hosts) {
        std::string accepted =
            format("Host key of %s: %s %s", host.name.c_str(), host.type.c_str(), host.fingerprint.c_str());
        std::string existing, problem;
        Lookup found;
        if (read_file(files_.own_file, existing, problem) == 0)
            scan(files_.own_file, existing, host.name, host.type, host.blob, found);
        if (found.matched) {
            say(log_, log_user_, accepted, kLevelInfo);
            continue;
        }
        std::string line = record_line(host.name, host.type, host.blob);
        if (!existing.empty() && existing.back() != '\n') line = "\n" + line;
        if (problem.empty() && platform::append_to_file(files_.own_file, line.data(), line.size()) != 0)
            problem = format("cannot write %s (%s)", files_.own_file.c_str(), std::strerror(errno));
        if (!problem.empty()) {
            std::string text =
                format("ERROR: %s was not a known host and its %s key %s could not be recorded: %s",
                       host.name.c_str(), host.type.c_str(), host.fingerprint.c_str(), problem.c_str());
            say(log_, log_user_, text, kLevelError);
            if (cause) *cause = text;
            status = 1;
            continue;
        }
        say(log_, log_user_,
            format("Warning: %s was not a known host; its %s key %s is accepted and recorded in %s",
                   host.name.c_str(), host.type.c_str(), host.fingerprint.c_str(), files_.own_file.c_str()),
            kLevelWarning);
        say(log_, log_user_, accepted, kLevelInfo);
    }
    return status;
}

int check_known_host(const KnownHostsFiles& files, std::string_view host, uint16_t port,
                     std::string_view key_blob, LogCallback log, void* log_user, std::string& error) {
    KnownHostsPolicy policy;
    if (policy.load(files, log, log_user) != 0) {
        error = policy.load_error();
        return 1;
    }
    if (policy.check(host, port, key_blob, error) != 0) return 1;
    return policy.record_new_host(&error);
}

}  // namespace orvane::ssh
