// The serial link end to end on a pty: 1 KiB packets written by the phone side and received
// through CQuillonDll::Read, and the wake-ups and CPU of open links while the line is idle.
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

// The virtual device directory of this run, removed at exit.
struct DeviceDir {
    DeviceDir() {
        char tmpl[] = "/tmp/tw-bench-XXXXXX";
        path = ::mkdtemp(tmpl);
        ::setenv("TARNWELL_DEVICE_DIR", path.c_str(), 1);
    }
    ~DeviceDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

const std::string& device_dir() {
    static DeviceDir d;
    return d.path;
}

// A pty named as COM `com` in the device directory.
struct Phone {
    explicit Phone(bool diag = false, int com = 7) : dir(device_dir()) {
        pty.open();
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Serial;
        r.com = com;
        r.path = pty.slave_path();
        r.diag = diag;
        record = dir + "/phone" + std::to_string(com) + ".dev";
        std::ofstream(record) << tw::device_record_text(r);
    }
    ~Phone() {
        std::error_code ec;
        std::filesystem::remove(record, ec);
    }
    std::string dir;
    std::string record;
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

// Voluntary context switches (a thread going to sleep, so one per wake-up) and CPU time of every
// thread of the process but the calling one, which only sleeps through the window.
void other_threads(uint64_t& switches, uint64_t& cpu_ns) {
    switches = 0;
    cpu_ns = 0;
    const std::string self = std::to_string(::gettid());
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = e.path().filename();
        if (tid == self) continue;
        std::ifstream st(e.path() / "status");
        std::string line;
        while (std::getline(st, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                switches += std::stoull(line.substr(line.find(':') + 1));
        std::ifstream sched(e.path() / "schedstat");
        uint64_t run = 0;
        sched >> run;
        cpu_ns += run;
    }
}

// range(0): links open at once; range(1): 1 for DIAG ports (reader, close-waiter and poller),
// 0 for plain ones (reader and close-waiter). The links stay open and idle for 10 s.
void BM_IdleLinkWakeups(benchmark::State& st) {
    const int links = static_cast<int>(st.range(0));
    const bool diag = st.range(1) != 0;
    std::vector<std::unique_ptr<Phone>> phones;
    std::vector<std::unique_ptr<CQuillonDll, LinkDeleter>> open;
    for (int i = 0; i < links; ++i) {
        phones.push_back(std::make_unique<Phone>(diag, 7 + i));
        PortHandle h = 0;
        open.emplace_back(CreateComm(7 + i, h, 115200));
        if (h < 0) {
            st.SkipWithError("link did not open");
            return;
        }
        uint8_t at[16];
        phones.back()->pty.read_some(at, 10, std::chrono::milliseconds(1000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // past the opens
    const auto idle = std::chrono::seconds(10);
    uint64_t s0 = 0, c0 = 0, s1 = 0, c1 = 0;
    for (auto _ : st) {
        other_threads(s0, c0);
        std::this_thread::sleep_for(idle);
        other_threads(s1, c1);
    }
    const double secs = std::chrono::duration<double>(idle).count();
    st.counters["wakeups_per_s"] = static_cast<double>(s1 - s0) / secs;
    st.counters["cpu_percent"] = static_cast<double>(c1 - c0) / (secs * 1e9) * 100.0;
}
BENCHMARK(BM_IdleLinkWakeups)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({16, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
