// libedit behind a small reader: the terminal work is all libedit's; here are only the bindings
// (Tab, Ctrl-C), the prompt and the private history file.
#include "client/frontend/line_reader.h"

#include <histedit.h>

#include <cstdio>

#include "common/limits.h"
#include "common/text.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/system.h"

namespace orvane {

namespace {

constexpr int kHistorySize = 1000;
constexpr int64_t kMaxHistoryFileSize = 1 << 20;
constexpr size_t kMaxListedCandidates = 200;
constexpr char kPromptEscape = '\1';  // brackets the colour escapes, which take no room on screen

LineReader* reader_of(EditLine* el) {
    void* data = nullptr;
    el_get(el, EL_CLIENTDATA, &data);
    return static_cast<LineReader*>(data);
}

char* prompt_of(EditLine* el) {
    return const_cast<char*>(reader_of(el)->prompt_text().c_str());
}

// Ctrl-C reaches us as a character (signals are off while editing): the line is dropped and a
// fresh prompt follows, as in bash and lftp.
unsigned char on_interrupt(EditLine* el, int) {
    reader_of(el)->note_interrupt();
    fflush(stdout);
    platform::console_write("^C\n", 3);
    return CC_NEWLINE;
}

void list_candidates(const std::vector<std::string>& candidates) {
    std::string text = "\n";
    size_t shown = 0;
    for (const std::string& c : candidates) {
        if (shown == kMaxListedCandidates) {
            text += format("(and %zu more)", candidates.size() - shown);
            break;
        }
        text += c + "  ";
        ++shown;
    }
    text += "\n";
    fflush(stdout);
    platform::console_write(text.data(), text.size());
}

unsigned char on_tab(EditLine* el, int) {
    const LineInfo* info = el_line(el);
    std::string before(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
    Completion c = reader_of(el)->complete(before);
    if (c.candidates.empty() || c.word_start > before.size())
        return c.said_something ? CC_REDISPLAY : CC_REFRESH_BEEP;
    std::string typed = before.substr(c.word_start);
    bool quoted = !typed.empty() && typed[0] == '"';
    if (quoted) typed.erase(0, 1);
    std::string prefix = common_prefix(c.candidates);
    bool unique = c.candidates.size() == 1;
    if (!unique && prefix.size() <= typed.size()) {
        list_candidates(c.candidates);
        return CC_REDISPLAY;
    }
    // A name with blanks is only one word inside double quotes.
    bool quote = quoted || prefix.find(' ') != std::string::npos;
    std::string text = (quote ? "\"" : "") + prefix;
    // No blank after the name: a trailing blank is a word of its own in this shell (an empty
    // local name for get), so the user types it when another word follows.
    if (unique && c.ends_word && quote) text += '"';
    el_deletestr(el, static_cast<int>(before.size() - c.word_start));
    if (el_insertstr(el, text.c_str()) != 0) return CC_REFRESH_BEEP;
    return CC_REFRESH;
}

}  // namespace

std::string default_history_path() {
    std::string state = platform::get_environment("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
        std::string home = platform::get_environment("HOME");
        if (home.empty()) return {};
        state = home + "/.local/state";
    }
    return state + "/orvane/history";
}

std::string common_prefix(const std::vector<std::string>& candidates) {
    if (candidates.empty()) return {};
    std::string prefix = candidates[0];
    for (const std::string& c : candidates) {
        size_t n = 0;
        while (n < prefix.size() && n < c.size() && prefix[n] == c[n]) ++n;
        prefix.resize(n);
    }
    return prefix;
}

LineReader::~LineReader() {
    if (editor_) el_end(editor_);
    if (history_) history_end(history_);
}

int LineReader::open(const std::string& history_path, Completer completer, void* context) {
    if (editor_ || !platform::stdin_is_terminal() || !platform::stdout_is_terminal()) return editor_ ? 0 : 1;
    editor_ = el_init("orvaneftp", stdin, stdout, stderr);
    if (!editor_) return 1;
    completer_ = completer;
    context_ = context;
    history_path_ = history_path;
    el_set(editor_, EL_CLIENTDATA, this);
    el_set(editor_, EL_EDITOR, "emacs");
    el_set(editor_, EL_SIGNAL, 0);
    el_set(editor_, EL_PROMPT_ESC, prompt_of, kPromptEscape);
    // Ctrl-C arrives as a character while a line is edited; between lines it is a signal again.
    el_set(editor_, EL_SETTY, "-d", "-isig", nullptr);
    // The wide form keeps these names as given; the narrow one copies them and never frees the copies.
    el_wset(editor_, EL_ADDFN, L"orvane-interrupt", L"drop the line", on_interrupt);
    el_set(editor_, EL_BIND, "^C", "orvane-interrupt", nullptr);
    el_wset(editor_, EL_ADDFN, L"orvane-complete", L"complete a command or a name", on_tab);
    el_set(editor_, EL_BIND, "^I", "orvane-complete", nullptr);
    history_ = history_init();
    if (history_) {
        HistEvent ev;
        history(history_, &ev, H_SETSIZE, kHistorySize);
        history(history_, &ev, H_SETUNIQUE, 1);
        el_set(editor_, EL_HIST, history, history_);
        load_history();
    }
    return 0;
}

ReadResult LineReader::read(const std::string& colour, const char* prompt, const std::string& colour_end,
                            std::string& line, size_t capacity) {
    // libedit prints an escape together with the visible character after it and drops one at
    // the very end, so the prompt keeps the plain text "fendrel> " and the colour ends once the
    // line is read (the typed text shares the prompt's colour).
    prompt_.clear();
    if (!colour.empty()) prompt_ += std::string(1, kPromptEscape) + colour + kPromptEscape;
    prompt_ += prompt;
    interrupted_ = false;
    el_resize(editor_);
    int count = 0;
    // libedit shows the prompt before it takes the terminal over: keys typed in between are
    // held for it (a Ctrl-C among them is a character, not a signal).
    bool held = platform::console_hold_input() == 0;
    const char* text = el_gets(editor_, &count);
    if (held) platform::console_release_input();
    fflush(stdout);
    if (!colour_end.empty()) platform::console_write(colour_end.data(), colour_end.size());
    if (text == nullptr || count <= 0) {
        platform::console_write("\n", 1);  // the next output starts on a line of its own
        return ReadResult::kEnd;
    }
    line.assign(text, static_cast<size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (interrupted_) line.clear();
    if (line.size() > capacity) line.resize(capacity);
    return ReadResult::kLine;
}

void LineReader::remember(const std::string& line) {
    if (!history_ || line.empty()) return;
    HistEvent ev;
    history(history_, &ev, H_ENTER, line.c_str());
    save_history();
}

Completion LineReader::complete(const std::string& before_cursor) const {
    return completer_ ? completer_(context_, before_cursor) : Completion{};
}

void LineReader::load_history() {
    if (history_path_.empty()) return;
    platform::FileHandle h =
        platform::file_open(history_path_, platform::kOpenRead | platform::kOpenRegularOnly);
    if (h == platform::kInvalidFile) return;
    int64_t size = platform::file_size(h);
    std::string text;
    if (size > 0 && size <= kMaxHistoryFileSize) {
        text.resize(static_cast<size_t>(size));
        int64_t n = platform::file_read(h, text.data(), text.size());
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    platform::file_close(h);
    HistEvent ev;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        if (!entry.empty() && entry.size() <= kLineCapacity) history(history_, &ev, H_ENTER, entry.c_str());
    }
}

void LineReader::save_history() {
    if (history_path_.empty()) return;
    std::string text;
    HistEvent ev;
    for (int r = history(history_, &ev, H_LAST); r == 0; r = history(history_, &ev, H_PREV)) {
        text += ev.str;
        if (text.empty() || text.back() != '\n') text += '\n';
    }
    size_t slash = history_path_.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        platform::make_private_folders(history_path_.substr(0, slash));
    platform::write_private_file(history_path_, text.data(),
                                 text.size());  // a history not saved is no failure
}

}  // namespace orvane
