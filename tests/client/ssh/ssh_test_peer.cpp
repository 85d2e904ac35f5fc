// The stand-in key exchange, the scripted server and the test service.
#include "tests/client/ssh/ssh_test_peer.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "client/ssh/ssh_messages.h"

namespace orvane::ssh::test {

namespace {

const char kClientMessage[] = "fake client";
const char kServerMessage[] = "fake server";

class FakeKexRun final : public KexRun {
  public:
    int start(const KexContext& context, std::vector<SshBuffer>& send) override {
        context_ = context;
        SshBuffer m;
        m.put_byte(30);
        m.put_string(kClientMessage);
        send.push_back(std::move(m));
        return 0;
    }
    KexStatus receive(SshBuffer& payload, std::vector<SshBuffer>&) override {
        if (payload.get_byte() != 31 || payload.get_string() != kServerMessage) {
            error_ = "the fake exchange got an unexpected message";
            return KexStatus::kFailed;
        }
        fake_kex_result(context_.client_kexinit, context_.server_kexinit, result_);
        return KexStatus::kDone;
    }
    const KexResult& result() const override { return result_; }
    const std::string& error_text() const override { return error_; }

  private:
    KexContext context_;
    KexResult result_;
    std::string error_;
};

std::unique_ptr<KexRun> make_fake_run(std::string_view) {
    return std::make_unique<FakeKexRun>();
}

std::string sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

// The message number the probe saw from the server (written on an engine thread in some tests).
std::atomic<int> g_reply{-1};

// Sends a well-formed first message of the chosen method and stops at the server's answer.
class ProbeRun final : public KexRun {
  public:
    explicit ProbeRun(std::string_view name) : name_(name) {}
    int start(const KexContext&, std::vector<SshBuffer>& send) override {
        uint8_t random[256];
        RAND_bytes(random, sizeof random);
        random[0] &= 0x7f;
        SshBuffer m;
        if (name_.rfind("curve25519", 0) == 0) {
            m.put_byte(30);
            m.put_string(std::string_view(reinterpret_cast<char*>(random), 32));
        } else if (name_.find("group-exchange") != std::string::npos) {
            m.put_byte(34);
            m.put_u32(2048);
            m.put_u32(3072);
            m.put_u32(8192);
        } else {
            m.put_byte(30);
            m.put_mpint(std::string_view(reinterpret_cast<char*>(random), sizeof random));
        }
        send.push_back(std::move(m));
        return 0;
    }
    KexStatus receive(SshBuffer& payload, std::vector<SshBuffer>&) override {
        g_reply = payload.get_byte();
        return KexStatus::kFailed;
    }
    const KexResult& result() const override { return result_; }
    const std::string& error_text() const override { return error_; }

  private:
    std::string name_;
    KexResult result_;
    std::string error_ = "the probe goes no further";
};

std::unique_ptr<KexRun> make_probe(std::string_view name) {
    return std::make_unique<ProbeRun>(name);
}

}  // namespace

SshParts probe_kex_parts() {
    return SshParts{&make_probe, nullptr, nullptr};
}
void reset_probe() {
    g_reply = -1;
}
int probe_reply() {
    return g_reply;
}

SshParts fake_kex_parts() {
    return SshParts{&make_fake_run, nullptr, nullptr};
}

void fake_kex_result(const std::string& client_kexinit, const std::string& server_kexinit, KexResult& out) {
    out.hash_name = "SHA256";
    out.exchange_hash = sha256(client_kexinit + server_kexinit);
    out.shared_secret = std::string("\0\0\0\4\x12\x34\x56\x78", 8);
    out.host_key_type = "ssh-ed25519";
}

SshDirectionKeys derive_direction(const KexResult& result, const std::string& session_id,
                                  const Negotiated& chosen, int dir, uint32_t compat) {
    SshDirectionKeys keys;
    keys.cipher = chosen.cipher[dir];
    keys.mac = chosen.mac[dir];
    keys.compression = chosen.compression[dir];
    bool without = (compat & kKeysWithoutSecret) != 0;
    derive_key(result, session_id, char('A' + dir), keys.cipher->iv_length, without, keys.iv);
    derive_key(result, session_id, char('C' + dir), keys.cipher->key_length, without, keys.key);
    derive_key(result, session_id, char('E' + dir), keys.mac ? mac_key_length(*keys.mac, compat) : 0, without,
               keys.mac_key);
    return keys;
}

ScriptedServer::ScriptedServer() {
    proposal = client_proposal(true, 0, false);
    proposal[kProposalKex].push_back(kStrictKexServer);
    proposal[kProposalCompressionOut] = proposal[kProposalCompressionIn] = {"none", "zlib@openssh.com"};
    on_service = [](ScriptedServer& server, SshBuffer& payload) {
        uint8_t number = payload.get_byte();
        if (number == 50) {
            server.send(std::string(1, char(52)));
            server.transport().start_delayed_compression();
        } else if (number == 94) {
            server.received_data += payload.get_string();
        }
    };
}

void ScriptedServer::send(std::string_view payload) {
    if (transport_.send(payload) != 0) {
        failed = true;
        failure = transport_.error_text();
    }
}

void ScriptedServer::send_data(std::string_view data) {
    SshBuffer m;
    m.put_byte(94);
    m.put_string(data);
    send(m.view());
}

void ScriptedServer::send_kexinit() {
    for (const std::string& m : before_kexinit) send(m);
    before_kexinit.clear();
    SshBuffer m;
    write_kexinit(m, std::string(16, '\x5a'), proposal);
    // The flag is the byte before the reserved field.
    std::string bytes(m.view());
    if (first_kex_packet_follows) bytes[bytes.size() - 5] = 1;
    server_kexinit_ = bytes.substr(1);
    kexinit_sent_ = true;
    transport_.set_kex_in_progress(true);
    send(bytes);
}

void ScriptedServer::start_rekey() {
    send_kexinit();
}

std::string ScriptedServer::take_output() {
    std::string out;
    if (!greeted_) {
        greeted_ = true;
        out = greeting;
        size_t at = greeting.rfind("SSH-");
        if (at != std::string::npos) server_id_ = greeting.substr(at, greeting.find('\r', at) - at);
        if (kexinit_with_greeting) send_kexinit();
    }
    SshBuffer& o = transport_.output();
    out.append(o.view());
    o.clear();
    if (corrupt_next_output && !out.empty()) {
        out.back() = static_cast<char>(out.back() ^ 1);
        corrupt_next_output = false;
    }
    return out;
}

void ScriptedServer::receive(const std::string& bytes) {
    if (failed) return;
    if (client_id_.empty()) {
        pending_ += bytes;
        size_t lf = pending_.find('\n');
        if (lf == std::string::npos) return;
        client_id_ = pending_.substr(0, lf);
        if (!client_id_.empty() && client_id_.back() == '\r') client_id_.pop_back();
        transport_.input().put_bytes(pending_.substr(lf + 1));
        pending_.clear();
        if (client_id_.rfind("SSH-2.0-", 0) != 0) return;  // an SSH-1 answer: nothing follows
        if (!kexinit_sent_) send_kexinit();
    } else {
        transport_.input().put_bytes(bytes);
    }
    SshBuffer payload(kMaxInflatedPayload + 64);
    while (!failed) {
        ReadStatus status = transport_.read(payload);
        if (status == ReadStatus::kNone) break;
        if (status == ReadStatus::kBad) {
            failed = true;
            failure = transport_.error_text();
            break;
        }
        handle(payload);
    }
}

void ScriptedServer::handle(SshBuffer& payload) {
    uint8_t number = payload.data()[0];
    received_numbers.push_back(number);
    // Strict key exchange is settled by the first exchange and holds for the re-keys.
    if (key_exchanges == 0 && number == 20)
        strict_ = std::find(proposal[kProposalKex].begin(), proposal[kProposalKex].end(), kStrictKexServer) !=
                      proposal[kProposalKex].end() &&
                  payload.view().find(kStrictKexClient) != std::string::npos;
    bool strict = strict_;
    switch (number) {
        case 1:
            failed = true;
            failure = "client disconnected";
            break;
        case 20: {
            if (refuse_rekey && key_exchanges > 0) {
                SshBuffer unimplemented;
                unimplemented.put_byte(3);
                unimplemented.put_u32(transport_.last_read_sequence());
                send(unimplemented.view());
                break;
            }
            payload.get_byte();
            client_kexinit_ = std::string(payload.view());
            KexInit client;
            parse_kexinit(payload, client);
            if (!kexinit_sent_) send_kexinit();
            std::string error;
            // A failed choice is the client's to report; the server waits for its DISCONNECT.
            if (negotiate(client.lists, proposal, 0, chosen_, error) != 0) failure = error;
            for (const std::string& m : after_kexinit) send(m);
            after_kexinit.clear();
            break;
        }
        case 30: {
            KexResult result;
            fake_kex_result(client_kexinit_, server_kexinit_, result);
            if (session_id_.empty()) session_id_ = result.exchange_hash;
            SshBuffer reply;
            reply.put_byte(31);
            reply.put_string(kServerMessage);
            send(reply.view());
            transport_.set_pending_keys(true, derive_direction(result, session_id_, chosen_, 1, 0));
            transport_.set_pending_keys(false, derive_direction(result, session_id_, chosen_, 0, 0));
            send(std::string(1, char(21)));
            transport_.activate_send_keys(strict);
            transport_.set_kex_in_progress(false);
            if (key_exchanges == 0 && send_ext_info) {
                SshBuffer ext;
                ext.put_byte(7);
                ext.put_u32(1);
                ext.put_string("server-sig-algs");
                ext.put_string("ssh-ed25519,rsa-sha2-256");
                send(ext.view());
            }
            break;
        }
        case 21:
            transport_.activate_receive_keys(strict);
            ++key_exchanges;
            kexinit_sent_ = false;
            break;
        case 5: {
            SshBuffer accept;
            accept.put_byte(6);
            accept.put_string("ssh-userauth");
            send(accept.view());
            break;
        }
        case 2:
        case 4:
            break;
        default:
            if (number >= 50 && on_service) on_service(*this, payload);
            break;
    }
}

namespace {

class ChannelService final : public SshService {
  public:
    int start(SshSession& session) override {
        SshBuffer request;
        request.put_byte(msg::kUserauthRequest);
        request.put_string("user");
        return session.send_payload(request.view());
    }

    int message(SshSession& session, SshBuffer& payload) override {
        if (payload.get_byte() == msg::kChannelData) {
            std::string_view data = payload.get_string();
            if (!payload.ok()) return 1;
            return session.application_input().append(data.data(), data.size());
        }
        return 0;
    }

    void pump(SshSession& session) override {
        char chunk[16384];
        while (!session.application_output().empty() &&
               session.network_output().size() < kNetworkOutputHighWater) {
            size_t n = session.application_output().take(chunk, sizeof chunk);
            SshBuffer m;
            m.put_byte(msg::kChannelData);
            m.put_string(std::string_view(chunk, n));
            if (session.send_payload(m.view()) != 0) return;
        }
    }
};

}  // namespace

std::unique_ptr<SshService> channel_service() {
    return std::make_unique<ChannelService>();
}

std::string random_payload(size_t n) {
    std::string out(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

void exchange(SshSession& session, ScriptedServer& server, size_t piece) {
    for (int round = 0; round < 10000; ++round) {
        std::string to_client = server.take_output();
        size_t offset = 0;
        while (offset < to_client.size()) {
            size_t taken = session.put_network(reinterpret_cast<const uint8_t*>(to_client.data()) + offset,
                                               std::min(piece, to_client.size() - offset));
            if (taken == 0) break;
            offset += taken;
        }
        session.step();
        std::string to_server(session.network_output().size(), '\0');
        to_server.resize(session.network_output().take(to_server.data(), to_server.size()));
        if (!to_server.empty()) server.receive(to_server);
        if (to_client.empty() && to_server.empty()) return;
    }
}

}  // namespace orvane::ssh::test
