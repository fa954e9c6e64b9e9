#include "platform/sync.h"

#include "platform/clock.h"

namespace tw {

void ManualResetEvent::set() {
    {
        std::lock_guard<std::mutex> g(m_);
        set_ = true;
        ++generation_;
    }
    cv_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard<std::mutex> g(m_);
    set_ = false;
}

bool ManualResetEvent::is_set() const {
    std::lock_guard<std::mutex> g(m_);
    return set_;
}

void ManualResetEvent::abandon() {
    {
        std::lock_guard<std::mutex> g(m_);
        abandoned_ = true;
        ++generation_;
    }
    cv_.notify_all();
}

WaitResult ManualResetEvent::wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> g(m_);
    const uint64_t gen = generation_;
    auto done = [&] { return set_ || abandoned_ || generation_ != gen; };
    if (!cv_.wait_until(g, deadline, done)) return WaitResult::Timeout;
    return abandoned_ ? WaitResult::Abandoned : WaitResult::Signalled;
}

WaitResult ManualResetEvent::wait_real(std::chrono::nanoseconds d) {
    return wait_until(std::chrono::steady_clock::now() + d);
}

WaitResult ManualResetEvent::wait_ms(int64_t nominal_ms) {
    if (nominal_ms < 0) {
        std::unique_lock<std::mutex> g(m_);
        const uint64_t gen = generation_;
        cv_.wait(g, [&] { return set_ || abandoned_ || generation_ != gen; });
        return abandoned_ ? WaitResult::Abandoned : WaitResult::Signalled;
    }
    return wait_until(clock::deadline_after_ms(nominal_ms));
}

} // namespace tw
