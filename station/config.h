#pragma once
// The station's settings in "inifile.ini" and the package description "ROMINFO.ini". Values
// are read afresh at every use (an operator may edit the file while the station runs); every
// write reaches the disk at once. Writes are serialised by the caller (StationCore's lock).
#include <string>

namespace tw::station {

constexpr int kSlots = 16;

// Per-slot sections and key formats ("USBAddress[%d]" ...).
struct SlotKey {
    const char* section;
    const char* key_prefix; // followed by "[<index>]"
};
inline constexpr SlotKey kUsbAddressKey = {"QDLoadcom9008", "USBAddress"};
inline constexpr SlotKey kEmmcPortKey = {"eMMCInterfaceName", "eMMCport"};
inline constexpr SlotKey kDiagComKey = {"DiagCom", "diagcom"};
inline constexpr SlotKey kFastbootNameKey = {"FastbootDeviceName", "fastbootDeviceName"};
inline constexpr SlotKey kDiagCom9025Key = {"DiagCom9025", "diagcom9025"};
inline constexpr SlotKey kAllSlotKeys[] = {kUsbAddressKey, kEmmcPortKey, kDiagComKey,
                                           kFastbootNameKey, kDiagCom9025Key};

// Per-slot values and paths are read with 256-character buffers: longer ones are cut there.
constexpr size_t kValueBuffer = 256;
// The longest wait after a fastboot reboot the station takes from "inifile.ini", in seconds.
constexpr long kMaxContinueSleepS = 3600;

struct RomInfo {
    std::string sw_ver, brand, model;
    bool found = false;
};

class StationConfig {
  public:
    explicit StationConfig(std::string ini_path) : ini_(std::move(ini_path)) {}
    const std::string& path() const { return ini_; }

    std::string Read(const char* section, const char* key, size_t buffer = kValueBuffer) const;
    bool Write(const char* section, const char* key, const std::string& value) const;
    bool HasKey(const char* section, const char* key) const;

    std::string SlotValue(const SlotKey& k, int slot) const;
    bool SetSlotValue(const SlotKey& k, int slot, const std::string& value) const;
    // Writes the empty string to all 80 per-slot keys.
    bool ClearSlotKeys() const;

    // "Language": "Chinese", "English" or "".
    std::string Language() const { return Read("Language", "Language"); }
    // "IsTestUsed" other than "FALSE"/"false" means test use (the folder buttons show).
    bool TestUse() const;
    // Creates "IsTestUsed" with an empty value when missing (the first start).
    void EnsureTestUsedKey() const;
    std::string SoftwarePath() const { return Read("PhoneSoftwarePath", "PhoneSoftwarePathName"); }
    std::string Rawprogram0Path() const { return Read("Rawprogram0Path", "Rawprogram0PathName"); }
    bool SetSoftwarePaths(const std::string& folder) const;
    bool ClearSoftwarePaths() const { return SetSoftwarePaths(""); }
    // Nominal milliseconds to wait after a fastboot reboot: empty 60 s, otherwise the decimal
    // value in seconds (text that is not a number counts as 0), at most kMaxContinueSleepS.
    long FastbootContinueSleepMs() const;
    // Whether that value is one an operator meant: empty, or decimal digits for at most
    // kMaxContinueSleepS seconds. A slot does not start with any other (the text in `value`).
    bool FastbootContinueSleepUsable(std::string* value = nullptr) const;
    // "diagPauseMs" in "Kestrin": nominal milliseconds between a DIAG request and the read of its
    // answer, for phones that need a pause; empty or not a number 0, at most 60000.
    int DiagPauseMs() const;

  private:
    std::string ini_;
};

// "ROMINFO.ini" found by name in folder or below it; "" when there is none.
std::string FindRomInfo(const std::string& folder);
// Its "Config" section; found is false for a file that is missing or not text.
RomInfo ReadRomInfo(const std::string& path);

} // namespace tw::station
