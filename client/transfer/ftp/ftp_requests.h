// Installs the FTP procedures as the request handlers of the FTP kinds (100, 102, 103).
#pragma once

namespace orvane {

// Call once at start-up, before the first request (main does; tests do in their set-up). Until
// then the FTP requests complete with 1.
void install_ftp_handlers();

}  // namespace orvane
