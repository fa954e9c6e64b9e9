// The listener: what it reports, when it forgets a port, and starting and stopping its thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detect/listener.h"
#include "engine/debug_out.h"
#include "tests/detect/detect_fixture.h"

namespace {

using twtest::DetectTest;

struct Sent {
    std::mutex m;
    std::vector<std::string> msgs; // "msg:wParam:lParam"
    AppInfo info;
    Sent() {
        info.hMainWnd = [this](uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
            std::lock_guard<std::mutex> g(m);
            msgs.push_back(std::to_string(msg) + ":" + std::to_string(w) + ":" + std::to_string(l));
            return 0;
        };
    }
    // What was sent since the last call.
    std::string take() {
        std::lock_guard<std::mutex> g(m);
        std::string s;
        for (const auto& x : msgs)
            s += x + " ";
        msgs.clear();
        return s;
    }
};

class ListenerTest : public DetectTest {
  protected:
    void SetUp() override {
        DetectTest::SetUp();
        listener.SetAppInfo(&sent.info);
    }
    // One cycle of the loop and what it sent.
    std::string cycle() {
        listener.PollOnce();
        return sent.take();
    }
    // Cycles until every port seen has had its wait and been reported; what was sent.
    std::string report() {
        do
            listener.PollOnce();
        while (listener.PendingPorts() > 0);
        return sent.take();
    }
    Sent sent;
    CListener listener;
};

TEST_F(ListenerTest, NewPortsAreReportedOnceWithTheirMessage) {
    plug("a", 15, qdl(15));
    plug("b", 12, diag9025(12), true);
    plug("c", 20, "Qualcomm HS-USB Diagnostics 900E (COM20)", true);
    plug("d", 21, "Qualcomm HS-USB Diagnostics 9026 (COM21)", true);
    EXPECT_EQ(report(), "1025:15:1 1029:12:1 1028:20:1 1025:21:1 ");
    EXPECT_EQ(cycle(), "");
    for (int p : {15, 12, 20, 21})
        EXPECT_NE(std::find(listener.KnownPorts(), listener.KnownPorts() + detect::kKnownPorts, p),
                  listener.KnownPorts() + detect::kKnownPorts);
}

TEST_F(ListenerTest, APortUnpluggedForOneCycleIsReportedAgain) {
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(report(), "1029:12:1 ");
    EXPECT_EQ(cycle(), "");
    unplug("b");
    EXPECT_EQ(cycle(), "");
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(report(), "1029:12:1 ");
    // Forgotten as well when another port is still listed.
    plug("a", 15, qdl(15));
    EXPECT_EQ(report(), "1025:15:1 ");
    unplug("b");
    EXPECT_EQ(cycle(), "");
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(report(), "1029:12:1 ");
}

TEST_F(ListenerTest, PortsAreForgottenByNumberNotByTheirText) {
    // COM1 goes while COM12 is listed, although "COM1" occurs inside "COM12".
    plug("a", 1, qdl(1));
    plug("b", 12, diag9025(12));
    EXPECT_EQ(report(), "1025:1:1 1029:12:1 ");
    unplug("a");
    EXPECT_EQ(cycle(), "");
    plug("a", 1, qdl(1));
    EXPECT_EQ(report(), "1025:1:1 ");
    // Nor does a port stay known because another port's name mentions it.
    plug("c", 5, qdl(5));
    plug("d", 7, "Qualcomm HS-USB Diagnostics 9025 (COM7) next to COM5");
    EXPECT_EQ(report(), "1025:5:1 1029:7:1 ");
    unplug("c");
    EXPECT_EQ(cycle(), "");
    EXPECT_EQ(std::count(listener.KnownPorts(), listener.KnownPorts() + detect::kKnownPorts, 5), 0);
    plug("c", 5, qdl(5));
    EXPECT_EQ(report(), "1025:5:1 ");
}

TEST_F(ListenerTest, APortGoneBeforeItsWaitIsOverIsNotReported) {
    tw::clock::set_scale(0.05); // the 3 s wait (150 ms) outlasts one listing by far
    plug("a", 15, qdl(15));
    EXPECT_EQ(cycle(), "");
    EXPECT_EQ(listener.PendingPorts(), 1u);
    unplug("a");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end)
        EXPECT_EQ(cycle(), "");
    EXPECT_EQ(listener.PendingPorts(), 0u);
}

TEST_F(ListenerTest, NoPortsForgetsEveryPortAndSendsNothing) {
    plug("a", 15, qdl(15));
    EXPECT_EQ(report(), "1025:15:1 ");
    unplug("a");
    EXPECT_EQ(cycle(), "");
    for (int i = 0; i < detect::kKnownPorts; ++i)
        EXPECT_EQ(listener.KnownPorts()[i], -1);
}

TEST(Detect, StopWithoutAThreadReturnsAtOnce) {
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_FALSE(TheListener().IsRunning());
}

TEST_F(DetectTest, BeginAndStopTheThread) {
    std::mutex m;
    std::vector<std::string> debug;
    sondrel::SetDebugCapture([&](const std::string& s) {
        std::lock_guard<std::mutex> g(m);
        debug.push_back(s);
    });
    Sent first, second;
    plug("a", 15, qdl(15));
    ASSERT_EQ(BeginDetect(&first.info), 0);
    EXPECT_TRUE(TheListener().IsRunning());
    EXPECT_EQ(BeginDetect(&second.info), 1); // running: only the AppInfo changes
    for (int i = 0; i < 5000; ++i) {
        {
            std::lock_guard<std::mutex> g(second.m);
            if (!second.msgs.empty()) break;
        }
        ::usleep(1000);
    }
    EXPECT_EQ(first.take(), "");
    EXPECT_EQ(second.take(), "1025:15:1 ");
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_FALSE(TheListener().IsRunning());
    plug("b", 12, diag9025(12));
    ::usleep(20000);
    EXPECT_EQ(second.take(), ""); // nothing after the stop
    // Started again, the table starts empty: both ports are new.
    ASSERT_EQ(BeginDetect(&second.info), 0);
    for (int i = 0; i < 5000; ++i) {
        {
            std::lock_guard<std::mutex> g(second.m);
            if (second.msgs.size() >= 2) break;
        }
        ::usleep(1000);
    }
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_EQ(second.take(), "1025:15:1 1029:12:1 ");
    sondrel::SetDebugCapture(nullptr);
    std::string all;
    for (const auto& s : debug)
        all += s;
    EXPECT_NE(all.find("ThreadProc,ID:"), std::string::npos);
    EXPECT_NE(all.find("\nCListener::Run(),Detect thread exit!!!\n"), std::string::npos);
    EXPECT_NE(all.find("Return false 2"), std::string::npos);
}

TEST_F(DetectTest, TheThreadListsOnlyWhenTheDevicesChange) {
    // At this scale a listener polling once a second would list every half millisecond.
    Sent s;
    ASSERT_EQ(BeginDetect(&s.info), 0);
    ::usleep(200000);
    const unsigned idle = TheListener().Listings();
    EXPECT_LE(idle, 3u);
    plug("a", 15, qdl(15));
    for (int i = 0; i < 5000 && s.take().empty(); ++i)
        ::usleep(1000);
    // Reported (the take above emptied it); then quiet again.
    const unsigned after = TheListener().Listings();
    EXPECT_GT(after, idle);
    ::usleep(200000);
    EXPECT_LE(TheListener().Listings(), after + 1);
    // The removal alone wakes it, so the port is forgotten and reported again when it is back.
    unplug("a");
    ::usleep(50000);
    plug("a", 15, qdl(15));
    std::string again;
    for (int i = 0; i < 5000 && again.empty(); ++i) {
        again = s.take();
        ::usleep(1000);
    }
    EXPECT_EQ(again, "1025:15:1 ");
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_FALSE(TheListener().IsRunning());
}

TEST_F(DetectTest, StopDuringTheReportWaitSendsNothing) {
    tw::clock::set_scale(1.0); // a real 3 s wait, cut short by the stop
    Sent s;
    plug("a", 15, qdl(15));
    ASSERT_EQ(BeginDetect(&s.info), 0);
    ::usleep(100000);
    EXPECT_EQ(StopDetect(), 0);
    EXPECT_FALSE(TheListener().IsRunning());
    EXPECT_EQ(s.take(), "");
}

TEST_F(DetectTest, StopFromTheStationsHandlerDoesNotWaitForItself) {
    std::atomic<int> result{-1};
    AppInfo info;
    info.hMainWnd = [&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        result = StopDetect();
        return 0;
    };
    plug("a", 15, qdl(15));
    plug("b", 16, qdl(16));
    ASSERT_EQ(BeginDetect(&info), 0);
    for (int i = 0; i < 5000 && TheListener().IsRunning(); ++i)
        ::usleep(1000);
    EXPECT_FALSE(TheListener().IsRunning());
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(StopDetect(), 0); // joins the ended thread
}

TEST_F(DetectTest, SixteenPortsArrivingInOneSecondAreReportedTogetherAboutThreeSecondsLater) {
    constexpr double kScale = 0.1; // nominal second = 100 ms
    tw::clock::set_scale(kScale);
    using Clock = std::chrono::steady_clock;
    auto nominal_ms = [&](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count() / kScale;
    };
    std::mutex m;
    std::map<int, Clock::time_point> reported;
    std::vector<std::string> other;
    AppInfo info;
    info.hMainWnd = [&](uint32_t msg, uintptr_t w, intptr_t) -> intptr_t {
        std::lock_guard<std::mutex> g(m);
        if (msg != detect::kMsgDiag9025 || !reported.emplace(int(w), Clock::now()).second)
            other.push_back(std::to_string(msg) + ":" + std::to_string(w));
        return 0;
    };
    ASSERT_EQ(BeginDetect(&info), 0);
    // Sixteen phones' DIAG ports, one every 1/16 of a nominal second.
    std::map<int, Clock::time_point> plugged;
    for (int i = 0; i < 16; ++i) {
        const int com = 3 + i;
        plugged[com] = Clock::now();
        plug("p" + std::to_string(com), com, diag9025(com), true);
        std::this_thread::sleep_for(tw::clock::scaled(std::chrono::milliseconds(1000 / 16)));
    }
    // Reported one after another, they would take 48 s; wait well past that.
    const auto end = Clock::now() + tw::clock::scaled(std::chrono::milliseconds(60000));
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m);
            if (reported.size() == 16 || Clock::now() > end) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(StopDetect(), 0);
    std::lock_guard<std::mutex> g(m);
    EXPECT_TRUE(other.empty()) << "unexpected or repeated: " << other.front();
    ASSERT_EQ(reported.size(), 16u);
    for (const auto& [com, at] : reported) {
        const double waited = nominal_ms(at - plugged[com]);
        EXPECT_GE(waited, detect::kReportWaitMs) << "COM" << com;
        EXPECT_LE(waited, 5000) << "COM" << com;
    }
}

} // namespace
