#pragma once
// The simulator's side of the virtual device directory: one "<name>.dev" INI record per device,
// created through a temporary file and a rename, removed to unplug. COM numbers come from one
// counter, so every enumeration gets a new one.
#include <atomic>
#include <string>

#include "platform/device_record.h"

namespace phonesim {

// The record's INI text (section [device]).
std::string record_text(const tw::DeviceRecord& r);
bool publish_record(const std::string& dir, const tw::DeviceRecord& r);
bool remove_record(const std::string& dir, const std::string& name);

// "\\?\usb#vid_05c6&pid_9025#<serial>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", lower case.
std::string interface_path(uint16_t vid, uint16_t pid, const std::string& serial);
// "USB\VID_05C6&PID_9025\<serial>".
std::string instance_id(uint16_t vid, uint16_t pid, const std::string& serial);

class ComAllocator {
  public:
    explicit ComAllocator(int first = 3) : next_(first) {}
    int take() { return next_.fetch_add(1); }

  private:
    std::atomic<int> next_;
};

} // namespace phonesim
