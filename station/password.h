#pragma once
// The lock on the guarded buttons (stop, stop all, clean configuration, select software): a
// two-digit password that follows the local clock, so nothing secret is stored. It is the
// minute of the local time ("07" at 14:07). An entry counts when it equals the minute at the
// moment OK is pressed or the minute before, so typing across a minute's turn is not a refusal.
#include <ctime>
#include <string>

namespace tw::station {

// The expected password at time t (local time); "" when the local time cannot be had.
std::string ExpectedPassword(std::time_t t);
// Whether entry (blanks around it ignored) opens the lock at time t.
bool PasswordMatches(const std::string& entry, std::time_t t);

} // namespace tw::station
