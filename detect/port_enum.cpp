#include "detect/port_enum.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "engine/debug_out.h"
#include "platform/device_source.h"
#include "platform/ini.h"

namespace detect {

const char* const kModel9025Names[3] = {
    "Kestrin K3 HS-USB Diagnostics 9025",
    "Kestrin K5 HS-USB Diagnostics 9025",
    "Zel9 Android HS-USB Diagnostics 9025",
};
const char* const kModel900ENames[1] = {"Kestrin K3 Android Diagnostics 900E"};
const char* const kModemDescriptions[] = {
    "Qualcomm USB Modem",
    "HS-USB Modem 9004",
    "Qualcomm HS-USB Android Modem 9025",
    "Qualcomm HS-USB Android Modem 9026",
    "Qualcomm HS-USB Android Modem 900E",
    "Kestrin K3 HS-USB Modem",
    "Kestrin K5 HS-USB Modem",
    "Zel9 Android HS-USB Modem",
};
const size_t kModemDescriptionCount = sizeof kModemDescriptions / sizeof kModemDescriptions[0];

namespace {
std::atomic<unsigned> g_listenerLoops{0};
} // namespace

void CountListenerLoop() {
    g_listenerLoops.fetch_add(1, std::memory_order_relaxed);
}

} // namespace detect

namespace {

std::mutex g_iniMutex;
std::string g_iniOverride; // guarded by g_iniMutex

bool contains(std::string_view hay, std::string_view needle) {
    return hay.find(needle) != std::string_view::npos;
}

// The decimal number after the first "COM"; 0 when there is none or it does not fit a port.
int port_after_com(std::string_view s) {
    size_t at = s.find("COM");
    if (at == std::string_view::npos) return 0;
    long n = 0;
    bool any = false;
    for (size_t i = at + 3; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        n = n * 10 + (s[i] - '0');
        any = true;
        if (n > 0xFFFF) return 0;
    }
    return any ? static_cast<int>(n) : 0;
}

// "A,B," gives A and B; text after the last "," is not a fragment. Empty and blank ones match
// nothing: a blank would be found in every port's name and make any serial port a DIAG port.
std::vector<std::string> read_fragments() {
    char buf[1024] = {};
    tw::ini::get_string("Diag9025Driver", "Diag9025Driver", "", buf, sizeof buf, GetINIFilePath());
    std::vector<std::string> out;
    std::string_view v(buf);
    size_t comma;
    while ((comma = v.find(',')) != std::string_view::npos) {
        const std::string_view f = v.substr(0, comma);
        if (f.find_first_not_of(" \t") != std::string_view::npos) out.emplace_back(f);
        v.remove_prefix(comma + 1);
    }
    return out;
}

// Copies text into a fixed name field, never splitting a UTF-8 character.
void copy_name(char (&dst)[512], std::string_view src) {
    size_t n = std::min(src.size(), sizeof dst - 1);
    while (n > 0 && n < src.size() && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
        --n;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

bool add_entry(devlist* list, int capacity, int& count, int port, std::string_view name) {
    if (port <= 0 || count >= capacity) return false;
    for (int i = 0; i < count; ++i)
        if (list[i].ComPort == port) return false;
    list[count].ComPort = static_cast<uint16_t>(port);
    copy_name(list[count].DevicesName, name);
    ++count;
    return true;
}

// Joins items into the caller's buffer; an item that does not fit ends the list there.
int write_list(char* list, size_t size, const std::vector<std::string>& items) {
    if (!list || size == 0) return 0;
    size_t used = 0;
    int written = 0;
    for (const auto& item : items) {
        size_t need = item.size() + (written ? 1 : 0);
        if (used + need + 1 > size) break;
        if (written) list[used++] = ',';
        std::memcpy(list + used, item.data(), item.size());
        used += item.size();
        ++written;
    }
    list[used] = '\0';
    return written > 0 ? 1 : 0;
}

} // namespace

std::string GetINIFilePath() {
    {
        std::lock_guard<std::mutex> g(g_iniMutex);
        if (!g_iniOverride.empty()) return g_iniOverride;
    }
    return tw::ini::program_dir() + "inifile.ini";
}

void SetINIFilePathOverride(const std::string& path) {
    std::lock_guard<std::mutex> g(g_iniMutex);
    g_iniOverride = path;
}

int QualcommVcom_QuaryDeviceName(devlist* list, int capacity, bool* isDiagcom,
                                 bool* isDiag9025com) {
    if (detect::g_listenerLoops.load(std::memory_order_relaxed) % 10 == 0)
        sondrel::DebugOutput("\n\nEnter INT QualcommVcom_QuaryDeviceName\n\n");
    if (!list || capacity <= 0) return 0;
    const std::vector<std::string> fragments = read_fragments();
    std::vector<tw::DeviceRecord> devices;
    if (!tw::try_list_devices(devices)) return -2;

    auto flags = [&](bool diag, bool diag9025) {
        if (isDiagcom) *isDiagcom = diag;
        if (isDiag9025com) *isDiag9025com = diag9025;
    };
    int count = 0;
    for (const auto& d : devices) {
        if (count >= capacity) break;
        if (d.kind != tw::DeviceKind::Serial || d.friendly.empty()) continue;
        std::string_view name = d.friendly;
        const int port = port_after_com(name);
        auto match = [&](bool diag, bool diag9025) {
            flags(diag, diag9025);
            add_entry(list, capacity, count, port, name);
        };
        if (contains(name, "Qualcomm HS-USB QDLoader 9008")) match(false, false);
        if (contains(name, "Diagnostics 9026")) match(true, false);
        bool is9025 = contains(name, "Diagnostics 9025");
        for (const char* m : detect::kModel9025Names)
            is9025 = is9025 || contains(name, m);
        if (is9025) match(false, true);
        for (const auto& f : fragments)
            if (contains(name, f)) match(false, true);
        bool is900E = contains(name, "Qualcomm HS-USB Diagnostics 900E");
        for (const char* m : detect::kModel900ENames)
            is900E = is900E || contains(name, m);
        if (is900E) match(false, true);
    }
    return count;
}

int QueryModemPorts(devlist* list, int capacity) {
    if (!list || capacity <= 0) return 0;
    std::vector<tw::DeviceRecord> devices;
    if (!tw::try_list_devices(devices)) return -2;
    int count = 0;
    for (const auto& d : devices) {
        if (count >= capacity) break;
        if (d.kind != tw::DeviceKind::Serial || d.com <= 0) continue;
        bool modem = false;
        for (size_t i = 0; i < detect::kModemDescriptionCount; ++i)
            modem = modem || contains(d.friendly, detect::kModemDescriptions[i]);
        if (!modem) continue;
        const std::string attached = "COM" + std::to_string(d.com); // the tty's COM name
        add_entry(list, capacity, count, port_after_com(attached), attached);
    }
    return count;
}

int GetPhone(char* list, size_t size, bool* isDiagcom, bool* isDiag9025com) {
    std::vector<devlist> found(kDevListCapacity);
    int n = QualcommVcom_QuaryDeviceName(found.data(), kDevListCapacity, isDiagcom, isDiag9025com);
    std::vector<std::string> items;
    for (int i = 0; i < n; ++i)
        items.push_back("COM" + std::to_string(found[i].ComPort) + "+" + found[i].DevicesName);
    return write_list(list, size, items);
}

int GetPhone(char* list, size_t size, TYPEPORT type) {
    std::vector<std::string> items;
    if (type == TYPEPORT_MODEM) {
        std::vector<devlist> found(kDevListCapacity);
        int n = QueryModemPorts(found.data(), kDevListCapacity);
        for (int i = 0; i < n; ++i)
            items.push_back("COM" + std::to_string(found[i].ComPort));
    }
    return write_list(list, size, items);
}

int conmanageGetPhone(char* list, size_t size, int& count) {
    // More items than the buffer can hold are never built.
    size_t n = count > 0 ? std::min(static_cast<size_t>(count), size / 5 + 1) : 0;
    std::vector<std::string> items(n, "COM0");
    write_list(list, size, items);
    return count > 0 ? 1 : 0;
}
