// `station`: the whole station without a window. Prepares the software, starts the slots,
// prints every row's status changes, progress and result, answers the boxes and questions, and
// with --until-done ends once every started slot has finished its phones (--cycles N, one by
// default). Each slot takes the next phone at its position by itself. SIGUSR1 prints the
// counters; Ctrl-C stops every slot as the stop button does, then the program ends.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "cli/command.h"
#include "cli/station_console.h"
#include "station/station.h"

namespace fs = std::filesystem;

namespace {

using namespace tw::station;

// "all", or slot numbers and ranges: "1-4,7". Rows 0..15 out.
bool ParseSlots(const std::string& text, std::set<int>& out, std::string& why) {
    out.clear();
    if (text == "all") {
        for (int i = 0; i < kSlots; ++i)
            out.insert(i);
        return true;
    }
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(at, comma - at);
        const size_t dash = item.find('-');
        long long a = 0, b = 0;
        const bool ok = dash == std::string::npos ? cli::parse_int(item, a) && (b = a, true)
                                                  : cli::parse_int(item.substr(0, dash), a) &&
                                                        cli::parse_int(item.substr(dash + 1), b);
        if (!ok || a < 1 || b > kSlots || a > b) {
            why = "'" + item + "' is not a slot number or range from 1 to 16";
            return false;
        }
        for (long long i = a; i <= b; ++i)
            out.insert(static_cast<int>(i - 1));
        at = comma + 1;
    }
    return !out.empty();
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    const char* cmd = "station";
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args,
                         {{"--home", "--package", "--slots", "--repair", "--answer", "--cycles"},
                          {"--until-done", "--json"}},
                         pa, error))
        return cli::usage_error(std::string(cmd) + ": " + error);
    if (!pa.positional.empty())
        return cli::usage_error(std::string(cmd) + ": unexpected '" + pa.positional[0] + "'");
    std::set<int> slots;
    if (!ParseSlots(pa.get("--slots", "all"), slots, error))
        return cli::usage_error(std::string(cmd) + ": --slots " + error);
    const std::string answer = pa.get("--answer", "yes");
    if (answer != "yes" && answer != "no")
        return cli::usage_error(std::string(cmd) + ": --answer is yes or no");
    std::error_code ec;
    const std::string package = pa.get("--package");
    if (pa.has("--package") && (package.empty() || !fs::is_directory(package, ec)))
        return cli::usage_error(std::string(cmd) + ": --package DIR must name a folder");
    const std::string qcn = pa.get("--repair");
    if (pa.has("--repair") && (qcn.empty() || !fs::is_regular_file(qcn, ec)))
        return cli::usage_error(std::string(cmd) + ": --repair QCNFILE must name a file");
    const std::string home = StationFolder::Resolve(pa.get("--home"));
    if (home.empty())
        return cli::usage_error(std::string(cmd) + ": no station folder: give --home DIR");
    const bool until_done = pa.has("--until-done");
    long long cycles = 1;
    if (pa.has("--cycles") && (!until_done || !cli::parse_int(pa.get("--cycles"), cycles) ||
                               cycles < 1 || cycles > 1000000))
        return cli::usage_error(std::string(cmd) +
                                ": --cycles N (1 or more) goes with --until-done");

    // Only this thread takes the signals; every thread the station starts inherits the mask.
    // SIGUSR2 is the station's own: a cycle has ended.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const pthread_t main_thread = pthread_self();

    cli::StationConsole::Options o;
    o.json = g.json || pa.has("--json");
    o.quiet = g.quiet;
    o.answer_yes = answer == "yes";
    o.package = package;
    o.qcn_file = qcn;
    cli::StationConsole ui(o);
    ui.ShowSlots(slots);
    Station station{StationFolder(home), ui};
    station.SetCycleHook([&ui, main_thread](const CycleRecord& r) {
        ui.CycleEnded(r);
        pthread_kill(main_thread, SIGUSR2);
    });
    std::string why;
    if (!station.Init(&why)) {
        std::fprintf(stderr, "tarnwell-cli: station folder %s: %s\n", home.c_str(), why.c_str());
        return cli::kExitFailed;
    }
    ui.Say("station folder: " + home);
    if (!package.empty() && !station.LoadPackage(package)) {
        std::fprintf(stderr, "tarnwell-cli: %s: the package cannot be prepared\n", package.c_str());
        return cli::kExitUsage;
    }
    if (!qcn.empty()) station.SelectQcnFile(fs::absolute(qcn).string());

    if (slots.size() == static_cast<size_t>(kSlots))
        station.StartAll();
    else
        for (int s : slots)
            station.ClickSlot(s);
    std::set<int> started;
    for (int s : slots) {
        if (station.Running(s))
            started.insert(s);
        else
            ui.Say("slot " + std::to_string(s + 1) + " did not start");
    }
    if (started.empty()) {
        std::fprintf(stderr, "tarnwell-cli: no slot started (is a package selected?)\n");
        return cli::kExitFailed;
    }

    // Asleep until a signal: nothing here wakes while the station is idle.
    bool interrupted = false;
    for (;;) {
        const int sig = sigwaitinfo(&set, nullptr);
        if (sig == SIGINT || sig == SIGTERM) {
            interrupted = true;
            ui.Say("stopping every slot");
            break;
        }
        if (sig == SIGUSR1) ui.PrintCounters(started);
        if (sig == SIGUSR2 && until_done) {
            const auto count = ui.FinishedCount();
            bool all = true;
            for (int s : started) {
                auto it = count.find(s);
                all = all && it != count.end() && it->second >= cycles;
            }
            if (all) break;
        }
    }
    station.Exit();
    const int passed = ui.PrintTable(started);
    ui.PrintCounters(started);
    int finished = 0;
    for (const auto& [slot, n] : ui.FinishedCount())
        if (started.count(slot)) finished += n;
    if (until_done && interrupted) return 130;
    // Every phone that finished passed (with --until-done every started slot finished some).
    return passed == finished ? cli::kExitOk : cli::kExitFailed;
}

cli::CommandRegistrar
    reg({"station",
         "[--home DIR] [--package DIR] [--slots LIST|all] [--repair QCNFILE] [--answer yes|no] "
         "[--until-done [--cycles N]] [--json]",
         "the station without a window: prepares the software, runs every started slot's cycle "
         "for each phone at its USB position in turn and prints each row; every cycle is "
         "appended to results/<date>.jsonl; SIGUSR1 prints the counters; --until-done ends "
         "when each started slot has finished N phones (1); LIST: slot numbers and ranges "
         "(1-4,7)",
         run});

} // namespace
