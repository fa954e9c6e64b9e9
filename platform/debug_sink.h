#pragma once
// The debugger output stream: single lines for someone watching the process. They go to standard
// error when TARNWELL_DEBUG is set (to anything but "" or "0"), otherwise nowhere. Tests can
// capture them whatever TARNWELL_DEBUG says.
#include <cstdarg>
#include <functional>
#include <string>

namespace tw {

void debug_output(const char* text);
void debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_vprintf(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));

// Every later line also goes to capture (an empty function stops capturing).
void set_debug_capture(std::function<void(const std::string&)> capture);

} // namespace tw
