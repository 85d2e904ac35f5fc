// The crash report: when the program dies of a fault, a plain-text report is appended to
// "errorlog.txt" and the program then ends by the same signal it would have ended by anyway.
#pragma once

namespace orvane::platform {

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (on an alternate stack
// for the calling thread) and notes what the report needs that cannot be learnt safely later.
// The report goes to the folder named by ERRORLOG_DIR when it is set, else to the program's
// folder, else to the current folder. Call it first thing in main; calling it again does nothing.
void install_crash_report();

// An alternate signal stack for the thread that makes it, given up when it goes out of scope: a
// thread that overflows its own stack can still write the report. Make one first thing in every
// thread body. A thread that already has a large enough alternate stack keeps it.
class ThreadSignalStack {
  public:
    ThreadSignalStack();
    ~ThreadSignalStack();
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

  private:
    void* stack_ = nullptr;
};

}  // namespace orvane::platform
