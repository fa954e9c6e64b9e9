// Snapshots compared into arrivals and removals, polled by hand and by the watcher's thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/change_notifier.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/device_watcher.h"
#include "platform/ini.h"
#include "platform/udev_notifier.h"
#include "tests/platform/fake_sysfs.h"

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
    // Waits until every piece has been reported, in whatever order.
    bool wait_for_all(const std::vector<std::string>& pieces) {
        for (int i = 0; i < 2000; ++i) {
            std::string t = text();
            bool all = true;
            for (const auto& p : pieces)
                all = all && t.find(p) != std::string::npos;
            if (all) return true;
            ::usleep(1000);
        }
        return false;
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

// Sysfs ports take their COM numbers from the COM database: a fresh one beside the fake tree.
void fresh_com_db(const std::string& root) {
    const std::string state = root + "/state";
    ::mkdir(state.c_str(), 0755);
    ::setenv("TARNWELL_STATE_DIR", state.c_str(), 1);
}

// A sysfs tree changed by the test, which then says so through the hook, as the kernel's device
// events would. The watcher must not read the tree on its own, and must wait for the end of a
// burst before reading it (a phone half-enumerated is not a USB device of its own).
TEST(DeviceWatcher, FakeSysfsTreeDrivenThroughTheHook) {
    tw::clock::set_scale(0.01);
    char tmpl[] = "/tmp/tw_sysfs_XXXXXX";
    const std::string root = ::mkdtemp(tmpl);
    twtest::FakeSysfs fs(root);
    twtest::build_two_phones(fs);
    fresh_com_db(root); // COM numbers from 1, in the order the ports are first seen
    auto hook = tw::ManualNotifier::create(20000); // 200 ms of quiet ends a burst
    ASSERT_TRUE(hook);
    tw::ManualNotifier* events = hook.get();
    Collector col;
    tw::DeviceWatcher w(
        col.fn(), [root] { return tw::list_devices_from_sysfs(root, "/dev"); }, std::move(hook),
        1); // a watcher that polled would read the tree every 10 us
    ASSERT_TRUE(w.start());
    EXPECT_STREQ(w.wake_source(), "manual");

    const std::string devs = root + "/bus/usb/devices";
    std::system(("rm -rf " + devs + "/1-1.3 " + devs + "/1-1.3:1.0").c_str());
    ::usleep(20000);
    EXPECT_EQ(col.text(), "");
    events->notify();
    EXPECT_EQ(col.wait_for("-ttyUSB14:1 "), "-ttyUSB14:1 ");

    // The phone comes back in emergency download: the device, then its interface and tty.
    fs.device("1-1.3", "05c6", "9008");
    events->notify();
    ::usleep(20000); // well inside the burst
    twtest::FakeSysfs::mk(fs.iface("1-1.3", 0) + "/ttyUSB20");
    events->notify();
    EXPECT_EQ(col.wait_for("-ttyUSB14:1 +ttyUSB20:1 "), "-ttyUSB14:1 +ttyUSB20:1 ");

    w.stop(); // ends a wait that has no time-out
    events->notify();
    ::usleep(20000);
    EXPECT_EQ(col.text(), "-ttyUSB14:1 +ttyUSB20:1 ");
    std::system(("rm -rf '" + root + "'").c_str());
}

// The watcher of the device directory named by TARNWELL_DEVICE_DIR follows it through inotify:
// records renamed into place, rewritten, removed, and the directory itself removed and made
// again.
TEST(DeviceWatcher, DefaultWatcherFollowsTheDeviceDirectory) {
    tw::clock::set_scale(0.01);
    char tmpl[] = "/tmp/tw_watchdir_XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    auto put = [&](const std::string& name, int com) {
        return tw::ini::write_file_atomic(
            dir + "/" + name + ".dev", "[device]\nkind=serial\ncom=" + std::to_string(com) + "\n");
    };
    ASSERT_TRUE(put("a", 1));
    ::setenv("TARNWELL_DEVICE_DIR", dir.c_str(), 1);
    Collector col;
    tw::DeviceWatcher w(col.fn());
    ASSERT_TRUE(w.start(true));
    EXPECT_STREQ(w.wake_source(), "inotify");
    EXPECT_EQ(col.wait_for("+a:1 "), "+a:1 ");

    ASSERT_TRUE(put("b", 2));
    EXPECT_EQ(col.wait_for("+a:1 +b:2 "), "+a:1 +b:2 ");
    twtest::FakeSysfs::put(dir + "/a.dev", "[device]\nkind=serial\ncom=3\n"); // in place
    EXPECT_EQ(col.wait_for("+a:1 +b:2 -a:1 +a:3 "), "+a:1 +b:2 -a:1 +a:3 ");
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(put("c" + std::to_string(i), 10 + i));
    EXPECT_TRUE(col.wait_for_all({"+c0:10 ", "+c7:17 "})) << col.text();

    std::system(("rm -rf '" + dir + "'").c_str());
    EXPECT_TRUE(col.wait_for_all({"-a:3 ", "-b:2 ", "-c0:10 ", "-c7:17 "})) << col.text();
    ::mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(put("d", 4));
    EXPECT_TRUE(col.wait_for_all({"+d:4 "})) << col.text();
    ::unlink((dir + "/d.dev").c_str());
    EXPECT_TRUE(col.wait_for_all({"-d:4 "})) << col.text();
    w.stop();
    ::unsetenv("TARNWELL_DEVICE_DIR");
    std::system(("rm -rf '" + dir + "'").c_str());
}

// Asks the kernel to announce a device of a class again (as `udevadm trigger` does); false where
// sysfs cannot be written (not root).
bool announce(const std::string& cls) {
    const std::string base = "/sys/class/" + cls;
    DIR* d = ::opendir(base.c_str());
    if (!d) return false;
    bool done = false;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' || done) continue;
        std::ofstream f(base + "/" + e->d_name + "/uevent");
        done = f && (f << "change\n").flush().good();
    }
    ::closedir(d);
    return done;
}

// Over sysfs the watcher is woken by the kernel's device events. The tree read is a fake one; the
// event is the machine's own.
TEST(DeviceWatcher, KernelDeviceEventsWakeTheSysfsWatcher) {
    tw::clock::set_scale(0.01);
    ::unsetenv("TARNWELL_DEVICE_DIR");
    {
        tw::DeviceWatcher plain(nullptr);
        ASSERT_TRUE(plain.start());
        const std::string source = plain.wake_source();
        if (source == "poll") GTEST_SKIP() << "no netlink device events here";
        EXPECT_TRUE(source == "udev" || source == "kernel") << source;
    }
    char tmpl[] = "/tmp/tw_sysfs_XXXXXX";
    const std::string root = ::mkdtemp(tmpl);
    twtest::FakeSysfs fs(root);
    twtest::build_two_phones(fs);
    fresh_com_db(root);
    tw::set_sysfs_root(root, "/dev");
    Collector col;
    std::string why;
    auto udev = tw::UdevNotifier::open(&why);
    ASSERT_TRUE(udev) << why;
    tw::DeviceWatcher w(col.fn(), {}, std::move(udev));
    ASSERT_TRUE(w.start(true));
    EXPECT_EQ(col.text(), "+ttyUSB14:1 +ttyUSB11:2 +ttyUSB12:3 +ttyUSB13:4 ");
    std::system(("rm -rf " + root + "/bus/usb/devices/1-1.4*").c_str());
    const bool can_announce = announce("tty");
    if (can_announce) {
        EXPECT_TRUE(col.wait_for_all({"-ttyUSB11:2 -ttyUSB12:3 -ttyUSB13:4 "})) << col.text();
    }
    w.stop();
    tw::set_sysfs_root("/sys", "/dev");
    std::system(("rm -rf '" + root + "'").c_str());
    if (!can_announce) GTEST_SKIP() << "sysfs cannot be written here: no device event to make";
}

} // namespace
