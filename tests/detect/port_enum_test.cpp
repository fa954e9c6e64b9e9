// Port enumeration: which ports are listed, in what order, with which flags, in how much room.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "detect/port_enum.h"
#include "tests/detect/detect_fixture.h"
#include "tests/platform/fake_sysfs.h"

namespace {

using twtest::DetectTest;

const std::string kTwoPhones = "COM15+Qualcomm HS-USB QDLoader 9008 (COM15),"
                               "COM12+Qualcomm HS-USB Diagnostics 9025 (COM12)";

TEST_F(DetectTest, QdloaderThenDiag9025GiveTheirOrderAndFlags) {
    plug("a", 15, qdl(15));
    plug("b", 12, diag9025(12), true);
    bool diag = true, diag9025 = false;
    int r = 0;
    EXPECT_EQ(phones(&diag, &diag9025, &r), kTwoPhones);
    EXPECT_EQ(r, 1);
    EXPECT_FALSE(diag); // the last matching test was the 9025 one
    EXPECT_TRUE(diag9025);
}

TEST_F(DetectTest, FakeSysfsTreeAndDirectoryRecordsGiveTheSameList) {
    twtest::FakeSysfs fs(root + "/sys");
    twtest::build_two_phones(fs);
    // The ports' numbers are on record from earlier; the phone's other functions get new ones.
    ::mkdir((root + "/state").c_str(), 0755);
    ASSERT_TRUE(tw::ini::write_file_atomic(
        root + "/state/comdb.ini", "[COM15]\nposition=1-1#3#\nvid=05c6\npid=9008\ninterface=0\n"
                                   "[COM12]\nposition=1-1#4#\nvid=05c6\npid=9025\ninterface=0\n"));
    ::unsetenv("TARNWELL_DEVICE_DIR");
    tw::set_sysfs_root(root + "/sys", "/dev");
    bool diag = true, diag9025 = false;
    const std::string from_sysfs = phones(&diag, &diag9025);
    EXPECT_EQ(from_sysfs, kTwoPhones);
    EXPECT_FALSE(diag);
    EXPECT_TRUE(diag9025);
    // The sysfs records written out as a virtual device directory, named in enumeration order.
    int n = 0;
    for (const auto& r : tw::list_devices_from_sysfs(root + "/sys"))
        ASSERT_TRUE(tw::ini::write_file_atomic(
            dir + "/" + std::to_string(n++) + "-" + r.name + ".dev", tw::device_record_text(r)));
    ::setenv("TARNWELL_DEVICE_DIR", dir.c_str(), 1);
    EXPECT_EQ(phones(), from_sysfs);
}

TEST_F(DetectTest, EachKindSetsItsFlagsAndNothingMatchingLeavesThem) {
    bool diag = true, diag9025 = true;
    int r = 1;
    EXPECT_EQ(phones(&diag, &diag9025, &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(diag && diag9025); // unchanged
    plug("x", 4, "Some Other Serial Port (COM4)");
    EXPECT_EQ(phones(&diag, &diag9025), "");
    EXPECT_TRUE(diag && diag9025);
    plug("y", 5, "Qualcomm HS-USB Diagnostics 9026 (COM5)", true);
    EXPECT_EQ(phones(&diag, &diag9025), "COM5+Qualcomm HS-USB Diagnostics 9026 (COM5)");
    EXPECT_TRUE(diag);
    EXPECT_FALSE(diag9025);
    unplug("y");
    plug("z", 6, std::string(detect::kModel900ENames[0]) + " (COM6)", true);
    EXPECT_EQ(phones(&diag, &diag9025),
              "COM6+" + std::string(detect::kModel900ENames[0]) + " (COM6)");
    EXPECT_FALSE(diag);
    EXPECT_TRUE(diag9025);
}

TEST_F(DetectTest, OnePortNumberIsOneItemAndComZeroIsNotListed) {
    plug("a", 7, diag9025(7));
    plug("b", 7, "Kestrin K5 HS-USB Diagnostics 9025 (COM7)");
    plug("c", 0, diag9025(0));
    plug("d", 0, "Qualcomm HS-USB QDLoader 9008");
    plug("e", 0, "Qualcomm HS-USB QDLoader 9008 (COMx)");
    plug("f", 0, "Qualcomm HS-USB QDLoader 9008 (COM99999999)");
    EXPECT_EQ(phones(), "COM7+" + diag9025(7));
}

TEST_F(DetectTest, ConfiguredFragmentsUseOnlyTextFollowedByAComma) {
    plug("a", 3, "Acme Phone Port (COM3)");
    plug("b", 4, "Bolt Phone Port (COM4)");
    plug("c", 5, "Cord Phone Port (COM5)");
    EXPECT_EQ(phones(), ""); // no configuration file: built-in names only
    ASSERT_TRUE(tw::ini::write_string(ini, "Diag9025Driver", "Diag9025Driver", "Acme Phone,Bolt"));
    bool diag = true, diag9025 = false;
    EXPECT_EQ(phones(&diag, &diag9025), "COM3+Acme Phone Port (COM3)");
    EXPECT_FALSE(diag);
    EXPECT_TRUE(diag9025);
    // Read afresh at every call; an empty fragment matches nothing rather than every port.
    ASSERT_TRUE(tw::ini::write_string(ini, "diag9025driver", "DIAG9025DRIVER", ",,Cord,"));
    EXPECT_EQ(phones(), "COM5+Cord Phone Port (COM5)");
}

TEST_F(DetectTest, TheListIsCutAfterAWholeItem) {
    plug("a", 15, qdl(15));
    plug("b", 12, diag9025(12), true);
    const std::string first = "COM15+" + qdl(15);
    for (size_t size : {first.size() + 1, first.size() + 5, kTwoPhones.size()}) {
        std::vector<char> buf(size + 8, '#');
        bool a = false, b = false;
        EXPECT_EQ(GetPhone(buf.data(), size, &a, &b), 1);
        EXPECT_EQ(std::string(buf.data()), first) << size;
        for (size_t i = size; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], '#') << "written at " << i;
    }
    std::vector<char> whole(kTwoPhones.size() + 1);
    bool a = false, b = false;
    EXPECT_EQ(GetPhone(whole.data(), whole.size(), &a, &b), 1);
    EXPECT_EQ(std::string(whole.data()), kTwoPhones);
    char tiny[8] = "xxxxxxx";
    EXPECT_EQ(GetPhone(tiny, sizeof tiny, &a, &b), 0); // not even one item fits
    EXPECT_STREQ(tiny, "");
}

TEST_F(DetectTest, ThirtyTwoEntriesAtMost) {
    for (int i = 1; i <= 40; ++i)
        plug("p" + std::to_string(100 + i), i, diag9025(i));
    std::vector<devlist> list(kDevListCapacity);
    bool a = false, b = false;
    EXPECT_EQ(QualcommVcom_QuaryDeviceName(list.data(), kDevListCapacity, &a, &b), 32);
    EXPECT_EQ(list[31].ComPort, 32);
}

TEST_F(DetectTest, AnUnreadableDeviceSourceListsNothing) {
    plug("a", 15, qdl(15));
    ::setenv("TARNWELL_DEVICE_DIR", (dir + "/gone").c_str(), 1);
    std::vector<devlist> list(kDevListCapacity);
    bool a = false, b = false;
    EXPECT_EQ(QualcommVcom_QuaryDeviceName(list.data(), kDevListCapacity, &a, &b), -2);
    int r = 1;
    EXPECT_EQ(phones(nullptr, nullptr, &r), "");
    EXPECT_EQ(r, 0);
    // sysfs without a USB bus has no devices; no sysfs at all is unreadable.
    ::unsetenv("TARNWELL_DEVICE_DIR");
    tw::set_sysfs_root(root, "/dev");
    EXPECT_EQ(QualcommVcom_QuaryDeviceName(list.data(), kDevListCapacity, &a, &b), 0);
    tw::set_sysfs_root(root + "/nosys", "/dev");
    EXPECT_EQ(QualcommVcom_QuaryDeviceName(list.data(), kDevListCapacity, &a, &b), -2);
}

TEST_F(DetectTest, ModemPortsByTheirAttachedComName) {
    plug("a", 13, "Qualcomm HS-USB Android Modem 9025");
    plug("b", 5, "Qualcomm USB Modem");
    plug("c", 5, "HS-USB Modem 9004");
    plug("d", 12, diag9025(12));
    char buf[64];
    EXPECT_EQ(GetPhone(buf, sizeof buf, TYPEPORT_MODEM), 1);
    EXPECT_STREQ(buf, "COM13,COM5");
    std::vector<devlist> list(kDevListCapacity);
    EXPECT_EQ(QueryModemPorts(list.data(), kDevListCapacity), 2);
    EXPECT_STREQ(list[0].DevicesName, "COM13");
    EXPECT_EQ(GetPhone(buf, sizeof buf, TYPEPORT_OTHER), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(GetPhone(buf, 6, TYPEPORT_MODEM), 1);
    EXPECT_STREQ(buf, "COM13");
}

TEST(ConmanageGetPhone, WritesCountItemsOfPortZero) {
    char buf[32];
    int count = 2;
    EXPECT_EQ(conmanageGetPhone(buf, sizeof buf, count), 1);
    EXPECT_STREQ(buf, "COM0,COM0");
    count = 0;
    EXPECT_EQ(conmanageGetPhone(buf, sizeof buf, count), 0);
    EXPECT_STREQ(buf, "");
    count = 1000000000; // never more than the buffer holds
    EXPECT_EQ(conmanageGetPhone(buf, sizeof buf, count), 1);
    EXPECT_STREQ(buf, "COM0,COM0,COM0,COM0,COM0,COM0");
}

TEST(GetINIFilePath, IsInifileBesideTheProgram) {
    EXPECT_EQ(GetINIFilePath(), tw::ini::program_dir() + "inifile.ini");
    EXPECT_EQ(::access((tw::ini::program_dir() + "test_detect").c_str(), X_OK), 0);
}

} // namespace
