#include "station/port_table.h"

#include "station/debug_line.h"

namespace tw::station {

int PortTable::WriteOne(const SlotKey& k, const std::string& position, int prefer) const {
    if (position.empty()) return -1;
    int empty = -1;
    for (int i = 0; i < kSlots; ++i) {
        const std::string v = cfg_.SlotValue(k, i);
        if (v == position) return i; // exact, case-sensitive
        if (v.empty() && empty < 0) empty = i;
    }
    if (prefer >= 0 && prefer < kSlots && cfg_.SlotValue(k, prefer).empty()) empty = prefer;
    if (empty < 0) return -1;
    return cfg_.SetSlotValue(k, empty, position) ? empty : -1;
}

int PortTable::WriteQDLoadcom9008(const std::string& position) const {
    return WriteOne(kUsbAddressKey, position, -1);
}
int PortTable::WriteFastbootDeviceName(const std::string& position) const {
    return WriteOne(kFastbootNameKey, position, -1);
}
int PortTable::Write9025RowIndex(const std::string& position) const {
    return WriteOne(kDiagCom9025Key, position, -1);
}

int PortTable::Claim(const std::string& position, int prefer) const {
    const int a = WriteOne(kUsbAddressKey, position, prefer);
    DebugLine("WriteQDLoadcom9008(arrayPortNumber[0]) = %d", a);
    const int b = WriteOne(kFastbootNameKey, position, prefer);
    DebugLine("WriteFastbootDeviceName(arrayPortNumber[0]) = %d", b);
    const int c = WriteOne(kDiagCom9025Key, position, prefer);
    DebugLine("Write9025RowIndex(arrayPortNumber[0]) = %d", c);
    return c;
}

int PortTable::SlotOf(const std::string& position) const {
    if (position.empty()) return -1;
    for (int i = 0; i < kSlots; ++i)
        if (cfg_.SlotValue(kDiagCom9025Key, i) == position) return i;
    return -1;
}

namespace {

// "<hub>#<port>#": what the device source makes of a USB position.
bool LooksLikePosition(const std::string& v) {
    if (v.size() < 4 || v.back() != '#') return false;
    const size_t mark = v.rfind('#', v.size() - 2);
    if (mark == std::string::npos || mark == 0 || mark + 2 > v.size() - 1) return false;
    for (size_t i = mark + 1; i + 1 < v.size(); ++i)
        if (v[i] < '0' || v[i] > '9') return false;
    for (char c : v)
        if (static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

} // namespace

bool PortTable::Usable(int slot, std::string& bad) const {
    if (slot < 0 || slot >= kSlots) return false;
    const SlotKey keys[] = {kUsbAddressKey, kFastbootNameKey, kDiagCom9025Key};
    std::string first;
    for (const SlotKey& k : keys)
        if (first.empty()) first = cfg_.SlotValue(k, slot);
    for (const SlotKey& k : keys) {
        const std::string v = cfg_.SlotValue(k, slot);
        bad = std::string(k.key_prefix) + "[" + std::to_string(slot) + "]=" + v;
        if (first.empty()) continue;
        if (v != first || !LooksLikePosition(v)) return false;
        for (int i = 0; i < kSlots; ++i)
            if (i != slot && cfg_.SlotValue(k, i) == v) return false;
    }
    bad.clear();
    return true;
}

std::string PortTable::PositionOf(int slot) const {
    if (slot < 0 || slot >= kSlots) return "";
    return cfg_.SlotValue(kDiagCom9025Key, slot);
}

} // namespace tw::station
