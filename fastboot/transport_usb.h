#pragma once
// Fastboot over USB through libusb: the interface of class 0xFF, subclass 0x42, protocol 0x03
// and its two bulk endpoints. Devices are named by where they are plugged in,
// "usb:<bus>-<port path>" ("usb:1-1.4": bus 1, root port 1, hub port 4), the same text as the
// kernel's device name, so a name stays with a hub port across re-enumerations.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fastboot/transport.h"

struct libusb_config_descriptor;
struct libusb_device_handle;
struct libusb_context;

namespace tw::fastboot {

struct UsbName {
    int bus = 0;
    std::vector<uint8_t> ports; // root port first
    bool operator==(const UsbName&) const = default;
};
bool parse_usb_name(const std::string& name, UsbName& out);
std::string format_usb_name(const UsbName& n);

struct FastbootInterface {
    int number = -1;
    int alt_setting = 0;
    uint8_t ep_in = 0, ep_out = 0;
    uint16_t max_packet_in = 0;
};
// The first fastboot interface of a configuration that has a bulk IN and a bulk OUT endpoint.
bool find_fastboot_interface(const libusb_config_descriptor* config, FastbootInterface& out);

struct UsbDeviceInfo {
    std::string name; // usb:<bus>-<port path>
    uint16_t vid = 0, pid = 0;
    std::string serial; // empty when the device could not be opened to read it
};
// Every device with a fastboot interface that libusb sees. Empty when there are none or
// libusb cannot start.
std::vector<UsbDeviceInfo> list_usb_devices();

// Releases the claimed interface (when iface >= 0) and closes the handle.
struct UsbHandleCloser {
    int iface = -1;
    void operator()(libusb_device_handle* h) const;
};

class UsbTransport : public Transport {
  public:
    // Finds the device at that position, claims its fastboot interface. Null on failure.
    static std::unique_ptr<UsbTransport> open(const std::string& name, std::string& error);
    ~UsbTransport() override;

    int write(const uint8_t* data, size_t len, Deadline deadline) override;
    int read(uint8_t* buf, size_t cap, Deadline deadline) override;
    void cancel() override { cancelled_.store(true); }
    std::string last_error() const override { return error_; }

  private:
    UsbTransport() = default;
    int failed(int code, std::string text);
    int map_error(int libusb_rc);

    // Declared first so the context outlives the handle.
    std::shared_ptr<libusb_context> ctx_;
    std::unique_ptr<libusb_device_handle, UsbHandleCloser> handle_;
    FastbootInterface iface_;
    std::vector<uint8_t> in_buf_; // a whole number of max-size packets
    std::atomic<bool> cancelled_{false};
    std::string error_;
};

} // namespace tw::fastboot
