#pragma once
// Subcommands of tarnwell-cli. Each lives in its own cmd_*.cpp and registers itself with a
// static CommandRegistrar, so adding one touches no shared file.
#include <string>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Globals {
    std::string device_dir;
    double time_scale = 0; // 0: not given
    bool json = false;
    bool quiet = false;
};

using Handler = int (*)(const Globals& g, const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* usage;   // arguments after the name
    const char* summary; // one line
    Handler run;
};

void register_command(const Command& c);
const std::vector<Command>& commands();

struct CommandRegistrar {
    explicit CommandRegistrar(const Command& c) { register_command(c); }
};

// Prints "tarnwell-cli: <msg>" on standard error and returns kExitUsage.
int usage_error(const std::string& msg);

// Options of the form --name VALUE or --name=VALUE; flags without a value. Returns false and
// prints a usage error on an unknown option or a missing value.
struct ArgSpec {
    std::vector<std::string> valued; // e.g. "--port"
    std::vector<std::string> flags;  // e.g. "--no-reboot"
};
struct ParsedArgs {
    std::vector<std::pair<std::string, std::string>> options; // in order; flags have ""
    std::vector<std::string> positional;
    bool has(const std::string& name) const;
    std::string get(const std::string& name, const std::string& def = "") const;
    std::vector<std::string> all(const std::string& name) const;
};
bool parse_args(const std::vector<std::string>& args, const ArgSpec& spec, ParsedArgs& out,
                std::string& error);

// Whole-string integer parse in the given base; false on junk or overflow.
bool parse_int(const std::string& s, long long& out, int base = 10);

} // namespace cli
