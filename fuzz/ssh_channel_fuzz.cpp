// Fuzzes what a server sends to the session channel: a run of connection-layer messages (each
// prefixed by one length byte; the message number folded into 80..127, its top bit telling the
// application to take its input afterwards), with a pump after each and application output
// waiting to be sent. Application input must never hold more than the window.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "client/ssh/ssh_channel.h"

namespace {

void quiet(void*, const char*, int, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvane::ssh;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    orvane::FilterConfig config;
    config.log = &quiet;
    SshSession session(config, SshParts{});
    session.set_authenticated();
    std::unique_ptr<SshService> channel = make_channel_service(session);
    std::string waiting(70000, 'o');
    session.application_output().append(waiting);
    if (channel && channel->start(session) == 0) {
        while (!input.empty() && session.session_error() == 0) {
            size_t n = static_cast<uint8_t>(input[0]) % input.size();
            std::string message(input.substr(1, n));
            input.remove_prefix(1 + n);
            if (message.empty()) continue;
            bool take = (message[0] & 0x80) != 0;
            message[0] = static_cast<char>(80 + (message[0] & 0x7f) % 48);
            SshBuffer payload(message);
            if (channel->message(session, payload) != 0) break;
            channel->pump(session);
            if (session.application_input().size() > kChannelWindow) abort();
            if (take) session.application_input().clear();
            session.network_output().clear();  // as if sent
        }
    }
    return 0;
}
