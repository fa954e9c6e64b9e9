#pragma once
// An in-process phone behind the DiagChannel interface: answers NV read/write (plain and
// subsystem with a context) from the DIAG layouts, as a phone would see them on the wire (the
// link drops the last byte of each request). Used to drive the QCN flows without a port.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "diag/qcn_ops.h"

namespace fake {

using Data = std::array<uint8_t, 128>;
using Key = std::pair<int, uint16_t>; // 0 main, 1 SIM 1 (context 1)

class Phone : public diag::DiagChannel {
  public:
    explicit Phone(int row = 0, int port = 7) : row_(row), port_(port) {}

    // IMEI digits into item 550 the way phones keep it: length 8, then type nibble 0xA and the
    // 15 digits as packed BCD, low half-byte first.
    void SetImei(const std::string& digits) {
        Data d{};
        d[0] = 8;
        d[1] = static_cast<uint8_t>(0x0A | (digits[0] - '0') << 4);
        for (int i = 1; i < 15; i += 2)
            d[2 + i / 2] = static_cast<uint8_t>((digits[i] - '0') | (digits[i + 1] - '0') << 4);
        nv[{0, 550}] = d;
    }

    int Exchange(const uint8_t* req, uint16_t len, uint8_t* ans, uint16_t size) override {
        std::lock_guard<std::mutex> g(m);
        ++exchanges;
        std::vector<uint8_t> wire(req, req + (len ? len - 1 : 0));
        sent.push_back(wire);
        if (silent_from >= 0 && exchanges >= silent_from) return -1;
        if (silent_for_one == exchanges) return -1;
        std::vector<uint8_t> out;
        if (!wire.empty() && (wire[0] == 0x26 || wire[0] == 0x27) && wire.size() >= 131) {
            uint16_t item = static_cast<uint16_t>(wire[1] | wire[2] << 8);
            out.assign(133, 0);
            std::memcpy(out.data(), wire.data(), 131);
            Answer(wire[0] == 0x27, {0, item}, wire.data() + 3, out.data() + 3, &out[131]);
        } else if (wire.size() >= 136 && wire[0] == 0x4B && wire[1] == 0x30 &&
                   (wire[2] == 1 || wire[2] == 2) && wire[3] == 0) {
            uint16_t item = static_cast<uint16_t>(wire[4] | wire[5] << 8);
            int ctx = wire[6] | wire[7] << 8;
            out.assign(138, 0);
            std::memcpy(out.data(), wire.data(), 136);
            Answer(wire[2] == 2, {ctx, item}, wire.data() + 8, out.data() + 8, &out[136]);
        } else if (wire.size() >= 4 && wire[0] == 0x4B && wire[1] == 0x13) {
            ++closings;
            // Header and sequence, a token, no error number.
            out.assign(wire.begin(), wire.begin() + std::min<size_t>(6, wire.size()));
            out.resize(14, 0);
            out[6] = 0x01;
        } else {
            out.push_back(0x13); // bad command
            out.insert(out.end(), wire.begin(), wire.end());
        }
        size_t n = std::min<size_t>(out.size(), size);
        std::memcpy(ans, out.data(), n);
        return static_cast<int>(n);
    }
    int Row() override { return row_; }
    int Port() override { return port_; }
    void Report(int position, const char* status, int port) override {
        std::lock_guard<std::mutex> g(m);
        positions.push_back(position);
        if (status) statuses.push_back(status);
        if (port != diag::kKeepPort) ports.push_back(port);
    }
    void MessageBox(const std::string& text) override {
        std::lock_guard<std::mutex> g(m);
        boxes.push_back(text);
    }
    void Debug(const std::string& line) override {
        std::lock_guard<std::mutex> g(m);
        debug.push_back(line);
    }

    int WritesSent() const {
        int n = 0;
        for (auto& s : sent)
            if ((!s.empty() && s[0] == 0x27) || (s.size() > 2 && s[0] == 0x4B && s[2] == 2)) ++n;
        return n;
    }

    std::mutex m;
    std::map<Key, Data> nv;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<int> positions;
    std::vector<std::string> statuses, boxes, debug;
    std::vector<int> ports;
    int exchanges = 0;
    int closings = 0;
    int silent_from = -1;    // every exchange from this one on goes unanswered
    int silent_for_one = -1; // only this exchange goes unanswered

  private:
    void Answer(bool write, Key key, const uint8_t* in, uint8_t* data, uint8_t* status) {
        if (write) {
            Data d;
            std::memcpy(d.data(), in, 128);
            nv[key] = d;
            return;
        }
        auto it = nv.find(key);
        if (it == nv.end()) {
            std::memset(data, 0, 128);
            status[0] = 5; // inactive
        } else {
            std::memcpy(data, it->second.data(), 128);
        }
    }
    int row_, port_;
};

} // namespace fake
