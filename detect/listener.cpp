#include "detect/listener.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "detect/port_enum.h"
#include "engine/debug_out.h"
#include "platform/clock.h"
#include "platform/device_watcher.h"

using namespace detect;

CListener::CListener() {
    ResetKnownPorts();
}

CListener::~CListener() {
    Stop();
}

void CListener::ResetKnownPorts() {
    for (int& p : m_knownPorts)
        p = -1;
    m_pending.clear();
}

bool CListener::BeginThread() {
    std::lock_guard<std::mutex> g(m_control);
    if (m_hasThread.load()) {
        sondrel::DebugOutput(
            "=====================Out bool CListener::BeginThread()   Return false "
            "2========================");
        return false;
    }
    if (m_thread.joinable()) m_thread.join(); // a thread that ended by itself
    // Set before the thread starts, so a Stop that comes first is never undone by the thread.
    m_bRun.store(true);
    m_stopEvent.reset();
    m_doneEvent.reset();
    m_hasThread.store(true);
    try {
        m_thread = std::thread([this] {
            m_threadId.store(std::this_thread::get_id());
            ThreadProc(this);
        });
    } catch (const std::system_error& e) {
        m_hasThread.store(false);
        m_bRun.store(false);
        sondrel::DebugPrintf("\nerror in %s,on line %d,System ErrorCode:%d. ", __FILE__, __LINE__,
                             e.code().value());
        sondrel::DebugOutput("CListener::BeginThread,_beginthreadex Error!");
        return false;
    }
    m_threadId.store(m_thread.get_id());
    sondrel::DebugPrintf(
        "ThreadProc,ID:%d",
        static_cast<int>(std::hash<std::thread::id>{}(m_thread.get_id()) & 0x7FFFFFFF));
    return true;
}

int CListener::Stop() {
    if (std::this_thread::get_id() == m_threadId.load() && m_hasThread.load()) {
        // From the station's handler on this very thread: the loop ends when the handler returns.
        m_bRun.store(false);
        m_stopEvent.set();
        m_devicesChanged.set();
        return 0;
    }
    std::lock_guard<std::mutex> g(m_control);
    if (m_hasThread.load()) {
        m_bRun.store(false);
        m_stopEvent.set();
        m_devicesChanged.set();
        while (m_hasThread.load())
            m_doneEvent.wait_real(tw::clock::scaled(std::chrono::milliseconds(500)));
    }
    if (m_thread.joinable()) m_thread.join();
    return 0;
}

unsigned CListener::ThreadProc(void* param) {
    return static_cast<unsigned>(static_cast<CListener*>(param)->Run());
}

bool CListener::WaitUntil(tw::clock::Steady::time_point deadline) {
    return m_stopEvent.wait_until(deadline) == tw::WaitResult::Timeout;
}

void CListener::Send(uint32_t msg, int port) {
    AppInfo* info = m_pAppInfo.load();
    if (info && info->hMainWnd) info->hMainWnd(msg, static_cast<uintptr_t>(port), 1);
}

void CListener::PollOnce() {
    using tw::clock::Steady;
    const Steady::time_point start = Steady::now();
    // Before the listing: a change while it runs wakes the next wait.
    const bool event_driven = m_eventDriven.load();
    if (event_driven) m_devicesChanged.reset();
    char list[1024] = {};
    GetPhone(list, sizeof list, &m_isDiagcom, &m_isDiag9025com);
    if (list[0] == '\0') ResetKnownPorts(); // every port is forgotten

    // The listed ports, in order, with the message each would get.
    std::vector<std::pair<int, uint32_t>> listed;
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        // A friendly name holding a "," splits its item; the piece after it names no port.
        if (item.substr(0, 3) != "COM") continue;
        int port = std::atoi(std::string(item.substr(3)).c_str());
        if (port <= 0) continue;
        uint32_t msg = kMsgPhoneReady;
        if (item.find("900E") != std::string_view::npos)
            msg = kMsgDiag900E;
        else if (item.find("9025") != std::string_view::npos)
            msg = kMsgDiag9025;
        listed.emplace_back(port, msg);
    }
    auto is_listed = [&](int port) {
        for (const auto& l : listed)
            if (l.first == port) return true;
        return false;
    };

    // Forget ports whose number is no longer listed (by number: COM1 goes even while COM12 is
    // listed), and never report a port that went before its wait was over.
    for (int& p : m_knownPorts)
        if (p != -1 && !is_listed(p)) p = -1;
    std::erase_if(m_pending, [&](const Pending& w) { return !is_listed(w.port); });

    // Counted from the end of the listing, so no port is reported less than the wait after it
    // was plugged in.
    const Steady::time_point due =
        Steady::now() + tw::clock::scaled(std::chrono::milliseconds(kReportWaitMs));
    for (const auto& [port, msg] : listed) {
        bool seen = false;
        for (int p : m_knownPorts)
            seen = seen || p == port;
        for (const auto& w : m_pending)
            seen = seen || w.port == port;
        if (!seen) m_pending.push_back({port, msg, due});
    }

    // Report every port whose wait is over, in the order they were first seen.
    while (!m_pending.empty() && !m_stopEvent.is_set() && m_pending.front().due <= Steady::now()) {
        const Pending w = m_pending.front();
        m_pending.erase(m_pending.begin());
        for (int& p : m_knownPorts)
            if (p == -1) {
                p = w.port;
                break;
            } // a full table reports the port without keeping it
        Send(w.msg, w.port);
        if (w.msg != kMsgPhoneReady) m_isDiagcom = m_isDiag9025com = false;
    }

    if (event_driven) {
        // Until the next report is due or the devices change; a vanished port is forgotten at
        // the listing its removal wakes.
        if (!m_stopEvent.is_set()) {
            if (m_pending.empty())
                m_devicesChanged.wait_ms(-1);
            else
                m_devicesChanged.wait_until(m_pending.front().due);
        }
    } else {
        Steady::time_point next =
            start + tw::clock::scaled(std::chrono::milliseconds(kPollPeriodMs));
        if (!m_pending.empty()) next = std::min(next, m_pending.front().due);
        WaitUntil(next);
    }
    m_isDiagcom = m_isDiag9025com = false;
    CountListenerLoop();
}

int CListener::Run() {
    ResetKnownPorts();
    m_listings.store(0);
    // Started before the first listing, so no change after it goes unseen. Without a notifier
    // the watcher polls the device source itself and still wakes the listener on a change.
    m_devicesChanged.reset();
    tw::DeviceWatcher watcher([this](const tw::DeviceEvent&) { m_devicesChanged.set(); });
    const bool watching = watcher.start(false);
    if (!watching)
        sondrel::DebugOutput("CListener::Run(): no device watcher; polling once a second");
    m_eventDriven.store(watching);
    while (m_bRun.load()) {
        m_listings.fetch_add(1);
        PollOnce();
    }
    watcher.stop();
    m_eventDriven.store(false);
    sondrel::DebugPrintf("\nDebugInfo in %s,on line %d. ", __FILE__, __LINE__);
    sondrel::DebugOutput("\nCListener::Run(),Detect thread exit!!!\n");
    m_hasThread.store(false); // ends Stop's wait
    m_doneEvent.set();
    return 1;
}

CListener& TheListener() {
    static CListener listener;
    return listener;
}

int BeginDetect(AppInfo* info) {
    CListener& l = TheListener();
    l.SetAppInfo(info);
    return l.BeginThread() ? 0 : 1;
}

int StopDetect() {
    return TheListener().Stop();
}
