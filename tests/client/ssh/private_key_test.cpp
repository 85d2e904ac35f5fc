// Private keys: every key-file form loads, gives the blob of its .pub file and signs so that the
// public key (and OpenSSH itself) verifies; pass phrases; bcrypt_pbkdf; the designed edge cases.
#include "client/ssh/private_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include "client/ssh/bcrypt_pbkdf.h"
#include "client/ssh/ssh_buffer.h"
#include "client/ssh/ssh_compat.h"
#include "tests/client/ssh/ssh_test_keys.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvane::ssh {
namespace {

using test::test_key_file;
using test::test_key_files;

std::vector<const char*> algorithms_for(KeyKind kind) {
    switch (kind) {
        case KeyKind::kRsa:
            return {"ssh-rsa", "rsa-sha2-256", "rsa-sha2-512"};
        case KeyKind::kDss:
            return {"ssh-dss"};
        case KeyKind::kEd25519:
            return {"ssh-ed25519"};
        case KeyKind::kEcdsaP256:
            return {"ecdsa-sha2-nistp256"};
        default:
            return {};
    }
}

// An OpenSSH signature file (SSHSIG, namespace "file") over `message`, for `ssh-keygen -Y`.
std::string sshsig(const PrivateKey& key, const char* algorithm, const std::string& message) {
    unsigned char digest[64];
    unsigned int size = 0;
    EVP_Digest(message.data(), message.size(), digest, &size, EVP_sha512(), nullptr);
    SshBuffer data;
    data.put_bytes("SSHSIG");
    data.put_string("file");
    data.put_string("");
    data.put_string("sha512");
    data.put_string(std::string_view(reinterpret_cast<char*>(digest), size));
    std::string signature, error;
    EXPECT_EQ(key.sign(data.view(), algorithm, 0, signature, error), 0) << error;
    SshBuffer blob;
    blob.put_bytes("SSHSIG");
    blob.put_u32(1);
    blob.put_string(key.public_blob());
    blob.put_string("file");
    blob.put_string("");
    blob.put_string("sha512");
    blob.put_string(signature);
    std::string text = base64_encode(blob.view());
    std::string armoured = "-----BEGIN SSH SIGNATURE-----\n";
    for (size_t i = 0; i < text.size(); i += 70) armoured += text.substr(i, 70) + "\n";
    return armoured + "-----END SSH SIGNATURE-----\n";
}

TEST(PrivateKey, EveryFormLoadsAndSignsForItsPublicKey) {
    const std::string data = "data to be signed";
    for (const test::TestKeyFile& file : test_key_files()) {
        SCOPED_TRACE(file.name);
        PrivateKey key;
        std::string error;
        ASSERT_EQ(key.load_file(file.path, file.pass, error), 0) << error;
        EXPECT_EQ(key.kind(), file.kind);
        EXPECT_EQ(key.type_name(), std::string(key_type_name(file.kind)));
        EXPECT_EQ(key.public_blob(), file.public_blob);
        PublicKey public_key;
        ASSERT_EQ(parse_public_key(file.public_blob, public_key, error), 0) << error;
        for (const char* algorithm : algorithms_for(file.kind)) {
            for (uint32_t compat : {0u, uint32_t{kRsaSignatureMd5}, uint32_t{kRawDssSignature}}) {
                SCOPED_TRACE(std::string(algorithm) + " compat " + std::to_string(compat));
                std::string signature;
                ASSERT_EQ(key.sign(data, algorithm, compat, signature, error), 0) << error;
                EXPECT_EQ(verify_signature(public_key, algorithm, signature, data, compat, error), 0)
                    << error;
                EXPECT_NE(verify_signature(public_key, algorithm, signature, data + ".", compat, error), 0);
                if (file.kind == KeyKind::kDss && compat == kRawDssSignature) {
                    EXPECT_EQ(signature.size(), 40u);
                }
            }
        }
        // A signature made with MD5 does not pass as SHA-1, and the reverse.
        if (file.kind == KeyKind::kRsa) {
            std::string md5;
            ASSERT_EQ(key.sign(data, "ssh-rsa", kRsaSignatureMd5, md5, error), 0);
            EXPECT_NE(verify_signature(public_key, "ssh-rsa", md5, data, 0, error), 0);
        }
    }
}

TEST(PrivateKey, OpensshVerifiesOurSignatures) {
    test::TempDir dir;
    const std::string message = "a message for ssh-keygen";
    struct Case {
        const char* key;
        const char* algorithm;
    } cases[] = {{"rsa-openssh", "rsa-sha2-512"},
                 {"rsa-pkcs8-enc", "rsa-sha2-256"},
                 {"ed25519-openssh-enc", "ssh-ed25519"},
                 {"ecdsa-openssh", "ecdsa-sha2-nistp256"},
                 {"ecdsa-pem", "ecdsa-sha2-nistp256"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const test::TestKeyFile& file = test_key_file(c.key);
        PrivateKey key;
        std::string error;
        ASSERT_EQ(key.load_file(file.path, file.pass, error), 0) << error;
        test::write_all(dir.file("sig"), sshsig(key, c.algorithm, message));
        test::ProcessResult r = test::run_process(
            "/usr/bin/ssh-keygen", {"-Y", "check-novalidate", "-n", "file", "-s", dir.file("sig")}, message);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        test::ProcessResult wrong =
            test::run_process("/usr/bin/ssh-keygen",
                              {"-Y", "check-novalidate", "-n", "file", "-s", dir.file("sig")}, message + "!");
        EXPECT_NE(wrong.exit_code, 0) << wrong.output;
    }
}

TEST(PrivateKey, PassPhraseMistakesFailWithAMessage) {
    struct Case {
        const char* key;
        const char* pass;
        const char* cause;
    } cases[] = {
        {"rsa-pem-aes", "wrong", "wrong pass phrase"},
        {"rsa-pem-3des", "wrong", "wrong pass phrase"},
        {"rsa-pkcs8-enc", "wrong", "wrong pass phrase"},
        {"dsa-pkcs8-3des", "", "no pass phrase was given"},
        {"rsa-pem-aes", "", "no pass phrase was given"},
        {"ed25519-openssh-enc", "wrong", "wrong pass phrase"},
        {"ecdsa-openssh-enc", "", "no pass phrase was given"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " with '" + c.pass + "'");
        const test::TestKeyFile& file = test_key_file(c.key);
        PrivateKey key;
        std::string error;
        EXPECT_NE(key.load_file(file.path, c.pass, error), 0);
        EXPECT_FALSE(key.loaded());
        EXPECT_NE(error.find("could not open private key file " + file.path), std::string::npos) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
    }
}

TEST(PrivateKey, UnusableFilesFailWithTheirCause) {
    test::TempDir dir;
    test::write_all(dir.file("garbage"), "not a key\n");
    std::string openssh = test::file_text(test_key_file("ed25519-openssh").path);
    std::string truncated = openssh.substr(0, openssh.size() / 2) + "\n-----END OPENSSH PRIVATE KEY-----\n";
    test::write_all(dir.file("truncated"), truncated);
    // A FIFO with no writer: opening it for reading would wait for ever.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* cause;
    } cases[] = {{dir.file("missing"), "No such file"},         {dir.path(), "a folder"},
                 {dir.file("garbage"), "no private key found"}, {dir.file("truncated"), "damaged key file"},
                 {dir.file("fifo"), "not a regular file"},      {"/dev/null", "not a regular file"}};
    for (const Case& c : cases) {
        PrivateKey key;
        std::string error;
        EXPECT_NE(key.load_file(c.path, "", error), 0) << c.path;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
    }
}

// The designed forms: r of a DSA signature right-aligned in 20 bytes, and an RSA signature
// value always as long as the modulus (a short one gets a leading zero and still verifies).
TEST(PrivateKey, SignatureValuesKeepTheirWidth) {
    std::string error;
    PrivateKey dsa;
    ASSERT_EQ(dsa.load_file(test_key_file("dsa-pem").path, "", error), 0) << error;
    PublicKey dsa_public;
    ASSERT_EQ(parse_public_key(dsa.public_blob(), dsa_public, error), 0);
    bool leading_zero = false;
    for (int i = 0; i < 5000 && !leading_zero; ++i) {
        std::string data = "message " + std::to_string(i), signature;
        ASSERT_EQ(dsa.sign(data, "ssh-dss", kRawDssSignature, signature, error), 0);
        ASSERT_EQ(signature.size(), 40u);
        if (signature[0] != 0) continue;
        leading_zero = true;
        EXPECT_EQ(verify_signature(dsa_public, "ssh-dss", signature, data, kRawDssSignature, error), 0)
            << error;
    }
    EXPECT_TRUE(leading_zero);

    PrivateKey rsa;
    ASSERT_EQ(rsa.load_file(test_key_file("rsa-pem").path, "", error), 0) << error;
    PublicKey rsa_public;
    ASSERT_EQ(parse_public_key(rsa.public_blob(), rsa_public, error), 0);
    bool short_value = false;
    for (int i = 0; i < 5000 && !short_value; ++i) {
        std::string data = "message " + std::to_string(i), signature;
        ASSERT_EQ(rsa.sign(data, "ssh-rsa", 0, signature, error), 0);
        SshBuffer blob(signature);
        blob.get_string();
        std::string value(blob.get_string());
        ASSERT_EQ(value.size(), 128u);
        if (value[0] != 0) continue;
        short_value = true;
        // The same value one byte short, as some servers send it, verifies after padding.
        SshBuffer shortened;
        shortened.put_string("ssh-rsa");
        shortened.put_string(value.substr(1));
        EXPECT_EQ(verify_signature(rsa_public, "ssh-rsa", shortened.view(), data, 0, error), 0) << error;
        // A tampered value does not.
        value[5] ^= 1;
        SshBuffer tampered;
        tampered.put_string("ssh-rsa");
        tampered.put_string(value);
        EXPECT_NE(verify_signature(rsa_public, "ssh-rsa", tampered.view(), data, 0, error), 0);
    }
    EXPECT_TRUE(short_value);
}

TEST(PrivateKey, UserSignatureAlgorithmFollowsServerSigAlgs) {
    struct Case {
        KeyKind kind;
        const char* server_sig_algs;
        const char* algorithm;
    } cases[] = {
        {KeyKind::kRsa, "ssh-ed25519,rsa-sha2-256,rsa-sha2-512", "rsa-sha2-512"},
        {KeyKind::kRsa, "rsa-sha2-256,ssh-rsa", "rsa-sha2-256"},
        {KeyKind::kRsa, "rsa-sha2-2560,xrsa-sha2-512", "ssh-rsa"},
        {KeyKind::kRsa, "", "ssh-rsa"},
        {KeyKind::kEd25519, "rsa-sha2-512", "ssh-ed25519"},
        {KeyKind::kDss, "", "ssh-dss"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(user_signature_algorithm(c.kind, c.server_sig_algs), c.algorithm);
}

TEST(BcryptPbkdf, PublishedVectors) {
    struct Vector {
        std::string pass, salt;
        uint32_t rounds;
        const char* key;
    } vectors[] = {
        {"password", "salt", 4, "5bbf0cc293587f1c3635555c27796598d47e579071bf427e9d8fbe842aba34d9"},
        {"password", std::string(1, '\0'), 4, "c12b566235eee04c212598970a579a67"},
        {std::string(1, '\0'), "salt", 4, "6051be18c2f4f82cbf0efee5471b4bb9"},
        {std::string("password\0", 9), std::string("salt\0", 5), 4,
         "7410e44cf4fa07bfaac8a928b1727fac001375e7bf7384370f48efd121743050"},
    };
    for (const Vector& v : vectors) {
        std::string key;
        ASSERT_EQ(bcrypt_pbkdf(v.pass, v.salt, v.rounds, std::string(v.key).size() / 2, key), 0);
        EXPECT_EQ(test::hex(key), v.key);
    }
    std::string key;
    EXPECT_NE(bcrypt_pbkdf("password", "salt", 0, 16, key), 0);
    EXPECT_NE(bcrypt_pbkdf("password", "", 4, 16, key), 0);
}

}  // namespace
}  // namespace orvane::ssh
