#include "platform/port_map.h"

#include <unistd.h>

#include "platform/device_source.h"

namespace tw {
namespace {

std::string kernel_path_for_com(int com) {
    if (com < 1) return {};
    if (com <= 100) return "/dev/ttyUSB" + std::to_string(com - 1);
    return "/dev/ttyACM" + std::to_string(com - 101);
}

} // namespace

bool port_for_com(int com, SerialPortInfo& out) {
    out = SerialPortInfo{};
    if (com < 1) return false;
    const bool from_dir = !device_dir().empty();
    const std::string kernel = from_dir ? std::string() : kernel_path_for_com(com);
    for (const DeviceRecord& r : list_devices()) {
        if (r.kind != DeviceKind::Serial || r.path.empty()) continue;
        if (r.com == com || (!kernel.empty() && r.path == kernel)) {
            out.path = r.path;
            out.diag = r.diag;
            return true;
        }
    }
    // A virtual directory names every port there is; never fall through to real hardware.
    if (from_dir) return false;
    if (kernel.empty() || ::access(kernel.c_str(), F_OK) != 0) return false;
    out.path = kernel;
    return true;
}

std::string tty_path_for_com(int com) {
    SerialPortInfo info;
    port_for_com(com, info);
    return info.path;
}

} // namespace tw
