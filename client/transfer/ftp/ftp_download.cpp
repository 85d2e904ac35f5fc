// The download procedure: TYPE, MDTM and SIZE (or MLST) of the remote file where the listing did
// not give them exactly, the duplicate rules, the data path,
// REST when resuming, RETR with the data connection, and the local file's time.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/session/duplicate_rules.h"
#include "client/transfer/text/ftp_text.h"
#include "client/transfer/text/machine_listing.h"
#include "common/log.h"
#include "platform/file.h"

namespace orvane {

namespace {

enum class DownloadCode : int {
    kType = 0,
    kTime,
    kSize,
    kPasv,
    kListen,
    kPort,
    kRest,
    kTransfer,
    kFacts,
    kQueued,
    kQueuedTimed,
    kCount
};
constexpr DataPathCodes kDownloadPath{static_cast<int>(DownloadCode::kPasv),
                                      static_cast<int>(DownloadCode::kListen),
                                      static_cast<int>(DownloadCode::kPort)};

void download_next(int code, void* owner, int result);

void post(Session& s, FtpCommand command, DownloadCode next) {
    if (post_ftp_command(s, command, download_next, static_cast<int>(next)) != 0) end_transfer(s, 1);
}

// The local file less a trailing separator, followed by the rename suffix.
std::string renamed_path(const Session& s, std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path + s.rename_suffix;
}

void start_retrieve(Session& s, FtpCommand command = FtpCommand::kRetr) {
    FtpState& st = ftp_state(s);
    FtpTransfer& t = st.transfer;
    LocalFile& file = s.data->step_state.file;
    file.set_path(t.local_path);
    // The data step opens the file once the server has taken RETR (see open_sink).
    st.data.sink_mode =
        (t.resume ? platform::kOpenAppend : platform::kOpenWrite) | platform::kOpenRegularOnly;
    st.data.listing.reset();
    st.data.ascii = t.ascii != 0;
    s.data->step_state.download_sink = &file;
    s.data->step_state.receive_queue.clear();
    s.argument = t.remote_name;
    // The progress line counts this transfer's bytes: what is left of a size known by now.
    uint64_t offset = t.resume ? t.resume_offset : 0;
    if (s.target_entry.size > offset) s.progress_total.store(s.target_entry.size - offset);
    prepare_ftp_command(s, command);
    t.listening = false;
    StepFunction data_step = s.passive == 1 ? passive_receive_step : active_receive_step;
    if (start_two_channel(s, data_step, ftp_command_step, download_next,
                          static_cast<int>(DownloadCode::kTransfer)) != 0) {
        file.close();
        s.data->step_state.download_sink = nullptr;
        end_transfer(s, 1);
    }
}

// The data path is ready: REST when resuming, then the transfer.
void after_data_path(Session& s) {
    const FtpTransfer& t = ftp_state(s).transfer;
    if (t.resume) {
        s.argument = std::to_string(t.resume_offset);
        post(s, FtpCommand::kRest, DownloadCode::kRest);
        return;
    }
    start_retrieve(s);
}

// Applies the download rules; false when the procedure has ended (skip, or a failed rename).
bool decide(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    DuplicateFacts facts;
    facts.target_exists = t.local_exists;
    facts.target_size = static_cast<uint64_t>(t.local_exists ? platform::path_size(t.local_path) : 0);
    facts.target_time = t.local_exists ? platform::path_last_write_time(t.local_path) : 0;
    facts.source_size = s.target_entry.size;
    facts.source_time = s.target_entry.file_time;
    t.duplicate_decision = duplicate_action(s.download_rules, facts);
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
            // Keeping the old file is the point of the rule: never overwrite it when it cannot move.
            if (platform::path_rename(t.local_path, renamed_path(s, t.local_path)) != 0) {
                s.failure.set(FailureKind::kLocal, "Could not rename local file");
                session_log(s, kLevelError, "ERROR: Could not rename local file");
                end_transfer(s, 1);
                return false;
            }
            session_log(s, kLevelInfo, kMsgRenaming);
            return true;
        default:
            return true;
    }
}

// A walk's files go with RETR right behind PASV (passive, no REST to put between them).
bool pipelined(Session& s) {
    const FtpTransfer& t = ftp_state(s).transfer;
    return s.passive == 1 && t.in_walk && !t.resume;
}

// After the decision: the data path, or PASV and RETR together.
void go(Session& s) {
    if (!pipelined(s)) return open_data_path(s, download_next, kDownloadPath);
    s.argument = ftp_state(s).transfer.remote_name;
    post(s, FtpCommand::kPasvRetr, DownloadCode::kQueued);
}

void decide_and_go(Session& s) {
    if (decide(s)) go(s);
}

// ---- continuations ----

// What is still to be asked about the remote file: a machine listing's facts are exact, and rules
// that overwrite whatever the local file is need no size to compare.
bool needs_time(Session& s) {
    return !ftp_state(s).transfer.time_known;
}
// Only an existing local file compared by date waits for the remote time before the decision.
bool time_decides(Session& s) {
    return ftp_state(s).transfer.local_exists && s.download_rules.compare != 1 &&
           !every_outcome_overwrites(s.download_rules);
}
bool needs_size(Session& s) {
    const FtpTransfer& t = ftp_state(s).transfer;
    return s.download_rules.compare == 1 && t.local_exists && !t.size_known &&
           !every_outcome_overwrites(s.download_rules);
}

void ask_size_or_decide(Session& s) {
    if (needs_size(s)) {
        s.argument = ftp_state(s).transfer.remote_name;
        post(s, FtpCommand::kSize, DownloadCode::kSize);
        return;
    }
    decide_and_go(s);
}

void ask_time(Session& s) {
    s.argument = ftp_state(s).transfer.remote_name;
    post(s, FtpCommand::kMdtm, DownloadCode::kTime);
}

// The rules decide without the time, which only dates the local file once it is complete: a walk's
// file asks for it in the same write as PASV and RETR, a round trip less per file.
void decide_then_date(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    if (!decide(s)) return;
    t.decided = true;
    if (!pipelined(s)) return ask_time(s);
    s.argument = t.remote_name;
    post(s, FtpCommand::kMdtmPasvRetr, DownloadCode::kQueuedTimed);
}

void on_type(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    FtpState& st = ftp_state(s);
    FtpTransfer& t = st.transfer;
    s.target_entry = RemoteFileEntry();
    s.target_entry.size = s.remote_entry.size;
    s.target_entry.file_time = s.remote_entry.file_time;
    t.time_known = (s.remote_entry.exact & kExactTime) != 0;
    t.size_known = (s.remote_entry.exact & kExactSize) != 0;
    t.local_exists = platform::path_exists(t.local_path);
    t.decided = false;
    if (!needs_time(s)) return ask_size_or_decide(s);
    if (s.passive == 1 && t.in_walk && !time_decides(s) && !needs_size(s)) return decide_then_date(s);
    // Both facts in one round trip where the server lists single files.
    if (needs_size(s) && st.session.machine_listing) {
        s.argument = t.remote_name;
        post(s, FtpCommand::kMlst, DownloadCode::kFacts);
        return;
    }
    ask_time(s);
}

void on_facts(Session& s, int result) {
    absorb_refusal(s);
    RemoteFileEntry facts;
    const int wanted = kExactSize | kExactTime;
    if (result != 0 || parse_mlst_reply(ftp_state(s).control.reply.lines, facts) != 0 ||
        (facts.exact & wanted) != wanted) {
        ask_time(s);  // the way every server answers
        return;
    }
    FtpTransfer& t = ftp_state(s).transfer;
    s.target_entry.file_time = facts.file_time;
    s.target_entry.size = facts.size;
    t.time_known = t.size_known = true;
    decide_and_go(s);
}

// MDTM's answer dates the file; without a usable one the file is left undated, with a warning.
void take_remote_time(Session& s, bool answered, const std::string& text) {
    uint64_t time = 0;
    if (answered && parse_mdtm_time(text, time) == 0)
        s.target_entry.file_time = time;
    else
        session_log(s, kLevelWarning, kMsgNoRemoteTime);
}

void on_time(Session& s, int result) {
    absorb_refusal(s);
    take_remote_time(s, result == 0, s.argument);
    if (ftp_state(s).transfer.decided) return go(s);
    ask_size_or_decide(s);
}

void on_size(Session& s, int result) {
    absorb_refusal(s);
    uint64_t size = 0;
    if (result == 0 && parse_decimal_size(s.argument, size)) {
        s.target_entry.size = size;
    } else {
        session_log(s, kLevelWarning, kMsgNoRemoteSize);
    }
    decide_and_go(s);
}

void on_data_path(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    after_data_path(s);
}

void on_listen(Session& s, int result) {
    after_listen(s, result, download_next, kDownloadPath);
}

void on_rest(Session& s, int result) {
    absorb_refusal(s);
    if (result != 0) resume_refused(s);
    start_retrieve(s);
}

// A binary download must bring what the server announced: a connection that closed early is a
// failure, whatever the server's reply said. Without an announced size, the size the listing gave
// for the entry (the file may have grown since, but never shrinks to a prefix unnoticed) is the floor.
int check_complete(Session& s, int result) {
    FtpState& st = ftp_state(s);
    if (result != 0 || st.transfer.ascii) return result;
    bool listed = !s.remote_entry.size_text.empty();
    if (!st.control.announced && !listed) return result;
    uint64_t got = st.data.bytes;
    uint64_t want = st.control.announced ? st.control.announced_size : s.remote_entry.size;
    uint64_t whole = got + st.transfer.resume_offset;
    if (st.control.announced ? (got == want || whole == want) : whole >= want) return 0;
    char cause[120];
    std::snprintf(cause, sizeof cause, "The download ended early: %" PRIu64 " of %" PRIu64 " bytes",
                  st.control.announced ? got : whole, want);
    // The data connection closed before the announced end: the server's side ended it.
    s.failure.set(FailureKind::kRemote, cause);
    session_log(s, kLevelError, (std::string("ERROR: ") + cause).c_str());
    return 1;
}

void on_transfer(Session& s, int result) {
    LocalFile& file = s.data->step_state.file;
    result = check_complete(s, result);
    // Only a complete download takes the server's time: a failed one must not look current.
    if (result == 0 && file.is_open() && s.target_entry.file_time != 0)
        file.set_last_write_time(s.target_entry.file_time);
    file.close();
    s.data->step_state.download_sink = nullptr;
    ftp_state(s).data.sink_mode = 0;
    end_transfer(s, result);
}

// PASV answered, RETR already on its way: the data connection starts, the reply is waited for.
void on_queued(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    start_retrieve(s, FtpCommand::kRetrQueued);
}

// The same, with MDTM's reply read first: a refused MDTM leaves the time unknown, as alone.
void on_queued_timed(Session& s, int result) {
    const FtpControl& fc = ftp_state(s).control;
    if (fc.lead_answered) take_remote_time(s, !fc.lead_answer.empty(), fc.lead_answer);
    on_queued(s, result);
}

constexpr ProcedureStep kDownloadSteps[] = {on_type,   on_time,      on_size,        on_data_path,
                                            on_listen, on_data_path, on_rest,        on_transfer,
                                            on_facts,  on_queued,    on_queued_timed};
static_assert(sizeof kDownloadSteps / sizeof kDownloadSteps[0] == static_cast<size_t>(DownloadCode::kCount),
              "one continuation per download code");

void download_next(int code, void* owner, int result) {
    run_procedure_step(kDownloadSteps, code, owner, result, end_transfer);
}

}  // namespace

namespace {

void start_download(Session& s, bool by_path, bool in_walk) {
    take_transfer_names(s, by_path, in_walk);
    if (post_transfer_type(s, transfer_type_command(s), download_next,
                           static_cast<int>(DownloadCode::kType)) != 0)
        complete_request_soon(s, 1);
}

}  // namespace

void ftp_download(Session& s) {
    start_download(s, false, s.walk_helper);
}

void ftp_download_in_walk(Session& s) {
    start_download(s, false, true);
}

void ftp_download_by_path(Session& s) {
    start_download(s, true, true);
}

}  // namespace orvane
