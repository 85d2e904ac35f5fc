// Test support for the SSH transport: a stand-in key exchange (fixed messages, K and H from
// the two KEXINITs), a scripted server on our own packet layer that keys up with it, and a
// small service hook that carries application bytes in CHANNEL_DATA messages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_negotiation.h"
#include "client/ssh/ssh_session.h"
#include "client/ssh/ssh_transport.h"

namespace orvane::ssh::test {

// Parts whose key exchange sends {30, "fake client"} and completes on {31, "fake server"}
// for every method name; H = SHA-256(I_C || I_S), K a fixed value. No services.
SshParts fake_kex_parts();
// Parts whose key exchange sends a well-formed first message of the chosen method and stops
// at the server's answer ("the probe goes no further"): as far as a real server can be taken
// without the methods themselves.
SshParts probe_kex_parts();
void reset_probe();
int probe_reply();  // the message number the server answered with, -1 before

// The fake exchange's result for the given KEXINIT payloads (as both ends compute it).
void fake_kex_result(const std::string& client_kexinit, const std::string& server_kexinit, KexResult& out);

// Keys for one direction as the fake exchange derives them.
SshDirectionKeys derive_direction(const KexResult& result, const std::string& session_id,
                                  const Negotiated& chosen, int dir, uint32_t compat);

// A server on our packet layer that answers what a session sends.
class ScriptedServer {
  public:
    ScriptedServer();

    // Sent before anything else (banner lines and the identification, with line ends).
    std::string greeting = "SSH-2.0-OpenSSH_9.2p1 Test\r\n";
    // The server's proposal; defaults to ours without the markers plus the server markers.
    Proposal proposal;
    bool first_kex_packet_follows = false;
    bool send_ext_info = true;
    // Messages the server sends right before and right after its first KEXINIT.
    std::vector<std::string> before_kexinit;
    std::vector<std::string> after_kexinit;
    // The first KEXINIT goes out with the greeting, before the client has identified itself.
    bool kexinit_with_greeting = false;
    // Answers a KEXINIT after the first exchange with UNIMPLEMENTED, as OpenSSH does before login.
    bool refuse_rekey = false;
    // Flips a bit in the last byte of the next output (a MAC or tag).
    bool corrupt_next_output = false;
    // Messages 50 and above from the client; the default answers 50 with 52 and collects 94.
    std::function<void(ScriptedServer&, SshBuffer&)> on_service;

    // Bytes from the client; answers go to output().
    void receive(const std::string& bytes);
    std::string take_output();
    // Starts a re-key from the server's side.
    void start_rekey();
    // Sends a payload (a message number first).
    void send(std::string_view payload);
    void send_data(std::string_view data);  // CHANNEL_DATA

    SshTransport& transport() { return transport_; }
    const std::string& client_identification() const { return client_id_; }
    std::vector<int> received_numbers;  // every message number from the client
    std::string received_data;          // CHANNEL_DATA from the client
    int key_exchanges = 0;
    bool failed = false;
    std::string failure;

  private:
    void handle(SshBuffer& payload);
    void send_kexinit();

    SshTransport transport_;
    std::string pending_;  // bytes before the client's identification line
    std::string client_id_;
    std::string server_id_;
    std::string server_kexinit_;
    std::string client_kexinit_;
    std::string session_id_;
    Negotiated chosen_;
    bool kexinit_sent_ = false;
    bool strict_ = false;
    bool greeted_ = false;
};

// The client's test service: sends a dummy USERAUTH_REQUEST on start, carries channel data.
std::unique_ptr<SshService> channel_service();

// n pseudo-random bytes.
std::string random_payload(size_t n);

// Moves bytes between a session and a scripted server until neither has anything to say; the
// server's bytes go in pieces of at most `piece` bytes (a trickling server).
void exchange(SshSession& session, ScriptedServer& server, size_t piece = SIZE_MAX);

}  // namespace orvane::ssh::test
