// Peak memory of a listing flood: a scripted server sends a listing of tiny names (LIST lines, or NLST
// names up to past the entry limit) and the process's peak resident size is read afterwards.
// listing_memory_bench [MB] [list|nlst]
#include <sys/resource.h>

#include <cstdlib>
#include <string>

#include "bench/ftp/bench_common.h"
#include "client/frontend/output.h"

namespace {

using namespace orvane;

double peak_rss_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // KiB on Linux
}

}  // namespace

int main(int argc, char** argv) {
    install_standard_output();
    size_t mb = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 10;
    bool names = argc > 2 && std::string(argv[2]) == "nlst";
    // Every entry's name is two characters long.
    const std::string line = names ? "ab\\r\\n" : "-rw-r--r-- 1 u g 1 Jan 1 2020 ab\\r\\n";
    const size_t wire_line = names ? 4 : 34;
    const size_t count = mb * 1000 * 1000 / wire_line;
    test::ScriptedFtpServer server;
    std::string script =
        "> 220 scripted\n< USER u\n> 331 need password\n< PASS p\n> 230 in\n< PWD\n> 257 \"/\"\n"
        "< TYPE A\n> 200 ascii\n< PASV\n> 227 Entering Passive Mode (127,0,0,1,{DATA})\n";
    script += names ? "< NLST\n" : "< LIST\n";
    script += "> 150 here\ndata-repeat " + std::to_string(count) + " " + line + "\n> 226 done\n";
    if (server.start(script) != 0) return 1;
    double before = peak_rss_mib();
    test::FtpSessionHarness h;
    h.s().log_enabled = 0;
    if (h.connect(server.port(), "u", "p") != 0) return 1;
    h.s().listing_kind = names ? 1 : 0;
    auto start = bench::Clock::now();
    int r = h.listing();
    double seconds = bench::seconds_since(start);
    outputf(kLevelInfo,
            "%s listing of %zu MB (%zu lines of 2-byte names): result %d, %zu entries kept in %.1f MiB, "
            "%.2f s; peak RSS %.1f MiB (%.1f MiB before the session)",
            names ? "NLST" : "LIST", mb, count, r, h.s().listing.size(),
            static_cast<double>(h.s().listing.bytes_held()) / (1024.0 * 1024.0), seconds, peak_rss_mib(),
            before);
    return peak_rss_mib() < 256.0 ? 0 : 1;
}
