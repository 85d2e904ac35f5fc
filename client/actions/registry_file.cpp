// The registry file reader: decoding, logical lines with continuations, sections and value lines.
#include "client/actions/registry_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {
namespace {

// A registry file larger than this is refused: it is a settings file, not a data store.
constexpr size_t kRegistryFileCapacity = 16 * 1024 * 1024;
// Problems listed per lookup; the rest are counted.
constexpr size_t kProblemsShown = 10;

constexpr std::string_view kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER",
                                       "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16LE bytes as UTF-8; with stop_at_zero only up to the first zero unit. A broken surrogate
// reads as U+FFFD.
std::string utf16le_to_utf8(std::string_view bytes, bool stop_at_zero) {
    std::string out;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1])
                                                                          << 8);
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c == 0 && stop_at_zero) break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::string decode_file(std::string_view text) {
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE)
        return utf16le_to_utf8(text.substr(2), false);
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return std::string(text);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view trim_backslashes(std::string_view s) {
    while (!s.empty() && s.front() == '\\') s.remove_prefix(1);
    while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
    return s;
}

// One logical line: physical lines joined where a line ends with "\" (hex data wraps so).
struct Line {
    size_t number;
    std::string text;
};

std::vector<Line> logical_lines(std::string_view text) {
    std::vector<Line> lines;
    size_t number = 0;
    bool continuing = false;
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        std::string_view physical = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            size_t skip = end + 1;
            if (skip < text.size() && text[end] == '\r' && text[skip] == '\n') ++skip;
            text.remove_prefix(skip);
        }
        ++number;
        std::string_view t = trim(physical);
        if (continuing) {
            lines.back().text += t;
        } else {
            lines.push_back(Line{number, std::string(t)});
        }
        continuing = !lines.back().text.empty() && lines.back().text.back() == '\\' &&
                     lines.back().text.front() != '[' && lines.back().text.front() != ';';
        if (continuing) lines.back().text.pop_back();
    }
    return lines;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A quoted text from `s` (which begins with the quote), with \\ and \" unescaped; the rest of `s`
// after the closing quote goes to `rest`. False when the quote is not closed.
bool quoted(std::string_view s, std::string& out, std::string_view& rest) {
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[++i];
        } else if (c == '"') {
            rest = s.substr(i + 1);
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

// "aa,bb,..." as bytes; false on anything else.
bool hex_bytes(std::string_view s, std::string& out) {
    out.clear();
    s = trim(s);
    if (s.empty()) return true;
    while (true) {
        std::string_view item = trim(s.substr(0, s.find(',')));
        if (item.size() != 2 || hex_digit(item[0]) < 0 || hex_digit(item[1]) < 0) return false;
        out += static_cast<char>(hex_digit(item[0]) * 16 + hex_digit(item[1]));
        size_t comma = s.find(',');
        if (comma == std::string_view::npos) return true;
        s.remove_prefix(comma + 1);
    }
}

// The text of a value's data; empty error when it was read.
std::string value_text(std::string_view data, bool version5, std::string& error) {
    std::string out;
    if (!data.empty() && data[0] == '"') {
        std::string_view rest;
        if (!quoted(data, out, rest))
            error = "the text has no closing quote";
        else if (!trim(rest).empty())
            error = "text after the closing quote";
        return out;
    }
    if (istarts_with(data, "dword:")) {
        std::string_view digits = data.substr(6);
        uint32_t v = 0;
        if (digits.empty() || digits.size() > 8) error = "a dword needs 1 to 8 hex digits";
        for (char c : digits) {
            if (hex_digit(c) < 0)
                error = "a dword needs 1 to 8 hex digits";
            else
                v = v * 16 + static_cast<uint32_t>(hex_digit(c));
        }
        return std::to_string(v);
    }
    if (istarts_with(data, "hex")) {
        std::string_view rest = data.substr(3);
        unsigned type = 3;  // REG_BINARY
        if (!rest.empty() && rest[0] == '(') {
            size_t close = rest.find(')');
            std::string_view digits =
                close == std::string_view::npos ? std::string_view() : rest.substr(1, close - 1);
            if (digits.empty() || digits.size() > 8) {
                error = "a bad hex type";
                return out;
            }
            type = 0;
            for (char c : digits) {
                if (hex_digit(c) < 0) {
                    error = "a bad hex type";
                    return out;
                }
                type = type * 16 + static_cast<unsigned>(hex_digit(c));
            }
            rest = rest.substr(close + 1);
        }
        if (rest.empty() || rest[0] != ':') {
            error = "hex data needs \":\"";
            return out;
        }
        std::string bytes;
        if (!hex_bytes(rest.substr(1), bytes)) {
            error = "hex data must be two-digit bytes separated by commas";
            return out;
        }
        if (type == 0xB || type == 4) {  // REG_QWORD, REG_DWORD as bytes: little-endian numbers
            uint64_t v = 0;
            for (size_t i = bytes.size() < 8 ? bytes.size() : 8; i-- > 0;)
                v = v << 8 | static_cast<uint8_t>(bytes[i]);
            return std::to_string(v);
        }
        if (version5 && (type == 1 || type == 2 || type == 7)) return utf16le_to_utf8(bytes, true);
        return bytes.substr(0, bytes.find('\0'));
    }
    error = "unknown data type";
    return out;
}

bool root_known(std::string_view root) {
    for (std::string_view r : kRoots)
        if (iequals(r, root)) return true;
    return false;
}

}  // namespace

RegistryLookup registry_lookup(std::string_view file_text, std::string_view root, std::string_view key,
                               std::string_view name) {
    RegistryLookup result;
    result.value = kRegistryNullKey;
    std::string decoded = decode_file(file_text);
    std::vector<Line> lines = logical_lines(decoded);
    size_t first = 0;
    while (first < lines.size() && lines[first].text.empty()) ++first;
    if (first == lines.size() ||
        (lines[first].text != "Windows Registry Editor Version 5.00" && lines[first].text != "REGEDIT4")) {
        result.problems.push_back(
            "line 1: not a registry file (no \"Windows Registry Editor Version 5.00\" or "
            "\"REGEDIT4\" header)");
        return result;
    }
    const bool version5 = lines[first].text != "REGEDIT4";
    if (!root_known(root)) return result;
    const std::string_view wanted_key = trim_backslashes(key);

    bool in_section = false;  // a section has started (values before one are misplaced)
    bool matching = false;    // the current section is the wanted key
    bool key_found = false;
    bool value_found = false;
    std::string found;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        const std::string& t = lines[i].text;
        auto problem = [&](const std::string& why) {
            result.problems.push_back(format("line %zu: %s", lines[i].number, why.c_str()));
        };
        if (t.empty() || t[0] == ';') continue;
        if (t[0] == '[') {
            if (t.back() != ']') {
                problem("a key line must end with \"]\"");
                in_section = matching = false;
                continue;
            }
            std::string_view path(t);
            path = path.substr(1, path.size() - 2);
            in_section = true;
            if (!path.empty() && path[0] == '-') {  // a key deletion: nothing to read
                matching = false;
                continue;
            }
            size_t slash = path.find('\\');
            std::string_view file_root = path.substr(0, slash);
            std::string_view file_key = slash == std::string_view::npos
                                            ? std::string_view()
                                            : trim_backslashes(path.substr(slash + 1));
            matching = iequals(file_root, root) && iequals(file_key, wanted_key);
            key_found = key_found || matching;
            continue;
        }
        std::string value_name;
        std::string_view rest;
        if (t[0] == '@') {
            rest = std::string_view(t).substr(1);
        } else if (t[0] != '"' || !quoted(t, value_name, rest)) {
            problem("not a key, a value or a comment");
            continue;
        }
        rest = trim(rest);
        if (rest.empty() || rest[0] != '=') {
            problem("a value needs \"=\" after its name");
            continue;
        }
        std::string_view data = trim(rest.substr(1));
        if (!in_section) {
            problem("a value before any key");
            continue;
        }
        if (data == "-") {  // a value deletion
            if (matching && iequals(value_name, name)) value_found = false;
            continue;
        }
        std::string error;
        std::string text = value_text(data, version5, error);
        if (!error.empty()) {
            problem(error);
            continue;
        }
        if (matching && iequals(value_name, name)) {
            value_found = true;
            found = std::move(text);
        }
    }
    if (!key_found) return result;
    if (!value_found || found.size() > kStringVariableCapacity) {
        result.value = kRegistryNullValue;
    } else {
        result.value = std::move(found);
    }
    return result;
}

std::string registry_file_path() {
    bool found = false;
    std::string named = platform::get_environment("ORVANE_REGISTRY", &found);
    if (found && !named.empty()) return named;
    return platform::program_folder() + "registry.reg";
}

int read_registry_value(std::string_view root, std::string_view key, std::string_view name,
                        std::string& value) {
    value = kRegistryNullKey;
    const std::string path = registry_file_path();
    if (!platform::path_exists(path)) return 0;
    errno = 0;
    platform::FileHandle h = platform::file_open(path, platform::kOpenRead);
    std::string text;
    int64_t size = h == platform::kInvalidFile ? -1 : platform::file_size(h);
    bool good = size >= 0 && static_cast<uint64_t>(size) <= kRegistryFileCapacity;
    if (good) {
        text.resize(static_cast<size_t>(size));
        good = platform::file_read(h, text.data(), text.size()) == size;
    }
    int e = errno;
    platform::file_close(h);
    if (!good) {
        std::string cause = size > static_cast<int64_t>(kRegistryFileCapacity)
                                ? "larger than 16 MiB"
                                : std::strerror(e != 0 ? e : EISDIR);
        output(escape_controls(
                   format("ERROR: Could not read the registry file %s (%s)", path.c_str(), cause.c_str())),
               kLevelError);
        return 1;
    }
    RegistryLookup found = registry_lookup(text, root, key, name);
    value = found.value;
    for (size_t i = 0; i < found.problems.size() && i < kProblemsShown; ++i)
        output(
            escape_controls(format("ERROR: Registry file %s, %s", path.c_str(), found.problems[i].c_str())),
            kLevelError);
    if (found.problems.size() > kProblemsShown)
        outputf(kLevelError, "ERROR: Registry file %s has %zu more malformed lines", path.c_str(),
                found.problems.size() - kProblemsShown);
    return found.problems.empty() ? 0 : 1;
}

}  // namespace orvane
