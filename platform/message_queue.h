#pragma once
// A thread's message queue, standing in for thread messages: any thread posts, the owner takes
// them in order with a blocking get or looks without blocking. Closing the queue ends a blocked
// get at once (a stop), and every later post fails as a post to an ended thread does.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace tw {

// The three words of a thread message.
struct ThreadMessage {
    uint32_t id = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

template <typename T> class MessageQueue {
  public:
    MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // False when the queue is closed (nobody will take the message).
    bool post(T message) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (closed_) return false;
            q_.push_back(std::move(message));
        }
        cv_.notify_one();
        return true;
    }

    // Waits for the next message; false once the queue is closed (messages still queued are
    // dropped: a stopped thread takes nothing more).
    bool get(T& out) {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return closed_ || !q_.empty(); });
        if (closed_) return false;
        out = std::move(q_.front());
        q_.pop_front();
        return true;
    }

    // As get, giving up after a real duration; nullopt on time-out or when closed.
    std::optional<T> get_for(std::chrono::nanoseconds d) {
        std::unique_lock<std::mutex> g(m_);
        if (!cv_.wait_for(g, d, [&] { return closed_ || !q_.empty(); }) || closed_)
            return std::nullopt;
        T out = std::move(q_.front());
        q_.pop_front();
        return out;
    }

    // Takes the next message without waiting; false when there is none or the queue is closed.
    bool peek(T& out) {
        std::lock_guard<std::mutex> g(m_);
        if (closed_ || q_.empty()) return false;
        out = std::move(q_.front());
        q_.pop_front();
        return true;
    }

    // Ends every blocked get and refuses later posts.
    void close() {
        {
            std::lock_guard<std::mutex> g(m_);
            closed_ = true;
            q_.clear();
        }
        cv_.notify_all();
    }

    // An empty, open queue again (a thread started anew).
    void reopen() {
        std::lock_guard<std::mutex> g(m_);
        closed_ = false;
        q_.clear();
    }

    bool closed() const {
        std::lock_guard<std::mutex> g(m_);
        return closed_;
    }
    size_t size() const {
        std::lock_guard<std::mutex> g(m_);
        return q_.size();
    }

  private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<T> q_;
    bool closed_ = false;
};

using ThreadMessageQueue = MessageQueue<ThreadMessage>;

} // namespace tw
