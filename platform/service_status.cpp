// systemd's notification protocol: one datagram per status on a Unix socket.
#include "platform/service_status.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orvane::platform {

int report_service_status(const char* status) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@') || status == nullptr) return 1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return 1;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket name
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ssize_t sent =
        ::sendto(fd, status, std::strlen(status), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size);
    ::close(fd);
    return sent < 0 ? 1 : 0;
}

}  // namespace orvane::platform
