// Streams data over loopback into one Connection with a discarding receive handler, and through
// a plain blocking recv() loop with the same 8192-byte buffer; prints throughput and CPU cost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/transfer/net/connection.h"
#include "client/transfer/net/transfer_engine.h"
#include "platform/event.h"

namespace {

using orvane::Connection;

constexpr size_t kSendChunk = 256 * 1024;

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A listener on 127.0.0.1 whose first accepted peer gets `total` bytes, then a close.
struct Sender {
    int listen_fd = -1;
    uint16_t port = 0;
    std::thread thread;

    explicit Sender(uint64_t total) {
        listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_fd, 1);
        socklen_t len = sizeof a;
        getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this, total] {
            int fd = ::accept(listen_fd, nullptr, nullptr);
            std::vector<char> chunk(kSendChunk, 'x');
            uint64_t sent = 0;
            while (sent < total) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(kSendChunk, total - sent));
                ssize_t r = ::send(fd, chunk.data(), n, MSG_NOSIGNAL);
                if (r <= 0) break;
                sent += static_cast<uint64_t>(r);
            }
            ::close(fd);
        });
    }
    ~Sender() {
        thread.join();
        ::close(listen_fd);
    }
};

struct Measure {
    double seconds = 0;
    double cpu = 0;
    uint64_t bytes = 0;
};

// ---- through the engine ----

struct EngineRun {
    uint16_t port = 0;
    uint64_t bytes = 0;  // group thread only until finish
    double cpu_start = 0, cpu_end = 0;
};

int discard(Connection& c, const uint8_t*, size_t n) {
    static_cast<EngineRun*>(c.step_state.context)->bytes += n;
    return 0;
}
int nothing_to_send(Connection&, uint8_t*, size_t* length, size_t) {
    *length = 0;
    return 1;
}
void idle(Connection&) {}

enum class BenchState : int { kConnect = 0, kConnecting = 1, kReceiving = 2 };

void receive_step(Connection& c) {
    auto& run = *static_cast<EngineRun*>(c.step_state.context);
    auto& state = c.step_state.state;
    switch (static_cast<BenchState>(state)) {
        case BenchState::kConnect:
            c.address_text = "127.0.0.1";
            c.port = run.port;
            if (orvane::connect_socket(c) != 0) {
                orvane::finish_step(c, 1);
                return;
            }
            orvane::register_events(c, orvane::kNetWrite | orvane::kNetConnect);
            state = static_cast<int>(BenchState::kConnecting);
            return;
        case BenchState::kConnecting:
            if (!c.network_events.ok(orvane::kNetWrite, orvane::kNetWriteIndex)) {
                if (c.network_events.has(orvane::kNetConnect) &&
                    c.network_events.errors[orvane::kNetConnectIndex]) {
                    orvane::finish_step(c, 1);
                }
                return;
            }
            run.cpu_start = thread_cpu_seconds();
            state = static_cast<int>(BenchState::kReceiving);
            orvane::start_receive(c);
            return;
        case BenchState::kReceiving:
            if (c.network_events.has(orvane::kNetClose)) {
                run.cpu_end = thread_cpu_seconds();
                orvane::close_socket(c);
                orvane::finish_step(c, 0);
            } else if (c.network_events.has(orvane::kNetRead)) {
                orvane::start_receive(c);
            }
            return;
    }
}

void done(int, void* owner, int result) {
    *static_cast<int*>(owner) = result;
}

Measure run_engine(uint64_t total) {
    Sender sender(total);
    auto engine = orvane::TransferEngine::start(nullptr, nullptr);
    orvane::ConnectionSetup setup;
    setup.on_receive = discard;
    setup.on_send = nothing_to_send;
    setup.default_step = idle;
    Connection* c = engine->open_connection(setup);
    EngineRun run;
    run.port = sender.port;
    c->step_state.context = &run;
    orvane::platform::Event woken;
    orvane::Notifier notify{[](void* e) { static_cast<orvane::platform::Event*>(e)->set(); }, &woken};
    int result = -1;
    auto t0 = std::chrono::steady_clock::now();
    orvane::post_step(*c, receive_step, done, 0, notify, &result);
    while (result == -1) {
        woken.wait(1000);
        woken.reset();
        engine->pump_completions();
    }
    auto t1 = std::chrono::steady_clock::now();
    Measure m;
    m.seconds = std::chrono::duration<double>(t1 - t0).count();
    m.cpu = run.cpu_end - run.cpu_start;
    m.bytes = run.bytes;
    engine->close_connection(c);
    return m;
}

// ---- plain blocking loop ----

Measure run_plain(uint64_t total) {
    Sender sender(total);
    Measure m;
    std::thread receiver([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(sender.port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto t0 = std::chrono::steady_clock::now();
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        double c0 = thread_cpu_seconds();
        char buffer[8192];
        for (;;) {
            ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
            if (r <= 0) break;
            m.bytes += static_cast<uint64_t>(r);
        }
        m.cpu = thread_cpu_seconds() - c0;
        m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ::close(fd);
    });
    receiver.join();
    return m;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    double gib = argc > 1 ? std::atof(argv[1]) : 1.0;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    if (gib <= 0 || repeats <= 0) {
        std::fprintf(stderr, "usage: loopback_receive_bench [GiB=1] [repeats=3]\n");
        return 2;
    }
    uint64_t total = static_cast<uint64_t>(gib * 1024 * 1024 * 1024);
    std::vector<double> engine_mbs, plain_mbs, engine_cpu, plain_cpu, ratios;
    for (int i = 0; i < repeats; ++i) {
        Measure e = run_engine(total);
        Measure p = run_plain(total);
        if (e.bytes != total || p.bytes != total) {
            std::fprintf(stderr, "short transfer: engine %llu, plain %llu of %llu bytes\n",
                         static_cast<unsigned long long>(e.bytes), static_cast<unsigned long long>(p.bytes),
                         static_cast<unsigned long long>(total));
            return 1;
        }
        double gib_done = static_cast<double>(total) / (1024.0 * 1024 * 1024);
        engine_mbs.push_back(static_cast<double>(total) / e.seconds / 1e6);
        plain_mbs.push_back(static_cast<double>(total) / p.seconds / 1e6);
        engine_cpu.push_back(e.cpu / gib_done);
        plain_cpu.push_back(p.cpu / gib_done);
        ratios.push_back(engine_mbs.back() / plain_mbs.back());
        std::printf(
            "run %d: engine %.0f MB/s (%.2f CPU s/GiB), plain recv %.0f MB/s (%.2f CPU s/GiB), ratio %.2f\n",
            i + 1, engine_mbs.back(), engine_cpu.back(), plain_mbs.back(), plain_cpu.back(), ratios.back());
    }
    std::printf(
        "median of %d x %.2f GiB: engine %.0f MB/s, plain recv %.0f MB/s, ratio %.2f; "
        "receiver CPU s/GiB: engine %.2f, plain %.2f\n",
        repeats, gib, median(engine_mbs), median(plain_mbs), median(ratios), median(engine_cpu),
        median(plain_cpu));
    return 0;
}
