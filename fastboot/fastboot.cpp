#include "fastboot/fastboot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "fastboot/image.h"
#include "fastboot/transport_tcp.h"
#include "fastboot/transport_usb.h"

using namespace tw::fastboot;

namespace {

constexpr int64_t kOpenTimeoutMs = 5000;

struct Device {
    std::string name;
    std::unique_ptr<Transport> transport;
    std::unique_ptr<Protocol> protocol;
    std::mutex use; // one call at a time on the link
    // Under `use`: max-download-size as the device answered it, and the run's one buffer the
    // images are read into, one chunk (the transport's max_write) at a time.
    DownloadLimit limit;
    std::unique_ptr<uint8_t[]> buffer;

    std::mutex error_m;
    std::string error;

    void set_error(std::string e) {
        std::lock_guard<std::mutex> g(error_m);
        error = std::move(e);
    }
};

struct Registry {
    std::mutex m;
    uint64_t next = 1;
    std::unordered_map<uint64_t, std::shared_ptr<const Image>> files;
    std::unordered_map<uint64_t, std::shared_ptr<Device>> devices;
    std::string open_error;
    FBLogSink sink;
};

Registry& reg() {
    static Registry r;
    return r;
}

void emit(const std::string& line) {
    FBLogSink sink;
    {
        std::lock_guard<std::mutex> g(reg().m);
        sink = reg().sink;
    }
    if (sink) {
        sink(line);
        return;
    }
    static const bool debug = [] {
        const char* v = std::getenv("TARNWELL_DEBUG");
        return v && *v;
    }();
    if (debug) std::fprintf(stderr, "%s\n", line.c_str());
}

std::shared_ptr<Device> find_device(FBDeviceHandle h) {
    std::lock_guard<std::mutex> g(reg().m);
    auto it = reg().devices.find(h);
    return it == reg().devices.end() ? nullptr : it->second;
}

std::shared_ptr<const Image> find_file(FBFileHandle h) {
    std::lock_guard<std::mutex> g(reg().m);
    auto it = reg().files.find(h);
    return it == reg().files.end() ? nullptr : it->second;
}

FBDeviceHandle open_failed(const std::string& text) {
    emit("fastboot: " + text);
    std::lock_guard<std::mutex> g(reg().m);
    reg().open_error = text;
    return 0;
}

} // namespace

FBFileHandle FBLoadFile(const std::string& path, uint32_t* size, uint32_t* error) {
    std::shared_ptr<Image> img;
    try {
        img = std::make_shared<Image>();
    } catch (const std::bad_alloc&) {
        if (error) *error = kLoadNoMemory;
        return 0;
    }
    uint32_t rc = img->load(path);
    if (error) *error = rc;
    if (rc != kLoadOk) return 0;
    if (size) *size = img->size();
    std::lock_guard<std::mutex> g(reg().m);
    FBFileHandle h = reg().next++;
    reg().files.emplace(h, std::move(img));
    return h;
}

void FBFreeFile(FBFileHandle file) {
    std::shared_ptr<const Image> img;
    {
        std::lock_guard<std::mutex> g(reg().m);
        auto it = reg().files.find(file);
        if (it == reg().files.end()) return;
        img = std::move(it->second);
        reg().files.erase(it);
    }
    // The file is closed here, outside the registry lock, unless a flash still holds it.
}

FBDeviceHandle FBOpenDevice(const std::string& name) {
    std::string error;
    std::unique_ptr<Transport> t;
    std::string host;
    uint16_t port = 0;
    if (name.rfind("usb:", 0) == 0) {
        t = UsbTransport::open(name, error);
    } else if (parse_tcp_name(name, host, port)) {
        t = TcpTransport::connect(host, port, kOpenTimeoutMs, error);
    } else {
        return open_failed("not a fastboot device name: '" + printable(name.data(), name.size()) +
                           "'");
    }
    if (!t) return open_failed(name + ": " + error);

    auto dev = std::make_shared<Device>();
    // Not zero-filled: pages are only touched as chunks are read into them.
    dev->buffer.reset(new (std::nothrow) uint8_t[std::max<size_t>(1, t->max_write())]);
    if (!dev->buffer) return open_failed(name + ": no memory for the transfer buffer");
    dev->name = name;
    dev->transport = std::move(t);
    dev->protocol =
        std::make_unique<Protocol>(*dev->transport, Timeouts{}, [name](const std::string& line) {
            emit("fastboot " + name + ": " + line);
        });
    std::lock_guard<std::mutex> g(reg().m);
    FBDeviceHandle h = reg().next++;
    reg().devices.emplace(h, std::move(dev));
    return h;
}

int FBFlash(FBDeviceHandle device, const std::string& partition, FBFileHandle file, uint32_t size,
            FBProgressFn progress, void* context) {
    auto dev = find_device(device);
    if (!dev) return kErrArgument;
    auto img = find_file(file);
    if (!img || size > img->size()) {
        dev->set_error(!img ? "flash " + partition + ": unknown file handle"
                            : "flash " + partition + ": " + std::to_string(size) +
                                  " bytes asked of a " + std::to_string(img->size()) +
                                  "-byte image");
        return kErrArgument;
    }
    std::lock_guard<std::mutex> g(dev->use);
    ImageSource src(*img, dev->buffer.get());
    int rc = dev->protocol->flash(partition, src, size, progress, context, dev->limit);
    if (rc != kOk) dev->set_error(dev->protocol->last_error());
    return rc;
}

int FBReboot(FBDeviceHandle device) {
    auto dev = find_device(device);
    if (!dev) return kErrArgument;
    std::lock_guard<std::mutex> g(dev->use);
    int rc = dev->protocol->reboot();
    if (rc != kOk) dev->set_error(dev->protocol->last_error());
    return rc;
}

void FBCloseDevice(FBDeviceHandle device) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard<std::mutex> g(reg().m);
        auto it = reg().devices.find(device);
        if (it == reg().devices.end()) return;
        dev = std::move(it->second);
        reg().devices.erase(it);
    }
    // A call in progress on another thread holds its own reference; it sees the cancel, returns,
    // and the link closes when it lets go.
    dev->transport->cancel();
}

std::string FBLastError(FBDeviceHandle device) {
    if (device == 0) {
        std::lock_guard<std::mutex> g(reg().m);
        return reg().open_error;
    }
    auto dev = find_device(device);
    if (!dev) return "unknown device handle";
    std::lock_guard<std::mutex> g(dev->error_m);
    return dev->error;
}

std::vector<FBDeviceInfo> FBListUsbDevices() {
    std::vector<FBDeviceInfo> out;
    for (auto& d : list_usb_devices())
        out.push_back({d.name, d.vid, d.pid, d.serial});
    return out;
}

void FBSetLogSink(FBLogSink sink) {
    std::lock_guard<std::mutex> g(reg().m);
    reg().sink = std::move(sink);
}
