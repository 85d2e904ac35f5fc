// The line protocols' shared channel and engine seam (FTP control, SMTP): bytes in, replies out,
// command lines out as bytes, and no socket anywhere.
#pragma once

#include <cstddef>
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
};

}  // namespace orvane
