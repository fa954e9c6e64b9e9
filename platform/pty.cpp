#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

PtyMaster::~PtyMaster() {
    close();
}

bool PtyMaster::open() {
    close();
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return false;
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        ::close(fd);
        return false;
    }
    termios t{};
    if (::tcgetattr(s, &t) == 0) {
        ::cfmakeraw(&t);
        (void)::tcsetattr(s, TCSANOW, &t);
    }
    ::close(s);
    fd_ = fd;
    slave_ = name;
    return true;
}

void PtyMaster::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PtyMaster::write_all(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        ssize_t w = ::write(fd_, p, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd pf{fd_, POLLOUT, 0};
                ::poll(&pf, 1, 100);
                continue;
            }
            return false;
        }
        p += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

long PtyMaster::read_some(void* buf, size_t cap, std::chrono::milliseconds timeout) {
    if (fd_ < 0) return -1;
    pollfd pf{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&pf, 1, static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (!(pf.revents & POLLIN)) return -1;
    ssize_t n;
    do {
        n = ::read(fd_, buf, cap);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<long>(n) : -1;
}

} // namespace tw
