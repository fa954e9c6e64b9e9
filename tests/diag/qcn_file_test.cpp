// The NV item list, the QCN text file, the record file and the file names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "diag/nv_list.h"
#include "diag/qcn_file.h"

using namespace diag;

namespace {

NvItemLists Parse(const std::string& text, ListStatus expect = ListStatus::Ok) {
    NvItemLists l;
    std::string why;
    EXPECT_EQ(ParseNvList(text, l, why), expect) << why;
    return l;
}

TEST(NvList, MainAndSim1LinesAndWhatIsIgnored) {
    auto l = Parse("Some header\r\n"
                   "NV item: 00550 [NV_UE_IMEI_I]\r\n"
                   "NV item: 10 [NV_A: with a colon]\r\n"
                   " NV item (SIM 1): 00453 [NV_B]\r\n"
                   "NV item (SIM 1): 77 [in the first column]\r\n"
                   "random line [x]\n"
                   "NV item: 20 [last, LF only]");
    EXPECT_EQ(l.main, (std::vector<uint16_t>{550, 10, 20}));
    EXPECT_EQ(l.sim1, (std::vector<uint16_t>{453}));
    EXPECT_EQ(l.main_text, 6u + 3 + 3);
}

TEST(NvList, OnlySim1ItemsAndOddEntries) {
    auto l = Parse(" NV item (SIM 1): 1 [a]\n NV item (SIM 1): 2 [b]\n");
    EXPECT_TRUE(l.main.empty());
    EXPECT_EQ(l.sim1, (std::vector<uint16_t>{1, 2}));
    // A line with both markers is a main line.
    l = Parse("x NV item (SIM 1): 5 [a] NV item: 6 [b]\n");
    EXPECT_EQ(l.main, (std::vector<uint16_t>{6}));
    EXPECT_TRUE(l.sim1.empty());
    // An entry that is not a number is an error of the list, never item 0.
    for (const char* bad : {"NV item: abc [z]\n", "NV item:  [blank]\n", "NV item: 12ab [z]\n",
                            " NV item (SIM 1): x [z]\n"})
        Parse(std::string("NV item: 1 [a]\n") + bad, ListStatus::BadNumber);
    // No item at all: empty, binary, or no line in the list's form.
    std::string binary(600, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 37);
    for (const std::string& none : {std::string(), binary, std::string("NV item 5 [no colon]\n")})
        Parse(none, ListStatus::NoItems);
}

TEST(NvList, LongLinesArriveInPieces) {
    // The marker sits past the first 255 characters: the second piece holds it.
    std::string line = std::string(260, 'x') + "NV item: 42 [far]\n";
    EXPECT_EQ(Parse(line).main, (std::vector<uint16_t>{42}));
    // A marker cut by the piece boundary is lost, as with a 256-byte line buffer.
    line = std::string(250, 'x') + "NV item: 43 [cut]\n";
    EXPECT_TRUE(Parse(line, ListStatus::NoItems).main.empty());
}

TEST(NvList, TextLimitAndItemRange) {
    std::string text;
    size_t used = 0;
    for (int i = 0; used + 6 <= kListTextLimit; ++i, used += 6)
        text += "NV item: " + std::to_string(10000 + i) + " [n]\n";
    EXPECT_EQ(Parse(text).main_text, kListTextLimit - kListTextLimit % 6);
    // Fill to exactly 8000 bytes, then one more entry goes past it.
    text += "NV item: " + std::string(kListTextLimit % 6 - 1, '1') + " [n]\n";
    EXPECT_EQ(Parse(text).main_text, kListTextLimit);
    Parse(text + "NV item: 1 [n]\n", ListStatus::TooLong);
    Parse("NV item: 65536 [n]\n", ListStatus::BadNumber);
    EXPECT_EQ(Parse("NV item: 65535 [n]\n").main, (std::vector<uint16_t>{65535}));
}

std::string Block(NvKind k, uint16_t item, const uint8_t* data) {
    char buf[kBlockMax];
    return std::string(buf, FormatQcnBlock(k, item, data, buf));
}

TEST(QcnText, BlockFormatIsExact) {
    uint8_t d[128] = {};
    d[0] = 0x0A;
    d[15] = 0xFF;
    d[127] = 0x5C;
    std::string b = Block(NvKind::Main, 10, d);
    std::string expect =
        "NV item: 10 index\r\n0: 0a 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ff\r\n";
    for (int k = 1; k < 7; ++k)
        expect += std::to_string(k) + ": 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n";
    expect += "7: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 5c\r\n";
    EXPECT_EQ(b, expect);
    EXPECT_EQ(Block(NvKind::Sim1, 453, d).substr(0, 28), "NV item (SIM 1): 453 index\r\n");
}

// A temporary file holding the given bytes, opened for reading.
struct TempFile {
    explicit TempFile(const std::string& content = "") {
        f = std::tmpfile();
        std::fwrite(content.data(), 1, content.size(), f);
        std::rewind(f);
    }
    ~TempFile() { std::fclose(f); }
    std::string Read() {
        std::rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        return s;
    }
    FILE* f;
};

int Convert(const std::string& text, std::vector<QcnRecord>& recs, ConvertError* err = nullptr,
            std::string* hex_bytes = nullptr) {
    TempFile in(text), out;
    int n = ConvertQcnText(in.f, out.f, &recs, nullptr, err);
    if (hex_bytes) *hex_bytes = out.Read();
    return n;
}

TEST(QcnConvert, RoundTripOfRandomItemsBothKindsAndLineEnds) {
    std::mt19937 rng(7);
    std::string text = "NV Items:\r\n";
    std::vector<std::array<uint8_t, 128>> datas;
    for (int i = 0; i < 40; ++i) {
        std::array<uint8_t, 128> d;
        for (auto& b : d)
            b = static_cast<uint8_t>(rng());
        datas.push_back(d);
        text +=
            Block(i < 25 ? NvKind::Main : NvKind::Sim1, static_cast<uint16_t>(i * 97), d.data());
    }
    for (bool lf_only : {false, true}) {
        std::string t = text;
        if (lf_only) std::erase(t, '\r');
        std::vector<QcnRecord> recs;
        std::string hex;
        ASSERT_EQ(Convert(t, recs, nullptr, &hex), 40);
        ASSERT_EQ(hex.size(), 40 * kRecordSize);
        for (int i = 0; i < 40; ++i) {
            const QcnRecord& r = recs[static_cast<size_t>(i)];
            bool main = i < 25;
            EXPECT_EQ(r.length, main ? 133u : 138u);
            EXPECT_EQ(GetU16(&r.area[main ? 1 : 4]), i * 97);
            EXPECT_EQ(
                0, std::memcmp(&r.area[main ? 3 : 8], datas[static_cast<size_t>(i)].data(), 128));
            // The file holds the same bytes.
            uint8_t raw[kRecordSize];
            SerializeRecord(r, raw);
            EXPECT_EQ(0, std::memcmp(raw, hex.data() + static_cast<size_t>(i) * kRecordSize,
                                     kRecordSize));
        }
    }
}

TEST(QcnConvert, TwoMainItemsMake284Bytes) {
    uint8_t d[128];
    for (int i = 0; i < 128; ++i)
        d[i] = static_cast<uint8_t>(i);
    std::string text =
        std::string("NV Items:\r\n") + Block(NvKind::Main, 10, d) + Block(NvKind::Main, 20, d);
    std::vector<QcnRecord> recs;
    std::string hex;
    ASSERT_EQ(Convert(text, recs, nullptr, &hex), 2);
    ASSERT_EQ(hex.size(), 284u);
    EXPECT_EQ(hex.substr(0, 7), std::string("\x85\0\0\0\x27\x0a\0", 7));
    EXPECT_EQ(static_cast<uint8_t>(hex[4 + 3 + 127]), 127);
    for (size_t i = 4 + 131; i < kRecordSize; ++i)
        EXPECT_EQ(hex[i], 0) << i;
}

TEST(QcnConvert, ValuesAreReadThreeCharactersApart) {
    std::string text =
        "NV Items:\nNV item: 1 index\n0: 00 11 22 33 44 55 66 77 88 99 AA bb cc dd ee ff\n";
    for (int k = 1; k < 8; ++k)
        text += std::to_string(k) + ": 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    std::vector<QcnRecord> recs;
    ASSERT_EQ(Convert(text, recs), 1);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(recs[0].area[3 + static_cast<size_t>(i)], 0x11 * i);
}

TEST(QcnConvert, OnlyTheFirstLineConvertsToNothing) {
    std::vector<QcnRecord> recs;
    std::string hex = "x";
    EXPECT_EQ(Convert("NV Items:\r\n", recs, nullptr, &hex), 0);
    EXPECT_TRUE(hex.empty());
    EXPECT_TRUE(recs.empty());
}

TEST(QcnConvert, DamagedTextIsRefused) {
    uint8_t d[128] = {};
    std::string good = Block(NvKind::Main, 5, d);
    auto refuse = [&](const std::string& text, uint32_t item, const std::string& reason_part) {
        std::vector<QcnRecord> recs;
        ConvertError err;
        EXPECT_EQ(Convert(text, recs, &err), -1) << text;
        EXPECT_EQ(err.item, item);
        EXPECT_NE(err.reason.find(reason_part), std::string::npos) << err.reason;
    };
    // Truncated: the second item has 7 data lines before the end of the file.
    std::string seven = good.substr(0, good.rfind("7: "));
    refuse("NV Items:\r\n" + good + "NV item: 6 index\r\n" + seven.substr(seven.find("0: ")), 6,
           "ends inside");
    // A header where the eighth data line should be.
    refuse("NV Items:\r\n" + seven + good, 5, "not two hexadecimal");
    std::string line0 = "0: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n";
    auto with_line0 = [&](const std::string& l) {
        std::string b = good;
        b.replace(b.find(line0), line0.size(), l);
        return "NV Items:\r\n" + b;
    };
    refuse(with_line0("0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n"), 5, "no \": \"");
    refuse(with_line0("0: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n"), 5, "fewer than 16");
    refuse(with_line0("0: 00 00 00 00 00 00 0g 00 00 00 00 00 00 00 00 00\r\n"), 5, "hexadecimal");
    refuse(with_line0("0: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n"), 5,
           "more than 16");
    refuse("NV Items:\r\nNV item: 70000 index\r\n", 0, "item number");
    refuse("", 0, "empty");
    refuse(good, 0, "NV Items:");
    // The line buffer is 1024 bytes: a longer line, or a file without line ends, is refused.
    refuse("NV Items:\r\n" + std::string(2000, 'x') + "\r\n" + good, 0, "1024-byte line buffer");
    refuse(std::string(5000, '\0'), 0, "1024-byte line buffer");
    std::vector<QcnRecord> recs;
    EXPECT_EQ(Convert("NV Items:\r\n" + std::string(1021, 'x') + "\r\n" + good, recs, nullptr), 1);
}

TEST(QcnRecordFile, ReadsWholeRecordsOnly) {
    QcnRecord r;
    uint8_t d[128] = {1};
    r.length = BuildNvWriteSim1(9, d, r.area);
    uint8_t raw[kRecordSize];
    SerializeRecord(r, raw);
    std::string two(reinterpret_cast<char*>(raw), kRecordSize);
    two += two;
    std::vector<QcnRecord> out;
    TempFile ok(two);
    ASSERT_TRUE(ReadRecordFile(ok.f, out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].length, 138u);
    out.clear();
    TempFile cut(two.substr(0, 200));
    EXPECT_FALSE(ReadRecordFile(cut.f, out));
    std::string bad = two;
    bad[0] = static_cast<char>(200); // a length that would run past the request area
    TempFile badlen(bad);
    EXPECT_FALSE(ReadRecordFile(badlen.f, out));
}

TEST(QcnNames, FolderPathsAreKept) {
    EXPECT_EQ(QcnTextPath("/data/qcn/", "490154203237518"), "/data/qcn/490154203237518.txt");
    EXPECT_EQ(QcnTextPath("/data/qcn", "490154203237518"), "/data/qcn/490154203237518.txt");
    EXPECT_EQ(QcnTextPath("", "490154203237518"), "490154203237518.txt");
    EXPECT_EQ(PartialPath("/d/1.txt"), "/d/1.txt.partial");
    EXPECT_EQ(RecordPathFor("/x/qcn.txt"), "/x/qcn.hex");
    EXPECT_EQ(RecordPathFor("/x.txt.d/a.txt"), "/x.txt.d/a.hex");
    // Without ".txt" the record file must not land on the text file itself.
    EXPECT_EQ(RecordPathFor("/x/backup.qcn"), "/x/backup.qcn.hex");
}

// What the end-to-end tests do not reach: a ".partial" left by a failed run, and backups that
// land within one second.
TEST(QcnBackupFiles, LeftoversAndDatedNameClashes) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qcnfiles-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string final_path = (dir / "490154203237518.txt").string();
    const std::string work = PartialPath(final_path);
    uint8_t d[128] = {7};
    auto backup = [&](Placement& placed) {
        QcnTextWriter w;
        EXPECT_TRUE(w.Open(work));
        w.AppendBlock(NvKind::Main, 5, d);
        EXPECT_TRUE(w.Flush());
        bool ok = PlaceBackup(work, final_path, 1, placed);
        w.Close();
        return ok;
    };
    // Nobody holds a leftover: it is taken over and emptied.
    std::ofstream(work) << "junk";
    Placement p, q;
    ASSERT_TRUE(backup(p));
    EXPECT_EQ(p.written, final_path);
    EXPECT_EQ(CountQcnItems(final_path), 1);
    EXPECT_FALSE(fs::exists(work));
    ASSERT_TRUE(backup(q));
    ASSERT_TRUE(backup(p));
    EXPECT_NE(p.kept, q.kept);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);

    EXPECT_EQ(ImeiOfQcnFile(final_path), "490154203237518");
    EXPECT_EQ(ImeiOfQcnFile(p.kept), "490154203237518");
    for (const char* other :
         {"/q/49015420323751.txt", "/q/490154203237518.hex", "/q/490154203237518-copy.txt",
          "/q/qcn.txt", "/q/490154203237518.2026.txt"})
        EXPECT_EQ(ImeiOfQcnFile(other), "") << other;
    fs::remove_all(dir);
}

} // namespace
