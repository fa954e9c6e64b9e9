#pragma once
// The detection listener: a thread that lists the Qualcomm ports and tells the station about
// every port that has newly appeared. It lists them again whenever the device source changes
// (a device watcher wakes it) and when a port's report is due; only where no watcher can run
// does it list them once a second. An idle listener sleeps.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

namespace detect {

// Window messages sent to the station, with the COM number in wParam and 1 in lParam.
constexpr uint32_t kWmUser = 0x0400;
constexpr uint32_t kMsgPhoneReady = kWmUser + 1; // QDLoader 9008 and 9026 ports
constexpr uint32_t kMsgDiag900E = kWmUser + 4;   // "900E" ports
constexpr uint32_t kMsgDiag9025 = kWmUser + 5;   // "9025" ports

constexpr int kKnownPorts = 48;
// A new port is reported this long after it was first seen, so that its driver is ready when the
// station opens it; ports seen together are reported together.
constexpr int kReportWaitMs = 3000;
constexpr int kPollPeriodMs = 1000;

} // namespace detect

// Stands in for SendMessage to the main window: runs synchronously on the listener's thread.
using MessageSink = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// Owned by the station; the listener uses only the main window's sink. The station may derive
// from it to carry more.
struct AppInfo {
    MessageSink hMainWnd;
};

class CListener {
  public:
    CListener();
    // Stops a thread still running, so none outlives the library.
    ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    void SetAppInfo(AppInfo* info) { m_pAppInfo.store(info); }
    // True when the thread was started; false when one runs or it cannot be created.
    bool BeginThread();
    // Clears the run flag and waits for the thread to end (looking every 500 ms); 0.
    int Stop();
    bool IsRunning() const { return m_hasThread.load(); }

    static unsigned ThreadProc(void* param);
    // The polling loop; returns 1 when the run flag is cleared.
    int Run();

    // One cycle of the loop: list, forget vanished ports, note new ones, report those first seen
    // kReportWaitMs ago, then sleep until the next report or a device change (without a device
    // watcher: until the next poll or the next report, whichever is first). Used by Run; tests
    // drive it directly after ResetKnownPorts, without a watcher.
    void PollOnce();
    // Listings made by the thread since it started (each wake-up makes one).
    unsigned Listings() const { return m_listings.load(); }
    // Forgets every known port and every port waiting to be reported.
    void ResetKnownPorts();
    const int* KnownPorts() const { return m_knownPorts; }
    // Ports seen but not yet reported.
    size_t PendingPorts() const { return m_pending.size(); }

  private:
    struct Pending {
        int port;
        uint32_t msg;
        tw::clock::Steady::time_point due;
    };

    // Waits until a real deadline, cut short by a stop; false when stopped.
    bool WaitUntil(tw::clock::Steady::time_point deadline);
    void Send(uint32_t msg, int port);

    std::atomic<AppInfo*> m_pAppInfo{nullptr};
    std::atomic<bool> m_bRun{false};
    std::atomic<bool> m_hasThread{false}; // the thread handle is present
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    std::mutex m_control; // BeginThread and Stop against each other
    tw::ManualResetEvent m_stopEvent;
    tw::ManualResetEvent m_doneEvent;
    tw::ManualResetEvent m_devicesChanged;  // set by the watcher's sink, and by a stop
    std::atomic<bool> m_eventDriven{false}; // the thread's watcher runs
    std::atomic<unsigned> m_listings{0};
    int m_knownPorts[detect::kKnownPorts];
    std::vector<Pending> m_pending; // in the order first seen; the polling thread's
    bool m_isDiagcom = false;
    bool m_isDiag9025com = false;
};

// The one listener of the process.
CListener& TheListener();

// Stores info and starts the listener: 0 when started, 1 when not (already running, or the thread
// cannot be created; the stored AppInfo is replaced either way).
int BeginDetect(AppInfo* info);
// Stops the listener if it runs and returns 0. Called from the sink itself it only asks the
// thread to end, since waiting there could never finish.
int StopDetect();
