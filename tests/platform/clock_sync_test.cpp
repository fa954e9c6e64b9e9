#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "platform/sync.h"

namespace {

using namespace std::chrono;

struct ScaleGuard {
    explicit ScaleGuard(double s) { tw::clock::set_scale(s); }
    ~ScaleGuard() { tw::clock::set_scale(1.0); }
};

TEST(Clock, ScalesWaitsAndKeepsAFloorOnTimeouts) {
    ScaleGuard g(0.01);
    EXPECT_EQ(tw::clock::scaled(milliseconds(1000)), milliseconds(10));
    EXPECT_EQ(tw::clock::scaled(milliseconds(0)), nanoseconds(0));
    EXPECT_EQ(tw::clock::scaled_timeout(milliseconds(60000)), milliseconds(600));
    EXPECT_EQ(tw::clock::scaled_timeout(milliseconds(5000)), tw::clock::kTimeoutFloor);
    // The floor never makes a short time-out longer than asked.
    EXPECT_EQ(tw::clock::scaled_timeout(milliseconds(50)), milliseconds(50));
    // Only finite factors from 1e-6 to 1000: beyond them a scaled time leaves 64 bits.
    for (double bad : {0.0, -1.0, 1e12, 1e-300, 1001.0, 9e-7, double{HUGE_VAL}, double{NAN}})
        EXPECT_FALSE(tw::clock::set_scale(bad)) << bad;
    EXPECT_DOUBLE_EQ(tw::clock::scale(), 0.01);
    double d = 0;
    for (const char* bad : {"inf", "nan", "1e12", "1e-300", "", "0.5x", "-0.5"})
        EXPECT_FALSE(tw::clock::parse_scale(bad, d)) << bad;
    ASSERT_TRUE(tw::clock::parse_scale("1e-6", d));
    ASSERT_TRUE(tw::clock::set_scale(d));
    // The longest wait that can be asked for stays a wait, not an overflow.
    EXPECT_GT(tw::clock::scaled(milliseconds(INT64_MAX / 2)).count(), 0);
    ASSERT_TRUE(tw::clock::set_scale(1000));
    EXPECT_GT(tw::clock::scaled(milliseconds(INT64_MAX / 2)).count(), 0);
    EXPECT_GT(tw::clock::deadline_after_ms(INT64_MAX / 2), steady_clock::now());
}

TEST(Clock, SleepIsScaled) {
    ScaleGuard g(0.001);
    auto t0 = steady_clock::now();
    tw::clock::sleep_ms(10000); // 10 s nominal
    auto real = steady_clock::now() - t0;
    EXPECT_GE(real, milliseconds(10));
    EXPECT_LT(real, milliseconds(5000));
}

TEST(Clock, ACancelledTokenEndsItsSleepsNowAndLater) {
    ScaleGuard g(1.0);
    tw::clock::CancelToken token;
    EXPECT_TRUE(token.sleep_ms(1));
    EXPECT_TRUE(tw::clock::sleep_ms(1, nullptr));
    std::thread t([&] {
        std::this_thread::sleep_for(milliseconds(30));
        token.cancel();
    });
    auto t0 = steady_clock::now();
    EXPECT_FALSE(tw::clock::sleep_ms(20000, &token)); // 20 s nominal, woken by the cancel
    // Far below the 20 s the sleep was asked for: the cancel woke it.
    EXPECT_LT(steady_clock::now() - t0, seconds(10));
    t.join();
    EXPECT_TRUE(token.cancelled());
    t0 = steady_clock::now();
    EXPECT_FALSE(token.sleep_ms(20000));
    EXPECT_LT(steady_clock::now() - t0, seconds(10));
}

TEST(ManualResetEvent, StaysSetUntilReset) {
    tw::ManualResetEvent e;
    EXPECT_FALSE(e.is_set());
    EXPECT_EQ(e.wait_real(milliseconds(1)), tw::WaitResult::Timeout);
    e.set();
    EXPECT_EQ(e.wait_real(milliseconds(1)), tw::WaitResult::Signalled);
    EXPECT_EQ(e.wait_real(milliseconds(1)), tw::WaitResult::Signalled);
    e.reset();
    EXPECT_EQ(e.wait_real(milliseconds(1)), tw::WaitResult::Timeout);
}

TEST(ManualResetEvent, APulseWakesAWaiterAndAbandonEndsWaits) {
    tw::ManualResetEvent e;
    std::thread t([&] {
        std::this_thread::sleep_for(milliseconds(30));
        e.set();
        e.reset();
    });
    EXPECT_EQ(e.wait_real(seconds(30)), tw::WaitResult::Signalled);
    t.join();
    std::thread t2([&] {
        std::this_thread::sleep_for(milliseconds(30));
        e.abandon();
    });
    EXPECT_EQ(e.wait_ms(-1), tw::WaitResult::Abandoned);
    t2.join();
    EXPECT_EQ(e.wait_real(milliseconds(1)), tw::WaitResult::Abandoned);
}

} // namespace
