// Fuzzes the SFTP engine with a hostile server: the input is the server's byte stream, cut where
// the first byte says, answering an operation chosen by the second byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/ssh/sftp/sftp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t chunk = data[0] % 61 + 1;
    int which = data[1] % 7;
    std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
    orvane::sftp::Client c(nullptr, nullptr);
    c.start();
    size_t pos = 0;
    bool started = false;
    for (; pos < stream.size(); pos += chunk) {
        c.receive(stream.substr(pos, chunk));
        c.take_output();
        if (c.step() != orvane::sftp::kPending) {
            if (started || c.broken()) break;
            started = true;
            orvane::sftp::Transfer t;
            t.remote_path = "/f";
            t.local_path = "/dev/null";
            t.preserve_time = false;
            switch (which) {
                case 0:
                    c.list();
                    break;
                case 1:
                    c.download(t);
                    break;
                case 2:
                    c.change_directory("/x");
                    break;
                case 3:
                    c.current_directory();
                    break;
                case 4:
                    c.stat("/f");
                    break;
                case 5:
                    c.set_time("/f", 1);
                    break;
                default:
                    c.remove("/f");
                    break;
            }
        }
    }
    c.receive_closed();
    if (c.step() == orvane::sftp::kPending) abort();  // a closed stream always ends the operation
    if (c.busy()) abort();
    if (c.listing().size() > orvane::sftp::kMaxListing) abort();
    for (const auto& e : c.listing())
        if (e.name.find('/') != std::string::npos || e.name == "." || e.name == "..") abort();
    return 0;
}
