// SFTP file transfers: STAT and the duplicate rules, OPEN, pipelined READs and WRITEs matched to
// their requests by id, CLOSE, and the times kept on both sides.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "client/ssh/sftp/sftp_client.h"
#include "client/transfer/session/duplicate_rules.h"
#include "common/big_endian.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "platform/file.h"

namespace orvane::sftp {

namespace {

void put_u32_at(std::string& s, size_t at, uint32_t v) {
    store_be32(s.data() + at, v);
}

// An existing local file's modification time as SFTP carries it.
uint32_t local_unix_time(const std::string& path) {
    int64_t seconds = platform::unix_from_filetime(platform::path_last_write_time(path));
    return static_cast<uint32_t>(std::clamp<int64_t>(seconds, 0, UINT32_MAX));
}

std::string without_trailing_separators(std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path;
}

}  // namespace

int Client::download(const Transfer& t, const std::string& next_remote) {
    if (begin(Op::kDownload) != 0) return 1;
    transfer_ = t;
    downloading_ = true;
    offset_ = 0;
    moved_ = 0;
    // The file sent ahead is this one: its replies are taken; any other is given back.
    Ahead mine;
    if (ahead_.open_id != 0 && ahead_.remote_path == t.remote_path) std::swap(mine, ahead_);
    drop_ahead();
    if (!next_remote.empty() && next_remote != t.remote_path) send_ahead(next_remote);
    if (mine.open_id != 0) {
        adopt_ahead(std::move(mine));
        return 0;
    }
    send_stat(t.remote_path);
    // Opening for reading changes nothing on the server, so the OPEN need not wait for the STAT's
    // verdict: one round trip less per file. A verdict against the download gives its handle back.
    send_open(t.remote_path, kOpenRead, open_id_);
    open_answered_ = false;
    set_state(State::kTransferStat);
    return 0;
}

int Client::upload(const Transfer& t) {
    if (begin(Op::kUpload) != 0) return 1;
    transfer_ = t;
    downloading_ = false;
    offset_ = 0;
    moved_ = 0;
    int64_t size = platform::path_size(t.local_path);
    if (size < 0 || platform::path_is_folder(t.local_path)) {
        fail_local(std::string(kMsgNoLocalFile) + " " + t.local_path);
        return 0;
    }
    local_time_ = local_unix_time(t.local_path);
    // Rules that overwrite in every case need nothing of the remote file: no STAT round trip.
    if (always_overwrites(t.rules)) {
        entry_ = RemoteFileEntry{};
        size_known_ = false;
        start_upload_open();
        return 0;
    }
    send_stat(t.remote_path);
    set_state(State::kTransferStat);
    return 0;
}

int Client::on_transfer_stat(const Reply& r) {
    if (r.type != kAttrs && r.type != kStatus) {
        violation("an unexpected reply to STAT");
        return 1;
    }
    const bool remote_exists = r.type == kAttrs;
    entry_ = remote_exists ? r.attrs : RemoteFileEntry{};
    size_known_ = remote_exists && (entry_.sftp_flags & kAttrSize);
    if (size_known_ && downloading_ && progress_total_) progress_total_->store(entry_.size);
    uint64_t remote_time = remote_exists && (entry_.sftp_flags & kAttrTimes)
                               ? platform::filetime_from_unix(entry_.unix_time)
                               : 0;
    const std::string& local = transfer_.local_path;
    int64_t local_size = platform::path_size(local);
    uint64_t local_time = local_size >= 0 ? platform::path_last_write_time(local) : 0;

    DuplicateFacts facts;
    if (downloading_) {
        if (!remote_exists) {
            status_failure(r, "Could not find the remote file");
            end_before_open(1);
            return 1;
        }
        facts.target_exists = local_size >= 0;
        facts.target_size = local_size >= 0 ? static_cast<uint64_t>(local_size) : 0;
        facts.target_time = local_time;
        facts.source_size = entry_.size;
        facts.source_time = remote_time;
    } else {
        facts.target_exists = remote_exists;
        facts.target_size = entry_.size;
        facts.target_time = remote_time;
        facts.source_size = static_cast<uint64_t>(local_size);
        facts.source_time = local_time;
    }
    switch (duplicate_action(transfer_.rules, facts)) {
        case kDuplicateSkip:
            say(kMsgSkipping, kLevelInfo);
            end_before_open(0);
            return 0;
        case kDuplicateResume:
            offset_ = facts.target_size;
            break;
        case kDuplicateRename:
            say(kMsgRenaming, kLevelInfo);
            if (!downloading_) {
                ssh::SshBuffer b = request(kRename, expected_id_);
                b.put_string(transfer_.remote_path);
                b.put_string(without_trailing_separators(transfer_.remote_path) + transfer_.rename_suffix);
                send(b);
                set_state(State::kRenameOld);
                return 0;
            }
            if (platform::path_rename(local, without_trailing_separators(local) + transfer_.rename_suffix) !=
                0) {
                say("ERROR: Could not rename local file " + local, kLevelError);
                end_before_open(1, FailureKind::kLocal);
                return 1;
            }
            break;
        default:
            break;
    }
    return downloading_ ? start_download_open() : start_upload_open();
}

int Client::start_download_open() {
    file_.set_path(transfer_.local_path);
    if (file_.open((offset_ > 0 ? platform::kOpenAppend : platform::kOpenWrite) |
                   platform::kOpenRegularOnly) != 0) {
        say(std::string(kMsgNoLocalFile) + " " + transfer_.local_path, kLevelError);
        end_before_open(1, FailureKind::kLocal);
        return 1;
    }
    if (open_answered_) {
        Reply r = std::move(open_reply_);
        open_answered_ = false;
        int result = on_open(r);
        wipe_secret(r.bytes);
        return result;
    }
    expected_id_ = open_id_;
    set_state(State::kOpen);
    return 0;
}

// The OPEN's reply while the STAT's verdict is still to come (kept), or after it went against the
// download (its handle given back and the operation ended as decided).
int Client::on_early_open(const Reply& r) {
    if (r.type != kHandle && r.type != kStatus) {
        violation("an unexpected reply to OPEN");
        return 1;
    }
    if (state_ == State::kDropOpen) {
        open_id_ = 0;
        drop_open_reply(r);
        finish(drop_result_, drop_kind_);
        return drop_result_;
    }
    open_reply_ = r;
    open_answered_ = true;
    return 0;
}

void Client::drop_open_reply(const Reply& r) {
    if (r.type == kHandle) close_unwatched(r.bytes);
}

// A download decided against before its OPEN was answered waits for that answer: a handle the
// server gives is closed rather than left open for the session's life.
void Client::end_before_open(int result, FailureKind kind) {
    if (open_id_ == 0 || open_answered_ || broken_) {
        finish(result, kind);
        return;
    }
    drop_result_ = result;
    drop_kind_ = kind;
    set_state(State::kDropOpen);
}

int Client::start_upload_open() {
    file_.set_path(transfer_.local_path);
    if (file_.open(platform::kOpenRead | platform::kOpenRegularOnly) != 0 ||
        (offset_ > 0 && file_.seek(static_cast<int64_t>(offset_)) != 0)) {
        fail_local(std::string(kMsgNoLocalFile) + " " + transfer_.local_path);
        return 1;
    }
    send_open(transfer_.remote_path,
              offset_ > 0 ? (kOpenWrite | kOpenCreate) : (kOpenWrite | kOpenCreate | kOpenTruncate),
              expected_id_);
    set_state(State::kOpen);
    return 0;
}

int Client::on_open(const Reply& r) {
    open_id_ = 0;
    if (r.type == kStatus) {
        status_failure(r, "Could not open the remote file");
        finish(1);
        return 1;
    }
    if (r.type != kHandle) {
        violation("an unexpected reply to OPEN");
        return 1;
    }
    handle_ = r.bytes;
    block_ = kBlockSize;
    eof_ = false;
    close_id_ = 0;
    close_answered_ = false;
    pending_.clear();
    start_offset_ = offset_;
    if (downloading_) {
        set_state(State::kReading);
        if (early_.sent) return adopt_early_reads();
        issue_reads();
    } else {
        set_state(State::kWriting);
        issue_writes();
    }
    return 0;
}

// Reads.

void Client::issue_reads() {
    while (pending_.size() + ahead_outstanding() < kMaxOutstanding && !eof_) {
        // Nothing is asked beyond the announced size (a request exactly at it finds the end), unless
        // the file grew: then one request at a time until the server says EOF.
        if (size_known_ && offset_ > entry_.size && !pending_.empty()) break;
        // The request that reaches the announced end stops there, so the one behind it, asked in
        // the same window, finds EOF: a short last block would cost a round trip to ask its rest.
        size_t length = block_;
        if (size_known_ && offset_ < entry_.size)
            length = static_cast<size_t>(std::min<uint64_t>(block_, entry_.size - offset_));
        Pending p;
        ssh::SshBuffer b = request(kRead, p.id);
        b.put_string(handle_);
        b.put_u64(offset_);
        b.put_u32(static_cast<uint32_t>(length));
        send(b);
        p.offset = offset_;
        p.length = static_cast<uint32_t>(length);
        pending_.push_back(std::move(p));
        offset_ += length;
    }
}

int Client::on_read_reply(const Reply& r) {
    if (r.type == kData) return on_read_data(r.id, r.bytes);
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == r.id; });
    if (it == pending_.end() || it->answered) {
        violation("a reply id matches no request");
        return 1;
    }
    if (r.type == kStatus && r.status == kStatusEof) {
        eof_ = true;
        pending_.erase(it);
    } else if (r.type == kStatus) {
        status_failure(r, "Could not read the remote file");
        finish_download(1);
        return 1;
    } else {
        violation("an unexpected reply to READ");
        return 1;
    }
    return after_read();
}

// DATA for a read. The oldest request's data goes to the file at once, without a copy; data of a
// later one waits with its request.
int Client::on_read_data(uint32_t id, std::string_view data) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == id; });
    if (it == pending_.end() || it->answered) {
        violation("a reply id matches no request");
        return 1;
    }
    if (data.size() > it->length) {
        violation("the server sent more data than was requested");
        return 1;
    }
    if (data.empty()) {
        violation("the server sent an empty DATA reply");
        return 1;
    }
    if (it == pending_.begin()) {
        if (write_front(data) < 0) return 1;
    } else {
        it->data.assign(data);
        it->answered = true;
    }
    return after_read();
}

int Client::after_read() {
    flush_reads();
    if (op_ == Op::kNone) return 1;
    if (eof_) {
        if (pending_.empty()) close_file();
    } else {
        issue_reads();
    }
    return 0;
}

// Writes the oldest request's data. 0: the request is complete and dropped; 1: it was short and is
// asked again for its remainder (writing stops until that comes); -1: the operation failed.
int Client::write_front(std::string_view data) {
    Pending& p = pending_.front();
    if (file_.write(data.data(), data.size()) != static_cast<int64_t>(data.size())) {
        say("ERROR: Could not write to local file " + transfer_.local_path, kLevelError);
        failure_.set(FailureKind::kLocal, last_error_);
        finish_download(1);
        return -1;
    }
    size_t got = data.size();
    moved_ += got;
    if (progress_moved_) progress_moved_->fetch_add(got, std::memory_order_relaxed);
    if (got < p.length) {
        block_ = std::max(got, kMinBlock);
        p.offset += got;
        p.length -= static_cast<uint32_t>(got);
        p.data.clear();
        p.answered = false;
        ssh::SshBuffer b = request(kRead, p.id);
        b.put_string(handle_);
        b.put_u64(p.offset);
        b.put_u32(p.length);
        send(b);
        return 1;
    }
    pending_.pop_front();
    return 0;
}

// Writes answered data in request order.
void Client::flush_reads() {
    while (!pending_.empty() && pending_.front().answered) {
        std::string data = std::move(pending_.front().data);
        if (write_front(data) != 0) return;
    }
}

// Writes.

// Each WRITE is built in the output in place: its header, then the file's bytes read straight
// behind it, then the two lengths filled in.
void Client::issue_writes() {
    while (pending_.size() < kMaxOutstanding && !eof_) {
        const size_t start = out_.size();
        Pending p;
        ssh::SshBuffer head = request(kWrite, p.id);
        head.put_string(handle_);
        head.put_u64(offset_);
        head.put_u32(0);
        out_.append(4, '\0');
        out_.append(head.view());
        const size_t data_at = out_.size();
        out_.resize(data_at + kBlockSize);
        int64_t n = file_.read(out_.data() + data_at, kBlockSize);
        if (n <= 0) {
            out_.resize(start);
            if (n < 0) {
                fail_local("ERROR: Could not read local file " + transfer_.local_path);
                return;
            }
            eof_ = true;
            break;
        }
        out_.resize(data_at + static_cast<size_t>(n));
        put_u32_at(out_, start, static_cast<uint32_t>(out_.size() - start - 4));
        put_u32_at(out_, data_at - 4, static_cast<uint32_t>(n));
        p.offset = offset_;
        p.length = static_cast<uint32_t>(n);
        pending_.push_back(std::move(p));
        offset_ += static_cast<uint64_t>(n);
        if (progress_moved_) progress_moved_->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    if (eof_ && close_id_ == 0) close_file();
}

int Client::on_write_reply(const Reply& r) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == r.id; });
    if (it == pending_.end()) {
        violation("a reply id matches no request");
        return 1;
    }
    if (r.type != kStatus) {
        violation("an unexpected reply to WRITE");
        return 1;
    }
    if (r.status != kStatusOk) {
        status_failure(r, "Could not write the remote file");
        finish(1);
        return 1;
    }
    moved_ += it->length;
    pending_.erase(it);
    if (close_id_ == 0) {
        issue_writes();
        return 0;
    }
    if (!pending_.empty()) return 0;
    // Every write is answered: the CLOSE sent behind them decides.
    set_state(State::kCloseFile);
    if (!close_answered_) return 0;
    close_answered_ = false;
    Reply close = std::move(close_reply_);
    return on_close_file(close);
}

// The end.

// An upload's CLOSE goes right behind its last WRITE: the server works through one handle's
// requests in order, so the writes land before it, and a small file saves the round trip of
// waiting for them. A failed write still fails the upload (its reply comes all the same).
void Client::close_file() {
    send_path(kClose, handle_);
    close_id_ = expected_id_;
    close_answered_ = false;
    if (pending_.empty()) set_state(State::kCloseFile);
    setstat_id_ = 0;
    // The upload's time goes right behind its CLOSE, without waiting for the answer: one round trip
    // less per file (an answer to it that comes first is taken too).
    if (!downloading_ && transfer_.preserve_time)
        send_set_time(transfer_.remote_path, local_time_, setstat_id_);
    if (downloading_) read_ahead();
}

int Client::on_close_file(const Reply& r) {
    if (r.type != kStatus) {
        violation("an unexpected reply to CLOSE");
        return 1;
    }
    if (r.status != kStatusOk) {
        if (setstat_id_ != 0) abandon(setstat_id_);
        status_failure(r, "Could not close the remote file");
        if (downloading_)
            finish_download(1);
        else
            finish(1);
        return 1;
    }
    if (downloading_) {
        finish_download(0);
        return 0;
    }
    if (setstat_id_ == 0) {
        finish(0);
        return 0;
    }
    file_.close();
    expected_id_ = setstat_id_;
    set_state(State::kSetTime);
    return 0;
}

// A download must bring what the server announced: a short file is never a success.
void Client::finish_download(int result) {
    if (file_.is_open() && transfer_.preserve_time && (entry_.sftp_flags & kAttrTimes))
        file_.set_last_write_time(platform::filetime_from_unix(entry_.unix_time));
    uint64_t have = start_offset_ + moved_;
    if (result == 0 && size_known_ && have < entry_.size) {
        char text[160];
        std::snprintf(text, sizeof text, "ERROR: The download ended early: %" PRIu64 " of %" PRIu64 " bytes",
                      have, entry_.size);
        say(text, kLevelError);
        result = 1;
    }
    finish(result);
}

}  // namespace orvane::sftp
