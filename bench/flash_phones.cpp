// One process flashing several phones at once, as the station does: the package's six images
// loaded once, then one run per device on its own thread (seven flashes each, no reboot).
// Driven by bench/fastboot_vs_debian.py, which times it against Debian's fastboot client.
//
//   flash_phones --package DIR DEVICE...
//
// Prints "load_s=<seconds> flash_s=<seconds> failed=<runs>" and exits 0 when every run passed.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "station/fastboot_flash.h"

namespace {

class StderrUi : public tw::station::StationUi {
  public:
    void MessageBox(const std::string& text, const std::string& caption,
                    tw::station::MessageIcon) override {
        std::fprintf(stderr, "flash_phones: %s: %s\n", caption.c_str(), text.c_str());
    }
    void SetProgress(int, int) override {}
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}
};

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string package;
    std::vector<std::string> devices;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--package") == 0 && i + 1 < argc)
            package = argv[++i];
        else
            devices.emplace_back(argv[i]);
    }
    if (package.empty() || devices.empty()) {
        std::fprintf(stderr, "usage: flash_phones --package DIR DEVICE...\n");
        return 2;
    }

    StderrUi ui;
    const auto t0 = std::chrono::steady_clock::now();
    tw::station::ImageTable table;
    if (!table.LoadFrom(package, ui)) return 2;
    const double load_s = since(t0);

    std::vector<int> failed(devices.size(), 0);
    std::vector<std::string> errors(devices.size());
    std::vector<std::thread> slots;
    for (size_t i = 0; i < devices.size(); ++i) {
        slots.emplace_back([&, i] {
            tw::station::FastbootJob job(table, &ui, static_cast<int>(i) + 1);
            if (!job.OpenDevice(devices[i])) {
                failed[i] = 1;
                errors[i] = "cannot open: " + FBLastError(0);
            } else if (job.FlashAll() != 0) {
                failed[i] = 1;
                errors[i] = job.last_error();
            }
        });
    }
    for (auto& t : slots)
        t.join();
    int nfailed = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (!failed[i]) continue;
        ++nfailed;
        std::fprintf(stderr, "flash_phones: %s: %s\n", devices[i].c_str(), errors[i].c_str());
    }
    std::printf("load_s=%.3f flash_s=%.3f failed=%d\n", load_s, since(t0) - load_s, nfailed);
    return nfailed ? 1 : 0;
}
