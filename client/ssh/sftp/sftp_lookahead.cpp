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
    send_path(version_ == 0 ? kLstat : kStat, remote_path);
    ahead_.stat_id = expected_id_;
    ssh::SshBuffer b = request(kOpen, ahead_.open_id);
    b.put_string(remote_path);
    b.put_u32(kOpenRead);
    b.put_u32(0);
    send(b);
}

bool Client::is_ahead_id(uint32_t id) const {
    return (ahead_.stat_id != 0 && id == ahead_.stat_id && !ahead_.stat_answered) ||
           (ahead_.open_id != 0 && id == ahead_.open_id && !ahead_.open_answered) ||
           std::find(orphan_opens_.begin(), orphan_opens_.end(), id) != orphan_opens_.end();
}

size_t Client::ahead_outstanding() const {
    return (ahead_.stat_id != 0 && !ahead_.stat_answered ? 1 : 0) +
           (ahead_.open_id != 0 && !ahead_.open_answered ? 1 : 0) + orphan_opens_.size();
}

bool Client::take_ahead(const Reply& r) {
    if (r.type == kVersion || !is_ahead_id(r.id)) return false;
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
    return true;
}

// The download asked for is the one sent ahead: its OPEN becomes the download's own (answered or
// not), and its STAT is decided now when its reply is in.
void Client::adopt_ahead(Ahead a) {
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
