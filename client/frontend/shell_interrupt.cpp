// The shell's wait for a request: Ctrl-C and SIGTERM stop it, the progress line is redrawn, and
// what a stopped download leaves behind is kept only when it can be resumed.
#include <algorithm>
#include <chrono>
#include <csignal>

#include "client/frontend/output.h"
#include "client/frontend/shell.h"
#include "client/transfer/session/requests.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

// A third Ctrl-C adds nothing: the second already closes the connection.
constexpr int kMostCancels = 2;

bool progress_drawing(const ShellState& shell) {
    return shell.progress.enabled && !shell.progress.name.empty();
}

}  // namespace

void shell_take_interrupts(ShellState& shell) {
    if (!shell.interrupts) return;
    platform::InterruptCounts came = shell.interrupts->take();
    if (!came.any()) return;
    shell.interrupted = true;
    // At a terminal Ctrl-C stops the command and the prompt comes back; anywhere else, and for
    // SIGTERM everywhere, the run ends once the connection is closed.
    if (came.terminations > 0)
        shell.stop_signal = SIGTERM;
    else if (!shell.interactive && shell.stop_signal == 0)
        shell.stop_signal = SIGINT;
    if (!shell.session || !session_busy(*shell.session)) return;
    int asks = came.interrupts + came.terminations;
    for (int i = 0; i < asks && shell.session->cancel.load() < kMostCancels; ++i)
        request_cancel(*shell.session);
}

int shell_wait(ShellState& shell, int patience_ms) {
    using Clock = std::chrono::steady_clock;
    const auto patience = std::chrono::milliseconds(patience_ms);
    Clock::time_point give_up = Clock::now() + patience;
    platform::PollSet set;
    for (;;) {
        set.clear();
        set.add(shell.engine_wake.descriptor(), platform::kPollReadable);
        set.add(shell.spare.descriptor(), platform::kPollReadable);
        set.add(shell.request_done.descriptor(), platform::kPollReadable);
        int watch = shell.interrupts ? shell.interrupts->descriptor() : -1;
        if (watch >= 0) set.add(watch, platform::kPollReadable);
        int wait_ms = progress_drawing(shell) ? kProgressRedrawMs : -1;
        if (patience_ms > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now()).count();
            if (left <= 0) {
                // The first stop leaves a connection in step where it can, the second closes it.
                if (shell.session->cancel.load() < kMostCancels) request_cancel(*shell.session);
                give_up += patience;
                left = patience_ms;
            }
            wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min(wait_ms, static_cast<int>(left));
        }
        set.wait(wait_ms);
        if (watch >= 0 && (set.ready(3) & platform::kPollReadable)) shell_take_interrupts(shell);
        if (shell.engine_wake.is_set()) {
            shell.engine_wake.reset();
            pump_session_completions(shell.engines.transfer);
        }
        if (shell.spare.is_set()) shell.spare.reset();
        if (shell.request_done.is_set()) break;
        if (progress_drawing(shell))
            progress_tick(shell.progress, shell.session->progress_bytes.load(),
                          shell.session->progress_total.load());
    }
    shell.request_done.reset();
    return shell.last_result;
}

int shell_finish_transfer(ShellState& shell, int started, const std::string& name, uint64_t known_total) {
    if (started != 0) return shell_finish(shell, started);
    if (known_total > 0) shell.session->progress_total.store(known_total);
    progress_begin(shell.progress, name);
    int r = shell_finish(shell, started);
    progress_end(shell.progress, shell.session->progress_bytes.load(), r == 0);
    shell.progress.name.clear();
    return r;
}

LocalBefore shell_local_before(const std::string& path) {
    LocalBefore b;
    b.existed = platform::path_exists(path);
    if (b.existed) {
        b.size = platform::path_size(path);
        b.time = platform::path_last_write_time(path);
    }
    return b;
}

void shell_report_stopped_download(ShellState& shell, const std::string& path, const LocalBefore& before,
                                   const std::string& remote) {
    if (!shell.interrupted || !platform::path_exists(path)) return;
    int64_t size = platform::path_size(path);
    bool touched =
        !before.existed || size != before.size || platform::path_last_write_time(path) != before.time;
    if (!touched) return;
    // A text-mode download cannot be continued (its line ends changed on the way), and an empty
    // one has nothing to continue: neither is left to pass for the file.
    if (shell.session->transfer_type == kTransferAscii || size <= 0) {
        platform::path_remove(path);
        outputf(kLevelWarning, "Interrupted: the partial %s was removed", escape_controls(path).c_str());
        return;
    }
    outputf(kLevelWarning, "Interrupted: %s is partial (%lld bytes); \"reget %s\" continues it",
            escape_controls(path).c_str(), static_cast<long long>(size), escape_controls(remote).c_str());
}

}  // namespace orvane
