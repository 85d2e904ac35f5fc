// The SFTP request handlers: each posts the operation steps of its request and turns the engine's
// results into the session's fields (current folder, listing, modification time).
#include "client/ssh/sftp/sftp_requests.h"

#include "client/ssh/sftp/sftp_steps.h"
#include "client/transfer/session/duplicate_rules.h"
#include "client/transfer/session/folder_walk.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/request_table.h"
#include "common/log.h"
#include "common/time_text.h"
#include "platform/system.h"

namespace orvane::sftp {

namespace {

Session& session_of(void* owner) {
    return *static_cast<Session*>(owner);
}

Client& client_of(Session& s) {
    return *sftp_state(s).client;
}

void complete_with_result(int, void* owner, int result) {
    complete_request(session_of(owner), result);
}

// Posts one operation whose result is the request's.
void run(Session& s, Operation operation, CompletionCallback next = complete_with_result, int code = 0) {
    if (post_sftp_operation(s, operation, next, code) != 0) complete_request_soon(s, 1);
}
// From a continuation: the same, completing at once when the step cannot be posted.
void run_next(Session& s, Operation operation, CompletionCallback next, int code) {
    if (post_sftp_operation(s, operation, next, code) != 0) complete_request(s, 1);
}

// The remote path a transfer names: a full path as given, a bare name in the current folder.
std::string remote_path_of(const Session& s, const RemoteFileEntry& e) {
    return e.full_path.empty() ? join_remote_path(e.name, s.remote_folder)
                               : normalize_remote_path(e.full_path);
}

std::string local_path_of(const RemoteFileEntry& e) {
    return platform::normalize_local_path(e.full_path.empty() ? e.name : e.full_path);
}

// The entry's calendar fields from its seconds since 1970 (UTC), as an exact listing gives them.
void fill_times(RemoteFileEntry& e) {
    if (e.type != kEntryFolder && (e.sftp_flags & kAttrSize)) e.size_text = std::to_string(e.size);
    CalendarTime t;
    if (!(e.sftp_flags & kAttrTimes) || !calendar_from_unix(e.unix_time, t)) return;
    e.time_text = time_text(t);
    e.file_time = filetime_from_calendar(t);
}

// ---- operations ----

int op_start(Session&, Client& client) {
    return client.start();
}
int op_print_folder(Session&, Client& client) {
    return client.current_directory();
}
int op_change_folder(Session& s, Client& client) {
    return client.change_directory(s.path1);
}
// A walk's entry into a folder: the walk reports a failure in its own words.
int op_enter_folder(Session& s, Client& client) {
    return client.change_directory(s.path1, true);
}
int op_list(Session&, Client& client) {
    return client.list();
}
// A walk lists each folder by its path: nothing is entered.
int op_list_path(Session& s, Client& client) {
    return client.list(s.path1);
}
int op_make_folder(Session& s, Client& client) {
    return client.make_folder(s.path1);
}
// A walk makes each folder before looking for it: one that is there already is no news.
int op_make_walk_folder(Session& s, Client& client) {
    return client.make_folder(s.path1, true);
}
int op_remove_folder(Session& s, Client& client) {
    return client.remove_folder(normalize_remote_path(s.argument));
}
int op_delete_file(Session& s, Client& client) {
    return client.remove(normalize_remote_path(s.argument));
}
int op_rename(Session& s, Client& client) {
    return client.rename(s.path1, s.path2);
}
int op_stat(Session& s, Client& client) {
    return client.stat(s.path1);
}
int op_folder_up(Session& s, Client& client) {
    return client.change_directory(join_remote_path("..", s.remote_folder));
}

Transfer transfer_of(Session& s, const DuplicateRules& rules) {
    Transfer t;
    t.remote_path = remote_path_of(s, s.remote_entry);
    t.local_path = local_path_of(s.local_entry);
    t.rules = rules;
    t.rename_suffix = s.rename_suffix;
    return t;
}
int op_download(Session& s, Client& client) {
    const RemoteFileEntry* next = walk_next_download(s);
    return client.download(transfer_of(s, s.download_rules), next ? remote_path_of(s, *next) : std::string());
}
int op_upload(Session& s, Client& client) {
    return client.upload(transfer_of(s, s.upload_rules));
}

// ---- continuations ----

// The engine's folder is the session's.
void folder_known(int, void* owner, int result) {
    Session& s = session_of(owner);
    if (result == 0) s.remote_folder = client_of(s).directory();
    complete_request(s, result);
}

void listed(int, void* owner, int result) {
    Session& s = session_of(owner);
    s.listing.clear();
    if (result == 0) {
        for (RemoteFileEntry e : client_of(s).listing()) {
            fill_times(e);
            if (s.listing.push_back(e) != 0) break;
        }
    }
    complete_request(s, result);
}

void time_known(int, void* owner, int result) {
    Session& s = session_of(owner);
    RemoteFileEntry e = client_of(s).entry();
    fill_times(e);
    if (result == 0 && e.time_text.empty()) {
        session_log(s, kLevelError, kMsgNoRemoteTime);
        s.failure.set(FailureKind::kRemote, kMsgNoRemoteTime);
        result = 1;
    }
    if (result == 0) s.modification_time = e.time_text;
    complete_request(s, result);
}

// Connect: the connection, then INIT and VERSION (the SSH handshake and login run meanwhile), then
// the server's folder.
enum class ConnectCode : int { kConnected = 0, kStarted, kFolder, kCount };

void connect_next(int code, void* owner, int result) {
    Session& s = session_of(owner);
    // The handshake runs inside the first operation: a host it met for the first time is recorded
    // here, on the requester's thread, whether or not the login then succeeded. A host that could
    // not be recorded fails the connect: it would never be checked again.
    std::string unrecorded;
    if (sftp_state(s).known_hosts.record_new_host(&unrecorded) != 0 && result == 0) {
        s.failure.set(FailureKind::kLocal, unrecorded);
        result = 1;
    }
    if (result != 0 || code == static_cast<int>(ConnectCode::kFolder)) {
        if (result == 0) s.remote_folder = client_of(s).directory();
        complete_request(s, result);
        return;
    }
    if (code == static_cast<int>(ConnectCode::kConnected)) {
        run_next(s, op_start, connect_next, static_cast<int>(ConnectCode::kStarted));
        return;
    }
    run_next(s, op_print_folder, connect_next, static_cast<int>(ConnectCode::kFolder));
}

// ---- handlers ----

void sftp_connect(Session& s) {
    // The SSH login needs the user name and password before the first byte: the front end's hook
    // is asked now rather than at a server's prompt.
    if (s.reply_hook && (s.reply_hook(ReplyHookKind::kUser, &s.user, 0) != 0 ||
                         s.reply_hook(ReplyHookKind::kPassword, &s.password, 0) != 0)) {
        s.failure.set(FailureKind::kUser, "the user name or password prompt was cancelled");
        complete_request_soon(s, 1);
        return;
    }
    s.remote_folder.assign(1, '/');
    ssh::KnownHostsPolicy& known_hosts = sftp_state(s).known_hosts;
    // Through the session's own log: a session opened beside another says nothing of its host twice.
    if (known_hosts.load(ssh::default_known_hosts_files(), s.log, s.log_user) != 0) {
        std::string refusal = "ERROR: " + known_hosts.load_error();
        session_log(s, kLevelError, refusal.c_str());
        s.failure.set(FailureKind::kLocal, refusal);
        complete_request_soon(s, 1);
        return;
    }
    if (post_sftp_connect(s, connect_next, static_cast<int>(ConnectCode::kConnected)) != 0)
        complete_request_soon(s, 1);
}

void closed(Connection& c) {
    close_socket(c);
    finish_step(c, 0);
}
void sftp_disconnect(Session& s) {
    if (!s.control || post_session_step(s, *s.control, closed, complete_with_result, 0) != 0)
        complete_request_soon(s, 0);
}

void sftp_print_folder(Session& s) {
    run(s, op_print_folder, folder_known);
}
void sftp_change_folder(Session& s) {
    run(s, op_change_folder, folder_known);
}
void sftp_enter_folder(Session& s) {
    run(s, op_enter_folder, folder_known);
}
void sftp_folder_up(Session& s) {
    run(s, op_folder_up, folder_known);
}
void sftp_listing(Session& s) {
    run(s, op_list, listed);
}
void sftp_list_path(Session& s) {
    run(s, op_list_path, listed);
}
void sftp_make_folder(Session& s) {
    run(s, op_make_folder);
}
void sftp_make_walk_folder(Session& s) {
    run(s, op_make_walk_folder);
}
void sftp_remove_folder(Session& s) {
    run(s, op_remove_folder);
}
void sftp_delete_file(Session& s) {
    run(s, op_delete_file);
}
void sftp_rename(Session& s) {
    run(s, op_rename);
}
void sftp_modification_time(Session& s) {
    run(s, op_stat, time_known);
}
void sftp_download(Session& s) {
    run(s, op_download);
}
void sftp_upload(Session& s) {
    run(s, op_upload);
}

void sftp_custom_command(Session& s) {
    const char* refusal = "ERROR: Raw commands are an FTP feature: an SFTP session cannot send them";
    session_log(s, kLevelError, refusal);
    s.failure.set(FailureKind::kUser, refusal);
    complete_request_soon(s, 1);
}

constexpr WalkSteps kSftpWalkSteps{
    sftp_enter_folder,
    sftp_folder_up,
    sftp_list_path,
    sftp_make_walk_folder,
    sftp_remove_folder,
    sftp_delete_file,
    sftp_download,
    sftp_upload,
    true,  // full paths
    true,  // listed by path
    true,  // folders made first
};

void sftp_transfer_list(Session& s) {
    start_transfer_walk(s, kSftpWalkSteps);
}
void sftp_delete_walk(Session& s) {
    start_delete_walk(s, kSftpWalkSteps);
}

constexpr RequestEntry kHandlers[] = {
    {RequestKind::kConnect, sftp_connect},
    {RequestKind::kModificationTime, sftp_modification_time},
    {RequestKind::kDisconnect, sftp_disconnect},
    {RequestKind::kGetListing, sftp_listing},
    {RequestKind::kTransferList, sftp_transfer_list},
    {RequestKind::kDeleteList, sftp_delete_walk},
    {RequestKind::kMakeFolder, sftp_make_folder},
    {RequestKind::kRename, sftp_rename},
    {RequestKind::kPrintFolder, sftp_print_folder},
    {RequestKind::kChangeFolder, sftp_change_folder},
    {RequestKind::kDownload, sftp_download},
    {RequestKind::kUpload, sftp_upload},
    {RequestKind::kCustomCommand, sftp_custom_command},
};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == static_cast<size_t>(kRequestKindCount) - 2,
              "every request but none and finish-with-result has an SFTP handler");

}  // namespace

std::span<const RequestEntry> sftp_request_handlers() {
    return kHandlers;
}

}  // namespace orvane::sftp
