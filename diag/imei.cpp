#include "diag/imei.h"

#include <map>
#include <mutex>

namespace diag {

void DecodeImei(const uint8_t* answer, char out[kImeiLength + 1]) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[16];
    for (int i = 0; i < 8; ++i) {
        uint8_t b = answer[4 + i];
        digits[2 * i] = kHex[b & 15];
        digits[2 * i + 1] = kHex[b >> 4];
    }
    for (size_t i = 0; i < kImeiLength; ++i)
        out[i] = digits[i + 1];
    out[kImeiLength] = '\0';
}

bool ImeiIsBlank(const char* imei) {
    for (size_t i = 0; i < kImeiLength; ++i)
        if (imei[i] != '0') return false;
    return true;
}

namespace {
std::mutex& StoreLock() {
    static std::mutex m;
    return m;
}
std::map<int, std::string>& Store() {
    static std::map<int, std::string> s;
    return s;
}
} // namespace

void SlotImeiStore::Set(int row, const std::string& imei) {
    std::lock_guard<std::mutex> g(StoreLock());
    Store()[row] = imei;
}

bool SlotImeiStore::Get(int row, std::string& imei) {
    std::lock_guard<std::mutex> g(StoreLock());
    auto it = Store().find(row);
    if (it == Store().end()) return false;
    imei = it->second;
    return true;
}

void SlotImeiStore::Clear(int row) {
    std::lock_guard<std::mutex> g(StoreLock());
    Store().erase(row);
}

void SlotImeiStore::ClearAll() {
    std::lock_guard<std::mutex> g(StoreLock());
    Store().clear();
}

} // namespace diag
