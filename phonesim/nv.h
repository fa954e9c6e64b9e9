#pragma once
// The NV items a simulated phone holds: a fixed catalogue shared by every phone and by the
// "NVFrom.txt" the package generator writes, each phone's current values (calibration differs per
// phone, NV item 550 holds its IMEI) and the factory values a modem re-flash falls back to.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace phonesim {

constexpr uint16_t kNvImeiItem = 550;
constexpr size_t kNvDataSize = 128;

// Status words of an NV answer.
enum NvStatus : uint16_t {
    kNvDone = 0,
    kNvBusy = 1,
    kNvFail = 4,
    kNvInactive = 5,
    kNvReadOnly = 7,
    kNvBadItem = 8,
};

struct NvCatalogEntry {
    uint16_t item = 0;
    uint16_t context = 0; // 0 main, 1 SIM 1
    std::string name;
    bool defined = true; // false: listed in "NVFrom.txt" but absent from the phone
    bool listed = true;  // named in "NVFrom.txt"
    bool readonly = false;
    bool factory_active = true; // false: never written at the factory (reads as inactive)
    bool calibrated = false;    // value differs per phone
};

// The fixed catalogue, main items by number, then SIM 1 items by number.
const std::vector<NvCatalogEntry>& nv_catalog();
// "NVFrom.txt": "NV item: <n> [<name>]" lines, each SIM 1 item's " NV item (SIM 1): <n> [<name>]"
// line right after its main item, CR LF line ends.
std::string nvfrom_text();

class NvStore {
  public:
    using Data = std::array<uint8_t, kNvDataSize>;

    // Values for the phone with this IMEI; seed varies the calibration per phone.
    NvStore(const std::string& imei, uint64_t seed);

    // Reads into out (untouched unless done); returns the status.
    uint16_t read(uint16_t item, uint16_t context, uint8_t* out) const;
    uint16_t write(uint16_t item, uint16_t context, const uint8_t* data);
    // The NV items as a modem re-flash leaves them: every item back to its factory value; the
    // calibration, which only the phone's own calibration run wrote, reads as inactive, and
    // NV item 550 reads as zeros.
    void factory_reset();
    // The phone refuses writes to the item from now on (status read-only); false when the
    // phone does not define it.
    bool set_readonly(uint16_t item, uint16_t context);

    // One line per defined item: "<context> <item> <active|inactive> <ro|rw> <256 hex digits>".
    std::string to_text() const;
    // Takes the items of such a text (a phone that comes back holds what it held); false, with
    // nothing changed, when a line does not fit or names an item the phone does not define.
    bool load_text(const std::string& text);
    bool defined(uint16_t item, uint16_t context) const;
    size_t size() const { return items_.size(); }

  private:
    struct Item {
        Data data{};
        bool active = true;
        bool readonly = false;
    };
    static uint32_t key(uint16_t item, uint16_t context) {
        return static_cast<uint32_t>(context) << 16 | item;
    }
    static Data factory_value(const NvCatalogEntry& e);

    std::map<uint32_t, Item> items_;
};

} // namespace phonesim
