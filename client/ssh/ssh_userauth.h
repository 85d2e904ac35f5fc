// User authentication of the SSH session (RFC 4252, and RFC 4256 for keyboard-interactive):
// "none" first to learn the methods the server allows, then publickey (the key offered, then the
// signed request), password and keyboard-interactive, as the server's lists and the configured
// credentials allow. It sits behind the session's service seam; once the user is authenticated,
// messages 80 and above go to the connection service (the session channel) it was made with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_session.h"

namespace orvane::ssh {

// Authentication phases; none-sent, publickey-sent and password-sent keep the designed numbers.
enum class AuthPhase : uint8_t {
    kIdle = 100,            // the service is not accepted yet
    kNoneSent = 101,        // "none": the server answers with its methods
    kPublickeySent = 102,   // the signed publickey request
    kPasswordSent = 103,    // the password request
    kPublickeyQuery = 104,  // the key offered without a signature; PK_OK or FAILURE follows
    kKeyboardSent = 105,    // keyboard-interactive; INFO_REQUEST, SUCCESS or FAILURE follows
    kAuthenticated = 110,
    kFailed = 111,
};
const char* auth_phase_name(AuthPhase phase);

// USERAUTH_FAILURE (the payload from its message number): the methods that can continue, in
// lower case, and the partial-success flag. 0 when well formed.
inline constexpr size_t kMaxAuthMethods = 32;
inline constexpr size_t kMaxAuthMethodName = 64;
struct AuthFailure {
    std::vector<std::string> methods;
    bool partial_success = false;
};
int parse_auth_failure(SshBuffer& payload, AuthFailure& out);

// USERAUTH_INFO_REQUEST of keyboard-interactive (the payload from its message number). 0 when
// well formed and within the limits.
inline constexpr size_t kMaxInfoPrompts = 16;
inline constexpr size_t kMaxInfoText = 1024;
struct InfoRequest {
    std::string name;
    std::string instruction;
    std::vector<std::string> prompts;
};
int parse_info_request(SshBuffer& payload, InfoRequest& out);

// Called on every phase change (a debugging trace).
struct AuthTrace {
    void (*function)(void* context, AuthPhase from, AuthPhase to) = nullptr;
    void* context = nullptr;
};

// The authentication service of one session. `connection` takes over on USERAUTH_SUCCESS: its
// start runs then, it gets messages 80 to 127 and the data-phase pumps, and it goes with this
// service. Without one, global requests are refused and any other message ends the session.
std::unique_ptr<SshService> make_userauth_service(SshSession& session,
                                                  std::unique_ptr<SshService> connection = nullptr,
                                                  AuthTrace trace = {});
// The same with the connection service the session's parts make (an SshServiceMaker).
std::unique_ptr<SshService> make_userauth_service_of_parts(SshSession& session);

}  // namespace orvane::ssh
