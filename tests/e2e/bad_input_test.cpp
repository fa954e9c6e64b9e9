// Bad input at every door of tarnwell-cli: each is refused with exit status 2 and a message
// that says what is wrong, and touches nothing: no file changes (bytes and time stamps
// compared), and the simulated phone behind the port hears nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"
#include "tests/common/shell.h"
#include "tests/common/tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;
using twtest::Snapshot;

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        std::string t = "/tmp/tw-badinput-XXXXXX";
        root = ::mkdtemp(t.data()) ? t : "";
        ASSERT_FALSE(root.empty());
        pkg = root + "/pkg";
        std::string err;
        ASSERT_TRUE(phonesim::make_package(pkg, {}, err)) << err;
    }
    void TearDown() override {
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // One simulated phone in the mode; its COM number once published.
    int StartPhone(phonesim::Mode mode, const std::string& phase) {
        phonesim::SimOptions o;
        o.device_dir = root + "/dev";
        o.state_dir = root + "/state";
        o.package = pkg;
        o.start = mode;
        std::string err;
        if (!sim.start(o, err)) {
            ADD_FAILURE() << err;
            return 0;
        }
        for (int t = 0; t < 500; ++t) {
            const std::string info = Slurp(root + "/state/phone00/info.ini");
            auto p = info.find("\ncom=");
            if (p != std::string::npos && info.find("phase=" + phase) != std::string::npos)
                return std::atoi(info.c_str() + p + 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the phone did not appear";
        return 0;
    }

    // Runs tarnwell-cli with `env` in front (variables for the one command).
    CliRun Cli(const std::string& args, const std::string& env = "") {
        const std::string cmd = env + " " + std::string(TW_BINARY_DIR) +
                                "/cli/tarnwell-cli --device-dir " + root + "/dev " + args + " 2>" +
                                root + "/stderr";
        const auto res = twtest::run_shell(cmd);
        return {res.status, res.out, Slurp(root + "/stderr")};
    }
    // Exit status 2, the message on standard error, and nothing under root changed. The
    // phone's state folder is under root too: its log records every request it hears. With
    // `imei_read`, the phone may be asked its IMEI (one NV read of item 550) and nothing else.
    void Refused(const std::string& args, const std::string& message, const std::string& env = "",
                 bool imei_read = false) {
        SCOPED_TRACE(args + " -> " + message);
        const std::string state = root + "/state", log = state + "/phone00/log.txt";
        const std::string nv = Slurp(state + "/phone00/nv.txt"), log_before = Slurp(log);
        const auto before = Snapshot(root);
        const CliRun r = Cli(args, env);
        EXPECT_EQ(r.status, 2) << r.err << r.out;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        const auto after = Snapshot(root);
        auto skipped = [&](const std::string& path) {
            return path == root + "/stderr" || (imei_read && path.rfind(state, 0) == 0);
        };
        for (const auto& [path, was] : before) {
            if (skipped(path)) continue;
            auto it = after.find(path);
            EXPECT_TRUE(it != after.end() && it->second == was) << path << " changed";
        }
        for (const auto& [path, now] : after)
            EXPECT_TRUE(before.count(path) || skipped(path)) << path << " appeared";
        if (imei_read) {
            EXPECT_EQ(Slurp(state + "/phone00/nv.txt"), nv);
            const std::string heard = Slurp(log).substr(log_before.size());
            // One request, the IMEI read; the opening AT text arrives as a frame with a bad FCS.
            int requests = 0;
            for (size_t p = heard.find("diag rx"); p != std::string::npos;
                 p = heard.find("diag rx", p + 1))
                if (heard.substr(p, heard.find('\n', p) - p).find("bad FCS") == std::string::npos)
                    ++requests;
            EXPECT_EQ(requests, 1) << heard;
            EXPECT_NE(heard.find(": 26 26 02"), std::string::npos) << heard;
        }
    }

    std::string root, pkg;
    phonesim::Simulator sim;
};

TEST_F(BadInput, CommandLine) {
    Refused("--bogus ports", "unknown option --bogus");
    Refused("hex2bin --bogus x.hex", "hex2bin: unknown option --bogus");
    Refused("restore-qcn --port", "--port needs a value");
    Refused("emmc-download --disk", "--disk needs a value");
    // Time scales: finite and from 0.000001 to 1000, given as an option or in the environment.
    for (const char* bad : {"inf", "1e12", "1e-300", "nan", "-1", "0", "0.5x", ""}) {
        Refused(std::string("--time-scale '") + bad + "' frame", "--time-scale needs a number");
        if (*bad)
            Refused("frame", "TARNWELL_TIME_SCALE needs a number",
                    std::string("TARNWELL_TIME_SCALE='") + bad + "'");
    }
    EXPECT_EQ(Cli("--time-scale 1e-6 frame").status, 0);
    EXPECT_EQ(Cli("frame", "TARNWELL_TIME_SCALE=1000").status, 0);
    // A folder where a file belongs, and a file or name where a folder belongs.
    fs::create_directories(root + "/folder.hex");
    Refused("hex2bin " + root + "/folder.hex", "is a folder, not a HEX file");
    Refused("restore-qcn --port 3 --file " + root + "/folder.hex", "is a folder, not a QCN file");
    fs::create_directories(root + "/out.zqde");
    Refused("pack --kind zqde --out " + root + "/out.zqde 6=" + pkg + "/NVFrom.txt",
            "--out " + root + "/out.zqde is a folder");
    Refused("pack --kind zqde --out " + root + "/missing/x.zqde 6=" + pkg + "/NVFrom.txt",
            "cannot write " + root + "/missing/x.zqde: the folder " + root +
                "/missing does not exist");
    Refused("pack --kind zqde --out " + root + "/x.zqde 6=" + pkg, "is not a regular file");
    Refused("backup-qcn --port 3 --qcn-dir " + pkg + "/NVFrom.txt", "QCN folder");
    // A .bin handed to hex2bin would be its own output.
    std::ofstream(root + "/a.bin") << ":00000001FF\r\n";
    Refused("hex2bin " + root + "/a.bin", "its .bin would replace it");
}

TEST_F(BadInput, ModemPackageOfTheEmergencyDownload) {
    const int com = StartPhone(phonesim::Mode::Download, "dmss");
    ASSERT_GT(com, 0);
    const std::string cmd =
        "emergency-download --port " + std::to_string(com) + " --package " + pkg;
    const std::string modem = pkg + "/modem/";
    auto keep = [&](const std::string& name) { fs::rename(modem + name, root + "/" + name); };
    auto back = [&](const std::string& name) { fs::rename(root + "/" + name, modem + name); };

    for (const char* name : {"amss.mbn", "partition.mbn", "qcsbl.mbn"}) {
        keep(name);
        Refused(cmd, std::string("the package holds no ") + name);
        back(name);
    }
    keep("amsshd.mbn");
    Refused(cmd, modem + "amsshd.mbn is missing: amss.mbn is announced with it");
    back("amsshd.mbn");
    fs::resize_file(modem + "oemsbl.mbn", 0);
    Refused(cmd, modem + "oemsbl.mbn is empty");

    std::string hex = Slurp(modem + "NPRG7627A.hex");
    fs::remove(modem + "oemsbl.mbn");
    fs::copy_file(modem + "qcsbl.mbn", modem + "oemsbl.mbn");
    // A record with a wrong checksum, and a programmer cut short before its end record.
    std::string bad = hex;
    char& digit = bad[bad.find('\n', 100) - 2];
    digit = digit == '0' ? '1' : '0';
    std::ofstream(modem + "NPRG7627A.hex", std::ios::binary) << bad;
    Refused(cmd, "wrong checksum");
    std::ofstream(modem + "NPRG7627A.hex", std::ios::binary) << hex.substr(0, hex.size() / 2);
    Refused(cmd, "NPRG7627A.hex");
    std::ofstream(modem + "NPRG7627A.hex", std::ios::binary)
        << hex.substr(0, hex.rfind(":00000001FF"));
    Refused(cmd, "no end-of-file record; the file may be cut short");
    std::ofstream(modem + "NPRG7627A.hex", std::ios::binary) << "";
    Refused(cmd, "NPRG7627A.hex");
    fs::remove(modem + "NPRG7627A.hex");
    Refused(cmd, "the package holds no NPRG7627A.hex");
}

TEST_F(BadInput, AndroidImagesOfTheFastbootFlash) {
    // Refused before the device is opened: no device listens at this name.
    const std::string cmd = "fastboot-flash --device tcp:127.0.0.1:1 --package " + pkg;
    fs::rename(pkg + "/android/boot.2knand.img", root + "/boot.img");
    Refused(cmd, "Can't find file: boot.2knand.img");
    fs::rename(root + "/boot.img", pkg + "/android/boot.2knand.img");
    fs::resize_file(pkg + "/android/cache.img.ext4", 0);
    Refused(cmd, "the package's cache.img.ext4 is empty");
}

TEST_F(BadInput, QcnFilesAndTheNvList) {
    const int com = StartPhone(phonesim::Mode::Diag, "diag");
    ASSERT_GT(com, 0);
    const std::string port = "--port " + std::to_string(com);
    const std::string qcn = root + "/qcn", list = root + "/list";
    fs::create_directories(qcn);
    fs::create_directories(list);

    // "NVFrom.txt": binary garbage, a name for a number, a number too large, nothing at all.
    const std::string backup = "backup-qcn " + port + " --qcn-dir " + qcn + " --list-dir " + list;
    const std::pair<std::string, std::string> lists[] = {
        {std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0NV item: \xff\xfe",
                     20),
         "is not a decimal"},
        {"NV item: 10 [A]\r\nNV item: abc [B]\r\n", "line 2: item number \"abc\""},
        {"NV item: 70000 [A]\n", "above 65535"},
        {"", "no line of the form"},
    };
    for (const auto& [text, message] : lists) {
        std::ofstream(list + "/NVFrom.txt", std::ios::binary) << text;
        Refused(backup, message);
    }
    fs::remove(list + "/NVFrom.txt");
    Refused(backup, "there is no " + list + "/NVFrom.txt");

    // A QCN text file cut short, inside a data line and inside an item's eight lines.
    std::ofstream(list + "/NVFrom.txt") << "NV item: 550 [IMEI]\r\nNV item: 10 [A]\r\n";
    const CliRun made = Cli("--time-scale 0.01 " + backup);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string file = made.out.substr(0, made.out.find('\n'));
    const std::string text = Slurp(file);
    std::ofstream(qcn + "/cut.txt", std::ios::binary) << text.substr(0, text.size() - 30);
    Refused("restore-qcn " + port + " --file " + qcn + "/cut.txt", "fewer than 16 values");
    std::ofstream(qcn + "/cut.txt", std::ios::binary) << text.substr(0, text.rfind("7:"));
    Refused("restore-qcn " + port + " --file " + qcn + "/cut.txt",
            "ends inside the item's data lines (NV item 10)");
    Refused("restore-qcn " + port + " --file " + qcn + "/none.txt",
            "cannot open " + qcn + "/none.txt");
    // Found by the phone's IMEI: damaged, missing, a folder. The phone is asked its IMEI and
    // nothing else.
    std::ofstream(file, std::ios::binary) << text.substr(0, text.size() - 30);
    const std::string restore = "--time-scale 0.01 restore-qcn " + port + " --qcn-dir " + qcn;
    Refused(restore, file + " cannot be restored", "", true);
    fs::remove(file);
    Refused(restore, "cannot open " + file + ": No such file", "", true);
    fs::create_directories(file);
    Refused(restore, "cannot open " + file + ": it is a folder", "", true);
}

TEST_F(BadInput, InifileBesideTheProgram) {
    // The program reads "inifile.ini" from its own folder: a copy of it gets a file of its own.
    const std::string bin = root + "/bin";
    fs::create_directories(bin);
    fs::copy_file(std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli", bin + "/tarnwell-cli");
    fs::create_directories(root + "/dev");
    auto port = [&](int com, const std::string& friendly) {
        std::ofstream(root + "/dev/p" + std::to_string(com) + ".dev")
            << "[device]\nkind=serial\ncom=" << com << "\npath=/dev/null\nfriendly=" << friendly
            << " (COM" << com << ")\n";
    };
    port(5, "USB Serial Port");
    port(6, "Odd Phone Serial");
    // Garbage around the one key read, a blank fragment among its values, a key without '=',
    // and a second section of the same name, which is not read.
    const char garbage[] = "\xff\xfe\0\x01garbage\r[[[\n=\n";
    std::ofstream(bin + "/inifile.ini", std::ios::binary)
        << std::string(garbage, sizeof garbage - 1)
        << "[Diag9025Driver]\nDiag9025Driver\nDiag9025Driver= ,, ,Odd Phone,\n"
        << std::string(5000, 'x') << "\n[Diag9025Driver]\nDiag9025Driver=USB,\n";
    const auto before = Snapshot(bin);
    const auto r =
        twtest::run_shell(bin + "/tarnwell-cli --device-dir " + root + "/dev ports 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    // Only the port a fragment names: a blank one would have made every serial port a phone's.
    EXPECT_NE(r.out.find("COM6+Odd Phone Serial (COM6)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("COM5+"), std::string::npos) << r.out;
    EXPECT_EQ(Snapshot(bin), before);
}

} // namespace
