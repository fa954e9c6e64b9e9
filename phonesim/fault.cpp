#include "phonesim/fault.h"

#include <cstdlib>

#include "phonesim/util.h"

namespace phonesim {

const char* stage_name(Stage s) {
    switch (s) {
    case Stage::Diag:
        return "diag";
    case Stage::Dmss:
        return "dmss";
    case Stage::Stream:
        return "stream";
    case Stage::Fastboot:
        return "fastboot";
    }
    return "?";
}

const char* step_name(Step s) {
    switch (s) {
    case Step::Backup:
        return "backup";
    case Step::Reset:
        return "reset";
    case Step::Restore:
        return "restore";
    case Step::Hello:
        return "hello";
    case Step::PartitionTable:
        return "ptable";
    case Step::StreamWrite:
        return "write";
    case Step::Download:
        return "download";
    case Step::Flash:
        return "flash";
    }
    return "?";
}

namespace {

Stage stage_of(Step s) {
    switch (s) {
    case Step::Backup:
    case Step::Reset:
    case Step::Restore:
        return Stage::Diag;
    case Step::Hello:
    case Step::PartitionTable:
    case Step::StreamWrite:
        return Stage::Stream;
    case Step::Download:
    case Step::Flash:
        return Stage::Fastboot;
    }
    return Stage::Diag;
}

bool parse_u64(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 18) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    v = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

// "ITEM" or "sITEM" (SIM 1), then "xN" when `times` is wanted.
bool parse_item(const std::string& s, FaultSpec& f, bool times) {
    std::string item = s;
    size_t x = s.find('x');
    if (x != std::string::npos) {
        if (!times || !parse_u64(s.substr(x + 1), f.times) || f.times == 0) return false;
        item = s.substr(0, x);
    }
    if (!item.empty() && item[0] == 's') {
        f.context = 1;
        item.erase(0, 1);
    }
    uint64_t v = 0;
    if (!parse_u64(item, v) || v > 0xFFFF) return false;
    f.item = static_cast<uint16_t>(v);
    return true;
}

bool parse_nv_answer(const std::string& s, FaultSpec& f) {
    static const std::pair<const char*, int> kStatus[] = {
        {"busy", 1},      {"fail", 4},    {"inactive", 5}, {"bad-param", 6},
        {"read-only", 7}, {"unknown", 8}, {"no-memory", 9}};
    static const std::pair<const char*, int> kPacket[] = {{"err-cmd", kDiagBadCmd},
                                                          {"err-params", kDiagBadParams},
                                                          {"err-len", kDiagBadLen},
                                                          {"err-locked", kDiagLocked}};
    for (const auto& [name, v] : kStatus)
        if (s == name) {
            f.answer = static_cast<uint16_t>(v);
            return true;
        }
    for (const auto& [name, v] : kPacket)
        if (s == name) {
            f.error_packet = true;
            f.answer = static_cast<uint16_t>(v);
            return true;
        }
    uint64_t v = 0;
    if (!parse_u64(s, v) || v > 0xFFFF) return false;
    f.answer = static_cast<uint16_t>(v);
    return true;
}

} // namespace

std::optional<FaultSpec> parse_fault(const std::string& spec, std::string& err) {
    FaultSpec f;
    f.text = spec;
    std::string rest = spec;
    size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        std::string p = rest.substr(0, slash);
        uint64_t idx = 0;
        if (p == "*")
            f.phone = -1;
        else if (parse_u64(p, idx) && idx < 1000)
            f.phone = static_cast<int>(idx);
        else {
            err = "bad phone index '" + p + "'";
            return std::nullopt;
        }
        rest = rest.substr(slash + 1);
    }
    size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        err = "expected STAGE:KIND";
        return std::nullopt;
    }
    std::string stage = rest.substr(0, colon);
    rest = rest.substr(colon + 1);
    if (stage == "*")
        f.stage = -1;
    else if (stage == "diag")
        f.stage = static_cast<int>(Stage::Diag);
    else if (stage == "dmss")
        f.stage = static_cast<int>(Stage::Dmss);
    else if (stage == "stream")
        f.stage = static_cast<int>(Stage::Stream);
    else if (stage == "fastboot")
        f.stage = static_cast<int>(Stage::Fastboot);
    else {
        for (int i = 0; i < kStepCount && f.step == kNoStep; ++i)
            if (stage == step_name(static_cast<Step>(i))) {
                f.step = i;
                f.stage = static_cast<int>(stage_of(static_cast<Step>(i)));
            }
        if (f.step == kNoStep) {
            err = "unknown stage '" + stage +
                  "' (diag, dmss, stream, fastboot, *, or a step: backup, reset, restore, "
                  "hello, ptable, write, download, flash)";
            return std::nullopt;
        }
    }

    // KIND[=VALUE][@K] or KIND@K[=VALUE]
    std::string kind = rest, value, at;
    size_t eq = rest.find('='), atpos = rest.find('@');
    size_t kind_end = std::min(eq, atpos);
    kind = rest.substr(0, kind_end);
    if (eq != std::string::npos)
        value = rest.substr(eq + 1, (atpos != std::string::npos && atpos > eq) ? atpos - eq - 1
                                                                               : std::string::npos);
    if (atpos != std::string::npos)
        at = rest.substr(atpos + 1, (eq != std::string::npos && eq > atpos) ? eq - atpos - 1
                                                                            : std::string::npos);
    bool has_value = eq != std::string::npos, has_at = atpos != std::string::npos;

    auto need_at = [&]() {
        if (!has_at || !parse_u64(at, f.at) || f.at == 0) {
            err = "'" + kind + "' needs @K with K >= 1";
            return false;
        }
        return true;
    };
    auto no_value = [&]() {
        if (has_value) {
            err = "'" + kind + "' takes no =VALUE";
            return false;
        }
        return true;
    };
    auto ms_value = [&](int64_t def) {
        f.value = def;
        if (!has_value) return true;
        uint64_t v = 0;
        if (!parse_u64(value, v) || v > 86400000) {
            err = "bad milliseconds '" + value + "'";
            return false;
        }
        f.value = static_cast<int64_t>(v);
        return true;
    };

    if (kind == "silence") {
        f.kind = FaultKind::Silence;
        if (!need_at() || !no_value()) return std::nullopt;
    } else if (kind == "nak" || kind == "fail") {
        f.kind = FaultKind::Nak;
        if (!need_at() || !no_value()) return std::nullopt;
    } else if (kind == "crc") {
        f.kind = FaultKind::Crc;
        char* end = nullptr;
        f.fraction = has_value ? std::strtod(value.c_str(), &end) : 0;
        if (!has_value || value.empty() || *end != '\0' || !(f.fraction > 0) || f.fraction > 1) {
            err = "crc needs =F with 0 < F <= 1";
            return std::nullopt;
        }
        if (has_at) {
            err = "crc takes no @K";
            return std::nullopt;
        }
        if (f.stage == static_cast<int>(Stage::Fastboot)) {
            err = "fastboot has no frames to corrupt";
            return std::nullopt;
        }
    } else if (kind == "unplug") {
        f.kind = FaultKind::Unplug;
        if (!need_at() || !ms_value(3000)) return std::nullopt;
    } else if (kind == "error") {
        f.kind = FaultKind::Error;
        f.value = -1;
        uint64_t v = 0;
        if (!need_at()) return std::nullopt;
        if (has_value) {
            if (!parse_u64(value, v) || v > 255) {
                err = "error takes =CODE, 0 to 255";
                return std::nullopt;
            }
            f.value = static_cast<int64_t>(v);
        }
    } else if (kind == "stale") {
        f.kind = FaultKind::Stale;
        if (!need_at() || !ms_value(0)) return std::nullopt;
    } else if (kind == "slow") {
        f.kind = FaultKind::Slow;
        uint64_t v = 0;
        if (!has_value || !parse_u64(value, v) || v == 0 || has_at) {
            err = "slow needs =BPS with BPS >= 1";
            return std::nullopt;
        }
        f.value = static_cast<int64_t>(v);
    } else if (kind == "imei-unreadable") {
        f.kind = FaultKind::ImeiUnreadable;
        if (has_at || !no_value()) {
            if (err.empty()) err = "imei-unreadable takes no @K";
            return std::nullopt;
        }
        if ((f.stage != -1 && f.stage != static_cast<int>(Stage::Diag)) || f.step != kNoStep) {
            err = "imei-unreadable applies to diag only, not to a step";
            return std::nullopt;
        }
    } else if (kind == "reset-unplug") {
        f.kind = FaultKind::ResetUnplug;
        if (has_at || !no_value()) {
            if (err.empty()) err = "reset-unplug takes no @K";
            return std::nullopt;
        }
        if ((f.stage != -1 && f.stage != static_cast<int>(Stage::Diag)) || f.step != kNoStep) {
            err = "reset-unplug applies to diag only, not to a step";
            return std::nullopt;
        }
    } else if (kind == "nv-read" || kind == "nv-write" || kind == "readonly") {
        f.kind = kind == "nv-read"    ? FaultKind::NvRead
                 : kind == "nv-write" ? FaultKind::NvWrite
                                      : FaultKind::ReadOnly;
        const bool answers = f.kind != FaultKind::ReadOnly;
        if ((f.stage != -1 && f.stage != static_cast<int>(Stage::Diag)) ||
            (f.kind == FaultKind::ReadOnly && f.step != kNoStep)) {
            err = kind + (f.kind == FaultKind::ReadOnly ? " applies to diag only, not to a step"
                                                        : " applies to diag only");
            return std::nullopt;
        }
        if (!has_at || !parse_item(at, f, answers)) {
            err = kind + (answers ? " needs @ITEM or @sITEM (SIM 1), then xN for N times"
                                  : " needs @ITEM or @sITEM (SIM 1)");
            return std::nullopt;
        }
        if (answers && (!has_value || !parse_nv_answer(value, f))) {
            err = kind + " needs =ANSWER: busy, fail, inactive, bad-param, read-only, unknown, "
                         "no-memory, a status number, err-cmd, err-params, err-len or err-locked";
            return std::nullopt;
        }
        if (!answers && !no_value()) return std::nullopt;
    } else {
        err = "unknown fault '" + kind + "'";
        return std::nullopt;
    }
    return f;
}

FaultPlan::FaultPlan(const std::vector<FaultSpec>& all, int phone, uint64_t seed)
    : rng_(mix_seed(seed, static_cast<uint64_t>(phone), 0xFA17)) {
    for (const auto& f : all)
        if (f.phone < 0 || f.phone == phone) faults_.push_back(f);
    hits_.assign(faults_.size(), 0);
}

FaultPlan::Decision FaultPlan::on_request(Stage s, bool is_write, int step) {
    Decision d;
    const int i = static_cast<int>(s);
    const uint64_t stage_req = ++requests_[i];
    const uint64_t stage_wr = is_write ? ++writes_[i] : 0;
    const bool in_step = step >= 0 && step < kStepCount;
    const uint64_t step_req = in_step ? ++step_requests_[step] : 0;
    const uint64_t step_wr = in_step && is_write ? ++step_writes_[step] : 0;
    for (const auto& f : faults_) {
        if (!applies(f, s, step)) continue;
        // A fault of a step counts that step's requests, any other its stage's.
        const uint64_t req = f.step == kNoStep ? stage_req : step_req;
        const uint64_t wr = f.step == kNoStep ? stage_wr : step_wr;
        switch (f.kind) {
        case FaultKind::Silence:
            if (req >= f.at) d.silent = true;
            break;
        case FaultKind::Nak:
            if (is_write && wr == f.at) d.fail_write = true;
            break;
        case FaultKind::Unplug:
            if (req == f.at) {
                d.unplug = true;
                d.unplug_ms = f.value;
            }
            break;
        case FaultKind::Stale:
            if (req == f.at) {
                d.stale = true;
                d.stale_ms = f.value;
            }
            break;
        case FaultKind::Error:
            if (req == f.at) {
                d.refuse = true;
                d.refuse_code = f.value;
            }
            break;
        default:
            break;
        }
    }
    return d;
}

bool FaultPlan::corrupt_answer(Stage s, int step) {
    for (const auto& f : faults_) {
        if (f.kind != FaultKind::Crc || !applies(f, s, step)) continue;
        Rng r(rng_);
        rng_ = r.next();
        if (Rng(rng_).unit() < f.fraction) return true;
    }
    return false;
}

int64_t FaultPlan::slow_bps(Stage s, int step) const {
    int64_t bps = 0;
    for (const auto& f : faults_)
        if (f.kind == FaultKind::Slow && applies(f, s, step) && (bps == 0 || f.value < bps))
            bps = f.value;
    return bps;
}

bool FaultPlan::imei_unreadable() const {
    for (const auto& f : faults_)
        if (f.kind == FaultKind::ImeiUnreadable) return true;
    return false;
}

bool FaultPlan::reset_unplug() const {
    for (const auto& f : faults_)
        if (f.kind == FaultKind::ResetUnplug) return true;
    return false;
}

std::optional<NvOverride> FaultPlan::nv_answer(bool write, uint16_t item, uint16_t context,
                                               int step) {
    const FaultKind want = write ? FaultKind::NvWrite : FaultKind::NvRead;
    for (size_t i = 0; i < faults_.size(); ++i) {
        const FaultSpec& f = faults_[i];
        if (f.kind != want || f.item != item || f.context != context) continue;
        if (f.step != kNoStep && f.step != step) continue;
        if (f.times != 0 && hits_[i] >= f.times) continue;
        ++hits_[i];
        return NvOverride{f.error_packet, f.answer};
    }
    return std::nullopt;
}

std::vector<std::pair<uint16_t, uint16_t>> FaultPlan::readonly_items() const {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const auto& f : faults_)
        if (f.kind == FaultKind::ReadOnly) out.emplace_back(f.item, f.context);
    return out;
}

} // namespace phonesim
