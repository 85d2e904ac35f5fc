// Script runs: load and parse the script, create the script context with its transfer session,
// start the interpreter, and carry every completion to it on the main thread's event loop until
// the interpreter says the run is done.
#include "client/script/script_run.h"

#include "client/script/interpreter.h"
#include "client/script/script_load.h"
#include "client/transfer/session/session.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/event.h"
#include "platform/system.h"

namespace orvane {
namespace {

// The engines' threads only set these; everything else happens on the main thread.
struct RunEvents {
    platform::Event transfer_ready;
    platform::Event mail_ready;
    platform::Event script_done;
    bool valid() const { return transfer_ready.valid() && mail_ready.valid() && script_done.valid(); }
};

void set_event(void* event) {
    static_cast<platform::Event*>(event)->set();
}

void session_output(void*, const char* text, int level, int line_end) {
    output(text, level, line_end);
}

// A process exit status keeps only 8 bits: a code above 255 stays a failure.
int process_exit_code(uint32_t code) {
    return code > 255 ? 255 : static_cast<int>(code);
}

void run_event_loop(RunEvents& events) {
    platform::PollSet set;
    while (!events.script_done.is_set()) {
        set.clear();
        set.add(events.transfer_ready.descriptor(), platform::kPollReadable);
        set.add(events.mail_ready.descriptor(), platform::kPollReadable);
        set.add(events.script_done.descriptor(), platform::kPollReadable);
        set.wait(-1);
        if (events.transfer_ready.is_set()) {
            events.transfer_ready.reset();
            pump_session_completions();
        }
        // Nothing pumps mail yet: the mail engine brings its own completions.
        if (events.mail_ready.is_set()) events.mail_ready.reset();
    }
    events.script_done.reset();
}

}  // namespace

int run_script_mode(const std::string& script_path) {
    script::LoadedScript script;
    if (int code = script::load_script(script_path, script); code != 0) return code;

    RunEvents events;
    script::ScriptContext context;
    context.transfer_wake = Notifier{set_event, &events.transfer_ready};
    context.mail_wake = Notifier{set_event, &events.mail_ready};
    context.local_folder = cut(platform::current_folder(), kPathCapacity);
    if (events.valid())
        context.session = create_session(nullptr, session_output, context.transfer_wake, kProtocolFtp, 0);
    if (!context.session) {
        output("Error: Could not start the transfer engine for the script", kLevelError);
        return 1;
    }
    context.session->local_folder = context.local_folder;
    script::apply_settings(context.settings, *context.session);

    uint32_t code = 0;
    {
        script::Interpreter interpreter(script.program, script.symbols.size(), context,
                                        script::ScriptDone{set_event, &events.script_done});
        interpreter.handle_message(script::InterpreterMessage::kStart, 0);
        run_event_loop(events);
        code = interpreter.run_exit_code();
    }
    return process_exit_code(code);
}

}  // namespace orvane
