// The OpenSSL TLS channel against an in-memory OpenSSL server: handshake, bulk data, session reuse, errors.
#include "client/transfer/tls/tls_channel.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/transfer/tls/tls_context.h"
#include "common/openssl_init.h"
#include "tests/client/transfer/tls/tls_test_peer.h"

namespace orvane {
namespace {

using test::MemoryLink;
using test::MemoryServer;
using test::ServerOptions;

struct ContextDeleter {
    void operator()(TlsContext* c) const { tls_destroy_context(c); }
};
using ContextPtr = std::unique_ptr<TlsContext, ContextDeleter>;

class TlsChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.reset(tls_create_context());
        ASSERT_NE(context_, nullptr);
    }
    std::unique_ptr<ByteFilter> channel() {
        return std::unique_ptr<ByteFilter>(tls_create_channel(test::tls_config(context_.get())));
    }

    ContextPtr context_;
};

std::string random_bytes(size_t n) {
    std::string s(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(n));
    return s;
}

TEST_F(TlsChannelTest, ProviderIsMadeWithLegacyAlgorithms) {
    const FilterProvider provider = openssl_tls_provider();
    const FilterProvider* p = &provider;
    ASSERT_NE(p->create_filter, nullptr);
    TlsContext* c = p->create_context();
    ASSERT_NE(c, nullptr);
    std::unique_ptr<ByteFilter> ch(p->create_filter(test::tls_config(c)));
    EXPECT_NE(ch, nullptr);
    ch.reset();
    p->destroy_context(c);
    EXPECT_EQ(openssl_load_providers(), 0);
    EVP_CIPHER* blowfish = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    EXPECT_NE(blowfish, nullptr);
    EVP_CIPHER_free(blowfish);
}

TEST_F(TlsChannelTest, HandshakeThenCommandAndReply) {
    MemoryServer server;
    auto client = channel();
    MemoryLink link(server, *client);
    // The first command is written before the handshake: it waits as pending plaintext.
    const std::string command = "USER anonymous\r\n";
    client->put_application(reinterpret_cast<const uint8_t*>(command.data()), command.size());
    EXPECT_TRUE((client->application_room() == 0));
    ASSERT_TRUE(link.handshake());
    link.pump();
    EXPECT_FALSE((client->application_room() == 0));
    char got[64] = {};
    int n = SSL_read(link.server(), got, sizeof got);
    ASSERT_EQ(n, static_cast<int>(command.size()));
    EXPECT_EQ(std::string(got, n), command);

    const std::string reply = "331 Please specify the password.\r\n";
    SSL_write(link.server(), reply.data(), static_cast<int>(reply.size()));
    link.pump();
    EXPECT_EQ(link.client_received, reply);
    EXPECT_EQ(client->error(), 0);
}

TEST_F(TlsChannelTest, BulkDataBothWaysWithPartialWrites) {
    MemoryServer server;
    auto client = channel();
    MemoryLink link(server, *client);
    ASSERT_TRUE(link.handshake());
    std::mt19937 rng(7);
    const size_t kSize = 3 * 1024 * 1024 + 123;

    // Upload: the core's send path, with the socket taking odd-sized pieces of the ciphertext.
    const std::string up = random_bytes(kSize);
    std::string server_got;
    size_t offered = 0;
    std::vector<uint8_t> out(8192);
    char sbuf[16384];
    size_t max_waiting = 0;
    while (server_got.size() < kSize) {
        for (size_t room = client->application_room(); room > 0 && offered < kSize;
             room = client->application_room()) {
            size_t n = std::min<size_t>({1 + rng() % 8192, kSize - offered, room});
            ASSERT_EQ(client->put_application(reinterpret_cast<const uint8_t*>(up.data() + offered), n), n);
            offered += n;
        }
        max_waiting = std::max(max_waiting,
                               static_cast<size_t>(BIO_ctrl_pending(SSL_get_wbio(tls_channel_ssl(*client)))));
        size_t r = client->get_network(out.data(), 1 + rng() % out.size());
        BIO_write(link.server_in(), out.data(), static_cast<int>(r));
        int n;
        while ((n = SSL_read(link.server(), sbuf, sizeof sbuf)) > 0) server_got.append(sbuf, n);
        ASSERT_EQ(client->error(), 0);
        ASSERT_TRUE(r > 0 || (client->application_room() == 0) || offered < kSize ||
                    server_got.size() == kSize)
            << "stalled at " << server_got.size();
    }
    EXPECT_TRUE(server_got == up);
    // The high-water mark keeps ciphertext from piling up while the socket is slow.
    EXPECT_LT(max_waiting, kTlsNetworkOutputHighWater + 3 * 8192 + 1024);

    // Download: records cut into arbitrary pieces, read out in small blocks.
    const std::string down = random_bytes(kSize);
    size_t sent = 0;
    std::string client_got;
    uint8_t cbuf[1000];
    while (client_got.size() < kSize) {
        if (sent < kSize && BIO_ctrl_pending(link.server_out()) < 100000) {
            int n = SSL_write(link.server(), down.data() + sent,
                              static_cast<int>(std::min<size_t>(50000, kSize - sent)));
            ASSERT_GT(n, 0);
            sent += static_cast<size_t>(n);
        }
        size_t piece = 1 + rng() % 5000;
        std::vector<uint8_t> cipher(piece);
        int r = BIO_read(link.server_out(), cipher.data(), static_cast<int>(piece));
        if (r > 0) client->put_network(cipher.data(), static_cast<size_t>(r));
        size_t got;
        while ((got = client->get_application(cbuf, sizeof cbuf)) > 0)
            client_got.append(reinterpret_cast<char*>(cbuf), got);
        ASSERT_EQ(client->error(), 0);
    }
    EXPECT_TRUE(client_got == down);
}

class TlsSessionReuseTest : public TlsChannelTest, public ::testing::WithParamInterface<int> {};

TEST_P(TlsSessionReuseTest, DataChannelsResumeTheControlSession) {
    MemoryServer server(ServerOptions{GetParam(), nullptr});
    auto control = channel();
    auto early = channel();
    // Nothing to resume before the control handshake.
    EXPECT_EQ(early->resume_from(*control), 1);
    MemoryLink control_link(server, *control);
    ASSERT_TRUE(control_link.handshake());
    // A reply on the control connection; TLS 1.3 tickets are read with it.
    SSL_write(control_link.server(), "230 Login successful.\r\n", 23);
    control_link.pump();
    ASSERT_EQ(control_link.client_received, "230 Login successful.\r\n");
    EXPECT_FALSE(tls_channel_session_reused(*control));

    for (int i = 0; i < 3; ++i) {
        auto data = channel();
        ASSERT_EQ(data->resume_from(*control), 0) << "data connection " << i;
        MemoryLink data_link(server, *data);
        ASSERT_TRUE(data_link.handshake());
        EXPECT_TRUE(tls_channel_session_reused(*data)) << "data connection " << i;
        EXPECT_EQ(SSL_session_reused(data_link.server()), 1) << "data connection " << i;
        EXPECT_EQ(SSL_version(tls_channel_ssl(*data)), GetParam());
        // Once the handshake has begun a session can no longer be set.
        EXPECT_EQ(data->resume_from(*control), 1);
    }
    // A fresh channel without reuse makes a full handshake.
    auto plain = channel();
    MemoryLink plain_link(server, *plain);
    ASSERT_TRUE(plain_link.handshake());
    EXPECT_EQ(SSL_session_reused(plain_link.server()), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsSessionReuseTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == TLS1_2_VERSION ? std::string("Tls12")
                                                                 : std::string("Tls13");
                         });

TEST_F(TlsChannelTest, CorruptedRecordSetsTheErrorFlag) {
    MemoryServer server;
    auto client = channel();
    MemoryLink link(server, *client);
    ASSERT_TRUE(link.handshake());
    link.pump();
    const std::string reply = "226 Transfer complete.\r\n";
    SSL_write(link.server(), reply.data(), static_cast<int>(reply.size()));
    std::vector<uint8_t> record(4096);
    int r = BIO_read(link.server_out(), record.data(), static_cast<int>(record.size()));
    ASSERT_GT(r, 10);
    record[static_cast<size_t>(r) - 5] ^= 0x40;
    client->put_network(record.data(), static_cast<size_t>(r));
    uint8_t buffer[256];
    EXPECT_EQ(client->get_application(buffer, sizeof buffer), 0u);
    EXPECT_EQ(client->error(), 1);
    EXPECT_FALSE(client->error_text().empty()) << "the library's reason is kept";
    // Nothing more passes once the flag is set.
    EXPECT_EQ(client->start(), 1);
    EXPECT_EQ(client->get_application(buffer, sizeof buffer), 0u);
}

TEST_F(TlsChannelTest, PlainTextFromTheServerFailsTheHandshake) {
    auto client = channel();
    ASSERT_EQ(client->start(), 0);
    uint8_t out[8192];
    EXPECT_GT(client->get_network(out, sizeof out), 0);
    const std::string reply = "500 AUTH not understood.\r\n";
    client->put_network(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    uint8_t buffer[64];
    EXPECT_EQ(client->get_application(buffer, sizeof buffer), 0u);
    EXPECT_EQ(client->error(), 1);
}

TEST_F(TlsChannelTest, CleanCloseIsNotAnError) {
    MemoryServer server;
    auto client = channel();
    MemoryLink link(server, *client);
    ASSERT_TRUE(link.handshake());
    SSL_write(link.server(), "listing\r\n", 9);
    SSL_shutdown(link.server());
    link.pump();
    EXPECT_EQ(link.client_received, "listing\r\n");
    EXPECT_EQ(client->error(), 0);
    // The close_notify is answered: servers wait for it before they report the transfer done.
    char b[16];
    EXPECT_EQ(SSL_read(link.server(), b, sizeof b), 0);
    EXPECT_NE(SSL_get_shutdown(link.server()) & SSL_RECEIVED_SHUTDOWN, 0);
}

TEST_F(TlsChannelTest, ShutdownFollowsPendingPlaintext) {
    MemoryServer server;
    auto client = channel();
    EXPECT_EQ(client->close_stream(), 1);  // nothing to close before the handshake
    MemoryLink link(server, *client);
    ASSERT_TRUE(link.handshake());
    const std::string last(8192, 'z');
    client->put_application(reinterpret_cast<const uint8_t*>(last.data()), last.size());
    ASSERT_EQ(client->close_stream(), 0);
    EXPECT_EQ(client->close_stream(), 0);
    link.pump();
    std::string got;
    char b[4096];
    int n;
    while ((n = SSL_read(link.server(), b, sizeof b)) > 0) got.append(b, n);
    EXPECT_EQ(got, last);
    EXPECT_EQ(SSL_get_error(link.server(), n), SSL_ERROR_ZERO_RETURN);
}

TEST_F(TlsChannelTest, NetworkInputIsBoundedByBackPressure) {
    auto client = channel();
    std::vector<uint8_t> junk(kTlsNetworkInputLimit / 2, 0x16);
    EXPECT_EQ(client->put_network(junk.data(), junk.size()), junk.size());
    EXPECT_EQ(client->put_network(junk.data(), junk.size()), junk.size());
    EXPECT_EQ(client->put_network(junk.data(), junk.size()), 0u) << "full until the plaintext is read";
    EXPECT_EQ(client->error(), 0);
}

struct LogLines {
    std::vector<std::pair<int, std::string>> lines;
    static void sink(void* user, const char* text, int level, int) {
        static_cast<LogLines*>(user)->lines.emplace_back(level, text);
    }
};

TEST_F(TlsChannelTest, SessionInfoNamesVersionCipherAndServerCertificate) {
    MemoryServer server;
    auto client = channel();
    LogLines log;
    EXPECT_EQ(client->describe(LogLines::sink, &log), 1);
    EXPECT_TRUE(log.lines.empty());
    MemoryLink link(server, *client);
    ASSERT_TRUE(link.handshake());
    ASSERT_EQ(client->describe(LogLines::sink, &log), 0);
    ASSERT_EQ(log.lines.size(), 4u);
    for (auto& [level, text] : log.lines) EXPECT_EQ(level, 101);
    EXPECT_EQ(log.lines[0].second, "TLS connection established: TLSv1.3, cipher " +
                                       std::string(SSL_get_cipher_name(tls_channel_ssl(*client))));
    EXPECT_EQ(log.lines[1].second, "Server certificate: CN = 127.0.0.1");
    unsigned char md[32];
    unsigned int len = 0;
    X509_digest(server.cert(), EVP_sha256(), md, &len);
    char expected[3 * 32] = {};
    for (unsigned i = 0; i < len; ++i) snprintf(expected + 3 * i, 4, i + 1 < len ? "%02X:" : "%02X", md[i]);
    EXPECT_EQ(log.lines[2].second, std::string("Server certificate SHA-256 fingerprint: ") + expected);
    // The key as -pin takes it: SHA-256 of the DER SubjectPublicKeyInfo, in base64.
    unsigned char* der = nullptr;
    int der_length = i2d_PUBKEY(X509_get0_pubkey(server.cert()), &der);
    ASSERT_GT(der_length, 0);
    EVP_Digest(der, static_cast<size_t>(der_length), md, &len, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char base64[64] = {};
    EVP_EncodeBlock(base64, md, static_cast<int>(len));
    EXPECT_EQ(log.lines[3].second, std::string("Server key: sha256/") + reinterpret_cast<char*>(base64));
}

}  // namespace
}  // namespace orvane
