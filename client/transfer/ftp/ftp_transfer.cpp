// What the transfer procedures share (data path, resume checks, ending), and the listing procedure.
#include <string>
#include <utility>
#include <vector>

#include "client/transfer/ftp/ftp_procedures.h"
#include "client/transfer/session/duplicate_rules.h"
#include "client/transfer/session/remote_path.h"
#include "client/transfer/text/listing_parser.h"
#include "client/transfer/text/machine_listing.h"
#include "common/limits.h"
#include "common/log.h"
#include "common/safe_name.h"
#include "common/text.h"
#include "platform/system.h"

namespace orvane {

namespace {

// Completes a procedure once its data connection's listening socket is closed.
void closed_then_complete(int, void* owner, int) {
    Session& s = *static_cast<Session*>(owner);
    complete_request(s, s.immediate_result);
}

}  // namespace

void open_data_path(Session& s, CompletionCallback next, const DataPathCodes& codes) {
    if (s.passive == 1) {
        if (post_ftp_command(s, FtpCommand::kPasv, next, codes.pasv) != 0) end_transfer(s, 1);
        return;
    }
    if (!s.data || post_session_step(s, *s.data, active_listen_step, next, codes.listen) != 0)
        end_transfer(s, 1);
}

bool after_listen(Session& s, int result, CompletionCallback next, const DataPathCodes& codes) {
    if (result != 0) {
        end_transfer(s, 1);
        return false;
    }
    ftp_state(s).transfer.listening = true;
    if (post_ftp_command(s, FtpCommand::kPort, next, codes.port) != 0) {
        end_transfer(s, 1);
        return false;
    }
    return true;
}

void end_transfer(Session& s, int result) {
    FtpState& st = ftp_state(s);
    FtpTransfer& t = st.transfer;
    // A data step that failed on its own holds the cause: what the control connection heard after
    // it (a 426 for the data it dropped, say) is a consequence.
    Failure data_failure = std::exchange(st.data.failure, Failure{});
    if (result != 0 && data_failure) {
        s.failure.clear();
        s.failure.set(data_failure.kind, std::move(data_failure.cause));
    }
    std::vector<uint8_t>().swap(s.scratch);
    if (t.listening && s.data) {
        t.listening = false;
        s.immediate_result = result;
        if (post_session_step(s, *s.data, data_close_step, closed_then_complete, 0) == 0) return;
    }
    complete_request(s, result);
}

FtpCommand transfer_type_command(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    t.ascii = s.transfer_type == kTransferAscii ? 1 : 0;
    return t.ascii ? FtpCommand::kTypeA : FtpCommand::kTypeI;
}

int post_transfer_type(Session& s, FtpCommand type, CompletionCallback next, int code) {
    if (!s.control) return 1;
    if (ftp_state(s).control.type == type) return post_finished(*s.control, next, code, s.notify, &s, 0);
    return post_ftp_command(s, type, next, code);
}

bool resume_allowed(Session& s) {
    const FtpState& st = ftp_state(s);
    if (st.transfer.ascii) {
        session_log(s, kLevelWarning, kMsgNoAsciiResume);
        return false;
    }
    if (st.session.host_supports_resume == 0) {
        session_log(s, kLevelWarning, kMsgNoResume);
        return false;
    }
    return true;
}

bool every_outcome_overwrites(const DuplicateRules& rules) {
    return rules.smaller == kDuplicateOverwrite && rules.equal == kDuplicateOverwrite &&
           rules.larger == kDuplicateOverwrite;
}

void absorb_refusal(Session& s) {
    s.failure.clear();
}

void resume_refused(Session& s) {
    // Once refused, never asked again in this session.
    FtpState& st = ftp_state(s);
    st.session.host_supports_resume = 0;
    session_log(s, kLevelWarning, kMsgNoResume);
    st.transfer.resume = false;
    st.transfer.resume_offset = 0;
}

void take_transfer_names(Session& s, bool by_path, bool in_walk) {
    FtpTransfer& t = ftp_state(s).transfer;
    t.in_walk = in_walk;
    t.by_path = by_path && !s.remote_entry.full_path.empty();
    t.remote_name = t.by_path ? s.remote_entry.full_path : command_name(s.remote_entry, s.remote_folder);
    const std::string& local = s.local_entry.full_path.empty() ? s.local_entry.name : s.local_entry.full_path;
    t.local_path = platform::normalize_local_path(local);
    t.resume = false;
    t.listening = false;
    t.resume_offset = 0;
}

// ---- listing ----

namespace {

enum class ListingCode : int {
    kType = 0,
    kPasv,
    kListen,
    kPort,
    kTransfer,
    kEntered,
    kFolderFacts,
    kQueued,
    kCount
};
constexpr DataPathCodes kListingPath{static_cast<int>(ListingCode::kPasv),
                                     static_cast<int>(ListingCode::kListen),
                                     static_cast<int>(ListingCode::kPort)};

void listing_next(int code, void* owner, int result);

ListingStream::Kind stream_kind(const Session& s, bool machine) {
    if (machine) return ListingStream::Kind::kMachine;
    return s.listing_kind == 1 ? ListingStream::Kind::kNames : ListingStream::Kind::kList;
}

void start_listing_transfer(Session& s, FtpCommand queued = FtpCommand::kNone) {
    FtpState& st = ftp_state(s);
    FtpDataChannel& fd = st.data;
    bool machine = st.transfer.machine_listing;
    s.data->step_state.receive_queue.clear();
    s.data->step_state.download_sink = nullptr;
    // Lines are parsed as they arrive: the listing is never held whole.
    s.listing.clear();
    fd.sink_mode = 0;
    fd.ascii = false;
    fd.listing = std::make_unique<ListingStream>(stream_kind(s, machine), listing_clock_now(), s.listing);
    if (machine) s.argument = st.transfer.list_path;
    prepare_ftp_command(s, queued != FtpCommand::kNone ? queued
                           : machine                   ? FtpCommand::kMlsd
                           : s.listing_kind == 1       ? FtpCommand::kNlst
                                                       : FtpCommand::kList);
    st.transfer.listening = false;
    StepFunction data_step = s.passive == 1 ? passive_receive_step : active_receive_step;
    if (start_two_channel(s, data_step, ftp_command_step, listing_next,
                          static_cast<int>(ListingCode::kTransfer)) != 0)
        end_transfer(s, 1);
}

// The listing the way every server knows: enter the folder, then TYPE A and LIST.
void list_after_entering(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    t.machine_listing = false;
    s.path1 = t.list_path;
    if (post_ftp_command(s, FtpCommand::kCwd, listing_next, static_cast<int>(ListingCode::kEntered)) != 0)
        end_transfer(s, 1);
}

// MLSD refused: a server that does not know the command (500, 502, 504) is never asked again in
// this session; any other refusal (a folder it will not list that way) falls back for this folder.
bool machine_listing_refused(Session& s, int result) {
    FtpState& st = ftp_state(s);
    if (result == 0 || !st.transfer.machine_listing || st.data.failure) return false;
    int code = st.control.reply.code;
    if (code < 500 || code > 599) return false;
    if (code == 500 || code == 502 || code == 504) st.session.machine_listing = false;
    absorb_refusal(s);
    return true;
}

void on_type(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    open_data_path(s, listing_next, kListingPath);
}

void on_data_path(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    start_listing_transfer(s);
}

void on_listen(Session& s, int result) {
    after_listen(s, result, listing_next, kListingPath);
}

// Drops the folders of a machine listing that are the listed folder itself or one above it (by
// their unique fact), with a warning; remembers the others for the folders below them.
void drop_loops(Session& s) {
    FtpTransfer& t = ftp_state(s).transfer;
    std::vector<size_t> loops;
    size_t index = 0;
    for (const RemoteFileEntry& e : s.listing) {
        size_t at = index++;
        std::string_view id = e.type == kEntryFolder ? mlsd_fact(e.long_name, "unique") : std::string_view();
        if (id.empty()) continue;
        std::string path = t.list_path == "/" ? "/" + e.name : t.list_path + "/" + e.name;
        bool loop = false;
        for (std::string above = t.list_path; !loop;) {
            auto known = t.folder_ids.find(above);
            loop = known != t.folder_ids.end() && known->second == id;
            size_t slash = above.find_last_of('/');
            if (above == "/" || slash == std::string::npos) break;
            above = slash == 0 ? "/" : above.substr(0, slash);
        }
        if (!loop) {
            t.folder_ids.emplace(path, std::string(id));
            continue;
        }
        loops.push_back(at);
        session_log(s, kLevelWarning,
                    format("Warning: Skipping %s: a symbolic link leads back to a folder above it",
                           escape_controls(path).c_str())
                        .c_str());
    }
    // Rare: only then is the listing copied.
    if (loops.empty()) return;
    RemoteListing kept;
    for (size_t i = 0, next = 0; i < s.listing.size(); ++i) {
        if (next < loops.size() && loops[next] == i) {
            ++next;
            continue;
        }
        kept.push_back(s.listing[i]);
    }
    s.listing = std::move(kept);
}

void on_listed(Session& s, int result) {
    FtpDataChannel& fd = ftp_state(s).data;
    s.data->step_state.receive_queue.clear();
    size_t long_lines = fd.listing ? fd.listing->long_lines() : 0;
    std::string folder_id = fd.listing ? fd.listing->folder_id() : std::string();
    fd.listing.reset();
    if (machine_listing_refused(s, result)) {
        s.listing.clear();
        list_after_entering(s);
        return;
    }
    if (result == 0 && ftp_state(s).transfer.machine_listing) {
        if (!folder_id.empty())
            ftp_state(s).transfer.folder_ids.emplace(ftp_state(s).transfer.list_path, folder_id);
        drop_loops(s);
    }
    if (result != 0) {
        s.listing.clear();
        end_transfer(s, 1);
        return;
    }
    // Such a line cannot be read whole; the rest of the listing stands.
    if (long_lines > 0) {
        session_log(
            s, kLevelWarning,
            format("Skipped %zu listing line(s) longer than %zu characters", long_lines, kLineCapacity)
                .c_str());
    }
    end_transfer(s, 0);
}

void on_entered(Session& s, int result) {
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    if (post_transfer_type(s, FtpCommand::kTypeA, listing_next, static_cast<int>(ListingCode::kType)) != 0)
        end_transfer(s, 1);
}

// A machine listing in passive mode goes right behind PASV, as a walk's files do; the walk's first
// folder's MLST goes ahead of both.
void open_machine_listing(Session& s, FtpCommand command = FtpCommand::kPasvMlsd) {
    if (s.passive != 1) return open_data_path(s, listing_next, kListingPath);
    s.argument = ftp_state(s).transfer.list_path;
    if (post_ftp_command(s, command, listing_next, static_cast<int>(ListingCode::kQueued)) != 0)
        end_transfer(s, 1);
}

// The first folder of a walk: its own unique fact, so that a link back to it is known as one.
void keep_folder_id(Session& s, std::string_view id) {
    FtpTransfer& t = ftp_state(s).transfer;
    if (!id.empty()) t.folder_ids.emplace(t.list_path, std::string(id));
}

// PASV answered, MLSD already on its way: the data connection starts, the reply is waited for. A
// refused MLSD reaches on_listed as it would alone, so that the fallback to LIST still follows.
void on_queued(Session& s, int result) {
    const FtpControl& fc = ftp_state(s).control;
    if (fc.command == FtpCommand::kMlstPasvMlsd && fc.lead_answered) keep_folder_id(s, fc.lead_answer);
    if (result != 0) {
        end_transfer(s, 1);
        return;
    }
    start_listing_transfer(s, FtpCommand::kMlsdQueued);
}

// The first folder's MLST, asked alone (active mode).
void on_folder_facts(Session& s, int result) {
    absorb_refusal(s);
    if (result == 0) keep_folder_id(s, mlst_fact(ftp_state(s).control.reply.lines, "unique"));
    open_machine_listing(s);
}

constexpr ProcedureStep kListingSteps[] = {on_type,   on_data_path, on_listen,       on_data_path,
                                           on_listed, on_entered,   on_folder_facts, on_queued};
static_assert(sizeof kListingSteps / sizeof kListingSteps[0] == static_cast<size_t>(ListingCode::kCount),
              "one continuation per listing code");

void listing_next(int code, void* owner, int result) {
    run_procedure_step(kListingSteps, code, owner, result, end_transfer);
}

}  // namespace

void ftp_listing(Session& s) {
    s.listing.clear();
    ftp_state(s).data.listing.reset();
    ftp_state(s).transfer.listening = false;
    ftp_state(s).transfer.machine_listing = false;
    if (post_transfer_type(s, FtpCommand::kTypeA, listing_next, static_cast<int>(ListingCode::kType)) != 0)
        complete_request_soon(s, 1);
}

void ftp_list_by_path(Session& s) {
    FtpState& st = ftp_state(s);
    s.listing.clear();
    st.data.listing.reset();
    st.transfer.listening = false;
    st.transfer.list_path = s.path1;
    if (!st.session.machine_listing) {
        list_after_entering(s);
        return;
    }
    // A machine listing is the same bytes whatever the type: the file's TYPE I stays in place.
    st.transfer.machine_listing = true;
    if (!st.transfer.top_folder_asked) {
        st.transfer.top_folder_asked = true;
        if (s.passive == 1) return open_machine_listing(s, FtpCommand::kMlstPasvMlsd);
        s.argument = s.path1;
        if (post_ftp_command(s, FtpCommand::kMlst, listing_next,
                             static_cast<int>(ListingCode::kFolderFacts)) != 0)
            end_transfer(s, 1);
        return;
    }
    open_machine_listing(s);
}

}  // namespace orvane
