// The request catalogue: busy check, arguments into the session, then the one dispatch point.
#include "client/transfer/session/requests.h"

#include <cassert>

#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/request_dispatch.h"
#include "common/limits.h"

namespace orvane {

namespace {

// Takes the request slot; 1 when a request is already running (nothing changes then).
int begin(Session& s, RequestKind kind, DoneCallback done, int code, void* object) {
    assert(s.requester == std::this_thread::get_id());
    if (s.done || !done) return 1;
    s.done = done;
    s.caller_code = code;
    s.caller_object = object;
    s.request = kind;
    s.immediate_result = 0;
    s.failure.clear();
    s.cancel.store(0);
    s.progress_bytes.store(0);
    s.progress_total.store(0);
    return 0;
}

std::string cut(const std::string& text, size_t capacity) {
    return text.size() > capacity ? text.substr(0, capacity) : text;
}

std::string remote_argument(const Session& s, const std::string& path) {
    return cut(join_remote_path(path, s.remote_folder), kPathCapacity);
}

int start(Session& s) {
    dispatch_request(s);
    return 0;
}

}  // namespace

int request_connect(Session& s, const std::string& host, const std::string& password, const std::string& user,
                    uint32_t port, ReplyHook hook, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kConnect, done, code, object)) return 1;
    s.host = cut(host, kCredentialCapacity);
    s.port = port;
    s.user = cut(user, kCredentialCapacity);
    s.password = cut(password, kCredentialCapacity);
    s.remote_folder.assign(1, '/');  // (assign: GCC 12 warns falsely on = "/")
    s.reply_hook = hook;
    return start(s);
}

int request_modification_time(Session& s, const std::string& remote_path, DoneCallback done, int code,
                              void* object) {
    if (begin(s, RequestKind::kModificationTime, done, code, object)) return 1;
    s.path1 = remote_argument(s, remote_path);
    return start(s);
}

int request_finish_with_result(Session& s, int value, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kFinishWithResult, done, code, object)) return 1;
    s.direct_result = value;
    return start(s);
}

int request_disconnect(Session& s, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kDisconnect, done, code, object)) return 1;
    return start(s);
}

int request_listing(Session& s, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kGetListing, done, code, object)) return 1;
    return start(s);
}

int request_transfer_list(Session& s, std::vector<TransferPair> pairs, const DuplicateRules& upload_rules,
                          const DuplicateRules& download_rules, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kTransferList, done, code, object)) return 1;
    s.transfer_list = std::move(pairs);
    s.upload_rules = upload_rules;
    s.download_rules = download_rules;
    return start(s);
}

int request_delete_list(Session& s, std::vector<RemoteFileEntry> entries, DoneCallback done, int code,
                        void* object) {
    if (begin(s, RequestKind::kDeleteList, done, code, object)) return 1;
    s.delete_list = std::move(entries);
    return start(s);
}

int request_make_folder(Session& s, const std::string& remote_path, DoneCallback done, int code,
                        void* object) {
    if (begin(s, RequestKind::kMakeFolder, done, code, object)) return 1;
    s.path1 = remote_argument(s, remote_path);
    return start(s);
}

int request_rename(Session& s, const std::string& old_path, const std::string& new_path, DoneCallback done,
                   int code, void* object) {
    if (begin(s, RequestKind::kRename, done, code, object)) return 1;
    s.path1 = remote_argument(s, old_path);
    s.path2 = remote_argument(s, new_path);
    return start(s);
}

int request_print_folder(Session& s, DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kPrintFolder, done, code, object)) return 1;
    return start(s);
}

int request_change_folder(Session& s, const std::string& remote_path, DoneCallback done, int code,
                          void* object) {
    if (begin(s, RequestKind::kChangeFolder, done, code, object)) return 1;
    s.path1 = remote_argument(s, remote_path);
    return start(s);
}

int request_download(Session& s, const RemoteFileEntry& local, const RemoteFileEntry& remote,
                     DoneCallback done, int code, void* object) {
    if (begin(s, RequestKind::kDownload, done, code, object)) return 1;
    s.local_entry = local;
    s.remote_entry = remote;
    return start(s);
}

int request_upload(Session& s, const RemoteFileEntry& local, const RemoteFileEntry& remote, DoneCallback done,
                   int code, void* object) {
    if (begin(s, RequestKind::kUpload, done, code, object)) return 1;
    s.local_entry = local;
    s.remote_entry = remote;
    return start(s);
}

int request_custom_command(Session& s, const std::string& command, DoneCallback done, int code,
                           void* object) {
    if (begin(s, RequestKind::kCustomCommand, done, code, object)) return 1;
    s.argument = cut(command, kPathCapacity);
    return start(s);
}

void request_cancel(Session& s) {
    if (!session_busy(s)) return;
    s.cancel.fetch_add(1);
    // The control side first: it decides how the exchange ends (ABOR, or the connection goes);
    // a data step only stops.
    if (s.control) raise_flag(*s.control, kFlagCancel);
    if (s.data) raise_flag(*s.data, kFlagAbort);
}

bool session_connected(const Session& s) {
    return s.control && s.control->socket != platform::kInvalidSocket;
}

}  // namespace orvane
