// A slot's stop at the engine's edge: a stream write blocked on a phone that stopped reading,
// a callback under way while DeleteModule runs, and message boxes of two slots open together.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "emmc_test_util.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "tests/common/late_callbacks.h"
#include "tests/common/pty_framer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

using twtest::LateCallbacks;
using twtest::Ms;

using Framer = twtest::PtyFramer;

TEST(Stop, AStreamWriteBlockedOnAPhoneThatStoppedReadingEndsAtOnce) {
    tw::clock::set_scale(1.0);
    constexpr int kCom = 62;
    emmc_test::ScratchDir dir;
    tw::PtyMaster phone;
    ASSERT_TRUE(phone.open());
    std::ofstream(dir / "phone.dev")
        << "[device]\nkind=serial\ncom=" << kCom << "\npath=" << phone.slave_path() << "\n";
    ::setenv("TARNWELL_DEVICE_DIR", dir.path().c_str(), 1);
    // A second way into the line towards the phone, to fill it as a hung phone's does.
    const int filler = ::open(phone.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string image = dir / "qcsbl.mbn";
    emmc_test::write_file(image, emmc_test::random_bytes(8192, 5));

    Flashboot* m = CreateModule(kCom, 0, nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(m->hComHandle, INVALID_PORT_HANDLE);
    auto record = std::make_unique<Download>();
    m->m_pDownload = record.get();
    m->m_callbackfunc = LateCallbacks::Record;
    LateCallbacks::Reset();

    m->trans_Dig->SetOverlapTimeout(3000); // as the upload flow sets it
    std::atomic<bool> ended{false};
    Clock::time_point ended_at{};
    int rc = 0, last_error = 0;
    std::thread worker([&] {
        ModuleHold hold(m); // the flow around it holds the module
        rc = m->SendMultiImage(image.c_str(), 3);
        last_error = m->LastError();
        ended_at = Clock::now();
        ended = true;
    });
    // The phone takes the open request, then hangs: it reads nothing more, and the line towards
    // it fills up before it answers, so the first stream write blocks in the writer.
    Framer framer(phone.fd());
    uint8_t buf[4096], frame[512];
    bool opened = false;
    for (auto end = Clock::now() + 5s; !opened && Clock::now() < end;) {
        const long n = phone.read_some(buf, sizeof buf, 50ms);
        if (n > 0) framer.DecodeBytes(buf, static_cast<int>(n));
        while (framer.TakeFrame(frame, sizeof frame) > 0)
            opened = opened || frame[0] == 0x1B;
    }
    ASSERT_TRUE(opened);
    const Bytes junk(4096, 0);
    while (::write(filler, junk.data(), junk.size()) > 0) {
    }
    const uint8_t open_ok[] = {0x1C, 0x00};
    framer.FrameWrite(open_ok, sizeof open_ok);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(ended.load()) << "the stream write should be blocked";

    const auto t0 = Clock::now();
    EXPECT_EQ(DeleteModule(m), 0);
    const auto deleted_at = Clock::now();
    LateCallbacks::deleted = true;
    record.reset();
    EXPECT_EQ(DeleteModule(m), 0); // a second stop is a no-op (before m's address is reused)
    // The port is free at once (the phone's line emptied first, or the AT line would wait).
    ::tcflush(phone.fd(), TCIFLUSH);
    Flashboot* next = CreateModule(kCom, 0, nullptr);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next->hComHandle, INVALID_PORT_HANDLE);
    EXPECT_NE(next->hComHandle, PORT_HANDLE_IN_USE);
    worker.join();
    std::printf("[ stop     ] stream write: DeleteModule returned after %.1f ms, the request "
                "ended %.1f ms after the stop began\n",
                Ms(deleted_at - t0), Ms(ended_at - t0));
    // A blocked write gives up after 20 passes of 200 ms: far more than this.
    EXPECT_LT(deleted_at - t0, 1s);
    EXPECT_LT(ended_at - t0, 1s);
    EXPECT_EQ(rc, -11970);
    EXPECT_EQ(last_error, FB_ERR_PORT_NOT_OPEN) << "the write ended with the port gone";
    EXPECT_EQ(LateCallbacks::late.load(), 0) << "a callback after DeleteModule returned";
    DeleteModule(next);
    ::close(filler);
}

TEST(Stop, DeleteWaitsForACallbackUnderWayAndNoneFollows) {
    Flashboot* m = CreateModuleForDiskDownload();
    ASSERT_NE(m, nullptr);
    static std::mutex lock;
    static std::condition_variable cv;
    static bool inside = false, release = false, left = false;
    inside = release = left = false;
    LateCallbacks::calls = 0;
    m->m_callbackfunc = [](Download*) {
        std::unique_lock<std::mutex> g(lock);
        inside = true;
        cv.notify_all();
        cv.wait_for(g, 10s, [] { return release; });
        left = true;
        LateCallbacks::calls.fetch_add(1);
        return 0;
    };
    std::thread worker([&] {
        ModuleHold hold(m); // a request holds its module for its whole run
        m->ProgressReport("one", 10);
        {
            std::unique_lock<std::mutex> g(lock);
            cv.wait(g, [] { return release; });
        }
        std::this_thread::sleep_for(20ms); // DeleteModule has returned by now
        m->ProgressReport("two", 20);
    });
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(cv.wait_for(g, 5s, [] { return inside; }));
    }
    auto deleting = std::async(std::launch::async, [&] { return DeleteModule(m); });
    EXPECT_EQ(deleting.wait_for(200ms), std::future_status::timeout)
        << "DeleteModule returned while the callback was still running";
    {
        std::lock_guard<std::mutex> g(lock);
        release = true;
    }
    cv.notify_all();
    ASSERT_EQ(deleting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(deleting.get(), 0);
    {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_TRUE(left) << "the callback had ended when DeleteModule returned";
    }
    worker.join();
    EXPECT_EQ(LateCallbacks::calls.load(), 1) << "no callback after DeleteModule returned";

    // DeleteModule called from the module's own callback does not wait for itself.
    Flashboot* self = CreateModuleForDiskDownload();
    static Flashboot* s_self = nullptr;
    s_self = self;
    self->m_callbackfunc = [](Download*) { return DeleteModule(s_self); };
    const int before = SondrelLiveModules();
    {
        ModuleHold hold(self);
        self->ProgressReport("bye", 1);
        self->ProgressReport("gone", 2); // no callback: it would delete again
    }
    EXPECT_EQ(SondrelLiveModules(), before - 1);
}

TEST(MessageBoxes, TwoSlotsBoxesAreOpenTogether) {
    // A recording UI that keeps each box open until both are (or a while has passed).
    static std::mutex lock;
    static std::condition_variable cv;
    static int open = 0, most = 0;
    open = most = 0;
    emmc::SetMessageBox([](const char*, const char*) {
        std::unique_lock<std::mutex> g(lock);
        most = std::max(most, ++open);
        cv.notify_all();
        cv.wait_for(g, 3s, [] { return most >= 2; });
        --open;
    });
    // Two slots' eMMC downloads on disks that are not there: each shows its box.
    XMLDATA rec{};
    auto slot = [&] {
        Flashboot* m = CreateModuleForDiskDownload();
        const int rc = m->EmmcDownloadMBNS(m, "/nonexistent/tw-disk", "/tmp", &rec);
        deleteModuleForDiskDownload(m);
        return rc;
    };
    auto a = std::async(std::launch::async, slot);
    auto b = std::async(std::launch::async, slot);
    EXPECT_EQ(a.get(), EMMC_DOWNLOAD_NO_DISK);
    EXPECT_EQ(b.get(), EMMC_DOWNLOAD_NO_DISK);
    emmc::SetMessageBox(nullptr);
    EXPECT_EQ(most, 2) << "one slot's box kept the other's from opening";
}

} // namespace
