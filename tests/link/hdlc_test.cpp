#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "link/hdlc.h"
#include "platform/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A framer whose "port" is a byte vector.
class LoopFramer : public CTransmitHdlc {
  public:
    int IsOpen() override { return open ? 1 : 0; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.insert(wire.end(), d, d + n);
        ++raw_writes;
        return n;
    }
    bool open = true;
    Bytes wire;
    int raw_writes = 0;
};

std::unique_ptr<LoopFramer> make() {
    return std::make_unique<LoopFramer>();
}

Bytes frame_of(const Bytes& packet) {
    auto f = make();
    f->FrameWrite(packet.data(), static_cast<int>(packet.size()));
    return f->wire;
}

int feed(CTransmitHdlc& f, const Bytes& b) {
    return f.DecodeBytes(b.data(), static_cast<int>(b.size()));
}

Bytes take(CTransmitHdlc& f, int len = 0) {
    Bytes buf(40000);
    int n = f.TakeFrame(buf.data(), len);
    if (n < 0) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

TEST(Crc16, CheckValueAndResidue) {
    const std::string s = "123456789";
    auto* d = reinterpret_cast<const uint8_t*>(s.data());
    EXPECT_EQ(quillon::crc16_fcs(d, s.size()), 0x906E);
    EXPECT_EQ(quillon::kCrc16Table[1], 0x1189);
    Bytes withFcs(s.begin(), s.end());
    withFcs.push_back(0x6E);
    withFcs.push_back(0x90);
    EXPECT_EQ(quillon::crc16_update(0xFFFF, withFcs.data(), withFcs.size()), quillon::kCrc16Good);
}

TEST(Crc16, BulkUpdateMatchesTheByteByByteStepForAnyLengthAndStart) {
    std::mt19937 rng(77);
    for (int round = 0; round < 3000; ++round) {
        const size_t len = round < 300 ? static_cast<size_t>(round) : rng() % 5000;
        Bytes d(len);
        for (auto& b : d)
            b = static_cast<uint8_t>(rng());
        const uint16_t start = static_cast<uint16_t>(rng());
        uint16_t expect = start;
        for (uint8_t b : d)
            expect = quillon::crc16_step(expect, b);
        ASSERT_EQ(quillon::crc16_update(start, d.data(), len), expect) << len << " bytes";
    }
}

TEST(HdlcWrite, EmptyPacketAndEscapes) {
    auto f = make();
    EXPECT_EQ(f->FrameWrite(nullptr, 0), 4);
    EXPECT_EQ(f->wire, (Bytes{0x7E, 0x00, 0x00, 0x7E}));

    Bytes p{0x7E, 0x01, 0x7D};
    Bytes w = frame_of(p);
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ((Bytes(w.begin(), w.begin() + 6)), (Bytes{0x7E, 0x7D, 0x5E, 0x01, 0x7D, 0x5D}));
    EXPECT_EQ(w.back(), 0x7E);
}

TEST(HdlcWrite, FcsBytesAreEscapedToo) {
    // Search for a one-byte packet whose FCS holds 0x7E or 0x7D.
    bool found = false;
    for (int b = 0; b < 256 && !found; ++b) {
        uint8_t byte = static_cast<uint8_t>(b);
        if (byte == 0x7E || byte == 0x7D) continue;
        uint16_t fcs = quillon::crc16_fcs(&byte, 1);
        uint8_t lo = fcs & 0xFF, hi = fcs >> 8;
        if (lo != 0x7E && lo != 0x7D && hi != 0x7E && hi != 0x7D) continue;
        found = true;
        Bytes w = frame_of({byte});
        Bytes expect{0x7E, byte};
        for (uint8_t x : {lo, hi}) {
            if (x == 0x7E || x == 0x7D) {
                expect.push_back(0x7D);
                expect.push_back(x ^ 0x20);
            } else {
                expect.push_back(x);
            }
        }
        expect.push_back(0x7E);
        EXPECT_EQ(w, expect) << "byte " << b;
    }
    EXPECT_TRUE(found);
}

TEST(HdlcWrite, No7eFramesOneByteFewerAndNoOpeningFlag) {
    auto f = make();
    Bytes p{1, 2, 3, 4, 5, 6, 7, 8, 0xAA};
    int n = f->FrameWriteNo7e(p.data(), 9);
    uint16_t fcs = quillon::crc16_fcs(p.data(), 8);
    Bytes expect(p.begin(), p.begin() + 8);
    expect.push_back(fcs & 0xFF);
    expect.push_back(fcs >> 8);
    expect.push_back(0x7E);
    EXPECT_EQ(f->wire, expect);
    EXPECT_EQ(n, 11);
}

TEST(HdlcWrite, ClosedPortSendsNothing) {
    auto f = make();
    f->open = false;
    uint8_t b = 1;
    EXPECT_EQ(f->FrameWrite(&b, 1), quillon::ERR_PORT_NOT_OPEN);
    EXPECT_TRUE(f->wire.empty());
}

TEST(HdlcWrite, LargeFramesGoOutInStagingSizedWrites) {
    auto f = make();
    Bytes p(70000, 0x11);
    int n = f->FrameWrite(p.data(), static_cast<int>(p.size()));
    EXPECT_EQ(n, 70000 + 4);
    EXPECT_EQ(f->raw_writes, 3);
    EXPECT_EQ(f->wire.size(), 70004u);
}

// The send rules byte by byte: every byte (FCS included) escaped on its own, the staging buffer
// written out each time it fills. The encoder must put the same bytes on the wire in the same
// writes, escape pairs split across a full buffer included.
struct ModelEncoder {
    std::vector<Bytes> writes{Bytes{}};
    void store(uint8_t b) {
        writes.back().push_back(b);
        if (writes.back().size() == static_cast<size_t>(quillon::kStagingSize))
            writes.emplace_back();
    }
    void emit(uint8_t b) {
        if (b == 0x7E || b == 0x7D) {
            store(0x7D);
            store(b ^ 0x20);
        } else {
            store(b);
        }
    }
    std::vector<Bytes> frame(const Bytes& p, bool opening_flag) {
        if (opening_flag) store(0x7E);
        uint16_t crc = quillon::kCrc16Init;
        for (uint8_t b : p) {
            crc = quillon::crc16_step(crc, b);
            emit(b);
        }
        crc ^= 0xFFFF;
        emit(crc & 0xFF);
        emit(crc >> 8);
        store(0x7E);
        if (writes.back().empty()) writes.pop_back();
        return writes;
    }
};

class ChunkFramer : public LoopFramer {
  public:
    int RawWrite(const uint8_t* d, int n) override {
        chunks.emplace_back(d, d + n);
        return n;
    }
    std::vector<Bytes> chunks;
};

TEST(HdlcWrite, RandomPacketsGoOutAsTheByteByByteRulesSay) {
    std::mt19937 rng(4321);
    for (int round = 0; round < 400; ++round) {
        // Short and long packets (past one and two staging buffers), with 7D/7E from none to
        // all, runs of them and lone ones.
        const size_t len = round % 10 == 0 ? 32000 + rng() % 40000 : rng() % 2100;
        const unsigned density = rng() % 5; // escapes in 0, 1/64, 1/8, 1/2, all
        Bytes p(len);
        for (auto& b : p) {
            const bool special = density == 4 || (density == 1 && rng() % 64 == 0) ||
                                 (density == 2 && rng() % 8 == 0) || (density == 3 && rng() % 2);
            b = special ? static_cast<uint8_t>(0x7D + rng() % 2) : static_cast<uint8_t>(rng());
        }
        const bool opening = rng() % 2;
        ChunkFramer f;
        const int n = opening ? f.FrameWrite(p.data(), static_cast<int>(len))
                              : f.FrameWriteNo7e(p.data(), static_cast<int>(len) + 1);
        const std::vector<Bytes> expect = ModelEncoder{}.frame(p, opening);
        size_t sent = 0;
        for (const Bytes& w : expect)
            sent += w.size();
        ASSERT_EQ(f.chunks, expect) << "round " << round << ", " << len << " bytes";
        EXPECT_EQ(n, static_cast<int>(sent));
    }
}

TEST(HdlcReceive, FlagRunsRuntsAndBadCrcDeliverNothing) {
    auto f = make();
    EXPECT_EQ(feed(*f, {0x7E, 0x7E, 0x7E}), 0);
    EXPECT_EQ(feed(*f, {0x01, 0x02, 0x7E}), 0); // runt
    Bytes bad = frame_of({1, 2, 3, 4});
    bad[2] ^= 0x01;
    EXPECT_EQ(feed(*f, bad), 0);
    EXPECT_EQ(f->QueuedFrames(), 0);
    // The next good frame still comes through after the noise.
    EXPECT_EQ(feed(*f, frame_of({9, 8, 7})), 3);
    EXPECT_EQ(take(*f), (Bytes{9, 8, 7}));
}

TEST(HdlcReceive, RandomPacketsRoundTripThroughRandomChunks) {
    std::mt19937 rng(1234);
    auto f = make();
    for (int round = 0; round < 200; ++round) {
        size_t len = 1 + rng() % 3000;
        Bytes p(len);
        for (auto& b : p)
            b = static_cast<uint8_t>(rng() % 4 == 0 ? 0x7E + rng() % 2 : rng());
        Bytes w = frame_of(p);
        size_t pos = 0;
        while (pos < w.size()) {
            size_t chunk = std::min<size_t>(w.size() - pos, 1 + rng() % 700);
            ASSERT_GE(f->ReceiveSpace(static_cast<int>(chunk)), 1);
            f->DecodeBytes(w.data() + pos, static_cast<int>(chunk));
            pos += chunk;
        }
        ASSERT_EQ(take(*f), p) << "round " << round;
    }
}

// The receive rules byte by byte, written as plainly as they can be: the decoder, whatever
// shortcuts it takes, must deliver exactly what this delivers.
struct ModelDecoder {
    Bytes cur;
    uint16_t crc = quillon::kCrc16Init;
    bool esc = false, over = false;
    std::vector<Bytes> frames;
    uint64_t dropped = 0;

    void feed(uint8_t b) {
        if (b == 0x7D) {
            esc = true;
            return;
        }
        if (b == 0x7E) {
            if (over)
                ++dropped;
            else if (cur.size() >= 3 && crc == quillon::kCrc16Good)
                frames.emplace_back(cur.begin(), cur.end() - 2);
            cur.clear();
            crc = quillon::kCrc16Init;
            esc = over = false;
            return;
        }
        if (esc) b ^= 0x20;
        esc = false;
        crc = quillon::crc16_step(crc, b);
        if (cur.size() < static_cast<size_t>(quillon::kFrameMax))
            cur.push_back(b);
        else
            over = true;
    }
};

TEST(HdlcReceive, NoisyStreamsDecodeAsTheByteByByteRulesSay) {
    std::mt19937 rng(99);
    auto f = make();
    ModelDecoder model;
    std::vector<Bytes> got;
    for (int round = 0; round < 300; ++round) {
        // Good frames of every size class, mangled ones, and loose bytes dense in 7D and 7E.
        Bytes stream;
        for (int part = 0; part < 6; ++part) {
            const unsigned kind = rng() % 9;
            size_t len = kind == 0   ? quillon::kFrameMax - 2 + rng() % 3 // longest, or too long
                         : kind == 1 ? 1 + rng() % 8
                                     : 1 + rng() % 4000;
            const unsigned special = 1 + rng() % 64; // one byte in `special` is 7D or 7E
            Bytes p(len);
            for (auto& b : p)
                b = static_cast<uint8_t>(rng() % special == 0 ? 0x7D + rng() % 2 : rng());
            Bytes w = frame_of(p);
            if (kind == 2) w[1 + rng() % (w.size() - 1)] ^= static_cast<uint8_t>(1 + rng() % 255);
            if (kind == 3) w.resize(1 + rng() % w.size()); // cut short, runs into what follows
            if (kind == 4) w.insert(w.end() - 1, 0x7D);    // an escape right before the flag
            if (kind == 5) { // an escape doubled: the same frame, still good
                auto esc = std::find(w.begin() + 1, w.end(), 0x7D);
                if (esc != w.end()) w.insert(esc, 0x7D);
            }
            stream.insert(stream.end(), w.begin(), w.end());
            for (unsigned n = rng() % 4; n > 0; --n)
                stream.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0x7D + rng() % 2));
        }
        for (uint8_t b : stream)
            model.feed(b);
        // Chunks small enough that the 60 receive nodes never run out between takes.
        for (size_t pos = 0; pos < stream.size();) {
            const size_t chunk = std::min<size_t>(stream.size() - pos, 1 + rng() % 240);
            ASSERT_GE(f->DecodeBytes(stream.data() + pos, static_cast<int>(chunk)), 0);
            pos += chunk;
            while (f->QueuedFrames() > 0)
                got.push_back(take(*f));
        }
        ASSERT_EQ(got.size(), model.frames.size()) << "round " << round;
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], model.frames[i]) << "round " << round << ", frame " << i;
        ASSERT_EQ(f->OversizeDropped(), model.dropped) << "round " << round;
    }
    EXPECT_GT(model.frames.size(), 500u);
    EXPECT_GT(model.dropped, 10u);
}

TEST(HdlcReceive, ResultsWithoutTimeoutWithTimeoutAndShortBuffer) {
    tw::clock::set_scale(0.01);
    auto f = make();
    Bytes buf(8);
    EXPECT_EQ(f->TakeFrame(buf.data(), 8), 0); // no time-out: at once
    f->SetOverlapTimeout(5000);
    uint32_t t = 0;
    f->GetOverlapTimeout(t);
    EXPECT_EQ(t, 5000u);
    EXPECT_EQ(f->TakeFrame(buf.data(), 8), quillon::ERR_RX_TIMEOUT);

    feed(*f, frame_of({1, 2, 3, 4, 5}));
    feed(*f, frame_of({6, 7}));
    EXPECT_EQ(f->TakeFrame(buf.data(), 3), 3); // the rest of that frame is lost
    EXPECT_EQ((Bytes(buf.begin(), buf.begin() + 3)), (Bytes{1, 2, 3}));
    EXPECT_EQ(take(*f), (Bytes{6, 7}));
    tw::clock::set_scale(1.0);
}

TEST(HdlcReceive, StaleReplyDiscardedBeforeARequestUnderATimeout) {
    auto f = make();
    feed(*f, frame_of({0xAA}));
    uint8_t req = 0x01;
    f->FrameWrite(&req, 1); // no time-out: the stale frame stays
    EXPECT_EQ(f->QueuedFrames(), 1);
    f->SetOverlapTimeout(100);
    f->FrameWrite(&req, 1);
    EXPECT_EQ(f->QueuedFrames(), 0);
}

TEST(HdlcReceive, OversizedFrameIsDroppedWholeAndCounted) {
    auto f = make();
    Bytes big(quillon::kFrameMax + 10, 0x33);
    Bytes w = frame_of(big);
    size_t pos = 0;
    while (pos < w.size()) {
        int room = f->ReceiveSpace(static_cast<int>(w.size() - pos));
        ASSERT_GT(room, 0);
        f->DecodeBytes(w.data() + pos, room);
        pos += static_cast<size_t>(room);
    }
    EXPECT_EQ(f->QueuedFrames(), 0);
    EXPECT_EQ(f->OversizeDropped(), 1u);
    // The longest deliverable packet still comes through whole.
    Bytes max(quillon::kFrameMax - 2, 0x44);
    Bytes w2 = frame_of(max);
    pos = 0;
    while (pos < w2.size()) {
        int room = f->ReceiveSpace(static_cast<int>(w2.size() - pos));
        ASSERT_GT(room, 0);
        f->DecodeBytes(w2.data() + pos, room);
        pos += static_cast<size_t>(room);
    }
    EXPECT_EQ(take(*f), max);
}

TEST(HdlcReceive, FullSpoolRefusesSpaceUntilAFrameIsTaken) {
    auto f = make();
    Bytes w = frame_of({1, 2, 3});
    for (int i = 0; i < 59; ++i)
        ASSERT_EQ(feed(*f, w), 3);
    // 59 queued, the 60th node is current; completing it leaves no fresh node.
    EXPECT_EQ(feed(*f, w), 3);
    EXPECT_EQ(f->ReceiveSpace(10), quillon::ERR_RX_NO_NODE);
    EXPECT_EQ(feed(*f, w), -1);
    EXPECT_EQ(take(*f), (Bytes{1, 2, 3}));
    EXPECT_GT(f->ReceiveSpace(10), 0);
    f->ClearReceive(1);
    EXPECT_EQ(f->QueuedFrames(), 0);
    // Every node is free again, however full the spool was: 60 frames fit once more.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ(feed(*f, w), 3) << "round " << round << ", frame " << i;
        EXPECT_EQ(f->ReceiveSpace(10), quillon::ERR_RX_NO_NODE);
        EXPECT_EQ(f->QueuedFrames(), 60);
        f->ClearReceive(1);
    }
}

TEST(HdlcReceive, ClearReceiveWakesAWaiterWithAnEmptyQueue) {
    tw::clock::set_scale(1.0);
    auto f = make();
    f->SetOverlapTimeout(60000);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        f->ClearReceive(1);
    });
    Bytes buf(4);
    EXPECT_EQ(f->TakeFrame(buf.data(), 4), quillon::ERR_RX_WOKEN_EMPTY);
    t.join();
}

TEST(PctsBase, ClassTags) {
    auto f = make();
    EXPECT_TRUE(f->Check(0));
    EXPECT_EQ(f->Tag(), TAG_TRANSMIT_HDLC);
    EXPECT_TRUE(f->Check(1));
    f->open = false;
    EXPECT_FALSE(f->Check(1));
    EXPECT_FALSE(f->Check(2));
    CPctsBasedFunctional base;
    EXPECT_TRUE(base.Check(0));
    EXPECT_FALSE(base.Check(1));
}

} // namespace
