// `tarnwell-cli fastboot-flash` and the station's flashing run against simulated phones in
// fastboot mode: what the phone stores, a refused flash retried, a phone unplugged mid-download,
// and a run stopped from another thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/debug_sink.h"
#include "platform/device_source.h"
#include "station/fastboot_flash.h"
#include "tests/common/files.h"

extern char** environ;

namespace fs = std::filesystem;
using tw::station::kImageSpecs;

namespace {

using twtest::Slurp;

constexpr double kScale = 0.02;

struct ProcResult {
    int status = -1;        // exit status, -1 when killed
    bool timed_out = false; // killed at the limit
    std::string out, err;
};

// Runs a program with a limit on its real time; standard output and error collected.
ProcResult Spawn(const std::vector<std::string>& argv, int limit_s) {
    ProcResult r;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return r;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    bool open_out = true, open_err = true;
    char buf[65536];
    while (open_out || open_err) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            r.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p[2] = {{open_out ? out[0] : -1, POLLIN, 0}, {open_err ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            ssize_t n = ::read(i ? err[0] : out[0], buf, sizeof buf);
            if (n <= 0)
                (i ? open_err : open_out) = false;
            else
                (i ? r.err : r.out).append(buf, static_cast<size_t>(n));
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The values of one numeric field over the JSON lines that have it.
std::vector<int> Field(const std::string& out, const std::string& event, const std::string& key) {
    std::vector<int> v;
    std::istringstream in(out);
    std::string line;
    const std::regex re("\"" + key + "\":(-?[0-9]+)");
    while (std::getline(in, line)) {
        if (line.find("\"event\":\"" + event + "\"") == std::string::npos) continue;
        std::smatch m;
        if (std::regex_search(line, m, re)) v.push_back(std::stoi(m[1]));
    }
    return v;
}

std::vector<std::string> DebugLines(const std::string& out) {
    std::vector<std::string> v;
    std::istringstream in(out);
    std::string line;
    const std::regex re("\"event\":\"debug\",\"line\":\"([^\"]*)\"");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, re)) v.push_back(m[1]);
    }
    return v;
}

class FastbootFlash : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string t = "/tmp/tw-fbpkg-XXXXXX";
        pkg_ = ::mkdtemp(t.data()) ? t : "";
        phonesim::PackageOptions po;
        po.android_mb = 3; // system 3 MiB, userdata 1.5 MiB: several 1 MiB packets each
        std::string err;
        ASSERT_TRUE(phonesim::make_package(pkg_, po, err)) << err;
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(pkg_, ec);
    }
    void SetUp() override {
        tw::clock::set_scale(kScale);
        std::string t = "/tmp/tw-fbflash-XXXXXX";
        root_ = ::mkdtemp(t.data()) ? t : "";
        ASSERT_FALSE(root_.empty());
    }
    void TearDown() override {
        sim_.stop();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    bool Start(int phones, std::vector<std::string> faults = {}) {
        phonesim::SimOptions o;
        o.device_dir = root_ + "/dev";
        o.state_dir = root_ + "/state";
        o.package = pkg_;
        o.phones = phones;
        o.start = phonesim::Mode::Fastboot;
        for (const auto& f : faults) {
            std::string err;
            auto spec = phonesim::parse_fault(f, err);
            if (!spec) {
                ADD_FAILURE() << err;
                return false;
            }
            o.faults.push_back(*spec);
        }
        std::string err;
        if (!sim_.start(o, err)) {
            ADD_FAILURE() << err;
            return false;
        }
        return true;
    }
    // The fastboot device name of phone i once it is published.
    std::string Address(int i) {
        for (int t = 0; t < 500; ++t) {
            for (const auto& r : tw::list_devices_from_dir(root_ + "/dev"))
                if (r.kind == tw::DeviceKind::Usb && r.hubport == i + 1) return r.address;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }
    std::string PhoneDir(int i) const {
        char n[24];
        std::snprintf(n, sizeof n, "/phone%02d", i);
        return root_ + "/state" + n;
    }
    std::string AndroidFile(int entry) const {
        return pkg_ + "/android/" + kImageSpecs[entry].file;
    }
    uint64_t ImageSize(int entry) const { return fs::file_size(AndroidFile(entry)); }
    uint64_t TableTotal() const {
        uint64_t t = 0;
        for (int i = 0; i < tw::station::kImageCount; ++i)
            t += ImageSize(i);
        return t;
    }
    ProcResult Flash(const std::string& device, bool reboot = false, int limit_s = 120) {
        std::vector<std::string> a = {std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli",
                                      "--device-dir",
                                      root_ + "/dev",
                                      "--time-scale",
                                      std::to_string(kScale),
                                      "--json",
                                      "fastboot-flash",
                                      "--device",
                                      device,
                                      "--package",
                                      pkg_};
        if (!reboot) a.push_back("--no-reboot");
        return Spawn(a, limit_s);
    }
    // (command, answer) of every fastboot request in the phone's log.
    std::vector<std::pair<std::string, std::string>> Requests(int i) {
        std::vector<std::pair<std::string, std::string>> v;
        std::istringstream in(Slurp(PhoneDir(i) + "/log.txt"));
        std::string line;
        const std::regex re("fastboot rx (\\S+) -> (.*)$");
        while (std::getline(in, line)) {
            std::smatch m;
            if (std::regex_search(line, m, re)) v.push_back({m[1], m[2]});
        }
        return v;
    }

    // Phone 0 flashed undisturbed, then phone 1 with the fault; both runs must end with 0.
    struct CalmAndDisturbed {
        std::string dev;
        ProcResult calm, r;
    };
    void FlashCalmThenDisturbed(const std::string& fault, CalmAndDisturbed& out) {
        ASSERT_TRUE(Start(2, {fault}));
        const std::string calm_dev = Address(0);
        out.dev = Address(1);
        ASSERT_FALSE(calm_dev.empty());
        ASSERT_FALSE(out.dev.empty());
        out.calm = Flash(calm_dev);
        out.r = Flash(out.dev);
        ASSERT_EQ(out.calm.status, 0) << out.calm.err << out.calm.out;
        ASSERT_EQ(out.r.status, 0) << out.r.err << out.r.out;
    }

    // The disturbed run flashed system twice and the rest once, counted the same bytes as the
    // calm one, went back once, to where system began, and from there showed exactly the calm
    // run's positions, ending at 100.
    void ExpectOneRewindToSystemThenTheCalmRun(const ProcResult& calm, const ProcResult& r) {
        const std::vector<std::string> lines = DebugLines(r.out);
        ASSERT_EQ(lines.size(), 8u);
        EXPECT_EQ(lines[2], "flash system:times 1/3");
        EXPECT_EQ(lines[3], "flash system:times 2/3");
        EXPECT_EQ(lines[4], "flash userdata:times 1/3");
        EXPECT_EQ(Field(r.out, "result", "bytes"), Field(calm.out, "result", "bytes"));
        const std::vector<int> u = Field(calm.out, "progress", "position");
        const std::vector<int> d = Field(r.out, "progress", "position");
        size_t cut = 0;
        for (size_t i = 1; i < d.size(); ++i)
            if (d[i] < d[i - 1]) {
                EXPECT_EQ(cut, 0u) << "more than one rewind";
                cut = i;
            }
        ASSERT_GT(cut, 0u);
        const int before_system =
            tw::station::FlashProgressPosition(ImageSize(0) + ImageSize(1), TableTotal());
        EXPECT_EQ(d[cut], before_system);
        ASSERT_GE(u.size(), d.size() - cut);
        EXPECT_EQ(std::vector<int>(d.begin() + static_cast<long>(cut), d.end()),
                  std::vector<int>(u.end() - static_cast<long>(d.size() - cut), u.end()));
        EXPECT_EQ(d.back(), 100);
    }

    static std::string pkg_;
    std::string root_;
    phonesim::Simulator sim_;
};
std::string FastbootFlash::pkg_;

TEST_F(FastbootFlash, SevenFlashesInOrderEachPartitionByteForByte) {
    ASSERT_TRUE(Start(1));
    const std::string dev = Address(0);
    ASSERT_FALSE(dev.empty());
    ProcResult r = Flash(dev, true);
    ASSERT_EQ(r.status, 0) << r.err << r.out;

    // Every flash preceded by the download of its image's size; recovery twice, in order.
    const int order[] = {0, 1, 2, 3, 4, 5, 1};
    std::vector<std::string> flashes;
    std::vector<std::string> want;
    uint64_t pending = 0;
    for (const auto& [cmd, answer] : Requests(0)) {
        if (cmd.rfind("download:", 0) == 0) pending = std::stoull(cmd.substr(9), nullptr, 16);
        if (cmd.rfind("flash:", 0) != 0) continue;
        EXPECT_EQ(answer, "OKAY") << cmd;
        const std::string part = cmd.substr(6);
        if (flashes.size() < std::size(order)) {
            EXPECT_EQ(pending, ImageSize(order[flashes.size()])) << part;
        }
        flashes.push_back(part);
    }
    for (int e : order)
        want.push_back(kImageSpecs[e].partition);
    EXPECT_EQ(flashes, want);
    EXPECT_EQ(Requests(0).back().first, "reboot");
    for (int e = 0; e < tw::station::kImageCount; ++e) {
        const std::string stored = PhoneDir(0) + "/fastboot/" + kImageSpecs[e].partition + ".img";
        EXPECT_TRUE(Slurp(stored) == Slurp(AndroidFile(e))) << kImageSpecs[e].partition;
    }

    const std::vector<int> result = Field(r.out, "result", "result");
    ASSERT_EQ(result, std::vector<int>{0});
    EXPECT_EQ(Field(r.out, "result", "total"), std::vector<int>{static_cast<int>(TableTotal())});
    EXPECT_EQ(Field(r.out, "result", "bytes"),
              std::vector<int>{static_cast<int>(TableTotal() + ImageSize(1))});
    const std::vector<int> pos = Field(r.out, "progress", "position");
    ASSERT_GE(pos.size(), 3u);
    EXPECT_TRUE(std::is_sorted(pos.begin(), pos.end()));
    EXPECT_EQ(pos[pos.size() - 2], 95);
    EXPECT_EQ(pos.back(), 100);

    // The reboot sends the phone back to DIAG mode.
    bool diag = false;
    for (int t = 0; t < 500 && !diag; ++t) {
        diag = Slurp(PhoneDir(0) + "/info.ini").find("phase=diag\n") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(diag);
}

TEST_F(FastbootFlash, RefusedSystemFlashIsRetriedAndEndsWhereAnUndisturbedRunEnds) {
    // Phone 1's third flash (system) is refused once; phone 0 runs undisturbed.
    CalmAndDisturbed t;
    ASSERT_NO_FATAL_FAILURE(FlashCalmThenDisturbed("1/fastboot:fail@3", t));

    std::vector<std::string> systems;
    for (const auto& [cmd, answer] : Requests(1))
        if (cmd == "flash:system") systems.push_back(answer);
    ASSERT_EQ(systems.size(), 2u);
    EXPECT_NE(systems[0].find("FAIL"), std::string::npos);
    EXPECT_EQ(systems[1], "OKAY");
    EXPECT_TRUE(Slurp(PhoneDir(1) + "/fastboot/system.img") == Slurp(AndroidFile(2)));

    ExpectOneRewindToSystemThenTheCalmRun(t.calm, t.r);
}

TEST_F(FastbootFlash, LinkLostDuringSystemsFirstDownloadIsReopenedAndPasses) {
    // Phone 1 re-enumerates halfway through system's first download (its 6th fastboot request:
    // getvar once per opened device, download and flash for boot and recovery, then the download
    // for system) and is back a nominal second later under the same name; phone 0 runs
    // undisturbed.
    CalmAndDisturbed t;
    ASSERT_NO_FATAL_FAILURE(FlashCalmThenDisturbed("1/fastboot:unplug@6=1000", t));
    EXPECT_EQ(Address(1), t.dev);

    EXPECT_NE(Slurp(PhoneDir(1) + "/log.txt").find("unplug (fault) in the middle of a download"),
              std::string::npos);
    const std::string system_download = [&] {
        char b[32];
        std::snprintf(b, sizeof b, "download:%08llx",
                      static_cast<unsigned long long>(ImageSize(2)));
        return std::string(b);
    }();
    int downloads = 0;
    std::vector<std::string> systems;
    for (const auto& [cmd, answer] : Requests(1)) {
        downloads += cmd == system_download;
        if (cmd == "flash:system") systems.push_back(answer);
    }
    EXPECT_EQ(downloads, 2);
    EXPECT_EQ(systems, std::vector<std::string>{"OKAY"});
    EXPECT_TRUE(Slurp(PhoneDir(1) + "/fastboot/system.img") == Slurp(AndroidFile(2)));

    ExpectOneRewindToSystemThenTheCalmRun(t.calm, t.r);
}

TEST_F(FastbootFlash, PhoneUnpluggedDuringADownloadFailsTheCallInBoundedTime) {
    // Request 2 is boot's download: the phone vanishes halfway through its data.
    ASSERT_TRUE(Start(1, {"fastboot:unplug@2=60000"}));
    const std::string dev = Address(0);
    ASSERT_FALSE(dev.empty());
    ProcResult r = Flash(dev, true, 60);
    EXPECT_FALSE(r.timed_out) << "fastboot-flash hung after the unplug";
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    const std::vector<std::string> lines = DebugLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Error flashing boot, exit.");
    EXPECT_NE(r.out.find("\"state\":\"FAIL\""), std::string::npos);
    EXPECT_NE(Slurp(PhoneDir(0) + "/log.txt").find("unplug (fault) in the middle of a download"),
              std::string::npos);
    for (const auto& [cmd, answer] : Requests(0))
        EXPECT_NE(cmd, "flash:boot");
}

TEST_F(FastbootFlash, BadInputTouchesNothing) {
    ASSERT_TRUE(Start(1));
    const std::string dev = Address(0);
    ASSERT_FALSE(dev.empty());
    const std::string cli = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli";
    // A package without its Android images: the message names the first missing file.
    fs::create_directories(root_ + "/empty");
    ProcResult r = Spawn(
        {cli, "--json", "fastboot-flash", "--device", dev, "--package", root_ + "/empty"}, 30);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Can't find file: boot.2knand.img"), std::string::npos) << r.out;
    r = Spawn({cli, "fastboot-flash", "--device", "serial:3", "--package", pkg_}, 30);
    EXPECT_EQ(r.status, 2);
    r = Spawn({cli, "fastboot-flash", "--package", pkg_}, 30);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Requests(0).empty());

    // fastboot-devices lists the simulated device with its position.
    r = Spawn({cli, "--device-dir", root_ + "/dev", "--json", "fastboot-devices"}, 30);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\":\"" + dev + "\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("#1#"), std::string::npos) << r.out;
}

class QuietUi : public tw::station::StationUi {
  public:
    void MessageBox(const std::string&, const std::string&, tw::station::MessageIcon) override {}
    void SetProgress(int, int) override {}
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}
};

TEST_F(FastbootFlash, ImageShortenedAfterLoadingFailsItsPartitionNeverTheStation) {
    ASSERT_TRUE(Start(1));
    const std::string dev = Address(0);
    ASSERT_FALSE(dev.empty());
    // A copy of the package this test may spoil once its images are loaded.
    const std::string pkg = root_ + "/pkg";
    fs::copy(pkg_, pkg, fs::copy_options::recursive);
    QuietUi ui;
    tw::station::ImageTable table;
    ASSERT_TRUE(table.LoadFrom(pkg, ui));
    const std::string system = pkg + "/android/" + kImageSpecs[tw::station::kSystem].file;
    fs::resize_file(system, ImageSize(tw::station::kSystem) / 2);

    tw::station::FastbootJob job(table, &ui, 1);
    ASSERT_TRUE(job.OpenDevice(dev));
    EXPECT_EQ(job.FlashAll(), -1);
    // Three attempts, each refused on the file before any of its bytes went out.
    EXPECT_NE(job.last_error().find("attempt 3"), std::string::npos) << job.last_error();
    EXPECT_NE(job.last_error().find("when loaded"), std::string::npos) << job.last_error();
    // The link is still in step: the device takes the next flash on the same handle (and by its
    // answer the phone has logged every request before it).
    EXPECT_EQ(job.FlashPartition("boot", table.images()[tw::station::kBoot]), 0)
        << job.last_error();
    char system_download[32];
    std::snprintf(system_download, sizeof system_download, "download:%08llx",
                  static_cast<unsigned long long>(ImageSize(tw::station::kSystem)));
    std::vector<std::string> flashed;
    for (const auto& [cmd, answer] : Requests(0)) {
        EXPECT_NE(cmd, system_download);
        if (cmd.rfind("flash:", 0) == 0) flashed.push_back(cmd.substr(6) + " " + answer);
    }
    ASSERT_GE(flashed.size(), 2u);
    EXPECT_EQ(flashed[0], "boot OKAY");
    EXPECT_EQ(flashed[1], "recovery OKAY");
    for (const auto& f : flashed)
        EXPECT_EQ(f.rfind("system", 0), std::string::npos) << f;
    EXPECT_FALSE(fs::exists(PhoneDir(0) + "/fastboot/system.img"));
}

// The station's stop closes the device of a running job from another thread.
class BlockingUi : public tw::station::StationUi {
  public:
    void MessageBox(const std::string&, const std::string&, tw::station::MessageIcon) override {}
    void SetProgress(int, int) override {
        std::unique_lock<std::mutex> l(m_);
        if (first_) return;
        first_ = true;
        cv_.notify_all();
        cv_.wait(l, [this] { return released_; });
    }
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}
    void WaitFirst() {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return first_; });
    }
    void Release() {
        std::lock_guard<std::mutex> l(m_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool first_ = false, released_ = false;
};

TEST_F(FastbootFlash, ClosingTheDeviceFromAnotherThreadEndsTheRun) {
    ASSERT_TRUE(Start(1));
    const std::string dev = Address(0);
    ASSERT_FALSE(dev.empty());
    BlockingUi ui;
    tw::station::ImageTable table;
    ASSERT_TRUE(table.LoadFrom(pkg_, ui));
    tw::station::FastbootJob job(table, &ui, 1);
    ASSERT_TRUE(job.OpenDevice(dev));
    int rc = 0;
    std::thread t([&] { rc = job.FlashAll(); });
    ui.WaitFirst(); // boot's first chunk is out
    job.CloseDevice();
    ui.Release();
    t.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(job.device(), 0u);
    EXPECT_NE(job.last_error().find("attempt 3"), std::string::npos) << job.last_error();
    for (const auto& [cmd, answer] : Requests(0))
        EXPECT_EQ(cmd.rfind("flash:", 0), std::string::npos) << cmd;
}

} // namespace
