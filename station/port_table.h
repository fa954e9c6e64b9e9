#pragma once
// Which USB position belongs to which slot. A phone changes its USB identity several times in
// a cycle (DIAG port, emergency download port, fastboot device) but stays at one position of
// the station's hubs, so slots are tied to positions, kept in "inifile.ini" in three sections
// that are always written together ("QDLoadcom9008", "FastbootDeviceName", "DiagCom9025").
//
// Claiming differs from a plain "first empty key" on purpose: a position already stored keeps
// its slot for good, even when a lower key has been emptied by hand, so one position is never
// stored twice nor routed to two slots. Not thread-safe: callers hold the station's lock.
#include <string>

#include "station/config.h"

namespace tw::station {

class PortTable {
  public:
    explicit PortTable(const StationConfig& config) : cfg_(config) {}

    // One writer of the three: the slot holding position in the section's keys, else the first
    // empty key (written with position), else -1.
    int WriteQDLoadcom9008(const std::string& position) const;
    int WriteFastbootDeviceName(const std::string& position) const;
    int Write9025RowIndex(const std::string& position) const;

    // The three writers in that order; the slot of the last one (-1 when none is free).
    // prefer: a slot without a position that asks for this one takes it before the first
    // empty key (a started slot claiming the phone it found).
    int Claim(const std::string& position, int prefer = -1) const;

    // The slot whose key holds position, -1 when none.
    int SlotOf(const std::string& position) const;
    // The position stored for the slot, "" when none.
    std::string PositionOf(int slot) const;
    // Whether the routing can use what the three sections hold for the slot: nothing, or the
    // same "<hub>#<port>#" in all three, stored for no other slot. Otherwise false, with the
    // first key that is not in `bad` ("USBAddress[3]=...").
    bool Usable(int slot, std::string& bad) const;

  private:
    int WriteOne(const SlotKey& k, const std::string& position, int prefer) const;
    const StationConfig& cfg_;
};

} // namespace tw::station
