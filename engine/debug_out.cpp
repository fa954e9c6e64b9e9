#include "engine/debug_out.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sondrel {
namespace {

bool debug_enabled() {
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

DebugCapture& capture() {
    static DebugCapture c;
    return c;
}

// Lets the common path skip the lock when nobody captures.
std::atomic<bool> g_capturing{false};

} // namespace

void DebugOutput(const char* text) {
    if (!text) return;
    if (debug_enabled()) std::fputs(text, stderr);
    if (g_capturing.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> g(capture_lock());
        if (capture()) capture()(text);
    }
}

void DebugPrintf(const char* format, ...) {
    if (!debug_enabled() && !g_capturing.load(std::memory_order_acquire)) return;
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    DebugOutput(line);
}

void SetDebugCapture(DebugCapture c) {
    std::lock_guard<std::mutex> g(capture_lock());
    capture() = std::move(c);
    g_capturing.store(static_cast<bool>(capture()), std::memory_order_release);
}

} // namespace sondrel
