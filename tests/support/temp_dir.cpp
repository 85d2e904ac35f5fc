// Scratch folders and whole-file helpers for tests.
#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <fstream>
#include <random>
#include <sstream>

namespace orvane::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
    char* p = mkdtemp(tmpl.data());
    path_ = p ? std::string(p) : std::string("/tmp");
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& ch : out) ch = static_cast<char>(gen() & 0xFF);
    return out;
}

void write_all(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

}  // namespace orvane::test
