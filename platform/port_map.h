#pragma once
// COM port numbers on Linux. With a virtual device directory, the serial record with that COM
// number names the tty and no other port exists; otherwise the sysfs serial port whose identity
// holds the number in the COM database (com_db.h). A number whose port is not present names
// nothing: never the tty the kernel has since given to another phone.
#include <string>

namespace tw {

struct SerialPortInfo {
    std::string path;
    bool diag = false;
};

// False (and an empty path) when no tty stands for that COM number now.
bool port_for_com(int com, SerialPortInfo& out);
// The tty path for a COM number, empty when none.
std::string tty_path_for_com(int com);

} // namespace tw
