// Mail delivery time against aiosmtpd on loopback: our engine versus curl, same message, same run.
// Usage: mail_bench [MiB of attachment] [runs]
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "client/actions/mail/mail_format.h"
#include "client/actions/mail/mailer.h"
#include "client/transfer/tls/tls_context.h"
#include "common/log.h"
#include "tests/support/any_certificate.h"
#include "tests/support/process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Waiter {
    std::mutex lock;
    std::condition_variable ready;
    bool woken = false, done = false;
    int result = -1;
};

void wake(void* context) {
    auto* w = static_cast<Waiter*>(context);
    std::lock_guard<std::mutex> hold(w->lock);
    w->woken = true;
    w->ready.notify_all();
}

void on_done(void* context, int result) {
    auto* w = static_cast<Waiter*>(context);
    w->result = result;
    w->done = true;
}

void quiet(void*, const char* text, int level, int) {
    if (level == orvane::kLevelError) orvane::output(text, level, 1);
}

void print_sink(void*, const char* text, int, int) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvane;
    set_output_sink(print_sink, nullptr);
    EngineOwner engines(
        FilterProviders{.tls = openssl_tls_provider(), .ssh = {}, .certificates = test::any_certificate()});
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    test::TempDir dir;
    std::string payload(mib << 20, '\0');
    std::mt19937 gen(7);
    for (char& c : payload) c = static_cast<char>(gen());
    test::write_all(dir.file("payload.bin"), payload);

    test::SmtpServer server;
    if (server.start() != 0) {
        outputf(kLevelError, "aiosmtpd: %s", server.error().c_str());
        return 1;
    }
    Waiter w;
    MailRecordPtr record = create_mail_record(engines, quiet, nullptr, Notifier{wake, &w}, 120);
    mail_create(*record, "Bench", "bench@example.org", "Payload", "The payload is attached.");
    if (mail_attach(*record, dir.file("payload.bin")) != 0) return 1;

    // curl sends the same message text (it does its own dot stuffing and adds the end line).
    MailMessage m;
    std::string error;
    fill_message(m, "Bench", "bench@example.org", "Payload", "The payload is attached.", error);
    attach_file(m, dir.file("payload.bin"), error);
    MailEnvelope e{"Sink", "sink@example.org", mail_date_text(0), mail_message_id(0), "127.0.0.1", {}};
    std::string text = build_message_text(m, e);
    text.resize(text.size() - 3);  // without ".\r\n"
    test::write_all(dir.file("message.eml"), text);

    std::string url = "smtp://127.0.0.1:" + std::to_string(server.port());
    for (int run = 0; run < runs; ++run) {
        MailServer target;
        target.host = "127.0.0.1";
        target.port = static_cast<uint32_t>(server.port());
        target.to_name = "Sink";
        target.to_address = "sink@example.org";
        w.done = false;
        auto start = Clock::now();
        if (mail_send(*record, target, MailDone{on_done, &w}) != 0) return 1;
        while (!w.done) {
            {
                std::unique_lock<std::mutex> hold(w.lock);
                w.ready.wait_for(hold, std::chrono::milliseconds(200), [&] { return w.woken; });
                w.woken = false;
            }
            pump_mail_completions(engines);
        }
        double ours = std::chrono::duration<double>(Clock::now() - start).count();
        start = Clock::now();
        test::ProcessResult r =
            test::run_process("/usr/bin/curl",
                              {"-sS", "--url", url, "--mail-from", "bench@example.org", "--mail-rcpt",
                               "sink@example.org", "--upload-file", dir.file("message.eml")},
                              {}, false, std::chrono::minutes(10));
        double curl = std::chrono::duration<double>(Clock::now() - start).count();
        if (w.result != 0 || r.exit_code != 0) {
            outputf(kLevelError, "a delivery failed (ours %d, curl %d: %s)", w.result, r.exit_code,
                    r.output.c_str());
            return 1;
        }
        outputf(kLevelInfo, "run %d: %zu MiB attached | ours %6.2f s | curl %6.2f s | ours/curl speed %.2f",
                run + 1, mib, ours, curl, curl / ours);
    }
    return 0;
}
