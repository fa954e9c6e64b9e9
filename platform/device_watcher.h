#pragma once
// Device arrivals and removals: a thread compares snapshots of the device source and reports
// what changed, standing in for device-change notifications. It reads the source again when a
// change notifier wakes it (kernel device events, inotify on the device directory, a test's
// hook) and otherwise sleeps; without a notifier it reads the source every period.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/change_notifier.h"
#include "platform/device_record.h"

namespace tw {

enum class DeviceChange { Arrival, Removal };

struct DeviceEvent {
    DeviceChange change;
    DeviceRecord record;
};

class DeviceWatcher {
  public:
    using Source = std::function<std::vector<DeviceRecord>()>;
    using Sink = std::function<void(const DeviceEvent&)>;
    static constexpr int kDefaultPeriodMs = 250;

    // The sink runs on the watcher's thread. Without a source it reads list_devices() and is
    // woken by make_device_notifier() (polling only when that fails); a source of the caller's
    // own is read every period.
    explicit DeviceWatcher(Sink sink, Source source = {}, int period_ms = kDefaultPeriodMs);
    // A source (list_devices() when empty) read again whenever the notifier fires.
    DeviceWatcher(Sink sink, Source source, std::unique_ptr<ChangeNotifier> notifier,
                  int period_ms = kDefaultPeriodMs);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Arms the notifier, then takes the first snapshot on the caller's thread (reported as
    // arrivals when report_present), so no change in between is missed. False when already
    // running or the thread cannot be started.
    bool start(bool report_present = false);
    // Ends the thread; no sink call is made after it returns. From the sink it only asks the
    // thread to end (the destructor or a later stop() joins it).
    void stop();
    bool running() const { return thread_.joinable(); }
    // What wakes the thread: the notifier's name, or "poll" (nothing before start()).
    const char* wake_source() const { return wake_source_.load(); }

    // One comparison with the last snapshot, on the caller's thread, without the sink: for
    // callers that poll themselves. Not while the thread runs.
    std::vector<DeviceEvent> poll();

    // Removals (records gone or changed) first, then arrivals, each in snapshot order.
    static std::vector<DeviceEvent> diff(const std::vector<DeviceRecord>& before,
                                         const std::vector<DeviceRecord>& after);

  private:
    enum class Woken { Stop, Change, Quiet, Timeout };
    // Sleeps until stop, a change or the timeout (negative: none, real time).
    Woken wait(std::chrono::nanoseconds timeout);
    // After a change, waits for the burst to end (quiet for the notifier's settle time).
    bool settle();
    void run();

    Sink sink_;
    Source source_;
    int period_ms_;
    bool default_notifier_;                    // make one at start()
    std::unique_ptr<ChangeNotifier> notifier_; // the thread's while it runs
    bool notifier_failed_ = false;             // its descriptor broke: poll from then on
    std::atomic<const char*> wake_source_{""};
    std::vector<DeviceRecord> last_; // the watcher thread's, or poll()'s caller's
    std::thread thread_;
    std::atomic<bool> stop_{false};
    UniqueFd stop_fd_; // an eventfd that stop() makes readable
};

} // namespace tw
