#pragma once
// Lists the phones' Qualcomm USB serial ports present, by the friendly names the device source
// gives them, as text for the station and the listener.
#include <cstddef>
#include <cstdint>
#include <string>

// One port found: its COM number and friendly name (or, for modems, its "AttachedTo" name).
struct devlist {
    uint16_t ComPort;
    char DevicesName[512];
};

constexpr int kDevListCapacity = 32;

// The port kind argument of the older GetPhone form: only modem ports are listed.
enum TYPEPORT { TYPEPORT_MODEM = 0, TYPEPORT_OTHER = 1 };

// The station's "inifile.ini" beside the running program.
std::string GetINIFilePath();
// Tests point the enumeration at another file; empty restores the program's own.
void SetINIFilePathOverride(const std::string& path);

// Serial ports whose friendly names mark a QDLoader 9008 or a DIAG 9026, 9025 or 900E port, in
// enumeration order, unique by port number. The flags follow the last matching test and are left
// alone when nothing matches. Returns the number of entries, -2 when the device source cannot be
// read.
int QualcommVcom_QuaryDeviceName(devlist* list, int capacity, bool* isDiagcom, bool* isDiag9025com);
// Modem ports, each named by its "AttachedTo" value ("COM5"). Returns the entries or -2.
int QueryModemPorts(devlist* list, int capacity);

// "COM<n>+<friendly name>" items joined by ","; size is the buffer's size in bytes, and a list
// that does not fit is cut after its last whole item. Returns 1 when an item was written, else 0
// with an empty list.
int GetPhone(char* list, size_t size, bool* isDiagcom, bool* isDiag9025com);
// TYPEPORT_MODEM: the modem ports as "COM<n>" items; any other type: an empty list and 0.
int GetPhone(char* list, size_t size, TYPEPORT type);
// Enumerates nothing: count items "COM0" joined by ","; 1 when count > 0.
int conmanageGetPhone(char* list, size_t size, int& count);

namespace detect {

// The built-in friendly names beside the generic rows, and the modem descriptions.
extern const char* const kModel9025Names[3];
extern const char* const kModel900ENames[1];
extern const char* const kModemDescriptions[];
extern const size_t kModemDescriptionCount;

// The listener's loop count; every tenth loop the enumeration writes its debug line.
void CountListenerLoop();

} // namespace detect
