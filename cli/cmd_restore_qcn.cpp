// `restore-qcn`: writes a QCN text file back into a phone.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/qcn_cli.h"
#include "diag/flashboot_qcn.h"

namespace {

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--port", "--file", "--qcn-dir", "--diag-pause-ms"}, {}}, pa,
                         error))
        return cli::usage_error("restore-qcn: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("restore-qcn: unexpected '" + pa.positional[0] + "'");
    int port = 0, code = 0;
    if (!cli::qcn::PortOf(pa, "restore-qcn", port, code)) return code;
    int pause_ms = 0;
    if (!cli::qcn::DiagPauseOf(pa, "restore-qcn", pause_ms, code)) return code;
    if (pa.has("--file") == pa.has("--qcn-dir"))
        return cli::usage_error("restore-qcn: give either --file F or --qcn-dir D");
    const std::string file = pa.get("--file");
    const std::string dir = pa.get("--qcn-dir");
    std::error_code ec;
    if (pa.has("--file")) {
        if (file.empty() || file.size() >= sizeof(Flashboot::qcnpath))
            return cli::usage_error("restore-qcn: --file needs a path shorter than 512 bytes");
        // What the file holds is the restore's to judge (result 6), before it sends anything.
        FILE* f = std::fopen(file.c_str(), "rb");
        if (!f) return cli::usage_error("restore-qcn: cannot open " + file);
        std::fclose(f);
    } else if (!std::filesystem::is_directory(dir, ec)) {
        return cli::usage_error("restore-qcn: the QCN folder " + dir + " does not exist");
    }

    cli::qcn::Module m(g, port, pause_ms);
    if (!m.Opened(g, "restore-qcn", port)) return cli::kExitFailed;
    if (pa.has("--file")) {
        m.get()->m_reserved0 = 1;
        std::snprintf(m.get()->qcnpath, sizeof m.get()->qcnpath, "%s", file.c_str());
    }
    diag::RestoreOutcome out;
    int r = diag::DownloadQcn(m.get(), m.get(), dir.c_str(), &out);
    cli::qcn::EndBar();
    if (r != diag::kQcnOk) {
        std::string why = out.message;
        if (out.sent > 0)
            why += " (" + std::to_string(out.sent) + " records sent, " +
                   std::to_string(out.accepted + out.verified) + " taken by the phone)";
        return cli::qcn::Failed(g, "restore-qcn", r, why);
    }
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "restore-qcn")
            .num("result", r)
            .str("file", out.text_path)
            .str("records", out.record_path)
            .num("sent", out.sent)
            .num("accepted", out.accepted)
            .num("verified", out.verified)
            .print();
    } else {
        std::cout << "restored " << out.text_path << ": " << out.sent << " records sent, "
                  << out.accepted << " accepted, " << out.verified << " verified by read-back\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"restore-qcn", "--port N (--file F | --qcn-dir D) [--diag-pause-ms MS]",
                           "write a QCN text file back into the phone", run});

} // namespace
