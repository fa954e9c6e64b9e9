// Image reading: a container entry read in the chunk sizes the senders use, plain and
// enciphered, and the cipher alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/container_writer.h"
#include "engine/phase_image.h"

namespace {

constexpr size_t kEntryBytes = 8 << 20;

// One ZQDE and one ZQEN container holding an 8 MiB entry, made once per process.
const std::string& container(int kind) {
    static std::string paths[3];
    std::string& p = paths[kind];
    if (!p.empty()) return p;
    // Removed again when the process ends.
    struct TempDir {
        std::string path;
        TempDir() {
            char tmpl[] = "/tmp/tw_bench_img_XXXXXX";
            path = mkdtemp(tmpl) ? tmpl : "/tmp";
        }
        ~TempDir() {
            std::error_code ec;
            if (path != "/tmp") std::filesystem::remove_all(path, ec);
        }
    };
    static TempDir tmp;
    const std::string& dir = tmp.path;
    std::string src = dir + "/entry.mbn";
    if (!std::filesystem::exists(src)) {
        std::vector<uint8_t> bytes(kEntryBytes);
        std::mt19937 rng(7);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(rng());
        FILE* f = std::fopen(src.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    p = dir + (kind == IMAGE_KIND_ZQEN ? "/bench.zqen" : "/bench.zqde");
    std::string err;
    WriteContainer(p, kind, {{0, src, ""}}, nullptr, err);
    return p;
}

void BM_ReadEntry(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const uint32_t chunk = static_cast<uint32_t>(state.range(1));
    const std::string& path = container(kind);
    std::vector<uint8_t> buf(chunk);
    for (auto _ : state) {
        CPhaseImage img;
        if (!img.OpenImage(path.c_str())) {
            state.SkipWithError("open failed");
            return;
        }
        uint32_t off = 0, size = 0;
        img.GetImageSize(off, size);
        for (uint32_t done = 0; done < size; done += chunk) {
            uint32_t n = std::min(chunk, size - done);
            if (!img.ReadImage(buf.data(), n)) {
                state.SkipWithError("read failed");
                return;
            }
        }
        benchmark::DoNotOptimize(buf.data());
        img.CloseImage();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kEntryBytes));
    state.SetLabel(kind == IMAGE_KIND_ZQEN ? "zqen" : "zqde");
}
BENCHMARK(BM_ReadEntry)
    ->Args({IMAGE_KIND_ZQDE, 1024})
    ->Args({IMAGE_KIND_ZQEN, 1024})
    ->Args({IMAGE_KIND_ZQDE, 32768})
    ->Args({IMAGE_KIND_ZQEN, 32768})
    ->Unit(benchmark::kMillisecond);

void BM_Cipher(benchmark::State& state) {
    std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)), 0x5A);
    Crypt c(kImageKeyText);
    c.SetLength(12345);
    for (auto _ : state) {
        c.DecryptInPlace(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Cipher)->Arg(1024)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
