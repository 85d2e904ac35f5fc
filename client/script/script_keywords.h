// Token kinds and the keyword table of the script language: keywords 13-70, macro names 71-130.
#pragma once

#include <string_view>

namespace orvane::script {

// Token kinds below the keywords. A keyword's kind is its code.
enum TokenKind : int {
    kTokenEnd = 0,  // end of the file
    kTokenInvalid = 1,
    kTokenWord = 2,
    kTokenListName = 3,   // @name
    kTokenItemName = 4,   // $name
    kTokenStringVar = 5,  // ~name
    kTokenNumber = 6,
    kTokenString = 7,  // text kept with both double quotes
    kTokenOpenParen = 8,
    kTokenCloseParen = 9,
    kTokenDot = 10,
    kTokenComma = 11,
    kTokenSemicolon = 12,
};

// Keyword codes; the order is the language's and must not change (stored numbers, macro tables).
enum Keyword : int {
    kKwRemote = 13,
    kKwLocal,
    kKwFile,
    kKwFolder,
    kKwAscii,
    kKwBinary,
    kKwAuto,
    kKwBysize,
    kKwBydate,
    kKwResume,
    kKwRename,
    kKwOverwrite,
    kKwLeft,
    kKwRight,
    kKwRead,
    kKwWrite,
    kKwAppend,
    kKwSecond,
    kKwMinute,
    kKwHour,
    kKwDay,
    kKwWeek,
    kKwMonth,
    kKwYear,
    kKwIncr,
    kKwDecr,
    kKwSkip,
    kKwEq = 40,
    kKwGt,
    kKwGe,
    kKwLt,
    kKwLe,
    kKwEqual,
    kKwNotEqual,
    kKwGreater,
    kKwGreaterEqual,
    kKwLess,
    kKwLessEqual,
    kKwNe,
    kKwTrue,
    kKwFalse,
    kKwSuccess,
    kKwMailresult,
    kKwFileresult,
    kKwFtpresult,
    kKwName = 58,
    kKwAbsname,
    kKwSize,
    kKwModtime,
    kKwCount,
    kKwIsfolder,
    kKwIf = 64,
    kKwIn,
    kKwEnd,
    kKwLoop,
    kKwElse,
    kKwBegin,
    kKwForeach,
    // Macros without parameters.
    kMacroExitloop = 71,
    kMacroEndscript,
    kMacroEnablepasv,
    kMacroDisablepasv,
    kMacroSetnlst,
    kMacroUnsetnlst,
    kMacroFtpdisconnect,
    // Macros with parameters.
    kMacroPrint = 78,
    kMacroStrprint,
    kMacroGettimestamp,
    kMacroGetcompname,
    kMacroGetenvvar,
    kMacroStrlower,
    kMacroStrupper,
    kMacroStrslice,
    kMacroSetvar,
    kMacroIncrement,
    kMacroDecrement,
    kMacroMessagebox,
    kMacroMessageboxwarn,
    kMacroMailcreate,
    kMacroMailattach,
    kMacroMailsend,
    kMacroFileopen,
    kMacroFileclose,
    kMacroFilereadline,
    kMacroFilewriteline,
    kMacroReschedscript,
    kMacroFtpcustomcmd,
    kMacroSetexitcode,
    kMacroFtpregexmatch,
    kMacroFtpglobmatch,
    kMacroFtpwildcardmatch,
    kMacroRegexreplace,
    kMacroFtpmovelocal,
    kMacroFtpcopylocal,
    kMacroFtprename,
    kMacroFtpuncompress,
    kMacroFtpcompress,
    kMacroFtpupload,
    kMacroWaitsecs,
    kMacroFtprunprogram,
    kMacroFtpmodtime,
    kMacroRungpg,
    kMacroFtpmakefolder,
    kMacroFtpdelete,
    kMacroFtpgetlist,
    kMacroFtpsetpath,
    kMacroFtpconnect,
    kMacroFtpconnectssh,
    kMacroFtpconnectssl,
    kMacroFtpconnectsslc,
    kMacroPkeyload,
    kMacroCertload,
    kMacroProxyhttp,
    kMacroSettransfertype,
    kMacroReadwinregistry,
    kMacroSetduperules,
    kMacroFtpdownload,
    kMacroSetparallel,
};

inline constexpr int kFirstKeyword = kKwRemote;
inline constexpr int kLastKeyword = kMacroSetparallel;
inline constexpr int kFirstMacro = kMacroExitloop;
inline constexpr int kFirstMacroWithParameters = kMacroPrint;

// Only words of this length are looked up.
inline constexpr size_t kMaxKeywordLength = 16;

// The keyword's text, or nullptr for a code outside 13..130.
const char* keyword_name(int code);
// The code of an exact (case-sensitive) keyword, or 0 when the word is none.
int keyword_code(std::string_view word);

inline bool is_macro(int kind) {
    return kind >= kFirstMacro && kind <= kLastKeyword;
}
inline bool is_value_token(int kind) {
    return kind >= kTokenListName && kind <= kTokenString;
}
// A token that can begin a statement: a macro name, `if`, `loop` or `foreach`.
inline bool starts_statement(int kind) {
    return is_macro(kind) || kind == kKwIf || kind == kKwLoop || kind == kKwForeach;
}

}  // namespace orvane::script
