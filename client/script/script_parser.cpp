// The script parser. Blocks are kept on an explicit stack rather than by recursion, so deeply
// nested scripts cannot exhaust the thread's stack. After a fault the parser skips to the next
// token that can begin a statement and goes on, so one run reports every fault of the file.
#include "client/script/script_parser.h"

#include <vector>

#include "client/script/macro_params.h"
#include "client/script/script_keywords.h"
#include "client/script/script_lexer.h"

namespace orvane::script {
namespace {

bool is_member_keyword(int kind) {
    return kind >= kKwName && kind <= kKwIsfolder;
}

// Tokens that may stand among a macro's parameters.
bool is_macro_parameter(int kind) {
    return is_value_token(kind) || kind == kTokenDot || (kind >= kKwRemote && kind <= kKwSkip) ||
           is_member_keyword(kind);
}

// Tokens that may stand in an `if` condition: values, dots, operators, results and members.
bool is_condition_token(int kind) {
    return is_value_token(kind) || kind == kTokenDot || (kind >= kKwEq && kind <= kKwIsfolder);
}

bool is_skipped_separator(int kind) {
    return kind == kTokenOpenParen || kind == kTokenCloseParen || kind == kTokenComma;
}

class Parser {
  public:
    Parser(ScriptReader& reader, SymbolTable& symbols, Program& program, ParseErrors& errors)
        : lexer_(reader), symbols_(symbols), program_(program), errors_(errors) {}

    void run();

  private:
    // An open block: the statement that owns it and the link its enclosing list goes on from.
    struct Block {
        Statement* owner;
        bool else_body;
        Statement** enclosing_tail;
    };

    void advance();
    void error(ParseMessage message);
    bool faulty() const { return token_.error != LexError::None || token_.kind == kTokenInvalid; }
    void reject(ParseMessage message);
    void recover();
    bool resumes_here() const;

    Parameter parameter_of_token();
    void link(Statement* statement);
    void open_block(Statement* owner, bool else_body, Statement** first_link);
    void close_block();

    void parse_plain_macro();
    void parse_macro();
    void parse_if();
    void parse_loop();
    void parse_foreach();

    ScriptLexer lexer_;
    SymbolTable& symbols_;
    Program& program_;
    ParseErrors& errors_;
    Token token_;
    std::vector<Block> blocks_;
    Statement** tail_ = nullptr;
    bool stopped_ = false;  // a string ran to the end of the file: nothing more is reported
};

void Parser::advance() {
    lexer_.next(token_);
    if (token_.error == LexError::EndInString) {
        error(ParseMessage::UnexpectedEnd);
        stopped_ = true;
        token_.kind = kTokenEnd;
        token_.error = LexError::None;
    }
}

void Parser::error(ParseMessage message) {
    if (!stopped_) errors_.add(lexer_.line(), message);
}

// Reports a fault at the current token (a fault of the token itself comes first) and resumes.
void Parser::reject(ParseMessage message) {
    if (token_.error == LexError::NumberTooLarge)
        message = ParseMessage::NumberTooLarge;
    else if (token_.kind == kTokenInvalid)
        message = ParseMessage::SyntaxError;
    error(message);
    recover();
}

bool Parser::resumes_here() const {
    // An `end` closing an open block also resumes, so a fault inside a block is not reported
    // a second time as that block missing its `end`.
    return token_.kind == kTokenEnd || starts_statement(token_.kind) ||
           (token_.kind == kKwEnd && !blocks_.empty());
}

void Parser::recover() {
    while (!resumes_here()) advance();
}

Parameter Parser::parameter_of_token() {
    Parameter p;
    p.kind = token_.kind;
    if (is_value_token(token_.kind)) p.symbol = symbols_.intern(token_.text);
    if (token_.kind == kTokenNumber) p.number = token_.number;
    if (token_.cut) p.marks = kMarkCut;
    return p;
}

void Parser::link(Statement* statement) {
    *tail_ = statement;
    tail_ = &statement->next;
}

void Parser::open_block(Statement* owner, bool else_body, Statement** first_link) {
    blocks_.push_back(Block{owner, else_body, tail_});
    tail_ = first_link;
}

// At an `end` with a block open.
void Parser::close_block() {
    Block block = blocks_.back();
    blocks_.pop_back();
    tail_ = block.enclosing_tail;
    advance();
    if (block.owner->kind != kKwIf || block.else_body || token_.kind != kKwElse) return;
    advance();
    if (token_.kind != kKwBegin) return reject(ParseMessage::BeginMissing);
    block.owner->has_else = true;
    open_block(block.owner, true, &block.owner->else_body);
    advance();
}

// exitloop, endscript, ...: the name, optionally "(" and ")", then ";".
void Parser::parse_plain_macro() {
    int kind = token_.kind, line = token_.line;
    advance();
    if (token_.kind == kTokenOpenParen) {
        advance();
        if (token_.kind == kTokenCloseParen) advance();
    }
    if (token_.kind != kTokenSemicolon) return reject(ParseMessage::MissingSemicolon);
    link(program_.make(kind, line));
    advance();
}

// A macro with parameters: parameter tokens up to ";", parentheses and commas skipped anywhere.
void Parser::parse_macro() {
    int kind = token_.kind, line = token_.line;
    std::vector<Parameter> parameters;
    advance();
    for (;;) {
        if (faulty()) return reject(ParseMessage::SyntaxError);
        if (token_.kind == kTokenSemicolon) break;
        if (token_.kind == kTokenEnd) return error(ParseMessage::UnexpectedEnd);
        if (is_skipped_separator(token_.kind)) {
            advance();
        } else if (is_macro_parameter(token_.kind)) {
            parameters.push_back(parameter_of_token());
            advance();
        } else {
            return reject(ParseMessage::SyntaxError);
        }
    }
    if (!macro_allows_parameter_count(kind, parameters.size())) {
        error(ParseMessage::ParameterCount);
        advance();
        return recover();
    }
    Statement* statement = program_.make(kind, line);
    statement->parameters = std::move(parameters);
    link(statement);
    advance();
}

// if CONDITION begin ... end [else begin ... end]
void Parser::parse_if() {
    int line = token_.line;
    std::vector<Parameter> parameters;
    advance();
    for (;;) {
        if (faulty()) return reject(ParseMessage::SyntaxError);
        if (token_.kind == kKwBegin) break;
        if (token_.kind == kTokenEnd) return error(ParseMessage::UnexpectedEnd);
        if (is_skipped_separator(token_.kind)) {
            advance();
        } else if (is_condition_token(token_.kind)) {
            parameters.push_back(parameter_of_token());
            advance();
        } else {
            return reject(ParseMessage::SyntaxError);
        }
    }
    Statement* statement = program_.make(kKwIf, line);
    statement->parameters = std::move(parameters);
    link(statement);
    open_block(statement, false, &statement->body);
    advance();
}

// loop NUMBER begin ... end
void Parser::parse_loop() {
    int line = token_.line;
    advance();
    if (token_.kind != kTokenNumber || faulty()) return reject(ParseMessage::LoopSyntax);
    Parameter count = parameter_of_token();
    advance();
    if (token_.kind != kKwBegin) return reject(ParseMessage::BeginMissing);
    Statement* statement = program_.make(kKwLoop, line);
    statement->parameters.push_back(count);
    link(statement);
    open_block(statement, false, &statement->body);
    advance();
}

// foreach ITEM in LIST begin ... end (which name is the item and which the list is checked
// when the statement runs)
void Parser::parse_foreach() {
    int line = token_.line;
    advance();
    if (token_.kind == kTokenEnd) return error(ParseMessage::UnexpectedEnd);
    auto is_name = [this] { return token_.kind == kTokenListName || token_.kind == kTokenItemName; };
    if (!is_name()) return reject(ParseMessage::ForeachSyntax);
    Parameter item = parameter_of_token();
    advance();
    if (token_.kind != kKwIn) return reject(ParseMessage::ForeachSyntax);
    advance();
    if (!is_name()) return reject(ParseMessage::ForeachSyntax);
    Parameter list = parameter_of_token();
    advance();
    if (token_.kind != kKwBegin) return reject(ParseMessage::BeginMissing);
    Statement* statement = program_.make(kKwForeach, line);
    statement->parameters = {item, list};
    link(statement);
    open_block(statement, false, &statement->body);
    advance();
}

void Parser::run() {
    tail_ = program_.first_link();
    advance();
    for (;;) {
        int kind = token_.kind;
        if (kind == kTokenEnd) break;
        if (faulty()) {
            reject(ParseMessage::SyntaxError);
        } else if (kind == kKwEnd && !blocks_.empty()) {
            close_block();
        } else if (is_macro(kind)) {
            if (kind < kFirstMacroWithParameters)
                parse_plain_macro();
            else
                parse_macro();
        } else if (kind == kKwIf) {
            parse_if();
        } else if (kind == kKwLoop) {
            parse_loop();
        } else if (kind == kKwForeach) {
            parse_foreach();
        } else {
            reject(ParseMessage::SyntaxError);
        }
    }
    for (size_t i = 0; i < blocks_.size(); ++i) error(ParseMessage::BeginWithoutEnd);
}

}  // namespace

int parse_script(ScriptReader& reader, SymbolTable& symbols, Program& program, ParseErrors& errors) {
    Parser parser(reader, symbols, program, errors);
    parser.run();
    return errors.count();
}

}  // namespace orvane::script
