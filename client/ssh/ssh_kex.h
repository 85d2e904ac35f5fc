// The key exchange as the transport sees it.
//
// The transport sends and receives KEXINIT, chooses the algorithms, and handles NEWKEYS; one
// `KexRun` does what lies between for the chosen method: it builds the method's messages,
// checks the server's host key (known hosts) and its signature over the exchange hash, and
// yields the exchange hash and the shared secret. The transport then derives the six keys with
// `derive_key`. A run is made by the factory the session was given, so the transport and its
// tests do not depend on the methods' code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/ssh/ssh_buffer.h"
#include "client/transfer/net/filter.h"
#include "common/failure.h"

namespace orvane::ssh {

// What a run needs from the transport. The strings are as they entered the exchange.
struct KexContext {
    std::string client_version;  // V_C, without CR LF
    std::string server_version;  // V_S, without CR LF
    std::string client_kexinit;  // I_C: the client's KEXINIT payload after the message number
    std::string server_kexinit;  // I_S: likewise for the server's
    std::string kex_name;        // the chosen key-exchange method, e.g. "diffie-hellman-group14-sha1"
    std::string host_key_name;   // the chosen host-key algorithm, e.g. "ssh-rsa", "rsa-sha2-256"
    size_t need = 0;             // key length in bytes the chosen ciphers and MACs need
    uint32_t compat = 0;         // CompatFlags of the peer
    std::string host;            // the host as the user named it, for the known-hosts check
    uint16_t port = 22;
    HostKeyDecision host_key;  // the host-key policy; null function: every key is refused
    // A re-key: the host key the first exchange accepted. The server must present it again; the
    // policy is not asked, so a key swapped in mid-session is refused rather than recorded.
    std::string accepted_host_key;
    LogCallback log = nullptr;  // null: the process output sink
    void* log_user = nullptr;
};

enum class KexStatus { kContinue, kDone, kFailed };

// What a finished run yields. Secret parts are wiped when the record goes.
struct KexResult {
    KexResult() = default;
    KexResult(const KexResult&) = delete;
    KexResult& operator=(const KexResult&) = delete;
    ~KexResult();

    std::string hash_name;      // the exchange's digest as OpenSSL names it: "SHA1", "SHA256", ...
    std::string exchange_hash;  // H
    std::string shared_secret;  // K as it enters the hashes: its mpint wire form, length first
    std::string host_key_blob;  // K_S
    std::string host_key_type;  // "ssh-rsa", "ssh-dss", "ssh-ed25519", "ecdsa-sha2-nistp256"
    std::string fingerprint;    // "SHA256:" and the unpadded base64 digest of K_S
};

class KexRun {
  public:
    virtual ~KexRun() = default;
    // Puts the method's first messages (each a whole payload starting with its message
    // number) into `send`. 0 on success; otherwise error_text() says why.
    virtual int start(const KexContext& context, std::vector<SshBuffer>& send) = 0;
    // One message of the exchange (the payload starting with its message number).
    virtual KexStatus receive(SshBuffer& payload, std::vector<SshBuffer>& send) = 0;
    virtual const KexResult& result() const = 0;
    virtual const std::string& error_text() const = 0;
    // What kind of failure a failed run was: a host key refused is the user's (kUser), a local
    // fault kLocal, anything the server did wrong kProtocol.
    virtual FailureKind failure_kind() const { return FailureKind::kProtocol; }
};

// Makes a run for a method name; null for a name it does not know. A session is given one.
using KexFactory = std::unique_ptr<KexRun> (*)(std::string_view kex_name);

// One derived key (RFC 4253 section 7.2 with the exchange's digest): letter 'A'..'F', `length`
// bytes. With `without_secret` (a peer's compatibility flag) K is left out of every hash.
// Returns 0 and fills `key` (the caller wipes it), or 1 for an unknown digest name.
int derive_key(const KexResult& result, std::string_view session_id, char letter, size_t length,
               bool without_secret, std::string& key);

}  // namespace orvane::ssh
