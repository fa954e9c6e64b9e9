// Fastboot download throughput over loopback TCP (the library's own cost: framing, chunking,
// progress calls, the file handed to the socket), and loading an image (it stays in the page
// cache: opening, checking and read-ahead only). The comparison with Debian's fastboot client
// against phonesim, with memory, is bench/fastboot_vs_debian.py.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "fastboot/fastboot.h"
#include "tests/fastboot/fake_device.h"

namespace fs = std::filesystem;

namespace {

fs::path write_image(size_t bytes) {
    fs::path p = fs::temp_directory_path() /
                 ("tw_bench_fb_" + std::to_string(::getpid()) + "_" + std::to_string(bytes));
    std::vector<char> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 12));
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(bytes));
    return p;
}

void BM_FlashLoopbackTcp(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) << 20;
    fs::path p = write_image(bytes);
    uint32_t size = 0, err = 0;
    FBFileHandle file = FBLoadFile(p.string(), &size, &err);
    fbtest::FakeOptions o;
    o.keep = false; // the device side only reads and counts
    o.max_download = 1u << 30;
    fbtest::FakeDevice dev(o);
    FBDeviceHandle d = FBOpenDevice(dev.name());
    if (!file || !d) {
        state.SkipWithError("setup failed");
        return;
    }
    int64_t progress = 0;
    auto count = [](void* ctx, int64_t n) { *static_cast<int64_t*>(ctx) += n; };
    for (auto _ : state) {
        if (FBFlash(d, "system", file, size, count, &progress) != 0) {
            state.SkipWithError(FBLastError(d).c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    FBCloseDevice(d);
    FBFreeFile(file);
    fs::remove(p);
}
BENCHMARK(BM_FlashLoopbackTcp)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_LoadFile(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) << 20;
    fs::path p = write_image(bytes);
    for (auto _ : state) {
        uint32_t size = 0, err = 0;
        FBFileHandle h = FBLoadFile(p.string(), &size, &err);
        if (!h) {
            state.SkipWithError("load failed");
            break;
        }
        FBFreeFile(h);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    fs::remove(p);
}
BENCHMARK(BM_LoadFile)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
