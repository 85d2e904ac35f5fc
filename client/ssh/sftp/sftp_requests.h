// The request handlers of the SFTP protocol kind: connect and login, the single operations, the
// folder walks with their SFTP steps.
#pragma once

#include <span>

#include "client/transfer/session/session.h"

namespace orvane::sftp {

// Every SFTP request handler, for the SFTP row of make_request_table().
std::span<const RequestEntry> sftp_request_handlers();

}  // namespace orvane::sftp
