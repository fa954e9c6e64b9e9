#include "engine/emmc_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#include "engine/debug_out.h"
#include "engine/phase_image.h"
#include "platform/clock.h"

using sondrel::DebugOutput;
using sondrel::DebugPrintf;

namespace {

constexpr int kWriteAttempts = 20;
constexpr int kOpenAttempts = 30;
// Read sharing, the only mode image readers are opened with.
constexpr int kShareRead = 1;

// Up to 20 writes of the same sectors, each followed by a 1 ms pause. Nonzero on success.
int WriteWithRetries(tw::Disk* disk, const uint8_t* buffer, uint64_t sector, uint32_t count,
                     tw::clock::CancelToken* cancel) {
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        int rsp = WriteSectors(disk, buffer, sector, count);
        tw::clock::sleep_ms(1, cancel);
        if (rsp) return rsp;
        DebugPrintf("\n\n try %d times\n\n", kWriteAttempts - attempt - 1);
        DebugPrintf("\n\n nRsp =  %d\n\n", rsp);
    }
    return 0;
}

// Opens and sizes an image; false (and the image closed) when either fails.
bool OpenSized(CPhaseImage& image, const char* path, uint32_t& size) {
    uint32_t offset = 0;
    size = 0;
    image.OpenImage(path, kShareRead);
    if (!image.GetImageSize(offset, size)) {
        if (image.IsHandleValid()) image.CloseImage();
        return false;
    }
    return true;
}

// The installed hook. The lock guards only the pointer: a box is shown with the lock released,
// through a reference that keeps the hook alive while it is replaced.
std::mutex& box_lock() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const emmc::MessageBoxFn>& box_fn() {
    static std::shared_ptr<const emmc::MessageBoxFn> fn;
    return fn;
}

} // namespace

int WriteSectors(tw::Disk* disk, const uint8_t* buffer, uint64_t sector, uint32_t count,
                 uint32_t sector_size) {
    if (!disk || !buffer || sector_size == 0) return 0;
    // A position that does not fit 64 bits must not wrap round to the front of the disk.
    if (sector > std::numeric_limits<uint64_t>::max() / sector_size) return 0;
    const uint64_t offset = sector * sector_size;
    const size_t bytes = size_t{count} * sector_size;
    return disk->write_at(offset, buffer, bytes) == 0 ? 1 : 0;
}

namespace emmc {

std::string DiskTag(const std::string& disk_path) {
    const size_t last = disk_path.rfind('#');
    if (last == std::string::npos || last == 0) return "#";
    const size_t before = disk_path.rfind('#', last - 1);
    if (before == std::string::npos) return "#";
    return disk_path.substr(before, last - before + 1);
}

std::string SourcePath(const char* folder, const char* name) {
    std::string path = folder ? folder : "";
    if (!name || !*name) return path;
    if (!path.empty() && path.back() != '/' && name[0] != '/') path += '/';
    path += name;
    return path;
}

int WriteImage(tw::Disk* disk, const char* path, uint64_t sector, tw::clock::CancelToken* cancel) {
    CPhaseImage image;
    uint32_t size = 0;
    if (!OpenSized(image, path, size)) return EMMC_FILE_ERROR;
    DebugPrintf("\n\n Start download %u   bytes\n\n", size);

    // One spare byte as the station's buffer has; the tail of a short last chunk is cleared
    // before it goes out, so the bytes past the file's end are zero on the disk.
    std::vector<uint8_t> buffer(kEmmcChunk + 1, 0);
    uint32_t left = size;
    uint32_t written = 0;
    while (left > 0) {
        const uint32_t n = std::min(left, kEmmcChunk);
        if (!image.ReadImage(buffer.data(), n)) {
            DebugOutput("\n phase.read fail");
            image.CloseImage();
            return EMMC_READ_ERROR;
        }
        const uint32_t count = (n + kEmmcSectorSize - 1) / kEmmcSectorSize;
        std::memset(buffer.data() + n, 0, size_t{count} * kEmmcSectorSize - n);
        if (!WriteWithRetries(disk, buffer.data(), sector, count, cancel)) {
            DebugOutput(" Fail of Write CMD STREAM DOWNLOAD PROTOCOL ");
            image.CloseImage();
            return EMMC_WRITE_ERROR;
        }
        sector += n / kEmmcSectorSize;
        left -= n;
        written += n;
        DebugPrintf("\n Writing address  0x%llx  size 0x%x Bytes Written  0x%x Bytes Total 0x%x",
                    static_cast<unsigned long long>(sector), n, written, size);
    }
    image.CloseImage();
    return EMMC_OK;
}

int WritePatch(tw::Disk* disk, const char* path, uint64_t sector, uint32_t offset, uint32_t index,
               uint32_t value, tw::clock::CancelToken* cancel) {
    const PatchStore store{offset, value};
    return WritePatchStores(disk, path, sector, index, &store, 1, cancel);
}

int WritePatchStores(tw::Disk* disk, const char* path, uint64_t sector, uint32_t index,
                     const PatchStore* stores, size_t n, tw::clock::CancelToken* cancel) {
    for (size_t k = 0; k < n; ++k) {
        if (stores[k].offset > kEmmcMaxPatchOffset) {
            DebugPrintf("\n patch byte offset %u leaves its %u-byte block\n", stores[k].offset,
                        kEmmcSectorSize);
            return EMMC_PATCH_OFFSET;
        }
    }
    CPhaseImage image;
    uint32_t size = 0;
    if (!OpenSized(image, path, size)) return EMMC_FILE_ERROR;
    DebugPrintf("\n\n Start download %u   bytes\n\n", size);

    // Blocks 0 to index are read in turn and the last one kept. A file that ends before the
    // block does (an empty one included) fails: its patch cannot be applied.
    uint8_t block[522];
    const uint64_t needed = (uint64_t{index} + 1) * kEmmcSectorSize;
    for (uint64_t i = 0; i <= index; ++i) {
        std::memset(block, 0, sizeof block);
        errno = 0;
        if (needed > size || !image.ReadImage(block, kEmmcSectorSize)) {
            const long err = errno;
            DebugOutput("\n phase.read fail");
            DebugPrintf("For_eMMC_Download_Pach_Interface for 2 fail  Read GetLastError = %ld",
                        err);
            image.CloseImage();
            return EMMC_READ_ERROR;
        }
    }

    struct Store {
        uint32_t at;
        int pause_ms;
        const char* line;
    };
    static constexpr Store kStores[] = {
        {1, 1, "------------clpBuffer[offsetNum+1] =  %d-------------\n"},
        {2, 10, "------------clpBuffer[offsetNum+2] =  %d-------------\n"},
        {3, 10, "------------clpBuffer[offsetNum+3] =  %d-------------\n"},
        {0, 1, "------------clpBuffer[offsetNum+0] =  %d-------------\n"},
    };
    for (size_t k = 0; k < n; ++k) {
        const uint32_t offset = stores[k].offset;
        const uint32_t value = stores[k].value;
        DebugPrintf("------------pachValue =  %ld-------------\n", static_cast<long>(value));
        for (const Store& s : kStores) {
            const auto byte = static_cast<uint8_t>(value >> (8 * s.at));
            block[offset + s.at] = byte;
            tw::clock::sleep_ms(s.pause_ms, cancel);
            DebugPrintf(s.line, static_cast<int>(byte));
        }
    }

    if (!WriteWithRetries(disk, block, sector, 1, cancel)) {
        DebugOutput(" Fail of Write pach 1 ");
        image.CloseImage();
        return EMMC_WRITE_ERROR;
    }
    image.CloseImage();
    return EMMC_OK;
}

bool CheckPlan(const char* folder, const XMLDATA& r, uint64_t disk_size, std::string& why) {
    const std::string disk = std::to_string(disk_size) + " bytes";
    if (disk_size == 0) {
        why = "the disk holds 0 bytes (an empty image file, or a reader without its card): "
              "there is nowhere to write";
        return false;
    }
    // Size of an entry's file; false with `why` set when it cannot be written from.
    auto sized = [&](const char* entry, const char* name, uint64_t& size) {
        if (!name || !*name) {
            why = std::string("the plan gives no file for ") + entry;
            return false;
        }
        const std::string path = SourcePath(folder, name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            why = std::string(entry) + ": " + path + " is not a file that can be read";
            return false;
        }
        size = static_cast<uint64_t>(st.st_size);
        if (size == 0 || size >= kImageSizeLimit) {
            why = std::string(entry) + ": " + path +
                  (size == 0 ? " is empty" : " is 4 GiB or more, more than an image can be");
            return false;
        }
        return true;
    };
    // Copied out of the packed record by value: a reference to one of its fields may be
    // misaligned.
    struct Entry {
        const char* entry;
        const char* name;
        uint32_t sector;
        uint32_t block; // patches: the block of the patch file
    };
    const Entry images[] = {
        {"SBL1", r.SBL1_FileName, r.SBL1_DISK_Start_Sector, 0},
        {"SBL2", r.SBL2_FileName, r.SBL2_DISK_Start_Sector, 0},
        {"RPM", r.RPM_FileName, r.RPM_DISK_Start_Sector, 0},
        {"SBL3", r.SBL3_FileName, r.SBL3_DISK_Start_Sector, 0},
        {"ABOOT", r.ABOOT_FileName, r.ABOOT_DISK_Start_Sector, 0},
        {"TZ", r.TZ_FileName, r.TZ_DISK_Start_Sector, 0},
        {"MBR0", r.MBR0_FileName, r.MBR0_DISK_Start_Sector, 0},
        {"EBR0", r.EBR0_FileName, r.EBR0_DISK_Start_Sector, 0},
    };
    for (const Entry& e : images) {
        uint64_t size = 0;
        if (!sized(e.entry, e.name, size)) return false;
        // Whole sectors are written: the last one's tail is zero.
        const uint64_t end = uint64_t{e.sector} * kEmmcSectorSize +
                             (size + kEmmcSectorSize - 1) / kEmmcSectorSize * kEmmcSectorSize;
        if (end > disk_size) {
            why = std::string(e.entry) + " (" + e.name + ", " + std::to_string(size) +
                  " bytes at sector " + std::to_string(e.sector) + ") would end at byte " +
                  std::to_string(end) + ", past the end of the disk (" + disk + ")";
            return false;
        }
    }
    const Entry patches[] = {
        {"PATCH1", r.PATCH_FileName, r.PATCH1_DISK_Start_Sector, r.PATCH1_Block_Index},
        {"PATCH2", r.PATCH_FileName, r.PATCH2_DISK_Start_Sector, r.PATCH2_Block_Index},
    };
    for (const Entry& e : patches) {
        uint64_t size = 0;
        if (!sized(e.entry, e.name, size)) return false;
        if ((uint64_t{e.block} + 1) * kEmmcSectorSize > size) {
            why = std::string(e.entry) + " patches block " + std::to_string(e.block) + " of " +
                  e.name + ", which holds only " + std::to_string(size) + " bytes";
            return false;
        }
        if ((uint64_t{e.sector} + 1) * kEmmcSectorSize > disk_size) {
            why = std::string(e.entry) + " writes sector " + std::to_string(e.sector) +
                  ", past the end of the disk (" + disk + ")";
            return false;
        }
    }
    const uint32_t offsets[] = {r.PATCH1_Byte_Offset, r.PATCH2_Byte_Offset};
    for (int i = 0; i < 2; ++i) {
        if (offsets[i] > kEmmcMaxPatchOffset) {
            why = "PATCH" + std::to_string(i + 1) + " has byte offset " +
                  std::to_string(offsets[i]) + ", above " + std::to_string(kEmmcMaxPatchOffset);
            return false;
        }
    }
    return true;
}

void SetMessageBox(MessageBoxFn fn) {
    auto installed = fn ? std::make_shared<const MessageBoxFn>(std::move(fn)) : nullptr;
    std::lock_guard<std::mutex> g(box_lock());
    box_fn() = std::move(installed);
}

void ShowMessageBox(const char* text, const char* caption) {
    std::shared_ptr<const MessageBoxFn> fn;
    {
        std::lock_guard<std::mutex> g(box_lock());
        fn = box_fn();
    }
    if (fn) {
        (*fn)(text, caption);
    } else {
        std::fprintf(stderr, "%s: %s\n", caption, text);
    }
}

int Download(const char* disk_path, const char* folder, const XMLDATA* record,
             const ReportFn& report, const StopFn& stop, tw::clock::CancelToken* cancel) {
    // A missing record is the station's cleared one.
    static const XMLDATA kCleared{};
    const XMLDATA& r = record ? *record : kCleared;

    struct Step {
        std::string path;
        uint64_t sector;
        int position;
        const char* fail_line;
        uint32_t index = 0;             // patch steps: the block of the patch file
        std::vector<PatchStore> stores; // patch steps: what goes into it; empty for images
    };
    const PatchStore patch1{r.PATCH1_Byte_Offset, kEmmcPatch1Value};
    const PatchStore patch2{r.PATCH2_Byte_Offset, kEmmcPatch2Value};
    // Each patch step rebuilds its block from the file. When both patches go into the same
    // block at the same sector, the second write would undo the first: it carries both.
    const bool shared_block = r.PATCH1_Block_Index == r.PATCH2_Block_Index &&
                              r.PATCH1_DISK_Start_Sector == r.PATCH2_DISK_Start_Sector;
    const std::string patch_path = SourcePath(folder, r.PATCH_FileName);
    const Step steps[] = {
        {SourcePath(folder, r.SBL1_FileName),
         r.SBL1_DISK_Start_Sector,
         65,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameSBL1, 0x2EE001) fail",
         0,
         {}},
        {SourcePath(folder, r.SBL2_FileName),
         r.SBL2_DISK_Start_Sector,
         70,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameSBL2, 0x2EE001) fail",
         0,
         {}},
        {SourcePath(folder, r.RPM_FileName),
         r.RPM_DISK_Start_Sector,
         75,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameRPM  fail",
         0,
         {}},
        {SourcePath(folder, r.SBL3_FileName),
         r.SBL3_DISK_Start_Sector,
         80,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameSBL3 fail",
         0,
         {}},
        {SourcePath(folder, r.ABOOT_FileName),
         r.ABOOT_DISK_Start_Sector,
         85,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameABOOT fail",
         0,
         {}},
        {SourcePath(folder, r.TZ_FileName),
         r.TZ_DISK_Start_Sector,
         90,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameTZ fail",
         0,
         {}},
        {SourcePath(folder, r.MBR0_FileName),
         r.MBR0_DISK_Start_Sector,
         91,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameMBRO fail",
         0,
         {}},
        {SourcePath(folder, r.EBR0_FileName),
         r.EBR0_DISK_Start_Sector,
         93,
         "For_eMMC_Download_Universal_Interface(hDevice, fileNameEBRO fail",
         0,
         {}},
        {patch_path,
         r.PATCH1_DISK_Start_Sector,
         96,
         "For_eMMC_Download_Pach_Interface(hDevice, fileNamePach1 fail",
         r.PATCH1_Block_Index,
         {patch1}},
        {patch_path, r.PATCH2_DISK_Start_Sector, 100,
         "For_For_eMMC_Download_Pach_Interface(hDevice, fileNamePach2, "
         "xmlData->PATCH2_DISK_Start_Sector fail",
         r.PATCH2_Block_Index,
         shared_block ? std::vector<PatchStore>{patch1, patch2} : std::vector<PatchStore>{patch2}},
    };

    tw::Disk disk;
    bool opened = false;
    for (int i = 0; i < kOpenAttempts && !opened && disk_path; ++i)
        opened = disk.open(disk_path) == 0;
    if (!opened) {
        ShowMessageBox("Can not open disk.", "Tarnwell");
        return EMMC_DOWNLOAD_NO_DISK;
    }

    const std::string tag = DiskTag(disk_path);
    // Nothing is erased: the two reports are all there is to this stage.
    if (report) {
        report(kEmmcStartPosition, kEmmcEraseText, tag.c_str());
        report(kEmmcStartPosition, kEmmcEraseText, tag.c_str());
    }

    for (const Step& s : steps) {
        if (stop && stop()) {
            DebugOutput("\n eMMC download stopped: the module is being deleted\n");
            disk.close();
            return EMMC_DOWNLOAD_STEP_FAILED;
        }
        const int rc = s.stores.empty()
                           ? WriteImage(&disk, s.path.c_str(), s.sector, cancel)
                           : WritePatchStores(&disk, s.path.c_str(), s.sector, s.index,
                                              s.stores.data(), s.stores.size(), cancel);
        if (rc != EMMC_OK) {
            DebugOutput(s.fail_line);
            disk.close();
            return EMMC_DOWNLOAD_STEP_FAILED;
        }
        if (report) report(s.position, kEmmcStepText, tag.c_str());
    }

    // What was written must have reached the device before success is claimed.
    if (const int err = disk.close(); err != 0) {
        DebugPrintf("\n close disk fail, error %d\n", err);
        return EMMC_DOWNLOAD_STEP_FAILED;
    }
    return EMMC_DOWNLOAD_OK;
}

} // namespace emmc
