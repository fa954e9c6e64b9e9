// The listener: what it reports, when it forgets a port, and starting and stopping its thread.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
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
    std::string cycle() {
        listener.PollOnce();
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
    EXPECT_EQ(cycle(), "1025:15:1 1029:12:1 1028:20:1 1025:21:1 ");
    EXPECT_EQ(cycle(), "");
}

TEST_F(ListenerTest, APortUnpluggedForOneCycleIsReportedAgain) {
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(cycle(), "1029:12:1 ");
    EXPECT_EQ(cycle(), "");
    unplug("b");
    EXPECT_EQ(cycle(), "");
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(cycle(), "1029:12:1 ");
    // Forgotten as well when another port is still listed.
    plug("a", 15, qdl(15));
    EXPECT_EQ(cycle(), "1025:15:1 ");
    unplug("b");
    EXPECT_EQ(cycle(), "");
    plug("b", 12, diag9025(12), true);
    EXPECT_EQ(cycle(), "1029:12:1 ");
}

TEST_F(ListenerTest, Com1IsNotForgottenWhileCom12IsListed) {
    plug("a", 1, qdl(1));
    plug("b", 12, diag9025(12));
    EXPECT_EQ(cycle(), "1025:1:1 1029:12:1 ");
    unplug("a");
    EXPECT_EQ(cycle(), "");
    plug("a", 1, qdl(1));
    EXPECT_EQ(cycle(), ""); // still known: "COM1" occurs inside "COM12"
}

TEST_F(ListenerTest, WithFortyEightPortsKnownTheFortyNinthIsReportedEveryCycle) {
    auto name = [](int p) { return "p" + std::string(p < 10 ? "0" : "") + std::to_string(p); };
    // One port whose name holds the text of all 48, so none is forgotten while batches of
    // others come and go.
    std::string keep = "Qualcomm HS-USB Diagnostics 9025 (COM1)";
    for (int p = 2; p <= 48; ++p)
        keep += " COM" + std::to_string(p);
    plug("keep", 1, keep);
    std::string expect = "1029:1:1 ";
    for (int first : {2, 14, 26, 38}) {
        for (int p = first; p < first + 12 && p <= 48; ++p) {
            plug(name(p), p, diag9025(p));
            expect += "1029:" + std::to_string(p) + ":1 ";
        }
        EXPECT_EQ(cycle(), expect);
        expect.clear();
        for (int p = first; p < first + 12 && p <= 48; ++p)
            unplug(name(p));
    }
    for (int p = 1; p <= 48; ++p)
        ASSERT_EQ(listener.KnownPorts()[p - 1], p);
    plug("p60", 60, qdl(60));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cycle(), "1025:60:1 ") << "cycle " << i;
    // Once a place is free it is kept there and reported no more.
    keep.erase(keep.find(" COM48"));
    plug("keep", 1, keep);
    EXPECT_EQ(cycle(), "1025:60:1 ");
    EXPECT_EQ(listener.KnownPorts()[47], 60);
    EXPECT_EQ(cycle(), "");
}

TEST_F(ListenerTest, NoPortsForgetsEveryPortAndSendsNothing) {
    plug("a", 15, qdl(15));
    EXPECT_EQ(cycle(), "1025:15:1 ");
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

} // namespace
