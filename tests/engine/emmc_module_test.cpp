// EmmcDownloadMBNS on a disk-download module: what the station's callback sees, and a module
// deleted while the download runs.
#include <gtest/gtest.h>

#include "emmc_test_util.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "platform/clock.h"

using namespace emmc_test;

namespace {

struct Seen {
    int position, port, index;
    std::string text, status;
};
std::vector<Seen> g_seen;
Flashboot* g_delete_at_70 = nullptr;

int Record(Download* d) {
    g_seen.push_back({d->iProgress, d->iPortNumber, d->iProgressIndex, d->pText ? d->pText : "",
                      d->pStatus ? d->pStatus : ""});
    if (g_delete_at_70 && d->iProgress == 70) {
        deleteModuleForDiskDownload(g_delete_at_70);
        g_delete_at_70 = nullptr;
    }
    return 0;
}

class EmmcModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        g_seen.clear();
        pkg = dir / "pkg";
        fs::create_directory(pkg);
        const char* names[] = {"sbl1", "sbl2", "sbl3", "rpm", "aboot", "tz", "mbr", "ebr"};
        for (int i = 0; i < 8; ++i)
            write_file(pkg + "/" + names[i], random_bytes(600, 60 + i));
        write_file(pkg + "/patch", random_bytes(512, 70));
        rec.SBL1_FileName = "sbl1", rec.SBL1_DISK_Start_Sector = 2;
        rec.SBL2_FileName = "sbl2", rec.SBL2_DISK_Start_Sector = 4;
        rec.SBL3_FileName = "sbl3", rec.SBL3_DISK_Start_Sector = 6;
        rec.RPM_FileName = "rpm", rec.RPM_DISK_Start_Sector = 8;
        rec.ABOOT_FileName = "aboot", rec.ABOOT_DISK_Start_Sector = 10;
        rec.TZ_FileName = "tz", rec.TZ_DISK_Start_Sector = 12;
        rec.MBR0_FileName = "mbr", rec.MBR0_DISK_Start_Sector = 0;
        rec.EBR0_FileName = "ebr", rec.EBR0_DISK_Start_Sector = 14;
        rec.PATCH_FileName = "patch";
        rec.PATCH1_DISK_Start_Sector = 16, rec.PATCH2_DISK_Start_Sector = 17;
        make_disk(disk, 32, 0xCC);
    }
    ScratchDir dir;
    std::string pkg;
    std::string disk = dir / "usbstor#disk#7&1234&0#{53f56307}";
    XMLDATA rec{};
};

TEST_F(EmmcModuleTest, StationSeesTheTagPortAndRow) {
    Flashboot* m = CreateModuleForDiskDownload();
    ASSERT_NE(m, nullptr);
    Download station{};
    station.iProgressIndex = 7;
    const char* before = "slot text";
    station.pText = before;
    m->m_pDownload = &station;
    m->m_callbackfunc = Record;
    EXPECT_EQ(m->EmmcDownloadMBNS(m, disk.c_str(), pkg.c_str(), &rec), 0);
    ASSERT_EQ(g_seen.size(), 12u);
    const int positions[] = {60, 60, 65, 70, 75, 80, 85, 90, 91, 93, 96, 100};
    for (size_t i = 0; i < g_seen.size(); ++i) {
        EXPECT_EQ(g_seen[i].position, positions[i]);
        EXPECT_EQ(g_seen[i].port, -1);
        EXPECT_EQ(g_seen[i].index, 7);
        EXPECT_EQ(g_seen[i].text, "#7&1234&0#");
        EXPECT_EQ(g_seen[i].status, i < 2 ? kEmmcEraseText : kEmmcStepText);
    }
    // The tag does not outlive the call in the station's record.
    EXPECT_EQ(station.pText, before);
    EXPECT_EQ(deleteModuleForDiskDownload(m), m);
}

TEST_F(EmmcModuleTest, ProgressGoesThroughTheModuleGiven) {
    // The station passes the module the method is called on; another module's callback and
    // record are taken over when it is given instead.
    Flashboot* worker = CreateModuleForDiskDownload();
    Flashboot* owner = CreateModuleForDiskDownload();
    Download station{};
    owner->m_pDownload = &station;
    owner->m_callbackfunc = Record;
    EXPECT_EQ(worker->EmmcDownloadMBNS(owner, disk.c_str(), pkg.c_str(), &rec), 0);
    EXPECT_EQ(g_seen.size(), 12u);
    EXPECT_EQ(worker->m_pDownload, &station);
    deleteModuleForDiskDownload(worker);
    deleteModuleForDiskDownload(owner);
}

TEST_F(EmmcModuleTest, DeletedDuringTheRunStopsAndIsFreedOnce) {
    const int live = SondrelLiveModules();
    Flashboot* m = CreateModuleForDiskDownload();
    Download station{};
    m->m_pDownload = &station;
    m->m_callbackfunc = Record;
    g_delete_at_70 = m;
    // Deleted from the callback after step 2: the run ends before step 3 with 1, and the
    // module is released when the call lets go of it.
    EXPECT_EQ(m->EmmcDownloadMBNS(m, disk.c_str(), pkg.c_str(), &rec), 1);
    EXPECT_EQ(g_seen.back().position, 70);
    EXPECT_EQ(SondrelLiveModules(), live);
    // Nothing after step 2 reached the disk.
    auto now = read_file(disk);
    EXPECT_EQ(std::vector<uint8_t>(now.begin() + 8 * 512, now.end()),
              std::vector<uint8_t>(24 * 512, 0xCC));
}

TEST_F(EmmcModuleTest, TheStepMembersWriteAsTheirFreeForms) {
    Flashboot* m = CreateModuleForDiskDownload();
    tw::Disk d;
    ASSERT_EQ(d.open(disk), 0);
    EXPECT_EQ(m->For_eMMC_Download_Universal_Interface(&d, (pkg + "/sbl1").c_str(), 3), 0);
    EXPECT_EQ(m->For_eMMC_Download_Universal_Interface(&d, (pkg + "/none").c_str(), 3),
              EMMC_FILE_ERROR);
    EXPECT_EQ(m->For_eMMC_Download_Pach_Interface(&d, (pkg + "/patch").c_str(), 5, 10, 0,
                                                  kEmmcPatch1Value),
              0);
    EXPECT_EQ(m->For_eMMC_Download_Pach_Interface(&d, (pkg + "/patch").c_str(), 5, 10, 1,
                                                  kEmmcPatch1Value),
              EMMC_READ_ERROR);
    ASSERT_EQ(d.close(), 0);
    auto now = read_file(disk);
    auto sbl1 = read_file(pkg + "/sbl1");
    EXPECT_TRUE(std::equal(sbl1.begin(), sbl1.end(), now.begin() + 3 * 512));
    EXPECT_EQ(now[5 * 512 + 10], 0x5F);
    EXPECT_EQ(now[5 * 512 + 12], 0x76);
    deleteModuleForDiskDownload(m);
}

} // namespace
