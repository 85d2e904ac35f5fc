// Modules through dl_iterate_phdr, stack extents from /proc/self/maps, the user from /etc/passwd,
// and local dates from a table of UTC offsets prepared in advance.
#include "platform/crash_facts.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/safe_memory.h"

namespace orvane::platform::crash {

namespace {

// Calls `fn` with each line of a file (without its line end) until it returns true. Lines longer
// than the buffer are skipped. Only open, read and close.
using LineFn = bool (*)(const char* line, size_t len, void* context);
void for_each_line(const char* path, LineFn fn, void* context) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[4096];
    size_t have = 0;
    bool skipping = false;  // inside a line too long for the buffer
    for (;;) {
        ssize_t r = ::read(fd, buf + have, sizeof buf - have);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        have += static_cast<size_t>(r);
        size_t from = 0;
        for (size_t i = 0; i < have; ++i) {
            if (buf[i] != '\n') continue;
            if (!skipping && fn(buf + from, i - from, context)) {
                ::close(fd);
                return;
            }
            skipping = false;
            from = i + 1;
        }
        if (from == 0 && have == sizeof buf) {
            skipping = true;
            have = 0;
        } else {
            memmove(buf, buf + from, have - from);
            have -= from;
        }
    }
    if (have > 0 && !skipping) fn(buf, have, context);
    ::close(fd);
}

// Reads hexadecimal digits at *p; advances past them.
uintptr_t take_hex(const char*& p, const char* end) {
    uintptr_t v = 0;
    for (; p < end; ++p) {
        char c = *p;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) break;
        v = v << 4 | static_cast<uintptr_t>(d);
    }
    return v;
}

struct MappingQuery {
    uintptr_t address;
    uintptr_t end;
};

bool match_mapping(const char* line, size_t len, void* context) {
    auto* q = static_cast<MappingQuery*>(context);
    const char* p = line;
    const char* end = line + len;
    uintptr_t lo = take_hex(p, end);
    if (p == end || *p != '-') return false;
    ++p;
    uintptr_t hi = take_hex(p, end);
    if (q->address >= lo && q->address < hi) {
        q->end = hi;
        return true;
    }
    return false;
}

struct UserQuery {
    unsigned uid;
    char* out;
    size_t capacity;
    bool found;
};

// "name:password:uid:..."
bool match_user(const char* line, size_t len, void* context) {
    auto* q = static_cast<UserQuery*>(context);
    const char* end = line + len;
    const char* name_end = static_cast<const char*>(memchr(line, ':', len));
    if (name_end == nullptr) return false;
    const char* p =
        static_cast<const char*>(memchr(name_end + 1, ':', static_cast<size_t>(end - name_end - 1)));
    if (p == nullptr) return false;
    ++p;
    uint64_t uid = 0;
    const char* digits = p;
    while (p < end && *p >= '0' && *p <= '9' && uid <= 0xffffffffu)
        uid = uid * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p == digits || p == end || *p != ':' || uid != q->uid) return false;
    size_t n = static_cast<size_t>(name_end - line);
    if (n == 0 || n >= q->capacity) return false;
    memcpy(q->out, line, n);
    q->out[n] = '\0';
    q->found = true;
    return true;
}

struct Collection {
    Module* out;
    size_t capacity;
    size_t count;
};

// Runs under the loader's lock: copies the few fields needed and nothing more.
int take_module(struct dl_phdr_info* info, size_t, void* context) {
    auto* c = static_cast<Collection*>(context);
    if (c->count == c->capacity) return 1;
    Module m;
    bool any = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        uintptr_t at = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD) {
            if (!any || at < m.start) m.start = at;
            if (!any || at + ph.p_memsz > m.end) m.end = at + ph.p_memsz;
            any = true;
        } else if (ph.p_type == PT_NOTE && m.notes < Module::kMaxNotes) {
            m.note_at[m.notes] = at;
            m.note_size[m.notes] = ph.p_memsz;
            ++m.notes;
        }
    }
    if (!any) return 0;
    m.name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    c->out[c->count++] = m;
    return 0;
}

// Local-time offsets: from `from` (UTC) on, `offset` seconds east of UTC.
struct OffsetChange {
    int64_t from;
    long offset;
};
constexpr int kMaxOffsetChanges = 32;
OffsetChange g_offsets[kMaxOffsetChanges];
int g_offset_count = 0;

long offset_at(int64_t utc) {
    time_t t = static_cast<time_t>(utc);
    struct tm tm {};
    if (localtime_r(&t, &tm) == nullptr) return 0;
    return tm.tm_gmtoff;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

size_t collect_modules(Module* out, size_t capacity) {
    Collection c{out, capacity, 0};
    dl_iterate_phdr(take_module, &c);
    for (size_t i = 1; i < c.count; ++i)  // insertion sort: a few dozen entries, no allocation
        for (size_t j = i; j > 0 && out[j].start < out[j - 1].start; --j) {
            Module t = out[j];
            out[j] = out[j - 1];
            out[j - 1] = t;
        }
    return c.count;
}

bool has_elf_header(uintptr_t start) {
    unsigned char ident[EI_NIDENT];
    if (read_memory_safely(ident, start, sizeof ident) != sizeof ident) return false;
    return memcmp(ident, ELFMAG, SELFMAG) == 0;
}

bool append_build_id(SignalText& line, const Module& m) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < m.notes; ++i) {
        unsigned char notes[512];
        size_t n = m.note_size[i] < sizeof notes ? m.note_size[i] : sizeof notes;
        n = read_memory_safely(notes, m.note_at[i], n);
        size_t at = 0;
        while (at + sizeof(ElfW(Nhdr)) <= n) {
            ElfW(Nhdr) h;
            memcpy(&h, notes + at, sizeof h);
            size_t name_at = at + sizeof h;
            size_t desc_at = name_at + ((h.n_namesz + 3u) & ~size_t{3});
            size_t next = desc_at + ((h.n_descsz + 3u) & ~size_t{3});
            if (next > n || next <= at) break;
            if (h.n_type == NT_GNU_BUILD_ID && h.n_namesz == 4 && memcmp(notes + name_at, "GNU", 4) == 0 &&
                h.n_descsz > 0) {
                for (size_t k = 0; k < h.n_descsz; ++k) {
                    char pair[2] = {kDigits[notes[desc_at + k] >> 4], kDigits[notes[desc_at + k] & 15]};
                    line.text({pair, 2});
                }
                return true;
            }
            at = next;
        }
    }
    return false;
}

uintptr_t mapping_end(uintptr_t address) {
    MappingQuery q{address, 0};
    for_each_line("/proc/self/maps", match_mapping, &q);
    return q.end;
}

bool user_name(unsigned uid, char* out, size_t capacity) {
    UserQuery q{uid, out, capacity, false};
    for_each_line("/etc/passwd", match_user, &q);
    return q.found;
}

void prepare_local_offsets() {
    // Daily samples over one year back and two ahead; each change found to the second.
    const int64_t day = 86400;
    int64_t now = static_cast<int64_t>(::time(nullptr));
    int64_t t = now - 366 * day;
    long current = offset_at(t);
    g_offset_count = 0;
    g_offsets[g_offset_count++] = {t, current};
    for (int64_t next = t + day; next <= now + 2 * 366 * day && g_offset_count < kMaxOffsetChanges;
         next += day) {
        long o = offset_at(next);
        if (o == current) continue;
        int64_t lo = next - day, hi = next;  // offset_at(lo) == current, offset_at(hi) == o
        while (hi - lo > 1) {
            int64_t mid = lo + (hi - lo) / 2;
            (offset_at(mid) == current ? lo : hi) = mid;
        }
        g_offsets[g_offset_count++] = {hi, o};
        current = o;
    }
}

long local_offset(int64_t utc) {
    if (g_offset_count == 0) return 0;
    int i = g_offset_count - 1;
    while (i > 0 && g_offsets[i].from > utc) --i;
    return g_offsets[i].offset;
}

void append_date_text(SignalText& line, int64_t utc, long offset) {
    int64_t local = utc + offset;
    int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    int64_t secs = local - days * 86400;
    int64_t year;
    unsigned month, mday;
    civil_from_days(days, &year, &month, &mday);
    if (year < 1980 || year > 2107) return;
    line.decimal(month).text("/").decimal(mday).text("/").decimal(year).text(" ");
    line.padded(static_cast<uint64_t>(secs / 3600), 2).text(":");
    line.padded(static_cast<uint64_t>(secs / 60 % 60), 2).text(":");
    line.padded(static_cast<uint64_t>(secs % 60 / 2 * 2), 2);
}

}  // namespace orvane::platform::crash
