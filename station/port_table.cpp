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

std::string PortTable::PositionOf(int slot) const {
    if (slot < 0 || slot >= kSlots) return "";
    return cfg_.SlotValue(kDiagCom9025Key, slot);
}

} // namespace tw::station
