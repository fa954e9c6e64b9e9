// `results`: the station's record of every phone, read back from results/<date>.jsonl in the
// station folder, as a table with totals per day and per slot (or as JSON lines).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "station/counters.h"
#include "station/results_log.h"
#include "station/station_folder.h"

namespace fs = std::filesystem;

namespace {

using tw::station::ParseResultLine;
using tw::station::ResultEntry;

bool IsDate(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    const int month = std::stoi(s.substr(5, 2)), day = std::stoi(s.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// The tally of one day or slot; stopped cycles apart (the counters leave them out).
struct Totals {
    tw::station::SlotCounters c;
    int stopped = 0;
    void Add(const ResultEntry& e) {
        if (e.result == "STOPPED")
            ++stopped;
        else
            c.Add(e.result == "PASS", e.seconds);
    }
};

void PrintTotals(bool json, const char* kind, const std::string& key, const Totals& t) {
    if (json) {
        cli::JsonLine l;
        l.str("totals", kind);
        if (std::string(kind) == "slot")
            l.num("slot", std::stoll(key));
        else if (std::string(kind) == "day")
            l.str("date", key);
        l.num("passed", t.c.passed)
            .num("failed", t.c.failed)
            .num("stopped", t.stopped)
            .real("mean_seconds", t.c.mean_seconds())
            .print();
        return;
    }
    std::printf("%-10s  %6d  %6d  %7d  %12.2f\n", key.c_str(), t.c.passed, t.c.failed, t.stopped,
                t.c.mean_seconds());
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--home", "--since"}, {"--json"}}, pa, error))
        return cli::usage_error("results: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("results: unexpected '" + pa.positional[0] + "'");
    const std::string since = pa.get("--since");
    if (pa.has("--since") && !IsDate(since))
        return cli::usage_error("results: --since takes a date, YYYY-MM-DD");
    const std::string home = tw::station::StationFolder::Resolve(pa.get("--home"));
    if (home.empty()) return cli::usage_error("results: no station folder: give --home DIR");
    const bool json = g.json || pa.has("--json");

    const std::string dir = home + "results";
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "tarnwell-cli: results: no results in %s\n", home.c_str());
        return cli::kExitFailed;
    }
    std::vector<std::string> files;
    for (const auto& f : fs::directory_iterator(dir, ec)) {
        const std::string name = f.path().filename().string();
        if (name.size() == 16 && name.ends_with(".jsonl") && IsDate(name.substr(0, 10)) &&
            (since.empty() || name.substr(0, 10) >= since))
            files.push_back(f.path().string());
    }
    std::sort(files.begin(), files.end());

    std::map<std::string, Totals> days;
    std::map<int, Totals> slots;
    Totals all;
    int skipped = 0;
    if (!json) {
        std::printf("date        time      slot  result   seconds  IMEI             position\n");
    }
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            // A line is whole only with its newline; a cut one is not a record.
            const bool whole = !in.eof();
            const auto e = whole ? ParseResultLine(line) : std::nullopt;
            if (!e) {
                ++skipped;
                continue;
            }
            if (!since.empty() && e->date < since) continue;
            days[e->date].Add(*e);
            slots[e->slot].Add(*e);
            all.Add(*e);
            if (json) {
                std::printf("%s\n", line.c_str());
                continue;
            }
            std::printf("%-10s  %-8s  %4d  %-7s %8.2f  %-15s  %s%s\n", e->date.c_str(),
                        e->end.size() >= 19 ? e->end.substr(11, 8).c_str() : "-", e->slot,
                        e->result.c_str(), e->seconds, e->imei.empty() ? "-" : e->imei.c_str(),
                        e->position.empty() ? "-" : e->position.c_str(),
                        e->message.empty() ? "" : ("  " + e->message).c_str());
        }
    }
    if (!json)
        std::printf("== totals per day\ndate        passed  failed  stopped  mean cycle s\n");
    for (const auto& [day, t] : days)
        PrintTotals(json, "day", day, t);
    if (!json)
        std::printf("== totals per slot\nslot        passed  failed  stopped  mean cycle s\n");
    for (const auto& [slot, t] : slots)
        PrintTotals(json, "slot", std::to_string(slot), t);
    if (!json) std::printf("== all\n");
    PrintTotals(json, "all", "all", all);
    std::fflush(stdout);
    if (skipped)
        std::fprintf(stderr, "tarnwell-cli: results: %d line%s skipped (not a whole record)\n",
                     skipped, skipped == 1 ? "" : "s");
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"results", "[--home DIR] [--since YYYY-MM-DD] [--json]",
                           "the record of every phone the station finished, from the station "
                           "folder's results/<date>.jsonl, with totals per day and per slot",
                           run});

} // namespace
