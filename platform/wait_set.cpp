#include "platform/wait_set.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

namespace tw {

WaitSet::~WaitSet() {
    if (fd_ >= 0) ::close(fd_);
}

bool WaitSet::create() {
    std::lock_guard<std::mutex> g(m_);
    if (fd_ < 0) fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    exists_ = fd_ >= 0;
    return exists_;
}

void WaitSet::close_fd_locked() {
    if (fd_ >= 0 && users_ == 0 && !exists_) {
        ::close(fd_);
        fd_ = -1;
    }
}

void WaitSet::close() {
    std::lock_guard<std::mutex> g(m_);
    exists_ = false;
    close_fd_locked();
}

bool WaitSet::add(int fd, uint32_t tag, bool edge) {
    std::lock_guard<std::mutex> g(m_);
    if (!exists_ || fd < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN | (edge ? EPOLLET : 0u);
    ev.data.u32 = tag;
    if (::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
    return errno == EEXIST && ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

int WaitSet::acquire() {
    std::lock_guard<std::mutex> g(m_);
    if (!exists_) return -1;
    ++users_;
    return fd_;
}

void WaitSet::release() {
    std::lock_guard<std::mutex> g(m_);
    if (users_ > 0) --users_;
    close_fd_locked();
}

int WaitSet::wait(int pinned, std::chrono::steady_clock::time_point deadline, Ready* out, int max) {
    using Clock = std::chrono::steady_clock;
    if (pinned < 0 || !out || max < 1) return -1;
    constexpr int kMax = 8;
    epoll_event evs[kMax];
    const int n = std::min(max, kMax);
    const bool forever = deadline == Clock::time_point::max();
    // A kernel before 5.11 has no epoll_pwait2: millisecond waits then, rounded up.
    static std::atomic<bool> no_pwait2{false};
    int r = 0;
    for (;;) {
        std::chrono::nanoseconds left{-1};
        if (!forever) left = std::max<std::chrono::nanoseconds>(deadline - Clock::now(), {});
        if (!no_pwait2.load(std::memory_order_relaxed)) {
            timespec ts{};
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            r = ::epoll_pwait2(pinned, evs, n, forever ? nullptr : &ts, nullptr);
            if (r < 0 && errno == ENOSYS) {
                no_pwait2.store(true, std::memory_order_relaxed);
                continue;
            }
        } else {
            const int64_t ms = forever ? -1 : (left.count() + 999999) / 1000000;
            r = ::epoll_wait(pinned, evs, n, static_cast<int>(std::min<int64_t>(ms, INT32_MAX)));
        }
        if (r >= 0 || errno != EINTR) break;
    }
    for (int i = 0; i < r; ++i) {
        out[i].tag = evs[i].data.u32;
        out[i].readable = (evs[i].events & EPOLLIN) != 0;
        out[i].hangup = (evs[i].events & (EPOLLHUP | EPOLLERR)) != 0;
    }
    return r;
}

} // namespace tw
