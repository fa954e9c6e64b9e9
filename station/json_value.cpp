#include "station/json_value.h"

#include <cstdio>
#include <cstdlib>

namespace tw::station::json {

std::string Quote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (const char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", static_cast<unsigned>(c));
                out += u;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

const Value* Value::find(std::string_view key) const {
    if (type != Type::Object) return nullptr;
    for (const auto& [k, v] : members)
        if (k == key) return &v;
    return nullptr;
}

std::string Value::str(std::string_view key, const std::string& fallback) const {
    const Value* v = find(key);
    return v && v->type == Type::String ? v->text : fallback;
}

double Value::num(std::string_view key, double fallback) const {
    const Value* v = find(key);
    return v && v->type == Type::Number ? v->number : fallback;
}

namespace {

class Parser {
  public:
    explicit Parser(std::string_view t) : t_(t) {}

    std::optional<Value> Whole() {
        Value v;
        if (!ParseValue(v, 0)) return std::nullopt;
        Blank();
        if (at_ != t_.size()) return std::nullopt;
        return v;
    }

  private:
    static constexpr int kMaxDepth = 32;

    void Blank() {
        while (at_ < t_.size() &&
               (t_[at_] == ' ' || t_[at_] == '\t' || t_[at_] == '\n' || t_[at_] == '\r'))
            ++at_;
    }
    bool Eat(char c) {
        Blank();
        if (at_ < t_.size() && t_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view w) {
        if (t_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }

    bool ParseValue(Value& v, int depth) {
        if (depth > kMaxDepth) return false;
        Blank();
        if (at_ >= t_.size()) return false;
        const char c = t_[at_];
        if (c == '{') return ParseObject(v, depth);
        if (c == '[') return ParseArray(v, depth);
        if (c == '"') {
            v.type = Value::Type::String;
            return ParseString(v.text);
        }
        if (Word("true")) {
            v.type = Value::Type::Bool;
            v.boolean = true;
            return true;
        }
        if (Word("false")) {
            v.type = Value::Type::Bool;
            return true;
        }
        if (Word("null")) return true;
        return ParseNumber(v);
    }

    bool ParseObject(Value& v, int depth) {
        v.type = Value::Type::Object;
        ++at_;
        if (Eat('}')) return true;
        do {
            Blank();
            std::string key;
            if (at_ >= t_.size() || t_[at_] != '"' || !ParseString(key) || !Eat(':')) return false;
            Value member;
            if (!ParseValue(member, depth + 1)) return false;
            v.members.emplace_back(std::move(key), std::move(member));
        } while (Eat(','));
        return Eat('}');
    }

    bool ParseArray(Value& v, int depth) {
        v.type = Value::Type::Array;
        ++at_;
        if (Eat(']')) return true;
        do {
            Value item;
            if (!ParseValue(item, depth + 1)) return false;
            v.items.push_back(std::move(item));
        } while (Eat(','));
        return Eat(']');
    }

    bool ParseNumber(Value& v) {
        const size_t start = at_;
        while (at_ < t_.size() &&
               (std::string_view("+-.eE0123456789").find(t_[at_]) != std::string_view::npos))
            ++at_;
        if (at_ == start) return false;
        const std::string digits(t_.substr(start, at_ - start));
        char* end = nullptr;
        v.number = std::strtod(digits.c_str(), &end);
        v.type = Value::Type::Number;
        return end && *end == '\0';
    }

    bool Hex4(unsigned& out) {
        if (at_ + 4 > t_.size()) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = t_[at_++];
            out <<= 4;
            if (c >= '0' && c <= '9')
                out |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                out |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                out |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    static void Utf8(unsigned cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool ParseString(std::string& out) {
        ++at_; // the opening quote
        while (at_ < t_.size()) {
            const char c = t_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= t_.size()) return false;
            const char e = t_[at_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = 0;
                if (!Hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    unsigned low = 0;
                    if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                Utf8(cp, out);
                break;
            }
            default:
                return false;
            }
        }
        return false; // cut before its closing quote
    }

    std::string_view t_;
    size_t at_ = 0;
};

} // namespace

std::optional<Value> Parse(std::string_view text) {
    return Parser(text).Whole();
}

} // namespace tw::station::json
