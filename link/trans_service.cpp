#include "link/trans_service.h"

#include "link/debug_log.h"
#include "platform/clock.h"

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

int CTransService::FilterFrame(int kind, uint8_t* data, int len) {
    if (kind == 0) return len;
    return pctsdebugfilter("TransService.log", reinterpret_cast<char*>(data), len);
}

int CTransService::Close(int code) {
    return m_enabled.load() ? CQualcommDataInterface::Close(code) : 0;
}

int CTransService::SetOption(int id, const void* value) {
    return m_enabled.load() ? CQualcommDataInterface::SetOption(id, value) : 0;
}

int CTransService::OnOpened(int kind, int port, int reserved) {
    ClearReceive(1);
    m_lastActivity.store(static_cast<uint32_t>(tw::clock::tick_ms()));
    return m_enabled.load() ? CQualcommDataInterface::OnOpened(kind, port, reserved) : 0;
}

int CTransService::OnClosed(int code) {
    ClearReceive(1);
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
