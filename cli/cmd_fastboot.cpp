// `fastboot-devices` and `fastboot-flash`: the fastboot devices present, and one slot's fastboot
// stage on the command line: the package's six Android images loaded once, seven flashes with
// three attempts each, then the reboot that sends the phone back to DIAG mode.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "fastboot/fastboot.h"
#include "platform/debug_sink.h"
#include "platform/device_source.h"
#include "station/fastboot_flash.h"
#include "station/headless_ui.h"

namespace fs = std::filesystem;
using tw::station::FastbootJob;
using tw::station::ImageTable;

namespace {

constexpr int kSlot = 1;
// As a slot worker opens its device: the phone may still be coming up.
constexpr int kOpenAttempts = 20;
constexpr int64_t kOpenPauseMs = 1000;

std::string Hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

bool DebugOnStderr() {
    const char* v = std::getenv("TARNWELL_DEBUG");
    return v && *v && std::strcmp(v, "0") != 0;
}

// ---- fastboot-devices ----

struct Found {
    std::string name, source, position, serial;
    uint16_t vid = 0, pid = 0;
};

bool IsFastbootRecord(const tw::DeviceRecord& r) {
    if (r.kind != tw::DeviceKind::Usb || r.address.empty()) return false;
    // A simulated device is reached over TCP; a real one is known by its ids here (the libusb
    // listing below finds the others by their fastboot interface).
    return r.address.rfind("tcp:", 0) == 0 || (r.vid == 0x18D1 && r.pid == 0xD00D);
}

int RunDevices(const cli::Globals& g, const std::vector<std::string>& args) {
    if (!args.empty())
        return cli::usage_error("fastboot-devices takes no arguments, not '" + args[0] + "'");
    std::vector<Found> found;
    std::map<std::string, size_t> by_name;
    std::vector<tw::DeviceRecord> records;
    const bool readable = tw::try_list_devices(records);
    const std::string dir = tw::device_dir();
    for (const auto& r : records) {
        if (!IsFastbootRecord(r) || by_name.count(r.address)) continue;
        by_name[r.address] = found.size();
        found.push_back({r.address, dir.empty() ? "sysfs" : "device-dir", tw::usb_position(r), "",
                         r.vid, r.pid});
    }
    for (const auto& d : FBListUsbDevices()) {
        auto it = by_name.find(d.name);
        if (it != by_name.end()) {
            found[it->second].serial = d.serial;
            continue;
        }
        by_name[d.name] = found.size();
        found.push_back({d.name, "libusb", "", d.serial, d.vid, d.pid});
    }
    for (const auto& f : found) {
        if (g.json) {
            cli::JsonLine()
                .str("name", f.name)
                .str("source", f.source)
                .str("position", f.position)
                .str("vid", Hex4(f.vid))
                .str("pid", Hex4(f.pid))
                .str("serial", f.serial)
                .print();
        } else {
            std::cout << f.name << "\tfastboot\t" << (f.position.empty() ? "-" : f.position) << "\t"
                      << f.source << (f.serial.empty() ? "" : "\t" + f.serial) << "\n";
        }
    }
    if (!readable) {
        std::cerr << "tarnwell-cli: fastboot-devices: cannot read the device source ("
                  << (dir.empty() ? "sysfs" : dir) << ")\n";
        return cli::kExitFailed;
    }
    return cli::kExitOk;
}

// ---- fastboot-flash ----

// The station's interface as JSON lines on standard output.
class JsonUi : public tw::station::StationUi {
  public:
    void MessageBox(const std::string& text, const std::string& caption,
                    tw::station::MessageIcon) override {
        cli::JsonLine().str("event", "message").str("caption", caption).str("text", text).print();
    }
    void SetProgress(int, int position) override {
        if (position == last_) return;
        last_ = position;
        cli::JsonLine().str("event", "progress").num("position", position).print();
    }
    void MarkResult(int, bool pass) override {
        cli::JsonLine().str("event", "mark").str("state", pass ? "PASS" : "FAIL").print();
    }
    void SetStatus(int, const std::string& text) override {
        cli::JsonLine().str("event", "status").str("status", text).print();
    }

  private:
    int last_ = -1;
};

// Debug lines of the run (the attempt lines) shown as they come, then the sink restored.
class DebugEcho {
  public:
    explicit DebugEcho(const cli::Globals& g) {
        if (g.json) {
            tw::set_debug_capture([](const std::string& line) {
                std::string s = line;
                while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                    s.pop_back();
                cli::JsonLine().str("event", "debug").str("line", s).print();
            });
        } else if (!g.quiet && !DebugOnStderr()) {
            tw::set_debug_capture(
                [](const std::string& line) { std::fputs(line.c_str(), stderr); });
        }
    }
    ~DebugEcho() { tw::set_debug_capture(nullptr); }
    DebugEcho(const DebugEcho&) = delete;
    DebugEcho& operator=(const DebugEcho&) = delete;
};

int Failed(const cli::Globals& g, int code, const std::string& device, const std::string& why) {
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "fastboot-flash")
            .num("result", code)
            .str("device", device)
            .str("error", why)
            .print();
    } else {
        std::cerr << "tarnwell-cli: fastboot-flash failed (result " << code << "): " << why << "\n";
    }
    return cli::kExitFailed;
}

int RunFlash(const cli::Globals& g, const std::vector<std::string>& args) {
    const char* cmd = "fastboot-flash";
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--device", "--package"}, {"--no-reboot"}}, pa, error))
        return cli::usage_error(std::string(cmd) + ": " + error);
    if (!pa.positional.empty())
        return cli::usage_error(std::string(cmd) + ": unexpected '" + pa.positional[0] + "'");
    const std::string device = pa.get("--device");
    if (device.empty())
        return cli::usage_error(std::string(cmd) +
                                ": --device NAME is required (usb:<bus>-<port path> or "
                                "tcp:<host>:<port>, see fastboot-devices)");
    if (device.rfind("usb:", 0) != 0 && device.rfind("tcp:", 0) != 0)
        return cli::usage_error(std::string(cmd) + ": '" + device +
                                "' is not a fastboot device name (usb:... or tcp:...)");
    const std::string package = pa.get("--package");
    std::error_code ec;
    if (package.empty() || !fs::is_directory(package, ec))
        return cli::usage_error(std::string(cmd) + ": --package DIR must name a folder");
    const bool reboot = !pa.has("--no-reboot");

    JsonUi json_ui;
    tw::station::HeadlessUi text_ui(stderr, g.quiet ? tw::station::HeadlessUi::Progress::None
                                            : ::isatty(STDERR_FILENO)
                                                ? tw::station::HeadlessUi::Progress::Bar
                                                : tw::station::HeadlessUi::Progress::Lines);
    tw::station::StationUi& ui = g.json ? static_cast<tw::station::StationUi&>(json_ui) : text_ui;

    const auto t0 = std::chrono::steady_clock::now();
    ImageTable table;
    if (!table.LoadFrom(package, ui))
        return cli::usage_error(std::string(cmd) + ": the package's Android images could not be "
                                                   "loaded (see the message above)");
    // An empty image is a damaged package, not a partition to erase.
    for (int i = 0; i < tw::station::kImageCount; ++i)
        if (table.images()[static_cast<size_t>(i)].size == 0)
            return cli::usage_error(std::string(cmd) + ": the package's " +
                                    tw::station::kImageSpecs[i].file +
                                    " is empty; nothing was flashed");
    if (g.json) {
        for (int i = 0; i < tw::station::kImageCount; ++i)
            cli::JsonLine()
                .str("event", "image")
                .str("partition", tw::station::kImageSpecs[i].partition)
                .num("size", table.images()[static_cast<size_t>(i)].size)
                .print();
    }

    DebugEcho echo(g);
    FastbootJob job(table, &ui, kSlot);
    if (!job.OpenDevice(device, kOpenAttempts, kOpenPauseMs)) {
        ui.MarkResult(kSlot, false);
        return Failed(g, -1, device, "cannot open the device: " + FBLastError(0));
    }
    if (job.FlashAll() != 0) {
        ui.MarkResult(kSlot, false);
        return Failed(g, -1, device, "flashing failed: " + job.last_error());
    }
    if (reboot && job.Reboot() < 0) {
        ui.MarkResult(kSlot, false);
        return Failed(g, -1, device, "flashed, but the reboot failed: " + job.last_error());
    }
    job.CloseDevice();
    ui.MarkResult(kSlot, true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", cmd)
            .num("result", 0)
            .str("device", device)
            .num("total", static_cast<long long>(job.total()))
            .num("bytes", static_cast<long long>(job.bytes_done()))
            .num("position", job.position())
            .boolean("rebooted", reboot)
            .real("seconds", seconds)
            .print();
    } else if (!g.quiet) {
        std::fprintf(stderr, "fastboot flash done: %llu bytes in %.2f s%s\n",
                     static_cast<unsigned long long>(job.bytes_done()), seconds,
                     reboot ? ", phone rebooting" : "");
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg_devices({"fastboot-devices", "",
                                   "list fastboot devices: the device source's (simulated ones "
                                   "over TCP) and those libusb finds",
                                   RunDevices});
cli::CommandRegistrar reg_flash({"fastboot-flash", "--device NAME --package DIR [--no-reboot]",
                                 "flash the package's Android images to a fastboot device (boot, "
                                 "recovery, system, userdata, cache, persist, recovery), then "
                                 "reboot it",
                                 RunFlash});

} // namespace
