#pragma once
// How the routing tells devices apart: the USB identities the station recognises in a
// device's interface path, and a device's USB position.
#include <string>

#include "platform/device_record.h"

namespace tw::station {

// Lower-cased interface-path texts.
inline constexpr const char* kFastbootIdentity = "usb#vid_18d1&pid_d00d";
inline constexpr const char* kDiagIdentities[] = {"usb#vid_05c6&pid_9025", "usb#vid_1ebf&pid_9025",
                                                  "usb#vid_1662&pid_b6e5"};

// Parent, "#", hub port, "#"; "" for a device whose position is unknown.
std::string RecordPosition(const DeviceRecord& r);
// A phone in fastboot mode.
bool IsFastbootDevice(const DeviceRecord& r);
// A DIAG composite device's port: one of the DIAG identities, or a serial port the device
// source marks as a DIAG function.
bool IsDiagArrival(const DeviceRecord& r);
// The emergency download port (QDLoader 9008).
bool IsDownloadPort(const DeviceRecord& r);
// The name FBOpenDevice takes for a fastboot device: its address ("tcp:..." or "usb:...").
std::string FastbootNameOf(const DeviceRecord& r);

} // namespace tw::station
