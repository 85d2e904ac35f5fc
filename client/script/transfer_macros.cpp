// The macros that move and manage files on the server: uploads and downloads of files and folder
// trees, and the remote forms of the listing, folder, delete, rename and time macros.
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"
#include "client/script/transfer_steps.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane::script {
namespace {

constexpr int kDone = step_code(TransferStep::kFinish);
constexpr int kTransferred = step_code(TransferStep::kTransferred);

bool is_folder_kind(const Argument& kind) {
    return kind.keyword == kKwFolder;
}

// The text of an optional parameter, or `fallback` when it was left out or is empty.
std::string or_default(const Argument& a, const std::string& fallback) {
    return a.present && !a.text.empty() ? a.text : fallback;
}

RemoteFileEntry local_entry(const std::string& path, int type) {
    RemoteFileEntry e;
    e.full_path = path;
    e.name = base_name(path);
    e.type = type;
    int64_t size = platform::path_size(path);
    if (size > 0 && type == kEntryFile) e.size = static_cast<uint64_t>(size);
    e.file_time = platform::path_last_write_time(path);
    return e;
}

// The procedures name the file as given, relative to the server's current folder.
RemoteFileEntry remote_entry(const Session& s, const std::string& path, int type) {
    RemoteFileEntry e;
    e.name = path;
    e.full_path = join_remote_path(path, s.remote_folder);
    e.type = type;
    return e;
}

void transfer_folder(MacroCall& call, Session& s, TransferPair pair) {
    start_request(call, request_transfer_list(s, {std::move(pair)}, s.upload_rules, s.download_rules,
                                              transfer_step_done, kTransferred, statement_object(call)));
}

}  // namespace

// ftpupload kind local [remote]: the remote name is the local file's own name unless given.
void action_ftpupload(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    Arguments& a = call.arguments;
    std::string local;
    if (!local_path(call, a[1].text, local)) return;
    std::string remote = or_default(a[2], base_name(local));
    if (!remote_path_usable(call, *s, remote)) return;
    int type = is_folder_kind(a[0]) ? kEntryFolder : kEntryFile;
    TransferPair pair{local_entry(local, type), remote_entry(*s, remote, type), 0};
    if (type == kEntryFolder) return transfer_folder(call, *s, std::move(pair));
    start_request(call, request_upload(*s, pair.local, pair.remote, transfer_step_done, kTransferred,
                                       statement_object(call)));
}

// ftpdownload kind remote [local]: the local name is the remote file's own name unless given; a
// name that could not be one local file name (it may come from a server's listing) is refused.
void action_ftpdownload(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    Arguments& a = call.arguments;
    const std::string& remote = a[1].text;
    if (!remote_path_usable(call, *s, remote)) return;
    std::string own_name = base_name(remote);
    if (!(a[2].present && !a[2].text.empty()) && !is_safe_name(own_name)) {
        call.interpreter.report(format("\"%s\" cannot be a local file name: give the local name",
                                       escape_controls(own_name).c_str()));
        call.interpreter.complete(1);
        return;
    }
    std::string local;
    if (!local_path(call, or_default(a[2], own_name), local)) return;
    int type = is_folder_kind(a[0]) ? kEntryFolder : kEntryFile;
    TransferPair pair{local_entry(local, type), remote_entry(*s, remote, type), 1};
    if (type == kEntryFolder) return transfer_folder(call, *s, std::move(pair));
    start_request(call, request_download(*s, pair.local, pair.remote, transfer_step_done, kTransferred,
                                         statement_object(call)));
}

void remote_ftpdelete(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& path = call.arguments[2].text;
    if (!remote_path_usable(call, *s, path)) return;
    int type = is_folder_kind(call.arguments[1]) ? kEntryFolder : kEntryFile;
    start_request(call, request_delete_list(*s, {remote_entry(*s, path, type)}, transfer_step_done,
                                            kTransferred, statement_object(call)));
}

void remote_ftpgetlist(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    UserList& list = *call.arguments[1].list;
    list.entries.clear();
    void* object = statement_object(call);
    call.context.transfer.list = &list;
    start_request(call, request_listing(*s, transfer_step_done, step_code(TransferStep::kListed), object));
}

void remote_ftpsetpath(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& path = call.arguments[1].text;
    if (!remote_path_usable(call, *s, path)) return;
    start_request(call, request_change_folder(*s, path, transfer_step_done,
                                              step_code(TransferStep::kPathChanged), statement_object(call)));
}

void remote_ftpmakefolder(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& path = call.arguments[1].text;
    if (!remote_path_usable(call, *s, path)) return;
    start_request(call, request_make_folder(*s, path, transfer_step_done, kDone, statement_object(call)));
}

void remote_ftprename(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& from = call.arguments[1].text;
    const std::string& to = call.arguments[2].text;
    if (!remote_path_usable(call, *s, from) || !remote_path_usable(call, *s, to)) return;
    start_request(call, request_rename(*s, from, to, transfer_step_done, kDone, statement_object(call)));
}

// ftpmodtime variable remote: the variable receives the server's time text (yyyymmddhhmmss).
void action_ftpmodtime(MacroCall& call) {
    Session* s = statement_session(call);
    if (!s) return;
    const std::string& path = call.arguments[1].text;
    if (!remote_path_usable(call, *s, path)) return;
    void* object = statement_object(call);
    call.context.transfer.variable = call.arguments[0].variable;
    call.context.transfer.variable_marks = call.arguments[0].variable_marks;
    start_request(call, request_modification_time(*s, path, transfer_step_done,
                                                  step_code(TransferStep::kTimeRead), object));
}

}  // namespace orvane::script
