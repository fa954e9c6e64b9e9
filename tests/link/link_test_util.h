#pragma once
// Shared pieces of the serial link tests: a pty standing in for the phone, a virtual device
// directory naming it, and views of the process's descriptors and threads.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/hdlc.h"
#include "platform/device_source.h"
#include "platform/pty.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

inline std::set<std::string> dir_entries(const char* path) {
    std::set<std::string> out;
    if (DIR* d = ::opendir(path)) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.insert(n);
        }
        ::closedir(d);
    }
    return out;
}

// Open descriptors, each with what it points at (so a reused number shows as a change).
inline std::set<std::string> open_fds() {
    std::set<std::string> out;
    for (const auto& n : dir_entries("/proc/self/fd")) {
        char target[512];
        std::string p = "/proc/self/fd/" + n;
        ssize_t l = ::readlink(p.c_str(), target, sizeof target - 1);
        if (l < 0) continue; // the directory handle of the listing itself
        target[l] = '\0';
        if (std::string(target).rfind("/proc/", 0) == 0) continue;
        out.insert(n + " -> " + target);
    }
    return out;
}

inline int thread_count() {
    // The thread sanitizer starts a helper thread of its own with the first thread a program
    // makes: have it running before anything is counted.
    static const bool helper_started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)helper_started;
    return static_cast<int>(dir_entries("/proc/self/task").size());
}

// Polls until the process has at most n threads; returns the last count seen.
inline int wait_threads_at_most(int n, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    int c = thread_count();
    while (c > n && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c = thread_count();
    }
    return c;
}

// What the framing puts on the wire for a packet.
class WireFramer : public CTransmitHdlc {
  public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.insert(wire.end(), d, d + n);
        return n;
    }
    Bytes wire;
};

inline Bytes framed(const Bytes& packet) {
    auto f = std::make_unique<WireFramer>();
    f->FrameWrite(packet.data(), static_cast<int>(packet.size()));
    return f->wire;
}

// Reads from the master until n bytes arrived or the time is up.
inline Bytes read_n(tw::PtyMaster& m, size_t n, std::chrono::milliseconds limit) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + limit;
    uint8_t buf[4096];
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        long r = m.read_some(buf, std::min(sizeof buf, n - out.size()), left);
        if (r < 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// Everything that arrives within a quiet period.
inline Bytes drain(tw::PtyMaster& m, std::chrono::milliseconds quiet) {
    Bytes out;
    uint8_t buf[4096];
    for (;;) {
        long r = m.read_some(buf, sizeof buf, quiet);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// A temporary folder removed with its contents at the end.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tw-link-XXXXXX";
        path_ = ::mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A virtual device directory holding one serial record for a pty, set as TARNWELL_DEVICE_DIR.
class DeviceDir {
  public:
    DeviceDir() { ::setenv("TARNWELL_DEVICE_DIR", dir_.path().c_str(), 1); }
    ~DeviceDir() { ::unsetenv("TARNWELL_DEVICE_DIR"); }
    void add_serial(const std::string& name, int com, const std::string& path, bool diag) {
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Serial;
        r.name = name;
        r.com = com;
        r.path = path;
        r.diag = diag;
        r.vid = 0x05C6;
        r.pid = 0x9025;
        std::ofstream(dir_.path() + "/" + name + ".dev") << tw::device_record_text(r);
    }
    const std::string& path() const { return dir_.path(); }

  private:
    TempDir dir_;
};

} // namespace linktest
