#pragma once
// A set of descriptors a thread sleeps on (epoll). Descriptors stay registered from one wait to
// the next, so a wait neither registers them again nor asks each one whether it is ready: for a
// tty that question waits for the kernel's tty worker to finish whatever it is doing when the tty
// holds nothing to read, which right after it delivered an answer it usually still is.
// A descriptor leaves the set when its file is closed. Like PollEvent, the set is released only
// once no waiter pins it, so a descriptor number is never waited on after it could be reused.
#include <chrono>
#include <cstdint>
#include <mutex>

namespace tw {

class WaitSet {
  public:
    struct Ready {
        uint32_t tag = 0;
        bool readable = false;
        bool hangup = false; // hung up or failed
    };

    WaitSet() = default;
    ~WaitSet();
    WaitSet(const WaitSet&) = delete;
    WaitSet& operator=(const WaitSet&) = delete;

    // An empty set (one not yet released is kept, with what it holds). False when none could be
    // had.
    bool create();
    // The set is gone for new waits; its descriptor is released once no waiter pins it.
    void close();
    // Watches fd for input under tag (a descriptor already in the set takes the new tag). An
    // edge-triggered descriptor is reported once per arrival of input, not for as long as input
    // is there: its reader must read it empty, or remember that it did not.
    bool add(int fd, uint32_t tag, bool edge = false);
    // Pins the set for a wait and returns its descriptor (-1 when the set is gone); every pin
    // is paired with a release.
    int acquire();
    void release();
    // Waits on a pinned set until deadline (time_point::max(): for ever), restarted after
    // signals. The number of ready descriptors written to out (at most max), 0 when the deadline
    // passed, -1 on error.
    static int wait(int pinned, std::chrono::steady_clock::time_point deadline, Ready* out,
                    int max);

  private:
    void close_fd_locked();

    std::mutex m_;
    int fd_ = -1;
    bool exists_ = false;
    int users_ = 0;
};

} // namespace tw
