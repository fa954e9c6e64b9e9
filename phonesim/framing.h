#pragma once
// The phone's side of the link framing: frames end with 0x7E, an opening 0x7E is optional,
// 0x7D escapes, and a CRC-16/X.25 FCS follows the payload low byte first. Text lines such as
// "AT$QCDMG\r" that a host sends raw before its first frame are recognised and set aside, unless
// text lines are turned off: then, as in a real phone's DIAG decoder, every byte up to a flag is
// part of a frame, and the text spoils the frame it runs into.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/crc16.h"
#include "phonesim/util.h"

namespace phonesim {

class FrameDecoder {
  public:
    enum class Event {
        Frame,   // a payload with a good FCS (FCS removed)
        BadFcs,  // a complete frame whose FCS did not check
        Text,    // a raw "AT..." line before any frame byte
        Oversize // more than the capacity arrived before the closing flag
    };

    explicit FrameDecoder(size_t capacity = 65536) : buf_(capacity + 2) {}

    // Whether raw "AT..." lines are set aside (the default). Kept across reset().
    void set_text_lines(bool on) { text_lines_ = on; }

    // Decodes bytes; calls sink(Event, const uint8_t* data, size_t len) per finished unit.
    template <class Sink> void feed(const uint8_t* p, size_t n, Sink&& sink) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = p[i];
            if (after_text_) {
                after_text_ = false;
                if (b == '\n') continue; // "AT...\r\n"
            }
            if (b == kFlag) {
                finish(sink);
                continue;
            }
            if (b == kEsc) {
                esc_ = true;
                continue;
            }
            if (esc_) {
                b ^= 0x20;
                esc_ = false;
            } else if (b == '\r' && text_ && text_lines_ && len_ >= 2) {
                sink(Event::Text, buf_.data(), len_);
                reset();
                after_text_ = true;
                continue;
            }
            if (len_ >= buf_.size()) {
                overflow_ = true;
                continue;
            }
            if (len_ == 0)
                text_ = (b == 'A' || b == 'a');
            else if (len_ == 1)
                text_ = text_ && (b == 'T' || b == 't');
            else
                text_ = text_ && b >= 0x20 && b < 0x7F;
            crc_ = crc_step(crc_, b);
            buf_[len_++] = b;
        }
    }
    void reset() {
        len_ = 0;
        crc_ = 0xFFFF;
        esc_ = false;
        overflow_ = false;
        text_ = false;
        after_text_ = false;
    }

  private:
    static constexpr uint8_t kFlag = 0x7E;
    static constexpr uint8_t kEsc = 0x7D;
    static uint16_t crc_step(uint16_t crc, uint8_t b) { return quillon::crc16_step(crc, b); }

    template <class Sink> void finish(Sink& sink) {
        if (overflow_) {
            sink(Event::Oversize, buf_.data(), len_);
        } else if (len_ == 0) {
            // an opening flag, or flags back to back
        } else if (len_ < 3 || crc_ != 0xF0B8) {
            sink(Event::BadFcs, buf_.data(), len_);
        } else {
            sink(Event::Frame, buf_.data(), len_ - 2);
        }
        reset();
    }

    std::vector<uint8_t> buf_;
    size_t len_ = 0;
    uint16_t crc_ = 0xFFFF;
    bool esc_ = false;
    bool overflow_ = false;
    bool text_ = false;
    bool after_text_ = false;
    bool text_lines_ = true;
};

// Appends the framed packet to out. corrupt_fcs sends a wrong FCS (fault injection).
void encode_frame(const uint8_t* p, size_t n, bool opening_flag, Bytes& out,
                  bool corrupt_fcs = false);

} // namespace phonesim
