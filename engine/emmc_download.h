#pragma once
// eMMC raw programming: a phone whose eMMC shows up as a USB mass-storage disk is programmed by
// writing the boot images, the partition records and two 32-bit patches straight into its
// 512-byte sectors, at the sectors an XMLDATA record gives.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/disk.h"

// The eMMC image plan the station hands over by pointer. Field order as the station lays it
// out; text pointers follow the platform's width. Null or empty names count as no name.
#pragma pack(push, 1)
struct XMLDATA {
    uint32_t reserved0;
    const char* SBL1_FileName; // relative to the package folder
    uint32_t reserved1;
    uint32_t SBL1_DISK_Start_Sector;
    uint32_t reserved2;
    const char* SBL2_FileName;
    uint32_t reserved3;
    uint32_t SBL2_DISK_Start_Sector;
    uint32_t reserved4;
    const char* SBL3_FileName;
    uint32_t reserved5;
    uint32_t SBL3_DISK_Start_Sector;
    uint32_t reserved6;
    const char* RPM_FileName;
    uint32_t reserved7;
    uint32_t RPM_DISK_Start_Sector;
    uint32_t reserved8;
    const char* ABOOT_FileName;
    uint32_t reserved9;
    uint32_t ABOOT_DISK_Start_Sector;
    uint32_t reserved10;
    const char* TZ_FileName;
    uint32_t reserved11;
    uint32_t TZ_DISK_Start_Sector;
    uint32_t reserved12;
    const char* MBR0_FileName;
    uint32_t reserved13;
    uint32_t MBR0_DISK_Start_Sector;
    uint32_t reserved14;
    const char* EBR0_FileName;
    uint32_t reserved15;
    uint32_t EBR0_DISK_Start_Sector;
    uint32_t reserved16;
    const char* PATCH_FileName;  // the file both patch blocks are taken from
    uint32_t PATCH1_Byte_Offset; // inside its 512-byte block, 0 to 508
    uint32_t PATCH1_Block_Index; // 512-byte block of the patch file, 0 = the first
    uint32_t PATCH1_DISK_Start_Sector;
    uint8_t reserved17[12];
    uint32_t PATCH2_Byte_Offset;
    uint32_t PATCH2_Block_Index;
    uint32_t PATCH2_DISK_Start_Sector;
    uint8_t reserved18[48];
};
#pragma pack(pop)
static_assert(sizeof(XMLDATA) == 220 + 9 * (sizeof(const char*) - 4));

constexpr uint32_t kEmmcSectorSize = 512;
// Bytes read and written per step of an image.
constexpr uint32_t kEmmcChunk = 65536;
// The two fixed patch values, stored little-endian.
constexpr uint32_t kEmmcPatch1Value = 0x76105F;
constexpr uint32_t kEmmcPatch2Value = 0x3F27EF;
// Highest byte offset a patch may take: its four bytes stay inside the block.
constexpr uint32_t kEmmcMaxPatchOffset = kEmmcSectorSize - 4;

// Results of the image and patch steps.
constexpr int EMMC_OK = 0;
constexpr int EMMC_FILE_ERROR = -11969;   // file cannot be opened or sized
constexpr int EMMC_READ_ERROR = -11816;   // a read failed (a patch file too short included)
constexpr int EMMC_WRITE_ERROR = -11970;  // a write failed 20 times
constexpr int EMMC_PATCH_OFFSET = -11972; // patch byte offset would leave its block

// Results of the whole download.
constexpr int EMMC_DOWNLOAD_OK = 0;
constexpr int EMMC_DOWNLOAD_STEP_FAILED = 1;
constexpr int EMMC_DOWNLOAD_NO_DISK = -1;

// Texts of the progress reports.
constexpr char kEmmcEraseText[] = " erase 0x0 sector/ 0x 1/0x747fff sector ok ";
constexpr char kEmmcStepText[] = " download diag com ok ";
constexpr int kEmmcStartPosition = 60;

// Writes count sectors of sector_size bytes at byte offset sector x sector_size (64-bit).
// Nonzero when the write succeeded, 0 otherwise.
int WriteSectors(tw::Disk* disk, const uint8_t* buffer, uint64_t sector, uint32_t count,
                 uint32_t sector_size = kEmmcSectorSize);

namespace emmc {

// The text between the last two '#' of a disk's device path, with a '#' on each side;
// "#" when the path has fewer than two.
std::string DiskTag(const std::string& disk_path);

// Package folder + name. The name is appended as it is when the folder already ends in a
// separator or the name starts with one; otherwise a '/' goes between them. An absent name
// gives the bare folder, which no image open accepts.
std::string SourcePath(const char* folder, const char* name);

// The pauses of the writers below go through cancel when one is given (the module's token), so a
// stop wakes them.

// Writes a whole image file from sector on.
int WriteImage(tw::Disk* disk, const char* path, uint64_t sector,
               tw::clock::CancelToken* cancel = nullptr);
// Writes block `index` of a patch file, with value stored little-endian at byte `offset`, to
// sector.
int WritePatch(tw::Disk* disk, const char* path, uint64_t sector, uint32_t offset, uint32_t index,
               uint32_t value, tw::clock::CancelToken* cancel = nullptr);

// One value stored little-endian at a byte offset of a patch block.
struct PatchStore {
    uint32_t offset;
    uint32_t value;
};
// Block `index` of a patch file with every store applied in order, written to sector.
int WritePatchStores(tw::Disk* disk, const char* path, uint64_t sector, uint32_t index,
                     const PatchStore* stores, size_t n, tw::clock::CancelToken* cancel = nullptr);

// Checks the whole plan against the package and a disk of disk_size bytes before anything is
// written: every entry has a file that can be read and is not empty, every image ends inside
// the disk, each patch's block lies inside the patch file and its sector inside the disk.
// False, with `why` naming the entry, the file and the disk's size, at the first that does
// not. Download itself keeps its step-by-step behaviour; front ends call this first.
bool CheckPlan(const char* folder, const XMLDATA& record, uint64_t disk_size, std::string& why);

// One progress report: position, status text, disk tag.
using ReportFn = std::function<void(int position, const char* status, const char* tag)>;
// Shows the operator a failure; the engine has no window, so the default prints on standard
// error ("<caption>: <text>"). Tests and front ends install their own. A box stays open while
// the hook runs; no lock is held meanwhile, so boxes of different slots are open together (the
// hook is called from each slot's thread) and a hook may be replaced while a box is open.
using MessageBoxFn = std::function<void(const char* text, const char* caption)>;
void SetMessageBox(MessageBoxFn fn);
void ShowMessageBox(const char* text, const char* caption);

// True when the request should end (its module is being deleted).
using StopFn = std::function<bool()>;

// The whole download: opens the disk (30 attempts), two reports at 60, the ten steps of the
// write plan with a report after each, closes the disk. 0, 1 (a step failed, or stop said so
// before a step) or -1 (no disk).
int Download(const char* disk_path, const char* folder, const XMLDATA* record,
             const ReportFn& report, const StopFn& stop = {},
             tw::clock::CancelToken* cancel = nullptr);

} // namespace emmc
