// The line protocols' shared channel and engine seam (FTP control, SMTP): bytes in, replies out,
// command lines out as bytes, and no socket anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/transfer/text/reply_reader.h"

namespace orvane {

// One command-and-reply channel: the reply reader of what the server sends and the bytes of the
// lines going the other way. Nothing here knows of sockets, threads or time.
class LineChannel {
  public:
    explicit LineChannel(ReplyLimits limits = {});
    ~LineChannel();
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    // Queues `line` and CR LF. 1 (nothing queued) when the line is empty, holds CR, LF or NUL (a
    // value that would smuggle a second command), or would pass `max_line` characters.
    int send_line(std::string_view line, size_t max_line = kDefaultMaxLine);
    // Queues bytes as they are (a mail message and its dot line).
    void send_raw(std::string_view bytes);
    // The bytes to send, oldest first; what is taken is gone from here.
    std::string take_output();
    bool output_pending() const { return !out_.empty(); }
    // Wipes the queued output (it held a password) and forgets it.
    void wipe_output();

    // Bytes from the server. 0, or the reader's (sticky) error number.
    int receive(std::string_view bytes);
    // 1 when a complete reply was moved into `out`, 0 when more bytes are needed, -1 after an error.
    int next(ServerReply& out) { return reader_.take(out); }
    // The server has closed: 0, or the error (a reply cut in the middle).
    int finish() { return reader_.finish(); }
    // A TLS go-ahead must be the last thing the server sent in plain text: bytes behind it would be
    // read as if they had come through TLS.
    bool more_after_go_ahead() const { return reader_.pending(); }
    ReplyError error() const { return reader_.error(); }
    // Bytes given to the reader since the last reset.
    size_t received() const { return received_; }
    // A new connection: reader and output start empty.
    void reset();

    static constexpr size_t kDefaultMaxLine = 4096;

  private:
    ReplyReader reader_;
    std::string out_;
    size_t received_ = 0;
};

// What an engine asks of the connection under it after a call.
struct LineNext {
    enum Kind : int {
        kWait,      // more bytes from the server are needed (send take_output() first)
        kStartTls,  // switch the connection to TLS now, then call the engine again
        kFinish,    // the exchange is over with `result`
    } kind = kWait;
    int result = 0;      // kFinish: 0 success, 1 failure
    bool close = false;  // kFinish: the connection cannot be used again (close it)
};

// A line-protocol engine: the adapter over a connection feeds it bytes and events and carries out
// what next() asks. An engine never blocks and never sees a socket.
class LineEngine {
  public:
    virtual ~LineEngine() = default;
    // Plain-text bytes from the server (after TLS, when TLS is on).
    virtual void receive(std::string_view bytes) = 0;
    // Bytes to send, in order; empty when nothing is due.
    virtual std::string take_output() = 0;
    // The server closed its end.
    virtual void closed() = 0;
    // The server did not answer within the connection's time.
    virtual void timed_out() = 0;
    // What the connection must do now.
    virtual LineNext next() = 0;

    // ---- What some engines need beyond bytes; the defaults suit an engine that needs none ----

    // A step was posted on the connection; `connection_up` says whether it still has a socket.
    virtual void started(bool connection_up) { (void)connection_up; }
    // The TCP connection is up, from this local address.
    virtual void connected(const std::string& local_address, uint32_t local_port) {
        (void)local_address;
        (void)local_port;
    }
    // kResolve: the host name could not be looked up; kStart: the connect failed at once; kEstablish:
    // the connect in progress failed. `error`: an errno value or 0.
    enum class ConnectError : int { kResolve, kStart, kEstablish };
    virtual void connect_failed(ConnectError what, int error) {
        (void)what;
        (void)error;
    }
    // kUnavailable: no TLS could be set up; kHandshake: the handshake could not start, or failed;
    // kBroken: TLS failed after the handshake. `cause` is " (why)" or empty.
    enum class TlsError : int { kUnavailable, kHandshake, kBroken };
    // Heard at once when the switch asked for by kStartTls fails, and later when TLS breaks. The
    // next() after kStartTls without this means TLS is on.
    virtual void tls_failed(TlsError what, const std::string& cause) {
        (void)what;
        (void)cause;
    }
    // Bytes received before TLS that are the server's first TLS records.
    virtual std::string take_early_tls_input() { return {}; }
    // What a new TLS session's handshake settled goes to log() before its first bytes reach the
    // engine.
    virtual bool describes_tls() const { return false; }
    // Everything queued for sending has left, or the peer's side ended.
    virtual void output_sent() {}
    // The peer stopped taking bytes for longer than the connection's time.
    virtual void send_stalled() { timed_out(); }
    // The procedure over this connection gave up on the exchange (its other connection failed).
    virtual void aborted() {}
    // The user asked the running exchange to stop (see request_cancel); heard once per request.
    virtual void cancelled() {}
    // The peer sent more than the connection holds between two wake-ups.
    virtual void input_overflowed() {}
    // After kFinish: reads start over (a receive still waiting is dropped, TLS takes the next).
    virtual bool restart_reads() const { return false; }
    // True once after a secret has gone out: copies in the connection's buffers are wiped then.
    virtual bool sent_secret() { return false; }
    // A time limit of the engine's own for the current wait, in seconds (the connection's own
    // applies when it is shorter); -1 for none.
    virtual int time_limit() const { return -1; }
    // The engine's own time limit ran out (not the connection's).
    virtual void limit_expired() {}
    // Where messages go, and whether state changes are traced there.
    virtual void log(int level, const std::string& text) {
        (void)level;
        (void)text;
    }
    virtual bool tracing() const { return false; }
    virtual const char* name() const { return "line"; }
};

}  // namespace orvane
