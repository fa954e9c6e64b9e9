#pragma once
// Just enough JSON for the station's own files: text escaped for a string value, and a parser
// of one value (objects keep their key order) for reading the result records back.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw::station::json {

// s as a JSON string, quotes included; UTF-8 passes through, control characters are escaped.
std::string Quote(std::string_view s);

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    // The member named key of an object; nullptr when absent (or not an object).
    const Value* find(std::string_view key) const;
    // The member's text or number, or the fallback when absent or of another type.
    std::string str(std::string_view key, const std::string& fallback = "") const;
    double num(std::string_view key, double fallback = 0) const;
};

// One whole value (surrounding blanks allowed); nullopt for anything else, a cut line included.
std::optional<Value> Parse(std::string_view text);

} // namespace tw::station::json
