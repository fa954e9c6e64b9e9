// phonesim: simulated phones for tests and demos (see the README's phonesim section).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <vector>

#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"

namespace {

using namespace phonesim;

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

const char* kUsageText =
    "usage:\n"
    "  phonesim --device-dir D --state-dir S --package P [--phones N]\n"
    "           [--start-mode diag|edl|fastboot|disk] [--auto-fastboot] [--fault SPEC]...\n"
    "           [--imei-base IMEI] [--seed N] [--com-base N] [--hub ID] [--hub-ports LIST]\n"
    "           [--dmss-max-write N] [--block-size N] [--time-scale X]\n"
    "  phonesim ctl --state-dir S reboot-bootloader [PHONE]   (index, IMEI or USB position)\n"
    "  phonesim ctl --state-dir S unplug PHONE      (pulled for good; answers its hub port)\n"
    "  phonesim ctl --state-dir S replug PHONE [MS] (pulled, back after MS, default 3000)\n"
    "  phonesim ctl --state-dir S plug PORT         (a new phone, next IMEI, at a hub port)\n"
    "  phonesim ctl --state-dir S status\n"
    "  phonesim make-package DIR [--android-mb N] [--seed N]\n";

int usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "phonesim: %s\n", why.c_str());
    std::fputs(kUsageText, stderr);
    return kUsage;
}

bool to_long(const std::string& s, long long lo, long long hi, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 0);
    return *end == '\0' && v >= lo && v <= hi;
}

int make_package_cmd(const std::vector<std::string>& a) {
    std::string dir;
    PackageOptions po;
    for (size_t i = 0; i < a.size(); ++i) {
        long long v = 0;
        if (a[i] == "--android-mb" && i + 1 < a.size()) {
            if (!to_long(a[++i], 1, 256, v)) return usage("--android-mb must be 1 to 256");
            po.android_mb = static_cast<int>(v);
        } else if (a[i] == "--seed" && i + 1 < a.size()) {
            if (!to_long(a[++i], 0, INT64_MAX, v)) return usage("bad --seed");
            po.seed = static_cast<uint64_t>(v);
        } else if (!a[i].empty() && a[i][0] != '-' && dir.empty()) {
            dir = a[i];
        } else {
            return usage("make-package: unexpected '" + a[i] + "'");
        }
    }
    if (dir.empty()) return usage("make-package needs DIR");
    std::string err;
    if (!make_package(dir, po, err)) {
        std::fprintf(stderr, "phonesim: %s\n", err.c_str());
        return kFailed;
    }
    std::printf("package written to %s (seed %llu)\n", dir.c_str(),
                static_cast<unsigned long long>(po.seed));
    return kOk;
}

int ctl_cmd(const std::vector<std::string>& a) {
    std::string state;
    std::vector<std::string> words;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--state-dir" && i + 1 < a.size())
            state = a[++i];
        else if (!a[i].empty() && a[i][0] == '-')
            return usage("ctl: unknown option " + a[i]);
        else
            words.push_back(a[i]);
    }
    if (state.empty()) return usage("ctl needs --state-dir");
    if (words.empty()) return usage("ctl needs a request");
    if (words[0] == "reboot-bootloader") {
        if (words.size() > 2) return usage("reboot-bootloader takes at most one PHONE");
    } else if (words[0] == "unplug" || words[0] == "plug") {
        if (words.size() != 2) return usage(words[0] + " takes one argument");
    } else if (words[0] == "replug") {
        if (words.size() < 2 || words.size() > 3) return usage("replug takes PHONE [MS]");
    } else if (words[0] == "status") {
        if (words.size() != 1) return usage("status takes no argument");
    } else {
        return usage("ctl: unknown request '" + words[0] + "'");
    }
    std::string line = words[0];
    for (size_t i = 1; i < words.size(); ++i)
        line += " " + words[i];
    std::string reply, err;
    if (!ctl_request(state, line, reply, err)) {
        std::fprintf(stderr, "phonesim: %s\n", err.c_str());
        return kFailed;
    }
    std::printf("%s\n", reply.c_str());
    return reply.rfind("OK", 0) == 0 ? kOk : kFailed;
}

int run_cmd(const std::vector<std::string>& a) {
    SimOptions o;
    bool scale_given = false;
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& k = a[i];
        bool has = i + 1 < a.size();
        long long v = 0;
        if (k == "--auto-fastboot") {
            o.auto_fastboot = true;
            continue;
        }
        if (!has) return usage(k == "--help" ? "" : "missing value after " + k);
        const std::string& val = a[++i];
        if (k == "--device-dir")
            o.device_dir = val;
        else if (k == "--state-dir")
            o.state_dir = val;
        else if (k == "--package")
            o.package = val;
        else if (k == "--phones") {
            if (!to_long(val, 1, 64, v)) return usage("--phones must be 1 to 64");
            o.phones = static_cast<int>(v);
        } else if (k == "--start-mode") {
            if (val == "diag")
                o.start = Mode::Diag;
            else if (val == "edl")
                o.start = Mode::Download;
            else if (val == "fastboot")
                o.start = Mode::Fastboot;
            else if (val == "disk")
                o.start = Mode::Disk;
            else
                return usage("--start-mode is diag, edl, fastboot or disk");
        } else if (k == "--fault") {
            std::string err;
            auto f = parse_fault(val, err);
            if (!f) return usage("--fault " + val + ": " + err);
            o.faults.push_back(*f);
        } else if (k == "--imei-base") {
            o.imei_base = val;
        } else if (k == "--seed") {
            if (!to_long(val, 0, INT64_MAX, v)) return usage("bad --seed");
            o.seed = static_cast<uint64_t>(v);
        } else if (k == "--com-base") {
            if (!to_long(val, 1, 250, v)) return usage("--com-base must be 1 to 250");
            o.com_base = static_cast<int>(v);
        } else if (k == "--hub") {
            o.hub = val;
        } else if (k == "--hub-ports") {
            o.hub_ports.clear();
            size_t at = 0;
            while (at <= val.size()) {
                size_t comma = val.find(',', at);
                if (comma == std::string::npos) comma = val.size();
                if (!to_long(val.substr(at, comma - at), 1, 255, v))
                    return usage("--hub-ports is a comma-separated list of ports 1 to 255");
                o.hub_ports.push_back(static_cast<int>(v));
                at = comma + 1;
            }
        } else if (k == "--dmss-max-write") {
            if (!to_long(val, 16, 16384, v)) return usage("--dmss-max-write must be 16 to 16384");
            o.dmss_max_write = static_cast<uint16_t>(v);
        } else if (k == "--block-size") {
            if (!to_long(val, 64, 32768, v)) return usage("--block-size must be 64 to 32768");
            o.block_size = static_cast<uint32_t>(v);
        } else if (k == "--time-scale") {
            double d = 0;
            if (!tw::clock::parse_scale(val.c_str(), d) || !tw::clock::set_scale(d))
                return usage("--time-scale must be a number from 0.000001 to 1000");
            scale_given = true;
        } else {
            return usage("unknown option " + k);
        }
    }
    if (o.device_dir.empty() || o.state_dir.empty() || o.package.empty())
        return usage("--device-dir, --state-dir and --package are required");
    const char* env = std::getenv("TARNWELL_TIME_SCALE");
    double d = 0;
    if (!scale_given && env && *env && !tw::clock::parse_scale(env, d))
        return usage("TARNWELL_TIME_SCALE must be a number from 0.000001 to 1000");

    // The phones' threads inherit the mask; only this thread takes the signals.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Simulator sim;
    std::string err;
    if (!sim.start(o, err)) {
        std::fprintf(stderr, "phonesim: %s\n", err.c_str());
        return kFailed;
    }
    for (size_t i = 0; i < sim.size(); ++i)
        std::printf("phone %zu IMEI %s state %s\n", i, sim.phone(i).imei().c_str(),
                    sim.phone(i).dir().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    sim.stop();
    std::fprintf(stderr, "phonesim: stopped\n");
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage("");
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (args[0] == "make-package") return make_package_cmd({args.begin() + 1, args.end()});
    if (args[0] == "ctl") return ctl_cmd({args.begin() + 1, args.end()});
    return run_cmd(args);
}
