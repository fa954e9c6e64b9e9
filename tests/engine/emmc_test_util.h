#pragma once
// Helpers of the eMMC tests: a scratch folder, files with known bytes, disk images.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace emmc_test {

namespace fs = std::filesystem;

class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "tw-emmc-XXXXXX").string();
        char* d = ::mkdtemp(tmpl.data());
        path_ = d ? d : "";
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    // Never zero, so a zero on the disk always means "not from the file".
    for (auto& b : v)
        b = static_cast<uint8_t>(1 + gen() % 255);
    return v;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// A disk image of `sectors` sectors, every byte `fill`.
inline std::vector<uint8_t> make_disk(const std::string& path, size_t sectors, uint8_t fill) {
    std::vector<uint8_t> v(sectors * 512, fill);
    write_file(path, v);
    return v;
}

// Lays bytes over a disk copy at a sector, the way a correct write would.
inline void overlay(std::vector<uint8_t>& disk, uint64_t sector, const std::vector<uint8_t>& b) {
    std::copy(b.begin(), b.end(), disk.begin() + static_cast<long>(sector * 512));
}

} // namespace emmc_test
