#include "link/trans_service.h"

#include <cstring>

#include "link/debug_log.h"
#include "platform/clock.h"
#include "platform/debug_sink.h"

CTransService::CTransService() {
    m_lastActivity.store(0);
    m_enabled.store(1);
}

CTransService::~CTransService() {
    // The threads call back into this object; they end while its overrides still exist.
    Shutdown();
}

bool CTransService::Check(int kind) {
    return m_enabled.load() ? CQualcommDataInterface::Check(kind) : false;
}

int CTransService::RawWrite(const uint8_t* data, int len) {
    if (!m_enabled.load()) return 0;
    if (len < 0) len = 0;
    // A full staging chunk that does not end in a flag is the middle of a frame: a byte added
    // there would land inside the frame.
    const bool mid_frame = len == quillon::kStagingSize && data && data[len - 1] != 0x7E;
    const bool pad = (len % 64) == 0 && !mid_frame;
    return WriteBytes(data, len, pad);
}

namespace {

// The phone's DIAG decoder takes the raw "AT$QCDMG\r" a port open sends for a frame of its own,
// finds its FCS wrong and answers with the bad-command code and the bytes it received (with or
// without the last ones it took for the FCS). That answer belongs to no request.
bool is_answer_to_at_line(const uint8_t* data, int len) {
    static constexpr char kLine[] = "AT$QCDMG\r";
    constexpr int kLineLen = static_cast<int>(sizeof kLine - 1);
    constexpr uint8_t kBadCommand = 0x13;
    if (len < 7 || len > 1 + kLineLen || data[0] != kBadCommand) return false;
    return std::memcmp(data + 1, kLine, static_cast<size_t>(len - 1)) == 0;
}

} // namespace

int CTransService::FilterFrame(int kind, uint8_t* data, int len) {
    if (kind == 0) return len;
    if (data && is_answer_to_at_line(data, len)) {
        tw::debug_output("\nthe phone's error answer to AT$QCDMG dropped");
        return 0;
    }
    return pctsdebugfilter("TransService.log", reinterpret_cast<char*>(data), len);
}

namespace {
// Set while this thread decodes on behalf of its own waiting receive: the frames it queues need
// no signal.
thread_local bool t_receiving = false;
} // namespace

int CTransService::OnFrameQueued() {
    CTransmitHdlc::OnFrameQueued();
    if (!t_receiving && CallerWaiting()) SignalCaller();
    return 0;
}

int CTransService::Receive(uint8_t* buffer, int len) {
    uint32_t timeout = 0;
    GetOverlapTimeout(timeout);
    if (timeout == 0 || QueuedFrames() > 0 || !Check(1)) return TakeFrame(buffer, len);
    BeginCaller();
    const auto deadline = tw::clock::deadline_after_ms(timeout);
    int r = quillon::ERR_RX_TIMEOUT;
    for (;;) {
        if (QueuedFrames() > 0) {
            r = TakeFrame(buffer, len);
            break;
        }
        bool hup = false;
        const CallerWake w = WaitOnCaller(deadline, hup);
        if (w == CallerWake::Closing) {
            // The frame wait sees a closing port through to its result.
            r = TakeFrame(buffer, len);
            break;
        }
        if (w == CallerWake::Timeout) {
            r = QueuedFrames() > 0 ? TakeFrame(buffer, len) : quillon::ERR_RX_TIMEOUT;
            break;
        }
        if (w == CallerWake::Readable) {
            t_receiving = true;
            ReadOnCaller(hup);
            t_receiving = false;
        }
    }
    EndCaller();
    return r;
}

int CTransService::CleanReceive() {
    std::lock_guard<std::mutex> reading(m_readLock);
    DiscardUnreadLocked();
    return ClearReceive(1);
}

int CTransService::Close(int code) {
    if (!m_enabled.load()) return 0;
    // Before the port goes: a receive waiting on it ends now, and a write it cuts short is
    // reported as the failure it is.
    SetPortClosed(true);
    return CQualcommDataInterface::Close(code);
}

int CTransService::SetOption(int id, const void* value) {
    return m_enabled.load() ? CQualcommDataInterface::SetOption(id, value) : 0;
}

int CTransService::OnOpened(int kind, int port, int reserved) {
    ClearReceive(1);
    SetPortClosed(false);
    m_lastActivity.store(static_cast<uint32_t>(tw::clock::tick_ms()));
    return m_enabled.load() ? CQualcommDataInterface::OnOpened(kind, port, reserved) : 0;
}

int CTransService::OnClosed(int code) {
    ClearReceive(1);
    // A receive waiting for a frame that can no longer come ends now.
    SetPortClosed(true);
    return m_enabled.load() ? CQualcommDataInterface::OnClosed(code) : code;
}

int CTransService::ReadSize(int count) {
    return ReceiveSpace(count);
}

int CTransService::OnData(const uint8_t* data, int len) {
    m_lastActivity.store(static_cast<uint32_t>(tw::clock::tick_ms()));
    return DecodeBytes(data, len);
}

int CTransService::Open(int kind, int port, int reserved, PortHandle& handleOut) {
    if (kind != 1) return 0;
    m_enabled.store(1);
    return CQualcommDataInterface::Open(kind, port, reserved, handleOut);
}

int CTransService::OpenPath(int kind, int port, int reserved, const std::string& path, bool diag,
                            PortHandle& handleOut) {
    if (kind != 1) return 0;
    m_enabled.store(1);
    return CQualcommDataInterface::OpenPath(kind, port, reserved, path, diag, handleOut);
}
