#include "fastboot/image.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::fastboot {

Image::~Image() {
    if (fd_ >= 0) ::close(fd_);
}

uint32_t Image::load(const std::string& path) {
    // Non-blocking so a FIFO or a device node cannot hold the open; refused just below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? kLoadNoFile : kLoadReadError;
    struct stat st {};
    // Sizes travel as 32 bits (the station's table, download:%08x); a bigger file cannot be sent.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
        ::close(fd);
        return kLoadReadError;
    }
    // Reads of a regular file never wait on O_NONBLOCK anyway; clear it all the same.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(path, ec);
    try {
        path_ = ec ? path : abs.string();
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return kLoadNoMemory;
    }
    // The whole file into the page cache in the background: the first flash then reads memory,
    // and every later one (in this process or another) shares those same pages.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    size_ = static_cast<uint32_t>(st.st_size);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    mtime_ = st.st_mtim;
    return kLoadOk;
}

bool Image::read(uint64_t off, uint8_t* buf, size_t len, std::string& error) const {
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd_, buf + got, len - got, static_cast<off_t>(off + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "reading " + path_ + " at byte " + std::to_string(off + got) + ": " +
                    std::strerror(errno);
            return false;
        }
        if (n == 0) {
            error = path_ + " ends at byte " + std::to_string(off + got) + ", it had " +
                    std::to_string(size_) + " when loaded";
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool Image::unchanged(std::string& error) const {
    struct stat now {};
    if (::fstat(fd_, &now) != 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    if (now.st_size != static_cast<off_t>(size_)) {
        error = path_ + " is " + std::to_string(now.st_size) + " bytes, it had " +
                std::to_string(size_) + " when loaded";
        return false;
    }
    if (now.st_mtim.tv_sec != mtime_.tv_sec || now.st_mtim.tv_nsec != mtime_.tv_nsec) {
        error = path_ + " was written to since it was loaded";
        return false;
    }
    struct stat named {};
    if (::stat(path_.c_str(), &named) != 0 || named.st_dev != dev_ || named.st_ino != ino_) {
        error = path_ + " was replaced or removed since it was loaded";
        return false;
    }
    return true;
}

} // namespace tw::fastboot
