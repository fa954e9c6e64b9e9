#pragma once
// Fault injection, per phone and stage, from --fault specifications:
//   [PHONE/]STAGE:KIND[=VALUE][@K]
// PHONE is a phone index from 0, or '*' (every phone, the default); STAGE is diag, dmss,
// stream, fastboot or '*'; KIND is one of
//   silence@K         no answer to the K-th request of the stage and every later one
//   nak@K             the K-th write of the stage fails (NAK, error answer, NV failure or FAIL)
//   crc=F             a fraction F (0..1] of the stage's answer frames carry a wrong FCS
//   unplug@K[=MS]     the K-th request unplugs the phone (record removed, port closed); it comes
//                     back in the same kind of mode MS nominal milliseconds later (default 3000)
//   stale@K[=MS]      the K-th answer is sent a second time: at once (MS 0, the default), or
//                     on a serial port, once MS nominal milliseconds have passed, ahead of the
//                     next answer (which waits for it when the host asks sooner; over TCP: MS
//                     later), where the host will take it for the answer to its next request
//   slow=BPS          the stage's answers trickle at BPS bytes per second (nominal time)
//   imei-unreadable   (diag) NV item 550 reads as never written
//   reset-unplug      (diag) the phone answers the reset to download, then is gone for good
//                     (unplugged before its download port appears)
//   nv-read=ANSWER@ITEM[xN]   (diag) reads of ITEM (sITEM: the SIM 1 item) get ANSWER instead
//   nv-write=ANSWER@ITEM[xN]  of the phone's own, the first N times (always without xN); ANSWER
//                     is an NV status (busy, fail, inactive, bad-param, read-only, unknown,
//                     no-memory or a number) or an error packet (err-cmd, err-params, err-len,
//                     err-locked). A write so answered stores nothing.
//   readonly@ITEM     (diag) the phone holds ITEM read-only
// Requests and writes are counted from 1 over the phone's whole life, per stage.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "phonesim/diag.h"

namespace phonesim {

enum class Stage { Diag, Dmss, Stream, Fastboot };
constexpr int kStageCount = 4;
const char* stage_name(Stage s);

enum class FaultKind {
    Silence,
    Nak,
    Crc,
    Unplug,
    Stale,
    Slow,
    ImeiUnreadable,
    NvRead,
    NvWrite,
    ReadOnly,
    ResetUnplug
};

struct FaultSpec {
    int phone = -1; // -1: every phone
    int stage = -1; // -1: every stage it applies to, else a Stage
    FaultKind kind = FaultKind::Silence;
    uint64_t at = 0;     // K, for the kinds counted by request or write
    double fraction = 0; // crc
    int64_t value = 0;   // slow: bytes per second; unplug/stale: nominal ms
    std::string text;    // as given
    // nv-read, nv-write, readonly: the item, its context (1: SIM 1), the answer and how often
    uint16_t item = 0;
    uint16_t context = 0;
    bool error_packet = false;
    uint16_t answer = 0;
    uint64_t times = 0; // 0: always
};

// Parses one specification; on failure err says why.
std::optional<FaultSpec> parse_fault(const std::string& spec, std::string& err);

// What the faults decide for one phone in one stage; counters live here.
class FaultPlan {
  public:
    FaultPlan() = default;
    FaultPlan(const std::vector<FaultSpec>& all, int phone, uint64_t seed);

    struct Decision {
        bool silent = false;
        bool fail_write = false;
        bool unplug = false;
        int64_t unplug_ms = 0;
        bool stale = false;
        int64_t stale_ms = 0;
    };
    // Counts one request of the stage (and one write when is_write) and decides its fate.
    Decision on_request(Stage s, bool is_write);
    // Whether this answer frame gets a wrong FCS.
    bool corrupt_answer(Stage s);
    // Bytes per second for answers, 0 for full speed.
    int64_t slow_bps(Stage s) const;
    bool imei_unreadable() const;
    bool reset_unplug() const;
    // The answer a fault gives to this NV read or write, if any; counts it.
    std::optional<NvOverride> nv_answer(bool write, uint16_t item, uint16_t context);
    // Items the phone holds read-only: (item, context).
    std::vector<std::pair<uint16_t, uint16_t>> readonly_items() const;

  private:
    bool applies(const FaultSpec& f, Stage s) const {
        return f.stage < 0 || f.stage == static_cast<int>(s);
    }
    std::vector<FaultSpec> faults_;
    uint64_t requests_[kStageCount] = {};
    uint64_t writes_[kStageCount] = {};
    std::vector<uint64_t> hits_; // per fault: NV answers given
    uint64_t rng_ = 1;
};

} // namespace phonesim
