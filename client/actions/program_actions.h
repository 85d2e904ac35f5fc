// The program actions of scripts: start a program (not waited for) and run GnuPG on a text.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// ftprunprogram: starts `program` with the arguments split from `parameters`, not waited for. A
// name holding "/" is run exactly as given ("\" read as "/"), relative to `folder` when it does not
// begin with "/"; only a bare name is looked up on PATH. A name that is no executable program but
// an existing file (a document) is opened with xdg-open. Writes the success or failure message; 0
// when started.
int run_program_action(const std::string& folder, std::string_view program, std::string_view parameters);

// Where GnuPG is taken from: "GnuPG/gpg" in the program's folder when it is executable, else
// "gpg" from PATH.
std::string gpg_program();

// rungpg: runs GnuPG with the arguments split from `arguments`, writes `input` and "\n" to it
// (nothing for an empty input), and writes each line of its output as information (a line ends at
// CR, LF or CR LF; longer than 1023 characters it is split). 0 when GnuPG ran and exited with 0;
// 1 when it could not start ("Unable to start %s"), ended with another code or by a signal.
int run_gpg_action(std::string_view arguments, std::string_view input);

// Splits output into lines as rungpg logs them; bytes may arrive in any pieces.
class OutputLines {
  public:
    static constexpr size_t kLineCapacity = 1023;
    void add(const char* data, size_t n);
    void finish();  // a last line without a line end

  private:
    void emit();
    std::string line_;
    bool after_cr_ = false;
};

}  // namespace orvane
