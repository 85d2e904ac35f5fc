// The session's key exchanges: KEXINIT both ways, the choice, the method run through the
// key-exchange seam, the six keys, NEWKEYS both ways, and re-keys asked for by either side.
#include <openssl/rand.h>

#include <algorithm>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_key.h"
#include "client/ssh/ssh_messages.h"
#include "client/ssh/ssh_session.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {
constexpr size_t kCookieLength = 16;
}

int SshSession::send_all(std::vector<SshBuffer>& messages) {
    for (SshBuffer& m : messages) {
        if (m.empty() || !m.ok()) {
            fail_with(kErrorKeyExchange, "the key exchange made an empty message");
            return 1;
        }
        if (send_payload(m.view()) != 0) return 1;
        m.clear();
    }
    return 0;
}

namespace {

// The host-key algorithms of the given key types move to the front, in their own order: a host
// already recorded is asked for the key it was recorded with, as OpenSSH does.
void prefer_key_types(std::vector<std::string>& names, const std::vector<std::string>& types) {
    std::stable_partition(names.begin(), names.end(), [&types](const std::string& name) {
        KeyKind kind = key_kind_of_algorithm(name);
        return kind != KeyKind::kNone &&
               std::find(types.begin(), types.end(), key_type_name(kind)) != types.end();
    });
}

}  // namespace

Proposal SshSession::our_proposal() const {
    Proposal p = client_proposal(compression_option_, compat_, !first_kex_done_);
    prefer_key_types(p[kProposalHostKey], host_key_types_);
    if (prefer_delayed_compression_) {
        for (int list : {kProposalCompressionOut, kProposalCompressionIn}) {
            std::vector<std::string>& names = p[list];
            std::erase(names, std::string("zlib@openssh.com"));
            names.insert(names.begin(), "zlib@openssh.com");
        }
    }
    return p;
}

void SshSession::send_kexinit() {
    // Asked once, before the first exchange; a re-key asks for the key the first one accepted.
    if (!first_kex_done_ && !host_key_types_asked_) {
        host_key_types_asked_ = true;
        if (config_.host_key.recorded_types)
            host_key_types_ =
                config_.host_key.recorded_types(config_.host_key.context, config_.host, config_.port);
    }
    uint8_t cookie[kCookieLength];
    if (RAND_bytes(cookie, sizeof cookie) != 1) {
        fail_with(kErrorKeyExchange, "no random bytes for the KEXINIT cookie", FailureKind::kLocal);
        return;
    }
    SshBuffer message;
    write_kexinit(message, std::string_view(reinterpret_cast<const char*>(cookie), sizeof cookie),
                  our_proposal());
    client_kexinit_ = std::string(message.view().substr(1));
    kexinit_sent_ = true;
    // From here until our NEWKEYS, authentication and channel messages wait.
    transport_.set_kex_in_progress(true);
    kexinit_sequence_ = transport_.send_sequence();
    send_payload(message.view());
}

void SshSession::begin_rekey() {
    resume_state_ = state_;
    rekeying_ = true;
    server_kexinit_seen_ = false;
    set_state(SshState::kKexInit);
    send_kexinit();
}

void SshSession::on_kexinit(SshBuffer& payload) {
    payload.get_byte();
    std::string server_kexinit(payload.view());
    KexInit server;
    if (!parse_kexinit(payload, server)) {
        fail_with(kErrorKeyExchange, "malformed KEXINIT");
        return;
    }
    if (state_ != SshState::kKexInit) {
        // The server starts a re-key in the middle of the session.
        resume_state_ = state_;
        rekeying_ = true;
        set_state(SshState::kKexInit);
    }
    if (server_kexinit_seen_) {
        fail_with(kErrorKeyExchange, "a second KEXINIT during one key exchange");
        return;
    }
    server_kexinit_seen_ = true;
    wipe_secret(server_kexinit_);
    server_kexinit_ = std::move(server_kexinit);
    if (!kexinit_sent_) send_kexinit();
    if (error_) return;

    Proposal ours = our_proposal();
    std::string cause;
    Negotiated chosen;
    if (negotiate(ours, server.lists, compat_, chosen, cause) != 0) {
        fail_with(kErrorKeyExchange, cause, FailureKind::kRemote);
        return;
    }
    if (!first_kex_done_) {
        strict_ = chosen.strict;
        // Strict key exchange: the server's KEXINIT must be the first packet it sent.
        if (strict_ && transport_.last_read_sequence() != 0) {
            fail_with(kErrorKeyExchange, "strict key exchange: KEXINIT was not the server's first packet");
            return;
        }
    }
    negotiated_ = std::move(chosen);
    if (server.first_kex_packet_follows && negotiated_.guess_wrong && !(compat_ & kIgnoreFirstKexGuess)) {
        set_state(SshState::kSkipGuess);
        return;
    }
    start_kex_run();
}

void SshSession::start_kex_run() {
    set_state(SshState::kKexStart);
    if (parts_.kex) run_ = parts_.kex(negotiated_.kex);
    if (!run_) {
        fail_with(kErrorKeyExchange, "no implementation of the key exchange " + negotiated_.kex,
                  FailureKind::kLocal);
        return;
    }
    KexContext context;
    context.client_version = client_version_;
    context.server_version = server_version_;
    context.client_kexinit = client_kexinit_;
    context.server_kexinit = server_kexinit_;
    context.kex_name = negotiated_.kex;
    context.host_key_name = negotiated_.host_key;
    context.need = negotiated_.need;
    context.compat = compat_;
    context.host = config_.host;
    context.port = config_.port;
    context.host_key = config_.host_key;
    context.accepted_host_key = host_key_blob_;
    context.log = config_.log;
    context.log_user = config_.log_user;
    std::vector<SshBuffer> messages;
    if (run_->start(context, messages) != 0) {
        fail_with(kErrorKeyExchange, run_->error_text(), run_->failure_kind());
        return;
    }
    if (send_all(messages) != 0) return;
    set_state(SshState::kKexRunning);
}

void SshSession::on_kex_message(SshBuffer& payload) {
    if (state_ == SshState::kSkipGuess) {
        // The server guessed our method wrongly: its first method packet is discarded.
        start_kex_run();
        return;
    }
    std::vector<SshBuffer> messages;
    KexStatus status = run_->receive(payload, messages);
    if (send_all(messages) != 0) return;
    if (status == KexStatus::kFailed) {
        fail_with(kErrorKeyExchange, run_->error_text(), run_->failure_kind());
    } else if (status == KexStatus::kDone) {
        finish_kex();
    }
}

// The exchange is complete: derive the keys of both directions, send NEWKEYS and switch the
// send direction at once.
void SshSession::finish_kex() {
    const KexResult& result = run_->result();
    if (result.exchange_hash.empty()) {
        fail_with(kErrorKeyExchange, "the key exchange yielded no exchange hash");
        return;
    }
    if (session_id_.empty()) {
        session_id_ = result.exchange_hash;
        host_key_blob_ = result.host_key_blob;
        host_key_types_ = {result.host_key_type};
    }
    bool without_secret = (compat_ & kKeysWithoutSecret) != 0;
    for (int dir = 0; dir < 2; ++dir) {
        // Client to server: IV 'A', key 'C', MAC key 'E'; server to client: 'B', 'D', 'F'.
        SshDirectionKeys keys;
        keys.cipher = negotiated_.cipher[dir];
        keys.mac = negotiated_.mac[dir];
        keys.compression = negotiated_.compression[dir];
        size_t mac_key = keys.mac ? mac_key_length(*keys.mac, compat_) : 0;
        if (derive_key(result, session_id_, char('A' + dir), keys.cipher->iv_length, without_secret,
                       keys.iv) != 0 ||
            derive_key(result, session_id_, char('C' + dir), keys.cipher->key_length, without_secret,
                       keys.key) != 0 ||
            derive_key(result, session_id_, char('E' + dir), mac_key, without_secret, keys.mac_key) != 0) {
            fail_with(kErrorKeyExchange, "key derivation failed for digest " + result.hash_name,
                      FailureKind::kLocal);
            return;
        }
        transport_.set_pending_keys(dir == 0, std::move(keys));
    }
    const char newkeys[] = {static_cast<char>(msg::kNewKeys)};
    if (send_payload(std::string_view(newkeys, 1)) != 0) return;
    if (transport_.activate_send_keys(strict_) != 0 || transport_.set_kex_in_progress(false) != 0) {
        fail_with(kErrorKeyExchange, transport_.error_text());
        return;
    }
    set_state(SshState::kNewKeys);
}

void SshSession::on_newkeys(SshBuffer&) {
    if (transport_.activate_receive_keys(strict_) != 0) {
        fail_with(kErrorKeyExchange, transport_.error_text());
        return;
    }
    run_.reset();
    kexinit_sent_ = false;
    server_kexinit_seen_ = false;
    wipe_secret(client_kexinit_);
    wipe_secret(server_kexinit_);
    ++key_exchanges_;
    if (!first_kex_done_) {
        first_kex_done_ = true;
        SshBuffer request(64);
        request.put_byte(msg::kServiceRequest);
        request.put_string("ssh-userauth");
        if (send_payload(request.view()) != 0) return;
        set_state(SshState::kServiceAccept);
        return;
    }
    rekeying_ = false;
    set_state(resume_state_);
}

}  // namespace orvane::ssh
