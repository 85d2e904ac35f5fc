// User authentication: the phases, one handler per message and phase, and the choice of the next
// method from the server's list.
#include "client/ssh/ssh_userauth.h"

#include <new>
#include <string_view>

#include "client/ssh/private_key.h"
#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_messages.h"
#include "client/ssh/ssh_negotiation.h"
#include "client/ssh/ssh_version.h"
#include "common/log.h"
#include "common/secret.h"
#include "common/text.h"

namespace orvane::ssh {

namespace {

constexpr size_t kPasswordPadding = 64;  // hides the password's length
constexpr size_t kMaxBannerLines = 100;
constexpr int kMaxInfoRounds = 8;
constexpr const char* kConnectionService = "ssh-connection";

struct PhaseName {
    AuthPhase phase;
    const char* name;
};
constexpr PhaseName kPhaseNames[] = {
    {AuthPhase::kIdle, "idle"},
    {AuthPhase::kNoneSent, "none sent"},
    {AuthPhase::kPublickeySent, "publickey sent"},
    {AuthPhase::kPasswordSent, "password sent"},
    {AuthPhase::kPublickeyQuery, "publickey offered"},
    {AuthPhase::kKeyboardSent, "keyboard-interactive sent"},
    {AuthPhase::kAuthenticated, "authenticated"},
    {AuthPhase::kFailed, "failed"},
};
static_assert(sizeof kPhaseNames / sizeof kPhaseNames[0] == 8, "one name per phase");

enum MethodBit : uint8_t { kPublickey = 1, kPassword = 2, kKeyboard = 4 };

struct UserAuth {
    SshSession* session = nullptr;
    AuthPhase phase = AuthPhase::kIdle;
    AuthTrace trace;
    std::unique_ptr<SshService> connection;
    std::vector<std::string> allowed;  // the server's latest list
    std::string tried = "none";        // for the message when nothing is left
    uint8_t used = 0;                  // MethodBit
    bool password_refused = false;
    bool password_answered = false;  // keyboard-interactive gives the password to one prompt only
    int info_rounds = 0;
    PrivateKey key;
    std::string algorithm;

    const FilterConfig& config() const { return session->config(); }
};

void set_phase(UserAuth& a, AuthPhase to) {
    AuthPhase from = a.phase;
    a.phase = to;
    if (a.trace.function && from != to) a.trace.function(a.trace.context, from, to);
}

// A malformed or unexpected message is the server's protocol fault; a refusal is the server's
// answer; a key that cannot be read or used is ours.
int fail(UserAuth& a, const std::string& cause, FailureKind kind = FailureKind::kProtocol) {
    set_phase(a, AuthPhase::kFailed);
    a.key.clear();
    a.session->fail_with(kErrorAuthentication,
                         format("as \"%s\": ", printable(a.config().user, 64).c_str()) + cause, kind);
    return 1;
}

bool listed(const UserAuth& a, std::string_view method) {
    for (const std::string& name : a.allowed)
        if (name == method) return true;
    return false;
}

void put_request_head(SshBuffer& out, const UserAuth& a, std::string_view service, std::string_view method) {
    out.put_byte(msg::kUserauthRequest);
    out.put_string(a.config().user);
    out.put_string(service);
    if (!method.empty()) out.put_string(method);
}

int send(UserAuth& a, const SshBuffer& message, AuthPhase next) {
    if (!message.ok()) return fail(a, "a request over the size limit", FailureKind::kLocal);
    set_phase(a, next);
    return a.session->send_payload(message.view());
}

void begin_method(UserAuth& a, MethodBit bit, const char* name) {
    a.used |= bit;
    a.tried += std::string(", ") + name;
    a.session->log(
        format("SSH: authenticating as \"%s\" by %s", printable(a.config().user, 64).c_str(), name),
        kLevelInfo);
}

// The publickey request from its message number to the key blob. Old peers sign the short form
// (without method and algorithm names) or name the service "ssh-userauth" in the signed data.
void put_publickey_request(SshBuffer& out, const UserAuth& a, std::string_view service, bool names_method,
                           bool names_algorithm, bool with_signature) {
    put_request_head(out, a, service, names_method ? "publickey" : "");
    out.put_bool(with_signature);
    if (names_algorithm) out.put_string(a.algorithm);
    out.put_string(a.key.public_blob());
}

// Signs RFC 4252 section 7's data (session identifier, then the request) and sends the request.
int send_signed_publickey(UserAuth& a) {
    uint32_t compat = a.session->compat();
    bool long_form = (compat & kShortPublickeyRequest) == 0;
    bool userauth_signed = (compat & kUserauthServiceSigned) != 0;
    SshBuffer data;
    if (compat & kRawSessionId) {
        data.put_bytes(a.session->session_id());
    } else {
        data.put_string(a.session->session_id());
    }
    size_t prefix = data.size();
    put_publickey_request(data, a, userauth_signed ? "ssh-userauth" : kConnectionService, long_form,
                          long_form, true);
    std::string signature, error;
    if (!data.ok() || a.key.sign(data.view(), a.algorithm, compat, signature, error) != 0) {
        a.session->log("could not open private key file", kLevelError);
        return fail(a, "the key could not sign: " + error, FailureKind::kLocal);
    }
    SshBuffer request;
    if (userauth_signed) {
        put_publickey_request(request, a, kConnectionService, true, long_form, true);
    } else {
        request.put_bytes(data.view().substr(prefix));
    }
    request.put_string(signature);
    wipe_secret(signature);
    a.key.clear();  // used once per session
    return send(a, request, AuthPhase::kPublickeySent);
}

int start_publickey(UserAuth& a) {
    begin_method(a, kPublickey, "publickey");
    std::string error;
    if (a.key.load_file(a.config().private_key_file, a.config().pass_phrase, error) != 0) {
        a.session->log("could not open private key file", kLevelError);
        return fail(a, error, FailureKind::kLocal);
    }
    a.algorithm = user_signature_algorithm(a.key.kind(), join_name_list(a.session->server_sig_algs()));
    // Peers with the old request forms get the signed request at once, as they always did.
    if (a.session->compat() & (kShortPublickeyRequest | kUserauthServiceSigned | kRawSessionId))
        return send_signed_publickey(a);
    SshBuffer query;
    put_publickey_request(query, a, kConnectionService, true, true, false);
    return send(a, query, AuthPhase::kPublickeyQuery);
}

int send_password(UserAuth& a) {
    begin_method(a, kPassword, "password");
    SshBuffer request;
    put_request_head(request, a, kConnectionService, "password");
    request.put_bool(false);
    request.put_string(a.config().password);
    a.session->request_extra_padding(kPasswordPadding);
    return send(a, request, AuthPhase::kPasswordSent);
}

int send_keyboard_interactive(UserAuth& a) {
    begin_method(a, kKeyboard, "keyboard-interactive");
    SshBuffer request;
    put_request_head(request, a, kConnectionService, "keyboard-interactive");
    request.put_string("");  // language
    request.put_string("");  // submethods
    return send(a, request, AuthPhase::kKeyboardSent);
}

// The next method the server allows that has not been used, in our order of preference.
int next_method(UserAuth& a) {
    bool have_key = !a.config().private_key_file.empty();
    bool have_password = !a.config().password.empty();  // an empty one would only cost an attempt
    if (listed(a, "publickey") && have_key && !(a.used & kPublickey)) return start_publickey(a);
    if (listed(a, "password") && have_password && !(a.used & kPassword)) return send_password(a);
    if (listed(a, "keyboard-interactive") && have_password && !(a.used & kKeyboard) && !a.password_refused)
        return send_keyboard_interactive(a);
    std::string allows = a.allowed.empty() ? "no method" : join_name_list(a.allowed);
    std::string cause = "no method left: the server allows " + printable(allows, 256) + ", tried " + a.tried;
    if (listed(a, "publickey") && !have_key) cause += "; no private key file is set";
    if ((listed(a, "password") || listed(a, "keyboard-interactive")) && !have_password)
        cause += "; no password is set";
    return fail(a, cause, FailureKind::kRemote);
}

// --- handlers, one per message and phase ---

int on_banner(UserAuth& a, SshBuffer& payload) {
    std::string_view text = payload.get_string();
    payload.get_string(256);  // language
    if (!payload.ok()) return fail(a, "a malformed USERAUTH_BANNER");
    text = text.substr(0, a.session->banner_allowance(text.size()));
    size_t lines = 0;
    while (!text.empty() && lines++ < kMaxBannerLines) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        a.session->log(printable(line), kLevelInfo);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return 0;
}

int on_failure(UserAuth& a, SshBuffer& payload) {
    AuthFailure failure;
    if (parse_auth_failure(payload, failure) != 0) return fail(a, "a malformed USERAUTH_FAILURE");
    a.allowed = std::move(failure.methods);
    if (failure.partial_success) {
        a.session->log("SSH: the server accepted that step and wants another: " +
                           printable(join_name_list(a.allowed), 256),
                       kLevelInfo);
    } else if (a.phase == AuthPhase::kPublickeyQuery || a.phase == AuthPhase::kPublickeySent) {
        a.session->log("SSH: the server refused the key " + std::string(a.key.type_name()), kLevelWarning);
        a.key.clear();
    } else if (a.phase == AuthPhase::kPasswordSent || a.phase == AuthPhase::kKeyboardSent) {
        a.session->log("SSH: the server refused the password", kLevelWarning);
        a.password_refused = true;
    }
    return next_method(a);
}

int on_success(UserAuth& a, SshBuffer&) {
    set_phase(a, AuthPhase::kAuthenticated);
    a.key.clear();
    a.session->log(format("SSH: logged in as \"%s\"", printable(a.config().user, 64).c_str()), kLevelInfo);
    if (a.connection) return a.connection->start(*a.session);
    return 0;
}

int on_pk_ok(UserAuth& a, SshBuffer& payload) {
    std::string_view algorithm = payload.get_string(256);
    std::string_view blob = payload.get_string();
    if (!payload.ok() || algorithm != a.algorithm || blob != a.key.public_blob())
        return fail(a, "USERAUTH_PK_OK for a key that was not offered");
    return send_signed_publickey(a);
}

int on_change_request(UserAuth& a, SshBuffer& payload) {
    std::string_view prompt = payload.get_string(kMaxInfoText);
    return fail(a,
                "the server wants the password changed first (\"" + printable(prompt, 256) +
                    "\"); change it with an interactive client",
                FailureKind::kRemote);
}

int on_info_request(UserAuth& a, SshBuffer& payload) {
    InfoRequest request;
    if (parse_info_request(payload, request) != 0) return fail(a, "a malformed USERAUTH_INFO_REQUEST");
    if (++a.info_rounds > kMaxInfoRounds) return fail(a, "keyboard-interactive asks without end");
    for (const std::string* text : {&request.name, &request.instruction})
        if (!text->empty()) a.session->log(printable(*text), kLevelInfo);
    SshBuffer response;
    response.put_byte(msg::kUserauthInfoResponse);
    if (request.prompts.size() == 1 && !a.password_answered) {
        a.password_answered = true;
        response.put_u32(1);
        response.put_string(a.config().password);
        a.session->request_extra_padding(kPasswordPadding);
    } else if (request.prompts.empty()) {
        response.put_u32(0);
    } else {
        return fail(a,
                    format("keyboard-interactive asks %zu questions (the first \"%s\"); only one password "
                           "prompt can be answered",
                           request.prompts.size(), printable(request.prompts[0], 128).c_str()),
                    FailureKind::kRemote);
    }
    return send(a, response, AuthPhase::kKeyboardSent);
}

using Handler = int (*)(UserAuth&, SshBuffer&);
struct Route {
    uint8_t number;
    AuthPhase phase;  // kIdle: any phase of the exchange
    Handler handler;
};
constexpr Route kRoutes[] = {
    {msg::kUserauthBanner, AuthPhase::kIdle, &on_banner},
    {msg::kUserauthFailure, AuthPhase::kIdle, &on_failure},
    {msg::kUserauthSuccess, AuthPhase::kIdle, &on_success},
    {msg::kUserauthSixty, AuthPhase::kPublickeyQuery, &on_pk_ok},
    {msg::kUserauthSixty, AuthPhase::kPasswordSent, &on_change_request},
    {msg::kUserauthSixty, AuthPhase::kKeyboardSent, &on_info_request},
};

// After login without a connection service: global requests (OpenSSH announces its host keys
// with one) are refused when a reply is wanted; anything else has no one to take it.
int without_connection(UserAuth& a, SshBuffer& payload) {
    uint8_t number = payload.get_byte();
    if (number != msg::kGlobalRequest) {
        a.session->fail_with(kErrorChannel, format("message %u without a channel to take it", number));
        return 1;
    }
    payload.get_string(256);
    if (!payload.get_bool() || !payload.ok()) return 0;
    return a.session->send_payload(std::string(1, static_cast<char>(msg::kRequestFailure)));
}

// --- the service ---

class UserAuthService final : public SshService {
  public:
    UserAuthService(SshSession& session, std::unique_ptr<SshService> connection, AuthTrace trace) {
        a_.session = &session;
        a_.connection = std::move(connection);
        a_.trace = trace;
    }

    int start(SshSession&) override {
        if (a_.config().user.empty()) return fail(a_, "no user name is set", FailureKind::kUser);
        SshBuffer request;
        put_request_head(request, a_, kConnectionService, "none");
        return send(a_, request, AuthPhase::kNoneSent);
    }

    int message(SshSession& session, SshBuffer& payload) override {
        if (a_.phase == AuthPhase::kAuthenticated) {
            if (a_.connection) return a_.connection->message(session, payload);
            return without_connection(a_, payload);
        }
        uint8_t number = payload.data()[0];
        bool exchanging = a_.phase != AuthPhase::kIdle && a_.phase != AuthPhase::kFailed;
        for (const Route& route : kRoutes) {
            if (route.number != number || !exchanging) continue;
            if (route.phase != AuthPhase::kIdle && route.phase != a_.phase) continue;
            payload.get_byte();
            return route.handler(a_, payload);
        }
        return fail(a_, format("unexpected message %u while %s", number, auth_phase_name(a_.phase)));
    }

    void pump(SshSession& session) override {
        if (a_.phase == AuthPhase::kAuthenticated && a_.connection) a_.connection->pump(session);
    }

  private:
    UserAuth a_;
};

}  // namespace

const char* auth_phase_name(AuthPhase phase) {
    for (const PhaseName& p : kPhaseNames)
        if (p.phase == phase) return p.name;
    return "unknown";
}

int parse_auth_failure(SshBuffer& payload, AuthFailure& out) {
    std::string_view list = payload.get_string(kMaxAuthMethods * (kMaxAuthMethodName + 1));
    out.partial_success = payload.get_bool();
    if (!payload.ok()) return 1;
    out.methods = split_name_list(list);
    if (out.methods.size() > kMaxAuthMethods) return 1;
    for (std::string& name : out.methods) {
        if (name.size() > kMaxAuthMethodName) return 1;
        name = to_lower(name);  // a list in capitals means the same methods
    }
    return 0;
}

int parse_info_request(SshBuffer& payload, InfoRequest& out) {
    out.name = payload.get_string(kMaxInfoText);
    out.instruction = payload.get_string(kMaxInfoText);
    payload.get_string(256);  // language
    uint32_t count = payload.get_u32();
    if (!payload.ok() || count > kMaxInfoPrompts) return 1;
    out.prompts.clear();
    for (uint32_t i = 0; i < count; ++i) {
        out.prompts.emplace_back(payload.get_string(kMaxInfoText));
        payload.get_bool();  // echo: nothing is shown
    }
    return payload.ok() ? 0 : 1;
}

std::unique_ptr<SshService> make_userauth_service(SshSession& session, std::unique_ptr<SshService> connection,
                                                  AuthTrace trace) {
    // Out of memory: no service, and the session says so when it needs one.
    return std::unique_ptr<SshService>(new (std::nothrow)
                                           UserAuthService(session, std::move(connection), trace));
}

std::unique_ptr<SshService> make_userauth_service_of_parts(SshSession& session) {
    SshServiceMaker connection = session.parts().connection;
    return make_userauth_service(session, connection ? connection(session) : nullptr);
}

}  // namespace orvane::ssh
