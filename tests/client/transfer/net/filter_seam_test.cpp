// The receive and send paths through a TLS channel and an SSH filter, with stand-in filters
// that scramble bytes so that a path that skips its filter shows; the engine owner and the client
// certificate it hands its engines' TLS contexts.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/net/filter.h"
#include "client/transfer/net/transfer_engine.h"
#include "tests/client/transfer/net/network_test_support.h"
#include "tests/support/loopback.h"

namespace orvane {

struct TlsContext {
    int unused = 0;
};

namespace {

using namespace std::chrono_literals;

std::string scramble(std::string s, char key) {
    for (char& ch : s) ch = static_cast<char>(ch ^ key);
    return s;
}

// A stand-in filter that XORs bytes with a key both ways. The TLS one takes at most 100
// application bytes at a time, so that sends are held back by its room; the SSH one takes at
// most 1000 network bytes at a time, so that receives are offered again.
class FakeFilter : public ByteFilter {
  public:
    FakeFilter(char key, size_t app_room, size_t net_room)
        : key_(key), app_room_(app_room), net_room_(net_room) {}
    int start() override { return 0; }
    size_t put_network(const uint8_t* data, size_t n) override {
        n = std::min(n, net_room_);
        in_ += scramble(std::string(reinterpret_cast<const char*>(data), n), key_);
        return n;
    }
    size_t get_application(uint8_t* buffer, size_t capacity) override { return take(in_, buffer, capacity); }
    size_t application_room() override { return out_.size() < 4096 ? app_room_ : 0; }
    size_t put_application(const uint8_t* data, size_t n) override {
        n = std::min(n, app_room_);
        out_ += scramble(std::string(reinterpret_cast<const char*>(data), n), key_);
        return n;
    }
    bool network_output_waiting() override { return !out_.empty(); }
    size_t get_network(uint8_t* buffer, size_t capacity) override { return take(out_, buffer, capacity); }
    int error() const override { return error_text_.empty() ? 0 : 1; }
    const std::string& error_text() const override { return error_text_; }
    void fail(const std::string& cause) override { error_text_ = cause; }
    const void* family() const override { return &key_; }

  private:
    static size_t take(std::string& from, uint8_t* buffer, size_t capacity) {
        size_t n = std::min(capacity, from.size());
        std::copy_n(from.data(), n, buffer);
        from.erase(0, n);
        return n;
    }
    char key_;
    size_t app_room_, net_room_;
    std::string in_, out_, error_text_;
};

TlsContext g_context;
FilterConfig g_seen;                // the configuration the last filter was made with
std::vector<std::string> g_loaded;  // the certificate files loaded into g_context, in order
const FilterProvider kTls{.create_context = []() { return &g_context; },
                          .destroy_context = [](TlsContext*) {},
                          .load_certificate =
                              [](TlsContext&, const ClientCertificate& certificate) {
                                  g_loaded.push_back(certificate.certificate_file);
                                  return certificate.certificate_file == "bad.pem" ? 1 : 0;
                              },
                          .create_filter = [](const FilterConfig& config) -> ByteFilter* {
                              g_seen = config;
                              return new FakeFilter(0x5A, 100, SIZE_MAX);
                          }};
const FilterProvider kSsh{.create_filter = [](const FilterConfig& config) -> ByteFilter* {
    g_seen = config;
    return new FakeFilter(0x33, 8192, 1000);
}};
const FilterProviders kBoth{kTls, kSsh, {}};

void nothing_step(Connection&) {}
struct Outcome {
    int calls = 0;
    int result = -1;
};
void record(int, void* owner, int result) {
    auto* o = static_cast<Outcome*>(owner);
    ++o->calls;
    o->result = result;
}

class SecuritySeam : public ::testing::TestWithParam<int> {};

TEST_P(SecuritySeam, BytesPassThroughTheFilterBothWays) {
    int mode = GetParam();
    char key = mode == kSecurityTls ? 0x5A : 0x33;
    test::Listener listener;
    auto engine = TransferEngine::start(nullptr, nullptr, kBoth);
    ASSERT_TRUE(engine);
    test::Requester req;
    ConnectionSetup setup = test::setup(mode, 0, test::queue_receive, test::queue_send, nothing_step);
    setup.filter.host = "files.example";
    Connection* c = engine->open_connection(setup);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->security_mode, mode);
    EXPECT_EQ(g_seen.host, "files.example") << "the filter gets its configuration at creation";
    EXPECT_EQ(g_seen.tls_context, mode == kSecurityTls ? &g_context : nullptr);
    test::Probe probe;
    probe.port = listener.port();
    c->step_state.context = &probe;
    std::string request(20000, 'q');  // several send buffers, held back by the filter's room
    request += "END\r\n";
    c->step_state.send_queue.append(request);
    Outcome outcome;
    ASSERT_EQ(post_step(*c, test::probe_step, record, 0, req.notifier(), &outcome), 0);
    int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::string wire;
    char buffer[4096];
    while (wire.size() < request.size()) {
        ssize_t r = ::recv(peer, buffer, sizeof buffer, 0);
        ASSERT_GT(r, 0);
        wire.append(buffer, static_cast<size_t>(r));
    }
    EXPECT_EQ(wire, scramble(request, key)) << "the send path went through the filter";
    std::string reply = std::string(5000, 'r') + "\r\n226 Transfer complete\r\n";  // offered again by SSH
    test::send_all(peer, scramble(reply, key));
    test::close_fd(peer);
    ASSERT_TRUE(req.run_until(*engine, [&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(c->step_state.receive_queue.contents(), reply) << "the receive path went through the filter";
    // Back to plain: the filter is gone.
    EXPECT_EQ(set_security_plain(*c), 0);
    EXPECT_FALSE(c->filter);
    engine->close_connection(c);
}

INSTANTIATE_TEST_SUITE_P(Modes, SecuritySeam, ::testing::Values(int{kSecurityTls}, int{kSecuritySsh}));

TEST(SecuritySeamProviders, WithoutAProviderASwitchFails) {
    auto engine = TransferEngine::start(nullptr, nullptr);
    EXPECT_EQ(engine->open_connection(
                  test::setup(kSecurityTls, 0, test::queue_receive, test::queue_send, nothing_step)),
              nullptr);
    EXPECT_TRUE(engine->group_sizes().empty() || engine->group_sizes() == std::vector<size_t>{0})
        << "nothing is left behind";
    Connection* c = engine->open_connection(
        test::setup(kSecurityPlain, 0, test::queue_receive, test::queue_send, nothing_step));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(set_security(*c, kSecuritySsh), 1);
    EXPECT_EQ(c->security_mode, kSecurityPlain);
    engine->close_connection(c);
}

// The owner starts its engine for the first user and stops it after the last; the certificate it
// keeps reaches the context of a running engine and of every engine started later.
TEST(SecuritySeamProviders, TheOwnersCertificateReachesEveryEnginesContext) {
    g_loaded.clear();
    ClientCertificate certificate;
    certificate.certificate_file = "client.pem";
    EngineOwner owner(kBoth);
    EXPECT_EQ(owner.set_client_certificate(certificate), 0) << "kept while no engine runs";
    ASSERT_EQ(owner.engine(), nullptr);
    TransferEngine* first = owner.acquire(nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(owner.acquire(nullptr, nullptr), first) << "one engine for every user";
    EXPECT_EQ(first->tls_context(), &g_context);
    EXPECT_EQ(g_loaded, std::vector<std::string>{"client.pem"}) << "loaded as the context is made";
    certificate.certificate_file = "bad.pem";
    EXPECT_EQ(owner.set_client_certificate(certificate), 1) << "the running context refused it";
    owner.release();
    EXPECT_EQ(owner.engine(), first);
    owner.release();
    EXPECT_EQ(owner.engine(), nullptr) << "the last user stops it";
    certificate.certificate_file = "other.pem";
    owner.set_client_certificate(certificate);
    ASSERT_NE(owner.acquire(nullptr, nullptr), nullptr);
    owner.engine()->tls_context();
    EXPECT_EQ(g_loaded, (std::vector<std::string>{"client.pem", "bad.pem", "other.pem"}));
    owner.release();
}

}  // namespace
}  // namespace orvane
