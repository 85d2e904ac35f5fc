// SSH key blobs and signature blobs over OpenSSL EVP keys.
#include "client/ssh/ssh_key.h"

#include "common/base64.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/dsa.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/param_build.h>

#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_compat.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

struct Algorithm {
    const char* name;
    KeyKind kind;
    const char* digest;  // null: the scheme hashes by itself (Ed25519)
};

constexpr Algorithm kAlgorithms[] = {
    {"ssh-rsa", KeyKind::kRsa, "SHA1"},          {"rsa-sha2-256", KeyKind::kRsa, "SHA256"},
    {"rsa-sha2-512", KeyKind::kRsa, "SHA512"},   {"ssh-dss", KeyKind::kDss, "SHA1"},
    {"ssh-ed25519", KeyKind::kEd25519, nullptr}, {"ecdsa-sha2-nistp256", KeyKind::kEcdsaP256, "SHA256"},
};

const Algorithm* find_algorithm(std::string_view name) {
    for (const Algorithm& a : kAlgorithms)
        if (name == a.name) return &a;
    return nullptr;
}

constexpr size_t kDssHalf = 20;
constexpr size_t kEd25519Size = 32;
constexpr size_t kEd25519SignatureSize = 64;
constexpr size_t kP256PointSize = 65;  // uncompressed: 0x04, x, y

struct Bn {
    BIGNUM* bn = nullptr;
    ~Bn() { BN_clear_free(bn); }
};

BIGNUM* bn_from(std::string_view magnitude) {
    return BN_bin2bn(reinterpret_cast<const unsigned char*>(magnitude.data()),
                     static_cast<int>(magnitude.size()), nullptr);
}

std::string bn_bytes(const BIGNUM* bn, size_t width = 0) {
    size_t n = static_cast<size_t>(BN_num_bytes(bn));
    std::string out(std::max(n, width), '\0');
    if (BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(out.size())) < 0)
        return {};
    return out;
}

EVP_PKEY* bn_key(const char* type, std::initializer_list<std::pair<const char*, std::string_view>> fields) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    if (build == nullptr) return nullptr;
    std::vector<BIGNUM*> numbers;
    bool ok = true;
    for (const auto& [name, magnitude] : fields) {
        BIGNUM* bn = bn_from(magnitude);
        if (bn == nullptr) {
            ok = false;
            break;
        }
        numbers.push_back(bn);
        ok = OSSL_PARAM_BLD_push_BN(build, name, bn) == 1;
        if (!ok) break;
    }
    EVP_PKEY* key = ok ? key_from_params(type, build, EVP_PKEY_PUBLIC_KEY) : nullptr;
    OSSL_PARAM_BLD_free(build);
    for (BIGNUM* bn : numbers) BN_free(bn);
    return key;
}

}  // namespace

EVP_PKEY* key_from_params(const char* type, OSSL_PARAM_BLD* build, int selection) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (params != nullptr && context != nullptr && EVP_PKEY_fromdata_init(context) == 1)
        EVP_PKEY_fromdata(context, &key, selection, params);
    EVP_PKEY_CTX_free(context);
    for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p)
        OPENSSL_cleanse(p->data, p->data_size);
    OSSL_PARAM_free(params);
    return key;
}

EVP_PKEY* p256_public_key(std::string_view point) {
    if (point.size() != kP256PointSize || point[0] != 4) return nullptr;
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    if (build == nullptr) return nullptr;
    EVP_PKEY* key = nullptr;
    if (OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
        OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) == 1)
        key = key_from_params("EC", build, EVP_PKEY_PUBLIC_KEY);
    OSSL_PARAM_BLD_free(build);
    return key;
}

namespace {

std::string bn_param(EVP_PKEY* key, const char* name) {
    Bn value;
    if (EVP_PKEY_get_bn_param(key, name, &value.bn) != 1) return {};
    return bn_bytes(value.bn);
}

int digest_sign(EVP_PKEY* key, const char* digest, std::string_view data, std::string& out) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t size = 0;
    int status = 1;
    if (context != nullptr &&
        EVP_DigestSignInit_ex(context, nullptr, digest, nullptr, nullptr, key, nullptr) == 1 &&
        EVP_DigestSign(context, nullptr, &size, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1) {
        out.assign(size, '\0');
        if (EVP_DigestSign(context, reinterpret_cast<unsigned char*>(out.data()), &size,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1) {
            out.resize(size);
            status = 0;
        }
    }
    EVP_MD_CTX_free(context);
    return status;
}

int digest_verify(EVP_PKEY* key, const char* digest, std::string_view signature, std::string_view data) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    int status = 1;
    if (context != nullptr &&
        EVP_DigestVerifyInit_ex(context, nullptr, digest, nullptr, nullptr, key, nullptr) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1)
        status = 0;
    EVP_MD_CTX_free(context);
    return status;
}

// DER signature of DSA or ECDSA from (r, s) magnitudes, and back.
std::string der_signature(KeyKind kind, std::string_view r_bytes, std::string_view s_bytes) {
    BIGNUM* r = bn_from(r_bytes);
    BIGNUM* s = bn_from(s_bytes);
    std::string der;
    unsigned char* out = nullptr;
    int n = -1;
    if (r != nullptr && s != nullptr && kind == KeyKind::kDss) {
        DSA_SIG* sig = DSA_SIG_new();
        if (sig != nullptr && DSA_SIG_set0(sig, r, s) == 1) {
            r = s = nullptr;
            n = i2d_DSA_SIG(sig, &out);
        }
        DSA_SIG_free(sig);
    } else if (r != nullptr && s != nullptr) {
        ECDSA_SIG* sig = ECDSA_SIG_new();
        if (sig != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
            r = s = nullptr;
            n = i2d_ECDSA_SIG(sig, &out);
        }
        ECDSA_SIG_free(sig);
    }
    BN_free(r);
    BN_free(s);
    if (n > 0) der.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return der;
}

int split_der_signature(KeyKind kind, const std::string& der, std::string& r, std::string& s, size_t width) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    const BIGNUM* rn = nullptr;
    const BIGNUM* sn = nullptr;
    int status = 1;
    if (kind == KeyKind::kDss) {
        DSA_SIG* sig = d2i_DSA_SIG(nullptr, &p, static_cast<long>(der.size()));
        if (sig != nullptr) {
            DSA_SIG_get0(sig, &rn, &sn);
            if (width == 0 || (BN_num_bytes(rn) <= static_cast<int>(width) &&
                               BN_num_bytes(sn) <= static_cast<int>(width))) {
                r = bn_bytes(rn, width);
                s = bn_bytes(sn, width);
                status = 0;
            }
        }
        DSA_SIG_free(sig);
    } else {
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
        if (sig != nullptr) {
            ECDSA_SIG_get0(sig, &rn, &sn);
            r = bn_bytes(rn);
            s = bn_bytes(sn);
            status = 0;
        }
        ECDSA_SIG_free(sig);
    }
    return status;
}

}  // namespace

const char* key_type_name(KeyKind kind) {
    switch (kind) {
        case KeyKind::kRsa:
            return "ssh-rsa";
        case KeyKind::kDss:
            return "ssh-dss";
        case KeyKind::kEd25519:
            return "ssh-ed25519";
        case KeyKind::kEcdsaP256:
            return "ecdsa-sha2-nistp256";
        case KeyKind::kNone:
            break;
    }
    return "";
}

KeyKind key_kind_of_type(std::string_view type) {
    for (KeyKind kind : {KeyKind::kRsa, KeyKind::kDss, KeyKind::kEd25519, KeyKind::kEcdsaP256})
        if (type == key_type_name(kind)) return kind;
    return KeyKind::kNone;
}

KeyKind key_kind_of_algorithm(std::string_view algorithm) {
    const Algorithm* a = find_algorithm(algorithm);
    return a != nullptr ? a->kind : KeyKind::kNone;
}

EvpKey& EvpKey::operator=(EvpKey&& other) noexcept {
    if (this != &other) {
        reset(other.key_);
        other.key_ = nullptr;
    }
    return *this;
}

void EvpKey::reset(EVP_PKEY* key) {
    EVP_PKEY_free(key_);
    key_ = key;
}

int parse_public_key(std::string_view blob, PublicKey& out, std::string& error) {
    out = PublicKey{};
    SshBuffer in(blob);
    std::string type(in.get_string(64));
    KeyKind kind = key_kind_of_type(type);
    EVP_PKEY* key = nullptr;
    if (kind == KeyKind::kRsa) {
        std::string e(in.get_mpint());
        std::string n(in.get_mpint());
        if (in.ok() && in.empty())
            key = bn_key("RSA", {{OSSL_PKEY_PARAM_RSA_N, n}, {OSSL_PKEY_PARAM_RSA_E, e}});
    } else if (kind == KeyKind::kDss) {
        std::string p(in.get_mpint());
        std::string q(in.get_mpint());
        std::string g(in.get_mpint());
        std::string y(in.get_mpint());
        if (in.ok() && in.empty())
            key = bn_key("DSA", {{OSSL_PKEY_PARAM_FFC_P, p},
                                 {OSSL_PKEY_PARAM_FFC_Q, q},
                                 {OSSL_PKEY_PARAM_FFC_G, g},
                                 {OSSL_PKEY_PARAM_PUB_KEY, y}});
    } else if (kind == KeyKind::kEd25519) {
        std::string_view raw = in.get_string(kEd25519Size);
        if (in.ok() && in.empty() && raw.size() == kEd25519Size)
            key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                              reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    } else if (kind == KeyKind::kEcdsaP256) {
        std::string curve(in.get_string(16));
        std::string point(in.get_string(kP256PointSize));
        if (in.ok() && in.empty() && curve == "nistp256" && point.size() == kP256PointSize && point[0] == 4)
            key = p256_public_key(point);
    } else {
        error = "unsupported host key type";
        return 1;
    }
    if (key == nullptr) {
        error = format("malformed %s key", key_type_name(kind));
        ERR_clear_error();
        return 1;
    }
    out.key.reset(key);
    out.kind = kind;
    out.bits = EVP_PKEY_get_bits(key);
    out.blob.assign(blob);
    if ((kind == KeyKind::kRsa || kind == KeyKind::kDss) && out.bits > kMaxModulusBits) {
        error = format("%s key of %d bits is too large", key_type_name(kind), out.bits);
        return 1;
    }
    if (kind == KeyKind::kRsa && out.bits < kMinRsaBits) {
        error = format("RSA key of %d bits is too small (at least %d bits)", out.bits, kMinRsaBits);
        return 1;
    }
    return 0;
}

int public_key_blob(EVP_PKEY* key, KeyKind kind, std::string& blob) {
    SshBuffer out;
    out.put_string(key_type_name(kind));
    if (kind == KeyKind::kRsa) {
        std::string e = bn_param(key, OSSL_PKEY_PARAM_RSA_E);
        std::string n = bn_param(key, OSSL_PKEY_PARAM_RSA_N);
        if (e.empty() || n.empty()) return 1;
        out.put_mpint(e);
        out.put_mpint(n);
    } else if (kind == KeyKind::kDss) {
        for (const char* name :
             {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_Q, OSSL_PKEY_PARAM_FFC_G, OSSL_PKEY_PARAM_PUB_KEY}) {
            std::string value = bn_param(key, name);
            if (value.empty()) return 1;
            out.put_mpint(value);
        }
    } else if (kind == KeyKind::kEd25519) {
        unsigned char raw[kEd25519Size];
        size_t size = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key, raw, &size) != 1 || size != kEd25519Size) return 1;
        out.put_string(std::string_view(reinterpret_cast<char*>(raw), size));
    } else if (kind == KeyKind::kEcdsaP256) {
        unsigned char point[kP256PointSize];
        size_t size = 0;
        if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                            &size) != 1 ||
            size != kP256PointSize)
            return 1;
        out.put_string("nistp256");
        out.put_string(std::string_view(reinterpret_cast<char*>(point), size));
    } else {
        return 1;
    }
    if (!out.ok()) return 1;
    blob.assign(out.view());
    return 0;
}

int verify_signature(const PublicKey& key, std::string_view algorithm, std::string_view signature,
                     std::string_view data, uint32_t compat, std::string& error) {
    const Algorithm* scheme = find_algorithm(algorithm);
    if (scheme == nullptr || scheme->kind != key.kind || key.key.get() == nullptr) {
        error = format("a %s key cannot make %.*s signatures", key_type_name(key.kind),
                       static_cast<int>(std::min<size_t>(algorithm.size(), 64)), algorithm.data());
        return 1;
    }
    SshBuffer in(signature);
    std::string value;
    if (key.kind == KeyKind::kDss && (compat & kRawDssSignature) != 0) {
        value.assign(signature);
        in.consume(in.size());
    } else {
        std::string_view name = in.get_string(64);
        value.assign(in.get_string());
        if (!in.ok() || !in.empty() || name != scheme->name) {
            error = format("malformed %s signature", scheme->name);
            return 1;
        }
    }
    const char* digest = scheme->digest;
    std::string der;
    switch (key.kind) {
        case KeyKind::kRsa: {
            size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key.key.get()));
            if (value.size() > modulus || value.empty()) {
                error = "RSA signature longer than the key's modulus";
                return 1;
            }
            value.insert(0, modulus - value.size(), '\0');  // a short value is left-padded
            if ((compat & kRsaSignatureMd5) != 0 && algorithm == "ssh-rsa") digest = "MD5";
            break;
        }
        case KeyKind::kDss:
            if (value.size() != 2 * kDssHalf) {
                error = "DSA signature is not 40 bytes";
                return 1;
            }
            value = der_signature(KeyKind::kDss, std::string_view(value).substr(0, kDssHalf),
                                  std::string_view(value).substr(kDssHalf));
            break;
        case KeyKind::kEd25519:
            if (value.size() != kEd25519SignatureSize) {
                error = "Ed25519 signature is not 64 bytes";
                return 1;
            }
            break;
        case KeyKind::kEcdsaP256: {
            SshBuffer pair(value);
            std::string r(pair.get_mpint());
            std::string s(pair.get_mpint());
            if (!pair.ok() || !pair.empty()) {
                error = "malformed ECDSA signature";
                return 1;
            }
            value = der_signature(KeyKind::kEcdsaP256, r, s);
            break;
        }
        case KeyKind::kNone:
            return 1;
    }
    if (value.empty() || digest_verify(key.key.get(), digest, value, data) != 0) {
        ERR_clear_error();
        error = format("the %s signature does not verify", scheme->name);
        return 1;
    }
    return 0;
}

int make_signature(EVP_PKEY* key, KeyKind kind, std::string_view algorithm, std::string_view data,
                   uint32_t compat, std::string& signature, std::string& error) {
    const Algorithm* scheme = find_algorithm(algorithm);
    if (scheme == nullptr || scheme->kind != kind || key == nullptr) {
        error = format("a %s key cannot make %.*s signatures", key_type_name(kind),
                       static_cast<int>(std::min<size_t>(algorithm.size(), 64)), algorithm.data());
        return 1;
    }
    const char* digest = scheme->digest;
    if (kind == KeyKind::kRsa && (compat & kRsaSignatureMd5) != 0 && algorithm == "ssh-rsa") digest = "MD5";
    std::string raw;
    if (digest_sign(key, digest, data, raw) != 0) {
        error = "signing failed: " + openssl_cause();
        return 1;
    }
    std::string value;
    if (kind == KeyKind::kRsa) {
        size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key));
        if (raw.size() > modulus) {
            wipe_secret(raw);
            error = "RSA signature longer than the key's modulus";
            return 1;
        }
        value.assign(modulus - raw.size(), '\0');
        value += raw;
    } else if (kind == KeyKind::kDss || kind == KeyKind::kEcdsaP256) {
        std::string r, s;
        if (split_der_signature(kind, raw, r, s, kind == KeyKind::kDss ? kDssHalf : 0) != 0) {
            wipe_secret(raw);
            error = "signature values do not fit";
            return 1;
        }
        if (kind == KeyKind::kDss) {
            value = r + s;
        } else {
            SshBuffer pair;
            pair.put_mpint(r);
            pair.put_mpint(s);
            value.assign(pair.view());
        }
    } else {
        value = raw;
    }
    wipe_secret(raw);
    if (kind == KeyKind::kDss && (compat & kRawDssSignature) != 0) {
        signature = value;
    } else {
        SshBuffer out;
        out.put_string(scheme->name);
        out.put_string(value);
        signature.assign(out.view());
    }
    wipe_secret(value);
    return 0;
}

std::string fingerprint_sha256(std::string_view blob) {
    unsigned char digest[32];
    unsigned int size = 0;
    if (EVP_Digest(blob.data(), blob.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
    std::string text = base64_encode(std::string_view(reinterpret_cast<char*>(digest), size));
    while (!text.empty() && text.back() == '=') text.pop_back();  // OpenSSH shows it unpadded
    return "SHA256:" + text;
}

std::string openssl_cause() {
    unsigned long code = ERR_peek_last_error();
    std::string cause;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        cause = reason != nullptr ? reason : format("OpenSSL error %lx", code);
    }
    ERR_clear_error();
    return cause;
}

}  // namespace orvane::ssh
