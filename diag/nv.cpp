#include "diag/nv.h"

#include <cstdio>
#include <cstring>

namespace diag {
namespace {

// The command and item an NV request, or the reply that repeats its head, names.
struct NvHead {
    uint16_t command; // 0x26, 0x27, or 0x4B00 with the subsystem command
    uint16_t item;
};

bool HeadOf(const uint8_t* p, int n, NvHead& h) {
    if (n >= 3 && (p[0] == kCmdNvRead || p[0] == kCmdNvWrite)) {
        h = {p[0], GetU16(p + 1)};
        return true;
    }
    if (n >= 6 && p[0] == kCmdSubsystem && p[1] == kSubsysNv && p[3] == 0 &&
        (p[2] == kNvReadExt || p[2] == kNvWriteExt)) {
        h = {static_cast<uint16_t>(kCmdSubsystem << 8 | p[2]), GetU16(p + kNvSimItemOffset)};
        return true;
    }
    return false;
}

bool IsErrorPacket(uint8_t code) {
    return code == kDiagErrBadCmd || code == kDiagErrBadParams || code == kDiagErrBadLen ||
           code == kDiagErrBadMode || code == kDiagErrLocked;
}

uint16_t BuildSubsysNv(uint16_t subcmd, uint16_t item, const uint8_t* data, Request& out) {
    out.fill(0);
    out[0] = kCmdSubsystem;
    out[1] = kSubsysNv;
    PutU16(&out[2], subcmd);
    PutU16(&out[kNvSimItemOffset], item);
    PutU16(&out[kNvSimContextOffset], kSim1Context);
    if (data) std::memcpy(&out[kNvSimDataOffset], data, kNvDataSize);
    return kNvSimRequestLength;
}

} // namespace

uint16_t BuildNvRead(uint16_t item, Request& out) {
    out.fill(0);
    out[0] = kCmdNvRead;
    PutU16(&out[1], item);
    return kNvRequestLength;
}

uint16_t BuildNvReadSim1(uint16_t item, Request& out) {
    return BuildSubsysNv(kNvReadExt, item, nullptr, out);
}

uint16_t BuildNvWrite(uint16_t item, const uint8_t* data128, Request& out) {
    out.fill(0);
    out[0] = kCmdNvWrite;
    PutU16(&out[1], item);
    std::memcpy(&out[kNvDataOffset], data128, kNvDataSize);
    return kNvRequestLength;
}

uint16_t BuildNvWriteSim1(uint16_t item, const uint8_t* data128, Request& out) {
    return BuildSubsysNv(kNvWriteExt, item, data128, out);
}

uint16_t BuildCloseRequest(Request& out) {
    out.fill(0);
    static constexpr uint8_t kClose[kCloseRequestLength] = {0x4B, 0x13, 0x30, 0x00, 0x00,
                                                            0x00, 0x2F, 0x00, 0x00};
    std::memcpy(out.data(), kClose, sizeof kClose);
    return kCloseRequestLength;
}

const uint8_t* AnswerData(NvKind k, const uint8_t* a) {
    return a + (k == NvKind::Main ? kNvDataOffset : kNvSimDataOffset);
}

bool IsNvReadReply(NvKind k, const uint8_t* a, uint16_t item) {
    if (k == NvKind::Main) return a[0] == kCmdNvRead && GetU16(a + 1) == item;
    return a[0] == kCmdSubsystem && a[1] == kSubsysNv && GetU16(a + 2) == kNvReadExt &&
           GetU16(a + kNvSimItemOffset) == item;
}

bool IsNvWriteReply(NvKind k, const uint8_t* a, uint16_t item) {
    if (k == NvKind::Main) return a[0] == kCmdNvWrite && GetU16(a + 1) == item;
    return a[0] == kCmdSubsystem && a[1] == kSubsysNv && GetU16(a + 2) == kNvWriteExt &&
           GetU16(a + kNvSimItemOffset) == item;
}

uint16_t AnswerStatus(NvKind k, const uint8_t* a) {
    return GetU16(a + (k == NvKind::Main ? kNvStatusOffset : kNvSimStatusOffset));
}

std::string NvStatusName(uint16_t status) {
    switch (status) {
    case kNvDone:
        return "done";
    case kNvBusy:
        return "busy";
    case 2:
        return "bad command";
    case 3:
        return "NV full";
    case 4:
        return "fail";
    case kNvInactive:
        return "inactive";
    case 6:
        return "bad parameter";
    case kNvReadOnly:
        return "read-only";
    case kNvBadItem:
        return "unknown item";
    case 9:
        return "no memory";
    case 10:
        return "not allocated";
    }
    return "status " + std::to_string(status);
}

std::string DiagErrorName(uint8_t code) {
    switch (code) {
    case kDiagErrBadCmd:
        return "bad command";
    case kDiagErrBadParams:
        return "bad parameters";
    case kDiagErrBadLen:
        return "bad length";
    case kDiagErrBadMode:
        return "bad mode";
    case kDiagErrLocked:
        return "security locked";
    }
    return "";
}

std::string DescribeAnswer(const uint8_t* a) {
    std::string name = DiagErrorName(a[0]);
    if (!name.empty()) return "the error packet \"" + name + "\"";
    char hex[40];
    std::snprintf(hex, sizeof hex, "%02x %02x %02x %02x %02x %02x", a[0], a[1], a[2], a[3], a[4],
                  a[5]);
    return std::string("an answer that is no reply to it (") + hex + " ...)";
}

bool AnswersAnotherRequest(const uint8_t* request, uint16_t length, const uint8_t* answer, int n) {
    if (!answer || n < 1) return false;
    // An error packet carries the request it refuses after its code.
    const bool error = IsErrorPacket(answer[0]);
    NvHead a{};
    if (!HeadOf(answer + (error ? 1 : 0), n - (error ? 1 : 0), a)) return false;
    NvHead r{};
    if (!request || !HeadOf(request, length, r)) return true;
    return a.command != r.command || a.item != r.item;
}

NvKind RecordKind(const uint8_t* area) {
    return area[0] == kCmdNvWrite ? NvKind::Main : NvKind::Sim1;
}

uint16_t RecordItem(const uint8_t* area) {
    return GetU16(area + (RecordKind(area) == NvKind::Main ? 1 : kNvSimItemOffset));
}

const uint8_t* RecordData(const uint8_t* area) {
    return area + (RecordKind(area) == NvKind::Main ? kNvDataOffset : kNvSimDataOffset);
}

std::string ItemName(NvKind k, uint16_t item) {
    return std::string(k == NvKind::Main ? "NV item " : "NV item (SIM 1) ") + std::to_string(item);
}

} // namespace diag
