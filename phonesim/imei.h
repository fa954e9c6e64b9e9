#pragma once
// IMEI arithmetic: the Luhn check digit, the n-th IMEI after a base, and the NV item 550 layout
// (length byte 8, then the digits as BCD after the type nibble 0xA).
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace phonesim {

// The Luhn check digit of the first 14 digits; -1 when they are not 14 digits.
int imei_check_digit(const std::string& first14);
// The IMEI i places after base (14 or 15 digits; a given check digit is ignored) with its check
// digit recomputed; nothing when base is malformed or the 14-digit body would overflow.
std::optional<std::string> imei_nth(const std::string& base, uint64_t i);
// True for 15 digits with a correct check digit.
bool imei_valid(const std::string& imei);
// The nine bytes NV item 550 holds for a 15-digit IMEI.
std::array<uint8_t, 9> imei_to_nv(const std::string& imei);
// The IMEI in NV item 550's bytes; nothing when the layout does not hold one.
std::optional<std::string> imei_from_nv(const uint8_t* data);

} // namespace phonesim
