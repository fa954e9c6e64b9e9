// tarnwell-campaign: the fault campaign against simulated phones (see campaign/campaign.h).
//   tarnwell-campaign [--phones N] [--rounds R] [--seed S] [--time-scale X] [--keep] [--verbose]
// Exit status 0 when every check held, 1 when something was wrong, 2 for bad usage.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/campaign.h"
#include "phonesim/sim.h"

namespace {

int Usage(const char* why) {
    std::fprintf(stderr,
                 "tarnwell-campaign: %s\nusage: tarnwell-campaign [--phones N (1-16)] [--rounds R "
                 "(1-30)] [--seed S] [--time-scale X] [--keep] [--verbose]\n",
                 why);
    return 2;
}

bool Number(const char* s, long long lo, long long hi, long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(s, &end, 10);
    return *s && !*end && errno == 0 && out >= lo && out <= hi;
}

} // namespace

int main(int argc, char** argv) {
    // reboot.sh's way to the simulator: "ctl STATE_DIR REQUEST...".
    if (argc >= 4 && std::strcmp(argv[1], "ctl") == 0) {
        std::string line;
        for (int i = 3; i < argc; ++i)
            line += (i > 3 ? " " : "") + std::string(argv[i]);
        std::string reply, err;
        if (!phonesim::ctl_request(argv[2], line, reply, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
        std::printf("%s\n", reply.c_str());
        return reply.rfind("OK", 0) == 0 ? 0 : 1;
    }
    campaign::Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        long long v = 0;
        if (a == "--keep") {
            o.keep = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (!has_value &&
                   (a == "--phones" || a == "--rounds" || a == "--seed" || a == "--time-scale")) {
            return Usage((a + " needs a value").c_str());
        } else if (a == "--phones") {
            if (!Number(argv[++i], 1, 16, v)) return Usage("--phones takes 1 to 16");
            o.phones = static_cast<int>(v);
        } else if (a == "--rounds") {
            // phonesim plugs at most 512 phones in over its life
            if (!Number(argv[++i], 1, 30, v)) return Usage("--rounds takes 1 to 30");
            o.rounds = static_cast<int>(v);
        } else if (a == "--seed") {
            if (!Number(argv[++i], 0, LLONG_MAX, v)) return Usage("--seed takes a number");
            o.seed = static_cast<uint64_t>(v);
        } else if (a == "--time-scale") {
            char* end = nullptr;
            o.scale = std::strtod(argv[++i], &end);
            if (*end || !std::isfinite(o.scale) || o.scale < 0.001 || o.scale > 1)
                return Usage("--time-scale takes 0.001 to 1");
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Usage("cannot tell where this program is");
    o.self.assign(self, static_cast<size_t>(n));
    return campaign::Run(o, stdout);
}
