// Our proposal, KEXINIT encoding and the choice rule.
#include "client/ssh/ssh_negotiation.h"

#include <algorithm>

#include "client/ssh/ssh_compat.h"
#include "client/ssh/ssh_messages.h"
#include "client/ssh/ssh_version.h"

namespace orvane::ssh {

namespace {

// The designed names first, in their order, so every peer that chose them still does; then the
// names today's servers need.
const char* const kKexNames[] = {
    "diffie-hellman-group-exchange-sha1",
    "diffie-hellman-group14-sha1",
    "diffie-hellman-group1-sha1",
    "curve25519-sha256",
    "curve25519-sha256@libssh.org",
    "diffie-hellman-group14-sha256",
    "diffie-hellman-group16-sha512",
    "diffie-hellman-group-exchange-sha256",
    "ecdh-sha2-nistp256",
};
const char* const kHostKeyNames[] = {
    "ssh-rsa", "ssh-dss", "rsa-sha2-512", "rsa-sha2-256", "ssh-ed25519", "ecdsa-sha2-nistp256",
};
const char* const kCipherNames[] = {
    "aes128-cbc",
    "3des-cbc",
    "blowfish-cbc",
    "cast128-cbc",
    "arcfour",
    "aes192-cbc",
    "aes256-cbc",
    "rijndael-cbc@lysator.liu.se",
    "aes128-ctr",
    "aes192-ctr",
    "aes256-ctr",
    "aes128-gcm@openssh.com",
    "aes256-gcm@openssh.com",
    "chacha20-poly1305@openssh.com",
};
const char* const kMacNames[] = {
    "hmac-md5",
    "hmac-sha1",
    "hmac-ripemd160",
    "hmac-ripemd160@openssh.com",
    "hmac-sha1-96",
    "hmac-md5-96",
    "hmac-sha2-256",
    "hmac-sha2-512",
    "hmac-sha2-256-etm@openssh.com",
    "hmac-sha2-512-etm@openssh.com",
    "hmac-sha1-etm@openssh.com",
};

// Names that signal an extension and are never chosen as an algorithm.
bool is_marker(std::string_view name) {
    return name == kStrictKexClient || name == kStrictKexServer || name == kExtInfoClient ||
           name == "ext-info-s";
}

bool contains(const std::vector<std::string>& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

template <size_t N>
std::vector<std::string> names(const char* const (&table)[N]) {
    return std::vector<std::string>(std::begin(table), std::end(table));
}

const char* const kCategoryNames[kProposalCount] = {
    "key exchange",
    "host key",
    "cipher client to server",
    "cipher server to client",
    "MAC client to server",
    "MAC server to client",
    "compression client to server",
    "compression server to client",
    "language client to server",
    "language server to client",
};

std::string no_common(size_t index, const Proposal& client, const Proposal& server) {
    return std::string("no common algorithm for ") + kCategoryNames[index] + " (we offer " +
           join_name_list(client[index]) + "; the server offers " +
           printable(join_name_list(server[index]), 300) + ")";
}

}  // namespace

std::vector<std::string> split_name_list(std::string_view list) {
    std::vector<std::string> out;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        if (!name.empty()) out.emplace_back(name);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return out;
}

std::string join_name_list(const std::vector<std::string>& list) {
    std::string joined;
    for (const std::string& name : list) {
        if (!joined.empty()) joined += ',';
        joined += name;
    }
    return joined;
}

Proposal client_proposal(bool compression, uint32_t compat, bool first_exchange) {
    Proposal p;
    p[kProposalKex] = names(kKexNames);
    if (first_exchange) {
        p[kProposalKex].push_back(kExtInfoClient);
        p[kProposalKex].push_back(kStrictKexClient);
    }
    p[kProposalHostKey] = names(kHostKeyNames);
    std::vector<std::string> ciphers;
    for (const char* name : kCipherNames) {
        // Old OpenSSH releases had broken AES: leave it out for them (rijndael-cbc stays).
        if ((compat & kNoAesCiphers) && std::string_view(name).substr(0, 3) == "aes") continue;
        ciphers.emplace_back(name);
    }
    p[kProposalCipherOut] = p[kProposalCipherIn] = ciphers;
    p[kProposalMacOut] = p[kProposalMacIn] = names(kMacNames);
    std::vector<std::string> compressions =
        compression ? std::vector<std::string>{"zlib", "none"} : std::vector<std::string>{"none", "zlib"};
    compressions.emplace_back("zlib@openssh.com");
    p[kProposalCompressionOut] = p[kProposalCompressionIn] = compressions;
    return p;
}

void write_kexinit(SshBuffer& out, std::string_view cookie, const Proposal& proposal) {
    out.put_byte(msg::kKexInit);
    out.put_bytes(cookie.substr(0, 16));
    for (const auto& list : proposal) out.put_name_list(list);
    out.put_bool(false);
    out.put_u32(0);
}

bool parse_kexinit(SshBuffer& payload, KexInit& out) {
    out.cookie = std::string(payload.get_bytes(16));
    for (auto& list : out.lists) list = split_name_list(payload.get_string());
    out.first_kex_packet_follows = payload.get_bool();
    out.reserved = payload.get_u32();
    return payload.ok();
}

std::string choose_algorithm(const std::vector<std::string>& client, const std::vector<std::string>& server) {
    size_t considered = std::min(server.size(), kServerNamesConsidered);
    for (const std::string& name : client) {
        if (is_marker(name)) continue;
        if (std::find(server.begin(), server.begin() + static_cast<std::ptrdiff_t>(considered), name) !=
            server.begin() + static_cast<std::ptrdiff_t>(considered))
            return name;
    }
    return {};
}

int negotiate(const Proposal& client, const Proposal& server, uint32_t compat, Negotiated& out,
              std::string& error) {
    out = Negotiated{};
    out.kex = choose_algorithm(client[kProposalKex], server[kProposalKex]);
    if (out.kex.empty()) {
        error = no_common(kProposalKex, client, server);
        return 1;
    }
    out.host_key = choose_algorithm(client[kProposalHostKey], server[kProposalHostKey]);
    if (out.host_key.empty()) {
        error = no_common(kProposalHostKey, client, server);
        return 1;
    }
    for (int dir = 0; dir < 2; ++dir) {
        size_t c = kProposalCipherOut + dir, m = kProposalMacOut + dir, z = kProposalCompressionOut + dir;
        out.cipher[dir] = find_cipher(choose_algorithm(client[c], server[c]));
        if (!out.cipher[dir]) {
            error = no_common(c, client, server);
            return 1;
        }
        // An AEAD cipher authenticates by itself; the MAC lists are not used then.
        if (!is_aead(*out.cipher[dir])) {
            out.mac[dir] = find_mac(choose_algorithm(client[m], server[m]));
            if (!out.mac[dir]) {
                error = no_common(m, client, server);
                return 1;
            }
        }
        out.compression_name[dir] = choose_algorithm(client[z], server[z]);
        if (!find_compression(out.compression_name[dir], out.compression[dir])) {
            error = no_common(z, client, server);
            return 1;
        }
        const SshCipherSpec& cipher = *out.cipher[dir];
        out.need = std::max({out.need, cipher.key_length, cipher.block_size, cipher.iv_length});
        if (out.mac[dir]) out.need = std::max(out.need, mac_key_length(*out.mac[dir], compat));
    }
    out.strict =
        contains(client[kProposalKex], kStrictKexClient) && contains(server[kProposalKex], kStrictKexServer);
    out.server_ext_info = contains(server[kProposalKex], "ext-info-s");
    const auto& sk = server[kProposalKex];
    const auto& sh = server[kProposalHostKey];
    out.guess_wrong = sk.empty() || sh.empty() || sk.front() != client[kProposalKex].front() ||
                      sh.front() != client[kProposalHostKey].front();
    return 0;
}

}  // namespace orvane::ssh
