#include "link/quillon.h"

#include <cstring>
#include <new>

#include "link/trans_service.h"

namespace {

constexpr uint32_t kReadTimeoutMs = 60000;
constexpr int kDefaultBaud = 115200;
// Each attempt waits up to 60 s for the phone's echo.
constexpr int kHandshakeAttempts = 3;
// The flag after the line ends it as a frame of its own to the phone's decoder, so the first
// request, which DIAG sends without an opening flag, starts clean.
constexpr char kAtDiagMode[] = "AT$QCDMG\r\x7E";
constexpr char kLoopText[] = "@PHONE_MANAGE_LOOP";

bool contains(const uint8_t* data, int n, const char* text) {
    const size_t tl = std::strlen(text);
    if (n < 0 || static_cast<size_t>(n) < tl) return false;
    for (size_t i = 0; i + tl <= static_cast<size_t>(n); ++i) {
        if (std::memcmp(data + i, text, tl) == 0) return true;
    }
    return false;
}

void send_at(CTransService* s) {
    s->RawWrite(reinterpret_cast<const uint8_t*>(kAtDiagMode),
                static_cast<int>(sizeof kAtDiagMode - 1));
}

} // namespace

CQuillonDll::CQuillonDll(int port, PortHandle& handle, int baud) {
    OpenLink(port, handle, baud);
}

CQuillonDll::CQuillonDll(int port, PortHandle& handle) {
    OpenLink(port, handle, kDefaultBaud);
    if (handle != INVALID_PORT_HANDLE && handle != PORT_HANDLE_IN_USE) LoopbackHandshake();
}

CQuillonDll::~CQuillonDll() {
    if (!m_pService) return;
    m_pService->Close(0);
    delete m_pService;
    m_pService = nullptr;
}

void CQuillonDll::OpenLink(int port, PortHandle& handle, int baud) {
    handle = INVALID_PORT_HANDLE;
    try {
        m_pService = new CTransService();
    } catch (...) {
        m_pService = nullptr;
        return;
    }
    LINE_SETTINGS line{baud, 8, 0, 0};
    m_pService->SetOption(OPTION_LINE_SETTINGS, &line);
    const int r = m_pService->Open(1, port, 0, handle);
    if (r == quillon::ERR_PORT_IN_USE) {
        handle = PORT_HANDLE_IN_USE;
        return;
    }
    // Asks the phone's serial function to switch to DIAG mode, whatever kind of port this is.
    if (handle != INVALID_PORT_HANDLE) send_at(m_pService);
}

bool CQuillonDll::LoopbackHandshake() {
    uint8_t packet[32] = {0x7B};
    std::memcpy(packet + 1, kLoopText, sizeof kLoopText);
    uint8_t reply[256];
    for (int attempt = 0; attempt < kHandshakeAttempts; ++attempt) {
        Write(packet, static_cast<int>(sizeof packet));
        const int n = Read(reply, static_cast<int>(sizeof reply));
        if (n > 0 && contains(reply, n, kLoopText)) return true;
        if (!Alive()) return false;
        send_at(m_pService);
    }
    return false;
}

bool CQuillonDll::Alive() {
    if (m_dead.load() || !m_pService) return false;
    if (!m_pService->Check(1)) {
        m_dead.store(true);
        return false;
    }
    return true;
}

int CQuillonDll::Close() {
    if (!m_pService) return quillon::ERR_PORT_NOT_OPEN;
    // Closing wakes the link's threads and a blocked write (the close event) and a waiting
    // receive (the service's close hook), then releases the tty and its lock.
    const int r = m_pService->Close(0);
    return r == quillon::ERR_PORT_NOT_OPEN ? r : 0;
}

int CQuillonDll::Write(const uint8_t* data, int len) {
    if (!Alive()) return 0;
    return m_pService->FrameWrite(data, len);
}

int CQuillonDll::WriteNo7e(const uint8_t* data, int len) {
    if (!Alive()) return 0;
    return m_pService->FrameWriteNo7e(data, len);
}

int CQuillonDll::Read(uint8_t* buffer, int len) {
    return Read(buffer, len, kReadTimeoutMs);
}

int CQuillonDll::Read(uint8_t* buffer, int len, uint32_t timeoutMs) {
    if (!Alive()) return 0;
    uint32_t saved = 0;
    m_pService->GetOverlapTimeout(saved);
    m_pService->SetOverlapTimeout(timeoutMs);
    const int r = m_pService->Receive(buffer, len);
    m_pService->SetOverlapTimeout(saved);
    return r;
}

int CQuillonDll::HdlcReceive(uint8_t* buffer, int len) {
    if (m_dead.load() || !m_pService) return 0;
    return m_pService->Receive(buffer, len);
}

int CQuillonDll::CleanRxBuffer() {
    if (!Alive()) return 0;
    return m_pService->CleanReceive();
}

int CQuillonDll::GetOverlapTimeout(uint32_t& out) {
    if (m_dead.load() || !m_pService) return 0;
    return m_pService->GetOverlapTimeout(out);
}

int CQuillonDll::SetOverlapTimeout(uint32_t ms) {
    if (m_dead.load() || !m_pService) return 0;
    return m_pService->SetOverlapTimeout(ms);
}

CQuillonDll* CreateComm(int port, PortHandle& handle, int baud) {
    handle = INVALID_PORT_HANDLE;
    try {
        return new CQuillonDll(port, handle, baud);
    } catch (...) {
        return nullptr;
    }
}

CQuillonDll* CreateComm(int port, PortHandle& handle) {
    handle = INVALID_PORT_HANDLE;
    try {
        return new CQuillonDll(port, handle);
    } catch (...) {
        return nullptr;
    }
}

void deleteComm(CQuillonDll* link) {
    delete link;
}
