// The script interpreter: a state machine over the program tree that never blocks. Each macro
// starts an action and returns; the action's completion comes back as a message, and only then
// does the interpreter move on. Exactly one statement is outstanding at any time.
#pragma once

#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

#include "client/script/macro_table.h"
#include "client/script/program_tree.h"
#include "client/script/runtime_errors.h"
#include "client/script/script_condition.h"
#include "client/script/script_context.h"
#include "client/script/script_values.h"

namespace orvane::script {

enum class InterpreterMessage : int {
    kStart = 51,       // sent once by the run
    kCompletion = 53,  // the outstanding statement finished, with its result
};

enum class InterpreterState : int {
    kIdle,     // before the start message
    kWaiting,  // a statement is outstanding
    kEnded,    // the end message is out and the done callback has run
    kCount,
};
const char* interpreter_state_name(InterpreterState state);

// Called once when the run ends; and, when set, on every change of state.
struct ScriptDone {
    void (*function)(void* context) = nullptr;
    void* context = nullptr;
};
struct StateTrace {
    void (*function)(void* context, InterpreterState from, InterpreterState to) = nullptr;
    void* context = nullptr;
};

class Interpreter {
  public:
    Interpreter(const Program& program, size_t symbol_count, ScriptContext& context, ScriptDone done);
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // The whole interpreter step. A message that arrives while a step runs (an action that
    // completed within it) is handled right after that step, never by recursion.
    void handle_message(InterpreterMessage message, int result);

    // For actions that finish at once: the Finish with result request on the transfer session,
    // whose completion comes back like any request's; without a session, the completion is
    // handled right after the running step.
    void complete(int result);
    // The done callback for requests that actions start (object: the interpreter).
    static void request_done(int code, void* object, int result);

    // A runtime error on the running statement's line.
    void report(RuntimeMessage message);
    void report(const std::string& text);

    ScriptRegisters& registers() { return registers_; }
    ScriptValues& values() { return values_; }
    void set_exit_code(uint32_t code) { exit_code_ = code; }
    uint32_t exit_code() const { return exit_code_; }
    uint64_t failure_count() const { return failures_; }
    InterpreterState state() const { return state_; }
    // The script's own exit code when it set a non-zero one; else 1 after any failure; else 0.
    uint32_t run_exit_code() const;

    // Ends the run (as endscript does, counted as a failure) once this many statements have been
    // looked at, control statements and every loop pass included. 0: no limit.
    void set_statement_limit(uint64_t limit) { statement_limit_ = limit; }
    uint64_t statements_visited() const { return visited_; }
    void set_state_trace(StateTrace trace) { trace_ = trace; }
    // Ends the run once the outstanding statement has completed (a stop signal): nothing after
    // it runs, and the run counts as failed.
    void stop() {
        if (!ending_) ++failures_;
        ending_ = true;
    }

  private:
    // An open block: the control statement that owns it, a loop's pass and count.
    struct Frame {
        const Statement* owner;
        uint32_t pass;
        uint32_t count;
    };
    struct Message {
        InterpreterMessage message;
        int result;
    };

    void step(InterpreterMessage message, int result);
    const Statement* fetch_next();
    // Moves out of finished blocks until there is a statement to look at (null: the program ended).
    const Statement* leave_finished_blocks(const Statement* s);
    const Statement* enter_if(const Statement& s);
    const Statement* enter_loop(const Statement& s);
    const Statement* enter_foreach(const Statement& s);
    const Statement* exit_loop(const Statement& s);
    void control_fault(const Statement& s, RuntimeMessage message);
    void execute(const Statement& s);
    // Secrets among the resolved parameters are wiped once the statement has used them.
    void wipe_arguments(const MacroRow& row);
    void end_run();
    void set_state(InterpreterState state);

    const Program& program_;
    ScriptContext& context_;
    ScriptDone done_;
    StateTrace trace_;
    std::thread::id owner_thread_;
    InterpreterState state_ = InterpreterState::kIdle;

    ScriptValues values_;
    ScriptRegisters registers_;
    RuntimeReporter reporter_;
    Arguments arguments_;
    std::vector<Frame> frames_;
    const Statement* current_ = nullptr;  // the outstanding macro statement
    bool started_ = false;
    bool ending_ = false;  // endscript or the statement limit

    uint64_t failures_ = 0;
    uint32_t exit_code_ = 0;
    uint64_t statement_limit_ = 0;
    uint64_t visited_ = 0;

    std::deque<Message> inbox_;
    bool in_step_ = false;
};

}  // namespace orvane::script
