#pragma once
// Runs a command through /bin/sh for tests that drive the built programs.
#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace twtest {

struct ShellResult {
    int status = -1; // exit status; -1 when the command could not run or was killed
    std::string out; // what it wrote on standard output
};

inline ShellResult run_shell(const std::string& cmd) {
    ShellResult r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

} // namespace twtest
