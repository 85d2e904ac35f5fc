// Certificates made in memory and a TLS server driven through memory BIOs, for the channel tests.
#include "tests/client/transfer/tls/tls_test_peer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

#include "client/transfer/tls/tls_channel.h"

namespace orvane::test {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

struct BioCloser {
    void operator()(BIO* b) const { BIO_free(b); }
};
using FileBio = std::unique_ptr<BIO, BioCloser>;

FileBio open_out(const std::string& path) {
    FileBio bio(BIO_new_file(path.c_str(), "wb"));
    check(bio != nullptr, "open for writing");
    return bio;
}

}  // namespace

Identity make_identity(const std::string& cn, const Identity* issuer, bool ca) {
    static long serial = 1;
    Identity id;
    id.key.reset(EVP_EC_gen("P-256"));
    check(id.key != nullptr, "key");
    id.cert.reset(X509_new());
    X509* x = id.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 30);
    X509_set_pubkey(x, id.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()),
                               -1, -1, 0);
    X509* issuer_cert = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuer_cert));
    add_extension(x, issuer_cert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) add_extension(x, issuer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    check(X509_sign(x, issuer ? issuer->key.get() : id.key.get(), EVP_sha256()) > 0, "sign");
    return id;
}

void write_cert_pem(const std::string& path, const std::vector<X509*>& certs) {
    FileBio bio = open_out(path);
    for (X509* c : certs) check(PEM_write_bio_X509(bio.get(), c) == 1, "write certificate");
}

void write_key_pem(const std::string& path, EVP_PKEY* key, const std::string& password) {
    FileBio bio = open_out(path);
    const EVP_CIPHER* cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    check(PEM_write_bio_PrivateKey(bio.get(), key, cipher,
                                   reinterpret_cast<const unsigned char*>(password.data()),
                                   static_cast<int>(password.size()), nullptr, nullptr) == 1,
          "write key");
}

void write_pkcs12(const std::string& path, const Identity& id, const std::vector<X509*>& ca,
                  const std::string& password, bool legacy) {
    STACK_OF(X509)* stack = sk_X509_new_null();
    for (X509* c : ca) sk_X509_push(stack, c);
    int key_nid = legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
    int cert_nid = legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : 0;
    PKCS12* p12 = PKCS12_create(password.empty() ? nullptr : password.c_str(), "client", id.key.get(),
                                id.cert.get(), stack, key_nid, cert_nid, 0, 0, 0);
    sk_X509_free(stack);
    check(p12 != nullptr, "PKCS12_create");
    FileBio bio = open_out(path);
    int ok = i2d_PKCS12_bio(bio.get(), p12);
    PKCS12_free(p12);
    check(ok == 1, "write PKCS#12");
}

MemoryServer::MemoryServer(const ServerOptions& options) {
    identity_ = make_identity("127.0.0.1", nullptr, false);
    ctx_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* c = ctx_.get();
    check(c != nullptr, "server context");
    check(SSL_CTX_use_certificate(c, identity_.cert.get()) == 1, "server certificate");
    check(SSL_CTX_use_PrivateKey(c, identity_.key.get()) == 1, "server key");
    if (options.max_version) SSL_CTX_set_max_proto_version(c, options.max_version);
    static const unsigned char kSessionContext[] = "orvane-test";
    SSL_CTX_set_session_id_context(c, kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_SERVER);
    if (options.require_client_ca) {
        X509_STORE* store = SSL_CTX_get_cert_store(c);
        X509_STORE_add_cert(store, options.require_client_ca);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
}

MemoryLink::MemoryLink(MemoryServer& server, ByteFilter& client) : client_(client) {
    ssl_.reset(SSL_new(server.ctx()));
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_.get(), in_, out_);
    SSL_set_accept_state(ssl_.get());
}

void MemoryLink::pump() {
    uint8_t buffer[8192];
    for (int round = 0; round < 1000; ++round) {
        bool moved = false;
        if (SSL_is_init_finished(ssl_.get()) != 1) SSL_do_handshake(ssl_.get());
        client_.output_pending();  // moves held plaintext into TLS
        size_t n;
        while ((n = client_.get_network(buffer, sizeof buffer)) > 0) {
            BIO_write(in_, buffer, static_cast<int>(n));
            moved = true;
        }
        if (SSL_is_init_finished(ssl_.get()) != 1) SSL_do_handshake(ssl_.get());
        int r;
        while ((r = BIO_read(out_, buffer, sizeof buffer)) > 0) {
            client_.put_network(buffer, static_cast<size_t>(r));
            moved = true;
        }
        size_t got;
        while ((got = client_.get_application(buffer, sizeof buffer)) > 0) {
            client_received.append(reinterpret_cast<char*>(buffer), got);
            moved = true;
        }
        if (client_.network_output_waiting()) moved = true;
        if (!moved) break;
    }
    ERR_clear_error();
}

bool MemoryLink::handshake() {
    if (client_.start() != 0) return false;
    for (int i = 0; i < 20; ++i) {
        pump();
        if (client_.error()) return false;
        if (SSL_is_init_finished(ssl_.get()) == 1 && client_.established()) return true;
    }
    return false;
}

}  // namespace orvane::test
