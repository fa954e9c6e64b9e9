#include "phonesim/devdir.h"

#include <cstdio>
#include <unistd.h>

#include "phonesim/util.h"

namespace phonesim {

namespace {
const char* kind_text(tw::DeviceKind k) {
    switch (k) {
    case tw::DeviceKind::Serial:
        return "serial";
    case tw::DeviceKind::Usb:
        return "usb";
    case tw::DeviceKind::Disk:
        return "disk";
    }
    return "serial";
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}
} // namespace

std::string interface_path(uint16_t vid, uint16_t pid, const std::string& serial) {
    return lower("\\\\?\\usb#vid_" + hex4(vid) + "&pid_" + hex4(pid) + "#" + serial +
                 "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

std::string instance_id(uint16_t vid, uint16_t pid, const std::string& serial) {
    char b[40];
    std::snprintf(b, sizeof b, "USB\\VID_%04X&PID_%04X\\", vid, pid);
    return b + serial;
}

std::string record_text(const tw::DeviceRecord& r) {
    std::string s = "[device]\n";
    auto kv = [&s](const char* k, const std::string& v) {
        if (!v.empty()) s += std::string(k) + "=" + v + "\n";
    };
    kv("kind", kind_text(r.kind));
    if (r.kind == tw::DeviceKind::Serial) {
        kv("com", std::to_string(r.com));
        kv("friendly", r.friendly);
        kv("diag", r.diag ? "1" : "0");
    }
    kv("path", r.path);
    kv("interface", r.interface_path);
    kv("instance", r.instance);
    kv("parent", r.parent);
    kv("hubport", std::to_string(r.hubport));
    kv("vid", hex4(r.vid));
    kv("pid", hex4(r.pid));
    kv("address", r.address);
    return s;
}

bool publish_record(const std::string& dir, const tw::DeviceRecord& r) {
    return write_file_atomic(dir + "/" + r.name + ".dev", record_text(r));
}

bool remove_record(const std::string& dir, const std::string& name) {
    return ::unlink((dir + "/" + name + ".dev").c_str()) == 0;
}

} // namespace phonesim
