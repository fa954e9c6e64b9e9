#include "station/config.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "platform/ini.h"
#include "station/fastboot_flash.h"

namespace tw::station {

namespace {
std::string SlotKeyName(const SlotKey& k, int slot) {
    return std::string(k.key_prefix) + "[" + std::to_string(slot) + "]";
}
} // namespace

std::string StationConfig::Read(const char* section, const char* key, size_t buffer) const {
    std::vector<char> buf(buffer + 1, '\0');
    ini::get_string(section, key, "", buf.data(), buffer, ini_);
    return buf.data();
}

bool StationConfig::Write(const char* section, const char* key, const std::string& value) const {
    return ini::write_string(ini_, section, key, value);
}

bool StationConfig::HasKey(const char* section, const char* key) const {
    ini::Document d;
    return ini::Document::load(ini_, d) && d.get(section, key).has_value();
}

std::string StationConfig::SlotValue(const SlotKey& k, int slot) const {
    return Read(k.section, SlotKeyName(k, slot).c_str());
}

bool StationConfig::SetSlotValue(const SlotKey& k, int slot, const std::string& value) const {
    return Write(k.section, SlotKeyName(k, slot).c_str(), value);
}

bool StationConfig::ClearSlotKeys() const {
    // One rewrite of the file for all 80 keys.
    ini::Document d;
    ini::Document::load(ini_, d);
    for (int i = 0; i < kSlots; ++i)
        for (const SlotKey& k : kAllSlotKeys)
            d.set(k.section, SlotKeyName(k, i), "");
    return ini::write_file_atomic(ini_, d.text());
}

bool StationConfig::TestUse() const {
    const std::string v = Read("IsTestUsed", "IsTestUsed", 16);
    return v != "FALSE" && v != "false";
}

void StationConfig::EnsureTestUsedKey() const {
    if (!HasKey("IsTestUsed", "IsTestUsed")) Write("IsTestUsed", "IsTestUsed", "");
}

bool StationConfig::SetSoftwarePaths(const std::string& folder) const {
    const std::string v = folder.substr(0, kValueBuffer - 1);
    return Write("Rawprogram0Path", "Rawprogram0PathName", v) &&
           Write("PhoneSoftwarePath", "PhoneSoftwarePathName", v);
}

long StationConfig::FastbootContinueSleepMs() const {
    const std::string v = Read("Kestrin", "fastbootContinueSleepTime");
    if (v.empty()) return 60000;
    long s = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        s = std::min(s * 10 + (c - '0'), kMaxContinueSleepS); // longer is a typo
    }
    return s * 1000;
}

bool StationConfig::FastbootContinueSleepUsable(std::string* value) const {
    const std::string v = Read("Kestrin", "fastbootContinueSleepTime");
    if (value) *value = v;
    if (v.empty()) return true;
    long s = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        s = s * 10 + (c - '0');
        if (s > kMaxContinueSleepS) return false;
    }
    return true;
}

int StationConfig::DiagPauseMs() const {
    const std::string v = Read("Kestrin", "diagPauseMs");
    long ms = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        ms = ms * 10 + (c - '0');
        if (ms > 60000) return 60000;
    }
    return static_cast<int>(ms);
}

std::string FindRomInfo(const std::string& folder) {
    return FindFileByName(folder, "ROMINFO.ini");
}

namespace {

// A description a person wrote: no NUL and no control characters but tabs and line ends.
bool IsText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            const auto c = static_cast<unsigned char>(buf[i]);
            if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') return false;
        }
        if (!in) break;
    }
    return true;
}

} // namespace

RomInfo ReadRomInfo(const std::string& path) {
    RomInfo r;
    // A file that is not text is no description: shown as none rather than as its bytes.
    if (path.empty() || !IsText(path)) return r;
    ini::Document d;
    if (!ini::Document::load(path, d)) return r;
    r.found = true;
    auto get = [&](const char* key) {
        std::string v = d.get("Config", key).value_or("");
        return v.substr(0, kValueBuffer - 1);
    };
    r.sw_ver = get("SW_Ver");
    r.brand = get("Brand");
    r.model = get("Model");
    return r;
}

} // namespace tw::station
