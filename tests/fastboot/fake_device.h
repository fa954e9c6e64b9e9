#pragma once
// A fastboot device on loopback TCP for the library's tests and benchmark. It answers
// getvar:max-download-size, download, flash and reboot, keeps what was flashed, and can be told
// to refuse flashes, to vanish or to stop reading part-way through a download.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fbtest {

struct FakeOptions {
    uint64_t max_download = 64u << 20; // 0: the variable is unknown (FAIL)
    int fail_flash = 0;                // the first n flash commands answer FAIL
    int64_t vanish_after = -1;         // close the connection after this many data bytes
    int64_t stall_after = -1;          // stop reading, connection open, after this many data bytes
    bool keep = true;                  // keep the data of each flash
    std::vector<std::string> flash_info; // INFO lines sent before a flash's OKAY
};

class FakeDevice {
  public:
    explicit FakeDevice(FakeOptions o = {}) : opt_(std::move(o)) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDevice() {
        stop_ = true;
        thread_.join();
        ::close(listen_fd_);
    }
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    std::string name() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> commands() const {
        std::lock_guard<std::mutex> g(m_);
        return commands_;
    }
    std::vector<std::pair<std::string, std::vector<uint8_t>>> flashes() const {
        std::lock_guard<std::mutex> g(m_);
        return flashes_;
    }

  private:
    bool wait_readable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    bool read_exact(int fd, void* buf, size_t n) {
        auto* p = static_cast<uint8_t*>(buf);
        while (n > 0) {
            if (!wait_readable(fd)) return false;
            ssize_t k = ::recv(fd, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    bool send_all(int fd, const void* buf, size_t n) {
        auto* p = static_cast<const uint8_t*>(buf);
        while (n > 0) {
            ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    bool reply(int fd, const std::string& s) {
        // Header and body in one send: two small sends would meet Nagle and delayed ACKs.
        std::string p(8, '\0');
        for (int i = 0; i < 8; ++i)
            p[i] = static_cast<char>(uint64_t{s.size()} >> (56 - 8 * i));
        p += s;
        return send_all(fd, p.data(), p.size());
    }
    bool read_len(int fd, uint64_t& len) {
        uint8_t h[8];
        if (!read_exact(fd, h, 8)) return false;
        len = 0;
        for (uint8_t b : h)
            len = (len << 8) | b;
        return true;
    }

    void serve() {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            session(fd);
            ::close(fd);
        }
    }

    void session(int fd) {
        char hello[4];
        if (!read_exact(fd, hello, 4) || std::memcmp(hello, "FB01", 4) != 0) return;
        if (!send_all(fd, "FB01", 4)) return;
        std::vector<uint8_t> data, scratch(1 << 20);
        for (;;) {
            uint64_t len = 0;
            if (!read_len(fd, len) || len > 4096) return;
            std::string cmd(len, '\0');
            if (!read_exact(fd, cmd.data(), len)) return;
            {
                std::lock_guard<std::mutex> g(m_);
                commands_.push_back(cmd);
            }
            if (cmd == "getvar:max-download-size") {
                char v[32];
                std::snprintf(v, sizeof v, "OKAY0x%08llx",
                              static_cast<unsigned long long>(opt_.max_download));
                if (!reply(fd, opt_.max_download ? v : "FAILunknown variable")) return;
            } else if (cmd.rfind("getvar:", 0) == 0) {
                if (!reply(fd, "FAILunknown variable")) return;
            } else if (cmd.rfind("download:", 0) == 0) {
                uint64_t size = std::stoull(cmd.substr(9), nullptr, 16);
                if (!reply(fd, "DATA" + cmd.substr(9))) return;
                data.clear();
                if (opt_.keep) data.reserve(size);
                for (uint64_t got = 0; got < size;) {
                    uint64_t plen = 0;
                    if (!read_len(fd, plen) || plen > size - got) return;
                    while (plen > 0) {
                        size_t piece = std::min<uint64_t>(plen, scratch.size());
                        if (opt_.vanish_after >= 0 &&
                            got + piece > static_cast<uint64_t>(opt_.vanish_after))
                            return; // unplugged: the connection drops with data unread
                        if (opt_.stall_after >= 0 &&
                            got + piece > static_cast<uint64_t>(opt_.stall_after)) {
                            while (!stop_)
                                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                            return;
                        }
                        if (!read_exact(fd, scratch.data(), piece)) return;
                        if (opt_.keep)
                            data.insert(data.end(), scratch.data(), scratch.data() + piece);
                        got += piece;
                        plen -= piece;
                    }
                }
                if (!reply(fd, "OKAY")) return;
            } else if (cmd.rfind("flash:", 0) == 0) {
                if (opt_.fail_flash > 0) {
                    --opt_.fail_flash;
                    if (!reply(fd, "FAILflash write failure")) return;
                    continue;
                }
                for (const auto& line : opt_.flash_info)
                    if (!reply(fd, "INFO" + line)) return;
                {
                    std::lock_guard<std::mutex> g(m_);
                    flashes_.emplace_back(cmd.substr(6), data);
                }
                if (!reply(fd, "OKAY")) return;
            } else if (cmd == "reboot") {
                reply(fd, "OKAY");
                return;
            } else {
                if (!reply(fd, "FAILunknown command")) return;
            }
        }
    }

    FakeOptions opt_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex m_;
    std::vector<std::string> commands_;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> flashes_;
};

} // namespace fbtest
