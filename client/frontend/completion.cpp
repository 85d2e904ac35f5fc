// Which names complete which word: a table of the commands whose arguments name files, and the
// word splitting of the shell (blanks, double quotes) applied to the text before the cursor.
#include "client/frontend/completion.h"

#include <algorithm>

#include "common/safe_name.h"
#include "common/text.h"

namespace orvane {

namespace {

enum class ArgKind { kNone, kLocal, kRemote };

struct CommandArgs {
    const char* name;
    ArgKind first;
    ArgKind second;
    ArgKind rest;
};

constexpr ArgKind L = ArgKind::kLocal, R = ArgKind::kRemote, N = ArgKind::kNone;
constexpr CommandArgs kCommandArgs[] = {
    {"get", R, L, N},    {"recv", R, L, N},  {"put", L, R, N},    {"send", L, R, N},
    {"append", L, R, N}, {"mget", R, R, R},  {"mput", L, L, L},   {"mdelete", R, R, R},
    {"delete", R, N, N}, {"rmdir", R, N, N}, {"rename", R, R, N}, {"cd", R, N, N},
    {"ls", R, L, N},     {"dir", R, L, N},   {"lcd", L, N, N},    {"mirror", R, L, N},
};

struct LineWords {
    std::vector<std::string> words;  // finished words before the one at the cursor
    size_t current_start = 0;        // where the word at the cursor begins
    std::string current;             // its text without quotes
};

LineWords split_before_cursor(const std::string& text) {
    LineWords w;
    bool quoted = false, in_word = false;
    std::string word;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!quoted && c == ' ') {
            if (in_word) w.words.push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        if (!in_word) w.current_start = i;
        in_word = true;
        if (c == '"')
            quoted = !quoted;
        else
            word += c;
    }
    if (!in_word) w.current_start = text.size();
    w.current = word;
    return w;
}

ArgKind kind_of_argument(const std::vector<std::string>& words) {
    const CommandArgs* command = nullptr;
    for (const CommandArgs& c : kCommandArgs)
        if (iequals(words[0], c.name)) command = &c;
    if (!command) return ArgKind::kNone;
    size_t index = 0;
    bool reverse = false;
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "-R") reverse = true;
        if (!words[i].empty() && words[i][0] == '-') continue;  // options such as -r take no name
        ++index;
    }
    ArgKind kind = index == 0 ? command->first : index == 1 ? command->second : command->rest;
    // mirror -R copies a local tree to the server: its names swap sides.
    if (reverse && iequals(words[0], "mirror") && kind != ArgKind::kNone)
        kind = kind == ArgKind::kLocal ? ArgKind::kRemote : ArgKind::kLocal;
    return kind;
}

}  // namespace

bool completable_name(std::string_view name) {
    if (!is_safe_name(name)) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7e || c == '"') return false;
    return true;
}

Completion complete_line(const std::string& before_cursor, const NameSources& sources) {
    Completion result;
    LineWords w = split_before_cursor(before_cursor);
    result.word_start = w.current_start;
    if (w.words.empty()) {
        for (const std::string& c : sources.commands)
            if (istarts_with(c, w.current)) result.candidates.push_back(c);
    } else {
        ArgKind kind = kind_of_argument(w.words);
        std::vector<CompletionName> names;
        std::string folder, partial = w.current;
        const auto& source = kind == ArgKind::kRemote ? sources.remote : sources.local;
        if ((kind == ArgKind::kRemote || kind == ArgKind::kLocal) && source) {
            size_t slash = w.current.find_last_of('/');
            if (slash != std::string::npos) {
                folder = w.current.substr(0, slash + 1);
                partial = w.current.substr(slash + 1);
            }
            names = source(folder);
        }
        for (const CompletionName& n : names) {
            if (!completable_name(n.name) || n.name.compare(0, partial.size(), partial) != 0) continue;
            result.candidates.push_back(folder + n.name + (n.folder ? "/" : ""));
        }
        // A folder goes on with its own names: the word is not over.
        if (result.candidates.size() == 1 && result.candidates[0].back() == '/') result.ends_word = false;
    }
    std::sort(result.candidates.begin(), result.candidates.end());
    result.candidates.erase(std::unique(result.candidates.begin(), result.candidates.end()),
                            result.candidates.end());
    return result;
}

}  // namespace orvane
