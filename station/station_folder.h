#pragma once
// The station folder, which stands in for the folder of the running program: it holds
// "inifile.ini", the "SW" folder, the QCN backups ("qcn"), the logs ("log") and "reboot.sh".
// Chosen by --home DIR, else TARNWELL_HOME, else $XDG_DATA_HOME/tarnwell
// (~/.local/share/tarnwell); created with its parts at the first start.
#include <string>

namespace tw::station {

class StationFolder {
  public:
    // The folder to use: given (non-empty) wins, then TARNWELL_HOME, then the XDG default.
    // Always ends in '/'; empty only when no home can be found at all.
    static std::string Resolve(const std::string& given = "");

    explicit StationFolder(std::string root);

    // Creates the folder, "SW", "qcn" and "log", and a "reboot.sh" that does nothing when there
    // is none. False (with why) when the folder cannot be made.
    bool Create(std::string* why = nullptr) const;

    const std::string& root() const { return root_; } // with a trailing '/'
    std::string ini() const { return root_ + "inifile.ini"; }
    std::string sw() const { return root_ + "SW"; }
    std::string qcn() const { return root_ + "qcn/"; } // QCN backups, with a trailing '/'
    std::string log() const { return root_ + "log"; }
    std::string reboot_script() const { return root_ + "reboot.sh"; }
    std::string reboot_log() const { return log() + "/reboot.log"; }

    // The text of a fresh "reboot.sh".
    static const char* FreshRebootScript();

  private:
    std::string root_;
};

} // namespace tw::station
