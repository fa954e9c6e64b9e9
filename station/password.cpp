#include "station/password.h"

#include <cstdio>

namespace tw::station {

std::string ExpectedPassword(std::time_t t) {
    std::tm tm{};
    if (!::localtime_r(&t, &tm)) return "";
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", tm.tm_min);
    return buf;
}

bool PasswordMatches(const std::string& entry, std::time_t t) {
    const size_t b = entry.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return false;
    const std::string e = entry.substr(b, entry.find_last_not_of(" \t\r\n") - b + 1);
    const std::string now = ExpectedPassword(t), before = ExpectedPassword(t - 60);
    return !now.empty() && (e == now || e == before);
}

} // namespace tw::station
