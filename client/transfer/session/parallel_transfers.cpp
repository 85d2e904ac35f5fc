// Parallel transfers: helper sessions logged in like the walk's own, each working one file at a
// time from the walk's queue, and the walk's session taking files itself once its listing is done.
#include "client/transfer/session/parallel_transfers.h"

#include <string>

#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane {

namespace {

// What a helper session is doing; each state but idle and closed waits for one request.
enum class HelperState : int {
    kConnecting = 0,
    kIdle,
    kEntering,      // the file's remote folder (FTP names files relative to it)
    kTransferring,  // the download or upload procedure
    kClosing,       // QUIT
    kClosed,        // logged out, or never logged in
    kCount,
};

constexpr const char* kHelperStateNames[] = {"connecting",   "idle",    "entering",
                                             "transferring", "closing", "closed"};
static_assert(sizeof kHelperStateNames / sizeof kHelperStateNames[0] ==
                  static_cast<size_t>(HelperState::kCount),
              "one name per helper state");

}  // namespace

struct ParallelTransfers::Helper {
    ParallelTransfers* owner = nullptr;
    OrderedWriter writer;  // before the session: its connections may log while they close
    std::unique_ptr<Session> session;
    HelperState state = HelperState::kConnecting;
    int number = 0;  // for traces
    ParallelFile file;
};

// The helpers' request completions, one handler per state.
struct HelperSteps {
    using Helper = ParallelTransfers::Helper;

    static void set_state(Helper& h, HelperState state) {
        Session& walk = h.owner->walk_;
        if (walk.trace && h.state != state)
            session_log(walk, kLevelInfo,
                        format("Parallel session %d: %s -> %s", h.number,
                               kHelperStateNames[static_cast<int>(h.state)],
                               kHelperStateNames[static_cast<int>(state)])
                            .c_str());
        h.state = state;
    }

    static void on_connected(Helper& h, int result) {
        ParallelTransfers& p = *h.owner;
        if (result != 0) {
            set_state(h, HelperState::kClosed);
            // A server that allows fewer logins than asked still gets the walk done, more slowly.
            session_log(p.walk_, kLevelWarning,
                        format("Warning: Could not open another session (%s); the transfers go on with %zu",
                               escape_controls(h.session->failure.cause.empty() ? "login refused"
                                                                                : h.session->failure.cause)
                                   .c_str(),
                               p.open_sessions())
                            .c_str());
            return;
        }
        set_state(h, HelperState::kIdle);
        p.give_work(h);
    }

    static void on_entered(Helper& h, int result) {
        if (result != 0) return h.owner->file_finished(h, 1);
        h.owner->start_file(h);
    }

    static void on_transferred(Helper& h, int result) { h.owner->file_finished(h, result); }

    static void on_closed(Helper& h, int) { set_state(h, HelperState::kClosed); }

    static void done(int, void* object, int result) {
        using Handler = void (*)(Helper&, int);
        static constexpr Handler kHandlers[] = {on_connected,   nullptr,   on_entered,
                                                on_transferred, on_closed, nullptr};
        static_assert(sizeof kHandlers / sizeof kHandlers[0] == static_cast<size_t>(HelperState::kCount),
                      "one handler per helper state");
        Helper& h = *static_cast<Helper*>(object);
        ParallelTransfers& p = *h.owner;
        Handler handler = kHandlers[static_cast<int>(h.state)];
        if (handler) handler(h, result);
        // Last either way: the walk may end, which frees the helpers and this object.
        if (p.parked_) {
            p.parked_ = false;
            return p.callbacks_.wake(p.walk_);
        }
        p.check_end();
    }
};

ParallelTransfers::ParallelTransfers(Session& walk, int sessions, bool full_paths,
                                     ParallelCallbacks callbacks)
    : walk_(walk),
      sessions_(sessions),
      full_paths_(full_paths),
      callbacks_(callbacks),
      output_(walk.log, walk.log_user),
      saved_log_(walk.log),
      saved_log_user_(walk.log_user) {
    walk_writer_.output = &output_;
    walk_writer_.part = output_.open_part();
    walk.log = ordered_log;
    walk.log_user = &walk_writer_;
}

ParallelTransfers::~ParallelTransfers() {
    // The helpers' connections may still say a word as they close: the output outlives them.
    helpers_.clear();
    output_.close_all();
    walk_.log = saved_log_;
    walk_.log_user = saved_log_user_;
}

size_t ParallelTransfers::connecting() const {
    size_t n = 0;
    for (const auto& h : helpers_) n += h->state == HelperState::kConnecting;
    return n;
}

size_t ParallelTransfers::moving() const {
    size_t n = 0;
    for (const auto& h : helpers_)
        n += h->state == HelperState::kEntering || h->state == HelperState::kTransferring;
    return n;
}

size_t ParallelTransfers::open_sessions() const {
    size_t n = 1;
    for (const auto& h : helpers_) n += h->state != HelperState::kClosed;
    return n;
}

void ParallelTransfers::hand_over(ParallelFile file) {
    file.part = output_.open_part();
    size_t before = walk_writer_.part.load();
    walk_writer_.part = output_.open_part();
    output_.close(before);
    ++handed_;
    waiting_.push_back(std::move(file));
    for (auto& h : helpers_) {
        if (h->state == HelperState::kIdle) return give_work(*h);
    }
    // One file is no reason for another login; the walk's session does it when its listing ends.
    // The walk's session lists while the others move files, as many at once as allowed.
    if (handed_ >= 2 && waiting_.size() > connecting() && static_cast<int>(helpers_.size()) < sessions_)
        open_helper();
}

bool ParallelTransfers::take_waiting(ParallelFile& file) {
    if (waiting_.empty() || static_cast<int>(moving()) >= sessions_) return false;
    file = std::move(waiting_.front());
    waiting_.pop_front();
    size_t before = walk_writer_.part.load();
    walk_writer_.part = file.part;
    output_.close(before);
    return true;
}

void ParallelTransfers::own_file_done(const ParallelFile& file) {
    walk_writer_.part = output_.open_part();
    output_.close(file.part);
}

void ParallelTransfers::log_to(const ParallelFile& file, int level, const char* text) {
    output_.write(file.part, text, level, 1);
}

void ParallelTransfers::drop_waiting() {
    for (const ParallelFile& f : waiting_) output_.close(f.part);
    waiting_.clear();
}

void ParallelTransfers::end(int result) {
    if (result != 0) {
        result_ = 1;
        drop_waiting();
    }
    ending_ = true;
    for (auto& h : helpers_) {
        if (h->state == HelperState::kIdle) give_work(*h);
    }
    check_end();
}

void ParallelTransfers::open_helper() {
    auto owned = std::make_unique<Helper>();
    Helper& h = *owned;
    helpers_.push_back(std::move(owned));
    h.owner = this;
    h.number = static_cast<int>(helpers_.size());
    h.writer.output = &output_;
    h.writer.part = walk_writer_.part.load();
    // The login's dialogue is the same as the walk session's: shown once is enough.
    h.writer.muted = true;
    const Session& w = walk_;
    h.session =
        create_session(*w.engine_owner, w.requests, &h.writer, ordered_log, w.notify, w.protocol, w.timeout);
    if (!h.session) {
        h.state = HelperState::kClosed;
        return;
    }
    Session& s = *h.session;
    s.implicit_tls = w.implicit_tls;
    s.transfer_type = w.transfer_type;
    s.passive = w.passive;
    s.listing_kind = w.listing_kind;
    s.upload_rules = w.upload_rules;
    s.download_rules = w.download_rules;
    s.rename_suffix = w.rename_suffix;
    s.sftp_block_size = w.sftp_block_size;
    s.account = w.account;
    s.key_file = w.key_file;
    s.pass_phrase = w.pass_phrase;
    s.proxy_enabled = w.proxy_enabled;
    s.proxy_type = w.proxy_type;
    s.proxy_host = w.proxy_host;
    s.proxy_port = w.proxy_port;
    s.proxy_user = w.proxy_user;
    s.proxy_password = w.proxy_password;
    s.local_folder = w.local_folder;
    s.walk_helper = true;
    std::string password(w.password.view());
    int busy = request_connect(s, w.host, password, w.user, w.port, ReplyHook{}, HelperSteps::done, 0, &h);
    wipe_secret(password);
    if (busy) h.state = HelperState::kClosed;
}

void ParallelTransfers::give_work(Helper& h) {
    if (waiting_.empty()) {
        if (ending_) close_helper(h);
        return;
    }
    h.file = std::move(waiting_.front());
    waiting_.pop_front();
    h.writer.part = h.file.part;
    h.writer.muted = false;
    std::string folder = remote_parent(h.file.pair.remote.full_path);
    if (full_paths_ || h.session->remote_folder == folder) return start_file(h);
    HelperSteps::set_state(h, HelperState::kEntering);
    if (request_change_folder(*h.session, folder, HelperSteps::done, 0, &h) != 0) file_finished(h, 1);
}

void ParallelTransfers::start_file(Helper& h) {
    HelperSteps::set_state(h, HelperState::kTransferring);
    Session& s = *h.session;
    const TransferPair& p = h.file.pair;
    int busy = p.direction == 1 ? request_download(s, p.local, p.remote, HelperSteps::done, 0, &h)
                                : request_upload(s, p.local, p.remote, HelperSteps::done, 0, &h);
    if (busy) file_finished(h, 1);
}

void ParallelTransfers::file_finished(Helper& h, int result) {
    if (callbacks_.file_done(walk_, *this, h.file, result, *h.session) != 0) {
        result_ = 1;
        drop_waiting();
    }
    output_.close(h.file.part);
    h.file = ParallelFile();
    HelperSteps::set_state(h, HelperState::kIdle);
    give_work(h);
}

void ParallelTransfers::close_helper(Helper& h) {
    h.writer.muted = true;
    HelperSteps::set_state(h, HelperState::kClosing);
    if (request_disconnect(*h.session, HelperSteps::done, 0, &h) != 0)
        HelperSteps::set_state(h, HelperState::kClosed);
}

// Only at the end of a completion or of end(): all_done ends the walk, which frees this object.
void ParallelTransfers::check_end() {
    if (!ending_ || ended_) return;
    for (const auto& h : helpers_) {
        if (h->state != HelperState::kClosed) return;
    }
    ended_ = true;
    callbacks_.all_done(walk_, result_);
}

}  // namespace orvane
