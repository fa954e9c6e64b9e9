// Simulated phones: what sixteen idle phones cost (CPU and memory), and how fast one answers
// DIAG requests and takes streamed image blocks over its pty.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <fstream>

#include "phonesim/sim.h"
#include "tests/phonesim/sim_test_util.h"

namespace {

using namespace simtest;

double cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long status_kb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

struct Sim {
    std::string dev = temp_dir("bdev"), state = temp_dir("bstate");
    phonesim::Simulator sim;
    bool start(int phones, phonesim::Mode mode) {
        phonesim::SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = package_dir();
        o.phones = phones;
        o.start = mode;
        std::string err;
        return sim.start(o, err);
    }
    ~Sim() {
        sim.stop();
        std::filesystem::remove_all(dev);
        std::filesystem::remove_all(state);
    }
};

// Idle phones should sleep in poll(): CPU is the process's CPU time over wall time.
void BM_IdlePhones(benchmark::State& st) {
    tw::clock::set_scale(1.0);
    package_dir();
    const int n = static_cast<int>(st.range(0));
    const long rss0 = status_kb("VmRSS:");
    Sim s;
    if (!s.start(n, phonesim::Mode::Diag)) {
        st.SkipWithError("simulator did not start");
        return;
    }
    for (int i = 1; i <= n; ++i)
        if (!wait_record(s.dev, i, 0x9025)) {
            st.SkipWithError("a phone did not enumerate");
            return;
        }
    const long rss1 = status_kb("VmRSS:");
    double cpu = 0, wall = 0;
    for (auto _ : st) {
        double c0 = cpu_seconds();
        auto w0 = Clock::now();
        tw::clock::sleep_ms(1000);
        double w = std::chrono::duration<double>(Clock::now() - w0).count();
        cpu += cpu_seconds() - c0;
        wall += w;
        st.SetIterationTime(w);
    }
    st.counters["cpu_percent"] = 100.0 * cpu / wall;
    st.counters["rss_added_MiB"] = static_cast<double>(rss1 - rss0) / 1024.0;
    st.counters["threads"] = static_cast<double>(status_kb("Threads:"));
}
BENCHMARK(BM_IdlePhones)
    ->Arg(1)
    ->Arg(16)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_NvReadRoundTrip(benchmark::State& st) {
    tw::clock::set_scale(1.0);
    Sim s;
    PortClient c;
    auto r = s.start(1, phonesim::Mode::Diag) ? wait_record(s.dev, 1, 0x9025) : std::nullopt;
    if (!r || !c.open(r->path)) {
        st.SkipWithError("no DIAG port");
        return;
    }
    const Bytes req = nv_read(550);
    for (auto _ : st) {
        auto a = c.request(req, false);
        if (!a || a->size() != 133) {
            st.SkipWithError("no answer");
            return;
        }
    }
}
BENCHMARK(BM_NvReadRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_StreamWrite(benchmark::State& st) {
    tw::clock::set_scale(1.0);
    Sim s;
    PortClient c;
    auto r = s.start(1, phonesim::Mode::Download) ? wait_record(s.dev, 1, 0x9008) : std::nullopt;
    std::vector<phonesim::Programmer> progs;
    std::string err;
    if (!r || !c.open(r->path) || !phonesim::load_programmers(package_dir(), progs, err)) {
        st.SkipWithError("no download port");
        return;
    }
    const auto& p = progs[0];
    for (size_t off = 0; off < p.bytes.size(); off += 1024) {
        size_t n = std::min<size_t>(1024, p.bytes.size() - off);
        Bytes w{0x0F};
        phonesim::put_be32(w, p.load + static_cast<uint32_t>(off));
        phonesim::put_be16(w, static_cast<uint16_t>(n));
        w.insert(w.end(), p.bytes.begin() + static_cast<long>(off),
                 p.bytes.begin() + static_cast<long>(off + n));
        c.request(w);
    }
    Bytes go{0x05};
    phonesim::put_be32(go, p.start);
    c.request(go);
    Bytes hello(36);
    hello[0] = 0x01;
    std::memcpy(&hello[1], phonesim::kHostMagic, 32);
    hello[33] = hello[34] = 3;
    c.request(hello);
    c.request({0x17, 0x00});
    c.request({0x19, 0x00, 0x01, 0x02});
    if (c.request({0x1B, 0x05}).value_or(Bytes{}) != Bytes{0x1C, 0x00}) {
        st.SkipWithError("programmer session did not open");
        return;
    }
    Bytes w(5 + 1024, 0xA5);
    w[0] = 0x07;
    uint32_t addr = 0;
    for (auto _ : st) {
        w[1] = static_cast<uint8_t>(addr);
        w[2] = static_cast<uint8_t>(addr >> 8);
        w[3] = static_cast<uint8_t>(addr >> 16);
        w[4] = static_cast<uint8_t>(addr >> 24);
        auto a = c.request(w);
        if (!a || a->size() != 5 || (*a)[0] != 0x08) {
            st.SkipWithError("write refused");
            return;
        }
        addr += 1024;
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * 1024);
}
BENCHMARK(BM_StreamWrite)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
