// eMMC programming end to end: the phonesim program shows a phone in mass-storage mode as a
// disk record, and tarnwell-cli programs that disk from a package's raw-programming
// description, naming the disk by its device interface path as the system would.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/emmc_download.h"
#include "platform/device_source.h"
#include "tests/common/shell.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string kPhonesim = std::string(TW_BINARY_DIR) + "/phonesim/phonesim";
const std::string kCli = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli";

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(1 + gen() % 255);
    return v;
}

void Put(const std::string& path, const std::vector<uint8_t>& b) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<uint8_t> Get(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Run {
    int status;
    std::string out;
};

Run Shell(const std::string& cmd) {
    const auto res = twtest::run_shell(cmd + " 2>&1");
    return {res.status, res.out};
}

class EmmcPhonesim : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kPhonesim.c_str(), X_OK) != 0 || ::access(kCli.c_str(), X_OK) != 0)
            GTEST_SKIP() << "phonesim or tarnwell-cli is not built";
        std::string t = (fs::temp_directory_path() / "tw-emmc-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        root = t;
        for (const char* d : {"dev", "state", "emmc"})
            fs::create_directories(root + "/" + d);
        ASSERT_EQ(Shell(Quote(kPhonesim) + " make-package " + Quote(root + "/simpkg")).status, 0);
    }
    void TearDown() override {
        Stop();
        std::error_code ec;
        if (!root.empty()) fs::remove_all(root, ec);
    }

    // Starts one phone in mass-storage mode and waits for its disk record.
    bool StartDiskPhone(tw::DeviceRecord& disk) {
        const std::string dev = root + "/dev", state = root + "/state", pkg = root + "/simpkg";
        std::vector<std::string> args = {kPhonesim,     "--device-dir", dev,
                                         "--state-dir", state,          "--package",
                                         pkg,           "--start-mode", "disk"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        setenv("TARNWELL_TIME_SCALE", "0.01", 1);
        if (posix_spawn(&pid_, kPhonesim.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            return false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            for (const auto& r : tw::list_devices_from_dir(dev)) {
                if (r.kind == tw::DeviceKind::Disk && !r.path.empty() && fs::exists(r.path)) {
                    disk = r;
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
    }

    std::string root;
    pid_t pid_ = -1;
};

TEST_F(EmmcPhonesim, ProgramsThePhonesDiskThroughItsInterfacePath) {
    // The eMMC package: images at their sectors, a partition record pair and its patches.
    const std::string pkg = root + "/emmc";
    std::ofstream(pkg + "/rawprogram0.xml") << R"(<?xml version="1.0" ?>
<data>
  <program file_sector_offset="0" filename="MBR" label="MBR" num_partition_sectors="1" start_sector="0"/>
  <program file_sector_offset="0" filename="sbl1.mbn" label="SBL1" start_sector="2048."/>
  <program file_sector_offset="0" filename="sbl2.mbn" label="SBL2" start_sector="3072."/>
  <program file_sector_offset="0" filename="sbl3.mbn" label="SBL3" start_sector="4096."/>
  <program file_sector_offset="0" filename="rpm.mbn" label="RPM" start_sector="6144."/>
  <program file_sector_offset="0" filename="emmc_appsboot.mbn" label="ABOOT" start_sector="7168."/>
  <program file_sector_offset="0" filename="tz.mbn" label="TZ" start_sector="8192."/>
  <program file_sector_offset="0" filename="EBR0.bin" label="EBR" start_sector="9216."/>
  <program file_sector_offset="0" filename="" label="system" start_sector="10240."/>
</data>
)";
    std::ofstream(pkg + "/patch0.xml") << R"(<?xml version="1.0" ?>
<patches>
  <patch byte_offset="458" filename="DISK" size_in_bytes="4" start_sector="0" value="NUM_DISK_SECTORS-9216."/>
  <patch byte_offset="458" filename="EBR0.bin" size_in_bytes="4" start_sector="0" value="NUM_DISK_SECTORS-9216."/>
  <patch byte_offset="474" filename="EBR0.bin" size_in_bytes="4" start_sector="2" value="NUM_DISK_SECTORS-9300."/>
</patches>
)";
    const std::pair<const char*, std::pair<size_t, uint64_t>> files[] = {
        {"MBR", {512, 0}},
        {"sbl1.mbn", {70000, 2048}},
        {"sbl2.mbn", {131072, 3072}},
        {"sbl3.mbn", {262145, 4096}},
        {"rpm.mbn", {1000, 6144}},
        {"emmc_appsboot.mbn", {300001, 7168}},
        {"tz.mbn", {65537, 8192}},
        {"EBR0.bin", {1536, 9216}},
    };
    std::vector<std::vector<uint8_t>> content;
    for (size_t i = 0; i < std::size(files); ++i) {
        content.push_back(Bytes(files[i].second.first, 500 + static_cast<uint32_t>(i)));
        Put(pkg + "/" + files[i].first, content.back());
    }

    tw::DeviceRecord disk;
    ASSERT_TRUE(StartDiskPhone(disk));
    auto expected = Get(disk.path);
    ASSERT_GE(expected.size(), 10240u * 512);
    for (size_t i = 0; i < std::size(files); ++i) {
        auto b = content[i];
        b.resize((b.size() + 511) / 512 * 512, 0);
        std::copy(b.begin(), b.end(),
                  expected.begin() + static_cast<long>(files[i].second.second * 512));
    }
    std::vector<uint8_t> ebr = content[7];
    uint8_t* b0 = ebr.data();
    uint8_t* b2 = ebr.data() + 1024;
    b0[458] = 0x5F, b0[459] = 0x10, b0[460] = 0x76, b0[461] = 0;
    b2[474] = 0xEF, b2[475] = 0x27, b2[476] = 0x3F, b2[477] = 0;
    std::copy(b0, b0 + 512, expected.begin() + 9216 * 512);
    std::copy(b2, b2 + 512, expected.begin() + 9218 * 512);

    auto r = Shell("TARNWELL_TIME_SCALE=0.01 " + Quote(kCli) + " --device-dir " +
                   Quote(root + "/dev") + " --json emmc-download --disk " +
                   Quote(disk.interface_path) + " --package " + Quote(pkg));
    ASSERT_EQ(r.status, 0) << r.out;
    // Every report carries the disk's tag, from the text between its path's last two '#'.
    const std::string tag = emmc::DiskTag(disk.interface_path);
    ASSERT_NE(tag, "#");
    size_t reports = 0;
    for (size_t at = r.out.find("\"disk\":\"" + tag + "\""); at != std::string::npos;
         at = r.out.find("\"disk\":\"" + tag + "\"", at + 1))
        ++reports;
    EXPECT_EQ(reports, 12u) << r.out;
    EXPECT_NE(r.out.find("\"position\":100"), std::string::npos);

    // Byte for byte: every write at its sector, nothing else on the phone's disk changed.
    EXPECT_TRUE(Get(disk.path) == expected);

    // The phone unplugged: its record is gone and the same path no longer opens.
    Stop();
    r = Shell(Quote(kCli) + " --device-dir " + Quote(root + "/dev") + " emmc-download --disk " +
              Quote(disk.interface_path) + " --package " + Quote(pkg));
    EXPECT_EQ(r.status, 2) << r.out;
}

} // namespace
