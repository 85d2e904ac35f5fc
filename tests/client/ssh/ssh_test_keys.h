// Key files for the SSH tests, made once per test program with ssh-keygen and openssl.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/ssh/ssh_key.h"

namespace orvane::test {

struct TestKeyFile {
    std::string name;  // the form, e.g. "rsa-pem-3des"
    std::string path;
    std::string pass;  // empty for a plain key
    ssh::KeyKind kind;
    std::string public_blob;  // from the matching .pub file that ssh-keygen wrote
};

// Every key-file form: RSA and DSA PEM (plain, encrypted, 3DES), PKCS #8 (plain, encrypted),
// ECDSA PEM, OpenSSH format RSA/DSA/Ed25519/ECDSA (plain and bcrypt-encrypted).
const std::vector<TestKeyFile>& test_key_files();
const TestKeyFile& test_key_file(std::string_view name);

// The text of a file.
std::string file_text(const std::string& path);
std::string hex(std::string_view bytes);
std::string unhex(std::string_view text);

}  // namespace orvane::test
