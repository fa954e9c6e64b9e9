#pragma once
// Local calendar time for log prefixes and day folders. Tests inject a fixed time.
namespace tw {

struct WallTime {
    int year = 0;  // e.g. 2026
    int month = 0; // 1 to 12
    int day = 0;   // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

WallTime wall_now();

using WallTimeSource = WallTime (*)();
// Replaces the system's local time (nullptr restores it).
void set_wall_time_source(WallTimeSource source);

} // namespace tw
