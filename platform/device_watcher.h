#pragma once
// Device arrivals and removals: a thread compares snapshots of the device source every period
// and reports what changed, standing in for device-change notifications.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/device_record.h"
#include "platform/sync.h"

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

    // The sink runs on the watcher's thread; the source defaults to list_devices().
    explicit DeviceWatcher(Sink sink, Source source = {}, int period_ms = kDefaultPeriodMs);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // Takes the first snapshot on the caller's thread (reported as arrivals when report_present),
    // then polls every period (nominal, through the clock). False when already running or the
    // thread cannot be started.
    bool start(bool report_present = false);
    // Ends the thread; no sink call is made after it returns. From the sink it only asks the
    // thread to end (the destructor or a later stop() joins it).
    void stop();
    bool running() const { return thread_.joinable(); }

    // One comparison with the last snapshot, on the caller's thread, without the sink: for
    // callers that poll themselves. Not while the thread runs.
    std::vector<DeviceEvent> poll();

    // Removals (records gone or changed) first, then arrivals, each in snapshot order.
    static std::vector<DeviceEvent> diff(const std::vector<DeviceRecord>& before,
                                         const std::vector<DeviceRecord>& after);

  private:
    void run();

    Sink sink_;
    Source source_;
    int period_ms_;
    std::vector<DeviceRecord> last_; // the watcher thread's, or poll()'s caller's
    std::thread thread_;
    std::atomic<bool> stop_{false};
    ManualResetEvent wake_;
};

} // namespace tw
