#include "platform/debug_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

} // namespace

void debug_output(const char* text) {
    if (!text) return;
    if (to_stderr()) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
    std::lock_guard<std::mutex> g(capture_lock());
    if (capture_fn()) capture_fn()(text);
}

void debug_printf(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    debug_output(buf);
}

void set_debug_capture(std::function<void(const std::string&)> capture) {
    std::lock_guard<std::mutex> g(capture_lock());
    capture_fn() = std::move(capture);
}

} // namespace tw
