#pragma once
// Where devices come from: the virtual device directory when TARNWELL_DEVICE_DIR is set,
// otherwise sysfs. Each call takes a fresh snapshot.
#include <string>
#include <vector>

#include "platform/device_record.h"

namespace tw {

// TARNWELL_DEVICE_DIR when set, else sysfs at "/sys" with ttys under "/dev".
std::vector<DeviceRecord> list_devices();
// Every "<name>.dev" record of a virtual device directory.
std::vector<DeviceRecord> list_devices_from_dir(const std::string& dir);
// USB devices, their interfaces and bound ttys under a sysfs root (tests build a fake tree).
std::vector<DeviceRecord> list_devices_from_sysfs(const std::string& sys_root,
                                                  const std::string& dev_root = "/dev");

} // namespace tw
