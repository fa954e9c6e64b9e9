#pragma once
// Emergency download mode as the boot ROM speaks it: big-endian fields, writes into RAM, and GO,
// after which the phone runs the programmer only when its RAM holds exactly one of the package's
// programmers and GO names that programmer's start address.
#include <cstdint>
#include <vector>

#include "phonesim/package.h"
#include "phonesim/util.h"

namespace phonesim {

constexpr uint8_t kDmssWrite24 = 0x01;
constexpr uint8_t kDmssAck = 0x02;
constexpr uint8_t kDmssNak = 0x03;
constexpr uint8_t kDmssGo = 0x05;
constexpr uint8_t kDmssNop = 0x06;
constexpr uint8_t kDmssParamReq = 0x07;
constexpr uint8_t kDmssParamResp = 0x08;
constexpr uint8_t kDmssWrite32 = 0x0F;

enum DmssNakReason : uint16_t {
    kNakBadFcs = 1,
    kNakBadDestination = 2,
    kNakBadLength = 3,
    kNakBadCommand = 6,
    kNakFailed = 7,
};

// Parameter answer fields.
constexpr uint8_t kDmssVersion = 8;
constexpr uint8_t kDmssMinVersion = 2;
constexpr uint8_t kDmssModel = 0x7A;
constexpr uint8_t kDmssDeviceSize = 0;
constexpr uint8_t kDmssDeviceType = 1;
constexpr uint16_t kDmssDefaultMaxWrite = 1024;
// The RAM a write may reach.
constexpr uint32_t kRamBase = 0x00100000;
constexpr uint32_t kRamSize = 16u << 20;

class DmssResponder {
  public:
    enum class Action { None, RunProgrammer, RunGarbage };

    DmssResponder(const std::vector<Programmer>* programmers, uint16_t max_write)
        : programmers_(programmers), max_write_(max_write) {}

    static bool is_write(const uint8_t* req, size_t n) {
        return n >= 1 && (req[0] == kDmssWrite24 || req[0] == kDmssWrite32);
    }

    Action handle(const uint8_t* req, size_t n, Bytes& out, bool fail_write = false);
    // The answer to a frame whose FCS did not check.
    static void bad_fcs(Bytes& out) { nak(out, kNakBadFcs); }
    // A NAK with this reason, appended to out.
    static void nak(Bytes& out, uint16_t reason);

    // After RunProgrammer: the programmer that runs.
    const Programmer* running() const { return running_; }
    // The RAM image from the lowest written address to the highest (unwritten bytes zero).
    Bytes ram_image(uint32_t* first = nullptr) const;

  private:
    uint16_t store(uint32_t addr, const uint8_t* data, size_t len);
    const Programmer* match(uint32_t go_addr) const;

    const std::vector<Programmer>* programmers_;
    uint16_t max_write_;
    // RAM from kRamBase up to the highest byte written; grown on demand.
    Bytes ram_;
    std::vector<bool> written_;
    const Programmer* running_ = nullptr;
};

} // namespace phonesim
