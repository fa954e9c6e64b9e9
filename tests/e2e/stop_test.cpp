// A slot's stop against simulated phones, at time scale 1: DeleteModule from another thread
// while the module's request is blocked in a DIAG read or in the programmer's start-up. The
// request must end at once, no callback may follow DeleteModule (the station frees its status
// record then), and the port must be free for the next module.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "diag/nv.h"
#include "diag/qcn_file.h"
#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"
#include "tests/common/late_callbacks.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

using twtest::LateCallbacks;
using twtest::Ms;

bool WaitUntil(const std::function<bool()>& pred, milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return pred();
}

class StopE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(1.0);
        diag::SetMessageStream(nullptr);
        std::string t = "/tmp/tw-stop-XXXXXX";
        root_ = ::mkdtemp(t.data()) ? t : "";
        ASSERT_FALSE(root_.empty());
        ::setenv("TARNWELL_DEVICE_DIR", (root_ + "/dev").c_str(), 1);
        LateCallbacks::Reset();
    }
    void TearDown() override {
        sondrel::SetDebugCapture(nullptr);
        sim_.stop();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    int Start(phonesim::Mode mode, const std::string& phase, const std::string& fault = "") {
        std::string err;
        if (!phonesim::make_package(root_ + "/pkg", {}, err)) {
            ADD_FAILURE() << err;
            return 0;
        }
        phonesim::SimOptions o;
        o.device_dir = root_ + "/dev";
        o.state_dir = root_ + "/state";
        o.package = root_ + "/pkg";
        o.start = mode;
        if (!fault.empty()) o.faults.push_back(*phonesim::parse_fault(fault, err));
        if (!sim_.start(o, err)) {
            ADD_FAILURE() << err;
            return 0;
        }
        int com = 0;
        WaitUntil(
            [&] {
                const std::string info = twtest::Slurp(root_ + "/state/phone00/info.ini");
                const auto p = info.find("\ncom=");
                if (p != std::string::npos && info.find("phase=" + phase) != std::string::npos)
                    com = std::atoi(info.c_str() + p + 5);
                return com > 0;
            },
            milliseconds(10000));
        return com;
    }
    std::string PhoneLog() const { return twtest::Slurp(root_ + "/state/phone00/log.txt"); }

    // Runs request on a worker of its own; once blocked() says it waits, deletes the module from
    // this thread and frees the status record at once, as the station does. Then checks that
    // the request ended with the stop, that no callback followed, and that the port opens again.
    void StopWhileBlocked(Flashboot* m, int com, const std::function<void()>& request,
                          const std::function<bool()>& blocked, const char* what) {
        auto record = std::make_unique<Download>();
        m->m_pDownload = record.get();
        m->m_callbackfunc = LateCallbacks::Record;
        std::atomic<bool> ended{false};
        Clock::time_point ended_at{};
        std::thread worker([&] {
            request();
            ended_at = Clock::now();
            ended = true;
        });
        EXPECT_TRUE(WaitUntil(blocked, milliseconds(20000))) << what << ": never got blocked";
        std::this_thread::sleep_for(milliseconds(100)); // well inside the wait
        EXPECT_FALSE(ended.load()) << what;
        const auto t0 = Clock::now();
        EXPECT_EQ(DeleteModule(m), 0);
        const auto deleted_at = Clock::now();
        LateCallbacks::deleted = true;
        record.reset();
        EXPECT_EQ(DeleteModule(m), 0); // a second stop is a no-op (before m's address is reused)
        // The port is free at once, while the stopped request may still be winding down.
        Flashboot* next = CreateModule(com, 0, nullptr);
        if (!WaitUntil([&] { return ended.load(); }, milliseconds(10000))) {
            // It would run out its wait (a minute and more): fail now instead of stalling.
            ADD_FAILURE() << what << ": the request ran on after the stop";
            std::abort();
        }
        worker.join();
        std::printf("[ stop     ] %s: DeleteModule returned after %.1f ms, the request ended "
                    "%.1f ms after the stop began\n",
                    what, Ms(deleted_at - t0), Ms(ended_at - t0));
        // Far inside the waits the request was blocked in (8 s, 60 s): the stop woke it.
        EXPECT_LT(deleted_at - t0, milliseconds(1000)) << what;
        EXPECT_LT(ended_at - t0, milliseconds(1000)) << what;
        EXPECT_GT(LateCallbacks::calls.load(), 0)
            << what << ": the request reported before the stop";
        EXPECT_EQ(LateCallbacks::late.load(), 0)
            << what << ": a callback after DeleteModule returned";
        ASSERT_NE(next, nullptr);
        EXPECT_NE(next->hComHandle, INVALID_PORT_HANDLE) << what;
        EXPECT_NE(next->hComHandle, PORT_HANDLE_IN_USE) << what;
        DeleteModule(next);
    }

    std::string root_;
    phonesim::Simulator sim_;
};

TEST_F(StopE2E, ARestoreBlockedInADiagReadEndsAtOnce) {
    // The phone answers the first record and then goes silent: the second waits 60 s.
    const int com = Start(phonesim::Mode::Diag, "diag", "diag:silence@2");
    ASSERT_GT(com, 0);
    const std::string qcn = root_ + "/qcn.txt";
    {
        diag::QcnTextWriter w;
        ASSERT_TRUE(w.Open(qcn + ".partial"));
        uint8_t data[128] = {1, 2, 3};
        for (uint16_t item : {10, 11, 12})
            ASSERT_TRUE(w.AppendBlock(diag::NvKind::Main, item, data));
        ASSERT_TRUE(w.Flush());
        ASSERT_TRUE(w.Close());
    }
    ASSERT_EQ(std::rename((qcn + ".partial").c_str(), qcn.c_str()), 0);
    Flashboot* m = CreateModule(com, 1, nullptr);
    ASSERT_NE(m, nullptr);
    m->m_portNumber = com;
    m->m_reserved0 = 1; // a QCN file was selected
    std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", qcn.c_str());
    int rc = -99;
    StopWhileBlocked(
        m, com, [&] { rc = m->DoDownloadQCN(m, (root_ + "/").c_str()); },
        [&] { return PhoneLog().find("no answer (silence fault)") != std::string::npos; },
        "DIAG read");
    EXPECT_EQ(rc, 1) << "a record without an answer";
}

TEST_F(StopE2E, AnEmergencyDownloadStoppedInTheProgrammerStartUpEndsAtOnce) {
    const int com = Start(phonesim::Mode::Download, "dmss");
    ASSERT_GT(com, 0);
    std::string eng = root_ + "/eng";
    fs::copy(root_ + "/pkg", eng, fs::copy_options::recursive);
    sondrel::hex::HexConversion conv;
    ASSERT_EQ(sondrel::hex::ConvertHexToBin(eng + "/modem/NPRG7627A.hex", conv), 0) << conv.error;
    std::atomic<bool> starting{false};
    sondrel::SetDebugCapture([&](const std::string& line) {
        if (line.find("waiting for the flash programmer to start") != std::string::npos)
            starting = true;
    });
    Flashboot* m = CreateModule(com, 1, nullptr);
    ASSERT_NE(m, nullptr);
    m->m_portNumber = com;
    int rc = -99;
    StopWhileBlocked(
        m, com,
        [&] {
            Flashboot* self = m;
            rc = m->Emergency_Download_Kestrin(self, eng.data(), conv.start, 1);
        },
        [&] { return starting.load(); }, "programmer start-up");
    EXPECT_EQ(rc, 1);
    // The upload never began: the programmer's only request was the early hello.
    const std::string log = PhoneLog();
    size_t requests = 0;
    for (size_t p = log.find("stream rx "); p != std::string::npos;
         p = log.find("stream rx ", p + 1))
        ++requests;
    EXPECT_EQ(requests, 1u) << log;
}

} // namespace
