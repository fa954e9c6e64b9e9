#include "phonesim/imei.h"

namespace phonesim {

namespace {
bool all_digits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}
} // namespace

int imei_check_digit(const std::string& first14) {
    if (first14.size() != 14 || !all_digits(first14)) return -1;
    int sum = 0;
    for (size_t i = 0; i < 14; ++i) {
        int d = first14[i] - '0';
        if (i % 2 == 1) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
    }
    return (10 - sum % 10) % 10;
}

std::optional<std::string> imei_nth(const std::string& base, uint64_t i) {
    if ((base.size() != 14 && base.size() != 15) || !all_digits(base)) return std::nullopt;
    uint64_t body = std::stoull(base.substr(0, 14));
    if (i > 99999999999999ull - body) return std::nullopt;
    std::string s = std::to_string(body + i);
    s.insert(0, 14 - s.size(), '0');
    return s + static_cast<char>('0' + imei_check_digit(s));
}

bool imei_valid(const std::string& imei) {
    return imei.size() == 15 && all_digits(imei) &&
           imei_check_digit(imei.substr(0, 14)) == imei[14] - '0';
}

std::array<uint8_t, 9> imei_to_nv(const std::string& imei) {
    std::array<uint8_t, 9> b{};
    b[0] = 8;
    // Nibbles in order: type 0xA, then the 15 digits, low nibble first in each byte.
    uint8_t nib[16];
    nib[0] = 0xA;
    for (int i = 0; i < 15; ++i)
        nib[i + 1] = static_cast<uint8_t>(i < static_cast<int>(imei.size()) ? imei[i] - '0' : 0);
    for (int k = 0; k < 8; ++k)
        b[k + 1] = static_cast<uint8_t>(nib[2 * k] | (nib[2 * k + 1] << 4));
    return b;
}

std::optional<std::string> imei_from_nv(const uint8_t* data) {
    if (data[0] != 8 || (data[1] & 0x0F) != 0xA) return std::nullopt;
    std::string s;
    for (int k = 0; k < 8; ++k) {
        uint8_t lo = data[k + 1] & 0x0F, hi = data[k + 1] >> 4;
        if (k > 0) {
            if (lo > 9) return std::nullopt;
            s.push_back(static_cast<char>('0' + lo));
        }
        if (hi > 9) return std::nullopt;
        s.push_back(static_cast<char>('0' + hi));
    }
    return s;
}

} // namespace phonesim
