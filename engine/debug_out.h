#pragma once
// The engine's names for the one debugger output stream (platform/debug_sink.h).
#include <cstdarg>
#include <functional>
#include <string>
#include <utility>

#include "platform/debug_sink.h"

namespace sondrel {

inline void DebugOutput(const char* text) { tw::debug_output(text); }

__attribute__((format(printf, 1, 2))) inline void DebugPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    tw::debug_vprintf(format, ap);
    va_end(ap);
}

// Every line also goes to the capture while one is installed; nullptr removes it.
using DebugCapture = std::function<void(const std::string&)>;
inline void SetDebugCapture(DebugCapture capture) { tw::set_debug_capture(std::move(capture)); }

} // namespace sondrel
