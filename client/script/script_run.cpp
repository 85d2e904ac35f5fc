// Script runs: load and parse the script, create the script context with its transfer session,
// start the interpreter, and carry every completion to it on the main thread's event loop until
// the interpreter says the run is done.
#include "client/script/script_run.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "client/actions/mail/mailer.h"
#include "client/script/interpreter.h"
#include "client/script/run_engines.h"
#include "client/script/script_load.h"
#include "client/transfer/session/requests.h"
#include "client/transfer/session/session.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/event.h"
#include "platform/interrupt_watch.h"
#include "platform/system.h"

namespace orvane {
namespace {

// The engines' threads only set these; everything else happens on the main thread. A wake-up
// while transfer-ready is already signalled writes nothing.
struct RunEvents {
    platform::Event transfer_ready;
    platform::Event mail_ready;
    platform::Event script_done;
    std::atomic<bool> transfer_signalled{false};
    bool finished = false;  // main thread: the interpreter's done callback has run
    bool valid() const { return transfer_ready.valid() && mail_ready.valid() && script_done.valid(); }
};

void wake_transfer(void* run_events) {
    auto* events = static_cast<RunEvents*>(run_events);
    if (!events->transfer_signalled.exchange(true)) events->transfer_ready.set();
}

void set_event(void* event) {
    static_cast<platform::Event*>(event)->set();
}

void script_finished(void* run_events) {
    auto* events = static_cast<RunEvents*>(run_events);
    events->finished = true;
    events->script_done.set();
}

bool completions_waiting(RunEngines& engines) {
    return engines.transfer.queued_completions() > 0;
}

void session_output(void*, const char* text, int level, int line_end) {
    output(text, level, line_end);
}

// A process exit status keeps only 8 bits: a code above 255 stays a failure.
int process_exit_code(uint32_t code) {
    return code > 255 ? 255 : static_cast<int>(code);
}

// SIGINT or SIGTERM: the request under way is asked to stop and the script ends after its
// statement; the signal is kept for the exit code.
struct RunStop {
    platform::InterruptWatch watch;
    script::Interpreter* interpreter = nullptr;
    script::ScriptContext* context = nullptr;
    int signal = 0;

    void take() {
        platform::InterruptCounts came = watch.take();
        if (!came.any()) return;
        if (signal == 0 || came.terminations > 0) signal = came.terminations > 0 ? SIGTERM : SIGINT;
        output(format("Script Engine: Stopped by %s", signal == SIGTERM ? "SIGTERM" : "SIGINT"),
               kLevelWarning);
        interpreter->stop();
        if (context->session && session_busy(*context->session)) request_cancel(*context->session);
    }
};

// 0 when the run ended; 1 when the wait itself failed (the run is abandoned, never spun on).
int run_event_loop(RunEvents& events, RunEngines& engines, RunStop& stop) {
    platform::PollSet set;
    set.add(events.transfer_ready.descriptor(), platform::kPollReadable);
    set.add(events.mail_ready.descriptor(), platform::kPollReadable);
    set.add(events.script_done.descriptor(), platform::kPollReadable);
    if (stop.watch.active()) set.add(stop.watch.descriptor(), platform::kPollReadable);
    for (;;) {
        int ready = set.wait(-1);
        if (ready < 0) {
            outputf(kLevelError, "Error: Could not wait for the script's events (%s)", std::strerror(errno));
            return 1;
        }
        if (ready == 0) continue;  // interrupted
        if (set.ready(2) & platform::kPollReadable) break;
        if (set.size() > 3 && (set.ready(3) & platform::kPollReadable)) stop.take();
        if (set.ready(0) & platform::kPollReadable) {
            // Cleared before the pump, the event first: a completion queued from here on signals
            // again. (The flag first would let a wake that lands between the two be reset away
            // with the flag left set, and every later completion would wait forever.)
            events.transfer_ready.reset();
            events.transfer_signalled.store(false);
            // Statements that finish at once queue their completion during the pump: they are
            // delivered straight away rather than after another trip through the wait.
            do {
                pump_session_completions(engines.transfer);
            } while (!events.finished && completions_waiting(engines));
        }
        if (set.ready(1) & platform::kPollReadable) {
            events.mail_ready.reset();
            pump_mail_completions(engines.mail);
        }
    }
    events.script_done.reset();
    return 0;
}

}  // namespace

int run_script_mode(const std::string& script_path, int timeout_seconds, const TlsRunSettings& tls,
                    int parallel) {
    script::LoadedScript script;
    if (int code = script::load_script(script_path, script); code != 0) return code;

    RunEvents events;
    RunEngines engines(tls);  // outlives the context's session and mail record
    if (engines.load_client_certificate() != 0) {
        outputf(kLevelError, "Error: Could not load the client certificate %s",
                tls.certificate.certificate_file.c_str());
        return 1;
    }
    script::ScriptContext context;
    context.engines = &engines;
    context.transfer_wake = Notifier{wake_transfer, &events};
    context.mail_wake = Notifier{set_event, &events.mail_ready};
    // Cut, the folder would be one of its parents, and every relative path of the script would
    // act there.
    std::string folder = platform::current_folder();
    if (folder.size() > kPathCapacity) {
        output(
            escape_controls(format("Error: The current folder %s is longer than %zu characters; the script "
                                   "cannot work in it",
                                   folder.c_str(), kPathCapacity)),
            kLevelError);
        return 1;
    }
    context.local_folder = folder;
    context.session_log = session_output;
    context.reply_timeout = timeout_seconds;
    context.settings.parallel = parallel;
    if (!events.valid() || script::replace_session(context, kProtocolFtp) != 0) {
        output("Error: Could not start the transfer engine for the script", kLevelError);
        return 1;
    }

    uint32_t code = 0;
    int stopped_by = 0;
    {
        script::Interpreter interpreter(script.program, script.symbols.size(), context,
                                        script::ScriptDone{script_finished, &events});
        RunStop stop;
        stop.interpreter = &interpreter;
        stop.context = &context;
        interpreter.handle_message(script::InterpreterMessage::kStart, 0);
        code = run_event_loop(events, engines, stop) == 0 ? interpreter.run_exit_code() : 1;
        stop.take();  // one that came while the last statement ran
        stopped_by = stop.signal;
    }
    // The connections close with the session, before the exit code says how the run ended.
    context.session.reset();
    if (stopped_by != 0) return platform::interrupt_exit_code(stopped_by);
    return process_exit_code(code);
}

}  // namespace orvane
