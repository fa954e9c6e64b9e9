#pragma once
// COM numbers of real serial ports. The kernel gives the next device that appears the lowest free
// ttyUSB number, so a kernel name can belong to another phone a moment later. Like Windows, each
// port identity (USB position, USB ids, interface number) gets a number of its own the first time
// it is seen, the lowest one free from 1, and keeps it across restarts: the numbers live in
// "comdb.ini" in the state folder, one section per number:
//
//   [COM3]
//   position=1-1#2#
//   vid=05c6
//   pid=9025
//   interface=0
//
// Every caller reads the file afresh; new numbers are given out under an exclusive lock on
// "comdb.ini.lock", so processes sharing the folder (a station and a tarnwell-cli) never give one
// number to two identities, and the file is replaced whole (temporary file, rename).
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct PortIdentity {
    std::string position; // parent hub identity, "#", hub port, "#"
    uint16_t vid = 0, pid = 0;
    int interface_number = 0;
    int index = 0; // the tty's place among those of one interface (0 for the first)

    bool operator==(const PortIdentity&) const = default;
};

constexpr int kMaxComNumber = 4096;

// TARNWELL_STATE_DIR when set, else $XDG_STATE_HOME/tarnwell, else ~/.local/state/tarnwell.
std::string state_dir();
// state_dir() + "/comdb.ini".
std::string com_db_path();

// The COM number of each identity, in order: the one on record, or a new one taken for it. 0 for
// an identity that could not be given one (every number taken). When the database cannot be
// written, new numbers hold for this process only (reported once on the debug stream).
std::vector<int> com_numbers_for(const std::vector<PortIdentity>& ids,
                                 const std::string& db_path = com_db_path());

} // namespace tw
