#include "station/pacing.h"

#include "platform/clock.h"
#include "station/debug_line.h"

namespace tw::station {

namespace {
constexpr int kPostAttempts = 20;
constexpr int64_t kStepMs = 1000;
} // namespace

PacingThread::PacingThread(Hooks hooks) : hooks_(std::move(hooks)) {
    queue_.close(); // nothing runs until Start
}

PacingThread::~PacingThread() {
    std::lock_guard<std::mutex> g(control_);
    TerminateLocked();
    // The station has closed slot 1's boxes by now.
    for (Finisher& f : finishers_)
        f.thread.join();
    finishers_.clear();
}

void PacingThread::Start() {
    std::lock_guard<std::mutex> g(control_);
    TerminateLocked();
    queue_.reopen();
    stop_.reset();
    ended_.reset();
    SetPosition(0);
    running_.store(true);
    thread_done_ = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, done = thread_done_] { Run(done); });
}

bool PacingThread::Post(uint32_t msg) {
    for (int i = 0; i < kPostAttempts; ++i)
        if (queue_.post({msg, 0, 0})) return true;
    DebugLine("pacing thread PostThreadMessage failed, message %u", msg);
    return false;
}

void PacingThread::Terminate() {
    std::lock_guard<std::mutex> g(control_);
    TerminateLocked();
}

void PacingThread::TerminateLocked() {
    stop_.set();
    queue_.close();
    bool in_box = false;
    {
        std::lock_guard<std::mutex> g(phase_m_);
        in_box = in_box_;
        in_box_ = false;
    }
    if (thread_.joinable()) {
        if (in_box)
            finishers_.push_back({std::move(thread_), thread_done_});
        else
            thread_.join();
    }
    running_.store(false);
    // Threads whose box has been closed meanwhile.
    std::erase_if(finishers_, [](Finisher& f) {
        if (!f.done->load()) return false;
        f.thread.join();
        return true;
    });
}

bool PacingThread::WaitEnded(std::chrono::nanoseconds limit) {
    if (!running_.load()) return true;
    return ended_.wait_real(limit) == WaitResult::Signalled || !running_.load();
}

void PacingThread::SetPosition(int p) {
    position_.store(p);
    if (hooks_.set_bar) hooks_.set_bar(p);
}

void PacingThread::Run(std::shared_ptr<std::atomic<bool>> done) {
    ThreadMessage m;
    bool finish = false;
    if (queue_.get(m) && m.id == MSG_PROGRESS_START) {
        while (!finish) {
            if (stop_.wait_real(clock::scaled(std::chrono::milliseconds(kStepMs))) !=
                WaitResult::Timeout)
                break;
            const int p = position_.load();
            if (p <= kCycleBarCreepLimit) SetPosition(p + kCycleBarStep);
            while (queue_.peek(m))
                if (m.id == MSG_PROGRESS_FINISH) finish = true;
        }
    }
    bool show = finish && !stop_.is_set();
    if (show) {
        SetPosition(kCycleBarMax);
        if (hooks_.finished) hooks_.finished();
    }
    {
        // From here on the thread touches nothing a new one uses: it is ended, even while its
        // box is still open. A Terminate before this point means no box.
        std::lock_guard<std::mutex> g(phase_m_);
        queue_.close(); // later posts fail: nobody takes them any more
        running_.store(false);
        ended_.set();
        show = show && !stop_.is_set();
        in_box_ = show;
    }
    if (show && hooks_.box) hooks_.box();
    done->store(true);
}

} // namespace tw::station
