#pragma once
// Locks and events with the semantics the link code was designed around: recursive critical
// sections and manual-reset events whose waits go through the scaled clock.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tw {

// A critical section: recursive, like the one it stands in for.
class Lock {
public:
    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }
    bool try_lock() { return m_.try_lock(); }

private:
    std::recursive_mutex m_;
};

using LockGuard = std::lock_guard<Lock>;

enum class WaitResult { Signalled, Timeout, Abandoned };

// Manual-reset event. set() wakes every waiter and stays set until reset(). A set() followed at
// once by reset() still wakes the waiters that were waiting (a pulse), which the receive path
// relies on to release a reader when its queue is cleared.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initially = false) : set_(initially) {}

    void set();
    void reset();
    bool is_set() const;
    // Marks the event as gone: current and later waits end with Abandoned.
    void abandon();

    // Waits a nominal time-out (scaled, with the receive floor); negative waits for ever.
    WaitResult wait_ms(int64_t nominal_ms);
    // Waits until a real deadline.
    WaitResult wait_until(std::chrono::steady_clock::time_point deadline);
    // Waits for a real duration, unscaled (callers that already scaled).
    WaitResult wait_real(std::chrono::nanoseconds d);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool set_;
    bool abandoned_ = false;
    uint64_t generation_ = 0;
};

} // namespace tw
