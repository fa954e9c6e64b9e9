// Runs the built tarnwell-cli and checks its exit codes and output.
#include <gtest/gtest.h>

#include "tests/common/shell.h"
#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct Run {
    int status;
    std::string out;
};

Run run(const std::string& args) {
    std::string cmd = std::string(TW_CLI) + " " + args + " 2>&1";
    const auto res = twtest::run_shell(cmd);
    return {res.status, res.out};
}

TEST(Cli, HelpVersionAndUsageErrors) {
    auto h = run("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("--device-dir"), std::string::npos);
    EXPECT_NE(h.out.find("frame"), std::string::npos);
    auto v = run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.out.find(TARNWELL_VERSION), std::string::npos);
    EXPECT_EQ(run("").status, 2);
    EXPECT_EQ(run("--bogus").status, 2);
    EXPECT_EQ(run("no-such-command").status, 2);
    EXPECT_EQ(run("--time-scale abc frame").status, 2);
    EXPECT_EQ(run("--time-scale 0 frame").status, 2);
    EXPECT_EQ(run("--device-dir").status, 2);
}

TEST(Cli, FrameShowsTheWireBytes) {
    auto r = run("frame");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "7E 00 00 7E\n");
    auto j = run("--json frame 7e");
    EXPECT_EQ(j.status, 0);
    EXPECT_NE(j.out.find("\"frame\":\"7E 7D 5E"), std::string::npos);
    EXPECT_EQ(run("frame zz").status, 2);
    EXPECT_EQ(run("frame 100").status, 2);
}

} // namespace
