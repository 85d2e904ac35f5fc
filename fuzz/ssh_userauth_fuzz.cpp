// Fuzzes what a server sends during user authentication: the USERAUTH_FAILURE and INFO_REQUEST
// decoders with their limits, and the authentication layer itself fed a run of messages (each
// prefixed by one length byte) after its "none" request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "client/ssh/ssh_userauth.h"

namespace {

void quiet(void*, const char*, int, int) {}

void drive(std::string_view input) {
    using namespace orvane::ssh;
    orvane::FilterConfig config;
    config.user = "fuzz";
    config.password = "secret";
    config.log = &quiet;
    SshSession session(config, SshParts{});
    std::unique_ptr<SshService> service = make_userauth_service(session);
    if (service && service->start(session) == 0) {
        while (!input.empty() && session.session_error() == 0) {
            size_t n = static_cast<uint8_t>(input[0]) % input.size();
            std::string_view message = input.substr(1, n);
            input.remove_prefix(1 + message.size());
            if (message.empty()) continue;
            SshBuffer payload(message);
            if (service->message(session, payload) != 0) break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvane::ssh;
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            SshBuffer in(rest);
            AuthFailure failure;
            if (parse_auth_failure(in, failure) != 0) return 0;
            if (failure.methods.size() > kMaxAuthMethods) abort();
            for (const std::string& name : failure.methods)
                if (name.empty() || name.size() > kMaxAuthMethodName) abort();
            return 0;
        }
        case 1: {
            SshBuffer in(rest);
            InfoRequest request;
            if (parse_info_request(in, request) != 0) return 0;
            if (request.prompts.size() > kMaxInfoPrompts || request.name.size() > kMaxInfoText) abort();
            return 0;
        }
        default:
            drive(rest);
            return 0;
    }
}
