#pragma once
// Minimal JSON output for --json: one object per line.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cli {

std::string json_escape(const std::string& s);

// Builds {"k":v,...} in insertion order.
class JsonLine {
public:
    JsonLine& str(const std::string& key, const std::string& value);
    JsonLine& num(const std::string& key, long long value);
    JsonLine& real(const std::string& key, double value);
    JsonLine& boolean(const std::string& key, bool value);
    JsonLine& raw(const std::string& key, const std::string& json);
    std::string text() const;
    // Writes the line and a newline to standard output, flushed.
    void print() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

} // namespace cli
