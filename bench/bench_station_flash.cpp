// The station's fastboot run against simulated phones over loopback TCP: one run, and several
// slots flashing at once from the one loaded image table (how the station shares it).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "station/fastboot_flash.h"

namespace fs = std::filesystem;

namespace {

class NoUi : public tw::station::StationUi {
  public:
    void MessageBox(const std::string&, const std::string&, tw::station::MessageIcon) override {}
    void SetProgress(int, int) override {}
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}
};

void BM_FlashAllPhonesim(benchmark::State& state) {
    const int phones = static_cast<int>(state.range(0));
    const fs::path root =
        fs::temp_directory_path() / ("tw_bench_station_" + std::to_string(::getpid()));
    fs::create_directories(root);
    phonesim::PackageOptions po;
    po.android_mb = 16; // system 16 MiB, about 46 MiB in the seven flashes
    std::string err;
    if (!phonesim::make_package((root / "pkg").string(), po, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    phonesim::SimOptions o;
    o.device_dir = (root / "dev").string();
    o.state_dir = (root / "state").string();
    o.package = (root / "pkg").string();
    o.phones = phones;
    o.start = phonesim::Mode::Fastboot;
    phonesim::Simulator sim;
    if (!sim.start(o, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    std::vector<std::string> names;
    for (int t = 0; t < 500 && static_cast<int>(names.size()) < phones; ++t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        names.clear();
        for (const auto& r : tw::list_devices_from_dir(o.device_dir))
            if (r.kind == tw::DeviceKind::Usb && !r.address.empty()) names.push_back(r.address);
    }
    NoUi ui;
    tw::station::ImageTable table;
    if (static_cast<int>(names.size()) < phones || !table.LoadFrom(o.package, ui)) {
        state.SkipWithError("setup failed");
        return;
    }
    uint64_t bytes = 0;
    for (auto _ : state) {
        std::atomic<int> failed{0};
        std::atomic<uint64_t> done{0};
        std::vector<std::thread> slots;
        for (int i = 0; i < phones; ++i) {
            slots.emplace_back([&, i] {
                tw::station::FastbootJob job(table, &ui, i);
                if (!job.OpenDevice(names[static_cast<size_t>(i)]) || job.FlashAll() != 0)
                    failed.fetch_add(1);
                done.fetch_add(job.bytes_done());
            });
        }
        for (auto& t : slots)
            t.join();
        if (failed.load()) {
            state.SkipWithError("a run failed");
            break;
        }
        bytes += done.load();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    sim.stop();
    std::error_code ec;
    fs::remove_all(root, ec);
}
BENCHMARK(BM_FlashAllPhonesim)
    ->ArgName("phones")
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
