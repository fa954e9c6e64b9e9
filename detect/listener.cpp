#include "detect/listener.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "detect/port_enum.h"
#include "engine/debug_out.h"
#include "platform/clock.h"

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
        return 0;
    }
    std::lock_guard<std::mutex> g(m_control);
    if (m_hasThread.load()) {
        m_bRun.store(false);
        m_stopEvent.set();
        while (m_hasThread.load())
            m_doneEvent.wait_real(tw::clock::scaled(std::chrono::milliseconds(500)));
    }
    if (m_thread.joinable()) m_thread.join();
    return 0;
}

unsigned CListener::ThreadProc(void* param) {
    return static_cast<unsigned>(static_cast<CListener*>(param)->Run());
}

bool CListener::Wait(int nominal_ms) {
    return m_stopEvent.wait_real(tw::clock::scaled(std::chrono::milliseconds(nominal_ms))) ==
           tw::WaitResult::Timeout;
}

void CListener::Send(uint32_t msg, int port) {
    AppInfo* info = m_pAppInfo.load();
    if (info && info->hMainWnd) info->hMainWnd(msg, static_cast<uintptr_t>(port), 1);
}

void CListener::PollOnce() {
    char list[1024] = {};
    GetPhone(list, sizeof list, &m_isDiagcom, &m_isDiag9025com);
    if (list[0] == '\0') ResetKnownPorts(); // every port is forgotten

    std::string_view all(list);
    std::string_view rest = all;
    while (!rest.empty() && !m_stopEvent.is_set()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        // A friendly name holding a "," splits its item; the piece after it names no port.
        if (item.substr(0, 3) != "COM") continue;
        int port = std::atoi(std::string(item.substr(3)).c_str());
        if (port <= 0) continue;

        // Forget ports whose text no longer occurs in the list (as text: COM1 stays while
        // COM12 is listed).
        for (int& p : m_knownPorts)
            if (p != -1 && all.find("COM" + std::to_string(p)) == std::string_view::npos) p = -1;

        bool known = false;
        for (int p : m_knownPorts)
            known = known || p == port;
        if (known) continue;
        for (int& p : m_knownPorts)
            if (p == -1) {
                p = port;
                break;
            } // a full table reports the port without keeping it

        uint32_t msg = kMsgPhoneReady;
        if (item.find("900E") != std::string_view::npos)
            msg = kMsgDiag900E;
        else if (item.find("9025") != std::string_view::npos)
            msg = kMsgDiag9025;
        if (!Wait(kReportWaitMs)) break; // stopped: the station no longer listens
        Send(msg, port);
        if (msg != kMsgPhoneReady) m_isDiagcom = m_isDiag9025com = false;
    }
    Wait(kPollPeriodMs);
    m_isDiagcom = m_isDiag9025com = false;
    CountListenerLoop();
}

int CListener::Run() {
    ResetKnownPorts();
    while (m_bRun.load())
        PollOnce();
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
