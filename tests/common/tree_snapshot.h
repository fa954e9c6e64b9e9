#pragma once
// Every file and folder under a root with its bytes and modification time, so a test can show
// that a refused command changed nothing, not even a time stamp.
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>

#include "tests/common/files.h"

namespace twtest {

using TreeSnapshot = std::map<std::string, std::string>;

inline TreeSnapshot Snapshot(const std::filesystem::path& root) {
    TreeSnapshot s;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        std::string v = std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_size);
        if (S_ISREG(st.st_mode)) v += " " + Slurp(it->path());
        s[it->path().string()] = v;
    }
    return s;
}

} // namespace twtest
