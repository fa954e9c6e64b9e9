#pragma once
// What wakes the device watcher: a descriptor that turns readable when the device source may
// have changed, so an idle watcher sleeps in poll() instead of re-reading the source on a timer.
#include <memory>
#include <string>

namespace tw {

// An owned file descriptor, closed once.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

class ChangeNotifier {
  public:
    virtual ~ChangeNotifier() = default;
    // Readable when something may have changed; stays valid for the notifier's life.
    virtual int fd() const = 0;
    // Consumes what made fd() readable without blocking; true when it may concern devices, so
    // the source is worth reading again (lost or unreadable events count as a change).
    virtual bool drain() = 0;
    // False while the notifier cannot see changes (its directory went away); the watcher then
    // reads the source on its period and calls rearm() until it is back.
    virtual bool armed() const { return true; }
    virtual bool rearm() { return armed(); }
    // How long a burst of events may keep coming after the first (nominal ms): the watcher
    // waits for that much quiet before it reads the source once.
    virtual int settle_ms() const = 0;
    // "udev", "kernel", "inotify" or "manual", for logs.
    virtual const char* name() const = 0;
};

// A notifier that fires when told to: for tests that change a fake tree, and for callers that
// learn of a change some other way.
class ManualNotifier final : public ChangeNotifier {
  public:
    // nullptr when no eventfd can be made.
    static std::unique_ptr<ManualNotifier> create(int settle_ms = 0);
    // Thread-safe; several notify() calls before the watcher wakes count as one.
    void notify();
    int fd() const override { return fd_.get(); }
    bool drain() override;
    int settle_ms() const override { return settle_ms_; }
    const char* name() const override { return "manual"; }

  private:
    ManualNotifier(UniqueFd fd, int settle_ms) : fd_(std::move(fd)), settle_ms_(settle_ms) {}
    UniqueFd fd_;
    int settle_ms_;
};

// The notifier for the device source in force: inotify on the virtual device directory when one
// is set, else kernel device events through libudev. nullptr when neither can be set up (the
// watcher then polls); *why says what failed.
std::unique_ptr<ChangeNotifier> make_device_notifier(std::string* why = nullptr);

} // namespace tw
