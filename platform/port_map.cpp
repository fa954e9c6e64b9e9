#include "platform/port_map.h"

#include "platform/device_source.h"

namespace tw {

bool port_for_com(int com, SerialPortInfo& out) {
    out = SerialPortInfo{};
    if (com < 1) return false;
    for (const DeviceRecord& r : list_devices()) {
        if (r.kind != DeviceKind::Serial || r.path.empty() || r.com != com) continue;
        out.path = r.path;
        out.diag = r.diag;
        return true;
    }
    return false;
}

std::string tty_path_for_com(int com) {
    SerialPortInfo info;
    port_for_com(com, info);
    return info.path;
}

} // namespace tw
