// The interpreter's step: file the completion, fetch the next statement through the control flow
// (if, loop, foreach, exitloop, endscript), then resolve, trace and start the next macro.
#include "client/script/interpreter.h"

#include <cassert>

#include "client/script/script_keywords.h"
#include "client/transfer/session/requests.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::script {
namespace {

constexpr const char* kStateNames[] = {"idle", "waiting", "ended"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(InterpreterState::kCount),
              "one name per state");

}  // namespace

const char* interpreter_state_name(InterpreterState state) {
    size_t i = static_cast<size_t>(state);
    return i < static_cast<size_t>(InterpreterState::kCount) ? kStateNames[i] : "unknown";
}

Interpreter::Interpreter(const Program& program, size_t symbol_count, ScriptContext& context, ScriptDone done)
    : program_(program),
      context_(context),
      done_(done),
      owner_thread_(std::this_thread::get_id()),
      values_(symbol_count) {}

void Interpreter::set_state(InterpreterState state) {
    if (state == state_) return;
    InterpreterState from = state_;
    state_ = state;
    if (trace_.function) trace_.function(trace_.context, from, state);
}

void Interpreter::handle_message(InterpreterMessage message, int result) {
    // Script code runs on the thread that created the interpreter, never on an engine's thread.
    assert(owner_thread_ == std::this_thread::get_id());
    inbox_.push_back(Message{message, result});
    if (in_step_) return;
    in_step_ = true;
    while (!inbox_.empty()) {
        Message m = inbox_.front();
        inbox_.pop_front();
        step(m.message, m.result);
    }
    in_step_ = false;
}

void Interpreter::request_done(int, void* object, int result) {
    static_cast<Interpreter*>(object)->handle_message(InterpreterMessage::kCompletion, result);
}

void Interpreter::complete(int result) {
    if (context_.session && request_finish_with_result(*context_.session, result, request_done, 0, this) == 0)
        return;
    handle_message(InterpreterMessage::kCompletion, result);
}

void Interpreter::report(RuntimeMessage message) {
    reporter_.report(current_ ? current_->line : 0, message);
}

void Interpreter::report(const std::string& text) {
    reporter_.report(current_ ? current_->line : 0, text);
}

uint32_t Interpreter::run_exit_code() const {
    if (exit_code_ != 0) return exit_code_;
    return failures_ > 0 ? 1 : 0;
}

void Interpreter::step(InterpreterMessage message, int result) {
    if (message == InterpreterMessage::kStart) {
        if (state_ != InterpreterState::kIdle) return;
        set_state(InterpreterState::kWaiting);
    } else {
        if (state_ != InterpreterState::kWaiting || !current_) return;  // nothing is outstanding
        if (result != 0) ++failures_;
        const MacroRow* row = macro_row(current_->kind);
        if (row && row->result_register == ResultRegister::kFtp) registers_.ftp = result;
        if (row && row->result_register == ResultRegister::kMail) registers_.mail = result;
    }
    const Statement* next = fetch_next();
    if (!next) return end_run();
    execute(*next);
}

void Interpreter::end_run() {
    current_ = nullptr;
    output(failures_ > 0 ? "Script Engine: Script did not complete correctly."
                         : "Script Engine: Script execution complete",
           kLevelInfo);
    set_state(InterpreterState::kEnded);
    if (done_.function) done_.function(done_.context);
}

// Control-statement faults are reported and the run goes on; they count as failures, so a run
// that reported one never ends as a success.
void Interpreter::control_fault(const Statement& s, RuntimeMessage message) {
    reporter_.report(s.line, message);
    ++failures_;
}

const Statement* Interpreter::fetch_next() {
    const Statement* s;
    if (!started_) {
        started_ = true;
        s = program_.first();
    } else {
        s = current_ ? current_->next : nullptr;
    }
    current_ = nullptr;
    for (;;) {
        s = leave_finished_blocks(s);
        if (!s || ending_) return nullptr;
        if (++visited_ > statement_limit_ && statement_limit_ != 0) {
            ++failures_;
            ending_ = true;
            return nullptr;
        }
        switch (s->kind) {
            case kKwIf:
                s = enter_if(*s);
                break;
            case kKwLoop:
                s = enter_loop(*s);
                break;
            case kKwForeach:
                s = enter_foreach(*s);
                break;
            case kMacroEndscript:
                ending_ = true;
                return nullptr;
            case kMacroExitloop:
                s = exit_loop(*s);
                break;
            default:
                current_ = s;
                return s;
        }
    }
}

const Statement* Interpreter::leave_finished_blocks(const Statement* s) {
    while (!s) {
        if (frames_.empty()) return nullptr;
        Frame f = frames_.back();
        frames_.pop_back();
        const Statement& owner = *f.owner;
        if (owner.kind == kKwLoop) {
            if (++f.pass < f.count) {
                frames_.push_back(f);
                s = owner.body;
                continue;
            }
        } else if (owner.kind == kKwForeach) {
            const Symbol& item = *owner.parameters[0].symbol;
            ItemBinding& b = values_.item(item);
            if (!b.bound) {
                control_fault(owner, RuntimeMessage::ObjectMissing);
            } else if (++b.index < b.list->entries.size()) {
                frames_.push_back(f);
                s = owner.body;
                continue;
            } else {
                values_.unbind(item);
            }
        }
        s = owner.next;
    }
    return s;
}

const Statement* Interpreter::enter_if(const Statement& s) {
    uint64_t before = reporter_.reported();
    bool truth = evaluate_condition(s, values_, registers_, reporter_);
    if (reporter_.reported() != before) ++failures_;
    const Statement* block = truth ? s.body : s.else_body;
    if (!block) return s.next;
    frames_.push_back(Frame{&s, 0, 0});
    return block;
}

const Statement* Interpreter::enter_loop(const Statement& s) {
    if (s.parameters.size() != 1) {
        control_fault(s, RuntimeMessage::ParameterCount);
        return s.next;
    }
    size_t position = 0;
    uint32_t count = 0;
    if (RuntimeMessage m = number_of(values_, s.parameters, position, count); m != RuntimeMessage::None) {
        control_fault(s, m);
        return s.next;
    }
    // An empty body has nothing to repeat.
    if (count < 1 || !s.body) return s.next;
    frames_.push_back(Frame{&s, 0, count});
    return s.body;
}

const Statement* Interpreter::enter_foreach(const Statement& s) {
    if (s.parameters.size() < 2) {
        control_fault(s, RuntimeMessage::ParameterCount);
        return s.next;
    }
    const Parameter& item = s.parameters[0];
    const Parameter& list = s.parameters[1];
    if (item.kind != kTokenItemName) {
        control_fault(s, RuntimeMessage::NeedItemName);
        return s.next;
    }
    if (list.kind != kTokenListName) {
        control_fault(s, RuntimeMessage::NeedListName);
        return s.next;
    }
    UserList& entries = values_.list(*list.symbol);
    if (!values_.bind(*item.symbol, entries)) {
        control_fault(s, RuntimeMessage::ObjectExists);
        return s.next;
    }
    if (entries.entries.empty() || !s.body) {
        values_.unbind(*item.symbol);
        return s.next;
    }
    frames_.push_back(Frame{&s, 0, 0});
    return s.body;
}

// Leaves every block up to and including the nearest loop; the items of the foreach loops left
// on the way are unbound, so their names can be used again.
const Statement* Interpreter::exit_loop(const Statement& s) {
    const Statement* outermost = nullptr;
    while (!frames_.empty()) {
        const Statement& owner = *frames_.back().owner;
        frames_.pop_back();
        outermost = &owner;
        if (owner.kind == kKwForeach) values_.unbind(*owner.parameters[0].symbol);
        if (owner.kind == kKwLoop) return owner.next;
    }
    control_fault(s, RuntimeMessage::ExitloopWithoutLoop);
    return outermost ? outermost->next : s.next;
}

void Interpreter::execute(const Statement& s) {
    const MacroRow* row = macro_row(s.kind);
    if (!row || !row->action) return complete(1);
    if (RuntimeMessage m = resolve_arguments(*row, s, values_, arguments_); m != RuntimeMessage::None) {
        report(m);
        return complete(1);
    }
    if (row->traced) output(trace_line(*row, s, arguments_), kLevelInfo);
    ValueVerdict verdict = judge_values(*row, arguments_);
    if (!verdict.refusal.empty()) {
        report(verdict.refusal);
        wipe_arguments(*row);
        return complete(1);
    }
    if (!verdict.warning.empty())
        output(format("Script Engine: Line %d: Warning: %s", s.line, verdict.warning.c_str()), kLevelWarning);
    MacroCall call{*this, context_, values_, s, arguments_};
    row->action(call);
    wipe_arguments(*row);
}

void Interpreter::wipe_arguments(const MacroRow& row) {
    if (has_secret(row))
        for (Argument& a : arguments_.items) wipe_secret(a.text);
}

}  // namespace orvane::script
