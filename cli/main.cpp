#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "platform/clock.h"

namespace {

const std::string kScaleRange = "from 0.000001 to 1000";

void print_help() {
    std::cout << "tarnwell-cli " << TARNWELL_VERSION
              << ": headless front end of the Tarnwell flashing station\n\n"
                 "usage: tarnwell-cli [global options] COMMAND [arguments]\n\n"
                 "global options:\n"
                 "  --device-dir DIR   read devices from a virtual device directory\n"
                 "  --time-scale X     multiply every wait by X, 0.000001 to 1000 (tests, demos)\n"
                 "  --json             one JSON object per line for progress and results\n"
                 "  --quiet            no progress output\n"
                 "  --help, --version\n\n"
                 "commands:\n";
    for (const auto& c : cli::commands()) {
        std::string head = std::string("  ") + c.name + " " + c.usage;
        std::cout << head << "\n      " << c.summary << "\n";
    }
    std::cout << "\nexit status: 0 success, 1 the operation failed, 2 bad usage or input\n";
}

} // namespace

int main(int argc, char** argv) {
    cli::Globals g;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) break;
        auto value = [&](std::string& out) {
            auto eq = a.find('=');
            if (eq != std::string::npos) {
                out = a.substr(eq + 1);
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string name = a.substr(0, a.find('='));
        if (name == "--help") {
            print_help();
            return cli::kExitOk;
        } else if (name == "--version") {
            std::cout << "tarnwell-cli " << TARNWELL_VERSION << "\n";
            return cli::kExitOk;
        } else if (name == "--json") {
            g.json = true;
        } else if (name == "--quiet") {
            g.quiet = true;
        } else if (name == "--device-dir") {
            if (!value(g.device_dir) || g.device_dir.empty())
                return cli::usage_error("--device-dir needs a directory");
            ::setenv("TARNWELL_DEVICE_DIR", g.device_dir.c_str(), 1);
        } else if (name == "--time-scale") {
            std::string v;
            if (!value(v)) return cli::usage_error("--time-scale needs a number");
            double d = 0;
            if (!tw::clock::parse_scale(v.c_str(), d) || !tw::clock::set_scale(d))
                return cli::usage_error("--time-scale needs a number " + kScaleRange + ", not '" +
                                        v + "'");
            g.time_scale = d;
            ::setenv("TARNWELL_TIME_SCALE", v.c_str(), 1);
        } else {
            return cli::usage_error("unknown option " + a + " (see --help)");
        }
    }
    // A factor from the environment is checked as strictly as the option: a wrong one would
    // otherwise run every wait at full length, or not at all.
    const char* env = std::getenv("TARNWELL_TIME_SCALE");
    double d = 0;
    if (g.time_scale == 0 && env && *env && !tw::clock::parse_scale(env, d))
        return cli::usage_error("TARNWELL_TIME_SCALE needs a number " + kScaleRange + ", not '" +
                                env + "'");
    if (i >= args.size()) {
        print_help();
        return cli::kExitUsage;
    }
    const std::string name = args[i];
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (const auto& c : cli::commands()) {
        if (name == c.name) return c.run(g, rest);
    }
    return cli::usage_error("unknown command '" + name + "' (see --help)");
}
