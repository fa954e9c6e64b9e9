// The six calls the station uses, end to end against a fastboot device on loopback TCP, plus
// the handle rules and the USB naming and interface matching (no USB device on a build machine).
#include <gtest/gtest.h>

#include <libusb.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include "fake_device.h"
#include "fastboot/fastboot.h"
#include "fastboot/transport_usb.h"
#include "platform/clock.h"

namespace fs = std::filesystem;
using namespace tw::fastboot;

namespace {

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

struct Counter {
    std::vector<int64_t> calls;
    int64_t sum() const { return std::accumulate(calls.begin(), calls.end(), int64_t{0}); }
    static void fn(void* ctx, int64_t n) { static_cast<Counter*>(ctx)->calls.push_back(n); }
};

class FastbootApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        dir = fs::temp_directory_path() /
              ("tw_fb_api_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        for (auto h : files)
            FBFreeFile(h);
        FBSetLogSink({});
        fs::remove_all(dir);
        tw::clock::set_scale(1.0);
    }
    // Writes an image file and loads it.
    FBFileHandle load(const std::string& name, const std::vector<uint8_t>& bytes) {
        auto p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        uint32_t size = 0, error = 99;
        FBFileHandle h = FBLoadFile(p.string(), &size, &error);
        EXPECT_NE(h, 0u);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(size, bytes.size());
        files.push_back(h);
        return h;
    }
    static double since(std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }

    fs::path dir;
    std::vector<FBFileHandle> files;
};

TEST_F(FastbootApiTest, LoadFileErrors) {
    uint32_t size = 7, error = 0;
    EXPECT_EQ(FBLoadFile((dir / "missing.img").string(), &size, &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_EQ(size, 7u) << "size untouched on failure";
    EXPECT_EQ(FBLoadFile((dir / "missing" / "x.img").string(), &size, &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_EQ(FBLoadFile(dir.string(), &size, &error), 0u); // a folder
    EXPECT_EQ(error, 3u);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(FBLoadFile((dir / "fifo").string(), &size, &error), 0u); // must not block
    EXPECT_EQ(error, 3u);
    if (::geteuid() != 0) {
        std::ofstream(dir / "secret.img") << "x";
        fs::permissions(dir / "secret.img", fs::perms::none);
        EXPECT_EQ(FBLoadFile((dir / "secret.img").string(), &size, &error), 0u);
        EXPECT_EQ(error, 3u);
    }
    // An empty file loads (size 0); null outputs are allowed.
    std::ofstream(dir / "empty.img").close();
    FBFileHandle h = FBLoadFile((dir / "empty.img").string(), &size, &error);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(size, 0u);
    FBFreeFile(h);
    EXPECT_EQ(FBLoadFile((dir / "missing.img").string(), nullptr, nullptr), 0u);
}

TEST_F(FastbootApiTest, FlashesEveryByteInOrderAndReboots) {
    fbtest::FakeOptions o;
    o.flash_info = {"erasing", "writing"};
    fbtest::FakeDevice dev(o);
    auto boot = pattern(5000, 1), system = pattern((3u << 20) + 123, 2);
    FBFileHandle hb = load("boot.img", boot), hs = load("system.img", system);
    std::vector<std::string> lines;
    std::mutex lm;
    FBSetLogSink([&](const std::string& l) {
        std::lock_guard<std::mutex> g(lm);
        lines.push_back(l);
    });

    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u) << FBLastError(0);
    Counter c;
    EXPECT_EQ(FBFlash(d, "boot", hb, 5000, Counter::fn, &c), 0) << FBLastError(d);
    EXPECT_EQ(FBFlash(d, "system", hs, static_cast<uint32_t>(system.size()), Counter::fn, &c), 0)
        << FBLastError(d);
    // The same loaded image flashed twice: it is shared, not consumed.
    EXPECT_EQ(FBFlash(d, "recovery", hb, 5000, Counter::fn, &c), 0);
    EXPECT_EQ(FBReboot(d), 0);
    FBCloseDevice(d);

    EXPECT_EQ(c.sum(), static_cast<int64_t>(5000 * 2 + system.size()));
    for (auto n : c.calls)
        EXPECT_GT(n, 0);
    auto flashed = dev.flashes();
    ASSERT_EQ(flashed.size(), 3u);
    EXPECT_EQ(flashed[0].first, "boot");
    EXPECT_TRUE(flashed[0].second == boot);
    EXPECT_EQ(flashed[1].first, "system");
    EXPECT_TRUE(flashed[1].second == system);
    EXPECT_EQ(flashed[2].first, "recovery");
    EXPECT_TRUE(flashed[2].second == boot);
    // max-download-size is asked once for the opened device, not before every partition.
    auto cmds = dev.commands();
    ASSERT_EQ(cmds.size(), 8u);
    EXPECT_EQ(cmds[0], "getvar:max-download-size");
    EXPECT_EQ(cmds[1], "download:00001388");
    EXPECT_EQ(cmds[2], "flash:boot");
    EXPECT_EQ(cmds[3], "download:0030007b");
    EXPECT_EQ(cmds[7], "reboot");
    // INFO lines reach the log with the device's name.
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "fastboot " + dev.name() + ": (bootloader) erasing"),
        lines.end());
}

TEST_F(FastbootApiTest, FailIsReportedAndARetryOnTheSameHandleSucceeds) {
    fbtest::FakeOptions o;
    o.fail_flash = 2;
    fbtest::FakeDevice dev(o);
    auto img = pattern(70000, 3);
    FBFileHandle h = load("system.img", img);
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    Counter c;
    EXPECT_EQ(FBFlash(d, "system", h, 70000, Counter::fn, &c), kErrDeviceFail);
    EXPECT_NE(FBLastError(d).find("flash write failure"), std::string::npos) << FBLastError(d);
    EXPECT_EQ(FBFlash(d, "system", h, 70000, Counter::fn, &c), kErrDeviceFail);
    EXPECT_EQ(FBFlash(d, "system", h, 70000, Counter::fn, &c), 0);
    EXPECT_EQ(c.sum(), 3 * 70000); // each attempt sends the whole image
    FBCloseDevice(d);
    ASSERT_EQ(dev.flashes().size(), 1u);
    EXPECT_TRUE(dev.flashes()[0].second == img);
}

TEST_F(FastbootApiTest, DeviceVanishingMidDownloadFailsInBoundedTime) {
    fbtest::FakeOptions o;
    o.vanish_after = 1 << 20;
    fbtest::FakeDevice dev(o);
    FBFileHandle h = load("system.img", pattern(16u << 20, 5));
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    Counter c;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FBFlash(d, "system", h, 16u << 20, Counter::fn, &c), kErrIo) << FBLastError(d);
    EXPECT_LT(since(t0), 10.0);
    EXPECT_LT(c.sum(), 16 << 20);
    // The link is gone; later calls say so at once instead of talking to nothing.
    EXPECT_EQ(FBFlash(d, "system", h, 16u << 20, Counter::fn, &c), kErrBroken);
    EXPECT_EQ(FBReboot(d), kErrBroken);
    FBCloseDevice(d);
    EXPECT_TRUE(dev.flashes().empty());
}

TEST_F(FastbootApiTest, CloseFromAnotherThreadEndsARunningFlash) {
    tw::clock::set_scale(1.0); // real ten-second write time-outs: only the close can end it soon
    fbtest::FakeOptions o;
    o.stall_after = 1 << 20;
    fbtest::FakeDevice dev(o);
    FBFileHandle h = load("system.img", std::vector<uint8_t>(48u << 20, 0xA5));
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    int rc = 0;
    auto t0 = std::chrono::steady_clock::now();
    std::thread flasher([&] { rc = FBFlash(d, "system", h, 48u << 20, nullptr, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FBCloseDevice(d);
    flasher.join();
    EXPECT_EQ(rc, kErrCancelled);
    EXPECT_LT(since(t0), 5.0);
    EXPECT_EQ(FBFlash(d, "system", h, 1, nullptr, nullptr), kErrArgument); // handle gone
}

TEST_F(FastbootApiTest, FreeingAFileDuringItsFlashKeepsTheBytesUntilTheEnd) {
    fbtest::FakeDevice dev;
    auto img = pattern(4u << 20, 8);
    FBFileHandle h = load("cache.img", img);
    files.clear();
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    struct Ctx {
        FBFileHandle h;
        int calls = 0;
    } ctx{h};
    auto free_on_first = [](void* p, int64_t) {
        auto* c = static_cast<Ctx*>(p);
        if (c->calls++ == 0) FBFreeFile(c->h);
    };
    EXPECT_EQ(FBFlash(d, "cache", h, 4u << 20, free_on_first, &ctx), 0);
    EXPECT_GT(ctx.calls, 1);
    EXPECT_EQ(FBFlash(d, "cache", h, 4u << 20, nullptr, nullptr), kErrArgument); // now gone
    FBCloseDevice(d);
    ASSERT_EQ(dev.flashes().size(), 1u);
    EXPECT_TRUE(dev.flashes()[0].second == img);
}

// Loaded files stay on disk, shared through the page cache: a file changed after loading must
// fail its flash with the read error, never send a mix of two files, never crash.
TEST_F(FastbootApiTest, FileShortenedRewrittenOrReplacedAfterLoadingFailsWithTheReadError) {
    fbtest::FakeDevice dev;
    auto good = pattern(100000, 11);
    FBFileHandle hg = load("good.img", good);
    FBFileHandle ha = load("a.img", pattern(4u << 20, 12));
    FBFileHandle hb = load("b.img", pattern(8u << 20, 13));
    // Written an hour "ago", so a rewrite shows even where file times are coarse.
    auto c = pattern(4u << 20, 14);
    std::ofstream(dir / "c.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(c.data()), static_cast<std::streamsize>(c.size()));
    fs::last_write_time(dir / "c.img", fs::file_time_type::clock::now() - std::chrono::hours(1));
    FBFileHandle hc = FBLoadFile((dir / "c.img").string(), nullptr, nullptr);
    ASSERT_NE(hc, 0u);
    files.push_back(hc);
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);

    // Shortened before its flash: refused before anything goes out; the link stays usable.
    fs::resize_file(dir / "a.img", 1u << 20);
    EXPECT_EQ(FBFlash(d, "boot", ha, 4u << 20, nullptr, nullptr), kErrFileRead);
    EXPECT_NE(FBLastError(d).find("when loaded"), std::string::npos) << FBLastError(d);
    EXPECT_TRUE(dev.commands().empty());
    EXPECT_EQ(FBFlash(d, "boot", hg, 100000, nullptr, nullptr), 0) << FBLastError(d);

    // Rewritten in place while its data goes out: the download completes, flash: is not sent.
    struct Ctx {
        fs::path path;
        bool shorten;
        int calls = 0;
    };
    auto change = [](void* p, int64_t) {
        auto* c = static_cast<Ctx*>(p);
        if (c->calls++ != 0) return;
        if (c->shorten) {
            fs::resize_file(c->path, 2u << 20);
        } else {
            std::fstream f(c->path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(3u << 20);
            f.write("changed", 7);
        }
    };
    Ctx rewrite{dir / "c.img", false};
    EXPECT_EQ(FBFlash(d, "cache", hc, 4u << 20, change, &rewrite), kErrFileRead);
    EXPECT_NE(FBLastError(d).find("written to"), std::string::npos) << FBLastError(d);
    EXPECT_EQ(FBFlash(d, "recovery", hg, 100000, nullptr, nullptr), 0) << FBLastError(d);

    // Shortened while its data goes out: the read fails part-way and the device, still owed
    // bytes, is out of step.
    Ctx shorten{dir / "b.img", true};
    EXPECT_EQ(FBFlash(d, "system", hb, 8u << 20, change, &shorten), kErrFileRead);
    EXPECT_NE(FBLastError(d).find("image read failed after"), std::string::npos) << FBLastError(d);
    EXPECT_EQ(FBFlash(d, "recovery", hg, 100000, nullptr, nullptr), kErrBroken);
    FBCloseDevice(d);

    // Replaced by another file under the same name: refused as well.
    auto newer = pattern(100000, 15);
    std::ofstream(dir / "new.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(newer.data()), 100000);
    fs::rename(dir / "new.img", dir / "good.img");
    d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    EXPECT_EQ(FBFlash(d, "boot", hg, 100000, nullptr, nullptr), kErrFileRead);
    EXPECT_NE(FBLastError(d).find("replaced"), std::string::npos) << FBLastError(d);
    FBCloseDevice(d);

    // Only the two flashes of the unchanged file reached storage.
    auto flashed = dev.flashes();
    ASSERT_EQ(flashed.size(), 2u);
    EXPECT_TRUE(flashed[0].second == good);
    EXPECT_TRUE(flashed[1].second == good);
}

TEST_F(FastbootApiTest, HandlesAreCheckedNeverTrusted) {
    fbtest::FakeDevice dev;
    FBFileHandle h = load("boot.img", pattern(100, 9));
    FBDeviceHandle d = FBOpenDevice(dev.name());
    ASSERT_NE(d, 0u);
    EXPECT_NE(d, h);
    EXPECT_EQ(FBFlash(0, "boot", h, 100, nullptr, nullptr), kErrArgument);
    EXPECT_EQ(FBFlash(h, "boot", h, 100, nullptr, nullptr), kErrArgument); // a file as a device
    EXPECT_EQ(FBFlash(d, "boot", d, 100, nullptr, nullptr), kErrArgument); // a device as a file
    EXPECT_NE(FBLastError(d).find("unknown file"), std::string::npos);
    EXPECT_EQ(FBFlash(d, "boot", h, 101, nullptr, nullptr), kErrArgument); // more than loaded
    EXPECT_EQ(FBFlash(d, "boot", h, 99, nullptr, nullptr), 0);             // a prefix is fine
    EXPECT_EQ(FBReboot(h), kErrArgument);
    FBCloseDevice(d);
    FBCloseDevice(d); // twice is harmless
    FBFreeFile(0);
    EXPECT_EQ(FBReboot(d), kErrArgument);
    EXPECT_EQ(FBLastError(d), "unknown device handle");
    // Nothing reached the device but the one good flash.
    ASSERT_EQ(dev.flashes().size(), 1u);
    EXPECT_EQ(dev.flashes()[0].second.size(), 99u);
}

TEST_F(FastbootApiTest, OpenDeviceRefusesWhatItCannotOpen) {
    uint16_t closed_port;
    {
        fbtest::FakeDevice gone;
        closed_port = static_cast<uint16_t>(std::stoi(gone.name().substr(14)));
    }
    for (std::string name : {std::string(), std::string("serial:1"), std::string("tcp:"),
                             std::string("usb:"), std::string("usb:0-1"), std::string("usb:1-1"),
                             "tcp:127.0.0.1:" + std::to_string(closed_port)}) {
        EXPECT_EQ(FBOpenDevice(name), 0u) << name;
        EXPECT_FALSE(FBLastError(0).empty()) << name;
    }
}

TEST(UsbNames, ParseAndFormat) {
    UsbName n;
    ASSERT_TRUE(parse_usb_name("usb:1-1.4", n));
    EXPECT_EQ(n.bus, 1);
    EXPECT_EQ(n.ports, (std::vector<uint8_t>{1, 4}));
    EXPECT_EQ(format_usb_name(n), "usb:1-1.4");
    ASSERT_TRUE(parse_usb_name("usb:3-2", n));
    EXPECT_EQ(format_usb_name(n), "usb:3-2");
    ASSERT_TRUE(parse_usb_name("usb:12-1.2.3.4.5.6.7", n));
    EXPECT_EQ(n.ports.size(), 7u);
    for (const char* bad :
         {"usb:", "usb:1", "usb:1-", "usb:-1", "usb:0-1", "usb:1-0", "usb:1-1.", "usb:1-1..2",
          "usb:1-256", "usb:256-1", "usb:1-1.2.3.4.5.6.7.8", "usb:1-1x", "tcp:1-1", "usb:1-+1"})
        EXPECT_FALSE(parse_usb_name(bad, n)) << bad;
}

// Descriptors as libusb hands them over, built by hand.
struct FakeConfig {
    std::vector<libusb_endpoint_descriptor> eps_adb, eps_fb;
    std::vector<libusb_interface_descriptor> alts_adb, alts_fb;
    std::vector<libusb_interface> itfs;
    libusb_config_descriptor cfg{};

    static libusb_endpoint_descriptor ep(uint8_t addr, uint8_t type, uint16_t mps = 512) {
        libusb_endpoint_descriptor e{};
        e.bEndpointAddress = addr;
        e.bmAttributes = type;
        e.wMaxPacketSize = mps;
        return e;
    }
    static libusb_interface_descriptor alt(uint8_t num, uint8_t alt, uint8_t proto,
                                           std::vector<libusb_endpoint_descriptor>& eps) {
        libusb_interface_descriptor d{};
        d.bInterfaceNumber = num;
        d.bAlternateSetting = alt;
        d.bInterfaceClass = 0xFF;
        d.bInterfaceSubClass = 0x42;
        d.bInterfaceProtocol = proto;
        d.bNumEndpoints = static_cast<uint8_t>(eps.size());
        d.endpoint = eps.data();
        return d;
    }
    void build() {
        itfs.clear();
        itfs.push_back({alts_adb.data(), static_cast<int>(alts_adb.size())});
        itfs.push_back({alts_fb.data(), static_cast<int>(alts_fb.size())});
        cfg.bNumInterfaces = static_cast<uint8_t>(itfs.size());
        cfg.interface = itfs.data();
    }
};

TEST(UsbInterface, FindsTheFastbootInterfaceAndItsBulkEndpoints) {
    FakeConfig f;
    // Interface 0 is the debug bridge (protocol 0x01) with bulk endpoints of its own.
    f.eps_adb = {FakeConfig::ep(0x82, LIBUSB_TRANSFER_TYPE_BULK),
                 FakeConfig::ep(0x02, LIBUSB_TRANSFER_TYPE_BULK)};
    f.eps_fb = {FakeConfig::ep(0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 64),
                FakeConfig::ep(0x81, LIBUSB_TRANSFER_TYPE_BULK, 512),
                FakeConfig::ep(0x01, LIBUSB_TRANSFER_TYPE_BULK)};
    f.alts_adb = {FakeConfig::alt(0, 0, 0x01, f.eps_adb)};
    f.alts_fb = {FakeConfig::alt(1, 0, 0x03, f.eps_fb)};
    f.build();
    FastbootInterface fi;
    ASSERT_TRUE(find_fastboot_interface(&f.cfg, fi));
    EXPECT_EQ(fi.number, 1);
    EXPECT_EQ(fi.ep_in, 0x81);
    EXPECT_EQ(fi.ep_out, 0x01);
    EXPECT_EQ(fi.max_packet_in, 512);

    // Without a bulk OUT endpoint it is no use.
    f.eps_fb.pop_back();
    f.alts_fb = {FakeConfig::alt(1, 0, 0x03, f.eps_fb)};
    f.build();
    EXPECT_FALSE(find_fastboot_interface(&f.cfg, fi));

    // Found in a later alternate setting.
    std::vector<libusb_endpoint_descriptor> full = {
        FakeConfig::ep(0x84, LIBUSB_TRANSFER_TYPE_BULK),
        FakeConfig::ep(0x04, LIBUSB_TRANSFER_TYPE_BULK)};
    f.alts_fb = {FakeConfig::alt(1, 0, 0x03, f.eps_fb), FakeConfig::alt(1, 1, 0x03, full)};
    f.build();
    ASSERT_TRUE(find_fastboot_interface(&f.cfg, fi));
    EXPECT_EQ(fi.alt_setting, 1);
    EXPECT_EQ(fi.ep_in, 0x84);
    EXPECT_FALSE(find_fastboot_interface(nullptr, fi));
}

} // namespace
