#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

namespace tw::clock {
namespace {

double read_env_scale() {
    const char* v = std::getenv("TARNWELL_TIME_SCALE");
    double d = 1.0;
    if (!v || !*v || !parse_scale(v, d)) return 1.0;
    return d;
}

std::atomic<double>& factor() {
    static std::atomic<double> f{read_env_scale()};
    return f;
}

const Steady::time_point& start() {
    static const Steady::time_point t = Steady::now();
    return t;
}

} // namespace

bool valid_scale(double f) {
    return std::isfinite(f) && f >= kMinScale && f <= kMaxScale;
}

bool parse_scale(const char* text, double& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const double d = std::strtod(text, &end);
    if (end == text || *end != '\0' || !valid_scale(d)) return false;
    out = d;
    return true;
}

double scale() {
    return factor().load(std::memory_order_relaxed);
}

bool set_scale(double f) {
    if (!valid_scale(f)) return false;
    factor().store(f, std::memory_order_relaxed);
    return true;
}

std::chrono::nanoseconds scaled(std::chrono::milliseconds nominal) {
    if (nominal.count() <= 0) return std::chrono::nanoseconds{0};
    double ns = static_cast<double>(nominal.count()) * 1e6 * scale();
    // Held to about 95 years, so the conversion and a deadline from now stay inside 64 bits.
    return std::chrono::nanoseconds{static_cast<int64_t>(std::min(ns, 3e18))};
}

std::chrono::nanoseconds scaled_timeout(std::chrono::milliseconds nominal) {
    auto s = scaled(nominal);
    // The floor never lengthens a time-out beyond its nominal value.
    // Compared in milliseconds: a long nominal time-out in nanoseconds would overflow.
    const std::chrono::nanoseconds floor =
        std::min<std::chrono::milliseconds>(kTimeoutFloor, nominal);
    return s < floor ? floor : s;
}

void sleep_ms(int64_t nominal_ms) {
    auto d = scaled(std::chrono::milliseconds{nominal_ms});
    if (d.count() > 0) std::this_thread::sleep_for(d);
}

void CancelToken::cancel() {
    {
        std::lock_guard<std::mutex> g(m_);
        cancelled_ = true;
    }
    cv_.notify_all();
}

bool CancelToken::cancelled() const {
    std::lock_guard<std::mutex> g(m_);
    return cancelled_;
}

bool CancelToken::sleep_ms(int64_t nominal_ms) {
    const auto d = scaled(std::chrono::milliseconds{nominal_ms});
    std::unique_lock<std::mutex> g(m_);
    if (d.count() > 0) cv_.wait_for(g, d, [&] { return cancelled_; });
    return !cancelled_;
}

bool sleep_ms(int64_t nominal_ms, CancelToken* token) {
    if (token) return token->sleep_ms(nominal_ms);
    sleep_ms(nominal_ms);
    return true;
}

Steady::time_point deadline_after_ms(int64_t nominal_ms) {
    return Steady::now() + scaled_timeout(std::chrono::milliseconds{nominal_ms});
}

uint64_t tick_ms() {
    (void)start();
    auto real = std::chrono::duration<double, std::milli>(Steady::now() - start()).count();
    return static_cast<uint64_t>(real / scale());
}

// Pin the start point at load so tick_ms counts from process start.
static const bool kStarted = (start(), true);

} // namespace tw::clock
