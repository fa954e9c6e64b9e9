// Emergency download end to end: the engine's module against a simulated phone in emergency
// download mode, time scaled down; the phone's state folder shows what it received.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;

constexpr uint32_t kStart = 0x00100000;

std::mutex g_lock;
std::vector<std::pair<int, std::string>> g_reports;

int Record(Download* d) {
    std::lock_guard<std::mutex> g(g_lock);
    g_reports.emplace_back(d->iProgress, d->pStatus ? d->pStatus : "");
    return 0;
}

class Edl : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        std::string t = "/tmp/tw-edl-XXXXXX";
        root_ = ::mkdtemp(t.data()) ? t : "";
        ASSERT_FALSE(root_.empty());
        std::string err;
        ASSERT_TRUE(phonesim::make_package(root_ + "/pkg", {}, err)) << err;
        // What the engine is given: a copy of the package, trimmed by each test.
        fs::copy(root_ + "/pkg", root_ + "/eng", fs::copy_options::recursive);
        sondrel::hex::HexConversion conv;
        ASSERT_EQ(sondrel::hex::ConvertHexToBin(root_ + "/eng/modem/NPRG7627A.hex", conv), 0)
            << conv.error;
        ASSERT_EQ(conv.start, kStart);
        std::lock_guard<std::mutex> g(g_lock);
        g_reports.clear();
    }
    void TearDown() override {
        if (module_) DeleteModule(module_);
        sim_.stop();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void Start(const std::vector<std::string>& faults = {}) {
        phonesim::SimOptions o;
        o.device_dir = root_ + "/dev";
        o.state_dir = root_ + "/state";
        o.package = root_ + "/pkg";
        o.start = phonesim::Mode::Download;
        std::string err;
        for (const auto& f : faults) {
            auto spec = phonesim::parse_fault(f, err);
            ASSERT_TRUE(spec) << err;
            o.faults.push_back(*spec);
        }
        ASSERT_TRUE(sim_.start(o, err)) << err;
        ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
        int com = 0;
        for (int t = 0; t < 500 && com == 0; ++t) {
            const std::string info = Slurp(State("info.ini"));
            auto p = info.find("\ncom=");
            if (p != std::string::npos && info.find("phase=dmss") != std::string::npos)
                com = std::atoi(info.c_str() + p + 5);
            if (com == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(com, 0);
        module_ = CreateModule(com, 0, nullptr);
        ASSERT_NE(module_, nullptr);
        module_->m_portNumber = com;
        module_->m_callbackfunc = Record;
    }

    // Runs the download on another thread, so that a hang fails the test instead of stalling it.
    int Run() {
        std::string folder = root_ + "/eng";
        auto f = std::async(std::launch::async, [&] {
            Flashboot* self = module_;
            return module_->Emergency_Download_Kestrin(self, folder.data(), kStart, 1);
        });
        if (f.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
            ADD_FAILURE() << "the emergency download did not end";
            std::abort();
        }
        return f.get();
    }

    std::string State(const std::string& name) const { return root_ + "/state/phone00/" + name; }
    std::string Eng(const std::string& name) const { return root_ + "/eng/modem/" + name; }
    std::string Log() const { return Slurp(State("log.txt")); }
    size_t Count(const std::string& what) const {
        const std::string log = Log();
        size_t n = 0;
        for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1))
            ++n;
        return n;
    }
    std::vector<std::pair<int, std::string>> Reports() {
        std::lock_guard<std::mutex> g(g_lock);
        return g_reports;
    }

    std::string root_;
    phonesim::Simulator sim_;
    Flashboot* module_ = nullptr;
};

TEST_F(Edl, ANakedProgrammerWriteIsRetriedAndEverythingArrives) {
    Start({"dmss:nak@5"});
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(Count("NAK failed (fault)"), 1u);
    EXPECT_EQ(Slurp(State("ram.bin")), Slurp(Eng("NPRG7627A.bin")));
    // The phone's own reading of the HEX file agrees with the conversion.
    phonesim::Programmer p;
    std::string err;
    ASSERT_TRUE(phonesim::load_programmer(Eng("NPRG7627A.hex"), p, err)) << err;
    EXPECT_EQ(std::string(p.bytes.begin(), p.bytes.end()), Slurp(Eng("NPRG7627A.bin")));
    EXPECT_EQ(Slurp(State("partition.bin")), Slurp(Eng("partition.mbn")));
    const std::pair<const char*, const char*> images[] = {{"image_02.bin", "qcsblhd_cfgdata.mbn"},
                                                          {"image_03.bin", "qcsbl.mbn"},
                                                          {"image_04.bin", "oemsbl.mbn"},
                                                          {"image_04.hdr", "oemsblhd.mbn"},
                                                          {"image_05.bin", "amss.mbn"},
                                                          {"image_05.hdr", "amsshd.mbn"},
                                                          {"image_0A.bin", "appsboot.mbn"},
                                                          {"image_0A.hdr", "appsboothd.mbn"}};
    for (const auto& [stored, file] : images)
        EXPECT_EQ(Slurp(State(stored)), Slurp(Eng(file))) << file;
    EXPECT_EQ(Count("stream rx 1: 0B -> tx 1: 0C"), 1u);
    EXPECT_EQ(Reports().back(), std::make_pair(60, std::string(" download 8660_msimage.mbn ok ")));
}

TEST_F(Edl, APackageWithoutTheProgrammerStillAsksTheBootRom) {
    fs::remove(Eng("NPRG7627A.hex"));
    fs::remove(Eng("NPRG7627A.bin"));
    fs::remove(Eng("ENPRG7627A.hex"));
    Start();
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Count("dmss rx 1: 06 -> tx 1: 02"), 1u);
    EXPECT_EQ(Count("dmss rx 1: 07 -> tx"), 1u);
    EXPECT_EQ(Count("dmss rx"), 2u);
    EXPECT_FALSE(fs::exists(State("ram.bin")));
}

TEST_F(Edl, ASilentPhoneEndsWithOne) {
    Start({"dmss:silence@1"});
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Count("no answer (silence fault)"), 10u); // ten NOPs, then it gives up
}

TEST_F(Edl, AnUnplugDuringTheStreamEndsWithOne) {
    Start({"stream:unplug@300"});
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Count("unplug (fault)"), 1u);
    EXPECT_EQ(Reports().back().second, " Sending 8660mbn file failed ");
}

TEST_F(Edl, APackageWithoutAmssFailsAtThatImage) {
    fs::remove(Eng("amss.mbn"));
    Start();
    EXPECT_EQ(Run(), 1);
    auto reports = Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back().second, " Sending 8660mbn file failed ");
    // What came before amss arrived; nothing after it was sent.
    EXPECT_EQ(Slurp(State("image_04.bin")), Slurp(Eng("oemsbl.mbn")));
    EXPECT_FALSE(fs::exists(State("image_0A.bin")));
    EXPECT_EQ(Count("stream rx 1: 0B"), 0u);
    bool announced = false;
    for (const auto& r : reports)
        announced = announced || r.second == " 下载amss.mbn";
    EXPECT_TRUE(announced);
}

} // namespace
