// `watch`: device arrivals and removals, and the detection listener's messages, until
// interrupted (or for a given time).
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "detect/listener.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/device_watcher.h"

namespace {

std::mutex g_out; // the watcher and the listener print from their own threads

const char* message_name(uint32_t msg) {
    switch (msg) {
    case detect::kMsgPhoneReady:
        return "phone ready";
    case detect::kMsgDiag900E:
        return "DIAG 900E port";
    case detect::kMsgDiag9025:
        return "DIAG 9025 port";
    }
    return "unknown";
}

void print_device(bool json, const char* event, const tw::DeviceRecord& r) {
    std::lock_guard<std::mutex> g(g_out);
    if (json) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", r.vid, r.pid);
        cli::JsonLine line;
        line.str("event", event).str("kind", tw::device_kind_name(r.kind)).num("com", r.com);
        line.str("friendly", r.friendly).str("path", r.path).str("position", tw::usb_position(r));
        line.str("usb", ids).boolean("diag", r.diag).str("name", r.name);
        if (!r.address.empty()) line.str("address", r.address);
        line.print();
        return;
    }
    std::cout << event << " " << tw::device_kind_name(r.kind);
    if (r.com > 0) std::cout << " COM" << r.com;
    if (!r.friendly.empty()) std::cout << " \"" << r.friendly << "\"";
    if (!r.path.empty()) std::cout << " " << r.path;
    if (!r.address.empty()) std::cout << " " << r.address;
    std::cout << " at " << tw::usb_position(r) << std::endl;
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ArgSpec spec{{"--period", "--for"}, {"--no-listener"}};
    cli::ParsedArgs a;
    std::string err;
    if (!cli::parse_args(args, spec, a, err)) return cli::usage_error("watch: " + err);
    if (!a.positional.empty())
        return cli::usage_error("watch: unexpected '" + a.positional[0] + "'");
    long long period = tw::DeviceWatcher::kDefaultPeriodMs, for_ms = -1;
    if (a.has("--period") &&
        (!cli::parse_int(a.get("--period"), period) || period <= 0 || period > 3600000))
        return cli::usage_error("watch: --period needs a number of milliseconds");
    if (a.has("--for") &&
        (!cli::parse_int(a.get("--for"), for_ms) || for_ms < 0 || for_ms > 86400000LL * 365))
        return cli::usage_error("watch: --for needs a number of milliseconds");

    std::vector<tw::DeviceRecord> probe;
    if (!tw::try_list_devices(probe)) {
        std::string dir = tw::device_dir();
        std::cerr << "tarnwell-cli: watch: cannot read the device source ("
                  << (dir.empty() ? std::string("sysfs") : dir) << ")\n";
        return cli::kExitFailed;
    }

    // Signals are taken by this thread alone, so the waits below need no polling.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const bool json = g.json;
    std::atomic<bool> initial{true};
    tw::DeviceWatcher watcher(
        [&](const tw::DeviceEvent& e) {
            const char* what = initial.load()                          ? "present"
                               : e.change == tw::DeviceChange::Arrival ? "arrival"
                                                                       : "removal";
            print_device(json, what, e.record);
        },
        {}, static_cast<int>(period));
    watcher.start(true);
    initial.store(false);

    AppInfo info;
    info.hMainWnd = [json](uint32_t msg, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        std::lock_guard<std::mutex> lock(g_out);
        if (json)
            cli::JsonLine()
                .str("event", "message")
                .num("msg", msg)
                .str("name", message_name(msg))
                .num("com", static_cast<long long>(wParam))
                .num("lParam", lParam)
                .print();
        else
            std::cout << "message " << msg << " (" << message_name(msg) << ") COM" << wParam
                      << std::endl;
        return 0;
    };
    if (!a.has("--no-listener") && BeginDetect(&info) != 0) {
        std::cerr << "tarnwell-cli: watch: the detection listener did not start\n";
        watcher.stop();
        return cli::kExitFailed;
    }

    const auto until = tw::clock::Steady::now() +
                       tw::clock::scaled(std::chrono::milliseconds(for_ms < 0 ? 0 : for_ms));
    for (;;) {
        timespec ts{3600, 0};
        if (for_ms >= 0) {
            auto left = until - tw::clock::Steady::now();
            if (left <= std::chrono::nanoseconds::zero()) break;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        int sig = sigtimedwait(&stop_signals, nullptr, &ts);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (sig < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    StopDetect();
    watcher.stop();
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"watch", "[--period MS] [--for MS] [--no-listener]",
                           "print device arrivals and removals and the detection listener's "
                           "messages until interrupted (or for MS milliseconds); devices are "
                           "seen through kernel device events or inotify, --period is the "
                           "polling period where neither works",
                           run});

} // namespace
