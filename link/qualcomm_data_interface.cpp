#include "link/qualcomm_data_interface.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/debug_sink.h"
#include "platform/port_map.h"

using namespace quillon;

namespace {

// Waits that must not turn into a busy loop when time is scaled far down.
std::chrono::nanoseconds short_wait(int nominal_ms) {
    auto d = tw::clock::scaled(std::chrono::milliseconds{nominal_ms});
    return std::max<std::chrono::nanoseconds>(d, std::chrono::milliseconds{1});
}

void raise_priority() {
    // Above normal where allowed; an unprivileged process keeps its priority.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -1);
}

bool device_gone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

} // namespace

CQualcommDataInterface::CQualcommDataInterface()
    : m_readBuf(new uint8_t[CTransDevice::kMaxReadSize]) {
    SetTag(TAG_QUALCOMM_DATA_INTERFACE);
    for (int& s : m_portSlots)
        s = -1;
    StateClear();
}

CQualcommDataInterface::~CQualcommDataInterface() {
    Shutdown();
    SetTag(0);
}

// ---- state set -------------------------------------------------------------------------

bool CQualcommDataInterface::StateAdd(int value) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    for (int i = 0; i < m_stateCount; ++i) {
        if (m_states[i] == value) return false;
    }
    if (m_stateCount >= kStateSetSize) return false;
    m_states[m_stateCount++] = value;
    return true;
}

bool CQualcommDataInterface::StateAddIfAbsent(int value) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    if (StateHas(value)) return false;
    StateAdd(value);
    return true;
}

bool CQualcommDataInterface::StateRemove(int value) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    bool any = false;
    int out = 0;
    for (int i = 0; i < m_stateCount; ++i) {
        if (m_states[i] == value) {
            any = true;
        } else {
            m_states[out++] = m_states[i];
        }
    }
    m_stateCount = out;
    return any;
}

bool CQualcommDataInterface::StateHas(int value) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    for (int i = 0; i < m_stateCount; ++i) {
        if (m_states[i] == value) return true;
    }
    return false;
}

void CQualcommDataInterface::StateClear() {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    m_stateCount = 0;
}

// ---- port handle slots -----------------------------------------------------------------

void CQualcommDataInterface::SlotAdd(int fd) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    for (int& s : m_portSlots) {
        if (s < 0) {
            s = fd;
            return;
        }
    }
}

void CQualcommDataInterface::SlotRemove(int fd) {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    for (int& s : m_portSlots) {
        if (s == fd) s = -1;
    }
}

void CQualcommDataInterface::CloseAllSlots() {
    int fds[kPortHandleSlots];
    {
        std::lock_guard<CProtectedCritical> g(m_stateLock);
        for (int i = 0; i < kPortHandleSlots; ++i) {
            fds[i] = m_portSlots[i];
            m_portSlots[i] = -1;
        }
    }
    std::unique_lock<std::shared_mutex> io(m_ioLock);
    for (int fd : fds) {
        if (fd < 0) continue;
        if (m_port.load() == fd) m_port.store(-1);
        tw::serial_close(fd);
    }
}

// ---- threads -------------------------------------------------------------------------------

void CQualcommDataInterface::StartThread(ThreadSlot& slot, void (CQualcommDataInterface::*main)()) {
    std::lock_guard<std::mutex> g(m_threadLock);
    slot.done.reset();
    m_liveThreads.fetch_add(1);
    try {
        slot.thread = std::thread([this, main, &slot] {
            raise_priority();
            (this->*main)();
            m_liveThreads.fetch_sub(1);
            slot.done.set();
        });
    } catch (...) {
        m_liveThreads.fetch_sub(1);
        slot.done.set();
        throw;
    }
}

void CQualcommDataInterface::WaitThreadEnd(ThreadSlot& slot) {
    {
        std::lock_guard<std::mutex> g(m_threadLock);
        if (!slot.thread.joinable() || slot.thread.get_id() == std::this_thread::get_id()) return;
    }
    slot.done.wait_ms(-1);
}

void CQualcommDataInterface::JoinAllThreads() {
    for (ThreadSlot* slot : {&m_poller, &m_reader, &m_closeWaiter}) {
        std::thread t;
        {
            std::lock_guard<std::mutex> g(m_threadLock);
            if (slot->thread.joinable() && slot->thread.get_id() != std::this_thread::get_id())
                t = std::move(slot->thread);
        }
        if (t.joinable()) t.join();
    }
}

void CQualcommDataInterface::MarkHungUp() {
    if (!m_hungUp.exchange(true)) tw::debug_output("\nCOM port hung up");
    m_closeEvent.set();
}

CQualcommDataInterface::Chunk CQualcommDataInterface::ReadChunk(int fd, bool hup) {
    std::lock_guard<std::mutex> reading(m_readLock);
    std::shared_lock<std::shared_mutex> io(m_ioLock);
    if (m_port.load() != fd) return Chunk::PortGone;
    // Read what the current frame node has room for. A read that filled the room may have left
    // bytes behind; a shorter one emptied the driver's queue.
    uint8_t* buf = m_readBuf.get();
    bool got_any = false;
    for (;;) {
        const int n = ReadSize(CTransDevice::kMaxReadSize);
        if (n <= 0) return Chunk::NoRoom; // no node free: the bytes stay in the driver for now
        const ssize_t r = ::read(fd, buf, static_cast<size_t>(n));
        if (r > 0) {
            got_any = true;
            OnData(buf, static_cast<int>(r));
            if (r == n) continue;
            // The last bytes before a hang-up have been handed on.
            return hup ? Chunk::HungUp : Chunk::Read;
        }
        if (r < 0 && errno == EINTR) continue;
        if ((r == 0 && hup) || (r < 0 && device_gone(errno))) return Chunk::HungUp;
        // A tty in this mode reads 0 both at end of file and when it is simply empty, so only
        // the hang-up flags (or a failing device) say the other side is gone.
        return got_any ? Chunk::Read : Chunk::Nothing;
    }
}

bool CQualcommDataInterface::CallerHoldsPort() const {
    if (m_callers.load() > 0) return true;
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    return now - m_lastCallerEnd.load() < int64_t{kHandBackMs} * 1000000;
}

void CQualcommDataInterface::ReaderMain() {
    for (;;) {
        const int fd = m_port.load();
        if (fd < 0 || !Check(1) || m_closeEvent.is_set()) break;
        if (CallerHoldsPort()) {
            // Receives read the port themselves while they wait: stay off it meanwhile.
            m_closeEvent.wait(std::chrono::milliseconds{kHandBackMs});
            continue;
        }
        short rev = 0;
        const tw::PortWait w =
            tw::serial_wait(fd, POLLIN, m_closeEvent, std::chrono::nanoseconds{-1}, &rev);
        if (w == tw::PortWait::Closed || w == tw::PortWait::Failed) break;
        if (w == tw::PortWait::Timeout) continue;
        if (w == tw::PortWait::Hangup) {
            MarkHungUp();
            break;
        }
        // One wake-up per readable chunk.
        const Chunk c = ReadChunk(fd, (rev & (POLLHUP | POLLERR)) != 0);
        if (c == Chunk::PortGone) break;
        if (c == Chunk::HungUp) {
            MarkHungUp();
            break;
        }
        // Woken with nothing to read (a receive took the bytes, or a wake no byte explains),
        // or no node free: wait a moment rather than spin on it.
        if (c != Chunk::Read) m_closeEvent.wait(short_wait(kPollerIntervalMs));
    }
}

void CQualcommDataInterface::BeginCaller() {
    m_callers.fetch_add(1);
}

void CQualcommDataInterface::EndCaller() {
    m_lastCallerEnd.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
    m_callers.fetch_sub(1);
}

CQualcommDataInterface::CallerWake
CQualcommDataInterface::WaitOnCaller(std::chrono::steady_clock::time_point deadline, bool& hup) {
    hup = false;
    const int fd = m_port.load();
    if (fd < 0 || !Check(1) || m_closeEvent.is_set()) return CallerWake::Closing;
    if (m_callerSignal.is_set()) {
        m_callerSignal.reset();
        return CallerWake::Signal;
    }
    const int efd = m_closeEvent.acquire();
    if (efd < 0) return CallerWake::Closing;
    const int sfd = m_callerSignal.acquire();
    pollfd p[3] = {{fd, POLLIN, 0}, {efd, POLLIN, 0}, {sfd, POLLIN, 0}};
    const auto left = deadline - std::chrono::steady_clock::now();
    const int r = tw::poll_wait(p, sfd >= 0 ? 3 : 2, std::max(left, left.zero()));
    m_callerSignal.release();
    m_closeEvent.release();
    if (r < 0 || p[1].revents != 0 || (p[0].revents & POLLNVAL)) return CallerWake::Closing;
    if (r == 0) return CallerWake::Timeout;
    if (p[0].revents != 0) {
        hup = (p[0].revents & (POLLHUP | POLLERR)) != 0;
        return CallerWake::Readable;
    }
    m_callerSignal.reset();
    return CallerWake::Signal;
}

void CQualcommDataInterface::DiscardUnreadLocked() {
    std::shared_lock<std::shared_mutex> io(m_ioLock);
    const int fd = m_port.load();
    if (fd >= 0) tw::serial_purge_input(fd);
}

void CQualcommDataInterface::ReadOnCaller(bool hup) {
    const int fd = m_port.load();
    if (fd >= 0 && ReadChunk(fd, hup) == Chunk::HungUp) MarkHungUp();
}

void CQualcommDataInterface::CloseWaiterMain() {
    m_closeEvent.wait(std::chrono::nanoseconds{-1});
    StateAdd(STATE_CLOSE_WAITER);
    if (!StateHas(STATE_TEARDOWN)) Teardown(1);
    StateRemove(STATE_CLOSE_WAITER);
}

void CQualcommDataInterface::PollerMain() {
    // Every way the port stops being open sets the close event first (a close, a teardown, a
    // hang-up) or removes it, so the poller sleeps on the event alone while the link is open and
    // idle. Once it is set, the port is gone within moments: the short naps cover only that.
    while (Check(1)) {
        if (m_closeEvent.is_set()) {
            std::this_thread::sleep_for(short_wait(kPollerIntervalMs));
        } else {
            m_closeEvent.wait(std::chrono::nanoseconds{-1});
        }
    }
    StateAdd(STATE_POLLER_CLEANUP);
    if (Check(1)) Reserved10(0);
    if (!StateHas(STATE_CLOSING)) Close(1);
    StateRemove(STATE_POLLER_CLEANUP);
    ReleaseHandles();
}

// ---- open, configure, close ----------------------------------------------------------------

bool CQualcommDataInterface::Check(int kind) {
    if (kind == 0) return Tag() == TAG_QUALCOMM_DATA_INTERFACE;
    if (kind != 1) return false;
    const bool open = m_port.load() >= 0 && m_closeEvent.exists() && !m_hungUp.load();
    if (open) m_opened.store(1);
    return open;
}

int CQualcommDataInterface::Open(int kind, int port, int reserved, PortHandle& handleOut) {
    if (port < 1) return ERR_BAD_PORT_NUMBER;
    if (Check(1)) return 0;
    tw::SerialPortInfo info;
    tw::port_for_com(port, info);
    return OpenPath(kind, port, reserved, info.path, info.diag, handleOut);
}

void CQualcommDataInterface::CollectLeftovers() {
    // Threads of an earlier session (a hang-up, a failed open) end once the close event is set.
    m_closeEvent.set();
    JoinAllThreads();
    CloseAllSlots();
    std::unique_lock<std::shared_mutex> io(m_ioLock);
    const int fd = m_port.exchange(-1);
    if (fd >= 0) tw::serial_close(fd);
}

int CQualcommDataInterface::OpenPath(int kind, int port, int reserved, const std::string& path,
                                     bool diag, PortHandle& handleOut) {
    if (port < 1) return ERR_BAD_PORT_NUMBER;
    if (Check(1)) return 0;
    if (m_port.load() >= 0) Close(0);
    CollectLeftovers();
    m_hungUp.store(false);
    m_pollerStarted.store(false);
    StateClear();

    if (!m_closeEvent.create() || !m_callerSignal.create()) return Teardown(ERR_OPEN_FAILED);

    int error = 0;
    const int fd = tw::serial_open(path, error);
    handleOut = fd >= 0 ? static_cast<PortHandle>(fd) : INVALID_PORT_HANDLE;
    if (fd < 0) {
        tw::debug_printf("\nCreate File Error, Error is %d", error);
        CloseAllSlots();
        if (error == ERR_PORT_IN_USE) {
            Teardown(ERR_OPEN_FAILED);
            return ERR_PORT_IN_USE;
        }
        return Teardown(ERR_OPEN_FAILED);
    }
    SlotAdd(fd);
    m_port.store(fd);

    if (!ConfigurePort()) {
        // The caller must not keep a descriptor that is about to be closed.
        handleOut = INVALID_PORT_HANDLE;
        return Teardown(ERR_OPEN_FAILED);
    }
    Check(1);
    StateClear();

    try {
        if (diag) {
            StartThread(m_poller, &CQualcommDataInterface::PollerMain);
            m_pollerStarted.store(true);
        }
        StartThread(m_reader, &CQualcommDataInterface::ReaderMain);
        StartThread(m_closeWaiter, &CQualcommDataInterface::CloseWaiterMain);
    } catch (...) {
        handleOut = INVALID_PORT_HANDLE;
        return Teardown(ERR_OPEN_FAILED);
    }
    return OnOpened(kind, port, reserved);
}

bool CQualcommDataInterface::ConfigurePort() {
    if (!Check(1)) return true;
    bool ok = false;
    {
        std::shared_lock<std::shared_mutex> io(m_ioLock);
        const int fd = m_port.load();
        if (fd < 0) return true;
        tw::LineSettings line;
        {
            std::lock_guard<CProtectedCritical> g(m_stateLock);
            line = m_line;
        }
        ok = tw::serial_purge(fd) && tw::serial_configure(fd, line);
    }
    if (!ok) {
        Close(ERR_CONFIG_FAILED);
        return false;
    }
    return true;
}

int CQualcommDataInterface::SetOption(int id, const void* value) {
    if (id != OPTION_LINE_SETTINGS || !value) return 0;
    const auto* s = static_cast<const LINE_SETTINGS*>(value);
    {
        std::lock_guard<CProtectedCritical> g(m_stateLock);
        m_line.baud = s->baudRate;
        m_line.byte_size = s->byteSize;
        m_line.parity = s->parity;
        m_line.stop_bits = s->stopBits;
    }
    if (Check(1) && !ConfigurePort()) return ERR_CONFIG_FAILED;
    return 0;
}

int CQualcommDataInterface::Close(int code) {
    if (!Check(1)) return ERR_PORT_NOT_OPEN;
    if (StateHas(STATE_CLOSING)) return 0;
    StateAdd(STATE_CLOSING);
    m_closeEvent.set();
    WaitThreadEnd(m_closeWaiter);
    code = OnClosed(code);
    StateRemove(STATE_CLOSING);
    ReleaseHandles();
    return code;
}

int CQualcommDataInterface::Teardown(int code) {
    if (!StateAddIfAbsent(STATE_TEARDOWN)) return 0;
    m_closeEvent.set();
    {
        // Waits for a writer or a reader chunk in progress; both wake on the close event.
        std::unique_lock<std::shared_mutex> io(m_ioLock);
        const int fd = m_port.exchange(-1);
        if (fd >= 0) {
            SlotRemove(fd);
            tw::serial_purge(fd);
            tw::serial_close(fd);
        }
    }
    WaitThreadEnd(m_reader);
    if (!StateHas(STATE_POLLER_CLEANUP)) WaitThreadEnd(m_poller);
    code = OnClosed(code);
    StateRemove(STATE_TEARDOWN);
    ReleaseHandles();
    return code;
}

void CQualcommDataInterface::ReleaseHandles() {
    std::lock_guard<CProtectedCritical> g(m_stateLock);
    m_closeEvent.close();
    m_callerSignal.close();
}

void CQualcommDataInterface::Shutdown() {
    if (Check(1)) Close(0);
    CollectLeftovers();
    m_closeEvent.close();
    m_callerSignal.close();
}

// ---- writing -------------------------------------------------------------------------------

int CQualcommDataInterface::RawWrite(const uint8_t* data, int len) {
    return WriteBytes(data, len, false);
}

int CQualcommDataInterface::WriteBytes(const uint8_t* data, int len, bool pad) {
    if (!Check(1)) return Teardown(ERR_PORT_NOT_OPEN);
    if (len < 0 || (!data && len > 0)) len = 0;
    // A flag: to any frame decoder an extra flag is an empty frame, dropped unseen, so even a
    // frame sent without an opening flag right after it stays intact.
    static const uint8_t kPad = 0x7E;
    std::shared_lock<std::shared_mutex> io(m_ioLock);
    const int fd = m_port.load();
    if (fd < 0) return 0;
    const size_t total = static_cast<size_t>(len) + (pad ? 1 : 0);
    const auto pass_timeout = tw::clock::scaled_timeout(std::chrono::milliseconds{kWriteTimeoutMs});
    size_t pos = 0;
    int empty_passes = 0;
    while (pos < total) {
        const uint8_t* p = &kPad;
        size_t n = 1;
        if (pos < static_cast<size_t>(len)) {
            p = data + pos;
            n = static_cast<size_t>(len) - pos;
        }
        const ssize_t w = ::write(fd, p, n);
        if (w > 0) {
            pos += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) {
            // The driver refused the bytes; a vanished device also ends the link.
            if (device_gone(errno)) MarkHungUp();
            break;
        }
        if (w == 0) {
            if (++empty_passes > kMaxEmptyWritePasses) break;
            continue;
        }
        // Pending: wait for room in the driver or for the close event.
        const tw::PortWait r = tw::serial_wait(fd, POLLOUT, m_closeEvent, pass_timeout);
        if (r == tw::PortWait::Ready) continue;
        if (r == tw::PortWait::Timeout) {
            if (++empty_passes > kMaxEmptyWritePasses) break;
            continue;
        }
        if (r == tw::PortWait::Hangup) MarkHungUp();
        break;
    }
    return static_cast<int>(pos);
}
