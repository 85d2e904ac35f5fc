// The request handlers of the SFTP protocol kind: connect and login, the single operations, the
// folder walks with their SFTP steps.
#pragma once

namespace orvane::sftp {

// Attaches every SFTP handler to the request table (once, at start-up, before requests run).
void install_sftp_handlers();

}  // namespace orvane::sftp
