// QCN throughput at time scale 1 against a simulated phone: a backup and a restore of the
// synthetic package's own "NVFrom.txt" (the list a station uses), with the module's DIAG pause
// as the argument in milliseconds (0, the default: each answer is read as soon as it arrives;
// 40: the fixed pause between a request and the read of its answer that some phones need), and
// the text-to-record conversion on its own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "diag/flashboot_qcn.h"
#include "diag/qcn_file.h"
#include "engine/flashboot.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

constexpr int kConvertItems = 1000;

// One simulated phone in DIAG mode and the package's item list.
struct Bench {
    Bench() {
        tw::clock::set_scale(1.0);
        diag::SetMessageStream(nullptr);
        std::string t = "/tmp/tw-bench-qcn-XXXXXX";
        root = ::mkdtemp(t.data()) ? t : "/tmp";
        std::string err;
        phonesim::make_package(root + "/pkg", {}, err);
        fs::create_directories(root + "/qcn");
        phonesim::SimOptions o;
        o.device_dir = root + "/dev";
        o.state_dir = root + "/state";
        o.package = root + "/pkg";
        ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
        if (!sim.start(o, err)) std::fprintf(stderr, "phonesim: %s\n", err.c_str());
        for (int i = 0; i < 1000 && com == 0; ++i) {
            std::ifstream f(o.state_dir + "/phone00/info.ini");
            std::string line;
            while (std::getline(f, line))
                if (line.rfind("com=", 0) == 0) com = std::atoi(line.c_str() + 4);
            if (com == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Bench() {
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    Flashboot* Module(int pause_ms) {
        Flashboot* m = CreateModule(com, 1, nullptr);
        if (m) m->SetDiagPauseMs(pause_ms);
        return m;
    }
    std::string List() const { return root + "/pkg/"; }
    std::string root;
    int com = 0;
    phonesim::Simulator sim;
};

Bench& Shared() {
    static Bench b;
    return b;
}

void BM_QcnBackupPackageList(benchmark::State& state) {
    Bench& b = Shared();
    int saved = 0, skipped = 0;
    for (auto _ : state) {
        Flashboot* m = b.Module(static_cast<int>(state.range(0)));
        diag::BackupOutcome out;
        int r = diag::BackUpQcn(m, m, (b.root + "/qcn/").c_str(), b.List().c_str(), &out);
        DeleteModule(m);
        if (r != 0) {
            state.SkipWithError(("backup failed: " + out.message).c_str());
            return;
        }
        saved = out.items;
        skipped = out.skipped;
    }
    state.counters["saved"] = saved;
    state.counters["skipped"] = skipped;
}

void BM_QcnRestorePackageList(benchmark::State& state) {
    Bench& b = Shared();
    std::string file = b.root + "/qcn/" + b.sim.phone(0).imei() + ".txt";
    if (!fs::exists(file)) {
        Flashboot* m = b.Module(0);
        m->DoBackUpQCN(m, (b.root + "/qcn/").c_str(), b.List().c_str());
        DeleteModule(m);
    }
    int items = 0;
    for (auto _ : state) {
        Flashboot* m = b.Module(static_cast<int>(state.range(0)));
        m->m_reserved0 = 1;
        std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", file.c_str());
        diag::RestoreOutcome out;
        int r = diag::DownloadQcn(m, m, "", &out);
        DeleteModule(m);
        if (r != 0) {
            state.SkipWithError(("restore failed: " + out.message).c_str());
            return;
        }
        items = out.sent;
    }
    state.counters["records"] = items;
}

// The conversion alone: 1000 items of text into records, no phone.
void BM_ConvertQcnText1000(benchmark::State& state) {
    std::mt19937 rng(1);
    std::string text = "NV Items:\r\n";
    char block[diag::kBlockMax];
    uint8_t data[128];
    for (int i = 0; i < kConvertItems; ++i) {
        for (auto& d : data)
            d = static_cast<uint8_t>(rng());
        text.append(
            block, diag::FormatQcnBlock(diag::NvKind::Main, static_cast<uint16_t>(i), data, block));
    }
    std::vector<diag::QcnRecord> records;
    records.reserve(kConvertItems);
    for (auto _ : state) {
        FILE* in = fmemopen(text.data(), text.size(), "rb");
        records.clear();
        int n = diag::ConvertQcnText(in, nullptr, &records, nullptr, nullptr);
        std::fclose(in);
        if (n != kConvertItems) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(state.iterations() * kConvertItems);
}

// Five runs each, medians reported.
BENCHMARK(BM_QcnBackupPackageList)
    ->Arg(0)
    ->Arg(40)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_QcnRestorePackageList)
    ->Arg(0)
    ->Arg(40)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ConvertQcnText1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
