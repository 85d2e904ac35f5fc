// The FTP procedures as request handlers, for the request table of the FTP kinds (100, 102, 103).
#pragma once

#include <span>

#include "client/transfer/session/session.h"

namespace orvane {

// Every FTP request handler; make_request_table() serves them to the three FTP kinds.
std::span<const RequestEntry> ftp_request_handlers();

}  // namespace orvane
