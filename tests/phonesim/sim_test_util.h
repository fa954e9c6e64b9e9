#pragma once
// Shared pieces of the simulator tests: temporary folders, one package per test program, a
// serial client built on the link framing (not on the engine), a tiny fastboot TCP client and
// waits on the device directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "link/hdlc.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/device_source.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline std::string temp_dir(const char* tag) {
    std::string t = std::string("/tmp/phonesim-") + tag + "-XXXXXX";
    char* d = ::mkdtemp(t.data());
    return d ? std::string(d) : std::string();
}

// A temporary folder removed with everything in it when the object goes.
struct TempDir {
    explicit TempDir(const char* tag) : path(temp_dir(tag)) {}
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// The package every test of this program uses, written once and removed at exit.
inline const std::string& package_dir() {
    static const TempDir dir("pkg");
    static const bool made = [] {
        std::string err;
        return phonesim::make_package(dir.path, {}, err);
    }();
    (void)made;
    return dir.path;
}

inline Bytes file_bytes(const std::string& path) {
    phonesim::Bytes b;
    phonesim::read_file(path, b);
    return b;
}

// Polls pred every nominal 100 ms (1 ms at the tests' scale) for up to real_ms.
inline bool wait_for(const std::function<bool()>& pred, int real_ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(real_ms);
    while (Clock::now() < end) {
        if (pred()) return true;
        tw::clock::sleep_ms(100);
    }
    return pred();
}

// The one record at a hub port of the kind asked for, if any.
inline std::optional<tw::DeviceRecord> record_at(const std::string& dir, int hubport,
                                                 uint16_t pid) {
    for (const auto& r : tw::list_devices_from_dir(dir))
        if (r.hubport == hubport && r.pid == pid) return r;
    return std::nullopt;
}

inline std::optional<tw::DeviceRecord> wait_record(const std::string& dir, int hubport,
                                                   uint16_t pid, int real_ms = 5000) {
    std::optional<tw::DeviceRecord> r;
    wait_for([&] { return (r = record_at(dir, hubport, pid)).has_value(); }, real_ms);
    return r;
}

// The host's end of a serial port, framing through the link's own framer.
class PortClient : public CTransmitHdlc {
  public:
    ~PortClient() override { close(); }

    bool open(const std::string& path) {
        close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return false;
        termios t{};
        if (::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
        ClearReceive(1);
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    int IsOpen() override { return fd_ >= 0 ? 1 : 0; }
    int RawWrite(const uint8_t* d, int n) override {
        int done = 0;
        while (done < n) {
            ssize_t w = ::write(fd_, d + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EAGAIN) {
                    pollfd pf{fd_, POLLOUT, 0};
                    ::poll(&pf, 1, 100);
                    continue;
                }
                return -1;
            }
            done += static_cast<int>(w);
        }
        return done;
    }
    void send_raw(const Bytes& b) { RawWrite(b.data(), static_cast<int>(b.size())); }
    void send(const Bytes& req, bool opening_flag = true) {
        if (opening_flag)
            FrameWrite(req.data(), static_cast<int>(req.size()));
        else
            FrameWriteNo7e(req.data(), static_cast<int>(req.size()) + 1);
    }

    // The next good frame, or nothing after real_ms. hung_up tells that the port went away.
    std::optional<Bytes> receive(int real_ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(real_ms);
        for (;;) {
            if (QueuedFrames() > 0) {
                Bytes buf(40000);
                int n = TakeFrame(buf.data(), 0);
                if (n >= 0) {
                    buf.resize(static_cast<size_t>(n));
                    return buf;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || fd_ < 0) return std::nullopt;
            pollfd pf{fd_, POLLIN, 0};
            int r = ::poll(&pf, 1, static_cast<int>(left.count()));
            if (r <= 0) continue;
            uint8_t b[4096];
            ssize_t k = ::read(fd_, b, sizeof b);
            if (k <= 0) {
                if (k < 0 && errno == EAGAIN) continue;
                hung_up = true;
                return std::nullopt;
            }
            raw.insert(raw.end(), b, b + k);
            DecodeBytes(b, static_cast<int>(k));
        }
    }
    std::optional<Bytes> request(const Bytes& req, bool opening_flag = true, int real_ms = 3000) {
        send(req, opening_flag);
        return receive(real_ms);
    }

    Bytes raw; // every byte read so far
    bool hung_up = false;

  private:
    int fd_ = -1;
};

// Fastboot over TCP from the host side: "FB01" both ways, then length-prefixed packets.
class FastbootClient {
  public:
    ~FastbootClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        timeval tv{3, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::send(fd_, "FB01", 4, MSG_NOSIGNAL) != 4) return false;
        char hs[4];
        return read_exact(hs, 4) && std::string(hs, 4) == "FB01";
    }
    bool send_packet(const void* p, size_t n) {
        uint8_t h[8];
        for (int i = 0; i < 8; ++i)
            h[i] = static_cast<uint8_t>(static_cast<uint64_t>(n) >> (56 - 8 * i));
        return ::send(fd_, h, 8, MSG_NOSIGNAL) == 8 &&
               (n == 0 || ::send(fd_, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n));
    }
    std::optional<std::string> read_packet() {
        uint8_t h[8];
        if (!read_exact(h, 8)) return std::nullopt;
        uint64_t n = 0;
        for (uint8_t b : h)
            n = n << 8 | b;
        if (n > 4096) return std::nullopt;
        std::string s(static_cast<size_t>(n), '\0');
        if (n && !read_exact(s.data(), s.size())) return std::nullopt;
        return s;
    }
    // Sends a command; the final answer (OKAY, FAIL or DATA), INFO lines collected.
    std::optional<std::string> command(const std::string& cmd) {
        if (!send_packet(cmd.data(), cmd.size())) return std::nullopt;
        for (;;) {
            auto p = read_packet();
            if (!p) return std::nullopt;
            if (p->rfind("INFO", 0) == 0) {
                info.push_back(p->substr(4));
                continue;
            }
            return p;
        }
    }
    std::vector<std::string> info;

  private:
    bool read_exact(void* p, size_t n) {
        auto* c = static_cast<char*>(p);
        while (n > 0) {
            ssize_t r = ::recv(fd_, c, n, 0);
            if (r <= 0) return false;
            c += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
};

inline uint16_t port_of(const tw::DeviceRecord& r) {
    auto colon = r.address.rfind(':');
    return static_cast<uint16_t>(std::stoi(r.address.substr(colon + 1)));
}

// Request builders, written from the protocols' layouts.
inline Bytes nv_read(uint16_t item) {
    Bytes b{0x26, static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
    b.resize(133, 0);
    return b;
}
inline Bytes nv_write(uint16_t item, const Bytes& data) {
    Bytes b{0x27, static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
    b.insert(b.end(), data.begin(), data.end());
    b.resize(133, 0);
    return b;
}
inline Bytes sub_nv(bool write, uint16_t item, uint16_t ctx, const Bytes& data = {}) {
    Bytes b{0x4B,
            0x30,
            static_cast<uint8_t>(write ? 2 : 1),
            0x00,
            static_cast<uint8_t>(item),
            static_cast<uint8_t>(item >> 8),
            static_cast<uint8_t>(ctx),
            static_cast<uint8_t>(ctx >> 8)};
    b.insert(b.end(), data.begin(), data.end());
    b.resize(138, 0);
    return b;
}
inline uint16_t nv_status(const Bytes& ans) {
    return static_cast<uint16_t>(ans[ans.size() - 2] | ans[ans.size() - 1] << 8);
}

} // namespace simtest
