// Snapshots compared into arrivals and removals, polled by hand and by the watcher's thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/device_watcher.h"
#include "platform/ini.h"

namespace {

tw::DeviceRecord serial(const std::string& name, int com) {
    tw::DeviceRecord r;
    r.name = name;
    r.com = com;
    r.friendly = "Qualcomm HS-USB Diagnostics 9025 (COM" + std::to_string(com) + ")";
    return r;
}

std::string describe(const std::vector<tw::DeviceEvent>& v) {
    std::string s;
    for (const auto& e : v)
        s += (e.change == tw::DeviceChange::Arrival ? "+" : "-") + e.record.name + ":" +
             std::to_string(e.record.com) + " ";
    return s;
}

TEST(DeviceWatcher, DiffReportsRemovalsThenArrivalsAndChangedRecordsAsBoth) {
    std::vector<tw::DeviceRecord> a = {serial("x", 3), serial("y", 4), serial("z", 5)};
    std::vector<tw::DeviceRecord> b = {serial("y", 4), serial("z", 7), serial("w", 8)};
    EXPECT_EQ(describe(tw::DeviceWatcher::diff(a, b)), "-x:3 -z:5 +z:7 +w:8 ");
    EXPECT_TRUE(tw::DeviceWatcher::diff(a, a).empty());
}

// A source the test changes while the watcher reads it.
struct FakeSource {
    std::mutex m;
    std::vector<tw::DeviceRecord> now;
    void set(std::vector<tw::DeviceRecord> v) {
        std::lock_guard<std::mutex> g(m);
        now = std::move(v);
    }
    tw::DeviceWatcher::Source fn() {
        return [this] {
            std::lock_guard<std::mutex> g(m);
            return now;
        };
    }
};

struct Collector {
    std::mutex m;
    std::vector<tw::DeviceEvent> seen;
    tw::DeviceWatcher::Sink fn() {
        return [this](const tw::DeviceEvent& e) {
            std::lock_guard<std::mutex> g(m);
            seen.push_back(e);
        };
    }
    std::string text() {
        std::lock_guard<std::mutex> g(m);
        return describe(seen);
    }
    // Waits (real time, bounded) until the text is as expected.
    std::string wait_for(const std::string& want) {
        for (int i = 0; i < 2000 && text() != want; ++i)
            ::usleep(1000);
        return text();
    }
};

TEST(DeviceWatcher, PollOnTheCallersThread) {
    FakeSource src;
    src.set({serial("a", 1)});
    tw::DeviceWatcher w(nullptr, src.fn());
    EXPECT_EQ(describe(w.poll()), "+a:1 ");
    EXPECT_TRUE(w.poll().empty());
    src.set({});
    EXPECT_EQ(describe(w.poll()), "-a:1 ");
}

TEST(DeviceWatcher, ThreadReportsArrivalsAndRemovalsUntilStopped) {
    tw::clock::set_scale(0.01);
    FakeSource src;
    Collector col;
    src.set({serial("a", 1)});
    tw::DeviceWatcher w(col.fn(), src.fn());
    ASSERT_TRUE(w.start(true));
    EXPECT_FALSE(w.start());
    EXPECT_EQ(col.wait_for("+a:1 "), "+a:1 ");
    src.set({serial("a", 1), serial("b", 2)});
    EXPECT_EQ(col.wait_for("+a:1 +b:2 "), "+a:1 +b:2 ");
    src.set({serial("b", 2)});
    EXPECT_EQ(col.wait_for("+a:1 +b:2 -a:1 "), "+a:1 +b:2 -a:1 ");
    w.stop();
    EXPECT_FALSE(w.running());
    src.set({});
    ::usleep(30000); // a dozen periods: nothing may arrive after stop()
    EXPECT_EQ(col.text(), "+a:1 +b:2 -a:1 ");
    // Started again, it takes a fresh snapshot and reports only later changes.
    ASSERT_TRUE(w.start(false));
    src.set({serial("c", 9)});
    EXPECT_EQ(col.wait_for("+a:1 +b:2 -a:1 +c:9 "), "+a:1 +b:2 -a:1 +c:9 ");
}

TEST(DeviceWatcher, StopFromTheSinkEndsTheLoop) {
    tw::clock::set_scale(0.01);
    FakeSource src;
    std::atomic<int> calls{0};
    tw::DeviceWatcher* self = nullptr;
    tw::DeviceWatcher w(
        [&](const tw::DeviceEvent&) {
            ++calls;
            self->stop();
        },
        src.fn());
    self = &w;
    ASSERT_TRUE(w.start());
    src.set({serial("a", 1), serial("b", 2)});
    for (int i = 0; i < 2000 && calls.load() == 0; ++i)
        ::usleep(1000);
    ::usleep(20000);
    EXPECT_EQ(calls.load(), 1); // the second arrival of that snapshot is not delivered
    w.stop();                   // joins the ended thread
    EXPECT_FALSE(w.running());
}

TEST(DeviceWatcher, FollowsAVirtualDeviceDirectory) {
    tw::clock::set_scale(0.01);
    char tmpl[] = "/tmp/tw_watch_XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    Collector col;
    tw::DeviceWatcher w(col.fn(), [dir] { return tw::list_devices_from_dir(dir); });
    ASSERT_TRUE(w.start());
    ASSERT_TRUE(tw::ini::write_file_atomic(dir + "/p1.dev", "[device]\nkind=serial\ncom=7\n"));
    EXPECT_EQ(col.wait_for("+p1:7 "), "+p1:7 ");
    ::unlink((dir + "/p1.dev").c_str());
    EXPECT_EQ(col.wait_for("+p1:7 -p1:7 "), "+p1:7 -p1:7 ");
    w.stop();
    std::system(("rm -rf '" + dir + "'").c_str());
}

} // namespace
