// The key-exchange runs: one class for every method, its family chosen from a table.
#include "client/ssh/kex_methods.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_key.h"
#include "client/ssh/ssh_messages.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

enum class Family : uint8_t { kFixedGroup, kGroupExchange, kX25519, kEcdhP256 };

struct Method {
    const char* name;
    Family family;
    const char* hash;                // OpenSSL's digest name
    BIGNUM* (*prime)(BIGNUM* into);  // fixed groups: the group's prime (generator 2)
};

constexpr Method kMethods[] = {
    {"diffie-hellman-group-exchange-sha1", Family::kGroupExchange, "SHA1", nullptr},
    {"diffie-hellman-group14-sha1", Family::kFixedGroup, "SHA1", BN_get_rfc3526_prime_2048},
    {"diffie-hellman-group1-sha1", Family::kFixedGroup, "SHA1", BN_get_rfc2409_prime_1024},
    {"curve25519-sha256", Family::kX25519, "SHA256", nullptr},
    {"curve25519-sha256@libssh.org", Family::kX25519, "SHA256", nullptr},
    {"diffie-hellman-group14-sha256", Family::kFixedGroup, "SHA256", BN_get_rfc3526_prime_2048},
    {"diffie-hellman-group16-sha512", Family::kFixedGroup, "SHA512", BN_get_rfc3526_prime_4096},
    {"diffie-hellman-group-exchange-sha256", Family::kGroupExchange, "SHA256", nullptr},
    {"ecdh-sha2-nistp256", Family::kEcdhP256, "SHA256", nullptr},
};

constexpr size_t kX25519Size = 32;
constexpr int kMaxKeyPairAttempts = 16;
constexpr size_t kHashInputLimit = 4u << 20;

enum class KexState : uint8_t { kIdle, kGroupRequested, kInitSent, kDone, kFailed, kCount };
constexpr std::array<const char*, 5> kStateNames = {"idle", "group requested", "init sent", "done", "failed"};
static_assert(kStateNames.size() == static_cast<size_t>(KexState::kCount));

struct BnContext {
    BN_CTX* context = BN_CTX_secure_new();
    ~BnContext() { BN_CTX_free(context); }
};

std::string bn_magnitude(const BIGNUM* bn) {
    std::string out(static_cast<size_t>(BN_num_bytes(bn)), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

// 1 < v < p - 1.
bool inside_group(const BIGNUM* v, const BIGNUM* p) {
    if (BN_is_negative(v) || BN_is_zero(v) || BN_is_one(v)) return false;
    BIGNUM* limit = BN_dup(p);
    bool below = limit != nullptr && BN_sub_word(limit, 1) == 1 && BN_cmp(v, limit) < 0;
    BN_free(limit);
    return below;
}

// A Diffie-Hellman public value is usable inside the group with more than one bit set.
bool valid_public_value(const BIGNUM* v, const BIGNUM* p) {
    if (!inside_group(v, p)) return false;
    int set = 0;
    for (int i = 0, n = BN_num_bits(v); i < n && set < 2; ++i) set += BN_is_bit_set(v, i);
    return set > 1;
}

// Probable-prime test of a server's group-exchange modulus: trial division by the small primes,
// then Miller-Rabin with random bases. OpenSSL's BN_check_prime runs 128 rounds above 2048 bits
// (seconds at 4096 bits, most of a minute at 8192, on every connect); a composite a careless
// server might hold fails the first round all but surely, and one built to pass a fixed base
// cannot know our random ones.
constexpr int kPrimeRounds = 4;
constexpr BN_ULONG kSmallPrimeLimit = 2000;

int looks_prime(const BIGNUM* p, BN_CTX* bn) {
    for (BN_ULONG d = 3; d < kSmallPrimeLimit; d += 2) {
        bool odd_prime = true;
        for (BN_ULONG f = 3; f * f <= d && odd_prime; f += 2) odd_prime = d % f != 0;
        if (odd_prime && BN_mod_word(p, d) == 0) return 0;
    }
    BN_CTX_start(bn);
    BIGNUM* p1 = BN_CTX_get(bn);  // p - 1 = d * 2^s
    BIGNUM* d = BN_CTX_get(bn);
    BIGNUM* range = BN_CTX_get(bn);
    BIGNUM* a = BN_CTX_get(bn);
    BIGNUM* x = BN_CTX_get(bn);
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    int result = -1;
    if (x != nullptr && mont != nullptr && BN_MONT_CTX_set(mont, p, bn) == 1 && BN_copy(p1, p) != nullptr &&
        BN_sub_word(p1, 1) == 1 && BN_copy(d, p1) != nullptr && BN_copy(range, p1) != nullptr &&
        BN_sub_word(range, 2) == 1) {
        int s = 0;
        while (!BN_is_odd(d) && BN_rshift1(d, d) == 1) ++s;
        result = 1;
        for (int round = 0; round < kPrimeRounds && result == 1; ++round) {
            // a in 2 .. p - 2
            if (BN_priv_rand_range_ex(a, range, 0, bn) != 1 || BN_add_word(a, 2) != 1 ||
                BN_mod_exp_mont(x, a, d, p, bn, mont) != 1) {
                result = -1;
                break;
            }
            if (BN_is_one(x) || BN_cmp(x, p1) == 0) continue;
            bool witness = true;
            for (int i = 1; i < s && witness; ++i) {
                if (BN_mod_sqr(x, x, p, bn) != 1) {
                    result = -1;
                    break;
                }
                witness = BN_cmp(x, p1) != 0;
            }
            if (result == 1 && witness) result = 0;
        }
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_end(bn);
    return result;
}

class MethodRun : public KexRun {
  public:
    explicit MethodRun(const Method& method) : method_(method) {}
    ~MethodRun() override {
        BN_free(p_);
        BN_free(g_);
        BN_clear_free(x_);
        BN_free(e_);
    }

    int start(const KexContext& context, std::vector<SshBuffer>& send) override;
    KexStatus receive(SshBuffer& payload, std::vector<SshBuffer>& send) override;
    const KexResult& result() const override { return result_; }
    const std::string& error_text() const override { return error_; }
    FailureKind failure_kind() const override { return kind_; }

  private:
    void set_state(KexState state) { state_ = state; }
    KexStatus fail(std::string text, FailureKind kind = FailureKind::kProtocol);
    // A host key turned down (known hosts, the decision hook): the text is for the user as it is.
    KexStatus refuse(std::string text);
    int make_dh_pair(std::vector<SshBuffer>& send, uint8_t number);
    int make_ecdh_pair(std::vector<SshBuffer>& send);
    KexStatus on_group(SshBuffer& payload, std::vector<SshBuffer>& send);
    KexStatus on_dh_reply(SshBuffer& payload);
    KexStatus on_ecdh_reply(SshBuffer& payload);
    KexStatus finish(std::string_view host_key, const SshBuffer& exchange_values, std::string_view secret,
                     std::string_view signature);

    const Method& method_;
    KexContext context_;
    KexResult result_;
    std::string error_;
    FailureKind kind_ = FailureKind::kNone;
    KexState state_ = KexState::kIdle;
    // Finite-field groups: the group, the private exponent and our public value.
    BIGNUM* p_ = nullptr;
    BIGNUM* g_ = nullptr;
    BIGNUM* x_ = nullptr;
    BIGNUM* e_ = nullptr;
    uint32_t preferred_bits_ = 0;  // group exchange: the n we asked for
    // Elliptic curves: our key pair and its public value as sent.
    EvpKey ecdh_key_;
    std::string client_public_;
};

KexStatus MethodRun::fail(std::string text, FailureKind kind) {
    kind_ = kind;
    error_ = format("%s (%s, %s)", text.c_str(), method_.name, kStateNames[static_cast<size_t>(state_)]);
    set_state(KexState::kFailed);
    return KexStatus::kFailed;
}

KexStatus MethodRun::refuse(std::string text) {
    kind_ = FailureKind::kUser;
    error_ = std::move(text);
    set_state(KexState::kFailed);
    return KexStatus::kFailed;
}

int MethodRun::start(const KexContext& context, std::vector<SshBuffer>& send) {
    if (state_ != KexState::kIdle) {
        fail("the key exchange was started twice", FailureKind::kLocal);
        return 1;
    }
    context_ = context;
    result_.hash_name = method_.hash;
    if (method_.family == Family::kFixedGroup) {
        p_ = method_.prime(nullptr);
        g_ = BN_new();
        if (p_ == nullptr || g_ == nullptr || BN_set_word(g_, 2) != 1) {
            fail("out of memory", FailureKind::kLocal);
            return 1;
        }
        return make_dh_pair(send, msg::kKexdhInit);
    }
    if (method_.family == Family::kGroupExchange) {
        preferred_bits_ = group_exchange_size(context_.need);
        SshBuffer request;
        if ((context_.compat & kOldGroupExchange) != 0) {
            request.put_byte(msg::kKexdhInit);
            request.put_u32(preferred_bits_);
        } else {
            request.put_byte(msg::kGexRequest);
            request.put_u32(kGroupExchangeMin);
            request.put_u32(preferred_bits_);
            request.put_u32(kGroupExchangeMax);
        }
        send.push_back(std::move(request));
        set_state(KexState::kGroupRequested);
        return 0;
    }
    return make_ecdh_pair(send);
}

// x of 2 x max(need, 32 bytes) bits (at most |p| - 1), e = g^x mod p, until e is usable.
int MethodRun::make_dh_pair(std::vector<SshBuffer>& send, uint8_t number) {
    BnContext bn;
    int p_bits = BN_num_bits(p_);
    int x_bits = static_cast<int>(std::max<size_t>(context_.need, 32) * 8 * 2);
    x_bits = std::min(x_bits, p_bits - 1);
    x_ = BN_secure_new();
    e_ = BN_new();
    if (bn.context == nullptr || x_ == nullptr || e_ == nullptr || x_bits < 2) {
        fail("cannot make a Diffie-Hellman key pair", FailureKind::kLocal);
        return 1;
    }
    BN_set_flags(x_, BN_FLG_CONSTTIME);
    for (int attempt = 0; attempt < kMaxKeyPairAttempts; ++attempt) {
        if (BN_priv_rand_ex(x_, x_bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY, 0, bn.context) != 1 ||
            BN_mod_exp(e_, g_, x_, p_, bn.context) != 1)
            break;
        if (valid_public_value(e_, p_)) {
            SshBuffer init;
            init.put_byte(number);
            init.put_mpint(bn_magnitude(e_));
            send.push_back(std::move(init));
            set_state(KexState::kInitSent);
            return 0;
        }
    }
    fail("cannot make a Diffie-Hellman key pair: " + openssl_cause(), FailureKind::kLocal);
    return 1;
}

int MethodRun::make_ecdh_pair(std::vector<SshBuffer>& send) {
    if (method_.family == Family::kX25519) {
        ecdh_key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
        unsigned char raw[kX25519Size];
        size_t size = sizeof raw;
        if (ecdh_key_.get() != nullptr && EVP_PKEY_get_raw_public_key(ecdh_key_.get(), raw, &size) == 1 &&
            size == kX25519Size)
            client_public_.assign(reinterpret_cast<char*>(raw), size);
    } else {
        ecdh_key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
        unsigned char point[65];
        size_t size = 0;
        if (ecdh_key_.get() != nullptr &&
            EVP_PKEY_get_octet_string_param(ecdh_key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                            sizeof point, &size) == 1)
            client_public_.assign(reinterpret_cast<char*>(point), size);
    }
    if (client_public_.empty()) {
        fail("cannot make an ECDH key pair: " + openssl_cause(), FailureKind::kLocal);
        return 1;
    }
    SshBuffer init;
    init.put_byte(msg::kKexdhInit);
    init.put_string(client_public_);
    send.push_back(std::move(init));
    set_state(KexState::kInitSent);
    return 0;
}

KexStatus MethodRun::receive(SshBuffer& payload, std::vector<SshBuffer>& send) {
    uint8_t number = payload.get_byte();
    if (state_ == KexState::kGroupRequested && number == msg::kKexdhReply) return on_group(payload, send);
    if (state_ == KexState::kInitSent) {
        if (method_.family == Family::kGroupExchange && number == msg::kGexReply) return on_dh_reply(payload);
        if (method_.family == Family::kFixedGroup && number == msg::kKexdhReply) return on_dh_reply(payload);
        if ((method_.family == Family::kX25519 || method_.family == Family::kEcdhP256) &&
            number == msg::kKexdhReply)
            return on_ecdh_reply(payload);
    }
    if (state_ == KexState::kFailed) return KexStatus::kFailed;
    return fail(format("unexpected message %u", static_cast<unsigned>(number)));
}

// The group of a group exchange. A server that picks a small, composite or even modulus, or a
// generator that leaves e in a tiny subgroup, would let a listener solve the exchange and read
// the password that follows: only a group inside the bounds we asked for, with a modulus that
// passes a primality test and 1 < g < p - 1, is used.
KexStatus MethodRun::on_group(SshBuffer& payload, std::vector<SshBuffer>& send) {
    std::string_view p = payload.get_mpint();
    p_ = BN_bin2bn(reinterpret_cast<const unsigned char*>(p.data()), static_cast<int>(p.size()), nullptr);
    std::string_view g = payload.get_mpint();
    g_ = BN_bin2bn(reinterpret_cast<const unsigned char*>(g.data()), static_cast<int>(g.size()), nullptr);
    if (!payload.ok() || !payload.empty() || p_ == nullptr || g_ == nullptr)
        return fail("malformed group message");
    int bits = BN_num_bits(p_);
    if (bits < static_cast<int>(kGroupExchangeMin) || bits > static_cast<int>(kGroupExchangeMax))
        return fail(format("the server's group of %d bits is outside the %u to %u bits asked for", bits,
                           kGroupExchangeMin, kGroupExchangeMax));
    BnContext bn;
    if (bn.context == nullptr) return fail("out of memory", FailureKind::kLocal);
    int prime = BN_is_odd(p_) ? looks_prime(p_, bn.context) : 0;
    if (prime < 0) return fail("cannot test the server's group: " + openssl_cause(), FailureKind::kLocal);
    if (prime == 0) return fail(format("the server's group modulus of %d bits is not a prime", bits));
    if (!inside_group(g_, p_)) return fail("the server's group generator is outside 2 to p - 2");
    return make_dh_pair(send, msg::kGexInit) == 0 ? KexStatus::kContinue : KexStatus::kFailed;
}

KexStatus MethodRun::on_dh_reply(SshBuffer& payload) {
    std::string host_key(payload.get_string());
    std::string_view f_bytes = payload.get_mpint();
    BIGNUM* f = BN_bin2bn(reinterpret_cast<const unsigned char*>(f_bytes.data()),
                          static_cast<int>(f_bytes.size()), nullptr);
    std::string signature(payload.get_string());
    if (!payload.ok() || !payload.empty() || f == nullptr) {
        BN_free(f);
        return fail("malformed reply");
    }
    if (!valid_public_value(f, p_)) {
        BN_free(f);
        return fail("the server's Diffie-Hellman value is invalid");
    }
    BnContext bn;
    BIGNUM* k = BN_secure_new();
    std::string secret;
    if (bn.context != nullptr && k != nullptr && BN_mod_exp(k, f, x_, p_, bn.context) == 1)
        secret = bn_magnitude(k);
    BN_clear_free(k);
    BN_clear_free(x_);
    x_ = nullptr;
    if (secret.empty()) {
        BN_free(f);
        return fail("cannot compute the shared secret: " + openssl_cause(), FailureKind::kLocal);
    }
    SshBuffer values(kHashInputLimit);
    if (method_.family == Family::kGroupExchange) {
        if ((context_.compat & kOldGroupExchange) != 0) {
            values.put_u32(preferred_bits_);
        } else {
            values.put_u32(kGroupExchangeMin);
            values.put_u32(preferred_bits_);
            values.put_u32(kGroupExchangeMax);
        }
        values.put_mpint(bn_magnitude(p_));
        values.put_mpint(bn_magnitude(g_));
    }
    values.put_mpint(bn_magnitude(e_));
    values.put_mpint(bn_magnitude(f));
    BN_free(f);
    KexStatus status = finish(host_key, values, secret, signature);
    wipe_secret(secret);
    return status;
}

KexStatus MethodRun::on_ecdh_reply(SshBuffer& payload) {
    std::string host_key(payload.get_string());
    std::string server_public(payload.get_string(256));
    std::string signature(payload.get_string());
    if (!payload.ok() || !payload.empty()) return fail("malformed reply");
    EvpKey peer;
    if (method_.family == Family::kX25519) {
        if (server_public.size() == kX25519Size)
            peer.reset(EVP_PKEY_new_raw_public_key(
                EVP_PKEY_X25519, nullptr, reinterpret_cast<const unsigned char*>(server_public.data()),
                server_public.size()));
    } else {
        peer.reset(p256_public_key(server_public));
    }
    if (peer.get() == nullptr) {
        openssl_cause();
        return fail("the server's ECDH value is invalid");
    }
    std::string secret;
    EVP_PKEY_CTX* derive = EVP_PKEY_CTX_new_from_pkey(nullptr, ecdh_key_.get(), nullptr);
    size_t size = 0;
    if (derive != nullptr && EVP_PKEY_derive_init(derive) == 1 &&
        EVP_PKEY_derive_set_peer(derive, peer.get()) == 1 && EVP_PKEY_derive(derive, nullptr, &size) == 1) {
        secret.assign(size, '\0');
        if (EVP_PKEY_derive(derive, reinterpret_cast<unsigned char*>(secret.data()), &size) == 1)
            secret.resize(size);
        else
            wipe_secret(secret);
    }
    EVP_PKEY_CTX_free(derive);
    ecdh_key_.reset();
    // An all-zero X25519 result means the server sent a point of small order.
    bool zero = true;
    for (char c : secret) zero = zero && c == 0;
    if (secret.empty() || zero) {
        wipe_secret(secret);
        openssl_cause();
        return fail("the server's ECDH value is invalid");
    }
    SshBuffer values(kHashInputLimit);
    values.put_string(client_public_);
    values.put_string(server_public);
    KexStatus status = finish(host_key, values, secret, signature);
    wipe_secret(secret);
    return status;
}

// H over the exchange, the host key's signature over it, then known hosts and the decision hook.
KexStatus MethodRun::finish(std::string_view host_key, const SshBuffer& exchange_values,
                            std::string_view secret, std::string_view signature) {
    PublicKey key;
    std::string cause;
    if (parse_public_key(host_key, key, cause) != 0)
        return fail("the server's host key is unusable: " + cause);
    KeyKind expected = key_kind_of_algorithm(context_.host_key_name);
    if (key.kind != expected)
        return fail(
            format("the server sent a %s host key for %s", key_type_name(key.kind),
                   expected == KeyKind::kNone ? "an unknown algorithm" : context_.host_key_name.c_str()));
    SshBuffer mpint_secret(kHashInputLimit);
    mpint_secret.put_mpint(secret);
    SshBuffer input(kHashInputLimit);
    input.put_string(context_.client_version);
    input.put_string(context_.server_version);
    for (const std::string* kexinit : {&context_.client_kexinit, &context_.server_kexinit}) {
        input.put_u32(static_cast<uint32_t>(kexinit->size() + 1));
        input.put_byte(msg::kKexInit);
        input.put_bytes(*kexinit);
    }
    input.put_string(host_key);
    input.put_bytes(exchange_values.view());
    input.put_bytes(mpint_secret.view());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD* md = EVP_MD_fetch(nullptr, method_.hash, nullptr);
    bool hashed = md != nullptr && input.ok() && mpint_secret.ok() &&
                  EVP_Digest(input.data(), input.size(), digest, &size, md, nullptr) == 1;
    EVP_MD_free(md);
    if (!hashed) return fail("cannot compute the exchange hash", FailureKind::kLocal);
    result_.exchange_hash.assign(reinterpret_cast<char*>(digest), size);
    OPENSSL_cleanse(digest, sizeof digest);
    if (verify_signature(key, context_.host_key_name, signature, result_.exchange_hash, context_.compat,
                         cause) != 0)
        return fail("the server's host key signature is wrong: " + cause);
    result_.host_key_blob.assign(host_key);
    result_.host_key_type = key_type_name(key.kind);
    result_.fingerprint = fingerprint_sha256(host_key);
    if (!context_.accepted_host_key.empty()) {
        if (host_key != context_.accepted_host_key)
            return refuse(
                format("The server presented another host key in a new key exchange: %s %s instead "
                       "of %s, accepted at the start of the session",
                       result_.host_key_type.c_str(), result_.fingerprint.c_str(),
                       fingerprint_sha256(context_.accepted_host_key).c_str()));
        result_.shared_secret.assign(mpint_secret.view());
        set_state(KexState::kDone);
        return KexStatus::kDone;
    }
    if (context_.host.empty()) return fail("no host name to check the host key against", FailureKind::kUser);
    std::string refusal;
    if (context_.host_key.function == nullptr ||
        context_.host_key.function(context_.host_key.context, context_.host, context_.port,
                                   result_.host_key_blob, refusal) != 0) {
        if (refusal.empty())
            refusal = format("The host key of %s (%s %s) was refused", context_.host.c_str(),
                             result_.host_key_type.c_str(), result_.fingerprint.c_str());
        return refuse(refusal);
    }
    result_.shared_secret.assign(mpint_secret.view());  // only for a key that was accepted
    set_state(KexState::kDone);
    return KexStatus::kDone;
}

}  // namespace

uint32_t group_exchange_size(size_t need) {
    size_t bits = need * 8;
    if (bits <= 128) return 1024;
    if (bits <= 192) return 2048;
    return 4096;
}

std::unique_ptr<KexRun> make_ssh_kex_run(std::string_view kex_name) {
    for (const Method& method : kMethods)
        if (kex_name == method.name) return std::make_unique<MethodRun>(method);
    return nullptr;
}

}  // namespace orvane::ssh
