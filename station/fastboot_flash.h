#pragma once
// Fastboot flashing as the station does it: the six Android images are loaded into the fastboot
// library once, when a software package is selected, and every slot's run flashes them from
// there to its own device: seven flashes (recovery twice), three attempts each, with the slot's
// bar climbing to 95 while data goes out and jumping to 100 at the end.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "fastboot/fastboot.h"
#include "station/station_ui.h"

namespace tw::station {

constexpr int kImageCount = 6;

// Image table entries, in table order.
enum ImageEntry : int { kBoot = 0, kRecovery, kSystem, kUserdata, kCache, kPersist };

struct ImageSpec {
    const char* partition;
    const char* file;
};
inline constexpr ImageSpec kImageSpecs[kImageCount] = {
    {"boot", "boot.2knand.img"},     {"recovery", "recovery.2knand.img"},
    {"system", "system.2knand.img"}, {"userdata", "userdata.2knand.img"},
    {"cache", "cache.img.ext4"},     {"persist", "persist.2knand.img"},
};
// The order images are loaded in at software selection.
inline constexpr ImageEntry kLoadOrder[kImageCount] = {kBoot,  kSystem,  kUserdata,
                                                       kCache, kPersist, kRecovery};
// The order FlashAll writes them in.
inline constexpr ImageEntry kFlashOrder[] = {kBoot,  kRecovery, kSystem,  kUserdata,
                                             kCache, kPersist,  kRecovery};

constexpr int kFlashAttempts = 3;
// After a failure that leaves the device handle out of step (lost link, time-out, bad reply) the
// device is closed and opened again by its name before the next attempt; a phone that went away
// has this long (nominal) to come back.
constexpr int64_t kReopenWaitMs = 10000;
constexpr int64_t kReopenPauseMs = 250;
// The bar's position while data goes out tops out here; the end of a run shows 100.
constexpr int kFlashingTop = 95;

struct FastbootImage {
    FBFileHandle handle = 0; // from FBLoadFile, 0 when not loaded
    uint32_t size = 0;       // bytes
};
using ImageSet = std::array<FastbootImage, kImageCount>;

// The first file called `name` in folder or below it: the shallowest match wins, an exact match
// before one that differs only in case, then the first path in name order. "" when none.
std::string FindFileByName(const std::string& folder, const std::string& name);

// The station's image table: filled at software selection on the dialog's thread, then only read
// (each run copies the handles it needs). Frees what it holds when it goes.
class ImageTable {
  public:
    ImageTable() = default;
    ~ImageTable();
    ImageTable(const ImageTable&) = delete;
    ImageTable& operator=(const ImageTable&) = delete;

    // Loads the six images found in folder, in the loading order. Clears the loaded flag and the
    // total first; a missing file ("Can't find file: <name>") or a failed load shows its message
    // box through ui and stops. True when all six are loaded.
    bool LoadFrom(const std::string& folder, StationUi& ui);

    // Loads path into one entry (freeing what the entry held first). A failure shows the
    // library's error as a message box: 1 the path with caption "文件不存在", 2 "内存不足",
    // 3 the path with caption "读取文件错误".
    bool LoadImage(const std::string& path, ImageEntry entry, StationUi& ui);

    // Frees every entry; total 0, flag cleared.
    void Clear();

    const ImageSet& images() const { return images_; }
    // Sum of the sizes of the images loaded by the last LoadFrom. 64-bit: six images of up to
    // 4 GiB each would wrap a 32-bit sum.
    uint64_t total() const { return total_; }
    bool loaded() const { return loaded_; }

  private:
    ImageSet images_{};
    uint64_t total_ = 0;
    bool loaded_ = false;
};

// One slot's flashing run: its own device handle, its byte count, its bar.
class FastbootJob {
  public:
    // Writes one partition from a loaded image; FBFlash on the job's device unless replaced
    // (tests script it).
    using FlashFn = std::function<int(const std::string& partition, FBFileHandle file,
                                      uint32_t size, FBProgressFn progress, void* context)>;
    // Opens a device by name; FBOpenDevice unless replaced (tests script it).
    using OpenFn = std::function<FBDeviceHandle(const std::string& name)>;

    FastbootJob(const ImageTable& table, StationUi* ui, int slot);
    FastbootJob(const ImageSet& images, uint64_t total, StationUi* ui, int slot);
    // Closes the device if it is still open, whatever path the run took.
    ~FastbootJob();
    FastbootJob(const FastbootJob&) = delete;
    FastbootJob& operator=(const FastbootJob&) = delete;

    // FBOpenDevice; true for a non-zero handle. A device already open is closed first. The job
    // keeps the name, to open the device again after a failure that leaves its handle unusable.
    bool OpenDevice(const std::string& name);
    // Up to `attempts` opens, pause_ms (nominal) apart.
    bool OpenDevice(const std::string& name, int attempts, int64_t pause_ms);
    // FBReboot on the open device; negative when it fails or none is open.
    int Reboot();
    // FBCloseDevice; safe from another thread while a flash runs: the flash ends promptly and
    // every later attempt fails at once; the device is not opened again until OpenDevice.
    void CloseDevice();
    FBDeviceHandle device() const { return device_.load(); }
    const std::string& device_name() const { return name_; }

    void set_flash(FlashFn fn) { flash_ = std::move(fn); }
    void set_open(OpenFn fn) { open_ = std::move(fn); }

    // The debug lines "flash <name>:times N/3"; bytes done rewound before each retry. After a
    // lost link, a time-out or a bad reply the device is reopened (waiting up to kReopenWaitMs)
    // before the next attempt; after a FAIL reply the handle is kept.
    int FlashPartition(const char* name, const FastbootImage& image);
    // boot, recovery, system, userdata, cache, persist, recovery; stops at the first failure
    // with "Error flashing <name>, exit." and -1; 0 and the bar at 100 when all succeed.
    int FlashAll();

    // The library's progress callback: context is the job. bytes >= 0 adds to bytes done and
    // moves the bar to done / total x 95; bytes < 0 moves it to 100.
    static void Progress(void* context, int64_t bytes);

    uint64_t bytes_done() const { return bytes_done_; }
    uint64_t total() const { return total_; }
    int position() const { return position_; }
    // The library's words about each failed attempt of the last partition tried ("" when none
    // failed), e.g. "attempt 1: ...; attempt 2: ...".
    const std::string& last_error() const { return last_error_; }

  private:
    void Show(int position);
    FBDeviceHandle Open(const std::string& name);
    // Closes the handle without ending the run (CloseDevice ends it).
    void Release();
    // Closes the device and opens it again by name, waiting for it to come back; false when it
    // did not, or a stop came meanwhile.
    bool Reopen();

    ImageSet images_{};
    uint64_t total_ = 0;
    StationUi* ui_ = nullptr;
    int slot_ = 0;
    std::atomic<FBDeviceHandle> device_{0};
    std::atomic<bool> closed_{false}; // CloseDevice was called: never reopen
    std::string name_;                // the device's name, from OpenDevice
    uint64_t bytes_done_ = 0;
    uint64_t bytes_at_partition_start_ = 0;
    int position_ = 0;
    std::string last_error_;
    FlashFn flash_;
    OpenFn open_;
};

// done / total x 95, truncated; 0 for an empty total, never above 95 (recovery's second flash
// counts its bytes again on top of the total).
int FlashProgressPosition(uint64_t done, uint64_t total);

} // namespace tw::station
