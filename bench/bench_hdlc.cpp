// Encode and decode throughput of the link framing.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "link/hdlc.h"

namespace {

class Sink : public CTransmitHdlc {
public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        if (keep) wire.insert(wire.end(), d, d + n);
        return n;
    }
    bool keep = false;
    std::vector<uint8_t> wire;
};

std::vector<uint8_t> packet(size_t len, bool all_escaped) {
    std::mt19937 rng(7);
    std::vector<uint8_t> p(len);
    for (auto& b : p) b = all_escaped ? static_cast<uint8_t>(0x7D + (rng() & 1)) : static_cast<uint8_t>(rng());
    return p;
}

void BM_Encode(benchmark::State& st) {
    auto p = packet(static_cast<size_t>(st.range(0)), st.range(1) != 0);
    auto s = std::make_unique<Sink>();
    for (auto _ : st) benchmark::DoNotOptimize(s->FrameWrite(p.data(), static_cast<int>(p.size())));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}

void BM_Decode(benchmark::State& st) {
    auto p = packet(static_cast<size_t>(st.range(0)), st.range(1) != 0);
    auto enc = std::make_unique<Sink>();
    enc->keep = true;
    enc->FrameWrite(p.data(), static_cast<int>(p.size()));
    auto rx = std::make_unique<Sink>();
    std::vector<uint8_t> out(p.size());
    for (auto _ : st) {
        rx->DecodeBytes(enc->wire.data(), static_cast<int>(enc->wire.size()));
        benchmark::DoNotOptimize(rx->TakeFrame(out.data(), static_cast<int>(out.size())));
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}

} // namespace

BENCHMARK(BM_Encode)->ArgsProduct({{1024, 32768}, {0, 1}})->ArgNames({"bytes", "escaped"});
BENCHMARK(BM_Decode)->ArgsProduct({{1024, 32768}, {0, 1}})->ArgNames({"bytes", "escaped"});
BENCHMARK_MAIN();
