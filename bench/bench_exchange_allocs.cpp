// What one exchange costs the host beyond the bytes: heap allocations (every operator new of
// the process but the phone's own thread) and voluntary context switches of the host's threads,
// per streaming stream write and per DIAG NV read, through the engine and the link to a pty
// phone that answers at once.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "diag/nv.h"
#include "engine/flashboot.h"
#include "link/hdlc.h"
#include "tests/common/pty_framer.h"

// The counting operator new below hands out malloc'ed memory, which its delete frees; the
// compiler cannot see that the two are paired.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<uint64_t> g_allocations{0};
thread_local bool t_not_counted = false;

} // namespace

void* operator new(std::size_t n) {
    if (!t_not_counted) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Bytes = std::vector<uint8_t>;

// A pty published as COM `com` that answers every request at once: a block-written reply to a
// stream write, an NV read reply (item echoed, data zero) to an NV read.
class Phone {
  public:
    explicit Phone(int com) {
        char tmpl[] = "/tmp/tw-bench-allocs-XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0)
            return;
        int s = ::open(name, O_RDWR | O_NOCTTY);
        if (s >= 0) {
            termios t{};
            ::tcgetattr(s, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(s, TCSANOW, &t);
            ::close(s);
        }
        std::ofstream(dir_ + "/phone.dev")
            << "[device]\nkind=serial\ncom=" << com << "\npath=" << name << "\n";
        ::setenv("TARNWELL_DEVICE_DIR", dir_.c_str(), 1);
        thread_ = std::thread([this] { Loop(); });
    }
    ~Phone() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) ::close(master_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // The phone thread's id, once it runs.
    std::string Tid() const {
        for (int i = 0; i < 500 && tid_.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return std::to_string(tid_.load());
    }

  private:
    using Framer = twtest::PtyFramer;

    void Loop() {
        t_not_counted = true;
        tid_.store(::gettid());
        Framer framer(master_);
        Bytes buf(65536), frame(quillon::kFrameMax), reply(256);
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
            const ssize_t n = ::read(master_, buf.data(), buf.size());
            if (n <= 0) continue;
            framer.DecodeBytes(buf.data(), static_cast<int>(n));
            for (;;) {
                const int len = framer.TakeFrame(frame.data(), static_cast<int>(frame.size()));
                if (len <= 0) break;
                if (frame[0] == 0x07 && len >= 5) { // stream write: block written
                    reply.assign(frame.begin(), frame.begin() + 5);
                    reply[0] = 0x08;
                } else if (frame[0] == diag::kCmdNvRead && len >= 3) {
                    reply.assign(diag::kNvRequestLength, 0);
                    std::memcpy(reply.data(), frame.data(), 3);
                } else {
                    continue; // the AT line, and anything else: no answer
                }
                framer.FrameWrite(reply.data(), static_cast<int>(reply.size()));
            }
        }
    }

    std::string dir_;
    int master_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
};

// Voluntary context switches of every thread of this process but the phone's.
uint64_t voluntary_switches(const std::string& skip_tid) {
    uint64_t total = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        if (e.path().filename() == skip_tid) continue;
        std::ifstream st(e.path() / "status");
        std::string line;
        while (std::getline(st, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(line.find(':') + 1));
    }
    return total;
}

template <class Exchange>
void Run(benchmark::State& state, int com, int port_type, Exchange exchange) {
    Phone phone(com);
    const std::string skip = phone.Tid();
    Flashboot* m = CreateModule(com, port_type, nullptr);
    if (!m || m->hComHandle == INVALID_PORT_HANDLE) {
        state.SkipWithError("no pty");
        DeleteModule(m);
        return;
    }
    m->trans_Dig->SetOverlapTimeout(5000);
    for (int i = 0; i < 100; ++i) // past the first exchanges (buffers reach their size)
        if (!exchange(m)) break;
    const uint64_t a0 = g_allocations.load();
    const uint64_t s0 = voluntary_switches(skip);
    int64_t n = 0;
    for (auto _ : state) {
        if (!exchange(m)) {
            state.SkipWithError("exchange failed");
            break;
        }
        ++n;
    }
    const uint64_t a1 = g_allocations.load();
    const uint64_t s1 = voluntary_switches(skip);
    DeleteModule(m);
    if (n == 0) return;
    state.SetItemsProcessed(n);
    state.counters["allocs_per_exchange"] = static_cast<double>(a1 - a0) / static_cast<double>(n);
    state.counters["switches_per_exchange"] = static_cast<double>(s1 - s0) / static_cast<double>(n);
}

void BM_StreamWriteExchange(benchmark::State& state) {
    Bytes block(1024, 0x5A);
    uint32_t address = 0;
    Run(state, 71, 0, [&](Flashboot* m) {
        const bool ok =
            m->Streaming_Download_Protocol_Stream_Write(block.data(), address, 1024) == 0;
        address += 1024;
        return ok;
    });
}
BENCHMARK(BM_StreamWriteExchange)->UseRealTime()->MinTime(2.0);

void BM_DiagNvReadExchange(benchmark::State& state) {
    diag::Request req;
    const uint16_t len = diag::BuildNvRead(10, req);
    uint8_t answer[diag::kAnswerSize];
    Run(state, 72, 1, [&](Flashboot* m) {
        return m->Diag_Service_RequestAndResponse(req.data(), len, answer, sizeof answer, nullptr,
                                                  diag::AnswersAnotherRequest) == 0 &&
               answer[1] == 10;
    });
}
BENCHMARK(BM_DiagNvReadExchange)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
