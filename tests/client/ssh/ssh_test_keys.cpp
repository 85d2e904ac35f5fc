// Makes the key files once, in a scratch folder that lives as long as the test program.
#include "tests/client/ssh/ssh_test_keys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::test {

namespace {

constexpr const char* kKeygen = "/usr/bin/ssh-keygen";
constexpr const char* kOpenssl = "/usr/bin/openssl";

void run(const char* program, const std::vector<std::string>& args) {
    ProcessResult r = run_process(program, args);
    EXPECT_EQ(r.exit_code, 0) << program << " " << (args.empty() ? "" : args[0]) << ": " << r.output;
}

std::string blob_of_pub(const std::string& path) {
    std::istringstream line(file_text(path));
    std::string type, text, blob;
    line >> type >> text;
    EXPECT_EQ(base64_decode(text, blob), 0) << path;
    return blob;
}

std::vector<TestKeyFile> make_keys(const TempDir& dir) {
    using ssh::KeyKind;
    auto keygen = [&](const std::string& name, const char* type, const char* bits, const char* format,
                      const std::string& pass) {
        std::vector<std::string> args = {"-q", "-t", type, "-N", pass, "-C", name, "-f", dir.file(name)};
        if (bits != nullptr) args.insert(args.end(), {"-b", bits});
        if (format != nullptr) args.insert(args.end(), {"-m", format});
        if (!pass.empty() && format == nullptr) args.insert(args.end(), {"-a", "4"});
        run(kKeygen, args);
    };
    keygen("rsa-pem", "rsa", "1024", "PEM", "");
    keygen("rsa-pem-aes", "rsa", "1024", "PEM", "secret");
    keygen("dsa-pem", "dsa", nullptr, "PEM", "");
    keygen("dsa-pem-aes", "dsa", nullptr, "PEM", "secret");
    keygen("ecdsa-pem", "ecdsa", "256", "PEM", "");
    keygen("rsa-openssh", "rsa", "2048", nullptr, "");
    keygen("rsa-openssh-enc", "rsa", "2048", nullptr, "secret");
    keygen("dsa-openssh", "dsa", nullptr, nullptr, "");
    keygen("ed25519-openssh", "ed25519", nullptr, nullptr, "");
    keygen("ed25519-openssh-enc", "ed25519", nullptr, nullptr, "secret");
    keygen("ecdsa-openssh", "ecdsa", "256", nullptr, "");
    keygen("ecdsa-openssh-enc", "ecdsa", "256", nullptr, "secret");
    run(kOpenssl, {"rsa", "-in", dir.file("rsa-pem"), "-des3", "-traditional", "-passout", "pass:secret",
                   "-out", dir.file("rsa-pem-3des")});
    run(kOpenssl, {"pkcs8", "-topk8", "-nocrypt", "-in", dir.file("rsa-pem"), "-out", dir.file("rsa-pkcs8")});
    run(kOpenssl, {"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:secret", "-in",
                   dir.file("rsa-pem"), "-out", dir.file("rsa-pkcs8-enc")});
    run(kOpenssl, {"pkcs8", "-topk8", "-v2", "des3", "-passout", "pass:secret", "-in", dir.file("dsa-pem"),
                   "-out", dir.file("dsa-pkcs8-3des")});
    struct Form {
        const char* name;
        const char* pub;  // the key whose .pub file matches
        const char* pass;
        KeyKind kind;
    };
    const Form forms[] = {
        {"rsa-pem", "rsa-pem", "", KeyKind::kRsa},
        {"rsa-pem-aes", "rsa-pem-aes", "secret", KeyKind::kRsa},
        {"rsa-pem-3des", "rsa-pem", "secret", KeyKind::kRsa},
        {"rsa-pkcs8", "rsa-pem", "", KeyKind::kRsa},
        {"rsa-pkcs8-enc", "rsa-pem", "secret", KeyKind::kRsa},
        {"dsa-pem", "dsa-pem", "", KeyKind::kDss},
        {"dsa-pem-aes", "dsa-pem-aes", "secret", KeyKind::kDss},
        {"dsa-pkcs8-3des", "dsa-pem", "secret", KeyKind::kDss},
        {"ecdsa-pem", "ecdsa-pem", "", KeyKind::kEcdsaP256},
        {"rsa-openssh", "rsa-openssh", "", KeyKind::kRsa},
        {"rsa-openssh-enc", "rsa-openssh-enc", "secret", KeyKind::kRsa},
        {"dsa-openssh", "dsa-openssh", "", KeyKind::kDss},
        {"ed25519-openssh", "ed25519-openssh", "", KeyKind::kEd25519},
        {"ed25519-openssh-enc", "ed25519-openssh-enc", "secret", KeyKind::kEd25519},
        {"ecdsa-openssh", "ecdsa-openssh", "", KeyKind::kEcdsaP256},
        {"ecdsa-openssh-enc", "ecdsa-openssh-enc", "secret", KeyKind::kEcdsaP256},
    };
    std::vector<TestKeyFile> keys;
    for (const Form& f : forms)
        keys.push_back(
            {f.name, dir.file(f.name), f.pass, f.kind, blob_of_pub(dir.file(std::string(f.pub) + ".pub"))});
    return keys;
}

}  // namespace

const std::vector<TestKeyFile>& test_key_files() {
    static const TempDir dir;  // removed when the program ends
    static const std::vector<TestKeyFile> keys = make_keys(dir);
    return keys;
}

const TestKeyFile& test_key_file(std::string_view name) {
    for (const TestKeyFile& key : test_key_files())
        if (key.name == name) return key;
    ADD_FAILURE() << "no test key " << name;
    return test_key_files().front();
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(std::string_view text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    return out;
}

}  // namespace orvane::test
