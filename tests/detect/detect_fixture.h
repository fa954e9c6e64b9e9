#pragma once
// A private device directory and configuration file for each detection test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "detect/port_enum.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/ini.h"

namespace twtest {

class DetectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw_detect_XXXXXX";
        root = ::mkdtemp(tmpl);
        dir = root + "/devices";
        ::mkdir(dir.c_str(), 0755);
        ini = root + "/inifile.ini";
        // Set before any thread starts; nothing else changes the environment.
        ::setenv("TARNWELL_DEVICE_DIR", dir.c_str(), 1);
        const char* state = std::getenv("TARNWELL_STATE_DIR");
        saved_state = state ? state : "";
        ::setenv("TARNWELL_STATE_DIR", (root + "/state").c_str(), 1); // a COM database of its own
        SetINIFilePathOverride(ini);
        tw::clock::set_scale(0.0005);
    }
    void TearDown() override {
        ::unsetenv("TARNWELL_DEVICE_DIR");
        if (saved_state.empty())
            ::unsetenv("TARNWELL_STATE_DIR");
        else
            ::setenv("TARNWELL_STATE_DIR", saved_state.c_str(), 1);
        SetINIFilePathOverride("");
        tw::set_sysfs_root("/sys", "/dev");
        std::system(("rm -rf '" + root + "'").c_str());
    }

    // A serial record as a writer of the device directory stores it.
    void plug(const std::string& name, int com, const std::string& friendly, bool diag = false) {
        tw::DeviceRecord r;
        r.name = name;
        r.com = com;
        r.path = "/dev/pts/" + std::to_string(com);
        r.friendly = friendly;
        r.diag = diag;
        ASSERT_TRUE(
            tw::ini::write_file_atomic(dir + "/" + name + ".dev", tw::device_record_text(r)));
    }
    void unplug(const std::string& name) { ::unlink((dir + "/" + name + ".dev").c_str()); }

    static std::string qdl(int com) {
        return "Qualcomm HS-USB QDLoader 9008 (COM" + std::to_string(com) + ")";
    }
    static std::string diag9025(int com) {
        return "Qualcomm HS-USB Diagnostics 9025 (COM" + std::to_string(com) + ")";
    }

    std::string phones(bool* diag = nullptr, bool* diag9025 = nullptr, int* result = nullptr) {
        char buf[4096];
        bool a = false, b = false;
        int r = GetPhone(buf, sizeof buf, diag ? diag : &a, diag9025 ? diag9025 : &b);
        if (result) *result = r;
        return buf;
    }

    std::string root, dir, ini;
    std::string saved_state;
};

} // namespace twtest
