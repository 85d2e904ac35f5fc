// The SSH session: byte-filter face, version exchange, the gate of legal messages and the
// dispatch of packets to their handlers.
#include "client/ssh/ssh_session.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_messages.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

const char kFamily = 0;

constexpr size_t kQueueSlack = 1u << 20;
constexpr size_t kMoveChunk = 8192;

struct StateName {
    SshState state;
    const char* name;
};
constexpr StateName kStateNames[] = {
    {SshState::kVersionExchange, "version exchange"},
    {SshState::kFailed, "failed"},
    {SshState::kKexInit, "waiting for the server's KEXINIT"},
    {SshState::kSkipGuess, "skipping the server's guessed packet"},
    {SshState::kKexStart, "starting the key exchange"},
    {SshState::kKexRunning, "key exchange"},
    {SshState::kNewKeys, "waiting for the server's NEWKEYS"},
    {SshState::kServiceAccept, "waiting for SERVICE_ACCEPT"},
    {SshState::kUserAuth, "user authentication"},
    {SshState::kConnection, "data phase"},
    {SshState::kSsh1, "SSH-1 peer"},
};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == 11, "one name per state");

// Message classes of the gate.
enum MessageClass : uint16_t {
    kClassNone = 0,
    kClassDisconnect = 1 << 0,     // 1
    kClassGeneric = 1 << 1,        // 2 IGNORE, 3 UNIMPLEMENTED, 4 DEBUG
    kClassServiceAccept = 1 << 2,  // 6
    kClassExtInfo = 1 << 3,        // 7
    kClassKexInit = 1 << 4,        // 20
    kClassNewKeys = 1 << 5,        // 21
    kClassKexMethod = 1 << 6,      // 30-49
    kClassUserAuth = 1 << 7,       // 50-79
    kClassConnection = 1 << 8,     // 80-127
};

uint16_t class_of(uint8_t number) {
    if (number == msg::kDisconnect) return kClassDisconnect;
    if (number >= msg::kIgnore && number <= msg::kDebug) return kClassGeneric;
    if (number == msg::kServiceAccept) return kClassServiceAccept;
    if (number == msg::kExtInfo) return kClassExtInfo;
    if (number == msg::kKexInit) return kClassKexInit;
    if (number == msg::kNewKeys) return kClassNewKeys;
    if (number >= msg::kKexMethodFirst && number <= msg::kKexMethodLast) return kClassKexMethod;
    if (number >= msg::kUserauthFirst && number <= msg::kUserauthLast) return kClassUserAuth;
    if (number >= msg::kConnectionFirst && number <= msg::kConnectionLast) return kClassConnection;
    return kClassNone;  // 0, 5 (a server never asks us for a service), 8-19, 22-29, 128-255
}

// The one gate: which message classes may arrive in which state.
struct GateRow {
    SshState state;
    uint16_t allowed;
};
constexpr uint16_t kAlways = kClassDisconnect | kClassGeneric;
constexpr GateRow kGate[] = {
    {SshState::kKexInit, kAlways | kClassKexInit},
    {SshState::kSkipGuess, kAlways | kClassKexMethod},
    {SshState::kKexRunning, kAlways | kClassKexMethod},
    {SshState::kNewKeys, kAlways | kClassNewKeys},
    {SshState::kServiceAccept, kAlways | kClassServiceAccept | kClassExtInfo | kClassKexInit},
    {SshState::kUserAuth, kAlways | kClassUserAuth | kClassExtInfo | kClassKexInit},
    {SshState::kConnection, kAlways | kClassConnection | kClassKexInit},
};

uint16_t gate_row(SshState state) {
    for (const GateRow& row : kGate)
        if (row.state == state) return row.allowed;
    return kClassNone;
}

const char* const kErrorMessages[] = {
    "",
    "Identification string from server is too long",
    "Format of identification string from server is incorrect",
    "The SSH software version on the remote computer is too old",
    "An error occured during key exchange",
    "An bogus channel packet was received",
    "The server supports only version 1 of the SSH protocol, which this client does not speak",
    "Authentication failed",
};

}  // namespace

const char* ssh_state_name(SshState state) {
    for (const StateName& s : kStateNames)
        if (s.state == state) return s.name;
    return "unknown";
}

const char* ssh_error_message(int code) {
    if (code == kErrorPacketTooBig) return "Received message packet is too big";
    if (code > 0 && code < static_cast<int>(sizeof kErrorMessages / sizeof kErrorMessages[0]))
        return kErrorMessages[code];
    return "SSH failure";
}

const SshSession::Route SshSession::kRoutes[] = {
    {msg::kDisconnect, msg::kDisconnect, &SshSession::on_disconnect},
    {msg::kIgnore, msg::kDebug, &SshSession::on_ignored},
    {msg::kServiceAccept, msg::kServiceAccept, &SshSession::on_service_accept},
    {msg::kExtInfo, msg::kExtInfo, &SshSession::on_ext_info},
    {msg::kKexInit, msg::kKexInit, &SshSession::on_kexinit},
    {msg::kNewKeys, msg::kNewKeys, &SshSession::on_newkeys},
    {msg::kKexMethodFirst, msg::kKexMethodLast, &SshSession::on_kex_message},
    {msg::kUserauthFirst, msg::kConnectionLast, &SshSession::on_service_message},
};

SshSession::SshSession(const FilterConfig& config, const SshParts& parts)
    : config_(config),
      parts_(parts),
      network_input_(kNetworkInputLimit),
      application_input_(kApplicationInputHighWater + kQueueSlack),
      application_output_(kApplicationOutputLimit),
      network_output_(kNetworkOutputHighWater + kQueueSlack + (8u << 20)) {
    if (parts_.userauth) service_ = parts_.userauth(*this);
    restart_deadline();
}

SshSession::~SshSession() {
    service_.reset();
    wipe_secret(client_kexinit_);
    wipe_secret(server_kexinit_);
    wipe_secret(session_id_);
}

const void* SshSession::family() const {
    return &kFamily;
}

void SshSession::log(const std::string& text, int level) const {
    output_to(config_.log, config_.log_user, text, level);
}

size_t SshSession::banner_allowance(size_t n) {
    if (banner_bytes_ >= kMaxBannerBytes) return 0;
    size_t allowed = std::min(n, kMaxBannerBytes - banner_bytes_);
    banner_bytes_ += allowed;
    if (allowed < n) {
        banner_bytes_ = kMaxBannerBytes;
        log("Warning: the server's banners passed 64 KiB; the rest are not shown", kLevelWarning);
    }
    return allowed;
}

void SshSession::set_clock(SshClock clock) {
    clock_ = clock;
    restart_deadline();
}

uint64_t SshSession::now_ms() const {
    if (clock_.now_ms) return clock_.now_ms(clock_.context);
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void SshSession::restart_deadline() {
    step_started_ms_ = now_ms();
}

// The connection's timeout counts silence only: a server that trickles bytes, IGNORE or DEBUG
// messages or banners would hold the login for ever. Each step of the exchange up to the data
// phase (the identification, each message of a key exchange, each authentication request) must
// finish within the timeout as a whole; it is checked as bytes arrive, silence being the
// connection's own timeout.
bool SshSession::past_deadline() {
    // A re-key in the data phase waits behind the data already in flight: not a step of the login.
    if (config_.timeout_seconds <= 0 || established() || state_ == SshState::kFailed) return false;
    uint64_t limit = static_cast<uint64_t>(config_.timeout_seconds) * 1000;
    if (now_ms() - step_started_ms_ <= limit) return false;
    fail_with(failure_code(),
              format("the step did not finish within %d seconds: %s", config_.timeout_seconds,
                     ssh_state_name(state_)),
              FailureKind::kTimeout);
    return true;
}

void SshSession::set_state(SshState to) {
    SshState from = state_;
    state_ = to;
    if (from != to) restart_deadline();
    if (trace_.function && from != to) trace_.function(trace_.context, from, to);
}

int SshSession::failure_code() const {
    return state_ == SshState::kConnection ? kErrorChannel : kErrorKeyExchange;
}

// The user of the filter found the stream unusable: the peer ended it or flooded it.
void SshSession::fail(const std::string& cause) {
    fail_with(failure_code(), cause, FailureKind::kRemote);
}

// Reports the failure once; after the version exchange the server is told with DISCONNECT.
void SshSession::fail_with(int code, const std::string& cause, FailureKind kind) {
    if (error_ != 0) return;
    error_ = code;
    error_text_ = ssh_error_message(code);
    if (!cause.empty()) error_text_ += " (" + cause + ")";
    failure_.set(kind, error_text_);
    log(error_text_, kLevelError);
    if (state_ != SshState::kVersionExchange && state_ != SshState::kSsh1 && state_ != SshState::kFailed) {
        SshBuffer disconnect(256);
        disconnect.put_byte(msg::kDisconnect);
        disconnect.put_u32(2);  // protocol error
        disconnect.put_string("disconnecting");
        disconnect.put_string("");
        transport_.discard_held();
        transport_.send(disconnect.view());
        flush_output();
    }
    run_.reset();
    set_state(SshState::kFailed);
}

bool SshSession::established() const {
    return state_ == SshState::kConnection || (rekeying_ && resume_state_ == SshState::kConnection);
}

int SshSession::describe(LogCallback log_fn, void* log_user) const {
    if (!first_kex_done_) return 1;
    const Negotiated& n = negotiated_;
    std::string text = format(
        "SSH: %s, key exchange %s, host key %s, cipher %s/%s, MAC %s/%s, compression %s/%s%s",
        server_version_.empty() ? "?" : printable(server_version_, 255).c_str(), n.kex.c_str(),
        n.host_key.c_str(), n.cipher[0]->name, n.cipher[1]->name, n.mac[0] ? n.mac[0]->name : "(implicit)",
        n.mac[1] ? n.mac[1]->name : "(implicit)", n.compression_name[0].c_str(),
        n.compression_name[1].c_str(), strict_ ? ", strict key exchange" : "");
    if (log_fn) {
        log_fn(log_user, text.c_str(), kLevelInfo, 1);
    } else {
        log(text, kLevelInfo);
    }
    return 0;
}

// --- the filter face ---

int SshSession::start() {
    step();
    return error_ ? 1 : 0;
}

size_t SshSession::put_network(const uint8_t* data, size_t n) {
    if (error_ || n == 0 || past_deadline()) return 0;
    size_t room = network_input_.limit() - std::min(network_input_.limit(), network_input_.size());
    size_t taken = std::min(n, room);
    if (taken > 0 && network_input_.append(data, taken) != 0) taken = 0;
    step();
    return taken;
}

size_t SshSession::get_application(uint8_t* buffer, size_t capacity) {
    step();
    size_t n = application_input_.take(buffer, capacity);
    // Room again: packets that waited for it are read now.
    if (n > 0) step();
    return n;
}

size_t SshSession::application_room() {
    if (error_ || network_output_.size() >= kNetworkOutputHighWater) return 0;
    return application_output_.limit() - std::min(application_output_.limit(), application_output_.size());
}

size_t SshSession::put_application(const uint8_t* data, size_t n) {
    size_t taken = std::min(n, application_room());
    if (taken > 0 && application_output_.append(data, taken) != 0) taken = 0;
    step();
    return taken;
}

bool SshSession::network_output_waiting() {
    step();
    return !network_output_.empty();
}

size_t SshSession::get_network(uint8_t* buffer, size_t capacity) {
    size_t n = network_output_.take(buffer, capacity);
    if (n > 0 && !error_) step();  // room again for application output
    return n;
}

bool SshSession::output_pending() {
    return network_output_waiting() || (!error_ && established() && !application_output_.empty());
}

// --- the machine ---

void SshSession::step() {
    // A hook may send from inside a step; the outer step carries on.
    if (stepping_ || error_ || state_ == SshState::kFailed) return;
    stepping_ = true;
    if (state_ == SshState::kVersionExchange) version_step();
    if (!error_ && state_ != SshState::kVersionExchange && state_ != SshState::kFailed) packet_step();
    flush_output();
    stepping_ = false;
}

void SshSession::flush_output() {
    SshBuffer& out = transport_.output();
    if (out.empty()) return;
    if (network_output_.append(out.data(), out.size()) != 0) {
        out.clear();
        if (!error_)
            fail_with(failure_code(), "too much output waiting for the network", FailureKind::kLocal);
        return;
    }
    out.clear();
}

void SshSession::version_step() {
    while (state_ == SshState::kVersionExchange && !error_) {
        std::string waiting(std::min(network_input_.size(), kMaxVersionLine + 1), '\0');
        waiting.resize(network_input_.peek(waiting.data(), waiting.size()));
        VersionLine line = next_version_line(waiting);
        if (line.kind == VersionLineKind::kNeedMore) return;
        if (line.kind == VersionLineKind::kTooLong) {
            fail_with(kErrorIdentificationTooLong, "a line longer than 1024 bytes");
            return;
        }
        network_input_.drop(line.consumed);
        if (line.kind == VersionLineKind::kBanner) {
            if (++banner_lines_ > kMaxBannerLines) {
                fail_with(kErrorIdentificationFormat, "no identification within 1024 lines");
                return;
            }
            size_t shown = banner_allowance(line.text.size());
            if (shown > 0) log(printable(std::string_view(line.text).substr(0, shown)), kLevelInfo);
            continue;
        }
        if (line.text.size() > kMaxIdentification) {
            fail_with(kErrorIdentificationTooLong, "");
            return;
        }
        Identification id;
        if (!parse_identification(line.text, id)) {
            fail_with(kErrorIdentificationFormat, printable(line.text, 255));
            return;
        }
        compat_ = compat_flags_for(id.software);
        if (!id.comments.empty()) log(printable(id.comments), kLevelInfo);
        VersionDecision decision = decide_version(id);
        if (decision.error != 0) {
            // Too old is what the server is; anything else is a line it got wrong.
            fail_with(decision.error, printable(line.text, 255),
                      decision.error == kErrorVersionTooOld ? FailureKind::kRemote : FailureKind::kProtocol);
            return;
        }
        server_version_ = line.text;
        client_version_ = decision.answer;
        network_output_.append(decision.answer + "\r\n");
        if (!decision.ssh2) {
            set_state(SshState::kSsh1);
            fail_with(kErrorSsh1Only, printable(line.text, 255), FailureKind::kRemote);
            return;
        }
        transport_.set_no_packet_limit((compat_ & kNoPacketLimit) != 0);
        send_kexinit();
        set_state(SshState::kKexInit);
    }
}

void SshSession::feed_transport() {
    SshBuffer& in = transport_.input();
    uint8_t chunk[kMoveChunk];
    while (!network_input_.empty()) {
        size_t room = in.limit() - in.size();
        if (room == 0) break;
        size_t n = network_input_.take(chunk, std::min(room, sizeof chunk));
        in.put_bytes(chunk, n);
    }
}

void SshSession::packet_step() {
    SshBuffer payload(kMaxInflatedPayload + 64);
    for (;;) {
        if (error_) return;
        // Our own re-keys wait for the data phase: OpenSSH's server does not take one during
        // authentication, and nothing before it comes near the limits.
        if (state_ == SshState::kConnection && !rekeying_ && transport_.rekey_due()) begin_rekey();
        if (error_ || application_input_.size() >= kApplicationInputHighWater) break;
        feed_transport();
        ReadStatus status = transport_.read(payload);
        if (status == ReadStatus::kNone) break;
        if (status == ReadStatus::kBad) {
            fail_with(failure_code(), transport_.error_text());
            return;
        }
        dispatch(payload);
        flush_output();
    }
    if (!error_ && state_ == SshState::kConnection && !transport_.kex_in_progress() && service_ &&
        network_output_.size() < kNetworkOutputHighWater) {
        service_->pump(*this);
    }
}

bool SshSession::allowed(uint8_t number) const {
    uint16_t cls = class_of(number);
    // Strict key exchange: nothing but the exchange itself until the first NEWKEYS.
    if (strict_ && !first_kex_done_ && cls == kClassGeneric) return false;
    uint16_t mask = gate_row(state_);
    // A re-key we started: until the server's KEXINIT arrives it may still send what the
    // interrupted state allows.
    if (rekeying_ && state_ == SshState::kKexInit && !server_kexinit_seen_)
        mask |= gate_row(resume_state_) &
                (kClassServiceAccept | kClassExtInfo | kClassUserAuth | kClassConnection);
    return (mask & cls) != 0;
}

void SshSession::dispatch(SshBuffer& payload) {
    uint8_t number = payload.data()[0];
    if (!allowed(number)) {
        fail_with(failure_code(), format("unexpected message %u while %s", number, ssh_state_name(state_)));
        return;
    }
    for (const Route& route : kRoutes) {
        if (number >= route.first && number <= route.last) {
            (this->*route.handler)(payload);
            return;
        }
    }
    fail_with(failure_code(), format("no handler for message %u", number));
}

int SshSession::send_payload(std::string_view payload) {
    if (error_) return 1;
    // Each authentication request is a step of its own.
    if (state_ == SshState::kUserAuth) restart_deadline();
    if (transport_.send(payload) != 0) {
        fail_with(failure_code(), transport_.error_text(), FailureKind::kLocal);
        return 1;
    }
    flush_output();
    return 0;
}

void SshSession::set_authenticated() {
    transport_.start_delayed_compression();
    if (rekeying_) {
        resume_state_ = SshState::kConnection;
    } else {
        set_state(SshState::kConnection);
    }
}

void SshSession::on_disconnect(SshBuffer& payload) {
    payload.get_byte();
    uint32_t reason = payload.get_u32();
    std::string_view description = payload.get_string(1024);
    fail_with(failure_code(),
              format("the server disconnected, reason %u: ", static_cast<unsigned>(reason)) +
                  printable(description, 255),
              FailureKind::kRemote);
}

void SshSession::on_ignored(SshBuffer& payload) {
    // UNIMPLEMENTED for our KEXINIT: the server will not re-key now; waiting would hang.
    if (payload.get_byte() != msg::kUnimplemented) return;
    uint32_t sequence = payload.get_u32();
    if (payload.ok() && kexinit_sent_ && !server_kexinit_seen_ && sequence == kexinit_sequence_)
        fail_with(failure_code(), "the server refused a new key exchange", FailureKind::kRemote);
}

void SshSession::on_service_accept(SshBuffer& payload) {
    payload.get_byte();
    if (!payload.empty()) {
        std::string_view service = payload.get_string(256);
        if (!service.empty()) log(printable(service), kLevelInfo);
    }
    if (!service_) {
        fail_with(kErrorKeyExchange, "user authentication is not available", FailureKind::kLocal);
        return;
    }
    // During a re-key we started, the state is the exchange's; authentication begins after it.
    if (rekeying_) {
        resume_state_ = SshState::kUserAuth;
    } else {
        set_state(SshState::kUserAuth);
    }
    if (service_->start(*this) != 0) fail_with(failure_code(), "");
}

void SshSession::on_ext_info(SshBuffer& payload) {
    payload.get_byte();
    uint32_t count = payload.get_u32();
    if (count > 1024) {
        fail_with(failure_code(), "EXT_INFO with too many extensions");
        return;
    }
    for (uint32_t i = 0; i < count && payload.ok(); ++i) {
        std::string_view name = payload.get_string(256);
        std::string_view value = payload.get_string();
        if (payload.ok() && name == "server-sig-algs") server_sig_algs_ = split_name_list(value);
    }
    if (!payload.ok()) fail_with(failure_code(), "malformed EXT_INFO");
}

void SshSession::on_service_message(SshBuffer& payload) {
    if (!service_) {
        fail_with(failure_code(), format("message %u without a service to take it", payload.data()[0]));
        return;
    }
    // USERAUTH_SUCCESS: delayed compression starts with the next packet either way.
    if (payload.data()[0] == msg::kUserauthSuccess &&
        (state_ == SshState::kUserAuth || (rekeying_ && resume_state_ == SshState::kUserAuth)))
        set_authenticated();
    if (service_->message(*this, payload) != 0) fail_with(failure_code(), "");
}

}  // namespace orvane::ssh
