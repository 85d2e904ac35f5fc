// Key exchange against a real OpenSSH server: a bare packet layer written here (no encryption
// is needed before NEWKEYS) offers exactly one method and one host-key algorithm and the run does
// the exchange. sshd signs the exchange hash it computed; the run verifies that signature over
// the hash it computed itself, so a completed run shows both sides derived the same hash and
// shared secret. Every method with every host-key algorithm the local sshd accepts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "client/ssh/kex_methods.h"
#include "client/ssh/known_hosts.h"
#include "client/ssh/ssh_key.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::ssh {
namespace {

const char* const kHostKeyAlgorithms[] = {"ssh-rsa", "rsa-sha2-256", "rsa-sha2-512",
                                          "ssh-dss", "ssh-ed25519",  "ecdsa-sha2-nistp256"};
const char* const kMethods[] = {"diffie-hellman-group1-sha1",
                                "diffie-hellman-group14-sha1",
                                "diffie-hellman-group-exchange-sha1",
                                "diffie-hellman-group14-sha256",
                                "diffie-hellman-group16-sha512",
                                "diffie-hellman-group-exchange-sha256",
                                "curve25519-sha256",
                                "curve25519-sha256@libssh.org",
                                "ecdh-sha2-nistp256"};

// sshd on a loopback port with every method and host key of the table allowed, one process
// group, ended with the test.
class Sshd {
  public:
    Sshd() {
        std::string algorithms, methods;
        for (const char* a : kHostKeyAlgorithms) algorithms += std::string(algorithms.empty() ? "" : ",") + a;
        for (const char* m : kMethods) methods += std::string(methods.empty() ? "" : ",") + m;
        for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) {
            port_ = test::unused_port();
            std::string config = "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) +
                                 "\nPidFile none\nUsePAM no\nKexAlgorithms " + methods +
                                 "\nHostKeyAlgorithms " + algorithms + "\n";
            for (const char* key : {"rsa-openssh", "dsa-openssh", "ed25519-openssh", "ecdsa-openssh"})
                config += "HostKey " + test::test_key_file(key).path + "\n";
            test::write_all(dir_.file("sshd_config"), config);
            launch();
        }
    }
    ~Sshd() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        kill(-pid_, SIGKILL);  // connections that outlived the listener
    }
    uint16_t port() const { return port_; }
    bool running() const { return pid_ > 0; }
    std::string log() const { return test::file_text(dir_.file("sshd.log")); }

  private:
    void launch() {
        std::string log_path = dir_.file("sshd.log"), config = dir_.file("sshd_config");
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
            execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid, pid);
        bool up = test::wait_until([&] {
            int fd = test::connect_loopback(port_);
            test::close_fd(fd);
            return fd >= 0 || waitpid(pid, nullptr, WNOHANG) == pid;
        });
        if (up && waitpid(pid, nullptr, WNOHANG) == 0) {
            pid_ = pid;
        } else {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    test::TempDir dir_;
    uint16_t port_ = 0;
    pid_t pid_ = 0;
};

// Unencrypted SSH packets over a blocking socket, as they travel before the first NEWKEYS.
class PlainConnection {
  public:
    explicit PlainConnection(uint16_t port) : fd_(test::connect_loopback(port)) {}
    ~PlainConnection() { test::close_fd(fd_); }

    bool send_packet(std::string_view payload) {
        size_t padding = 8 - (5 + payload.size()) % 8;
        if (padding < 4) padding += 8;
        SshBuffer packet;
        packet.put_u32(static_cast<uint32_t>(1 + payload.size() + padding));
        packet.put_byte(static_cast<uint8_t>(padding));
        packet.put_bytes(payload);
        packet.put_bytes(std::string(padding, '\0'));
        return test::send_all(fd_, std::string(packet.view()));
    }
    // The server's identification line (lines before it are skipped).
    bool read_version(std::string& line) {
        for (;;) {
            size_t end = input_.find("\r\n");
            if (end != std::string::npos) {
                line = input_.substr(0, end);
                input_.erase(0, end + 2);
                if (line.rfind("SSH-", 0) == 0) return true;
                continue;
            }
            if (!fill()) return false;
        }
    }
    // The next payload that is not IGNORE or DEBUG.
    bool read_packet(std::string& payload) {
        for (;;) {
            while (input_.size() < 4)
                if (!fill()) return false;
            SshBuffer header(std::string_view(input_).substr(0, 4));
            uint32_t length = header.get_u32();
            if (length < 5 || length > 262144) return false;
            while (input_.size() < 4 + length)
                if (!fill()) return false;
            size_t padding = static_cast<uint8_t>(input_[4]);
            if (padding + 1 >= length) return false;
            payload = input_.substr(5, length - 1 - padding);
            input_.erase(0, 4 + length);
            if (payload[0] != 2 && payload[0] != 4) return true;
        }
    }
    bool connected() const { return fd_ >= 0; }
    bool send_line(const std::string& line) { return test::send_all(fd_, line); }

  private:
    bool fill() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return false;
        char buffer[4096];
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) return false;
        input_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    int fd_;
    std::string input_;
};

std::string kexinit(const std::string& method, const std::string& host_key) {
    unsigned char cookie[16];
    RAND_bytes(cookie, sizeof cookie);
    SshBuffer m;
    m.put_byte(20);
    m.put_bytes(cookie, sizeof cookie);
    for (const std::string& list : {method, host_key, std::string("aes128-ctr"), std::string("aes128-ctr"),
                                    std::string("hmac-sha2-256"), std::string("hmac-sha2-256"),
                                    std::string("none"), std::string("none"), std::string(), std::string()})
        m.put_string(list);
    m.put_bool(false);
    m.put_u32(0);
    return std::string(m.view());
}

// One connection: identification, KEXINIT both ways, the run, then the server's NEWKEYS. "" when
// the exchange completed; otherwise what went wrong.
std::string exchange_with(const Sshd& sshd, const std::string& method, const std::string& host_key,
                          const std::string& known_hosts) {
    PlainConnection connection(sshd.port());
    // Known hosts as the front end keeps them: read before the connect, a new host recorded after.
    KnownHostsPolicy policy;
    policy.load({"", known_hosts}, nullptr, nullptr);
    KexContext context;
    context.host_key = policy.decision();
    context.client_version = "SSH-2.0-FendrelSSH_1.0";
    context.kex_name = method;
    context.host_key_name = host_key;
    context.need = 32;  // aes128-ctr (16-byte key and block) with hmac-sha2-256 (32-byte key)
    context.host = "127.0.0.1";
    context.port = sshd.port();
    std::string ours = kexinit(method, host_key), theirs;
    if (!connection.connected() || !connection.send_line(context.client_version + "\r\n") ||
        !connection.read_version(context.server_version) || !connection.send_packet(ours) ||
        !connection.read_packet(theirs) || theirs[0] != 20)
        return "no KEXINIT from the server";
    context.client_kexinit = ours.substr(1);
    context.server_kexinit = theirs.substr(1);
    std::unique_ptr<KexRun> run = make_ssh_kex_run(method);
    std::vector<SshBuffer> send;
    if (run == nullptr || run->start(context, send) != 0) return "the run did not start";
    for (;;) {
        for (const SshBuffer& m : send)
            if (!connection.send_packet(m.view())) return "send failed";
        send.clear();
        std::string payload;
        if (!connection.read_packet(payload)) return "the server closed the connection";
        SshBuffer message(payload);
        KexStatus status = run->receive(message, send);
        if (status == KexStatus::kFailed) return run->error_text();
        if (status == KexStatus::kDone) break;
    }
    policy.record_new_host();
    std::string newkeys;
    if (!connection.read_packet(newkeys) || newkeys != std::string(1, 21))
        return "no NEWKEYS from the server";
    return {};
}

TEST(KexWithSshd, EveryMethodWithEveryHostKeyAlgorithm) {
    test::TempDir home;
    Sshd sshd;
    ASSERT_TRUE(sshd.running()) << sshd.log();
    // One known-hosts file per key type: a host recorded with one type refuses a server that
    // offers only another, and each exchange here offers one.
    auto known_hosts_of = [&home](const char* type) { return home.file(std::string("known_hosts-") + type); };
    for (const char* method : kMethods) {
        for (const char* host_key : kHostKeyAlgorithms) {
            std::string failure = exchange_with(
                sshd, method, host_key, known_hosts_of(key_type_name(key_kind_of_algorithm(host_key))));
            EXPECT_EQ(failure, "") << method << " with " << host_key << "\n" << sshd.log();
        }
    }
    // Each host key was recorded once, on first use, and matched afterwards.
    for (const char* key : {"rsa-openssh", "dsa-openssh", "ed25519-openssh", "ecdsa-openssh"}) {
        const test::TestKeyFile& file = test::test_key_file(key);
        std::string known = test::file_text(known_hosts_of(key_type_name(file.kind)));
        std::string line = "[127.0.0.1]:" + std::to_string(sshd.port()) + " " + key_type_name(file.kind) +
                           " " + base64_encode(file.public_blob) + "\n";
        EXPECT_EQ(known, line);
    }
}

}  // namespace
}  // namespace orvane::ssh
