#pragma once
// The window program's command line: the headless station's options where they mean the same
// (--home, --device-dir, --time-scale, --package), and two for unattended runs (--start-all,
// --screenshot). Plain C++, so it is parsed and checked before any display is needed.
#include <string>
#include <vector>

namespace tw::window {

struct Options {
    std::string home;       // as given; StationFolder::Resolve picks the default
    std::string device_dir; // "" = the machine's devices
    double time_scale = 0;  // 0 = not given
    std::string package;    // a package folder loaded at start, as "Load Files" does
    bool start_all = false; // press "start all" once the window is up
    std::string screenshot; // save a picture of the window at the first result, then quit
    bool help = false, version = false;
};

// False with a one-line reason on a bad option or value.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& why);

const char* Usage();

} // namespace tw::window
