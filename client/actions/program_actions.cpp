// ftprunprogram and rungpg over the program adapter.
#include "client/actions/program_actions.h"

#include <cstring>

#include "client/actions/local_paths.h"
#include "client/actions/programs.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/folder_ops.h"
#include "platform/system.h"

namespace orvane {

void OutputLines::emit() {
    output(escape_controls(line_), kLevelInfo);
    line_.clear();
}

void OutputLines::add(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (c == '\n' && after_cr_) {  // the second half of CR LF
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            emit();
            continue;
        }
        line_ += c;
        if (line_.size() == kLineCapacity) emit();
    }
}

void OutputLines::finish() {
    if (!line_.empty()) emit();
    after_cr_ = false;
}

int run_program_action(const std::string& folder, std::string_view program, std::string_view parameters) {
    // "./tool" names the tool in the script's folder; lexical normalisation alone would turn it
    // into a bare name and run whatever PATH holds under that name.
    std::string name = normalize_path_text(program);
    if (program.find_first_of("/\\") != std::string_view::npos) name = resolve_local_path(folder, program);
    std::vector<std::string> argv;
    argv.push_back(name);
    for (std::string& a : split_program_arguments(parameters)) argv.push_back(std::move(a));
    std::string cause;
    int result;
    if (!platform::find_executable(name).empty()) {
        result = start_program_detached(argv, &cause);
    } else if (!name.empty() && platform::path_exists(name)) {
        // A document: opened by the desktop's choice of program.
        result = platform::find_executable("xdg-open").empty()
                     ? 1
                     : start_program_detached({"xdg-open", name}, &cause);
        if (cause.empty() && result != 0) cause = "not a program, and xdg-open is not installed to open it";
    } else {
        result = 1;
        cause = name.empty() ? "no program named" : "No such program";
    }
    std::string p(program), a(parameters);
    if (result != 0) {
        output(
            escape_controls(format("ERROR: Could not run program %s with params %s", p.c_str(), a.c_str()) +
                            " (" + cause + ")"),
            kLevelError);
        return 1;
    }
    output(escape_controls(format("Successfully started program %s with params %s", p.c_str(), a.c_str())),
           kLevelInfo);
    return 0;
}

std::string gpg_program() {
    std::string beside = platform::program_folder() + "GnuPG/gpg";
    return platform::find_executable(beside).empty() ? std::string("gpg") : beside;
}

namespace {

void take_output(void* context, const char* data, size_t n) {
    static_cast<OutputLines*>(context)->add(data, n);
}

}  // namespace

int run_gpg_action(std::string_view arguments, std::string_view input) {
    std::string gpg = gpg_program();
    std::vector<std::string> argv{gpg};
    for (std::string& a : split_program_arguments(arguments)) argv.push_back(std::move(a));
    std::string fed;
    if (!input.empty()) {
        fed = input;
        fed += '\n';
    }
    OutputLines lines;
    ProgramRun run;
    int started = run_program_with_input(argv, fed, take_output, &lines, run);
    lines.finish();
    std::string command = gpg + " " + std::string(arguments);
    if (started != 0) {
        output(escape_controls(format("Unable to start %s", command.c_str()) + " (" + run.error + ")"),
               kLevelError);
        return 1;
    }
    if (run.end == ProgramEnd::kSignalled) {
        outputf(kLevelError, "ERROR: GnuPG was ended by signal %d (%s)", run.signal, strsignal(run.signal));
        return 1;
    }
    if (run.exit_code != 0) {
        outputf(kLevelError, "ERROR: GnuPG ended with exit code %d", run.exit_code);
        return 1;
    }
    return 0;
}

}  // namespace orvane
