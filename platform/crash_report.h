// The crash report: when the program dies of a fault, a plain-text report is appended to
// "errorlog.txt" and the program then ends by the same signal it would have ended by anyway.
#pragma once

namespace orvane::platform {

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (on an alternate stack
// for the calling thread) and notes what the report needs that cannot be learnt safely later.
// The report goes to the folder named by ERRORLOG_DIR when it is set, else to the program's
// folder, else to the current folder. Call it first thing in main; calling it again does nothing.
void install_crash_report();

}  // namespace orvane::platform
