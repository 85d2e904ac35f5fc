// The known-certificates file: lookups by host and port, records that never lose a line, links
// kept, and files that cannot be trusted refused.
#include "client/transfer/tls/known_certs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

const std::string kKeyA = "sha256/HbXUGLvM5SkgwTAVRmyq38t8p1TniVmN8NbkaC8xaGY=";
const std::string kKeyB = "sha256/ljaN8VrHRwG5Jve9IPhXX8STFED/m25cvSI8YR+zYVg=";

TEST(KnownCerts, LookupByNameAndPortWithLineNumbers) {
    const std::string text = "# servers\r\nftp.example.org:21 " + kKeyA + " 2026-01-02\r\n\r\n" +
                             "FTP.Example.org:990 " + kKeyB + " 2026-01-03\nbroken-line\n";
    KnownCert found;
    ASSERT_TRUE(find_known_cert(text, known_certs_name("ftp.example.org", 21), found));
    EXPECT_EQ(found.key, kKeyA);
    EXPECT_EQ(found.line, 2u);
    ASSERT_TRUE(find_known_cert(text, known_certs_name("FTP.EXAMPLE.ORG", 990), found));
    EXPECT_EQ(found.key, kKeyB);
    EXPECT_EQ(found.line, 4u);
    EXPECT_FALSE(find_known_cert(text, known_certs_name("ftp.example.org", 2121), found));
    EXPECT_FALSE(find_known_cert(text, "broken-line", found)) << "a name without a key is no entry";
}

TEST(KnownCerts, RecordsIntoNewFoldersAndNeverOverAnotherRecord) {
    TempDir dir;
    const std::string path = dir.file("config/orvane/known_certs");
    KnownCert existing;
    std::string text, error;
    ASSERT_EQ(record_known_cert(path, "a:21", kKeyA, existing, text, error), RecordOutcome::kRecorded)
        << error;
    // Another process recorded the name first: its entry wins and nothing is added.
    EXPECT_EQ(record_known_cert(path, "a:21", kKeyB, existing, text, error), RecordOutcome::kAlreadyKnown);
    EXPECT_EQ(existing.key, kKeyA);
    // A file without a final line end keeps its last line whole.
    write_all(path, read_all(path) + "b:21 " + kKeyB + " 2026-01-01");
    ASSERT_EQ(record_known_cert(path, "c:21", kKeyB, existing, text, error), RecordOutcome::kRecorded)
        << error;
    std::string content = read_all(path);
    EXPECT_EQ(text, content);
    ASSERT_TRUE(find_known_cert(content, "b:21", existing));
    EXPECT_EQ(existing.key, kKeyB);
    ASSERT_TRUE(find_known_cert(content, "c:21", existing));
    EXPECT_EQ(existing.line, 3u);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST(KnownCerts, ALinkStaysALinkAndItsTargetGrows) {
    TempDir dir;
    write_all(dir.file("shared"), "a:21 " + kKeyA + " 2026-01-01\n");
    ASSERT_EQ(symlink(dir.file("shared").c_str(), dir.file("known_certs").c_str()), 0);
    KnownCert existing;
    std::string text, error;
    ASSERT_EQ(record_known_cert(dir.file("known_certs"), "b:21", kKeyB, existing, text, error),
              RecordOutcome::kRecorded)
        << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("known_certs")));
    EXPECT_TRUE(find_known_cert(read_all(dir.file("shared")), "b:21", existing));
}

TEST(KnownCerts, FilesThatCannotBeUsedAreRefused) {
    TempDir dir;
    std::string text, error;
    EXPECT_EQ(read_known_certs(dir.file("missing"), text, error), 0) << "not yet made: empty";
    {
        std::FILE* f = std::fopen(dir.file("huge").c_str(), "w");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), kKnownCertsFileLimit + 1), 0);
        std::fclose(f);
    }
    EXPECT_EQ(read_known_certs(dir.file("huge"), text, error), 1);
    EXPECT_NE(error.find("larger than 16 MB"), std::string::npos) << error;
    // A folder where the file should be cannot be read as one, nor replaced.
    std::filesystem::create_directories(dir.file("folder"));
    EXPECT_EQ(read_known_certs(dir.file("folder"), text, error), 1);
    KnownCert existing;
    EXPECT_EQ(record_known_cert(dir.file("folder"), "a:21", kKeyA, existing, text, error),
              RecordOutcome::kFailed);
}

}  // namespace
}  // namespace orvane
