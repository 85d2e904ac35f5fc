// PASV addresses, the PORT argument, MDTM times, PWD quoted paths and reply tokens.
#include "client/transfer/text/ftp_text.h"

#include <gtest/gtest.h>

#include "common/time_text.h"
#include "platform/file.h"

namespace orvane {
namespace {

TEST(FtpText, PasvAddressInEveryShape) {
    struct Case {
        const char* line;
        const char* host;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (192,168,1,2,19,137)", "192.168.1.2", 5001},
        {"227 Entering Passive Mode (192, 168, 1, 2, 19, 137).", "192.168.1.2", 5001},
        {"227 Entering Passive Mode 127,0,0,1,200,10", "127.0.0.1", 51210},
        {"227 =10,0,0,1,0,21", "10.0.0.1", 21},
        {"227 Passive mode 2 ok (127,0,0,1,4,1)", "127.0.0.1", 1025},
        {"227 version 1.2 then 127,0,0,1,4,2", "127.0.0.1", 1026},
    };
    for (const auto& c : cases) {
        PassiveAddress a;
        ASSERT_EQ(parse_pasv_reply(c.line, a), 0) << c.line;
        EXPECT_EQ(a.host, c.host) << c.line;
        EXPECT_EQ(a.port, c.port) << c.line;
    }
}

TEST(FtpText, PasvWithoutAnAddressIsAnError) {
    PassiveAddress a;
    for (const char* line :
         {"227 Entering Passive Mode", "227 Entering Passive Mode (192,168,1,2,19)", "227 (256,1,1,1,1,1)",
          "227 (1,1,1,1,0,0)", "227 (1,1,1,1,1,1000)", "227 ()", "", "227 (1,1,1,1,,1)"})
        EXPECT_EQ(parse_pasv_reply(line, a), 1) << line;
    EXPECT_EQ(a.port, 0);
}

TEST(FtpText, PortCommand) {
    std::string cmd = "unchanged";
    EXPECT_EQ(build_port_command("127.0.0.1", 5001, cmd), 0);
    EXPECT_EQ(cmd, "PORT 127,0,0,1,19,137");
    EXPECT_EQ(build_port_command("10.20.30.40", 65535, cmd), 0);
    EXPECT_EQ(cmd, "PORT 10,20,30,40,255,255");
    cmd = "unchanged";
    for (const char* bad : {"127.0.0", "127.0.0.1.5", "127.0.0.256", "a.b.c.d", "::1", "127.0.0.1 "})
        EXPECT_EQ(build_port_command(bad, 5001, cmd), 1) << bad;
    EXPECT_EQ(build_port_command("127.0.0.1", 0, cmd), 1);
    EXPECT_EQ(build_port_command("127.0.0.1", 65536, cmd), 1);
    EXPECT_EQ(cmd, "unchanged");
}

TEST(FtpText, MdtmTimes) {
    uint64_t t = 0;
    ASSERT_EQ(parse_mdtm_time("213 20240229235958", t), 0);
    CalendarTime c = calendar_from_filetime(t);
    EXPECT_EQ(time_text(c), "20240229235958");
    EXPECT_EQ(platform::unix_from_filetime(t), 1709251198);
    ASSERT_EQ(parse_mdtm_time("20240229235958.123", t), 0);  // fractions are ignored
    EXPECT_EQ(platform::unix_from_filetime(t), 1709251198);
    EXPECT_EQ(mdtm_time_text(t), "20240229235958");
    t = 7;
    for (const char* bad : {"213 2023022912000", "213 20230229120000", "213 20231301000000",
                            "213 2024010124000", "550 No such file", "213 20240101000000x",
                            "213 20240101000000.", "213 ", "", "213 191000101000000"})
        EXPECT_EQ(parse_mdtm_time(bad, t), 1) << bad;
    EXPECT_EQ(t, 7u);
}

TEST(FtpText, QuotedPathAndToken) {
    std::string path;
    EXPECT_EQ(reply_quoted_path("257 \"/home/user\" is the current directory", path), 0);
    EXPECT_EQ(path, "/home/user");
    EXPECT_EQ(reply_quoted_path("257 \"/a \"\"quoted\"\" b\" created", path), 0);
    EXPECT_EQ(path, "/a \"quoted\" b");
    EXPECT_EQ(reply_quoted_path("257 \"\"", path), 0);
    EXPECT_EQ(path, "");
    EXPECT_EQ(reply_quoted_path("257 \"/unclosed", path), 1);
    EXPECT_EQ(reply_quoted_path("257 no quotes", path), 1);

    EXPECT_EQ(reply_token("213 12345"), "12345");
    EXPECT_EQ(reply_token("213 12345 bytes"), "12345");
    EXPECT_EQ(reply_token("213"), "");
}

}  // namespace
}  // namespace orvane
