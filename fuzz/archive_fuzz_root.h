// The scratch folders of the archive fuzz targets: a destination with a symbolic link that points
// out of it, and an outside folder that must stay empty whatever an archive holds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace orvane::fuzz {

class FuzzRoot {
  public:
    FuzzRoot() {
        char pattern[] = "/tmp/orvane-archive-fuzz-XXXXXX";
        root_ = mkdtemp(pattern) ? pattern : "";
        if (root_.empty()) std::abort();
        std::filesystem::create_directory(root_ + "/outside");
        reset();
    }
    ~FuzzRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::string dest() const { return root_ + "/dest"; }
    std::string input() const { return root_ + "/input"; }

    // A fresh destination holding only the link "out" -> "../outside".
    void reset() {
        std::filesystem::remove_all(dest());
        std::filesystem::create_directory(dest());
        std::filesystem::create_directory_symlink("../outside", dest() + "/out");
    }

    // Aborts when anything appeared beside the destination or in the outside folder.
    void check_nothing_outside() const {
        if (!std::filesystem::is_empty(root_ + "/outside")) std::abort();
        for (const auto& e : std::filesystem::directory_iterator(root_)) {
            std::string name = e.path().filename().string();
            if (name != "dest" && name != "outside" && name != "input") std::abort();
        }
    }

  private:
    std::string root_;
};

}  // namespace orvane::fuzz
