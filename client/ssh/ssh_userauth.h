// User authentication of the SSH session (RFC 4252, and RFC 4256 for keyboard-interactive):
// "none" first to learn the methods the server allows, then publickey (the key offered, then the
// signed request), password and keyboard-interactive, as the server's lists and the configured
// credentials allow. It sits behind the session's service seam; once the user is authenticated,
// messages 80 and above go to the connection service (the session channel), which plugs in
// through its own factory.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The authentication hook of one session. `connection` takes over on USERAUTH_SUCCESS: its
// start runs then, it gets messages 80 to 127 and the data-phase pumps, and it is destroyed
// with this hook. Without one, global requests are refused and any other message ends the
// session.
SshServiceHook make_userauth_hook(SshSession& session, SshServiceHook connection = {}, AuthTrace trace = {});

// Installs the authentication layer as the service of every new session (once, at start-up).
void install_ssh_userauth();
// Installs what makes each session's connection service (the session channel), or none.
void install_ssh_connection_factory(SshServiceFactory factory);

}  // namespace orvane::ssh
