// The COM database: numbers by identity, what a hand-edited or damaged file keeps, processes
// sharing one file, and a file that cannot be written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/com_db.h"
#include "platform/ini.h"
#include "tests/common/files.h"

namespace {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tw_comdb_XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

tw::PortIdentity Id(int hubport, uint16_t pid = 0x9025, int iface = 0) {
    return {"1-1#" + std::to_string(hubport) + "#", 0x05C6, pid, iface, 0};
}

TEST(ComDb, NumbersFollowTheIdentityAndSurviveInTheFile) {
    TempDir d;
    const std::string db = d.path + "/state/tarnwell/comdb.ini"; // folders made on first use
    // Two phones of one model at two hub ports, and two functions of one phone.
    std::vector<int> n = tw::com_numbers_for({Id(2), Id(3), Id(2, 0x9025, 2)}, db);
    EXPECT_EQ(n, (std::vector<int>{1, 2, 3}));
    // Asked again in another order, or with the same identity twice: the same numbers.
    EXPECT_EQ(tw::com_numbers_for({Id(2, 0x9025, 2), Id(2), Id(2)}, db),
              (std::vector<int>{3, 1, 1}));
    // Another mode of the phone at port 2 (other ids) is another port.
    EXPECT_EQ(tw::com_numbers_for({Id(2, 0x9008)}, db), std::vector<int>{4});
    // A second tty on one interface (a multi-port adapter) is a port of its own.
    tw::PortIdentity second_tty = Id(2);
    second_tty.index = 1;
    EXPECT_EQ(tw::com_numbers_for({second_tty, Id(2)}, db), (std::vector<int>{5, 1}));
    EXPECT_EQ(tw::ini::read_string(db, "COM5", "index"), "1");
    // The file says which identity holds which number.
    EXPECT_EQ(tw::ini::read_string(db, "COM2", "position"), "1-1#3#");
    EXPECT_EQ(tw::ini::read_string(db, "COM4", "pid"), "9008");
    EXPECT_EQ(tw::ini::read_string(db, "COM3", "interface"), "2");
    EXPECT_TRUE(tw::ini::read_string(db, "COM6", "position").empty());
}

TEST(ComDb, HandEditedAndDamagedEntriesKeepTheirNumbers) {
    TempDir d;
    const std::string db = d.path + "/comdb.ini";
    std::ofstream(db) << "; kept by hand\n"
                         "[com2]\nPosition=1-1#7#\nVID=05C6\npid=9025\ninterface=0\n"
                         "[COM1]\nposition=1-1#8#\npid=9025\ninterface=0\n" // no vid: unusable
                         "[COM4]\nposition=1-1#9#\nvid=05c6\npid=9025\ninterface=0\n"
                         "[notes]\nx=1\n";
    // Case does not matter; the damaged COM1 still holds its number, so new ports take 3, 5.
    EXPECT_EQ(tw::com_numbers_for({Id(7), Id(8), Id(4), Id(9)}, db),
              (std::vector<int>{2, 3, 5, 4}));
    const std::string text = twtest::Slurp(db);
    EXPECT_EQ(text.rfind("; kept by hand\n[com2]\n", 0), 0u) << text;
    EXPECT_NE(text.find("[notes]\nx=1\n"), std::string::npos) << text;
}

TEST(ComDb, ProcessesSharingTheFileNeverGiveOneNumberToTwoIdentities) {
    TempDir d;
    const std::string db = d.path + "/comdb.ini";
    constexpr int kProcs = 4, kShared = 6, kOwn = 6;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            while (::read(gate[0], &c, 1) > 0) {
            } // all start together when the gate closes
            // Every process sees the shared phones (in its own order) and phones of its own,
            // one at a time, as a station's listener does.
            std::ostringstream out;
            for (int i = 0; i < kShared + kOwn; ++i) {
                tw::PortIdentity id =
                    i < kShared ? Id(1 + (i + p) % kShared) : Id(100 + p * kOwn + i);
                out << id.position << " " << tw::com_numbers_for({id}, db)[0] << "\n";
            }
            std::ofstream(d.path + "/out" + std::to_string(p)) << out.str();
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t k : kids) {
        int st = 0;
        ::waitpid(k, &st, 0);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    // Every identity has one number in every process's view and in the file, and no number
    // belongs to two identities.
    std::map<std::string, int> number_of;
    std::set<int> numbers;
    for (int p = 0; p < kProcs; ++p) {
        std::istringstream in(twtest::Slurp(d.path + "/out" + std::to_string(p)));
        std::string pos;
        int n = 0;
        int lines = 0;
        while (in >> pos >> n) {
            ++lines;
            EXPECT_GT(n, 0) << pos;
            auto [it, fresh] = number_of.emplace(pos, n);
            EXPECT_EQ(it->second, n) << pos << " has two numbers";
            if (fresh) {
                EXPECT_TRUE(numbers.insert(n).second) << "COM" << n << " given twice";
            }
        }
        EXPECT_EQ(lines, kShared + kOwn);
    }
    EXPECT_EQ(number_of.size(), static_cast<size_t>(kShared + kProcs * kOwn));
    for (const auto& [pos, n] : number_of)
        EXPECT_EQ(tw::ini::read_string(db, "COM" + std::to_string(n), "position"), pos);
    EXPECT_EQ(*numbers.rbegin(), static_cast<int>(numbers.size())); // lowest free: no gaps
}

TEST(ComDb, AFileThatCannotBeWrittenStillGivesDistinctNumbers) {
    TempDir d;
    std::ofstream(d.path + "/file") << "x";
    const std::string db = d.path + "/file/comdb.ini"; // its folder cannot be made
    EXPECT_EQ(tw::com_numbers_for({Id(2), Id(3)}, db), (std::vector<int>{1, 2}));
    EXPECT_EQ(tw::com_numbers_for({Id(3), Id(4)}, db), (std::vector<int>{2, 3}));
}

TEST(ComDb, StateFolderFromTheEnvironment) {
    struct Saved {
        const char* name;
        std::string value;
        bool set;
    };
    std::vector<Saved> saved;
    for (const char* v : {"TARNWELL_STATE_DIR", "XDG_STATE_HOME", "HOME"}) {
        const char* x = std::getenv(v);
        saved.push_back({v, x ? x : "", x != nullptr});
    }
    ::setenv("TARNWELL_STATE_DIR", "/tmp/own", 1);
    ::setenv("XDG_STATE_HOME", "/tmp/xdg", 1);
    ::setenv("HOME", "/tmp/home", 1);
    EXPECT_EQ(tw::com_db_path(), "/tmp/own/comdb.ini");
    ::unsetenv("TARNWELL_STATE_DIR");
    EXPECT_EQ(tw::state_dir(), "/tmp/xdg/tarnwell");
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(tw::state_dir(), "/tmp/home/.local/state/tarnwell");
    for (const auto& s : saved)
        s.set ? ::setenv(s.name, s.value.c_str(), 1) : ::unsetenv(s.name);
}

} // namespace
