#pragma once
// One device as the device source reports it, from sysfs or from the virtual device directory.
#include <cstdint>
#include <string>

namespace tw {

enum class DeviceKind { Serial, Usb, Disk };

struct DeviceRecord {
    DeviceKind kind = DeviceKind::Serial;
    std::string name;           // record file name without ".dev", or the sysfs/kernel name
    int com = 0;                // serial: COM number, 1 or more
    std::string path;           // serial: tty to open; disk: image file or block device
    std::string friendly;       // serial: e.g. "Qualcomm HS-USB QDLoader 9008 (COM15)"
    bool diag = false;          // serial: the port is a DIAG function
    std::string interface_path; // lower case, Windows form
    std::string instance;       // device instance identity
    std::string parent;         // identity of the hub the device sits on
    int hubport = 0;            // port number on that hub
    uint16_t vid = 0, pid = 0;  // USB ids
    std::string address;        // usb: how to open it, e.g. tcp:127.0.0.1:5554

    bool operator==(const DeviceRecord&) const = default;
};

} // namespace tw
