#include "link/crc16.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillon {
namespace {

uint16_t crc16_table_update(uint16_t crc, const uint8_t* data, size_t len) {
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t v;
        std::memcpy(&v, data + i, sizeof v);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        crc = crc16_step8(crc, v);
    }
    for (; i < len; ++i)
        crc = crc16_step(crc, data[i]);
    return crc;
}

#if defined(__x86_64__)
// Folding with carry-less multiplication, 16 bytes a step. The reflected CRC-16 is the reflected
// CRC-32 whose generator is G = P(x)·x^16 (x^32 + x^28 + x^21 + x^16 for P = 0x1021): its
// remainders are the CRC-16 remainders times x^16, which in a reflected 32-bit register are the
// CRC-16 register in the low half. A 16-byte block stands for the polynomial whose first bit
// (bit 0 of byte 0) has degree 127; its first eight bytes are H·x^64, the other eight L. Moving
// the accumulator past the next block multiplies it by x^128, and H·x^192 + L·x^128 keeps its
// remainder as x·H·(x^191 mod G) + x·L·(x^127 mod G): PCLMULQDQ of reflected operands yields
// the product times x, and each product has degree below 96, so it fits the 128-bit register.
// The folded 16 bytes then go through the table from a zero register, which is what remains.

// x^k mod G in normal bit order (bit d is the coefficient of x^d).
constexpr uint64_t XPowModG(int k) {
    constexpr uint64_t kG =
        (uint64_t{1} << 32) | (uint64_t{1} << 28) | (uint64_t{1} << 21) | (uint64_t{1} << 16);
    uint64_t r = 1;
    for (int i = 0; i < k; ++i) {
        r <<= 1;
        if (r & (uint64_t{1} << 32)) r ^= kG;
    }
    return r;
}

// The 64-bit operand whose reflected polynomial is K (coefficient of x^d at bit 63 - d).
constexpr uint64_t Reflected(uint64_t k) {
    uint64_t q = 0;
    for (int d = 0; d < 64; ++d)
        if (k >> d & 1) q |= uint64_t{1} << (63 - d);
    return q;
}

constexpr uint64_t kFoldHigh = Reflected(XPowModG(191)); // for the first eight bytes
constexpr uint64_t kFoldLow = Reflected(XPowModG(127));  // for the last eight

__attribute__((target("pclmul,sse2"))) uint16_t crc16_fold_update(uint16_t crc, const uint8_t* data,
                                                                  size_t len) {
    const __m128i k =
        _mm_set_epi64x(static_cast<long long>(kFoldLow), static_cast<long long>(kFoldHigh));
    __m128i acc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    acc = _mm_xor_si128(acc, _mm_cvtsi32_si128(crc));
    size_t i = 16;
    for (; i + 16 <= len; i += 16) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x00);
        const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x11);
        acc = _mm_xor_si128(_mm_xor_si128(hi, lo), next);
    }
    uint8_t folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), acc);
    crc = crc16_table_update(0, folded, sizeof folded);
    return crc16_table_update(crc, data + i, len - i);
}

bool HasClmul() {
    static const bool yes = __builtin_cpu_supports("pclmul");
    return yes;
}
#endif

} // namespace

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len) {
#if defined(__x86_64__)
    // Below this the table is as quick.
    if (len >= 64 && HasClmul()) return crc16_fold_update(crc, data, len);
#endif
    return crc16_table_update(crc, data, len);
}

uint16_t crc16_fcs(const uint8_t* data, size_t len) {
    return static_cast<uint16_t>(crc16_update(kCrc16Init, data, len) ^ 0xFFFF);
}

} // namespace quillon
