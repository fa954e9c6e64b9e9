#pragma once
// Whole-file reads for tests that compare what was written with what was expected.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace twtest {

// The file's bytes; empty when it cannot be read.
inline std::string Slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace twtest
