#pragma once
// Raw access to a disk: a block device (the phone's eMMC on USB mass storage) or an image file
// standing in for one. Offsets are 64-bit bytes from the start of the disk. The disk has a fixed
// size, taken at open: a write that would reach past its end is refused whole, so an image file
// never grows and nothing lands anywhere but where it was asked to.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

// The file to open for a disk path: the path itself when it names a file, else the `path` of the
// disk record whose device interface path it is (compared without regard to case), else the
// path unchanged. Windows opens such device paths directly; here the device source maps them.
std::string resolve_disk_path(const std::string& path);

class Disk {
  public:
    Disk() = default;
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;
    Disk(Disk&& other) noexcept;
    Disk& operator=(Disk&& other) noexcept;

    // Opens an existing block device or regular file for reading and writing; a path that
    // names no file may be a disk's device interface path, resolved through the device source.
    // Returns 0 or an errno value (ENODEV for anything that is neither).
    int open(const std::string& path);
    bool is_open() const { return fd_ >= 0; }
    // Flushes what was written to stable storage, then closes. Returns 0 or an errno value;
    // the disk is closed either way. Closing a closed disk returns 0.
    int close();

    // Size in bytes as it was at open (0 when closed).
    uint64_t size() const { return size_; }
    const std::string& path() const { return path_; }

    // Writes or reads exactly n bytes at offset. Returns 0 or an errno value: ENOSPC when the
    // range does not lie inside the disk (nothing is written then), EBADF when closed.
    int write_at(uint64_t offset, const void* data, size_t n);
    int read_at(uint64_t offset, void* data, size_t n) const;

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
    bool dirty_ = false;
    std::string path_;
};

} // namespace tw
