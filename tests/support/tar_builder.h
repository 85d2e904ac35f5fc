// Tar archives built byte by byte for tests and fuzz seeds: ustar headers with a right checksum,
// so hostile names and odd types can be written that no tar tool would make.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace orvane::test {

inline std::string tar_header(const std::string& name, size_t size, char type = '0', long mtime = 1700000000,
                              const std::string& prefix = "") {
    std::string h(512, '\0');
    memcpy(&h[0], name.data(), std::min<size_t>(name.size(), 100));
    snprintf(&h[100], 8, "%07o", 0644);
    snprintf(&h[108], 8, "%07o", 0);
    snprintf(&h[116], 8, "%07o", 0);
    char number[16];
    snprintf(number, sizeof number, "%011lo", static_cast<unsigned long>(size));
    memcpy(&h[124], number, 11);
    snprintf(number, sizeof number, "%011lo", static_cast<unsigned long>(mtime));
    memcpy(&h[136], number, 11);
    h[156] = type;
    memcpy(&h[257], "ustar", 6);
    memcpy(&h[263], "00", 2);
    memcpy(&h[345], prefix.data(), std::min<size_t>(prefix.size(), 155));
    memset(&h[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    snprintf(number, sizeof number, "%06o", sum);
    memcpy(&h[148], number, 7);
    return h;
}

inline std::string tar_member(const std::string& name, const std::string& data, char type = '0') {
    std::string m = tar_header(name, data.size(), type) + data;
    m.append((512 - data.size() % 512) % 512, '\0');
    return m;
}

inline std::string tar_end() {
    return std::string(1024, '\0');
}

}  // namespace orvane::test
