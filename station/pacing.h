#pragma once
// The cycle bar's pacing thread: while slot 1 runs its cycle the 17th bar (0..1200) creeps up
// by 2 every second, stopping at 1102; when the cycle ends it jumps to 1200, slot 1's status
// reads "Update Complete!" and the box "Update complete!Please stop update!" shows.
//
// The box waits for the operator, but the bar is free again as soon as it shows: the thread
// counts as ended, and a later Start (slot 1's next phone) or Terminate leaves the thread in its
// box behind instead of waiting for it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/sync.h"

namespace tw::station {

constexpr uint32_t kWmUser = 0x0400;
constexpr uint32_t MSG_PROGRESS_FINISH = kWmUser + 17; // 1041
constexpr uint32_t MSG_PROGRESS_START = kWmUser + 18;  // 1042

constexpr int kCycleBarMax = 1200;
constexpr int kCycleBarCreepLimit = 1100; // the bar advances while at most this
constexpr int kCycleBarStep = 2;

class PacingThread {
  public:
    struct Hooks {
        std::function<void(int)> set_bar; // the cycle bar's position
        std::function<void()> finished;   // status "Update Complete!"
        std::function<void()> box;        // "Update complete!Please stop update!"
    };
    explicit PacingThread(Hooks hooks);
    ~PacingThread();
    PacingThread(const PacingThread&) = delete;
    PacingThread& operator=(const PacingThread&) = delete;

    // A new thread (ending one still running first); the bar starts from 0.
    void Start();
    // Tried up to 20 times in a row; false when the thread takes no messages (it has ended).
    bool Post(uint32_t msg);
    // Ends the thread at once, without the finish (a failure or a stop); waits for it, unless
    // it only shows its box.
    void Terminate();
    // Waits (real time) for the thread to end by itself; false on time-out.
    bool WaitEnded(std::chrono::nanoseconds limit);
    bool Running() const { return running_.load(); }
    int Position() const { return position_.load(); }
    // Sets the bar (a reset of slot 1 puts it back to 0).
    void SetPosition(int p);

  private:
    struct Finisher { // a thread left behind in its box
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void Run(std::shared_ptr<std::atomic<bool>> done);
    void TerminateLocked();

    Hooks hooks_;
    std::mutex control_; // Start and Terminate, from any thread
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> thread_done_;
    std::vector<Finisher> finishers_; // under control_
    std::mutex phase_m_;              // the thread's move into its box, against Terminate
    bool in_box_ = false;             // under phase_m_
    ThreadMessageQueue queue_;
    ManualResetEvent stop_;
    ManualResetEvent ended_;
    std::atomic<bool> running_{false};
    std::atomic<int> position_{0};
};

} // namespace tw::station
