// tarnwell-cli pack: exit codes, and a package the engine's reader takes back byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "engine/phase_image.h"
#include "tests/common/shell.h"

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(TW_BINARY_DIR) + "/cli/tarnwell-cli";

struct Run {
    int status;
    std::string out;
};

Run run(const std::string& args) {
    std::string cmd = kCli + " " + args + " 2>&1";
    const auto res = twtest::run_shell(cmd);
    return {res.status, res.out};
}

TEST(PackCommand, MakesContainersTheReaderTakesBack) {
    if (!fs::exists(kCli)) GTEST_SKIP() << "tarnwell-cli not built";
    char tmpl[] = "/tmp/tw_pack_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::vector<std::vector<char>> contents = {std::vector<char>(5000), std::vector<char>(7)};
    for (size_t i = 0; i < contents[0].size(); ++i)
        contents[0][i] = static_cast<char>(i * 13);
    for (size_t i = 0; i < contents[1].size(); ++i)
        contents[1][i] = static_cast<char>(0x7E);
    std::ofstream(dir + "/amss.mbn", std::ios::binary).write(contents[0].data(), 5000);
    std::ofstream(dir + "/prg.bin", std::ios::binary).write(contents[1].data(), 7);

    for (std::string kind : {"zqde", "zqen"}) {
        const std::string out = dir + "/pkg." + kind;
        auto r = run("--json pack --kind " + kind + " --out " + out + " 0=" + dir +
                     "/amss.mbn 0x06=" + dir + "/prg.bin");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\"id\":6,\"offset\":21384,\"size\":7,\"name\":\"prg.bin\""),
                  std::string::npos)
            << r.out;
        CPhaseImage img;
        ASSERT_EQ(img.OpenImage(out.c_str()), 1);
        EXPECT_EQ(img.Kind(), kind == "zqen" ? IMAGE_KIND_ZQEN : IMAGE_KIND_ZQDE);
        const int ids[] = {0, 6};
        for (int i = 0; i < 2; ++i) {
            img.SelectEntry(ids[i]);
            uint32_t off = 0, size = 0;
            ASSERT_EQ(img.GetImageSize(off, size), 1);
            std::vector<char> got(size);
            ASSERT_EQ(img.ReadImage(got.data(), size), 1);
            EXPECT_EQ(got, contents[static_cast<size_t>(i)]) << kind << " " << ids[i];
        }
    }
    EXPECT_EQ(run("pack --kind zqde --out " + dir + "/x.zqen 0=" + dir + "/amss.mbn").status, 2);
    EXPECT_EQ(run("pack --kind zqde --out " + dir + "/x.zqde 0=" + dir + "/missing").status, 2);
    EXPECT_EQ(run("pack --kind zqde --out " + dir + "/x.zqde 300=" + dir + "/amss.mbn").status, 2);
    EXPECT_EQ(run("pack --kind zqde --out " + dir + "/x.zqde").status, 2);
    EXPECT_EQ(run("pack --kind zqde --out " + dir + "/x.zqde amss.mbn").status, 2);
    EXPECT_EQ(run("pack --kind zip --out " + dir + "/x.zqde 0=" + dir + "/amss.mbn").status, 2);
    EXPECT_FALSE(fs::exists(dir + "/x.zqde"));
    // A folder that cannot be written: the operation fails (1), not the usage.
    EXPECT_EQ(run("pack --kind zqde --out /proc/x.zqde 0=" + dir + "/amss.mbn").status, 1);
    fs::remove_all(dir);
}

} // namespace
