// The upload procedure: TYPE, SIZE or MDTM of the remote file, the duplicate rules (with a remote
// rename), the data path, REST when resuming, STOR with the data connection, and the remote time.
#include <cerrno>
#include <string>

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/session/duplicate_rules.h"
#include "client/transfer/text/ftp_text.h"
#include "common/log.h"
#include "platform/file.h"

namespace orvane {

namespace {

enum class UploadCode : int {
    kType = 0,
    kQuery,
    kRename,
    kPasv,
    kListen,
    kPort,
    kRest,
    kTransfer,
    kTime,
    kQueued,
    kCount
};
constexpr DataPathCodes kUploadPath{static_cast<int>(UploadCode::kPasv),
                                    static_cast<int>(UploadCode::kListen),
                                    static_cast<int>(UploadCode::kPort)};

void upload_next(int code, void* owner, int result);

void post(Session& s, FtpCommand command, UploadCode next) {
    if (post_ftp_command(s, command, upload_next, static_cast<int>(next)) != 0) end_transfer(s, 1);
}

// Opens the local file (seeked when resuming); false, with the error, when it cannot be.
bool open_source(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    LocalFile& file = s.data->step_state.file;
    file.set_path(t.local_path);
    if (file.open(platform::kOpenRead | platform::kOpenRegularOnly) == 0 &&
        (!t.resume || file.seek(static_cast<int64_t>(t.resume_offset)) == 0))
        return true;
    int error = errno;
    file.close();
    s.failure.set(FailureKind::kLocal, local_file_error(t.local_path, error));
    session_log(s, kLevelError, local_file_error(t.local_path, error).c_str());
    end_transfer(s, 1);
    return false;
}

// The open file to the data connection, and the transfer's two channels.
void post_store(Session& s, FtpCommand command) {
    FtpState& st = ftp_state(s);
    FtpTransfer& t = st.transfer;
    LocalFile& file = s.data->step_state.file;
    st.data.sink_mode = 0;
    st.data.listing.reset();
    st.data.ascii = t.ascii != 0;
    st.data.command_ahead = command == FtpCommand::kStorQueued;
    s.data->step_state.send_queue.clear();
    s.data->step_state.upload_source = &file;
    s.argument = t.remote_name;
    prepare_ftp_command(s, command);
    t.listening = false;
    StepFunction data_step = s.passive == 1 ? passive_send_step : active_send_step;
    if (start_two_channel(s, data_step, ftp_command_step, upload_next,
                          static_cast<int>(UploadCode::kTransfer)) != 0) {
        file.close();
        s.data->step_state.upload_source = nullptr;
        end_transfer(s, 1);
    }
}

void start_store(Session& s) {
    if (open_source(s)) post_store(s, FtpCommand::kStor);
}

// A walk's files go with STOR right behind PASV (passive, no REST to put between them); the local
// file is opened first, so that a STOR already sent is never left without its data connection.
void go_to_data_path(Session& s) {
    const FtpTransfer& t = ftp_state(s).transfer;
    if (s.passive != 1 || !t.in_walk || t.resume) return open_data_path(s, upload_next, kUploadPath);
    if (!open_source(s)) return;
    s.argument = t.remote_name;
    if (post_ftp_command(s, FtpCommand::kPasvStor, upload_next, static_cast<int>(UploadCode::kQueued)) != 0) {
        s.data->step_state.file.close();
        end_transfer(s, 1);
    }
}

// Applies the upload rules; false when the procedure has ended. A rename posts RNFR and goes on
// from its continuation.
bool decide(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    if (!platform::path_exists(t.local_path)) {
        s.failure.set(FailureKind::kLocal, local_file_error(t.local_path, ENOENT));
        session_log(s, kLevelError, local_file_error(t.local_path, ENOENT).c_str());
        end_transfer(s, 1);
        return false;
    }
    DuplicateFacts facts;
    facts.target_exists = s.target_entry.size != 0 || s.target_entry.file_time != 0;
    facts.target_size = s.target_entry.size;
    facts.target_time = s.target_entry.file_time;
    facts.source_size = static_cast<uint64_t>(platform::path_size(t.local_path));
    facts.source_time = platform::path_last_write_time(t.local_path);
    t.duplicate_decision = duplicate_action(s.upload_rules, facts);
    switch (t.duplicate_decision) {
        case kDuplicateSkip:
            session_log(s, kLevelInfo, kMsgSkipping);
            end_transfer(s, 0);
            return false;
        case kDuplicateResume:
            if (resume_allowed(s)) {
                t.resume = true;
                t.resume_offset = facts.target_size;
            }
            return true;
        case kDuplicateRename:
            s.path1 = t.remote_name;
            s.path2 = t.remote_name + s.rename_suffix;
            post(s, FtpCommand::kRnfr, UploadCode::kRename);
            return false;
        default:
            return true;
    }
}

// ---- continuations ----

void on_type(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    s.target_entry = RemoteFileEntry();
    s.target_entry.size = s.remote_entry.size;
    s.target_entry.file_time = s.remote_entry.file_time;
    // Rules that overwrite whatever is there need nothing measured.
    if (every_outcome_overwrites(s.upload_rules)) {
        if (decide(s)) go_to_data_path(s);
        return;
    }
    s.argument = ftp_state(s).transfer.remote_name;
    post(s, s.upload_rules.compare == 1 ? FtpCommand::kSize : FtpCommand::kMdtm, UploadCode::kQuery);
}

void on_query(Session& s, int result) {
    absorb_refusal(s);
    bool by_size = s.upload_rules.compare == 1;
    bool ok = result == 0 && !s.argument.empty();
    if (ok && by_size) {
        ok = parse_decimal_size(s.argument, s.target_entry.size);
    } else if (ok) {
        uint64_t time = 0;
        ok = parse_mdtm_time(s.argument, time) == 0;
        if (ok) s.target_entry.file_time = time;
    }
    // Before a first upload there is nothing to measure: a note, not a warning.
    if (!ok) session_log(s, kLevelInfo, by_size ? kMsgNoRemoteSize : kMsgNoRemoteTime);
    if (decide(s)) go_to_data_path(s);
}

void on_rename(Session& s, int result) {
    absorb_refusal(s);
    session_log(s, result == 0 ? kLevelInfo : kLevelWarning, result == 0 ? kMsgRenaming : kMsgNoRemoteRename);
    go_to_data_path(s);
}

void on_data_path(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    const FtpTransfer& t = ftp_state(s).transfer;
    if (t.resume) {
        s.argument = std::to_string(t.resume_offset);
        post(s, FtpCommand::kRest, UploadCode::kRest);
        return;
    }
    start_store(s);
}

void on_listen(Session& s, int result) {
    after_listen(s, result, upload_next, kUploadPath);
}

void on_rest(Session& s, int result) {
    absorb_refusal(s);
    if (result != 0) resume_refused(s);
    start_store(s);
}

void on_transfer(Session& s, int result) {
    s.data->step_state.file.close();
    s.data->step_state.upload_source = nullptr;
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    // The server's copy gets the local file's time (UTC).
    const FtpState& st = ftp_state(s);
    s.argument = mdtm_time_text(platform::path_last_write_time(st.transfer.local_path));
    // A server known to set times with MFMT is not first asked with a "MDTM time file" it refuses.
    post(s, st.session.mfmt ? FtpCommand::kMfmt : FtpCommand::kSetMdtm, UploadCode::kTime);
}

void on_time(Session& s, int result) {
    absorb_refusal(s);
    if (result != 0) session_log(s, kLevelWarning, kMsgNoTimeUpdate);
    end_transfer(s, 0);
}

// PASV answered, STOR already on its way: the data connection starts with the open file.
void on_queued(Session& s, int result) {
    if (result != 0) {
        s.data->step_state.file.close();
        end_transfer(s, 1);
        return;
    }
    post_store(s, FtpCommand::kStorQueued);
}

constexpr ProcedureStep kUploadSteps[] = {on_type,      on_query, on_rename,   on_data_path, on_listen,
                                          on_data_path, on_rest,  on_transfer, on_time,      on_queued};
static_assert(sizeof kUploadSteps / sizeof kUploadSteps[0] == static_cast<size_t>(UploadCode::kCount),
              "one continuation per upload code");

void upload_next(int code, void* owner, int result) {
    run_procedure_step(kUploadSteps, code, owner, result, end_transfer);
}

}  // namespace

namespace {

void start_upload(Session& s, bool by_path, bool in_walk) {
    take_transfer_names(s, by_path, in_walk);
    if (post_transfer_type(s, transfer_type_command(s), upload_next, static_cast<int>(UploadCode::kType)) !=
        0)
        complete_request_soon(s, 1);
}

}  // namespace

void ftp_upload(Session& s) {
    start_upload(s, false, s.walk_helper);
}

void ftp_upload_in_walk(Session& s) {
    start_upload(s, false, true);
}

void ftp_upload_by_path(Session& s) {
    start_upload(s, true, true);
}

}  // namespace orvane
