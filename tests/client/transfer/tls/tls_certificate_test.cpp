// Client certificates from PEM and PKCS#12 files, presented to an in-memory server that demands them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/transfer/tls/tls_channel.h"
#include "client/transfer/tls/tls_context.h"
#include "tests/client/transfer/tls/tls_test_peer.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::Identity;
using test::MemoryLink;
using test::MemoryServer;
using test::ServerOptions;

struct ContextDeleter {
    void operator()(TlsContext* c) const { tls_destroy_context(c); }
};

// A root that the server trusts, an intermediate it does not know, and a client certificate
// issued by the intermediate: the handshake only verifies when the client sends the intermediate.
class TlsCertificateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.reset(tls_create_context());
        ASSERT_NE(context_, nullptr);
        root_ = test::make_identity("Orvane Test Root", nullptr, true);
        intermediate_ = test::make_identity("Orvane Test Intermediate", &root_, true);
        client_ = test::make_identity("orvane client", &intermediate_, false);
        server_ = std::make_unique<MemoryServer>(ServerOptions{0, root_.cert.get()});
    }

    // Connects a fresh channel; the subject's common name the server saw, or "" when it refused.
    std::string presented() {
        std::unique_ptr<ByteFilter> ch(tls_create_channel(test::tls_config(context_.get())));
        MemoryLink link(*server_, *ch);
        if (!link.handshake()) return "";
        if (SSL_get_verify_result(link.server()) != X509_V_OK) return "unverified";
        X509* peer = SSL_get0_peer_certificate(link.server());
        if (!peer) return "";
        char cn[128] = {};
        X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
        return cn;
    }

    test::TempDir dir_;
    std::unique_ptr<TlsContext, ContextDeleter> context_;
    Identity root_, intermediate_, client_;
    std::unique_ptr<MemoryServer> server_;
};

TEST_F(TlsCertificateTest, WithoutCertificateTheServerRefuses) {
    EXPECT_EQ(presented(), "");
}

TEST_F(TlsCertificateTest, PemChainWithEncryptedKeyAnyCaseExtension) {
    std::string cert = dir_.file("client.PEM"), key = dir_.file("client.key");
    test::write_cert_pem(cert, {client_.cert.get(), intermediate_.cert.get()});
    test::write_key_pem(key, client_.key.get(), "s3cret pass");
    EXPECT_EQ(tls_load_client_certificate(*context_, cert, key, "wrong"), 1);
    EXPECT_EQ(presented(), "");
    ASSERT_EQ(tls_load_client_certificate(*context_, cert, key, "s3cret pass"), 0);
    EXPECT_EQ(presented(), "orvane client");

    std::string lower = dir_.file("plain.pem"), plain_key = dir_.file("plain-key.pem");
    test::write_cert_pem(lower, {client_.cert.get(), intermediate_.cert.get()});
    test::write_key_pem(plain_key, client_.key.get(), "");
    ASSERT_EQ(tls_load_client_certificate(*context_, lower, plain_key, ""), 0);
    EXPECT_EQ(presented(), "orvane client");
}

TEST_F(TlsCertificateTest, Pkcs12WithAndWithoutPassPhraseCarriesItsCaCertificates) {
    std::string with = dir_.file("client.pfx"), without = dir_.file("client.P12"),
                legacy = dir_.file("old.pfx");
    test::write_pkcs12(with, client_, {intermediate_.cert.get()}, "pfx pass");
    test::write_pkcs12(without, client_, {intermediate_.cert.get()}, "");
    test::write_pkcs12(legacy, client_, {intermediate_.cert.get()}, "old pass", true);

    EXPECT_EQ(tls_load_client_certificate(*context_, with, "", "not it"), 1);
    ASSERT_EQ(tls_load_client_certificate(*context_, with, "", "pfx pass"), 0);
    EXPECT_EQ(presented(), "orvane client");

    auto fresh = [&] { context_.reset(tls_create_context()); };
    fresh();
    ASSERT_EQ(tls_load_client_certificate(*context_, without, "", ""), 0);
    EXPECT_EQ(presented(), "orvane client");

    // RC2 and 3DES encryption of older tools needs the legacy provider.
    fresh();
    ASSERT_EQ(tls_load_client_certificate(*context_, legacy, "", "old pass"), 0);
    EXPECT_EQ(presented(), "orvane client");
}

TEST_F(TlsCertificateTest, UnusableFilesFailAndLeaveTheLoadedCertificate) {
    std::string good = dir_.file("good.pfx");
    test::write_pkcs12(good, client_, {intermediate_.cert.get()}, "");
    ASSERT_EQ(tls_load_client_certificate(*context_, good, "", ""), 0);

    std::string garbage_pem = dir_.file("garbage.pem"), garbage_pfx = dir_.file("garbage.pfx");
    test::write_all(garbage_pem,
                    "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    test::write_all(garbage_pfx, std::string(300, '\x30'));
    EXPECT_EQ(tls_load_client_certificate(*context_, garbage_pem, "", ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, garbage_pfx, "", ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, dir_.file("missing.pem"), "", ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, dir_.file("missing.pfx"), "", ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, "", "", ""), 1);

    // A key that belongs to another certificate.
    std::string cert = dir_.file("mismatch.pem"), other_key = dir_.file("other.key");
    test::write_cert_pem(cert, {client_.cert.get()});
    test::write_key_pem(other_key, intermediate_.key.get(), "");
    EXPECT_EQ(tls_load_client_certificate(*context_, cert, other_key, ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, cert, garbage_pem, ""), 1);
    EXPECT_EQ(tls_load_client_certificate(*context_, good, "", std::string(400, 'p')), 1);

    EXPECT_EQ(presented(), "orvane client");
}

}  // namespace
}  // namespace orvane
