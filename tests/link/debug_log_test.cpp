// The link's log files, their names and lines, and the diagnostic-text filter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "link/debug_log.h"
#include "link_test_util.h"
#include "platform/wall_time.h"
#include "tests/common/files.h"

namespace {

using twtest::Slurp;

namespace fs = std::filesystem;

tw::WallTime fixed_time() {
    tw::WallTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 3;
    return t;
}

// Runs each case in a fresh current directory with a fixed date, debug line 3, and the terminal
// output captured in a file.
class DebugLog : public ::testing::Test {
  protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
        old_cwd_ = buf;
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
        tw::set_wall_time_source(&fixed_time);
        DBG_SetDebugLine(3);
        console_ = std::tmpfile();
        quillon::SetDebugConsole(console_, true);
    }
    void TearDown() override {
        quillon::SetDebugConsole(nullptr, false);
        std::fclose(console_);
        tw::set_wall_time_source(nullptr);
        DBG_SetDebugLine(0);
        ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
    }
    fs::path day() const { return fs::path(dir_.path()) / "log" / "261207"; }
    std::string console() {
        std::fflush(console_);
        std::rewind(console_);
        std::string s;
        char b[512];
        size_t n;
        while ((n = std::fread(b, 1, sizeof b, console_)) > 0)
            s.append(b, n);
        return s;
    }

    linktest::TempDir dir_;
    std::string old_cwd_;
    std::FILE* console_ = nullptr;
};

TEST_F(DebugLog, MessageGoesToTheDayFolderWithTheDebugLineAndATimePrefix) {
    EXPECT_EQ(DBG_MSG("N", "value %d of %s", 5, "x"), 1);
    EXPECT_EQ(Slurp(day() / "03_N.log"), "\n[2026-12-07 09:05:03] value 5 of x");
    EXPECT_EQ(console(), "\n[2026-12-07 09:05:03] value 5 of x");
    DBG_MSG("N", "second");
    EXPECT_EQ(Slurp(day() / "03_N.log"),
              "\n[2026-12-07 09:05:03] value 5 of x\n[2026-12-07 09:05:03] second");
    DBG_SetDebugLine(0x1C);
    DBG_MSG("N", "other line");
    EXPECT_TRUE(fs::exists(day() / "1C_N.log"));
}

TEST_F(DebugLog, TextAndBufferWritersCreateTheLogFolderThemselves) {
    EXPECT_EQ(DBG_MSGSTR("S", "hello"), 5);
    EXPECT_EQ(Slurp(day() / "03_S.log"), "\n[2026-12-07 09:05:03] {hello}");

    fs::remove_all(fs::path(dir_.path()) / "log");
    const uint8_t bytes[] = {0x7E, 0x01, 0xAB};
    EXPECT_EQ(DBG_MSGBUF("B", bytes, 3), 1);
    EXPECT_EQ(DBG_MSGBUF("B", bytes, 0), 1);
    EXPECT_EQ(Slurp(day() / "03_B.log"),
              "\n[2026-12-07 09:05:03] {7E 01 AB }\n[2026-12-07 09:05:03] {}");
}

TEST_F(DebugLog, NullNameWritesTheTerminalOnly) {
    DBG_MSG(nullptr, "only here");
    DBG_MSGSTR(nullptr, "t");
    EXPECT_FALSE(fs::exists(fs::path(dir_.path()) / "log"));
    EXPECT_EQ(console(), "\n[2026-12-07 09:05:03] only here\n[2026-12-07 09:05:03] {t}");
}

TEST_F(DebugLog, LongLinesAreCutAtTheLineBuffer) {
    std::string big(5000, 'x');
    DBG_MSG("L", "%s", big.c_str());
    std::string prefix = "\n[2026-12-07 09:05:03] ";
    EXPECT_EQ(Slurp(day() / "03_L.log"), prefix + std::string(3999, 'x'));

    std::vector<uint8_t> many(2000, 0x5A);
    DBG_MSGBUF("M", many.data(), static_cast<int>(many.size()));
    std::string got = Slurp(day() / "03_M.log");
    EXPECT_LE(got.size(), prefix.size() + 3999);
    EXPECT_EQ(got.back(), '}');
}

TEST_F(DebugLog, NamesCannotLeaveTheDayFolder) {
    DBG_MSG("../../escape", "x");
    EXPECT_FALSE(fs::exists(fs::path(dir_.path()) / "escape.log"));
    EXPECT_TRUE(fs::exists(day() / "03_.._.._escape.log"));
}

TEST_F(DebugLog, FilterLogsDiagnosticTextWithItsLevelColour) {
    char text[16] = {0x40, 0x05, 'a', 'b', 'c'};
    EXPECT_EQ(pctsdebugfilter("F", text, 5), 0);
    EXPECT_EQ(Slurp(day() / "03_F.log"), "\n[2026-12-07 09:05:03] E>abc");
    char c13[32], c9[32];
    quillon::ColourSequence(13, c13, sizeof c13);
    quillon::ColourSequence(9, c9, sizeof c9);
    EXPECT_EQ(console(), std::string(c13) + "\n[2026-12-07 09:05:03] E>abc" + c9);
}

TEST_F(DebugLog, FilterPassesEverythingElseUntouched) {
    char text[8] = {0x41, 0x05, 'a', 'b'};
    EXPECT_EQ(pctsdebugfilter("F", text, 4), 4);
    EXPECT_EQ(text[0], 0x41);
    EXPECT_EQ(text[1], 0x05);
    EXPECT_EQ(console(), "");
    EXPECT_FALSE(fs::exists(fs::path(dir_.path()) / "log"));
}

TEST_F(DebugLog, UnknownLevelsShowAsN) {
    char text[8] = {0x40, 0x2A, 'z'};
    EXPECT_EQ(pctsdebugfilter("F", text, 3), 0);
    EXPECT_EQ(Slurp(day() / "03_F.log"), "\n[2026-12-07 09:05:03] N>z");
}

TEST_F(DebugLog, ErrorCodesAreLoggedWithTheSourceFileAndLine) {
    EXPECT_EQ(pctserror("/src/tarnwell/link/some_file.cpp", 42, 5), 0);
    EXPECT_EQ(Slurp(day() / "03_PCTSERROR.log"),
              "\n[2026-12-07 09:05:03] 2>some_file.cpp(42):PCTSERROR = -1005");
    EXPECT_EQ(pctslprintf("P", "C:\\w\\x.cpp", 7, 4, "n=%d", 9), 0);
    EXPECT_EQ(Slurp(day() / "03_P.log"), "\n[2026-12-07 09:05:03] H>x.cpp(7):n=9");
}

TEST(DebugLogColours, AttributesMapToAnsiSequences) {
    char s[32];
    quillon::ColourSequence(13, s, sizeof s);
    EXPECT_STREQ(s, "\x1b[0;95m"); // bright red + blue: bright magenta
    quillon::ColourSequence(2, s, sizeof s);
    EXPECT_STREQ(s, "\x1b[0;32m");
    quillon::ColourSequence(0x1E, s, sizeof s);
    EXPECT_STREQ(s, "\x1b[0;93;44m"); // bright yellow on blue
}

TEST(DebugLogTerminal, ConsoleCallsDoNothingWithoutATerminal) {
    if (::isatty(STDOUT_FILENO)) GTEST_SKIP() << "standard output is a terminal here";
    EXPECT_EQ(DebugWindowSetColor(12), 0);
    EXPECT_EQ(ClearDebugWindow(), 0);
    EXPECT_EQ(OpenDebugWindow(), 0);
    EXPECT_EQ(ClosedDebugWindow(), 0);
}

} // namespace
