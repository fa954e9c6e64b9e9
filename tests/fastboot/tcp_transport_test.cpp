// The TCP transport against a loopback server written here, byte by byte: the handshake, the
// length-prefixed packets, and a peer that misbehaves, goes quiet or goes away.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "fastboot/transport_tcp.h"
#include "platform/clock.h"

using namespace tw::fastboot;

namespace {

// Accepts one connection and runs the given script on it in a thread.
class Server {
  public:
    explicit Server(std::function<void(int fd)> script) : script_(std::move(script)) {
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(lfd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                script_(fd);
                ::close(fd);
            }
        });
    }
    ~Server() {
        ::shutdown(lfd_, SHUT_RDWR); // releases accept when no client came
        thread_.join();
        ::close(lfd_);
    }
    uint16_t port = 0;

  private:
    std::function<void(int)> script_;
    int lfd_;
    std::thread thread_;
};

std::string recv_n(int fd, size_t n) {
    std::string s(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t k = ::recv(fd, s.data() + got, n - got, 0);
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    s.resize(got);
    return s;
}
void send_s(int fd, const std::string& s) {
    ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
}
std::string be64(uint64_t v) {
    std::string s(8, '\0');
    for (int i = 7; i >= 0; --i, v >>= 8)
        s[i] = static_cast<char>(v & 0xFF);
    return s;
}
// Handshakes as a device and returns whether the host said FB01.
bool device_hello(int fd, const std::string& answer = "FB01") {
    bool ok = recv_n(fd, 4) == "FB01";
    send_s(fd, answer);
    return ok;
}

class TcpTest : public ::testing::Test {
  protected:
    void SetUp() override { tw::clock::set_scale(0.01); }
    void TearDown() override { tw::clock::set_scale(1.0); }
    std::unique_ptr<TcpTransport> connect(uint16_t port) {
        err.clear();
        return TcpTransport::connect("127.0.0.1", port, 5000, err);
    }
    static Deadline soon(int64_t nominal_ms = 5000) {
        return tw::clock::deadline_after_ms(nominal_ms);
    }
    static double since(std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    std::string err;
};

TEST_F(TcpTest, PacketsAreLengthPrefixedBigEndianBothWays) {
    std::string seen;
    bool hello = false;
    Server s([&](int fd) {
        hello = device_hello(fd);
        seen = recv_n(fd, 8 + 15);
        // A reply whose header and body arrive in pieces, then an empty packet, then one more.
        std::string r = be64(4) + "OKAY";
        for (char c : r) {
            send_s(fd, std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        send_s(fd, be64(0) + be64(6) + "INFOhi");
        recv_n(fd, 1); // hold the connection until the client closes
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    const std::string cmd = "getvar:version";
    ASSERT_EQ(t->write(reinterpret_cast<const uint8_t*>((cmd + "X").data()), 15, soon()), kOk);
    uint8_t buf[256];
    EXPECT_EQ(t->read(buf, sizeof buf, soon()), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "OKAY");
    EXPECT_EQ(t->read(buf, sizeof buf, soon()), 0);
    EXPECT_EQ(t->read(buf, sizeof buf, soon()), 6);
    t.reset();
    EXPECT_TRUE(hello);
    EXPECT_EQ(seen, std::string("\0\0\0\0\0\0\0\x0f", 8) + "getvar:versionX");
}

TEST_F(TcpTest, Handshake) {
    {
        Server s([](int fd) { device_hello(fd, "FB02"); }); // a newer device talks version 1
        EXPECT_TRUE(connect(s.port)) << err;
    }
    for (std::string bad : {"XX01", "FB00", "FBx1"}) {
        Server s([&](int fd) { device_hello(fd, bad); });
        EXPECT_FALSE(connect(s.port)) << bad;
        EXPECT_NE(err.find("handshake"), std::string::npos) << err;
    }
    {
        // A device that accepts the connection and never answers: bounded by the time-out.
        Server s([](int fd) { recv_n(fd, 5); });
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(connect(s.port));
        EXPECT_LT(since(t0), 5.0);
    }
    {
        // Nobody listening.
        uint16_t port;
        {
            Server s([](int) {});
            port = s.port;
        }
        EXPECT_FALSE(connect(port));
        EXPECT_FALSE(err.empty());
    }
}

TEST_F(TcpTest, OverLongPacketIsRefusedAndTheStreamIsGivenUp) {
    Server s([](int fd) {
        device_hello(fd);
        send_s(fd, be64(257) + std::string(257, 'I'));
        send_s(fd, be64(4) + "OKAY");
        recv_n(fd, 1);
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    uint8_t buf[256];
    EXPECT_EQ(t->read(buf, sizeof buf, soon()), kErrProtocol);
    EXPECT_NE(t->last_error().find("257"), std::string::npos);
    // The body is still in the stream: nothing after it can be trusted.
    EXPECT_EQ(t->read(buf, sizeof buf, soon()), kErrIo);
    EXPECT_EQ(t->write(buf, 1, soon()), kErrIo);
}

TEST_F(TcpTest, PeerClosingMidPacketFailsAtOnce) {
    Server s([](int fd) {
        device_hello(fd);
        send_s(fd, be64(10) + "OKA");
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    uint8_t buf[256];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(t->read(buf, sizeof buf, soon(600000)), kErrIo);
    EXPECT_LT(since(t0), 2.0); // long before the ten-minute deadline
    EXPECT_NE(t->last_error().find("closed"), std::string::npos) << t->last_error();
}

TEST_F(TcpTest, SilentPeerTimesOut) {
    Server s([](int fd) {
        device_hello(fd);
        recv_n(fd, 1 << 20);
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    uint8_t buf[256];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(t->read(buf, sizeof buf, soon(30000)), kErrTimeout); // 300 ms at this scale
    double waited = since(t0);
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 5.0);
}

TEST_F(TcpTest, PeerThatStopsReadingTimesOutTheWrite) {
    std::atomic<bool> done{false};
    Server s([&](int fd) {
        device_hello(fd);
        recv_n(fd, 1000); // then reads nothing more
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    std::vector<uint8_t> big(32u << 20, 0x5A); // more than the socket buffers hold
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(t->write(big.data(), big.size(), soon(30000)), kErrTimeout);
    EXPECT_LT(since(t0), 5.0);
    // Half a packet went out: the stream is out of step for good.
    EXPECT_EQ(t->write(big.data(), 1, soon()), kErrIo);
    done = true;
}

TEST_F(TcpTest, CancelFromAnotherThreadEndsAWaitPromptly) {
    tw::clock::set_scale(1.0);
    Server s([](int fd) {
        device_hello(fd);
        recv_n(fd, 1);
    });
    auto t = connect(s.port);
    ASSERT_TRUE(t) << err;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        t->cancel();
    });
    uint8_t buf[256];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(t->read(buf, sizeof buf, soon(60000)), kErrCancelled);
    EXPECT_LT(since(t0), 5.0);
    canceller.join();
    EXPECT_EQ(t->write(buf, 1, soon()), kErrCancelled);
}

TEST(TcpName, Parse) {
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(parse_tcp_name("tcp:127.0.0.1:6000", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 6000);
    EXPECT_TRUE(parse_tcp_name("tcp:localhost", host, port));
    EXPECT_EQ(port, 5554);
    EXPECT_TRUE(parse_tcp_name("tcp:[::1]:7000", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 7000);
    for (const char* bad : {"tcp:", "tcp::5554", "tcp:h:", "tcp:h:0", "tcp:h:65536", "tcp:h:12x",
                            "tcp:::1:5", "tcp:[::1", "tcp:[::1]x", "usb:1-1", "127.0.0.1:5554"})
        EXPECT_FALSE(parse_tcp_name(bad, host, port)) << bad;
}

} // namespace
