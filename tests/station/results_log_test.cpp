// The results file: whole lines from many slots at once, texts that survive the trip, and
// nothing but whole records read back.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "station/json_value.h"
#include "station/results_log.h"
#include "tests/common/files.h"

namespace {

using namespace tw::station;
namespace fs = std::filesystem;

std::string TempRoot() {
    std::string t = "/tmp/tw-results-XXXXXX";
    return ::mkdtemp(t.data()) ? t + "/" : std::string();
}

CycleRecord Sample(int slot, const std::string& imei) {
    CycleRecord r;
    r.slot = slot;
    r.position = "USB\\ROOT_HUB20\\4&PHONESIM&0#" + std::to_string(slot + 1) + "#";
    r.imei = imei;
    r.start = std::chrono::system_clock::now();
    r.end = r.start + std::chrono::milliseconds(3250);
    r.sw_ver = "V1";
    r.stages.push_back({"backup", r.start, std::chrono::milliseconds(120), 0});
    r.stages.push_back({"fastboot", r.start, std::chrono::milliseconds(900), -3});
    r.result = CycleResult::Fail;
    r.message = "FlashAll failed: \"boot\" refused\n\tagain \\ 更新失败 \x01";
    return r;
}

TEST(ResultsLog, SixteenSlotsAppendingAtOnceLeaveOnlyWholeLines) {
    const std::string root = TempRoot();
    constexpr int kSlotsAtOnce = 16, kEach = 25;
    std::vector<std::thread> writers;
    for (int s = 0; s < kSlotsAtOnce; ++s)
        writers.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                CycleRecord r = Sample(s, std::to_string(100000 + s * 1000 + i));
                r.message.append(static_cast<size_t>(i * 97), 'x'); // lines of many lengths
                std::string why;
                EXPECT_TRUE(AppendResult(root, r, &why)) << why;
            }
        });
    for (auto& t : writers)
        t.join();
    std::vector<std::string> files;
    for (const auto& f : fs::directory_iterator(root + "results"))
        files.push_back(f.path().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(fs::path(files[0]).filename().string(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}\\.jsonl")));
    const std::string text = twtest::Slurp(files[0]);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::istringstream in(text);
    std::string line;
    std::set<std::string> imeis;
    while (std::getline(in, line)) {
        const auto e = ParseResultLine(line);
        ASSERT_TRUE(e) << line.substr(0, 200);
        EXPECT_EQ(e->result, "FAIL");
        EXPECT_DOUBLE_EQ(e->seconds, 3.25);
        EXPECT_EQ((std::stoi(e->imei) - 100000) / 1000, e->slot - 1) << e->imei;
        imeis.insert(e->imei);
    }
    EXPECT_EQ(imeis.size(), static_cast<size_t>(kSlotsAtOnce * kEach));
    fs::remove_all(root);
}

TEST(ResultsLog, ARecordReadsBackAndNoPieceOfItPassesForOne) {
    const CycleRecord r = Sample(15, "490154203237518");
    const std::string line = ResultLine(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto v = json::Parse(line);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->str("message"), r.message); // quotes, escapes, Chinese, a control character
    EXPECT_EQ(v->str("position"), r.position);
    EXPECT_EQ(v->num("slot"), 16);
    EXPECT_EQ(v->str("result"), "FAIL");
    const json::Value* stages = v->find("stages");
    ASSERT_TRUE(stages && stages->items.size() == 2);
    EXPECT_EQ(stages->items[1].str("name"), "fastboot");
    EXPECT_EQ(stages->items[1].num("ms"), 900);
    EXPECT_EQ(stages->items[1].num("result"), -3);
    const std::regex iso("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}[+-]"
                         "[0-9]{2}:[0-9]{2}");
    EXPECT_TRUE(std::regex_match(v->str("start"), iso)) << v->str("start");
    EXPECT_EQ(LocalDate(r.end), v->str("end").substr(0, 10));
    const auto e = ParseResultLine(line);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->slot, 16);
    EXPECT_EQ(e->imei, r.imei);
    // A line cut anywhere (a torn write) is not a record.
    for (size_t n = 0; n < line.size(); ++n)
        EXPECT_FALSE(ParseResultLine(line.substr(0, n))) << n;
    // Nor is a whole object that lacks what a record has.
    EXPECT_FALSE(ParseResultLine(
        R"({"end":"2026-12-08T10:00:00.000+00:00","seconds":1,"slot":17,"result":"PASS"})"));
    EXPECT_FALSE(ParseResultLine(
        R"({"end":"2026-12-08T10:00:00.000+00:00","seconds":1,"slot":2,"result":"OK"})"));
    EXPECT_TRUE(ParseResultLine(
        R"({"end":"2026-12-08T10:00:00.000+00:00","seconds":1,"slot":2,"result":"PASS"})"));
}

TEST(ResultsLog, AnUnwritableFolderSaysWhy) {
    const std::string root = TempRoot();
    std::ofstream(root + "results") << "a file where the folder should be";
    std::string why;
    EXPECT_FALSE(AppendResult(root, Sample(0, "1"), &why));
    EXPECT_NE(why.find(root + "results/"), std::string::npos) << why;
    fs::remove_all(root);
}

} // namespace
