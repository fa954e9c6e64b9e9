#include "platform/change_notifier.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/device_source.h"
#include "platform/dir_notifier.h"
#include "platform/udev_notifier.h"

namespace tw {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::unique_ptr<ManualNotifier> ManualNotifier::create(int settle_ms) {
    UniqueFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd) return nullptr;
    return std::unique_ptr<ManualNotifier>(new ManualNotifier(std::move(fd), settle_ms));
}

void ManualNotifier::notify() {
    const uint64_t one = 1;
    // Only a counter at its maximum refuses the write, and that one is readable already.
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool ManualNotifier::drain() {
    uint64_t n = 0;
    ssize_t r;
    do {
        r = ::read(fd_.get(), &n, sizeof n);
    } while (r < 0 && errno == EINTR);
    return r == static_cast<ssize_t>(sizeof n) && n > 0;
}

std::unique_ptr<ChangeNotifier> make_device_notifier(std::string* why) {
    const std::string dir = device_dir();
    if (!dir.empty()) return DirNotifier::open(dir, why);
    return UdevNotifier::open(why);
}

} // namespace tw
