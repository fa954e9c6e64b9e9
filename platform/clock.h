#pragma once
// The one clock every sleep and time-out goes through. TARNWELL_TIME_SCALE (default 1)
// multiplies every wait, so tests and the demo run a minutes-long cycle in seconds.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tw::clock {

using Steady = std::chrono::steady_clock;

// The factors a user may give. Below the lowest every wait of the system (the longest is
// minutes) is already under a millisecond; above the highest a one-minute wait lasts days.
// Keeping to this range also keeps every scaled time far inside the clock's 64-bit count.
constexpr double kMinScale = 1e-6;
constexpr double kMaxScale = 1e3;
// True for a finite factor from kMinScale to kMaxScale.
bool valid_scale(double factor);
// Parses a factor as a user gives it ("0.01", "1e-3"); false for anything else, or a value
// outside the range.
bool parse_scale(const char* text, double& factor);

// The factor in force: TARNWELL_TIME_SCALE read once (1 when unset or not valid), or what
// set_scale gave.
double scale();
// Overrides the factor for this process (command-line --time-scale, tests). Factors that are
// not valid_scale are refused.
bool set_scale(double factor);

// A nominal wait turned into the real time it lasts.
std::chrono::nanoseconds scaled(std::chrono::milliseconds nominal);

// Receive time-outs keep a floor far above the link's real latency, so scaled runs are not flaky.
constexpr std::chrono::milliseconds kTimeoutFloor{200};
std::chrono::nanoseconds scaled_timeout(std::chrono::milliseconds nominal);

// Sleeps for a nominal number of milliseconds, scaled.
void sleep_ms(int64_t nominal_ms);

// The stop signal of one group of waits (a module's): cancel() ends every sleep made with it at
// once, and every later one returns at once. It is never reset.
class CancelToken {
  public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void cancel();
    bool cancelled() const;
    // Sleeps a nominal number of milliseconds, scaled. False when cancelled before or during
    // the sleep.
    bool sleep_ms(int64_t nominal_ms);

  private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool cancelled_ = false;
};

// As sleep_ms above, woken by the token when one is given. False when it was cancelled.
bool sleep_ms(int64_t nominal_ms, CancelToken* token);

// A deadline a nominal time-out from now (with the floor).
Steady::time_point deadline_after_ms(int64_t nominal_ms);

// Milliseconds of nominal time since the process started: real elapsed time divided by the scale.
// Stands in for a tick count when comparing ages (last activity, report waits).
uint64_t tick_ms();

} // namespace tw::clock
