// The DIAG exchange routine and the IMEI read of a module, over a pty standing in for the phone.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/flashboot.h"
#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "tests/common/pty_framer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The phone end: decodes each request (dropping the raw "AT$QCDMG\r" and the flag after it that a
// port open sends first) and answers through a function of the request; no answer when it
// returns nothing.
class PtyPhone {
  public:
    using Answerer = std::function<std::optional<Bytes>(const Bytes&)>;

    explicit PtyPhone(int com) {
        char tmpl[] = "/tmp/tw_diag_XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "";
        if (!pty_.open()) return;
        std::ofstream(dir_ + "/phone.dev")
            << "[device]\nkind=serial\ncom=" << com << "\npath=" << pty_.slave_path()
            << "\ndiag=1\nfriendly=Qualcomm HS-USB Diagnostics 9025 (COM" << com << ")\n";
        ::setenv("TARNWELL_DEVICE_DIR", dir_.c_str(), 1);
        framer_ = std::make_unique<Framer>(pty_.fd());
        thread_ = std::thread([this] { Loop(); });
    }
    ~PtyPhone() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        pty_.close();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void SetAnswerer(Answerer a) {
        std::lock_guard<std::mutex> g(m_);
        answerer_ = std::move(a);
    }
    // Sends a frame the host never asked for.
    void Push(const Bytes& frame) {
        framer_->FrameWrite(frame.data(), static_cast<int>(frame.size()));
    }
    std::vector<Bytes> Requests() {
        std::lock_guard<std::mutex> g(m_);
        return requests_;
    }
    // The raw bytes of the last request as they came over the line.
    Bytes LastWire() {
        std::lock_guard<std::mutex> g(m_);
        return last_wire_;
    }

  private:
    using Framer = twtest::PtyFramer;

    void Loop() {
        Bytes buf(65536), frame(quillon::kFrameMax), wire;
        while (!stop_) {
            long n = pty_.read_some(buf.data(), buf.size(), std::chrono::milliseconds(20));
            if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5)); // no slave yet
            if (n <= 0) continue;
            Bytes chunk(buf.begin(), buf.begin() + n);
            static const std::string kAt = "AT$QCDMG\r\x7E";
            std::string text(chunk.begin(), chunk.end());
            if (size_t p = text.find(kAt); p != std::string::npos)
                chunk.erase(chunk.begin() + static_cast<long>(p),
                            chunk.begin() + static_cast<long>(p + kAt.size()));
            wire.insert(wire.end(), chunk.begin(), chunk.end());
            framer_->DecodeBytes(chunk.data(), static_cast<int>(chunk.size()));
            for (;;) {
                int len = framer_->TakeFrame(frame.data(), static_cast<int>(frame.size()));
                if (len <= 0) break;
                Bytes req(frame.begin(), frame.begin() + len);
                std::optional<Bytes> reply;
                {
                    std::lock_guard<std::mutex> g(m_);
                    requests_.push_back(req);
                    last_wire_ = wire;
                    wire.clear();
                    if (answerer_) reply = answerer_(req);
                }
                if (reply) framer_->FrameWrite(reply->data(), static_cast<int>(reply->size()));
            }
        }
    }

    std::string dir_;
    tw::PtyMaster pty_;
    std::unique_ptr<Framer> framer_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    Answerer answerer_;
    std::vector<Bytes> requests_;
    Bytes last_wire_;
};

// An NV read reply echoing the request with this data.
Bytes NvReply(const Bytes& req, const uint8_t* data128, uint16_t status = 0) {
    Bytes a(133, 0);
    std::copy(req.begin(), req.begin() + 3, a.begin());
    std::memcpy(&a[3], data128, 128);
    a[131] = static_cast<uint8_t>(status);
    return a;
}

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override { tw::clock::set_scale(0.01); }
    void TearDown() override { tw::clock::set_scale(1.0); }
};

TEST_F(Exchange, RequestGoesOutWithoutItsLastByteAndAStaleAnswerIsDiscarded) {
    PtyPhone phone(41);
    Flashboot* m = CreateModule(41, 1, nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(m->hComHandle, INVALID_PORT_HANDLE);
    phone.Push({0x26, 0x99, 0x00, 0xEE}); // left over from nothing we asked
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint8_t data[128];
    for (int i = 0; i < 128; ++i)
        data[i] = static_cast<uint8_t>(i);
    phone.SetAnswerer([&](const Bytes& r) { return NvReply(r, data); });

    uint8_t req[133] = {0x26, 0x0A, 0x00};
    uint8_t ans[256] = {};
    EXPECT_EQ(m->Diag_Service_RequestAndResponse(req, 133, ans, 256), 0);
    EXPECT_EQ(ans[1], 0x0A); // this item's answer, not the stale one
    EXPECT_EQ(ans[3 + 127], 127);
    auto reqs = phone.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0], Bytes(req, req + 132));
    Bytes wire = phone.LastWire();
    ASSERT_FALSE(wire.empty());
    EXPECT_NE(wire.front(), 0x7E); // no opening flag
    EXPECT_EQ(wire.back(), 0x7E);

    // A whole-packet read (size 0) makes every completed exchange report -11301.
    std::vector<uint8_t> big(quillon::kFrameMax);
    uint16_t got = 0;
    EXPECT_EQ(m->Diag_Service_RequestAndResponse(req, 133, big.data(), 0, &got), -11301);
    EXPECT_EQ(got, 133);
    // A 300-byte answer into 256 bytes: the link hands over the first 256.
    phone.SetAnswerer([](const Bytes&) { return Bytes(300, 0x5A); });
    std::memset(ans, 0, sizeof ans);
    EXPECT_EQ(m->Diag_Service_RequestAndResponse(req, 133, ans, 256, &got), 0);
    EXPECT_EQ(got, 256);
    EXPECT_EQ(ans[255], 0x5A);
    DeleteModule(m);
}

// No pause by default; one set for a module, or as the default of new modules, comes between
// the request and the read of its answer, and the answer is still taken.
TEST_F(Exchange, ThePauseSetForAModuleOrAsTheDefaultComesBeforeTheRead) {
    PtyPhone phone(44);
    uint8_t data[128] = {};
    phone.SetAnswerer([&](const Bytes& r) { return NvReply(r, data); });
    uint8_t req[133] = {0x26, 0x0A, 0x00};
    uint8_t ans[256] = {};
    auto timed = [&](Flashboot* m) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(m->Diag_Service_RequestAndResponse(req, 133, ans, 256), 0);
        EXPECT_EQ(ans[1], 0x0A);
        return std::chrono::steady_clock::now() - t0;
    };
    Flashboot* m = CreateModule(44, 1, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->DiagPauseMs(), 0);
    m->SetDiagPauseMs(30000); // 300 ms at this scale
    EXPECT_GE(timed(m), std::chrono::milliseconds(300));
    m->SetDiagPauseMs(-5);
    EXPECT_EQ(m->DiagPauseMs(), 0);
    DeleteModule(m);

    Flashboot::SetDefaultDiagPauseMs(30000);
    m = CreateModule(44, 1, nullptr);
    Flashboot::SetDefaultDiagPauseMs(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->DiagPauseMs(), 30000);
    EXPECT_GE(timed(m), std::chrono::milliseconds(300));
    DeleteModule(m);
}

TEST_F(Exchange, SilentPhoneGivesMinusOneAndLeavesTheBufferAlone) {
    PtyPhone phone(42);
    Flashboot* m = CreateModule(42, 1, nullptr);
    ASSERT_NE(m, nullptr);
    uint8_t req[133] = {0x26, 0x26, 0x02};
    uint8_t ans[256];
    std::memset(ans, 0xAB, sizeof ans);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m->Diag_Service_RequestAndResponse(req, 133, ans, 256), -1);
    // The 60 s read time-out, scaled.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(550));
    for (uint8_t b : ans)
        ASSERT_EQ(b, 0xAB);

    char buf[16] = "untouched";
    char* p = buf;
    EXPECT_EQ(m->GetIMEI(&p), 0);
    EXPECT_STREQ(buf, "");
    DeleteModule(m);
}

TEST_F(Exchange, ImeiReadAcceptsOnlyAnItem550Reply) {
    PtyPhone phone(43);
    Flashboot* m = CreateModule(43, 1, nullptr);
    ASSERT_NE(m, nullptr);
    uint8_t item[128] = {0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81};
    phone.SetAnswerer([&](const Bytes& r) { return NvReply(r, item); });
    char buf[16] = {};
    char* p = buf;
    EXPECT_EQ(m->GetIMEI(&p), 1);
    EXPECT_STREQ(buf, "490154203237518");
    Bytes expect(132, 0);
    expect[0] = 0x26;
    expect[1] = 0x26;
    expect[2] = 0x02;
    EXPECT_EQ(phone.Requests().back(), expect);

    // Another item's answer, or an error answer, is no IMEI.
    phone.SetAnswerer([&](const Bytes& r) {
        Bytes other = r;
        other[1] = 0x27;
        return NvReply(other, item);
    });
    EXPECT_EQ(m->GetIMEI(&p), 0);
    phone.SetAnswerer([&](const Bytes& r) {
        Bytes e{0x13};
        e.insert(e.end(), r.begin(), r.end());
        return e;
    });
    EXPECT_EQ(m->GetIMEI(&p), 0);
    // The item never written: a reply, but blank.
    phone.SetAnswerer([&](const Bytes& r) {
        uint8_t zero[128] = {};
        return NvReply(r, zero, 5);
    });
    EXPECT_EQ(m->GetIMEI(&p), 2);
    EXPECT_STREQ(buf, "000000000000000");
    DeleteModule(m);
}

} // namespace
