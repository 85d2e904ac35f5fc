// The program tree: statements with their parameters and, for if/loop/foreach, their blocks.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "client/script/script_symbols.h"
#include "client/script/value_marks.h"

namespace orvane::script {

struct Parameter {
    int kind = 0;                    // token kind 3..7, kTokenDot, or a keyword code
    const Symbol* symbol = nullptr;  // for token kinds 3..7
    uint32_t number = 0;             // the value of a number literal
    uint8_t marks = 0;  // ValueMark bits: kMarkCut when the token was longer than the lexer holds
};

// Statement lists are chains: a block holds its first statement, each statement the next one.
struct Statement {
    int kind = 0;                       // a macro code, or kKwIf, kKwLoop, kKwForeach
    int line = 0;                       // the line on which its first token began
    std::vector<Parameter> parameters;  // loop: its count; foreach: item, then list
    Statement* body = nullptr;          // if, loop, foreach: the first statement of the block
    Statement* else_body = nullptr;     // if: the first statement of the else block
    bool has_else = false;
    Statement* next = nullptr;
};

// Owns every statement (in a flat store, so that freeing a deeply nested program never recurses).
class Program {
  public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The top-level statement list.
    Statement* first() const { return first_; }
    // A new statement owned by the program, not yet linked into any list.
    Statement* make(int kind, int line);
    // Where the top-level list is anchored (the parser links statements through it).
    Statement** first_link() { return &first_; }
    size_t statement_count() const { return store_.size(); }

  private:
    std::deque<Statement> store_;  // addresses stay put as it grows
    Statement* first_ = nullptr;
};

}  // namespace orvane::script
