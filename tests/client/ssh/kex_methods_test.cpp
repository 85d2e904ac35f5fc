// Key exchange: each method against a server half built here from OpenSSL primitives, with each
// host-key type; both sides must agree on K and H. Then the designed edge cases and derive_key.
#include "client/ssh/kex_methods.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>

#include "client/ssh/known_hosts.h"
#include "client/ssh/private_key.h"
#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_filter.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::ssh {
namespace {

struct ServerMethod {
    const char* name;
    char family;  // 'f' fixed group, 'g' group exchange, 'x' X25519, 'e' P-256
    const char* hash;
    BIGNUM* (*prime)(BIGNUM*);
};

const ServerMethod kServerMethods[] = {
    {"diffie-hellman-group1-sha1", 'f', "SHA1", BN_get_rfc2409_prime_1024},
    {"diffie-hellman-group14-sha1", 'f', "SHA1", BN_get_rfc3526_prime_2048},
    {"diffie-hellman-group-exchange-sha1", 'g', "SHA1", nullptr},
    {"diffie-hellman-group14-sha256", 'f', "SHA256", BN_get_rfc3526_prime_2048},
    {"diffie-hellman-group16-sha512", 'f', "SHA512", BN_get_rfc3526_prime_4096},
    {"diffie-hellman-group-exchange-sha256", 'g', "SHA256", nullptr},
    {"curve25519-sha256", 'x', "SHA256", nullptr},
    {"curve25519-sha256@libssh.org", 'x', "SHA256", nullptr},
    {"ecdh-sha2-nistp256", 'e', "SHA256", nullptr},
};

std::string magnitude(const BIGNUM* bn) {
    std::string out(static_cast<size_t>(BN_num_bytes(bn)), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

BIGNUM* number(std::string_view bytes) {
    return BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
                     nullptr);
}

// The server's half of an exchange, written from the RFCs independently of the client's code.
struct ServerSide {
    ServerSide(const ServerMethod& method, const PrivateKey& host_key, std::string algorithm, uint32_t compat,
               const KexContext& context, BIGNUM* gex_prime = nullptr)
        : method(method),
          host_key(host_key),
          algorithm(std::move(algorithm)),
          compat(compat),
          context(context),
          gex_prime(gex_prime) {}
    const ServerMethod& method;
    const PrivateKey& host_key;
    std::string algorithm;
    uint32_t compat = 0;
    const KexContext& context;
    BIGNUM* gex_prime = nullptr;      // the group a group exchange sends (default: group 14)
    BIGNUM* gex_generator = nullptr;  // default: 2
    bool tamper_signature = false;
    bool send_bad_public = false;

    std::string k_mpint, h;
    SshBuffer gex_values;  // what the request contributed to H, then p and g
    BIGNUM* p = nullptr;
    BIGNUM* g = nullptr;

    ~ServerSide() {
        BN_free(p);
        BN_free(g);
    }

    std::string hash(std::string_view values, std::string_view k) {
        SshBuffer in(8u << 20);
        in.put_string(context.client_version);
        in.put_string(context.server_version);
        in.put_string("\x14" + context.client_kexinit);
        in.put_string("\x14" + context.server_kexinit);
        in.put_string(host_key.public_blob());
        in.put_bytes(values);
        SshBuffer mp;
        mp.put_mpint(k);
        k_mpint.assign(mp.view());
        in.put_bytes(mp.view());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_MD* md = EVP_MD_fetch(nullptr, method.hash, nullptr);
        EVP_Digest(in.data(), in.size(), digest, &size, md, nullptr);
        EVP_MD_free(md);
        return std::string(reinterpret_cast<char*>(digest), size);
    }

    void reply(uint8_t number, std::string_view public_value, bool as_mpint, std::string_view values,
               std::string_view k, std::vector<SshBuffer>& out) {
        h = hash(values, k);
        std::string signature, error;
        EXPECT_EQ(host_key.sign(h, algorithm, compat, signature, error), 0) << error;
        if (tamper_signature) signature.back() ^= 1;
        SshBuffer m;
        m.put_byte(number);
        m.put_string(host_key.public_blob());
        if (as_mpint)
            m.put_mpint(public_value);
        else
            m.put_string(public_value);
        m.put_string(signature);
        out.push_back(std::move(m));
    }

    void dh_reply(uint8_t number, std::string_view e_bytes, std::vector<SshBuffer>& out) {
        BN_CTX* bn = BN_CTX_new();
        BIGNUM* y = BN_new();
        BIGNUM* f = BN_new();
        BIGNUM* e = number_of(e_bytes);
        BIGNUM* k = BN_new();
        BN_rand(y, 512, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
        BN_mod_exp(f, g, y, p, bn);
        if (send_bad_public) BN_one(f);
        BN_mod_exp(k, e, y, p, bn);
        SshBuffer values;
        values.put_bytes(gex_values.view());
        values.put_mpint(magnitude(e));
        values.put_mpint(magnitude(f));
        reply(number, magnitude(f), true, values.view(), magnitude(k), out);
        for (BIGNUM* v : {y, f, e, k}) BN_free(v);
        BN_CTX_free(bn);
    }
    static BIGNUM* number_of(std::string_view bytes) { return number(bytes); }

    void ecdh_reply(std::string_view client_public, std::vector<SshBuffer>& out) {
        EVP_PKEY* mine = method.family == 'x' ? EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519")
                                              : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        EVP_PKEY* peer =
            method.family == 'x'
                ? EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr,
                                              reinterpret_cast<const unsigned char*>(client_public.data()),
                                              client_public.size())
                : p256_public_key(client_public);
        ASSERT_NE(peer, nullptr);
        unsigned char point[65];
        size_t size = sizeof point;
        if (method.family == 'x')
            EVP_PKEY_get_raw_public_key(mine, point, &size);
        else
            EVP_PKEY_get_octet_string_param(mine, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                            &size);
        std::string server_public(reinterpret_cast<char*>(point), size);
        if (send_bad_public && method.family == 'x')
            server_public.assign(32, '\0');  // a point of small order
        if (send_bad_public && method.family == 'e')
            server_public = '\x04' + std::string(64, '\0');  // off the curve
        EVP_PKEY_CTX* derive = EVP_PKEY_CTX_new_from_pkey(nullptr, mine, nullptr);
        std::string secret(32, '\0');
        size_t secret_size = secret.size();
        EVP_PKEY_derive_init(derive);
        EVP_PKEY_derive_set_peer(derive, peer);
        EVP_PKEY_derive(derive, reinterpret_cast<unsigned char*>(secret.data()), &secret_size);
        EVP_PKEY_CTX_free(derive);
        EVP_PKEY_free(mine);
        EVP_PKEY_free(peer);
        SshBuffer values;
        values.put_string(client_public);
        values.put_string(server_public);
        reply(31, server_public, false, values.view(), secret, out);
    }

    void handle(SshBuffer& message, std::vector<SshBuffer>& out) {
        uint8_t type = message.get_byte();
        if (method.family == 'f' && type == 30) {
            p = method.prime(nullptr);
            g = BN_new();
            BN_set_word(g, 2);
            dh_reply(31, message.get_mpint(), out);
        } else if (method.family == 'g' && (type == 34 || type == 30)) {
            if (type == 34) {
                gex_values.put_u32(message.get_u32());
                gex_values.put_u32(message.get_u32());
                gex_values.put_u32(message.get_u32());
            } else {
                gex_values.put_u32(message.get_u32());
            }
            p = gex_prime != nullptr ? BN_dup(gex_prime) : BN_get_rfc3526_prime_2048(nullptr);
            g = gex_generator != nullptr ? BN_dup(gex_generator) : BN_new();
            if (gex_generator == nullptr) BN_set_word(g, 2);
            gex_values.put_mpint(magnitude(p));
            gex_values.put_mpint(magnitude(g));
            SshBuffer group;
            group.put_byte(31);
            group.put_mpint(magnitude(p));
            group.put_mpint(magnitude(g));
            out.push_back(std::move(group));
        } else if (method.family == 'g' && type == 32) {
            dh_reply(33, message.get_mpint(), out);
        } else if ((method.family == 'x' || method.family == 'e') && type == 30) {
            ecdh_reply(message.get_string(), out);
        } else {
            ADD_FAILURE() << "unexpected client message " << int(type);
        }
    }
};

const ServerMethod& server_method(std::string_view name) {
    for (const ServerMethod& m : kServerMethods)
        if (name == m.name) return m;
    return kServerMethods[0];
}

// The methods' own tests take every host key; the policy has a test of its own.
int accept_any_host(void*, const std::string&, uint16_t, const std::string&, std::string&) {
    return 0;
}

KexContext make_context(const std::string& kex, const std::string& host_key, const std::string& host) {
    KexContext context;
    context.host_key = {&accept_any_host, nullptr};
    context.client_version = "SSH-2.0-FendrelSSH_1.0";
    context.server_version = "SSH-2.0-OpenSSH_9.2p1 Debian-2";
    context.client_kexinit = std::string(16, 'c') + "client lists";
    context.server_kexinit = std::string(16, 's') + "server lists";
    context.kex_name = kex;
    context.host_key_name = host_key;
    context.need = 32;
    context.host = host;
    context.port = 22;
    return context;
}

// Runs the client against the server until the client is done or fails.
KexStatus exchange(KexRun& run, const KexContext& context, ServerSide& server) {
    std::vector<SshBuffer> to_server;
    if (run.start(context, to_server) != 0) return KexStatus::kFailed;
    for (int round = 0; round < 4; ++round) {
        std::vector<SshBuffer> to_client;
        for (SshBuffer& m : to_server) server.handle(m, to_client);
        to_server.clear();
        for (SshBuffer& m : to_client) {
            KexStatus status = run.receive(m, to_server);
            if (status != KexStatus::kContinue) return status;
        }
    }
    return KexStatus::kFailed;
}

class KexTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("HOME", home_.path().c_str(), 1); }
    PrivateKey load(const std::string& name) {
        PrivateKey key;
        std::string error;
        const test::TestKeyFile& file = test::test_key_file(name);
        EXPECT_EQ(key.load_file(file.path, file.pass, error), 0) << error;
        return key;
    }
    test::TempDir home_;
};

TEST_F(KexTest, EveryMethodWithEveryHostKeyAgreesWithTheServer) {
    struct HostKey {
        const char* file;
        const char* algorithm;
    } host_keys[] = {{"rsa-openssh", "ssh-rsa"},         {"rsa-openssh", "rsa-sha2-256"},
                     {"rsa-openssh", "rsa-sha2-512"},    {"dsa-pem", "ssh-dss"},
                     {"ed25519-openssh", "ssh-ed25519"}, {"ecdsa-openssh", "ecdsa-sha2-nistp256"}};
    int host_number = 0;
    for (const ServerMethod& method : kServerMethods) {
        for (const HostKey& hk : host_keys) {
            SCOPED_TRACE(std::string(method.name) + " with " + hk.algorithm);
            PrivateKey key = load(hk.file);
            KexContext context =
                make_context(method.name, hk.algorithm, "host" + std::to_string(host_number++));
            ServerSide server{method, key, hk.algorithm, 0, context};
            std::unique_ptr<KexRun> run = make_ssh_kex_run(method.name);
            ASSERT_NE(run, nullptr);
            ASSERT_EQ(exchange(*run, context, server), KexStatus::kDone) << run->error_text();
            const KexResult& result = run->result();
            EXPECT_EQ(result.hash_name, method.hash);
            EXPECT_EQ(test::hex(result.shared_secret), test::hex(server.k_mpint));
            EXPECT_EQ(test::hex(result.exchange_hash), test::hex(server.h));
            EXPECT_EQ(result.host_key_blob, key.public_blob());
            EXPECT_EQ(result.host_key_type, key.type_name());
        }
    }
}

TEST_F(KexTest, FingerprintsAreThoseOpensshShows) {
    for (const char* name : {"rsa-openssh", "dsa-openssh", "ed25519-openssh", "ecdsa-openssh"}) {
        const test::TestKeyFile& file = test::test_key_file(name);
        test::ProcessResult r =
            test::run_process("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", file.path + ".pub"});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_NE(r.output.find(" " + fingerprint_sha256(file.public_blob) + " "), std::string::npos)
            << r.output;
    }
}

TEST_F(KexTest, GroupExchangeRequestsTheDesignedSize) {
    // need = the largest of key length, block size and MAC key length of the chosen algorithms.
    struct Case {
        const char* algorithms;
        size_t need;
        uint32_t n;
    } cases[] = {{"aes256-cbc + hmac-sha1", std::max<size_t>({32, 16, 20}), 4096},
                 {"3des-cbc + hmac-md5", std::max<size_t>({24, 8, 16}), 2048},
                 {"aes128-cbc + hmac-sha1-96", std::max<size_t>({16, 16, 20}), 2048},
                 {"aes128-cbc + hmac-md5", std::max<size_t>({16, 16, 16}), 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.algorithms);
        EXPECT_EQ(group_exchange_size(c.need), c.n);
        for (uint32_t compat : {0u, uint32_t{kOldGroupExchange}}) {
            KexContext context = make_context("diffie-hellman-group-exchange-sha1", "ssh-ed25519", "gex");
            context.need = c.need;
            context.compat = compat;
            std::vector<SshBuffer> send;
            std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
            ASSERT_EQ(run->start(context, send), 0);
            ASSERT_EQ(send.size(), 1u);
            SshBuffer& request = send[0];
            if (compat == 0) {
                EXPECT_EQ(request.get_byte(), 34);
                EXPECT_EQ(request.get_u32(), 1024u);
                EXPECT_EQ(request.get_u32(), c.n);
                EXPECT_EQ(request.get_u32(), 8192u);
            } else {
                EXPECT_EQ(request.get_byte(), 30);
                EXPECT_EQ(request.get_u32(), c.n);
            }
            EXPECT_TRUE(request.ok() && request.empty());
        }
    }
}

TEST_F(KexTest, GroupExchangeVariants) {
    PrivateKey key = load("ed25519-openssh");
    KexContext context = make_context("diffie-hellman-group-exchange-sha1", "ssh-ed25519", "gex-variants");
    context.compat = kOldGroupExchange;
    ServerSide server{server_method(context.kex_name), key, "ssh-ed25519", 0, context};
    std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
    ASSERT_EQ(exchange(*run, context, server), KexStatus::kDone) << run->error_text();
    EXPECT_EQ(run->result().shared_secret, server.k_mpint);
    EXPECT_EQ(run->result().exchange_hash, server.h);
}

// A group the server picks so that the exchange can be solved is refused before anything is
// sent in it: too small or too large for what was asked, even, composite, or a generator that is
// 1 or p - 1 (a subgroup of order 2 at most).
TEST_F(KexTest, GroupExchangeRefusesWeakGroups) {
    PrivateKey key = load("ed25519-openssh");
    auto prime = [](int bits) {
        BIGNUM* p = BN_new();
        EXPECT_EQ(BN_generate_prime_ex(p, bits, 0, nullptr, nullptr, nullptr), 1);
        return p;
    };
    auto word = [](unsigned long w) {
        BIGNUM* v = BN_new();
        BN_set_word(v, w);
        return v;
    };
    BIGNUM* group14 = BN_get_rfc3526_prime_2048(nullptr);
    BIGNUM* product = BN_new();  // two 1024-bit primes: a 2048-bit odd composite
    BN_CTX* bn = BN_CTX_new();
    BIGNUM* a = prime(1024);
    BIGNUM* b = prime(1024);
    BN_mul(product, a, b, bn);
    BIGNUM* even = BN_dup(group14);
    BN_sub_word(even, 1);
    BIGNUM* minus_one = BN_dup(group14);
    BN_sub_word(minus_one, 1);
    BIGNUM* big = BN_new();  // 8193 bits
    BN_set_bit(big, 8192);
    BN_add_word(big, 1);
    struct Case {
        const char* what;
        BIGNUM* p;
        BIGNUM* g;
        const char* cause;
    } cases[] = {
        {"p = 23", word(23), nullptr, "group of 5 bits is outside the 1024 to 8192 bits"},
        {"a 512-bit prime", prime(512), nullptr, "group of 512 bits"},
        {"8193 bits", big, nullptr, "group of 8193 bits"},
        {"an even modulus", even, nullptr, "not a prime"},
        {"a composite modulus", product, nullptr, "not a prime"},
        {"g = 1", BN_dup(group14), word(1), "generator is outside 2 to p - 2"},
        {"g = p - 1", BN_dup(group14), minus_one, "generator is outside"},
        {"g = p", BN_dup(group14), BN_dup(group14), "generator is outside"},
    };
    KexContext context = make_context("diffie-hellman-group-exchange-sha256", "ssh-ed25519", "gex-weak");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ServerSide server{server_method(context.kex_name), key, "ssh-ed25519", 0, context, c.p};
        server.gex_generator = c.g;
        std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
        std::vector<SshBuffer> to_server, to_client, after;
        ASSERT_EQ(run->start(context, to_server), 0);
        server.handle(to_server[0], to_client);
        ASSERT_EQ(to_client.size(), 1u);
        EXPECT_EQ(run->receive(to_client[0], after), KexStatus::kFailed);
        EXPECT_TRUE(after.empty()) << "nothing is sent in a refused group";
        EXPECT_NE(run->error_text().find(c.cause), std::string::npos) << run->error_text();
        BN_free(c.p);
        BN_free(c.g);
    }
    for (BIGNUM* v : {group14, a, b}) BN_free(v);
    BN_CTX_free(bn);
}

// A host key made here, so that its size can be chosen below what ssh-keygen makes.
PrivateKey rsa_host_key(int bits) {
    EVP_PKEY* made = EVP_RSA_gen(static_cast<unsigned>(bits));
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(out, made, nullptr, nullptr, 0, nullptr, nullptr);
    char* text = nullptr;
    long size = BIO_get_mem_data(out, &text);
    PrivateKey key;
    std::string error;
    EXPECT_EQ(key.load_text(std::string_view(text, static_cast<size_t>(size)), "", error), 0) << error;
    BIO_free(out);
    EVP_PKEY_free(made);
    return key;
}

TEST_F(KexTest, FailuresEndTheExchangeWithTheirCause) {
    PrivateKey ed25519 = load("ed25519-openssh");
    PrivateKey rsa767 = rsa_host_key(767);
    PrivateKey rsa768 = rsa_host_key(768);
    struct Case {
        const char* what;
        const char* kex;
        const PrivateKey* key;
        const char* negotiated;  // the host-key algorithm the transport chose
        bool tamper, bad_public;
        uint32_t server_compat;
        const char* cause;  // null: the exchange succeeds
    } cases[] = {
        {"768-bit RSA host key", "diffie-hellman-group14-sha1", &rsa768, "ssh-rsa", false, false, 0, nullptr},
        {"767-bit RSA host key", "diffie-hellman-group14-sha1", &rsa767, "ssh-rsa", false, false, 0,
         "767 bits"},
        {"tampered signature", "diffie-hellman-group1-sha1", &ed25519, "ssh-ed25519", true, false, 0,
         "signature does not verify"},
        {"tampered RSA signature", "curve25519-sha256", &rsa768, "rsa-sha2-256", true, false, 0,
         "signature does not verify"},
        {"MD5 signature to a peer without the flag", "diffie-hellman-group14-sha1", &rsa768, "ssh-rsa", false,
         false, kRsaSignatureMd5, "signature does not verify"},
        {"host key of another type", "diffie-hellman-group14-sha1", &ed25519, "ssh-rsa", false, false, 0,
         "sent a ssh-ed25519 host key for ssh-rsa"},
        {"f = 1", "diffie-hellman-group14-sha1", &ed25519, "ssh-ed25519", false, true, 0, "value is invalid"},
        {"X25519 zero point", "curve25519-sha256", &ed25519, "ssh-ed25519", false, true, 0,
         "value is invalid"},
        {"P-256 point off the curve", "ecdh-sha2-nistp256", &ed25519, "ssh-ed25519", false, true, 0,
         "value is invalid"},
    };
    int host_number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KexContext context = make_context(c.kex, c.negotiated, "fail" + std::to_string(host_number++));
        std::string signing = c.key == &ed25519 ? "ssh-ed25519" : c.negotiated;
        ServerSide server{server_method(c.kex), *c.key, signing, c.server_compat, context};
        server.tamper_signature = c.tamper;
        server.send_bad_public = c.bad_public;
        std::unique_ptr<KexRun> run = make_ssh_kex_run(c.kex);
        KexStatus status = exchange(*run, context, server);
        if (c.cause == nullptr) {
            EXPECT_EQ(status, KexStatus::kDone) << run->error_text();
        } else {
            EXPECT_EQ(status, KexStatus::kFailed);
            EXPECT_NE(run->error_text().find(c.cause), std::string::npos) << run->error_text();
            EXPECT_EQ(run->failure_kind(), FailureKind::kProtocol);  // the server's fault, every one
            EXPECT_TRUE(run->result().shared_secret.empty());
        }
    }
    // The MD5 form verifies for a peer that has the flag.
    KexContext context = make_context("diffie-hellman-group1-sha1", "ssh-rsa", "md5peer");
    context.compat = kRsaSignatureMd5;
    ServerSide server{server_method(context.kex_name), rsa768, "ssh-rsa", kRsaSignatureMd5, context};
    std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
    EXPECT_EQ(exchange(*run, context, server), KexStatus::kDone) << run->error_text();
}

TEST_F(KexTest, UnexpectedMessageFails) {
    KexContext context = make_context("curve25519-sha256", "ssh-ed25519", "unexpected");
    std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
    std::vector<SshBuffer> send;
    ASSERT_EQ(run->start(context, send), 0);
    SshBuffer stray;
    stray.put_byte(33);
    EXPECT_EQ(run->receive(stray, send), KexStatus::kFailed);
    EXPECT_NE(run->error_text().find("unexpected message 33"), std::string::npos);
}

int refuse_host(void* context, const std::string& host, uint16_t port, const std::string& key_blob,
                std::string&) {
    *static_cast<std::string*>(context) =
        host + ":" + std::to_string(port) + " " + fingerprint_sha256(key_blob);
    return 1;
}

TEST_F(KexTest, TheHostKeyPolicyIsAskedAfterTheSignature) {
    PrivateKey first = load("ed25519-openssh");
    PrivateKey second = load("ed25519-openssh-enc");
    FailureKind kind = FailureKind::kNone;
    auto run_with = [&](const PrivateKey& key, const HostKeyDecision& decision, std::string& error) {
        KexContext context = make_context("curve25519-sha256", "ssh-ed25519", "server.example");
        context.host_key = decision;
        ServerSide server{server_method(context.kex_name), key, "ssh-ed25519", 0, context};
        std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
        KexStatus status = exchange(*run, context, server);
        error = run->error_text();
        kind = run->failure_kind();
        EXPECT_EQ(run->result().shared_secret.empty(), status != KexStatus::kDone);
        return status;
    };
    // Known hosts as the front end uses them: read before, a new host recorded after.
    auto with_known_hosts = [&](const PrivateKey& key, std::string& error) {
        KnownHostsPolicy policy;
        policy.load({"", home_.file("known_hosts")}, nullptr, nullptr);
        KexStatus status = run_with(key, policy.decision(), error);
        policy.record_new_host();
        return status;
    };
    std::string error, asked;
    EXPECT_EQ(with_known_hosts(first, error), KexStatus::kDone) << error;  // first use: recorded
    EXPECT_EQ(with_known_hosts(first, error), KexStatus::kDone) << error;  // known
    EXPECT_EQ(with_known_hosts(second, error), KexStatus::kFailed);        // changed
    EXPECT_NE(error.find("has changed"), std::string::npos) << error;
    EXPECT_EQ(kind, FailureKind::kUser);
    EXPECT_NE(error.find(home_.file("known_hosts") + " line 1"), std::string::npos) << error;
    EXPECT_EQ(run_with(first, {refuse_host, &asked}, error), KexStatus::kFailed);
    EXPECT_EQ(asked, "server.example:22 " + fingerprint_sha256(first.public_blob()));
    EXPECT_NE(error.find("was refused"), std::string::npos) << error;
    EXPECT_EQ(kind, FailureKind::kUser);
    // Without a policy no key is taken.
    EXPECT_EQ(run_with(first, {}, error), KexStatus::kFailed);
    EXPECT_EQ(kind, FailureKind::kUser);
}

// A re-key must show the key the session started with; the policy is not asked again, so a key
// swapped in mid-session is neither accepted nor recorded.
TEST_F(KexTest, AReKeyMustPresentTheFirstHostKey) {
    PrivateKey first = load("ed25519-openssh");
    PrivateKey other = load("rsa-openssh");
    std::string asked;
    for (const PrivateKey* key : {&first, &other}) {
        bool same = key == &first;
        SCOPED_TRACE(same ? "the same key" : "another key");
        const char* algorithm = same ? "ssh-ed25519" : "rsa-sha2-256";
        KexContext context = make_context("curve25519-sha256", algorithm, "server.example");
        context.host_key = {refuse_host, &asked};
        context.accepted_host_key = first.public_blob();
        ServerSide server{server_method(context.kex_name), *key, algorithm, 0, context};
        std::unique_ptr<KexRun> run = make_ssh_kex_run(context.kex_name);
        KexStatus status = exchange(*run, context, server);
        if (same) {
            EXPECT_EQ(status, KexStatus::kDone) << run->error_text();
        } else {
            EXPECT_EQ(status, KexStatus::kFailed);
            EXPECT_EQ(run->failure_kind(), FailureKind::kUser);
            for (const std::string& part :
                 {std::string("another host key"), fingerprint_sha256(other.public_blob()),
                  fingerprint_sha256(first.public_blob())})
                EXPECT_NE(run->error_text().find(part), std::string::npos)
                    << part << " in " << run->error_text();
            EXPECT_TRUE(run->result().shared_secret.empty());
        }
    }
    EXPECT_EQ(asked, "") << "the policy was asked";
}

TEST(KexFactory, TheProgramsPartsKnowEveryProposedMethod) {
    KexFactory factory = ssh_parts().kex;
    ASSERT_NE(factory, nullptr);
    std::string_view names = kKexMethodNames;
    while (!names.empty()) {
        size_t comma = names.find(',');
        std::string_view name = names.substr(0, comma);
        EXPECT_NE(factory(name), nullptr) << name;
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
    EXPECT_EQ(factory("diffie-hellman-group18-sha512"), nullptr);
}

// derive_key against values computed with Python's hashlib for the same K, H and session id.
TEST(DeriveKey, KnownAnswers) {
    KexResult result;
    SshBuffer k;
    std::string magnitude;
    for (int i = 0; i < 32; ++i) magnitude += static_cast<char>(0x90 + i);
    k.put_mpint(magnitude);
    result.shared_secret.assign(k.view());
    result.exchange_hash = test::unhex("00820a295903ed9bc74de0e99ae8565e57167689");
    std::string session_id = test::unhex("fcbdc4c271c889825d8338d2d8f10b6e5e95c171");
    struct Case {
        const char* hash;
        char letter;
        size_t length;
        bool without_secret;
        const char* key;
    } cases[] = {
        {"SHA1", 'A', 16, false, "25edb664187e5953d6d8449315c03293"},
        {"SHA1", 'C', 32, false, "44f51e72a1dc98467973a97f744c4651d7491ecb145e8022d9caed9332a62037"},
        {"SHA1", 'E', 20, true, "40523e6464eec405bfbb8435189f189d81e0a910"},
        {"SHA256", 'D', 64, false,
         "124c129a999c58122f3bf5678a8810965b8ba156d834814bd6afd9f9dd06db1c1de1cc2ff2964b51d223bc2d75d2f89acd5"
         "160e3fd0b"
         "1db935a9a3a83e8b9cd1"},
        {"SHA512", 'F', 24, false, "82c4872e738b93877b28c3d3c446a9b2f8b30a35f0fa94cc"},
    };
    for (const Case& c : cases) {
        result.hash_name = c.hash;
        std::string key;
        ASSERT_EQ(derive_key(result, session_id, c.letter, c.length, c.without_secret, key), 0);
        EXPECT_EQ(test::hex(key), c.key) << c.hash << " " << c.letter;
    }
    // KeysWithoutSecret changes every key.
    result.hash_name = "SHA1";
    std::string with, without;
    ASSERT_EQ(derive_key(result, session_id, 'E', 20, false, with), 0);
    ASSERT_EQ(derive_key(result, session_id, 'E', 20, true, without), 0);
    EXPECT_NE(with, without);
    result.hash_name = "NO-SUCH-DIGEST";
    EXPECT_NE(derive_key(result, session_id, 'A', 16, false, with), 0);
}

}  // namespace
}  // namespace orvane::ssh
