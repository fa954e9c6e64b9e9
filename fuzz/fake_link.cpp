// The link facade without a port (see fake_link.h). Frames are whole or absent: the framing
// and its checks are the HDLC decoder's harness's concern, not this one's.
#include "fuzz/fake_link.h"

#include <algorithm>
#include <cstring>

#include "link/quillon.h"

namespace fakelink {

Script& script() {
    static Script s;
    return s;
}

namespace {
// Frames received for the last request, not yet taken.
std::deque<std::vector<uint8_t>>& pending() {
    static std::deque<std::vector<uint8_t>> p;
    return p;
}

constexpr int kTimedOut = -1303;

int Take(uint8_t* buffer, int len) {
    auto& p = pending();
    if (p.empty()) return kTimedOut;
    std::vector<uint8_t> f = std::move(p.front());
    p.pop_front();
    const int n =
        len >= 1 ? std::min<int>(len, static_cast<int>(f.size())) : static_cast<int>(f.size());
    if (buffer) {
        if (n > 0) std::memcpy(buffer, f.data(), static_cast<size_t>(n));
        if (len > n) std::memset(buffer + n, script().fill, static_cast<size_t>(len - n));
    }
    return n;
}

int Written(const uint8_t* data, int len) {
    if (len < 0) return -1;
    script().requests.emplace_back(data, data + len);
    pending().clear();
    if (!script().answers.empty()) {
        for (auto& f : script().answers.front())
            pending().push_back(std::move(f));
        script().answers.pop_front();
    }
    return len;
}
} // namespace

} // namespace fakelink

CQuillonDll::CQuillonDll(int, PortHandle& handle, int) {
    handle = 1;
}
CQuillonDll::CQuillonDll(int, PortHandle& handle) {
    handle = 1;
}
CQuillonDll::~CQuillonDll() = default;

int CQuillonDll::Write(const uint8_t* data, int len) {
    return fakelink::Written(data, len);
}
int CQuillonDll::WriteNo7e(const uint8_t* data, int len) {
    return fakelink::Written(data, len - 1);
}
int CQuillonDll::Read(uint8_t* buffer, int len) {
    return fakelink::Take(buffer, len);
}
int CQuillonDll::Read(uint8_t* buffer, int len, uint32_t) {
    return fakelink::Take(buffer, len);
}
int CQuillonDll::Close() {
    fakelink::pending().clear();
    return 0;
}
int CQuillonDll::HdlcReceive(uint8_t* buffer, int len) {
    return fakelink::Take(buffer, len);
}
int CQuillonDll::CleanRxBuffer() {
    fakelink::pending().clear();
    return 0;
}
int CQuillonDll::GetOverlapTimeout(uint32_t& out) {
    out = 0;
    return 0;
}
int CQuillonDll::SetOverlapTimeout(uint32_t) {
    return 0;
}

CQuillonDll* CreateComm(int port, PortHandle& handle, int baud) {
    return new CQuillonDll(port, handle, baud);
}
CQuillonDll* CreateComm(int port, PortHandle& handle) {
    return new CQuillonDll(port, handle);
}
void deleteComm(CQuillonDll* link) {
    delete link;
}
