// One table of server misbehaviours against the requests they hit, over loopback with data
// connections: the request's result and its failure's kind, one error line at most, the local file
// left as it was (content and time), and a run that always ends (the session timeout is 1 second;
// the harness gives up only after 20).
#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "platform/file.h"
#include "tests/client/transfer/ftp/ftp_session_harness.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::ScriptedFtpServer;

constexpr int kTimeout = 1;
constexpr const char* kTimeoutError = "ERROR: The server did not answer within 1 seconds";
constexpr int64_t kOldTime = 1000000000;     // the existing local file's time
constexpr int64_t kServerTime = 1577934245;  // 20200102030405, what MDTM reports

const std::string kLogin =
    "> 220 scripted\n< USER u\n> 331 need password\n< PASS p\n> 230 in\n< PWD\n> 257 \"/\" is current\n";
const std::string kToRetr =
    "< TYPE I\n> 200 binary\n< MDTM f.bin\n> 213 20200102030405\n"
    "< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n< RETR f.bin\n";
const std::string kToList = "< TYPE A\n> 200 ascii\n< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n";

enum class Request { kConnect, kDownload, kDownloadListed, kDownloadActive, kList, kNames };

struct Case {
    const char* behaviour;
    std::string script;  // after the login, unless the request is the connect itself
    Request request;
    int result;
    FailureKind kind;
    std::string error;     // the error line, checked once per message ("" checks none)
    bool local_untouched;  // the existing local file keeps its content and its time
};

const Case kCases[] = {
    {"no greeting", "hold\n", Request::kConnect, 1, FailureKind::kTimeout, kTimeoutError, true},
    // A peer that keeps the connection busy with a byte now and then is as stuck as a silent one.
    {"a greeting that trickles in",
     "trickle 200 220-Welcome\\r\\n220-to\\r\\n220-the\\r\\n220 server\\r\\n\n", Request::kConnect, 1,
     FailureKind::kTimeout, kTimeoutError, true},
    {"a PWD reply that trickles in",
     "> 220 scripted\n< USER u\n> 331 need password\n< PASS p\n> 230 in\n< PWD\ntrickle 200 257 "
     "\"/a/long/folder/name\" is current\\r\\n\n",
     Request::kConnect, 1, FailureKind::kTimeout, kTimeoutError, true},
    {"a listing that trickles in",
     kToList + "< LIST\n> 150 here\ndata-trickle 200 -rw-r--r-- 1 u g 5 Jan 1 2020 a.txt\\r\\n\n> 226 done\n",
     Request::kList, 1, FailureKind::kTimeout, "", true},
    {"no reply to RETR", kToRetr + "hold\n", Request::kDownload, 1, FailureKind::kTimeout, "", true},
    {"550 for RETR", kToRetr + "> 550 No such file\n", Request::kDownload, 1, FailureKind::kRemote, "", true},
    {"425 for RETR", kToRetr + "> 425 Can't open data connection\n", Request::kDownload, 1,
     FailureKind::kRemote, "", true},
    {"426 after the data",
     kToRetr + "> 150 Opening\ndata-send 01234\n> 426 Connection closed; transfer aborted.\n",
     Request::kDownload, 1, FailureKind::kRemote,
     "ERROR: The server reported a failed transfer: 426 Connection closed; transfer aborted.", false},
    {"fewer bytes than the listing gave, no size announced",
     kToRetr + "> 150 Opening\ndata-send 01234\n> 226 done\n", Request::kDownloadListed, 1,
     FailureKind::kRemote, "ERROR: The download ended early: 5 of 1234 bytes", false},
    {"451 after the data", kToRetr + "> 150 Opening\ndata-send 01234\n> 451 Local error in processing\n",
     Request::kDownload, 1, FailureKind::kRemote, "", false},
    {"an active-mode server that never connects",
     "< TYPE I\n> 200 binary\n< MDTM f.bin\n> 213 20200102030405\n"
     "< PORT *\n> 200 PORT ok\n< RETR f.bin\n> 150 Opening\nhold\n",
     Request::kDownloadActive, 1, FailureKind::kTimeout, "", true},
    {"no final reply after the data", kToRetr + "> 150 Opening\ndata-send 01234\nhold\n", Request::kDownload,
     1, FailureKind::kTimeout, "", false},
    {"the data and its close before the 150 reply",
     kToRetr + "data-send 01234\npause 300\n> 150 Opening\n> 226 done\n", Request::kDownload, 0,
     FailureKind::kNone, "", false},
    {"a data connection that stalls", kToRetr + "> 150 Opening\ndata-hold 01\nhold\n", Request::kDownload, 1,
     FailureKind::kTimeout, "", false},
    {"a listing line over 390 characters",
     kToList +
         "< LIST\n> 150 here\ndata-send -rw-r--r-- 1 u g 5 Jan 1 2020 a.txt\\r\\n-rw-r--r-- 1 u g 5 Jan 1 "
         "2020 " +
         std::string(400, 'n') + "\\r\\n-rw-r--r-- 1 u g 5 Jan 1 2020 b.txt\\r\\n\n> 226 done\n",
     Request::kList, 0, FailureKind::kNone, "", true},
    {"a listing of more than 1,000,000 entries",
     kToList + "< NLST\n> 150 here\ndata-repeat 1000001 ab\\r\\n\n> 226 done\n", Request::kNames, 1,
     FailureKind::kLocal, "ERROR: The listing holds more than 1000000 entries", true},
    {"a listing of more than 64 MB",
     kToList + "< NLST\n> 150 here\ndata-repeat 200000 " + std::string(380, 'n') + "\\r\\n\n> 226 done\n",
     Request::kNames, 1, FailureKind::kLocal, "ERROR: The listing holds more than 64 MB of entries", true},
};

class MisbehavingServer : public ::testing::TestWithParam<Case> {};

TEST_P(MisbehavingServer, FailsCleanlyAndLeavesTheLocalFileAlone) {
    const Case& c = GetParam();
    ScriptedFtpServer server;
    ASSERT_EQ(server.start(c.request == Request::kConnect ? c.script : kLogin + c.script), 0);
    test::TempDir dir;
    std::string local = dir.file("f.bin");
    test::write_all(local, "the old local content");
    {
        platform::FileHandle h = platform::file_open(local, platform::kOpenAppend);
        platform::file_set_last_write_time(h, platform::filetime_from_unix(kOldTime));
        platform::file_close(h);
    }
    test::FtpSessionHarness h(kProtocolFtp, kTimeout);
    ASSERT_TRUE(h.ok());
    int connected = h.connect(server.port(), "u", "p");
    int result = connected;
    if (c.request != Request::kConnect) {
        ASSERT_EQ(connected, 0) << h.dump();
        h.s().passive = c.request == Request::kDownloadActive ? 0 : 1;
        h.s().listing_kind = c.request == Request::kNames ? 1 : 0;
        h.s().download_rules =
            DuplicateRules{kCompareBySize, kDuplicateOverwrite, kDuplicateOverwrite, kDuplicateOverwrite};
        bool listing = c.request == Request::kList || c.request == Request::kNames;
        std::string listed = c.request == Request::kDownloadListed ? "1234" : "";
        result = listing ? h.listing() : h.download("f.bin", local, listed);
    }
    EXPECT_EQ(result, c.result) << h.dump();
    EXPECT_EQ(h.s().failure.kind, c.kind) << h.dump();
    EXPECT_LE(h.lines(kLevelError).size(), 1u) << "one message for one failure" << h.dump();
    if (!c.error.empty()) {
        EXPECT_TRUE(h.logged(kLevelError, c.error)) << h.dump();
    }
    int64_t time = platform::unix_from_filetime(platform::path_last_write_time(local));
    if (c.local_untouched) {
        EXPECT_EQ(test::read_all(local), "the old local content");
        EXPECT_EQ(time, kOldTime);
    }
    if (c.result != 0) {
        EXPECT_NE(time, kServerTime) << "a failed download never takes the server's time";
    } else if (c.request == Request::kDownload) {
        EXPECT_EQ(test::read_all(local), "01234");
    }
    if (c.request == Request::kList && c.result == 0) {
        ASSERT_EQ(h.s().listing.size(), 2u) << h.dump();
        EXPECT_EQ(h.s().listing[1].name, "b.txt");
        EXPECT_EQ(h.count(kLevelWarning, "Skipped 1 listing line(s) longer than 390 characters"), 1u)
            << h.dump();
    }
    if (c.request == Request::kNames) {
        EXPECT_TRUE(h.s().listing.empty());
    }
    // The caller can go on: the next request ends too, whatever the connection's state.
    EXPECT_NE(h.listing(), -2);
}

INSTANTIATE_TEST_SUITE_P(Behaviours, MisbehavingServer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* p = info.param.behaviour; *p; ++p)
                                 if (isalnum(static_cast<unsigned char>(*p))) name += *p;
                             return name;
                         });

// Host names are looked up away from the event thread; the connect goes on from the lookup's end.
TEST(HostLookup, ANameConnectsAndAnUnknownOneFailsWithItsMessage) {
    ScriptedFtpServer server;
    ASSERT_EQ(server.start(kLogin), 0);
    test::FtpSessionHarness h(kProtocolFtp, kTimeout);
    auto connect = [&](const std::string& host) {
        return h.run([&](DoneCallback done, int code, void* object) {
            return request_connect(h.s(), host, "p", "u", static_cast<uint32_t>(server.port()), ReplyHook{},
                                   done, code, object);
        });
    };
    EXPECT_EQ(connect("localhost"), 0) << h.dump();
    EXPECT_EQ(connect("no-such-host.invalid"), 1);
    EXPECT_TRUE(h.logged(kLevelError, "ERROR: Could not resolve host no-such-host.invalid")) << h.dump();
    EXPECT_EQ(h.s().failure.kind, FailureKind::kLocal);
}

}  // namespace
}  // namespace orvane
