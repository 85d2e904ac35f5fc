// Local-action macros run through the program: messages, result registers, exit codes, and bad
// input that fails its statement while the script goes on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::client_binary;
using test::read_all;
using test::run_process;
using test::TempDir;
using test::write_all;

// The lines of the output that are no trace line, in order.
std::vector<std::string> messages(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end - start);
        if (line.rfind("Script Engine: Line ", 0) != 0) lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

test::ProcessResult run_script(const TempDir& dir, const std::string& script,
                               const std::vector<std::string>& env = {}) {
    return test::run_script_in(dir.path(), script, {}, env);
}

TEST(LocalMacrosRun, GoodRuns) {
    struct Case {
        const char* name;
        const char* script;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"folders",
         "ftpmakefolder local \"in\\\\sub\";\n"
         "fileopen write \"in/sub/a.txt\";\n"
         "filewriteline \"12345\";\n"
         "fileclose;\n"
         "ftpsetpath local \"in/./sub/../sub\";\n"
         "ftpgetlist local @l;\n"
         "foreach $i in @l begin\n"
         "  print $i.name \" \" $i.size;\n"
         "end\n"
         "ftpsetpath local \"..\";\n"
         "ftpcopylocal \"sub/*.txt\" \"sub\";\n"
         "ftpcopylocal \"sub/*.txt\" \"copies\";\n"
         "ftpmovelocal \"copies/a.txt\" \"b.txt\";\n"
         "ftprename local \"b.txt\" \"c.txt\";\n"
         "ftpdelete local folder \"copies\";\n"
         "ftpdelete local file \"c.txt\";\n",
         {"Created local folder %D/in/sub", "Local  path: %D/in/sub",
          "Successfully obtained local folder listing", "a.txt 7", "Local  path: %D/in",
          "ERROR: Could not copy local item %D/in/sub/*.txt to %D/in/sub (the source and the destination are "
          "the "
          "same item)",
          "Successfully copied local item %D/in/sub/*.txt to %D/in/copies",
          "Successfully moved local item %D/in/copies/a.txt to %D/in/b.txt",
          "Successfully renamed local item %D/in/b.txt to %D/in/c.txt", "Deleted %D/in/copies",
          "Deleted %D/in/c.txt", "Script Engine: Script did not complete correctly."}},
        {"file slot",
         "fileopen file \"f.txt\";\n"  // any keyword but read and append writes
         "filewriteline \"one\";\n"
         "filewriteline \"two\";\n"
         "fileopen append \"f.txt\";\n"
         "filewriteline \"three\";\n"
         "fileopen read \"f.txt\";\n"
         "loop 4 begin\n"
         "  filereadline ~l;\n"
         "  if fileresult eq success begin print \"read \" ~l; end else begin print \"end\"; end\n"
         "end\n"
         "fileclose;\n"
         "if fileresult eq success begin print \"closed\"; end\n"
         "setexitcode 0;\n",
         {"read one", "read two", "read three", "end", "closed",
          "Script Engine: Script did not complete correctly."}},
        {"values",
         "gettimestamp ~t decr day 1;\n"
         "ftpregexmatch ~t \"^2[0-9]{13}$\" \"\";\n"
         "if ftpresult eq success begin print \"stamp\"; end\n"
         "getenvvar ~e \"ORVANE_TEST_VALUE\";\n"
         "print \"env=\" ~e;\n"
         "getenvvar ~e \"ORVANE_TEST_MISSING\";\n"
         "print \"missing=\" ~e;\n"
         "getcompname ~c;\n"
         "ftpregexmatch ~c \".\" \"\";\n"
         "if ftpresult eq success begin print \"named\"; end\n"
         "ftpglobmatch \"README.TXT\" \"*.txt\" \"i\";\n"
         "if ftpresult eq success begin print \"glob\"; end\n"
         "ftpwildcardmatch \"README.TXT\" \"*.txt\" \"i\";\n"
         "if ftpresult eq success begin print \"wildcard\"; end\n"
         "setvar ~s \"baac\";\n"
         "regexreplace ~s \"a*\" \"-\" \"g\";\n"
         "print ~s;\n"
         "readwinregistry \"hkey_current_user\" \"Software\\\\Orvane\" \"Server\" ~r;\n"
         "print ~r;\n"
         "readwinregistry \"HKCU\" \"Software\\\\Orvane\" \"Server\" ~r;\n"
         "print ~r;\n"
         "messagebox \"done\";\n"
         "messageboxwarn \"careful\";\n"
         "waitsecs 0;\n",
         {"stamp", "env=a b", "missing=", "named", "glob", "wildcard", "-b--c-", "ftp.example.org",
          "_NULL_KEY_", "Script Message: done", "Script warning message: careful",
          "Script Engine: Script execution complete"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_all(dir.file("good.reg"),
                  "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\Orvane]\r\n"
                  "\"Server\"=\"ftp.example.org\"\r\n");
        auto r =
            run_script(dir, c.script, {"ORVANE_TEST_VALUE=a b", "ORVANE_REGISTRY=" + dir.file("good.reg")});
        std::vector<std::string> expected;
        for (std::string m : c.messages) {
            for (size_t at; (at = m.find("%D")) != std::string::npos;) m.replace(at, 2, dir.path());
            expected.push_back(m);
        }
        EXPECT_EQ(messages(r.output), expected) << c.name << "\n" << r.output;
    }
}

TEST(LocalMacrosRun, BadInputFailsTheStatementAndTheScriptGoesOn) {
    TempDir dir;
    write_all(dir.file("bad.reg"), "REGEDIT4\n[HKEY_USERS\\K]\n\"a\"=dword:nothex\n\"n\"=\"v\"\n");
    fs::create_directory(dir.file("sub"));
    const std::string script =
        "ftpsetpath local \"sub/../nothere\";\n"
        "print \"went on 1\";\n"
        "ftpdelete local folder \"../../../../../../../../..\";\n"
        "ftpmakefolder local \"job.fscr/x\";\n"
        "ftpcopylocal \"missing.txt\" \"sub\";\n"
        "fileopen read \"missing.txt\";\n"
        "filereadline ~l;\n"
        "ftprunprogram \"orvane-no-such-program\" \"x; rm -rf ~\";\n"
        "readwinregistry \"HKEY_USERS\" \"K\" \"n\" ~r;\n"
        "print \"registry \" ~r;\n"
        "rungpg \"--no-such-option-at-all\" \"\";\n"
        "print \"went on 2\";\n";
    auto r = run_script(dir, script, {"ORVANE_REGISTRY=" + dir.file("bad.reg")});
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> m = messages(r.output);
    const std::string d = dir.path();
    const std::vector<std::string> expected_start = {
        "ERROR: Could not set local path to " + d + "/nothere (No such file or directory)",
        "went on 1",
        "Specified local path is invalid",
        "ERROR: Could not create local folder " + d + "/job.fscr/x (Not a directory: " + d + "/job.fscr)",
        "ERROR: Could not copy local item " + d + "/missing.txt to " + d + "/sub (No such file or directory)",
        "ERROR: Could not open file missing.txt (No such file or directory)",
        "ERROR: No file is open for reading",
        "ERROR: Could not run program orvane-no-such-program with params x; rm -rf ~ (No such program)",
        "ERROR: Registry file " + dir.file("bad.reg") + ", line 3: a dword needs 1 to 8 hex digits",
        "registry v",
    };
    ASSERT_GE(m.size(), expected_start.size() + 3) << r.output;
    EXPECT_EQ(std::vector<std::string>(m.begin(), m.begin() + expected_start.size()), expected_start)
        << r.output;
    // GnuPG's own complaint, then ours, then the script goes on to its end.
    EXPECT_EQ(m[m.size() - 3], "ERROR: GnuPG ended with exit code 2") << r.output;
    EXPECT_EQ(m[m.size() - 2], "went on 2");
    EXPECT_EQ(m.back(), "Script Engine: Script did not complete correctly.");
}

TEST(LocalMacrosRun, ProgramsGetTheirArgumentsWithoutAShell) {
    TempDir dir;
    auto r = run_script(dir, "ftprunprogram \"touch\" \"a;touch b $(touch c) `touch d`\";\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    // The program is not waited for: look until its files are there.
    const std::vector<std::string> made = {"a;touch", "b", "$(touch", "c)", "`touch", "d`"};
    for (int i = 0; i < 200 && !fs::exists(dir.file("d`")); ++i) usleep(50 * 1000);
    for (const std::string& name : made) EXPECT_TRUE(fs::exists(dir.file(name))) << name;
    EXPECT_FALSE(fs::exists(dir.file("a")));
    EXPECT_FALSE(fs::exists(dir.file("c")));
    EXPECT_FALSE(fs::exists(dir.file("d")));
}

// Permissions bind only a user who is not root: as root the run is made as "nobody".
TEST(LocalMacrosRun, UnreadableAndUndeletableFolders) {
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    fs::create_directories(dir.file("closed"));
    fs::create_directories(dir.file("tree/locked"));
    write_all(dir.file("tree/locked/f"), "f");
    write_all(dir.file("tree/g"), "g");
    chmod(dir.file("tree").c_str(), 0777);
    chmod(dir.file("tree/g").c_str(), 0666);
    chmod(dir.file("closed").c_str(), 0);
    chmod(dir.file("tree/locked").c_str(), 0555);
    const std::string script =
        "ftpsetpath local \"closed\";\n"
        "ftpdelete local folder \"tree\";\n"
        "print \"went on\";\n";
    write_all(dir.file("job.fscr"), script);
    chmod(dir.file("job.fscr").c_str(), 0644);
    test::ProcessResult r;
    if (geteuid() == 0) {
        r = run_process("/usr/bin/setpriv",
                        {"--reuid=65534", "--regid=65534", "--clear-groups", client_binary(), "-script",
                         dir.file("job.fscr")},
                        {}, false, std::chrono::seconds(60), {}, dir.path());
    } else {
        r = run_process(client_binary(), {"-script", dir.file("job.fscr")}, {}, false,
                        std::chrono::seconds(60), {}, dir.path());
    }
    const std::string d = dir.path();
    // The walk stops at the first failure: the folder remains, partly emptied.
    const std::vector<std::string> expected = {
        "ERROR: Could not set local path to " + d + "/closed (Permission denied)",
        "ERROR: Could not delete " + d + "/tree (Permission denied: " + d + "/tree/locked/f)",
        "went on",
        "Script Engine: Script did not complete correctly.",
    };
    EXPECT_EQ(messages(r.output), expected) << r.output;
    EXPECT_TRUE(fs::exists(dir.file("tree/locked/f")));
    chmod(dir.file("closed").c_str(), 0755);
    chmod(dir.file("tree/locked").c_str(), 0755);
}

}  // namespace
}  // namespace orvane
