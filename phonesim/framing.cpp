#include "phonesim/framing.h"

#include "link/crc16.h"

namespace phonesim {

void encode_frame(const uint8_t* p, size_t n, bool opening_flag, Bytes& out, bool corrupt_fcs) {
    auto emit = [&out](uint8_t b) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    };
    if (opening_flag) out.push_back(0x7E);
    uint16_t crc = quillon::kCrc16Init;
    for (size_t i = 0; i < n; ++i) {
        crc = quillon::crc16_step(crc, p[i]);
        emit(p[i]);
    }
    crc ^= 0xFFFF;
    if (corrupt_fcs) crc ^= 0x5A5A;
    emit(static_cast<uint8_t>(crc & 0xFF));
    emit(static_cast<uint8_t>(crc >> 8));
    out.push_back(0x7E);
}

} // namespace phonesim
