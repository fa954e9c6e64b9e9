// The imei, backup-qcn and restore-qcn commands of tarnwell-cli against a simulated phone.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#include "diag/nv.h"
#include "diag/qcn_file.h"
#include "engine/flashboot.h"
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
    std::string out; // standard output
    std::string err; // standard error
};

class QcnCli : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        std::string t = "/tmp/tw-qcncli-XXXXXX";
        root = ::mkdtemp(t.data()) ? t : "";
        pkg = root + "/pkg";
        qcn = root + "/qcn";
        fs::create_directories(qcn);
        std::string err;
        ASSERT_TRUE(phonesim::make_package(pkg, {}, err)) << err;
        phonesim::SimOptions o;
        o.device_dir = root + "/dev";
        o.state_dir = root + "/state";
        o.package = pkg;
        ASSERT_TRUE(sim.start(o, err)) << err;
        ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
        for (int t = 0; t < 500 && com == 0; ++t) {
            std::string info = Slurp(o.state_dir + "/phone00/info.ini");
            auto p = info.find("\ncom=");
            if (p != std::string::npos && info.find("phase=diag") != std::string::npos)
                com = std::atoi(info.c_str() + p + 5);
            if (com == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(com, 0);
    }
    void TearDown() override {
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    CliRun Cli(const std::string& args) {
        std::string cmd = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli --device-dir " + root +
                          "/dev --time-scale 0.01 " + args + " 2>" + root + "/stderr";
        const auto res = twtest::run_shell(cmd);
        return {res.status, res.out, Slurp(root + "/stderr")};
    }
    std::string Port() const { return "--port " + std::to_string(com); }
    std::string Nv() { return Slurp(root + "/state/phone00/nv.txt"); }
    bool WaitNv(const std::function<bool(const std::string&)>& pred) {
        for (int t = 0; t < 300; ++t) {
            if (pred(Nv())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Zeroes every item a QCN file holds, the IMEI included, over the module's exchange.
    void Wipe(const std::string& qcn_file) {
        Flashboot* m = CreateModule(com, 1, nullptr);
        ASSERT_NE(m, nullptr);
        std::istringstream in(Slurp(qcn_file));
        std::string line;
        uint8_t zero[128] = {}, ans[256];
        diag::Request req;
        while (std::getline(in, line)) {
            bool sim1 = line.rfind("NV item (SIM 1): ", 0) == 0;
            if (!sim1 && line.rfind("NV item: ", 0) != 0) continue;
            int item = std::atoi(line.c_str() + line.find(": ") + 2);
            uint16_t len = diag::BuildWrite(sim1 ? diag::NvKind::Sim1 : diag::NvKind::Main,
                                            static_cast<uint16_t>(item), zero, req);
            ASSERT_EQ(m->Diag_Service_RequestAndResponse(req.data(), len, ans, sizeof ans), 0);
        }
        DeleteModule(m);
    }

    std::string root, pkg, qcn;
    int com = 0;
    phonesim::Simulator sim;
};

TEST_F(QcnCli, ImeiBackupAndRestore) {
    const std::string imei = sim.phone(0).imei();
    CliRun r = Cli("imei " + Port());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, imei + "\n");
    r = Cli("--json imei " + Port());
    EXPECT_NE(r.out.find("\"imei\":\"" + imei + "\""), std::string::npos) << r.out;
    r = Cli("imei " + Port() + " --diag-pause-ms 40");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, imei + "\n");

    ASSERT_TRUE(WaitNv([](const std::string& s) { return !s.empty(); }));
    const std::string before = Nv();
    r = Cli("backup-qcn " + Port() + " --qcn-dir " + qcn + " --list-dir " + pkg);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = qcn + "/" + imei + ".txt";
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), file);
    EXPECT_NE(r.out.find(" items saved, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" skipped as inactive"), std::string::npos) << r.out;
    ASSERT_TRUE(fs::exists(file));

    // Another phone's file: refused, result 7.
    const std::string other = qcn + "/356938035643809.txt";
    fs::copy_file(file, other);
    r = Cli("restore-qcn " + Port() + " --file " + other);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(result 7)"), std::string::npos) << r.err;

    Wipe(file);
    ASSERT_TRUE(WaitNv([&](const std::string& s) { return s != before; }));
    // A new process has no backup of this slot: the phone is asked, and its IMEI is blank now.
    r = Cli("restore-qcn " + Port() + " --qcn-dir " + qcn);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Please select the QCN file"), std::string::npos) << r.err;

    r = Cli("--json restore-qcn " + Port() + " --file " + file);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"event\":\"progress\""), std::string::npos);
    EXPECT_NE(r.out.find("\"status\":\"enter DoDownloadQCN\""), std::string::npos);
    const int items = diag::CountQcnItems(file);
    EXPECT_NE(r.out.find("\"sent\":" + std::to_string(items) +
                         ",\"accepted\":" + std::to_string(items) + ",\"verified\":0}"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(WaitNv([&](const std::string& s) { return s == before; }));
    EXPECT_TRUE(fs::exists(qcn + "/" + imei + ".hex"));
}

TEST_F(QcnCli, BadInputTouchesNothing) {
    const std::string state_log = root + "/state/phone00/log.txt";
    auto requests = [&] {
        std::string log = Slurp(state_log);
        size_t n = 0;
        // The opening AT text reaches the phone as a frame with a bad FCS: not a request.
        for (size_t p = log.find("diag rx"); p != std::string::npos; p = log.find("diag rx", p + 1))
            if (log.substr(p, log.find('\n', p) - p).find("bad FCS") == std::string::npos) ++n;
        return n;
    };
    const size_t before = requests();
    EXPECT_EQ(Cli("imei").status, 2);
    EXPECT_EQ(Cli("imei --port x").status, 2);
    EXPECT_EQ(Cli("imei " + Port() + " --diag-pause-ms -1").status, 2);
    EXPECT_EQ(Cli("reset-to-download " + Port() + " --diag-pause-ms 60001").status, 2);
    EXPECT_EQ(Cli("backup-qcn " + Port() + " --list-dir " + pkg + " --diag-pause-ms x").status, 2);
    EXPECT_EQ(Cli("restore-qcn " + Port()).status, 2);
    EXPECT_EQ(Cli("restore-qcn " + Port() + " --file a.txt --qcn-dir " + qcn).status, 2);
    EXPECT_EQ(Cli("restore-qcn " + Port() + " --file " + qcn + "/none.txt").status, 2);
    EXPECT_EQ(Cli("backup-qcn " + Port() + " --qcn-dir " + qcn + " --list-dir " + root).status, 2);
    EXPECT_EQ(
        Cli("backup-qcn " + Port() + " --qcn-dir " + root + "/missing --list-dir " + pkg).status,
        2);
    // Files the restore or the backup refuses before asking the phone anything: result 6, 5.
    std::ofstream(qcn + "/cut.txt") << "NV Items:\r\nNV item: 10 index\r\n0: 00 01\r\n";
    CliRun r = Cli("restore-qcn " + Port() + " --file " + qcn + "/cut.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(result 6)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("fewer than 16"), std::string::npos) << r.err;
    std::ofstream(qcn + "/NVFrom.txt") << "";
    r = Cli("--json backup-qcn " + Port() + " --qcn-dir " + qcn + " --list-dir " + qcn);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"result\":5"), std::string::npos) << r.out;
    EXPECT_EQ(requests(), before); // the phone heard nothing
    // A port with no phone behind it.
    r = Cli("imei --port 250");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("COM250 cannot be opened"), std::string::npos) << r.err;
}

} // namespace
