#include "fastboot/image.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::fastboot {
namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

uint32_t load_image(const std::string& path, Image& out) {
    // Non-blocking so a FIFO or a device node cannot hold the open; refused just below.
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (f.fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? kLoadNoFile : kLoadReadError;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return kLoadReadError;
    // Sizes travel as 32 bits (the station's table, download:%08x); a bigger file cannot be sent.
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max())
        return kLoadReadError;
    const auto size = static_cast<size_t>(st.st_size);

    std::unique_ptr<uint8_t[]> data;
    try {
        // No zero fill: every byte is overwritten by the read below.
        data = std::make_unique_for_overwrite<uint8_t[]>(size ? size : 1);
    } catch (const std::bad_alloc&) {
        return kLoadNoMemory;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(f.fd, data.get() + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return kLoadReadError; // an error, or the file shrank while being read
        got += static_cast<size_t>(n);
    }
    uint8_t extra;
    ssize_t more;
    do
        more = ::read(f.fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (more != 0) return kLoadReadError; // it grew while being read: which size is the image?

    out.data = std::move(data);
    out.size = static_cast<uint32_t>(size);
    return kLoadOk;
}

} // namespace tw::fastboot
