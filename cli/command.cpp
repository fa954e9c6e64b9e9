#include "cli/command.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace cli {

namespace {
std::vector<Command>& registry() {
    static std::vector<Command> r;
    return r;
}
} // namespace

void register_command(const Command& c) {
    auto& r = registry();
    auto pos = std::find_if(r.begin(), r.end(),
                            [&](const Command& x) { return std::string(x.name) > c.name; });
    r.insert(pos, c);
}

const std::vector<Command>& commands() { return registry(); }

int usage_error(const std::string& msg) {
    std::cerr << "tarnwell-cli: " << msg << "\n";
    return kExitUsage;
}

bool ParsedArgs::has(const std::string& name) const {
    return std::any_of(options.begin(), options.end(), [&](auto& o) { return o.first == name; });
}

std::string ParsedArgs::get(const std::string& name, const std::string& def) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->first == name) return it->second;
    return def;
}

std::vector<std::string> ParsedArgs::all(const std::string& name) const {
    std::vector<std::string> v;
    for (auto& o : options)
        if (o.first == name) v.push_back(o.second);
    return v;
}

bool parse_args(const std::vector<std::string>& args, const ArgSpec& spec, ParsedArgs& out,
                std::string& error) {
    auto in = [](const std::vector<std::string>& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 2 && a.rfind("--", 0) == 0) {
            auto eq = a.find('=');
            std::string name = a.substr(0, eq);
            if (in(spec.flags, name)) {
                if (eq != std::string::npos) {
                    error = name + " takes no value";
                    return false;
                }
                out.options.emplace_back(name, "");
            } else if (in(spec.valued, name)) {
                if (eq != std::string::npos) {
                    out.options.emplace_back(name, a.substr(eq + 1));
                } else if (i + 1 < args.size()) {
                    out.options.emplace_back(name, args[++i]);
                } else {
                    error = name + " needs a value";
                    return false;
                }
            } else {
                error = "unknown option " + name;
                return false;
            }
        } else {
            out.positional.push_back(a);
        }
    }
    return true;
}

bool parse_int(const std::string& s, long long& out, int base) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

} // namespace cli
