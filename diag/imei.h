#pragma once
// The IMEI: NV item 550 decoded into 15 characters, and the per-slot memory of the IMEI each
// slot's last backup read, which names that slot's files at restore time.
#include <cstdint>
#include <string>

namespace diag {

constexpr size_t kImeiLength = 15;

// Answer bytes 4 to 11 hold the IMEI as packed digits, low half-byte first; byte 4's low
// half-byte is the identity type and is dropped. A half-byte above 9 shows as a to f.
// Writes 15 characters and a terminator.
void DecodeImei(const uint8_t* answer, char out[kImeiLength + 1]);

// A phone without an identity (its item reads as zeros, as after a factory reset of the NV
// items) gives fifteen "0".
bool ImeiIsBlank(const char* imei);

// The IMEI each slot's last backup read, keyed by the slot row. Safe from any thread.
class SlotImeiStore {
  public:
    static void Set(int row, const std::string& imei);
    static bool Get(int row, std::string& imei);
    static void Clear(int row);
    static void ClearAll();
};

} // namespace diag
