// The device source: virtual device directory records and a fake sysfs tree built here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/device_source.h"
#include "platform/ini.h"
#include "tests/platform/fake_sysfs.h"

namespace {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tw_dev_XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

void put(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// A COM database of the test's own, so sysfs listings never touch the user's.
class StateDir {
  public:
    explicit StateDir(const std::string& path) { ::setenv("TARNWELL_STATE_DIR", path.c_str(), 1); }
    ~StateDir() { ::unsetenv("TARNWELL_STATE_DIR"); }
};

TEST(DeviceDir, RecordsAreReadInNameOrderAndUnfinishedOnesSkipped) {
    TempDir d;
    put(d.path + "/a-edl.dev", "[device]\n"
                               "kind=serial\ncom=15\npath=/dev/pts/7\n"
                               "friendly=Qualcomm HS-USB QDLoader 9008 (COM15)\n"
                               "diag=0\n"
                               "interface=\\\\?\\usb#vid_05c6&pid_9008#5&1&0&4#{a5dcbf10-6530-11d2-"
                               "901f-00c04fb951ed}\n"
                               "instance=USB\\VID_05C6&PID_9008\\5&1&0&4\n"
                               "parent=1-1\nhubport=4\nvid=05c6\npid=9008\n");
    put(d.path + "/b-fb.dev", "[DEVICE]\nKIND=usb\nvid=18D1\npid=d00d\nparent=1-1\nhubport=4\n"
                              "address=tcp:127.0.0.1:5554\n");
    put(d.path + "/c-disk.dev", "[device]\nkind=disk\npath=/tmp/emmc.img\nparent=1-2\nhubport=1\n");
    put(d.path + "/.d-writing.dev.tmp.123", "[device]\nkind=serial\ncom=3\n");
    put(d.path + "/e-bad.dev", "[device]\nkind=printer\n");
    put(d.path + "/f-notes.txt", "[device]\nkind=serial\n");

    auto v = tw::list_devices_from_dir(d.path);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].kind, tw::DeviceKind::Serial);
    EXPECT_EQ(v[0].name, "a-edl");
    EXPECT_EQ(v[0].com, 15);
    EXPECT_EQ(v[0].path, "/dev/pts/7");
    EXPECT_EQ(v[0].friendly, "Qualcomm HS-USB QDLoader 9008 (COM15)");
    EXPECT_FALSE(v[0].diag);
    EXPECT_EQ(v[0].instance, "USB\\VID_05C6&PID_9008\\5&1&0&4");
    EXPECT_EQ(tw::usb_position(v[0]), "1-1#4#");
    EXPECT_EQ(v[0].vid, 0x05c6);
    EXPECT_EQ(v[0].pid, 0x9008);
    EXPECT_EQ(v[1].kind, tw::DeviceKind::Usb);
    EXPECT_EQ(v[1].address, "tcp:127.0.0.1:5554");
    EXPECT_EQ(v[1].pid, 0xd00d);
    EXPECT_EQ(tw::usb_position(v[1]), tw::usb_position(v[0])); // one phone, one position
    EXPECT_EQ(v[2].kind, tw::DeviceKind::Disk);
    EXPECT_EQ(v[2].path, "/tmp/emmc.img");

    EXPECT_TRUE(tw::list_devices_from_dir(d.path + "/missing").empty());
}

TEST(DeviceDir, MissingNamesFollowFromTheUsbIds) {
    TempDir d;
    put(d.path + "/diag.dev",
        "[device]\nkind=serial\ncom=12\ndiag=1\nvid=05c6\npid=9025\nparent=1-1\nhubport=2\n");
    auto v = tw::list_devices_from_dir(d.path);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].friendly, "Qualcomm HS-USB Diagnostics 9025 (COM12)");
    EXPECT_TRUE(v[0].diag);
    EXPECT_EQ(v[0].instance.rfind("USB\\VID_05C6&PID_9025\\", 0), 0u) << v[0].instance;
    EXPECT_EQ(v[0].interface_path.rfind("\\\\?\\usb#vid_05c6&pid_9025#", 0), 0u);
    // A record written back from what was read reads the same.
    put(d.path + "/diag.dev", tw::device_record_text(v[0]));
    auto again = tw::list_devices_from_dir(d.path);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], v[0]);
}

TEST(DeviceDir, EnvironmentChoosesTheDirectory) {
    TempDir d;
    put(d.path + "/x.dev", "[device]\nkind=serial\ncom=5\n");
    ::setenv("TARNWELL_DEVICE_DIR", d.path.c_str(), 1);
    auto v = tw::list_devices();
    ::unsetenv("TARNWELL_DEVICE_DIR");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].com, 5);
}

using twtest::build_two_phones;
using twtest::FakeSysfs;

TEST(Sysfs, QdloaderAndDiagCompositeGetWindowsNamesPortsAndPositions) {
    TempDir d;
    StateDir state(d.path + "/state");
    FakeSysfs fs(d.path);
    build_two_phones(fs);
    auto v = tw::list_devices_from_sysfs(d.path, "/dev");
    ASSERT_EQ(v.size(), 4u);

    EXPECT_EQ(v[0].kind, tw::DeviceKind::Serial);
    EXPECT_EQ(v[0].name, "ttyUSB14");
    // COM numbers come from the (empty) database in enumeration order, not from kernel names.
    EXPECT_EQ(v[0].com, 1);
    EXPECT_EQ(v[0].path, "/dev/ttyUSB14");
    EXPECT_EQ(v[0].friendly, "Qualcomm HS-USB QDLoader 9008 (COM1)");
    EXPECT_FALSE(v[0].diag);
    EXPECT_EQ(tw::usb_position(v[0]), "1-1#3#");
    EXPECT_EQ(v[0].vid, 0x05c6);
    EXPECT_EQ(v[0].pid, 0x9008);

    EXPECT_EQ(v[1].com, 2);
    EXPECT_EQ(v[1].friendly, "Qualcomm HS-USB Diagnostics 9025 (COM2)");
    EXPECT_TRUE(v[1].diag);
    EXPECT_EQ(v[1].parent, "1-1");
    EXPECT_EQ(v[1].hubport, 4);
    EXPECT_EQ(v[1].instance, "USB\\VID_05C6&PID_9025\\A1B2C3");
    EXPECT_EQ(v[1].interface_path,
              "\\\\?\\usb#vid_05c6&pid_9025#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

    EXPECT_EQ(v[2].com, 3);
    EXPECT_EQ(v[2].friendly, "Qualcomm HS-USB Android Modem 9025");
    EXPECT_FALSE(v[2].diag);
    EXPECT_EQ(v[3].friendly, "Qualcomm HS-USB NMEA 9025 (COM4)");
    EXPECT_FALSE(v[3].diag);
    // All ports of one phone share its position and identity.
    EXPECT_EQ(tw::usb_position(v[3]), "1-1#4#");
    EXPECT_EQ(v[3].instance, v[1].instance);
    // Without a serial number the identity still stays put for one position.
    EXPECT_EQ(v[0].instance, "USB\\VID_05C6&PID_9008\\" + tw::synth_serial("1-1", 3));
    EXPECT_NE(tw::synth_serial("1-1", 3), tw::synth_serial("1-2", 3));
}

TEST(Sysfs, FastbootAcmAndStorageDevices) {
    TempDir d;
    StateDir state(d.path + "/state");
    FakeSysfs fs(d.path);
    fs.device("2-1", "18d1", "d00d");
    fs.iface("2-1", 0);
    fs.device("2-2", "2341", "0043", "02");
    FakeSysfs::mk(fs.iface("2-2", 0, "02") + "/tty");
    FakeSysfs::mk(d.path + "/bus/usb/devices/2-2:1.0/tty/ttyACM0");
    fs.device("2-3.1", "05c6", "9026");
    std::string storage = fs.iface("2-3.1", 0, "08");
    for (const char* p :
         {"/host3", "/host3/target3:0:0", "/host3/target3:0:0/3:0:0:0",
          "/host3/target3:0:0/3:0:0:0/block", "/host3/target3:0:0/3:0:0:0/block/sdb"})
        FakeSysfs::mk(storage + p);
    put(d.path + "/bus/usb/devices/2-3.1/product", "MMC Storage\n");

    auto v = tw::list_devices_from_sysfs(d.path, "/devroot");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].kind, tw::DeviceKind::Usb);
    EXPECT_EQ(v[0].address, "usb:2-1");
    EXPECT_EQ(v[0].friendly, "Android Bootloader Interface");
    EXPECT_EQ(tw::usb_position(v[0]), "usb2#1#");
    EXPECT_EQ(v[1].kind, tw::DeviceKind::Serial);
    EXPECT_EQ(v[1].com, 1);
    EXPECT_EQ(v[1].path, "/devroot/ttyACM0");
    EXPECT_EQ(v[1].friendly, "USB Serial Device (COM1)");
    EXPECT_EQ(v[2].kind, tw::DeviceKind::Disk);
    EXPECT_EQ(v[2].path, "/devroot/sdb");
    EXPECT_EQ(v[2].friendly, "MMC Storage USB Device");
    EXPECT_EQ(tw::usb_position(v[2]), "2-3#1#");

    EXPECT_TRUE(tw::list_devices_from_sysfs(d.path + "/nothing").empty());
}

TEST(DeviceSource, KernelNameRule) {
    EXPECT_EQ(tw::com_from_kernel_name("ttyUSB0"), 1);
    EXPECT_EQ(tw::com_from_kernel_name("ttyUSB14"), 15);
    EXPECT_EQ(tw::com_from_kernel_name("ttyACM0"), 101);
    EXPECT_EQ(tw::com_from_kernel_name("ttyACM2"), 103);
    EXPECT_EQ(tw::com_from_kernel_name("ttyS0"), 0);
    EXPECT_EQ(tw::com_from_kernel_name("ttyUSB"), 0);
    EXPECT_EQ(tw::com_from_kernel_name("ttyUSB1x"), 0);
}

} // namespace
