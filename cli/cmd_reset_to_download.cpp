// `reset-to-download`: sends a phone in DIAG mode into emergency download mode, then waits for
// the QDLoader 9008 port it comes back as (at the same USB position) and prints its COM number.
#include <iostream>
#include <set>

#include "cli/qcn_cli.h"
#include "platform/clock.h"
#include "platform/device_source.h"

namespace {

constexpr int64_t kDefaultWaitMs = 30000;
constexpr int64_t kPollMs = 250;

bool IsQdloader(const tw::DeviceRecord& r) {
    return r.kind == tw::DeviceKind::Serial &&
           (r.pid == 0x9008 || r.friendly.find("QDLoader 9008") != std::string::npos);
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--port", "--wait-ms", "--diag-pause-ms"}, {"--no-wait"}}, pa,
                         error))
        return cli::usage_error("reset-to-download: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("reset-to-download: unexpected '" + pa.positional[0] + "'");
    int port = 0, code = 0;
    if (!cli::qcn::PortOf(pa, "reset-to-download", port, code)) return code;
    int pause_ms = 0;
    if (!cli::qcn::DiagPauseOf(pa, "reset-to-download", pause_ms, code)) return code;
    long long wait_ms = kDefaultWaitMs;
    if (pa.has("--wait-ms") && (!cli::parse_int(pa.get("--wait-ms"), wait_ms) || wait_ms < 0))
        return cli::usage_error("reset-to-download: --wait-ms needs a number of milliseconds");
    const bool wait = !pa.has("--no-wait");

    // Where the phone sits, and the QDLoader ports already there, before it leaves.
    std::string position;
    std::set<int> before;
    for (const auto& r : tw::list_devices()) {
        if (r.kind == tw::DeviceKind::Serial && r.com == port) position = tw::usb_position(r);
        if (IsQdloader(r)) before.insert(r.com);
    }

    {
        cli::qcn::Module m(g, port, pause_ms);
        if (!m.Opened(g, "reset-to-download", port)) return cli::kExitFailed;
        m.get()->DoResetPhone(m.get());
    }
    if (!wait) {
        if (g.json)
            cli::JsonLine()
                .str("event", "result")
                .str("command", "reset-to-download")
                .num("result", 0)
                .num("port", port)
                .print();
        return cli::kExitOk;
    }

    // A new QDLoader port at the phone's position (any new one when the position is unknown).
    const auto deadline = tw::clock::deadline_after_ms(wait_ms);
    for (;;) {
        for (const auto& r : tw::list_devices()) {
            if (!IsQdloader(r) || before.count(r.com)) continue;
            if (!position.empty() && tw::usb_position(r) != position) continue;
            if (g.json) {
                cli::JsonLine()
                    .str("event", "result")
                    .str("command", "reset-to-download")
                    .num("result", 0)
                    .num("port", port)
                    .num("qdloader_port", r.com)
                    .str("friendly", r.friendly)
                    .print();
            } else {
                std::cout << r.com << "\n";
            }
            return cli::kExitOk;
        }
        if (tw::clock::Steady::now() >= deadline) break;
        tw::clock::sleep_ms(kPollMs);
    }
    return cli::qcn::Failed(g, "reset-to-download", 0,
                            "the reset was sent, but no QDLoader 9008 port appeared");
}

cli::CommandRegistrar reg({"reset-to-download",
                           "--port N [--wait-ms MS | --no-wait] [--diag-pause-ms MS]",
                           "switch a phone in DIAG mode to emergency download mode; prints the "
                           "COM number of the QDLoader port it comes back as",
                           run});

} // namespace
