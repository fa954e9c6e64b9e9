#include "station/station_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/ini.h"

namespace fs = std::filesystem;

namespace tw::station {

namespace {
std::string WithSlash(std::string p) {
    if (!p.empty() && p.back() != '/') p += '/';
    return p;
}
} // namespace

std::string StationFolder::Resolve(const std::string& given) {
    if (!given.empty()) return WithSlash(given);
    if (const char* h = std::getenv("TARNWELL_HOME"); h && *h) return WithSlash(h);
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return WithSlash(std::string(x) + "/tarnwell");
    if (const char* home = std::getenv("HOME"); home && *home)
        return WithSlash(std::string(home) + "/.local/share/tarnwell");
    return "";
}

StationFolder::StationFolder(std::string root) : root_(WithSlash(std::move(root))) {}

const char* StationFolder::FreshRebootScript() {
    return "#!/bin/sh\n"
           "# reboot.sh: the station runs this script after a phone's modem images are written,\n"
           "# and again before it waits for the phone's fastboot device. Its job is to bring the\n"
           "# phone at that slot up in fastboot mode (the bootloader), for rigs that need help\n"
           "# with that (a relay, a USB switch, a command to a test fixture).\n"
           "#\n"
           "# It is started with /bin/sh, not waited for, with two arguments:\n"
           "#   $1  the slot number, 1 to 16\n"
           "#   $2  the slot's USB position (hub identity, \"#\", hub port, \"#\")\n"
           "# Its output goes to log/reboot.log in the station folder.\n"
           "#\n"
           "# As shipped it does nothing.\n"
           "exit 0\n";
}

bool StationFolder::Create(std::string* why) const {
    std::error_code ec;
    for (const std::string& d : {root_, sw(), qcn(), log()}) {
        fs::create_directories(d, ec);
        if (ec || !fs::is_directory(d)) {
            if (why) *why = d + ": " + (ec ? ec.message() : "not a folder");
            return false;
        }
    }
    if (!fs::exists(reboot_script(), ec) &&
        !ini::write_file_atomic(reboot_script(), FreshRebootScript())) {
        if (why) *why = reboot_script() + ": cannot be written";
        return false;
    }
    return true;
}

} // namespace tw::station
