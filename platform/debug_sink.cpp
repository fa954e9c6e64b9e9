#include "platform/debug_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <mutex>

namespace tw {
namespace {

bool to_stderr() {
    static const bool on = [] {
        const char* v = std::getenv("TARNWELL_DEBUG");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return on;
}

std::mutex& capture_lock() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& capture_fn() {
    static std::function<void(const std::string&)> fn;
    return fn;
}

// Lets the common path skip the lock when nobody captures.
std::atomic<bool> g_capturing{false};

} // namespace

void debug_output(const char* text) {
    if (!text) return;
    if (to_stderr()) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
    if (!g_capturing.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> g(capture_lock());
    if (capture_fn()) capture_fn()(text);
}

void debug_vprintf(const char* format, va_list ap) {
    if (!to_stderr() && !g_capturing.load(std::memory_order_acquire)) return;
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, format, ap);
    debug_output(buf);
}

void debug_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    debug_vprintf(format, ap);
    va_end(ap);
}

void set_debug_capture(std::function<void(const std::string&)> capture) {
    std::lock_guard<std::mutex> g(capture_lock());
    capture_fn() = std::move(capture);
    g_capturing.store(static_cast<bool>(capture_fn()), std::memory_order_release);
}

} // namespace tw
