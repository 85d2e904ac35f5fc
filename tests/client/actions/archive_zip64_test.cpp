// Zip64 at full size: a member over 4 GiB from a sparse file, written and read back; a member
// stored past the 4 GiB mark by Python; 70,000 members. Their own test, as they take minutes on a
// busy machine.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/actions/archive_actions.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

test::ProcessResult sh(const std::string& command, const std::string& cwd) {
    return test::run_process("/bin/sh", {"-c", command}, {}, false, std::chrono::minutes(20), {}, cwd);
}

TEST(Zip64, MembersOver4GiB) {
    test::TempDir dir;
    ASSERT_EQ(sh("mkdir t && truncate -s 5G t/big.dat && printf end >> t/big.dat", dir.path()).exit_code, 0);
    ASSERT_EQ(compress_action(dir.path(), "t/big.dat", nullptr), 0);
    auto t = sh("unzip -t t/big.zip", dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
    auto info = sh("zipinfo t/big.zip", dir.path());
    EXPECT_NE(info.output.find("5368709123"), std::string::npos) << info.output;
    // Read back whole: every byte up to the last three.
    fs::rename(dir.file("t/big.dat"), dir.file("orig.dat"));
    ASSERT_EQ(uncompress_action(dir.path(), "t/big.zip"), 0);
    EXPECT_EQ(sh("cmp t/big.dat orig.dat", dir.path()).exit_code, 0);
}

TEST(Zip64, MembersPastThe4GiBMark) {
    test::TempDir dir;
    // Stored, so the second member's header lies past 4 GiB in the archive.
    auto made =
        sh("mkdir x && truncate -s 4200M first.dat && printf tail >> first.dat && python3 -c \""
           "import zipfile\n"
           "with zipfile.ZipFile('x/p.zip','w',zipfile.ZIP_STORED,allowZip64=True) as z:\n"
           "  z.write('first.dat')\n"
           "  z.writestr('after.txt','after the mark')\"",
           dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.output;
    ASSERT_EQ(uncompress_action(dir.path(), "x/p.zip"), 0);
    EXPECT_EQ(sh("cmp x/first.dat first.dat", dir.path()).exit_code, 0);
    EXPECT_EQ(test::read_all(dir.file("x/after.txt")), "after the mark");
}

TEST(Zip64, SeventyThousandMembers) {
    test::TempDir dir;
    ASSERT_EQ(sh("python3 -c \"import os\n"
                 "os.makedirs('many/d')\n"
                 "for i in range(70000): open('many/d/f%05d' % i, 'w').write(str(i))\"",
                 dir.path())
                  .exit_code,
              0);
    ASSERT_EQ(compress_action(dir.path(), "many", nullptr), 0);
    auto t = sh("unzip -tq many.zip", dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
    EXPECT_EQ(sh("zipinfo -1 many.zip | wc -l", dir.path()).output, "70000\n");
    fs::rename(dir.file("many"), dir.file("orig"));
    ASSERT_EQ(uncompress_action(dir.path(), "many.zip"), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("many/d")), fs::directory_iterator()), 70000);
    EXPECT_EQ(test::read_all(dir.file("many/d/f69999")), "69999");
}

}  // namespace
}  // namespace orvane
