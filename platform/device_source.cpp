#include "platform/device_source.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com_db.h"
#include "platform/ini.h"

namespace tw {
namespace {

constexpr const char* kUsbDeviceGuid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr uint16_t kQualcommVid = 0x05C6;

std::mutex g_roots_mutex;
std::string g_sys_root = "/sys"; // guarded by g_roots_mutex
std::string g_dev_root = "/dev";

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Names in a folder, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_dir(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A sysfs attribute: the file's first line, trimmed; empty when missing.
std::string read_attr(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return {};
    char buf[512];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string s(buf, n);
    size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\t'))
        s.pop_back();
    return s;
}

// Whole-string number; def on junk.
long parse_num(const std::string& s, int base, long def) {
    if (s.empty()) return def;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, base);
    return *end == '\0' ? v : def;
}

uint16_t parse_id(const std::string& s) {
    long v = s.size() <= 4 ? parse_num(s, 16, 0) : 0;
    return v >= 0 && v <= 0xFFFF ? static_cast<uint16_t>(v) : 0;
}

std::string hex4(uint16_t v, bool caps) {
    char b[8];
    std::snprintf(b, sizeof b, caps ? "%04X" : "%04x", v);
    return b;
}

// "1-1.4" sits on hub "1-1" at port 4; "1-4" on the root hub "usb1" at port 4.
void usb_parent(const std::string& name, std::string& parent, int& port) {
    size_t dot = name.rfind('.');
    size_t dash = name.find('-');
    if (dot != std::string::npos) {
        parent = name.substr(0, dot);
        port = static_cast<int>(parse_num(name.substr(dot + 1), 10, 0));
    } else if (dash != std::string::npos) {
        parent = "usb" + name.substr(0, dash);
        port = static_cast<int>(parse_num(name.substr(dash + 1), 10, 0));
    } else {
        parent.clear();
        port = 0;
    }
}

// Block devices below an interface: .../host*/target*/<lun>/block/<name>.
void find_blocks(const std::string& dir, int depth, std::vector<std::string>& out) {
    if (depth > 6) return;
    for (const auto& n : list_dir(dir)) {
        std::string p = dir + "/" + n;
        if (n == "block" && is_dir(p)) {
            for (const auto& b : list_dir(p))
                out.push_back(b);
        } else if (n != "driver" && n != "subsystem" && n != "port" && n != "power" &&
                   n != "firmware_node" && is_dir(p)) {
            find_blocks(p, depth + 1, out);
        }
    }
}

// ttys bound to an interface: usb-serial puts "ttyUSB<k>" in it, cdc-acm "tty/ttyACM<k>".
std::vector<std::string> find_ttys(const std::string& iface_dir) {
    std::vector<std::string> ttys;
    auto take = [&](const std::string& dir) {
        for (const auto& n : list_dir(dir))
            if (com_from_kernel_name(n) > 0 && std::find(ttys.begin(), ttys.end(), n) == ttys.end())
                ttys.push_back(n);
    };
    take(iface_dir);
    take(iface_dir + "/tty");
    return ttys;
}

void fill_usb_names(DeviceRecord& r, const std::string& serial) {
    if (r.vid == 0 && r.pid == 0) return;
    std::string s = serial.empty() ? synth_serial(r.parent, r.hubport) : serial;
    if (r.interface_path.empty()) r.interface_path = synth_interface_path(r.vid, r.pid, s);
    if (r.instance.empty()) r.instance = synth_instance(r.vid, r.pid, s);
}

} // namespace

const char* device_kind_name(DeviceKind k) {
    switch (k) {
    case DeviceKind::Serial:
        return "serial";
    case DeviceKind::Usb:
        return "usb";
    case DeviceKind::Disk:
        return "disk";
    }
    return "serial";
}

int com_from_kernel_name(const std::string& n) {
    auto number = [&](size_t at) -> long {
        if (at >= n.size() || n.size() - at > 6) return -1;
        return parse_num(n.substr(at), 10, -1);
    };
    if (starts_with(n, "ttyUSB")) {
        long k = number(6);
        return k >= 0 ? static_cast<int>(k + 1) : 0;
    }
    if (starts_with(n, "ttyACM")) {
        long k = number(6);
        return k >= 0 ? static_cast<int>(k + 101) : 0;
    }
    return 0;
}

std::string usb_position(const DeviceRecord& r) {
    return r.parent + "#" + std::to_string(r.hubport) + "#";
}

std::string synth_serial_friendly(uint16_t vid, uint16_t pid, int iface, int com, bool& diag) {
    diag = false;
    const std::string at = " (COM" + std::to_string(com) + ")";
    if (vid == kQualcommVid && pid == 0x9008) return "Qualcomm HS-USB QDLoader 9008" + at;
    if (vid == kQualcommVid && (pid == 0x9025 || pid == 0x9026 || pid == 0x900E)) {
        // The Android composites: 0 DIAG, 1 ADB, 2 AT modem, 3 NMEA, then network and storage.
        std::string tag = hex4(pid, true);
        switch (iface) {
        case 0:
            diag = true;
            return "Qualcomm HS-USB Diagnostics " + tag + at;
        case 2:
            return "Qualcomm HS-USB Android Modem " + tag; // modems carry their port elsewhere
        case 3:
            return "Qualcomm HS-USB NMEA " + tag + at;
        default:
            return "Qualcomm HS-USB Serial Port " + tag + at;
        }
    }
    return {};
}

std::string synth_interface_path(uint16_t vid, uint16_t pid, const std::string& serial) {
    return lower("\\\\?\\usb#vid_" + hex4(vid, false) + "&pid_" + hex4(pid, false) + "#" + serial +
                 "#" + kUsbDeviceGuid);
}

std::string synth_instance(uint16_t vid, uint16_t pid, const std::string& serial) {
    return "USB\\VID_" + hex4(vid, true) + "&PID_" + hex4(pid, true) + "\\" + serial;
}

std::string synth_serial(const std::string& parent, int hubport) {
    // FNV-1a of the hub's identity, in the shape the system gives serial-less devices.
    uint32_t h = 2166136261u;
    for (unsigned char c : parent) {
        h ^= c;
        h *= 16777619u;
    }
    char b[32];
    std::snprintf(b, sizeof b, "5&%08x&0&%d", h, hubport);
    return b;
}

bool read_device_record(const std::string& path, DeviceRecord& out) {
    ini::Document doc;
    if (!ini::Document::load(path, doc)) return false;
    auto get = [&](const char* key) { return doc.get("device", key).value_or(""); };
    DeviceRecord r;
    std::string kind = get("kind");
    if (ini::iequals(kind, "serial"))
        r.kind = DeviceKind::Serial;
    else if (ini::iequals(kind, "usb"))
        r.kind = DeviceKind::Usb;
    else if (ini::iequals(kind, "disk"))
        r.kind = DeviceKind::Disk;
    else
        return false;
    size_t slash = path.rfind('/');
    r.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (ends_with(r.name, ".dev")) r.name.resize(r.name.size() - 4);
    long com = parse_num(get("com"), 10, 0);
    r.com = com > 0 && com < 100000 ? static_cast<int>(com) : 0;
    r.path = get("path");
    r.friendly = get("friendly");
    r.diag = parse_num(get("diag"), 10, 0) != 0;
    r.interface_path = get("interface");
    r.instance = get("instance");
    r.parent = get("parent");
    long hubport = parse_num(get("hubport"), 10, 0);
    r.hubport = hubport > 0 && hubport < 256 ? static_cast<int>(hubport) : 0;
    r.vid = parse_id(get("vid"));
    r.pid = parse_id(get("pid"));
    r.address = get("address");
    if (r.kind == DeviceKind::Serial && r.friendly.empty() && r.com > 0) {
        bool diag = false;
        r.friendly = synth_serial_friendly(r.vid, r.pid, r.diag ? 0 : -1, r.com, diag);
    }
    fill_usb_names(r, "");
    out = std::move(r);
    return true;
}

std::string device_record_text(const DeviceRecord& r) {
    std::string t = "[device]\n";
    auto put = [&](const char* k, const std::string& v) {
        if (!v.empty()) t += std::string(k) + "=" + v + "\n";
    };
    put("kind", device_kind_name(r.kind));
    if (r.com > 0) put("com", std::to_string(r.com));
    put("path", r.path);
    put("friendly", r.friendly);
    if (r.kind == DeviceKind::Serial) put("diag", r.diag ? "1" : "0");
    put("interface", r.interface_path);
    put("instance", r.instance);
    put("parent", r.parent);
    if (r.hubport > 0) put("hubport", std::to_string(r.hubport));
    if (r.vid || r.pid) {
        put("vid", hex4(r.vid, false));
        put("pid", hex4(r.pid, false));
    }
    put("address", r.address);
    return t;
}

std::vector<DeviceRecord> list_devices_from_dir(const std::string& dir) {
    std::vector<DeviceRecord> out;
    for (const auto& n : list_dir(dir)) {
        // Writers' temporary files start with '.'; only finished records count.
        if (n.empty() || n[0] == '.' || !ends_with(n, ".dev") || n.size() == 4) continue;
        DeviceRecord r;
        if (read_device_record(dir + "/" + n, r)) out.push_back(std::move(r));
    }
    return out;
}

std::vector<DeviceRecord> list_devices_from_sysfs(const std::string& sys_root,
                                                  const std::string& dev_root) {
    std::vector<DeviceRecord> out;
    const std::string base = sys_root + "/bus/usb/devices";
    std::vector<std::string> names = list_dir(base);
    // Serial records (their place in out, their interface number) and their identities: the COM
    // numbers come from the database once the whole tree has been read.
    std::vector<std::pair<size_t, int>> serials;
    std::vector<PortIdentity> ids;
    for (const auto& dev : names) {
        if (dev.find(':') != std::string::npos || starts_with(dev, "usb")) continue;
        const std::string ddir = base + "/" + dev;
        if (read_attr(ddir + "/bDeviceClass") == "09") continue; // hubs are positions, not devices
        DeviceRecord proto;
        proto.vid = parse_id(read_attr(ddir + "/idVendor"));
        proto.pid = parse_id(read_attr(ddir + "/idProduct"));
        usb_parent(dev, proto.parent, proto.hubport);
        fill_usb_names(proto, read_attr(ddir + "/serial"));

        // Interfaces in interface-number order.
        std::vector<std::pair<long, std::string>> ifaces;
        for (const auto& n : names)
            if (starts_with(n, dev + ":"))
                ifaces.emplace_back(
                    parse_num(read_attr(base + "/" + n + "/bInterfaceNumber"), 16, 0), n);
        std::sort(ifaces.begin(), ifaces.end());

        size_t before = out.size();
        for (const auto& [num, iname] : ifaces) {
            const std::string idir = base + "/" + iname;
            int index = 0;
            for (const auto& tty : find_ttys(idir)) {
                DeviceRecord r = proto;
                r.kind = DeviceKind::Serial;
                r.name = tty;
                r.path = dev_root + "/" + tty;
                serials.push_back({out.size(), static_cast<int>(num)});
                ids.push_back({usb_position(r), r.vid, r.pid, static_cast<int>(num), index++});
                out.push_back(std::move(r));
            }
            if (read_attr(idir + "/bInterfaceClass") == "08") {
                std::vector<std::string> blocks;
                find_blocks(idir, 0, blocks);
                for (const auto& b : blocks) {
                    DeviceRecord r = proto;
                    r.kind = DeviceKind::Disk;
                    r.name = b;
                    r.path = dev_root + "/" + b;
                    std::string product = read_attr(ddir + "/product");
                    r.friendly =
                        product.empty() ? "USB Mass Storage Device" : product + " USB Device";
                    out.push_back(std::move(r));
                }
            }
        }
        if (out.size() == before) {
            DeviceRecord r = proto;
            r.kind = DeviceKind::Usb;
            r.name = dev;
            r.address = "usb:" + dev;
            if (r.vid == 0x18D1 && r.pid == 0xD00D)
                r.friendly = "Android Bootloader Interface";
            else
                r.friendly = read_attr(ddir + "/product");
            out.push_back(std::move(r));
        }
    }
    const std::vector<int> coms = com_numbers_for(ids);
    for (size_t i = 0; i < serials.size(); ++i) {
        DeviceRecord& r = out[serials[i].first];
        r.com = coms[i];
        r.friendly = synth_serial_friendly(r.vid, r.pid, serials[i].second, r.com, r.diag);
        if (r.friendly.empty())
            r.friendly = std::string(starts_with(r.name, "ttyACM") ? "USB Serial Device"
                                                                   : "USB Serial Port") +
                         " (COM" + std::to_string(r.com) + ")";
    }
    return out;
}

std::string device_dir() {
    const char* d = std::getenv("TARNWELL_DEVICE_DIR");
    return d ? std::string(d) : std::string();
}

std::vector<DeviceRecord> list_devices() {
    std::vector<DeviceRecord> v;
    try_list_devices(v);
    return v;
}

void set_sysfs_root(const std::string& sys_root, const std::string& dev_root) {
    std::lock_guard<std::mutex> g(g_roots_mutex);
    g_sys_root = sys_root;
    g_dev_root = dev_root;
}

bool try_list_devices(std::vector<DeviceRecord>& out) {
    std::string dir = device_dir();
    std::string sys_root, dev_root;
    {
        std::lock_guard<std::mutex> g(g_roots_mutex);
        sys_root = g_sys_root;
        dev_root = g_dev_root;
    }
    // A machine without a USB bus (no usbcore, or a container) has no devices; only a source
    // that is not there at all (a missing directory, no sysfs) is an error.
    if (!is_dir(dir.empty() ? sys_root : dir)) {
        out.clear();
        return false;
    }
    out = dir.empty() ? list_devices_from_sysfs(sys_root, dev_root) : list_devices_from_dir(dir);
    return true;
}

} // namespace tw
