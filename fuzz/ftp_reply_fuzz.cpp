// Fuzzes the reply reader (input split where the first byte says) and the reply-text helpers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/transfer/text/ftp_text.h"
#include "client/transfer/text/reply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t chunk = data[0] % 17 + 1;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    orvane::ReplyReader reader(orvane::ReplyLimits{390, 50, 4096});
    orvane::ServerReply reply;
    for (size_t i = 0; i < text.size(); i += chunk) {
        if (reader.feed(text.substr(i, chunk)) != 0) break;
        while (reader.take(reply) == 1) {
            if (reply.lines.empty() || reply.code < 0 || reply.code > 999) abort();
            for (const auto& line : reply.lines)
                if (line.size() > 390) abort();
            const std::string& last = reply.lines.back();
            orvane::PassiveAddress a;
            if (orvane::parse_pasv_reply(last, a) == 0 && (a.port < 1 || a.port > 65535)) abort();
            std::string path, cmd;
            orvane::reply_quoted_path(last, path);
            uint64_t t = 0;
            orvane::parse_mdtm_time(last, t);
            if (orvane::build_port_command(orvane::reply_token(last), 21, cmd) == 0 && cmd.size() > 40)
                abort();
        }
    }
    reader.finish();
    return 0;
}
