// The steps between the requests of a transfer statement, and the checks every such statement
// makes before anything reaches the server.
#include "client/script/transfer_steps.h"

#include "client/script/interpreter.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/session/requests.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "common/time_text.h"
#include "platform/system.h"

namespace orvane::script {
namespace {

constexpr const char* kStepNames[] = {"finish",   "connected", "folder read",  "transferred",
                                      "returned", "listed",    "path changed", "time read"};
static_assert(sizeof kStepNames / sizeof kStepNames[0] == static_cast<size_t>(TransferStep::kCount),
              "one name per step");

// Hands the statement's result to the interpreter; the record is cleared first, so the
// interpreter may start the next statement's requests at once.
void finish(ScriptContext& cx, int result) {
    Interpreter* interpreter = cx.transfer.interpreter;
    cx.transfer = TransferStatement();
    if (interpreter) Interpreter::request_done(0, interpreter, result);
}

// The statement's next request has been started; a busy session fails it.
void next(ScriptContext& cx, int busy) {
    if (busy != 0) finish(cx, 1);
}

void after_request(ScriptContext& cx, Session&, int result) {
    finish(cx, result);
}

void after_connect(ScriptContext& cx, Session& s, int result) {
    if (result != 0) return finish(cx, result);
    next(cx, request_print_folder(s, transfer_step_done, step_code(TransferStep::kFolderRead), &cx));
}

void after_folder_read(ScriptContext& cx, Session& s, int result) {
    // A folder that cannot be read leaves the stored one shown, and no folder to go back to.
    cx.remote_folder_known = result == 0;
    if (result == 0) cx.remote_folder = cut(s.remote_folder, kPathCapacity);
    output(format("Remote path: %s", escape_controls(cx.remote_folder).c_str()), kLevelInfo);
    output(format("Local  path: %s", escape_controls(cx.local_folder).c_str()), kLevelInfo);
    finish(cx, 0);
}

// The walks of folder trees leave the server where they ended; the script's statements expect
// the remembered folder, also after a failure. A session still there needs no request.
void after_transfer(ScriptContext& cx, Session& s, int result) {
    cx.transfer.first_result = result;
    if (!cx.remote_folder_known || s.remote_folder == cx.remote_folder) return finish(cx, result);
    next(cx, request_change_folder(s, cx.remote_folder, transfer_step_done,
                                   step_code(TransferStep::kReturned), &cx));
}

void after_return(ScriptContext& cx, Session&, int result) {
    int first = cx.transfer.first_result;
    finish(cx, first != 0 ? first : result);
}

// A remote entry as a list entry: the listing's texts, else the time as UTC calendar fields and
// the size in decimal.
ListEntry list_entry(const RemoteFileEntry& e) {
    ListEntry out;
    out.name = cut(e.name, kPathCapacity);
    if (e.name.size() > kPathCapacity) out.name_marks |= kMarkCut;
    // The server's name as it is: one that could not be a name in a local folder never becomes
    // a path or a name for an action, here or through any value made from it.
    if (!is_safe_name(e.name)) out.name_marks |= kMarkUnsafeName;
    if (!e.time_text.empty()) {
        out.modification_time = cut(e.time_text, kEntryTimeCapacity);
    } else if (e.file_time != 0) {
        out.modification_time = cut(time_text(calendar_from_filetime(e.file_time)), kEntryTimeCapacity);
    }
    out.size = cut(e.size_text.empty() ? std::to_string(e.size) : e.size_text, kEntrySizeCapacity);
    out.is_folder = e.type == kEntryFolder;
    return out;
}

void after_listing(ScriptContext& cx, Session& s, int result) {
    UserList* list = cx.transfer.list;
    if (result == 0 && list)
        for (const RemoteFileEntry& e : s.listing) list->entries.push_back(list_entry(e));
    finish(cx, result);
}

// A failed change may still have moved the server (it accepted CWD, but its confirmation could not
// be read): the session goes back to the remembered folder, as after a transfer, so the next
// statement acts where the script believes it is.
void after_path_change(ScriptContext& cx, Session& s, int result) {
    if (result != 0) return after_transfer(cx, s, result);
    cx.remote_folder = cut(s.remote_folder, kPathCapacity);
    cx.remote_folder_known = true;
    output(format("Remote path: %s", escape_controls(cx.remote_folder).c_str()), kLevelInfo);
    finish(cx, result);
}

void after_time_read(ScriptContext& cx, Session& s, int result) {
    if (result == 0 && cx.transfer.variable) {
        assign_variable(*cx.transfer.variable, s.modification_time);
        if (cx.transfer.variable_marks) *cx.transfer.variable_marks = 0;
    }
    finish(cx, result);
}

using StepHandler = void (*)(ScriptContext& cx, Session& s, int result);
constexpr StepHandler kSteps[] = {after_request, after_connect, after_folder_read, after_transfer,
                                  after_return,  after_listing, after_path_change, after_time_read};
static_assert(sizeof kSteps / sizeof kSteps[0] == static_cast<size_t>(TransferStep::kCount),
              "one handler per step");

void fail(MacroCall& call, const std::string& text) {
    call.interpreter.report(text);
    call.interpreter.complete(1);
}

}  // namespace

const char* transfer_step_name(TransferStep step) {
    size_t i = static_cast<size_t>(step);
    return i < static_cast<size_t>(TransferStep::kCount) ? kStepNames[i] : "unknown";
}

void* statement_object(MacroCall& call) {
    call.context.transfer = TransferStatement();
    call.context.transfer.interpreter = &call.interpreter;
    return &call.context;
}

void start_request(MacroCall& call, int busy) {
    if (busy != 0) finish(call.context, 1);
}

void transfer_step_done(int code, void* object, int result) {
    ScriptContext& cx = *static_cast<ScriptContext*>(object);
    // The session is the one the request ran on: a statement never outlives its session.
    if (code < 0 || code >= static_cast<int>(TransferStep::kCount) || !cx.session) return finish(cx, 1);
    kSteps[code](cx, *cx.session, result);
}

Session* statement_session(MacroCall& call) {
    if (call.context.session) return call.context.session.get();
    output("ERROR: Not connected", kLevelError);
    call.interpreter.complete(1);
    return nullptr;
}

bool sendable(MacroCall& call, const std::string& text) {
    if (text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) return true;
    // The value itself is not shown: it may be a password.
    fail(call, "A value sent to a server must not hold a line break or a NUL character");
    return false;
}

bool named(MacroCall& call, const std::string& text) {
    if (!text.empty()) return true;
    call.interpreter.report(RuntimeMessage::NeedFileOrFolderName);
    call.interpreter.complete(1);
    return false;
}

bool remote_path_usable(MacroCall& call, const Session& s, const std::string& path) {
    if (!named(call, path) || !sendable(call, path)) return false;
    // A longer path would be cut, and the command would name another file.
    if (join_remote_path(path, s.remote_folder).size() <= kPathCapacity) return true;
    fail(call, format("The remote path is longer than %zu characters", kPathCapacity));
    return false;
}

bool local_path(MacroCall& call, const std::string& text, std::string& path) {
    if (!named(call, text)) return false;
    path = platform::normalize_local_path(text);
    if (path[0] != '/') {
        std::string folder = call.context.local_folder;
        if (!folder.empty() && folder.back() != '/') folder += '/';
        path = folder + path;
    }
    if (path.size() <= kPathCapacity) return true;
    fail(call, format("The local path is longer than %zu characters", kPathCapacity));
    return false;
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace orvane::script
