// The request catalogue: each returns 1 when the session is busy, 0 when started; the done
// callback then runs once, on the requester's thread, from the completion pump.
#pragma once

#include <string>
#include <vector>

#include "client/transfer/session/session.h"

namespace orvane {

int request_connect(Session& s, const std::string& host, const std::string& password, const std::string& user,
                    uint32_t port, ReplyHook hook, DoneCallback done, int code, void* object);
int request_modification_time(Session& s, const std::string& remote_path, DoneCallback done, int code,
                              void* object);
int request_finish_with_result(Session& s, int value, DoneCallback done, int code, void* object);
int request_disconnect(Session& s, DoneCallback done, int code, void* object);
int request_listing(Session& s, DoneCallback done, int code, void* object);
int request_transfer_list(Session& s, std::vector<TransferPair> pairs, const DuplicateRules& upload_rules,
                          const DuplicateRules& download_rules, DoneCallback done, int code, void* object);
int request_delete_list(Session& s, std::vector<RemoteFileEntry> entries, DoneCallback done, int code,
                        void* object);
int request_make_folder(Session& s, const std::string& remote_path, DoneCallback done, int code,
                        void* object);
int request_rename(Session& s, const std::string& old_path, const std::string& new_path, DoneCallback done,
                   int code, void* object);
int request_print_folder(Session& s, DoneCallback done, int code, void* object);
int request_change_folder(Session& s, const std::string& remote_path, DoneCallback done, int code,
                          void* object);
int request_download(Session& s, const RemoteFileEntry& local, const RemoteFileEntry& remote,
                     DoneCallback done, int code, void* object);
int request_upload(Session& s, const RemoteFileEntry& local, const RemoteFileEntry& remote, DoneCallback done,
                   int code, void* object);
// Sends one command line as given (at most 390 characters) and succeeds on a reply of 1 to 399.
int request_custom_command(Session& s, const std::string& command, DoneCallback done, int code, void* object);

// Asks the running request to stop (nothing while none runs); its done callback still comes,
// with 1. Asked once, a protocol ends the exchange so that the connection stays usable where it
// can (FTP sends ABOR during a transfer); asked again, or where it cannot, the connection closes.
void request_cancel(Session& s);
// True while the session's control connection is open. Between requests only.
bool session_connected(const Session& s);

// True while a request is in progress.
inline bool session_busy(const Session& s) {
    return s.done != nullptr;
}

}  // namespace orvane
