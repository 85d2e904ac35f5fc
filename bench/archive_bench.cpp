// Packing and unpacking a tree of mixed files: our zip writer against `zip -r`, our zip reader
// against `unzip`, and our tgz reader against `tar xzf` (with `tar czf` timed for reference), all
// on the same tree in the same run; then the same zip rows for one 4.6 GiB member (a sparse file)
// and for 70,000 small files. Prints wall and CPU seconds and the ratios peer/ours (above 1: we
// are faster). Usage: archive_bench [MiB (default 1024)] [work folder (default /tmp)] [rows:
// "mixed", "big", "many" or "all" (default)]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "client/actions/archive_actions.h"

namespace fs = std::filesystem;

namespace {

struct Cost {
    double wall = 0;
    double cpu = 0;
};

double cpu_seconds(int who) {
    struct rusage u;
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Cost measure(const std::function<int()>& work, bool child) {
    int who = child ? RUSAGE_CHILDREN : RUSAGE_SELF;
    double cpu0 = cpu_seconds(who);
    auto t0 = std::chrono::steady_clock::now();
    if (work() != 0) {
        std::fprintf(stderr, "a run failed\n");
        std::exit(1);
    }
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
            cpu_seconds(who) - cpu0};
}

int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Mixed files: a third text-like (words, compresses well), a third random (does not compress), a
// third of repeated blocks; sizes from 1 KiB to 8 MiB, 40 files a folder, two levels deep.
void make_tree(const std::string& root, uint64_t total) {
    std::mt19937_64 random(42);
    const char* words[] = {"transfer ",   "archive ", "server ", "schedule ", "report ",
                           "2026-12-08 ", "OK\n",     "ERROR ",  "vsftpd ",   "orvane "};
    uint64_t made = 0;
    for (int n = 0; made < total; ++n) {
        std::string folder = root + "/d" + std::to_string(n / 400) + "/e" + std::to_string(n / 40 % 10);
        fs::create_directories(folder);
        uint64_t size = std::min<uint64_t>(1024ULL << (random() % 14), total - made);
        std::string data;
        data.reserve(size);
        switch (n % 3) {
            case 0:
                while (data.size() < size) data += words[random() % 10];
                break;
            case 1:
                while (data.size() < size) {
                    uint64_t r = random();
                    data.append(reinterpret_cast<const char*>(&r), 8);
                }
                break;
            default: {
                std::string block(4096, '\0');
                for (char& c : block) c = static_cast<char>(random() % 16);
                while (data.size() < size) data += block;
            }
        }
        data.resize(size);
        std::ofstream(folder + "/f" + std::to_string(n) + ".dat", std::ios::binary) << data;
        made += size;
    }
}

void report(const char* what, const Cost& ours, const Cost& peer, const char* peer_name) {
    std::printf(
        "%-8s ours %7.2f s wall %7.2f s CPU | %-8s %7.2f s wall %7.2f s CPU | ratio peer/ours %.2f wall, "
        "%.2f CPU\n",
        what, ours.wall, ours.cpu, peer_name, peer.wall, peer.cpu, peer.wall / ours.wall,
        peer.cpu / ours.cpu);
}

// Our zip against zip and unzip on the tree `name` in `work` (the tree is removed afterwards).
bool zip_rows(const std::string& work, const std::string& name, const char* label) {
    for (const char* d : {"ours_zip", "unzip"}) fs::create_directories(work + "/" + d);
    Cost pack = measure([&] { return orvane::compress_action(work, name, nullptr); }, false);
    Cost zip = measure([&] { return shell("cd " + work + " && zip -qr peer.zip " + name); }, true);
    fs::rename(work + "/" + name + ".zip", work + "/ours_zip/" + name + ".zip");
    Cost unpack =
        measure([&] { return orvane::uncompress_action(work, "ours_zip/" + name + ".zip"); }, false);
    Cost unzip = measure([&] { return shell("cd " + work + " && unzip -q peer.zip -d unzip"); }, true);
    bool same =
        shell("diff -r " + work + "/" + name + " " + work + "/ours_zip/" + name + " > /dev/null") == 0;
    std::printf("%s: unpacked tree %s\n", label, same ? "identical" : "DIFFER");
    report("pack", pack, zip, "zip -r");
    report("unzip", unpack, unzip, "unzip");
    for (const char* d : {"ours_zip", "unzip", "peer.zip"}) fs::remove_all(work + "/" + d);
    fs::remove_all(work + "/" + name);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    std::string base = argc > 2 ? argv[2] : "/tmp";
    std::string rows = argc > 3 ? argv[3] : "all";
    char pattern[4096];
    std::snprintf(pattern, sizeof pattern, "%s/archive-bench-XXXXXX", base.c_str());
    if (!mkdtemp(pattern)) return 1;
    std::string work = pattern;
    bool same = true;
    if (rows == "all" || rows == "big") {
        std::printf("one member of 4.6 GiB (sparse: zeros)\n");
        fs::create_directory(work + "/big");
        same = shell("truncate -s 4710M " + work + "/big/member.dat") == 0 &&
               zip_rows(work, "big", "4.6 GiB member");
    }
    if (rows == "all" || rows == "many") {
        std::printf("70,000 files of a few bytes\n");
        for (int i = 0; i < 70000; ++i) {
            std::string folder = work + "/many/d" + std::to_string(i / 1000);
            if (i % 1000 == 0) fs::create_directories(folder);
            std::ofstream(folder + "/f" + std::to_string(i)) << i;
        }
        same = zip_rows(work, "many", "70,000 files") && same;
    }
    if (rows != "all" && rows != "mixed") {
        fs::remove_all(work);
        return same ? 0 : 1;
    }
    std::printf("making a tree of %llu MiB in %s\n", static_cast<unsigned long long>(mib), work.c_str());
    make_tree(work + "/tree", mib << 20);
    shell("sync");
    for (const char* d : {"ours_zip", "ours_tgz", "unzip", "tar"}) fs::create_directory(work + "/" + d);

    Cost pack = measure([&] { return orvane::compress_action(work, "tree", nullptr); }, false);
    Cost zip = measure([&] { return shell("cd " + work + " && zip -qr peer.zip tree"); }, true);
    Cost tgz = measure([&] { return shell("cd " + work + " && tar czf peer.tgz tree"); }, true);
    fs::rename(work + "/tree.zip", work + "/ours_zip/tree.zip");
    fs::copy_file(work + "/peer.tgz", work + "/ours_tgz/tree.tgz");
    Cost unpack = measure([&] { return orvane::uncompress_action(work, "ours_zip/tree.zip"); }, false);
    Cost unzip = measure([&] { return shell("cd " + work + " && unzip -q peer.zip -d unzip"); }, true);
    Cost untgz = measure([&] { return orvane::uncompress_action(work, "ours_tgz/tree.tgz"); }, false);
    Cost untar = measure([&] { return shell("cd " + work + " && tar xzf peer.tgz -C tar"); }, true);

    same = shell("diff -r " + work + "/tree " + work + "/ours_zip/tree > /dev/null && diff -r " + work +
                 "/tree " + work + "/ours_tgz/tree > /dev/null") == 0 &&
           same;
    std::printf("archive sizes: ours %.1f MiB, zip %.1f MiB, tar czf %.1f MiB; unpacked trees %s\n",
                fs::file_size(work + "/ours_zip/tree.zip") / 1048576.0,
                fs::file_size(work + "/peer.zip") / 1048576.0, fs::file_size(work + "/peer.tgz") / 1048576.0,
                same ? "identical" : "DIFFER");
    report("pack", pack, zip, "zip -r");
    report("pack", pack, tgz, "tar czf");
    report("unzip", unpack, unzip, "unzip");
    report("untgz", untgz, untar, "tar xzf");
    fs::remove_all(work);
    return same ? 0 : 1;
}
