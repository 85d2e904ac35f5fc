// One timed transfer over SSH by our client (a script) or by OpenSSH's sftp (a batch), and the check
// that what arrived is byte for byte what was sent.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::bench {

enum class Tool { kOurs, kSftpClassic, kSftpDefaults };
inline constexpr Tool kTools[] = {Tool::kOurs, Tool::kSftpClassic, Tool::kSftpDefaults};
inline constexpr int kToolCount = 3;
const char* tool_name(Tool tool);

enum class Work { kDownloadFile, kUploadFile, kDownloadTree, kUploadTree };

// How every run against one server logs in.
struct Login {
    uint16_t port = 0;
    std::string user;
    std::string key_file;       // an unencrypted private key the server has authorised
    bool weak_ciphers = false;  // the server allows only aes128-ctr and hmac-sha1: force them on sftp
    std::string scratch;        // a folder for scripts, batches and known-hosts files
    int parallel = 1;           // our client's sessions for a tree (-parallel)
};

// Runs `tool` once: `work` from `from` to `to` (both absolute; the remote side is this machine).
// 0 with the wall-clock seconds of the whole run, login included; 1 with the cause.
int timed_run(Tool tool, const Login& login, Work work, const std::string& from, const std::string& to,
              double& seconds, std::string& cause);

// 0 when `copy` holds the bytes of `original`: the same file, or a tree with every file of the
// original's at the same place and no other. 1 with the cause.
int same_content(const std::string& original, const std::string& copy, std::string& cause);

}  // namespace orvane::bench
