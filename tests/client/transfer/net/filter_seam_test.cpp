// The receive and send paths through a TLS channel and an SSH filter, with stand-in filters
// that scramble bytes so that a path that skips its filter shows.
#include <gtest/gtest.h>
#include <sys/socket.h>

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

// TLS stand-in: XOR 0x5A both ways; takes at most 100 plaintext bytes per write so that the
// pending-plaintext path is used.
class FakeTls : public TlsChannel {
  public:
    int error() const override { return error_; }
    void set_error() override { error_ = 1; }
    void write_network_input(const uint8_t* data, size_t n) override {
        in_ += scramble(std::string(reinterpret_cast<const char*>(data), n), 0x5A);
    }
    size_t read_plaintext(uint8_t* buffer, size_t capacity) override {
        size_t n = std::min(capacity, in_.size());
        std::copy_n(in_.data(), n, buffer);
        in_.erase(0, n);
        return n;
    }
    size_t write_plaintext(const uint8_t* data, size_t n) override {
        size_t k = std::min<size_t>(n, 100);
        out_ += scramble(std::string(reinterpret_cast<const char*>(data), k), 0x5A);
        pending_.assign(reinterpret_cast<const char*>(data) + k, n - k);
        return k;
    }
    bool flush_pending_plaintext() override {
        std::string p;
        p.swap(pending_);
        if (!p.empty()) write_plaintext(reinterpret_cast<const uint8_t*>(p.data()), p.size());
        return pending_.empty();
    }
    bool has_pending_plaintext() const override { return !pending_.empty(); }
    bool network_output_waiting() override {
        flush_pending_plaintext();
        return !out_.empty();
    }
    int64_t read_network_output(uint8_t* buffer, size_t capacity) override {
        size_t n = std::min(capacity, out_.size());
        std::copy_n(out_.data(), n, buffer);
        out_.erase(0, n);
        return static_cast<int64_t>(n);
    }
    int start_handshake() override { return 0; }

  private:
    int error_ = 0;
    std::string in_, out_, pending_;
};

// SSH stand-in: XOR 0x33, with its step moving bytes between the queues.
class FakeSsh : public SshFilter {
  public:
    void append_network_input(const uint8_t* data, size_t n) override {
        net_in_.append(reinterpret_cast<const char*>(data), n);
    }
    void step() override {
        app_in_ += scramble(net_in_, 0x33);
        net_in_.clear();
        net_out_ += scramble(app_out_, 0x33);
        app_out_.clear();
    }
    size_t take_application_input(uint8_t* buffer, size_t capacity) override {
        return take(app_in_, buffer, capacity);
    }
    void append_application_output(const uint8_t* data, size_t n) override {
        app_out_.append(reinterpret_cast<const char*>(data), n);
    }
    size_t take_network_output(uint8_t* buffer, size_t capacity) override {
        return take(net_out_, buffer, capacity);
    }
    bool network_output_waiting() const override { return !net_out_.empty(); }

  private:
    static size_t take(std::string& from, uint8_t* buffer, size_t capacity) {
        size_t n = std::min(capacity, from.size());
        std::copy_n(from.data(), n, buffer);
        from.erase(0, n);
        return n;
    }
    std::string net_in_, app_in_, app_out_, net_out_;
};

TlsContext g_context;
const TlsProvider kTls{[]() { return &g_context; }, [](TlsContext*) {},
                       [](TlsContext*) -> TlsChannel* { return new FakeTls; }};
const SshProvider kSsh{
    [](void (*)(void*, const char*, int, int), void*) -> SshFilter* { return new FakeSsh; }};

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
    install_tls_provider(&kTls);
    install_ssh_provider(&kSsh);
    test::Listener listener;
    auto engine = TransferEngine::start(nullptr, nullptr);
    ASSERT_TRUE(engine);
    test::Requester req;
    Connection* c = engine->open_connection(mode, 0, test::queue_receive, test::queue_send, nothing_step);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->security_mode, mode);
    test::Probe probe;
    probe.port = listener.port();
    c->step_state.context = &probe;
    std::string request(20000, 'q');  // several send buffers, through pending plaintext for TLS
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
    std::string reply = "226 Transfer complete\r\n";
    test::send_all(peer, scramble(reply, key));
    test::close_fd(peer);
    ASSERT_TRUE(req.run_until(*engine, [&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(c->step_state.receive_queue.contents(), reply) << "the receive path went through the filter";
    // Back to plain: the filter is gone.
    EXPECT_EQ(set_security_plain(*c), 0);
    EXPECT_FALSE(c->tls);
    EXPECT_FALSE(c->ssh);
    engine->close_connection(c);
    install_tls_provider(nullptr);
    install_ssh_provider(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Modes, SecuritySeam, ::testing::Values(int{kSecurityTls}, int{kSecuritySsh}));

TEST(SecuritySeamProviders, WithoutAProviderASwitchFails) {
    auto engine = TransferEngine::start(nullptr, nullptr);
    EXPECT_EQ(engine->open_connection(kSecurityTls, 0, test::queue_receive, test::queue_send, nothing_step),
              nullptr);
    EXPECT_TRUE(engine->group_sizes().empty() || engine->group_sizes() == std::vector<size_t>{0})
        << "nothing is left behind";
    Connection* c =
        engine->open_connection(kSecurityPlain, 0, test::queue_receive, test::queue_send, nothing_step);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(set_security_ssh(*c), 1);
    EXPECT_EQ(c->security_mode, kSecurityPlain);
    engine->close_connection(c);
}

}  // namespace
}  // namespace orvane
