#include "station/routing_rules.h"

#include <algorithm>
#include <cctype>

#include "platform/device_source.h"

namespace tw::station {

namespace {
std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
} // namespace

std::string RecordPosition(const DeviceRecord& r) {
    if (r.parent.empty() || r.hubport <= 0) return "";
    return usb_position(r);
}

bool IsFastbootDevice(const DeviceRecord& r) {
    if (r.kind != DeviceKind::Usb) return false;
    return (r.vid == 0x18D1 && r.pid == 0xD00D) ||
           Lower(r.interface_path).find(kFastbootIdentity) != std::string::npos;
}

bool IsDiagArrival(const DeviceRecord& r) {
    if (r.kind != DeviceKind::Serial) return false;
    if (r.diag) return true;
    const std::string p = Lower(r.interface_path);
    for (const char* id : kDiagIdentities)
        if (p.find(id) != std::string::npos) return true;
    return false;
}

bool IsDownloadPort(const DeviceRecord& r) {
    return r.kind == DeviceKind::Serial && r.vid == 0x05C6 && r.pid == 0x9008;
}

std::string FastbootNameOf(const DeviceRecord& r) {
    return r.address;
}

} // namespace tw::station
