// The INI layer on any text: a file is given back byte for byte when nothing is changed, a
// write reads back as written and leaves every other key as it was, and reads never fail.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/ini.h"

using tw::ini::Document;

namespace {

// Names match as the layer matches them: blanks around them do not count.
std::string Trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return tw::ini::iequals(Trimmed(a), Trimmed(b));
}

// Every (section, key) the document answers for, with its value.
std::vector<std::pair<std::pair<std::string, std::string>, std::string>> Values(const Document& d) {
    std::vector<std::pair<std::pair<std::string, std::string>, std::string>> v;
    for (const auto& s : d.sections())
        for (const auto& k : d.keys(s)) {
            auto value = d.get(s, k);
            FUZZ_CHECK(value.has_value());
            v.push_back({{s, k}, *value});
        }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // The first bytes name the key written; the rest is the file.
    const std::string section = in.text(in.upto(6));
    const std::string key = in.text(in.upto(6));
    const std::string value = in.text(in.upto(8));
    const std::string text = in.text(in.left());

    const Document doc = Document::parse(text);
    FUZZ_CHECK(doc.text() == text);
    const auto before = Values(doc);

    Document changed = doc;
    if (changed.set(section, key, value)) {
        const Document again = Document::parse(changed.text());
        auto got = again.get(section, key);
        FUZZ_CHECK(got.has_value());
        // Quotes and blanks around a value are the file's syntax, not part of the value.
        Document plain = Document::parse("[s]\nk=" + value + "\n");
        FUZZ_CHECK(*got == plain.get("s", "k").value_or(""));
        for (const auto& [name, v] : before) {
            if (SameName(name.first, section) && SameName(name.second, key)) continue;
            auto other = again.get(name.first, name.second);
            FUZZ_CHECK(other.has_value() && *other == v);
        }
    }
    Document removed = doc;
    if (removed.remove_key(section, key)) {
        const Document again = Document::parse(removed.text());
        for (const auto& [name, v] : before) {
            if (SameName(name.first, section) && SameName(name.second, key)) continue;
            auto other = again.get(name.first, name.second);
            FUZZ_CHECK(other.has_value() && *other == v);
        }
    }
    return 0;
}
