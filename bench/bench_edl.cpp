// Emergency download figures against simulated phones over ptys, no artificial link delay:
// the streaming upload's throughput, the time of a whole emergency download of the synthetic
// package, and the CPU that sixteen at once cost.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// CPU seconds (user + sys) of the threads now alive in this process, by thread id.
std::map<std::string, double> thread_cpu() {
    std::map<std::string, double> out;
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const auto& e : fs::directory_iterator("/proc/self/task")) {
        std::ifstream f(e.path() / "stat");
        std::string line;
        std::getline(f, line);
        std::istringstream in(line.substr(line.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && in >> field; ++i)
            if (i == 14 || i == 15) ticks += std::stod(field);
        out[e.path().filename()] = ticks / hz;
    }
    return out;
}

double process_cpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Sixteen emergency downloads at once at time scale 0.02, one thread and module per phone, all
// phones in one in-process simulator. Counters: the CPU of the whole process and of the host
// alone (the process less the simulator's threads, which live through the run).
void BM_SixteenEmergencyDownloads(benchmark::State& state) {
    tw::clock::set_scale(0.02);
    constexpr int kPhones = 16;
    static int run = 2000;
    double host = 0, total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string root = Package() + "/run" + std::to_string(++run);
        auto sim = std::make_unique<phonesim::Simulator>();
        phonesim::SimOptions o;
        o.device_dir = root + "/dev";
        o.state_dir = root + "/state";
        o.package = Package() + "/pkg";
        o.start = phonesim::Mode::Download;
        o.phones = kPhones;
        std::string err;
        if (!sim->start(o, err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
        std::vector<int> coms;
        for (int t = 0; t < 500 && static_cast<int>(coms.size()) < kPhones; ++t) {
            coms.clear();
            for (int i = 0; i < kPhones; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "/phone%02d", i);
                const std::string info = Slurp(o.state_dir + name + "/info.ini");
                auto p = info.find("\ncom=");
                if (p != std::string::npos && info.find("phase=dmss") != std::string::npos)
                    coms.push_back(std::atoi(info.c_str() + p + 5));
            }
            if (static_cast<int>(coms.size()) < kPhones)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (static_cast<int>(coms.size()) < kPhones) {
            state.SkipWithError("the simulated phones did not start");
            return;
        }
        const auto sim_threads = thread_cpu(); // the simulator's and this one
        const double cpu0 = process_cpu();
        state.ResumeTiming();
        std::atomic<int> failed{0};
        std::vector<std::thread> workers;
        for (int com : coms) {
            workers.emplace_back([&, com] {
                Flashboot* m = CreateModule(com, 0, nullptr);
                if (!m) {
                    ++failed;
                    return;
                }
                m->m_portNumber = com;
                std::string folder = Package() + "/pkg";
                Flashboot* self = m;
                if (m->Emergency_Download_Kestrin(self, folder.data(), kStart, 1) != 0) ++failed;
                DeleteModule(m);
            });
        }
        for (auto& w : workers)
            w.join();
        state.PauseTiming();
        const double cpu1 = process_cpu();
        double sim_cpu = 0;
        for (const auto& [tid, after] : thread_cpu()) {
            auto it = sim_threads.find(tid);
            if (it != sim_threads.end()) sim_cpu += after - it->second;
        }
        total += cpu1 - cpu0;
        host += cpu1 - cpu0 - sim_cpu;
        sim.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
        state.ResumeTiming();
        if (failed.load() != 0) {
            state.SkipWithError("an emergency download failed");
            return;
        }
    }
    state.counters["cpu_s"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    state.counters["host_cpu_s"] = benchmark::Counter(host, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SixteenEmergencyDownloads)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
