// The process-wide output sink.
#include "common/log.h"

#include <atomic>
#include <cstdarg>
#include <forward_list>
#include <mutex>

#include "common/text.h"

namespace orvane {

namespace {

struct SinkBinding {
    OutputSink sink;
    void* context;
};

// Every binding ever installed stays alive, so a thread still calling through an old one is safe;
// installs are a handful per process.
std::mutex g_install_lock;
std::forward_list<SinkBinding> g_bindings;
std::atomic<const SinkBinding*> g_current{nullptr};

}  // namespace

void set_output_sink(OutputSink sink, void* context) {
    std::lock_guard<std::mutex> hold(g_install_lock);
    for (const SinkBinding& b : g_bindings) {
        if (b.sink == sink && b.context == context) {
            g_current.store(&b, std::memory_order_release);
            return;
        }
    }
    g_bindings.push_front(SinkBinding{sink, context});
    g_current.store(&g_bindings.front(), std::memory_order_release);
}

void output(const char* text, int level, int line_end) {
    const SinkBinding* b = g_current.load(std::memory_order_acquire);
    if (b && b->sink) b->sink(b->context, text, level, line_end);
}

void output_to(OutputSink sink, void* context, const char* text, int level, int line_end) {
    if (sink) {
        sink(context, text, level, line_end);
    } else {
        output(text, level, line_end);
    }
}

void outputf(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    output(s.c_str(), level, 1);
}

}  // namespace orvane
