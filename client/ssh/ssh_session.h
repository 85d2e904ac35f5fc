// The SSH-2 client session: a byte filter of the network core with its four queues, the
// transport state machine (version exchange, key exchanges, service request) and the seam to
// user authentication and the channel, which handle messages 50 to 127.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_kex.h"
#include "client/ssh/ssh_negotiation.h"
#include "client/ssh/ssh_transport.h"
#include "client/transfer/net/byte_queue.h"
#include "client/transfer/net/filter.h"
#include "common/failure.h"

namespace orvane::ssh {

// Session states; the numbers are the designed ones. The fixed-group and group-exchange
// states of the designed methods (16, 17) live inside the key-exchange run.
enum class SshState : uint8_t {
    kVersionExchange = 1,
    kFailed = 2,
    kKexInit = 12,        // waiting for the server's KEXINIT
    kSkipGuess = 13,      // discarding the server's wrongly guessed key-exchange packet
    kKexStart = 14,       // starting the chosen method
    kKexRunning = 15,     // the method's messages
    kNewKeys = 18,        // waiting for the server's NEWKEYS
    kServiceAccept = 19,  // SERVICE_REQUEST "ssh-userauth" sent
    kUserAuth = 20,       // user authentication (the service hook)
    kConnection = 21,     // data phase (the service hook)
    kSsh1 = 31,           // an SSH-1 peer: nothing follows the identification
};
const char* ssh_state_name(SshState state);

// Session error codes (0 while healthy) and their messages.
inline constexpr int kErrorKeyExchange = 4;
inline constexpr int kErrorChannel = 5;
inline constexpr int kErrorSsh1Only = 6;
inline constexpr int kErrorAuthentication = 7;  // the login was refused or could not be made
inline constexpr int kErrorPacketTooBig = 15;
const char* ssh_error_message(int code);

// Time source in milliseconds for the step deadline; tests give their own.
struct SshClock {
    uint64_t (*now_ms)(void* context) = nullptr;  // null: the steady clock
    void* context = nullptr;
};

// Queue capacities: what the engine may put in, and when the session stops reading or taking.
inline constexpr size_t kNetworkInputLimit = 1u << 20;
inline constexpr size_t kApplicationInputHighWater = 1u << 20;
inline constexpr size_t kApplicationOutputLimit = 1u << 20;
inline constexpr size_t kNetworkOutputHighWater = 256u << 10;
inline constexpr size_t kMaxBannerBytes = 64u << 10;

class SshSession;

// The seam to user authentication and the channel. `start` runs when the server has accepted
// the "ssh-userauth" service; `message` gets every message numbered 50 to 127 (the payload
// from its number); `pump` runs on each step in the data phase while no key exchange holds
// sending back, to move application output into messages. Non-zero from start or message
// fails the session (error 4 before the data phase, 5 in it).
class SshService {
  public:
    virtual ~SshService() = default;
    virtual int start(SshSession& session) = 0;
    virtual int message(SshSession& session, SshBuffer& payload) = 0;
    virtual void pump(SshSession& /*session*/) {}
};
// Makes a service for a new session; null when it cannot.
using SshServiceMaker = std::unique_ptr<SshService> (*)(SshSession& session);

// What a session is made of beyond its configuration: the key-exchange methods, the service
// behind "ssh-userauth" (user authentication) and the connection service that takes over once
// the user is authenticated (the session channel). A null part is missing: a key exchange then
// fails, a SERVICE_ACCEPT finds no authentication, a login no channel.
struct SshParts {
    KexFactory kex = nullptr;
    SshServiceMaker userauth = nullptr;
    SshServiceMaker connection = nullptr;
};

// Called on every state change (a debugging trace).
struct SshTrace {
    void (*function)(void* context, SshState from, SshState to) = nullptr;
    void* context = nullptr;
};

class SshSession final : public ByteFilter {
  public:
    SshSession(const FilterConfig& config, const SshParts& parts);
    ~SshSession() override;

    // ByteFilter.
    int start() override;
    size_t put_network(const uint8_t* data, size_t n) override;
    size_t get_application(uint8_t* buffer, size_t capacity) override;
    size_t application_room() override;
    size_t put_application(const uint8_t* data, size_t n) override;
    bool network_output_waiting() override;
    size_t get_network(uint8_t* buffer, size_t capacity) override;
    bool output_pending() override;
    int error() const override { return error_ != 0 ? 1 : 0; }
    const std::string& error_text() const override { return error_text_; }
    void fail(const std::string& cause) override;
    bool established() const override;
    int describe(LogCallback log, void* log_user) const override;
    const void* family() const override;

    // Advances the state machine as far as the queued input allows.
    void step();

    // For the authentication and channel layers.
    int send_payload(std::string_view payload);  // 0 when sent or held back
    void request_extra_padding(size_t bytes) { transport_.request_extra_padding(bytes); }
    // User authentication succeeded: the data phase begins. The session calls it itself when
    // USERAUTH_SUCCESS arrives, before the service hook sees the message.
    void set_authenticated();
    // The session's one failure point: the designed code and text, and the kind beside them (a
    // protocol violation unless said otherwise). The first failure is kept.
    void fail_with(int code, const std::string& cause, FailureKind kind = FailureKind::kProtocol);
    ByteQueue& application_input() { return application_input_; }
    ByteQueue& application_output() { return application_output_; }
    const FilterConfig& config() const { return config_; }
    const SshParts& parts() const { return parts_; }
    const std::string& session_id() const { return session_id_; }
    const std::vector<std::string>& server_sig_algs() const { return server_sig_algs_; }
    void log(const std::string& text, int level) const;
    // How many of n banner bytes (lines before the identification, USERAUTH_BANNER texts) may
    // still be shown: 64 KiB a session, then a single warning and nothing more.
    size_t banner_allowance(size_t n);

    // State, for the layers above and for tests.
    SshState state() const { return state_; }
    int session_error() const { return error_; }
    // The kind of the failure and its cause (empty while healthy).
    const Failure& failure() const { return failure_; }
    uint32_t compat() const { return compat_; }
    const std::string& server_identification() const { return server_version_; }
    const std::string& client_identification() const { return client_version_; }
    const Negotiated& negotiated() const { return negotiated_; }
    bool strict_kex() const { return strict_; }
    int key_exchanges() const { return key_exchanges_; }
    SshTransport& transport() { return transport_; }
    ByteQueue& network_input() { return network_input_; }
    ByteQueue& network_output() { return network_output_; }
    void set_trace(SshTrace trace) { trace_ = trace; }
    void set_clock(SshClock clock);
    void set_service(std::unique_ptr<SshService> service) { service_ = std::move(service); }
    // The compression option: on proposes "zlib" before "none".
    void set_compression_option(bool on) { compression_option_ = on; }
    // Proposes "zlib@openssh.com" first: OpenSSH offers only that form, after "none", so the
    // designed lists never compress with it. Off unless asked for.
    void set_prefer_delayed_compression(bool on) { prefer_delayed_compression_ = on; }

  private:
    using Handler = void (SshSession::*)(SshBuffer& payload);
    struct Route {
        uint8_t first;
        uint8_t last;
        Handler handler;
    };
    static const Route kRoutes[];

    void set_state(SshState to);
    void version_step();
    void packet_step();
    void feed_transport();
    void flush_output();
    bool allowed(uint8_t number) const;
    void dispatch(SshBuffer& payload);
    int failure_code() const;
    uint64_t now_ms() const;
    void restart_deadline();
    bool past_deadline();

    Proposal our_proposal() const;
    void send_kexinit();
    void begin_rekey();
    void start_kex_run();
    void finish_kex();
    int send_all(std::vector<SshBuffer>& messages);

    void on_disconnect(SshBuffer& payload);
    void on_ignored(SshBuffer& payload);
    void on_kexinit(SshBuffer& payload);
    void on_newkeys(SshBuffer& payload);
    void on_kex_message(SshBuffer& payload);
    void on_service_accept(SshBuffer& payload);
    void on_ext_info(SshBuffer& payload);
    void on_service_message(SshBuffer& payload);

    FilterConfig config_;
    SshParts parts_;
    ByteQueue network_input_;
    ByteQueue application_input_;
    ByteQueue application_output_;
    ByteQueue network_output_;
    SshTransport transport_;
    SshState state_ = SshState::kVersionExchange;
    SshState resume_state_ = SshState::kServiceAccept;  // where a re-key returns to
    bool rekeying_ = false;
    int error_ = 0;
    std::string error_text_;
    Failure failure_;
    bool stepping_ = false;
    SshClock clock_;
    uint64_t step_started_ms_ = 0;  // when the current exchange step began
    bool compression_option_ = true;
    bool prefer_delayed_compression_ = false;

    std::string client_version_;
    std::string server_version_;
    uint32_t compat_ = 0;
    size_t banner_lines_ = 0;
    size_t banner_bytes_ = 0;

    std::string client_kexinit_;  // I_C
    std::string server_kexinit_;  // I_S
    bool kexinit_sent_ = false;
    uint32_t kexinit_sequence_ = 0;  // the send sequence number of our KEXINIT
    bool server_kexinit_seen_ = false;
    Negotiated negotiated_;
    std::unique_ptr<KexRun> run_;
    std::string session_id_;
    std::string host_key_blob_;                // the first exchange's; every re-key must show it again
    std::vector<std::string> host_key_types_;  // key types asked for first
    bool host_key_types_asked_ = false;
    bool strict_ = false;
    bool first_kex_done_ = false;
    int key_exchanges_ = 0;
    std::vector<std::string> server_sig_algs_;

    std::unique_ptr<SshService> service_;
    SshTrace trace_;
};

}  // namespace orvane::ssh
