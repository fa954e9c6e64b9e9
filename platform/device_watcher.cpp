#include "platform/device_watcher.h"

#include <algorithm>
#include <system_error>

#include "platform/clock.h"
#include "platform/device_source.h"

namespace tw {

DeviceWatcher::DeviceWatcher(Sink sink, Source source, int period_ms)
    : sink_(std::move(sink)), source_(std::move(source)),
      period_ms_(period_ms > 0 ? period_ms : kDefaultPeriodMs) {
    if (!source_) source_ = [] { return list_devices(); };
}

DeviceWatcher::~DeviceWatcher() {
    stop();
    if (thread_.joinable()) thread_.detach(); // destroyed from its own sink: nothing to wait for
}

std::vector<DeviceEvent> DeviceWatcher::diff(const std::vector<DeviceRecord>& before,
                                             const std::vector<DeviceRecord>& after) {
    std::vector<DeviceEvent> events;
    auto in = [](const std::vector<DeviceRecord>& v, const DeviceRecord& r) {
        return std::find(v.begin(), v.end(), r) != v.end();
    };
    for (const auto& r : before)
        if (!in(after, r)) events.push_back({DeviceChange::Removal, r});
    for (const auto& r : after)
        if (!in(before, r)) events.push_back({DeviceChange::Arrival, r});
    return events;
}

std::vector<DeviceEvent> DeviceWatcher::poll() {
    if (running()) return {};
    std::vector<DeviceRecord> now = source_();
    auto events = diff(last_, now);
    last_ = std::move(now);
    return events;
}

bool DeviceWatcher::start(bool report_present) {
    if (running()) return false;
    last_ = source_();
    if (report_present && sink_)
        for (const auto& r : last_)
            sink_({DeviceChange::Arrival, r});
    stop_.store(false);
    wake_.reset();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void DeviceWatcher::stop() {
    stop_.store(true);
    wake_.set();
    // From the sink the loop ends when the sink returns; a later stop() joins it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void DeviceWatcher::run() {
    while (!stop_.load()) {
        wake_.wait_real(clock::scaled(std::chrono::milliseconds(period_ms_)));
        if (stop_.load()) break;
        std::vector<DeviceRecord> now = source_();
        auto events = diff(last_, now);
        last_ = std::move(now);
        for (const auto& e : events) {
            if (stop_.load()) return;
            if (sink_) sink_(e);
        }
    }
}

} // namespace tw
