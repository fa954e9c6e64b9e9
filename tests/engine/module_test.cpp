// Module lifecycle: creation on a missing port, double and concurrent deletes, progress reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/flashboot.h"
#include "platform/clock.h"
#include "scripted_phone.h"

using enginetest::Bytes;
using enginetest::ScriptedPhone;

namespace {

std::atomic<int> g_calls{0};
Download* g_last = nullptr;
int record_callback(Download* d) {
    g_calls.fetch_add(1);
    g_last = d;
    return 0;
}

TEST(Module, AddAndDiskModules) {
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_EQ(add(-7, 7), 0);
    const int before = SondrelLiveModules();
    Flashboot* disk = CreateModuleForDiskDownload();
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->trans_Dig, nullptr);
    EXPECT_EQ(SondrelLiveModules(), before + 1);
    // A module without a link fails its exchanges instead of crashing.
    EXPECT_EQ(disk->Streaming_Download_Protocol_Close(), FB_ERR_STREAM);
    EXPECT_EQ(disk->DMSS_Go(0), FB_ERR_DMSS);
    EXPECT_EQ(deleteModuleForDiskDownload(disk), disk);
    EXPECT_EQ(SondrelLiveModules(), before);
    EXPECT_EQ(deleteModuleForDiskDownload(nullptr), nullptr);
}

TEST(Module, ConstructionDefaultsAndProgressReports) {
    Flashboot* m = CreateModuleForDiskDownload();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->m_write32, 0);
    EXPECT_EQ(m->m_helloVariant, 1);
    EXPECT_EQ(m->m_deleting.load(), 0);
    EXPECT_EQ(m->qcnpath[0], 0);
    EXPECT_EQ(m->m_timeValues[2], 3000u);
    ASSERT_NE(m->m_pDownload, nullptr);

    // No callback yet: the report only lands in the record.
    m->ProgressReport("step", 12);
    EXPECT_EQ(m->m_pDownload->iProgress, 12);
    // The station's own record and callback, written after creation.
    Download mine;
    mine.iProgressIndex = 4;
    m->m_pDownload = &mine;
    m->m_callbackfunc = record_callback;
    g_calls = 0;
    m->ProgressReport("writing", 40);
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(g_last, &mine);
    EXPECT_EQ(mine.iProgress, 40);
    EXPECT_STREQ(mine.pStatus, "writing");
    m->ProgressReport("still");
    EXPECT_EQ(mine.iProgress, 40);
    EXPECT_STREQ(mine.pStatus, "still");
    EXPECT_EQ(mine.iProgressIndex, 4);
    // The module frees only what it made, never the station's record.
    deleteModuleForDiskDownload(m);
    EXPECT_EQ(mine.iProgressIndex, 4);
}

TEST(Module, PrepareCommandCutsTheLength) {
    Flashboot* m = CreateModuleForDiskDownload();
    m->m_packet.data[100] = 0x55;
    PacketBuffer* p = m->PrepareCommand(0x07, 40000, 0x1234);
    ASSERT_EQ(p, &m->m_packet);
    // Packed fields: copied out before gtest takes references to them.
    const uint8_t code = p->code;
    const uint32_t value = p->value, length = p->length;
    EXPECT_EQ(code, 0x07);
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(length, 32890u);
    EXPECT_EQ(p->data[100], 0); // cleared
    const uint32_t hello_length = m->PrepareCommand(0x01, 36, 0)->length;
    EXPECT_EQ(hello_length, 36u);
    EXPECT_EQ(m->RecordError(-11962), -11962);
    EXPECT_EQ(m->LastError(), -11962);
    deleteModuleForDiskDownload(m);
}

TEST(Module, APortThatCannotBeOpenedStillGivesAModule) {
    tw::clock::set_scale(0.01);
    // A device directory without that COM number: nothing to open.
    char tmpl[] = "/tmp/tw_nodev_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    ::setenv("TARNWELL_DEVICE_DIR", tmpl, 1);
    Flashboot* out = nullptr;
    Flashboot* m = CreateModule(77, 0, &out);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(out, m);
    EXPECT_NE(m->trans_Dig, nullptr);
    EXPECT_EQ(m->hComHandle, INVALID_PORT_HANDLE);
    EXPECT_EQ(m->Streaming_Download_Protocol_Close(), FB_ERR_STREAM);
    EXPECT_EQ(m->LastError(), FB_ERR_STREAM);
    uint8_t b = 0;
    EXPECT_EQ(m->DMSS_Nop(&b, 1), FB_ERR_DMSS);
    EXPECT_EQ(DeleteModule(m), 0);
    ::rmdir(tmpl);
}

TEST(Module, DeleteIsSafeOnNullAndTwice) {
    EXPECT_EQ(DeleteModule(nullptr), 0);
    const int before = SondrelLiveModules();
    Flashboot* m = CreateModuleForDiskDownload();
    EXPECT_EQ(SondrelLiveModules(), before + 1);
    EXPECT_EQ(DeleteModule(m), 0);
    EXPECT_EQ(SondrelLiveModules(), before);
    // The pointer is stale now: the second call must find nothing and touch nothing.
    EXPECT_EQ(DeleteModule(m), 0);
    EXPECT_EQ(SondrelLiveModules(), before);
    // A module on the stack is never freed by a delete.
    {
        Flashboot local;
        EXPECT_EQ(DeleteModule(&local), 0);
        EXPECT_EQ(local.m_deleting.load(), 0);
    }
    EXPECT_EQ(SondrelLiveModules(), before);
}

TEST(Module, DeleteFromAnotherThreadDuringALongExchangeReleasesOnce) {
    tw::clock::set_scale(0.01);
    ScriptedPhone phone(43);
    ASSERT_TRUE(phone.ok());
    const int before = SondrelLiveModules();
    Flashboot* m = CreateModule(43, 0, nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(m->hComHandle, INVALID_PORT_HANDLE);
    // 60 s nominal: about 0.6 s of real waiting for an answer that never comes.
    m->trans_Dig->SetOverlapTimeout(60000);

    std::atomic<int> first{1}, second{1};
    std::atomic<bool> done{false};
    std::thread request([&] {
        // A flow: holds the module for its whole run, two exchanges.
        ModuleHold hold(m);
        uint8_t b = 0;
        first = m->DMSS_Nop(&b, 1);
        second = m->DMSS_Nop(&b, 1);
        done = true;
    });
    // Delete while the first exchange waits.
    ASSERT_EQ(phone.requests(1).size(), 1u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DeleteModule(m), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(DeleteModule(m), 0); // a second stop changes nothing
    request.join();
    EXPECT_TRUE(done.load());
    // The stop closed the link under the waiting exchange: it ended with the port gone rather
    // than running out its time-out.
    EXPECT_EQ(first.load(), FB_ERR_PORT_NOT_OPEN);
    // The next exchange did not go out.
    EXPECT_EQ(second.load(), FB_ERR_PORT_NOT_OPEN);
    EXPECT_EQ(phone.count(), 1u);
    EXPECT_EQ(SondrelLiveModules(), before); // released exactly once
    EXPECT_EQ(DeleteModule(m), 0);
}

TEST(Module, ConcurrentDeletesAndRequestsRace) {
    // Many rounds of a request and two deletes started together; the sanitizers judge.
    tw::clock::set_scale(0.01);
    const int before = SondrelLiveModules();
    for (int round = 0; round < 200; ++round) {
        Flashboot* m = CreateModuleForDiskDownload();
        std::atomic<bool> go{false};
        std::thread a([&] {
            while (!go)
                std::this_thread::yield();
            ModuleHold hold(m);
            if (hold) m->ProgressReport("x", round % 100);
        });
        std::thread b([&] {
            while (!go)
                std::this_thread::yield();
            DeleteModule(m);
        });
        std::thread c([&] {
            while (!go)
                std::this_thread::yield();
            DeleteModule(m);
        });
        go = true;
        a.join();
        b.join();
        c.join();
        ASSERT_EQ(SondrelLiveModules(), before) << round;
    }
}

} // namespace
