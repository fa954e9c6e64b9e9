// DMSS download protocol: the boot ROM's commands that place the flash programmer in memory
// and start it.
#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "engine/packet_util.h"

using namespace sondrel;

namespace {
constexpr uint8_t kDmssAck = 0x02;
constexpr uint8_t kDmssGo = 0x05;
constexpr uint8_t kDmssNop = 0x06;
constexpr uint8_t kDmssParamRequest = 0x07;
constexpr uint8_t kDmssWrite16 = 0x07; // short write: shares its code with the parameter request
constexpr uint8_t kDmssWrite32 = 0x0F;
} // namespace

int Flashboot::DMSS_Nop(const uint8_t* buffer, int length) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (!buffer || length < 1) return RecordError(FB_ERR_DMSS_ARGS);
    PacketBuffer* p = PrepareCommand(kDmssNop, 1, 0);
    if (!p) return RecordError(FB_ERR_DMSS_PACKET);
    p->data[0] = kDmssNop;
    int rc = DMSS_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    DebugOutput("\n NOP_Rsp Successfully !");
    if (p->data[0] != kDmssAck) return RecordError(FB_ERR_DMSS);
    DebugOutput("\n NOP_Rsp Check ACK Successfully !");
    return FB_OK;
}

int Flashboot::DMSS_Parameter_Request(const uint8_t* buffer, int length) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (!buffer || length < 1) return RecordError(FB_ERR_DMSS_ARGS);
    PacketBuffer* p = PrepareCommand(kDmssParamRequest, 1, 0);
    if (!p) return RecordError(FB_ERR_DMSS_PACKET);
    p->data[0] = kDmssParamRequest;
    // Any reply of one byte or more will do; the exchange already demands one.
    return DMSS_SendAndWaitResponds(p);
}

int Flashboot::DMSS_Write(const uint8_t* data, uint32_t address, uint16_t count) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (!data || count == 0) return RecordError(FB_ERR_DMSS_ARGS);
    PacketBuffer* p = nullptr;
    if (m_write32) {
        p = PrepareCommand(kDmssWrite32, uint32_t{count} + 7, address);
        if (!p) return RecordError(FB_ERR_DMSS_PACKET);
        p->data[0] = kDmssWrite32;
        put_be32(p->data + 1, address);
        put_be16(p->data + 5, count);
        put_payload(p, 7, data, count);
    } else {
        p = PrepareCommand(kDmssWrite16, uint32_t{count} + 5, address);
        if (!p) return RecordError(FB_ERR_DMSS_PACKET);
        p->data[0] = kDmssWrite16;
        put_le32(p->data + 1, address);
        put_payload(p, 5, data, count);
    }
    int rc = DMSS_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kDmssAck) return RecordError(FB_ERR_DMSS);
    return FB_OK;
}

int Flashboot::DMSS_Go(uint32_t address) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    PacketBuffer* p = PrepareCommand(kDmssGo, 5, address);
    if (!p) return RecordError(FB_ERR_DMSS_PACKET);
    p->data[0] = kDmssGo;
    put_be32(p->data + 1, address);
    int rc = DMSS_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kDmssAck) return RecordError(FB_ERR_DMSS);
    return FB_OK;
}
