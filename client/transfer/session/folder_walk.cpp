// The transfer and delete walks: work lists built as folders are listed, each step run nested in the
// request through a relay that restores the request's slot and continues with the step's result.
#include "client/transfer/session/folder_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "client/transfer/session/local_path.h"
#include "client/transfer/session/parallel_transfers.h"
#include "client/transfer/session/remote_path.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {

namespace {

// What the walk waits for: each state names the step that is running.
enum class WalkState : int {
    kIdle = 0,
    kEnterToList,      // download of a folder: entering it
    kListForDownload,  // download of a folder: listing it
    kEnterFileFolder,  // a file's remote folder
    kTransferFile,     // the download or upload procedure
    kEnterToUpload,    // upload of a folder: entering it
    kEnterParent,      // it was missing: entering its parent
    kMakeFolder,       // creating it
    kEnterMadeFolder,  // entering the new folder
    kMakeToUpload,     // upload of a folder by full paths: creating it first
    kCheckExisting,    // it could not be made: entering it (it may be there already)
    kEnterToDelete,    // delete walk: entering a folder seen for the first time
    kListToDelete,     // listing it
    kLeaveFolder,      // going up once its contents are gone
    kRemoveFolder,
    kDeleteFile,
    kCount,
};

constexpr const char* kWalkStateNames[] = {
    "idle",
    "enter to list",
    "list for download",
    "enter file folder",
    "transfer file",
    "enter to upload",
    "enter parent",
    "make folder",
    "enter made folder",
    "make to upload",
    "check existing",
    "enter to delete",
    "list to delete",
    "leave folder",
    "remove folder",
    "delete file",
};
static_assert(sizeof kWalkStateNames / sizeof kWalkStateNames[0] == static_cast<size_t>(WalkState::kCount),
              "one name per walk state");

}  // namespace

struct FolderWalk {
    WalkSteps steps{};
    WalkState state = WalkState::kIdle;
    // The request's own slot while a nested step runs.
    DoneCallback saved_done = nullptr;
    int saved_code = 0;
    void* saved_object = nullptr;
    RequestKind saved_request = RequestKind::kNone;
    size_t head = 0;             // the next pair of the work list
    TransferPair pair;           // the pair being handled
    bool local_existed = false;  // download of a link: whether its local file was there before
    std::string folder;          // the remote folder being entered, made or listed
    RemoteFileEntry entry;       // delete walk: the entry being removed
    // With more than one session: the files go to the dispatcher, and the walk waits for it to end.
    std::unique_ptr<ParallelTransfers> parallel;
    ParallelFile own_file;  // a handed-over file this session took back to do itself
    bool own_file_active = false;
    bool parallel_failed = false;  // a file done elsewhere failed: no more work is started
    bool parallel_ended = false;
    bool files_failed = false;  // independent files: one failed, the others went on
    Failure parallel_failure;   // why that file failed
};

void FolderWalkEnd::operator()(FolderWalk* walk) const {
    delete walk;
}

namespace {

FolderWalk& walk_of(Session& s) {
    return *s.walk_state;
}

void set_state(Session& s, FolderWalk& w, WalkState state) {
    if (s.trace && w.state != state)
        session_log(s, kLevelInfo,
                    (std::string("Walk state: ") + walk_state_name(static_cast<int>(w.state)) + " -> " +
                     walk_state_name(static_cast<int>(state)))
                        .c_str());
    w.state = state;
}

std::string shown(const std::string& text) {
    return escape_controls(text);
}

std::string last_component(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A listed name that is not one path component never becomes part of a path; "." and ".." are the
// folder itself and its parent, never its contents.
bool usable_listed_name(Session& s, const RemoteFileEntry& e, const std::string& folder) {
    if (e.name == "." || e.name == "..") return false;
    if (is_safe_name(e.name)) return true;
    session_log(s, kLevelWarning,
                format("Warning: Skipping \"%s\" in %s: not a safe file name", shown(e.name).c_str(),
                       shown(folder).c_str())
                    .c_str());
    return false;
}

void finish(Session& s, int result, const std::string& message = {}) {
    if (result != 0 && !message.empty()) session_log(s, kLevelError, message.c_str());
    FolderWalk& w = *s.walk_state;
    if (w.files_failed) result = 1;
    if (w.parallel && !w.parallel_ended) {
        // Files still moving on other sessions finish first; their end finishes the walk.
        set_state(s, w, WalkState::kIdle);
        w.parallel->end(result);
        return;
    }
    if (result != 0 && !s.failure && w.parallel_failure) s.failure = w.parallel_failure;
    s.work_list.clear();
    s.work_list.shrink_to_fit();
    s.delete_list.clear();
    s.walk_state.reset();
    complete_request_soon(s, result);
}

std::string failure(const char* what, const std::string& path) {
    return format("ERROR: Could not %s %s", what, shown(path).c_str());
}

// A local call failed just now (errno says why): the walk ends as this side's failure.
void fail_locally(Session& s, const std::string& what) {
    std::string message = what + ": " + std::strerror(errno);
    s.failure.set(FailureKind::kLocal, message);
    finish(s, 1, message);
}

// ---- nested steps ----

void relay(int, void* object, int result);

void run_step(Session& s, RequestHandler step, WalkState next) {
    FolderWalk& w = walk_of(s);
    set_state(s, w, next);
    w.saved_done = s.done;
    w.saved_code = s.caller_code;
    w.saved_object = s.caller_object;
    w.saved_request = s.request;
    s.done = relay;
    s.caller_code = 0;
    s.caller_object = &s;
    // Each nested step's failure is its own: one the walk carried on from must not stand for a later one.
    s.failure.clear();
    step(s);
}

// ---- transfer walk ----

void next_pair(Session& s);

void download_folder(Session& s, FolderWalk& w) {
    const TransferPair& p = w.pair;
    const std::string& name = p.local.name.empty() ? p.remote.name : p.local.name;
    std::string local = p.local.full_path.empty() ? join_local_path(name, s.local_folder)
                                                  : normalize_local_path(p.local.full_path);
    // Files listed below a folder that could not be made would land in the folder above it.
    if (create_local_folder(local) != 0) return fail_locally(s, failure("create local folder", local));
    s.local_folder = local;
    w.folder = p.remote.full_path.empty() ? join_remote_path(p.remote.name, s.remote_folder)
                                          : normalize_remote_path(p.remote.full_path);
    s.path1 = w.folder;
    if (w.steps.list_by_path) return run_step(s, w.steps.list, WalkState::kListForDownload);
    run_step(s, w.steps.change_folder, WalkState::kEnterToList);
}

// The remote folder the listing's names are in: the walk's own with full paths, else the
// session's current one.
const std::string& listed_folder(const Session& s, const FolderWalk& w) {
    return w.steps.full_paths ? w.folder : s.remote_folder;
}

void on_enter_to_list(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("enter remote folder", w.folder));
    run_step(s, w.steps.list, WalkState::kListForDownload);
}

void on_list_for_download(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("list remote folder", w.folder));
    const std::string remote = listed_folder(s, w);
    for (const RemoteFileEntry& e : s.listing) {
        if (!usable_listed_name(s, e, remote)) continue;
        TransferPair p;
        p.direction = 1;
        p.remote = e;
        p.remote.full_path = join_remote_path(e.name, remote);
        p.local.name = e.name;
        p.local.full_path = join_local_path(e.name, s.local_folder);
        p.local.type = e.type;
        s.work_list.push_back(std::move(p));
    }
    s.listing.clear();
    next_pair(s);
}

void transfer_file(Session& s, FolderWalk& w) {
    s.local_entry = w.pair.local;
    s.remote_entry = w.pair.remote;
    if (w.pair.direction == 1) {
        w.local_existed = platform::path_exists(s.local_entry.full_path);
        run_step(s, w.steps.download, WalkState::kTransferFile);
    } else {
        run_step(s, w.steps.upload, WalkState::kTransferFile);
    }
}

void file_pair(Session& s, FolderWalk& w) {
    TransferPair& p = w.pair;
    bool down = p.direction == 1;
    if (p.local.name.empty()) p.local.name = last_component(normalize_local_path(p.local.full_path));
    if (p.remote.name.empty()) p.remote.name = last_component(normalize_remote_path(p.remote.full_path));
    RemoteFileEntry& source = down ? p.remote : p.local;
    RemoteFileEntry& target = down ? p.local : p.remote;
    if (target.name.empty()) target.name = source.name;
    if (p.local.full_path.empty()) p.local.full_path = join_local_path(p.local.name, s.local_folder);
    p.local.full_path = normalize_local_path(p.local.full_path);
    if (p.remote.full_path.empty()) p.remote.full_path = join_remote_path(p.remote.name, s.remote_folder);
    p.remote.full_path = normalize_remote_path(p.remote.full_path);
    if (w.parallel && !w.own_file_active) {
        ParallelFile file;
        file.pair = std::move(p);
        if (down) file.local_existed = platform::path_exists(file.pair.local.full_path);
        w.parallel->hand_over(std::move(file));
        return next_pair(s);
    }
    std::string folder = remote_parent(p.remote.full_path);
    if (!w.steps.full_paths && folder != s.remote_folder) {
        w.folder = folder;
        s.path1 = folder;
        run_step(s, w.steps.change_folder, WalkState::kEnterFileFolder);
        return;
    }
    transfer_file(s, w);
}

void on_enter_file_folder(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("enter remote folder", w.folder));
    transfer_file(s, w);
}

// What a file's procedure ending with `result` means for the walk: 0 it goes on (`warning` says what
// was skipped), 1 it fails (`error` says why). The same whichever session did the file.
int file_outcome(const TransferPair& p, bool local_existed, int result, std::string& warning,
                 std::string& error) {
    if (result == 0) return 0;
    if (p.direction == 1 && p.remote.type == kEntryLink) {
        // A link the server will not hand out as a file (one to a folder, or a dangling one).
        if (!local_existed && platform::path_size(p.local.full_path) == 0)
            platform::path_remove(p.local.full_path);
        warning = format("Warning: Skipping the link %s: it cannot be retrieved as a file",
                         shown(p.remote.full_path).c_str());
        return 0;
    }
    error = p.direction == 1 ? failure("download", p.remote.full_path) : failure("upload", p.local.full_path);
    return 1;
}

void on_transfer_file(Session& s, FolderWalk& w, int result) {
    std::string warning, error;
    int verdict = file_outcome(w.pair, w.local_existed, result, warning, error);
    if (!warning.empty()) session_log(s, kLevelWarning, warning.c_str());
    if (w.own_file_active) {
        if (verdict != 0) session_log(s, kLevelError, error.c_str());
        w.own_file_active = false;
        w.parallel->own_file_done(w.own_file);
    } else if (verdict != 0) {
        session_log(s, kLevelError, error.c_str());
    }
    if (verdict != 0 && !s.independent_files) return finish(s, 1);
    w.files_failed |= verdict != 0;
    next_pair(s);
}

// A file done by another session.
int on_parallel_file(Session& s, ParallelTransfers& p, const ParallelFile& file, int result,
                     const Session& worker) {
    FolderWalk& w = walk_of(s);
    std::string warning, error;
    int verdict = file_outcome(file.pair, file.local_existed, result, warning, error);
    if (!warning.empty()) p.log_to(file, kLevelWarning, warning.c_str());
    if (verdict == 0) return 0;
    p.log_to(file, kLevelError, error.c_str());
    if (!w.parallel_failure) w.parallel_failure = worker.failure;
    if (s.independent_files) {
        w.files_failed = true;
        return 0;
    }
    w.parallel_failed = true;
    return 1;
}

void next_pair(Session& s);
void on_parallel_wake(Session& s) {
    next_pair(s);
}

void on_parallel_end(Session& s, int result) {
    walk_of(s).parallel_ended = true;
    finish(s, result);
}

// True when a local folder is the same as one of the folders above it: a symbolic link made a
// cycle, and walking into it would never end.
bool loops_back(const std::string& folder) {
    uint64_t device = 0, inode = 0;
    if (platform::path_identity(folder, device, inode) != 0) return false;
    for (size_t slash = folder.find_last_of('/'); slash != std::string::npos && slash > 0;
         slash = folder.find_last_of('/', slash - 1)) {
        uint64_t d = 0, i = 0;
        if (platform::path_identity(folder.substr(0, slash), d, i) == 0 && d == device && i == inode)
            return true;
    }
    uint64_t d = 0, i = 0;
    return platform::path_identity("/", d, i) == 0 && d == device && i == inode && folder != "/";
}

void upload_folder(Session& s, FolderWalk& w) {
    const TransferPair& p = w.pair;
    std::string local = p.local.full_path.empty() ? join_local_path(p.local.name, s.local_folder)
                                                  : normalize_local_path(p.local.full_path);
    const std::string& name = p.remote.name.empty() ? p.local.name : p.remote.name;
    w.folder = p.remote.full_path.empty() ? join_remote_path(name, s.remote_folder)
                                          : normalize_remote_path(p.remote.full_path);
    std::vector<RemoteFileEntry> entries;
    std::vector<std::string> special;
    uint64_t total = 0;
    if (list_local_folder(local, entries, total, special) != 0)
        return fail_locally(s, failure("list local folder", local));
    // Reading a FIFO would wait for a writer that may never come.
    for (const std::string& name : special)
        session_log(
            s, kLevelWarning,
            format("Warning: Skipping %s: not a regular file", shown(join_local_path(name, local)).c_str())
                .c_str());
    if (loops_back(local)) {
        session_log(s, kLevelWarning,
                    format("Warning: Skipping %s: a symbolic link leads back to a folder above it",
                           shown(local).c_str())
                        .c_str());
        return next_pair(s);
    }
    s.local_folder = local;
    for (RemoteFileEntry& e : entries) {
        TransferPair q;
        q.direction = 0;
        q.local = e;
        q.local.full_path = join_local_path(e.name, local);
        q.remote.name = e.name;
        q.remote.full_path = join_remote_path(e.name, w.folder);
        q.remote.type = e.type;
        s.work_list.push_back(std::move(q));
    }
    s.path1 = w.folder;
    // Nothing needs entering: the folder is made, and only when that fails is it looked for.
    if (w.steps.make_first) return run_step(s, w.steps.make_folder, WalkState::kMakeToUpload);
    run_step(s, w.steps.change_folder, WalkState::kEnterToUpload);
}

void on_make_to_upload(Session& s, FolderWalk& w, int result) {
    if (result != 0) return run_step(s, w.steps.change_folder, WalkState::kCheckExisting);
    s.remote_folder = w.folder;
    next_pair(s);
}

void on_check_existing(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("create remote folder", w.folder));
    next_pair(s);
}

void on_enter_to_upload(Session& s, FolderWalk& w, int result) {
    if (result == 0) return next_pair(s);
    if (w.steps.full_paths) {
        s.path1 = w.folder;
        return run_step(s, w.steps.make_folder, WalkState::kMakeFolder);
    }
    s.path1 = remote_parent(w.folder);
    run_step(s, w.steps.change_folder, WalkState::kEnterParent);
}

void on_enter_parent(Session& s, FolderWalk& w, int result) {
    s.path1 = result == 0 ? last_component(w.folder) : w.folder;
    run_step(s, w.steps.make_folder, WalkState::kMakeFolder);
}

void on_make_folder(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("create remote folder", w.folder));
    s.path1 = w.folder;
    run_step(s, w.steps.change_folder, WalkState::kEnterMadeFolder);
}

void on_enter_made_folder(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("enter remote folder", w.folder));
    next_pair(s);
}

void next_pair(Session& s) {
    FolderWalk& w = walk_of(s);
    set_state(s, w, WalkState::kIdle);
    // A file that failed elsewhere ends the walk as one failing here does.
    if (w.parallel_failed) return finish(s, 1);
    if (w.head >= s.work_list.size()) {
        if (w.parallel && w.parallel->take_waiting(w.own_file)) {
            w.own_file_active = true;
            w.pair = w.own_file.pair;
            return file_pair(s, w);
        }
        // Files wait while as many as allowed are moving: the next one free wakes the walk.
        if (w.parallel && w.parallel->has_waiting()) return w.parallel->park();
        return finish(s, 0);
    }
    w.pair = std::move(s.work_list[w.head++]);
    // Handled pairs are dropped now and then, so a long walk does not keep them all.
    if (w.head >= 1024 && w.head * 2 >= s.work_list.size()) {
        s.work_list.erase(s.work_list.begin(), s.work_list.begin() + static_cast<std::ptrdiff_t>(w.head));
        w.head = 0;
    }
    bool down = w.pair.direction == 1;
    int type = down ? w.pair.remote.type : w.pair.local.type;
    if (type == kEntryFolder) return down ? download_folder(s, w) : upload_folder(s, w);
    file_pair(s, w);
}

// ---- delete walk ----

void next_entry(Session& s);

void on_enter_to_delete(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("enter remote folder", w.folder));
    run_step(s, w.steps.list, WalkState::kListToDelete);
}

void on_list_to_delete(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("list remote folder", w.folder));
    const std::string remote = listed_folder(s, w);
    // The list's end is its front: pushed in listing order, the children go in reverse order.
    for (const RemoteFileEntry& e : s.listing) {
        if (!usable_listed_name(s, e, remote)) continue;
        RemoteFileEntry child = e;
        child.full_path = join_remote_path(e.name, remote);
        child.walk_flags = 0;
        s.delete_list.push_back(std::move(child));
    }
    s.listing.clear();
    next_entry(s);
}

void on_leave_folder(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("leave remote folder", w.entry.full_path));
    s.argument = command_name(w.entry, s.remote_folder);
    run_step(s, w.steps.remove_folder, WalkState::kRemoveFolder);
}

void on_remove_folder(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("remove remote folder", w.entry.full_path));
    next_entry(s);
}

void on_delete_file(Session& s, FolderWalk& w, int result) {
    if (result != 0) return finish(s, 1, failure("delete remote file", w.entry.full_path));
    next_entry(s);
}

void next_entry(Session& s) {
    FolderWalk& w = walk_of(s);
    set_state(s, w, WalkState::kIdle);
    if (s.delete_list.empty()) return finish(s, 0);
    RemoteFileEntry& e = s.delete_list.back();
    e.full_path =
        e.full_path.empty() ? join_remote_path(e.name, s.remote_folder) : normalize_remote_path(e.full_path);
    if (e.name.empty()) e.name = last_component(e.full_path);
    if (e.type == kEntryFolder && (e.walk_flags & kWalkListed) == 0) {
        e.walk_flags |= kWalkListed;  // stays in the list until its contents are gone
        w.folder = e.full_path;
        s.path1 = e.full_path;
        return run_step(s, w.steps.change_folder, WalkState::kEnterToDelete);
    }
    w.entry = std::move(e);
    s.delete_list.pop_back();
    if (w.entry.type == kEntryFolder) {
        if (w.steps.full_paths) {
            s.argument = w.entry.full_path;
            return run_step(s, w.steps.remove_folder, WalkState::kRemoveFolder);
        }
        return run_step(s, w.steps.folder_up, WalkState::kLeaveFolder);
    }
    s.argument = w.steps.full_paths ? w.entry.full_path : command_name(w.entry, s.remote_folder);
    run_step(s, w.steps.delete_file, WalkState::kDeleteFile);
}

// ---- the relay ----

using Continuation = void (*)(Session& s, FolderWalk& w, int result);
constexpr Continuation kContinuations[] = {
    nullptr,
    on_enter_to_list,
    on_list_for_download,
    on_enter_file_folder,
    on_transfer_file,
    on_enter_to_upload,
    on_enter_parent,
    on_make_folder,
    on_enter_made_folder,
    on_make_to_upload,
    on_check_existing,
    on_enter_to_delete,
    on_list_to_delete,
    on_leave_folder,
    on_remove_folder,
    on_delete_file,
};
static_assert(sizeof kContinuations / sizeof kContinuations[0] == static_cast<size_t>(WalkState::kCount),
              "one continuation per walk state");

void relay(int, void* object, int result) {
    Session& s = *static_cast<Session*>(object);
    FolderWalk& w = walk_of(s);
    s.done = w.saved_done;
    s.caller_code = w.saved_code;
    s.caller_object = w.saved_object;
    s.request = w.saved_request;
    // A stop ends the whole walk, not just the file it landed on.
    if (s.cancel.load() != 0) {
        s.failure.set(FailureKind::kUser, "Interrupted");
        return finish(s, 1);
    }
    Continuation next = kContinuations[static_cast<int>(w.state)];
    if (!next) return finish(s, 1);
    next(s, w, result);
}

FolderWalk& begin_walk(Session& s, const WalkSteps& steps) {
    s.walk_state.reset(new FolderWalk);
    s.walk_state->steps = steps;
    return *s.walk_state;
}

}  // namespace

const char* walk_state_name(int state) {
    return state >= 0 && state < static_cast<int>(WalkState::kCount) ? kWalkStateNames[state] : "unknown";
}

const RemoteFileEntry* walk_next_download(const Session& s) {
    const FolderWalk* w = s.walk_state.get();
    if (!w || w->parallel || w->state != WalkState::kTransferFile || w->head >= s.work_list.size())
        return nullptr;
    const TransferPair& p = s.work_list[w->head];
    if (p.direction != 1 || p.remote.type == kEntryFolder || !w->steps.full_paths) return nullptr;
    if (p.remote.full_path.empty() && p.remote.name.empty()) return nullptr;
    return &p.remote;
}

void start_transfer_walk(Session& s, const WalkSteps& steps) {
    FolderWalk& w = begin_walk(s, steps);
    if (s.parallel > 1)
        w.parallel = std::make_unique<ParallelTransfers>(
            s, std::min(s.parallel, kMaxParallelSessions), steps.full_paths,
            ParallelCallbacks{on_parallel_file, on_parallel_end, on_parallel_wake});
    s.work_list = std::move(s.transfer_list);
    s.transfer_list.clear();
    next_pair(s);
}

void start_delete_walk(Session& s, const WalkSteps& steps) {
    begin_walk(s, steps);
    for (RemoteFileEntry& e : s.delete_list) e.walk_flags = 0;
    // Worked from the back: the first entry given goes last in.
    std::reverse(s.delete_list.begin(), s.delete_list.end());
    next_entry(s);
}

}  // namespace orvane
