#include "phonesim/dmss.h"

#include <algorithm>

namespace phonesim {

void DmssResponder::nak(Bytes& out, uint16_t reason) {
    out.push_back(kDmssNak);
    put_be16(out, reason);
}

uint16_t DmssResponder::store(uint32_t addr, const uint8_t* data, size_t len) {
    if (addr < kRamBase || static_cast<uint64_t>(addr) + len > uint64_t{kRamBase} + kRamSize)
        return kNakBadDestination;
    size_t off = addr - kRamBase;
    if (ram_.size() < off + len) {
        ram_.resize(off + len, 0);
        written_.resize(off + len, false);
    }
    std::copy(data, data + len, ram_.begin() + static_cast<long>(off));
    std::fill(written_.begin() + static_cast<long>(off),
              written_.begin() + static_cast<long>(off + len), true);
    return 0;
}

Bytes DmssResponder::ram_image(uint32_t* first) const {
    auto it = std::find(written_.begin(), written_.end(), true);
    size_t lo = static_cast<size_t>(it - written_.begin());
    if (first) *first = kRamBase + static_cast<uint32_t>(lo);
    if (lo >= ram_.size()) return {};
    return Bytes(ram_.begin() + static_cast<long>(lo), ram_.end());
}

const Programmer* DmssResponder::match(uint32_t go_addr) const {
    if (!programmers_) return nullptr;
    for (const auto& p : *programmers_) {
        if (p.start != go_addr || p.load < kRamBase) continue;
        size_t off = p.load - kRamBase;
        // Exactly the programmer's bytes, every one written, nothing written elsewhere.
        if (ram_.size() != off + p.bytes.size()) continue;
        if (std::find(written_.begin(), written_.begin() + static_cast<long>(off), true) !=
            written_.begin() + static_cast<long>(off))
            continue;
        if (std::find(written_.begin() + static_cast<long>(off), written_.end(), false) !=
            written_.end())
            continue;
        if (std::equal(p.bytes.begin(), p.bytes.end(), ram_.begin() + static_cast<long>(off)))
            return &p;
    }
    return nullptr;
}

DmssResponder::Action DmssResponder::handle(const uint8_t* req, size_t n, Bytes& out,
                                            bool fail_write) {
    out.clear();
    if (n == 0) return Action::None;
    switch (req[0]) {
    case kDmssNop:
        if (n != 1)
            nak(out, kNakBadLength);
        else
            out.push_back(kDmssAck);
        return Action::None;
    case kDmssParamReq:
        if (n != 1) {
            nak(out, kNakBadLength);
            return Action::None;
        }
        out.push_back(kDmssParamResp);
        out.push_back(kDmssVersion);
        out.push_back(kDmssMinVersion);
        put_be16(out, max_write_);
        out.push_back(kDmssModel);
        out.push_back(kDmssDeviceSize);
        out.push_back(kDmssDeviceType);
        return Action::None;
    case kDmssWrite24:
    case kDmssWrite32: {
        const size_t head = req[0] == kDmssWrite24 ? 6 : 7;
        if (n < head) {
            nak(out, kNakBadLength);
            return Action::None;
        }
        uint32_t addr = req[0] == kDmssWrite24 ? be24(req + 1) : be32(req + 1);
        size_t len = be16(req + head - 2);
        if (len == 0 || len > max_write_ || n != head + len) {
            nak(out, kNakBadLength);
            return Action::None;
        }
        if (fail_write) {
            nak(out, kNakFailed);
            return Action::None;
        }
        uint16_t why = store(addr, req + head, len);
        if (why)
            nak(out, why);
        else
            out.push_back(kDmssAck);
        return Action::None;
    }
    case kDmssGo: {
        if (n != 5) {
            nak(out, kNakBadLength);
            return Action::None;
        }
        out.push_back(kDmssAck);
        running_ = match(be32(req + 1));
        return running_ ? Action::RunProgrammer : Action::RunGarbage;
    }
    default:
        nak(out, kNakBadCommand);
        return Action::None;
    }
}

} // namespace phonesim
