// The serial link end to end on a pty: 1 KiB packets written by the phone side and received
// through CQuillonDll::Read, and the CPU the link's threads use while the line is idle.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/hdlc.h"
#include "link/quillon.h"
#include "platform/device_source.h"
#include "platform/pty.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Framer : public CTransmitHdlc {
  public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.insert(wire.end(), d, d + n);
        return n;
    }
    Bytes wire;
};

// A pty named as COM 7 in a fresh virtual device directory.
struct Phone {
    Phone(bool diag = false) {
        char tmpl[] = "/tmp/tw-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        pty.open();
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Serial;
        r.com = 7;
        r.path = pty.slave_path();
        r.diag = diag;
        std::ofstream(dir + "/phone.dev") << tw::device_record_text(r);
        ::setenv("TARNWELL_DEVICE_DIR", dir.c_str(), 1);
    }
    ~Phone() {
        ::unsetenv("TARNWELL_DEVICE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    tw::PtyMaster pty;
};

struct LinkDeleter {
    void operator()(CQuillonDll* p) const { deleteComm(p); }
};

// Frames of 1 KiB packets: a command byte (not '@', which marks diagnostic text), a sequence
// number, random bytes.
std::vector<Bytes> packet_frames(size_t size) {
    std::mt19937 rng(11);
    std::vector<Bytes> out;
    for (int seq = 0; seq < 256; ++seq) {
        Bytes p(size);
        for (auto& b : p)
            b = static_cast<uint8_t>(rng());
        p[0] = 0x4B;
        p[1] = static_cast<uint8_t>(seq);
        auto f = std::make_unique<Framer>();
        f->FrameWrite(p.data(), static_cast<int>(p.size()));
        out.push_back(std::move(f->wire));
    }
    return out;
}

// range(0): packets the phone may have in flight (1: strict request and answer).
void BM_ReadPackets1KiB(benchmark::State& st) {
    const int window = static_cast<int>(st.range(0));
    Phone phone;
    PortHandle h = 0;
    std::unique_ptr<CQuillonDll, LinkDeleter> link(CreateComm(7, h, 115200));
    if (h < 0) {
        st.SkipWithError("link did not open");
        return;
    }
    uint8_t at[16];
    phone.pty.read_some(at, 9, std::chrono::milliseconds(1000));

    const auto frames = packet_frames(1024);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> received{0};
    std::thread writer([&] {
        int64_t sent = 0;
        while (!stop.load()) {
            if (sent - received.load() >= window) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                continue;
            }
            const Bytes& f = frames[static_cast<size_t>(sent % 256)];
            if (!phone.pty.write_all(f.data(), f.size())) break;
            ++sent;
        }
    });

    uint8_t buf[2048];
    int64_t out_of_order = 0;
    int64_t bad = 0;
    uint8_t expect = 0;
    for (auto _ : st) {
        int n = link->Read(buf, sizeof buf);
        if (n != 1024) {
            ++bad;
        } else if (buf[1] != expect) {
            ++out_of_order;
            expect = buf[1];
        }
        ++expect;
        received.fetch_add(1);
    }
    stop = true;
    writer.join();
    st.SetItemsProcessed(st.iterations());
    st.SetBytesProcessed(st.iterations() * 1024);
    st.counters["lost_or_bad"] = static_cast<double>(bad + out_of_order);
}
BENCHMARK(BM_ReadPackets1KiB)->Arg(1)->Arg(32)->UseRealTime()->MinTime(2.0);

// CPU time (ns) and wake-ups of every thread but the calling one, from schedstat.
void other_threads_cpu(uint64_t& ns, uint64_t& wakeups) {
    ns = 0;
    wakeups = 0;
    const std::string self = std::to_string(::gettid());
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = e.path().filename();
        if (tid == self) continue;
        std::ifstream f(e.path() / "schedstat");
        uint64_t run = 0, wait = 0, slices = 0;
        f >> run >> wait >> slices;
        ns += run;
        wakeups += slices;
    }
}

// range(0): 1 for a DIAG port (reader, close-waiter and the 10 ms poller), 0 for a plain one.
void BM_IdleLinkCpu(benchmark::State& st) {
    const bool diag = st.range(0) != 0;
    Phone phone(diag);
    PortHandle h = 0;
    std::unique_ptr<CQuillonDll, LinkDeleter> link(CreateComm(7, h, 115200));
    if (h < 0) {
        st.SkipWithError("link did not open");
        return;
    }
    uint8_t at[16];
    phone.pty.read_some(at, 9, std::chrono::milliseconds(1000));
    const auto idle = std::chrono::seconds(3);
    uint64_t ns0 = 0, w0 = 0, ns1 = 0, w1 = 0;
    for (auto _ : st) {
        other_threads_cpu(ns0, w0);
        std::this_thread::sleep_for(idle);
        other_threads_cpu(ns1, w1);
    }
    const double secs = std::chrono::duration<double>(idle).count();
    st.counters["cpu_percent"] = static_cast<double>(ns1 - ns0) / (secs * 1e9) * 100.0;
    st.counters["wakeups_per_s"] = static_cast<double>(w1 - w0) / secs;
}
BENCHMARK(BM_IdleLinkCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
