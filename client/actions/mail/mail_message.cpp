// The message record: field cuts, the body splitter, the header-value check and attachments.
#include "client/actions/mail/mail_message.h"

#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {

namespace {

struct ExtensionType {
    const char* extension;
    const char* type;
};
constexpr ExtensionType kTypes[] = {
    {"txt", "text/plain"},
    {"log", "text/plain"},
    {"csv", "text/csv"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"xml", "application/xml"},
    {"json", "application/json"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tgz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"7z", "application/x-7z-compressed"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"doc", "application/msword"},
    {"xls", "application/vnd.ms-excel"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"rtf", "application/rtf"},
    {"eml", "message/rfc822"},
    {"gpg", "application/pgp-encrypted"},
    {"asc", "application/pgp-signature"},
};

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string file_name_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The whole file, or 1 with errno's reason.
int read_file(const std::string& path, size_t limit, std::string& out, std::string& reason) {
    platform::FileHandle h = platform::file_open(path, platform::kOpenRead | platform::kOpenRegularOnly);
    if (h == platform::kInvalidFile) {
        reason = platform::error_text(errno);
        return 1;
    }
    int64_t size = platform::file_size(h);
    if (size < 0 || static_cast<uint64_t>(size) > limit) {
        reason = size < 0 ? std::strerror(errno) : "the message would exceed its attachment limit";
        platform::file_close(h);
        return 1;
    }
    out.clear();
    char buffer[8192];
    for (;;) {
        int64_t n = platform::file_read(h, buffer, sizeof buffer);
        if (n < 0) {
            reason = std::strerror(errno);
            platform::file_close(h);
            return 1;
        }
        if (n == 0) break;
        if (out.size() + static_cast<size_t>(n) > limit) {
            reason = "the message would exceed its attachment limit";
            platform::file_close(h);
            return 1;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    platform::file_close(h);
    return 0;
}

}  // namespace

size_t cut_length(std::string_view value, size_t width) {
    if (value.size() <= width) return value.size();
    size_t end = width;
    // Step back over continuation bytes so the cut leaves whole characters.
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
    return end;
}

bool header_value_ok(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool address_ok(std::string_view address) {
    for (unsigned char c : address)
        if (c <= ' ' || c == 0x7f || c == '<' || c == '>') return false;
    return true;
}

std::vector<std::string> split_body(std::string_view text) {
    std::vector<std::string> chunks;
    bool open = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            open = false;
            continue;
        }
        if (!open) {
            chunks.emplace_back();
            open = true;
        } else if (chunks.back().size() >= kMailChunkChars) {
            // A character cut at the limit moves whole into the next chunk.
            std::string& full = chunks.back();
            size_t lead = full.size();
            if (is_continuation(c)) {
                while (lead > 0 && is_continuation(full[lead - 1])) --lead;
                if (lead > 0 && static_cast<unsigned char>(full[lead - 1]) >= 0xC0) --lead;
                if (lead == 0) lead = full.size();  // no character start in reach: cut as bytes
            }
            std::string next = full.substr(lead);
            full.resize(lead);
            chunks.push_back(std::move(next));
        }
        chunks.back().push_back(c);
    }
    return chunks;
}

int fill_message(MailMessage& m, std::string_view from_name, std::string_view from_address,
                 std::string_view subject, std::string_view body, std::string& error) {
    struct Field {
        const char* what;
        std::string_view value;
    };
    const Field fields[] = {
        {"sender's name", from_name}, {"sender's address", from_address}, {"subject", subject}};
    for (const Field& f : fields) {
        if (!header_value_ok(f.value)) {
            error = std::string("ERROR: The mail's ") + f.what +
                    " holds a line break; the message was not created";
            m = MailMessage();
            return 1;
        }
    }
    if (!address_ok(from_address)) {
        error =
            "ERROR: The mail's sender's address holds a blank, \"<\", \">\" or a control character; the "
            "message was not created";
        m = MailMessage();
        return 1;
    }
    m.from_name = cut_field(from_name, kMailNameWidth);
    m.from_address = cut_field(from_address, kMailNameWidth);
    m.subject = cut_field(subject, kMailSubjectWidth);
    m.body = split_body(body);
    m.attachments.clear();
    m.created = true;
    return 0;
}

const char* content_type_for(std::string_view file_name) {
    size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == file_name.size()) return "application/octet-stream";
    std::string extension = to_lower(file_name.substr(dot + 1));
    for (const ExtensionType& t : kTypes)
        if (extension == t.extension) return t.type;
    return "application/octet-stream";
}

int attach_file(MailMessage& m, const std::string& path, std::string& error) {
    size_t used = 0;
    for (const MailAttachment& a : m.attachments) used += a.bytes.size();
    MailAttachment a;
    a.name = file_name_of(path);
    std::string reason;
    if (a.name.empty() || platform::path_is_folder(path)) {
        reason = "it is not a file";
    } else if (read_file(path, kMailAttachmentLimit - used, a.bytes, reason) == 0) {
        a.content_type = content_type_for(a.name);
        m.attachments.push_back(std::move(a));
        return 0;
    }
    error = "ERROR: Could not attach file " + path + " (" + reason + ")";
    return 1;
}

}  // namespace orvane
