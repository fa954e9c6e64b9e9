#include "fastboot/transport_usb.h"

#include <libusb.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>

#include "fastboot/protocol.h"

namespace tw::fastboot {
namespace {

constexpr uint8_t kClass = 0xFF, kSubclass = 0x42, kProtocol = 0x03;
// Bulk transfers run in slices so a cancel is seen within one slice; libusb reports what a
// timed-out slice moved, so nothing is lost between slices.
constexpr int64_t kSliceMs = 250;
constexpr size_t kReadBuffer = 4096;
constexpr size_t kMaxWrite = size_t{1} << 20;

// One libusb context for the process, kept alive by every transport that uses it.
std::shared_ptr<libusb_context> shared_context() {
    static std::mutex m;
    static std::shared_ptr<libusb_context> ctx;
    std::lock_guard<std::mutex> g(m);
    if (!ctx) {
        libusb_context* raw = nullptr;
        if (libusb_init(&raw) != 0) return nullptr;
        ctx.reset(raw, libusb_exit);
    }
    return ctx;
}

// Milliseconds for the next slice, at least 1 (libusb takes 0 as "wait for ever"); 0 when the
// deadline has passed.
unsigned slice_ms(Deadline deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::Steady::now());
    if (left.count() <= 0) return 0;
    return static_cast<unsigned>(std::min<int64_t>(left.count(), kSliceMs));
}

bool position_of(libusb_device* dev, UsbName& out) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (n <= 0) return false; // a root hub
    out.bus = libusb_get_bus_number(dev);
    out.ports.assign(ports, ports + n);
    return true;
}

bool fastboot_interface_of(libusb_device* dev, FastbootInterface& fi) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0 || !cfg) return false;
    bool ok = find_fastboot_interface(cfg, fi);
    libusb_free_config_descriptor(cfg);
    return ok;
}

struct DeviceList {
    libusb_device** list = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* ctx) {
        count = libusb_get_device_list(ctx, &list);
        if (count < 0) count = 0;
    }
    ~DeviceList() {
        if (list) libusb_free_device_list(list, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

} // namespace

bool parse_usb_name(const std::string& name, UsbName& out) {
    if (name.rfind("usb:", 0) != 0) return false;
    const char* p = name.data() + 4;
    const char* e = name.data() + name.size();
    unsigned bus = 0;
    auto r = std::from_chars(p, e, bus);
    if (r.ec != std::errc{} || r.ptr == e || *r.ptr != '-' || bus == 0 || bus > 255) return false;
    p = r.ptr + 1;
    UsbName n;
    n.bus = static_cast<int>(bus);
    for (;;) {
        unsigned port = 0;
        r = std::from_chars(p, e, port);
        if (r.ec != std::errc{} || port == 0 || port > 255) return false;
        n.ports.push_back(static_cast<uint8_t>(port));
        if (n.ports.size() > 7) return false; // USB allows at most 7 tiers
        if (r.ptr == e) break;
        if (*r.ptr != '.') return false;
        p = r.ptr + 1;
    }
    out = std::move(n);
    return true;
}

std::string format_usb_name(const UsbName& n) {
    std::string s = "usb:" + std::to_string(n.bus) + "-";
    for (size_t i = 0; i < n.ports.size(); ++i) {
        if (i) s += '.';
        s += std::to_string(n.ports[i]);
    }
    return s;
}

bool find_fastboot_interface(const libusb_config_descriptor* config, FastbootInterface& out) {
    if (!config) return false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& d = itf.altsetting[a];
            if (d.bInterfaceClass != kClass || d.bInterfaceSubClass != kSubclass ||
                d.bInterfaceProtocol != kProtocol)
                continue;
            FastbootInterface fi;
            fi.number = d.bInterfaceNumber;
            fi.alt_setting = d.bAlternateSetting;
            for (int k = 0; k < d.bNumEndpoints; ++k) {
                const libusb_endpoint_descriptor& ep = d.endpoint[k];
                if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    if (!fi.ep_in) {
                        fi.ep_in = ep.bEndpointAddress;
                        fi.max_packet_in = ep.wMaxPacketSize & 0x7FF;
                    }
                } else if (!fi.ep_out) {
                    fi.ep_out = ep.bEndpointAddress;
                }
            }
            if (fi.ep_in && fi.ep_out) {
                out = fi;
                return true;
            }
        }
    }
    return false;
}

std::vector<UsbDeviceInfo> list_usb_devices() {
    std::vector<UsbDeviceInfo> found;
    auto ctx = shared_context();
    if (!ctx) return found;
    DeviceList devs(ctx.get());
    for (ssize_t i = 0; i < devs.count; ++i) {
        libusb_device* dev = devs.list[i];
        UsbName pos;
        FastbootInterface fi;
        if (!position_of(dev, pos) || !fastboot_interface_of(dev, fi)) continue;
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(dev, &dd) != 0) continue;
        UsbDeviceInfo info;
        info.name = format_usb_name(pos);
        info.vid = dd.idVendor;
        info.pid = dd.idProduct;
        libusb_device_handle* h = nullptr;
        if (dd.iSerialNumber && libusb_open(dev, &h) == 0) {
            unsigned char buf[128];
            int n = libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, buf, sizeof buf);
            if (n > 0) info.serial = printable(reinterpret_cast<const char*>(buf), n);
            libusb_close(h);
        }
        found.push_back(std::move(info));
    }
    return found;
}

void UsbHandleCloser::operator()(libusb_device_handle* h) const {
    if (!h) return;
    if (iface >= 0) libusb_release_interface(h, iface);
    libusb_close(h);
}

std::unique_ptr<UsbTransport> UsbTransport::open(const std::string& name, std::string& error) {
    UsbName want;
    if (!parse_usb_name(name, want)) {
        error = "not a usb device name: " + name;
        return nullptr;
    }
    auto ctx = shared_context();
    if (!ctx) {
        error = "libusb could not start";
        return nullptr;
    }
    DeviceList devs(ctx.get());
    for (ssize_t i = 0; i < devs.count; ++i) {
        libusb_device* dev = devs.list[i];
        UsbName pos;
        if (!position_of(dev, pos) || !(pos == want)) continue;
        FastbootInterface fi;
        if (!fastboot_interface_of(dev, fi)) {
            error = name + " has no fastboot interface";
            return nullptr;
        }
        libusb_device_handle* raw = nullptr;
        int rc = libusb_open(dev, &raw);
        if (rc != 0) {
            error = "cannot open " + name + ": " + libusb_error_name(rc);
            return nullptr;
        }
        std::unique_ptr<UsbTransport> t(new UsbTransport());
        t->ctx_ = ctx;
        t->handle_ = std::unique_ptr<libusb_device_handle, UsbHandleCloser>(raw, UsbHandleCloser{});
        libusb_set_auto_detach_kernel_driver(raw, 1); // not supported everywhere; harmless
        rc = libusb_claim_interface(raw, fi.number);
        if (rc != 0) {
            error = "cannot claim the fastboot interface of " + name + ": " + libusb_error_name(rc);
            return nullptr;
        }
        t->handle_.get_deleter().iface = fi.number;
        if (fi.alt_setting != 0) libusb_set_interface_alt_setting(raw, fi.number, fi.alt_setting);
        t->iface_ = fi;
        size_t mp = std::max<size_t>(fi.max_packet_in, 64);
        t->in_buf_.resize((kReadBuffer + mp - 1) / mp * mp);
        return t;
    }
    error = "no usb device at " + name;
    return nullptr;
}

UsbTransport::~UsbTransport() = default;

int UsbTransport::failed(int code, std::string text) {
    error_ = std::move(text);
    return code;
}

int UsbTransport::map_error(int rc) {
    if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
    if (rc == LIBUSB_ERROR_NO_DEVICE) return failed(kErrIo, "device unplugged");
    if (rc == LIBUSB_ERROR_OVERFLOW)
        return failed(kErrProtocol, "the device sent more than a reply may have");
    return failed(kErrIo, std::string("usb transfer failed: ") + libusb_error_name(rc));
}

int UsbTransport::write(const uint8_t* data, size_t len, Deadline deadline) {
    size_t off = 0;
    while (off < len) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        unsigned ms = slice_ms(deadline);
        if (ms == 0) return failed(kErrTimeout, "timed out");
        const int piece = static_cast<int>(std::min(len - off, kMaxWrite));
        int done = 0;
        // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
        int rc = libusb_bulk_transfer(handle_.get(), iface_.ep_out,
                                      const_cast<uint8_t*>(data + off), piece, &done, ms);
        off += static_cast<size_t>(std::max(done, 0));
        if (rc == 0 || rc == LIBUSB_ERROR_TIMEOUT) continue;
        return map_error(rc);
    }
    return kOk;
}

int UsbTransport::read(uint8_t* buf, size_t cap, Deadline deadline) {
    for (;;) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        unsigned ms = slice_ms(deadline);
        if (ms == 0) return failed(kErrTimeout, "timed out");
        int got = 0;
        int rc = libusb_bulk_transfer(handle_.get(), iface_.ep_in, in_buf_.data(),
                                      static_cast<int>(in_buf_.size()), &got, ms);
        if (rc == LIBUSB_ERROR_TIMEOUT && got == 0) continue;
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) return map_error(rc);
        if (static_cast<size_t>(got) > cap)
            return failed(kErrProtocol, "packet of " + std::to_string(got) +
                                            " bytes, more than the " + std::to_string(cap) +
                                            " a reply may have");
        std::memcpy(buf, in_buf_.data(), static_cast<size_t>(got));
        return got;
    }
}

} // namespace tw::fastboot
