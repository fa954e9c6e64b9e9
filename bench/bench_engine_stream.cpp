// Streaming exchanges through the engine and the link against a pty phone that answers at once:
// stream writes per second for the block sizes the flows use, and the bytes per second they make.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/flashboot.h"
#include "platform/clock.h"
#include "tests/engine/scripted_phone.h"

namespace {

void BM_StreamWrite(benchmark::State& state) {
    const uint16_t block = static_cast<uint16_t>(state.range(0));
    enginetest::ScriptedPhone phone(61);
    phone.keep_requests(false);
    Flashboot* m = CreateModule(61, 0, nullptr);
    if (!m || m->hComHandle == INVALID_PORT_HANDLE) {
        state.SkipWithError("no pty");
        DeleteModule(m);
        return;
    }
    m->trans_Dig->SetOverlapTimeout(5000);
    std::vector<uint8_t> data(block, 0x5A);
    uint32_t address = 0;
    for (auto _ : state) {
        state.PauseTiming();
        enginetest::Bytes reply = {
            0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
        phone.answer(reply);
        state.ResumeTiming();
        if (m->Streaming_Download_Protocol_Stream_Write(data.data(), address, block) != 0) {
            state.SkipWithError("stream write failed");
            break;
        }
        address += block;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    DeleteModule(m);
}
BENCHMARK(BM_StreamWrite)->Arg(1024)->Arg(4096)->Arg(16384)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
