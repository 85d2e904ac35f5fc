// Fuzzes what a server sends first: banner lines, the identification line and the KEXINIT
// packet, through a whole session (no key exchange installed, so it stops after the choice),
// and the identification and KEXINIT parsers on their own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/ssh/ssh_negotiation.h"
#include "client/ssh/ssh_session.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"

using namespace orvane;
using namespace orvane::ssh;

namespace {
void quiet(void*, const char* text, int, int) {
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        // Text from the server reaches the log only made printable.
        if ((c < 0x20 && c != '\t') || c == 0x7f) abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    Identification id;
    if (parse_identification(input.substr(0, input.find('\n')), id)) {
        if (id.software.size() > kMaxCapture || id.software.find(' ') != std::string::npos) abort();
    }
    SshBuffer packet(input);
    KexInit kexinit;
    if (parse_kexinit(packet, kexinit)) {
        Negotiated chosen;
        std::string error;
        negotiate(client_proposal(true, 0, true), kexinit.lists, 0, chosen, error);
    }

    FilterConfig config;
    config.log = &quiet;
    SshSession session(config, SshParts{});
    size_t chunk = size > 0 ? data[0] % 64 + 1 : 1;
    for (size_t at = 0; at < size && !session.error(); at += chunk)
        session.put_network(data + at, std::min(chunk, size - at));
    if (session.error() && session.session_error() == 0) abort();
    return 0;
}
