// The SFTP version 3 client as a byte-stream engine: it never owns a socket. The carrier (the SSH
// session channel, or a pipe to a subsystem in tests) hands it the server's bytes with receive(),
// sends what take_output() gives, and calls step() after each arrival; the operation in progress
// ends with 0 or 1. One operation at a time; a protocol violation breaks the session for good.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "client/ssh/sftp/sftp_wire.h"
#include "client/transfer/net/filter.h"
#include "client/transfer/session/remote_file_entry.h"
#include "common/failure.h"
#include "common/local_file.h"

namespace orvane::sftp {

inline constexpr int kPending = 2;  // step(): the operation waits for more bytes
inline constexpr size_t kBlockSize = 32768;
inline constexpr size_t kMinBlock = 512;
inline constexpr size_t kMaxOutstanding = 64;
inline constexpr size_t kMaxListing = 200000;  // entries one listing may bring
inline constexpr size_t kMaxAbandoned = 4 * kMaxOutstanding;
// A walk's next file up to this size is read before the walk asks for it (its data held meanwhile).
inline constexpr uint64_t kReadAheadBytes = 8 * kBlockSize;

enum class Op : uint8_t {
    kNone,
    kInit,
    kPwd,
    kChdir,
    kList,
    kRemove,
    kRmdir,
    kMkdir,
    kRename,
    kStat,
    kSetTime,
    kDownload,
    kUpload
};

// Where an operation stands; one setter changes it and traces the change at debug.
enum class State : uint8_t {
    kIdle,
    kVersion,      // INIT sent
    kRealpath,     // REALPATH sent
    kCheckFolder,  // STAT of a canonical folder sent
    kOpendir,
    kReaddir,
    kStatus,  // a single STATUS awaited
    kAttrs,   // a single ATTRS awaited
    kTransferStat,
    kRenameOld,  // upload: RENAME of the existing remote file
    kOpen,
    kReading,
    kWriting,
    kCloseFile,
    kSetTime,   // upload: SETSTAT of the modification time
    kDropOpen,  // download ended before its OPEN (sent with the STAT) was answered
    kCount
};
const char* state_name(State s);

// A file transfer. Paths are the ones the caller has prepared (the local one already made safe).
struct Transfer {
    std::string remote_path;
    std::string local_path;
    DuplicateRules rules;
    std::string rename_suffix = ".fbak";
    bool preserve_time = true;  // download: local time from the server; upload: SETSTAT afterwards
};

class Client {
  public:
    // Every message goes to `log` (its session's log); null drops them.
    Client(LogCallback log, void* log_user);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The carrier's side.
    void receive(std::string_view bytes);
    void receive_closed();  // the stream ended
    // Takes the bytes to send (empties the engine's output).
    std::string take_output();
    // Or, without a copy: the bytes still to send, and how many of them went out.
    std::string_view output_view() const { return std::string_view(out_).substr(out_sent_); }
    void output_sent(size_t n);
    bool has_output() const { return out_sent_ < out_.size(); }
    // Bytes the output holds, sent ones not yet dropped included (its memory).
    size_t output_held() const { return out_.size(); }
    // Runs the operation with the bytes received so far: kPending, or its result (0 or 1) once.
    int step();
    // The carrier saw no answer for `seconds`: the operation fails and the session is closed.
    void fail_no_answer(int seconds);
    // The carrier failed (the SSH session broke and has said why): the operation fails with
    // `why` as its message when given and the carrier's kind of failure, and the session is closed.
    void fail_carrier(const std::string& why, FailureKind kind);
    // Counters the transfers keep up to date for a progress line (read on another thread).
    void watch_progress(std::atomic<uint64_t>* moved, std::atomic<uint64_t>* total) {
        progress_moved_ = moved;
        progress_total_ = total;
    }
    // Received bytes not yet worked through.
    size_t input_held() const { return in_.size() - in_pos_; }

    // Operations: 0 when started, 1 when another runs or the session is broken.
    int start();
    int current_directory();
    // Quiet: a folder that is not there is no news (a walk that creates it next says its own word).
    int change_directory(const std::string& path, bool quiet = false);
    // Lists `path`, or the current folder when it is empty.
    int list(const std::string& path = {});
    int remove(const std::string& path);
    int remove_folder(const std::string& path);
    // Quiet: a refusal is no news (a walk that finds the folder already there goes on).
    int make_folder(const std::string& path, bool quiet = false);
    int rename(const std::string& from, const std::string& to);
    int stat(const std::string& path);
    int set_time(const std::string& path, uint32_t unix_time);
    // `next_remote`: the file a walk will ask for next (empty when none): its STAT and OPEN go out
    // while this one streams, and its own download() takes their replies. Anything else asked of
    // the session first closes that handle and drops the replies.
    int download(const Transfer& t, const std::string& next_remote = {});
    int upload(const Transfer& t);

    bool busy() const { return op_ != Op::kNone; }
    bool broken() const { return broken_; }
    uint32_t version() const { return version_; }
    const std::string& directory() const { return directory_; }
    const std::vector<RemoteFileEntry>& listing() const { return listing_; }
    const RemoteFileEntry& entry() const { return entry_; }  // stat's result, a transfer's remote file
    uint64_t bytes_transferred() const { return moved_; }
    // Why the last operation failed: its kind and the error it reported (kind none after success).
    const Failure& failure() const { return failure_; }
    State state() const { return state_; }
    // Traces every state change at information level (for diagnosing a server).
    void set_trace(bool on) { trace_ = on; }

    // A read or write in flight.
    struct Pending {
        uint32_t id = 0;
        uint64_t offset = 0;
        uint32_t length = 0;
        std::string data;
        bool answered = false;
    };

  private:
    int begin(Op op);
    void say(const std::string& text, int level) const;
    void sayf(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void set_state(State s);
    uint32_t next_id() { return ++request_id_; }
    // Request builders: type, a fresh id, then the fields the caller appends.
    ssh::SshBuffer request(uint8_t type, uint32_t& id);
    void send(const ssh::SshBuffer& body);
    void send_path(uint8_t type, const std::string& path);
    void send_stat(const std::string& path);
    // OPEN of `path` with the pflags; `id` receives its request id.
    void send_open(const std::string& path, uint32_t pflags, uint32_t& id);
    // CLOSE of a handle whose answer nobody waits for: it is dropped when it comes.
    void close_unwatched(std::string_view handle);
    // SETSTAT of the modification time (access time the same); `id` receives its request id.
    void send_set_time(const std::string& path, uint32_t unix_time, uint32_t& id);
    // Ends the operation; a failure is the server's refusal unless `kind` says otherwise.
    void finish(int result, FailureKind kind = FailureKind::kRemote);
    void fail_local(const std::string& text);  // says `text` and fails: this side could not
    void violation(const std::string& why);    // ends the operation and breaks the session
    int on_reply(const Reply& r);              // through the handler of the state
    int expect_status(const Reply& r);
    // The replies of the single-request states.
    int on_check_folder(const Reply& r);
    void drop_folder_stat();  // the REALPATH failed: the STAT's reply is dropped when it comes
    int on_opendir(const Reply& r);
    int on_attrs(const Reply& r);
    int on_rename_old(const Reply& r);
    int on_set_time(const Reply& r);
    int on_no_request(const Reply& r);

    // Operations in several steps.
    int on_names(const Reply& r);
    int on_dir_names(const Reply& r);
    int on_transfer_stat(const Reply& r);
    int start_download_open();
    int on_early_open(const Reply& r);
    void drop_open_reply(const Reply& r);
    void end_before_open(int result, FailureKind kind = FailureKind::kRemote);
    int start_upload_open();
    int on_open(const Reply& r);
    int on_read_reply(const Reply& r);
    int on_read_data(uint32_t id, std::string_view data);
    int after_read();
    int write_front(std::string_view data);
    bool take_abandoned(uint32_t id);
    // The next download's STAT and OPEN sent ahead.
    void send_ahead(const std::string& remote_path);
    bool take_ahead(const Reply& r);  // a reply to them (or to an OPEN sent ahead and dropped)
    bool is_ahead_id(uint32_t id) const;
    size_t ahead_outstanding() const;
    struct Ahead;
    struct ReadsAhead;
    void adopt_ahead(Ahead a);  // the download asked for is the one sent ahead
    void drop_ahead();
    void read_ahead();  // the next file's reads, once its STAT and OPEN are in and this file's are out
    // A reply to one of `ra`'s reads, kept with it: false when it is none of them.
    bool keep_read_reply(ReadsAhead& ra, uint32_t id, uint8_t type, std::string_view data, const Reply* r);
    int adopt_early_reads();  // the download's reads sent ahead become its own
    void drop_abandoned();
    int on_write_reply(const Reply& r);
    void flush_reads();
    void issue_reads();
    void issue_writes();
    void close_file();
    int on_close_file(const Reply& r);
    void finish_download(int result);
    void status_failure(const Reply& r, const char* what);
    void abandon(uint32_t id);  // a request whose reply is dropped when it comes

    std::string in_;
    size_t in_pos_ = 0;
    std::string out_;
    size_t out_sent_ = 0;  // bytes at the front of out_ already sent
    bool broken_ = false;
    bool trace_ = false;
    LogCallback log_;
    void* log_user_;
    bool closed_ = false;
    Op op_ = Op::kNone;
    State state_ = State::kIdle;
    int result_ = kPending;
    Failure failure_;
    mutable std::string last_error_;  // the latest error said (say() is const): the failure's cause
    uint32_t request_id_ = 0;
    uint32_t expected_id_ = 0;
    uint32_t setstat_id_ = 0;  // an upload's SETSTAT sent behind its CLOSE
    // An upload's CLOSE goes right behind its last WRITE; its reply may come while writes are
    // still unanswered (kept until they are).
    uint32_t close_id_ = 0;
    bool close_answered_ = false;
    Reply close_reply_;
    uint32_t version_ = 0;
    std::string directory_;
    std::string candidate_;  // the canonical folder being checked
    // Entering a folder: the STAT sent with its REALPATH, and its reply when that came first.
    uint32_t folder_stat_id_ = 0;
    bool folder_stat_answered_ = false;
    Reply folder_stat_reply_;
    bool quiet_ = false;  // change_directory, make_folder: no message of its own
    std::vector<RemoteFileEntry> listing_;
    int list_result_ = 0;
    RemoteFileEntry entry_;
    std::string handle_;
    // A download's OPEN goes out with its STAT: its reply may come before the STAT's is decided.
    uint32_t open_id_ = 0;
    bool open_answered_ = false;
    Reply open_reply_;
    int drop_result_ = 0;
    FailureKind drop_kind_ = FailureKind::kRemote;
    struct ReadsAhead {
        std::deque<Pending> reads;
        uint64_t end = 0;  // the offset after the last of them
        bool sent = false;
        bool eof = false;
        bool failed = false;
        Reply failure;
    };
    ReadsAhead early_;  // the download's own reads, sent while it was the next file
    struct Ahead {
        ReadsAhead r;
        std::string remote_path;
        uint32_t stat_id = 0;
        uint32_t open_id = 0;
        bool stat_answered = false;
        bool open_answered = false;
        Reply stat_reply;
        Reply open_reply;
    };
    Ahead ahead_;
    std::deque<uint32_t> orphan_opens_;  // OPENs sent ahead and dropped: a handle they bring is closed

    // Transfers.
    Transfer transfer_;
    LocalFile file_;
    bool downloading_ = false;
    bool eof_ = false;
    uint64_t offset_ = 0;  // next request's offset
    uint64_t start_offset_ = 0;
    uint64_t moved_ = 0;
    size_t block_ = kBlockSize;
    std::deque<Pending> pending_;
    std::deque<uint32_t> abandoned_;
    bool size_known_ = false;
    uint32_t local_time_ = 0;
    std::atomic<uint64_t>* progress_moved_ = nullptr;
    std::atomic<uint64_t>* progress_total_ = nullptr;
};

}  // namespace orvane::sftp
