// Fuzzes what the mail engine reads from a server: replies cut where the first byte says, under the
// mail engine's reader limits, then the EHLO reader and the printable form of every line; then the
// same bytes as a whole conversation with the engine.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/transfer/smtp/smtp_capabilities.h"
#include "client/transfer/smtp/smtp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t chunk = data[0] % 31 + 1;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    orvane::ReplyReader reader(orvane::kSmtpReplyLimits);
    orvane::ServerReply reply;
    for (size_t i = 0; i < text.size(); i += chunk) {
        if (reader.feed(text.substr(i, chunk)) != 0) break;
        while (reader.take(reply) == 1) {
            if (reply.lines.empty() || reply.lines.size() > orvane::kSmtpReplyLimits.max_lines) abort();
            orvane::SmtpCapabilities caps = orvane::parse_ehlo_reply(reply.lines);
            if (static_cast<int>(caps.auth) < 0 || static_cast<int>(caps.auth) > 3) abort();
            for (const auto& line : reply.lines) {
                std::string shown = orvane::printable_line(line);
                for (unsigned char c : shown)
                    if (c < 0x20 || c == 0x7f) abort();
                if (shown.size() > 4 * line.size()) abort();
            }
        }
    }
    reader.finish();

    // The conversation: whatever the server says, every line that goes out is one line, and the
    // engine ends (or waits) rather than running on.
    orvane::SmtpDelivery d;
    d.log = [](void*, const char*, int, int) {};
    d.host = "mail.example.org";
    d.user = "user";
    d.password = "password";
    d.from_address = "a@example.org";
    d.recipients = {"b@example.org"};
    orvane::SmtpEngine engine(d);
    engine.start(orvane::SmtpCommand::kGreeting);
    engine.connected("127.0.0.1", 40000);
    for (size_t i = 0; i < text.size() + chunk; i += chunk) {
        if (i < text.size()) {
            engine.receive(text.substr(i, chunk));
        } else {
            engine.closed();
        }
        for (int calls = 0; calls < 64; ++calls) {
            orvane::LineNext next = engine.next();
            if (next.kind == orvane::LineNext::kStartTls) continue;  // the next call finds TLS on
            std::string out = engine.take_output();
            size_t end = out.find("\r\n");
            if (!out.empty() && (end == std::string::npos || end + 2 != out.size())) abort();
            if (next.kind == orvane::LineNext::kFinish || out.empty()) break;
        }
    }
    if (engine.next().kind != orvane::LineNext::kFinish) abort();
    return 0;
}
