// eMMC raw programming on disk image files: where every byte lands, the chunking, the patches,
// the reports and the failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "emmc_test_util.h"
#include "engine/debug_out.h"
#include "engine/emmc_download.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/disk.h"

using namespace emmc_test;

namespace {

// Collects the engine's debug lines for the length of a test.
class LogCapture {
  public:
    LogCapture() {
        sondrel::SetDebugCapture([this](const std::string& s) {
            std::lock_guard<std::mutex> g(m_);
            text_ += s;
        });
    }
    ~LogCapture() { sondrel::SetDebugCapture(nullptr); }
    std::string text() {
        std::lock_guard<std::mutex> g(m_);
        return text_;
    }
    size_t count(const std::string& needle) {
        std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1))
            ++n;
        return n;
    }

  private:
    std::mutex m_;
    std::string text_;
};

class EmmcTest : public ::testing::Test {
  protected:
    void SetUp() override { tw::clock::set_scale(0.01); }
    void TearDown() override { emmc::SetMessageBox(nullptr); }
    ScratchDir dir;
};

TEST(EmmcDisk, RefusesWritesOutsideTheDiskAndNonDisks) {
    ScratchDir dir;
    auto bytes = make_disk(dir / "d.img", 4, 0x11);
    tw::Disk d;
    ASSERT_EQ(d.open(dir / "d.img"), 0);
    EXPECT_EQ(d.size(), 2048u);
    std::vector<uint8_t> block(512, 0x22);
    EXPECT_EQ(d.write_at(1536, block.data(), 512), 0);
    // One byte over the end: refused whole, the image neither grows nor changes.
    EXPECT_EQ(d.write_at(1537, block.data(), 512), ENOSPC);
    EXPECT_EQ(d.write_at(~uint64_t{0}, block.data(), 2), ENOSPC);
    EXPECT_EQ(d.close(), 0);
    overlay(bytes, 3, block);
    EXPECT_EQ(read_file(dir / "d.img"), bytes);

    EXPECT_EQ(d.open(dir / "absent.img"), ENOENT);
    EXPECT_EQ(d.open(dir.path()), EISDIR);
    EXPECT_EQ(d.open("/dev/null"), ENODEV);
    EXPECT_FALSE(d.is_open());
    EXPECT_EQ(d.write_at(0, block.data(), 1), EBADF);
}

TEST_F(EmmcTest, WriteSectorsUsesTheTrue64BitOffset) {
    // A 32-bit byte offset would wrap: signed at 2 GiB (sector 4194304), unsigned at 4 GiB.
    // Writes just past each boundary land there, and both places they could have wrapped to
    // stay zero.
    const std::string img = dir / "big.img";
    const uint64_t sectors[] = {4194304 + 3, 8388608 + 5};
    {
        int fd = ::open(img.c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>((sectors[1] + 8) * 512)), 0);
        ::close(fd);
    }
    tw::Disk d;
    ASSERT_EQ(d.open(img), 0);
    auto data = random_bytes(1024, 7);
    for (uint64_t sector : sectors) {
        SCOPED_TRACE(sector);
        EXPECT_NE(WriteSectors(&d, data.data(), sector, 2), 0);
        std::vector<uint8_t> back(1024);
        ASSERT_EQ(d.read_at(sector * 512, back.data(), back.size()), 0);
        EXPECT_EQ(back, data);
        for (uint64_t mask : {uint64_t{0x7FFFFFFF}, uint64_t{0xFFFFFFFF}}) {
            if (((sector * 512) & mask) == sector * 512) continue;
            std::vector<uint8_t> low(1024);
            ASSERT_EQ(d.read_at((sector * 512) & mask, low.data(), low.size()), 0);
            EXPECT_EQ(low, std::vector<uint8_t>(1024, 0));
        }
    }
    // Past the end, and a sector whose byte offset does not fit 64 bits: nothing written.
    EXPECT_EQ(WriteSectors(&d, data.data(), sectors[1] + 7, 2), 0);
    EXPECT_EQ(WriteSectors(&d, data.data(), (~uint64_t{0} / 512) + 1, 1), 0);
    EXPECT_EQ(WriteSectors(nullptr, data.data(), 0, 1), 0);
}

TEST_F(EmmcTest, ImageLandsAtItsSectorWithAZeroTailAndNothingElseChanges) {
    auto disk = make_disk(dir / "d.img", 64, 0xCC);
    auto image = random_bytes(1000, 1);
    write_file(dir / "sbl1.mbn", image);
    tw::Disk d;
    ASSERT_EQ(d.open(dir / "d.img"), 0);
    LogCapture log;
    EXPECT_EQ(emmc::WriteImage(&d, (dir / "sbl1.mbn").c_str(), 5), EMMC_OK);
    ASSERT_EQ(d.close(), 0);
    // Two sectors: the 1000 bytes, then 24 zero bytes, not the disk's old 0xCC.
    image.resize(1024, 0);
    overlay(disk, 5, image);
    EXPECT_EQ(read_file(dir / "d.img"), disk);
    EXPECT_NE(log.text().find("\n\n Start download 1000   bytes\n\n"), std::string::npos);
    EXPECT_NE(log.text().find("\n Writing address  0x6  size 0x3e8 Bytes Written  0x3e8 Bytes "
                              "Total 0x3e8"),
              std::string::npos);
}

TEST_F(EmmcTest, ChunksOf64KiB) {
    for (size_t size : {size_t{65536}, size_t{65537}, size_t{3 * 65536 + 700}}) {
        SCOPED_TRACE(size);
        auto disk = make_disk(dir / "d.img", 600, 0xCC);
        auto image = random_bytes(size, static_cast<uint32_t>(size));
        write_file(dir / "img.bin", image);
        tw::Disk d;
        ASSERT_EQ(d.open(dir / "d.img"), 0);
        LogCapture log;
        EXPECT_EQ(emmc::WriteImage(&d, (dir / "img.bin").c_str(), 10), EMMC_OK);
        ASSERT_EQ(d.close(), 0);
        // One write per 64 KiB; the short last one covers whole sectors from start + 128k
        // and its tail is zero, not the previous chunk's bytes.
        const size_t chunks = (size + 65535) / 65536;
        EXPECT_EQ(log.count("\n Writing address"), chunks);
        if (size == 65536) {
            EXPECT_NE(log.text().find("address  0x8a  size 0x10000"), std::string::npos);
        }
        if (size == 65537) {
            EXPECT_NE(log.text().find("address  0x8a  size 0x1 "), std::string::npos);
        }
        image.resize((size + 511) / 512 * 512, 0);
        overlay(disk, 10, image);
        EXPECT_EQ(read_file(dir / "d.img"), disk);
    }
}

TEST_F(EmmcTest, ImageFailures) {
    auto disk = make_disk(dir / "d.img", 8, 0xCC);
    tw::Disk d;
    ASSERT_EQ(d.open(dir / "d.img"), 0);
    LogCapture log;
    EXPECT_EQ(emmc::WriteImage(&d, (dir / "absent.mbn").c_str(), 0), EMMC_FILE_ERROR);
    EXPECT_EQ(emmc::WriteImage(&d, dir.path().c_str(), 0), EMMC_FILE_ERROR);
    // Three sectors at sector 6 of an eight-sector disk: each of the 20 attempts is refused.
    write_file(dir / "long.mbn", random_bytes(1500, 3));
    EXPECT_EQ(emmc::WriteImage(&d, (dir / "long.mbn").c_str(), 6), EMMC_WRITE_ERROR);
    EXPECT_EQ(log.count("\n\n nRsp =  0\n\n"), 20u);
    EXPECT_NE(log.text().find("\n\n try 19 times\n\n"), std::string::npos);
    EXPECT_NE(log.text().find("\n\n try 0 times\n\n"), std::string::npos);
    EXPECT_NE(log.text().find(" Fail of Write CMD STREAM DOWNLOAD PROTOCOL "), std::string::npos);
    ASSERT_EQ(d.close(), 0);
    EXPECT_EQ(read_file(dir / "d.img"), disk);
}

TEST_F(EmmcTest, PatchWritesTheValueLittleEndianIntoItsBlock) {
    auto disk = make_disk(dir / "d.img", 32, 0xCC);
    auto file = random_bytes(2048, 9);
    write_file(dir / "patch.bin", file);
    tw::Disk d;
    ASSERT_EQ(d.open(dir / "d.img"), 0);
    LogCapture log;
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "patch.bin").c_str(), 20, 454, 3, kEmmcPatch1Value),
              EMMC_OK);
    // The last possible offset keeps the four bytes inside the block.
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "patch.bin").c_str(), 21, 508, 0, kEmmcPatch2Value),
              EMMC_OK);
    ASSERT_EQ(d.close(), 0);

    std::vector<uint8_t> b3(file.begin() + 1536, file.end());
    b3[454] = 0x5F, b3[455] = 0x10, b3[456] = 0x76, b3[457] = 0x00;
    std::vector<uint8_t> b0(file.begin(), file.begin() + 512);
    b0[508] = 0xEF, b0[509] = 0x27, b0[510] = 0x3F, b0[511] = 0x00;
    overlay(disk, 20, b3);
    overlay(disk, 21, b0);
    EXPECT_EQ(read_file(dir / "d.img"), disk);
    EXPECT_NE(log.text().find("------------pachValue =  7737439-------------\n"),
              std::string::npos);
    const std::string stores = "------------clpBuffer[offsetNum+1] =  16-------------\n"
                               "------------clpBuffer[offsetNum+2] =  118-------------\n"
                               "------------clpBuffer[offsetNum+3] =  0-------------\n"
                               "------------clpBuffer[offsetNum+0] =  95-------------\n";
    EXPECT_NE(log.text().find(stores), std::string::npos);
}

TEST_F(EmmcTest, PatchFailuresWriteNothing) {
    auto disk = make_disk(dir / "d.img", 32, 0xCC);
    write_file(dir / "short.bin", random_bytes(2047, 4));
    write_file(dir / "empty.bin", {});
    write_file(dir / "ok.bin", random_bytes(1024, 5));
    tw::Disk d;
    ASSERT_EQ(d.open(dir / "d.img"), 0);
    LogCapture log;
    // Block 3 needs 2048 bytes.
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "short.bin").c_str(), 4, 0, 3, 1), EMMC_READ_ERROR);
    EXPECT_NE(log.text().find("For_eMMC_Download_Pach_Interface for 2 fail  Read GetLastError = "),
              std::string::npos);
    // An empty file has no block to patch: a failure, not a silent success.
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "empty.bin").c_str(), 4, 0, 0, 1), EMMC_READ_ERROR);
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "absent.bin").c_str(), 4, 0, 0, 1), EMMC_FILE_ERROR);
    // Offset 509 would put the last byte into the next sector.
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "ok.bin").c_str(), 4, 509, 0, 1), EMMC_PATCH_OFFSET);
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "ok.bin").c_str(), 4, 0xFFFFFFFFu, 0, 1),
              EMMC_PATCH_OFFSET);
    // Target past the end of the disk.
    EXPECT_EQ(emmc::WritePatch(&d, (dir / "ok.bin").c_str(), 32, 0, 1, 1), EMMC_WRITE_ERROR);
    EXPECT_NE(log.text().find(" Fail of Write pach 1 "), std::string::npos);
    ASSERT_EQ(d.close(), 0);
    EXPECT_EQ(read_file(dir / "d.img"), disk);
}

TEST(EmmcTag, TextBetweenTheLastTwoHashes) {
    EXPECT_EQ(emmc::DiskTag("\\\\?\\usbstor#disk&ven_q&prod_emmc#7&1234&0#{53f56307-b6bf-11d0-"
                            "94f2-00a0c91efb8b}"),
              "#7&1234&0#");
    EXPECT_EQ(emmc::DiskTag("/dev/sdb"), "#");
    EXPECT_EQ(emmc::DiskTag("one#hash"), "#");
    EXPECT_EQ(emmc::DiskTag("##"), "##");
    EXPECT_EQ(emmc::DiskTag("a#b#c#d"), "#c#");
    EXPECT_EQ(emmc::DiskTag(""), "#");
}

TEST(EmmcPaths, FolderAndName) {
    EXPECT_EQ(emmc::SourcePath("/pkg/", "sbl1.mbn"), "/pkg/sbl1.mbn");
    EXPECT_EQ(emmc::SourcePath("/pkg", "sbl1.mbn"), "/pkg/sbl1.mbn");
    EXPECT_EQ(emmc::SourcePath("/pkg", "/sbl1.mbn"), "/pkg/sbl1.mbn");
    EXPECT_EQ(emmc::SourcePath("/pkg", nullptr), "/pkg");
    EXPECT_EQ(emmc::SourcePath("/pkg/", ""), "/pkg/");
    EXPECT_EQ(emmc::SourcePath(nullptr, "a"), "a");
}

// A package of the ten steps and the record that describes it.
struct Package {
    explicit Package(const ScratchDir& dir) : folder(dir.path() + "/pkg") {
        emmc_test::fs::create_directory(folder);
        const char* names[] = {"sbl1.mbn",          "sbl2.mbn", "rpm.mbn", "sbl3.mbn",
                               "emmc_appsboot.mbn", "tz.mbn",   "MBR",     "EBR0.bin"};
        const size_t sizes[] = {1000, 65537, 512, 3000, 70000, 100, 512, 1536};
        const uint32_t sectors[] = {1, 10, 300, 310, 400, 550, 0, 600};
        for (int i = 0; i < 8; ++i) {
            files.push_back(random_bytes(sizes[i], 100 + i));
            write_file(folder + "/" + names[i], files.back());
        }
        patch = random_bytes(1024, 99);
        write_file(folder + "/patch.bin", patch);
        rec.SBL1_FileName = names[0], rec.SBL1_DISK_Start_Sector = sectors[0];
        rec.SBL2_FileName = names[1], rec.SBL2_DISK_Start_Sector = sectors[1];
        rec.RPM_FileName = names[2], rec.RPM_DISK_Start_Sector = sectors[2];
        rec.SBL3_FileName = names[3], rec.SBL3_DISK_Start_Sector = sectors[3];
        rec.ABOOT_FileName = names[4], rec.ABOOT_DISK_Start_Sector = sectors[4];
        rec.TZ_FileName = names[5], rec.TZ_DISK_Start_Sector = sectors[5];
        rec.MBR0_FileName = names[6], rec.MBR0_DISK_Start_Sector = sectors[6];
        rec.EBR0_FileName = names[7], rec.EBR0_DISK_Start_Sector = sectors[7];
        rec.PATCH_FileName = "patch.bin";
        rec.PATCH1_Byte_Offset = 454, rec.PATCH1_Block_Index = 0;
        rec.PATCH1_DISK_Start_Sector = 700;
        rec.PATCH2_Byte_Offset = 470, rec.PATCH2_Block_Index = 1;
        rec.PATCH2_DISK_Start_Sector = 701;
        for (int i = 0; i < 8; ++i)
            starts.push_back(sectors[i]);
    }
    // The disk as a correct run leaves it.
    std::vector<uint8_t> expected(std::vector<uint8_t> disk) const {
        for (size_t i = 0; i < files.size(); ++i) {
            auto f = files[i];
            f.resize((f.size() + 511) / 512 * 512, 0);
            overlay(disk, starts[i], f);
        }
        std::vector<uint8_t> b0(patch.begin(), patch.begin() + 512);
        std::vector<uint8_t> b1(patch.begin() + 512, patch.end());
        b0[454] = 0x5F, b0[455] = 0x10, b0[456] = 0x76, b0[457] = 0;
        b1[470] = 0xEF, b1[471] = 0x27, b1[472] = 0x3F, b1[473] = 0;
        overlay(disk, 700, b0);
        overlay(disk, 701, b1);
        return disk;
    }
    std::string folder;
    std::vector<std::vector<uint8_t>> files;
    std::vector<uint64_t> starts;
    std::vector<uint8_t> patch;
    XMLDATA rec{};
};

struct Reports {
    std::vector<int> positions;
    std::vector<std::string> statuses, tags;
    emmc::ReportFn fn() {
        return [this](int p, const char* s, const char* t) {
            positions.push_back(p);
            statuses.push_back(s);
            tags.push_back(t);
        };
    }
};

TEST_F(EmmcTest, WholeDownloadWritesThePlanAndReportsEachStep) {
    Package pkg(dir);
    // The disk is a file whose name carries a device path's '#' parts.
    const std::string disk_path = dir / "usbstor#disk&ven_q&prod_emmc#7&1234&0#{53f56307}";
    auto disk = make_disk(disk_path, 800, 0xCC);
    Reports r;
    LogCapture log;
    EXPECT_EQ(emmc::Download(disk_path.c_str(), pkg.folder.c_str(), &pkg.rec, r.fn()),
              EMMC_DOWNLOAD_OK);
    EXPECT_EQ(r.positions, (std::vector<int>{60, 60, 65, 70, 75, 80, 85, 90, 91, 93, 96, 100}));
    EXPECT_EQ(r.statuses[0], kEmmcEraseText);
    EXPECT_EQ(r.statuses[1], kEmmcEraseText);
    for (size_t i = 2; i < r.statuses.size(); ++i)
        EXPECT_EQ(r.statuses[i], kEmmcStepText);
    for (const auto& t : r.tags)
        EXPECT_EQ(t, "#7&1234&0#");
    EXPECT_EQ(read_file(disk_path), pkg.expected(disk));
}

TEST_F(EmmcTest, DiskNamedByItsDeviceInterfacePath) {
    // The disk as the system's device interface names it; the device source knows its file.
    Package pkg(dir);
    const std::string img = dir / "phone-disk.img";
    auto disk = make_disk(img, 800, 0xCC);
    emmc_test::fs::create_directory(dir / "devices");
    tw::DeviceRecord r;
    r.kind = tw::DeviceKind::Disk;
    r.path = img;
    r.interface_path = "\\\\?\\usbstor#disk&ven_q&prod_emmc#7&1234&0#{53f56307-b6bf-11d0-94f2-"
                       "00a0c91efb8b}";
    write_text(dir / "devices/emmc.dev", tw::device_record_text(r));
    ::setenv("TARNWELL_DEVICE_DIR", (dir / "devices").c_str(), 1);
    const std::string upper = "\\\\?\\USBSTOR#DISK&VEN_Q&PROD_EMMC#7&1234&0#{53F56307-B6BF-11D0-"
                              "94F2-00A0C91EFB8B}";
    EXPECT_EQ(tw::resolve_disk_path(upper), img);
    Reports rep;
    const int rc = emmc::Download(upper.c_str(), pkg.folder.c_str(), &pkg.rec, rep.fn());
    EXPECT_EQ(tw::resolve_disk_path(dir / "other"), dir / "other");
    ::unsetenv("TARNWELL_DEVICE_DIR");
    EXPECT_EQ(rc, EMMC_DOWNLOAD_OK);
    ASSERT_EQ(rep.tags.size(), 12u);
    EXPECT_EQ(rep.tags[0], "#7&1234&0#");
    EXPECT_EQ(read_file(img), pkg.expected(disk));
}

TEST_F(EmmcTest, ClearedRecordFailsAfterTheTwoReports) {
    Package pkg(dir);
    auto disk = make_disk(dir / "d.img", 800, 0xCC);
    XMLDATA cleared{};
    for (const XMLDATA* rec :
         {static_cast<const XMLDATA*>(&cleared), static_cast<const XMLDATA*>(nullptr)}) {
        Reports r;
        LogCapture log;
        EXPECT_EQ(emmc::Download((dir / "d.img").c_str(), pkg.folder.c_str(), rec, r.fn()),
                  EMMC_DOWNLOAD_STEP_FAILED);
        EXPECT_EQ(r.positions, (std::vector<int>{60, 60}));
        EXPECT_EQ(r.tags[0], "#");
        EXPECT_NE(
            log.text().find(
                "For_eMMC_Download_Universal_Interface(hDevice, fileNameSBL1, 0x2EE001) fail"),
            std::string::npos);
    }
    EXPECT_EQ(read_file(dir / "d.img"), disk);
}

TEST_F(EmmcTest, AFailingStepStopsTheRunAndKeepsEarlierWrites) {
    Package pkg(dir);
    auto disk = make_disk(dir / "d.img", 800, 0xCC);
    const auto before = disk;
    const auto full = pkg.expected(disk);
    pkg.rec.ABOOT_FileName = "missing.mbn";
    Reports r;
    LogCapture log;
    EXPECT_EQ(emmc::Download((dir / "d.img").c_str(), pkg.folder.c_str(), &pkg.rec, r.fn()),
              EMMC_DOWNLOAD_STEP_FAILED);
    EXPECT_EQ(r.positions, (std::vector<int>{60, 60, 65, 70, 75, 80}));
    EXPECT_NE(log.text().find("For_eMMC_Download_Universal_Interface(hDevice, fileNameABOOT fail"),
              std::string::npos);
    // Steps 1 to 4 are on the disk; the ABOOT sectors and everything after are untouched.
    auto now = read_file(dir / "d.img");
    for (uint64_t s : {pkg.starts[0], pkg.starts[1], pkg.starts[2], pkg.starts[3]})
        EXPECT_TRUE(std::equal(now.begin() + static_cast<long>(s * 512),
                               now.begin() + static_cast<long>(s * 512 + 512),
                               full.begin() + static_cast<long>(s * 512)));
    EXPECT_TRUE(std::equal(now.begin() + 400 * 512, now.end(), before.begin() + 400 * 512));

    // A short patch file fails step 10 and the call with 1.
    pkg.rec.ABOOT_FileName = "emmc_appsboot.mbn";
    pkg.rec.PATCH2_Block_Index = 3;
    Reports r2;
    EXPECT_EQ(emmc::Download((dir / "d.img").c_str(), pkg.folder.c_str(), &pkg.rec, r2.fn()),
              EMMC_DOWNLOAD_STEP_FAILED);
    EXPECT_EQ(r2.positions.back(), 96);
    EXPECT_NE(log.text().find("For_For_eMMC_Download_Pach_Interface(hDevice, fileNamePach2, "
                              "xmlData->PATCH2_DISK_Start_Sector fail"),
              std::string::npos);
}

TEST_F(EmmcTest, PatchesSharingABlockBothStay) {
    // Step 10 rebuilds the block from the file; it must not undo step 9's value.
    Package pkg(dir);
    auto disk = make_disk(dir / "d.img", 800, 0xCC);
    pkg.rec.PATCH2_Block_Index = 0;
    pkg.rec.PATCH2_DISK_Start_Sector = 700;
    Reports r;
    EXPECT_EQ(emmc::Download((dir / "d.img").c_str(), pkg.folder.c_str(), &pkg.rec, r.fn()), 0);
    auto now = read_file(dir / "d.img");
    const uint8_t* b = now.data() + 700 * 512;
    EXPECT_EQ(std::vector<uint8_t>(b + 454, b + 458), (std::vector<uint8_t>{0x5F, 0x10, 0x76, 0}));
    EXPECT_EQ(std::vector<uint8_t>(b + 470, b + 474), (std::vector<uint8_t>{0xEF, 0x27, 0x3F, 0}));
    // Sector 701 is not written at all this time.
    EXPECT_EQ(now[701 * 512], 0xCC);
}

TEST_F(EmmcTest, MissingDiskShowsTheMessageAndReportsNothing) {
    Package pkg(dir);
    std::vector<std::string> boxes;
    emmc::SetMessageBox([&](const char* text, const char* caption) {
        boxes.push_back(std::string(caption) + "|" + text);
    });
    Reports r;
    EXPECT_EQ(emmc::Download((dir / "no-disk").c_str(), pkg.folder.c_str(), &pkg.rec, r.fn()),
              EMMC_DOWNLOAD_NO_DISK);
    EXPECT_EQ(emmc::Download(nullptr, pkg.folder.c_str(), &pkg.rec, r.fn()), EMMC_DOWNLOAD_NO_DISK);
    EXPECT_EQ(boxes, (std::vector<std::string>{"Tarnwell|Can not open disk.",
                                               "Tarnwell|Can not open disk."}));
    EXPECT_TRUE(r.positions.empty());
}

TEST_F(EmmcTest, SectorsBeyond2GiBAreWrittenThere) {
    Package pkg(dir);
    const std::string img = dir / "big.img";
    const uint32_t base = 4194304 + 750; // its 32-bit alias, sector 750, is unused
    {
        int fd = ::open(img.c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>((uint64_t{base} + 1024) * 512)), 0);
        ::close(fd);
    }
    pkg.rec.TZ_DISK_Start_Sector = base;
    pkg.rec.PATCH2_DISK_Start_Sector = base + 10;
    Reports r;
    EXPECT_EQ(emmc::Download(img.c_str(), pkg.folder.c_str(), &pkg.rec, r.fn()), 0);
    tw::Disk d;
    ASSERT_EQ(d.open(img), 0);
    std::vector<uint8_t> tz(512), low(512), patched(512);
    ASSERT_EQ(d.read_at(uint64_t{base} * 512, tz.data(), 512), 0);
    EXPECT_TRUE(std::equal(pkg.files[5].begin(), pkg.files[5].end(), tz.begin()));
    EXPECT_EQ(tz[100], 0);
    // Where a signed 32-bit byte offset would have wrapped to: still zero.
    ASSERT_EQ(d.read_at((uint64_t{base} * 512) & 0x7FFFFFFF, low.data(), 512), 0);
    EXPECT_EQ(low, std::vector<uint8_t>(512, 0));
    ASSERT_EQ(d.read_at((uint64_t{base} + 10) * 512, patched.data(), 512), 0);
    EXPECT_EQ(patched[470], 0xEF);
}

} // namespace
