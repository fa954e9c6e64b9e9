#include "station/debug_line.h"

#include <cstdarg>
#include <cstdio>

#include "platform/debug_sink.h"

namespace tw::station {

std::string DebugLineText(const std::string& text) {
    std::string s = text.substr(0, kDebugLineMax);
    size_t end = s.find_last_not_of(" \t\r\n\v\f");
    s.resize(end == std::string::npos ? 0 : end + 1);
    s += "\r\n";
    return s;
}

void DebugLine(const char* format, ...) {
    char buf[kDebugLineMax + 1];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    debug_output(DebugLineText(buf).c_str());
}

} // namespace tw::station
