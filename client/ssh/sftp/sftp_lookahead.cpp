// A walk's next download asked for while the current one streams: its STAT and OPEN replies wait
// here until the walk asks for that file, and are given back when it asks for anything else.
#include <algorithm>

#include "client/ssh/sftp/sftp_client.h"
#include "common/secret.h"

namespace orvane::sftp {

// Opening for reading changes nothing on the server, so the next file's STAT and OPEN may go out
// before the walk has decided to go on: a small file then costs its reads and its CLOSE only.
void Client::send_ahead(const std::string& remote_path) {
    ahead_.remote_path = remote_path;
    send_stat(remote_path);
    ahead_.stat_id = expected_id_;
    send_open(remote_path, kOpenRead, ahead_.open_id);
}

namespace {

bool unanswered_read(const std::deque<Client::Pending>& reads, uint32_t id) {
    return std::any_of(reads.begin(), reads.end(),
                       [&](const Client::Pending& p) { return p.id == id && !p.answered; });
}

size_t unanswered_reads(const std::deque<Client::Pending>& reads) {
    return static_cast<size_t>(
        std::count_if(reads.begin(), reads.end(), [](const Client::Pending& p) { return !p.answered; }));
}

}  // namespace

bool Client::is_ahead_id(uint32_t id) const {
    return (ahead_.stat_id != 0 && id == ahead_.stat_id && !ahead_.stat_answered) ||
           unanswered_read(ahead_.r.reads, id) ||
           (ahead_.open_id != 0 && id == ahead_.open_id && !ahead_.open_answered) ||
           std::find(orphan_opens_.begin(), orphan_opens_.end(), id) != orphan_opens_.end();
}

size_t Client::ahead_outstanding() const {
    return (ahead_.stat_id != 0 && !ahead_.stat_answered ? 1 : 0) +
           (ahead_.open_id != 0 && !ahead_.open_answered ? 1 : 0) + orphan_opens_.size() +
           unanswered_reads(ahead_.r.reads) + unanswered_reads(early_.reads);
}

bool Client::take_ahead(const Reply& r) {
    if (r.type == kVersion) return false;
    if (keep_read_reply(early_, r.id, r.type, r.bytes, &r)) return true;
    if (!is_ahead_id(r.id)) return false;
    if (keep_read_reply(ahead_.r, r.id, r.type, r.bytes, &r)) return true;
    if (r.id == ahead_.stat_id) {
        ahead_.stat_reply = r;
        ahead_.stat_answered = true;
    } else if (r.id == ahead_.open_id) {
        ahead_.open_reply = r;
        ahead_.open_answered = true;
    } else {
        orphan_opens_.erase(std::find(orphan_opens_.begin(), orphan_opens_.end(), r.id));
        drop_open_reply(r);
    }
    read_ahead();
    return true;
}

bool Client::keep_read_reply(ReadsAhead& ra, uint32_t id, uint8_t type, std::string_view data,
                             const Reply* r) {
    auto it = std::find_if(ra.reads.begin(), ra.reads.end(), [&](const Pending& p) { return p.id == id; });
    if (it == ra.reads.end() || it->answered) return false;
    if (type == kData) {
        if (data.empty() || data.size() > it->length) {
            violation("the server sent more data than was requested, or none");
            return true;
        }
        it->data.assign(data);
        it->answered = true;
    } else if (type == kStatus && r != nullptr) {
        if (r->status == kStatusEof) {
            ra.eof = true;
        } else if (!ra.failed) {
            ra.failed = true;
            ra.failure = *r;
        }
        ra.reads.erase(it);
    } else {
        violation("an unexpected reply to READ");
    }
    return true;
}

// A small next file is read as soon as its handle is known and the current file's reads are all
// answered: its reads go out with the current file's CLOSE, and nothing is written until the walk
// asks for it (a walk that stops gives the data and the handle back).
void Client::read_ahead() {
    Ahead& a = ahead_;
    if (a.r.sent || broken_ || !a.stat_answered || !a.open_answered || a.stat_reply.type != kAttrs ||
        a.open_reply.type != kHandle || !(a.stat_reply.attrs.sftp_flags & kAttrSize) ||
        a.stat_reply.attrs.size > kReadAheadBytes || state_ == State::kReading || state_ == State::kWriting)
        return;
    const uint64_t size = a.stat_reply.attrs.size;
    const size_t needed = static_cast<size_t>(size / kBlockSize) + 2;
    if (pending_.size() + ahead_outstanding() + needed > kMaxOutstanding) return;
    a.r.sent = true;
    // The same requests the download would send: blocks to the announced size, one at it behind.
    uint64_t offset = 0;
    while (offset <= size) {
        const size_t length =
            offset < size ? static_cast<size_t>(std::min<uint64_t>(kBlockSize, size - offset)) : kBlockSize;
        Pending p;
        ssh::SshBuffer b = request(kRead, p.id);
        b.put_string(a.open_reply.bytes);
        b.put_u64(offset);
        b.put_u32(static_cast<uint32_t>(length));
        send(b);
        p.offset = offset;
        p.length = static_cast<uint32_t>(length);
        a.r.reads.push_back(std::move(p));
        offset += length;
    }
    a.r.end = offset;
}

int Client::adopt_early_reads() {
    ReadsAhead e = std::move(early_);
    early_ = ReadsAhead{};
    if (offset_ != 0) {  // a resume reads from elsewhere: these replies are dropped
        for (const Pending& p : e.reads)
            if (!p.answered) abandon(p.id);
        issue_reads();
        return 0;
    }
    pending_ = std::move(e.reads);
    offset_ = e.end;
    if (e.failed) {
        status_failure(e.failure, "Could not read the remote file");
        finish_download(1);
        return 1;
    }
    eof_ = e.eof;
    return after_read();
}

// The download asked for is the one sent ahead: its OPEN becomes the download's own (answered or
// not), and its STAT is decided now when its reply is in.
void Client::adopt_ahead(Ahead a) {
    early_ = std::move(a.r);
    open_id_ = a.open_id;
    open_answered_ = a.open_answered;
    if (open_answered_) open_reply_ = std::move(a.open_reply);
    expected_id_ = a.stat_id;
    set_state(State::kTransferStat);
    if (a.stat_answered) on_reply(a.stat_reply);
}

// The walk asked for something else: the handle is closed (now, or when the server gives it) and
// the STAT's reply dropped, so no late reply is taken for another request's.
void Client::drop_ahead() {
    if (ahead_.stat_id != 0 && !ahead_.stat_answered) abandon(ahead_.stat_id);
    for (Pending& p : ahead_.r.reads) {
        if (!p.answered) abandon(p.id);
        wipe_secret(p.data);
    }
    if (ahead_.open_id != 0) {
        if (ahead_.open_answered) {
            if (!broken_) drop_open_reply(ahead_.open_reply);
        } else {
            if (orphan_opens_.size() >= kMaxOutstanding) orphan_opens_.pop_front();
            orphan_opens_.push_back(ahead_.open_id);
        }
    }
    wipe_secret(ahead_.open_reply.bytes);
    ahead_ = Ahead{};
}

}  // namespace orvane::sftp
