#pragma once
// The engine's debugger output stream: standard error when TARNWELL_DEBUG is set (and not "0"),
// otherwise nothing. Tests install a capture to see the lines the engine prints.
#include <functional>
#include <string>

namespace sondrel {

void DebugOutput(const char* text);
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every line also goes to the capture while one is installed; nullptr removes it.
using DebugCapture = std::function<void(const std::string&)>;
void SetDebugCapture(DebugCapture capture);

} // namespace sondrel
