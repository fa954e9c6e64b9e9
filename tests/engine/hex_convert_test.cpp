// Intel HEX programmers into raw files: the bytes, the start value from its record whatever
// the line ends, and the refusals that keep a damaged file from reaching a phone.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/hex_convert.h"
#include "tests/common/files.h"

namespace fs = std::filesystem;
using namespace sondrel::hex;
using Bytes = std::vector<uint8_t>;

namespace {

using twtest::Slurp;

std::string Rec(uint8_t type, uint16_t addr, const Bytes& data) {
    char b[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + (addr & 0xFF) + type;
    std::snprintf(b, sizeof b, ":%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
    std::string s = b;
    for (uint8_t v : data) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
        sum += v;
    }
    std::snprintf(b, sizeof b, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + b;
}

Bytes Data(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 13 * i);
    return b;
}

// A programmer of `n` bytes at 0x0010FFF0 (so the data crosses a 64 KiB boundary), 16 bytes a
// record, started at `start`.
std::vector<std::string> Programmer(size_t n, uint32_t start) {
    std::vector<std::string> lines;
    const Bytes d = Data(n, 5);
    uint32_t addr = 0x0010FFF0;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t off = 0; off < n; off += 16) {
        const uint32_t a = addr + static_cast<uint32_t>(off);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            lines.push_back(
                Rec(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}));
        }
        const size_t k = std::min<size_t>(16, n - off);
        lines.push_back(
            Rec(0, static_cast<uint16_t>(a),
                Bytes(d.begin() + static_cast<long>(off), d.begin() + static_cast<long>(off + k))));
    }
    lines.push_back(Rec(5, 0,
                        {static_cast<uint8_t>(start >> 24), static_cast<uint8_t>(start >> 16),
                         static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start)}));
    lines.push_back(Rec(1, 0, {}));
    return lines;
}

std::string Join(const std::vector<std::string>& lines, const char* eol) {
    std::string s;
    for (const auto& l : lines)
        s += l + eol;
    return s;
}

class Hex : public ::testing::Test {
  protected:
    void SetUp() override {
        char t[] = "/tmp/tw_hex_XXXXXX";
        dir_ = mkdtemp(t) ? t : "";
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    // Converts text; the code, with the error kept in error_.
    int Convert(const std::string& text, HexConversion& out) {
        const int r = ConvertHexToBin(Write("P.hex", text), out);
        error_ = out.error;
        return r;
    }
    bool BinExists() const { return fs::exists(dir_ + "/P.bin"); }

    std::string dir_;
    std::string error_;
};

TEST_F(Hex, CrLfAndLfGiveTheSameBytesAndStartValue) {
    const Bytes expect = Data(1000, 5);
    for (const char* eol : {"\r\n", "\n"}) {
        SCOPED_TRACE(eol[0] == '\r' ? "CR LF" : "LF");
        HexConversion out;
        ASSERT_EQ(Convert(Join(Programmer(1000, 0x00100000), eol), out), kHexOk) << error_;
        EXPECT_EQ(out.start, 0x00100000u);
        EXPECT_EQ(out.load, 0x0010FFF0u);
        EXPECT_EQ(out.size, 1000u);
        EXPECT_EQ(out.bin_path, dir_ + "/P.bin");
        const std::string bin = Slurp(out.bin_path);
        EXPECT_EQ(Bytes(bin.begin(), bin.end()), expect);
        uint32_t start = 0;
        std::string err;
        EXPECT_EQ(ReadHexStartValue(dir_ + "/P.hex", start, err), kHexOk);
        EXPECT_EQ(start, 0x00100000u);
    }
    // The start record need not be second to last, and lower-case digits are digits.
    std::vector<std::string> lines = Programmer(40, 0x12345678);
    std::rotate(lines.begin(), lines.end() - 2, lines.end() - 1);
    std::string text = Join(lines, "\n");
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    HexConversion out;
    ASSERT_EQ(Convert(text, out), kHexOk) << error_;
    EXPECT_EQ(out.start, 0x12345678u);
}

TEST_F(Hex, TheStartRecordAloneGivesTheStartValueTheWholeFileGives) {
    auto start_of = [&](const std::vector<std::string>& lines, const char* eol, uint32_t& v) {
        error_.clear();
        return ReadHexStartRecord(Write("S.hex", Join(lines, eol)), v, error_);
    };
    // About 110 KB of text: read in pieces, lines cut at their edges.
    std::vector<std::string> lines = Programmer(40000, 0x00100000);
    for (const char* eol : {"\r\n", "\n"}) {
        uint32_t whole = 0, alone = 0;
        ASSERT_EQ(ReadHexStartValue(Write("S.hex", Join(lines, eol)), whole, error_), kHexOk);
        ASSERT_EQ(start_of(lines, eol, alone), kHexOk) << error_;
        EXPECT_EQ(alone, whole);
    }
    // The last start record before the end record counts; one after it does not.
    uint32_t v = 0;
    lines.insert(lines.begin() + 1, Rec(5, 0, {0x11, 0x22, 0x33, 0x44}));
    lines.push_back(Rec(5, 0, {0x55, 0x66, 0x77, 0x88}));
    ASSERT_EQ(start_of(lines, "\n", v), kHexOk) << error_;
    EXPECT_EQ(v, 0x00100000u);
    // Other lines are not decoded, however long.
    lines.insert(lines.end() - 3, std::string(40000, 'x'));
    ASSERT_EQ(start_of(lines, "\n", v), kHexOk) << error_;
    EXPECT_EQ(v, 0x00100000u);
    // Lines are counted across the pieces: a damaged start record far down names its line.
    std::string& last_start = lines[lines.size() - 3];
    last_start.back() = last_start.back() == '0' ? '1' : '0';
    EXPECT_EQ(start_of(lines, "\r\n", v), kHexBadChecksum);
    EXPECT_NE(error_.find("line " + std::to_string(lines.size() - 2) + ":"), std::string::npos)
        << error_;
    // A damaged start record is refused with its line; no start record gives no start value.
    auto damaged = Programmer(64, 0x00100000);
    std::string& rec = damaged[damaged.size() - 2];
    rec.back() = rec.back() == '0' ? '1' : '0';
    EXPECT_EQ(start_of(damaged, "\n", v), kHexBadChecksum);
    EXPECT_NE(error_.find("line " + std::to_string(damaged.size() - 1)), std::string::npos)
        << error_;
    damaged[damaged.size() - 2] = Rec(5, 0, {0x00, 0x10, 0x00});
    EXPECT_EQ(start_of(damaged, "\n", v), kHexBadRecord);
    damaged.erase(damaged.end() - 2);
    EXPECT_EQ(start_of(damaged, "\n", v), kHexNoStart);
    EXPECT_EQ(ReadHexStartRecord(dir_ + "/none.hex", v, error_), kHexCannotRead);
}

TEST_F(Hex, DamagedFilesAreRefusedAndNoBinIsWritten) {
    const auto good = Programmer(64, 0x00100000);
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        int code;
    };
    auto with = [&](size_t i, const std::string& line) {
        auto l = good;
        l[i] = line;
        return l;
    };
    std::string bad_sum = good[2];
    bad_sum.back() = bad_sum.back() == '0' ? '1' : '0';
    std::string bad_char = good[2];
    bad_char[12] = 'G';
    const std::vector<Case> cases = {
        {"wrong checksum", with(2, bad_sum), kHexBadChecksum},
        {"not hexadecimal", with(2, bad_char), kHexBadRecord},
        {"length past the line", with(2, good[2].substr(0, good[2].size() - 4)), kHexBadRecord},
        {"characters after the checksum", with(2, good[2] + "00"), kHexBadRecord},
        {"no colon", with(2, good[2].substr(1)), kHexBadRecord},
        {"unknown type", with(2, Rec(6, 0, {1})), kHexBadType},
        {"no start record", with(good.size() - 2, Rec(3, 0, {0, 0, 0, 0})), kHexNoStart},
        {"out of order", with(3, Rec(0, 0xFFF0, {1})), kHexOverlap},
        {"no data", {Rec(5, 0, {0, 0x10, 0, 0}), Rec(1, 0, {})}, kHexNoData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(dir_ + "/P.bin");
        HexConversion out;
        EXPECT_EQ(Convert(Join(c.lines, "\r\n"), out), c.code);
        EXPECT_FALSE(error_.empty());
        EXPECT_FALSE(BinExists());
    }
    // A failed conversion leaves an earlier .bin as it was.
    HexConversion out;
    ASSERT_EQ(Convert(Join(good, "\r\n"), out), kHexOk);
    const std::string before = Slurp(dir_ + "/P.bin");
    EXPECT_EQ(Convert(Join(with(2, bad_sum), "\r\n"), out), kHexBadChecksum);
    EXPECT_NE(error_.find("line 3"), std::string::npos) << error_;
    EXPECT_EQ(Slurp(dir_ + "/P.bin"), before);
    // A missing file.
    EXPECT_EQ(ConvertHexToBin(dir_ + "/none.hex", out), kHexCannotRead);
}

TEST_F(Hex, RecordsAfterTheEndAreIgnoredAndGapsAreFilled) {
    std::vector<std::string> lines = {Rec(2, 0, {0x10, 0x00}), // segment 0x1000: base 0x10000
                                      Rec(0, 0x0000, {1, 2}),  Rec(0, 0x0004, {3}),
                                      Rec(5, 0, {0, 1, 0, 0}), Rec(1, 0, {}),
                                      Rec(0, 0x0005, {9, 9}),  "junk after the end"};
    HexConversion out;
    ASSERT_EQ(Convert(Join(lines, "\n"), out), kHexOk) << error_;
    EXPECT_EQ(out.load, 0x10000u);
    const std::string bin = Slurp(out.bin_path);
    EXPECT_EQ(Bytes(bin.begin(), bin.end()), (Bytes{1, 2, 0xFF, 0xFF, 3}));
    // No end record: the file may be cut short, and is refused with nothing written.
    std::remove(out.bin_path.c_str());
    lines.resize(4);
    lines.insert(lines.begin() + 2, "");
    EXPECT_EQ(Convert(Join(lines, "\r\n"), out), kHexNoEnd);
    EXPECT_NE(out.error.find("no end-of-file record"), std::string::npos) << out.error;
    EXPECT_FALSE(std::filesystem::exists(out.bin_path));
}

TEST(HexPaths, TheBinSitsBesideTheHex) {
    EXPECT_EQ(BinPathFor("/p/modem/NPRG7627A.hex"), "/p/modem/NPRG7627A.bin");
    EXPECT_EQ(BinPathFor("/p/modem/NPRG7627A.HEX"), "/p/modem/NPRG7627A.bin");
    EXPECT_EQ(BinPathFor("/p/x.d/prog"), "/p/x.d/prog.bin");
}

} // namespace
