// The SFTP engine: framing of the incoming stream, the single-reply operations and the listing.
#include "client/ssh/sftp/sftp_client.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "client/transfer/session/duplicate_rules.h"
#include "common/big_endian.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/table.h"

namespace orvane::sftp {

namespace {

constexpr const char* kStateNames[] = {"idle",          "version",    "realpath", "check-folder",
                                       "opendir",       "readdir",    "status",   "attrs",
                                       "transfer-stat", "rename-old", "open",     "reading",
                                       "writing",       "close-file", "set-time", "drop-open"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(State::kCount));

uint32_t get_u32_at(std::string_view s, size_t at) {
    return load_be32(s.data() + at);
}

}  // namespace

const char* state_name(State s) {
    return kStateNames[static_cast<size_t>(s)];
}

Client::Client(LogCallback log, void* log_user) : log_(log), log_user_(log_user) {}
Client::~Client() {
    wipe_secret(handle_);
    wipe_secret(ahead_.open_reply.bytes);
}

void Client::say(const std::string& text, int level) const {
    if (level == kLevelError) last_error_ = text;
    if (log_) log_(log_user_, text.c_str(), level, 1);
}

void Client::sayf(int level, const char* format, ...) const {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    say(text, level);
}

void Client::set_state(State s) {
    if (trace_ && s != state_) sayf(kLevelInfo, "SFTP: %s -> %s", state_name(state_), state_name(s));
    state_ = s;
}

// Between operations the only replies due are those of a failed transfer's requests still in
// flight (up to a whole window of DATA), dropped as they come, and those of the next download sent
// ahead, kept for it; whole packets only.
void Client::drop_abandoned() {
    while (!abandoned_.empty() || ahead_outstanding() > 0) {
        size_t pos = in_pos_;
        std::string_view body;
        if (take_packet(in_, pos, body) != Frame::kPacket || body.size() < 5 ||
            static_cast<uint8_t>(body[0]) == kVersion)
            return;
        const uint32_t id = get_u32_at(body, 1);
        if (is_ahead_id(id)) {
            Reply r;
            std::string why;
            if (parse_reply(body, r, why) != 0) return;  // the next operation fails on it
            take_ahead(r);
        } else if (!take_abandoned(id)) {
            return;
        }
        in_pos_ = pos;
    }
}

void Client::receive(std::string_view bytes) {
    if (broken_) return;
    // The stream holds at most one packet being assembled plus what arrived with it; a server that
    // floods us without replies is cut off by the packet limit as soon as its length is read.
    if (in_pos_ > 0 && in_pos_ >= in_.size() / 2) {
        in_.erase(0, in_pos_);
        in_pos_ = 0;
    }
    in_.append(bytes);
    if (op_ != Op::kNone) return;
    drop_abandoned();
    // A server never speaks unasked: bytes that pile up while nothing waits for them end the session.
    if (input_held() > 2 * (kMaxPacket + 4)) {
        say("ERROR: The SFTP server sent data nobody asked for; the session is closed", kLevelError);
        broken_ = true;
    }
}

void Client::receive_closed() {
    closed_ = true;
}

std::string Client::take_output() {
    std::string out = out_.substr(out_sent_);
    out_.clear();
    out_sent_ = 0;
    return out;
}

// The buffer keeps its capacity: a transfer reuses the same storage for every window. What was
// sent is dropped once it is half the buffer, so the output never grows past about two windows
// even when the carrier never drains it completely.
void Client::output_sent(size_t n) {
    out_sent_ += std::min(n, out_.size() - out_sent_);
    if (out_sent_ == out_.size()) {
        out_.clear();
        out_sent_ = 0;
    } else if (out_sent_ >= out_.size() / 2) {
        out_.erase(0, out_sent_);
        out_sent_ = 0;
    }
}

int Client::begin(Op op) {
    if (op_ != Op::kNone || broken_) return 1;
    if (op != Op::kDownload) drop_ahead();
    op_ = op;
    quiet_ = false;
    result_ = kPending;
    failure_.clear();
    last_error_.clear();
    return 0;
}

ssh::SshBuffer Client::request(uint8_t type, uint32_t& id) {
    ssh::SshBuffer b(kMaxPacket);
    b.put_byte(type);
    id = next_id();
    b.put_u32(id);
    return b;
}

void Client::send(const ssh::SshBuffer& body) {
    put_packet(out_, body);
}

void Client::send_path(uint8_t type, const std::string& path) {
    ssh::SshBuffer b = request(type, expected_id_);
    b.put_string(path);
    send(b);
}

void Client::send_set_time(const std::string& path, uint32_t unix_time, uint32_t& id) {
    ssh::SshBuffer b = request(kSetstat, id);
    b.put_string(path);
    RemoteFileEntry a;
    a.sftp_flags = kAttrTimes;
    a.unix_time = unix_time;
    encode_attrs(b, a);
    send(b);
}

// Version 0 servers know only the old STAT (the number later given to LSTAT).
void Client::send_stat(const std::string& path) {
    send_path(version_ == 0 ? kLstat : kStat, path);
}

void Client::send_open(const std::string& path, uint32_t pflags, uint32_t& id) {
    ssh::SshBuffer b = request(kOpen, id);
    b.put_string(path);
    b.put_u32(pflags);
    b.put_u32(0);  // no attributes
    send(b);
}

void Client::close_unwatched(std::string_view handle) {
    uint32_t id = 0;
    ssh::SshBuffer b = request(kClose, id);
    b.put_string(handle);
    send(b);
    abandon(id);
}

void Client::finish(int result, FailureKind kind) {
    if (result != 0) failure_.set(kind, last_error_);
    file_.close();
    // A transfer that failed with requests in flight: their replies are still coming and must not
    // be taken for the next operation's, and the server's handle is closed rather than leaked.
    if (!broken_ && (state_ == State::kReading || state_ == State::kWriting)) {
        for (const Pending& p : pending_) abandon(p.id);
        if (close_id_ == 0) {
            ssh::SshBuffer b = request(kClose, close_id_);
            b.put_string(handle_);
            send(b);
        }
        if (!close_answered_) abandon(close_id_);
        if (setstat_id_ != 0) abandon(setstat_id_);
    }
    close_id_ = 0;
    close_answered_ = false;
    wipe_secret(close_reply_.bytes);
    setstat_id_ = 0;
    pending_.clear();
    for (Pending& p : early_.reads) {
        if (!p.answered && !broken_) abandon(p.id);
        wipe_secret(p.data);
    }
    early_ = ReadsAhead{};
    // An OPEN still unanswered (the session broke, or the operation ended on this side): its reply
    // is dropped when it comes; an answered one's handle is given back.
    if (open_id_ != 0 && !broken_) {
        if (open_answered_)
            drop_open_reply(open_reply_);
        else
            abandon(open_id_);
    }
    open_id_ = 0;
    open_answered_ = false;
    wipe_secret(open_reply_.bytes);
    drop_folder_stat();
    wipe_secret(handle_);
    handle_.clear();
    op_ = Op::kNone;
    set_state(State::kIdle);
    result_ = result;
}

void Client::violation(const std::string& why) {
    say("ERROR: " + escape_controls(why) + "; the SFTP session is closed", kLevelError);
    broken_ = true;
    finish(1, FailureKind::kProtocol);
}

void Client::fail_local(const std::string& text) {
    say(text, kLevelError);
    finish(1, FailureKind::kLocal);
}

void Client::fail_no_answer(int seconds) {
    if (op_ == Op::kNone) return;
    sayf(kLevelError, "ERROR: The SFTP server did not answer within %d seconds; the session is closed",
         seconds);
    broken_ = true;
    finish(1, FailureKind::kTimeout);
}

void Client::fail_carrier(const std::string& why, FailureKind kind) {
    if (!why.empty()) say("ERROR: " + escape_controls(why) + "; the SFTP session is closed", kLevelError);
    broken_ = true;
    if (op_ != Op::kNone) finish(1, kind);
}

void Client::status_failure(const Reply& r, const char* what) {
    std::string text = std::string("Error: ") + what;
    if (r.type == kStatus && !r.message.empty()) text += ": " + escape_controls(r.message);
    say(text, kLevelError);
}

int Client::step() {
    while (op_ != Op::kNone) {
        std::string_view body;
        Frame f = take_packet(in_, in_pos_, body);
        if (f == Frame::kTooBig) {
            say("Received message packet is too big", kLevelError);
            broken_ = true;
            finish(1, FailureKind::kProtocol);
            break;
        }
        if (f == Frame::kNeedMore) {
            if (closed_) {
                say("ERROR: The server closed the SFTP session", kLevelError);
                broken_ = true;
                finish(1);
            }
            break;
        }
        // DATA during a download is the bulk of the stream: its bytes go to the file uncopied.
        if (state_ == State::kReading && body.size() >= 9 && static_cast<uint8_t>(body[0]) == kData) {
            uint32_t id = get_u32_at(body, 1);
            if (get_u32_at(body, 5) != body.size() - 9) {
                violation("a DATA reply is malformed");
                break;
            }
            if (!take_abandoned(id) && !keep_read_reply(ahead_.r, id, kData, body.substr(9), nullptr))
                on_read_data(id, body.substr(9));
            continue;
        }
        Reply r;
        std::string why;
        if (parse_reply(body, r, why) != 0) {
            violation(why);
            break;
        }
        on_reply(r);
    }
    if (op_ != Op::kNone) return kPending;
    int r = result_;
    result_ = kPending;
    return r == kPending ? 1 : r;
}

// Operations.

int Client::start() {
    if (begin(Op::kInit) != 0) return 1;
    ssh::SshBuffer b(16);
    b.put_byte(kInit);
    b.put_u32(3);
    send(b);
    set_state(State::kVersion);
    return 0;
}

int Client::current_directory() {
    if (begin(Op::kPwd) != 0) return 1;
    send_path(kRealpath, ".");
    set_state(State::kRealpath);
    return 0;
}

int Client::change_directory(const std::string& path, bool quiet) {
    if (begin(Op::kChdir) != 0) return 1;
    quiet_ = quiet;
    send_path(kRealpath, path);
    const uint32_t realpath_id = expected_id_;
    // The folder check goes with the REALPATH: STAT follows the same path to the same folder the
    // canonical name names, and entering a folder takes one round trip. Version 0 servers only
    // know the old STAT, which would not follow a link: they get it once the name is known.
    folder_stat_id_ = 0;
    folder_stat_answered_ = false;
    if (version_ > 0) {
        send_stat(path);
        folder_stat_id_ = expected_id_;
    }
    expected_id_ = realpath_id;
    set_state(State::kRealpath);
    return 0;
}

int Client::list(const std::string& path) {
    if (begin(Op::kList) != 0) return 1;
    listing_.clear();
    list_result_ = 0;
    send_path(kOpendir, !path.empty() ? path : directory_.empty() ? std::string(".") : directory_);
    set_state(State::kOpendir);
    return 0;
}

int Client::remove(const std::string& path) {
    if (begin(Op::kRemove) != 0) return 1;
    send_path(kRemove, path);
    set_state(State::kStatus);
    return 0;
}

int Client::remove_folder(const std::string& path) {
    if (begin(Op::kRmdir) != 0) return 1;
    send_path(kRmdir, path);
    set_state(State::kStatus);
    return 0;
}

int Client::make_folder(const std::string& path, bool quiet) {
    if (begin(Op::kMkdir) != 0) return 1;
    quiet_ = quiet;
    ssh::SshBuffer b = request(kMkdir, expected_id_);
    b.put_string(path);
    RemoteFileEntry a;
    a.sftp_flags = kAttrPermissions;
    a.permissions = 0777;
    encode_attrs(b, a);
    send(b);
    set_state(State::kStatus);
    return 0;
}

int Client::rename(const std::string& from, const std::string& to) {
    if (begin(Op::kRename) != 0) return 1;
    ssh::SshBuffer b = request(kRename, expected_id_);
    b.put_string(from);
    b.put_string(to);
    send(b);
    set_state(State::kStatus);
    return 0;
}

int Client::stat(const std::string& path) {
    if (begin(Op::kStat) != 0) return 1;
    send_stat(path);
    set_state(State::kAttrs);
    return 0;
}

int Client::set_time(const std::string& path, uint32_t unix_time) {
    if (begin(Op::kSetTime) != 0) return 1;
    send_set_time(path, unix_time, expected_id_);
    set_state(State::kStatus);
    return 0;
}

// Replies.

int Client::expect_status(const Reply& r) {
    if (r.type != kStatus) {
        violation("an unexpected reply type");
        return 1;
    }
    if (r.status != kStatusOk) {
        if (!quiet_) status_failure(r, "The server refused the request");
        finish(1);
        return 1;
    }
    finish(0);
    return 0;
}

int Client::on_names(const Reply& r) {
    if (r.type == kStatus) {
        if (op_ != Op::kChdir || !quiet_)
            status_failure(r, op_ == Op::kChdir ? "Could not change to remote folder"
                                                : "Could not resolve the remote path");
        finish(1);
        return 1;
    }
    if (r.type != kName || r.names.size() != 1) {
        violation("a REALPATH reply that is not one name");
        return 1;
    }
    const std::string& name = r.names[0].name;
    if (name.empty() || name.size() > kPathCapacity || name.find('\0') != std::string::npos) {
        say("ERROR: The server gave a remote folder name that is empty or too long", kLevelError);
        finish(1);
        return 1;
    }
    if (op_ == Op::kPwd) {
        directory_ = name;
        say("Remote directory is " + escape_controls(name), kLevelInfo);
        finish(0);
        return 0;
    }
    candidate_ = name;
    set_state(State::kCheckFolder);
    if (folder_stat_id_ == 0) {
        send_stat(candidate_);
        return 0;
    }
    expected_id_ = folder_stat_id_;
    folder_stat_id_ = 0;
    if (!folder_stat_answered_) return 0;
    folder_stat_answered_ = false;
    return on_check_folder(folder_stat_reply_);
}

void Client::drop_folder_stat() {
    if (folder_stat_id_ != 0 && !folder_stat_answered_) abandon(folder_stat_id_);
    folder_stat_id_ = 0;
    folder_stat_answered_ = false;
}

int Client::on_dir_names(const Reply& r) {
    if (r.type == kName && !r.names.empty()) {
        for (const NameItem& item : r.names) {
            if (item.name == "." || item.name == "..") continue;
            // A directory entry never holds "/" or NUL: such a name is an attempt to leave the folder.
            if (item.name.empty() || item.name.size() > kPathCapacity ||
                item.name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
                say("Warning: Skipping the listed name \"" + escape_controls(item.name) +
                        "\": it cannot be a name in this folder",
                    kLevelWarning);
                continue;
            }
            if (listing_.size() >= kMaxListing) {
                sayf(kLevelError, "ERROR: The remote folder lists more than %zu entries", kMaxListing);
                finish(1, FailureKind::kLocal);
                return 1;
            }
            RemoteFileEntry e = item.attrs;
            e.name = item.name;
            e.long_name = item.long_name.substr(0, kPathCapacity);
            listing_.push_back(std::move(e));
        }
        send_path(kReaddir, handle_);
        return 0;
    }
    if (r.type == kName) {
        list_result_ = 0;
    } else if (r.type == kStatus) {
        list_result_ = r.status == kStatusEof ? 0 : 1;
        if (list_result_ != 0) status_failure(r, "Could not list the remote folder");
    } else {
        violation("an unexpected reply to READDIR");
        return 1;
    }
    // Nothing in a folder's CLOSE answer changes the listing: it is not waited for.
    close_unwatched(handle_);
    finish(list_result_);
    return list_result_;
}

void Client::abandon(uint32_t id) {
    if (abandoned_.size() >= kMaxAbandoned) abandoned_.pop_front();
    abandoned_.push_back(id);
}

bool Client::take_abandoned(uint32_t id) {
    auto it = std::find(abandoned_.begin(), abandoned_.end(), id);
    if (it == abandoned_.end()) return false;
    abandoned_.erase(it);
    return true;
}

int Client::on_reply(const Reply& r) {
    if (r.type != kVersion && take_abandoned(r.id)) return 0;
    if (take_ahead(r)) return 0;
    if (open_id_ != 0 && r.id == open_id_ && r.type != kVersion &&
        (state_ == State::kTransferStat || state_ == State::kDropOpen))
        return on_early_open(r);
    if (state_ == State::kVersion) {
        if (r.type != kVersion) {
            violation("the server did not answer INIT with VERSION");
            return 1;
        }
        version_ = r.id;
        finish(0);
        return 0;
    }
    // A server may answer the SETSTAT sent behind a CLOSE first, and an upload's CLOSE (sent behind
    // its last WRITE) before some of the writes.
    if ((state_ == State::kCloseFile || state_ == State::kWriting) && setstat_id_ != 0 &&
        r.id == setstat_id_ && r.type == kStatus) {
        if (r.status != kStatusOk) say(kMsgNoTimeUpdate, kLevelWarning);
        setstat_id_ = 0;
        return 0;
    }
    if (state_ == State::kWriting && close_id_ != 0 && r.id == close_id_ && !close_answered_) {
        close_reply_ = r;
        close_answered_ = true;
        return 0;
    }
    if (state_ == State::kRealpath && folder_stat_id_ != 0 && r.id == folder_stat_id_ &&
        !folder_stat_answered_) {
        folder_stat_reply_ = r;
        folder_stat_answered_ = true;
        return 0;
    }
    if (state_ == State::kReading) return on_read_reply(r);
    if (state_ == State::kWriting) return on_write_reply(r);
    if (r.type == kVersion || r.id != expected_id_) {
        violation("a reply id matches no request");
        return 1;
    }
    struct Row {
        State state;
        int (Client::*handler)(const Reply& r);
    };
    // Reading, writing and the version are taken above: their rows never run.
    static constexpr Row kReplyHandlers[] = {
        {State::kIdle, &Client::on_no_request},
        {State::kVersion, &Client::on_no_request},
        {State::kRealpath, &Client::on_names},
        {State::kCheckFolder, &Client::on_check_folder},
        {State::kOpendir, &Client::on_opendir},
        {State::kReaddir, &Client::on_dir_names},
        {State::kStatus, &Client::expect_status},
        {State::kAttrs, &Client::on_attrs},
        {State::kTransferStat, &Client::on_transfer_stat},
        {State::kRenameOld, &Client::on_rename_old},
        {State::kOpen, &Client::on_open},
        {State::kReading, &Client::on_no_request},
        {State::kWriting, &Client::on_no_request},
        {State::kCloseFile, &Client::on_close_file},
        {State::kSetTime, &Client::on_set_time},
        {State::kDropOpen, &Client::on_no_request},
    };
    static_assert(sizeof kReplyHandlers / sizeof kReplyHandlers[0] == static_cast<size_t>(State::kCount),
                  "one reply handler per state");
    static_assert(rows_in_order(kReplyHandlers, &Row::state), "reply handlers in the order of the states");
    return (this->*kReplyHandlers[static_cast<size_t>(state_)].handler)(r);
}

int Client::on_check_folder(const Reply& r) {
    if (r.type == kAttrs && r.attrs.type == kEntryFolder) {
        directory_ = candidate_;
        finish(0);
        return 0;
    }
    if (r.type != kAttrs && r.type != kStatus) {
        violation("an unexpected reply to STAT");
        return 1;
    }
    if (!quiet_) say("Could not change to remote folder", kLevelError);
    finish(1);
    return 1;
}

int Client::on_opendir(const Reply& r) {
    if (r.type == kHandle) {
        handle_ = r.bytes;
        send_path(kReaddir, handle_);
        set_state(State::kReaddir);
        return 0;
    }
    if (r.type != kStatus) {
        violation("an unexpected reply to OPENDIR");
        return 1;
    }
    status_failure(r, "Could not open the remote folder");
    finish(1);
    return 1;
}

int Client::on_attrs(const Reply& r) {
    if (r.type == kAttrs) {
        entry_ = r.attrs;
        finish(0);
        return 0;
    }
    if (r.type != kStatus) {
        violation("an unexpected reply to STAT");
        return 1;
    }
    finish(1);
    return 1;
}

int Client::on_rename_old(const Reply& r) {
    if (r.type == kStatus && r.status == kStatusOk) return start_upload_open();
    if (r.type != kStatus) {
        violation("an unexpected reply to RENAME");
        return 1;
    }
    say(kMsgNoRemoteRename, kLevelError);
    finish(1);
    return 1;
}

int Client::on_set_time(const Reply& r) {
    if (r.type != kStatus) {
        violation("an unexpected reply to SETSTAT");
        return 1;
    }
    if (r.status != kStatusOk) say(kMsgNoTimeUpdate, kLevelWarning);
    finish(0);
    return 0;
}

int Client::on_no_request(const Reply&) {
    violation("a reply while no request is outstanding");
    return 1;
}

}  // namespace orvane::sftp
