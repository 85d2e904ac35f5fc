// Line editing at a terminal through libedit: history kept in a private file, Tab completion by a
// callback, Ctrl-C clearing the line, Ctrl-D on an empty line ending the input.
#pragma once

#include <string>
#include <vector>

struct editline;
struct history;

namespace orvane {

// What Tab completes: the candidates for the word that ends at the cursor, where that word
// starts in `line_before_cursor` (`word_start`), and whether a unique candidate ends the word
// (its quote is closed) or not (a local folder, which goes on after its "/").
struct Completion {
    std::vector<std::string> candidates;
    size_t word_start = 0;
    bool ends_word = true;
    bool said_something = false;  // lines were written below the edited one: draw it again
};
using Completer = Completion (*)(void* context, const std::string& line_before_cursor);

enum class ReadResult { kLine, kEnd };

class LineReader {
  public:
    LineReader() = default;
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Starts editing when standard input and output are terminals; loads the history file (empty:
    // no history kept). 0 when editing is on, 1 when plain reading stays (not a terminal).
    int open(const std::string& history_path, Completer completer, void* context);
    bool active() const { return editor_ != nullptr; }
    // Shows the prompt (with its colour escape, which takes no room) and reads one edited line, at
    // most `capacity` bytes kept. Ctrl-C gives an empty line; Ctrl-D on an empty line the end.
    ReadResult read(const std::string& colour, const char* prompt, const std::string& colour_end,
                    std::string& line, size_t capacity);
    // Adds a command to the history and saves the file (only ever called for command lines).
    void remember(const std::string& line);

    // For libedit's callbacks.
    const std::string& prompt_text() const { return prompt_; }
    Completion complete(const std::string& before_cursor) const;
    void note_interrupt() { interrupted_ = true; }

  private:
    void load_history();
    void save_history();

    editline* editor_ = nullptr;
    history* history_ = nullptr;
    std::string history_path_;
    std::string prompt_;
    Completer completer_ = nullptr;
    void* context_ = nullptr;
    bool interrupted_ = false;  // Ctrl-C came while the line was edited: it is dropped
};

// The history file: $XDG_STATE_HOME/orvane/history, else ~/.local/state/orvane/history; empty
// when neither variable is set.
std::string default_history_path();

// The longest text that every candidate begins with.
std::string common_prefix(const std::vector<std::string>& candidates);

}  // namespace orvane
