// `backup-qcn`: saves a phone's NV items named in "NVFrom.txt" into "<IMEI>.txt".
#include <filesystem>
#include <iostream>

#include "cli/qcn_cli.h"
#include "diag/flashboot_qcn.h"

namespace {

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--port", "--qcn-dir", "--list-dir", "--diag-pause-ms"}, {}}, pa,
                         error))
        return cli::usage_error("backup-qcn: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("backup-qcn: unexpected '" + pa.positional[0] + "'");
    int port = 0, code = 0;
    if (!cli::qcn::PortOf(pa, "backup-qcn", port, code)) return code;
    int pause_ms = 0;
    if (!cli::qcn::DiagPauseOf(pa, "backup-qcn", pause_ms, code)) return code;
    const std::string qcn_dir = pa.get("--qcn-dir", ".");
    const std::string list_dir = pa.get("--list-dir", ".");
    std::error_code ec;
    if (!std::filesystem::is_directory(qcn_dir, ec))
        return cli::usage_error("backup-qcn: the QCN folder " + qcn_dir + " does not exist");
    const std::string list = diag::JoinFolder(list_dir, "NVFrom.txt");
    if (!std::filesystem::is_regular_file(list, ec))
        return cli::usage_error("backup-qcn: there is no " + list);

    cli::qcn::Module m(g, port, pause_ms);
    if (!m.Opened(g, "backup-qcn", port)) return cli::kExitFailed;
    diag::BackupOutcome out;
    int r = diag::BackUpQcn(m.get(), m.get(), qcn_dir.c_str(), list_dir.c_str(), &out);
    cli::qcn::EndBar();
    if (r != diag::kQcnOk) {
        std::string why = out.message;
        if (!out.path.empty()) why += "; what was read is in " + out.path;
        return cli::qcn::Failed(g, "backup-qcn", r, why);
    }
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "backup-qcn")
            .num("result", r)
            .str("file", out.path)
            .str("imei", out.imei)
            .num("items", out.items)
            .num("skipped", out.skipped)
            .str("current", out.current)
            .str("kept", out.kept)
            .print();
    } else {
        // The file first, alone on its line, for scripts.
        std::cout << out.path << "\n"
                  << out.items << " items saved, " << out.skipped
                  << " skipped as inactive or unknown to the phone\n";
        if (!out.kept.empty()) std::cout << "the earlier backup is kept as " << out.kept << "\n";
        if (out.current != out.path)
            std::cout << out.current
                      << " stays the earlier backup: it holds more items than this one\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg(
    {"backup-qcn", "--port N [--qcn-dir D] [--list-dir D] [--diag-pause-ms MS]",
     "save the phone's NV items into <IMEI>.txt (prints the file written and the counts)", run});

} // namespace
