// The regular-expression layer over PCRE2: compile with option letters, match, replace.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// PCRE2's 8-bit types, so that users of this header need not include pcre2.h.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace orvane {

// The compiled expression record: the compiled pattern and its match data, the global flag and the
// subject and result of the latest match. Not copyable; one record serves one thread at a time.
class Regex {
  public:
    // Room for the result of a replacement (the regexreplace rule).
    static constexpr size_t kReplaceCapacity = 389;

    Regex();
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // Compiles `pattern`. In `options`, the letter "i" anywhere selects caseless matching and "g"
    // global replacement; other characters are ignored. A previous pattern is released first.
    // 0 on success; 1 on failure, with "Regular expression error at character %d: %s" (PCRE2's
    // offset and message) in *error when error is not null.
    int compile(std::string_view pattern, std::string_view options, std::string* error);
    bool compiled() const { return code_ != nullptr; }
    bool global() const { return global_; }
    // Releases the compiled pattern and its match data.
    void release();

    // Matches once against the whole subject from offset 0 with no match options. Returns PCRE2's
    // value: positive for a match (the number of groups set, group 0 included), negative for no
    // match (-1) or an error (also when nothing is compiled). The subject is kept for group().
    int match(std::string_view subject);
    // After a positive match(): the text of group n; none when n is not below the value match()
    // returned or the group did not take part in the match.
    std::optional<std::string_view> group(int n) const;

    // Search and replace over `subject` into *out (emptied first), at most `capacity` characters.
    // Each match is replaced by `replacement`, in which "$" and up to 8 decimal digits insert group n
    // (no digits: the whole match; a group not set by that match: nothing); every other character
    // is copied. Without the global flag only the first match is replaced; with it the matches are
    // found as Perl's s///g does (an empty match is followed by a non-empty anchored attempt at the
    // same place, else the search moves on by one character). 0 on success; 1 when the result does
    // not fit, *out then holding the pieces that fitted. Nothing compiled: no match.
    int replace(std::string_view subject, std::string_view replacement, std::string* out,
                size_t capacity = kReplaceCapacity);

  private:
    struct CodeFree {
        void operator()(pcre2_real_code_8* code) const;
    };
    struct MatchDataFree {
        void operator()(pcre2_real_match_data_8* data) const;
    };

    // One pcre2_match over subject_ from `offset` with `options`; the library's return value.
    int run(size_t offset, unsigned options);

    std::unique_ptr<pcre2_real_code_8, CodeFree> code_;
    std::unique_ptr<pcre2_real_match_data_8, MatchDataFree> match_data_;
    bool global_ = false;
    std::string subject_;
    int last_rc_ = 0;  // the latest positive match value, 0 when there is none
};

}  // namespace orvane
