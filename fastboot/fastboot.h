#pragma once
// The fastboot library the station flashes phones through: load images once, open a device by
// name, flash partitions from the loaded images, reboot, close.
//
// Handles are non-zero 64-bit numbers, never reused within a process; 0 means "none". A handle
// that is unknown (never issued, or already freed or closed) is refused, never dereferenced.
// Every call is safe from any thread. One device handle serves one thread at a time (calls on
// the same device wait for each other); a loaded file may be flashed by any number of devices
// at once, and FBFreeFile during a flash keeps the file open until that flash ends.
//
// Device names:
//   usb:<bus>-<port path>   e.g. "usb:1-1.4", the interface 0xFF/0x42/0x03 of the device there
//   tcp:<host>[:<port>]     e.g. "tcp:127.0.0.1:5554" (port 5554 when left out)
//
// No call blocks without bound: every read and write has a time-out on the scaled clock, and a
// device that disappears fails the call as soon as the link reports it.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fastboot/protocol.h"

using FBFileHandle = uint64_t;
using FBDeviceHandle = uint64_t;

// Called on the flashing thread with the context given to FBFlash and the byte count of each
// chunk of image data as it has gone out; the counts of a successful flash add up to its size.
using FBProgressFn = tw::fastboot::ProgressFn;

// Opens the file and keeps it open; its bytes are not copied but left in the page cache (the
// kernel is asked to read them ahead), where every flash of every slot, and every process,
// shares one copy. Returns a non-zero handle and sets *size (bytes) on success; returns 0 and
// sets *error on failure: 1 the file does not exist, 2 out of memory, 3 read error (also: not a
// regular file, 4 GiB or larger). *error is 0 on success. Either output pointer may be null.
// The file must stay as it is while loaded: a flash of a file shortened, written to, replaced
// or removed since fails with -9 (the read error), never sending a mix of old and new bytes.
FBFileHandle FBLoadFile(const std::string& path, uint32_t* size, uint32_t* error);

// Releases a loaded file. Unknown handles and 0 are ignored.
void FBFreeFile(FBFileHandle file);

// Opens a device by name (see above). Non-zero handle, or 0 when it cannot be opened.
FBDeviceHandle FBOpenDevice(const std::string& name);

// Flashes the first `size` bytes of a loaded file to a partition: getvar:max-download-size
// (asked once per opened device; an image larger than that fails before anything else is
// sent), download:%08x, the data in 1 MiB chunks with a progress call after each (read from
// the page cache into the device's one buffer, or over TCP handed to the socket straight from
// the file), then flash:<partition>. INFO and TEXT lines from the device go to the log sink.
// Returns 0 on success, or a negative tw::fastboot::Result:
//   -1 bad handle, partition name, or a size larger than the loaded file
//   -2 the link failed (device unplugged, connection closed)   -3 time-out
//   -4 the device answered FAIL (its message in FBLastError)   -5 protocol error
//   -6 image larger than max-download-size                      -7 closed from another thread
//   -8 an earlier failure left the link out of step: close and reopen the device
//   -9 the file changed since it was loaded or cannot be read (FBLoadFile's read error, 3):
//      found before the download or after it, nothing is written and the link stays in
//      step; found by a read cut short part-way, the link is out of step as after -2
// A FAIL keeps the device in step, so the same partition can be flashed again at once.
int FBFlash(FBDeviceHandle device, const std::string& partition, FBFileHandle file, uint32_t size,
            FBProgressFn progress, void* context);

// Sends "reboot". 0 when the device acknowledged it, negative as FBFlash otherwise.
int FBReboot(FBDeviceHandle device);

// Closes a device. A call still running on it from another thread ends promptly with -7.
// Unknown handles and 0 are ignored.
void FBCloseDevice(FBDeviceHandle device);

// The text of the last failure on a device (the device's FAIL message, a time-out, ...), or of
// the last failed FBOpenDevice when given 0.
std::string FBLastError(FBDeviceHandle device);

// USB fastboot devices present, by name as FBOpenDevice takes them.
struct FBDeviceInfo {
    std::string name;
    uint16_t vid = 0, pid = 0;
    std::string serial; // empty when it could not be read (no permission)
};
std::vector<FBDeviceInfo> FBListUsbDevices();

// Where log lines go (INFO and TEXT from devices, failures). Default: standard error when
// TARNWELL_DEBUG is set and not empty, otherwise nowhere. An empty function restores it.
using FBLogSink = std::function<void(const std::string& line)>;
void FBSetLogSink(FBLogSink sink);
