#pragma once
// Software packages: the synthetic one "phonesim make-package" writes, and the Intel HEX
// programmers a phone compares its RAM image with.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "phonesim/util.h"

namespace phonesim {

// Both programmers load at this address and start there.
constexpr uint32_t kProgrammerLoad = 0x00100000;
constexpr uint32_t kProgrammerStart = 0x00100000;

constexpr const char* kProgrammerFiles[] = {"ENPRG7627A.hex", "NPRG7627A.hex"};
constexpr const char* kModemFiles[] = {"qcsblhd_cfgdata.mbn", "qcsbl.mbn",    "oemsblhd.mbn",
                                       "oemsbl.mbn",          "amsshd.mbn",   "amss.mbn",
                                       "appsboothd.mbn",      "appsboot.mbn", "partition.mbn"};
constexpr const char* kAndroidFiles[] = {"boot.2knand.img",   "recovery.2knand.img",
                                         "system.2knand.img", "userdata.2knand.img",
                                         "cache.img.ext4",    "persist.2knand.img"};

struct Programmer {
    std::string file; // the HEX file's name
    Bytes bytes;      // raw bytes from load, gaps filled with 0xFF
    uint32_t load = 0;
    uint32_t start = 0;
};

// Intel HEX for data at load: data records of 16 bytes with extended linear address records,
// a Start Linear Address record, then the end-of-file record; CR LF line ends.
std::string make_intel_hex(const Bytes& data, uint32_t load, uint32_t start);
// Parses Intel HEX (types 00, 01, 02, 04, 05; 03 is accepted and ignored). Checks every
// checksum and requires the end-of-file record. err says what is wrong.
bool parse_intel_hex(std::string_view text, Bytes& data, uint32_t& load,
                     std::optional<uint32_t>& start, std::string& err);
bool load_programmer(const std::string& path, Programmer& out, std::string& err);
// Both programmers of a package (from its "modem" folder, or its top folder).
bool load_programmers(const std::string& package_dir, std::vector<Programmer>& out,
                      std::string& err);

struct PackageOptions {
    uint64_t seed = 1;
    int android_mb = 1;
};
// Writes every file of a package into dir (created when missing). Same seed, same bytes.
bool make_package(const std::string& dir, const PackageOptions& opt, std::string& err);
// Package-relative paths of every file make_package writes.
std::vector<std::string> package_paths();

} // namespace phonesim
