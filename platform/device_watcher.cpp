#include "platform/device_watcher.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/debug_sink.h"
#include "platform/device_source.h"

namespace tw {

DeviceWatcher::DeviceWatcher(Sink sink, Source source, int period_ms)
    : sink_(std::move(sink)), source_(std::move(source)),
      period_ms_(period_ms > 0 ? period_ms : kDefaultPeriodMs), default_notifier_(!source_) {
    if (!source_) source_ = [] { return list_devices(); };
}

DeviceWatcher::DeviceWatcher(Sink sink, Source source, std::unique_ptr<ChangeNotifier> notifier,
                             int period_ms)
    : sink_(std::move(sink)), source_(std::move(source)),
      period_ms_(period_ms > 0 ? period_ms : kDefaultPeriodMs), default_notifier_(false),
      notifier_(std::move(notifier)) {
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
    if (!stop_fd_) stop_fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!stop_fd_) return false;
    uint64_t stale = 0;
    while (::read(stop_fd_.get(), &stale, sizeof stale) < 0 && errno == EINTR) {
    } // a stop() before this start

    if (default_notifier_) {
        std::string why;
        notifier_ = make_device_notifier(&why); // the source in force now
        if (!notifier_ || !notifier_->armed())
            debug_printf("device watcher: %s; reading the devices every %d ms\n", why.c_str(),
                         period_ms_);
    }
    notifier_failed_ = false;
    // Armed and emptied before the snapshot: a change from here on wakes the thread.
    if (notifier_) {
        notifier_->rearm();
        notifier_->drain();
    }
    wake_source_.store(notifier_ ? notifier_->name() : "poll");

    last_ = source_();
    if (report_present && sink_)
        for (const auto& r : last_)
            sink_({DeviceChange::Arrival, r});
    stop_.store(false);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void DeviceWatcher::stop() {
    stop_.store(true);
    if (stop_fd_) {
        const uint64_t one = 1;
        while (::write(stop_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    // From the sink the loop ends when the sink returns; a later stop() joins it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

DeviceWatcher::Woken DeviceWatcher::wait(std::chrono::nanoseconds timeout) {
    const bool listen = notifier_ && !notifier_failed_;
    pollfd fds[2] = {{stop_fd_.get(), POLLIN, 0}, {listen ? notifier_->fd() : -1, POLLIN, 0}};
    const auto until = clock::Steady::now() + timeout;
    for (;;) {
        timespec ts{};
        if (timeout.count() >= 0) {
            auto left = std::max(std::chrono::nanoseconds::zero(),
                                 std::chrono::nanoseconds(until - clock::Steady::now()));
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        int r = ::ppoll(fds, listen ? 2 : 1, timeout.count() >= 0 ? &ts : nullptr, nullptr);
        if (r < 0 && errno == EINTR) continue;
        if (stop_.load() || (r > 0 && fds[0].revents)) return Woken::Stop;
        if (r < 0 || (r > 0 && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)))) {
            // A broken descriptor would wake the loop for ever: read on the period instead.
            debug_printf("device watcher: %s stopped working; reading the devices every %d ms\n",
                         listen ? notifier_->name() : "poll", period_ms_);
            notifier_failed_ = true;
            wake_source_.store("poll");
            return Woken::Change;
        }
        if (r == 0) return Woken::Timeout;
        return notifier_->drain() ? Woken::Change : Woken::Quiet;
    }
}

bool DeviceWatcher::settle() {
    const int ms = notifier_ ? notifier_->settle_ms() : 0;
    if (ms <= 0) return !stop_.load();
    const auto quiet = clock::scaled(std::chrono::milliseconds(ms));
    const auto give_up = clock::Steady::now() + 10 * quiet; // a steady stream is read anyway
    for (;;) {
        auto left = std::chrono::nanoseconds(give_up - clock::Steady::now());
        if (left <= std::chrono::nanoseconds::zero()) return true;
        switch (wait(std::min(quiet, left))) {
        case Woken::Stop:
            return false;
        case Woken::Timeout:
            return true;
        case Woken::Change:
        case Woken::Quiet:
            break;
        }
    }
}

void DeviceWatcher::run() {
    const auto period = clock::scaled(std::chrono::milliseconds(period_ms_));
    while (!stop_.load()) {
        // Sleeps without a time-out while the notifier can see every change.
        const bool listening = notifier_ && !notifier_failed_ && notifier_->armed();
        const Woken w = wait(listening ? std::chrono::nanoseconds(-1) : period);
        if (w == Woken::Stop) break;
        if (w == Woken::Quiet) continue;
        if (w == Woken::Change && !settle()) break;
        if (w == Woken::Timeout && notifier_ && !notifier_failed_ && notifier_->rearm())
            notifier_->drain(); // watching again: the read below covers what came before
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
