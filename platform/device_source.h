#pragma once
// Where devices come from: the virtual device directory when TARNWELL_DEVICE_DIR is set,
// otherwise sysfs. Each call takes a fresh snapshot.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_record.h"

namespace tw {

// TARNWELL_DEVICE_DIR when set, else sysfs at "/sys" with ttys under "/dev".
std::vector<DeviceRecord> list_devices();
// Every "<name>.dev" record of a virtual device directory.
std::vector<DeviceRecord> list_devices_from_dir(const std::string& dir);
// USB devices, their interfaces and bound ttys under a sysfs root (tests build a fake tree).
// Serial ports take their COM numbers from the COM database (com_db.h), never from the tty's
// kernel name, which the next device plugged in may get.
std::vector<DeviceRecord> list_devices_from_sysfs(const std::string& sys_root,
                                                  const std::string& dev_root = "/dev");

// As list_devices(), false when the source itself cannot be read (the directory or the sysfs
// root missing), which callers report apart from "no devices". A sysfs root without
// bus/usb/devices (no USB bus) is read as no devices.
bool try_list_devices(std::vector<DeviceRecord>& out);

// Where list_devices() reads sysfs when no directory is set ("/sys" and "/dev" unless changed);
// tests point it at a fake tree.
void set_sysfs_root(const std::string& sys_root, const std::string& dev_root = "/dev");

// The directory list_devices() reads (TARNWELL_DEVICE_DIR), empty when it reads sysfs.
std::string device_dir();

// One "<name>.dev" record file; false when it is missing, unreadable or has no valid kind.
// Fields the record leaves out that follow from its USB ids (friendly name of a known serial
// function, interface path, instance identity) are filled in the Windows form.
bool read_device_record(const std::string& path, DeviceRecord& out);
// The record's text as a writer of the directory stores it (section [device]).
std::string device_record_text(const DeviceRecord& r);

// "serial", "usb" or "disk".
const char* device_kind_name(DeviceKind k);

// Recognises the ttys of USB serial drivers: ttyUSB<k> gives k+1, ttyACM<k> k+101, other names
// 0. Only a recognizer: COM numbers come from the COM database.
int com_from_kernel_name(const std::string& tty_name);

// The USB position text that ties a phone's ports to one slot: parent, "#", hub port, "#".
std::string usb_position(const DeviceRecord& r);

// Windows-form names synthesised from USB ids. Friendly name of a serial function on interface
// `iface` (sets diag for a DIAG function); empty when the ids are not a known serial function.
std::string synth_serial_friendly(uint16_t vid, uint16_t pid, int iface, int com, bool& diag);
// "\\?\usb#vid_05c6&pid_9025#<serial>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}" (lower case).
std::string synth_interface_path(uint16_t vid, uint16_t pid, const std::string& serial);
// "USB\VID_05C6&PID_9025\<serial>".
std::string synth_instance(uint16_t vid, uint16_t pid, const std::string& serial);
// A serial-number stand-in for devices without one, stable for one USB position.
std::string synth_serial(const std::string& parent, int hubport);

} // namespace tw
