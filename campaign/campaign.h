#pragma once
// The fault campaign: simulated phones at their own positions, the station over them, and an
// operator who takes each finished phone out and puts the next one in, each phone with a fault
// drawn from every stage and kind (or none). Every phone is checked: its result against its
// fault, its NV items against what it held, the QCN files against every phone's own items.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "campaign/fault_catalogue.h"
#include "campaign/nv_check.h"

namespace campaign {

struct Options {
    int phones = 16; // positions, one slot each
    int rounds = 18; // phones through each slot, failed phones that come back included
    uint64_t seed = 1;
    double scale = 0.02;
    bool keep = false; // keep the work folder (it is kept anyway when something is wrong)
    bool verbose = false;
    std::string self; // this program, which reboot.sh runs to reach the simulator
};

// One phone through the station, as the campaign saw it.
struct PhoneRun {
    int index = -1; // phonesim's
    int hubport = 0;
    int slot = -1;
    std::string imei;
    DrawnFault fault;
    int same_as = -1;         // a failed phone back for another go: its first index
    bool final_round = false; // the clean phone each slot takes at the end
    NvImage before, after;
    bool ended = false;
    bool pass = false;  // the station's record says PASS
    bool shown = false; // the slot's bar showed PASS during the cycle
    std::string message;
    // Cycles the station ran when the phone came back after its own had ended (FAIL each).
    std::vector<std::string> extra;
    std::vector<std::string> problems; // what the checks found wrong
    bool wrong_pass = false, lost = false, should_pass = false;
    // A FAIL where a PASS was due, while the machine held the serial links longer than the
    // station's shortest time-out: not counted against the station.
    bool stalled = false;
    long stall_ms = 0; // the longest link stall during the phone's cycle
};

// Runs the campaign; prints its table and findings. 0 when nothing was wrong, 1 otherwise.
int Run(const Options& o, FILE* out);

// The table: stage x fault kind, with runs, PASS, FAIL as expected, wrong PASS, FAIL where
// the station should have recovered, data lost or crossed.
void PrintTable(const std::vector<PhoneRun>& runs, FILE* out);

} // namespace campaign
