// QCN throughput: a backup and a restore of 1000 NV items against a simulated phone at time
// scale 1 (each exchange pauses 40 ms between request and answer, so 25 items per second is
// the ceiling), and the text-to-record conversion on its own.
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
#include "phonesim/nv.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

constexpr int kItems = 1000;

// One simulated phone and a list of 1000 main items it holds values for.
struct Bench {
    Bench() {
        tw::clock::set_scale(1.0);
        diag::SetMessageStream(nullptr);
        std::string t = "/tmp/tw-bench-qcn-XXXXXX";
        root = ::mkdtemp(t.data()) ? t : "/tmp";
        std::string err;
        phonesim::make_package(root + "/pkg", {}, err);
        std::string list;
        std::vector<uint16_t> usable;
        for (const auto& e : phonesim::nv_catalog())
            if (e.context == 0 && e.defined && e.factory_active && !e.readonly)
                usable.push_back(e.item);
        for (int i = 0; i < kItems; ++i)
            list += "NV item: " + std::to_string(usable[static_cast<size_t>(i) % usable.size()]) +
                    " [bench]\r\n";
        fs::create_directories(root + "/list");
        fs::create_directories(root + "/qcn");
        std::ofstream(root + "/list/NVFrom.txt", std::ios::binary) << list;
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
    std::string root;
    int com = 0;
    phonesim::Simulator sim;
};

Bench& Shared() {
    static Bench b;
    return b;
}

void BM_QcnBackup1000(benchmark::State& state) {
    Bench& b = Shared();
    int items = 0;
    for (auto _ : state) {
        Flashboot* m = CreateModule(b.com, 1, nullptr);
        diag::BackupOutcome out;
        int r =
            diag::BackUpQcn(m, m, (b.root + "/qcn/").c_str(), (b.root + "/list/").c_str(), &out);
        DeleteModule(m);
        if (r != 0) state.SkipWithError(("backup failed: " + out.message).c_str());
        items += out.items + out.skipped;
    }
    state.counters["items_per_second"] =
        benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

void BM_QcnRestore1000(benchmark::State& state) {
    Bench& b = Shared();
    std::string file = b.root + "/qcn/" + b.sim.phone(0).imei() + ".txt";
    if (!fs::exists(file)) {
        Flashboot* m = CreateModule(b.com, 1, nullptr);
        m->DoBackUpQCN(m, (b.root + "/qcn/").c_str(), (b.root + "/list/").c_str());
        DeleteModule(m);
    }
    int items = 0;
    for (auto _ : state) {
        Flashboot* m = CreateModule(b.com, 1, nullptr);
        m->m_reserved0 = 1;
        std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", file.c_str());
        diag::RestoreOutcome out;
        int r = diag::DownloadQcn(m, m, "", &out);
        DeleteModule(m);
        if (r != 0) state.SkipWithError(("restore failed: " + out.message).c_str());
        items += out.sent;
    }
    state.counters["items_per_second"] =
        benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

// The conversion alone: 1000 items of text into records, no phone.
void BM_ConvertQcnText1000(benchmark::State& state) {
    std::mt19937 rng(1);
    std::string text = "NV Items:\r\n";
    char block[diag::kBlockMax];
    uint8_t data[128];
    for (int i = 0; i < kItems; ++i) {
        for (auto& d : data)
            d = static_cast<uint8_t>(rng());
        text.append(
            block, diag::FormatQcnBlock(diag::NvKind::Main, static_cast<uint16_t>(i), data, block));
    }
    std::vector<diag::QcnRecord> records;
    records.reserve(kItems);
    for (auto _ : state) {
        FILE* in = fmemopen(text.data(), text.size(), "rb");
        records.clear();
        int n = diag::ConvertQcnText(in, nullptr, &records, nullptr, nullptr);
        std::fclose(in);
        if (n != kItems) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

BENCHMARK(BM_QcnBackup1000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_QcnRestore1000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ConvertQcnText1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
