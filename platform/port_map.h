#pragma once
// COM port numbers on Linux. A serial record of the device source with that COM number names the
// tty (and says whether it is a DIAG function); with no virtual device directory the kernel name
// decides: ttyUSB<k> is COM k+1, ttyACM<k> is COM k+101.
#include <string>

namespace tw {

struct SerialPortInfo {
    std::string path;
    bool diag = false;
};

// False (and an empty path) when no tty stands for that COM number.
bool port_for_com(int com, SerialPortInfo& out);
// The tty path for a COM number, empty when none.
std::string tty_path_for_com(int com);

} // namespace tw
