// The channel's certificate check against an in-memory server: a refusal ends the handshake with
// the policy's reason and nothing queued is ever encrypted; a required key; no policy at all.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/transfer/tls/tls_channel.h"
#include "client/transfer/tls/tls_context.h"
#include "client/transfer/tls/tls_trust.h"
#include "tests/client/transfer/tls/tls_test_peer.h"

namespace orvane {
namespace {

struct ContextDeleter {
    void operator()(TlsContext* c) const { tls_destroy_context(c); }
};

struct Asked {
    std::string host;
    uint16_t port = 0;
    std::string key;
};

int refuse(void* context, const CertificateQuery& query, std::string& refusal) {
    auto* asked = static_cast<Asked*>(context);
    asked->host = query.host;
    asked->port = query.port;
    asked->key = certificate_key_text(X509_STORE_CTX_get0_cert(query.chain));
    refusal = "refused by the test policy";
    return 1;
}

class TlsVerify : public ::testing::Test {
  protected:
    std::unique_ptr<ByteFilter> channel(const FilterConfig& config) {
        FilterConfig made = config;
        made.tls_context = context.get();
        return std::unique_ptr<ByteFilter>(tls_create_channel(made));
    }
    std::unique_ptr<TlsContext, ContextDeleter> context{tls_create_context()};
    test::MemoryServer server;
};

TEST_F(TlsVerify, ARefusalEndsTheHandshakeBeforeAnyCommandIsEncrypted) {
    Asked asked;
    FilterConfig config;
    config.host = "127.0.0.1";
    config.port = 2121;
    config.certificate = CertificateDecision{refuse, &asked};
    auto client = channel(config);
    ASSERT_NE(client, nullptr);
    const std::string secret = "PASS s3cret\r\n";
    client->put_application(reinterpret_cast<const uint8_t*>(secret.data()), secret.size());
    test::MemoryLink link(server, *client);
    EXPECT_FALSE(link.handshake());
    EXPECT_EQ(client->error(), 1);
    EXPECT_EQ(client->error_text(), "refused by the test policy");
    EXPECT_EQ(asked.host, "127.0.0.1");
    EXPECT_EQ(asked.port, 2121);
    EXPECT_EQ(asked.key, certificate_key_text(server.cert()));
    char got[64];
    EXPECT_LE(SSL_read(link.server(), got, sizeof got), 0) << "the server never reads the command";
}

TEST_F(TlsVerify, ARequiredKeyAndTheDefaultCheck) {
    FilterConfig config;
    config.host = "127.0.0.1";
    config.required_key = certificate_key_text(server.cert());
    auto matching = channel(config);
    test::MemoryLink good(server, *matching);
    EXPECT_TRUE(good.handshake()) << matching->error_text();
    EXPECT_EQ(matching->peer_key(), config.required_key);

    config.required_key = "sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    auto other = channel(config);
    test::MemoryLink bad(server, *other);
    EXPECT_FALSE(bad.handshake());
    EXPECT_NE(other->error_text().find("not the control connection's"), std::string::npos)
        << other->error_text();

    // Without a policy only the system's CA store counts: a self-signed server is refused.
    FilterConfig bare;
    bare.host = "127.0.0.1";
    bare.port = 21;
    auto unchecked = channel(bare);
    test::MemoryLink strict(server, *unchecked);
    EXPECT_FALSE(strict.handshake());
    EXPECT_NE(unchecked->error_text().find("is not trusted"), std::string::npos) << unchecked->error_text();
    EXPECT_TRUE(unchecked->peer_key().empty());
}

}  // namespace
}  // namespace orvane
