#pragma once
// Starting a helper program without waiting for it (what the station does with "reboot.sh").
// The child is reaped by a small thread of its own as soon as it ends, so no zombie is left
// behind however long the station runs.
#include <string>
#include <vector>

namespace tw {

struct SpawnOptions {
    // Standard output and error are appended here; empty: /dev/null. Standard input is
    // /dev/null either way, so a script can never read the station's terminal.
    std::string output_file;
};

// Starts argv[0] (a path) with argv; returns the process id, or -1 with err set.
int spawn_detached(const std::vector<std::string>& argv, const SpawnOptions& opt,
                   std::string* err = nullptr);

// Children started by spawn_detached that have not been reaped yet.
int unreaped_children();

} // namespace tw
