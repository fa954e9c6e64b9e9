#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace tw {
namespace {

int windows_error(int err) {
    switch (err) {
    case EBUSY:
    case EWOULDBLOCK:
        return kSerialErrorInUse;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return kSerialErrorNotFound;
    case EACCES:
    case EPERM:
        return kSerialErrorAccessDenied;
    default:
        return err;
    }
}

bool speed_of(int baud, speed_t& out) {
    struct Entry {
        int baud;
        speed_t speed;
    };
    static const Entry table[] = {
        {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
        {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000},
        {4000000, B4000000},
    };
    for (const auto& e : table) {
        if (e.baud == baud) {
            out = e.speed;
            return true;
        }
    }
    return false;
}

} // namespace

int serial_open(const std::string& path, int& error) {
    error = 0;
    if (path.empty()) {
        error = kSerialErrorNotFound;
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = windows_error(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        error = windows_error(e);
        return -1;
    }
    // Keeps out other users who are not root; the flock above covers root.
    (void)::ioctl(fd, TIOCEXCL);
    return fd;
}

void serial_close(int fd) {
    if (fd < 0) return;
    // The exclusive mark outlives the descriptor on a pty; clear it so the port can be opened
    // again.
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool serial_configure(int fd, const LineSettings& s) {
    speed_t speed;
    if (!speed_of(s.baud, speed)) return false;
    if (s.byte_size < 5 || s.byte_size > 8 || s.parity > 4 || s.stop_bits > 2) return false;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;

    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // The output handshake (CRTSCTS) stays as the driver has it.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[s.byte_size - 5] | CREAD | CLOCAL;
    switch (s.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (s.stop_bits != 0) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    // Modem lines do not exist on a pty (ENOTTY/EINVAL); that is not a failure.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIS, &lines);
    return true;
}

bool serial_purge(int fd) {
    return ::tcflush(fd, TCIOFLUSH) == 0;
}

bool serial_purge_input(int fd) {
    return ::tcflush(fd, TCIFLUSH) == 0;
}

PollEvent::~PollEvent() {
    if (fd_ >= 0) ::close(fd_);
}

bool PollEvent::create() {
    std::lock_guard<std::mutex> g(m_);
    if (fd_ >= 0) {
        // Reuse the descriptor: drain the counter.
        uint64_t v;
        while (::read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
        }
    } else {
        fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ < 0) return false;
    }
    exists_ = true;
    set_ = false;
    return true;
}

void PollEvent::close_fd_locked() {
    if (fd_ >= 0 && users_ == 0 && !exists_) {
        ::close(fd_);
        fd_ = -1;
    }
}

void PollEvent::close() {
    std::lock_guard<std::mutex> g(m_);
    if (!exists_) return;
    exists_ = false;
    if (fd_ >= 0 && !set_) {
        uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }
    set_ = true;
    close_fd_locked();
}

bool PollEvent::exists() const {
    std::lock_guard<std::mutex> g(m_);
    return exists_;
}

void PollEvent::set() {
    std::lock_guard<std::mutex> g(m_);
    if (!exists_ || set_) return;
    uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
    set_ = true;
}

void PollEvent::reset() {
    std::lock_guard<std::mutex> g(m_);
    if (!exists_) return;
    uint64_t v;
    while (::read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
    }
    set_ = false;
}

bool PollEvent::is_set() const {
    std::lock_guard<std::mutex> g(m_);
    return set_;
}

int PollEvent::acquire() {
    std::lock_guard<std::mutex> g(m_);
    if (fd_ < 0) return -1;
    ++users_;
    return fd_;
}

void PollEvent::release() {
    std::lock_guard<std::mutex> g(m_);
    if (users_ > 0) --users_;
    close_fd_locked();
}

int poll_wait(pollfd* fds, unsigned long n, std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::nanoseconds{0} : timeout);
    for (;;) {
        timespec ts{};
        timespec* tsp = nullptr;
        if (!forever) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() < 0) left = std::chrono::nanoseconds{0};
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            tsp = &ts;
        }
        int r = ::ppoll(fds, static_cast<nfds_t>(n), tsp, nullptr);
        if (r >= 0 || errno != EINTR) return r;
    }
}

bool PollEvent::wait(std::chrono::nanoseconds timeout) {
    int efd = acquire();
    if (efd < 0) return true;
    pollfd p{efd, POLLIN, 0};
    int r = poll_wait(&p, 1, timeout);
    release();
    return r != 0;
}

PortWait serial_wait(int fd, short events, PollEvent& event, std::chrono::nanoseconds timeout,
                     short* revents) {
    if (revents) *revents = 0;
    int efd = event.acquire();
    if (efd < 0) return PortWait::Closed;
    pollfd p[2] = {{fd, events, 0}, {efd, POLLIN, 0}};
    int r = poll_wait(p, 2, timeout);
    event.release();
    if (revents) *revents = p[0].revents;
    if (r < 0) return PortWait::Failed;
    if (p[1].revents != 0) return PortWait::Closed;
    if (r == 0) return PortWait::Timeout;
    if (p[0].revents & POLLNVAL) return PortWait::Failed;
    if (p[0].revents & events) return PortWait::Ready;
    if (p[0].revents & (POLLHUP | POLLERR)) return PortWait::Hangup;
    return PortWait::Timeout;
}

} // namespace tw
