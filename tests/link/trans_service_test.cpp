// The link service on a pty standing in for the phone: open and its failures, the line
// settings, the 64-byte rule, closing, the reader, the DIAG poller and teardown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "link/trans_service.h"
#include "link_test_util.h"
#include "platform/clock.h"
#include "platform/debug_sink.h"
#include "platform/serial_port.h"

namespace {

using linktest::Bytes;
using namespace std::chrono_literals;

class Service : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        ASSERT_TRUE(phone.open());
    }
    std::unique_ptr<CTransService> open_service(bool diag = false, int baud = 115200) {
        auto s = std::make_unique<CTransService>();
        LINE_SETTINGS line{baud, 8, 0, 0};
        s->SetOption(OPTION_LINE_SETTINGS, &line);
        PortHandle h = 0;
        last_open = s->OpenPath(1, 7, 0, phone.slave_path(), diag, h);
        handle = h;
        return s;
    }

    tw::PtyMaster phone;
    int last_open = 0;
    PortHandle handle = 0;
};

TEST_F(Service, OpensConfiguresAndClosesOnce) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    EXPECT_GE(handle, 0);
    EXPECT_TRUE(s->Check(1));
    EXPECT_TRUE(s->Check(0)); // the port part's class tag
    EXPECT_EQ(s->Opened(), 1);
    EXPECT_EQ(s->Close(0), 0);
    EXPECT_FALSE(s->Check(1));
    EXPECT_EQ(s->Close(0), quillon::ERR_PORT_NOT_OPEN);
    EXPECT_EQ(s->LiveThreads(), 0);
}

TEST_F(Service, PortNumberBelowOneIsRefusedWithoutTouchingAnything) {
    auto before = linktest::open_fds();
    auto s = std::make_unique<CTransService>();
    PortHandle h = 12345;
    EXPECT_EQ(s->Open(1, 0, 0, h), quillon::ERR_BAD_PORT_NUMBER);
    EXPECT_EQ(s->Open(1, -4, 0, h), quillon::ERR_BAD_PORT_NUMBER);
    EXPECT_EQ(h, 12345);
    EXPECT_EQ(linktest::open_fds(), before);
    EXPECT_EQ(s->Open(0, 3, 0, h), 0) << "only kind 1 opens";
    EXPECT_FALSE(s->Check(1));
}

TEST_F(Service, PortHeldElsewhereGives170AndLeavesNothingOpen) {
    auto first = open_service();
    ASSERT_EQ(last_open, 0);
    std::string log;
    tw::set_debug_capture([&](const std::string& l) { log += l; });
    auto before = linktest::open_fds();
    int threads = linktest::thread_count();
    auto second = open_service();
    EXPECT_EQ(last_open, quillon::ERR_PORT_IN_USE);
    EXPECT_EQ(handle, INVALID_PORT_HANDLE);
    EXPECT_FALSE(second->Check(1));
    EXPECT_EQ(linktest::open_fds(), before);
    EXPECT_EQ(linktest::thread_count(), threads);
    tw::set_debug_capture(nullptr);
    EXPECT_NE(log.find("\nCreate File Error, Error is 170"), std::string::npos) << log;
    // The holder is unaffected.
    EXPECT_TRUE(first->Check(1));
}

TEST_F(Service, MissingTtyFailsWithOpenError) {
    auto before = linktest::open_fds();
    auto s = std::make_unique<CTransService>();
    PortHandle h = 0;
    EXPECT_EQ(s->OpenPath(1, 9, 0, "/dev/tw-no-such-tty", false, h), quillon::ERR_OPEN_FAILED);
    EXPECT_EQ(h, INVALID_PORT_HANDLE);
    EXPECT_EQ(linktest::open_fds(), before);
}

TEST_F(Service, LineSettingsTheDeviceRefusesFailTheOpenAndCloseThePort) {
    auto before = linktest::open_fds();
    auto s = open_service(false, 12345); // not a rate a tty knows
    EXPECT_EQ(last_open, quillon::ERR_OPEN_FAILED);
    EXPECT_EQ(handle, INVALID_PORT_HANDLE);
    EXPECT_FALSE(s->Check(1));
    EXPECT_EQ(linktest::open_fds(), before);

    // Applied at once on an open port: a refusal closes it and ends its threads.
    const int base = linktest::thread_count();
    auto t = open_service();
    ASSERT_EQ(last_open, 0);
    LINE_SETTINGS bad{115200, 9, 0, 0};
    EXPECT_EQ(t->SetOption(OPTION_LINE_SETTINGS, &bad), quillon::ERR_CONFIG_FAILED);
    EXPECT_FALSE(t->Check(1));
    EXPECT_EQ(linktest::wait_threads_at_most(base, 2s), base);
    EXPECT_EQ(linktest::open_fds(), before);
}

TEST_F(Service, WritesOfAMultipleOf64GetOneByteMore) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    Bytes data(128);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    for (int len : {64, 63, 128, 1}) {
        int expect = len % 64 == 0 ? len + 1 : len;
        EXPECT_EQ(s->RawWrite(data.data(), len), expect);
        Bytes got = linktest::drain(phone, 100ms);
        ASSERT_EQ(static_cast<int>(got.size()), expect) << "len " << len;
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + len, got.begin()));
        if (expect > len) {
            EXPECT_EQ(got.back(), 0x7E);
        }
    }
    // The port part's own write adds nothing.
    EXPECT_EQ(s->CQualcommDataInterface::RawWrite(data.data(), 64), 64);
    EXPECT_EQ(linktest::drain(phone, 100ms).size(), 64u);
}

TEST_F(Service, AFrameLongerThanTheStagingBufferIsNotPaddedInTheMiddle) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    // 40000 payload bytes without escapes: a full 32896-byte chunk, then the rest of the frame.
    Bytes packet(40000, 0x33);
    Bytes wire = linktest::framed(packet);
    std::thread writer([&] { s->FrameWrite(packet.data(), static_cast<int>(packet.size())); });
    Bytes got = linktest::read_n(phone, wire.size(), 5s);
    writer.join();
    Bytes extra = linktest::drain(phone, 100ms);
    got.insert(got.end(), extra.begin(), extra.end());
    ASSERT_GE(got.size(), wire.size());
    EXPECT_TRUE(std::equal(wire.begin(), wire.end(), got.begin()));
    // The frame's own length decides whether one byte follows it.
    EXPECT_EQ(got.size(), wire.size() + ((wire.size() - 32896) % 64 == 0 ? 1 : 0));
}

TEST_F(Service, WriteOnAClosedPortIsRefused) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    s->Close(0);
    uint8_t b[3] = {1, 2, 3};
    EXPECT_EQ(s->RawWrite(b, 3), quillon::ERR_PORT_NOT_OPEN);
    EXPECT_EQ(s->FrameWrite(b, 3), quillon::ERR_PORT_NOT_OPEN);
}

TEST_F(Service, ReceivedFramesAreDecodedAndDiagnosticTextIsDiverted) {
    linktest::TempDir cwd;
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    s->SetOverlapTimeout(5000);
    Bytes text = {0x40, 0x05, 'h', 'i'};
    Bytes reply = {0x01, 0x7E, 0x7D, 0x02};
    Bytes wire = linktest::framed(text);
    Bytes w2 = linktest::framed(reply);
    wire.insert(wire.end(), w2.begin(), w2.end());
    ASSERT_TRUE(phone.write_all(wire.data(), wire.size()));
    uint8_t buf[16];
    EXPECT_EQ(s->TakeFrame(buf, sizeof buf), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), reply);
    EXPECT_GT(s->LastActivity(), 0u);
    s->Close(0);
    ASSERT_EQ(::chdir(old), 0);
    // The text frame went to the service's log, not to the caller.
    bool found = false;
    for (auto& day : std::filesystem::directory_iterator(cwd.path() + "/log")) {
        std::ifstream f(day.path() / "00_TransService.log.log");
        std::string line((std::istreambuf_iterator<char>(f)), {});
        found = found || line.find("E>hi") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

// The reader reads what the frame node has room for: a burst that runs past a full-size frame
// and across many small ones is taken in pieces that end anywhere, and arrives whole, in order.
TEST_F(Service, ABurstOfFramesLargerThanAFrameArrivesWholeAndInOrder) {
    auto s = open_service(true);
    ASSERT_EQ(last_open, 0);
    s->SetOverlapTimeout(5000);
    std::vector<Bytes> packets;
    Bytes big(quillon::kFrameMax - 2); // the largest packet a frame holds with its FCS
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7); // escapes included
    packets.push_back(big);
    for (int i = 0; i < 40; ++i)
        packets.push_back(Bytes(static_cast<size_t>(100 + i), static_cast<uint8_t>(0x7B + i)));
    big[0] = 0x11;
    packets.push_back(big);
    Bytes wire;
    for (const auto& p : packets) {
        Bytes f = linktest::framed(p);
        wire.insert(wire.end(), f.begin(), f.end());
    }
    std::thread writer([&] { EXPECT_TRUE(phone.write_all(wire.data(), wire.size())); });
    Bytes buf(quillon::kFrameMax);
    for (size_t i = 0; i < packets.size(); ++i) {
        const int n = s->TakeFrame(buf.data(), static_cast<int>(buf.size()));
        ASSERT_EQ(n, static_cast<int>(packets[i].size())) << "packet " << i;
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), packets[i]) << "packet " << i;
    }
    writer.join();
    EXPECT_TRUE(s->Check(1));
}

TEST_F(Service, DiagPortsRunThePollerAndPlainOnesDoNot) {
    const int base = linktest::thread_count();
    {
        auto plain = open_service(false);
        ASSERT_EQ(last_open, 0);
        EXPECT_FALSE(plain->HasPoller());
        EXPECT_EQ(plain->LiveThreads(), 2);
        EXPECT_EQ(linktest::thread_count(), base + 2);
    }
    EXPECT_EQ(linktest::thread_count(), base);
    {
        auto diag = open_service(true);
        ASSERT_EQ(last_open, 0);
        EXPECT_TRUE(diag->HasPoller());
        EXPECT_EQ(diag->LiveThreads(), 3);
        EXPECT_EQ(linktest::thread_count(), base + 3);
        EXPECT_EQ(diag->Close(0), 0);
        EXPECT_EQ(linktest::wait_threads_at_most(base, 2s), base);
        EXPECT_EQ(diag->LiveThreads(), 0);
    }
}

TEST_F(Service, HangUpTearsTheLinkDownOnItsOwn) {
    for (bool diag : {false, true}) {
        ASSERT_TRUE(phone.open());
        const int base = linktest::thread_count();
        auto s = open_service(diag);
        ASSERT_EQ(last_open, 0);
        s->SetOverlapTimeout(60000);
        std::atomic<int> taken{1};
        std::thread waiter([&] {
            uint8_t b[8];
            taken = s->TakeFrame(b, sizeof b);
        });
        phone.close();
        EXPECT_LE(linktest::wait_threads_at_most(base + 1, 5s), base + 1) << "diag " << diag;
        waiter.join();
        EXPECT_LT(taken.load(), 0) << "a waiting receive is released";
        EXPECT_FALSE(s->Check(1));
        EXPECT_EQ(s->LiveThreads(), 0);
        EXPECT_EQ(s->Close(0), quillon::ERR_PORT_NOT_OPEN);
    }
}

TEST_F(Service, CloseReleasesAWriterBlockedOnAFullLine) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    Bytes big(256 * 1024, 0x55); // far more than the pty holds; the phone reads nothing
    std::atomic<int> written{-1};
    std::thread writer([&] { written = s->RawWrite(big.data(), static_cast<int>(big.size())); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(s->Close(0), 0);
    writer.join();
    EXPECT_GT(written.load(), 0);
    EXPECT_LT(written.load(), static_cast<int>(big.size()));
}

TEST_F(Service, AWriteThatMakesNoProgressGivesUpWithAShortCount) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    Bytes big(256 * 1024, 0x55);
    auto t0 = std::chrono::steady_clock::now();
    int n = s->RawWrite(big.data(), static_cast<int>(big.size()));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    // More than 20 empty passes of the 200 ms write time-out.
    EXPECT_GE(took, 20 * 200ms);
    EXPECT_TRUE(s->Check(1)) << "a slow phone does not close the port";
}

TEST_F(Service, ReopeningAfterAHangUpWorks) {
    auto s = open_service();
    ASSERT_EQ(last_open, 0);
    phone.close();
    auto end = std::chrono::steady_clock::now() + 5s;
    while (s->LiveThreads() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    ASSERT_FALSE(s->Check(1));
    ASSERT_TRUE(phone.open());
    PortHandle h = 0;
    ASSERT_EQ(s->OpenPath(1, 7, 0, phone.slave_path(), false, h), 0);
    s->SetOverlapTimeout(5000);
    Bytes wire = linktest::framed({0x10, 0x20});
    ASSERT_TRUE(phone.write_all(wire.data(), wire.size()));
    uint8_t buf[8];
    EXPECT_EQ(s->TakeFrame(buf, sizeof buf), 2);
}

TEST(SerialPort, RawModeWithTheLineSettings) {
    tw::PtyMaster m;
    ASSERT_TRUE(m.open());
    int err = 0;
    int fd = tw::serial_open(m.slave_path(), err);
    ASSERT_GE(fd, 0) << err;
    tw::LineSettings s;
    s.baud = 115200;
    ASSERT_TRUE(tw::serial_configure(fd, s));
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INPCK), 0u);
    EXPECT_NE(t.c_iflag & IXOFF, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    s.baud = 9600;
    s.byte_size = 7;
    s.parity = 2;
    s.stop_bits = 2;
    ASSERT_TRUE(tw::serial_configure(fd, s));
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    // A pty always keeps 8 bits without parity; the rate and the stop bits stick.
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    for (auto bad : {tw::LineSettings{12345, 8, 0, 0}, tw::LineSettings{9600, 4, 0, 0},
                     tw::LineSettings{9600, 8, 5, 0}, tw::LineSettings{9600, 8, 0, 3}})
        EXPECT_FALSE(tw::serial_configure(fd, bad));

    // A second open of a held port is refused, even for root.
    int err2 = 0;
    EXPECT_EQ(tw::serial_open(m.slave_path(), err2), -1);
    EXPECT_EQ(err2, tw::kSerialErrorInUse);
    tw::serial_close(fd);
    fd = tw::serial_open(m.slave_path(), err2);
    EXPECT_GE(fd, 0) << "free again once closed";
    tw::serial_close(fd);
}

TEST(SerialPort, PollEventWakesWaitersAndClosesWhenTheLastOneLeaves) {
    tw::PollEvent ev;
    ASSERT_TRUE(ev.create());
    EXPECT_FALSE(ev.wait(std::chrono::milliseconds(1)));
    std::thread t([&] { EXPECT_TRUE(ev.wait(std::chrono::nanoseconds{-1})); });
    std::this_thread::sleep_for(20ms);
    ev.set();
    t.join();
    EXPECT_TRUE(ev.is_set());
    ev.reset();
    EXPECT_FALSE(ev.wait(std::chrono::milliseconds(1)));

    int fd = ev.acquire();
    ASSERT_GE(fd, 0);
    ev.close();
    EXPECT_FALSE(ev.exists());
    EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC) << "still held by a waiter";
    ev.release();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "released with the last waiter";
    EXPECT_TRUE(ev.wait(std::chrono::milliseconds(1))) << "a gone event does not block";
}

} // namespace
