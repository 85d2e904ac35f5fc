// A scratch folder for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace orvane::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_all(const std::string& path);
// n pseudo-random bytes, the same for the same seed: test file contents.
std::string random_bytes(size_t n, unsigned seed = 1);
void write_all(const std::string& path, const std::string& data);

}  // namespace orvane::test
