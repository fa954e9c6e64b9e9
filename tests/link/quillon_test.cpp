// The link facade against a pty standing in for the phone, found through a virtual device
// directory record: the AT command, framed writes, receives and their time-outs, failed opens,
// and the phone hanging up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "link/quillon.h"
#include "link_test_util.h"
#include "platform/clock.h"
#include "platform/port_map.h"

namespace {

using linktest::Bytes;
using namespace std::chrono_literals;

// The switch to DIAG mode, and the flag that ends it as a frame of its own to the phone.
const Bytes kAt = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r', 0x7E};

struct LinkDeleter {
    void operator()(CQuillonDll* p) const { deleteComm(p); }
};
using Link = std::unique_ptr<CQuillonDll, LinkDeleter>;

// The phone's side of the framing: decodes what the link sent.
class PhoneDecoder : public CTransmitHdlc {
  public:
    int IsOpen() override { return 1; }
    std::vector<Bytes> frames(const Bytes& wire) {
        DecodeBytes(wire.data(), static_cast<int>(wire.size()));
        std::vector<Bytes> out;
        uint8_t buf[512];
        int n;
        while ((n = TakeFrame(buf, sizeof buf)) > 0)
            out.emplace_back(buf, buf + n);
        return out;
    }
};

size_t count_of(const Bytes& hay, const Bytes& needle) {
    size_t c = 0;
    for (auto it = hay.begin();
         (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
        ++c;
    return c;
}

class Facade : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        ASSERT_TRUE(phone.open());
        dir.add_serial("phone", 7, phone.slave_path(), false);
    }
    Link open(int port = 7) {
        handle = 0;
        return Link(CreateComm(port, handle, 115200));
    }
    void send(const Bytes& packet) {
        Bytes w = linktest::framed(packet);
        ASSERT_TRUE(phone.write_all(w.data(), w.size()));
    }

    linktest::DeviceDir dir;
    tw::PtyMaster phone;
    PortHandle handle = 0;
};

TEST_F(Facade, PortMapFindsTheRecord) {
    EXPECT_EQ(tw::tty_path_for_com(7), phone.slave_path());
    EXPECT_EQ(tw::tty_path_for_com(8), "") << "the directory names every port there is";
    EXPECT_EQ(tw::tty_path_for_com(0), "");
}

TEST_F(Facade, AtCommandThenFramedWritesAndReplies) {
    Link link = open();
    ASSERT_NE(link, nullptr);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(linktest::read_n(phone, kAt.size(), 2s), kAt);

    const Bytes req = {0x4B, 0x7E, 0x01, 0x7D, 0x00, 0x10};
    const Bytes wire = linktest::framed(req);
    ASSERT_NE(wire.size() % 64, 0u);
    EXPECT_EQ(link->Write(req.data(), static_cast<int>(req.size())), static_cast<int>(wire.size()));
    EXPECT_EQ(linktest::read_n(phone, wire.size(), 2s), wire);
    EXPECT_TRUE(linktest::drain(phone, 50ms).empty());

    // WriteNo7e takes the packet length plus one and sends no opening flag.
    Bytes no7e(wire.begin() + 1, wire.end());
    Bytes req1 = req;
    req1.push_back(0xEE);
    EXPECT_EQ(link->WriteNo7e(req1.data(), static_cast<int>(req1.size())),
              static_cast<int>(no7e.size()));
    EXPECT_EQ(linktest::read_n(phone, no7e.size(), 2s), no7e);

    const Bytes reply = {0x4B, 0x12, 0x7E, 0x00, 0x7D};
    send(reply);
    uint8_t buf[64];
    ASSERT_EQ(link->Read(buf, sizeof buf), static_cast<int>(reply.size()));
    EXPECT_EQ(Bytes(buf, buf + reply.size()), reply);

    ASSERT_EQ(link->SetOverlapTimeout(5000), 1);
    send({0x02, 0x03, 0x04});
    ASSERT_EQ(link->HdlcReceive(buf, sizeof buf), 3);
    EXPECT_EQ(buf[0], 0x02);
    // A short buffer gets its length; the rest of that frame is gone.
    send({9, 8, 7, 6});
    EXPECT_EQ(link->HdlcReceive(buf, 2), 2);
    send({5});
    EXPECT_EQ(link->HdlcReceive(buf, 0), 1);
    EXPECT_EQ(buf[0], 5);
}

TEST_F(Facade, ReceiveTimeOuts) {
    Link link = open();
    ASSERT_GE(handle, 0);
    uint8_t buf[16];
    uint32_t t = 99;
    ASSERT_EQ(link->GetOverlapTimeout(t), 1);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(link->HdlcReceive(buf, sizeof buf), 0) << "no time-out in force: no wait";

    link->SetOverlapTimeout(200);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link->HdlcReceive(buf, sizeof buf), -1303);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms);

    // Frames already queued are discarded by CleanRxBuffer.
    send({1, 2, 3});
    send({4, 5, 6});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(link->CleanRxBuffer(), 0);
    EXPECT_EQ(link->HdlcReceive(buf, sizeof buf), -1303);
}

TEST_F(Facade, ReadWaitsWhateverTheOverlapTimeOutAndPutsItBack) {
    Link link = open();
    ASSERT_GE(handle, 0);
    for (uint32_t before : {0u, 1234u}) {
        link->SetOverlapTimeout(before);
        std::thread late([&] {
            std::this_thread::sleep_for(100ms);
            send({0x31, 0x32});
        });
        uint8_t buf[8];
        EXPECT_EQ(link->Read(buf, sizeof buf), 2);
        late.join();
        uint32_t after = 7;
        link->GetOverlapTimeout(after);
        EXPECT_EQ(after, before);
    }
    // A silent phone: the 60 s wait (scaled) runs out, and the time-out is still put back.
    link->SetOverlapTimeout(0);
    uint8_t buf[8];
    EXPECT_EQ(link->Read(buf, sizeof buf), -1303);
    uint32_t after = 7;
    link->GetOverlapTimeout(after);
    EXPECT_EQ(after, 0u);
}

TEST_F(Facade, FailedOpensGiveAnObjectThatWritesNothing) {
    auto before = linktest::open_fds();
    Link zero = open(0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(handle, INVALID_PORT_HANDLE);
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(zero->Write(b, 4), 0);
    EXPECT_EQ(zero->Read(b, 4), 0);

    Link missing = open(8);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(handle, INVALID_PORT_HANDLE);
    EXPECT_EQ(missing->Write(b, 4), 0);
    EXPECT_EQ(linktest::open_fds(), before);
    EXPECT_TRUE(linktest::drain(phone, 50ms).empty()) << "no AT command on a failed open";
    deleteComm(nullptr);
}

TEST_F(Facade, PortInUseGives0x170AndNoDescriptor) {
    Link first = open();
    ASSERT_GE(handle, 0);
    auto before = linktest::open_fds();
    const int threads = linktest::thread_count();
    Link second = open();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(handle, PORT_HANDLE_IN_USE);
    EXPECT_EQ(linktest::open_fds(), before);
    EXPECT_EQ(linktest::thread_count(), threads);
    uint8_t b[2] = {1, 2};
    EXPECT_EQ(second->Write(b, 2), 0);
    EXPECT_GT(first->Write(b, 2), 0);
}

TEST_F(Facade, DeletingTheLinkEndsItsThreadsAndFreesThePort) {
    const int base = linktest::thread_count();
    auto fds = linktest::open_fds();
    {
        Link link = open();
        ASSERT_GE(handle, 0);
        EXPECT_EQ(linktest::thread_count(), base + 2);
    }
    EXPECT_EQ(linktest::thread_count(), base);
    EXPECT_EQ(linktest::open_fds(), fds);
    Link again = open();
    EXPECT_GE(handle, 0) << "the port can be opened again";
}

TEST_F(Facade, DiagRecordRunsThePoller) {
    tw::PtyMaster diag_phone;
    ASSERT_TRUE(diag_phone.open());
    dir.add_serial("diag", 9, diag_phone.slave_path(), true);
    const int base = linktest::thread_count();
    Link plain = open(7);
    EXPECT_EQ(linktest::thread_count(), base + 2);
    Link diag = open(9);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(linktest::thread_count(), base + 5);
    diag.reset();
    EXPECT_EQ(linktest::thread_count(), base + 2);
}

TEST_F(Facade, PhoneHangingUpMakesTheFacadeDead) {
    for (bool diag : {false, true}) {
        ASSERT_TRUE(phone.open());
        dir.add_serial("phone", 7, phone.slave_path(), diag);
        const int base = linktest::thread_count();
        Link link = open();
        ASSERT_GE(handle, 0);
        linktest::read_n(phone, kAt.size(), 2s);
        phone.close();
        EXPECT_EQ(linktest::wait_threads_at_most(base, 5s), base) << "diag " << diag;
        uint8_t b[4] = {1, 2, 3, 4};
        EXPECT_EQ(link->Write(b, 4), 0);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(link->Read(b, 4), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms) << "a dead facade does not wait";
        EXPECT_EQ(link->WriteNo7e(b, 4), 0);
        EXPECT_EQ(link->CleanRxBuffer(), 0);
        EXPECT_EQ(link->HdlcReceive(b, 4), 0);
        uint32_t t = 0;
        EXPECT_EQ(link->GetOverlapTimeout(t), 0);
        // It stays dead even once a phone is back on the same path.
        ASSERT_TRUE(phone.open());
        dir.add_serial("phone", 7, phone.slave_path(), diag);
        EXPECT_EQ(link->Write(b, 4), 0);
    }
}

TEST_F(Facade, ThePhonesErrorAnswerToTheAtLineIsNoAnswer) {
    Link link = open();
    ASSERT_GE(handle, 0);
    // The bad-command answer to the AT line, with the whole line and with the bytes the phone
    // took for its FCS left out, then a real answer.
    const Bytes whole = {0x13, 'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r'};
    send(whole);
    send(Bytes(whole.begin(), whole.end() - 2));
    send({0x26, 0x26, 0x02});
    uint8_t buf[64];
    EXPECT_EQ(link->Read(buf, sizeof buf), 3);
    EXPECT_EQ(buf[0], 0x26);
    // An error answer to anything longer (the line run into a request) is delivered.
    Bytes longer = whole;
    longer.insert(longer.end(), {0x26, 0x26, 0x02});
    send(longer);
    EXPECT_EQ(link->Read(buf, sizeof buf), static_cast<int>(longer.size()));
    EXPECT_EQ(buf[0], 0x13);
}

TEST_F(Facade, CloseFromAnotherThreadEndsABlockedReadOrWriteAndFreesThePort) {
    tw::clock::set_scale(1.0);
    for (bool reading : {true, false}) {
        Link link = open();
        ASSERT_GE(handle, 0);
        linktest::read_n(phone, kAt.size(), 2s);
        // The phone neither answers nor reads: a read waits 60 s, and a packet larger than the
        // pty's buffer blocks its writer for 20 write passes of 200 ms.
        std::atomic<int> result{1};
        std::atomic<bool> ended{false};
        std::thread worker([&] {
            if (reading) {
                uint8_t buf[16];
                result = link->Read(buf, sizeof buf);
            } else {
                Bytes big(30000, 0x55);
                result = link->Write(big.data(), static_cast<int>(big.size()));
            }
            ended = true;
        });
        std::this_thread::sleep_for(150ms);
        ASSERT_FALSE(ended.load()) << "reading " << reading;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(link->Close(), 0);
        worker.join();
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(result.load(), -1202) << "reading " << reading;
        // Far inside the wait it was blocked in.
        EXPECT_LT(took, 2s) << "reading " << reading;
        // The port is free at once, and the closed link stays dead.
        PortHandle h2 = 0;
        Link next(CreateComm(7, h2, 115200));
        EXPECT_GE(h2, 0) << "reading " << reading;
        EXPECT_NE(h2, PORT_HANDLE_IN_USE);
        uint8_t b = 1;
        EXPECT_EQ(link->Write(&b, 1), 0);
        EXPECT_EQ(link->Close(), -1202) << "a second close finds nothing open";
        next.reset();
        linktest::drain(phone, 20ms);
    }
}

TEST_F(Facade, HandshakeWithAnEchoingPhone) {
    std::atomic<bool> stop{false};
    Bytes seen;
    std::thread echo([&] {
        PhoneDecoder dec;
        while (!stop) {
            Bytes got = linktest::drain(phone, 20ms);
            seen.insert(seen.end(), got.begin(), got.end());
            for (const Bytes& f : dec.frames(got)) {
                Bytes w = linktest::framed(f);
                phone.write_all(w.data(), w.size());
            }
        }
    });
    PortHandle h = 0;
    Link link(CreateComm(7, h));
    stop = true;
    echo.join();
    ASSERT_GE(h, 0);
    Bytes loop(32, 0);
    loop[0] = 0x7B;
    std::memcpy(loop.data() + 1, "@PHONE_MANAGE_LOOP", 19);
    EXPECT_EQ(count_of(seen, kAt), 1u);
    EXPECT_EQ(count_of(seen, linktest::framed(loop)), 1u) << "one attempt was enough";
}

TEST_F(Facade, HandshakeGivesUpOnASilentPhone) {
    PortHandle h = 0;
    auto t0 = std::chrono::steady_clock::now();
    Link link(CreateComm(7, h));
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_GE(h, 0);
    EXPECT_LT(took, 10s);
    Bytes seen = linktest::drain(phone, 100ms);
    Bytes loop(32, 0);
    loop[0] = 0x7B;
    std::memcpy(loop.data() + 1, "@PHONE_MANAGE_LOOP", 19);
    EXPECT_EQ(count_of(seen, linktest::framed(loop)), 3u);
    EXPECT_EQ(count_of(seen, kAt), 4u) << "the first, and one after each failed attempt";
    uint8_t b[2] = {1, 2};
    EXPECT_GT(link->Write(b, 2), 0) << "the port stays open, unconfirmed";
}

} // namespace
