#pragma once
// The operator's tally: phones passed and failed, and the mean cycle time, per slot and for the
// whole station since it started. Stopped cycles are not counted.
#include <array>

#include "station/config.h"

namespace tw::station {

struct SlotCounters {
    int passed = 0;
    int failed = 0;
    double seconds = 0; // the cycles counted, added up

    int phones() const { return passed + failed; }
    double mean_seconds() const { return phones() ? seconds / phones() : 0; }
    void Add(bool pass, double cycle_seconds) {
        (pass ? passed : failed) += 1;
        seconds += cycle_seconds;
    }
};

struct StationCounters {
    std::array<SlotCounters, kSlots> per_slot{}; // "slots" would clash with a Qt keyword
    SlotCounters total;
};

} // namespace tw::station
