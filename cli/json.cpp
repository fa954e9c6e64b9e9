#include "cli/json.h"

#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace cli {

std::string json_escape(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

JsonLine& JsonLine::str(const std::string& k, const std::string& v) {
    fields_.emplace_back(k, "\"" + json_escape(v) + "\"");
    return *this;
}
JsonLine& JsonLine::num(const std::string& k, long long v) {
    fields_.emplace_back(k, std::to_string(v));
    return *this;
}
JsonLine& JsonLine::real(const std::string& k, double v) {
    std::ostringstream o;
    o << std::setprecision(6) << v;
    fields_.emplace_back(k, o.str());
    return *this;
}
JsonLine& JsonLine::boolean(const std::string& k, bool v) {
    fields_.emplace_back(k, v ? "true" : "false");
    return *this;
}
JsonLine& JsonLine::raw(const std::string& k, const std::string& json) {
    fields_.emplace_back(k, json);
    return *this;
}

std::string JsonLine::text() const {
    std::string out = "{";
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i) out += ",";
        out += "\"" + json_escape(fields_[i].first) + "\":" + fields_[i].second;
    }
    return out + "}";
}

void JsonLine::print() const { std::cout << text() << std::endl; }

} // namespace cli
