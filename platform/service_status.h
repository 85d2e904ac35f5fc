// Status reports to the service manager (systemd's notification socket, NOTIFY_SOCKET).
#pragma once

namespace orvane::platform {

// Sends a status text such as "READY=1" or "STOPPING=1". 0 when sent; 1 when the process was
// not started by a service manager that listens (no NOTIFY_SOCKET) or the send failed.
int report_service_status(const char* status);

}  // namespace orvane::platform
