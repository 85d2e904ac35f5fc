// ftpcompress and ftpuncompress through the program: traces, messages, ftpresult and exit codes.
#include <gtest/gtest.h>

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

test::ProcessResult run_script(const TempDir& dir, const std::string& script) {
    return test::run_script_in(dir.path(), script);
}

TEST(ArchiveScript, PackUnpackAndResults) {
    TempDir dir;
    fs::create_directories(dir.file("work/reports/sub"));
    write_all(dir.file("work/reports/a.txt"), "alpha");
    write_all(dir.file("work/reports/sub/b.txt"), "beta");
    auto r = run_script(dir,
                        "ftpcompress \"work\\\\reports\" ~zip;\n"
                        "print \"made \" ~zip;\n"
                        "ftpuncompress \"work/nothing.rar\";\n"
                        "if ftpresult eq success begin\n"
                        "  print \"wrong\";\n"
                        "end\n"
                        "ftpcompress \"work/reports.zip\";\n");
    EXPECT_NE(
        r.output.find("Script Engine: Line 1: Executing ftpcompress. Parameter(s):  \"work\\reports\"  ~zip\n"
                      "Compressing work\\reports ...\n"
                      "made reports.zip\n"),
        std::string::npos)
        << r.output;
    EXPECT_NE(
        r.output.find("Uncompressing work/nothing.rar ...\n"
                      "ERROR: Could not uncompress work/nothing.rar: the type of nothing.rar is not zip, gz, "
                      "tar or tgz\n"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("wrong"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("reports.zip is already a zip archive"), std::string::npos) << r.output;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(fs::exists(dir.file("work/reports.zip")));

    fs::remove_all(dir.file("work/reports"));
    r = run_script(dir,
                   "ftpuncompress \"work/reports.zip\";\n"
                   "if ftpresult eq success begin\n"
                   "  print \"unpacked\";\n"
                   "end\n");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("unpacked\nScript Engine: Script execution complete\n"), std::string::npos)
        << r.output;
    EXPECT_EQ(read_all(dir.file("work/reports/sub/b.txt")), "beta");
}

}  // namespace
}  // namespace orvane
