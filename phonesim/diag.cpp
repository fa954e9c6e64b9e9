#include "phonesim/diag.h"

#include <algorithm>
#include <cstring>

namespace phonesim {

namespace {

constexpr size_t kNvLayout = 1 + 2 + kNvDataSize + 2;        // 133
constexpr size_t kSubNvLayout = 4 + 2 + 2 + kNvDataSize + 2; // 138

void error_answer(uint8_t code, const uint8_t* req, size_t n, Bytes& out) {
    out.push_back(code);
    out.insert(out.end(), req, req + n);
}

bool is_sub_nv(const uint8_t* req, size_t n, uint16_t cmd) {
    return n >= 4 && req[0] == kDiagSubsys && req[1] == kSubsysNv && le16(req + 2) == cmd;
}

} // namespace

void DiagResponder::bad_frame(const uint8_t* received, size_t n, Bytes& out) {
    out.clear();
    error_answer(kDiagBadCmd, received, n, out);
}

void DiagResponder::refuse(uint8_t code, const uint8_t* req, size_t n, Bytes& out) {
    out.clear();
    error_answer(code, req, n, out);
}

bool DiagResponder::is_write(const uint8_t* req, size_t n) {
    return (n >= 1 && req[0] == kDiagNvWrite) || is_sub_nv(req, n, 2);
}

bool DiagResponder::nv_target(const uint8_t* req, size_t n, bool& write, uint16_t& item,
                              uint16_t& context) {
    if (n >= 3 && (req[0] == kDiagNvRead || req[0] == kDiagNvWrite)) {
        write = req[0] == kDiagNvWrite;
        item = le16(req + 1);
        context = 0;
        return true;
    }
    if (n >= 8 && (is_sub_nv(req, n, 1) || is_sub_nv(req, n, 2))) {
        write = le16(req + 2) == 2;
        item = le16(req + 4);
        context = le16(req + 6);
        return true;
    }
    return false;
}

DiagResponder::Action DiagResponder::nv_access(const uint8_t* req, size_t n, size_t head,
                                               bool write, uint16_t item, uint16_t context,
                                               Bytes& out, bool fail_write, bool imei_unreadable,
                                               const NvOverride* override) {
    if (override && override->error_packet) {
        error_answer(static_cast<uint8_t>(override->value), req, n, out);
        return Action::None;
    }
    // The answer repeats the request's layout; a request cut short of its status field
    // counts the missing status bytes as zero.
    const uint8_t* data = req + head;
    uint8_t buf[kNvDataSize];
    std::memcpy(buf, data, kNvDataSize);
    uint16_t status;
    Action act = Action::None;
    if (override) {
        status = override->value;
        if (!write && status == kNvDone) nv_.read(item, context, buf);
    } else if (write) {
        if (fail_write) {
            status = kNvFail;
        } else {
            status = nv_.write(item, context, data);
            if (status == kNvDone) act = Action::NvChanged;
        }
    } else if (imei_unreadable && item == kNvImeiItem && nv_.defined(item, context)) {
        status = kNvInactive;
    } else {
        status = nv_.read(item, context, buf);
    }
    out.insert(out.end(), req, req + head);
    out.insert(out.end(), buf, buf + kNvDataSize);
    put_le16(out, status);
    return act;
}

DiagResponder::Action DiagResponder::handle(const uint8_t* req, size_t n, Bytes& out,
                                            bool fail_write, bool imei_unreadable,
                                            const NvOverride* override) {
    out.clear();
    if (n == 0) return Action::None;
    switch (req[0]) {
    case kDiagNvRead:
    case kDiagNvWrite:
        if (n < kNvLayout - 2 || n > kNvLayout) {
            error_answer(kDiagBadLen, req, n, out);
            return Action::None;
        }
        return nv_access(req, n, 3, req[0] == kDiagNvWrite, le16(req + 1), 0, out, fail_write,
                         imei_unreadable, override);
    case kDiagDload:
        if (n != 1) {
            error_answer(kDiagBadLen, req, n, out);
            return Action::None;
        }
        out.push_back(kDiagDload);
        return Action::ToDownload;
    case kDiagSubsys:
        if (is_sub_nv(req, n, 1) || is_sub_nv(req, n, 2)) {
            if (n < kSubNvLayout - 2 || n > kSubNvLayout) {
                error_answer(kDiagBadLen, req, n, out);
                return Action::None;
            }
            return nv_access(req, n, 8, le16(req + 2) == 2, le16(req + 4), le16(req + 6), out,
                             fail_write, imei_unreadable, override);
        }
        if (n >= 4 && req[1] == kSubsysEfs && le16(req + 2) == kEfsSync) {
            // Sequence, then the path with its terminating zero as the last byte.
            const uint8_t* nul =
                n > 6 ? static_cast<const uint8_t*>(std::memchr(req + 6, 0, n - 6)) : nullptr;
            if (!nul || nul != req + n - 1) {
                error_answer(kDiagBadLen, req, n, out);
                return Action::None;
            }
            out.insert(out.end(), req, req + 6);
            put_le32(out, ++sync_token_);
            put_le32(out, 0);
            return Action::None;
        }
        error_answer(kDiagBadCmd, req, n, out);
        return Action::None;
    default:
        error_answer(kDiagBadCmd, req, n, out);
        return Action::None;
    }
}

} // namespace phonesim
