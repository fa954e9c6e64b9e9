#pragma once
// A pty standing in for the phone: the test scripts one answer per request and reads back the
// exact payload of every request the engine framed. The port is published by COM number in a
// virtual device directory of its own.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/hdlc.h"

namespace enginetest {

using Bytes = std::vector<uint8_t>;

class ScriptedPhone {
  public:
    // com: the COM number the engine opens.
    explicit ScriptedPhone(int com) : com_(com) {
        char tmpl[] = "/tmp/tw_phone_XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) return;
        slave_path_ = name;
        // Raw before any byte flows, or the line discipline echoes and translates.
        int s = ::open(name, O_RDWR | O_NOCTTY);
        if (s >= 0) {
            termios t{};
            tcgetattr(s, &t);
            cfmakeraw(&t);
            tcsetattr(s, TCSANOW, &t);
            ::close(s);
        }
        std::ofstream rec(dir_ + "/phone.dev");
        rec << "[device]\nkind=serial\ncom=" << com_ << "\npath=" << slave_path_
            << "\nfriendly=Qualcomm HS-USB QDLoader 9008 (COM" << com_ << ")\n";
        rec.close();
        ::setenv("TARNWELL_DEVICE_DIR", dir_.c_str(), 1);
        rx_ = std::make_unique<Decoder>(master_);
        thread_ = std::thread([this] { loop(); });
    }

    ~ScriptedPhone() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) ::close(master_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    bool ok() const { return !slave_path_.empty() && thread_.joinable(); }
    int com() const { return com_; }

    // The next request gets this answer (framed); nullopt keeps the phone silent for it.
    void answer(std::optional<Bytes> reply) {
        std::lock_guard<std::mutex> g(m_);
        script_.push_back(std::move(reply));
    }

    // Waits (real time) until n requests have come; returns them all.
    std::vector<Bytes> requests(size_t n,
                                std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, wait, [&] { return requests_.size() >= n; });
        return requests_;
    }
    Bytes last() {
        std::lock_guard<std::mutex> g(m_);
        return requests_.empty() ? Bytes{} : requests_.back();
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m_);
        return requests_.size();
    }
    // Benchmarks stop keeping the requests (they only count them).
    void keep_requests(bool keep) { keep_.store(keep); }

    void clear() {
        std::lock_guard<std::mutex> g(m_);
        requests_.clear();
        script_.clear();
    }

  private:
    class Decoder : public CTransmitHdlc {
      public:
        explicit Decoder(int fd) : fd_(fd) {}
        int IsOpen() override { return 1; }
        int RawWrite(const uint8_t* d, int n) override {
            int done = 0;
            while (done < n) {
                ssize_t w = ::write(fd_, d + done, static_cast<size_t>(n - done));
                if (w <= 0) return done;
                done += static_cast<int>(w);
            }
            return done;
        }

      private:
        int fd_;
    };

    void loop() {
        std::vector<uint8_t> buf(65536);
        Bytes frame(quillon::kFrameMax);
        while (!stop_.load()) {
            pollfd p{master_, POLLIN, 0};
            int pr = ::poll(&p, 1, 20);
            if (pr <= 0) continue;
            if (!(p.revents & POLLIN)) {
                // The engine closed its end: stay quiet without spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            ssize_t n = ::read(master_, buf.data(), buf.size());
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            rx_->DecodeBytes(buf.data(), static_cast<int>(n));
            for (;;) {
                int len = rx_->TakeFrame(frame.data(), static_cast<int>(frame.size()));
                if (len <= 0) break;
                std::optional<Bytes> reply;
                {
                    std::lock_guard<std::mutex> g(m_);
                    if (keep_.load()) {
                        requests_.emplace_back(frame.begin(), frame.begin() + len);
                    } else {
                        requests_.emplace_back();
                    }
                    if (!script_.empty()) {
                        reply = std::move(script_.front());
                        script_.pop_front();
                    }
                }
                cv_.notify_all();
                if (reply) rx_->FrameWrite(reply->data(), static_cast<int>(reply->size()));
            }
        }
    }

    int com_;
    std::string dir_;
    int master_ = -1;
    std::string slave_path_;
    std::unique_ptr<Decoder> rx_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> keep_{true};
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::optional<Bytes>> script_;
    std::vector<Bytes> requests_;
};

} // namespace enginetest
