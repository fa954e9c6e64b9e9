#pragma once
// Takes a fuzz input apart: numbers and byte runs from the front, what is left at the end.
// Reading past the end gives zeros and empty runs, so every input is a valid script.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), left_(size) {}

    bool empty() const { return left_ == 0; }
    size_t left() const { return left_; }

    uint8_t u8() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return uint32_t{u16()} | (uint32_t{u16()} << 16); }
    // A value from 0 to max (max < 65536).
    uint32_t upto(uint32_t max) { return max < 256 ? u8() % (max + 1) : u16() % (max + 1); }

    std::vector<uint8_t> bytes(size_t n) {
        if (n > left_) n = left_;
        std::vector<uint8_t> v(p_, p_ + n);
        p_ += n;
        left_ -= n;
        return v;
    }
    // A run announced by its 16-bit length.
    std::vector<uint8_t> run() { return bytes(u16()); }
    std::vector<uint8_t> rest() { return bytes(left_); }
    std::string text(size_t n) {
        auto v = bytes(n);
        return std::string(v.begin(), v.end());
    }

  private:
    const uint8_t* p_;
    size_t left_;
};

// An invariant that does not hold: a finding. abort() so libFuzzer keeps the input and the
// replay test fails.
[[noreturn]] inline void Violated(const char* what) {
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) ::fuzz::Violated(#cond);                                                      \
    } while (0)

} // namespace fuzz
