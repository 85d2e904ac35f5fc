// The keyword table: exact lowercase names by code.
#include "client/script/script_keywords.h"

#include <array>

namespace orvane::script {
namespace {

constexpr std::array<std::string_view, kLastKeyword - kFirstKeyword + 1> kNames = {
    "remote",
    "local",
    "file",
    "folder",
    "ascii",
    "binary",
    "auto",
    "bysize",
    "bydate",
    "resume",
    "rename",
    "overwrite",
    "left",
    "right",
    "read",
    "write",
    "append",
    "second",
    "minute",
    "hour",
    "day",
    "week",
    "month",
    "year",
    "incr",
    "decr",
    "skip",
    // 40
    "eq",
    "gt",
    "ge",
    "lt",
    "le",
    "==",
    "!=",
    ">",
    ">=",
    "<",
    "<=",
    "ne",
    "true",
    "false",
    "success",
    "mailresult",
    "fileresult",
    "ftpresult",
    // 58
    "name",
    "absname",
    "size",
    "modtime",
    "count",
    "isfolder",
    // 64
    "if",
    "in",
    "end",
    "loop",
    "else",
    "begin",
    "foreach",
    // 71
    "exitloop",
    "endscript",
    "enablepasv",
    "disablepasv",
    "setnlst",
    "unsetnlst",
    "ftpdisconnect",
    // 78
    "print",
    "strprint",
    "gettimestamp",
    "getcompname",
    "getenvvar",
    "strlower",
    "strupper",
    "strslice",
    "setvar",
    "increment",
    "decrement",
    "messagebox",
    "messageboxwarn",
    "mailcreate",
    "mailattach",
    "mailsend",
    "fileopen",
    "fileclose",
    "filereadline",
    "filewriteline",
    "reschedscript",
    "ftpcustomcmd",
    "setexitcode",
    "ftpregexmatch",
    "ftpglobmatch",
    "ftpwildcardmatch",
    "regexreplace",
    "ftpmovelocal",
    "ftpcopylocal",
    "ftprename",
    "ftpuncompress",
    "ftpcompress",
    "ftpupload",
    "waitsecs",
    "ftprunprogram",
    "ftpmodtime",
    "rungpg",
    "ftpmakefolder",
    "ftpdelete",
    "ftpgetlist",
    "ftpsetpath",
    "ftpconnect",
    "ftpconnectssh",
    "ftpconnectssl",
    "ftpconnectsslc",
    "pkeyload",
    "certload",
    "proxyhttp",
    "settransfertype",
    "readwinregistry",
    "setduperules",
    "ftpdownload",
    "setparallel",
};

constexpr std::string_view name_of(int code) {
    return kNames[static_cast<size_t>(code - kFirstKeyword)];
}

// Anchors through the table: a shifted entry breaks the build.
static_assert(name_of(kKwSkip) == "skip");
static_assert(name_of(kKwEq) == "eq" && name_of(kKwFtpresult) == "ftpresult");
static_assert(name_of(kKwName) == "name" && name_of(kKwIsfolder) == "isfolder");
static_assert(name_of(kKwIf) == "if" && name_of(kKwForeach) == "foreach");
static_assert(name_of(kMacroExitloop) == "exitloop" && name_of(kMacroFtpdisconnect) == "ftpdisconnect");
static_assert(name_of(kMacroPrint) == "print" && name_of(kMacroFileopen) == "fileopen");
static_assert(name_of(kMacroFtpupload) == "ftpupload" && name_of(kMacroFtpconnect) == "ftpconnect");
static_assert(name_of(kMacroFtpdownload) == "ftpdownload" && name_of(kMacroSetparallel) == "setparallel");

}  // namespace

const char* keyword_name(int code) {
    if (code < kFirstKeyword || code > kLastKeyword) return nullptr;
    return name_of(code).data();  // every entry is a literal, so zero-terminated
}

int keyword_code(std::string_view word) {
    if (word.empty() || word.size() > kMaxKeywordLength) return 0;
    for (int code = kFirstKeyword; code <= kLastKeyword; ++code) {
        if (name_of(code) == word) return code;
    }
    return 0;
}

}  // namespace orvane::script
