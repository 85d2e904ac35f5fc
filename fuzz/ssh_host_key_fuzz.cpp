// Fuzzes what a server sends during key exchange: host-key blobs and signature blobs (the first
// byte picks the algorithm and compatibility flags, two more the blob's length), and the reply
// messages of the key-exchange runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/ssh/kex_methods.h"
#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_key.h"

namespace {

const char* const kAlgorithms[] = {"ssh-rsa", "rsa-sha2-256", "rsa-sha2-512",
                                   "ssh-dss", "ssh-ed25519",  "ecdsa-sha2-nistp256"};
const char* const kMethods[] = {"diffie-hellman-group1-sha1", "diffie-hellman-group-exchange-sha256",
                                "curve25519-sha256", "ecdh-sha2-nistp256"};

void fuzz_key_and_signature(uint8_t selector, std::string_view rest) {
    using namespace orvane::ssh;
    if (rest.size() < 2) return;
    size_t blob_size =
        (static_cast<uint8_t>(rest[0]) << 8 | static_cast<uint8_t>(rest[1])) % (rest.size() - 1);
    std::string_view blob = rest.substr(2, blob_size);
    std::string_view signature = rest.substr(2 + blob_size);
    PublicKey key;
    std::string error;
    const char* algorithm = kAlgorithms[selector % 6];
    uint32_t compat = (selector & 0x40 ? kRawDssSignature : 0) | (selector & 0x80 ? kRsaSignatureMd5 : 0);
    if (parse_public_key(blob, key, error) != 0) {
        if (error.empty()) abort();
        return;
    }
    if (key.blob != blob || key.kind == KeyKind::kNone) abort();
    std::string fingerprint = fingerprint_sha256(blob);
    if (fingerprint.rfind("SHA256:", 0) != 0 || fingerprint.size() != 50) abort();
    verify_signature(key, algorithm, signature, "exchange hash", compat, error);
}

void fuzz_kex_replies(uint8_t selector, std::string_view rest) {
    using namespace orvane::ssh;
    std::unique_ptr<KexRun> run = make_ssh_kex_run(kMethods[selector % 4]);
    KexContext context;
    context.kex_name = kMethods[selector % 4];
    context.host_key_name = kAlgorithms[(selector >> 2) % 6];
    context.host = "fuzz.invalid";
    context.need = 16;
    std::vector<SshBuffer> send;
    if (run->start(context, send) != 0) abort();
    // Messages separated by two length bytes each.
    while (rest.size() >= 2) {
        size_t n = (static_cast<uint8_t>(rest[0]) << 8 | static_cast<uint8_t>(rest[1])) % (rest.size() - 1);
        SshBuffer payload(rest.substr(2, n));
        rest.remove_prefix(2 + n);
        KexStatus status = run->receive(payload, send);
        if (status == KexStatus::kFailed && run->error_text().empty()) abort();
        if (status != KexStatus::kContinue) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    if (data[0] & 1)
        fuzz_kex_replies(data[1], rest);
    else
        fuzz_key_and_signature(data[1], rest);
    return 0;
}
