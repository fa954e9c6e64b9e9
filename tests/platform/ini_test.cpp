// The INI layer against hand-written files.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/ini.h"
#include "tests/common/files.h"

namespace {

using twtest::Slurp;

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tw_ini_XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

void put(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

std::string get(const std::string& file, const char* s, const char* k, const char* def = "",
                size_t size = 256) {
    std::vector<char> buf(size + 1, '#');
    size_t n = tw::ini::get_string(s, k, def, buf.data(), size, file);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(buf[size], '#') << "written past the buffer";
    return std::string(buf.data(), n);
}

TEST(Ini, HandWrittenFileIsReadWithoutRegardToCase) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    put(f, "\xEF\xBB\xBF; settings\r\n"
           "[Language]\r\n"
           "Language = Chinese \r\n"
           "\r\n"
           "[Diag9025Driver]\r\n"
           "Diag9025Driver=Model A Diagnostics 9025,Model B,\r\n"
           "[Quoted]\r\n"
           "path=\"  C:\\x y  \"\r\n"
           "empty=\r\n"
           "[language]\r\n"
           "Language=English\r\n");
    EXPECT_EQ(get(f, "LANGUAGE", "language"), "Chinese"); // first section of that name wins
    EXPECT_EQ(get(f, "diag9025driver", "DIAG9025DRIVER"), "Model A Diagnostics 9025,Model B,");
    EXPECT_EQ(get(f, "Quoted", "path"), "  C:\\x y  ");
    EXPECT_EQ(get(f, "Quoted", "empty", "dflt"), "");
    EXPECT_EQ(tw::ini::read_string(f, "language", "LANGUAGE"), "Chinese");
}

TEST(Ini, MissingFileSectionOrKeyGivesTheDefault) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    EXPECT_EQ(get(f, "A", "b", "fallback"), "fallback");
    EXPECT_EQ(get(f, "A", "b", nullptr), "");
    EXPECT_EQ(get(f, "A", "b", "trail   "), "trail"); // trailing blanks of a default are dropped
    put(f, "[A]\nc=1\n");
    EXPECT_EQ(get(f, "A", "b", "x"), "x");
    EXPECT_EQ(get(f, "B", "c", "y"), "y");
    EXPECT_EQ(tw::ini::read_string(f, "B", "c", "z"), "z");
    EXPECT_EQ(tw::ini::read_int(f, "A", "c", 7), 1);
    EXPECT_EQ(tw::ini::read_int(f, "A", "zz", 7), 7);
    put(f, "[A]\nc=abc\nd=60s\n");
    EXPECT_EQ(tw::ini::read_int(f, "A", "c", 7), 0);
    EXPECT_EQ(tw::ini::read_int(f, "A", "d", 7), 60);
}

TEST(Ini, LongValuesAreCutToTheBuffer) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    put(f, "[S]\nk=abcdef\nu=ab\xE4\xB8\xAD\xE6\x96\x87\n");
    EXPECT_EQ(get(f, "S", "k", "", 7), "abcdef");
    EXPECT_EQ(get(f, "S", "k", "", 4), "abc");
    EXPECT_EQ(get(f, "S", "k", "", 1), "");
    EXPECT_EQ(get(f, "S", "missing", "0123456789", 5), "0123");
    // A character is never split: 4 bytes hold "ab" and not half of the next one.
    EXPECT_EQ(get(f, "S", "u", "", 4), "ab");
    EXPECT_EQ(get(f, "S", "u", "", 6), "ab\xE4\xB8\xAD");
    char untouched = 'q';
    EXPECT_EQ(tw::ini::get_string("S", "k", "", &untouched, 0, f), 0u);
    EXPECT_EQ(untouched, 'q');
}

TEST(Ini, NullSectionOrKeyListsNamesDoubleZeroTerminated) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    put(f, "[One]\na=1\nB=2\n[Two]\n");
    char buf[32];
    size_t n = tw::ini::get_string(nullptr, nullptr, "", buf, sizeof buf, f);
    EXPECT_EQ(std::string(buf, n + 1), std::string("One\0Two\0\0", 9));
    n = tw::ini::get_string("one", nullptr, "", buf, sizeof buf, f);
    EXPECT_EQ(std::string(buf, n + 1), std::string("a\0B\0\0", 5));
    // Too small: the last name is cut and two zeros close the list.
    n = tw::ini::get_string(nullptr, nullptr, "", buf, 7, f);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, 7), std::string("One\0T\0\0", 7));
}

TEST(Ini, WriteCreatesFileSectionAndKeyAndKeepsTheRest) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    ASSERT_TRUE(tw::ini::write_string(f, "QDLoadcom9008", "USBAddress[0]", "1-1#4#"));
    EXPECT_EQ(Slurp(f), "[QDLoadcom9008]\nUSBAddress[0]=1-1#4#\n");
    EXPECT_EQ(get(f, "qdloadcom9008", "usbaddress[0]"), "1-1#4#");

    put(f, "; kept\r\n[A]\r\nx=1\r\n\r\n; about B\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(tw::ini::write_string(f, "a", "X", "10"));   // existing key, other case
    ASSERT_TRUE(tw::ini::write_string(f, "A", "z", "3"));    // new key in an existing section
    ASSERT_TRUE(tw::ini::write_string(f, "C", "w", "中文")); // new section
    EXPECT_EQ(Slurp(f), "; kept\r\n[A]\r\nx=10\r\nz=3\r\n\r\n; about B\r\n[B]\r\ny=2\r\n"
                        "[C]\r\nw=中文\r\n");
    ASSERT_TRUE(tw::ini::write_string(f, "A", "x", ""));
    EXPECT_EQ(get(f, "A", "x", "gone"), "");

    ASSERT_TRUE(tw::ini::delete_key(f, "A", "z"));
    EXPECT_EQ(get(f, "A", "z", "gone"), "gone");
    ASSERT_TRUE(tw::ini::delete_section(f, "b"));
    EXPECT_EQ(get(f, "B", "y", "gone"), "gone");
    EXPECT_EQ(get(f, "C", "w"), "中文");
}

TEST(Ini, EachLineKeepsItsOwnEndAndNoFinalOneIsAdded) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    // CR LF and LF lines mixed, the last without a line end, as hand-edited files come.
    put(f, "[A]\r\nx=1\ny=2\r\n[B]\nz=3");
    ASSERT_TRUE(tw::ini::write_string(f, "A", "y", "20"));
    EXPECT_EQ(Slurp(f), "[A]\r\nx=1\ny=20\r\n[B]\nz=3");
    ASSERT_TRUE(tw::ini::write_string(f, "B", "w", "4")); // added lines take the first line's end
    EXPECT_EQ(Slurp(f), "[A]\r\nx=1\ny=20\r\n[B]\nz=3\r\nw=4");
    ASSERT_TRUE(tw::ini::delete_key(f, "B", "w"));
    EXPECT_EQ(Slurp(f), "[A]\r\nx=1\ny=20\r\n[B]\nz=3");
    const std::string text = "\xEF\xBB\xBF; c\r\n[S]\r\nk = \"v\" \n\n";
    EXPECT_EQ(tw::ini::Document::parse(text).text(), text);
}

TEST(Ini, WritesThatWouldBreakTheFileAreRefused) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    put(f, "[A]\nx=1\n");
    const std::string before = Slurp(f);
    EXPECT_FALSE(tw::ini::write_string(f, "A", "x", "1\n[Evil]\nk=v"));
    EXPECT_FALSE(tw::ini::write_string(f, "A", "k=v", "1"));
    EXPECT_FALSE(tw::ini::write_string(f, "A]x", "k", "1"));
    EXPECT_FALSE(tw::ini::write_string(f, "A", "", "1"));
    EXPECT_FALSE(tw::ini::write_string(f, "A", "[B]", "1"));
    EXPECT_EQ(Slurp(f), before);
    EXPECT_FALSE(tw::ini::write_string(d.path + "/no/such/dir/x.ini", "A", "k", "v"));
}

// Files in a folder other than the one named; what a crash leaves behind.
std::vector<std::string> others(const std::string& dir, const std::string& keep) {
    std::vector<std::string> v;
    DIR* dp = ::opendir(dir.c_str());
    while (dirent* e = ::readdir(dp)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n != keep) v.push_back(n);
    }
    ::closedir(dp);
    return v;
}

TEST(Ini, AWriterKilledMidWriteLeavesAWholeFile) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    ASSERT_TRUE(tw::ini::write_string(f, "Keep", "k", "kept"));
    const std::string a(200000, 'a'), b(200000, 'b');
    for (int round = 0; round < 5; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i)
                tw::ini::write_string(f, "Big", "v", i % 2 ? a : b);
        }
        ::usleep(20000 + round * 7000);
        ::kill(pid, SIGKILL);
        int st = 0;
        ::waitpid(pid, &st, 0);
        std::string v = tw::ini::read_string(f, "Big", "v", "none");
        EXPECT_TRUE(v == a || v == b || v == "none") << "cut value of " << v.size() << " bytes";
        EXPECT_EQ(tw::ini::read_string(f, "Keep", "k"), "kept");
        // A temporary file left by the crash neither hides the file nor blocks the next write.
        for (const auto& n : others(d.path, "inifile.ini"))
            EXPECT_EQ(n[0], '.') << n;
        ASSERT_TRUE(tw::ini::write_string(f, "After", "r", std::to_string(round)));
        EXPECT_EQ(tw::ini::read_string(f, "After", "r"), std::to_string(round));
    }
}

TEST(Ini, ConcurrentWritersInOneProcessLoseNoKey) {
    TempDir d;
    std::string f = d.path + "/inifile.ini";
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                tw::ini::write_string(f, "S" + std::to_string(t), "k" + std::to_string(i), "v");
        });
    for (auto& t : ts)
        t.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(tw::ini::read_string(f, "S" + std::to_string(t), "k" + std::to_string(i)),
                      "v");
}

TEST(Ini, ProgramDirIsTheFolderOfThisTest) {
    std::string dir = tw::ini::program_dir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(::access((dir + "test_platform").c_str(), X_OK), 0) << dir;
}

} // namespace
