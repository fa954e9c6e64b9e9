#include "platform/udev_notifier.h"

#include <cerrno>
#include <cstring>
#include <libudev.h>
#include <unistd.h>

namespace tw {
namespace {

// What the device source reads: USB devices and interfaces, their ttys and disks.
constexpr const char* kSubsystems[] = {"usb", "tty", "block"};

} // namespace

std::unique_ptr<UdevNotifier> UdevNotifier::open(std::string* why) {
    auto fail = [why](const char* what) -> std::unique_ptr<UdevNotifier> {
        if (why) *why = std::string("udev: ") + what + ": " + std::strerror(errno);
        return nullptr;
    };
    struct udev* u = ::udev_new();
    if (!u) return fail("udev_new");
    const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    struct udev_monitor* m = ::udev_monitor_new_from_netlink(u, source);
    if (!m) {
        ::udev_unref(u);
        return fail("cannot create the netlink monitor");
    }
    std::unique_ptr<UdevNotifier> n(new UdevNotifier(u, m, source));
    for (const char* s : kSubsystems)
        if (::udev_monitor_filter_add_match_subsystem_devtype(m, s, nullptr) < 0)
            return fail("cannot filter the monitor");
    // libudev already gives the socket a large receive buffer; an overflow is handled in drain().
    if (::udev_monitor_enable_receiving(m) < 0) return fail("cannot bind the netlink monitor");
    return n;
}

UdevNotifier::~UdevNotifier() {
    ::udev_monitor_unref(mon_);
    ::udev_unref(udev_);
}

int UdevNotifier::fd() const {
    return ::udev_monitor_get_fd(mon_);
}

bool UdevNotifier::drain() {
    bool changed = false;
    for (;;) {
        errno = 0;
        struct udev_device* d = ::udev_monitor_receive_device(mon_);
        if (d) {
            ::udev_device_unref(d);
            changed = true;
            continue;
        }
        // Nothing left, or an error such as ENOBUFS (events lost): either way the socket has
        // been read, and lost events mean the source must be read again.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) changed = true;
        break;
    }
    return changed;
}

} // namespace tw
