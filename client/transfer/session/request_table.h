// The table of request handlers a session is made with, one row per protocol kind.
#pragma once

#include <span>

#include "client/transfer/session/request_dispatch.h"

namespace orvane {

// The table of the protocol layers' handlers: `ftp` serves the three FTP kinds (they tell each
// other apart through the session), `sftp` the SFTP kind; Finish with result and SFTP's answers
// without work are filled in beside them.
RequestTable make_request_table(std::span<const RequestEntry> ftp, std::span<const RequestEntry> sftp);

// Handlers every protocol may use.
void request_not_available(Session& s);  // completes with 1
void request_finish_direct(Session& s);  // completes with the session's direct result
void request_complete_ok(Session& s);    // completes with 0

}  // namespace orvane
