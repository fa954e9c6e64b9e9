#include "link/crc16.h"

#include <bit>
#include <cstring>

namespace quillon {

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len) {
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t v;
        std::memcpy(&v, data + i, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        crc = crc16_step8(crc, v);
    }
    for (; i < len; ++i) crc = crc16_step(crc, data[i]);
    return crc;
}

uint16_t crc16_fcs(const uint8_t* data, size_t len) {
    return static_cast<uint16_t>(crc16_update(kCrc16Init, data, len) ^ 0xFFFF);
}

} // namespace quillon
