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
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : static_cast<uint16_t>(c >> 1);
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

// Slicing by 8: table k gives the CRC contribution of a byte followed by k zero bytes, so eight
// bytes fold in with eight independent lookups instead of a chain of eight.
constexpr std::array<std::array<uint16_t, 256>, 8> make_crc16_slices() {
    std::array<std::array<uint16_t, 256>, 8> t{};
    t[0] = make_crc16_table();
    for (size_t k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}
inline constexpr std::array<std::array<uint16_t, 256>, 8> kCrc16Slices = make_crc16_slices();

// Eight bytes at once: `bytes` holds them as loaded little-endian (first byte lowest).
inline uint16_t crc16_step8(uint16_t crc, uint64_t bytes) {
    const uint64_t x = bytes ^ crc;
    const auto& t = kCrc16Slices;
    return static_cast<uint16_t>(t[7][x & 0xFF] ^ t[6][(x >> 8) & 0xFF] ^ t[5][(x >> 16) & 0xFF] ^
                                 t[4][(x >> 24) & 0xFF] ^ t[3][(x >> 32) & 0xFF] ^
                                 t[2][(x >> 40) & 0xFF] ^ t[1][(x >> 48) & 0xFF] ^ t[0][x >> 56]);
}

// Running CRC without the final complement.
uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len);
// The FCS a sender appends: CRC over data, complemented.
uint16_t crc16_fcs(const uint8_t* data, size_t len);

} // namespace quillon
