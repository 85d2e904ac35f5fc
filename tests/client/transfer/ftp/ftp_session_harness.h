// A requester for FTP session tests: creates a session, runs one request at a time to its done
// callback, and keeps what the session logged.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "client/transfer/ftp/ftp_requests.h"
#include "client/transfer/net/engine_owner.h"
#include "client/transfer/session/request_table.h"
#include "client/transfer/session/requests.h"
#include "client/transfer/session/session.h"
#include "client/transfer/tls/tls_context.h"
#include "platform/event.h"
#include "tests/support/any_certificate.h"

namespace orvane {
// A failed expectation on a failure's kind names the kind.
inline void PrintTo(FailureKind kind, std::ostream* os) {
    *os << failure_kind_name(kind);
}
}  // namespace orvane

namespace orvane::test {

// What FTP and FTPS sessions are made with: TLS filters and the FTP handlers.
inline FilterProviders ftp_providers() {
    FilterProviders p;
    p.tls = openssl_tls_provider();
    p.certificates = any_certificate();
    return p;
}
inline RequestTable ftp_requests() {
    return make_request_table(ftp_request_handlers(), {});
}
// A local and a remote folder to walk up (direction 0) or down (1).
inline TransferPair folder_pair(int direction, const std::string& local, const std::string& remote) {
    TransferPair p;
    p.direction = direction;
    p.local.full_path = local;
    p.remote.full_path = remote;
    p.local.type = p.remote.type = kEntryFolder;
    return p;
}

class FtpSessionHarness {
  public:
    // A session on an engine of its own, with these filter providers.
    explicit FtpSessionHarness(int protocol = kProtocolFtp, int timeout_seconds = 0,
                               FilterProviders providers = ftp_providers())
        : own_engines_(std::make_unique<EngineOwner>(providers)), engines_(own_engines_.get()) {
        open(ftp_requests(), protocol, timeout_seconds);
    }
    // A session on the caller's engine (which outlives the harness) and request table.
    FtpSessionHarness(EngineOwner& engines, const RequestTable& requests, int protocol,
                      int timeout_seconds = 0)
        : engines_(&engines) {
        open(requests, protocol, timeout_seconds);
    }
    Session& s() { return *session_; }
    bool ok() const { return session_ != nullptr; }

    // Starts a request with `start(done, code, object)` and pumps until its done callback ran.
    // The request's result, or -1 when it was refused as busy, -2 when it never completed.
    template <typename Start>
    int run(Start start, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        Done d;
        if (start(record_done, 0, &d) != 0) return -1;
        auto end = std::chrono::steady_clock::now() + timeout;
        while (d.calls == 0 && std::chrono::steady_clock::now() < end) {
            if (woken_.wait(50) == 1) {
                woken_.reset();
                pump_session_completions(*engines_);
            }
        }
        return d.calls == 1 ? d.result : -2;
    }

    // A download that the requester stops (request_cancel) once `when` holds; its result.
    template <typename When>
    int download_stopped_when(const std::string& remote, const std::string& local, When when,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        RemoteFileEntry l, r;
        l.full_path = local;
        r.name = remote;
        Done d;
        if (request_download(s(), l, r, record_done, 0, &d) != 0) return -1;
        bool stopped = false;
        auto end = std::chrono::steady_clock::now() + timeout;
        while (d.calls == 0 && std::chrono::steady_clock::now() < end) {
            if (!stopped && when()) {
                request_cancel(s());
                stopped = true;
            }
            if (woken_.wait(50) == 1) {
                woken_.reset();
                pump_session_completions(*engines_);
            }
        }
        return d.calls == 1 ? d.result : -2;
    }

    int connect(int port, const std::string& user, const std::string& password) {
        return run([&](DoneCallback done, int code, void* object) {
            return request_connect(s(), "127.0.0.1", password, user, static_cast<uint32_t>(port), ReplyHook{},
                                   done, code, object);
        });
    }
    // One folder pair walked with the default rules: the request's result.
    int walk_folder(int direction, const std::string& local, const std::string& remote,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        TransferPair p = folder_pair(direction, local, remote);
        DuplicateRules rules;
        return run([&](DoneCallback d, int c,
                       void* o) { return request_transfer_list(s(), {p}, rules, rules, d, c, o); },
                   timeout);
    }
    int listing() {
        return run([&](DoneCallback d, int c, void* o) { return request_listing(s(), d, c, o); });
    }
    // `listed_size`: the size a listing gave for the entry (none when empty).
    int download(const std::string& remote, const std::string& local, const std::string& listed_size = "") {
        RemoteFileEntry l, r;
        l.full_path = local;
        r.name = remote;
        r.size_text = listed_size;
        r.size = listed_size.empty() ? 0 : std::stoull(listed_size);
        return run([&](DoneCallback d, int c, void* o) { return request_download(s(), l, r, d, c, o); });
    }
    int upload(const std::string& local, const std::string& remote) {
        RemoteFileEntry l, r;
        l.full_path = local;
        r.name = remote;
        return run([&](DoneCallback d, int c, void* o) { return request_upload(s(), l, r, d, c, o); });
    }
    int change_folder(const std::string& path) {
        return run([&](DoneCallback d, int c, void* o) { return request_change_folder(s(), path, d, c, o); });
    }
    int disconnect() {
        return run([&](DoneCallback d, int c, void* o) { return request_disconnect(s(), d, c, o); });
    }

    std::vector<std::pair<int, std::string>> log() {
        std::lock_guard<std::mutex> hold(mutex_);
        return log_;
    }
    // Lines logged at a level, in order.
    std::vector<std::string> lines(int level) {
        std::vector<std::string> out;
        for (auto& [l, text] : log())
            if (l == level) out.push_back(text);
        return out;
    }
    bool logged(int level, const std::string& text) {
        auto all = lines(level);
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    // True when some line at the level starts with the prefix.
    bool logged_prefix(int level, const std::string& prefix) {
        for (auto& line : lines(level))
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    }
    size_t count(int level, const std::string& text) {
        auto all = lines(level);
        return static_cast<size_t>(std::count(all.begin(), all.end(), text));
    }
    void clear_log() {
        std::lock_guard<std::mutex> hold(mutex_);
        log_.clear();
    }
    std::string dump() {
        std::string out;
        for (auto& [l, text] : log()) out += std::to_string(l) + " " + text + "\n";
        return out;
    }

  private:
    void open(const RequestTable& requests, int protocol, int timeout_seconds) {
        session_ = create_session(*engines_, requests, this, log_line, Notifier{wake, this}, protocol,
                                  timeout_seconds);
    }
    struct Done {
        int calls = 0;
        int result = -1;
    };
    static void record_done(int, void* object, int result) {
        auto* d = static_cast<Done*>(object);
        ++d->calls;
        d->result = result;
    }
    static void wake(void* self) { static_cast<FtpSessionHarness*>(self)->woken_.set(); }
    static void log_line(void* self, const char* text, int level, int) {
        auto* h = static_cast<FtpSessionHarness*>(self);
        std::lock_guard<std::mutex> hold(h->mutex_);
        h->log_.emplace_back(level, text);
    }

    std::unique_ptr<EngineOwner> own_engines_;
    EngineOwner* engines_;
    platform::Event woken_;
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> log_;
    std::unique_ptr<Session> session_;  // last: destroyed first, while the log is still there
};

}  // namespace orvane::test
