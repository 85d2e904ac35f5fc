// The allowed parameter-token counts of every macro. A member reference ("$item.name") counts as
// three tokens, which is why many macros allow odd counts beside their plain ones.
#include "client/script/macro_params.h"

#include <array>
#include <cstdint>

#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

// Exact counts as a bit mask (bit n: n tokens), plus an open-ended "n or more".
struct AllowedCounts {
    uint16_t exact;
    int8_t at_least;  // -1: no open end
};

constexpr uint16_t c(int n) {
    return static_cast<uint16_t>(1u << n);
}
constexpr AllowedCounts only(uint16_t mask) {
    return {mask, -1};
}
constexpr AllowedCounts or_more(int n) {
    return {0, static_cast<int8_t>(n)};
}

constexpr AllowedCounts kUpDown = only(c(2) | c(3) | c(4) | c(5) | c(7));
constexpr AllowedCounts kMatch = only(c(3) | c(5) | c(7));
// ftpcompress: the path, and the variable for the archive's name if wanted.
constexpr AllowedCounts kCompress = only(c(1) | c(2) | c(3) | c(4));
constexpr AllowedCounts kConnect = only(c(4) | c(5));
constexpr AllowedCounts kMoveCopy = only(c(2) | c(4) | c(6));

constexpr std::array<AllowedCounts, kLastKeyword - kFirstMacroWithParameters + 1> kTable = {
    or_more(1),                // print
    or_more(1),                // strprint
    only(c(1) | c(4)),         // gettimestamp
    only(c(1)),                // getcompname
    only(c(2)),                // getenvvar
    only(c(1)),                // strlower
    only(c(1)),                // strupper
    only(c(4)),                // strslice
    only(c(2) | c(4)),         // setvar
    only(c(1)),                // increment
    only(c(1)),                // decrement
    only(c(1) | c(3)),         // messagebox
    only(c(1) | c(3)),         // messageboxwarn
    only(c(4)),                // mailcreate
    or_more(0),                // mailattach
    only(c(4) | c(6)),         // mailsend
    only(c(2)),                // fileopen
    only(c(0)),                // fileclose
    only(c(1)),                // filereadline
    only(c(1)),                // filewriteline
    or_more(0),                // reschedscript
    only(c(1) | c(3)),         // ftpcustomcmd
    only(c(1)),                // setexitcode
    kMatch,                    // ftpregexmatch
    kMatch,                    // ftpglobmatch
    kMatch,                    // ftpwildcardmatch
    only(c(4) | c(6) | c(8)),  // regexreplace
    kMoveCopy,                 // ftpmovelocal
    kMoveCopy,                 // ftpcopylocal
    kMatch,                    // ftprename
    only(c(1) | c(3)),         // ftpuncompress
    kCompress,                 // ftpcompress
    kUpDown,                   // ftpupload
    only(c(1)),                // waitsecs
    only(c(2)),                // ftprunprogram
    or_more(2),                // ftpmodtime
    only(c(2)),                // rungpg
    only(c(2)),                // ftpmakefolder
    only(c(3) | c(5)),         // ftpdelete
    only(c(2)),                // ftpgetlist
    only(c(2)),                // ftpsetpath
    kConnect,                  // ftpconnect
    kConnect,                  // ftpconnectssh
    kConnect,                  // ftpconnectssl
    kConnect,                  // ftpconnectsslc
    only(c(1) | c(2)),         // pkeyload
    only(c(2) | c(3)),         // certload
    only(c(2) | c(3) | c(4)),  // proxyhttp
    only(c(1)),                // settransfertype
    only(c(4)),                // readwinregistry
    kConnect,                  // setduperules
    kUpDown,                   // ftpdownload
    only(c(1)),                // setparallel
};

}  // namespace

bool macro_allows_parameter_count(int code, size_t count) {
    if (code >= kFirstMacro && code < kFirstMacroWithParameters) return count == 0;
    if (code < kFirstMacroWithParameters || code > kLastKeyword) return false;
    const AllowedCounts& allowed = kTable[static_cast<size_t>(code - kFirstMacroWithParameters)];
    if (allowed.at_least >= 0 && count >= static_cast<size_t>(allowed.at_least)) return true;
    return count < 16 && (allowed.exact & c(static_cast<int>(count))) != 0;
}

}  // namespace orvane::script
