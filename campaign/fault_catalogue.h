#pragma once
// The faults a campaign draws from: every stage of a phone's cycle against every kind of fault
// the simulated phones make, each pair turned into phonesim fault specifications and what the
// station must make of it.
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace campaign {

enum class Expect {
    Fail,   // cannot be recovered: the phone must end FAIL
    Pass,   // recovered by design (a retried NAK, a slow link, a reopened fastboot link)
    Either, // FAIL, or PASS with every NV item back
};
const char* ExpectName(Expect e);

constexpr int kStageCount = 9;
constexpr int kKindCount = 8;
// "backup", "reset", "dmss", "hello", "ptable", "write", "download", "flash", "restore"
const char* StageName(int stage);
// "silence", "NAK", "error packet", "bad CRC", "unplug", "stale", "slow", "NV status"
const char* KindName(int kind);

struct DrawnFault {
    int stage = -1, kind = -1;      // -1: no fault
    std::vector<std::string> specs; // phonesim --fault specifications, without a phone
    Expect expect = Expect::Pass;
};

// Whether a stage has a fault of that kind (a reset has no NV status, fastboot no CRC).
bool Applies(int stage, int kind);
// Every (stage, kind) pair that applies.
std::vector<std::pair<int, int>> Pairs();
// One fault of the pair, its place (request, item, delay) drawn from rng.
DrawnFault Draw(int stage, int kind, std::mt19937_64& rng);

// Deals the phones' faults: every pair once per deck, with a phone without fault for every
// seven faults, in an order shuffled afresh for each deck.
class Dealer {
  public:
    explicit Dealer(uint64_t seed);
    DrawnFault Next();
    std::mt19937_64& rng() { return rng_; }

  private:
    std::mt19937_64 rng_;
    std::vector<std::pair<int, int>> deck_;
};

} // namespace campaign
