// Algorithm negotiation: our proposal, the KEXINIT message, and the rule that chooses one
// algorithm per category from both proposals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/ssh/ssh_algorithms.h"
#include "client/ssh/ssh_buffer.h"

namespace orvane::ssh {

// The ten name-lists of a KEXINIT, in their order; "out" is client to server.
enum ProposalIndex : size_t {
    kProposalKex = 0,
    kProposalHostKey,
    kProposalCipherOut,
    kProposalCipherIn,
    kProposalMacOut,
    kProposalMacIn,
    kProposalCompressionOut,
    kProposalCompressionIn,
    kProposalLanguageOut,
    kProposalLanguageIn,
    kProposalCount,
};
using Proposal = std::array<std::vector<std::string>, kProposalCount>;

inline constexpr const char* kStrictKexClient = "kex-strict-c-v00@openssh.com";
inline constexpr const char* kStrictKexServer = "kex-strict-s-v00@openssh.com";
inline constexpr const char* kExtInfoClient = "ext-info-c";
// Server names beyond this many in one list take no part in the choice.
inline constexpr size_t kServerNamesConsidered = 40;

// Our proposal. `compression` is the compression option; `first_exchange` adds the markers that
// belong to the first KEXINIT only (ext-info-c, strict key exchange).
Proposal client_proposal(bool compression, uint32_t compat, bool first_exchange);

struct KexInit {
    std::string cookie;  // 16 bytes
    Proposal lists;
    bool first_kex_packet_follows = false;
    uint32_t reserved = 0;
};

// The whole KEXINIT payload, message number 20 first.
void write_kexinit(SshBuffer& out, std::string_view cookie, const Proposal& proposal);
// A KEXINIT payload after its message number. True when every field was there.
bool parse_kexinit(SshBuffer& payload, KexInit& out);

// The first name of the client's list that is also among the server's first 40; "" when none.
std::string choose_algorithm(const std::vector<std::string>& client, const std::vector<std::string>& server);

struct Negotiated {
    std::string kex;
    std::string host_key;
    const SshCipherSpec* cipher[2] = {};  // [0] client to server, [1] server to client
    const SshMacSpec* mac[2] = {};        // null with an AEAD cipher
    CompressionKind compression[2] = {CompressionKind::kNone, CompressionKind::kNone};
    std::string compression_name[2];
    size_t need = 0;      // key length in bytes the chosen ciphers and MACs need
    bool strict = false;  // both sides offered strict key exchange
    bool server_ext_info = false;
    bool guess_wrong = false;  // the server's first guess differs from our first names
};

// Chooses every category. 0 on success; 1 with `error` naming the category without a common
// algorithm and both lists.
int negotiate(const Proposal& client, const Proposal& server, uint32_t compat, Negotiated& out,
              std::string& error);

// Splits a name-list at commas (empty names dropped).
std::vector<std::string> split_name_list(std::string_view list);
std::string join_name_list(const std::vector<std::string>& names);

}  // namespace orvane::ssh
