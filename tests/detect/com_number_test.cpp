// COM numbers on a sysfs tree: a number stays with its phone's USB port while the kernel hands
// the tty names round, opening a number never reaches another phone, and the numbers outlive
// the process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "link/qualcomm_data_interface.h"
#include "link/quillon.h"
#include "link/trans_service.h"
#include "platform/port_map.h"
#include "platform/pty.h"
#include "tests/common/files.h"
#include "tests/detect/detect_fixture.h"
#include "tests/platform/fake_sysfs.h"

namespace {

using namespace std::chrono_literals;

class ComNumberTest : public twtest::DetectTest {
  protected:
    void SetUp() override {
        DetectTest::SetUp();
        ::unsetenv("TARNWELL_DEVICE_DIR");
        sys = root + "/sys";
        dev = root + "/dev";
        fs = std::make_unique<twtest::FakeSysfs>(sys);
        twtest::FakeSysfs::mk(dev);
        fs->device("usb1", "1d6b", "0002", "09");
        fs->device("1-1", "05e3", "0608", "09");
        tw::set_sysfs_root(sys, dev);
    }

    // A DIAG composite at hub port `port` whose interface 0 is bound as `tty`, a pty standing
    // in for the phone's end.
    void PlugPhone(int port, const std::string& serial, const std::string& tty,
                   const tw::PtyMaster& phone) {
        const std::string name = "1-1." + std::to_string(port);
        fs->device(name, "05c6", "9025", "00", serial);
        twtest::FakeSysfs::mk(fs->iface(name, 0) + "/" + tty);
        std::filesystem::create_symlink(phone.slave_path(), dev + "/" + tty);
    }
    void UnplugPhone(int port, const std::string& tty) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(sys + "/bus/usb/devices"))
            if (e.path().filename().string().rfind("1-1." + std::to_string(port), 0) == 0)
                std::filesystem::remove_all(e.path(), ec);
        std::filesystem::remove(dev + "/" + tty, ec);
    }

    // The COM number the listing gives the DIAG port at a hub port; 0 when none is listed.
    int ComAt(const std::string& list, int port) {
        for (const auto& r : tw::list_devices())
            if (r.kind == tw::DeviceKind::Serial && r.hubport == port) {
                const std::string item = "COM" + std::to_string(r.com) + "+" + r.friendly;
                EXPECT_NE(list.find(item), std::string::npos) << item << " not in " << list;
                return r.com;
            }
        return 0;
    }

    // Opens COM n as the engine does; true when its AT text reached `phone` (and only then).
    // The handle, -1 when the open failed, goes to *handle.
    static bool OpenReaches(int com, tw::PtyMaster& phone, PortHandle* handle = nullptr) {
        PortHandle h = 0;
        CQuillonDll* link = CreateComm(com, h, 115200);
        const bool heard = Heard(phone);
        deleteComm(link);
        if (handle) *handle = h;
        return heard;
    }
    static bool Heard(tw::PtyMaster& phone) {
        char buf[256];
        std::string got;
        long n;
        while ((n = phone.read_some(buf, sizeof buf, 200ms)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got.find("AT$QCDMG\r") != std::string::npos;
    }

    std::string sys, dev;
    std::unique_ptr<twtest::FakeSysfs> fs;
};

TEST_F(ComNumberTest, ANumberStaysWithItsPhoneAndNeverOpensAnother) {
    tw::PtyMaster first, second;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(second.open());

    // The first phone, at hub port 2, is ttyUSB0.
    PlugPhone(2, "FIRST", "ttyUSB0", first);
    const int n = ComAt(phones(), 2);
    ASSERT_GT(n, 0);
    EXPECT_EQ(tw::tty_path_for_com(n), dev + "/ttyUSB0");
    EXPECT_TRUE(OpenReaches(n, first));

    // It goes; a second phone at hub port 3 gets ttyUSB0 from the kernel, and a number of its
    // own. COM n now names nothing: its open fails and the second phone hears nothing.
    UnplugPhone(2, "ttyUSB0");
    PlugPhone(3, "SECOND", "ttyUSB0", second);
    const std::string list = phones();
    const int m = ComAt(list, 3);
    ASSERT_GT(m, 0);
    EXPECT_NE(m, n);
    EXPECT_EQ(list.find("COM" + std::to_string(n) + "+"), std::string::npos) << list;
    EXPECT_EQ(tw::tty_path_for_com(n), "");
    {
        CTransService service;
        PortHandle h = 0;
        EXPECT_EQ(service.Open(1, n, 0, h), quillon::ERR_OPEN_FAILED);
        EXPECT_EQ(h, INVALID_PORT_HANDLE);
    }
    PortHandle h = 0;
    EXPECT_FALSE(OpenReaches(n, second, &h));
    EXPECT_EQ(h, INVALID_PORT_HANDLE);

    // The first phone comes back at hub port 2 as ttyUSB1: COM n again, and it opens that phone.
    PlugPhone(2, "FIRST", "ttyUSB1", first);
    const std::string both = phones();
    EXPECT_EQ(ComAt(both, 2), n);
    EXPECT_EQ(ComAt(both, 3), m);
    EXPECT_EQ(tw::tty_path_for_com(n), dev + "/ttyUSB1");
    EXPECT_TRUE(OpenReaches(n, first, &h));
    EXPECT_GE(h, 0);
    EXPECT_FALSE(Heard(second));

    // A new process reading the same database lists the same numbers.
    const std::string out = root + "/restart.txt";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char buf[4096];
        bool a = false, b = false;
        GetPhone(buf, sizeof buf, &a, &b);
        ::_exit(tw::ini::write_file_atomic(out, buf) ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(twtest::Slurp(out), both);
}

} // namespace
