#pragma once
// Fault injection, per phone and stage, from --fault specifications:
//   [PHONE/]STAGE:KIND[=VALUE][@K]
// PHONE is a phone index from 0, or '*' (every phone, the default); STAGE is diag, dmss,
// stream, fastboot or '*', or one step of a stage (requests then count within the step):
//   backup, reset, restore   DIAG before the phone's first reset to download, the reset
//                            request itself, DIAG after it
//   hello, ptable, write     the streaming hello, partition table and stream write requests
//   download, flash          fastboot's download (with its data) and flash commands
// KIND is one of
//   silence@K         no answer to the K-th request of the stage and every later one
//   nak@K             the K-th write of the stage fails (NAK, error answer, NV failure or FAIL)
//   crc=F             a fraction F (0..1] of the stage's answer frames carry a wrong FCS
//   unplug@K[=MS]     the K-th request unplugs the phone (record removed, port closed); it comes
//                     back in the same kind of mode MS nominal milliseconds later (default 3000)
//   error@K[=CODE]    the K-th request gets the stage's refusal instead of its answer: a DIAG
//                     error packet (CODE, default 0x13), a DMSS NAK (reason CODE, default 7),
//                     a streaming error (CODE, default 7), fastboot FAIL
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

// A stage narrowed to one kind of request; kNoStep for requests of no step.
enum class Step { Backup, Reset, Restore, Hello, PartitionTable, StreamWrite, Download, Flash };
constexpr int kStepCount = 8;
constexpr int kNoStep = -1;
const char* step_name(Step s);

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
    ResetUnplug,
    Error
};

struct FaultSpec {
    int phone = -1;     // -1: every phone
    int stage = -1;     // -1: every stage it applies to, else a Stage
    int step = kNoStep; // a Step: only that step's requests, counted within it
    FaultKind kind = FaultKind::Silence;
    uint64_t at = 0;     // K, for the kinds counted by request or write
    double fraction = 0; // crc
    int64_t value = 0;   // slow: bytes per second; unplug/stale: nominal ms; error: code (-1)
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
        bool refuse = false;      // error@K: the stage's refusal instead of the answer
        int64_t refuse_code = -1; // -1: the stage's usual one
    };
    // Counts one request of the stage and step (and one write when is_write) and decides its
    // fate.
    Decision on_request(Stage s, bool is_write, int step = kNoStep);
    // Whether this answer frame gets a wrong FCS.
    bool corrupt_answer(Stage s, int step = kNoStep);
    // Bytes per second for answers, 0 for full speed.
    int64_t slow_bps(Stage s, int step = kNoStep) const;
    bool imei_unreadable() const;
    bool reset_unplug() const;
    // The answer a fault gives to this NV read or write (a request of `step`), if any; counts it.
    std::optional<NvOverride> nv_answer(bool write, uint16_t item, uint16_t context,
                                        int step = kNoStep);
    // Items the phone holds read-only: (item, context).
    std::vector<std::pair<uint16_t, uint16_t>> readonly_items() const;

  private:
    static bool applies(const FaultSpec& f, Stage s, int step) {
        return (f.stage < 0 || f.stage == static_cast<int>(s)) &&
               (f.step == kNoStep || f.step == step);
    }
    std::vector<FaultSpec> faults_;
    uint64_t requests_[kStageCount] = {};
    uint64_t writes_[kStageCount] = {};
    uint64_t step_requests_[kStepCount] = {};
    uint64_t step_writes_[kStepCount] = {};
    std::vector<uint64_t> hits_; // per fault: NV answers given
    uint64_t rng_ = 1;
};

} // namespace phonesim
