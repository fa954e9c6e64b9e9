#include "link/crc16.h"

namespace quillon {

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) crc = crc16_step(crc, data[i]);
    return crc;
}

uint16_t crc16_fcs(const uint8_t* data, size_t len) {
    return static_cast<uint16_t>(crc16_update(kCrc16Init, data, len) ^ 0xFFFF);
}

} // namespace quillon
