#include "phonesim/streaming.h"

#include <array>
#include <cstring>

namespace phonesim {

namespace {
uint32_t checksum(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}
} // namespace

const uint8_t* flash_info_block() {
    static const auto block = [] {
        std::array<uint8_t, kInfoSize> b{};
        const char text[] = "7627A-SIM NAND 2048B/page 64pages/block 4096 blocks";
        static_assert(sizeof text <= kInfoSize);
        std::memcpy(b.data(), text, sizeof text - 1);
        return b;
    }();
    return block.data();
}

void StreamingResponder::error(Bytes& out, uint32_t code, const char* text) {
    out.clear();
    out.push_back(kStrError);
    put_le32(out, code);
    out.insert(out.end(), text, text + std::strlen(text));
}

StreamingResponder::Action StreamingResponder::handle(const uint8_t* req, size_t n, Bytes& out,
                                                      bool fail_write) {
    out.clear();
    if (n == 0) return Action::None;
    const uint8_t cmd = req[0];
    if (cmd != kStrHello && !hello_ &&
        (cmd == kStrRead || cmd == kStrWrite || cmd == kStrClose || cmd == kStrSecurity ||
         cmd == kStrPartition || cmd == kStrOpenMulti || cmd == kStrReset)) {
        error(out, kErrOutOfSequence, "hello first");
        return Action::None;
    }
    switch (cmd) {
    case kStrHello: {
        if (n != 1 + 32 + 3) {
            error(out, kErrBadLength, "bad hello length");
            return Action::None;
        }
        uint8_t version = req[33], compat = req[34], features = req[35];
        if (std::memcmp(req + 1, kHostMagic, 32) != 0 || version < kStrCompatVersion ||
            compat > kStrVersion) {
            error(out, kErrIncompatible, "incompatible host");
            return Action::None;
        }
        // A new hello starts a new session.
        hello_ = true;
        security_ = partition_ = false;
        open_type_ = -1;
        out.push_back(kStrHelloResp);
        out.insert(out.end(), kTargetMagic, kTargetMagic + 32);
        out.push_back(kStrVersion);
        out.push_back(kStrCompatVersion);
        put_le32(out, block_size_);
        put_le32(out, kFlashBase);
        out.push_back(static_cast<uint8_t>(sizeof kFlashId - 1));
        out.insert(out.end(), kFlashId, kFlashId + sizeof kFlashId - 1);
        put_le16(out, 1); // window size
        put_le16(out, 0); // no sector list
        out.push_back(static_cast<uint8_t>(features & kStrFeatures));
        return Action::None;
    }
    case kStrRead: {
        if (n != 7) {
            error(out, kErrBadLength, "bad read length");
            return Action::None;
        }
        uint32_t addr = le32(req + 1);
        uint16_t len = le16(req + 5);
        if (len == 0 || len > block_size_) {
            error(out, kErrBadLength, "bad read size");
            return Action::None;
        }
        if (static_cast<uint64_t>(addr) + len > kFlashReadable) {
            error(out, kErrBadAddress, "read outside flash");
            return Action::None;
        }
        out.push_back(kStrReadResp);
        put_le32(out, addr);
        for (uint32_t a = addr; a < addr + len; ++a)
            out.push_back(a >= kInfoAddress && a < kInfoAddress + kInfoSize
                              ? flash_info_block()[a - kInfoAddress]
                              : 0);
        return Action::None;
    }
    case kStrSecurity:
        if (n != 2) {
            error(out, kErrBadLength, "bad security mode length");
            return Action::None;
        }
        if (req[1] > 1) {
            error(out, kErrBadSecurityMode, "bad security mode");
            return Action::None;
        }
        security_ = true;
        out.push_back(kStrSecurityResp);
        return Action::None;
    case kStrPartition:
        if (n < 3 || n - 2 > kPartitionMax) {
            error(out, kErrBadLength, "bad partition table length");
            return Action::None;
        }
        store_.partition_table(req + 2, n - 2, req[1] != 0);
        partition_ = true;
        out.push_back(kStrPartitionResp);
        out.push_back(0);
        return Action::None;
    case kStrOpenMulti: {
        if (n < 2 || n - 2 > block_size_) {
            error(out, kErrBadLength, "bad open length");
            return Action::None;
        }
        if (!security_ || !partition_ || open_type_ >= 0) {
            error(out, kErrOutOfSequence, "open out of sequence");
            return Action::None;
        }
        if (req[1] == 0 || req[1] > 0x20) {
            error(out, kErrBadImageType, "unknown image type");
            return Action::None;
        }
        open_type_ = req[1];
        next_addr_ = 0;
        last_len_ = 0;
        store_.open_image(req[1], req + 2, n - 2);
        out.push_back(kStrOpenMultiResp);
        out.push_back(0);
        return Action::None;
    }
    case kStrWrite: {
        if (n < 6 || n - 5 > block_size_) {
            error(out, kErrBadLength, "bad write length");
            return Action::None;
        }
        if (open_type_ < 0) {
            error(out, kErrOutOfSequence, "write without open");
            return Action::None;
        }
        uint32_t addr = le32(req + 1);
        uint32_t len = static_cast<uint32_t>(n - 5);
        bool repeat = last_len_ != 0 && addr == last_addr_ && len == last_len_ &&
                      checksum(req + 5, len) == last_sum_;
        if (!repeat && addr != next_addr_) {
            error(out, kErrBadAddress, "write not at the next address");
            return Action::None;
        }
        if (fail_write) {
            error(out, kErrFailed, "write failed");
            return Action::None;
        }
        Action act = Action::None;
        if (!repeat) {
            store_.write_image(static_cast<uint8_t>(open_type_), addr, req + 5, len);
            next_addr_ = addr + len;
            last_addr_ = addr;
            last_len_ = len;
            last_sum_ = checksum(req + 5, len);
            if (!wrote_image_) {
                wrote_image_ = true;
                act = Action::FirstImageWrite;
            }
        }
        out.push_back(kStrWriteResp);
        put_le32(out, addr);
        return act;
    }
    case kStrClose:
        if (n != 1) {
            error(out, kErrBadLength, "bad close length");
            return Action::None;
        }
        if (open_type_ >= 0) store_.close_image(static_cast<uint8_t>(open_type_));
        open_type_ = -1;
        out.push_back(kStrCloseResp);
        return Action::None;
    case kStrReset:
        if (n != 1) {
            error(out, kErrBadLength, "bad reset length");
            return Action::None;
        }
        if (open_type_ >= 0) store_.close_image(static_cast<uint8_t>(open_type_));
        open_type_ = -1;
        out.push_back(kStrResetResp);
        return Action::Reset;
    default:
        error(out, kErrBadCommand, "unknown command");
        return Action::None;
    }
}

} // namespace phonesim
