// Listing layouts: Unix long listing, MS-DOS/IIS and EPLF; fields are separated by runs of spaces.
#include "client/transfer/text/listing_parser.h"

#include <chrono>

#include "client/transfer/text/machine_listing.h"
#include "common/limits.h"
#include "common/text.h"
#include "common/time_text.h"

namespace orvane {
namespace {

struct Field {
    std::string_view text;
    size_t end = 0;  // offset just past the field in the line
};

// At most `limit` fields; tabs are part of fields, not separators.
std::vector<Field> split_fields(std::string_view line, size_t limit) {
    std::vector<Field> fields;
    size_t i = 0;
    while (i < line.size() && fields.size() < limit) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size()) break;
        size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        fields.push_back({line.substr(start, i - start), i});
    }
    return fields;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The rest of the line after a field, leading spaces skipped.
std::string_view rest_after(std::string_view line, size_t end) {
    while (end < line.size() && line[end] == ' ') ++end;
    return line.substr(end);
}

// Decimal digits at the start of `s` (commas dropped), saturating at the largest 64-bit value.
void read_size(std::string_view s, RemoteFileEntry& out) {
    std::string digits;
    for (char c : s) {
        if (c == ',') continue;
        if (!is_digit(c)) break;
        digits.push_back(c);
    }
    out.size = parse_decimal_prefix_saturating(digits);
    out.size_text = cut(digits, RemoteFileEntry::kSizeTextCapacity);
}

int small_number(std::string_view s) {
    // Capped far outside any date field, so the value stays bounded.
    return static_cast<int>(parse_decimal_prefix_saturating(s, 100000));
}

// A calendar time that is not a real date leaves the entry without a time.
void set_time(const CalendarTime& t, RemoteFileEntry& out) {
    bool valid = calendar_valid(t);
    out.file_time = valid ? filetime_from_calendar(t) : 0;
    out.time_text = valid ? cut(time_text(t), RemoteFileEntry::kTimeTextCapacity) : std::string();
}

int month_number(std::string_view s) {
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i)
        if (iequals(s, kMonths[i])) return i + 1;
    return 1;
}

int parse_unix(std::string_view line, const ListingClock& clock, RemoteFileEntry& out) {
    std::vector<Field> f = split_fields(line, 8);
    if (f.size() < 7) return 1;
    int type = line[0] == 'd' ? kEntryFolder : line[0] == 'l' ? kEntryLink : kEntryFile;
    // With a group column the size is the fifth field, without one the fourth.
    size_t size_at;
    if (is_digit(f[4].text[0]))
        size_at = 4;
    else if (is_digit(f[3].text[0]))
        size_at = 3;
    else
        return 1;
    if (size_at + 3 >= f.size()) return 1;
    const Field& when = f[size_at + 3];
    std::string_view name = rest_after(line, when.end);
    if (type == kEntryLink) {
        size_t arrow = name.find(" ->");
        if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    }
    if (name.empty()) return 1;

    CalendarTime t;
    t.month = month_number(f[size_at + 1].text);
    t.day = small_number(f[size_at + 2].text);
    size_t colon = when.text.find(':');
    if (colon != std::string_view::npos) {
        t.hour = small_number(when.text.substr(0, colon));
        t.minute = small_number(when.text.substr(colon + 1));
        // Recent files show a time instead of a year: a month later than now means last year.
        t.year = clock.month < t.month ? clock.year - 1 : clock.year;
    } else {
        t.year = small_number(when.text);
    }
    read_size(f[size_at].text, out);
    if (type != kEntryFile) out.size_text.clear();
    out.type = type;
    out.name = cut(name, kPathCapacity);
    set_time(t, out);
    return 0;
}

// Splits `s` at `sep` into exactly `n` parts.
bool split_exact(std::string_view s, char sep, std::string_view* parts, size_t n) {
    size_t count = 0, start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == sep) {
            if (count == n) return false;
            parts[count++] = s.substr(start, i - start);
            start = i + 1;
        }
    }
    return count == n;
}

bool is_am_pm(char c) {
    return c == 'A' || c == 'a' || c == 'P' || c == 'p';
}

int parse_dos(std::string_view line, RemoteFileEntry& out) {
    std::vector<Field> f = split_fields(line, 4);
    if (f.size() <= 2) return 1;
    std::string_view date[3];
    if (!split_exact(f[0].text, '-', date, 3) && !split_exact(f[0].text, '/', date, 3)) return 1;
    std::string_view clock[2];
    if (!split_exact(f[1].text, ':', clock, 2)) return 1;

    CalendarTime t;
    t.month = small_number(date[0]);
    t.day = small_number(date[1]);
    t.year = small_number(date[2]);
    if (t.year < 70)
        t.year += 2000;
    else if (t.year <= 1000)
        t.year += 1900;

    t.hour = small_number(clock[0]);
    std::string_view minute = clock[1];
    size_t next = 2;  // index of the folder-or-size field
    char half = 0;
    for (size_t i = 0; i < minute.size(); ++i)
        if (is_am_pm(minute[i])) {
            half = minute[i];
            minute = minute.substr(0, i);
            break;
        }
    if (!half && is_am_pm(f[2].text[0])) {
        half = f[2].text[0];
        next = 3;
        if (f.size() < 4) return 1;
    }
    // Without AM or PM the time is on the 24-hour clock (as some servers write it).
    if (half) {
        if (t.hour == 12) t.hour = 0;
        if (half == 'P' || half == 'p') t.hour += 12;
    }
    t.minute = small_number(minute);

    const Field& what = f[next];
    if (what.text[0] == '<') {
        out.type = kEntryFolder;
        out.size = 0;
        out.size_text.clear();
    } else if (is_digit(what.text[0])) {
        out.type = kEntryFile;
        read_size(what.text, out);
    } else {
        return 1;
    }
    std::string_view name = rest_after(line, what.end);
    if (name.empty()) return 1;
    out.name = cut(name, kPathCapacity);
    set_time(t, out);
    return 0;
}

int parse_eplf(std::string_view line, RemoteFileEntry& out) {
    // "+" facts each ended by a comma, a tab, then the name: the name is the whole rest of the
    // line, commas included.
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos || (tab != 1 && line[tab - 1] != ',')) return 1;
    std::string_view name = line.substr(tab + 1);
    if (name.empty()) return 1;
    std::string_view facts = line.substr(1, tab - 1);
    int type = kEntryFile;
    bool has_size = false;
    RemoteFileEntry sized;
    CalendarTime t;
    bool has_time = false;
    size_t start = 0;
    while (start < facts.size()) {
        size_t comma = facts.find(',', start);
        if (comma == std::string_view::npos) comma = facts.size();
        std::string_view fact = facts.substr(start, comma - start);
        start = comma + 1;
        if (fact.empty()) continue;
        switch (fact[0]) {
            case '/':
                type = kEntryFolder;
                break;
            case 'r':
                type = kEntryFile;
                break;
            case 'm': {
                // A value past any FILETIME saturates and is refused with it.
                std::string_view digits = fact.substr(1);
                uint64_t seconds = parse_decimal_prefix_saturating(digits, INT64_MAX);
                has_time = leading_digits(digits) > 0 && calendar_from_unix(static_cast<int64_t>(seconds), t);
                break;
            }
            case 's':
                read_size(fact.substr(1), sized);
                has_size = true;
                break;
            default:
                break;  // other facts carry nothing we keep
        }
    }
    out.type = type;
    out.name = cut(name, kPathCapacity);
    out.size = has_size ? sized.size : 0;
    out.size_text = has_size && type != kEntryFolder ? sized.size_text : std::string();
    if (has_time) {
        set_time(t, out);
    } else {
        out.time_text.clear();
        out.file_time = 0;
    }
    return 0;
}

struct ListContext {
    const ListingClock* clock;
    std::vector<RemoteFileEntry>* out;
};

void add_list_line(void* context, std::string_view line) {
    auto* c = static_cast<ListContext*>(context);
    if (line.size() > kLineCapacity) return;
    RemoteFileEntry e;
    if (parse_list_line(line, *c->clock, e) != 0) return;
    if (e.name == "." || e.name == "..") return;
    c->out->push_back(std::move(e));
}

void add_nlst_line(void* context, std::string_view line) {
    if (line.empty() || line.size() > kLineCapacity) return;
    RemoteFileEntry e;
    e.name = std::string(line);
    static_cast<std::vector<RemoteFileEntry>*>(context)->push_back(std::move(e));
}

}  // namespace

ListingClock listing_clock_now() {
    using namespace std::chrono;
    year_month_day ymd{floor<days>(system_clock::now())};
    return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month()))};
}

int parse_list_line(std::string_view line, const ListingClock& clock, RemoteFileEntry& out) {
    if (line.empty()) return 1;
    char c = line[0];
    if (c == '-' || c == 'd' || c == 'l') return parse_unix(line, clock, out);
    if (is_digit(c)) return parse_dos(line, out);
    if (c == '+') return parse_eplf(line, out);
    return 1;
}

void for_each_listing_line(std::string_view listing, void (*fn)(void* context, std::string_view line),
                           void* context) {
    // A line ends at LF, with the CRs before it dropped (servers that convert line ends twice send
    // CR CR LF). A CR anywhere else belongs to the line: a name that holds one is then refused
    // whole, where ending the line there would leave the first part taken for another file.
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        std::string_view line = listing.substr(start, end == std::string_view::npos ? end : end - start);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        fn(context, line);
        if (end == std::string_view::npos) return;
        start = end + 1;
    }
}

int parse_list(std::string_view listing, const ListingClock& clock, std::vector<RemoteFileEntry>& out) {
    ListContext c{&clock, &out};
    for_each_listing_line(listing, add_list_line, &c);
    return 0;
}

int parse_nlst(std::string_view listing, std::vector<RemoteFileEntry>& out) {
    for_each_listing_line(listing, add_nlst_line, &out);
    return 0;
}

ListingStream::ListingStream(Kind kind, const ListingClock& clock, RemoteListing& out)
    : kind_(kind), clock_(clock), out_(out) {}

int ListingStream::end_line() {
    while (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > kLineCapacity) too_long_ = true;
    bool skip = too_long_ || line_.empty();
    if (too_long_) ++long_lines_;
    too_long_ = false;
    if (skip) {
        line_.clear();
        return 0;
    }
    RemoteFileEntry e;
    int r = 0;
    if (kind_ == Kind::kNames) {
        e.name = line_;
    } else if (kind_ == Kind::kMachine) {
        r = parse_mlsd_line(line_, e);
        e.long_name = line_;
        if (r != 0 && iequals(mlsd_fact(line_, "type"), "cdir"))
            folder_id_ = cut(mlsd_fact(line_, "unique"), kLineCapacity);
    } else {
        r = parse_list_line(line_, clock_, e);
        e.long_name = line_;  // shown as the server wrote it by a long listing
    }
    line_.clear();
    if (r != 0 || e.name == "." || e.name == "..") return 0;
    if (out_.push_back(e) != 0) full_ = true;
    return full_ ? 1 : 0;
}

int ListingStream::feed(const void* data, size_t n) {
    if (full_) return 1;
    const char* p = static_cast<const char*>(data);
    const char* end = p + n;
    while (p < end) {
        const char* stop = p;
        while (stop < end && *stop != '\n') ++stop;
        if (!too_long_) {
            size_t room = kLineCapacity + 2 - line_.size();  // CRs before the LF may follow
            size_t take = static_cast<size_t>(stop - p);
            if (take > room) {
                too_long_ = true;
                line_.clear();
            } else {
                line_.append(p, take);
            }
        }
        if (stop == end) break;
        if (end_line() != 0) return 1;
        p = stop + 1;
    }
    return 0;
}

int ListingStream::finish() {
    if (full_) return 1;
    return end_line();
}

}  // namespace orvane
