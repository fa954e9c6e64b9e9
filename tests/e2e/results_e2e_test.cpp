// `tarnwell-cli station` as a process against simulated phones: the counters on SIGUSR1, the
// record of every finished phone intact after a kill -9 in the middle of the next phone's
// cycle, and `tarnwell-cli results` reading them back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/ini.h"
#include "station/json_value.h"
#include "station/results_log.h"
#include "tests/common/files.h"
#include "tests/common/shell.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;

// A child process whose standard output and error are collected by a thread.
class Child {
  public:
    bool Start(const std::vector<std::string>& argv) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_adddup2(&fa, p[1], 2);
        std::vector<std::string> args = argv;
        std::vector<char*> a;
        for (auto& s : args)
            a.push_back(s.data());
        a.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(p[1]);
        if (rc != 0) {
            ::close(p[0]);
            pid_ = -1;
            return false;
        }
        reader_ = std::thread([this, fd = p[0]] {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> g(m_);
                out_.append(buf, static_cast<size_t>(n));
            }
            ::close(fd);
        });
        return true;
    }
    std::string Out() const {
        std::lock_guard<std::mutex> g(m_);
        return out_;
    }
    bool WaitOut(const std::string& text, int real_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
        while (Out().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void Signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // The wait status.
    int Wait() {
        int st = -1;
        if (pid_ > 0) ::waitpid(pid_, &st, 0);
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        return st;
    }
    ~Child() {
        Signal(SIGKILL);
        Wait();
    }

  private:
    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex m_;
    std::string out_;
};

class StationProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        std::string t = "/tmp/tw-stationproc-XXXXXX";
        root = ::mkdtemp(t.data()) ? t : "";
        pkg = root + "/pkg";
        dev = root + "/dev";
        state = root + "/state";
        home = root + "/home/";
        std::string err;
        ASSERT_TRUE(phonesim::make_package(pkg, {}, err)) << err;
        fs::create_directories(home);
        tw::ini::write_file_atomic(home + "reboot.sh", "#!/bin/sh\nexec " +
                                                           std::string(TW_BINARY_DIR) +
                                                           "/phonesim/phonesim ctl --state-dir " +
                                                           state + " reboot-bootloader \"$2\"\n");
        phonesim::SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = pkg;
        o.phones = 2;
        ASSERT_TRUE(sim.start(o, err)) << err;
    }
    void TearDown() override {
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    std::string Cli() const { return std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli"; }
    std::vector<std::string> ResultLines() {
        std::vector<std::string> lines;
        std::error_code ec;
        for (const auto& f : fs::directory_iterator(home + "results", ec)) {
            std::istringstream in(Slurp(f.path()));
            std::string l;
            while (std::getline(in, l))
                lines.push_back(l);
        }
        return lines;
    }
    twtest::ShellResult Results(const std::string& args) {
        return twtest::run_shell(Cli() + " results --home " + home + " " + args + " 2>" + root +
                                 "/stderr");
    }

    std::string root, pkg, dev, state, home;
    phonesim::Simulator sim;
};

TEST_F(StationProcess, FinishedPhonesKeepTheirRecordsThroughAKillAndReadBack) {
    Child station;
    ASSERT_TRUE(station.Start({Cli(), "--device-dir", dev, "--time-scale", "0.01", "--quiet",
                               "station", "--home", home, "--package", pkg, "--slots", "1-3"}));
    // Two phones finish; the counters come on request.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (ResultLines().size() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(ResultLines().size(), 2u) << station.Out();
    // Three slots started together race for the two phones: whichever two took them.
    std::set<int> finished_slots;
    for (const auto& l : ResultLines())
        if (const auto e = tw::station::ParseResultLine(l)) finished_slots.insert(e->slot);
    ASSERT_EQ(finished_slots.size(), 2u);
    int free_slot = 1;
    while (finished_slots.count(free_slot))
        ++free_slot;
    station.Signal(SIGUSR1);
    ASSERT_TRUE(station.WaitOut(" all       2       0", 10000)) << station.Out();
    for (int slot : finished_slots)
        EXPECT_TRUE(std::regex_search(
            station.Out(), std::regex("\\n +" + std::to_string(slot) + " +1 +0 +[0-9.]+\\n")))
            << station.Out();

    // A third phone starts its cycle at the slot left; the station dies in the middle of it.
    std::string err;
    ASSERT_EQ(sim.plug("3", err), 2) << err;
    ASSERT_TRUE(
        station.WaitOut("slot " + std::to_string(free_slot) + ": UPdate modem Files...", 60000))
        << station.Out();
    station.Signal(SIGKILL);
    const int st = station.Wait();
    EXPECT_TRUE(WIFSIGNALED(st));

    // The finished phones' records are whole; the one in progress left nothing.
    const std::string file = home + "results/" + [&] {
        for (const auto& f : fs::directory_iterator(home + "results"))
            return f.path().filename().string();
        return std::string();
    }();
    const std::string text = Slurp(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto lines = ResultLines();
    ASSERT_EQ(lines.size(), 2u) << text;
    std::set<std::string> imeis;
    for (const auto& l : lines) {
        const auto e = tw::station::ParseResultLine(l);
        ASSERT_TRUE(e) << l;
        EXPECT_EQ(e->result, "PASS");
        imeis.insert(e->imei);
    }
    EXPECT_EQ(imeis, (std::set<std::string>{sim.phone(0).imei(), sim.phone(1).imei()}));
    const std::string date = tw::station::ParseResultLine(lines[0])->date;

    // Read back as a table with totals per day and per slot.
    auto r = Results("");
    EXPECT_EQ(r.status, 0);
    for (const auto& imei : imeis)
        EXPECT_NE(r.out.find(imei), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("== totals per day\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\n" + date + " +2 +0 +0 +[0-9.]+\\n")))
        << r.out;
    for (int slot : finished_slots)
        EXPECT_TRUE(std::regex_search(
            r.out, std::regex("\\n" + std::to_string(slot) + " +1 +0 +0 +[0-9.]+\\n")))
            << r.out;

    // A torn line (a file written by something that was not careful) is skipped, and said so.
    std::ofstream(file, std::ios::app) << lines[0].substr(0, lines[0].size() / 2);
    r = Results("--json");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(Slurp(root + "/stderr").find("1 line skipped"), std::string::npos);
    int records = 0;
    bool all_seen = false;
    std::istringstream in(r.out);
    std::string l;
    while (std::getline(in, l)) {
        const auto v = tw::station::json::Parse(l);
        ASSERT_TRUE(v) << l;
        if (!v->find("totals")) {
            ++records;
        } else if (v->str("totals") == "all") {
            all_seen = true;
            EXPECT_EQ(v->num("passed"), 2);
            EXPECT_EQ(v->num("failed"), 0);
        }
    }
    EXPECT_EQ(records, 2);
    EXPECT_TRUE(all_seen);

    // Days before a date are left out; a date is a date.
    r = Results("--since 2999-01-01");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(*imeis.begin()), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\nall +0 +0 +0 ")));
    EXPECT_EQ(Results("--since 12-08").status, 2);
}

} // namespace
