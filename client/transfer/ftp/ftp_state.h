// The FTP layer's working state of one session, shared by its control steps, data steps and procedures.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/transfer/line/line_step.h"
#include "client/transfer/net/connection.h"
#include "client/transfer/session/session.h"
#include "client/transfer/text/ascii_line_ends.h"
#include "client/transfer/text/listing_parser.h"
#include "client/transfer/text/reply_reader.h"

namespace orvane {

// The commands of the control channel, one row each in the command table (ftp_steps.cpp).
// kGreeting sends nothing: its reply is the server's greeting.
enum class FtpCommand : int {
    kNone = 0,
    kGreeting,
    kTlsGreeting,  // the greeting of an implicit-TLS server, read through TLS
    kAuthTls,
    kAuthTlsC,
    kAuthTlsP,
    kAuthSsl,
    kUser,
    kPass,
    kAcct,
    kPbsz,
    kProtC,
    kProtP,
    kQuit,
    kRnfr,
    kRnto,
    kCwd,
    kEnter,  // CWD into a full path, no PWD: the path is known
    kCdup,
    kPwd,
    kMkd,
    kRmd,
    kDele,
    kRest,
    kSize,
    kMdtm,
    kSetMdtm,
    kMfmt,
    kTypeA,
    kTypeI,
    kPasv,
    kPort,
    kList,
    kNlst,
    kRetr,
    kStor,
    kPasvRetr,  // PASV with RETR right behind it: one round trip less per file
    kPasvStor,  // PASV with STOR right behind it
    // MDTM, PASV and RETR in one write, when the time only dates the local file afterwards
    kMdtmPasvRetr,
    kPasvMlsd,  // PASV with a walk's MLSD right behind it
    // MLST of a walk's first folder, PASV and its MLSD in one write
    kMlstPasvMlsd,
    kRetrQueued,  // the reply to a RETR sent with PASV (nothing is sent)
    kStorQueued,
    kMlsdQueued,
    kFeat,
    kMlsd,
    kMlst,
    kCustom,
    kCount,
};
inline constexpr int kFtpCommandCount = static_cast<int>(FtpCommand::kCount);
const char* ftp_command_name(FtpCommand command);

// A reply line must hold what it answers whole: "257" and a folder of the path capacity with every
// quote doubled, and the server's words around it. A cut line would turn a confirmed change of
// folder into a failure while the server has moved.
inline constexpr ReplyLimits kFtpReplyLimits{2 * kPathCapacity + 256, 1000, 65536};

// Written by the control steps on the control connection's thread; read by the procedures only
// after the step's completion (or before it is posted).
struct FtpControl {
    LineChannel channel{kFtpReplyLimits};
    FtpCommand command = FtpCommand::kNone;
    ServerReply reply;  // the reply that decided the last step
    ServerReply greeting;
    bool user_accepted = false;  // USER answered positively: no password is asked for
    bool announced = false;      // the RETR reply announced the file's size
    uint64_t announced_size = 0;
    bool preliminary = false;  // the transfer command got its preliminary reply
    // PASV sent with its transfer command: its reply has come, and whether it failed (the transfer
    // command's own reply is then still to be read).
    bool passive_answered = false;
    bool passive_failed = false;
    // MDTM or MLST sent ahead of PASV and a transfer command: its reply has come, and what it gave
    // (MDTM's time, MLST's unique fact of the folder; empty when refused or not given).
    bool lead_answered = false;
    std::string lead_answer;
    // The representation type the server has confirmed on this connection (kTypeA or kTypeI), so
    // that TYPE goes out only when it changes; kNone when unknown: before the first TYPE, after a
    // refused one, after a command of the user's own (it may change the type), and on a new
    // connection.
    FtpCommand type = FtpCommand::kNone;
};

// Raised on the data connection by the control step once the server has answered the transfer
// command (LIST, NLST, RETR, STOR) with a preliminary or positive reply. Only then does a protected
// data connection start its TLS handshake and an upload send its file: some servers (pyftpdlib's
// TLS handler among them) drop a data connection whose bytes come before the command.
// An application flag of the FTP layer, above the network core's own bits.
inline constexpr uint32_t kFlagTransferGoAhead = 0x100;
// Raised on the data connection once the server has confirmed the transfer (its final positive
// reply): a protected upload that waits for the server to close may then end.
inline constexpr uint32_t kFlagTransferConfirmed = 0x200;

// Written by the data steps on the data connection's thread; read by the procedures after the join.
struct FtpDataChannel {
    ReceiveHandler inner = nullptr;  // the session's own receive handler, which this one wraps
    uint64_t bytes = 0;              // bytes received
    bool sink_failed = false;        // the download file or the listing queue refused bytes
    bool sending = false;
    bool go_ahead = false;             // the server has answered the transfer command
    LocalFile* held_source = nullptr;  // the upload file, held back until the go-ahead
    bool connected = false;            // the TCP connection is up (connected or accepted)
    bool handshake_started = false;    // TLS: the data handshake has been started
    bool shutdown_queued = false;      // TLS: close_notify queued behind the uploaded file
    bool closed = false;               // the server closed the data connection before the last read
    std::string sink_error;            // why the file or the listing refused bytes
    // Why the data step failed on its own (not through the abort); the procedure records it on the
    // session after the join.
    Failure failure;

    // Set by the procedure before the step is posted.
    int sink_mode = 0;                       // download: the local file's open mode, opened at the go-ahead
    bool sink_ready = false;                 // the file is open (or there is none to open)
    std::unique_ptr<ListingStream> listing;  // a listing: lines parsed as they arrive
    bool ascii = false;                      // line ends converted (ASCII transfers)
    // STOR went out with PASV, before the data connection: over plain FTP the server has the command
    // before any byte can reach it, so the file need not wait for the answer to STOR.
    bool command_ahead = false;
    AsciiDecoder decoder;
    AsciiEncoder encoder;
    SendHandler inner_send = nullptr;  // the session's own send handler, which the ASCII one wraps
    std::vector<uint8_t> converted;    // the bytes of one block after line-end conversion
};

// The running procedure's per-file state (requester's thread only).
struct FtpTransfer {
    std::string remote_name;  // as the server's commands name the file
    std::string local_path;
    bool resume = false;
    bool local_exists = false;
    bool listening = false;  // an active-mode listening socket is open on the data connection
    int ascii = 0;           // the file goes as TYPE A
    uint64_t resume_offset = 0;
    DuplicateAction duplicate_decision = kDuplicateOverwrite;
    bool by_path = false;     // commands name the file by its full path (a walk that enters no folder)
    bool in_walk = false;     // a walk's file: the transfer command goes right behind PASV
    bool time_known = false;  // the remote file's time (UTC) and size are known exactly
    // The duplicate rules have decided without the time: it only dates the local file afterwards.
    bool decided = false;
    bool size_known = false;
    bool machine_listing = false;  // the running listing is MLSD
    std::string list_path;         // the folder a walk lists by its path
    // The walk's folders by their machine listing's "unique" fact: a server that follows links
    // lists a link to a folder above as that folder, and walking into it would never end.
    std::map<std::string, std::string> folder_ids;
    bool top_folder_asked = false;  // the walk's first folder's own fact was asked for (MLST)
};

// What the FTP layer keeps of one server session across its requests. Each field is written either
// before a step is posted or by a step, and read by the steps and procedures that follow it.
struct FtpSessionState {
    // TLS, decided at connect: the data connection stays clear only for FTPS with a clear data
    // channel whose AUTH variant did not already imply protection.
    int clear_data = 0;
    int implicit_tls = 0;             // the server spoke TLS from its first byte
    int auth_implies_protection = 0;  // AUTH TLS-P or AUTH SSL: no PBSZ/PROT follows
    // Passive mode: where the PASV reply sends the data connection.
    std::string passive_address;
    uint32_t passive_port = 0;
    // Active mode: the control connection's local end, which PORT names, and the port counter,
    // kept in 10000..32000.
    std::string local_address;
    uint32_t local_port = 0;
    int data_port = 10000;
    int host_supports_resume = 1;  // once REST is refused, no later file of the session resumes
    // What FEAT announced, asked once per connection before the first walk: machine listings
    // (MLSD, MLST) spare a walk every per-file SIZE and MDTM, and MFMT sets an uploaded file's time
    // without a refused "MDTM time file" first.
    bool features_known = false;
    bool machine_listing = false;  // MLST offered and MLSD not refused as unknown
    bool mfmt = false;             // MFMT offered, or "MDTM time file" was refused and MFMT taken
};

// The result of a channel step of a two-channel operation that has not finished yet.
inline constexpr int kResultPending = -1;

// The running two-channel operation (requester's thread: set as its steps are posted, and advanced
// by their completions).
struct FtpJoin {
    int data_result = kResultPending;
    int control_result = kResultPending;
    CompletionCallback continuation = nullptr;
    int code = 0;
};

class FtpControlEngine;

struct FtpState final : ProtocolState {
    explicit FtpState(Session& s);
    ~FtpState();
    FtpState(const FtpState&) = delete;
    FtpState& operator=(const FtpState&) = delete;

    FtpSessionState session;
    FtpControl control;
    std::unique_ptr<FtpControlEngine> engine;  // drives `control` from the bytes of the control connection
    LineLink link;                             // the control step's memory of the connection
    FtpDataChannel data;
    FtpTransfer transfer;
    FtpJoin join;
    std::atomic<bool> data_running{false};      // a data step is under way (read by the control step)
    std::atomic<bool> timeout_reported{false};  // the running request has reported its timeout
};

// The one message of a wait on the server that ran out of time (once per request), and the sound
// end of it: the caller closes the connection.
void report_timeout(Session& s);

// The FTP state of the session, made on first use (requester's thread, before a step is posted).
FtpState& ftp_state(Session& s);
// The state of a session whose steps are running (it exists by then).
inline FtpState& running_ftp_state(Session& s) {
    return *static_cast<FtpState*>(s.protocol_state.get());
}
inline Session& step_session(Connection& c) {
    return *c.step_state.session;
}

}  // namespace orvane
