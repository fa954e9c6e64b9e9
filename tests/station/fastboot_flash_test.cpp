// The station's fastboot rules without a device: the image table and its messages, the progress
// arithmetic, three attempts per partition with the rewind, FlashAll's order and debug lines.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_sink.h"
#include "station/debug_line.h"
#include "station/fastboot_flash.h"
#include "station/headless_ui.h"

namespace fs = std::filesystem;
using namespace tw::station;

namespace {

// Remembers what the station showed.
class RecordingUi : public StationUi {
  public:
    void MessageBox(const std::string& text, const std::string& caption,
                    MessageIcon icon) override {
        boxes.push_back({text, caption, icon});
    }
    void SetProgress(int slot, int position) override {
        EXPECT_EQ(slot, 3);
        positions.push_back(position);
    }
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}

    std::vector<HeadlessUi::Box> boxes;
    std::vector<int> positions;
};

// Captures the debug output for one test.
class DebugCapture {
  public:
    DebugCapture() {
        tw::set_debug_capture([this](const std::string& s) {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(s);
        });
    }
    ~DebugCapture() { tw::set_debug_capture(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }

  private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

class TempFolder {
  public:
    TempFolder() {
        std::string t = "/tmp/tw-station-XXXXXX";
        path = ::mkdtemp(t.data()) ? t : "";
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void Write(const std::string& rel, size_t size, char fill = 'x') const {
        fs::create_directories(fs::path(path + "/" + rel).parent_path());
        std::ofstream(path + "/" + rel, std::ios::binary) << std::string(size, fill);
    }
    std::string path;
};

// Six images of distinct sizes, spread over subfolders as a package has them.
const size_t kSizes[kImageCount] = {1000, 2000, 5000, 3000, 700, 300};
void WritePackage(const TempFolder& t) {
    for (int i = 0; i < kImageCount; ++i)
        t.Write((i % 2 ? "android/" : "android/sub/") + std::string(kImageSpecs[i].file),
                kSizes[i]);
    t.Write("modem/amss.mbn", 10);
}

// A device that takes each flash in chunks and fails the attempts it is told to.
struct ScriptedDevice {
    uint32_t chunk = 256;
    std::map<std::string, int> failures; // partition -> attempts that fail before one succeeds
    std::vector<std::string> attempts;   // partition of every attempt, in order
    std::vector<std::string> written;    // partitions written successfully

    FastbootJob::FlashFn fn() {
        return [this](const std::string& part, FBFileHandle, uint32_t size, FBProgressFn progress,
                      void* ctx) {
            attempts.push_back(part);
            const bool fail = failures[part] > 0;
            // A failing attempt gets half its data out before the device refuses.
            const uint32_t send = fail ? size / 2 : size;
            for (uint32_t off = 0; off < send; off += chunk)
                progress(ctx, std::min(chunk, send - off));
            if (fail) {
                --failures[part];
                return -4;
            }
            written.push_back(part);
            return 0;
        };
    }
};

ImageSet Images() {
    ImageSet s{};
    for (int i = 0; i < kImageCount; ++i)
        s[static_cast<size_t>(i)] = {static_cast<FBFileHandle>(100 + i),
                                     static_cast<uint32_t>(kSizes[i] * 10)};
    return s;
}
uint64_t TableTotal() {
    uint64_t t = 0;
    for (size_t s : kSizes)
        t += s * 10;
    return t;
}

TEST(FastbootProgress, ArithmeticOfTheBar) {
    EXPECT_EQ(FlashProgressPosition(50'000'000, 100'000'000), 47); // 47.5 truncated
    EXPECT_EQ(FlashProgressPosition(50ull << 20, 100ull << 20), 47);
    EXPECT_EQ(FlashProgressPosition(0, 100), 0);
    EXPECT_EQ(FlashProgressPosition(99, 100), 94);
    EXPECT_EQ(FlashProgressPosition(100, 100), 95);
    EXPECT_EQ(FlashProgressPosition(1, 0), 0); // no images: no division by zero
    // Recovery's second flash counts on top of the table's total; the bar stays at 95.
    EXPECT_EQ(FlashProgressPosition(130, 100), 95);
    EXPECT_EQ(FlashProgressPosition(UINT64_MAX, 1), 95);
    // Beyond 32 bits: six large images.
    EXPECT_EQ(FlashProgressPosition(3ull << 32, 6ull << 32), 47);

    // Through the callback, in 1 MiB chunks as the library reports them.
    RecordingUi ui;
    FastbootJob job(ImageSet{}, 100'000'000, &ui, 3);
    for (int i = 0; i < 47; ++i)
        FastbootJob::Progress(&job, 1 << 20); // 49,283,072 bytes
    EXPECT_EQ(job.position(), 46);
    FastbootJob::Progress(&job, 50'000'000 - 47 * (1 << 20));
    EXPECT_EQ(job.bytes_done(), 50'000'000u);
    EXPECT_EQ(job.position(), 47);
    EXPECT_EQ(ui.positions.back(), 47);
    FastbootJob::Progress(&job, -1);
    EXPECT_EQ(ui.positions.back(), 100);
    EXPECT_EQ(job.bytes_done(), 50'000'000u); // the end moves the bar, not the count
}

TEST(FastbootImages, LoadingTwiceGivesTheSameTotal) {
    TempFolder t;
    WritePackage(t);
    RecordingUi ui;
    ImageTable table;
    ASSERT_TRUE(table.LoadFrom(t.path, ui));
    EXPECT_TRUE(table.loaded());
    uint64_t sum = 0;
    for (int i = 0; i < kImageCount; ++i) {
        sum += kSizes[i];
        EXPECT_EQ(table.images()[static_cast<size_t>(i)].size, kSizes[i]) << kImageSpecs[i].file;
        EXPECT_NE(table.images()[static_cast<size_t>(i)].handle, 0u);
    }
    EXPECT_EQ(table.total(), sum);
    const auto first = table.images();

    ASSERT_TRUE(table.LoadFrom(t.path, ui));
    EXPECT_EQ(table.total(), sum);
    EXPECT_TRUE(table.loaded());
    for (int i = 0; i < kImageCount; ++i) // fresh handles: the old ones were freed
        EXPECT_NE(table.images()[static_cast<size_t>(i)].handle,
                  first[static_cast<size_t>(i)].handle);
    EXPECT_TRUE(ui.boxes.empty());

    table.Clear();
    EXPECT_FALSE(table.loaded());
    EXPECT_EQ(table.total(), 0u);
}

TEST(FastbootImages, ReselectingAPackageThatLostAFileKeepsNothing) {
    TempFolder t;
    WritePackage(t);
    RecordingUi ui;
    ImageTable table;
    ASSERT_TRUE(table.LoadFrom(t.path, ui));
    fs::remove(t.path + "/android/sub/boot.2knand.img");
    // boot is first in the loading order: loading stops at once.
    EXPECT_FALSE(table.LoadFrom(t.path, ui));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Can't find file: boot.2knand.img");
    EXPECT_EQ(ui.boxes[0].caption, "Tarnwell");
    EXPECT_EQ(ui.boxes[0].icon, MessageIcon::Error);
    EXPECT_FALSE(table.loaded());
    EXPECT_EQ(table.total(), 0u);
    for (const auto& img : table.images()) // nothing of the earlier selection is kept
        EXPECT_EQ(img.handle, 0u);
}

TEST(FastbootImages, MissingUserdataIsReportedBeforeMissingRecovery) {
    TempFolder t;
    WritePackage(t);
    fs::remove(t.path + "/android/userdata.2knand.img");
    fs::remove(t.path + "/android/recovery.2knand.img");
    RecordingUi ui;
    ImageTable table;
    EXPECT_FALSE(table.LoadFrom(t.path, ui));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Can't find file: userdata.2knand.img");
    EXPECT_FALSE(table.loaded());
    // boot and system came before it in the loading order, cache after it.
    EXPECT_NE(table.images()[kBoot].handle, 0u);
    EXPECT_NE(table.images()[kSystem].handle, 0u);
    EXPECT_EQ(table.images()[kCache].handle, 0u);
}

TEST(FastbootImages, LoadErrorsShowTheLibrarysMessage) {
    TempFolder t;
    WritePackage(t);
    RecordingUi ui;
    ImageTable table;

    // A name that leads nowhere: the file does not exist.
    const std::string dangling = t.path + "/android/sub/boot.2knand.img";
    fs::remove(dangling);
    fs::create_symlink(t.path + "/nowhere", dangling);
    EXPECT_FALSE(table.LoadFrom(t.path, ui));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, dangling);
    EXPECT_EQ(ui.boxes[0].caption, "文件不存在");

    // A FIFO cannot be read as an image.
    fs::remove(dangling);
    t.Write("android/sub/boot.2knand.img", 10);
    const std::string fifo = t.path + "/android/sub/system.2knand.img";
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ui.boxes.clear();
    EXPECT_FALSE(table.LoadFrom(t.path, ui));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, fifo);
    EXPECT_EQ(ui.boxes[0].caption, "读取文件错误");
    EXPECT_FALSE(table.loaded());
}

TEST(FastbootImages, FindFileByName) {
    TempFolder t;
    t.Write("a/b/boot.img", 1);
    t.Write("z/boot.img", 1);
    t.Write("c/BOOT.IMG", 1);
    t.Write("c/d/e/boot.img", 1);
    fs::create_directories(t.path + "/boot.img.d/x");
    EXPECT_EQ(FindFileByName(t.path, "boot.img"), t.path + "/z/boot.img");
    fs::remove(t.path + "/z/boot.img");
    // Same depth: the exact name wins over a match that differs in case.
    t.Write("y/boot.img", 1);
    EXPECT_EQ(FindFileByName(t.path, "boot.img"), t.path + "/y/boot.img");
    fs::remove(t.path + "/y/boot.img");
    EXPECT_EQ(FindFileByName(t.path, "boot.img"), t.path + "/c/BOOT.IMG");
    EXPECT_EQ(FindFileByName(t.path, "x"), ""); // folders are not taken
    EXPECT_EQ(FindFileByName(t.path, "none.img"), "");
    EXPECT_EQ(FindFileByName(t.path + "/missing", "boot.img"), "");
}

TEST(FastbootFlashAll, SevenFlashesInOrderWithTheirDebugLines) {
    DebugCapture dbg;
    RecordingUi ui;
    ScriptedDevice dev;
    FastbootJob job(Images(), TableTotal(), &ui, 3);
    job.set_flash(dev.fn());
    EXPECT_EQ(job.FlashAll(), 0);
    const std::vector<std::string> order = {"boot",  "recovery", "system",  "userdata",
                                            "cache", "persist",  "recovery"};
    EXPECT_EQ(dev.written, order);
    EXPECT_EQ(dev.attempts, order);
    std::vector<std::string> want;
    for (const auto& p : order)
        want.push_back("flash " + p + ":times 1/3\r\n");
    EXPECT_EQ(dbg.lines(), want);
    // Every byte counted, recovery twice; the bar climbed without going back and ends at 100.
    EXPECT_EQ(job.bytes_done(), TableTotal() + Images()[kRecovery].size);
    ASSERT_FALSE(ui.positions.empty());
    for (size_t i = 1; i + 1 < ui.positions.size(); ++i)
        EXPECT_LE(ui.positions[i - 1], ui.positions[i]);
    EXPECT_EQ(ui.positions[ui.positions.size() - 2], 95);
    EXPECT_EQ(ui.positions.back(), 100);
}

TEST(FastbootFlashAll, RetriedPartitionEndsWhereAnUndisturbedRunEnds) {
    RecordingUi calm_ui;
    ScriptedDevice calm;
    FastbootJob calm_job(Images(), TableTotal(), &calm_ui, 3);
    calm_job.set_flash(calm.fn());
    ASSERT_EQ(calm_job.FlashAll(), 0);

    DebugCapture dbg;
    RecordingUi ui;
    ScriptedDevice dev;
    dev.failures["system"] = 2;
    FastbootJob job(Images(), TableTotal(), &ui, 3);
    job.set_flash(dev.fn());
    ASSERT_EQ(job.FlashAll(), 0);
    EXPECT_EQ(job.bytes_done(), calm_job.bytes_done());
    EXPECT_EQ(dev.written, calm.written);
    EXPECT_EQ(std::count(dev.attempts.begin(), dev.attempts.end(), "system"), 3);

    std::vector<std::string> lines = dbg.lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[2], "flash system:times 1/3\r\n");
    EXPECT_EQ(lines[3], "flash system:times 2/3\r\n");
    EXPECT_EQ(lines[4], "flash system:times 3/3\r\n");
    EXPECT_EQ(lines[5], "flash userdata:times 1/3\r\n");

    // Each failed attempt drew the bar back to where system began; after the rewinds the run
    // shows exactly the positions of the undisturbed one.
    const uint64_t before_system = Images()[kBoot].size + Images()[kRecovery].size;
    const int start = FlashProgressPosition(before_system, TableTotal());
    std::vector<int> rewinds;
    for (size_t i = 1; i < ui.positions.size(); ++i)
        if (ui.positions[i] < ui.positions[i - 1]) rewinds.push_back(ui.positions[i]);
    EXPECT_EQ(rewinds, (std::vector<int>{start, start}));
    size_t cut = 0;
    for (size_t i = 1; i < ui.positions.size(); ++i)
        if (ui.positions[i] < ui.positions[i - 1]) cut = i;
    std::vector<int> calm_tail(calm_ui.positions.end() -
                                   static_cast<long>(ui.positions.size() - cut),
                               calm_ui.positions.end());
    EXPECT_EQ(std::vector<int>(ui.positions.begin() + static_cast<long>(cut), ui.positions.end()),
              calm_tail);
    EXPECT_EQ(ui.positions.back(), 100);
}

TEST(FastbootFlashAll, ThirdFailureEndsTheRun) {
    DebugCapture dbg;
    RecordingUi ui;
    ScriptedDevice dev;
    dev.failures["userdata"] = 3;
    FastbootJob job(Images(), TableTotal(), &ui, 3);
    job.set_flash(dev.fn());
    EXPECT_EQ(job.FlashAll(), -1);
    EXPECT_EQ(dev.written, (std::vector<std::string>{"boot", "recovery", "system"}));
    EXPECT_EQ(std::count(dev.attempts.begin(), dev.attempts.end(), "userdata"), 3);
    std::vector<std::string> lines = dbg.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Error flashing userdata, exit.\r\n");
    EXPECT_EQ(lines[lines.size() - 2], "flash userdata:times 3/3\r\n");
    EXPECT_LT(ui.positions.back(), 95);
    EXPECT_EQ(std::count(ui.positions.begin(), ui.positions.end(), 100), 0);

    // A first-flash failure names boot; nothing else is tried.
    ScriptedDevice dead;
    dead.failures["boot"] = 3;
    FastbootJob job2(Images(), TableTotal(), &ui, 3);
    job2.set_flash(dead.fn());
    EXPECT_EQ(job2.FlashAll(), -1);
    EXPECT_EQ(dead.attempts, (std::vector<std::string>{"boot", "boot", "boot"}));
    EXPECT_EQ(dbg.lines().back(), "Error flashing boot, exit.\r\n");
}

// A device whose link the script breaks. Each attempt of a partition takes the next result of
// its script (0 once the script runs out) after sending half its data; an attempt without an
// open device fails at once, as the library's does. Opens fail while the device is away.
struct FlakyDevice {
    std::map<std::string, std::vector<int>> results;
    int away = 0; // opens that fail before the device is back
    std::function<void()> on_reopen;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, FBDeviceHandle>> attempts; // partition, device used
    FastbootJob* job = nullptr;
    FBDeviceHandle next = 500;

    void attach(FastbootJob& j) {
        job = &j;
        j.set_open([this](const std::string& name) -> FBDeviceHandle {
            opened.push_back(name);
            if (opened.size() > 1 && on_reopen) on_reopen();
            if (away > 0) {
                --away;
                return 0;
            }
            return next++;
        });
        j.set_flash([this](const std::string& part, FBFileHandle, uint32_t size,
                           FBProgressFn progress, void* ctx) {
            const FBDeviceHandle d = job->device();
            attempts.push_back({part, d});
            if (!d) return -1;
            std::vector<int>& r = results[part];
            const int rc = r.empty() ? 0 : r.front();
            if (!r.empty()) r.erase(r.begin());
            progress(ctx, rc ? size / 2 : size);
            return rc;
        });
    }
    std::vector<FBDeviceHandle> devices_for(const std::string& part) const {
        std::vector<FBDeviceHandle> v;
        for (const auto& [p, d] : attempts)
            if (p == part) v.push_back(d);
        return v;
    }
};

TEST(FastbootFlashAll, ALostLinkReopensTheDeviceAFailKeepsIt) {
    tw::clock::set_scale(0.001);
    RecordingUi calm_ui;
    FastbootJob calm(Images(), TableTotal(), &calm_ui, 3);
    FlakyDevice calm_dev;
    calm_dev.attach(calm);
    ASSERT_TRUE(calm.OpenDevice("usb:1-1.4"));
    ASSERT_EQ(calm.FlashAll(), 0);

    // system: the link goes (-2), then the device refuses (-4), then it works.
    RecordingUi ui;
    FastbootJob job(Images(), TableTotal(), &ui, 3);
    FlakyDevice dev;
    dev.attach(job);
    dev.results["system"] = {-2, -4};
    ASSERT_TRUE(job.OpenDevice("usb:1-1.4"));
    dev.away = 3; // it re-enumerates: three opens fail before it is back
    EXPECT_EQ(job.FlashAll(), 0);
    EXPECT_EQ(job.device_name(), "usb:1-1.4");
    // Reopened by name once, after the lost link only; the FAIL kept the new handle.
    EXPECT_EQ(dev.opened, std::vector<std::string>(5, "usb:1-1.4"));
    EXPECT_EQ(dev.devices_for("system"), (std::vector<FBDeviceHandle>{500, 501, 501}));
    EXPECT_EQ(dev.devices_for("persist"), std::vector<FBDeviceHandle>{501});
    EXPECT_EQ(job.device(), 501u);
    EXPECT_EQ(job.bytes_done(), calm.bytes_done());
    EXPECT_EQ(ui.positions.back(), 100);
    tw::clock::set_scale(1.0);
}

TEST(FastbootFlashAll, ADeviceThatStaysAwayOrAStopEndsTheRun) {
    tw::clock::set_scale(0.001);
    RecordingUi ui;
    {
        // Gone for good: one wait for it, then the remaining attempts fail at once.
        FastbootJob job(Images(), TableTotal(), &ui, 3);
        FlakyDevice dev;
        dev.attach(job);
        dev.results["boot"] = {-3};
        ASSERT_TRUE(job.OpenDevice("usb:1-1.4"));
        dev.away = 1 << 30;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(job.FlashAll(), -1);
        const double nominal_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count() /
            tw::clock::scale();
        EXPECT_GE(nominal_ms, kReopenWaitMs);
        EXPECT_EQ(dev.devices_for("boot"), (std::vector<FBDeviceHandle>{500, 0, 0}));
        EXPECT_GT(dev.opened.size(), 2u);
        EXPECT_NE(job.last_error().find("usb:1-1.4 did not come back"), std::string::npos)
            << job.last_error();
    }
    {
        // The station's stop closes the device: the run never opens it again.
        FastbootJob job(Images(), TableTotal(), &ui, 3);
        FlakyDevice dev;
        dev.attach(job);
        job.set_flash([&](const std::string& part, FBFileHandle, uint32_t size,
                          FBProgressFn progress, void* ctx) {
            const FBDeviceHandle d = job.device();
            dev.attempts.push_back({part, d});
            if (!d) return -1;
            if (part == "recovery") {
                job.CloseDevice(); // what the stop does; the library then answers -7
                return -7;
            }
            progress(ctx, size);
            return 0;
        });
        ASSERT_TRUE(job.OpenDevice("usb:1-1.4"));
        EXPECT_EQ(job.FlashAll(), -1);
        EXPECT_EQ(dev.opened.size(), 1u);
        EXPECT_EQ(dev.devices_for("recovery"), (std::vector<FBDeviceHandle>{500, 0, 0}));
    }
    {
        // A stop that comes while the device is being reopened: the new handle is closed and
        // nothing more is tried on it.
        FastbootJob job(Images(), TableTotal(), &ui, 3);
        FlakyDevice dev;
        dev.attach(job);
        dev.results["boot"] = {-8};
        dev.on_reopen = [&] { job.CloseDevice(); };
        ASSERT_TRUE(job.OpenDevice("usb:1-1.4"));
        EXPECT_EQ(job.FlashAll(), -1);
        EXPECT_EQ(dev.opened.size(), 2u);
        EXPECT_EQ(dev.devices_for("boot"), (std::vector<FBDeviceHandle>{500, 0, 0}));
        EXPECT_EQ(job.device(), 0u);
    }
    tw::clock::set_scale(1.0);
}

TEST(FastbootFlashAll, WithoutADeviceEveryAttemptFailsAtOnce) {
    DebugCapture dbg;
    RecordingUi ui;
    FastbootJob job(Images(), TableTotal(), &ui, 3);
    EXPECT_EQ(job.device(), 0u);
    EXPECT_FALSE(job.OpenDevice("nonsense"));
    EXPECT_FALSE(job.OpenDevice("bogus:1", 3, 10));
    EXPECT_EQ(job.FlashAll(), -1);
    EXPECT_EQ(dbg.lines().back(), "Error flashing boot, exit.\r\n");
    EXPECT_FALSE(job.last_error().empty());
    EXPECT_LT(job.Reboot(), 0);
}

TEST(StationDebugLine, TrimmedCutAndEndedWithCrLf) {
    EXPECT_EQ(DebugLineText("flash boot:times 1/3 \t\n"), "flash boot:times 1/3\r\n");
    EXPECT_EQ(DebugLineText("\n  Convert\n"), "\n  Convert\r\n");
    EXPECT_EQ(DebugLineText(""), "\r\n");
    std::string longer(5000, 'a');
    EXPECT_EQ(DebugLineText(longer), std::string(4093, 'a') + "\r\n");
    DebugCapture dbg;
    DebugLine("%s", longer.c_str());
    ASSERT_EQ(dbg.lines().size(), 1u);
    EXPECT_EQ(dbg.lines()[0].size(), 4095u);
}

TEST(StationHeadlessUi, PrintsWhatTheWindowWouldShow) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        HeadlessUi ui(f, HeadlessUi::Progress::Lines);
        ui.SetProgress(2, 10);
        ui.SetProgress(2, 10); // unchanged: no line
        ui.SetProgress(2, 47);
        ui.MessageBox("Can't find file: boot.2knand.img", "Tarnwell", MessageIcon::Error);
        ui.SetStatus(2, "Update AP...");
        ui.MarkResult(2, true);
        EXPECT_EQ(ui.position(2), 100);
        EXPECT_EQ(ui.position(5), 0);
        ASSERT_EQ(ui.boxes().size(), 1u);
    }
    std::rewind(f);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f))
        out += buf;
    std::fclose(f);
    EXPECT_EQ(out, "slot 2: 10%\nslot 2: 47%\n[error] Tarnwell: Can't find file: boot.2knand.img\n"
                   "slot 2: Update AP...\nslot 2: PASS\n");
}

} // namespace
