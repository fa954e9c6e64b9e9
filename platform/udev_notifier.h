#pragma once
// Kernel device events through a libudev netlink monitor, for the device source over sysfs.
// With a udev daemon running it listens to the "udev" source (events after the rules ran, so
// device nodes and their permissions exist); without one it listens to the kernel's own events,
// since libudev mutes the "udev" source when no daemon is there.
#include <memory>
#include <string>

#include "platform/change_notifier.h"

struct udev;
struct udev_monitor;

namespace tw {

class UdevNotifier final : public ChangeNotifier {
  public:
    // nullptr when the monitor cannot be created or bound; *why says why.
    static std::unique_ptr<UdevNotifier> open(std::string* why = nullptr);
    ~UdevNotifier() override;
    UdevNotifier(const UdevNotifier&) = delete;
    UdevNotifier& operator=(const UdevNotifier&) = delete;

    int fd() const override;
    bool drain() override;
    // A phone's USB device, its interfaces, their drivers and tty nodes come as a burst.
    int settle_ms() const override { return 100; }
    const char* name() const override { return source_; }

  private:
    UdevNotifier(struct udev* u, struct udev_monitor* m, const char* source)
        : udev_(u), mon_(m), source_(source) {}

    struct udev* udev_;
    struct udev_monitor* mon_;
    const char* source_;
};

} // namespace tw
