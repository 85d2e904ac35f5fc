// The SFTP engine against a scripted peer in memory, for what a real server cannot be made to do:
// short reads, replies out of order, hostile replies, a size that the file does not reach, silence.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/ssh/sftp/sftp_client.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "tests/support/temp_dir.h"

namespace orvane::sftp {
namespace {

std::string g_log;
void capture(void*, const char* text, int, int) {
    g_log += std::string(text) + "\n";
}

enum class Mode {
    kNormal,
    kOversize,
    kLongData,
    kStrayId,
    kNameCount,
    kSilent,
    kCloseMidway,
    kFailSecondRead,
    kFailWrite
};

struct Peer {
    std::string file;
    uint64_t announced = 0;  // the size STAT reports
    size_t max_read = 32768;
    uint32_t version = 3;
    bool reverse = false;  // answers each batch of requests last first
    Mode mode = Mode::kNormal;
    std::vector<std::string> names;  // what READDIR lists
    std::vector<std::pair<uint64_t, uint32_t>> reads;
    std::vector<uint8_t> types;
    bool listed = false;
    bool closed = false;
    int batches = 0;            // writes answered: the round trips
    size_t most_in_flight = 0;  // requests in one batch (each batch is answered whole)
    // Several files by path (each handle names its file); `file` stands for every path when empty.
    std::map<std::string, std::string> files;
    std::string refused;  // a path whose OPEN is refused
    std::string held;     // a path whose STAT and OPEN replies come with the next batch
    std::vector<std::string> held_replies;

    const std::string& content(const std::string& path) {
        auto it = files.find(path);
        return it == files.end() ? file : it->second;
    }

    static void reply(std::vector<std::string>& out, const ssh::SshBuffer& b) {
        std::string s;
        put_packet(s, b);
        out.push_back(s);
    }
    static ssh::SshBuffer head(uint8_t type, uint32_t id) {
        ssh::SshBuffer b(kMaxPacket + 64);
        b.put_byte(type);
        b.put_u32(id);
        return b;
    }
    static void status(std::vector<std::string>& out, uint32_t id, uint32_t code) {
        ssh::SshBuffer b = head(kStatus, id);
        b.put_u32(code);
        reply(out, b);
    }

    std::string answer(std::string_view bytes) {
        std::vector<std::string> out, released = std::move(held_replies);
        held_replies.clear();
        if (!bytes.empty()) ++batches;
        size_t pos = 0, in_batch = 0;
        std::string_view body;
        while (take_packet(bytes, pos, body) == Frame::kPacket) {
            most_in_flight = std::max(most_in_flight, ++in_batch);
            ssh::SshBuffer in(body);
            uint8_t type = in.get_byte();
            uint32_t id = in.get_u32();
            types.push_back(type);
            std::string path;
            if (type == kStat || type == kLstat || type == kOpen || type == kRead) path = in.get_string();
            if (type == kRead) path = path.substr(std::min<size_t>(2, path.size()));
            const std::string& data = content(path);
            std::vector<std::string>& to =
                !held.empty() && path == held && type != kRead ? held_replies : out;
            if (type == kOpen && path == refused) {
                status(to, id, 3);
                continue;
            }
            if (mode == Mode::kSilent && type != kInit) continue;
            if (mode == Mode::kOversize && type != kInit) return std::string("\x00\x04\x00\x01\x65", 5);
            if (mode == Mode::kStrayId && type != kInit) id += 1000;
            switch (type) {
                case kInit: {
                    ssh::SshBuffer b = head(kVersion, version);
                    reply(out, b);
                    break;
                }
                case kStat:
                case kLstat: {
                    ssh::SshBuffer b = head(kAttrs, id);
                    b.put_u32(kAttrSize | kAttrPermissions | kAttrTimes);
                    b.put_u64(files.empty() ? announced : data.size());
                    b.put_u32(0100644);
                    b.put_u32(1500000000);
                    b.put_u32(1500000000);
                    reply(to, b);
                    break;
                }
                case kOpen:
                case kOpendir: {
                    ssh::SshBuffer b = head(kHandle, id);
                    b.put_string("h:" + path);
                    reply(to, b);
                    break;
                }
                case kWrite:
                    status(out, id, mode == Mode::kFailWrite ? 4 : kStatusOk);
                    break;
                case kRead: {
                    uint64_t off = in.get_u64();
                    uint32_t len = in.get_u32();
                    reads.emplace_back(off, len);
                    if (mode == Mode::kCloseMidway && reads.size() > 3) {
                        closed = true;
                        break;
                    }
                    if (mode == Mode::kFailSecondRead && off == 32768) {
                        status(out, id, 4);
                        break;
                    }
                    if (off >= data.size()) {
                        status(out, id, kStatusEof);
                        break;
                    }
                    size_t n = std::min<size_t>({len, max_read, data.size() - off});
                    ssh::SshBuffer b = head(kData, id);
                    b.put_string(mode == Mode::kLongData ? std::string(len + 1, 'x') : data.substr(off, n));
                    reply(out, b);
                    break;
                }
                case kReaddir: {
                    if (listed) {
                        status(out, id, kStatusEof);
                        break;
                    }
                    listed = true;
                    ssh::SshBuffer b = head(kName, id);
                    b.put_u32(mode == Mode::kNameCount ? 100000 : static_cast<uint32_t>(names.size()));
                    for (const std::string& n : names) {
                        b.put_string(n);
                        b.put_string("-rw-r--r-- 1 u g 1 Jan 1 2020 " + n);
                        b.put_u32(0);
                    }
                    reply(out, b);
                    break;
                }
                default:
                    status(out, id, kStatusOk);
            }
        }
        if (reverse) std::reverse(out.begin(), out.end());
        // Held replies come before this batch's when reversed, else after them.
        out.insert(reverse ? out.begin() : out.end(), released.begin(), released.end());
        std::string all;
        for (const std::string& s : out) all += s;
        return all;
    }
};

// Carries bytes between the engine and the peer; when neither has anything more to say, the
// carrier's reply timeout has passed.
int run(Client& c, Peer& p, int started = 0) {
    if (started != 0) return 1;
    for (;;) {
        std::string out = c.take_output();
        std::string in = p.answer(out);
        if (p.closed) c.receive_closed();
        if (in.empty() && out.empty() && !p.closed) {
            // Replies that came with the previous operation's last one are worked through first,
            // as a carrier steps the engine when it starts an operation.
            int r = c.step();
            if (r != kPending) return r;
            if (c.has_output()) continue;
            c.fail_no_answer(30);
            return c.step();
        }
        c.receive(in);
        int r = c.step();
        if (r != kPending) return r;
    }
}

class SftpScriptedTest : public ::testing::Test {
  protected:
    void SetUp() override { g_log.clear(); }
    void connect() { ASSERT_EQ(run(client_, peer_, client_.start()), 0); }
    int download() {
        Transfer t;
        t.remote_path = "/f";
        t.local_path = dir_.file("f");
        return run(client_, peer_, client_.download(t));
    }
    void serve(size_t size) {
        peer_.file = test::random_bytes(size, 3);
        peer_.announced = size;
    }

    test::TempDir dir_;
    Peer peer_;
    Client client_{capture, nullptr};
};

TEST_F(SftpScriptedTest, ExactMultipleOfTheBlockEndsWithTheReadAtItsSize) {
    serve(65536);
    connect();
    ASSERT_EQ(download(), 0) << g_log;
    EXPECT_EQ(test::read_all(dir_.file("f")), peer_.file);
    std::vector<std::pair<uint64_t, uint32_t>> want = {{0, 32768}, {32768, 32768}, {65536, 32768}};
    EXPECT_EQ(peer_.reads, want);
}

TEST_F(SftpScriptedTest, ShortReadsAreCompletedAndShrinkTheBlock) {
    serve(3 << 20);
    peer_.max_read = 16384;
    connect();
    ASSERT_EQ(download(), 0) << g_log;
    EXPECT_EQ(test::read_all(dir_.file("f")), peer_.file);
    // The first request is completed by one for its remaining half; later requests ask 16384.
    auto& r = peer_.reads;
    EXPECT_NE(std::find(r.begin(), r.end(), std::make_pair(uint64_t{16384}, uint32_t{16384})), r.end());
    for (const auto& [offset, length] : r) {
        if (offset >= 64 * 32768) {
            EXPECT_EQ(length, 16384u) << offset;
        }
    }
}

TEST_F(SftpScriptedTest, RepliesOutOfOrderAreWrittenInOffsetOrder) {
    serve(32768 * 70 + 5);
    peer_.reverse = true;
    connect();
    ASSERT_EQ(download(), 0) << g_log;
    EXPECT_EQ(test::read_all(dir_.file("f")), peer_.file);
}

// A download's OPEN goes with its STAT and its reads end at the announced size with a request at
// it behind them: a small file takes three round trips, whichever of STAT and OPEN is answered first.
TEST_F(SftpScriptedTest, SmallFilesTakeThreeRoundTrips) {
    connect();
    for (size_t size : {size_t{4096}, size_t{50000}}) {
        for (bool reverse : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (reverse ? " reversed" : ""));
            serve(size);
            peer_.reverse = reverse;
            peer_.reads.clear();
            peer_.types.clear();
            peer_.batches = 0;
            ASSERT_EQ(download(), 0) << g_log;
            EXPECT_EQ(test::read_all(dir_.file("f")), peer_.file);
            EXPECT_EQ(peer_.batches, 3);
            EXPECT_EQ(peer_.types[0], kStat);
            EXPECT_EQ(peer_.types[1], kOpen);
            EXPECT_EQ(peer_.types.back(), kClose);
            std::vector<std::pair<uint64_t, uint32_t>> want = {{0, 4096}, {4096, 32768}};
            if (size == 50000) want = {{0, 32768}, {32768, 50000 - 32768}, {50000, 32768}};
            EXPECT_EQ(peer_.reads, want);
        }
    }
}

// A download the rules skip, or whose local file cannot be made, after its OPEN went out: the handle
// the server gave is closed, and the session's next request is not confused by the late replies.
TEST_F(SftpScriptedTest, DownloadDecidedAgainstClosesTheHandleOpenedWithTheStat) {
    serve(10);
    connect();
    std::filesystem::create_directories(dir_.file("folder"));
    test::write_all(dir_.file("kept"), "local!");
    for (bool skip : {true, false}) {
        for (bool reverse : {false, true}) {
            SCOPED_TRACE(std::string(skip ? "skip" : "no local file") + (reverse ? " reversed" : ""));
            peer_.reverse = reverse;
            peer_.types.clear();
            Transfer t;
            t.remote_path = "/f";
            t.local_path = dir_.file(skip ? "kept" : "folder");
            if (skip) t.rules.smaller = t.rules.equal = t.rules.larger = kDuplicateSkip;
            EXPECT_EQ(run(client_, peer_, client_.download(t)), skip ? 0 : 1) << g_log;
            EXPECT_EQ(client_.failure().kind, skip ? FailureKind::kNone : FailureKind::kLocal);
            EXPECT_EQ(run(client_, peer_, client_.stat("/f")), 0) << g_log;
            EXPECT_FALSE(client_.broken());
            EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kClose), 1);
            EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kRead), 0);
        }
    }
    EXPECT_EQ(test::read_all(dir_.file("kept")), "local!");
}

// Rules that always overwrite need no STAT, and the time goes right behind the CLOSE; a server
// that answers the pair in the other order is followed too.
TEST_F(SftpScriptedTest, OverwritingUploadSkipsTheStatAndSendsTheTimeWithTheClose) {
    connect();
    test::write_all(dir_.file("up"), "payload");
    peer_.reverse = true;
    Transfer t;
    t.remote_path = "/up";
    t.local_path = dir_.file("up");
    ASSERT_EQ(run(client_, peer_, client_.upload(t)), 0) << g_log;
    std::vector<uint8_t> want = {kInit, kOpen, kWrite, kClose, kSetstat};
    EXPECT_EQ(peer_.types, want);
    EXPECT_EQ(g_log.find("Could not update"), std::string::npos) << g_log;
}

// A walk's files on one session: the next file's STAT and OPEN go out while the current one
// streams, so a small file after the first takes two round trips, and the window holds across
// files. Replies of the file sent ahead that come before, between or after the current file's are
// each taken for their own file.
TEST_F(SftpScriptedTest, NextFileIsOpenedWhileTheCurrentOneStreams) {
    connect();
    const std::vector<std::pair<std::string, size_t>> sizes = {
        {"/a", 4096}, {"/b", 70000}, {"/c", 1}, {"/d", 0}, {"/e", 64 * 32768 + 100}, {"/f", 4096}};
    for (const auto& [path, size] : sizes) peer_.files[path] = test::random_bytes(size, size & 0xff);
    for (bool reverse : {false, true}) {
        for (const char* held : {"", "/c", "/f"}) {
            SCOPED_TRACE(std::string(reverse ? "reversed" : "in order") + " held " + held);
            peer_.reverse = reverse;
            peer_.held = held;
            peer_.types.clear();
            int batches = 0;
            for (size_t i = 0; i < sizes.size(); ++i) {
                peer_.batches = 0;
                Transfer t;
                t.remote_path = sizes[i].first;
                t.local_path = dir_.file("got" + sizes[i].first.substr(1));
                const std::string next = i + 1 < sizes.size() ? sizes[i + 1].first : "";
                ASSERT_EQ(run(client_, peer_, client_.download(t, next)), 0) << t.remote_path << g_log;
                EXPECT_TRUE(test::read_all(t.local_path) == peer_.files[t.remote_path]) << t.remote_path;
                if (i == 0 || i == 1) batches += peer_.batches;
            }
            if (*held == '\0') {
                EXPECT_EQ(batches, 3 + 1);
            }
            EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kOpen), 6);
            EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kClose), 6);
            EXPECT_FALSE(client_.broken());
        }
    }
    EXPECT_LE(peer_.most_in_flight, kMaxOutstanding);
}

// The file sent ahead fails on its own (its OPEN refused), and the one after it, never asked for
// because the walk stopped, has its handle closed before the session's next request, whether its
// OPEN was answered before that request or during it.
TEST_F(SftpScriptedTest, FileSentAheadFailsAloneAndOneNeverAskedForIsClosed) {
    connect();
    for (const char* path : {"/a", "/b", "/c"}) peer_.files[path] = test::random_bytes(5000, path[1]);
    peer_.refused = "/b";
    for (const char* held : {"", "/c"}) {
        SCOPED_TRACE(std::string("held ") + held);
        peer_.held = held;
        peer_.types.clear();
        Transfer t;
        t.remote_path = "/a";
        t.local_path = dir_.file("a");
        ASSERT_EQ(run(client_, peer_, client_.download(t, "/b")), 0) << g_log;
        EXPECT_TRUE(test::read_all(dir_.file("a")) == peer_.files["/a"]);
        t.remote_path = "/b";
        t.local_path = dir_.file("b");
        EXPECT_EQ(run(client_, peer_, client_.download(t, "/c")), 1);
        EXPECT_NE(client_.failure().cause.find("Could not open the remote file"), std::string::npos) << g_log;
        EXPECT_EQ(run(client_, peer_, client_.stat("/a")), 0) << g_log;
        EXPECT_EQ(client_.entry().size, 5000u);
        EXPECT_EQ(run(client_, peer_, client_.stat("/a")), 0) << g_log;
        EXPECT_FALSE(client_.broken());
        // Three OPENs (a, b refused, c) and the two handles given closed (a CLOSE for a handle
        // that came during a request goes out with the next one); c may have been read, never written.
        client_.receive(peer_.answer(client_.take_output()));
        EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kOpen), 3);
        EXPECT_EQ(std::count(peer_.types.begin(), peer_.types.end(), kClose), 2);
        EXPECT_FALSE(std::filesystem::exists(dir_.file("c")));
    }
}

// An upload's CLOSE goes right behind its last WRITE: two round trips for a small file, and a
// write the server refused still fails the upload whichever reply comes first.
TEST_F(SftpScriptedTest, UploadClosesBehindItsWritesAndARefusedWriteStillFails) {
    connect();
    test::write_all(dir_.file("up"), test::random_bytes(100000, 5));
    Transfer t;
    t.remote_path = "/up";
    t.local_path = dir_.file("up");
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "reversed" : "in order");
        peer_.reverse = reverse;
        peer_.mode = Mode::kNormal;
        peer_.batches = 0;
        ASSERT_EQ(run(client_, peer_, client_.upload(t)), 0) << g_log;
        EXPECT_EQ(peer_.batches, 2);
        peer_.mode = Mode::kFailWrite;
        EXPECT_EQ(run(client_, peer_, client_.upload(t)), 1) << g_log;
        EXPECT_EQ(client_.failure().kind, FailureKind::kRemote);
        peer_.mode = Mode::kNormal;
        EXPECT_EQ(run(client_, peer_, client_.stat("/up")), 0) << g_log;
        EXPECT_FALSE(client_.broken());
    }
}

TEST_F(SftpScriptedTest, VersionZeroServerGetsTheOldStat) {
    serve(10);
    peer_.version = 0;
    connect();
    ASSERT_EQ(download(), 0) << g_log;
    EXPECT_EQ(peer_.types[1], kLstat);
}

TEST_F(SftpScriptedTest, FileShorterThanAnnouncedFailsNamingBothSizes) {
    serve(50000);
    peer_.announced = 100000;
    connect();
    EXPECT_EQ(download(), 1);
    EXPECT_NE(g_log.find("The download ended early: 50000 of 100000 bytes"), std::string::npos) << g_log;
    EXPECT_EQ(client_.failure().kind, FailureKind::kRemote);
}

TEST_F(SftpScriptedTest, HostileOrSilentServerFailsAtOnceAndClosesTheSession) {
    struct Case {
        Mode mode;
        bool listing;
        const char* message;
        FailureKind kind;
    };
    const Case cases[] = {
        {Mode::kOversize, false, "Received message packet is too big", FailureKind::kProtocol},
        {Mode::kLongData, false, "more data than was requested", FailureKind::kProtocol},
        {Mode::kStrayId, false, "a reply id matches no request", FailureKind::kProtocol},
        {Mode::kStrayId, true, "a reply id matches no request", FailureKind::kProtocol},
        {Mode::kNameCount, true, "cannot hold", FailureKind::kProtocol},
        {Mode::kSilent, false, "did not answer within 30 seconds", FailureKind::kTimeout},
        {Mode::kSilent, true, "did not answer within 30 seconds", FailureKind::kTimeout},
        {Mode::kCloseMidway, false, "closed the SFTP session", FailureKind::kRemote},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        g_log.clear();
        Peer peer;
        peer.file = test::random_bytes(1 << 20, 5);
        peer.announced = peer.file.size();
        peer.names = {"a"};
        peer.mode = c.mode;
        Client client(capture, nullptr);
        ASSERT_EQ(run(client, peer, client.start()), 0);
        Transfer t;
        t.remote_path = "/f";
        t.local_path = dir_.file("hostile");
        EXPECT_EQ(run(client, peer, c.listing ? client.list() : client.download(t)), 1);
        EXPECT_NE(g_log.find(c.message), std::string::npos) << g_log;
        EXPECT_EQ(client.failure().kind, c.kind);
        EXPECT_NE(client.failure().cause.find(c.message), std::string::npos) << client.failure().cause;
        EXPECT_TRUE(client.broken());
        EXPECT_EQ(client.stat("/f"), 1);  // nothing more is sent on a broken session
    }
}

TEST_F(SftpScriptedTest, RefusedReadFailsTheDownloadButNotTheSession) {
    serve(4 << 20);
    peer_.mode = Mode::kFailSecondRead;
    connect();
    EXPECT_EQ(download(), 1);
    EXPECT_FALSE(client_.broken());
    // The replies still in flight belong to the failed download, whose handle is closed. Arriving
    // while no operation runs (as a network carrier delivers them), they are dropped, not taken for
    // data nobody asked for.
    peer_.mode = Mode::kNormal;
    client_.receive(peer_.answer(client_.take_output()));
    EXPECT_FALSE(client_.broken()) << g_log;
    EXPECT_EQ(run(client_, peer_, client_.stat("/f")), 0) << g_log;
    ASSERT_GE(peer_.types.size(), 2u);
    EXPECT_EQ(peer_.types[peer_.types.size() - 2], kClose);
    EXPECT_EQ(client_.entry().size, 4u << 20);
}

TEST_F(SftpScriptedTest, UploadOutputStaysBoundedWhenNeverFullyDrained) {
    connect();
    std::string data = test::random_bytes(8 << 20, 11);
    test::write_all(dir_.file("up"), data);
    Transfer t;
    t.remote_path = "/up";
    t.local_path = dir_.file("up");
    ASSERT_EQ(client_.upload(t), 0);
    // The carrier sends half of what is waiting each time, so some output is always left over.
    size_t most = 0;
    std::string written;
    int r = kPending;
    while (r == kPending) {
        std::string_view out = client_.output_view();
        size_t n = (out.size() + 1) / 2;
        written.append(out.substr(0, n));
        client_.output_sent(n);
        most = std::max(most, client_.output_held());
        size_t pos = 0;
        std::string_view body, whole(written);
        std::string replies;
        while (take_packet(whole, pos, body) == Frame::kPacket)
            replies += peer_.answer(whole.substr(pos - body.size() - 4, body.size() + 4));
        written.erase(0, pos);
        client_.receive(replies);
        r = client_.step();
        if (replies.empty() && n == 0) break;
    }
    EXPECT_EQ(r, 0) << g_log;
    EXPECT_LE(most, 2 * kMaxOutstanding * (kBlockSize + 64));
}

TEST_F(SftpScriptedTest, ListedNamesThatCannotBeInTheFolderAreDropped) {
    peer_.names = {".", "..", "../x", "a/b", ".profile", "ok", "esc\x1b[2J"};
    connect();
    ASSERT_EQ(run(client_, peer_, client_.list()), 0);
    std::vector<std::string> got;
    for (const RemoteFileEntry& e : client_.listing()) got.push_back(e.name);
    EXPECT_EQ(got, (std::vector<std::string>{".profile", "ok", "esc\x1b[2J"}));
    // What remains may still be unfit for a local file: walks check it before using it.
    EXPECT_FALSE(is_safe_name(got[2]));
    EXPECT_EQ(g_log.find('\x1b'), std::string::npos);  // warnings are escaped
    EXPECT_NE(g_log.find("../x"), std::string::npos);
}

}  // namespace
}  // namespace orvane::sftp
