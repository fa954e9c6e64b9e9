// Emergency download figures against a simulated phone over a pty, no artificial link delay:
// the streaming upload's throughput and the time of a whole emergency download of the
// synthetic package.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;

constexpr uint32_t kStart = 0x00100000;

// The synthetic package with its NPRG programmer converted, made once, removed at exit.
struct TempPackage {
    std::string dir;
    TempPackage() {
        std::string t = "/tmp/tw-bench-edl-XXXXXX";
        dir = ::mkdtemp(t.data()) ? t : "";
        std::string err;
        phonesim::make_package(dir + "/pkg", {}, err);
        sondrel::hex::HexConversion conv;
        sondrel::hex::ConvertHexToBin(dir + "/pkg/modem/NPRG7627A.hex", conv);
    }
    ~TempPackage() {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }
};

const std::string& Package() {
    static const TempPackage p;
    return p.dir;
}

// One phone in emergency download mode and a module on its port.
struct Phone {
    std::string root;
    phonesim::Simulator sim;
    Flashboot* module = nullptr;

    bool Start(int n) {
        root = Package() + "/run" + std::to_string(n);
        phonesim::SimOptions o;
        o.device_dir = root + "/dev";
        o.state_dir = root + "/state";
        o.package = Package() + "/pkg";
        o.start = phonesim::Mode::Download;
        std::string err;
        if (!sim.start(o, err)) return false;
        ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
        int com = 0;
        for (int t = 0; t < 500 && com == 0; ++t) {
            const std::string info = Slurp(o.state_dir + "/phone00/info.ini");
            auto p = info.find("\ncom=");
            if (p != std::string::npos && info.find("phase=dmss") != std::string::npos)
                com = std::atoi(info.c_str() + p + 5);
            if (com == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (com == 0) return false;
        module = CreateModule(com, 0, nullptr);
        if (!module) return false;
        module->m_portNumber = com;
        return true;
    }
    ~Phone() {
        if (module) DeleteModule(module);
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// Stream writes of amss.mbn (about 1 MB) through open, 1024-byte writes and close, with the
// programmer already running. Time scale 1: nothing in this path waits on the clock.
void BM_StreamUpload(benchmark::State& state) {
    tw::clock::set_scale(1.0);
    static int run = 0;
    Phone phone;
    if (!phone.Start(++run)) {
        state.SkipWithError("the simulated phone did not start");
        return;
    }
    Flashboot* m = phone.module;
    const std::string modem = Package() + "/pkg/modem/";
    if (m->DMSS_Download_Update_Zqde_Armprg_File(m->m_portNumber, (modem + "NPRG7627A.hex").c_str(),
                                                 kStart, 1) != 0) {
        state.SkipWithError("programmer download failed");
        return;
    }
    m->trans_Dig->SetOverlapTimeout(3000);
    if (m->Streaming_Download_Protocol_Handle_Hello_Cmd() != 0 ||
        m->Streaming_Download_Protocol_Security_Mode(1) != 0 ||
        m->SendPartitionTable((modem + "partition.mbn").c_str(), 33) != 0) {
        state.SkipWithError("the programmer did not answer");
        return;
    }
    const std::string amss = modem + "amss.mbn";
    const auto size = static_cast<int64_t>(fs::file_size(amss));
    for (auto _ : state) {
        if (m->SendMultiImage(amss.c_str(), 5) != 0) {
            state.SkipWithError("upload failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_StreamUpload)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The whole emergency download of the synthetic package on a fresh phone: programmer over
// DMSS, GO, the 8 s start-up pause, the upload and reset. Argument: the time scale in percent
// (100 is real time, where the fixed pauses dominate; 1 leaves mostly the transfers).
void BM_EmergencyDownload(benchmark::State& state) {
    tw::clock::set_scale(static_cast<double>(state.range(0)) / 100.0);
    static int run = 1000;
    for (auto _ : state) {
        state.PauseTiming();
        auto phone = std::make_unique<Phone>();
        if (!phone->Start(++run)) {
            state.SkipWithError("the simulated phone did not start");
            return;
        }
        std::string folder = Package() + "/pkg";
        Flashboot* self = phone->module;
        state.ResumeTiming();
        const int r = phone->module->Emergency_Download_Kestrin(self, folder.data(), kStart, 1);
        state.PauseTiming();
        phone.reset();
        state.ResumeTiming();
        if (r != 0) {
            state.SkipWithError("emergency download failed");
            return;
        }
    }
}
BENCHMARK(BM_EmergencyDownload)
    ->Arg(100)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

} // namespace

BENCHMARK_MAIN();
