#include "station/fastboot_flash.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/clock.h"
#include "station/debug_line.h"

namespace fs = std::filesystem;

namespace tw::station {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::string FindFileByName(const std::string& folder, const std::string& name) {
    struct Match {
        int depth;
        bool inexact;
        std::string path;
        bool operator<(const Match& o) const {
            if (depth != o.depth) return depth < o.depth;
            if (inexact != o.inexact) return !inexact;
            return path < o.path;
        }
    };
    std::error_code ec;
    if (name.empty() || !fs::is_directory(folder, ec)) return "";
    std::vector<Match> found;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& e = *it;
        std::error_code tec;
        // Folders are searched, not taken; anything else with the name is (its load says
        // whether it can be read).
        if (e.is_directory(tec)) continue;
        const std::string base = e.path().filename().string();
        if (base == name || SameIgnoringCase(base, name))
            found.push_back({it.depth(), base != name, e.path().string()});
    }
    if (found.empty()) return "";
    return std::min_element(found.begin(), found.end())->path;
}

// ---- image table ----

ImageTable::~ImageTable() {
    Clear();
}

void ImageTable::Clear() {
    for (auto& img : images_) {
        if (img.handle) FBFreeFile(img.handle);
        img = {};
    }
    total_ = 0;
    loaded_ = false;
}

bool ImageTable::LoadImage(const std::string& path, ImageEntry entry, StationUi& ui) {
    FastbootImage& img = images_[static_cast<size_t>(entry)];
    if (img.handle) FBFreeFile(img.handle);
    img = {};
    uint32_t size = 0, error = 0;
    FBFileHandle h = FBLoadFile(path, &size, &error);
    if (h) {
        img = {h, size};
        return true;
    }
    switch (error) {
    case 1:
        ui.MessageBox(path, "文件不存在", MessageIcon::Error);
        break;
    case 2:
        ui.MessageBox("内存不足", kCaption, MessageIcon::Error);
        break;
    case 3:
        ui.MessageBox(path, "读取文件错误", MessageIcon::Error);
        break;
    default:
        break;
    }
    return false;
}

bool ImageTable::LoadFrom(const std::string& folder, StationUi& ui) {
    // Nothing of an earlier package stays behind: a partly loaded table never mixes two of them,
    // and the old images are not held while the new ones load.
    Clear();
    for (ImageEntry e : kLoadOrder) {
        const char* file = kImageSpecs[e].file;
        const std::string path = FindFileByName(folder, file);
        if (path.empty()) {
            ui.MessageBox(std::string("Can't find file: ") + file, kCaption, MessageIcon::Error);
            return false;
        }
        if (!LoadImage(path, e, ui)) return false;
        total_ += images_[static_cast<size_t>(e)].size;
    }
    loaded_ = true;
    return true;
}

// ---- one run ----

int FlashProgressPosition(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    double p = static_cast<double>(done) / static_cast<double>(total) * kFlashingTop;
    return static_cast<int>(std::min(p, static_cast<double>(kFlashingTop)));
}

FastbootJob::FastbootJob(const ImageTable& table, StationUi* ui, int slot)
    : FastbootJob(table.images(), table.total(), ui, slot) {}

FastbootJob::FastbootJob(const ImageSet& images, uint64_t total, StationUi* ui, int slot)
    : images_(images), total_(total), ui_(ui), slot_(slot) {}

FastbootJob::~FastbootJob() {
    CloseDevice();
}

FBDeviceHandle FastbootJob::Open(const std::string& name) {
    return open_ ? open_(name) : FBOpenDevice(name);
}

bool FastbootJob::OpenDevice(const std::string& name) {
    Release();
    closed_.store(false);
    name_ = name;
    device_.store(Open(name));
    return device_.load() != 0;
}

bool FastbootJob::OpenDevice(const std::string& name, int attempts, int64_t pause_ms) {
    for (int i = 1; i <= attempts; ++i) {
        if (OpenDevice(name)) return true;
        if (i < attempts) clock::sleep_ms(pause_ms);
    }
    return false;
}

int FastbootJob::Reboot() {
    FBDeviceHandle d = device_.load();
    if (!d) return -1;
    int rc = FBReboot(d);
    if (rc < 0) last_error_ = FBLastError(d);
    return rc;
}

void FastbootJob::Release() {
    FBDeviceHandle d = device_.exchange(0);
    if (d) FBCloseDevice(d);
}

void FastbootJob::CloseDevice() {
    // Marked first: a reopen running on the flashing thread either sees the mark or has stored
    // its handle where the exchange below takes it.
    closed_.store(true);
    Release();
}

bool FastbootJob::Reopen() {
    if (name_.empty() || closed_.load()) return false;
    Release();
    const auto deadline =
        clock::Steady::now() + clock::scaled(std::chrono::milliseconds(kReopenWaitMs));
    for (;;) {
        if (closed_.load()) return false;
        if (FBDeviceHandle h = Open(name_)) {
            device_.store(h);
            if (closed_.load()) {
                Release(); // stopped while it opened
                return false;
            }
            return true;
        }
        if (clock::Steady::now() >= deadline) return false;
        clock::sleep_ms(kReopenPauseMs);
    }
}

namespace {

// Failures after which the device handle is out of step (the library answers -8 from then on):
// the link went, a reply did not come in time, or a reply broke the protocol. A FAIL reply
// (-4) keeps the device in step, and a close from another thread (-7) is a stop.
bool LeavesHandleUnusable(int rc) {
    return rc == fastboot::kErrIo || rc == fastboot::kErrTimeout || rc == fastboot::kErrProtocol ||
           rc == fastboot::kErrBroken;
}

} // namespace

void FastbootJob::Show(int position) {
    position_ = position;
    if (ui_) ui_->SetProgress(slot_, position);
}

void FastbootJob::Progress(void* context, int64_t bytes) {
    auto* job = static_cast<FastbootJob*>(context);
    if (!job) return;
    if (bytes < 0) {
        job->Show(100);
        return;
    }
    job->bytes_done_ += static_cast<uint64_t>(bytes);
    job->Show(FlashProgressPosition(job->bytes_done_, job->total_));
}

int FastbootJob::FlashPartition(const char* name, const FastbootImage& image) {
    DebugLine("flash %s:times 1/3", name);
    bytes_at_partition_start_ = bytes_done_;
    last_error_.clear();
    int rc = -1;
    for (int attempt = 1; attempt <= kFlashAttempts; ++attempt) {
        if (flash_) {
            rc = flash_(name, image.handle, image.size, &FastbootJob::Progress, this);
        } else {
            const FBDeviceHandle d = device_.load();
            rc = FBFlash(d, name, image.handle, image.size, &FastbootJob::Progress, this);
            if (rc < 0) {
                // Every attempt's reason: the first one says what broke the link.
                if (!last_error_.empty()) last_error_ += "; ";
                last_error_ += "attempt " + std::to_string(attempt) + ": " +
                               (d ? FBLastError(d) : std::string("the device is closed"));
            }
        }
        if (rc >= 0) break;
        if (attempt < kFlashAttempts) {
            // The next attempt starts from where this partition began.
            bytes_done_ = bytes_at_partition_start_;
            Progress(this, 0);
            if (LeavesHandleUnusable(rc) && !name_.empty() && !closed_.load()) {
                const bool back = Reopen();
                if (!last_error_.empty()) last_error_ += "; ";
                last_error_ += back             ? "reopened " + name_
                               : closed_.load() ? std::string("closed while reopening")
                                                : name_ + " did not come back: " + FBLastError(0);
            }
            DebugLine("flash %s:times %d/3", name, attempt + 1);
        }
    }
    return rc;
}

int FastbootJob::FlashAll() {
    for (ImageEntry e : kFlashOrder) {
        const char* name = kImageSpecs[e].partition;
        if (FlashPartition(name, images_[static_cast<size_t>(e)]) < 0) {
            DebugLine("Error flashing %s, exit.", name);
            return -1;
        }
    }
    Progress(this, -1);
    return 0;
}

} // namespace tw::station
