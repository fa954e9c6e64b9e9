#pragma once
// What the fastboot protocol needs from a link to a device: whole packets in, whole packets out,
// each with a deadline. The protocol knows nothing of USB or TCP beyond this.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace tw::fastboot {

// Result codes of the transport and the protocol. Success is 0 (or a byte count for reads).
enum Result : int {
    kOk = 0,
    kErrArgument = -1,   // bad handle, name, size or partition
    kErrIo = -2,         // the link failed: device gone, connection closed or reset
    kErrTimeout = -3,    // nothing arrived, or nothing could be sent, in time
    kErrDeviceFail = -4, // the device answered FAIL
    kErrProtocol = -5,   // a reply that breaks the protocol (unknown, over-long, wrong size)
    kErrTooLarge = -6,   // the image exceeds the device's max-download-size
    kErrCancelled = -7,  // the device was closed from another thread
    kErrBroken = -8,     // an earlier failure left the link out of step; reopen the device
    kErrFileRead = -9,   // the loaded image file cannot be read back: shortened, rewritten,
                         // replaced or unreadable since it was loaded (the loader's read error 3)
};

const char* result_name(int code);

using Deadline = clock::Steady::time_point;

class Transport {
  public:
    virtual ~Transport() = default;

    // Sends one packet of len bytes (a command or one chunk of download data) by the deadline.
    // kOk or a negative Result.
    virtual int write(const uint8_t* data, size_t len, Deadline deadline) = 0;

    // Receives one packet into buf. Returns its length (0 for an empty packet), or a negative
    // Result; a packet longer than cap gives kErrProtocol and the transport is then unusable.
    virtual int read(uint8_t* buf, size_t cap, Deadline deadline) = 0;

    // Safe from any thread: the current and every later read or write ends with kErrCancelled
    // promptly (within a fraction of a second).
    virtual void cancel() = 0;

    // The largest packet one write should carry: the download chunk size.
    virtual size_t max_write() const { return size_t{1} << 20; }

    // True when write_file can send a file's bytes without them passing through the process.
    virtual bool sends_files() const { return false; }
    // Sends one packet of len bytes read from the file fd at offset off (the file's own offset
    // is left alone). kOk, kErrFileRead when the file ends early or cannot be read (the packet
    // is then cut short: the link is out of step), or a negative Result as write gives.
    virtual int write_file(int fd, uint64_t off, size_t len, Deadline deadline) {
        (void)fd;
        (void)off;
        (void)len;
        (void)deadline;
        return kErrArgument;
    }

    // Words about the last failure, for the caller's error text ("connection closed").
    virtual std::string last_error() const = 0;
};

} // namespace tw::fastboot
