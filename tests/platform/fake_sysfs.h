#pragma once
// A sysfs tree as the kernel lays it out under bus/usb/devices (folders instead of links), and
// the two phones the detection tests share.
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace twtest {

class FakeSysfs {
  public:
    static void put(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    explicit FakeSysfs(const std::string& root) : base_(root + "/bus/usb/devices") {
        mk(root);
        mk(root + "/bus");
        mk(root + "/bus/usb");
        mk(base_);
    }
    void device(const std::string& name, const std::string& vid, const std::string& pid,
                const std::string& cls = "00", const std::string& serial = "") {
        std::string d = base_ + "/" + name;
        mk(d);
        put(d + "/idVendor", vid + "\n");
        put(d + "/idProduct", pid + "\n");
        put(d + "/bDeviceClass", cls + "\n");
        if (!serial.empty()) put(d + "/serial", serial + "\n");
    }
    std::string iface(const std::string& dev, int num, const std::string& cls = "ff") {
        char n[8];
        std::snprintf(n, sizeof n, "%02x", num);
        std::string d = base_ + "/" + dev + ":1." + std::to_string(num);
        mk(d);
        put(d + "/bInterfaceNumber", std::string(n) + "\n");
        put(d + "/bInterfaceClass", cls + "\n");
        return d;
    }
    static void mk(const std::string& p) { ::mkdir(p.c_str(), 0755); }

  private:
    std::string base_;
};

// The two phones of the detection tests: a QDLoader 9008 at 1-1.3 and a 9025 composite at 1-1.4.
inline void build_two_phones(FakeSysfs& fs) {
    fs.device("usb1", "1d6b", "0002", "09");
    fs.device("1-1", "05e3", "0608", "09");
    fs.device("1-1.3", "05c6", "9008");
    FakeSysfs::mk(fs.iface("1-1.3", 0) + "/ttyUSB14");
    fs.device("1-1.4", "05c6", "9025", "00", "A1B2C3");
    FakeSysfs::mk(fs.iface("1-1.4", 0) + "/ttyUSB11"); // DIAG
    fs.iface("1-1.4", 1);                              // ADB: no tty
    FakeSysfs::mk(fs.iface("1-1.4", 2) + "/ttyUSB12"); // modem
    FakeSysfs::mk(fs.iface("1-1.4", 3) + "/ttyUSB13"); // NMEA
}

} // namespace twtest
