#include "platform/wall_time.h"

#include <atomic>
#include <ctime>

namespace tw {
namespace {
std::atomic<WallTimeSource> g_source{nullptr};
} // namespace

WallTime wall_now() {
    if (WallTimeSource src = g_source.load()) return src();
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    WallTime w;
    w.year = tm.tm_year + 1900;
    w.month = tm.tm_mon + 1;
    w.day = tm.tm_mday;
    w.hour = tm.tm_hour;
    w.minute = tm.tm_min;
    w.second = tm.tm_sec;
    return w;
}

void set_wall_time_source(WallTimeSource source) {
    g_source.store(source);
}

} // namespace tw
