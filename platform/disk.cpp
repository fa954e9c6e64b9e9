#include "platform/disk.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/device_source.h"

namespace tw {

std::string resolve_disk_path(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) == 0) return path;
    for (const DeviceRecord& r : list_devices()) {
        if (r.kind == DeviceKind::Disk && !r.path.empty() &&
            ::strcasecmp(r.interface_path.c_str(), path.c_str()) == 0)
            return r.path;
    }
    return path;
}

Disk::~Disk() {
    close();
}

Disk::Disk(Disk&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)),
      dirty_(std::exchange(other.dirty_, false)), path_(std::move(other.path_)) {}

Disk& Disk::operator=(Disk&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = std::exchange(other.size_, 0);
        dirty_ = std::exchange(other.dirty_, false);
        path_ = std::move(other.path_);
    }
    return *this;
}

int Disk::open(const std::string& path) {
    close();
    int fd = ::open(resolve_disk_path(path).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    uint64_t size = 0;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
            int e = errno;
            ::close(fd);
            return e;
        }
    } else {
        ::close(fd);
        return ENODEV;
    }
    fd_ = fd;
    size_ = size;
    dirty_ = false;
    path_ = path;
    return 0;
}

int Disk::close() {
    if (fd_ < 0) return 0;
    int rc = 0;
    // The station reports PASS after close: the data must be on the device by then.
    if (dirty_ && ::fsync(fd_) != 0) rc = errno;
    if (::close(fd_) != 0 && rc == 0) rc = errno;
    fd_ = -1;
    size_ = 0;
    dirty_ = false;
    path_.clear();
    return rc;
}

int Disk::write_at(uint64_t offset, const void* data, size_t n) {
    if (fd_ < 0) return EBADF;
    if (offset > size_ || n > size_ - offset) return ENOSPC;
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        dirty_ = true;
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return 0;
}

int Disk::read_at(uint64_t offset, void* data, size_t n) const {
    if (fd_ < 0) return EBADF;
    if (offset > size_ || n > size_ - offset) return ENOSPC;
    auto* p = static_cast<uint8_t*>(data);
    while (n > 0) {
        ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (r == 0) return EIO;
        p += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return 0;
}

} // namespace tw
