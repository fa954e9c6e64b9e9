// `tarnwell-cli ports` and `watch` against a virtual device directory.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/shell.h"
#include "tests/detect/detect_fixture.h"

namespace {

using twtest::DetectTest;

struct Run {
    int status;
    std::string out;
};

Run run(const std::string& args, bool sysfs = false) {
    std::string cmd =
        std::string(sysfs ? "env -u TARNWELL_DEVICE_DIR " : "") + TW_CLI + " " + args + " 2>&1";
    const auto res = twtest::run_shell(cmd);
    return {res.status, res.out};
}

TEST_F(DetectTest, PortsPrintsTheListAndFlags) {
    plug("a", 15, qdl(15));
    plug("b", 12, diag9025(12), true);
    auto r = run("--device-dir " + dir + " ports");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "COM15+Qualcomm HS-USB QDLoader 9008 (COM15),"
                     "COM12+Qualcomm HS-USB Diagnostics 9025 (COM12)\n"
                     "isDiagcom=0 isDiag9025com=1\n");
    EXPECT_EQ(run("--device-dir " + dir + " ports extra").status, 2);
    EXPECT_EQ(run("--device-dir " + dir + "/missing ports").status, 1);
    // The machine's own sysfs: with or without a USB bus, a list and no error.
    auto own = run("ports", true);
    EXPECT_EQ(own.status, 0) << own.out;
    EXPECT_NE(own.out.find("isDiagcom="), std::string::npos) << own.out;
}

TEST_F(DetectTest, PortsJsonGivesEachDeviceWithItsPosition) {
    ASSERT_TRUE(tw::ini::write_file_atomic(
        dir + "/a.dev", "[device]\nkind=serial\ncom=15\npath=/dev/pts/9\nfriendly=" + qdl(15) +
                            "\nparent=1-1\nhubport=3\nvid=05c6\npid=9008\n"));
    ASSERT_TRUE(tw::ini::write_file_atomic(
        dir + "/b.dev", "[device]\nkind=usb\nparent=1-1\nhubport=3\nvid=18d1\npid=d00d\n"
                        "address=tcp:127.0.0.1:5554\n"));
    auto r = run("--json --device-dir " + dir + " ports");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("{\"kind\":\"serial\",\"com\":15,\"friendly\":\"" + qdl(15) +
                         "\",\"path\":\"/dev/pts/9\",\"position\":\"1-1#3#\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"kind\":\"usb\""), std::string::npos);
    EXPECT_NE(r.out.find("\"address\":\"tcp:127.0.0.1:5554\""), std::string::npos);
    EXPECT_NE(r.out.find("{\"list\":\"COM15+" + qdl(15) +
                         "\",\"isDiagcom\":false,\"isDiag9025com\":false}\n"),
              std::string::npos);
}

TEST_F(DetectTest, WatchShowsArrivalsRemovalsAndMessagesUntilInterrupted) {
    plug("a", 15, qdl(15));
    std::string out_file = root + "/watch.out";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string cmd = std::string(TW_CLI) + " --time-scale 0.01 --device-dir " + dir +
                          " watch > " + out_file + " 2>&1";
        ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), nullptr);
        ::_exit(127);
    }
    auto wait_for = [&](const std::string& text) {
        for (int i = 0; i < 5000; ++i) {
            std::ifstream f(out_file);
            std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            if (all.find(text) != std::string::npos) return all;
            ::usleep(1000);
        }
        return std::string("(timed out waiting for ") + text + ")";
    };
    EXPECT_NE(wait_for("message 1025 (phone ready) COM15").find("present serial COM15"),
              std::string::npos);
    plug("b", 12, diag9025(12), true);
    EXPECT_NE(wait_for("message 1029 (DIAG 9025 port) COM12").find("arrival serial COM12"),
              std::string::npos);
    unplug("a");
    wait_for("removal serial COM15");
    ::kill(pid, SIGINT);
    int st = 0;
    ::waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_NE(wait_for("removal serial COM15")
                  .find("removal serial COM15 \"" + qdl(15) + "\" /dev/pts/15 at #0#"),
              std::string::npos);
}

TEST_F(DetectTest, WatchForABoundedTimeAndBadOptions) {
    auto r = run("--json --time-scale 0.01 --device-dir " + dir + " watch --for 100 --no-listener");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    plug("a", 15, qdl(15));
    r = run("--json --time-scale 0.01 --device-dir " + dir + " watch --for 100 --no-listener");
    EXPECT_EQ(r.out.rfind("{\"event\":\"present\",\"kind\":\"serial\",\"com\":15", 0), 0u) << r.out;
    EXPECT_EQ(run("watch --period 0").status, 2);
    EXPECT_EQ(run("watch --for x").status, 2);
    EXPECT_EQ(run("watch now").status, 2);
}

} // namespace
