// A decoder thread feeding frames while the caller waits in TakeFrame: nothing lost or doubled.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "link/hdlc.h"

namespace {

class Framer : public CTransmitHdlc {
public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.assign(d, d + n);
        return n;
    }
    std::vector<uint8_t> wire;
};

TEST(HdlcThreads, NoFrameLostOrDuplicatedWhileTheCallerWaits) {
    constexpr int kRounds = 3000;
    auto encoder = std::make_unique<Framer>();
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kRounds; ++i) {
        uint8_t p[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x7E, 0x55};
        encoder->FrameWrite(p, 4);
        frames.push_back(encoder->wire);
    }
    auto rx = std::make_unique<Framer>();
    rx->SetOverlapTimeout(60000);
    std::atomic<int> taken{0};
    std::thread feeder([&] {
        for (int i = 0; i < kRounds; ++i) {
            // Stay below the spool's 60 frames so no frame is dropped for want of a node.
            while (i - taken.load() > 40) std::this_thread::yield();
            const auto& w = frames[static_cast<size_t>(i)];
            size_t half = w.size() / 2;
            while (rx->ReceiveSpace(static_cast<int>(half)) < 1) std::this_thread::yield();
            rx->DecodeBytes(w.data(), static_cast<int>(half));
            rx->DecodeBytes(w.data() + half, static_cast<int>(w.size() - half));
            if (i % 7 == 0) std::this_thread::yield();
        }
    });
    std::vector<int> seen;
    uint8_t buf[16];
    while (static_cast<int>(seen.size()) < kRounds) {
        int n = rx->TakeFrame(buf, sizeof buf);
        ASSERT_EQ(n, 4) << "after " << seen.size() << " frames";
        seen.push_back(buf[0] | (buf[1] << 8));
        taken.fetch_add(1);
    }
    feeder.join();
    for (int i = 0; i < kRounds; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
    EXPECT_EQ(rx->QueuedFrames(), 0);
}

} // namespace
