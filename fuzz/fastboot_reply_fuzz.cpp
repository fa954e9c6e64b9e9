// Fastboot replies from a device that may say anything: a flash reported done means the device
// was sent the whole image after a download command of its size and then told to flash it;
// a device value passed on is printable; a link out of step stays out of step and silent.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fastboot/protocol.h"
#include "fuzz/fuzz_input.h"

namespace fb = tw::fastboot;

namespace {

class ScriptedDevice : public fb::Transport {
  public:
    std::deque<std::vector<uint8_t>> replies;
    std::vector<std::string> sent; // every packet written, commands and data chunks alike

    int write(const uint8_t* data, size_t len, fb::Deadline) override {
        sent.emplace_back(reinterpret_cast<const char*>(data), len);
        return fb::kOk;
    }
    int read(uint8_t* buf, size_t cap, fb::Deadline) override {
        if (replies.empty()) return fb::kErrTimeout;
        std::vector<uint8_t> r = std::move(replies.front());
        replies.pop_front();
        if (r.size() > cap) return fb::kErrProtocol;
        std::copy(r.begin(), r.end(), buf);
        return static_cast<int>(r.size());
    }
    void cancel() override {}
    size_t max_write() const override { return 700; }
    std::string last_error() const override { return "scripted"; }
};

bool Printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7f;
    });
}

// What the device received from `from` on proves the flash: "download:<size>", exactly the
// image's bytes, then "flash:<partition>".
bool DeviceGotImage(const ScriptedDevice& d, size_t from, const std::string& part,
                    const std::vector<uint8_t>& image) {
    char cmd[24];
    std::snprintf(cmd, sizeof cmd, "download:%08x", static_cast<unsigned>(image.size()));
    size_t i = from;
    while (i < d.sent.size() && d.sent[i] != cmd)
        ++i;
    if (i == d.sent.size()) return false;
    std::string data;
    for (++i; i < d.sent.size() && data.size() < image.size(); ++i)
        data += d.sent[i];
    return data == std::string(image.begin(), image.end()) && i + 1 == d.sent.size() &&
           d.sent[i] == "flash:" + part;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    std::vector<uint8_t> image(1 + in.upto(2000));
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    ScriptedDevice dev;
    while (!in.empty())
        dev.replies.push_back(in.bytes(in.upto(300)));

    fb::Protocol p(dev, fb::Timeouts{});
    auto step = [&](auto call) {
        const bool was_broken = p.broken();
        const size_t before = dev.sent.size();
        const int rc = call();
        if (was_broken) FUZZ_CHECK(rc == fb::kErrBroken && dev.sent.size() == before);
        for (size_t i = before; i < dev.sent.size(); ++i)
            if (dev.sent[i].rfind("download:", 0) == 0 || dev.sent[i].rfind("getvar:", 0) == 0)
                FUZZ_CHECK(dev.sent[i].size() <= fb::kMaxCommand);
        FUZZ_CHECK(rc == fb::kOk || !p.last_error().empty());
        return rc;
    };

    std::string value;
    if (step([&] { return p.getvar("product", value); }) == fb::kOk) FUZZ_CHECK(Printable(value));
    for (const char* part : {"boot", "system"}) {
        const size_t from = dev.sent.size();
        if (step([&] {
                return p.flash(part, image.data(), static_cast<uint32_t>(image.size()), nullptr,
                               nullptr);
            }) == fb::kOk)
            FUZZ_CHECK(DeviceGotImage(dev, from, part, image));
    }
    step([&] { return p.reboot(); });
    return 0;
}
