// tarnwell-cli emmc-download: the package's description in, the disk programmed, and every bad
// input refused with status 2 before the disk is touched.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include "emmc_test_util.h"
#include "tests/common/shell.h"
#include "tests/common/tree_snapshot.h"

using namespace emmc_test;

namespace {

const std::string kCli = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli";

struct Run {
    int status;
    std::string out;
};

Run run(const std::string& args) {
    std::string cmd = "TARNWELL_TIME_SCALE=0.01 " + kCli + " " + args + " 2>&1";
    const auto res = twtest::run_shell(cmd);
    return {res.status, res.out};
}

class EmmcCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kCli.c_str(), X_OK) != 0) GTEST_SKIP() << "tarnwell-cli is not built";
        fs::create_directory(pkg);
        write_text(pkg + "/rawprogram0.xml", R"(<?xml version="1.0" ?>
<data>
  <program file_sector_offset="0" filename="MBR" label="MBR" start_sector="0"/>
  <program file_sector_offset="0" filename="sbl1.mbn" label="SBL1" start_sector="4."/>
  <program file_sector_offset="0" filename="sbl2.mbn" label="SBL2" start_sector="8."/>
  <program file_sector_offset="0" filename="sbl3.mbn" label="SBL3" start_sector="12."/>
  <program file_sector_offset="0" filename="rpm.mbn" label="RPM" start_sector="16."/>
  <program file_sector_offset="0" filename="appsboot.mbn" label="ABOOT" start_sector="20."/>
  <program file_sector_offset="0" filename="tz.mbn" label="TZ" start_sector="24."/>
  <program file_sector_offset="0" filename="EBR0.bin" label="EBR" start_sector="28."/>
  <program file_sector_offset="0" filename="" label="userdata" start_sector="32."/>
</data>
)");
        write_text(pkg + "/patch0.xml", R"(<?xml version="1.0" ?>
<patches>
  <patch byte_offset="458" filename="DISK" size_in_bytes="4" start_sector="0" value="0"/>
  <patch byte_offset="458" filename="MBR" size_in_bytes="4" start_sector="0" value="0"/>
  <patch byte_offset="474" filename="MBR" size_in_bytes="4" start_sector="0" value="0"/>
</patches>
)");
        const char* names[] = {"MBR",     "sbl1.mbn",     "sbl2.mbn", "sbl3.mbn",
                               "rpm.mbn", "appsboot.mbn", "tz.mbn",   "EBR0.bin"};
        for (int i = 0; i < 8; ++i) {
            files.push_back(random_bytes(i == 0 ? 512 : 1000 + 100 * i, 80 + i));
            write_file(pkg + "/" + names[i], files.back());
        }
        disk_bytes = make_disk(disk, 40, 0xCC);
    }
    std::vector<uint8_t> expected() const {
        auto d = disk_bytes;
        const uint64_t at[] = {0, 4, 8, 12, 16, 20, 24, 28};
        for (int i = 0; i < 8; ++i) {
            auto f = files[i];
            f.resize((f.size() + 511) / 512 * 512, 0);
            overlay(d, at[i], f);
        }
        // Both patches land in the MBR's own block, and both stay.
        std::vector<uint8_t> mbr = files[0];
        mbr[458] = 0x5F, mbr[459] = 0x10, mbr[460] = 0x76, mbr[461] = 0;
        mbr[474] = 0xEF, mbr[475] = 0x27, mbr[476] = 0x3F, mbr[477] = 0;
        overlay(d, 0, mbr);
        return d;
    }
    ScratchDir dir;
    std::string pkg = dir / "pkg";
    std::string disk = dir / "disk.img";
    std::vector<std::vector<uint8_t>> files;
    std::vector<uint8_t> disk_bytes;
};

TEST_F(EmmcCliTest, ProgramsTheDiskFromThePackage) {
    auto r = run("--json emmc-download --disk " + disk + " --package " + pkg);
    EXPECT_EQ(r.status, 0) << r.out;
    size_t progress = 0;
    for (size_t at = r.out.find("\"event\":\"progress\""); at != std::string::npos;
         at = r.out.find("\"event\":\"progress\"", at + 1))
        ++progress;
    EXPECT_EQ(progress, 12u);
    EXPECT_NE(r.out.find("\"position\":93"), std::string::npos);
    EXPECT_NE(r.out.find("\"event\":\"result\",\"command\":\"emmc-download\",\"result\":0"),
              std::string::npos);
    EXPECT_EQ(read_file(disk), expected());
}

TEST_F(EmmcCliTest, BadInputIsRefusedBeforeTheDiskIsTouched) {
    EXPECT_EQ(run("emmc-download --disk " + disk).status, 2);
    EXPECT_EQ(run("emmc-download --package " + pkg).status, 2);
    EXPECT_EQ(run("emmc-download --disk " + disk + " --package " + dir / "none").status, 2);
    auto r = run("emmc-download --disk " + dir / "no.img" + " --package " + pkg);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("no disk at"), std::string::npos) << r.out;

    write_text(pkg + "/patch0.xml", "<patches><patch filename='MBR' byte_offset='1'");
    r = run("emmc-download --disk " + disk + " --package " + pkg);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("patch0.xml: not well-formed XML"), std::string::npos) << r.out;

    write_text(pkg + "/patch0.xml",
               "<patches><patch filename='MBR' byte_offset='1' start_sector='0'/></patches>");
    r = run("emmc-download --disk " + disk + " --package " + pkg);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("gives no PATCH2"), std::string::npos) << r.out;

    fs::remove(pkg + "/patch0.xml");
    r = run("emmc-download --disk " + disk + " --package " + pkg);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("patch0.xml: cannot read"), std::string::npos) << r.out;

    write_text(pkg + "/patch0.xml",
               "<patches><patch filename='MBR' byte_offset='1' start_sector='0'/>"
               "<patch filename='MBR' byte_offset='2' start_sector='0'/></patches>");
    fs::remove(pkg + "/tz.mbn");
    r = run("emmc-download --disk " + disk + " --package " + pkg);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("the package has no"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(disk), disk_bytes);
}

TEST_F(EmmcCliTest, APlanThatCannotBeCarriedOutWholeWritesNothing) {
    auto refused = [&](const std::string& disk_path, const std::string& message) {
        SCOPED_TRACE(message);
        const auto disk_before = twtest::Snapshot(dir.path());
        auto r = run("emmc-download --disk " + disk_path + " --package " + pkg);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
        EXPECT_EQ(twtest::Snapshot(dir.path()), disk_before);
    };
    // EBR0 (1700 bytes at sector 28) needs 32 sectors; every image before it would fit.
    make_disk(disk, 31, 0xCC);
    refused(disk, "EBR0 (EBR0.bin, 1700 bytes at sector 28) would end at byte 16384, past the "
                  "end of the disk (15872 bytes)");
    make_disk(disk, 0, 0);
    refused(disk, "the disk holds 0 bytes");
    make_disk(disk, 40, 0xCC);
    // Block 1 of a one-block patch file.
    write_text(pkg + "/patch0.xml",
               "<patches><patch filename='MBR' byte_offset='1' start_sector='0'/>"
               "<patch filename='MBR' byte_offset='2' start_sector='1'/></patches>");
    refused(disk, "PATCH2 patches block 1 of MBR, which holds only 512 bytes");
    write_text(pkg + "/patch0.xml", "<patches><patch filename='MBR' byte_offset='1' start_sector"
                                    "='0'/><patch filename='MBR' byte_offset='2' start_sector='0'"
                                    "/></patches>");
    write_file(pkg + "/tz.mbn", {});
    refused(disk, "TZ: " + pkg + "/tz.mbn is empty");
    fs::create_directory(dir / "folder");
    refused(dir / "folder", "is a folder, not a disk");
}

} // namespace
