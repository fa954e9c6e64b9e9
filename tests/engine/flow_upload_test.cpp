// The modem upload and the programmer download as they reach a phone, request by request: a pty
// plays the phone with scripted answers, and the test reads back every framed request.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "platform/clock.h"
#include "scripted_phone.h"

namespace fs = std::filesystem;
using enginetest::Bytes;
using enginetest::ScriptedPhone;

namespace {

constexpr char kTarg[] = "QCOM fast download protocol targ";
constexpr uint32_t kLoad = 0x00100000;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

Bytes Le32(uint8_t code, uint32_t v) {
    return {code, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

Bytes Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes HelloReply() {
    Bytes r = {0x02};
    r.insert(r.end(), kTarg, kTarg + 32);
    return Cat(r, {0x04, 0x02, 0x00, 0x04, 0x00, 0x00});
}

const Bytes kError = Cat(Le32(0x0D, 7), {'x'}); // a phone error packet: not the right reply
const Bytes kWrong = {0x55};                    // no reply of any request

// Progress reports seen by the callback (the tests run the module on their own thread).
struct Report {
    int position;
    std::string status;
};
std::mutex g_reports_lock;
std::vector<Report> g_reports;

int Record(Download* d) {
    std::lock_guard<std::mutex> g(g_reports_lock);
    g_reports.push_back({d->iProgress, d->pStatus ? d->pStatus : ""});
    return 0;
}

void WriteFile(const fs::path& p, const Bytes& b) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The images of a small package and what each open carries.
struct Image {
    const char* file;
    uint8_t type;
    const char* header;
    size_t size;
};
const Image kImages[] = {{"qcsblhd_cfgdata.mbn", 2, nullptr, 0},
                         {"qcsbl.mbn", 3, nullptr, 2048},
                         {"oemsbl.mbn", 4, "oemsblhd.mbn", 300},
                         {"amss.mbn", 5, "amsshd.mbn", 1500},
                         {"appsboot.mbn", 10, "appsboothd.mbn", 20}};

class Upload : public ::testing::Test {
  protected:
    static constexpr int kCom = 52;

    void SetUp() override {
        tw::clock::set_scale(0.01);
        char tmpl[] = "/tmp/tw_flow_XXXXXX";
        root_ = mkdtemp(tmpl) ? tmpl : "";
        ASSERT_FALSE(root_.empty());
        phone_ = std::make_unique<ScriptedPhone>(kCom);
        ASSERT_TRUE(phone_->ok());
        module_ = CreateModule(kCom, 0, nullptr);
        ASSERT_NE(module_, nullptr);
        ASSERT_NE(module_->hComHandle, INVALID_PORT_HANDLE);
        module_->m_callbackfunc = Record;
        std::lock_guard<std::mutex> g(g_reports_lock);
        g_reports.clear();
    }
    void TearDown() override {
        DeleteModule(module_);
        phone_.reset();
        sondrel::SetDebugCapture(nullptr);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A package under root_/pkg: the images, their headers, a partition table; `skip` is left out.
    void MakePackage(const std::string& skip = "") {
        const fs::path modem = fs::path(root_) / "pkg" / "modem";
        uint8_t seed = 1;
        for (const Image& im : kImages) {
            if (skip != im.file) WriteFile(modem / im.file, Pattern(im.size, seed));
            if (im.header)
                WriteFile(modem / im.header, Pattern(40, static_cast<uint8_t>(seed + 100)));
            ++seed;
        }
        if (skip != "partition.mbn") WriteFile(modem / "partition.mbn", Pattern(100, 0x50));
    }
    std::string Pkg() const { return root_ + "/pkg"; }

    // Answers for the steps before the partition table: two hellos, close, the flash read,
    // security mode.
    void ScriptGreeting() {
        phone_->answer(HelloReply());
        phone_->answer(HelloReply());
        phone_->answer(Bytes{0x16});
        phone_->answer(Cat(Le32(0x04, 0x20), Bytes(52, 0)));
        phone_->answer(Bytes{0x18});
    }
    // Answers for the rest of a successful upload of MakePackage's files.
    void ScriptImagesAndReset() {
        phone_->answer(Bytes{0x1A, 0x00});
        for (const Image& im : kImages) {
            phone_->answer(Bytes{0x1C, 0x00});
            for (size_t a = 0; a < im.size; a += 1024)
                phone_->answer(Le32(0x08, static_cast<uint32_t>(a)));
            phone_->answer(Bytes{0x16});
        }
        phone_->answer(Bytes{0x0C});
    }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> g(g_reports_lock);
        return g_reports;
    }

    std::string root_;
    std::unique_ptr<ScriptedPhone> phone_;
    Flashboot* module_ = nullptr;
};

TEST_F(Upload, AWholeUploadRequestByRequest) {
    MakePackage();
    ScriptGreeting();
    ScriptImagesAndReset();
    ASSERT_EQ(module_->flow_DownloadZqde(Pkg().c_str()), 0);

    auto reqs = phone_->requests(1);
    size_t i = 0;
    auto next = [&]() -> Bytes { return i < reqs.size() ? reqs[i++] : Bytes{}; };
    EXPECT_EQ(next()[0], 0x01);
    EXPECT_EQ(next()[0], 0x01);
    EXPECT_EQ(next(), Bytes{0x15});
    EXPECT_EQ(next(), (Bytes{0x03, 0x20, 0, 0, 0, 52, 0}));
    EXPECT_EQ(next(), (Bytes{0x17, 0x01}));
    EXPECT_EQ(next(), Cat({0x19, 0x00}, Pattern(100, 0x50)));
    uint8_t seed = 1;
    for (const Image& im : kImages) {
        SCOPED_TRACE(im.file);
        Bytes open = {0x1B, im.type};
        if (im.header) open = Cat(open, Pattern(40, static_cast<uint8_t>(seed + 100)));
        EXPECT_EQ(next(), open);
        // Blocks of 1024 bytes at increasing addresses; an empty image has none.
        const Bytes body = Pattern(im.size, seed);
        for (size_t a = 0; a < im.size; a += 1024) {
            const size_t n = std::min<size_t>(1024, im.size - a);
            EXPECT_EQ(next(), Cat(Le32(0x07, static_cast<uint32_t>(a)),
                                  Bytes(body.begin() + static_cast<long>(a),
                                        body.begin() + static_cast<long>(a + n))));
        }
        EXPECT_EQ(next(), Bytes{0x15});
        ++seed;
    }
    EXPECT_EQ(next(), Bytes{0x0B});
    EXPECT_EQ(i, reqs.size());

    uint32_t timeout = 99;
    module_->trans_Dig->GetOverlapTimeout(timeout);
    EXPECT_EQ(timeout, 0u);
    auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().status, "enter flow_DownloadZqde");
    EXPECT_EQ(reports.back().status,
              " Streaming_Download_Protocol_Handle_Reset_Cmd Successfully! ");
    EXPECT_EQ(reports.back().position, 90);
    // Packet positions: 18 at an image's first packet; 48 for qcsbl's second (half sent).
    std::vector<int> qcsbl;
    bool in_qcsbl = false;
    for (const auto& r : reports) {
        if (r.status.find("qcsbl.mbn") != std::string::npos) in_qcsbl = true;
        if (r.status.find("oemsbl.mbn") != std::string::npos) in_qcsbl = false;
        if (in_qcsbl && r.status == " downloading 8660_msimage.mbn") qcsbl.push_back(r.position);
    }
    EXPECT_EQ(qcsbl, (std::vector<int>{18, 48}));
}

TEST_F(Upload, HelloSeriesVariantsAndTheLastAttempt) {
    MakePackage();
    // The first series is answered only at its 120th request; the second fails once.
    for (int k = 0; k < 119; ++k)
        phone_->answer(kError);
    phone_->answer(HelloReply());
    phone_->answer(kError);
    phone_->answer(HelloReply());
    // Then the close is refused 30 times: the upload ends there.
    for (int k = 0; k < 30; ++k)
        phone_->answer(kWrong);
    EXPECT_EQ(module_->flow_DownloadZqde(Pkg().c_str()), -11971);
    auto reqs = phone_->requests(152);
    ASSERT_EQ(reqs.size(), 152u);
    for (int k = 0; k < 120; ++k) {
        ASSERT_EQ(reqs[k].size(), 36u);
        EXPECT_EQ(Bytes(reqs[k].begin() + 33, reqs[k].end()), (Bytes{2, 2, 0x01})) << k;
    }
    // Every request of the second series offers the newer versions, also after a failure.
    for (int k = 120; k < 122; ++k)
        EXPECT_EQ(Bytes(reqs[k].begin() + 33, reqs[k].end()), (Bytes{3, 3, 0x09})) << k;
    for (int k = 122; k < 152; ++k)
        EXPECT_EQ(reqs[k], Bytes{0x15});
    EXPECT_EQ(module_->m_helloVariant, 0);
    EXPECT_EQ(Reports().back().status, "TClose command to phone failed !!");
}

TEST_F(Upload, NoHelloAnsweredEndsAfter120Requests) {
    MakePackage();
    for (int k = 0; k < 130; ++k)
        phone_->answer(kError);
    EXPECT_EQ(module_->flow_DownloadZqde(Pkg().c_str()), -11965);
    EXPECT_EQ(phone_->count(), 120u);
    EXPECT_EQ(Reports().back().status, "Transmit hello command to phone failed!");
    uint32_t timeout = 0;
    module_->trans_Dig->GetOverlapTimeout(timeout);
    EXPECT_EQ(timeout, 3000u); // left as it was when the upload failed
}

TEST_F(Upload, ThePartitionTableInAnAndroidFolderIsNotFound) {
    MakePackage("partition.mbn");
    WriteFile(fs::path(Pkg()) / "android" / "partition.mbn", Pattern(100, 0x50));
    ScriptGreeting();
    EXPECT_EQ(module_->flow_DownloadZqde(Pkg().c_str()), -11977);
    // The file fails to open before any request: no partition table reached the phone.
    EXPECT_EQ(phone_->count(), 5u);
    EXPECT_EQ(phone_->last(), (Bytes{0x17, 0x01}));
    EXPECT_EQ(Reports().back().status, " Sending 8660mbn file failed ");

    std::string found;
    Flashboot::FindFileInTree(Pkg().c_str(), "partition.mbn", found);
    EXPECT_EQ(found, "");
    WriteFile(fs::path(Pkg()) / "deep" / "er" / "partition.mbn", Pattern(10, 1));
    Flashboot::FindFileInTree(Pkg().c_str(), "partition.mbn", found);
    EXPECT_EQ(found, Pkg() + "/deep/er/partition.mbn");
}

TEST_F(Upload, AnExactNameBeatsASubstringInEitherOrder) {
    // The two programmers in either order of the walk: separate folders whose listing order
    // differs between the two layouts.
    for (int layout = 0; layout < 2; ++layout) {
        const fs::path top = fs::path(root_) / ("l" + std::to_string(layout));
        WriteFile(top / (layout ? "a" : "b") / "ENPRG7627A.hex", {1});
        WriteFile(top / (layout ? "b" : "a") / "NPRG7627A.hex", {2});
        WriteFile(top / "NPRG7627A.hex.old" / "x", {3}); // a folder holding the name
        std::string found;
        Flashboot::FindFileInTree(top.c_str(), "NPRG7627A.hex", found);
        EXPECT_EQ(found, (top / (layout ? "b" : "a") / "NPRG7627A.hex").string());
        // Only a substring match: the programmer whose name contains the one sought.
        found.clear();
        fs::remove(top / (layout ? "b" : "a") / "NPRG7627A.hex");
        fs::remove_all(top / "NPRG7627A.hex.old");
        Flashboot::FindFileInTree(top.c_str(), "NPRG7627A.hex", found);
        EXPECT_EQ(found, (top / (layout ? "a" : "b") / "ENPRG7627A.hex").string());
    }
    // Nothing found leaves the result alone.
    std::string kept = "kept";
    Flashboot::FindFileInTree(root_.c_str(), "no-such-file", kept);
    EXPECT_EQ(kept, "kept");
}

TEST_F(Upload, BlockRetriesResendTheSameBytes) {
    module_->trans_Dig->SetOverlapTimeout(5000); // as the upload leaves it before an image
    const fs::path img = fs::path(root_) / "modem" / "qcsbl.mbn";
    WriteFile(img, Pattern(1500, 9));
    phone_->answer(Bytes{0x1C, 0x00});
    phone_->answer(kError); // the first block fails once
    phone_->answer(Le32(0x08, 0));
    phone_->answer(Le32(0x08, 0x400));
    phone_->answer(Bytes{0x16});
    ASSERT_EQ(module_->SendMultiImage(img.c_str(), 3), 0);
    auto reqs = phone_->requests(5);
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(reqs[1], reqs[2]);
    EXPECT_EQ(reqs[3].size(), 5u + 476);

    // Twenty failures of one block end the image.
    phone_->clear();
    phone_->answer(Bytes{0x1C, 0x00});
    for (int k = 0; k < 20; ++k)
        phone_->answer(kError);
    EXPECT_EQ(module_->SendMultiImage(img.c_str(), 3), -11970);
    reqs = phone_->requests(21);
    ASSERT_EQ(reqs.size(), 21u);
    for (int k = 2; k < 21; ++k)
        EXPECT_EQ(reqs[k], reqs[1]);
}

TEST_F(Upload, HeadersComeFromTheImageFolder) {
    module_->trans_Dig->SetOverlapTimeout(5000);
    // A folder named after amss gives even qcsbl.mbn the amss header; only 1024 bytes of a
    // longer header travel.
    const fs::path dir = fs::path(root_) / "amss_build";
    WriteFile(dir / "qcsbl.mbn", Pattern(10, 1));
    WriteFile(dir / "amsshd.mbn", Pattern(1500, 2));
    phone_->answer(Bytes{0x1C, 0x00});
    phone_->answer(Le32(0x08, 0));
    phone_->answer(Bytes{0x16});
    ASSERT_EQ(module_->SendMultiImage((dir / "qcsbl.mbn").c_str(), 3), 0);
    auto reqs = phone_->requests(3);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0], Cat({0x1B, 0x03}, Pattern(1024, 2)));

    // A header named but missing: -11969 before anything is sent.
    phone_->clear();
    WriteFile(fs::path(root_) / "x" / "oemsbl.mbn", Pattern(10, 1));
    EXPECT_EQ(module_->SendMultiImage((fs::path(root_) / "x" / "oemsbl.mbn").c_str(), 4), -11969);
    tw::clock::sleep_ms(500);
    EXPECT_EQ(phone_->count(), 0u);
}

TEST_F(Upload, PartitionTableGoesOutIn464ByteRequests) {
    const fs::path table = fs::path(root_) / "partition.mbn";
    WriteFile(table, Pattern(1000, 4));
    for (int k = 0; k < 3; ++k)
        phone_->answer(Bytes{0x1A, 0x00});
    ASSERT_EQ(module_->SendPartitionTable(table.c_str(), 33), 0);
    auto reqs = phone_->requests(3);
    ASSERT_EQ(reqs.size(), 3u);
    const Bytes all = Pattern(1000, 4);
    EXPECT_EQ(reqs[0], Cat({0x19, 0x00}, Bytes(all.begin(), all.begin() + 464)));
    EXPECT_EQ(reqs[1], Cat({0x19, 0x00}, Bytes(all.begin() + 464, all.begin() + 928)));
    EXPECT_EQ(reqs[2], Cat({0x19, 0x00}, Bytes(all.begin() + 928, all.end())));
    // A table the phone accepts only by overriding is a failed packet.
    phone_->clear();
    for (int k = 0; k < 20; ++k)
        phone_->answer(Bytes{0x1A, 0x01});
    EXPECT_EQ(module_->SendPartitionTable(table.c_str(), 33), -11970);
    EXPECT_EQ(phone_->count(), 20u);
}

// ---- The programmer download ----

class Programmer : public Upload {
  protected:
    // A programmer folder with the HEX file (never read) and the .bin beside it.
    std::string MakeProgrammer(size_t size, bool with_bin = true) {
        const fs::path dir = fs::path(root_) / "prg";
        WriteFile(dir / "NPRG7627A.hex", Bytes{':'});
        if (with_bin) WriteFile(dir / "NPRG7627A.bin", Pattern(size, 0x33));
        return (dir / "NPRG7627A.hex").string();
    }
    void ScriptBootRom(int writes, bool go) {
        phone_->answer(Bytes{0x02});
        phone_->answer(Bytes{0x08, 0x08, 0x02, 0x04, 0x00, 0x7A, 0x00, 0x01});
        for (int k = 0; k < writes; ++k)
            phone_->answer(Bytes{0x02});
        if (go) phone_->answer(Bytes{0x02});
        phone_->answer(HelloReply());
    }
};

TEST_F(Programmer, HexGoesOutIn1017ByteWritesAtTheLoadAddressThenGo) {
    const std::string hex = MakeProgrammer(2048);
    ScriptBootRom(3, true);
    ASSERT_EQ(module_->DMSS_Download_Update_Zqde_Armprg_File(kCom, hex.c_str(), kLoad, 1), 0);
    auto reqs = phone_->requests(7);
    ASSERT_EQ(reqs.size(), 7u);
    EXPECT_EQ(reqs[0], Bytes{0x06});
    EXPECT_EQ(reqs[1], Bytes{0x07});
    const Bytes bin = Pattern(2048, 0x33);
    const size_t sizes[] = {1017, 1017, 14};
    size_t off = 0;
    for (int k = 0; k < 3; ++k) {
        const Bytes head =
            Cat(Cat({0x0F}, Be32(kLoad + static_cast<uint32_t>(off))),
                {static_cast<uint8_t>(sizes[k] >> 8), static_cast<uint8_t>(sizes[k] & 0xFF)});
        EXPECT_EQ(reqs[2 + k], Cat(head, Bytes(bin.begin() + static_cast<long>(off),
                                               bin.begin() + static_cast<long>(off + sizes[k]))))
            << k;
        off += sizes[k];
    }
    EXPECT_EQ(reqs[5], Cat({0x05}, Be32(kLoad)));
    EXPECT_EQ(reqs[6][0], 0x01); // the programmer is greeted at once
    EXPECT_EQ(module_->m_write32, 1);
    uint32_t timeout = 99;
    module_->trans_Dig->GetOverlapTimeout(timeout);
    EXPECT_EQ(timeout, 0u);
    for (const auto& r : Reports())
        EXPECT_LT(r.position, 30);
    EXPECT_FALSE(Reports().empty());
}

TEST_F(Programmer, BinGoesOutAtZeroWithoutGo) {
    const std::string hex = MakeProgrammer(2048);
    const std::string bin = fs::path(hex).replace_extension(".bin").string();
    module_->m_write32 = 1; // cleared by the download
    ScriptBootRom(2, false);
    ASSERT_EQ(module_->DMSS_Download_Update_Zqde_Armprg_File(kCom, bin.c_str(), kLoad, 1), 0);
    auto reqs = phone_->requests(5);
    ASSERT_EQ(reqs.size(), 5u);
    const Bytes data = Pattern(2048, 0x33);
    EXPECT_EQ(reqs[2], Cat({0x07, 0, 0, 0, 0}, Bytes(data.begin(), data.begin() + 1024)));
    EXPECT_EQ(reqs[3], Cat({0x07, 0, 0x04, 0, 0}, Bytes(data.begin() + 1024, data.end())));
    EXPECT_EQ(reqs[4][0], 0x01); // the hello: no GO in between
    EXPECT_EQ(module_->m_write32, 0);
}

TEST_F(Programmer, OneWriteFor1017BytesAndANakIsRetried) {
    const std::string hex = MakeProgrammer(1017);
    phone_->answer(Bytes{0x02});
    phone_->answer(Bytes{0x08});
    phone_->answer(Bytes{0x03, 0x00, 0x07}); // NAK
    phone_->answer(Bytes{0x02});
    phone_->answer(Bytes{0x02});
    phone_->answer(HelloReply());
    ASSERT_EQ(module_->DMSS_Download_Update_Zqde_Armprg_File(kCom, hex.c_str(), kLoad, 1), 0);
    auto reqs = phone_->requests(6);
    ASSERT_EQ(reqs.size(), 6u);
    EXPECT_EQ(reqs[2].size(), 1024u);
    EXPECT_EQ(reqs[2], reqs[3]);
    EXPECT_EQ(reqs[4], Cat({0x05}, Be32(kLoad)));
}

TEST_F(Programmer, AMissingBinTwinFailsAfterNopAndParameterRequest) {
    const std::string hex = MakeProgrammer(0, false);
    ScriptBootRom(0, false);
    EXPECT_EQ(module_->DMSS_Download_Update_Zqde_Armprg_File(kCom, hex.c_str(), kLoad, 1), -11940);
    tw::clock::sleep_ms(500);
    auto reqs = phone_->requests(2);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], Bytes{0x06});
    EXPECT_EQ(reqs[1], Bytes{0x07});
    uint32_t timeout = 0;
    module_->trans_Dig->GetOverlapTimeout(timeout);
    EXPECT_EQ(timeout, 500u);
}

TEST_F(Programmer, TheWholeEmergencyDownloadReports60AtTheEnd) {
    MakePackage();
    MakeProgrammer(2048);
    fs::rename(fs::path(root_) / "prg", fs::path(Pkg()) / "prg");
    ScriptBootRom(3, true);
    ScriptGreeting();
    ScriptImagesAndReset();
    Download station{};
    station.iProgressIndex = 7;
    module_->m_pDownload = &station;
    module_->m_portNumber = kCom;
    std::string folder = Pkg();
    Flashboot* self = module_;
    EXPECT_EQ(module_->Emergency_Download_Kestrin(self, folder.data(), kLoad, 1), 0);
    module_->m_pDownload = nullptr;

    auto reports = Reports();
    ASSERT_GT(reports.size(), 4u);
    EXPECT_EQ(reports.front().status, "enter Emergency_Download_Kestrin");
    EXPECT_EQ(reports.front().position, 0);
    bool programmer = true;
    for (const auto& r : reports) {
        if (r.status == "enter flow_DownloadZqde") programmer = false;
        if (programmer) {
            EXPECT_LT(r.position, 30) << r.status;
        }
    }
    EXPECT_FALSE(programmer);
    EXPECT_EQ(reports.back().status, " download 8660_msimage.mbn ok ");
    EXPECT_EQ(reports.back().position, 60);
    EXPECT_EQ(station.iProgressIndex, 7);
    EXPECT_EQ(station.iPortNumber, kCom);
    EXPECT_EQ(phone_->last(), Bytes{0x0B});
}

TEST_F(Programmer, TheEmergencyDownloadFailsWithOneWhateverTheStep) {
    // No programmer in the package: the boot ROM is still asked, then the result is 1.
    MakePackage();
    ScriptBootRom(0, false);
    std::string folder = Pkg();
    Flashboot* self = module_;
    EXPECT_EQ(module_->Emergency_Download_Kestrin(self, folder.data(), kLoad, 1), 1);
    EXPECT_EQ(phone_->count(), 2u);
    EXPECT_EQ(module_->LastError(), 0); // no protocol step failed: the file did
}

} // namespace
