// The fastboot protocol on a scripted transport: every byte the protocol sends is recorded, every
// reply comes from the script, and the link can go silent or vanish at a chosen byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "fastboot/image.h"
#include "fastboot/protocol.h"
#include "platform/clock.h"

namespace fs = std::filesystem;
using namespace tw::fastboot;

namespace {

class ScriptedTransport : public Transport {
  public:
    // What a read returns next: a packet, or the link going silent or away.
    struct Step {
        enum Kind { Packet, Silent, Vanish } kind = Packet;
        std::string bytes;
    };
    std::deque<Step> replies;
    // Packets written, as text (commands) and with their pointers (data chunks).
    std::vector<std::string> written;
    std::vector<const uint8_t*> pointers;
    size_t chunk = 1 << 20;
    // Data writes beyond this many bytes in all go silent (block to the deadline) or vanish.
    int64_t limit = -1;
    Step::Kind at_limit = Step::Silent;
    int64_t total = 0;
    // Endless INFO replies, for a device that never finishes a command.
    bool chatter = false;

    void reply(std::string s) { replies.push_back({Step::Packet, std::move(s)}); }

    int write(const uint8_t* data, size_t len, Deadline deadline) override {
        if (limit >= 0 && total + static_cast<int64_t>(len) > limit) {
            if (at_limit == Step::Vanish) return fail(kErrIo, "device unplugged");
            block_until(deadline);
            return fail(kErrTimeout, "timed out");
        }
        total += static_cast<int64_t>(len);
        written.emplace_back(reinterpret_cast<const char*>(data), len);
        pointers.push_back(data);
        return kOk;
    }

    int read(uint8_t* buf, size_t cap, Deadline deadline) override {
        if (chatter) {
            block_until(
                std::min(deadline, tw::clock::Steady::now() + std::chrono::milliseconds(2)));
            std::memcpy(buf, "INFOstill busy", 14);
            return 14;
        }
        if (replies.empty()) {
            block_until(deadline);
            return fail(kErrTimeout, "timed out");
        }
        Step s = replies.front();
        replies.pop_front();
        if (s.kind == Step::Silent) {
            block_until(deadline);
            return fail(kErrTimeout, "timed out");
        }
        if (s.kind == Step::Vanish) return fail(kErrIo, "device unplugged");
        if (s.bytes.size() > cap) return fail(kErrProtocol, "reply too long");
        std::memcpy(buf, s.bytes.data(), s.bytes.size());
        return static_cast<int>(s.bytes.size());
    }

    void cancel() override {}
    size_t max_write() const override { return chunk; }
    std::string last_error() const override { return error_; }

  private:
    int fail(int code, std::string e) {
        error_ = std::move(e);
        return code;
    }
    void block_until(Deadline d) {
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock<std::mutex> g(m);
        cv.wait_until(g, d, [] { return false; });
    }
    std::string error_;
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((i * 131 + 7) >> 3);
    return v;
}

struct Progress {
    std::vector<int64_t> calls;
    int64_t sum() const { return std::accumulate(calls.begin(), calls.end(), int64_t{0}); }
    static void fn(void* ctx, int64_t bytes) {
        static_cast<Progress*>(ctx)->calls.push_back(bytes);
    }
};

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override { tw::clock::set_scale(0.01); }
    void TearDown() override { tw::clock::set_scale(1.0); }

    Protocol make(Timeouts to = {}) {
        return Protocol(t, to, [this](const std::string& l) { log.push_back(l); });
    }
    double seconds_since(std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }

    ScriptedTransport t;
    std::vector<std::string> log;
};

TEST_F(ProtocolTest, FlashSendsTheExchangeInOrderStraightFromTheImage) {
    auto img = pattern(10000);
    t.chunk = 4096;
    t.reply("OKAY0x00100000");
    t.reply("DATA00002710");
    t.reply("INFOwriting to RAM");
    t.reply(""); // an empty packet is ignored
    t.reply("OKAY");
    t.reply("INFOerasing boot");
    t.reply(std::string("TEXTsome text\n", 14));
    t.reply("OKAY");
    Progress p;
    auto proto = make();
    ASSERT_EQ(proto.flash("boot", img.data(), 10000, Progress::fn, &p), kOk) << proto.last_error();

    ASSERT_EQ(t.written.size(), 6u);
    EXPECT_EQ(t.written[0], "getvar:max-download-size");
    EXPECT_EQ(t.written[1], "download:00002710");
    EXPECT_EQ(t.written[5], "flash:boot");
    // The data goes out in transport-sized chunks, each pointing into the caller's image.
    std::string data = t.written[2] + t.written[3] + t.written[4];
    EXPECT_EQ(data, std::string(img.begin(), img.end()));
    EXPECT_EQ(t.pointers[2], img.data());
    EXPECT_EQ(t.pointers[3], img.data() + 4096);
    EXPECT_EQ(t.pointers[4], img.data() + 8192);
    EXPECT_EQ(p.calls, (std::vector<int64_t>{4096, 4096, 1808}));

    EXPECT_EQ(log, (std::vector<std::string>{"(bootloader) writing to RAM",
                                             "(bootloader) erasing boot", "some text"}));
    EXPECT_FALSE(proto.broken());
}

TEST_F(ProtocolTest, GetvarValuesAndUnknownVariables) {
    t.reply("OKAY0.4");
    t.reply("FAILunknown variable");
    t.reply("OKAYSIM123");
    auto proto = make();
    std::string v;
    EXPECT_EQ(proto.getvar("version", v), kOk);
    EXPECT_EQ(v, "0.4");
    EXPECT_EQ(proto.getvar("has-slot:boot", v), kErrDeviceFail);
    EXPECT_NE(proto.last_error().find("unknown variable"), std::string::npos);
    // A FAIL leaves the conversation in step.
    EXPECT_FALSE(proto.broken());
    EXPECT_EQ(proto.getvar("serialno", v), kOk);
    EXPECT_EQ(v, "SIM123");
    EXPECT_EQ(t.written, (std::vector<std::string>{"getvar:version", "getvar:has-slot:boot",
                                                   "getvar:serialno"}));
}

TEST_F(ProtocolTest, FailCarriesTheDeviceMessageAndTheSamePartitionCanBeRetried) {
    auto img = pattern(300);
    t.reply("OKAY4096");
    t.reply("DATA0000012c");
    t.reply("OKAY");
    t.reply("FAILflash write failure");
    auto proto = make();
    Progress p;
    EXPECT_EQ(proto.flash("system", img.data(), 300, Progress::fn, &p), kErrDeviceFail);
    EXPECT_NE(proto.last_error().find("flash write failure"), std::string::npos);
    EXPECT_NE(std::find(log.begin(), log.end(), proto.last_error()), log.end());

    t.written.clear();
    t.reply("OKAY4096");
    t.reply("DATA0000012c");
    t.reply("OKAY");
    t.reply("OKAY");
    EXPECT_EQ(proto.flash("system", img.data(), 300, Progress::fn, &p), kOk);
    EXPECT_EQ(t.written.back(), "flash:system");
    EXPECT_EQ(p.sum(), 600);

    // A device that refuses the download itself.
    t.reply("OKAY4096");
    t.reply("FAILout of memory");
    EXPECT_EQ(proto.flash("system", img.data(), 300, Progress::fn, &p), kErrDeviceFail);
    EXPECT_NE(proto.last_error().find("out of memory"), std::string::npos);
}

TEST_F(ProtocolTest, ImageLargerThanMaxDownloadSizeFailsBeforeAnythingIsSent) {
    auto img = pattern(5000);
    t.reply("OKAY0x1000");
    auto proto = make();
    Progress p;
    EXPECT_EQ(proto.flash("userdata", img.data(), 5000, Progress::fn, &p), kErrTooLarge);
    EXPECT_EQ(t.written, (std::vector<std::string>{"getvar:max-download-size"}));
    EXPECT_TRUE(p.calls.empty());
    EXPECT_NE(proto.last_error().find("4096"), std::string::npos);
    EXPECT_FALSE(proto.broken());

    // Exactly the limit is fine, in decimal too.
    t.reply("OKAY5000");
    t.reply("DATA00001388");
    t.reply("OKAY");
    t.reply("OKAY");
    EXPECT_EQ(proto.flash("userdata", img.data(), 5000, Progress::fn, &p), kOk);

    // A value the protocol cannot read is an error, not "no limit".
    t.reply("OKAYlots");
    EXPECT_EQ(proto.flash("userdata", img.data(), 5000, Progress::fn, &p), kErrProtocol);
}

TEST_F(ProtocolTest, DeviceWithoutMaxDownloadSizeGetsTheImageAnyway) {
    auto img = pattern(64);
    t.reply("FAILunknown variable");
    t.reply("DATA00000040");
    t.reply("OKAY");
    t.reply("OKAY");
    auto proto = make();
    EXPECT_EQ(proto.flash("cache", img.data(), 64, nullptr, nullptr), kOk);
    EXPECT_EQ(t.written.back(), "flash:cache");
}

TEST_F(ProtocolTest, RepliesThatBreakTheProtocol) {
    auto img = pattern(16);
    {
        // DATA announcing another size: the device now waits for bytes we will not send.
        ScriptedTransport& s = t;
        s.reply("OKAY0x100");
        s.reply("DATA00000020");
        auto proto = make();
        EXPECT_EQ(proto.flash("boot", img.data(), 16, nullptr, nullptr), kErrProtocol);
        EXPECT_TRUE(proto.broken());
        size_t before = s.written.size();
        std::string v;
        EXPECT_EQ(proto.getvar("version", v), kErrBroken);
        EXPECT_EQ(s.written.size(), before) << "nothing is sent on a link out of step";
    }
    for (std::string bad : {"DATA1234", "DATA0000001g", "OKAY"}) {
        ScriptedTransport s;
        s.reply("OKAY0x100");
        s.reply(bad);
        Protocol proto(s);
        EXPECT_EQ(proto.flash("boot", img.data(), 16, nullptr, nullptr), kErrProtocol) << bad;
    }
    for (std::string bad : {std::string("WHAT"), std::string("OK"), std::string("\x1b[2J", 4)}) {
        ScriptedTransport s;
        s.reply(bad);
        std::vector<std::string> lines;
        Protocol proto(s, {}, [&](const std::string& l) { lines.push_back(l); });
        std::string v;
        EXPECT_EQ(proto.getvar("version", v), kErrProtocol) << bad;
        EXPECT_TRUE(proto.broken());
        // The device's bytes never reach the log raw.
        for (auto& l : lines)
            EXPECT_EQ(l.find('\x1b'), std::string::npos);
    }
}

TEST_F(ProtocolTest, ReplyLengthLimit) {
    // 256 bytes is the most a reply may have; an INFO of exactly that is fine.
    t.reply("INFO" + std::string(252, 'x'));
    t.reply("OKAY1");
    t.reply("OKAY" + std::string(253, 'y'));
    auto proto = make();
    std::string v;
    EXPECT_EQ(proto.getvar("a", v), kOk);
    EXPECT_EQ(log.at(0), "(bootloader) " + std::string(252, 'x'));
    EXPECT_EQ(proto.getvar("b", v), kErrProtocol);
    EXPECT_TRUE(proto.broken());
}

TEST_F(ProtocolTest, CommandsAndPartitionNamesAreChecked) {
    auto proto = make();
    std::string v;
    EXPECT_EQ(proto.getvar(std::string(60, 'v'), v), kErrArgument); // 67 bytes with "getvar:"
    for (std::string name :
         {std::string(), std::string("bo ot"), std::string("boot\n"), std::string(59, 'p')})
        EXPECT_EQ(proto.flash(name, nullptr, 0, nullptr, nullptr), kErrArgument) << name;
    EXPECT_TRUE(t.written.empty());
    EXPECT_FALSE(proto.broken());
}

TEST_F(ProtocolTest, DeviceSilentMidDownloadFailsInBoundedTime) {
    auto img = pattern(100000);
    t.chunk = 16384;
    t.limit = 40000 + 24 + 17; // the two commands, then two chunks get through
    t.reply("OKAY0x100000");
    t.reply("DATA000186a0");
    Progress p;
    auto proto = make();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(proto.flash("system", img.data(), 100000, Progress::fn, &p), kErrTimeout);
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_EQ(p.sum(), 32768);
    EXPECT_NE(proto.last_error().find("byte 32768"), std::string::npos) << proto.last_error();
    EXPECT_TRUE(proto.broken());
}

// A transport that cannot send files itself gets a loaded image through the run's one buffer,
// chunk by chunk; max-download-size is asked once for the device.
TEST_F(ProtocolTest, LoadedImageGoesOutThroughOneBufferAndAShortReadFailsTheFlash) {
    auto img = pattern(100000);
    const fs::path path =
        fs::temp_directory_path() / ("tw_proto_img_" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    Image image;
    ASSERT_EQ(image.load(path.string()), kLoadOk);
    std::vector<uint8_t> buffer(16384);
    ImageSource src(image, buffer.data());
    DownloadLimit limit;
    t.chunk = buffer.size();
    t.reply("OKAY0x100000");
    t.reply("DATA000186a0");
    t.reply("OKAY");
    t.reply("OKAY");
    t.reply("DATA000186a0");
    t.reply("OKAY");
    t.reply("OKAY");
    auto proto = make();
    EXPECT_EQ(proto.flash("boot", src, 100000, nullptr, nullptr, limit), kOk) << proto.last_error();
    EXPECT_EQ(proto.flash("recovery", src, 100000, nullptr, nullptr, limit), kOk);
    std::string sent;
    for (size_t i = 0; i < t.written.size(); ++i) {
        if (t.written[i].rfind("getvar:", 0) == 0) {
            EXPECT_EQ(i, 0u) << "max-download-size asked again";
        }
        if (t.pointers[i] == buffer.data()) sent += t.written[i];
    }
    EXPECT_TRUE(sent == std::string(img.begin(), img.end()) + std::string(img.begin(), img.end()));
    EXPECT_EQ(t.written.back(), "flash:recovery");

    // The file shrinks under the running download: the read fails, nothing is flashed, and the
    // device (still owed bytes) is out of step.
    t.written.clear();
    t.reply("DATA000186a0");
    struct Cut {
        fs::path path;
        int calls = 0;
        static void fn(void* p, int64_t) {
            auto* c = static_cast<Cut*>(p);
            if (c->calls++ == 0) fs::resize_file(c->path, 20000);
        }
    } cut{path};
    EXPECT_EQ(proto.flash("system", src, 100000, Cut::fn, &cut, limit), kErrFileRead);
    EXPECT_NE(proto.last_error().find("ends at byte 20000"), std::string::npos)
        << proto.last_error();
    EXPECT_TRUE(proto.broken());
    for (const auto& w : t.written)
        EXPECT_NE(w, "flash:system");
    fs::remove(path);
}

TEST_F(ProtocolTest, DeviceVanishingMidDownloadFailsAtOnce) {
    auto img = pattern(100000);
    t.chunk = 16384;
    t.limit = 20000;
    t.at_limit = ScriptedTransport::Step::Vanish;
    t.reply("OKAY0x100000");
    t.reply("DATA000186a0");
    auto proto = make();
    EXPECT_EQ(proto.flash("system", img.data(), 100000, nullptr, nullptr), kErrIo);
    EXPECT_NE(proto.last_error().find("unplugged"), std::string::npos) << proto.last_error();
    std::string v;
    EXPECT_EQ(proto.getvar("version", v), kErrBroken);
}

TEST_F(ProtocolTest, SilenceAfterACommandOrAfterTheDataTimesOut) {
    Timeouts to;
    to.response_ms = 30000; // 300 ms at this scale
    to.flash_ms = 60000;
    auto img = pattern(32);
    // No reply at all to the flash command.
    t.reply("OKAY0x100");
    t.reply("DATA00000020");
    t.reply("OKAY");
    auto proto = make(to);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(proto.flash("persist", img.data(), 32, nullptr, nullptr), kErrTimeout);
    double waited = seconds_since(t0);
    EXPECT_GE(waited, 0.5); // the flash time-out, not the shorter response one
    EXPECT_LT(waited, 5.0);
    EXPECT_NE(proto.last_error().find("flash:persist"), std::string::npos);

    // The device vanishes while the host waits for the download's OKAY.
    ScriptedTransport s;
    s.reply("OKAY0x100");
    s.reply("DATA00000020");
    s.replies.push_back({ScriptedTransport::Step::Vanish, {}});
    Protocol p2(s, to);
    EXPECT_EQ(p2.flash("persist", img.data(), 32, nullptr, nullptr), kErrIo);
}

TEST_F(ProtocolTest, EndlessInfoLinesAreCappedByTheCommandLimit) {
    Timeouts to;
    to.command_cap_ms = 30000; // 300 ms at this scale
    t.chatter = true;
    auto proto = make(to);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(proto.reboot(), kErrTimeout);
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_FALSE(log.empty());
}

TEST(ProtocolParse, RepliesAndSizes) {
    auto parse = [](const std::string& s) {
        return parse_reply(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(parse("OKAY").kind, ReplyKind::Okay);
    EXPECT_EQ(parse("FAILno").message, "no");
    EXPECT_EQ(parse(std::string("INFOdone\r\n\0\0", 12)).message, "done");
    EXPECT_EQ(parse("INFOa\tb\x7f").message, "a?b?");
    EXPECT_EQ(parse("DAT").kind, ReplyKind::Unknown);
    EXPECT_EQ(parse("okay").kind, ReplyKind::Unknown);

    uint64_t v = 0;
    EXPECT_TRUE(parse_size("0x10000000", v));
    EXPECT_EQ(v, 0x10000000u);
    EXPECT_TRUE(parse_size("268435456", v));
    EXPECT_EQ(v, 268435456u);
    EXPECT_TRUE(parse_size("0X1f", v));
    EXPECT_EQ(v, 31u);
    EXPECT_TRUE(parse_size("0x100000000", v)); // more than 32 bits: no limit for our images
    for (const char* bad : {"", "0", "0x", "12k", "-1", " 12", "0x1g", "99999999999999999999"})
        EXPECT_FALSE(parse_size(bad, v)) << bad;
}

} // namespace
