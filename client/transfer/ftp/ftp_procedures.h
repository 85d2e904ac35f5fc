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

// The remote name the commands use, and the local path, of the request's entries.
void take_transfer_names(Session& s);

}  // namespace orvane
