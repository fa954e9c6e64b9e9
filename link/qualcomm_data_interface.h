#pragma once
// A phone's COM port: opened by number through the port map, configured with the link's line
// settings, read by a reader thread that hands every chunk to OnData, written in an
// overlapped style, and torn down by a close-waiter thread (plus, on DIAG ports, a poller that
// sleeps on the close event and closes the port once it is no longer open).
// A state set keeps the teardown from running twice or waiting on itself.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "link/trans_device.h"
#include "platform/serial_port.h"
#include "platform/sync.h"

namespace quillon {

constexpr int ERR_CONFIG_FAILED = -1901;
constexpr int ERR_BAD_PORT_NUMBER = -1902;
constexpr int ERR_OPEN_FAILED = -1903;
constexpr int ERR_PORT_IN_USE = 170;

constexpr int kPortHandleSlots = 8;
constexpr int kStateSetSize = 32;
// Members of the state set: which teardown activity is running.
constexpr int STATE_POLLER_CLEANUP = 1;
constexpr int STATE_CLOSE_WAITER = 3;
constexpr int STATE_CLOSING = 4;
constexpr int STATE_TEARDOWN = 5;

constexpr int kWriteTimeoutMs = 200;     // one write pass
constexpr int kMaxEmptyWritePasses = 20; // passes that wrote nothing before a write gives up
// The reader's back-off when it cannot read, and the poller's naps while a teardown finishes.
constexpr int kPollerIntervalMs = 10;
// Real milliseconds without a receive after which the reader thread reads the port again. Not
// scaled: it decides which thread reads, never how long anything waits for the phone.
constexpr int kHandBackMs = 100;

} // namespace quillon

class CQualcommDataInterface : public CTransDevice {
  public:
    CQualcommDataInterface();
    ~CQualcommDataInterface() override;

    // kind 0: the class tag; kind 1: the port is open (a port held, its close event alive, and
    // the line not hung up).
    bool Check(int kind) override;
    int Close(int code) override;
    int RawWrite(const uint8_t* data, int len) override;
    int SetOption(int id, const void* value) override;
    // Maps the COM number to its tty and opens it (OpenPath).
    int Open(int kind, int port, int reserved, PortHandle& handleOut) override;
    // Opens a tty by path: what Open does once the COM number is mapped. diag starts the poller.
    int OpenPath(int kind, int port, int reserved, const std::string& path, bool diag,
                 PortHandle& handleOut);

    // Link threads (reader, close-waiter, poller) that have not yet ended.
    int LiveThreads() const { return m_liveThreads.load(); }
    bool HasPoller() const { return m_pollerStarted.load(); }

  protected:
    // Receiving on the caller's thread. While a receive waits, the thread that waits reads the
    // port itself (ReadOnCaller) instead of being woken by the reader thread, which stays off
    // the port then and takes it back once no receive has run for kHandBackMs: one thread
    // wake-up per answer instead of two. A receive brackets its wait with BeginCaller and
    // EndCaller.
    enum class CallerWake {
        Readable, // the port has bytes (or has hung up): ReadOnCaller
        Signal,   // SignalCaller was called: look at the queue again
        Closing,  // the close event is set or gone
        Timeout,
    };
    void BeginCaller();
    void EndCaller();
    bool CallerWaiting() const { return m_callers.load() > 0; }
    // hup: with Readable, the port reported a hang-up.
    CallerWake WaitOnCaller(std::chrono::steady_clock::time_point deadline, bool& hup);
    // Reads what the port holds into OnData, as the reader thread does; a hang-up marks the
    // link hung up (the close event is then set).
    void ReadOnCaller(bool hup);
    // Wakes a waiting receive (for data that another thread decoded).
    void SignalCaller() { m_callerSignal.set(); }
    // Discards what the driver holds unread, with m_readLock held (nothing is being read or
    // decoded meanwhile). While receives hold the port no thread reads between them, so bytes
    // that arrived before a request would otherwise still be there after its clean-up.
    void DiscardUnreadLocked();

    // One reading thread at a time (the reader or a waiting receive), and its buffer.
    std::mutex m_readLock;

    // The overlapped-style write; pad appends one 0x7E byte after the data.
    int WriteBytes(const uint8_t* data, int len, bool pad);
    // Closes an open port and waits for every link thread; derived destructors call it while
    // their overrides still exist.
    void Shutdown();

    std::atomic<uint32_t> m_lastActivity{0};
    std::atomic<int> m_enabled{1};

  private:
    struct ThreadSlot {
        std::thread thread;
        tw::ManualResetEvent done{true};
    };

    int Teardown(int code);
    bool ConfigurePort();
    void ReleaseHandles();
    void MarkHungUp();
    void CollectLeftovers();

    enum class Chunk { Read, Nothing, NoRoom, HungUp, PortGone };
    // One readable chunk (and what a read that filled the frame node's room left behind) into
    // OnData; hup: the wait reported a hang-up.
    Chunk ReadChunk(int fd, bool hup);
    bool CallerHoldsPort() const;

    void ReaderMain();
    void CloseWaiterMain();
    void PollerMain();
    void StartThread(ThreadSlot& slot, void (CQualcommDataInterface::*main)());
    void WaitThreadEnd(ThreadSlot& slot);
    void JoinAllThreads();

    bool StateAdd(int value);
    bool StateAddIfAbsent(int value); // false when already present
    bool StateRemove(int value);
    bool StateHas(int value);
    void StateClear();

    void SlotAdd(int fd);
    void SlotRemove(int fd);
    void CloseAllSlots();

    std::atomic<int> m_port{-1};
    tw::LineSettings m_line;                    // under m_stateLock
    int m_portSlots[quillon::kPortHandleSlots]; // under m_stateLock
    ThreadSlot m_poller;
    ThreadSlot m_closeWaiter;
    ThreadSlot m_reader;
    std::mutex m_threadLock; // guards the std::thread objects
    tw::PollEvent m_closeEvent;
    int m_states[quillon::kStateSetSize]; // under m_stateLock
    int m_stateCount = 0;
    CProtectedCritical m_stateLock;
    // Shared by users of the port descriptor, exclusive for closing it, so a descriptor number
    // is never used after it could have been reused.
    std::shared_mutex m_ioLock;
    std::atomic<bool> m_hungUp{false};
    std::atomic<int> m_liveThreads{0};
    std::atomic<bool> m_pollerStarted{false};
    std::unique_ptr<uint8_t[]> m_readBuf; // under m_readLock
    std::atomic<int> m_callers{0};
    std::atomic<int64_t> m_lastCallerEnd{0}; // steady clock, ns
    tw::PollEvent m_callerSignal;
};
