// reset-to-download, emergency-download and hex2bin of tarnwell-cli against a simulated phone.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"
#include "tests/common/shell.h"

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

class EdlCli : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        std::string t = "/tmp/tw-edlcli-XXXXXX";
        root_ = ::mkdtemp(t.data()) ? t : "";
        ASSERT_FALSE(root_.empty());
        std::string err;
        ASSERT_TRUE(phonesim::make_package(Pkg(), {}, err)) << err;
    }
    void TearDown() override {
        sim_.stop();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // One phone in the given mode; returns its COM number once it is published.
    int Start(phonesim::Mode mode, const char* phase) {
        phonesim::SimOptions o;
        o.device_dir = root_ + "/dev";
        o.state_dir = root_ + "/state";
        o.package = Pkg();
        o.start = mode;
        std::string err;
        if (!sim_.start(o, err)) {
            ADD_FAILURE() << err;
            return 0;
        }
        return WaitCom(phase, 0);
    }
    // The COM number of the phone once it is in `phase` on a port other than `not_this`.
    int WaitCom(const std::string& phase, int not_this) {
        for (int t = 0; t < 500; ++t) {
            const std::string info = Slurp(State("info.ini"));
            auto p = info.find("\ncom=");
            if (p != std::string::npos && info.find("phase=" + phase) != std::string::npos) {
                int com = std::atoi(info.c_str() + p + 5);
                if (com > 0 && com != not_this) return com;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

    bool WaitPhase(const std::string& phase) {
        for (int t = 0; t < 500; ++t) {
            if (Slurp(State("info.ini")).find("phase=" + phase + "\n") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    CliRun Cli(const std::string& args) {
        const std::string cmd = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli --device-dir " +
                                root_ + "/dev --time-scale 0.01 " + args + " 2>" + root_ +
                                "/stderr";
        const auto res = twtest::run_shell(cmd);
        return {res.status, res.out, Slurp(root_ + "/stderr")};
    }

    std::string Pkg() const { return root_ + "/pkg"; }
    std::string Modem(const std::string& f) const { return Pkg() + "/modem/" + f; }
    std::string State(const std::string& f) const { return root_ + "/state/phone00/" + f; }

    std::string root_;
    phonesim::Simulator sim_;
};

TEST_F(EdlCli, ResetThenEmergencyDownload) {
    const int diag = Start(phonesim::Mode::Diag, "diag");
    ASSERT_GT(diag, 0);
    CliRun r = Cli("reset-to-download --port " + std::to_string(diag));
    ASSERT_EQ(r.status, 0) << r.err;
    const int qdl = std::atoi(r.out.c_str());
    EXPECT_EQ(qdl, WaitCom("dmss", diag));
    ASSERT_GT(qdl, 0);
    EXPECT_NE(Slurp(State("log.txt")).find("diag rx 1: 3A"), std::string::npos);

    r = Cli("--json emergency-download --port " + std::to_string(qdl) + " --package " + Pkg());
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("\"event\":\"programmer\""), std::string::npos);
    EXPECT_NE(r.out.find("\"converted\":true"), std::string::npos);
    EXPECT_NE(r.out.find("\"address\":\"0x00100000\""), std::string::npos);
    EXPECT_NE(r.out.find("\"status\":\" 下载amss.mbn\""), std::string::npos);
    EXPECT_NE(r.out.find("{\"event\":\"result\",\"command\":\"emergency-download\",\"result\":0"),
              std::string::npos)
        << r.out;

    // The programmer is the NPRG one, converted beside its HEX file; the images are the package's.
    EXPECT_EQ(Slurp(State("ram.bin")), Slurp(Modem("NPRG7627A.bin")));
    phonesim::Programmer p;
    std::string err;
    ASSERT_TRUE(phonesim::load_programmer(Modem("NPRG7627A.hex"), p, err)) << err;
    EXPECT_EQ(Slurp(Modem("NPRG7627A.bin")), std::string(p.bytes.begin(), p.bytes.end()));
    EXPECT_EQ(Slurp(State("partition.bin")), Slurp(Modem("partition.mbn")));
    EXPECT_EQ(Slurp(State("image_02.bin")), Slurp(Modem("qcsblhd_cfgdata.mbn")));
    EXPECT_EQ(Slurp(State("image_03.bin")), Slurp(Modem("qcsbl.mbn")));
    EXPECT_EQ(Slurp(State("image_04.bin")), Slurp(Modem("oemsbl.mbn")));
    EXPECT_EQ(Slurp(State("image_05.bin")), Slurp(Modem("amss.mbn")));
    EXPECT_EQ(Slurp(State("image_0A.bin")), Slurp(Modem("appsboot.mbn")));
    EXPECT_NE(Slurp(State("log.txt")).find("stream rx 1: 0B -> tx 1: 0C"), std::string::npos);
    EXPECT_TRUE(WaitPhase("android")); // the reset boots it
}

TEST_F(EdlCli, FailuresAndBadInput) {
    const int qdl = Start(phonesim::Mode::Download, "dmss");
    ASSERT_GT(qdl, 0);
    const std::string port = "--port " + std::to_string(qdl);

    // Bad input touches nothing: the phone hears no request.
    EXPECT_EQ(Cli("emergency-download " + port + " --package " + Pkg() + " --programmer x").status,
              2);
    EXPECT_EQ(Cli("emergency-download " + port + " --package " + Pkg() + " --address 0xZZ").status,
              2);
    fs::copy(Pkg(), root_ + "/noprg", fs::copy_options::recursive);
    fs::remove(root_ + "/noprg/modem/NPRG7627A.hex");
    fs::remove(root_ + "/noprg/modem/ENPRG7627A.hex");
    CliRun r = Cli("emergency-download " + port + " --package " + root_ + "/noprg");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("NPRG7627A.hex"), std::string::npos) << r.err;
    // A HEX programmer without a start record and no --address: refused with the reason.
    fs::copy(Pkg(), root_ + "/nostart", fs::copy_options::recursive);
    {
        std::string hex = Slurp(root_ + "/nostart/modem/ENPRG7627A.hex");
        const size_t at = hex.find(":04000005");
        ASSERT_NE(at, std::string::npos);
        hex.erase(at, hex.find('\n', at) + 1 - at);
        std::ofstream(root_ + "/nostart/modem/ENPRG7627A.hex", std::ios::binary) << hex;
    }
    r = Cli("emergency-download " + port + " --programmer enprg --package " + root_ + "/nostart");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Start Linear Address"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(State("log.txt")).find("dmss rx"), std::string::npos);

    // A package without amss.mbn is refused before the phone hears anything.
    fs::copy(Pkg(), root_ + "/noamss", fs::copy_options::recursive);
    fs::remove(root_ + "/noamss/modem/amss.mbn");
    r = Cli("--json emergency-download " + port + " --package " + root_ + "/noamss");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("the package holds no amss.mbn"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(State("log.txt")).find("dmss rx"), std::string::npos);
    EXPECT_FALSE(fs::exists(root_ + "/noamss/modem/NPRG7627A.bin"));

    // A load address outside the phone's memory: every write is refused, the result is 1.
    const std::string outside = " --address 0x02000000 --package " + Pkg();
    r = Cli("--json emergency-download " + port + outside);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("\"event\":\"result\",\"command\":\"emergency-download\",\"result\":1"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"converted\":true"), std::string::npos) << r.out;
    // Its .bin is up to date now: not converted again.
    r = Cli("--json emergency-download " + port + outside);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"converted\":false"), std::string::npos) << r.out;

    r = Cli("--json hex2bin " + Modem("ENPRG7627A.hex"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"start\":\"0x00100000\""), std::string::npos) << r.out;
    r = Cli("hex2bin " + Modem("ENPRG7627A.hex"));
    EXPECT_EQ(r.out, "0x00100000\n");
    phonesim::Programmer p;
    std::string err;
    ASSERT_TRUE(phonesim::load_programmer(Modem("ENPRG7627A.hex"), p, err)) << err;
    EXPECT_EQ(Slurp(Modem("ENPRG7627A.bin")), std::string(p.bytes.begin(), p.bytes.end()));
    EXPECT_EQ(Cli("hex2bin " + root_ + "/nostart/modem/ENPRG7627A.hex").status, 2);
    EXPECT_EQ(Cli("hex2bin").status, 2);
}

} // namespace
