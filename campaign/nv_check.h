#pragma once
// What the campaign compares: a simulated phone's NV items, the part of them a backup must hold,
// and the items a QCN text file holds, read by a reader of its own (not the station's).
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace campaign {

using NvKey = std::pair<int, int>; // (context, item)
using NvData = std::array<uint8_t, 128>;
struct NvItem {
    bool active = false;
    NvData data{};
    bool operator==(const NvItem&) const = default;
};
using NvImage = std::map<NvKey, NvItem>;
using NvValues = std::map<NvKey, NvData>;

// phonesim's "nv.txt" ("<context> <item> active|inactive ro|rw <hex>" lines).
NvImage ParseNvText(const std::string& text);
// What a backup of a phone in this state holds: every listed item it holds a value for.
NvValues BackupOf(const NvImage& nv);
// Whether the phone's IMEI item holds an IMEI (after a re-flash it reads as zeros).
bool ImeiReadable(const NvImage& nv);
// The items of a QCN text file; nullopt when it cannot be read or is not one.
std::optional<NvValues> ReadQcnText(const std::string& path);

} // namespace campaign
