#pragma once
// The station's single debug lines: formatted, cut to 4093 characters, trailing white space
// trimmed, "\r\n" appended, then sent to the debugger output (platform/debug_sink.h).
#include <string>

namespace tw::station {

constexpr size_t kDebugLineMax = 4093;

void DebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text DebugLine sends for an already formatted line.
std::string DebugLineText(const std::string& text);

} // namespace tw::station
