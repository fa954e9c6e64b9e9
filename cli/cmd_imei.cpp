// `imei`: reads a phone's IMEI (NV item 550) over its DIAG port.
#include <iostream>

#include "cli/qcn_cli.h"
#include "diag/qcn_ops.h"

namespace {

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--port", "--diag-pause-ms"}, {}}, pa, error))
        return cli::usage_error("imei: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("imei: unexpected '" + pa.positional[0] + "'");
    int port = 0, code = 0;
    if (!cli::qcn::PortOf(pa, "imei", port, code)) return code;
    int pause_ms = 0;
    if (!cli::qcn::DiagPauseOf(pa, "imei", pause_ms, code)) return code;

    cli::qcn::Module m(g, port, pause_ms);
    if (!m.Opened(g, "imei", port)) return cli::kExitFailed;
    char buf[16] = {};
    char* p = buf;
    int r = m.get()->GetIMEI(&p);
    if (r == diag::kImeiNoAnswer)
        return cli::qcn::Failed(g, "imei", r, "no NV read reply for item 550");
    if (r == diag::kImeiBlank)
        return cli::qcn::Failed(g, "imei", r, std::string("the IMEI reads as blank (") + buf + ")");
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "imei")
            .num("result", r)
            .num("port", port)
            .str("imei", buf)
            .print();
    } else {
        std::cout << buf << "\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"imei", "--port N [--diag-pause-ms MS]",
                           "read the phone's IMEI over its DIAG port", run});

} // namespace
