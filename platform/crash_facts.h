// What the crash report learns about the process and the machine, each piece gathered with
// async-signal-safe calls only (private to the crash report writer).
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/signal_text.h"

namespace orvane::platform::crash {

// What the report says about the program, learnt when the handlers were installed.
struct ProgramFacts {
    const char* exe_path = "";      // full path of the executable; "" when unknown
    const char* program_name = "";  // its file name without the last "." part
    long processors = 0;
};

// Writes the report after its separator, from the first line to the end of the module list.
// `context` is the handler's ucontext_t. Async-signal-safe; one report at a time.
void write_report_body(int fd, const siginfo_t* info, const void* context, const ProgramFacts& facts);

inline std::string_view base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One loaded ELF object as the dynamic loader lists it.
struct Module {
    uintptr_t start = 0;         // lowest address of its loaded segments (where its ELF header lies)
    uintptr_t end = 0;           // end of its highest loaded segment
    const char* name = nullptr;  // the loader's path; "" for the program itself
    static constexpr int kMaxNotes = 4;
    uintptr_t note_at[kMaxNotes] = {};  // PT_NOTE segments, for the build id
    size_t note_size[kMaxNotes] = {};
    int notes = 0;
};

// Lists up to `capacity` loaded objects into `out`, sorted by start address. Returns the count.
size_t collect_modules(Module* out, size_t capacity);
// True when the memory at `start` can be read and begins with an ELF header.
bool has_elf_header(uintptr_t start);
// Appends the module's GNU build id in hexadecimal; false (nothing appended) when it has none.
bool append_build_id(SignalText& line, const Module& m);

// The end of the mapping (from /proc/self/maps) that holds `address`: for a stack address, the
// top of that thread's stack. 0 when no mapping holds it.
uintptr_t mapping_end(uintptr_t address);
// The login name of `uid` from /etc/passwd into `out` (zero-terminated). False when not found.
bool user_name(unsigned uid, char* out, size_t capacity);

// Local time: the UTC offsets of the coming years are worked out once, at installation, because
// the C library's time-zone code takes a lock and may read files.
void prepare_local_offsets();
// Seconds east of UTC in effect at `utc` (from the prepared table).
long local_offset(int64_t utc);
// The date text "month/day/year hour:minute:second" of `utc` shifted by `offset`, with the seconds
// rounded down to even as a DOS time keeps them. Nothing when the date lies outside 1980..2107.
void append_date_text(SignalText& line, int64_t utc, long offset);

}  // namespace orvane::platform::crash
