#pragma once
// Small helpers shared by the simulator: byte order, a reproducible generator, hex text and
// whole-file writes that a reader never sees half done.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace phonesim {

using Bytes = std::vector<uint8_t>;

inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t be24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
inline uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline void put_le16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void put_be32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// SplitMix64: the same stream on every platform and library, so packages and phones are
// reproducible from their seeds.
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A value in [0, n); n > 0.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    // A value in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    void fill(uint8_t* p, size_t n);

  private:
    uint64_t s_;
};

// A seed mixed from several numbers.
uint64_t mix_seed(uint64_t a, uint64_t b, uint64_t c = 0);

// "0A 1B ..." for the first max bytes, with "..." when cut.
std::string hex_string(const uint8_t* p, size_t n, size_t max = 64);
// Packed upper-case hex, no spaces.
std::string hex_packed(const uint8_t* p, size_t n);
// Packed or spaced hex back to bytes; false on junk.
bool parse_hex_bytes(std::string_view text, Bytes& out);

// Writes the whole content through a temporary file in the same folder and renames it over path.
// The temporary name starts with '.' and ends in ".tmp", so a reader globbing for the final
// suffix never sees it.
bool write_file_atomic(const std::string& path, std::string_view content);
bool read_file(const std::string& path, Bytes& out);
bool read_text(const std::string& path, std::string& out);
// mkdir -p; true when the folder exists afterwards.
bool make_dirs(const std::string& path);

} // namespace phonesim
