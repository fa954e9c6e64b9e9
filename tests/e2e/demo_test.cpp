// The demo script end to end against the build: the station with sixteen positions, two
// simulated phones at each in a row.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Demo {
    int status = -1;
    bool timed_out = false;
    bool group_left = false; // a process of the demo's group outlived it
    std::string out;
};

// Runs the demo in its own process group with extra environment entries; output is standard
// output and error together.
Demo RunDemo(const std::vector<std::string>& extra_env, int limit_s) {
    Demo d;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return d;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TARNWELL_", 9) != 0) env.push_back(*e);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv = {"/bin/bash", std::string(TW_SOURCE_DIR) + "/packaging/demo.sh",
                                     TW_BINARY_DIR};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&at, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &fa, &at, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return d;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            d.timed_out = true;
            ::kill(-pid, SIGTERM);
            ::sleep(3);
            ::kill(-pid, SIGKILL);
            break;
        }
        pollfd p = {out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        d.out.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    d.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    // The demo stops the simulator on every path: nothing of its group may be left.
    d.group_left = ::kill(-pid, 0) == 0;
    if (d.group_left) ::kill(-pid, SIGKILL);
    return d;
}

std::string WorkFolder(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("work folder (/tmp/tarnwell-demo-\\S+)"))) return "";
    return m[1].str();
}

// The lines of one slot, in order.
std::vector<std::string> SlotLines(const std::string& out, int slot) {
    const std::string tag = "slot " + std::to_string(slot) + ": ";
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(tag, 0) == 0) lines.push_back(line.substr(tag.size()));
    return lines;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
    size_t next = 0;
    for (const std::string& l : lines)
        if (next < want.size() && l.find(want[next]) == 0) ++next;
    return next == want.size();
}

TEST(Demo, SixteenPositionsTwoPhonesEachPassThroughTheStation) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // Sixteen phones' exchanges run several times slower under a sanitizer, and the demo's
    // scaled time-outs would cut them short: the same demo on a slower clock.
    Demo d = RunDemo({"TARNWELL_DEMO_SCALE=0.05"}, 240);
#else
    Demo d = RunDemo({}, 240);
#endif
    ASSERT_FALSE(d.timed_out) << d.out;
    EXPECT_EQ(d.status, 0) << d.out;
    EXPECT_FALSE(d.group_left);
    const std::vector<std::string> cycle = {"BackUp QCN...",
                                            "BackUp QCN Complete",
                                            "UPdate modem Files...",
                                            "Update Modem Complete",
                                            "Waiting Device...",
                                            "Update AP...",
                                            "Update Fastboot Complete",
                                            "Waiting for phone restart...",
                                            "Restore QCN...",
                                            "PASS",
                                            "cycle PASS"};
    std::vector<std::string> twice = cycle;
    twice.push_back("Waiting"); // the first phone has left; the slot takes the next by itself
    twice.insert(twice.end(), cycle.begin(), cycle.end());
    std::set<std::string> imeis;
    for (int slot = 1; slot <= 16; ++slot) {
        EXPECT_TRUE(InOrder(SlotLines(d.out, slot), twice)) << "slot " << slot << "\n" << d.out;
        // The result table: two rows for the slot, each with its own phone's IMEI and the
        // slot's hub port.
        const std::regex row("\\n +" + std::to_string(slot) +
                             "  PASS +[0-9]+\\.[0-9]{2}  ([0-9]{15})  \\S+#" +
                             std::to_string(slot) + "#(?=\\n)");
        int rows = 0;
        for (auto it = std::sregex_iterator(d.out.begin(), d.out.end(), row);
             it != std::sregex_iterator(); ++it, ++rows)
            imeis.insert((*it)[1].str());
        EXPECT_EQ(rows, 2) << "slot " << slot;
    }
    EXPECT_EQ(imeis.size(), 32u);
    EXPECT_NE(d.out.find("slot 1: Update Complete!"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("results: 32 records"), std::string::npos) << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("\\n all +32 +0 +[0-9]+\\.[0-9]{2}\\n")))
        << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("total [0-9]+\\.[0-9]{2} s"))) << d.out;
    const std::string work = WorkFolder(d.out);
    ASSERT_FALSE(work.empty());
    EXPECT_FALSE(fs::exists(work));
}

TEST(Demo, AFailingPhoneFailsTheDemoAndTheSimulatorStillStops) {
    // The second phone (index 1) refuses boot three times; the first refuses system once.
    Demo d = RunDemo({"TARNWELL_DEMO_PHONES=4", "TARNWELL_DEMO_ROUNDS=1",
                      "TARNWELL_DEMO_FAULT=1/fastboot:fail@1 1/fastboot:fail@2 "
                      "1/fastboot:fail@3 0/fastboot:fail@3"},
                     240);
    ASSERT_FALSE(d.timed_out) << d.out;
    EXPECT_EQ(d.status, 1) << d.out;
    EXPECT_FALSE(d.group_left);
    EXPECT_NE(d.out.find("slot 2: [error] Tarnwell: Update Failed!"), std::string::npos) << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("\\n +1  PASS "))) << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("\\n +2  FAIL .*FlashAll failed: attempt 1")))
        << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("\\n +3  PASS "))) << d.out;
    EXPECT_TRUE(std::regex_search(d.out, std::regex("\\n +4  PASS "))) << d.out;
    const std::string work = WorkFolder(d.out);
    ASSERT_FALSE(work.empty());
    EXPECT_FALSE(fs::exists(work));
}

} // namespace
