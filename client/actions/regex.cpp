// The regular-expression layer over PCRE2's 8-bit API.
#include "client/actions/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>

#include "common/text.h"

namespace orvane {

void Regex::CodeFree::operator()(pcre2_real_code_8* code) const {
    pcre2_code_free_8(code);
}
void Regex::MatchDataFree::operator()(pcre2_real_match_data_8* data) const {
    pcre2_match_data_free_8(data);
}

Regex::Regex() = default;
Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

void Regex::release() {
    match_data_.reset();
    code_.reset();
    global_ = false;
    last_rc_ = 0;
}

int Regex::compile(std::string_view pattern, std::string_view options, std::string* error) {
    release();
    uint32_t flags = 0;
    bool global = false;
    for (char c : options) {
        if (c == 'i') flags |= PCRE2_CASELESS;
        if (c == 'g') global = true;
    }
    int code = 0;
    PCRE2_SIZE offset = 0;
    const auto* text = reinterpret_cast<PCRE2_SPTR8>(pattern.empty() ? "" : pattern.data());
    std::unique_ptr<pcre2_real_code_8, CodeFree> compiled(
        pcre2_compile_8(text, pattern.size(), flags, &code, &offset, nullptr));
    std::unique_ptr<pcre2_real_match_data_8, MatchDataFree> data;
    if (compiled) {
        data.reset(pcre2_match_data_create_from_pattern_8(compiled.get(), nullptr));
        if (!data) {
            code = PCRE2_ERROR_NOMEMORY;
            offset = 0;
        }
    }
    if (!compiled || !data) {
        if (error) {
            PCRE2_UCHAR8 message[256];
            if (pcre2_get_error_message_8(code, message, sizeof message) < 0) message[0] = 0;
            *error = format("Regular expression error at character %d: %s", static_cast<int>(offset),
                            reinterpret_cast<const char*>(message));
        }
        return 1;
    }
    code_ = std::move(compiled);
    match_data_ = std::move(data);
    global_ = global;
    return 0;
}

int Regex::run(size_t offset, unsigned options) {
    const auto* text = reinterpret_cast<PCRE2_SPTR8>(subject_.data());
    int rc = pcre2_match_8(code_.get(), text, subject_.size(), offset, options, match_data_.get(), nullptr);
    // The match data is sized for every group, so 0 (vector too small) cannot occur; keep it a miss.
    if (rc == 0) rc = PCRE2_ERROR_NOMATCH;
    last_rc_ = rc > 0 ? rc : 0;
    return rc;
}

int Regex::match(std::string_view subject) {
    last_rc_ = 0;
    if (!code_) return PCRE2_ERROR_NULL;
    subject_.assign(subject);
    return run(0, 0);
}

std::optional<std::string_view> Regex::group(int n) const {
    if (n < 0 || n >= last_rc_) return std::nullopt;
    const PCRE2_SIZE* v = pcre2_get_ovector_pointer_8(match_data_.get());
    PCRE2_SIZE start = v[2 * n];
    PCRE2_SIZE end = v[2 * n + 1];
    if (start == PCRE2_UNSET || end == PCRE2_UNSET || start > end || end > subject_.size())
        return std::nullopt;
    return std::string_view(subject_).substr(start, end - start);
}

int Regex::replace(std::string_view subject, std::string_view replacement, std::string* out,
                   size_t capacity) {
    out->clear();
    subject_.assign(subject);
    last_rc_ = 0;
    const std::string_view s(subject_);
    auto put = [&](std::string_view piece) {
        if (piece.size() > capacity - out->size()) return false;
        out->append(piece);
        return true;
    };

    size_t last_end = 0;  // end of the previous match: unmatched text starts here
    size_t search = 0;
    uint32_t options = 0;
    while (code_) {
        int rc = run(search, options);
        if (rc < 0) {
            if (options == 0) break;
            // No non-empty match at the place of an empty one: move on by one character, which
            // stays in the unmatched text.
            options = 0;
            ++search;
            continue;
        }
        const PCRE2_SIZE* v = pcre2_get_ovector_pointer_8(match_data_.get());
        const size_t start = v[0];
        const size_t end = v[1];
        if (start < last_end || end < start) break;  // not produced by PCRE2 without \K in lookarounds

        if (!put(s.substr(last_end, start - last_end))) return 1;
        for (size_t i = 0; i < replacement.size(); ++i) {
            if (replacement[i] != '$') {
                if (!put(replacement.substr(i, 1))) return 1;
                continue;
            }
            // "$" and up to eight digits name a group ("$" alone the whole match); a ninth digit is text.
            std::string_view digits = digit_prefix(replacement.substr(i + 1, 8));
            int number = static_cast<int>(parse_decimal_prefix_saturating(digits));
            i += digits.size();
            if (auto text = group(number); text && !put(*text)) return 1;
        }
        last_end = end;

        if (!global_) break;
        if (start == end) {
            if (end == s.size()) break;
            options = PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED;
        } else {
            options = 0;
        }
        search = end;
    }
    return put(s.substr(last_end)) ? 0 : 1;
}

}  // namespace orvane
