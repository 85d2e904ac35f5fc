// The table of request handlers, one row per protocol kind.
#pragma once

#include "client/transfer/session/request_dispatch.h"

namespace orvane {

using RequestRow = RequestHandler[kRequestKindCount];
// Rows in protocol-kind order: FTP, SFTP, FTPS protected, FTPS clear.
RequestRow* request_table();

// Handlers every protocol may use.
void request_not_available(Session& s);  // completes with 1
void request_finish_direct(Session& s);  // completes with the session's direct result
void request_complete_ok(Session& s);    // completes with 0

}  // namespace orvane
