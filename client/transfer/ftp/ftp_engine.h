// The FTP control channel as an engine: commands go out and replies come in as bytes, and the
// command table decides what follows. No socket, thread or clock is seen here.
#pragma once

#include <optional>
#include <string>

#include "client/transfer/ftp/ftp_state.h"
#include "client/transfer/line/line_channel.h"

namespace orvane {

class FtpControlEngine final : public LineEngine {
  public:
    FtpControlEngine(Session& s, FtpControl& fc, FtpSessionState& fs) : s_(s), fc_(fc), fs_(fs) {}

    // What the next step over the connection does: connect and read the greeting (with AUTH for
    // the TLS kinds); switch to TLS as the kind asks and send USER; send `command` and follow its
    // replies.
    void prepare_connect();
    void prepare_login();
    void prepare_command(FtpCommand command);

    void receive(std::string_view bytes) override;
    std::string take_output() override { return fc_.channel.take_output(); }
    void closed() override { closed_ = true; }
    void timed_out() override { timed_out_ = true; }
    LineNext next() override;

    void started(bool connection_up) override { connection_up_ = connection_up; }
    void connected(const std::string& local_address, uint32_t local_port) override;
    void connect_failed(ConnectError what, int error) override;
    void tls_failed(TlsError what, const std::string& cause) override;
    std::string take_early_tls_input() override;
    bool describes_tls() const override { return true; }
    void output_sent() override { output_sent_ = true; }
    void send_stalled() override { send_stalled_ = true; }
    void aborted() override { aborted_ = true; }
    void cancelled() override { ++cancels_; }
    void input_overflowed() override { overflowed_ = true; }
    bool restart_reads() const override { return restart_reads_; }
    bool sent_secret() override;
    int time_limit() const override;
    void limit_expired() override { limit_expired_ = true; }
    void log(int level, const std::string& text) override;
    bool tracing() const override;
    const char* name() const override { return "FTP control"; }

  private:
    enum class Phase : int { kIdle, kConnecting, kStartTls, kAfterTls, kSend, kExchanging };

    LineNext step();
    LineNext exchanging();
    LineNext send_command();
    LineNext handle_reply(const ServerReply& reply, bool& go_on);
    LineNext finish_quit();
    LineNext take_implicit_tls();
    LineNext finish(int result, bool close = false);
    // The single failure point: the message (when there is one), the kind and cause on the
    // session, and the end of the step.
    LineNext fail(FailureKind kind, const std::string& message, bool close = false);
    LineNext fail_timed_out();
    // The user's stop: ABOR for a transfer the first time, else the connection goes.
    LineNext on_cancel();
    // A reply while ABOR settles the transfer: the transfer's own final reply and ABOR's.
    LineNext take_abort_reply(const ServerReply& reply, bool& go_on);
    void clear_events();

    Session& s_;
    FtpControl& fc_;
    FtpSessionState& fs_;
    Phase phase_ = Phase::kIdle;
    std::optional<LineNext> decided_;  // an outcome known before next() was asked
    std::string early_;                // an implicit-TLS server's first bytes
    bool connection_up_ = false;
    bool implicit_ = false;  // the first bytes were no reply: the server speaks TLS
    bool restart_reads_ = false;
    bool probing_ = false;  // waiting for the greeting under the implicit-TLS probe limit
    bool secret_out_ = false;
    bool secret_sent_ = false;
    bool reader_failed_ = false;
    std::optional<TlsError> tls_error_;
    std::string tls_cause_;
    // What happened since the last next().
    bool closed_ = false, timed_out_ = false, output_sent_ = false, send_stalled_ = false;
    bool aborted_ = false, overflowed_ = false, limit_expired_ = false;
    // The user's stops during this command (kept across wake-ups, unlike the events above), how
    // many were acted on, and the replies still owed after ABOR.
    int cancels_ = 0, cancels_handled_ = 0, abort_replies_ = 0;
};

}  // namespace orvane
