// The macro table, the resolution of parameters by form, and the trace line.
#include "client/script/macro_table.h"

#include <vector>

#include "client/script/archive_macros.h"
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::script {
namespace {

constexpr ResultRegister kFtp = ResultRegister::kFtp;
constexpr ResultRegister kMail = ResultRegister::kMail;
constexpr ResultRegister kNone = ResultRegister::kNone;

// In code order, 71..130. exitloop and endscript are control flow: the interpreter never runs
// their rows.
constexpr MacroRow kRows[] = {
    {kMacroExitloop, "exitloop", "", "", 0, nullptr, kNone},
    {kMacroEndscript, "endscript", "", "", 0, nullptr, kNone},
    {kMacroEnablepasv, "enablepasv", "", "", 0, action_enablepasv, kNone},
    {kMacroDisablepasv, "disablepasv", "", "", 0, action_disablepasv, kNone},
    {kMacroSetnlst, "setnlst", "", "", 0, action_setnlst, kNone},
    {kMacroUnsetnlst, "unsetnlst", "", "", 0, action_unsetnlst, kNone},
    {kMacroFtpdisconnect, "ftpdisconnect", "", "", 0, action_ftpdisconnect, kFtp},
    {kMacroPrint, "print", "P", "t", 0, action_print, kNone, false},
    {kMacroStrprint, "strprint", "XP", "-t", 1, action_strprint, kNone},
    {kMacroGettimestamp, "gettimestamp", "VDUN", "----", 1, action_gettimestamp, kNone},
    {kMacroGetcompname, "getcompname", "V", "-", 1, action_getcompname, kNone},
    {kMacroGetenvvar, "getenvvar", "VT", "-t", 2, action_getenvvar, kNone},
    {kMacroStrlower, "strlower", "V", "-", 1, action_strlower, kNone},
    {kMacroStrupper, "strupper", "V", "-", 1, action_strupper, kNone},
    {kMacroStrslice, "strslice", "VSNN", "----", 4, action_strslice, kNone},
    {kMacroSetvar, "setvar", "VT", "-t", 2, action_setvar, kNone},
    {kMacroIncrement, "increment", "V", "-", 1, action_increment, kNone},
    {kMacroDecrement, "decrement", "V", "-", 1, action_decrement, kNone},
    {kMacroMessagebox, "messagebox", "T", "t", 1, action_messagebox, kNone},
    {kMacroMessageboxwarn, "messageboxwarn", "T", "t", 1, action_messageboxwarn, kNone},
    {kMacroMailcreate, "mailcreate", "TTTT", "tptt", 4, action_mailcreate, kMail},
    {kMacroMailattach, "mailattach", "T", "p", 1, action_mailattach, kMail},
    {kMacroMailsend, "mailsend", "TNTTTT", "p-tpps", 4, action_mailsend, kMail},
    {kMacroFileopen, "fileopen", "MT", "-p", 2, action_fileopen, kNone},
    {kMacroFileclose, "fileclose", "", "", 0, action_fileclose, kNone},
    {kMacroFilereadline, "filereadline", "V", "-", 1, action_filereadline, kNone},
    {kMacroFilewriteline, "filewriteline", "T", "t", 1, action_filewriteline, kNone},
    {kMacroReschedscript, "reschedscript", "", "", 0, action_reschedscript, kNone, false},
    {kMacroFtpcustomcmd, "ftpcustomcmd", "T", "c", 1, action_ftpcustomcmd, kFtp},
    {kMacroSetexitcode, "setexitcode", "N", "-", 1, action_setexitcode, kNone},
    {kMacroFtpregexmatch, "ftpregexmatch", "TTT", "ttt", 0, action_ftpregexmatch, kFtp},
    {kMacroFtpglobmatch, "ftpglobmatch", "TTT", "ttt", 0, action_ftpglobmatch, kFtp},
    {kMacroFtpwildcardmatch, "ftpwildcardmatch", "TTT", "ttt", 0, action_ftpglobmatch, kFtp},
    {kMacroRegexreplace, "regexreplace", "VTTT", "-ttt", 4, action_regexreplace, kNone},
    {kMacroFtpmovelocal, "ftpmovelocal", "TT", "pp", 1, action_ftpmovelocal, kFtp},
    {kMacroFtpcopylocal, "ftpcopylocal", "TT", "pp", 1, action_ftpcopylocal, kFtp},
    {kMacroFtprename, "ftprename", "WTT", "-pp", 2, action_ftprename, kFtp},
    {kMacroFtpuncompress, "ftpuncompress", "T", "p", 1, action_ftpuncompress, kFtp},
    {kMacroFtpcompress, "ftpcompress", "TV", "p-", 1, action_ftpcompress, kFtp},
    {kMacroFtpupload, "ftpupload", "KTT", "-pp", 2, action_ftpupload, kFtp},
    {kMacroWaitsecs, "waitsecs", "N", "-", 1, action_waitsecs, kNone},
    {kMacroFtprunprogram, "ftprunprogram", "TT", "pp", 2, action_ftprunprogram, kFtp},
    {kMacroFtpmodtime, "ftpmodtime", "VT", "-p", 2, action_ftpmodtime, kFtp},
    {kMacroRungpg, "rungpg", "TT", "ps", 2, action_rungpg, kFtp},
    {kMacroFtpmakefolder, "ftpmakefolder", "WT", "-p", 2, action_ftpmakefolder, kFtp},
    {kMacroFtpdelete, "ftpdelete", "WKT", "--p", 3, action_ftpdelete, kFtp},
    {kMacroFtpgetlist, "ftpgetlist", "WL", "--", 2, action_ftpgetlist, kFtp},
    {kMacroFtpsetpath, "ftpsetpath", "WT", "-p", 2, action_ftpsetpath, kFtp},
    {kMacroFtpconnect, "ftpconnect", "TNTTT", "p-psp", 4, action_ftpconnect, kFtp},
    {kMacroFtpconnectssh, "ftpconnectssh", "TNTTT", "p-psp", 4, action_ftpconnectssh, kFtp},
    {kMacroFtpconnectssl, "ftpconnectssl", "TNTTT", "p-psp", 4, action_ftpconnectssl, kFtp},
    {kMacroFtpconnectsslc, "ftpconnectsslc", "TNTTT", "p-psp", 4, action_ftpconnectsslc, kFtp},
    {kMacroPkeyload, "pkeyload", "TT", "ps", 1, action_pkeyload, kNone},
    {kMacroCertload, "certload", "TTT", "pps", 2, action_certload, kNone},
    {kMacroProxyhttp, "proxyhttp", "TNTT", "p-ps", 2, action_proxyhttp, kNone},
    {kMacroSettransfertype, "settransfertype", "Y", "-", 1, action_settransfertype, kNone},
    {kMacroReadwinregistry, "readwinregistry", "TTTV", "ppp-", 4, action_readwinregistry, kNone},
    {kMacroSetduperules, "setduperules", "CRRRT", "----p", 4, action_setduperules, kNone},
    {kMacroFtpdownload, "ftpdownload", "KTT", "-pp", 2, action_ftpdownload, kFtp},
    {kMacroSetparallel, "setparallel", "N", "-", 1, action_setparallel, kNone},
};
static_assert(sizeof kRows / sizeof kRows[0] == kLastKeyword - kFirstMacro + 1, "one row per macro");

constexpr bool rows_in_code_order() {
    for (size_t i = 0; i < sizeof kRows / sizeof kRows[0]; ++i)
        if (kRows[i].code != kFirstMacro + static_cast<int>(i)) return false;
    return true;
}
static_assert(rows_in_code_order(), "rows in code order");

// Every form has a role, and every role is one of the five letters.
constexpr bool roles_match_forms() {
    for (const MacroRow& row : kRows) {
        size_t i = 0;
        for (; row.forms[i] != '\0'; ++i) {
            char r = row.roles[i];
            if (r != kRoleName && r != kRoleSecret && r != kRoleCommand && r != kRoleText && r != kRoleOther)
                return false;
        }
        if (row.roles[i] != '\0') return false;
    }
    return true;
}
static_assert(roles_match_forms(), "one role per form");

// A keyword form: the keywords it accepts (a range of codes) and its fault.
struct KeywordForm {
    char letter;
    int first;
    int last;
    RuntimeMessage fault;
};
constexpr KeywordForm kKeywordForms[] = {
    {'W', kKwRemote, kKwLocal, RuntimeMessage::NeedWhere},
    {'K', kKwFile, kKwFolder, RuntimeMessage::NeedKind},
    {'Y', kKwAscii, kKwAuto, RuntimeMessage::NeedTransferType},
    {'C', kKwBysize, kKwBydate, RuntimeMessage::NeedCompareMode},
    {'S', kKwLeft, kKwRight, RuntimeMessage::NeedLeftOrRight},
    {'D', kKwIncr, kKwDecr, RuntimeMessage::NeedIncrOrDecr},
    {'U', kKwSecond, kKwYear, RuntimeMessage::NeedTimeUnit},
};

bool is_rule(int kind) {
    return kind == kKwSkip || kind == kKwOverwrite || kind == kKwResume || kind == kKwRename;
}

RuntimeMessage resolve_one(char form, const Parameters& parameters, size_t& position, ScriptValues& values,
                           Argument& a) {
    switch (form) {
        case 'T':
            return text_of(values, parameters, position, a.text, &a.marks);
        case 'N':
            return number_of(values, parameters, position, a.number);
        case 'V':
        case 'X': {
            const Parameter& p = parameters[position++];
            if (p.kind != kTokenStringVar)
                return form == 'V' ? RuntimeMessage::NeedStringVariable
                                   : RuntimeMessage::StrprintNeedsVariable;
            a.variable = &values.variable(*p.symbol);
            a.variable_marks = &values.variable_marks(*p.symbol);
            return RuntimeMessage::None;
        }
        case 'L': {
            const Parameter& p = parameters[position++];
            if (p.kind != kTokenListName) return RuntimeMessage::NeedListName;
            a.list = &values.list(*p.symbol);
            return RuntimeMessage::None;
        }
        case 'M':
            a.keyword = parameters[position++].kind;
            return RuntimeMessage::None;
        case 'R': {
            a.keyword = parameters[position++].kind;
            return is_rule(a.keyword) ? RuntimeMessage::None : RuntimeMessage::NeedDuplicateRule;
        }
        default:
            break;
    }
    for (const KeywordForm& k : kKeywordForms) {
        if (k.letter != form) continue;
        a.keyword = parameters[position++].kind;
        return a.keyword >= k.first && a.keyword <= k.last ? RuntimeMessage::None : k.fault;
    }
    return RuntimeMessage::None;
}

// The fault of a required parameter that the tokens do not reach.
RuntimeMessage missing(char form) {
    switch (form) {
        case 'T':
            return RuntimeMessage::NeedString;
        case 'N':
            return RuntimeMessage::NeedNumber;
        case 'V':
            return RuntimeMessage::NeedStringVariable;
        case 'X':
            return RuntimeMessage::StrprintNeedsVariable;
        case 'L':
            return RuntimeMessage::NeedListName;
        case 'R':
            return RuntimeMessage::NeedDuplicateRule;
        default:
            for (const KeywordForm& k : kKeywordForms)
                if (k.letter == form) return k.fault;
            return RuntimeMessage::ParameterCount;
    }
}

bool is_member_keyword(int kind) {
    return kind >= kKwName && kind <= kKwIsfolder;
}

}  // namespace

const MacroRow* macro_row(int code) {
    if (code < kFirstMacro || code > kLastKeyword) return nullptr;
    return &kRows[code - kFirstMacro];
}

RuntimeMessage resolve_arguments(const MacroRow& row, const Statement& statement, ScriptValues& values,
                                 Arguments& arguments) {
    const Parameters& parameters = statement.parameters;
    size_t position = 0;
    arguments.count = 0;
    for (size_t i = 0; i < kMaxArguments && row.forms[i] != '\0' && row.forms[i] != 'P'; ++i) {
        Argument& a = arguments[i];
        a.present = false;
        a.text.clear();
        a.number = 0;
        a.variable = nullptr;
        a.variable_marks = nullptr;
        a.list = nullptr;
        a.keyword = 0;
        a.marks = 0;
        a.first_token = a.end_token = position;
        arguments.count = i + 1;
        if (position >= parameters.size()) {
            if (i < row.required) return missing(row.forms[i]);
            continue;  // an optional parameter left out: empty
        }
        if (RuntimeMessage m = resolve_one(row.forms[i], parameters, position, values, a);
            m != RuntimeMessage::None)
            return m;
        a.present = true;
        a.end_token = position;
    }
    arguments.next_token = position;
    return RuntimeMessage::None;
}

void assign_to(const Argument& a, std::string_view text, uint8_t marks) {
    if (!a.variable) return;
    assign_variable(*a.variable, text);
    if (text.size() > kVariableCapacity) marks |= kMarkCut;
    if (a.variable_marks) *a.variable_marks = marks;
}

ParameterRole parameter_role(const MacroRow& row, size_t i) {
    for (size_t k = 0; k <= i; ++k)
        if (row.roles[k] == '\0') return kRoleOther;
    return static_cast<ParameterRole>(row.roles[i]);
}

bool has_secret(const MacroRow& row) {
    for (const char* r = row.roles; *r != '\0'; ++r)
        if (*r == kRoleSecret) return true;
    return false;
}

// A cut text is as long as the holder that cut it (a literal's or a parameter's), which is the
// limit the messages name.
ValueVerdict judge_values(const MacroRow& row, const Arguments& arguments) {
    ValueVerdict verdict;
    for (size_t i = 0; i < arguments.count; ++i) {
        const Argument& a = arguments.items[i];
        if (!a.present || a.marks == 0) continue;
        ParameterRole role = parameter_role(row, i);
        bool names = role == kRoleName || role == kRoleSecret || role == kRoleCommand;
        if (names && (a.marks & kMarkUnsafeName)) {
            verdict.refusal = format(
                "%s: parameter %zu holds a name a server listed that is not safe as a file name "
                "(\"%s\"); it is never used as a path or a name, nothing was done",
                row.name, i + 1, escape_controls(a.text).c_str());
            return verdict;
        }
        if ((a.marks & kMarkCut) == 0) continue;
        if (role == kRoleName || role == kRoleSecret || role == kRoleCommand) {
            verdict.refusal = format(
                "%s: parameter %zu is longer than %zu characters and was cut; a cut value is never used, "
                "nothing was done",
                row.name, i + 1, a.text.size());
            return verdict;
        }
        if (role == kRoleText && verdict.warning.empty())
            verdict.warning = format("%s: parameter %zu is longer than %zu characters and was cut", row.name,
                                     i + 1, a.text.size());
    }
    return verdict;
}

std::string trace_line(const MacroRow& row, const Statement& statement, const Arguments& arguments) {
    std::string line = format("Script Engine: Line %d: Executing %s", statement.line, row.name);
    const Parameters& parameters = statement.parameters;
    if (parameters.empty()) return line;
    line += ". Parameter(s):";
    // Secrets are found by the parameters they were resolved into, so a member reference or any
    // other token in front of one never shifts the mask onto a neighbour.
    std::vector<bool> hidden(parameters.size(), false);
    for (size_t i = 0; i < arguments.count; ++i) {
        const Argument& a = arguments.items[i];
        ParameterRole role = parameter_role(row, i);
        if (!a.present || !(role == kRoleSecret || (role == kRoleCommand && command_carries_secret(a.text))))
            continue;
        for (size_t t = a.first_token; t < a.end_token && t < hidden.size(); ++t) hidden[t] = true;
    }
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        if (hidden[i]) {
            if (i == 0 || !hidden[i - 1]) line += "  (not displayed)";
        } else if (p.kind == kTokenDot) {
            line += '.';
        } else if (is_member_keyword(p.kind)) {
            // Only these members are shown, right after their dot.
            if (p.kind == kKwName || p.kind == kKwSize || p.kind == kKwModtime) line += keyword_name(p.kind);
        } else {
            line += "  ";
            line += p.symbol ? escape_controls(p.symbol->text) : std::string(keyword_name(p.kind));
        }
    }
    return line;
}

}  // namespace orvane::script
