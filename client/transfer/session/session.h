// Session: one logical connection to one server over one protocol, and its request slot.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/transfer/net/connection.h"
#include "client/transfer/session/protocol_kind.h"
#include "client/transfer/session/remote_file_entry.h"
#include "client/transfer/session/remote_listing.h"
#include "common/failure.h"
#include "common/limits.h"

namespace orvane {

class EngineOwner;
class TransferEngine;
struct FolderWalk;

// A protocol layer's working state of one session (FTP's steps and engine, SFTP's client), made by
// that layer on first use and freed after both connections are closed.
struct ProtocolState {
    virtual ~ProtocolState() = default;
};
// The running folder walk is the walks' own (folder_walk.cpp), and so is its end.
struct FolderWalkEnd {
    void operator()(FolderWalk* walk) const;
};

// What the front end's hook into connect and login is shown or asked.
enum class ReplyHookKind : int {
    kGreeting = 1,  // data: the ByteQueue of the greeting's lines; flag 1 when refused
    kUser = 2,      // data: the user name (std::string), which the hook may fill
    kPassword = 3,  // data: the password (Secret), which the hook may fill
};
// The hook: a function and its context, called on the requester's thread while connect runs.
// It returns 0 to go on, or 1 to cancel the login (no answer to a prompt): connect then fails
// without sending the user name or password.
struct ReplyHook {
    int (*function)(void* context, ReplyHookKind kind, void* data, int flag) = nullptr;
    void* context = nullptr;
    explicit operator bool() const { return function != nullptr; }
    int operator()(ReplyHookKind kind, void* data, int flag) const {
        return function ? function(context, kind, data, flag) : 0;
    }
};
// A request's done callback: runs once, on the requester's thread, with 0 success, 1 failure.
using DoneCallback = void (*)(int code, void* object, int result);

// The requests of the catalogue; each protocol kind has one handler per request.
enum class RequestKind : int {
    kNone = 0,
    kConnect,
    kModificationTime,
    kFinishWithResult,
    kDisconnect,
    kGetListing,
    kTransferList,
    kDeleteList,
    kMakeFolder,
    kRename,
    kPrintFolder,
    kChangeFolder,
    kDownload,
    kUpload,
    kCustomCommand,  // a raw command line, sent as given
    kCount,
};
inline constexpr int kRequestKindCount = static_cast<int>(RequestKind::kCount);
const char* request_name(RequestKind kind);

struct Session;
// Starts the work of the session's current request (its arguments are in the session). It
// must lead, through steps and continuations, to exactly one complete_request().
using RequestHandler = void (*)(Session& s);

// One handler a protocol offers for one request.
struct RequestEntry {
    RequestKind kind;
    RequestHandler handler;
};

using RequestRow = std::array<RequestHandler, kRequestKindCount>;

// The handlers a session is made with: rows in protocol-kind order (FTP, SFTP, FTPS protected,
// FTPS clear), built by make_request_table(). A request without one completes with 1 and says so.
struct RequestTable {
    std::array<RequestRow, kProtocolKindCount> rows{};

    RequestHandler handler(int protocol, RequestKind kind) const;
};

// How files go over an FTP data connection; any value but kTransferAscii is binary.
enum TransferType : int {
    kTransferUnset = 0,
    kTransferBinary = 1,
    kTransferAscii = 2,
};

// The only proxy kind: HTTP CONNECT.
enum ProxyType : int {
    kProxyHttpConnect = 201,
};

struct Session {
    ~Session();  // closes both connections; the last user of the engine stops it
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint32_t active = 1;
    LogCallback log = nullptr;
    void* log_user = nullptr;
    int log_enabled = 1;  // anything but 1: nothing of this session is logged

    // The file being worked on.
    RemoteFileEntry local_entry;
    RemoteFileEntry remote_entry;
    RemoteFileEntry target_entry;  // what the server reported about the target
    DuplicateRules upload_rules;   // by size, overwrite in every case
    DuplicateRules download_rules;
    TransferType transfer_type = kTransferUnset;

    RemoteListing listing;                      // Get listing result
    std::vector<RemoteFileEntry> delete_list;   // Delete list argument
    std::vector<TransferPair> transfer_list;    // Transfer list argument
    std::vector<TransferPair> work_list;        // built by the walks
    std::vector<RemoteFileEntry> scratch_list;  // SFTP transfer steps
    std::vector<uint8_t> scratch;               // freed at the end of every transfer procedure

    std::string remote_folder = "/";
    std::string local_folder;
    std::string path1;  // first path argument (joined and normalised)
    std::string path2;  // second path argument

    std::string host;
    uint32_t port = 21;
    std::string user;
    Secret password;  // kept out of core dumps, wiped when replaced
    std::string account;
    std::string key_file;     // SFTP private key
    std::string pass_phrase;  // its pass phrase
    int protocol = kProtocolFtp;
    bool implicit_tls = false;  // FTPS: TLS from the first byte, whatever the port

    std::string rename_suffix = ".fbak";
    int sftp_block_size = 32768;
    std::string modification_time;  // the last Get modification time answer

    int passive = 1;   // 1 PASV, else PORT
    int parallel = 1;  // files a transfer walk may move at once; 1: this session alone
    // A Transfer list of files picked one by one (mget, mput): a failed file fails the request but
    // does not stop the others.
    bool independent_files = false;
    // A helper session of a parallel walk: each file it downloads or uploads is a walk's file, with
    // its commands written ahead where they can be, and it enters folders by their full path.
    bool walk_helper = false;
    int listing_kind = 0;  // 1 NLST, else LIST
    // What an FTP listing command carries after its verb (options, a path); empty: the current folder.
    std::string listing_argument;

    std::string argument;  // command argument; also receives SIZE and MDTM answers

    int direct_result = 0;  // what Finish with result reports
    ReplyHook reply_hook;

    // HTTP CONNECT proxy for SFTP.
    int proxy_enabled = 0;
    ProxyType proxy_type = kProxyHttpConnect;
    std::string proxy_host;
    uint32_t proxy_port = 80;
    std::string proxy_user;
    std::string proxy_password;

    // Request slot: busy while `done` is set.
    DoneCallback done = nullptr;
    int caller_code = 0;
    void* caller_object = nullptr;
    RequestKind request = RequestKind::kNone;
    int immediate_result = 0;  // a request that completes without work reports this
    Failure failure;           // why the running (or last) request failed; cleared as one starts
    // How often the user asked the running request to stop (request_cancel): the steps and the
    // procedures read it on any thread; cleared as a request starts.
    std::atomic<int> cancel{0};
    // The running transfer's bytes through the local file, and the size the server announced or
    // the caller knew (0: unknown): read by the requester for its progress line.
    std::atomic<uint64_t> progress_bytes{0};
    std::atomic<uint64_t> progress_total{0};

    Notifier notify;
    int timeout = 0;  // seconds; 0 none
    std::thread::id requester;

    RequestTable requests;  // the handlers of the requests, fixed at creation
    EngineOwner* engine_owner = nullptr;
    TransferEngine* engine = nullptr;
    Connection* control = nullptr;
    Connection* data = nullptr;  // none for SFTP

    std::unique_ptr<ProtocolState> protocol_state;
    // The running folder walk of a Transfer list or Delete list request.
    std::unique_ptr<FolderWalk, FolderWalkEnd> walk_state;
    bool trace = false;  // the steps' and the walk's state changes go to the log
};

// The handlers every session connection starts with: received bytes go to the download file when
// one is set, otherwise to the receive queue; bytes to send come from the send queue, then from the
// upload file.
int session_receive(Connection& c, const uint8_t* data, size_t n);
int session_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity);

// Creates a session on the engine of `engines` (started for the first user): fills the defaults,
// takes the request handlers, and opens the control connection and, except for SFTP, the data
// connection. Null on failure. Sessions are created, used and destroyed on the requester's
// thread, and `engines` outlives them.
std::unique_ptr<Session> create_session(EngineOwner& engines, const RequestTable& requests, void* log_user,
                                        LogCallback log, Notifier notify, int protocol, int timeout_seconds);
// Runs the done callbacks of finished requests of the sessions on `engines`: call whenever the
// notify function has woken the requester's thread.
void pump_session_completions(EngineOwner& engines);

// Writes a message through the session's log callback (nothing when logging is off).
void session_log(const Session& s, int level, const char* text);

}  // namespace orvane
