// The FTP procedures behind the requests, and the pieces they share (private to the FTP layer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/transfer/ftp/ftp_join.h"
#include "client/transfer/ftp/ftp_steps.h"
#include "client/transfer/session/request_dispatch.h"

namespace orvane {

// One link of a procedure's chain: what to do once the step named by its code has finished.
using ProcedureStep = void (*)(Session& s, int result);

// Runs the link that a procedure's table holds for `code`; a code outside the table ends the
// request through `end` with 1.
template <size_t N>
void run_procedure_step(const ProcedureStep (&steps)[N], int code, void* owner, int result,
                        void (*end)(Session& s, int result)) {
    Session& s = *static_cast<Session*>(owner);
    if (code < 0 || static_cast<size_t>(code) >= N) {
        end(s, 1);
        return;
    }
    steps[code](s, result);
}

// Request handlers (requester's thread).
void ftp_connect(Session& s);
void ftp_listing(Session& s);
void ftp_download(Session& s);
void ftp_upload(Session& s);
// Single commands the walks use as their steps (ftp_requests.cpp): CWD and PWD; CWD alone into a
// full path (s.remote_folder becomes that path); MKD of s.path1; CDUP and PWD; RMD and DELE of
// s.argument.
void ftp_change_folder(Session& s);
void ftp_enter_by_path(Session& s);
void ftp_make_folder(Session& s);
void ftp_folder_up(Session& s);
void ftp_remove_folder(Session& s);
void ftp_delete_file(Session& s);
// The walks (ftp_walk.cpp): a transfer walk asks FEAT once per connection and takes the steps that
// suit the server; a delete walk always enters and lists with LIST.
void ftp_transfer_list(Session& s);
void ftp_delete_walk(Session& s);
// A walk's listing of the folder s.path1 by its path: MLSD where the server has it, else the
// folder is entered (CWD and PWD) and listed with LIST.
void ftp_list_by_path(Session& s);
// The walks' forms of the transfers: the transfer command right behind PASV, and (by path) the
// remote file named by its full path.
void ftp_download_in_walk(Session& s);
void ftp_upload_in_walk(Session& s);
void ftp_download_by_path(Session& s);
void ftp_upload_by_path(Session& s);

// Continuation codes of the data-path part that listing, download and upload share.
struct DataPathCodes {
    int pasv;
    int listen;
    int port;
};
// Posts PASV (passive mode) or the listen step (active mode).
void open_data_path(Session& s, CompletionCallback next, const DataPathCodes& codes);
// After the listen step: posts PORT. False when the procedure must end (already reported).
bool after_listen(Session& s, int result, CompletionCallback next, const DataPathCodes& codes);

// Ends a transfer procedure: closes a listening socket left open, frees the scratch allocation and
// completes the request with the result.
void end_transfer(Session& s, int result);

// The protection of the data channel: plain for FTP, TLS when the session keeps it protected.
// ASCII or binary for the file: TYPE A or TYPE I.
FtpCommand transfer_type_command(Session& s);
// Sends TYPE A or TYPE I, or, when the server has already confirmed that type on this connection,
// runs the continuation with 0 through the completion pump without a round trip. 1 when it could
// not be posted.
int post_transfer_type(Session& s, FtpCommand type, CompletionCallback next, int code);

// Resume checks shared by downloads and uploads: false (with the warning) when the transfer must
// overwrite instead.
bool resume_allowed(Session& s);

// The procedure goes on from a refusal (no size or time known, REST or a rename refused, the time
// not set): it is no failure of the request, and its kind must not stand for a later failure's.
void absorb_refusal(Session& s);

// REST was refused: the warning, and this and every later resume in the session overwrites.
void resume_refused(Session& s);

// The remote name the commands use (the full path when `by_path`), and the local path, of the
// request's entries.
// `in_walk`: a walk's file, whose transfer command goes right behind PASV.
void take_transfer_names(Session& s, bool by_path, bool in_walk);

// Rules that overwrite whatever the target is: nothing about the target needs to be asked.
bool every_outcome_overwrites(const DuplicateRules& rules);

}  // namespace orvane
