// The fastboot client of the Debian "fastboot" package against a simulated phone in fastboot
// mode: an independent check of the phone's fastboot side.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "phonesim/sim.h"
#include "sim_test_util.h"
#include "tests/common/shell.h"

namespace {

using namespace simtest;

constexpr const char* kFastboot = "/usr/bin/fastboot";

struct ClientRun {
    int status = -1;
    std::string output;
};

// The client waits for ever when nothing answers, so it always runs under timeout.
ClientRun run(const std::string& args) {
    ClientRun r;
    std::string cmd = std::string("timeout 60 ") + kFastboot + " " + args + " 2>&1";
    const auto res = twtest::run_shell(cmd);
    r.output = res.out;
    r.status = res.status;
    return r;
}

class RealFastboot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::access(kFastboot, X_OK), 0)
            << kFastboot << " is missing: install Debian's fastboot package";
        tw::clock::set_scale(0.01);
        dev = temp_dir("fbdev");
        state = temp_dir("fbstate");
    }
    void TearDown() override {
        sim.stop();
        std::filesystem::remove_all(dev);
        std::filesystem::remove_all(state);
    }
    std::string serial(const std::vector<std::string>& faults = {}) {
        phonesim::SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = package_dir();
        o.start = phonesim::Mode::Fastboot;
        std::string err;
        for (const auto& f : faults)
            o.faults.push_back(*phonesim::parse_fault(f, err));
        EXPECT_TRUE(sim.start(o, err)) << err;
        auto r = wait_record(dev, 1, 0xD00D);
        EXPECT_TRUE(r);
        return r ? r->address : std::string("tcp:127.0.0.1:1");
    }
    std::string dev, state;
    phonesim::Simulator sim;
};

TEST_F(RealFastboot, GetvarAndFlashBootStoreTheFile) {
    const std::string s = serial();
    ClientRun g = run("-s " + s + " getvar max-download-size");
    EXPECT_EQ(g.status, 0) << g.output;
    EXPECT_NE(g.output.find("max-download-size: 0x10000000"), std::string::npos) << g.output;

    std::string img = package_dir() + "/android/boot.2knand.img";
    ClientRun f = run("-s " + s + " flash boot " + img);
    EXPECT_EQ(f.status, 0) << f.output;
    Bytes stored = file_bytes(state + "/phone00/fastboot/boot.img");
    ASSERT_FALSE(stored.empty()) << f.output;
    EXPECT_EQ(stored, file_bytes(img));
}

TEST_F(RealFastboot, AFailedFlashReachesTheClient) {
    const std::string s = serial({"fastboot:nak@1"});
    ClientRun f =
        run("-s " + s + " flash recovery " + package_dir() + "/android/recovery.2knand.img");
    EXPECT_NE(f.status, 0) << f.output;
    EXPECT_NE(f.output.find("flash write failure"), std::string::npos) << f.output;
}

} // namespace
