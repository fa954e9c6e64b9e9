#include "diag/nv.h"

#include <cstring>

namespace diag {
namespace {

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

uint16_t AnswerStatus(NvKind k, const uint8_t* a) {
    return GetU16(a + (k == NvKind::Main ? kNvStatusOffset : kNvSimStatusOffset));
}

} // namespace diag
