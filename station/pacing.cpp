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
    Terminate();
}

void PacingThread::Start() {
    std::lock_guard<std::mutex> g(control_);
    TerminateLocked();
    queue_.reopen();
    stop_.reset();
    ended_.reset();
    SetPosition(0);
    running_.store(true);
    thread_ = std::thread([this] { Run(); });
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
    if (thread_.joinable()) thread_.join();
    running_.store(false);
}

bool PacingThread::WaitEnded(std::chrono::nanoseconds limit) {
    if (!running_.load()) return true;
    return ended_.wait_real(limit) == WaitResult::Signalled || !running_.load();
}

void PacingThread::SetPosition(int p) {
    position_.store(p);
    if (hooks_.set_bar) hooks_.set_bar(p);
}

void PacingThread::Run() {
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
    if (finish && !stop_.is_set()) {
        SetPosition(kCycleBarMax);
        if (hooks_.finished) hooks_.finished();
    }
    queue_.close(); // later posts fail: nobody takes them any more
    running_.store(false);
    ended_.set();
}

} // namespace tw::station
