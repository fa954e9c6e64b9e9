#pragma once
// CRC-16/X.25 (reflected 0x8408, init 0xFFFF, complemented on send), table driven.
#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

constexpr std::array<uint16_t, 256> make_crc16_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : static_cast<uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}

inline constexpr std::array<uint16_t, 256> kCrc16Table = make_crc16_table();
inline constexpr uint16_t kCrc16Init = 0xFFFF;
inline constexpr uint16_t kCrc16Good = 0xF0B8; // residue over payload + FCS

constexpr uint16_t crc16_step(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ byte) & 0xFF]);
}

// Running CRC without the final complement.
uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len);
// The FCS a sender appends: CRC over data, complemented.
uint16_t crc16_fcs(const uint8_t* data, size_t len);

} // namespace quillon
