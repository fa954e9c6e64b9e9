#include "window/options.h"

#include <cstdlib>

namespace tw::window {

const char* Usage() {
    return "usage: tarnwell [--home DIR] [--device-dir DIR] [--time-scale X] [--package DIR]\n"
           "                [--start-all] [--screenshot FILE]\n"
           "  --home DIR         station folder (default $TARNWELL_HOME, else\n"
           "                     $XDG_DATA_HOME/tarnwell or ~/.local/share/tarnwell)\n"
           "  --device-dir DIR   read devices from a virtual device directory\n"
           "  --time-scale X     multiply every wait by X (tests, demos)\n"
           "  --package DIR      load this software package at start, as \"Load Files\" does\n"
           "  --start-all        press the start-all button once the window is up\n"
           "  --screenshot FILE  save a PNG of the window once a row shows PASS or FAIL and\n"
           "                     the tally counts it, then close it (for the documentation)\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& why) {
    out = Options{};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        auto value = [&](std::string& v) {
            if (eq != std::string::npos) {
                v = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                v = args[++i];
            } else {
                why = name + " needs a value";
                return false;
            }
            if (v.empty()) why = name + " needs a value";
            return !v.empty();
        };
        std::string v;
        if (name == "--help" || name == "-h") {
            out.help = true;
        } else if (name == "--version") {
            out.version = true;
        } else if (name == "--start-all") {
            out.start_all = true;
        } else if (name == "--home") {
            if (!value(out.home)) return false;
        } else if (name == "--device-dir") {
            if (!value(out.device_dir)) return false;
        } else if (name == "--package") {
            if (!value(out.package)) return false;
        } else if (name == "--screenshot") {
            if (!value(out.screenshot)) return false;
        } else if (name == "--time-scale") {
            if (!value(v)) return false;
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(d > 0)) {
                why = name + " needs a positive number, not '" + v + "'";
                return false;
            }
            out.time_scale = d;
        } else {
            why = "unknown option " + a;
            return false;
        }
    }
    return true;
}

} // namespace tw::window
