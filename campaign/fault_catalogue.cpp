#include "campaign/fault_catalogue.h"

#include <algorithm>

#include "phonesim/nv.h"

namespace campaign {

namespace {

enum Stage { kBackup, kReset, kDmss, kHello, kPtable, kWrite, kDownload, kFlash, kRestore };
enum Kind { kSilence, kNak, kErrorPacket, kCrc, kUnplug, kStale, kSlow, kNvStatus };

// Requests a clean cycle makes in each stage (the station against phonesim's package): faults
// are placed among them. A silence or an error after the last one would never be met.
constexpr int kRequests[kStageCount] = {330, 1, 99, 3, 1, 1360, 7, 7, 290};
// The steps phonesim knows the stages by.
constexpr const char* kStep[kStageCount] = {"backup", "reset",    "dmss",  "hello",  "ptable",
                                            "write",  "download", "flash", "restore"};

int Uniform(std::mt19937_64& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

template <class T> const T& Pick(std::mt19937_64& rng, const std::vector<T>& v) {
    return v[static_cast<size_t>(Uniform(rng, 0, static_cast<int>(v.size()) - 1))];
}

// An item every phone holds a value for; calibrated ones are each phone's own.
std::string SomeItem(std::mt19937_64& rng, bool calibrated_only) {
    std::vector<std::string> items;
    for (const auto& e : phonesim::nv_catalog())
        if (e.listed && e.defined && e.factory_active && (!calibrated_only || e.calibrated))
            items.push_back((e.context ? "s" : "") + std::to_string(e.item));
    return Pick(rng, items);
}

std::string At(std::mt19937_64& rng, int stage) {
    return "@" + std::to_string(Uniform(rng, 1, kRequests[stage]));
}

} // namespace

const char* ExpectName(Expect e) {
    switch (e) {
    case Expect::Fail:
        return "FAIL";
    case Expect::Pass:
        return "PASS";
    case Expect::Either:
        return "either";
    }
    return "?";
}

const char* StageName(int stage) {
    static const char* const names[kStageCount] = {
        "backup", "reset", "dmss", "hello", "ptable", "write", "download", "flash", "restore"};
    return stage >= 0 && stage < kStageCount ? names[stage] : "none";
}

const char* KindName(int kind) {
    static const char* const names[kKindCount] = {"silence", "NAK",   "error packet", "bad CRC",
                                                  "unplug",  "stale", "slow",         "NV status"};
    return kind >= 0 && kind < kKindCount ? names[kind] : "none";
}

bool Applies(int stage, int kind) {
    const bool diag = stage == kBackup || stage == kReset || stage == kRestore;
    const bool fastboot = stage == kDownload || stage == kFlash;
    switch (kind) {
    case kNak: // the NV reads of a backup have no refusal but their status
        return stage != kBackup && stage != kReset;
    case kErrorPacket: // DIAG's own; elsewhere a refusal is the NAK
        return diag;
    case kCrc:
        return !fastboot;
    case kStale: // the reset's port is gone before an answer could come twice
        return stage != kReset;
    case kNvStatus:
        return stage == kBackup || stage == kRestore;
    default:
        return true;
    }
}

std::vector<std::pair<int, int>> Pairs() {
    std::vector<std::pair<int, int>> v;
    for (int s = 0; s < kStageCount; ++s)
        for (int k = 0; k < kKindCount; ++k)
            if (Applies(s, k)) v.emplace_back(s, k);
    return v;
}

DrawnFault Draw(int stage, int kind, std::mt19937_64& rng) {
    DrawnFault f;
    f.stage = stage;
    f.kind = kind;
    const std::string step = kStep[stage];
    auto spec = [&](const std::string& s, Expect e) {
        f.specs.push_back(step + ":" + s);
        f.expect = e;
    };
    const std::string back_ms = "=" + std::to_string(Uniform(rng, 300, 3000));
    switch (kind) {
    case kSilence:
        // No answer from that request on: retries and a new attempt meet the same silence.
        spec("silence" + At(rng, stage), Expect::Fail);
        break;
    case kNak:
        if (stage == kDmss && Uniform(rng, 0, 1) == 0) {
            spec("error" + At(rng, stage), Expect::Either); // NOP, parameters, a write or GO
        } else if (stage == kHello || stage == kPtable || stage == kDownload) {
            spec("error" + At(rng, stage), stage == kDownload ? Expect::Pass : Expect::Either);
        } else if (stage == kWrite) {
            spec("nak" + At(rng, stage), Expect::Either);
        } else {
            // A DMSS block, a fastboot flash, an NV write of the restore: each is tried again.
            spec("nak" + At(rng, stage), Expect::Pass);
        }
        break;
    case kErrorPacket: {
        static const std::vector<int> codes = {0x13, 0x14, 0x15, 0x42};
        const std::string code = "=" + std::to_string(Pick(rng, codes));
        // A backup cannot do without an item; the reset is refused; the restore sends again.
        spec("error" + At(rng, stage) + code, stage == kRestore ? Expect::Pass : Expect::Fail);
        break;
    }
    case kCrc: {
        static const double fractions[kStageCount] = {0.01, 1, 0.05, 0.3, 0.5, 0.002, 0, 0, 0.01};
        const double frac = fractions[stage] * (stage == kReset ? 1 : Uniform(rng, 1, 4));
        char v[32];
        std::snprintf(v, sizeof v, "%.4g", std::min(frac, 1.0));
        // A frame that does not check is dropped by the link: a lost answer, asked again.
        spec(std::string("crc=") + v, stage == kReset ? Expect::Pass : Expect::Either);
        break;
    }
    case kUnplug:
        if (stage == kReset && Uniform(rng, 0, 1) == 0) {
            f.specs.push_back("diag:reset-unplug");
            f.expect = Expect::Fail;
        } else {
            // The DIAG link of a backup or restore is gone with the cable; the download is
            // tried again on the port that comes back; fastboot reopens its device.
            const Expect e = stage == kBackup || stage == kReset || stage == kRestore ? Expect::Fail
                             : stage == kDownload || stage == kFlash                  ? Expect::Pass
                                                                     : Expect::Either;
            spec("unplug" + At(rng, stage) + back_ms, e);
        }
        break;
    case kStale:
        // The answer comes once more, where the station waits for the next one.
        spec("stale" + At(rng, stage) + "=" + std::to_string(Uniform(rng, 0, 200)), Expect::Either);
        break;
    case kSlow:
        spec("slow=" + std::to_string(Uniform(rng, 2000, 20000)), Expect::Pass);
        break;
    case kNvStatus: {
        const bool restore = stage == kRestore;
        const std::string what = restore ? "nv-write=" : "nv-read=";
        const std::string item = "@" + SomeItem(rng, restore);
        const int pick = Uniform(rng, 0, 5);
        if (pick == 0) {
            // Busy a few times: asked again (up to three times 3 s apart, or sent again).
            spec(what + "busy" + item + "x" + std::to_string(Uniform(rng, 1, restore ? 1 : 3)),
                 Expect::Pass);
        } else if (pick == 1 && restore) {
            spec(what + "fail" + item + "x1", Expect::Pass);
        } else if (pick == 2 && restore) {
            // The item held read-only: verified when it already holds the value, else refused.
            spec(what + "read-only" + item, Expect::Either);
        } else {
            static const std::vector<std::string> bad = {"busy", "fail", "bad-param", "no-memory"};
            spec(what + Pick(rng, bad) + item, Expect::Fail);
        }
        break;
    }
    default:
        break;
    }
    return f;
}

Dealer::Dealer(uint64_t seed) : rng_(seed) {}

DrawnFault Dealer::Next() {
    if (deck_.empty()) {
        deck_ = Pairs();
        const size_t clean = (deck_.size() + 6) / 7;
        for (size_t i = 0; i < clean; ++i)
            deck_.emplace_back(-1, -1);
        std::shuffle(deck_.begin(), deck_.end(), rng_);
    }
    const auto [stage, kind] = deck_.back();
    deck_.pop_back();
    if (stage < 0) return DrawnFault{};
    return Draw(stage, kind, rng_);
}

} // namespace campaign
