#pragma once
// Byte order helpers for the packet builders. DMSS 32-bit writes and GO are big-endian on the
// wire (the boot ROM reads them so); the short write and every streaming field are little-endian.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/flashboot.h"

namespace sondrel {

inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Copies the payload after a header of `header` bytes, only as far as the (possibly cut)
// command length reaches: a command longer than the limit goes out cut, never overrunning
// the data area.
inline void put_payload(PacketBuffer* p, uint32_t header, const uint8_t* src, uint32_t count) {
    if (!src || p->length <= header) return;
    uint32_t n = std::min(count, p->length - header);
    std::memcpy(p->data + header, src, n);
}

} // namespace sondrel
