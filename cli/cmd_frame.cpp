// `frame`: shows the link framing of a packet, hex in, hex out.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "link/hdlc.h"

namespace {

// A framer that keeps what it would have put on the wire.
class CaptureFramer : public CTransmitHdlc {
public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.insert(wire.end(), d, d + n);
        return n;
    }
    std::vector<uint8_t> wire;
};

std::string hex(const std::vector<uint8_t>& v) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < v.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", v[i]);
        s += buf;
    }
    return s;
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    std::vector<uint8_t> packet;
    for (const auto& a : args) {
        long long v = 0;
        if (a.size() > 2 || !cli::parse_int(a, v, 16) || v < 0 || v > 255)
            return cli::usage_error("frame: '" + a + "' is not a hex byte");
        packet.push_back(static_cast<uint8_t>(v));
    }
    auto f = std::make_unique<CaptureFramer>();
    int n = f->FrameWrite(packet.data(), static_cast<int>(packet.size()));
    if (g.json) {
        cli::JsonLine().str("packet", hex(packet)).str("frame", hex(f->wire)).num("bytes", n).print();
    } else {
        std::cout << hex(f->wire) << "\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"frame", "[HEXBYTE]...", "print the framed bytes of a packet", run});

} // namespace
